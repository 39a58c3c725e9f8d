"""`peakforge fit` of the three-phase round-robin mixture 1e (7251 points),
against the fit of an earlier commit built beside it, side by side in one run.

    python bench/bench_fit.py [--old 532055f] [--repeats 3] [--engine build/dev]

1. The whole command, `peakforge fit qarr_cpd-1e.prn corundum zincite fluorite
   --monochromator 26.6 --radius 173 -f json`, of this tree and of the old
   commit (checked out with `git worktree add` under /tmp and built there on
   first use), alternated; CPU time (user + system) of each process, and the
   CPU time of a process that only imports what the command imports, so that
   the fit itself shows apart from start-up.
2. One binned profile rendered by each tree (the old one's NumPy, this
   one's native kernel): CPU time and the largest difference.
3. This tree's fit in one process with the analytic Jacobian, the same
   without stages or other starts (``staged=False, retries=0``: the cost of
   the staged start), and with finite differences for every parameter
   (their slots emptied): CPU time, model evaluations, and every fitted
   value's difference in units of its e.s.d. between the first and the last.

Prints Markdown tables with the medians and ratios. The machine's two
processors share one core: CPU time, not wall time, is the measure.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT.parent / "shared" / "data" / "measured"
FILES = [
    DATA / "qarr_cpd-1e.prn",
    DATA / "corundum_Al2O3_bilbao.cif",
    DATA / "zincite_ZnO.cif",
    DATA / "fluorite_CaF2.cif",
]
OPTIONS = ["--monochromator", "26.6", "--radius", "173"]
IMPORTS = "import peakforge_pattern.cli, scipy.optimize"

SAME_PROCESS = r"""
import json, sys, time
from peakforge_pattern.fitting import fit_pattern, analytic_derivatives
files, options = json.loads(sys.argv[1])
fit_pattern(files[0], files[1:], **options)  # warm: imports, caches
out = {}
for label in ("analytic", "all at once", "numerical"):
    if label == "numerical":
        analytic_derivatives.AnalyticDerivatives.attach = lambda self, parameters=None: None
    extra = {"staged": False, "retries": 0} if label == "all at once" else {}
    start = time.process_time()
    result = fit_pattern(files[0], files[1:], **options, **extra)
    cpu = time.process_time() - start
    values = dict(result.parameters)
    values.update({p.name + " weight fraction": p.weight_fraction for p in result.phases})
    esds = dict(result.uncertainties)
    esds.update({p.name + " weight fraction": p.weight_fraction_esd for p in result.phases})
    out[label] = {"cpu": cpu, "evaluations": result.evaluations, "values": values, "esds": esds,
                  "rwp": result.rwp}
print(json.dumps(out))
"""


RENDERING = r"""
import json, time
import numpy as np
from peakforge_pattern.profiles.shapes import bin_edges, binned_peaks
rng = np.random.default_rng(1)
edges = bin_edges(np.linspace(5.0, 150.0, 7251))
peaks = (rng.uniform(5.0, 150.0, 400), rng.uniform(0.05, 0.3, 400), rng.uniform(0.2, 0.8, 400),
         rng.uniform(1.0, 100.0, 400), rng.uniform(-0.2, 0.2, 400))
binned_peaks(edges, *peaks)
start = time.process_time()
for _ in range(20):
    profile = binned_peaks(edges, *peaks)
print(json.dumps({"cpu": (time.process_time() - start) / 20, "profile": profile.tolist()}))
"""


def cpu_of(command: list[str], env: dict[str, str]) -> float:
    """CPU seconds (user + system) of a child process run to its end."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def old_tree(commit: str) -> Path:
    """The old commit checked out under /tmp and built there (once)."""
    tree = Path("/tmp") / f"peakforge-{commit}"
    if not tree.exists():
        subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(tree), commit], check=True)
    build = tree / "build"
    if not list((build / "peakforge_pattern").glob("_engine*.so")):
        cmake = str(Path(sys.executable).with_name("cmake"))
        subprocess.run(
            [
                cmake,
                "-S",
                str(tree),
                "-B",
                str(build),
                "-G",
                "Ninja",
                f"-DPython_EXECUTABLE={sys.executable}",
                "-DCMAKE_BUILD_TYPE=Release",
            ],
            check=True,
        )
        subprocess.run([cmake, "--build", str(build), "-j2"], check=True)
    return tree


def environment(python_dir: Path, engine_dir: Path | None) -> dict[str, str]:
    # The build directory first: it holds the whole package. Without one,
    # the installed package is used (the source folder alone has no engine).
    if engine_dir is None:
        env = command_environment()
        del env["PYTHONPATH"]
        return env
    return command_environment(engine_dir, python_dir)


