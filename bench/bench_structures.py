"""Reading structures and small patterns: where the time goes before and
after the pattern engine, side by side with the alternatives in one run.

    python bench/bench_structures.py [--repeats 5] [--old /tmp/peakforge-532055f]

Prints three Markdown tables of CPU time per call (best of --repeats warm
rounds, each round enough calls in a row to fill ~50 ms) and the ratios:
  1. reading a CIF (read_cif: gemmi's parse, our site expansion, image
     merging, close-site and metric checks) against gemmi's own read and
     site expansion (read_small_structure + get_all_unit_cell_sites), for
     silicon, corundum, a faujasite (FAU, Fd-3m, 576 atoms) and IRMOF-1
     (Fm-3m, 424 atoms) written here with gemmi, their 192 operations
     listed; with --old, an earlier build (a source tree with its modules
     built into OLD/build) reads the same files in a child process, and
     this tree in another, alternately, each against gemmi in its process;
  2. compute_pattern(path) on that faujasite, Cu Kα, 2θ 0–90°, against a
     straightforward pipeline of the module's five functions reading the
     file with gemmi (generate_hkl_points, calculate_xrd_intensities,
     merge_peaks, normalize_intensities, get_unique_families_rust);
  3. compute_pattern of an 8-atom Structure (silicon), Cu Kα, against the
     engine call alone (engine_columns) on the same structure.
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import gemmi
import numpy as np

import peakforge
from peakforge_pattern import Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.diffraction.engine_route import engine_columns
from peakforge_pattern.diffraction.request import PatternRequest
from peakforge_pattern.diffraction.scattering import electron_coefficients

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]

FAU_SITES = [
    ("Si1", "Si", (-0.05381, 0.12500, 0.03581), 0.010),
    ("O1", "O", (0.0, -0.10695, 0.10695), 0.020),
    ("O2", "O", (-0.00287, -0.00287, 0.14227), 0.020),
    ("O3", "O", (0.07521, 0.07521, -0.03473), 0.020),
    ("O4", "O", (0.07181, 0.07181, 0.32063), 0.020),
]


# IRMOF-1 (Zn4O(BDC)3, Fm-3m, a = 25.832 Å): 32 Zn, 104 O, 192 C, 96 H.
IRMOF1_SITES = [
    ("Zn1", "Zn", (0.2934, 0.2066, 0.2066), 0.015),
    ("O1", "O", (0.25, 0.25, 0.25), 0.015),
    ("O2", "O", (0.2819, 0.2181, 0.1337), 0.030),
    ("C1", "C", (0.25, 0.25, 0.1118), 0.030),
    ("C2", "C", (0.25, 0.25, 0.0541), 0.030),
    ("C3", "C", (0.2837, 0.2163, 0.0268), 0.040),
    ("H3", "H", (0.3060, 0.1940, 0.0460), 0.050),
]


def write_faujasite(path: Path) -> Path:
    """FAU (a = 24.345 Å, Fd-3m origin 2, 192 Si + 384 O) as a CIF that lists its operations."""
    return write_cubic(path, "FAU", 24.345, "F d -3 m:2", FAU_SITES)


def write_irmof1(path: Path) -> Path:
    """IRMOF-1 (a = 25.832 Å, Fm-3m, 424 atoms) as a CIF that lists its operations."""
    return write_cubic(path, "IRMOF-1", 25.832, "F m -3 m", IRMOF1_SITES)


def write_cubic(path: Path, name: str, a: float, group: str, sites: list) -> Path:
    """A cubic structure written with gemmi, its space group's operations listed."""
    st = gemmi.SmallStructure()
    st.name = name
    st.cell = gemmi.UnitCell(a, a, a, 90, 90, 90)
    st.spacegroup_hm = group
    for label, element, xyz, u in sites:
        site = gemmi.SmallStructure.Site()
        site.label, site.element, site.fract, site.u_iso, site.occ = (
            label,
            gemmi.Element(element),
            gemmi.Fractional(*xyz),
            u,
            1.0,
        )
        st.add_site(site)
    block = st.make_cif_block()
    loop = block.init_loop("_space_group_symop_", ["operation_xyz"])
    for op in gemmi.find_spacegroup_by_name(group).operations():
        loop.add_row([gemmi.cif.quote(op.triplet())])
    path.write_text(block.as_string())
    return path


