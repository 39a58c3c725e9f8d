"""`peakforge series` against separate `peakforge fit` processes, side by side
in one run, and what a sequential series recovers of a known trend.

    python bench/bench_series.py [--scans 16] [--trend-scans 120] [--python-path python] [--data DIR] [--parts ...]

1. Cost per scan: the same synthetic one-phase scans (corundum, 4000 points,
   Cu Kα) fitted with one recipe by one `peakforge fit --recipe R SCAN`
   process each, and by one `peakforge series --workers 1` process (a warm
   worker: imports and phases paid once). CPU time (user + system, with
   every child process) per scan, and the ratio.
2. Scans per second per core of a warm worker: the same fits in one process
   after a first one, CPU time per fit.
3. Row for row: a serial series of the round robin's scans in
   `../shared/data/measured` (else `examples/measured`; three phases each) against single fits of
   the same recipe: the largest relative difference of Rwp, every refined
   value and every e.s.d.
4. A sequential series of ``--trend-scans`` synthetic scans from 300 to
   700 K with a known linear expansion: the share of scans whose a lies
   within 3 e.s.d.s of the truth, and the largest error.

Prints Markdown tables. The machine's processors are shared: CPU time, not
wall time, is the measure.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from command_environment import command_environment  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
# The shared copy of the real scans beside the main checkout, else the repository's own copy.
SHARED = ROOT.parent / "shared" / "data" / "measured"
DATA = SHARED if SHARED.is_dir() else ROOT / "examples" / "measured"
EXAMPLE = ROOT / "examples" / "series" / "make_temperature_series.py"
CORUNDUM = ROOT / "python" / "peakforge_pattern" / "data" / "corundum.cif"
ROUND_ROBIN_PHASES = ["corundum_Al2O3_bilbao.cif", "zincite_ZnO.cif", "fluorite_CaF2.cif"]

WARM = r"""
import json, sys, time
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.recipe import load_recipe
recipe = load_recipe(sys.argv[1]).recipe
scans = json.loads(sys.argv[2])
phases, request = recipe.phase_paths(), recipe.checked_request()
fit_pattern(scans[0], phases, request)  # warm: imports, caches
start = time.process_time()
for scan in scans:
    fit_pattern(scan, phases, request)
print(json.dumps((time.process_time() - start) / len(scans)))
"""

SINGLES = r"""
import json, sys
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.recipe import load_recipe
recipe = load_recipe(sys.argv[1]).recipe
out = []
for scan in json.loads(sys.argv[2]):
    r = fit_pattern(scan, recipe.phase_paths(), recipe.checked_request())
    values = {name: r.parameters[name] for name in r.refined}
    values.update({f"{p.name} scale": p.scale for p in r.phases})
    out.append({"rwp": r.rwp, "values": values, "esd": {k: r.uncertainties.get(k) for k in values}})
