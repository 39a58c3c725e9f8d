"""The pattern engine: agreement with the exhaustive route, families by the
crystal's symmetry, dispersion, neutrons, anisotropic displacements, bad
arrays and Ctrl-C."""

import math
import os
import signal
import subprocess
import sys
import time

import gemmi
import numpy as np
import pytest
from conftest import ANISO_CIF, PACKAGE_PARENT, random_cell, symmetric_structure

import peakforge
from peakforge_pattern import Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.diffraction.radiation import HC_EV_ANGSTROM
from peakforge_pattern.diffraction.scattering import electron_coefficients


def allowed_reflections_per_peak(structure, pattern):
    """For each peak, how many of the reflections merged into it (every lattice
    point within 1e-5° of its 2θ) the space group allows, by gemmi's check."""
    ops = gemmi.GroupOps([gemmi.Op(t) for t in structure.symmetry_operations or ("x,y,z",)])
    g_max = 2 * math.sin(math.radians(pattern.two_theta_range[1] / 2)) / pattern.wavelength
    points = peakforge.generate_hkl_points(structure.reciprocal.tolist(), g_max, 0.0)
    counts = [0] * len(pattern)
    for hkl, g in points:
        two_theta = 2 * math.degrees(math.asin(min(1.0, g * pattern.wavelength / 2)))
        i = int(np.argmin(np.abs(pattern.two_theta - two_theta)))
        if abs(pattern.two_theta[i] - two_theta) < 2e-5 and not ops.is_systematically_absent([round(x) for x in hkl]):
            counts[i] += 1
    return counts


def assert_same_peaks(engine, exact, structure):
    """The same peaks; the engine lists only the reflections the space group allows."""
    assert len(engine) == len(exact)
    np.testing.assert_allclose(engine.two_theta, exact.two_theta, rtol=1e-9, atol=0)
    np.testing.assert_allclose(engine.absolute_intensity, exact.absolute_intensity, rtol=1e-9, atol=0)
    allowed = allowed_reflections_per_peak(structure, exact)
    assert [sum(m) for m in engine.multiplicities] == allowed
    assert all(0 < a <= sum(m) for a, m in zip(allowed, exact.multiplicities))


# One space group of each Laue class and lattice centring, with a cell of its system.
RANDOM_GROUPS = [
    "P 1",
    "P -1",
    "P 1 21/c 1",
    "C 1 2/c 1",
    "P n m a",
    "F d d d",
    "I 41/a m d :1",
    "P 4/n :1",
    "R -3 :H",
    "R -3 m :H",
    "P -3 1 c",
    "P 63/m m c",
    "P 61 2 2",
    "P a -3",
    "I -4 3 d",
    "F d -3 m :1",
    "I m -3 m",
]


def test_agrees_with_the_exact_route_on_examples_and_random_structures():
    for name in ["silicon", "rocksalt", "cscl", "tungsten", "corundum"]:
        structure = read_cif(example_path(name))
        assert_same_peaks(
            compute_pattern(structure, "MoKa", (0, 150), anomalous=False),
            compute_pattern(structure, "MoKa", (0, 150), exact=True),
            structure,
        )
    rng = np.random.default_rng(2024)
    for hm in RANDOM_GROUPS:
        sg = gemmi.find_spacegroup_by_name(hm)
        structure = symmetric_structure(
            hm, random_cell(sg, rng), [("Fe", rng.uniform(0, 1, 3)), ("O", rng.uniform(0, 1, 3))]
        )
        engine = compute_pattern(structure, "CuKa", (5, 100), anomalous=False)
        exact = compute_pattern(structure, "CuKa", (5, 100), exact=True)
        assert_same_peaks(engine, exact, structure)
        if hm == "I m -3 m":  # the permutation rule is this crystal's symmetry
            assert engine.families == exact.families and engine.multiplicities == exact.multiplicities
    # Serial, scalar and parallel walks agree to rounding.
    structure = symmetric_structure(
        "P 63/m m c", [5.1, 5.1, 8.3, 90, 90, 120], [("Zn", (0.11, 0.37, 0.07)), ("O", (1 / 3, 2 / 3, 0.6))]
    )
    reference = compute_pattern(structure, "CuKa", (5, 120))
    for options in ({"parallel": False}, {"use_simd": False}, {"num_threads": 2}):
        np.testing.assert_allclose(
            compute_pattern(structure, "CuKa", (5, 120), **options).absolute_intensity,
            reference.absolute_intensity,
            rtol=1e-12,
        )


