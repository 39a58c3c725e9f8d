"""Speed of calculate_xrd_intensities against NumPy, side by side in one run.

One command prints the whole table:  python bench/bench_intensity.py
(run by hand, not in CI; it builds the floor micro-benchmark first, with the
module's compiler flags, in build/bench).

Synthetic cubic structures of 8, 64, 512 and 4096 atoms (three species, four
coefficient pairs each), each with two lists of 2000 reflections: the
shortest reciprocal-lattice vectors as a lattice walk gives them (every
reflection with its mirror image -h -k -l, which the module reuses), and the
shortest with one of each mirror pair (nothing to reuse). Computed by

- peakforge: serial scalar, serial 4-lane SIMD (PEAKFORGE_SIMD=avx2), serial
  8-lane SIMD (where the processor has AVX-512), and 8-lane on a call pool of
  2 workers;
- NumPy the way a scientist would write it: vectorised over the atoms, one
  reflection at a time ("numpy per reflection", up to 512 atoms);
- NumPy fully vectorised: reflections x atoms (x pairs) arrays, in blocks of
  reflections that keep the arrays near 64 MiB ("numpy vectorised").

The floor is the bare 4-lane loop (phase, vector sine/cosine, the two
multiply-adds per atom) over 512 atoms in L1, from bench/intensity_floor.cpp;
the bare 8-lane loop is printed beside it.

Every variant must agree with serial scalar: bit for bit where the modes
promise it (4 and 8 lanes, parallel and serial), otherwise to 1e-12 relative
to the largest intensity of the pattern (weak reflections come from
cancellation and carry only absolute rounding error). Times are medians of
CPU time per call (summed over threads) and of wall time; ns per atom x
reflection is from CPU time. The machine is shared, so compare ratios within
one run.

peakforge is timed from Python lists (its input conversion included), NumPy
from ready arrays. The NumPy code makes no BLAS call.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import peakforge

TWO_PI = 6.283185307179586
DEGREES = 57.29577951308232
MOTT_BETHE = 41.78214
WAVELENGTH = 0.71073  # Mo K-alpha, angstrom
REFLECTIONS = 2000
SIZES = (8, 64, 512, 4096)
WORKERS = 2
ROOT = Path(__file__).resolve().parent.parent

# Three species, each an electron scattering factor of four (a, b) pairs.
SPECIES = (
    (11, [[0.2, 0.3], [0.8, 2.5], [1.9, 9.8], [1.2, 40.0]], 0.9),
    (17, [[0.3, 0.2], [1.2, 1.9], [2.4, 7.1], [1.6, 26.0]], 0.7),
    (26, [[0.4, 0.3], [1.5, 2.2], [2.8, 8.3], [1.9, 30.0]], 0.4),
)
RNG_SEED = 20240607
LISTS = {"with ± pairs": True, "one of each pair": False}


def make_structure(atoms, mirror_pairs=True):
    """A cubic cell of `atoms` atoms: m^3 copies of a rock-salt basis of 8,
    slightly displaced, with the Miller indices of the 2000 shortest nonzero
    reciprocal-lattice vectors (sorted by length, as a lattice walk gives
    them), or of the 2000 shortest with one of each mirror pair. Plain Python
    lists, as a host passes them."""
    rng = np.random.default_rng(RNG_SEED + atoms)
    m = round((atoms // 8) ** (1 / 3))
    assert 8 * m**3 == atoms
    basis = [
        (0, 0, 0),
        (0, 0.5, 0.5),
        (0.5, 0, 0.5),
        (0.5, 0.5, 0),
        (0.5, 0, 0),
        (0, 0.5, 0),
        (0, 0, 0.5),
        (0.5, 0.5, 0.5),
    ]
    cells = [(i, j, k) for i in range(m) for j in range(m) for k in range(m)]
    xyz = np.array([[(c[d] + b[d]) / m for d in range(3)] for c in cells for b in basis])
    xyz = (xyz + rng.normal(0, 0.01 / m, xyz.shape)) % 1.0
    kinds = np.arange(atoms) % 3
    a = 5.64 * m  # cell edge, angstrom
    span = np.arange(-14, 15)  # holds the 2000 shortest of either list
    h, k, l = np.meshgrid(span, span, span, indexing="ij")
    hkl = np.stack([h.ravel(), k.ravel(), l.ravel()], axis=1)
    if not mirror_pairs:  # keep the member whose first nonzero index is positive
        first = np.where(hkl[:, 0] != 0, hkl[:, 0], np.where(hkl[:, 1] != 0, hkl[:, 1], hkl[:, 2]))
        hkl = hkl[first >= 0]
    length = np.sqrt((hkl.astype(float) ** 2).sum(axis=1))
    order = np.argsort(length, kind="stable")
    hkl = hkl[order][1 : REFLECTIONS + 1]
    g = length[order][1 : REFLECTIONS + 1] / a
    assert g.max() * WAVELENGTH / 2 < 1.0 and np.abs(hkl).max() < 14
    return dict(
        hkls=hkl.astype(float).tolist(),
        g_hkls=g.tolist(),
        wavelength=WAVELENGTH,
        frac_coords_x=xyz[:, 0].tolist(),
        frac_coords_y=xyz[:, 1].tolist(),
        frac_coords_z=xyz[:, 2].tolist(),
        atomic_numbers=[SPECIES[s][0] for s in kinds],
        scattering_coeffs=[SPECIES[s][1] for s in kinds],
        occupancies=[1.0] * atoms,
        dw_factors=[SPECIES[s][2] for s in kinds],
    )


def numpy_arrays(s):
    coeffs = np.array(s["scattering_coeffs"])  # (atoms, pairs, 2)
    return dict(
        hkls=np.array(s["hkls"]),
        g=np.array(s["g_hkls"]),
        wavelength=s["wavelength"],
        x=np.array(s["frac_coords_x"]),
        y=np.array(s["frac_coords_y"]),
        z=np.array(s["frac_coords_z"]),
        zn=np.array(s["atomic_numbers"], dtype=float),
        a=coeffs[:, :, 0],
        b=coeffs[:, :, 1],
        occ=np.array(s["occupancies"]),
        dw=np.array(s["dw_factors"]),
    )


def numpy_per_reflection(hkls, g, wavelength, x, y, z, zn, a, b, occ, dw):
    result = np.zeros((len(hkls), 2))
    for i, (h, k, l) in enumerate(hkls):
        sin_theta = g[i] * wavelength * 0.5
        if g[i] == 0 or sin_theta > 1:
            continue
        theta = np.arcsin(sin_theta)
        s2 = (g[i] * 0.5) ** 2
        f = zn - s2 * MOTT_BETHE * np.sum(np.exp(-b * s2) * a, axis=1)
        w = f * occ * np.exp(-dw * s2)
        phase = TWO_PI * (h * x + k * y + l * z)
        re = np.sum(w * np.cos(phase))
        im = np.sum(w * np.sin(phase))
        c = np.cos(2 * theta)
        lp = (c * c + 1.0) / (np.sin(theta) ** 2 * np.cos(theta))
        result[i] = (2 * theta * DEGREES, lp * (re * re + im * im))
    return result


def numpy_vectorised(hkls, g, wavelength, x, y, z, zn, a, b, occ, dw):
    block = max(1, (1 << 23) // (len(x) * a.shape[1]))  # about 64 MiB per array
    return np.concatenate(
        [
            numpy_vectorised_block(hkls[i : i + block], g[i : i + block], wavelength, x, y, z, zn, a, b, occ, dw)
            for i in range(0, len(hkls), block)
        ]
    )


def numpy_vectorised_block(hkls, g, wavelength, x, y, z, zn, a, b, occ, dw):
    sin_theta = g * wavelength * 0.5
    ok = (g != 0) & ~(sin_theta > 1)
    theta = np.arcsin(np.where(ok, sin_theta, 0.0))
    s2 = (g * 0.5) ** 2
    f = zn - (s2 * MOTT_BETHE)[:, None] * np.sum(np.exp(-b[None, :, :] * s2[:, None, None]) * a[None, :, :], axis=2)
    w = f * occ * np.exp(-dw[None, :] * s2[:, None])
    phase = TWO_PI * (hkls[:, 0:1] * x + hkls[:, 1:2] * y + hkls[:, 2:3] * z)
    re = np.sum(w * np.cos(phase), axis=1)
    im = np.sum(w * np.sin(phase), axis=1)
    c = np.cos(2 * theta)
    lp = (c * c + 1.0) / (np.sin(theta) ** 2 * np.cos(theta))
    return np.where(ok[:, None], np.stack([2 * theta * DEGREES, lp * (re * re + im * im)], 1), 0.0)


def peakforge_variant(parallel, use_simd, simd=None):
    def call(s, _arrays):
        if simd is None:
            os.environ.pop("PEAKFORGE_SIMD", None)
        else:
            os.environ["PEAKFORGE_SIMD"] = simd
        return peakforge.calculate_xrd_intensities(*s.values(), parallel, WORKERS if parallel else 0, use_simd)

    return call


def variants(atoms, eight_lanes):
    table = {
        "serial scalar": peakforge_variant(False, False),
        "serial 4-lane": peakforge_variant(False, True, "avx2"),
    }
    if eight_lanes:
        table["serial 8-lane"] = peakforge_variant(False, True)
        table[f"parallel 8-lane ({WORKERS} workers)"] = peakforge_variant(True, True)
    else:
        table[f"parallel 4-lane ({WORKERS} workers)"] = peakforge_variant(True, True, "avx2")
    if atoms <= 512:
        table["numpy per reflection"] = lambda _s, arrays: numpy_per_reflection(**arrays)
    table["numpy vectorised"] = lambda _s, arrays: numpy_vectorised(**arrays)
    return table


def time_calls(function, repeats, budget=4.0):
    """Medians of wall and CPU seconds per call (CPU summed over all threads)."""
    function()  # warm up
    walls, cpus = [], []
    started = time.perf_counter()
    while len(walls) < repeats and (len(walls) < 3 or time.perf_counter() - started < budget):
        cpu, wall = time.process_time(), time.perf_counter()
        function()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def check_agreement(results):
    reference = np.asarray(results["serial scalar"], dtype=float)
    simd = results["serial 4-lane"]
    scale = np.abs(reference[:, 1]).max()
    for name, result in results.items():
        got = np.asarray(result, dtype=float)
        if "lane" in name:  # every SIMD mode gives the 4-lane bits
            assert got.tobytes() == np.asarray(simd, dtype=float).tobytes(), f"{name} differs"
        elif name.startswith("parallel"):
            assert got.tobytes() == reference.tobytes(), f"{name} differs"
        angle_error = np.abs(got[:, 0] - reference[:, 0]).max() / np.abs(reference[:, 0]).max()
        intensity_error = np.abs(got[:, 1] - reference[:, 1]).max() / scale
        assert angle_error <= 1e-12 and intensity_error <= 1e-12, (
            f"{name}: relative error {angle_error:.3g} in 2theta, {intensity_error:.3g} in I"
        )


def floor_loops():
    """ns per atom of the bare 4-lane and 8-lane loops, built with the
    module's flags."""
    build = ROOT / "build" / "bench"
    cmake = Path(sys.executable).parent / "cmake"
    subprocess.run(
        [
            str(cmake),
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-G",
            "Ninja",
            f"-DPython_EXECUTABLE={sys.executable}",
            "-DPEAKFORGE_BUILD_BENCH=ON",
            f"-DCMAKE_MAKE_PROGRAM={Path(sys.executable).parent / 'ninja'}",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run([str(cmake), "--build", str(build), "--target", "intensity_floor"], check=True, capture_output=True)
    # The best of three processes: the first run after a build (or beside a
    # busy sibling hyperthread) can come out a quarter slower.
    floors: dict[str, float] = {}
    for _ in range(3):
        done = subprocess.run([str(build / "intensity_floor")], check=True, capture_output=True, text=True)
        for line in done.stdout.splitlines():
            form, ns = line.split()[0], float(line.split()[1])
            floors[form] = min(ns, floors.get(form, ns))
    return floors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    options = parser.parse_args()

    floors = floor_loops()
    floor = floors["4-lane"]
    eight_lanes = "8-lane" in floors
    print(
        f"numpy {np.__version__}, CPU features used by numpy: "
        + " ".join(f for f, on in np._core._multiarray_umath.__cpu_features__.items() if on and f.startswith("AVX512"))
        + f"; {os.cpu_count()} logical processors"
    )
    print(
        "floor (bare loops over 512 atoms in L1, ns per atom): "
        + ", ".join(f"{form} {ns:.3f}" for form, ns in floors.items())
    )
    print(
        f"{REFLECTIONS} reflections, medians of up to {options.repeats} calls; ratios are "
        "speed-ups (baseline time / variant time), x floor is ns per pair / the 4-lane floor\n"
    )
    print(
        "| atoms | reflections | variant | wall ms | CPU ms | ns per atom x reflection | "
        "x floor | vs numpy vectorised | vs serial scalar |"
    )
    print("|---:|---|---|---:|---:|---:|---:|---:|---:|")
    per_pair = {}
    for atoms in options.sizes:
        for list_name, mirror_pairs in LISTS.items():
            s = make_structure(atoms, mirror_pairs)
            arrays = numpy_arrays(s)
            table = variants(atoms, eight_lanes)
            results = {name: function(s, arrays) for name, function in table.items()}
            check_agreement(results)
            times = {
                name: time_calls(lambda f=function: f(s, arrays), options.repeats) for name, function in table.items()
            }
            for name, (wall, cpu) in times.items():
                ns = cpu / (atoms * REFLECTIONS) * 1e9
                per_pair[atoms, list_name, name] = ns
                print(
                    f"| {atoms} | {list_name} | {name} | {wall * 1e3:.2f} | {cpu * 1e3:.2f} | "
                    f"{ns:.2f} | {ns / floor:.2f} | "
                    f"{times['numpy vectorised'][1] / cpu:.2f} | "
                    f"{times['serial scalar'][1] / cpu:.2f} |",
                    flush=True,
                )
    os.environ.pop("PEAKFORGE_SIMD", None)
    best = "serial 8-lane" if eight_lanes else "serial 4-lane"
    if {64, 4096} <= set(options.sizes):
        print(
            "\nWhole call per pair, 64 atoms over 4096 atoms ("
            + best
            + "): "
            + "; ".join(
                f"{list_name} {per_pair[64, list_name, best] / per_pair[4096, list_name, best]:.2f}"
                for list_name in LISTS
            )
        )
    print(
        "All variants agree: every SIMD mode bit for bit with 4 lanes, parallel with serial, "
        "the rest to 1e-12 relative to the pattern's largest intensity."
    )


if __name__ == "__main__":
    main()