print(json.dumps(out))
"""


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(argv: list[str], env: dict[str, str]) -> tuple[float, str]:
    """CPU time of a command and its children, and its standard output."""
    before = children_cpu()
    done = subprocess.run(argv, capture_output=True, text=True, env=env, check=False)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed:\n{done.stderr}")
    return children_cpu() - before, done.stdout


def peakforge(env: dict[str, str], *argv: str) -> list[str]:
    return [sys.executable, "-m", "peakforge_pattern", *argv]


def make_scans(folder: Path, count: int, env: dict[str, str], step: float = 0.014) -> list[Path]:
    """``count`` synthetic scans (4000 points at the default step)."""
    argv = [sys.executable, str(EXAMPLE), str(folder), "--scans", str(count), "--step", str(step)]
    run(argv, env)
    return sorted(folder.glob("run*.xy"))


def recipe_of(scan: Path, phases: list[Path], recipe: Path, env: dict[str, str], *options: str) -> None:
    argv = peakforge(env, "fit", str(scan), *map(str, phases), "--no-progress", "--save-recipe", str(recipe))
    run([*argv, *options], env)


def cost_per_scan(work: Path, scans: int, env: dict[str, str]) -> None:
    folder = work / "cost"
    paths = make_scans(folder, scans, env)
    recipe = work / "cost.toml"
    recipe_of(paths[0], [CORUNDUM], recipe, env, "--no-anomalous")
    points = sum(1 for line in paths[0].read_text().splitlines() if not line.startswith("#"))
    separate = 0.0
    for path in paths:
        cpu, _ = run(peakforge(env, "fit", "--recipe", str(recipe), str(path), "--no-progress"), env)
        separate += cpu
    series, _ = run(
        peakforge(env, "series", str(folder), "--recipe", str(recipe), "--out", str(work / "cost-series"))
        + ["--workers", "1", "--no-progress"],
        env,
    )
    _, warm = run([sys.executable, "-c", WARM, str(recipe), json.dumps([str(p) for p in paths])], env)
    per_fit = float(warm)
    print(f"\n### Cost per scan ({len(paths)} scans of {points} points, one phase)\n")
    print("| | CPU per scan (s) | ratio |")
    print("|---|---:|---:|")
    print(f"| separate `peakforge fit` processes | {separate / len(paths):.3f} | 1 |")
    print(f"| `peakforge series --workers 1` | {series / len(paths):.3f} | {series / separate:.2f} |")
    print(f"| a warm worker's fit alone | {per_fit:.3f} | {per_fit * len(paths) / separate:.2f} |")
    print(f"\nScans per second per core (warm worker): {1.0 / per_fit:.1f}")


def round_robin(work: Path, env: dict[str, str], data: Path) -> None:
    scans = sorted(p for p in data.glob("qarr_*.prn"))
    if not scans:
        print("\n(no round robin scans in ../shared/data/measured: row-for-row comparison skipped)")
        return
    recipe = work / "rr.toml"
    recipe_of(
        scans[0], [data / p for p in ROUND_ROBIN_PHASES], recipe, env, "--monochromator", "26.6", "--radius", "173"
    )
    out = work / "rr-series"
    run(peakforge(env, "series", *map(str, scans), "--recipe", str(recipe), "--out", str(out), "--no-progress"), env)
    _, singles = run([sys.executable, "-c", SINGLES, str(recipe), json.dumps([str(p) for p in scans])], env)
    from peakforge_pattern.series import read_series

    rows = read_series(out).to_pylist()
    worst = 0.0
    for row, single in zip(rows, json.loads(singles)):
        pairs = [(row["rwp"], single["rwp"])]
        pairs += [(row[name], value) for name, value in single["values"].items()]
        pairs += [(row[f"{name}_esd"], e) for name, e in single["esd"].items() if e is not None]
        for a, b in pairs:
            worst = max(worst, abs(a - b) / max(abs(b), 1e-12))
    print(f"\n### Serial series = single fits ({len(rows)} round robin scans of {data}, three phases)\n")
    print(f"Largest relative difference of Rwp, refined values and e.s.d.s: {worst:.1e} (target 1e-6)")


def trend(work: Path, scans: int, env: dict[str, str]) -> None:
    folder = work / "trend"
    paths = make_scans(folder, scans, env)
    recipe = work / "trend.toml"
    recipe_of(paths[0], [CORUNDUM], recipe, env, "--no-anomalous")
    out = work / "trend-series"
    started = time.monotonic()
    cpu, _ = run(
        peakforge(env, "series", str(folder), "--recipe", str(recipe), "--out", str(out), "--sequential")
        + ["--order-by", "temperature", "--workers", "1", "--no-progress"],
        env,
    )
    wall = time.monotonic() - started
    from peakforge_pattern.series import read_series

    table = read_series(out).to_pydict()
    truth = np.loadtxt(folder / "truth.tsv", skiprows=1)
    a, esd = np.array(table["corundum.a"]), np.array(table["corundum.a_esd"])
    error = np.abs(a - truth[:, 1])
    print(f"\n### Sequential series of {scans} synthetic scans, a(T) linear (300 to 700 K)\n")
    print("| scans | within 3 e.s.d. | largest error (A) | median e.s.d. (A) | CPU (s) | wall (s) |")
    print("|---:|---:|---:|---:|---:|---:|")
    print(
        f"| {scans} | {100 * np.mean(error < 3 * esd):.0f} % | {error.max():.1e} | {np.median(esd):.1e} "
        f"| {cpu:.1f} | {wall:.1f} |"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scans", type=int, default=16)
    parser.add_argument("--trend-scans", type=int, default=120)
    parser.add_argument("--python-path", type=Path, default=ROOT / "python")
    parser.add_argument("--data", type=Path, default=DATA, help="the round robin's scans and CIFs")
    parser.add_argument(
        "--parts",
        default="cost,round-robin,trend",
        help="which parts to run (cost, round-robin, trend; comma-separated)",
    )
    args = parser.parse_args()
    env = command_environment(args.python_path)
    sys.path.insert(0, str(args.python_path))
    with tempfile.TemporaryDirectory() as name:
        work = Path(name)
        parts = set(args.parts.split(","))
        if "cost" in parts:
            cost_per_scan(work, args.scans, env)
        if "round-robin" in parts:
            round_robin(work, env, args.data)
        if "trend" in parts:
            trend(work, args.trend_scans, env)


if __name__ == "__main__":
    main()
