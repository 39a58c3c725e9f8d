"""`peakforge batch` throughput of this tree against another build of
peakforge (an earlier commit), side by side on one corpus in one run.

    python bench/bench_batch_versions.py --old /tmp/old-tree [--count 1000] [--workers 2] [--repeats 3]

--old names a source tree of the earlier commit whose native modules are
built into OLD/build (cmake -S OLD -B OLD/build ...); this tree's modules
are taken from build/dev (or --new-build). Each round runs
`python -m peakforge_pattern batch CORPUS --out OUT --overwrite --no-progress`
once per version, alternating, with PYTHONPATH=BUILD:TREE/python (a CMake build directory holds the
whole package; an earlier tree's build may hold only the modules), and takes
the CPU time of the command and all its workers (user + system, from
getrusage of the reaped children) and the wall time. The corpus is
bench/make_corpus.py's synthetic mix. Prints a Markdown table: best
structures per second of CPU and of wall time, and new/old ratios.
"""

from __future__ import annotations

import argparse
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402
from make_corpus import make_corpus  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]


def run_batch(tree: Path, build: Path, corpus: Path, out: Path, workers: int) -> tuple[float, float, int]:
    """Wall and CPU seconds of one batch run (the CPU of every process it
    started), and how many structures it computed without error."""
    env = command_environment(build, tree / "python")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "peakforge_pattern",
            "batch",
            str(corpus),
            "--out",
            str(out),
            "--overwrite",
            "--no-progress",
            "--workers",
            str(workers),
        ],
        env=env,
        capture_output=True,
        text=True,
    )
    if done.returncode not in (0, 2):  # 2: the corpus's malformed files gave error rows
        raise RuntimeError(f"batch failed ({done.returncode}): {done.stderr[-2000:]}")
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    found = re.search(r"(\d+) ok", done.stdout + done.stderr)
    if found is None:
        raise RuntimeError(f"no summary from the batch run: {done.stderr[-2000:]}")
    return wall, cpu, int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", type=Path, required=True, help="source tree of the earlier build")
    parser.add_argument("--old-build", type=Path, help="its build folder (default OLD/build)")
    parser.add_argument("--new-build", type=Path, default=ROOT / "build" / "dev")
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    versions = {"old": (args.old, args.old_build or args.old / "build"), "new": (ROOT, args.new_build)}
    with tempfile.TemporaryDirectory() as folder:
        corpus = Path(folder) / "corpus"
        make_corpus(corpus, args.count)
        best: dict[str, tuple[float, float]] = {name: (float("inf"), float("inf")) for name in versions}
        computed: dict[str, int] = {}
        for _ in range(args.repeats):
            for name, (tree, build) in versions.items():
                wall, cpu, computed[name] = run_batch(tree, build, corpus, Path(folder) / f"out-{name}", args.workers)
                best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    # A build that cannot compute (its engine not found) fails every row fast:
    # such a run measures nothing.
    if abs(computed["new"] - computed["old"]) > 0.02 * args.count:
        raise RuntimeError(f"the versions computed different numbers of structures: {computed}")
    print(
        f"| {args.count} structures, {args.workers} workers | computed | wall s | CPU s | structures/s (wall) "
        "| structures/s (CPU) |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    for name in versions:
        wall, cpu = best[name]
        print(
            f"| {name} | {computed[name]} | {wall:.2f} | {cpu:.2f} | {args.count / wall:.0f} | {args.count / cpu:.0f} |"
        )
    (old_wall, old_cpu), (new_wall, new_cpu) = best["old"], best["new"]
    print(f"| new / old | | | | {old_wall / new_wall:.2f} | {old_cpu / new_cpu:.2f} |")


if __name__ == "__main__":
    main()
