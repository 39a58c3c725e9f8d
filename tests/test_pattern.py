"""Powder patterns from structures: physics a wrong host would get wrong."""

import math

import numpy as np
import pytest

from peakforge_pattern import (
    ANODE_LINES,
    InputError,
    Structure,
    compute_pattern,
    example_path,
    read_cif,
    resolve_wavelength,
)

CU_KA = ANODE_LINES["CuKa"]


def peak_of(pattern, hkl):
    """Index of the peak holding the family of ``hkl`` (None when absent)."""
    for i, families in enumerate(pattern.families):
        if tuple(hkl) in families:
            return i
    return None


def multiplicity(pattern, hkl):
    i = peak_of(pattern, hkl)
    return pattern.multiplicities[i][pattern.families[i].index(tuple(hkl))]


@pytest.fixture(scope="module")
def silicon():
    return compute_pattern(example_path("silicon"), "CuKa", (0, 100))


def test_silicon_extinctions_strongest_peak_and_multiplicities(silicon):
    assert silicon.families[int(np.argmax(silicon.intensity))] == [(1, 1, 1)]
    assert silicon.intensity.max() == 100.0
    # Diamond glide: (200) and (222) vanish although the F lattice allows them.
    d_200, d_222 = 5.431 / 2, 5.431 / math.sqrt(12)
    assert not np.any(np.isclose(silicon.d, d_200, rtol=1e-6))
    assert not np.any(np.isclose(silicon.d, d_222, rtol=1e-6))
    assert peak_of(silicon, (2, 0, 0)) is None and peak_of(silicon, (2, 2, 2)) is None
    assert [multiplicity(silicon, h) for h in [(1, 1, 1), (2, 2, 0), (3, 1, 1)]] == [8, 12, 24]
    # (333) and (511) share d = a/sqrt(27): one peak, two families.
    i = peak_of(silicon, (5, 1, 1))
    assert silicon.families[i] == [(5, 1, 1), (3, 3, 3)] and silicon.multiplicities[i] == [24, 8]
    assert np.all(np.diff(silicon.two_theta) > 0)


def test_rock_salt_and_bcc_tungsten():
    nacl = compute_pattern(example_path("rocksalt"))
    assert nacl.families[int(np.argmax(nacl.intensity))] == [(2, 0, 0)]
    # Na and Cl scatter against each other in odd reflections.
    assert 0 < nacl.intensity[peak_of(nacl, (1, 1, 1))] < 15
    tungsten = compute_pattern(example_path("tungsten"), "CuKa", (0, 150))
    assert len(tungsten) >= 6
    for families in tungsten.families:
        for hkl in families:
            assert sum(hkl) % 2 == 0, hkl
    assert tungsten.families[0] == [(1, 1, 0)] and tungsten.multiplicities[0] == [12]


@pytest.mark.parametrize("name", ["silicon", "rocksalt", "cscl", "tungsten", "corundum"])
def test_d_spacings_agree_with_bragg_and_with_the_cell(name):
    structure = read_cif(example_path(name))
    pattern = compute_pattern(structure, "MoKa", (5, 60))
    assert len(pattern) > 3
    assert np.all((pattern.two_theta >= 5) & (pattern.two_theta <= 60))
    bragg = pattern.wavelength / (2 * np.sin(np.radians(pattern.two_theta / 2)))
    np.testing.assert_allclose(pattern.d, bragg, rtol=1e-10)
    for d, families in zip(pattern.d, pattern.families):
        for hkl in families:
            assert structure.d_spacing(hkl) == pytest.approx(d, rel=1e-9)
    assert np.all(pattern.intensity >= 1e-3)


def test_cif_matches_plain_arrays_in_another_setting():
    """Symmetry expansion, element and B handling, and the reciprocal basis
    must not depend on how the structure came in.  The hand-written cell uses
    the other origin of the diamond structure and a rotated lattice."""
    from_cif = compute_pattern(example_path("silicon"))
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    coords = np.vstack([fcc, fcc + 0.25])
    angle = math.radians(30)
    rotation = np.array([[math.cos(angle), -math.sin(angle), 0], [math.sin(angle), math.cos(angle), 0], [0, 0, 1]])
    lattice = (5.431 * np.eye(3)) @ rotation.T
    by_arrays = compute_pattern(Structure.from_arrays(lattice, ["Si"] * 8, coords, b_factors=[0.46] * 8))
    assert by_arrays.families == from_cif.families
    np.testing.assert_allclose(by_arrays.two_theta, from_cif.two_theta, rtol=1e-12)
    np.testing.assert_allclose(by_arrays.intensity, from_cif.intensity, rtol=1e-9)
    by_parameters = compute_pattern(
        Structure.from_arrays([5.431] * 3 + [90] * 3, [14] * 8, coords, [1.0] * 8, [0.46] * 8)
    )
    np.testing.assert_allclose(by_parameters.absolute_intensity, by_arrays.absolute_intensity, rtol=1e-9)


