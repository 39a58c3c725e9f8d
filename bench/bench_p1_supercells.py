"""Supercells given in P1: the pattern with the symmetry their atoms follow
(the default) against the same pattern computed as given, side by side in
one run, and with --old against an earlier build.

    python bench/bench_p1_supercells.py [--old TREE] [--repeats 3]

Aluminium (fcc) repeated n × n × n and written as a P1 structure (the
identity its only operation), for n = 2, 4 and 6: 32, 256 and 864 atoms,
whose atoms follow Fm-3m with 48 rotations times 4 n³ shifts (1536, 12 288
and 41 472 operations). Each size runs in a child process per tree
(TREE/python and TREE/build, as bench_batch_versions.py; this tree's build
is build/dev), which times `compute_pattern(structure, "CuKa", (10, 90))`
and the same with `as_given=True`: CPU ms, best of --repeats, the cache of
parsed operations emptied before each call (a new file's operations are new
text). Prints a Markdown table with the ratios.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
SIZES = (2, 4, 6)

CHILD = """
import json, sys, time
import numpy as np
from peakforge_pattern import Structure, compute_pattern
from peakforge_pattern.diffraction.engine_route import operation_arrays

n, repeats = int(sys.argv[1]), int(sys.argv[2])
fcc = np.array([[0, 0, 0], [0, .5, .5], [.5, 0, .5], [.5, .5, 0]])
cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)])
frac = (fcc[None] + cells[:, None]).reshape(-1, 3) / n
structure = Structure.from_arrays([4.0495 * n] * 3 + [90] * 3, ["Al"] * len(frac), frac,
                                  symmetry_operations=["x,y,z"])

def best(**options):
    times = []
    for _ in range(repeats):
        operation_arrays.cache_clear()  # each call parses its operations, as a new file's would be
        start = time.process_time()
        pattern = compute_pattern(structure, "CuKa", (10, 90), **options)
        times.append(time.process_time() - start)
    return 1e3 * min(times), pattern

found, pattern = best()
given, plain = best(as_given=True)
same = bool(np.allclose(pattern.intensity, plain.intensity, rtol=1e-9, atol=1e-9))
print(json.dumps({"atoms": len(frac), "found": found, "given": given, "same": same, "notes": list(pattern.notes)}))
"""


def measure(tree: Path, build: Path, n: int, repeats: int) -> dict:
    """One size in a child process of one tree."""
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(n), str(repeats)],
        env=command_environment(build, tree / "python"),
        capture_output=True,
        text=True,
        check=True,
    )
    result: dict = json.loads(done.stdout.splitlines()[-1])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", type=Path, help="source tree of an earlier build (its modules in TREE/build)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    old_header = " found ms, earlier build | earlier / this |" if args.old else ""
    print(f"| n | atoms | as given ms | found ms | found / as given |{old_header}")
    print("|---:|---:|---:|---:|---:|" + ("---:|---:|" if args.old else ""))
    for n in SIZES:
        new = measure(ROOT, ROOT / "build" / "dev", n, args.repeats)
        if not new["same"]:
            raise RuntimeError(f"n={n}: the pattern found differs from the pattern as given")
        row = f"| {n} | {new['atoms']} | {new['given']:.1f} | {new['found']:.1f} | {new['found'] / new['given']:.1f} |"
        if args.old:
            old = measure(args.old, args.old / "build", n, args.repeats)
            row += f" {old['found']:.1f} | {old['found'] / new['found']:.1f} |"
        print(row)


if __name__ == "__main__":
    main()
