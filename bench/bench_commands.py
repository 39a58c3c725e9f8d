"""CPU time of whole `peakforge` commands, this tree against earlier ones,
side by side in one run.

    python bench/bench_commands.py --old today=/tmp/peakforge-e962ed5 --old 532055f=/tmp/peakforge-532055f [--repeats 5]

Each --old NAME=TREE is a source tree whose native modules are built in
TREE/build (without one, TREE/python must hold them); this tree's are taken
from build/dev (else python/). Every command runs --repeats times per
version, the versions alternating, as `python -m peakforge_pattern ...`
with bytecode caching on; the table gives the median CPU time of the
process (user + system, output to /dev/null) and this tree's over each
other version's. "plain start" is this tree run through `cli.main` without
its entry point (BLAS's default threads, the interpreter's full teardown):
  - `peakforge pattern` of the bundled silicon and corundum;
  - `peakforge fit` of the round robin's mixture 1e with its three phases
    (--monochromator 26.6 --radius 173, JSON out).
"""

from __future__ import annotations

import argparse
import resource
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "python" / "peakforge_pattern" / "data"
MEASURED = ROOT / "examples" / "measured"
COMMANDS = {
    "pattern silicon.cif": ["pattern", str(DATA / "silicon.cif")],
    "pattern corundum.cif": ["pattern", str(DATA / "corundum.cif")],
    "fit 1e (3 phases)": [
        "fit",
        str(MEASURED / "qarr_cpd-1e.prn"),
        *(str(MEASURED / name) for name in ("corundum_Al2O3_bilbao.cif", "zincite_ZnO.cif", "fluorite_CaF2.cif")),
        "--monochromator",
        "26.6",
        "--radius",
        "173",
        "-f",
        "json",
    ],
}


def python_path(tree: Path, build: Path) -> list[Path]:
    """A CMake build folder first (it holds the compiled modules), then the sources."""
    return [build, tree / "python"] if list(build.glob("peakforge_pattern/_engine*.so")) else [tree / "python"]


PLAIN_START = ["-c", "import sys; from peakforge_pattern.cli import main; sys.exit(main(sys.argv[1:]))"]


def cpu_of(arguments: list[str], path: list[Path], launcher: list[str]) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(
        [sys.executable, *launcher, *arguments],
        env=command_environment(*path),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=True,
    )
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", action="append", default=[], help="NAME=TREE of an earlier version (repeatable)")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    entry = ["-m", "peakforge_pattern"]
    this = python_path(ROOT, ROOT / "build" / "dev")
    versions = {"this tree": (this, entry), "plain start": (this, PLAIN_START)}
    for given in args.old:
        name, _, tree = given.partition("=")
        versions[name] = (python_path(Path(tree), Path(tree) / "build"), entry)
    others = [name for name in versions if name != "this tree"]
    print(f"CPU seconds of the whole process, median of {args.repeats}\n")
    print("| command | " + " | ".join(versions) + " | " + " | ".join(f"this / {n}" for n in others) + " |")
    print("|---|" + "---:|" * (len(versions) + len(others)))
    for title, arguments in COMMANDS.items():
        times: dict[str, list[float]] = {name: [] for name in versions}
        for _ in range(args.repeats):
            for name, (path, launcher) in versions.items():
                times[name].append(cpu_of(arguments, path, launcher))
        median = {name: statistics.median(values) for name, values in times.items()}
        cells = [f"{median[name]:.3f}" for name in versions]
        ratios = [f"{median['this tree'] / median[name]:.2f}" for name in others]
        print(f"| `{title}` | " + " | ".join(cells + ratios) + " |", flush=True)


if __name__ == "__main__":
    main()