def test_cif_reading_converts_u_to_b_and_fills_the_cell():
    nacl = read_cif(example_path("rocksalt"))
    assert len(nacl) == 8 and sorted(set(nacl.atomic_numbers)) == [11, 17]
    b_na = nacl.b_factors[nacl.atomic_numbers == 11]
    np.testing.assert_allclose(b_na, 8 * math.pi**2 * 0.0207)
    corundum = read_cif(example_path("corundum"))
    assert sorted(np.bincount(corundum.atomic_numbers)[[8, 13]]) == [12, 18]
    # Larger B damps high angles: the ratio of the last to the first peak falls.
    cold = compute_pattern(Structure.from_arrays(nacl.lattice, nacl.atomic_numbers, nacl.frac_coords))
    warm = compute_pattern(
        Structure.from_arrays(nacl.lattice, nacl.atomic_numbers, nacl.frac_coords, b_factors=[3.0] * 8)
    )
    assert warm.intensity[-1] < cold.intensity[-1]


def test_execution_modes_give_the_same_pattern(silicon):
    corundum = example_path("corundum")
    reference = compute_pattern(corundum, parallel=False, use_simd=False)
    for parallel, simd, threads in [(True, True, 0), (True, False, 3), (False, True, 0)]:
        other = compute_pattern(corundum, parallel=parallel, use_simd=simd, num_threads=threads)
        assert other.families == reference.families
        np.testing.assert_allclose(other.absolute_intensity, reference.absolute_intensity, rtol=1e-12)


def test_wavelengths():
    assert resolve_wavelength("CuKa1") == 1.540562
    assert resolve_wavelength("cuka") == CU_KA == pytest.approx(1.5418, abs=1e-4)
    assert resolve_wavelength(" 0.5 ") == 0.5 and resolve_wavelength(2) == 2.0
    assert set(ANODE_LINES) >= {"CuKa", "CuKa1", "MoKa", "CoKa", "FeKa", "CrKa", "AgKa"}
    for bad in [0, -1.5, float("nan"), float("inf"), "XyKa", "", None]:
        with pytest.raises(InputError):
            resolve_wavelength(bad)
    # The same planes diffract at another angle for another wavelength.
    mo = compute_pattern(example_path("silicon"), "MoKa", (0, 40))
    i = peak_of(mo, (1, 1, 1))
    assert mo.d[i] == pytest.approx(5.431 / math.sqrt(3), rel=1e-12)
    assert mo.two_theta[i] == pytest.approx(2 * math.degrees(math.asin(ANODE_LINES["MoKa"] / (2 * mo.d[i]))))


def test_back_scattering_limit_is_left_out():
    """A reflection exactly at 2θ = 180° (sin θ = 1) has an unbounded Lorentz
    factor; it must not swamp the scale of the measurable peaks."""
    cubic = Structure.from_arrays(np.eye(3) * 2.0, ["Cu"], [[0, 0, 0]])
    pattern = compute_pattern(cubic, 2.0, (0, 180))  # (200) would sit at exactly 180°
    assert pattern.families == [[(1, 0, 0)], [(1, 1, 0)], [(1, 1, 1)]]
    assert np.all(np.isfinite(pattern.absolute_intensity)) and pattern.intensity.min() > 1.0


def test_bad_requests_are_refused():
    si = read_cif(example_path("silicon"))
    for rng in [(50, 40), (30, 30), (-5, 40), (10, 181), (0, float("nan"))]:
        with pytest.raises(InputError, match="2theta"):
            compute_pattern(si, "CuKa", rng)
    with pytest.raises(InputError, match="lattice points"):
        compute_pattern(si, 1e-4)  # would walk ~10^13 index triples
    for args in [
        ([1, 1, 1, 90, 90, 90], ["Xx"], [[0, 0, 0]]),
        ([1, 1, 1, 90, 90, 90], [99], [[0, 0, 0]]),
        ([1, 1, 1, 90, 90, 90], ["Si", "Si"], [[0, 0, 0]]),
        ([1, 1, 1, 90, 90, 90], [], []),
        ([[1, 0, 0], [0, 1, 0], [1, 1, 0]], ["Si"], [[0, 0, 0]]),
        ([1, 1, 1, 10, 10, 100], ["Si"], [[0, 0, 0]]),
    ]:
        with pytest.raises(InputError):
            Structure.from_arrays(*args)
    with pytest.raises(InputError, match="occupancies"):
        Structure.from_arrays([1, 1, 1, 90, 90, 90], ["Si"], [[0, 0, 0]], occupancies=[1, 1])


def test_pattern_conversions(silicon):
    array = np.asarray(silicon)
    assert array.shape == (len(silicon), 4)
    np.testing.assert_array_equal(array[:, 0], silicon.two_theta)
    lines = silicon.to_table().splitlines()[1:]  # after the scale line
    assert lines[0].split() == ["2theta", "d", "I", "hkl", "mult"] and len(lines) == len(silicon) + 1
    assert lines[1].split() == ["28.4654", "3.13559", "100.00", "(1", "1", "1)", "8"]
    record = silicon.records()[0]
    assert record["families"] == [{"hkl": [1, 1, 1], "multiplicity": 8}]
