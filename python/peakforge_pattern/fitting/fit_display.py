"""How a fit shows itself: one line for repr, and a notebook view with the
agreement indices, the phases with their standard uncertainties and the
refined parameters. Only the result's public attributes are read."""

from __future__ import annotations

import html
import math
import os
from typing import Any


def with_esd(value: float, esd: float | None) -> str:
    """A value with its standard uncertainty in its last digits: "4.15689(3)",
    "0.0955(11)" (two digits when the uncertainty starts with a 1); the value
    alone without one."""
    if esd is None or not esd > 0.0 or not math.isfinite(esd):
        return f"{value:.6g}"
    place = math.floor(math.log10(esd))
    leading = esd / 10**place
    decimals = max(-place + (1 if leading < 1.95 else 0), 0)
    return f"{value:.{decimals}f}({round(esd * 10**decimals)})"


def _phase_rows(result: Any) -> list[list[str]]:
    rows = []
    for phase in result.phases:
        weight_esd = getattr(phase, "weight_fraction_esd", None)
        cell_esd = getattr(phase, "cell_esd", None) or (None,) * len(phase.cell)
        b_esd = getattr(phase, "b_overall_esd", None)
        rows.append(
            [
                html.escape(phase.name),
                with_esd(100 * phase.weight_fraction, None if weight_esd is None else 100 * weight_esd),
                *(with_esd(v, e) for v, e in zip(phase.cell, cell_esd)),
                with_esd(phase.b_overall, b_esd),
            ]
        )
    return rows


def fit_html(result: Any) -> str:
    """The fit's notebook view: agreement indices, phases (weight %, cell, B with e.s.d.s), parameters."""
    head = (
        f"<p><b>{html.escape(os.path.basename(result.measured.name) or 'fit')}</b>: "
        f"R<sub>p</sub> {100 * result.rp:.2f} %, R<sub>wp</sub> {100 * result.rwp:.2f} %, "
        f"R<sub>exp</sub> {100 * result.rexp:.2f} %, χ² {result.chi2:.3f}"
        + ("" if result.converged else f" — <b>not converged</b>: {html.escape(result.message)}")
        + "</p>"
    )
    header = "".join(
        f"<th>{h}</th>" for h in ["phase", "weight %", "a (Å)", "b (Å)", "c (Å)", "α (°)", "β (°)", "γ (°)", "B (Å²)"]
    )
    phases = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>" for row in _phase_rows(result))
    parameters = "".join(
        f"<tr><td>{html.escape(name)}</td><td>{with_esd(value, result.uncertainties.get(name))}</td></tr>"
        for name, value in result.parameters.items()
    )
    return (
        f"<div>{head}<table><tr>{header}</tr>{phases}</table>"
        f"<details><summary>{len(result.parameters)} parameters</summary>"
        f"<table>{parameters}</table></details></div>"
    )


def fit_repr(result: Any) -> str:
    """One line: the scan, the phases' weight percentages and the agreement."""
    phases = ", ".join(f"{p.name} {100 * p.weight_fraction:.2f} wt %" for p in result.phases)
    return (
        f"FitResult({os.path.basename(result.measured.name) or 'scan'}: {phases}; Rwp {100 * result.rwp:.2f} %, "
        f"chi2 {result.chi2:.3f}{'' if result.converged else ', not converged'})"
    )
