"""Start-up of the `peakforge` command: what `python -X importtime -m
peakforge_pattern pattern` imports, for this tree and an earlier build, side
by side in one run.

    python bench/bench_startup.py [--old TREE] [--repeats 7]

For each tree (TREE/python on the path, its modules built in TREE/build; this
tree's in build/dev) the command runs --repeats times, alternating; the table
gives the best total import time (the sum of the top-level modules'
cumulative times), the best CPU time of the whole command, and which of the
heavy optional packages (SciPy, pyarrow, pandas, matplotlib, Dask) and tqdm
were imported at all. Also the imports of `peakforge batch` worker processes
(`import peakforge_pattern.batch.worker`).
"""

from __future__ import annotations

import argparse
import resource
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
HEAVY = ("scipy", "pyarrow", "pandas", "matplotlib", "dask", "distributed", "tqdm")


def run(tree: Path, build: Path, arguments: list[str]) -> tuple[float, float, set[str]]:
    """Total import seconds, CPU seconds and heavy packages imported by one run."""
    env = command_environment(build, tree / "python")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(
        [sys.executable, "-X", "importtime", *arguments],
        env=env,
        text=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        check=True,
    )
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    total, heavy = 0, set()
    for line in done.stderr.splitlines():
        if not line.startswith("import time:") or "|" not in line:
            continue
        _, cumulative, name = line.split("|")
        if not cumulative.strip().isdigit():
            continue
        if not name.startswith("  "):  # a top-level import: one space after the bar, two per level below
            total += int(cumulative)
        top = name.strip().split(".")[0]
        if top in HEAVY:
            heavy.add(top)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return total / 1e6, cpu, heavy


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", type=Path, help="source tree of an earlier build (its modules in TREE/build)")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    versions = [("this tree", ROOT, ROOT / "build" / "dev")]
    if args.old is not None:
        versions.append(("earlier build", args.old, args.old / "build"))
    commands = [
        ("peakforge pattern", ["-m", "peakforge_pattern", "pattern"]),
        ("batch worker imports", ["-c", "import peakforge_pattern.batch.worker"]),
    ]
    print("| command | build | imports s (best) | CPU s (best) | heavy packages imported |")
    print("|---|---|---:|---:|---|")
    for title, arguments in commands:
        best = {name: (float("inf"), float("inf"), set()) for name, _, _ in versions}
        for _ in range(args.repeats):
            for name, tree, build in versions:
                total, cpu, heavy = run(tree, build, arguments)
                best[name] = (min(best[name][0], total), min(best[name][1], cpu), heavy)
        for name, _, _ in versions:
            total, cpu, heavy = best[name]
            print(f"| {title} | {name} | {total:.3f} | {cpu:.3f} | {', '.join(sorted(heavy)) or 'none'} |")


if __name__ == "__main__":
    main()