def gemmi_expanded(path: Path) -> tuple[gemmi.SmallStructure, list]:
    """gemmi's own reading and site expansion."""
    st = gemmi.read_small_structure(str(path))
    return st, st.get_all_unit_cell_sites()


def five_function_pattern(path: Path, wavelength: float = 1.5406, two_theta_max: float = 90.0) -> list:
    """The pattern through the module's five functions, the file read with gemmi."""
    st, sites = gemmi_expanded(path)
    cell = st.cell
    reciprocal = np.array(cell.frac.mat, dtype=float)  # rows a*, b*, c* (1/Å)
    max_r = 2 * np.sin(np.radians(two_theta_max / 2)) / wavelength
    points = peakforge.generate_hkl_points(reciprocal.tolist(), max_r, 0.0)
    hkls = [p[0] for p in points]
    g = [p[1] for p in points]
    numbers = [site.element.atomic_number for site in sites]
    coefficients = [[list(pair) for pair in electron_coefficients(z)] for z in numbers]
    x = [site.fract.x for site in sites]
    y = [site.fract.y for site in sites]
    z = [site.fract.z for site in sites]
    occupancies = [site.occ for site in sites]
    b = [8 * np.pi**2 * site.u_iso for site in sites]
    peaks = peakforge.calculate_xrd_intensities(
        hkls, g, wavelength, x, y, z, numbers, coefficients, occupancies, b, True, 0, True
    )
    two_theta, intensity = [p[0] for p in peaks], [p[1] for p in peaks]
    merged = peakforge.merge_peaks(
        two_theta, intensity, [[int(round(c)) for c in h] for h in hkls], [1.0 / v for v in g], 1e-5
    )
    scaled = peakforge.normalize_intensities(merged[1], 100.0)
    return [(t, s, peakforge.get_unique_families_rust(f)) for t, s, f in zip(merged[0], scaled, merged[2]) if s >= 1e-3]


def cpu_ms(call, repeats: int) -> float:
    """Best over `repeats` rounds of the CPU milliseconds per call."""
    call()  # warm: caches of coefficients and operations
    start = time.process_time()
    call()
    once = max(time.process_time() - start, 1e-5)
    calls = max(1, int(0.05 / once))
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.process_time()
        for _ in range(calls):
            call()
        best = min(best, (time.process_time() - start) / calls)
    return best * 1e3


# Run in a child process with a version's PYTHONPATH: CPU ms per read_cif
# and per gemmi read + expansion of each file (argv: repeats, then paths).
_READ_TIMES = """
import gc, json, sys, time
import gemmi
from peakforge_pattern import read_cif
def cpu_ms(call, repeats):
    call()
    start = time.process_time()
    call()
    calls = max(1, int(0.05 / max(time.process_time() - start, 1e-5)))
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.process_time()
        for _ in range(calls):
            call()
        best = min(best, (time.process_time() - start) / calls)
    return best * 1e3
repeats = int(sys.argv[1])
times = {}
for path in sys.argv[2:]:
    ours = cpu_ms(lambda: read_cif(path), repeats)
    theirs = cpu_ms(lambda: gemmi.read_small_structure(path).get_all_unit_cell_sites(), repeats)
    times[path] = (ours, theirs)
print(json.dumps(times))
"""


