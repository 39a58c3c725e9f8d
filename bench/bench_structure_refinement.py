"""Refining a 25-site orthorhombic structure (P2₁2₁2₁, 100 atoms in the cell)
against a synthetic scan of 6000 points, three ways side by side in one run:

- analytic: the engine's derivatives of every peak's intensity by every atom,
  summed onto the structure parameters and rendered as Jacobian columns in
  the same pass as the profile (what a fit does);
- the same rendering, with the peak weights' derivatives taken by central
  differences of the engine's intensities (two engine calls per parameter);
- SciPy's finite differences of the whole model (no structure derivatives).

CPU time of the refinement (the process's, all threads), median of the
repeats; speed-up = the finite differences' time ÷ each one's.

    python bench/bench_structure_refinement.py --repeats 3
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from peakforge_pattern import Structure, compute_pattern
from peakforge_pattern.fitting import fit as fit_module
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.analytic_derivatives import WeightDerivatives
from peakforge_pattern.fitting.measured import MeasuredPattern
from peakforge_pattern.fitting.structure_refinement.atom_parameters import AtomModel, AtomOptions
from peakforge_pattern.profiles import Instrument, pattern_profile

CELL = (9.0, 11.0, 13.0, 90.0, 90.0, 90.0)
ELEMENTS = ["Ba", "Ti", "Ti", "Si", "Si"] + ["O"] * 20
HELD = ["zero", "displacement", "U", "V", "W", "X", "Y", "asymmetry", "cell", "b"]


def _structure(seed: int) -> Structure:
    """25 sites in general positions of P2₁2₁2₁, no two atoms closer than 1.6 Å."""
    import gemmi

    ops = [op.triplet() for op in gemmi.find_spacegroup_by_name("P 21 21 21").operations()]
    rng = np.random.default_rng(seed)
    lattice = np.diag(CELL[:3])
    seitz = np.array([gemmi.Op(t).float_seitz() for t in ops])
    sites: list[np.ndarray] = []
    while len(sites) < len(ELEMENTS):
        trial = rng.random(3)
        candidate = sites + [trial]
        atoms = np.concatenate([np.einsum("oij,j->oi", seitz[:, :3, :3], s) + seitz[:, :3, 3] for s in candidate])
        delta = atoms[:, None, :] - atoms[None, :, :]
        delta -= np.round(delta)
        distance = np.linalg.norm(delta @ lattice, axis=2) + np.eye(len(atoms)) * 99
        if distance.min() > 1.6:
            sites.append(trial)
    lines = [
        "data_bench",
        *(
            f"_cell_{n} {v}"
            for n, v in zip(("length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma"), CELL)
        ),
        "loop_",
        "_symmetry_equiv_pos_as_xyz",
        *ops,
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_B_iso_or_equiv",
    ]
    lines += [f"{e}{i + 1} {e} {x:.5f} {y:.5f} {z:.5f} 0.5" for i, (e, (x, y, z)) in enumerate(zip(ELEMENTS, sites))]
    from peakforge_pattern import parse_cif

    return parse_cif("\n".join(lines) + "\n", name="bench")


def _cpu(run) -> float:
    start = time.process_time()
    run()
    return time.process_time() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--with-instrument",
        action="store_true",
        help="refine the zero shift, widths, asymmetry and cell beside the coordinates",
    )
    args = parser.parse_args()

    structure = _structure(5)
    model = AtomModel(structure, structure.name, AtomOptions())
    truth = np.array([p.start for p in model.parameters])
    x = np.arange(10.0, 130.0, 0.02)
    instrument = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.02)
    signal = pattern_profile(compute_pattern(model.structure_for(truth), "CuKa", (5.0, 140.0)), x, instrument)
    scan = MeasuredPattern.from_arrays(x, np.random.default_rng(1).poisson(20000.0 * signal / signal.max() + 200.0))
    start = model.structure_for(truth + np.random.default_rng(2).uniform(-0.004, 0.004, truth.size))
    print(
        f"{len(structure.asymmetric_unit)} sites, {len(structure)} atoms, {len(model.parameters)} coordinates, "
        f"{x.size} points, instrument and cell {'refined' if args.with_instrument else 'held'}"
    )

    def differenced(phases):
        """Weight derivatives by central differences of the engine's intensities, per parameter."""

        def provider(atoms):
            def per_line(line, named):
                values, source, columns = atoms.values(named), atoms.lines[line], []
                for k, parameter in enumerate(atoms.model.parameters):
                    h = 0.01 * parameter.typical
                    up, down = values.copy(), values.copy()
                    up[k], down[k] = values[k] + h, values[k] - h
                    columns.append((source.peaks(up).weight - source.peaks(down).weight) / (2 * h))
                return np.column_stack(columns)

            return WeightDerivatives(tuple(atoms.model.names), per_line)

        return {ph.name: provider(ph.atoms) for ph in phases if ph.atoms is not None}

    def refine(weights):
        def run():
            original = fit_module.structure_weights
            if weights is not None:
                fit_module.structure_weights = weights  # type: ignore[assignment]
            try:
                result = fit_pattern(
                    scan,
                    [start],
                    background_terms=3,
                    refine_atoms=True,
                    anomalous=False,
                    fix=[] if args.with_instrument else HELD,
                    shape="tch",
                )
            finally:
                fit_module.structure_weights = original  # type: ignore[assignment]
            refined = np.array([result.parameters[n] for n in model.names])
            run.error = float(np.max(np.abs(refined - truth)))  # type: ignore[attr-defined]
            run.evaluations = result.evaluations  # type: ignore[attr-defined]

        return run

    rows = []
    for label, weights in (
        ("analytic (engine derivatives)", None),
        ("weights by engine differences", differenced),
        ("finite differences of the model", lambda phases: {}),
    ):
        run = refine(weights)
        times = [_cpu(run) for _ in range(args.repeats)]
        rows.append((label, statistics.median(times), run.error, run.evaluations))  # type: ignore[attr-defined]
    base = rows[-1][1]
    print(f"{'Jacobian':<36} {'CPU s':>8} {'speed-up':>9} {'max |x - truth|':>16} {'model evaluations':>18}")
    for label, seconds, error, evaluations in rows:
        print(f"{label:<36} {seconds:8.2f} {base / seconds:9.2f} {error:16.5f} {evaluations:18d}")


if __name__ == "__main__":
    main()