def median(values: list[float]) -> float:
    return statistics.median(values)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", default="532055f", help="the commit to compare with")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--engine",
        type=Path,
        default=ROOT / "build" / "dev",
        help="build directory holding this tree's engine (default build/dev; the installed one if it has none)",
    )
    args = parser.parse_args()
    old = old_tree(args.old)
    engine = args.engine if list((args.engine / "peakforge_pattern").glob("_engine*.so")) else None
    trees = {"old": environment(old / "python", old / "build"), "new": environment(ROOT / "python", engine)}
    command = [sys.executable, "-m", "peakforge_pattern", "fit", *map(str, FILES), *OPTIONS, "-f", "json"]
    imports = [sys.executable, "-c", IMPORTS]

    times: dict[str, dict[str, list[float]]] = {k: {"command": [], "imports": []} for k in trees}
    for _ in range(args.repeats):
        for name, env in trees.items():
            times[name]["command"].append(cpu_of(command, env))
            times[name]["imports"].append(cpu_of(imports, env))

    print(f"## peakforge fit, 1e mixture (7251 points, 3 phases): this tree against {args.old}\n")
    print(f"CPU seconds, median of {args.repeats} (user + system of the process)\n")
    print("| | whole command | imports alone | fit (difference) |")
    print("|---|---:|---:|---:|")
    rows = {}
    for name in trees:
        whole, start = median(times[name]["command"]), median(times[name]["imports"])
        rows[name] = (whole, start, whole - start)
        print(f"| {name if name == 'new' else args.old} | {whole:.2f} | {start:.2f} | {whole - start:.2f} |")
    print(
        f"| ratio new / old | {rows['new'][0] / rows['old'][0]:.2f} | {rows['new'][1] / rows['old'][1]:.2f} "
        f"| {rows['new'][2] / rows['old'][2]:.2f} |\n"
    )

    rendered = {}
    for name, env in trees.items():
        found = subprocess.run([sys.executable, "-c", RENDERING], env=env, check=True, capture_output=True, text=True)
        rendered[name] = json.loads(found.stdout)
    old_profile, new_profile = (np.array(rendered[k]["profile"]) for k in ("old", "new"))
    print("## One binned profile: 400 asymmetric pseudo-Voigt peaks over 7251 points (CPU ms per rendering)\n")
    print(f"| {args.old} (NumPy) | new (native) | ratio | largest difference / largest value |")
    print("|---:|---:|---:|---:|")
    print(
        f"| {1e3 * rendered['old']['cpu']:.2f} | {1e3 * rendered['new']['cpu']:.2f} | "
        f"{rendered['new']['cpu'] / rendered['old']['cpu']:.2f} | "
        f"{np.abs(new_profile - old_profile).max() / np.abs(old_profile).max():.1e} |\n"
    )

    options = {"monochromator_angle": 26.6, "radius": 173.0}
    found = subprocess.run(
        [sys.executable, "-c", SAME_PROCESS, json.dumps([list(map(str, FILES)), options])],
        env=trees["new"],
        check=True,
        capture_output=True,
        text=True,
    )
    result = json.loads(found.stdout.strip().splitlines()[-1])
    analytic, numerical = result["analytic"], result["numerical"]
    print("## The same fit with the analytic Jacobian and with finite differences (one process, warm)\n")
    print("| Jacobian | fit CPU s | model evaluations | Rwp % |")
    print("|---|---:|---:|---:|")
    for label, run in result.items():
        print(f"| {label} | {run['cpu']:.3f} | {run['evaluations']} | {100 * run['rwp']:.3f} |")
    print(f"| ratio analytic / numerical | {analytic['cpu'] / numerical['cpu']:.2f} | | |")
    print(f"| ratio staged / all at once | {analytic['cpu'] / result['all at once']['cpu']:.2f} | | |\n")
    print("| parameter | analytic | numerical | difference / e.s.d. |")
    print("|---|---:|---:|---:|")
    worst = 0.0
    for name, value in analytic["values"].items():
        esd = analytic["esds"].get(name) or numerical["esds"].get(name)
        other = numerical["values"][name]
        ratio = abs(value - other) / esd if esd else float("nan")
        worst = max(worst, ratio) if esd else worst
        print(f"| {name} | {value:.6g} | {other:.6g} | {ratio:.3f} |")
    print(f"\nLargest difference: {worst:.3f} e.s.d.")


if __name__ == "__main__":
    main()
