"""A synthetic temperature series: corundum heated from 300 to 700 K, its
cell expanding linearly, one Cu Kα scan every few kelvin.

Each scan is a two-column file whose header names its temperature
(``# temperature = 412.5 K``), as ``peakforge series --order-by temperature``
reads it; the true a(T) and c(T) are written beside the scans
(``truth.tsv``).  Run from the repository's root::

    python examples/series/make_temperature_series.py SCANS_FOLDER [--scans N] [--seed S] [--step DEG]
"""

from __future__ import annotations

import argparse
import dataclasses
from pathlib import Path

import numpy as np

from peakforge_pattern import Structure, compute_pattern, example_path
from peakforge_pattern.profiles import Instrument, pattern_profile

EXPANSION = 8.0e-6
"""Linear thermal expansion of both cell edges per kelvin (corundum's is about 8e-6)."""
T_START, T_END, T_REFERENCE = 300.0, 700.0, 300.0
TWO_THETA_RANGE = (24.0, 80.0)
INSTRUMENT = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.03)
PEAK_COUNTS = 20000.0


def scan_counts(
    structure: Structure, temperature: float, two_theta: np.ndarray, rng: np.random.Generator
) -> tuple[np.ndarray, float]:
    """Poisson counts of the structure at ``temperature``, and its true factor on the cell edges."""
    factor = 1.0 + EXPANSION * (temperature - T_REFERENCE)
    heated = dataclasses.replace(structure, lattice=structure.lattice * factor)
    pattern = compute_pattern(heated, wavelength="CuKa", two_theta_range=(10.0, 90.0))
    signal = pattern_profile(pattern, two_theta, INSTRUMENT)
    expected = PEAK_COUNTS * signal / signal.max() + 200.0 - 1.0 * (two_theta - two_theta[0])
    return rng.poisson(expected).astype(float), factor


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--scans", type=int, default=24)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--step", type=float, default=0.02, help="2theta step (degrees)")
    args = parser.parse_args()
    args.folder.mkdir(parents=True, exist_ok=True)
    structure = Structure.from_cif(example_path("corundum"))
    a0, c0 = structure.cell_parameters[0], structure.cell_parameters[2]
    rng = np.random.default_rng(args.seed)
    two_theta = np.arange(*TWO_THETA_RANGE, args.step)
    truth = ["temperature\ta\tc"]
    temperatures = np.linspace(T_START, T_END, args.scans)
    # run000 is the room-temperature scan (the one to make a recipe from); the others are
    # named in a shuffled order: the series orders them by the temperature in their headers.
    order = [0, *(1 + rng.permutation(args.scans - 1))]
    for number, k in enumerate(order):
        temperature = float(temperatures[k])
        counts, factor = scan_counts(structure, temperature, two_theta, rng)
        header = f"synthetic corundum, Cu Ka\ntemperature = {temperature:.2f} K"
        np.savetxt(args.folder / f"run{number:03d}.xy", np.column_stack([two_theta, counts]), header=header, fmt="%.4f")
        truth.append(f"{temperature:.2f}\t{a0 * factor:.6f}\t{c0 * factor:.6f}")
    rows = sorted(truth[1:], key=lambda row: float(row.split("\t")[0]))
    (args.folder / "truth.tsv").write_text("\n".join([truth[0], *rows]) + "\n")
    print(f"{args.scans} scans from {T_START:g} to {T_END:g} K in {args.folder}")


if __name__ == "__main__":
    main()
