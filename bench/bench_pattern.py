"""compute_pattern end to end: the pattern engine against the exact route.

Run by hand:  .venv/bin/python bench/bench_pattern.py [--repeats N]

Each structure is computed by both routes side by side in one run,
alternating, several times (fast calls several times in a row, so they are
timed warm); the table gives medians per call of wall and CPU time (the CPU
time of all threads of the process: what parallel work costs on a shared
machine) and their ratios exact / engine. Both routes run with their
defaults (worker pool allowed, vector kernel).
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time

import gemmi
import numpy as np

from peakforge_pattern import Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.structures.lattice import lattice_from_parameters
from peakforge_pattern.structures.symmetry import expand_sites


def supercell(structure: Structure, n: int) -> Structure:
    """The n×n×n supercell, given without symmetry operations (its own
    symmetry is found from the atoms)."""
    shifts = np.array([(i, j, k) for i in range(n) for j in range(n) for k in range(n)], dtype=float)
    coords = ((structure.frac_coords[None, :, :] + shifts[:, None, :]) / n).reshape(-1, 3)
    count = len(shifts)
    return Structure.from_arrays(
        structure.lattice * n,
        np.tile(structure.atomic_numbers, count),
        coords,
        np.tile(structure.occupancies, count),
        np.tile(structure.b_factors, count),
        name=f"{structure.name} {n}x{n}x{n}",
    )


def random_p1(atoms: int, seed: int = 7) -> Structure:
    """A triclinic cell of about 10 Å³ per atom filled with C, N, O at random."""
    rng = np.random.default_rng(seed)
    edge = (10.0 * atoms) ** (1 / 3)
    cell = [edge, edge * 1.01, edge * 0.99, 88.0, 91.0, 92.5]
    species = rng.choice(["C", "N", "O"], size=atoms)
    b = {"C": 0.8, "N": 0.9, "O": 1.1}
    return Structure.from_arrays(
        cell, species, rng.uniform(0, 1, (atoms, 3)), b_factors=[b[s] for s in species], name=f"P1, {atoms} atoms"
    )


def general_positions(
    hm: str, cell: list[float], sites: list[tuple[str, tuple[float, float, float], float]], name: str
) -> Structure:
    """Atoms generated from sites by the space group, with its operations."""
    ops = tuple(gemmi.find_spacegroup_by_name(hm).operations())
    frac = np.array([xyz for _, xyz, _ in sites], dtype=float)
    positions, site_of = expand_sites(frac, ops, lattice_from_parameters(*cell), 0.1)
    return Structure.from_arrays(
        cell,
        [sites[i][0] for i in site_of],
        positions,
        b_factors=[sites[i][2] for i in site_of],
        name=name,
        symmetry_operations=[op.triplet() for op in ops],
    )


def timed(call, calls: int = 1) -> tuple[float, float]:
    """Wall and CPU milliseconds per call, over `calls` calls in a row."""
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(calls):
        call()
    return (time.perf_counter() - wall) * 1e3 / calls, (time.process_time() - cpu) * 1e3 / calls


def calls_for(call) -> int:
    """Enough calls in a row to fill about 20 ms, so fast calls are timed warm."""
    return max(1, int(20.0 / max(timed(call)[0], 1e-3)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    corundum = read_cif(example_path("corundum"))
    cases = [
        (read_cif(example_path("silicon")), "CuKa"),
        (corundum, "CuKa"),
        (supercell(read_cif(example_path("rocksalt")), 4), "CuKa"),
        (supercell(read_cif(example_path("rocksalt")), 4), "AgKa"),
        (supercell(corundum, 4), "CuKa"),
        (supercell(corundum, 4), "AgKa"),
        (random_p1(2000), "CuKa"),
        (
            general_positions(
                "F d -3 m",
                [24.3] * 3 + [90.0] * 3,
                [("Si", (0.126, 0.059, 0.031), 0.6), ("O", (0.102, 0.013, 0.172), 1.2), ("O", (0.21, 0.07, 0.11), 1.2)],
                "Fd-3m, 3 general sites",
            ),
            "CuKa",
        ),
    ]
    print(
        "| structure | atoms | λ | reflections | computed | exact ms (CPU) | engine ms (CPU) "
        "| exact/engine wall | exact/engine CPU |"
    )
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|")
    for structure, line in cases:

        def exact() -> None:
            compute_pattern(structure, line, exact=True)

        def engine() -> None:
            compute_pattern(structure, line)

        # A cold call of each first: caches of coefficients and operations.
        engine(), exact()
        times: dict[str, list[tuple[float, float]]] = {"exact": [], "engine": []}
        slow = timed(exact)[0] > 2000
        exact_calls, engine_calls = calls_for(exact), calls_for(engine)
        for _ in range(1 if slow else args.repeats):
            times["exact"].append(timed(exact, exact_calls))
            times["engine"].append(timed(engine, engine_calls))
        if slow:  # a few more of the fast one
            times["engine"] += [timed(engine, engine_calls) for _ in range(args.repeats - 1)]
        med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for k, v in times.items()}
        counts = _counts(structure, line)
        print(
            f"| {structure.name} | {len(structure)} | {line} | {counts[0]} | {counts[1]} "
            f"| {med['exact'][0]:.2f} ({med['exact'][1]:.2f}) | {med['engine'][0]:.2f} ({med['engine'][1]:.2f}) "
            f"| {med['exact'][0] / med['engine'][0]:.1f} | {med['exact'][1] / med['engine'][1]:.1f} |",
            flush=True,
        )


def _counts(structure: Structure, line: str) -> tuple[int, int]:
    """Reflections in the shell, and how many the engine computed."""
    from peakforge_pattern.diffraction import engine_route
    from peakforge_pattern.diffraction.request import PatternRequest

    request = PatternRequest(wavelength=line, two_theta_range=(0.0, 90.0))
    max_g = 2.0 * np.sin(np.radians(45.0)) / request.wavelength
    table = engine_route.engine_columns(structure, request, 0.0, max_g)
    return table["reflections"], table["unique_reflections"]


if __name__ == "__main__":
    main()
