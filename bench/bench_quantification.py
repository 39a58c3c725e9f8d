"""The fit of the round robin's weighed mixture 1e with the defaults against
the options the fit had before dispersion, sample terms and uncertainties
(displacement, cells and overall B, no dispersion), side by side in one run.

    python bench/bench_quantification.py [--repeats 3]

Reports, per configuration, the median CPU time of the whole fit (this
process; the fit is serial), the model evaluations, the weight fractions
against the weighed ones and the CPU ratio to the old options. Prints a
Markdown table.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

from peakforge_pattern.fitting import fit_pattern

MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"
PHASES = [MEASURED / f for f in ("corundum_Al2O3_bilbao.cif", "zincite_ZnO.cif", "fluorite_CaF2.cif")]
WEIGHED = {"corundum_Al2O3_bilbao": 55.12, "zincite_ZnO": 15.25, "fluorite_CaF2": 29.62}
CONFIGURATIONS = {
    "old options (displacement, cell, B; no dispersion)": {"correction": "displacement", "anomalous": False},
    "defaults": {},
    "defaults, Brindley 2 um": {"particle_radius": 2.0},
    "defaults, size and strain": {"refine": ["size", "strain"]},
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rows, baseline = [], None
    for label, options in CONFIGURATIONS.items():
        times = []
        for _ in range(args.repeats):
            start = time.process_time()
            result = fit_pattern(
                MEASURED / "qarr_cpd-1e.prn", PHASES, monochromator_angle=26.6, radius=173.0, **options
            )
            times.append(time.process_time() - start)
        cpu = statistics.median(times)
        baseline = baseline or cpu
        errors = [100 * p.weight_fraction - WEIGHED[p.name] for p in result.phases]
        fractions = " / ".join(
            f"{100 * p.weight_fraction:.2f}({100 * p.weight_fraction_esd:.2f})" for p in result.phases
        )
        rows.append(
            f"| {label} | {cpu:.2f} | {cpu / baseline:.2f} | {result.evaluations} | {fractions} | "
            f"{max(map(abs, errors)):.2f} | {sum(map(abs, errors)) / len(errors):.2f} |"
        )
    print(
        "| configuration | CPU s | CPU ratio | evaluations | corundum / zincite / fluorite wt % (esd) "
        "| worst error | mean abs error |"
    )
    print("|---|---:|---:|---:|---|---:|---:|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
