"""The symmetry search of atoms given without operations, and Ctrl-C in it.

    python bench/bench_symmetry_search.py [--old TREE] [--timeout 120]

Structures (from arrays, no operations): a rock-salt supercell (its symmetry
m-3m found), random atoms on a jittered grid (no symmetry), and the same
supercell with one atom moved (3m, the hardest case: every candidate
operation is followed by all atoms but a few). Each is timed in a child
process (CPU time of the engine call with a shell of a few reflections, so
the search dominates), for this tree and, with --old, for an earlier build
(TREE/python and TREE/build, as bench_batch_versions.py). Then Ctrl-C: a
child searching a supercell of 216 000 atoms (seconds of search) without a
work limit gets SIGINT after 0.5 s; the table gives the time from the signal
to the KeyboardInterrupt caught in the child. Prints Markdown tables.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

CHILD = """
import sys, time
import numpy as np
from peakforge_pattern import Structure
from peakforge_pattern.diffraction.engine_route import engine_columns
try:
    from peakforge_pattern.diffraction.request import PatternRequest
    def search(structure):
        return engine_columns(structure, PatternRequest(wavelength=1.54, parallel=False, max_work=None), 0.0, 0.05)
except ImportError:  # an earlier build, whose engine_columns takes its options as keywords
    def search(structure):
        return engine_columns(structure, 1.54, 0.0, 0.05, radiation="xray", anomalous=False,
                              monochromator_angle=0.0, merge_tolerance=1e-5, relative_threshold=1e-3,
                              parallel=False, num_threads=1, use_simd=True)

def rock_salt(n, moved=False):
    fcc = np.array([[0, 0, 0], [0, .5, .5], [.5, 0, .5], [.5, .5, 0]])
    cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)])
    sodium = (fcc[None] + cells[:, None]).reshape(-1, 3)
    frac = np.concatenate([sodium, sodium + [.5, 0, 0]]) / n
    if moved:
        frac[len(frac) // 3] += [0.3 / n, 0.3 / n, 0.3 / n]
    return Structure.from_arrays([5.64 * n] * 3 + [90] * 3, ["Na"] * len(sodium) + ["Cl"] * len(sodium), frac)

def scattered(atoms):
    rng = np.random.default_rng(1)
    m = int(np.ceil(atoms ** (1 / 3)))
    grid = np.array(np.meshgrid(*[np.arange(m)] * 3)).reshape(3, -1).T[:atoms]
    return Structure.from_arrays([m * 2.3] * 3 + [90] * 3, rng.choice(["Si", "O"], atoms),
                                 (grid + 0.5 + rng.uniform(-0.2, 0.2, grid.shape)) / m)

kind, size, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
structure = {"supercell": lambda: rock_salt(size), "moved": lambda: rock_salt(size, True),
             "random": lambda: scattered(size)}[kind]()
print(len(structure), flush=True)
start = time.process_time()
try:
    table = search(structure)
    print(f"{time.process_time() - start:.3f} {table['point_group_order']}", flush=True)
except KeyboardInterrupt:
    print(f"interrupted {time.monotonic():.6f}", flush=True)
"""

CASES = [
    ("supercell", 10),
    ("supercell", 17),
    ("supercell", 23),
    ("random", 5000),
    ("random", 40000),
    ("random", 100000),
    ("moved", 10),
    ("moved", 17),
    ("moved", 23),
]


def child(tree: Path, build: Path, *arguments: str) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=f"{build}{os.pathsep}{tree / 'python'}")
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, *arguments], env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )


def timed(tree: Path, build: Path, kind: str, size: int, timeout: float) -> tuple[int, str]:
    process = child(tree, build, kind, str(size), "time")
    atoms = int(process.stdout.readline())
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return atoms, f"> {timeout:.0f} s"
    seconds, order = out.split()
    return atoms, f"{float(seconds):.2f} s (order {order})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", type=Path, help="source tree of an earlier build (its modules in TREE/build)")
    parser.add_argument("--timeout", type=float, default=120.0)
    args = parser.parse_args()
    versions = [("this tree", ROOT, ROOT / "build" / "dev")]
    if args.old is not None:
        versions.append(("earlier build", args.old, args.old / "build"))
    print("| structure | atoms | " + " | ".join(f"{name}: CPU" for name, _, _ in versions) + " |")
    print("|---|---:|" + "---:|" * len(versions))
    for kind, size in CASES:
        cells = [timed(tree, build, kind, size, args.timeout) for _, tree, build in versions]
        print(f"| {kind} | {cells[0][0]} | " + " | ".join(cell for _, cell in cells) + " |", flush=True)

    print()
    print("| Ctrl-C in the search (supercell, ~5 s of search) | atoms | signal to KeyboardInterrupt |")
    print("|---|---:|---:|")
    for _ in range(3):
        process = child(ROOT, ROOT / "build" / "dev", "supercell", "30", "interrupt")
        atoms = int(process.stdout.readline())
        time.sleep(0.5)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, _ = process.communicate(timeout=60)
        words = out.split()
        latency = f"{(float(words[1]) - sent) * 1e3:.0f} ms" if words[:1] == ["interrupted"] else out.strip()
        print(f"| this tree | {atoms} | {latency} |", flush=True)


if __name__ == "__main__":
    main()