def families_by_index(pattern):
    return {hkl: m for fams, mults in zip(pattern.families, pattern.multiplicities) for hkl, m in zip(fams, mults)}


def test_families_follow_the_crystal_symmetry():
    zno = symmetric_structure(
        "P 63 m c", [3.2498, 3.2498, 5.2066, 90, 90, 120], [("Zn", (1 / 3, 2 / 3, 0)), ("O", (1 / 3, 2 / 3, 0.3819))]
    )
    pattern = compute_pattern(zno, "CuKa", (20, 80), hkil=True)
    assert pattern.families[0] == [(1, 0, -1, 0)] and pattern.multiplicities[0] == [6]
    fams = families_by_index(pattern)
    assert [fams[h] for h in [(0, 0, 0, 2), (1, 0, -1, 1), (1, 1, -2, 0), (1, 0, -1, 3)]] == [2, 12, 6, 12]

    calcite = symmetric_structure(
        "R -3 c :H",
        [4.988, 4.988, 17.061, 90, 90, 120],
        [("Ca", (0, 0, 0)), ("C", (0, 0, 0.25)), ("O", (0.2578, 0, 0.25))],
    )
    fams = families_by_index(compute_pattern(calcite, "CuKa", (20, 60)))
    assert [fams[h] for h in [(1, 0, 4), (0, 0, 6), (1, 1, 0), (1, 1, 3), (2, 0, 2)]] == [6, 2, 6, 12, 6]
    assert (2, -1, 3) not in fams

    # Pyrite, Pa-3 (Laue class m-3): (2 1 0) and (1 2 0) are not equivalent;
    # the second set, which reads best as (2 0 1), is extinguished by the
    # a-glide (h0l: l = 2n), so the peak holds the first alone.
    pyrite = symmetric_structure("P a -3", [5.417] * 3 + [90] * 3, [("Fe", (0, 0, 0)), ("S", (0.385,) * 3)])
    pattern = compute_pattern(pyrite, "CuKa", (20, 80))
    i = next(i for i, f in enumerate(pattern.families) if (2, 1, 0) in f)
    assert gemmi.find_spacegroup_by_name("P a -3").operations().is_systematically_absent([2, 0, 1])
    assert list(zip(pattern.families[i], pattern.multiplicities[i])) == [((2, 1, 0), 12)]
    assert families_by_index(pattern)[(1, 1, 1)] == 8

    # Without symmetry a triclinic cell's sets are Friedel pairs.
    p1 = Structure.from_arrays([5, 6, 7, 80, 85, 95], ["Fe", "O"], [(0, 0, 0), (0.3, 0.1, 0.2)])
    assert {m for ms in compute_pattern(p1, "CuKa", (10, 60)).multiplicities for m in ms} == {2}


def lorentz(two_theta, polarised=True):
    t = np.radians(two_theta) / 2
    return ((1 + np.cos(2 * t) ** 2) if polarised else 1.0) / (np.sin(t) ** 2 * np.cos(t))


def reference_peak(structure, pattern, peak, factors, beta=None):
    """The peak's intensity summed by hand over every reflection at its d."""
    reciprocal = structure.reciprocal
    span = range(-8, 9)
    hkls = np.array([(h, k, l) for h in span for k in span for l in span if (h, k, l) != (0, 0, 0)])
    d = 1 / np.linalg.norm(hkls @ reciprocal, axis=1)
    hkls = hkls[np.isclose(d, pattern.d[peak], rtol=1e-9)]
    s2 = (0.5 / pattern.d[peak]) ** 2
    if beta is None:
        t = np.exp(-np.outer(np.ones(len(hkls)), structure.b_factors) * s2)
    else:
        h, k, l = hkls.T[:, :, None]
        b = beta[None, :, :]
        t = np.exp(
            -(
                b[..., 0] * h * h
                + b[..., 1] * k * k
                + b[..., 2] * l * l
                + 2 * (b[..., 3] * h * k + b[..., 4] * h * l + b[..., 5] * k * l)
            )
        )
    phase = np.exp(2j * np.pi * hkls @ structure.frac_coords.T)
    f = np.array([factors(int(z), s2) for z in structure.atomic_numbers])
    amplitude = (phase * t * f * structure.occupancies).sum(axis=1)
    return float(np.sum(np.abs(amplitude) ** 2)), len(hkls)