def read_times(python_path: list[Path], files: list[Path], repeats: int) -> dict[str, tuple[float, float]]:
    """CPU ms of read_cif and of gemmi's read + expansion per file, in a child process of that version."""
    done = subprocess.run(
        [sys.executable, "-c", _READ_TIMES, str(repeats), *map(str, files)],
        env=command_environment(*python_path),
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def compare_reads(old: Path, files: list[tuple[str, Path]], repeats: int) -> None:
    """The read table with the earlier build beside this tree, each version in
    its own child process, alternating, best of rounds."""
    versions = {"old": [old / "build", old / "python"], "new": [ROOT / "build" / "dev", ROOT / "python"]}
    best: dict[str, dict[str, list[float]]] = {name: {} for name in versions}
    for _ in range(3):
        for name, python_path in versions.items():
            for path, pair in read_times(python_path, [p for _, p in files], repeats).items():
                kept = best[name].setdefault(path, [float("inf"), float("inf")])
                best[name][path] = [min(kept[0], pair[0]), min(kept[1], pair[1])]
    print(
        "| file | atoms | read_cif ms | gemmi ms | read_cif / gemmi | earlier build ms | gemmi ms (its process) | earlier / gemmi | this / earlier |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, path in files:
        (new, new_gemmi), (old_ms, old_gemmi) = best["new"][str(path)], best["old"][str(path)]
        print(
            f"| {name} | {len(read_cif(path))} | {new:.3f} | {new_gemmi:.3f} | {new / new_gemmi:.2f} | {old_ms:.3f} "
            f"| {old_gemmi:.3f} | {old_ms / old_gemmi:.2f} | {new / old_ms:.2f} |",
            flush=True,
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--old", type=Path, help="source tree of an earlier build, its modules in OLD/build")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        fau = write_faujasite(Path(folder) / "FAU.cif")
        irmof1 = write_irmof1(Path(folder) / "IRMOF-1.cif")
        files = [
            ("silicon", example_path("silicon")),
            ("corundum", example_path("corundum")),
            ("FAU", fau),
            ("IRMOF-1", irmof1),
        ]
        if args.old is not None:
            compare_reads(args.old, files, args.repeats)
            return

        print("| file | atoms | read_cif ms | gemmi read + expand ms | read_cif / gemmi |")
        print("|---|---:|---:|---:|---:|")
        for name, path in files:
            ours = cpu_ms(lambda path=path: read_cif(path), args.repeats)
            theirs = cpu_ms(lambda path=path: gemmi_expanded(path), args.repeats)
            print(f"| {name} | {len(read_cif(path))} | {ours:.3f} | {theirs:.3f} | {ours / theirs:.2f} |", flush=True)

        print()
        print("| FAU, Cu Kα, 2θ 0–90° | ms (CPU) | five-function pipeline / this |")
        print("|---|---:|---:|")
        pipeline = cpu_ms(lambda: five_function_pattern(fau), max(1, args.repeats // 2))
        whole = cpu_ms(lambda: compute_pattern(fau, 1.5406, (0, 90)), args.repeats)
        print(f"| five functions, read with gemmi | {pipeline:.1f} | 1.0 |")
        print(f"| compute_pattern(path) | {whole:.2f} | {pipeline / whole:.1f} |", flush=True)

        print()
        silicon = read_cif(example_path("silicon"))
        eight = Structure.from_arrays(
            silicon.lattice,
            silicon.atomic_numbers,
            silicon.frac_coords,
            silicon.occupancies,
            silicon.b_factors,
            symmetry_operations=silicon.symmetry_operations,
        )
        min_g, max_g = 0.0, 2 * np.sin(np.radians(45.0)) / 1.5406
        request = PatternRequest(wavelength=1.5406)
        engine = cpu_ms(lambda: engine_columns(eight, request, min_g, max_g), args.repeats)
        whole = cpu_ms(lambda: compute_pattern(eight, 1.5406, (0, 90)), args.repeats)
        print("| 8 atoms (silicon), Cu Kα, 2θ 0–90° | ms (CPU) | / engine call |")
        print("|---|---:|---:|")
        print(f"| engine call alone | {engine:.3f} | 1.0 |")
        print(f"| compute_pattern(Structure) | {whole:.3f} | {whole / engine:.2f} |")


if __name__ == "__main__":
    main()
