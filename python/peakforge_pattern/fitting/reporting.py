"""A fit told honestly: the text summary with every refined number's
standard uncertainty, and the warnings a user should read before trusting
the numbers (parameters at a bound, implausible values, a misfit far above
the counting noise)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

from .atom_tables import atom_table, bond_table
from .parameters import ParameterSet
from .uncertainties import format_with_uncertainty

if TYPE_CHECKING:
    from .result import FitResult, PhaseFit

MISFIT_LIMIT = 2.0
"""Rwp / Rexp above which the model misses something the data show."""

PLAUSIBLE_B = 5.0  # Å²: an overall B above this is rarely thermal motion
SMALL_SIZE = 5.0  # nm
NEGATIVE_B = 0.1  # Å²: a smaller lowering of the structure's B is within what scans tell


def parameter_warnings(parameters: ParameterSet, esd: dict[str, float]) -> list[str]:
    """Refined parameters that stopped at a bound, or whose values are implausible."""
    found = []
    for p in parameters:
        if not p.refined or p.linear:
            continue
        side = p.at_bound()
        if side is not None:
            bound = p.lower if side == "lower" else p.upper
            why = _BOUND_REASONS.get(p.kind, "")
            found.append(
                f"{p.name} stopped at its {side} bound ({bound:g}{' ' + p.unit if p.unit else ''})"
                f"{why}: it is reported without an uncertainty; hold it with --fix if the bound is right"
            )
    for p in parameters:
        if p.kind == "b" and p.refined and p.value > PLAUSIBLE_B:
            found.append(
                f"{p.name} = {p.value:.3g} A^2 is implausibly large: check the phase's structure and the background"
            )
        if p.kind == "size" and p.refined and p.value < SMALL_SIZE:
            found.append(f"{p.name} = {p.value:.3g} nm is implausibly small for a crystalline phase")
        if p.kind in ("U", "W") and p.refined and p.value < 0.0:
            found.append(f"{p.name} = {p.value:.3g} is negative")
    return found


_BOUND_REASONS = {
    "coordinates": (
        " (a site moves at most 0.4 of the distance to its nearest neighbour, so that sites "
        "cannot be driven onto one another)"
    ),
    "b-sites": " (B may not fall below zero)",
    "b-elements": " (B may not fall below zero)",
    "occupancy": " (occupancies stay within 0 and 1)",
}


def phase_warnings(phases: Sequence[PhaseFit]) -> list[str]:
    found = []
    for p in phases:
        if p.weight_fraction <= 0.0:
            found.append(
                f"phase {p.name} came out absent (its scale would be negative): the scan shows none of it, "
                "or another phase takes its peaks"
            )
        if p.b_overall < -max(NEGATIVE_B, 3.0 * p.b_overall_esd):
            found.append(
                f"phase {p.name}: overall B {p.b_overall:.3g} A^2 lowers the structure's B: "
                "its displacement parameters look too large for this scan"
            )
    return found


def misfit_warning(rwp: float, rexp: float, weighting: str) -> list[str]:
    if weighting == "equal" or not (rexp > 0.0) or rwp / rexp <= MISFIT_LIMIT:
        return []
    return [
        (
            f"Rwp / Rexp = {rwp / rexp:.2f} is above {MISFIT_LIMIT:g}: a phase may be missing, or the "
            "instrument options (--monochromator, --radius, --wavelength) may not describe this scan"
        )
    ]


def _table(rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[c]) for r in rows) for c in range(len(rows[0]))]
    return [
        "  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths))).rstrip()
        for row in rows
    ]


def summary_text(result: FitResult) -> str:
    """The fit as text: agreement, the parameters, then the phases."""
    measured = result.measured
    lo, hi = measured.two_theta[0], measured.two_theta[-1]
    weights = {
        "counts": "weights from counting statistics",
        "file": "weights from the file's uncertainties",
        "equal": "equal weights",
    }[result.weighting]
    first = (
        f"{measured.name}: {len(measured)} points, 2theta {lo:g} to {hi:g}, {result.instrument.shape} peaks, "
        f"{result.background_coefficients.size} background terms, {weights}"
        + ("" if result.anomalous else ", no anomalous dispersion")
        + ("" if result.converged else f" (not converged: {result.message})")
    )
    lines = [
        first,
        (
            f"Rp {100 * result.rp:.2f} %  Rwp {100 * result.rwp:.2f} %  Rexp {100 * result.rexp:.2f} %  "
            f"chi2 {result.chi2:.3f}"
        ),
    ]
    parameters = result.parameter_set
    atom_kinds = ("coordinates", "b-sites", "b-elements", "occupancy")
    shown = [p for p in (parameters or ()) if not p.linear and p.kind not in ("cell", "b", *atom_kinds)]
    rows = []
    for p in shown:
        if not p.refined:
            state = "fixed"
        elif p.at_bound():
            state = f"at {p.at_bound()} bound"
        else:
            state = ""
        rows.append(
            [
                p.name,
                format_with_uncertainty(p.value, result.uncertainties.get(p.name) if p.refined else None),
                p.unit,
                state,
            ]
        )
    if rows:
        lines += ["  " + line for line in _table(rows)]
    header = ["phase", "weight %", "a", "b", "c", "alpha", "beta", "gamma", "B"]
    table = [header]
    for phase in result.phases:
        cell = [format_with_uncertainty(v, e, 7) for v, e in zip(phase.cell, phase.cell_esd)]
        fraction = format_with_uncertainty(100 * phase.weight_fraction, 100 * phase.weight_fraction_esd, 4)
        table.append([phase.name, fraction, *cell, format_with_uncertainty(phase.b_overall, phase.b_overall_esd, 3)])
    lines += _table(table)
    extra = [p for p in result.phases if p.particle_radius > 0.0]
    if extra:
        lines.append(
            "microabsorption (Brindley): "
            + "; ".join(
                f"{p.name} mu {p.linear_absorption:.1f} /cm, R {p.particle_radius:g} um, tau {p.brindley_tau:.4f}"
                for p in extra
            )
        )
    for phase in result.phases:
        if phase.atoms:
            lines.append(atom_table(phase.name, phase.atoms))
        if phase.bonds:
            lines.append(bond_table(phase.name, phase.bonds))
    if not math.isfinite(result.rwp):
        lines.append("the agreement indices are not finite")
    return "\n".join(lines) + "\n"