def mott_bethe(z, s2):
    return z - 41.78214 * s2 * sum(a * math.exp(-b * s2) for a, b in electron_coefficients(z))


def test_dispersion_neutrons_and_monochromator_against_hand_sums():
    # Zinc blende's two atoms in a primitive cubic cell: no centre of symmetry.
    zns = Structure.from_arrays(
        [5.41, 5.41, 5.41, 90, 90, 90], ["Zn", "S"], [(0, 0, 0), (0.25, 0.25, 0.25)], b_factors=[0.6, 0.4]
    )
    lam = 1.5406
    energy = HC_EV_ANGSTROM / lam
    dispersion = {z: gemmi.cromer_liberman(z=z, energy=energy) for z in (16, 30)}
    pattern = compute_pattern(zns, lam, (10, 60), anomalous=True)
    i = pattern.families.index(next(f for f in pattern.families if (1, 1, 1) in f))
    # Without a centring this cell is R3m: the sets of (1 1 1) and (-1 -1 -1)
    # differ in intensity (both are in the peak) but read as one family.
    assert pattern.families[i] == [(1, 1, -1), (1, 1, 1)] and pattern.multiplicities[i] == [6, 2]

    def anomalous(z, s2):
        return mott_bethe(z, s2) + dispersion[z][0] + 1j * dispersion[z][1]

    f2, count = reference_peak(zns, pattern, i, anomalous)
    assert sum(pattern.multiplicities[i]) == count == 8
    assert pattern.absolute_intensity[i] == pytest.approx(f2 * lorentz(pattern.two_theta[i]), rel=1e-9)

    neutron = compute_pattern(zns, lam, (10, 60), radiation="neutron")
    lengths = {z: gemmi.Element(z).neutron92.get_coefs()[0] for z in (16, 30)}
    for peak in range(3):
        f2, _ = reference_peak(zns, neutron, peak, lambda z, s2: lengths[z])
        assert neutron.absolute_intensity[peak] == pytest.approx(
            f2 * lorentz(neutron.two_theta[peak], polarised=False), rel=1e-9
        )

    mono = compute_pattern(zns, lam, (10, 60), monochromator_angle=26.6)
    plain = compute_pattern(zns, lam, (10, 60))
    c2m = math.cos(math.radians(26.6)) ** 2
    tt = np.radians(plain.two_theta)
    np.testing.assert_allclose(
        mono.absolute_intensity / plain.absolute_intensity,
        2 * (1 + c2m * np.cos(tt) ** 2) / (1 + c2m) / (1 + np.cos(tt) ** 2),
        rtol=1e-9,
    )


def test_anisotropic_displacements_are_rotated_with_their_sites(tmp_path):
    path = tmp_path / "aniso.cif"
    path.write_text(ANISO_CIF)
    structure = read_cif(path)
    assert structure.u_aniso.shape == (8, 6) and np.all(np.isnan(structure.u_aniso[4:]))
    # The 2-fold screw along c turns U13 and U23 over.
    np.testing.assert_allclose(structure.u_aniso[1], [0.01, 0.02, 0.03, 0.004, -0.006, 0.008])
    pattern = compute_pattern(structure, "CuKa", (10, 70), anomalous=False)
    n = np.linalg.norm(structure.reciprocal, axis=1)
    u = structure.u_aniso
    beta = 2 * math.pi**2 * u * np.array([n[0] ** 2, n[1] ** 2, n[2] ** 2, n[0] * n[1], n[0] * n[2], n[1] * n[2]])
    iso = np.isnan(beta[:, 0])
    for peak in range(0, len(pattern), 7):
        s2 = (0.5 / pattern.d[peak]) ** 2
        # An isotropic atom's factor exp(-B s²) is a tensor B/4 · G* in these terms.
        g = structure.reciprocal @ structure.reciprocal.T
        b_iso = structure.b_factors[iso][:, None] / 4 * np.array([g[0, 0], g[1, 1], g[2, 2], g[0, 1], g[0, 2], g[1, 2]])
        full = beta.copy()
        full[iso] = b_iso
        f2, _ = reference_peak(structure, pattern, peak, mott_bethe, beta=full)
        assert pattern.absolute_intensity[peak] == pytest.approx(f2 * lorentz(pattern.two_theta[peak]), rel=1e-9), s2
    # The exact route knows only U_eq.
    by_u_eq = compute_pattern(structure, "CuKa", (10, 70), exact=True)
    assert pattern.two_theta[-1] == pytest.approx(by_u_eq.two_theta[-1])
    assert abs(pattern.absolute_intensity[-1] / by_u_eq.absolute_intensity[-1] - 1) > 1e-3


