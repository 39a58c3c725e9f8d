"""Speed of calculate_xrd_intensities against NumPy, side by side in one run.

Synthetic cubic structures of 8, 64 and 512 atoms (three species, four
coefficient pairs each) with 2000 reflections, computed by

- peakforge: serial scalar, serial SIMD, and both on a call pool of 2 workers;
- NumPy the way a scientist would write it: vectorised over the atoms, one
  reflection at a time ("numpy per reflection");
- NumPy fully vectorised: reflections x atoms (x pairs) arrays ("numpy
  vectorised").

Every variant must agree with serial scalar: bit for bit where the modes
promise it (parallel vs serial), otherwise to 1e-12 relative to the largest
intensity of the pattern (weak reflections come from cancellation and carry
only absolute rounding error). The table gives medians of wall and CPU time
per call, the cost per atom x reflection, speed ratios, and the peak extra
memory of one call, measured in a fresh child process.

peakforge is timed from Python lists (its input conversion included), NumPy
from ready arrays. The NumPy code makes no BLAS call, so the BLAS settings of
the machine do not enter.

Run by hand, not in CI:  python bench/bench_intensity.py [--repeats N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import peakforge

TWO_PI = 6.283185307179586
DEGREES = 57.29577951308232
MOTT_BETHE = 41.78214
WAVELENGTH = 0.71073  # Mo K-alpha, angstrom
REFLECTIONS = 2000
SIZES = (8, 64, 512)
WORKERS = 2

# Three species, each an electron scattering factor of four (a, b) pairs.
SPECIES = (
    (11, [[0.2, 0.3], [0.8, 2.5], [1.9, 9.8], [1.2, 40.0]], 0.9),
    (17, [[0.3, 0.2], [1.2, 1.9], [2.4, 7.1], [1.6, 26.0]], 0.7),
    (26, [[0.4, 0.3], [1.5, 2.2], [2.8, 8.3], [1.9, 30.0]], 0.4),
)
RNG_SEED = 20240607


def make_structure(atoms):
    """A cubic cell of `atoms` atoms: m^3 copies of a rock-salt basis of 8,
    slightly displaced, with all Miller indices of the 2000 shortest nonzero
    reciprocal-lattice vectors. Plain Python lists, as a host passes them."""
    rng = np.random.default_rng(RNG_SEED + atoms)
    m = round((atoms // 8) ** (1 / 3))
    assert 8 * m ** 3 == atoms
    basis = [(0, 0, 0), (0, .5, .5), (.5, 0, .5), (.5, .5, 0),
             (.5, 0, 0), (0, .5, 0), (0, 0, .5), (.5, .5, .5)]
    cells = [(i, j, k) for i in range(m) for j in range(m) for k in range(m)]
    xyz = np.array([[(c[d] + b[d]) / m for d in range(3)] for c in cells for b in basis])
    xyz = (xyz + rng.normal(0, 0.01 / m, xyz.shape)) % 1.0
    kinds = np.arange(atoms) % 3
    a = 5.64 * m  # cell edge, angstrom
    span = np.arange(-16 * m, 16 * m + 1)
    h, k, l = np.meshgrid(span, span, span, indexing="ij")
    hkl = np.stack([h.ravel(), k.ravel(), l.ravel()], axis=1)
    length = np.sqrt((hkl.astype(float) ** 2).sum(axis=1))
    order = np.argsort(length, kind="stable")
    hkl = hkl[order][1:REFLECTIONS + 1]
    g = length[order][1:REFLECTIONS + 1] / a
    assert g.max() * WAVELENGTH / 2 < 1.0
    return dict(
        hkls=hkl.astype(float).tolist(), g_hkls=g.tolist(), wavelength=WAVELENGTH,
        frac_coords_x=xyz[:, 0].tolist(), frac_coords_y=xyz[:, 1].tolist(),
        frac_coords_z=xyz[:, 2].tolist(),
        atomic_numbers=[SPECIES[s][0] for s in kinds],
        scattering_coeffs=[SPECIES[s][1] for s in kinds],
        occupancies=[1.0] * atoms,
        dw_factors=[SPECIES[s][2] for s in kinds],
    )


def numpy_arrays(s):
    coeffs = np.array(s["scattering_coeffs"])  # (atoms, pairs, 2)
    return dict(hkls=np.array(s["hkls"]), g=np.array(s["g_hkls"]), wavelength=s["wavelength"],
                x=np.array(s["frac_coords_x"]), y=np.array(s["frac_coords_y"]),
                z=np.array(s["frac_coords_z"]), zn=np.array(s["atomic_numbers"], dtype=float),
                a=coeffs[:, :, 0], b=coeffs[:, :, 1], occ=np.array(s["occupancies"]),
                dw=np.array(s["dw_factors"]))


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
    sin_theta = g * wavelength * 0.5
    ok = (g != 0) & ~(sin_theta > 1)
    theta = np.arcsin(np.where(ok, sin_theta, 0.0))
    s2 = (g * 0.5) ** 2
    f = zn - (s2 * MOTT_BETHE)[:, None] * np.sum(
        np.exp(-b[None, :, :] * s2[:, None, None]) * a[None, :, :], axis=2)
    w = f * occ * np.exp(-dw[None, :] * s2[:, None])
    phase = TWO_PI * (hkls[:, 0:1] * x + hkls[:, 1:2] * y + hkls[:, 2:3] * z)
    re = np.sum(w * np.cos(phase), axis=1)
    im = np.sum(w * np.sin(phase), axis=1)
    c = np.cos(2 * theta)
    lp = (c * c + 1.0) / (np.sin(theta) ** 2 * np.cos(theta))
    return np.where(ok[:, None], np.stack([2 * theta * DEGREES, lp * (re * re + im * im)], 1), 0.0)


def peakforge_variant(parallel, use_simd):
    def call(s, _arrays):
        return peakforge.calculate_xrd_intensities(
            *s.values(), parallel, WORKERS if parallel else 0, use_simd)
    return call


VARIANTS = {
    "serial scalar": peakforge_variant(False, False),
    "serial SIMD": peakforge_variant(False, True),
    f"parallel scalar ({WORKERS} workers)": peakforge_variant(True, False),
    f"parallel SIMD ({WORKERS} workers)": peakforge_variant(True, True),
    "numpy per reflection": lambda _s, arrays: numpy_per_reflection(**arrays),
    "numpy vectorised": lambda _s, arrays: numpy_vectorised(**arrays),
}
# Variant -> the one whose bits it must reproduce.
IDENTICAL_TO = {f"parallel scalar ({WORKERS} workers)": "serial scalar",
                f"parallel SIMD ({WORKERS} workers)": "serial SIMD"}


def time_calls(function, repeats, budget=5.0):
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
    scale = np.abs(reference[:, 1]).max()
    for name, result in results.items():
        got = np.asarray(result, dtype=float)
        if name in IDENTICAL_TO:
            same = np.asarray(results[IDENTICAL_TO[name]], dtype=float)
            assert got.tobytes() == same.tobytes(), f"{name} differs from {IDENTICAL_TO[name]}"
            continue
        angle_error = np.abs(got[:, 0] - reference[:, 0]).max() / np.abs(reference[:, 0]).max()
        intensity_error = np.abs(got[:, 1] - reference[:, 1]).max() / scale
        assert angle_error <= 1e-12 and intensity_error <= 1e-12, (
            f"{name}: relative error {angle_error:.3g} in 2theta, {intensity_error:.3g} in I")


def peak_memory(variant, atoms):
    """Peak resident memory one call adds, in a fresh process (bytes)."""
    done = subprocess.run([sys.executable, __file__, "--memory", variant, str(atoms)],
                          capture_output=True, text=True, check=True)
    return int(done.stdout)


def measure_memory(variant, atoms):
    s = make_structure(atoms)
    arrays = numpy_arrays(s)
    function = VARIANTS[variant]
    with open("/proc/self/clear_refs", "w") as f:  # restart the high-water mark
        f.write("5")
    base = rss_kib("VmRSS")
    function(s, arrays)
    print((rss_kib("VmHWM") - base) * 1024)


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--memory", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory:
        measure_memory(options.memory[0], int(options.memory[1]))
        return

    print(f"numpy {np.__version__}, CPU features used by numpy: "
          + " ".join(f for f, on in np._core._multiarray_umath.__cpu_features__.items()
                     if on and f.startswith("AVX512")) + f"; {os.cpu_count()} logical processors")
    print(f"{REFLECTIONS} reflections, medians of up to {options.repeats} calls; "
          "ratios are speed-ups (baseline time / variant time)\n")
    print("| atoms | variant | wall ms | CPU ms | ns per atom x reflection | "
          "vs numpy per reflection | vs numpy vectorised | vs serial scalar | "
          "peak extra memory MiB |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    overheads = []
    for atoms in SIZES:
        s = make_structure(atoms)
        arrays = numpy_arrays(s)
        results = {name: function(s, arrays) for name, function in VARIANTS.items()}
        check_agreement(results)
        times = {name: time_calls(lambda f=function: f(s, arrays), options.repeats)
                 for name, function in VARIANTS.items()}
        for name, (wall, cpu) in times.items():
            memory = peak_memory(name, atoms) / 2 ** 20
            print(f"| {atoms} | {name} | {wall * 1e3:.2f} | {cpu * 1e3:.2f} | "
                  f"{wall / (atoms * REFLECTIONS) * 1e9:.2f} | "
                  f"{times['numpy per reflection'][0] / wall:.2f} | "
                  f"{times['numpy vectorised'][0] / wall:.2f} | "
                  f"{times['serial scalar'][0] / wall:.2f} | {memory:.1f} |", flush=True)
        for mode in ("scalar", "SIMD"):
            serial = times[f"serial {mode}"][1]
            parallel = times[f"parallel {mode} ({WORKERS} workers)"][1]
            overheads.append(f"{atoms} atoms, {mode}: {(parallel / serial - 1) * 100:+.1f}%")
    print("\nCPU time of the parallel walk over its serial mode: " + "; ".join(overheads))
    print("All variants agree: parallel bit for bit with serial, the rest to 1e-12 "
          "relative to the pattern's largest intensity.")


if __name__ == "__main__":
    main()
