"""The pattern engine of two builds side by side: the same structures and
calls as bench_pattern.py's engine column, each build in its own process,
the two processes taking turns, in one run.

Run by hand:  .venv/bin/python bench/compare_engine_builds.py BASELINE_DIR CANDIDATE_DIR [--rounds N]

A build directory is what goes first on PYTHONPATH (build/<dir>, holding
peakforge_pattern/_engine*.so); "installed" means the engine installed in
the environment. The table gives per structure the median CPU ms per call of
each build over the rounds (CPU time of all threads) and baseline/candidate.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCES = HERE.parent / "python"

CHILD = """
import json, sys
sys.path.insert(0, {bench!r})
from bench_pattern import calls_for, timed, supercell, random_p1, general_positions, _counts
from peakforge_pattern import compute_pattern, example_path, read_cif
corundum = read_cif(example_path("corundum"))
cases = [
    (read_cif(example_path("silicon")), "CuKa"),
    (corundum, "CuKa"),
    (supercell(read_cif(example_path("rocksalt")), 4), "CuKa"),
    (supercell(read_cif(example_path("rocksalt")), 4), "AgKa"),
    (supercell(corundum, 4), "CuKa"),
    (random_p1(2000), "CuKa"),
    (general_positions("F d -3 m", [24.3] * 3 + [90.0] * 3,
                       [("Si", (0.126, 0.059, 0.031), 0.6), ("O", (0.102, 0.013, 0.172), 1.2),
                        ("O", (0.21, 0.07, 0.11), 1.2)], "Fd-3m, 3 general sites"), "CuKa"),
]
out = []
for structure, line in cases:
    call = lambda: compute_pattern(structure, line)
    call()
    wall, cpu = timed(call, calls_for(call))
    out.append([structure.name, line, len(structure), *map(int, _counts(structure, line)), wall, cpu])
print(json.dumps(out))
"""


def run(build: str) -> list:
    env = dict(os.environ)
    paths = [str(SOURCES)] if build == "installed" else [str(Path(build).resolve()), str(SOURCES)]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    done = subprocess.run(
        [sys.executable, "-c", CHILD.format(bench=str(HERE))], env=env, capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    results: dict[str, list[list]] = {"baseline": [], "candidate": []}
    for _ in range(args.rounds):
        results["baseline"].append(run(args.baseline))
        results["candidate"].append(run(args.candidate))
    print(
        "| structure | atoms | λ | computed (baseline) | computed (candidate) | baseline CPU ms | candidate CPU ms "
        "| baseline/candidate |"
    )
    print("|---|---:|---|---:|---:|---:|---:|---:|")
    for i, row in enumerate(results["baseline"][0]):
        name, line, atoms = row[:3]
        base = statistics.median(r[i][6] for r in results["baseline"])
        cand = statistics.median(r[i][6] for r in results["candidate"])
        print(
            f"| {name} | {atoms} | {line} | {row[4]} | {results['candidate'][0][i][4]} | {base:.2f} | {cand:.2f} "
            f"| {base / cand:.2f} |"
        )


if __name__ == "__main__":
    main()