def test_bad_arrays_name_the_argument():
    from peakforge_pattern import _engine

    good = dict(
        reciprocal=np.eye(3) / 4,
        wavelength=1.5,
        min_g=0.0,
        max_g=1.0,
        frac_coords=np.zeros((1, 3)),
        species_index=np.zeros(1, np.int32),
        occupancies=np.ones(1),
        b_factors=np.zeros(1),
        anisotropic_beta=None,
        species_atomic_numbers=np.array([26.0]),
        species_electron_pairs=np.zeros((1, 5, 2)),
        species_constants=np.zeros((1, 2)),
        rotations=np.zeros((0, 3, 3), np.int32),
        translations=np.zeros((0, 3)),
    )
    assert len(_engine.compute_peak_table(**good)["two_theta"]) > 0
    bad = [
        ("frac_coords", np.zeros((1, 2)), ValueError),
        ("frac_coords", np.zeros((1, 3), np.float32), TypeError),
        ("species_index", np.zeros(1), TypeError),
        ("species_index", np.array([3], np.int32), ValueError),
        ("occupancies", [1.0], TypeError),
        ("b_factors", np.zeros(2), ValueError),
        ("anisotropic_beta", np.zeros((1, 5)), ValueError),
        ("reciprocal", np.full((3, 3), np.nan), ValueError),
        ("rotations", np.zeros((1, 3, 3), np.int64), TypeError),
        ("translations", np.zeros((2, 3)), ValueError),
        ("species_electron_pairs", np.zeros((2, 5, 2)), ValueError),
    ]
    for name, value, error in bad:
        with pytest.raises(error, match=name):
            _engine.compute_peak_table(**{**good, name: value})
    # A strided view is read through its strides.
    view = np.zeros((1, 6))[:, ::2]
    assert len(_engine.compute_peak_table(**{**good, "frac_coords": view})["two_theta"]) > 0


CHILD = """
import sys, threading, time
import numpy as np
from peakforge_pattern import Structure, compute_pattern
rng = np.random.default_rng(1)
structure = Structure.from_arrays([30, 30.5, 31, 89, 91, 92], ["C"] * 6000, rng.uniform(0, 1, (6000, 3)))
ticks = []
threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in iter(int, 1)], daemon=True).start()
print("started", flush=True)
try:
    compute_pattern(structure, "MoKa", (0, 150), use_simd=False)
except KeyboardInterrupt:
    print("interrupted", len(ticks), flush=True)
"""


def test_ctrl_c_stops_a_long_pattern_and_other_threads_run():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )
    assert child.stdout.readline().strip() == "started"
    time.sleep(1.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    stopped = time.monotonic() - sent
    assert child.returncode == 0, err
    words = out.split()
    assert words[0] == "interrupted", out
    assert int(words[1]) > 20  # the other thread ran while the pattern was computed
    assert stopped < 2.5


def test_threads_share_the_engine():
    from concurrent.futures import ThreadPoolExecutor

    structure = Structure.from_arrays(
        [27, 27.3, 26.8, 88, 91, 92], ["C", "O"] * 1000, np.random.default_rng(3).uniform(0, 1, (2000, 3))
    )
    expected = compute_pattern(structure, "CuKa", (5, 60), parallel=False)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: compute_pattern(structure, "CuKa", (5, 60), num_threads=1 + i % 3), range(8)))
    for pattern in results:  # each reflection is computed alone: the same bits on any thread
        np.testing.assert_array_equal(pattern.absolute_intensity, expected.absolute_intensity)


@pytest.mark.no_sanitizer
def test_repeated_calls_keep_memory_flat():
    structure = read_cif(example_path("corundum"))
    for _ in range(200):
        compute_pattern(structure, "CuKa", anomalous=True)
    before = sys.getallocatedblocks()
    for _ in range(2000):
        compute_pattern(structure, "CuKa", anomalous=True)
    assert sys.getallocatedblocks() - before < 200
