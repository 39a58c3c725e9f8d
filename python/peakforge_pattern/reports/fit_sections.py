"""A fit's sections of a report: the agreement, the plot, the phases with
their weight fractions exactly as the text output prints them, refined
structures, the instrument, every parameter and the warnings in full."""

from __future__ import annotations

import io
import math
import os

from ..fitting.result import PHASE_HEADER, FitResult, esd_line, phase_row
from ..fitting.structure_refinement.atom_tables import angle_rows, bond_rows, site_rows
from ..fitting.uncertainties import format_with_uncertainty
from ..plotting import plot_fit
from ..plotting.figures import new_figure
from .document import Report, definitions, escape, table
from .fit_figure import fit_figure

_WEIGHTS = {
    "counts": "counting statistics",
    "file": "the file's uncertainties",
    "equal": "equal weights",
}


def fit_png(result: FitResult) -> bytes:
    """The fit's static picture (the one ``--plot`` draws), as PNG bytes."""
    figure = new_figure(9.0, 5.0)
    plot_fit(result, figure.subplots())
    rendered = io.BytesIO()
    figure.savefig(rendered, format="png", dpi=110)
    return rendered.getvalue()


def add_fit_sections(report: Report, result: FitResult, *, plot: bool = True) -> None:
    """Add a fit's sections to ``report``: agreement, plot, phases, structures,
    instrument and parameters, warnings."""
    report.add("Agreement", agreement_html(result))
    if plot:
        picture = fit_png(result)
        body = report.figure(fit_figure(result), static_png=picture, alt="the fit")
        body += (
            "<p class='note screen-only'>Drag to zoom, double-click to see the whole scan; "
            "hover for values. Each phase's reflections are a row of ticks below the pattern.</p>"
        )
        report.add("Plot", body)
    report.add("Phases", phases_html(result))
    structures = structures_html(result)
    if structures:
        report.add("Refined structures", structures)
    report.add("Instrument", instrument_html(result))
    report.add("Parameters", parameters_html(result))
    report.add("Warnings", warnings_html(result.warnings, result.measured.notes))


def agreement_html(result: FitResult) -> str:
    """Rp, Rwp, Rexp, χ², the points fitted, the weighting and convergence."""
    measured = result.measured
    items = [
        (
            "scan",
            f"{os.path.basename(measured.name) or 'scan'}: {len(measured)} points, 2θ "
            f"{measured.two_theta[0]:g} to {measured.two_theta[-1]:g}°",
        ),
        ("Rp", f"{100 * result.rp:.2f} %"),
        ("Rwp", f"{100 * result.rwp:.2f} %"),
        ("Rexp", f"{100 * result.rexp:.2f} %"),
        ("χ²", f"{result.chi2:.3f}"),
        ("weights", _WEIGHTS.get(result.weighting, result.weighting)),
        ("converged", "yes" if result.converged else f"no: {result.message}"),
    ]
    return definitions(items)


def phases_html(result: FitResult) -> str:
    """The phases: name, formula, space group, weight % and cell and B with
    uncertainties as the text output prints them, and R_Bragg."""
    r_bragg = result.r_bragg
    header = ["phase", "formula", "space group", *(_unit(h) for h in PHASE_HEADER[1:]), "R_Bragg %"]
    rows = []
    for phase in result.phases:
        name, *numbers = phase_row(phase)
        bragg = r_bragg.get(phase.name, math.nan)
        rows.append(
            [name, phase.formula, phase.space_group, *numbers, "" if math.isnan(bragg) else f"{100 * bragg:.2f}"]
        )
    text = table(header, rows, numeric=range(3, len(header)))
    sample = []
    for phase in result.phases:
        if phase.size is not None:
            sample.append((f"{phase.name} crystallite size", f"{_esd(result, f'{phase.name} size', phase.size)} nm"))
        if phase.strain is not None:
            sample.append((f"{phase.name} microstrain", _esd(result, f"{phase.name} strain", phase.strain)))
        if phase.march_r is not None and phase.orientation is not None:
            hkl = " ".join(str(i) for i in phase.orientation)
            sample.append(
                (
                    f"{phase.name} preferred orientation ({hkl})",
                    _esd(result, f"{phase.name} orientation", phase.march_r),
                )
            )
        if phase.particle_radius > 0.0:
            sample.append(
                (
                    f"{phase.name} microabsorption",
                    f"μ {phase.linear_absorption or math.nan:.1f} /cm, R {phase.particle_radius:g} μm, "
                    f"τ {phase.brindley_tau:.4f}",
                )
            )
    note = (
        "<p class='note'>Each refined number carries its standard uncertainty in its last digits "
        "(56.19(15) is 56.19 ± 0.15); a number without one was held fixed. "
        f"{escape(esd_line(result))}.</p>"
    )
    return text + (definitions(sample) if sample else "") + note


def _unit(column: str) -> str:
    return {
        "a": "a (Å)",
        "b": "b (Å)",
        "c": "c (Å)",
        "alpha": "α (°)",
        "beta": "β (°)",
        "gamma": "γ (°)",
        "B": "B (Å²)",
    }.get(column, column)


def _esd(result: FitResult, name: str, value: float) -> str:
    return format_with_uncertainty(value, result.uncertainties.get(name))


def structures_html(result: FitResult) -> str:
    """Each refined structure's sites, and its bond lengths and angles where asked."""
    parts = []
    for phase in result.phases:
        if phase.atoms:
            parts.append(f"<h3>{escape(phase.name)}: sites</h3>")
            parts.append(
                table(
                    ["site", "element", "x", "y", "z", "occupancy", "B (Å²)"],
                    site_rows(phase.atoms),
                    numeric=range(2, 7),
                )
            )
        if phase.bonds:
            parts.append(f"<h3>{escape(phase.name)}: bond lengths (Å)</h3>")
            parts.append(table(["from", "to", "distance", "count"], bond_rows(phase.bonds), numeric=(2, 3)))
        if phase.angles:
            parts.append(f"<h3>{escape(phase.name)}: bond angles (°)</h3>")
            parts.append(table(["first", "apex", "second", "angle", "count"], angle_rows(phase.angles), numeric=(3, 4)))
    return "".join(parts)


def instrument_html(result: FitResult) -> str:
    """Wavelengths, geometry and the profile terms as refined."""
    instrument = result.instrument
    lines = instrument.lines(1.0)
    wavelengths = ", ".join(f"{w:.6f} Å ({100 * share:.1f} %)" for w, share in lines)
    items = [
        ("emission lines", wavelengths),
        ("anomalous dispersion", "f′, f″ at each line's energy" if result.anomalous else "left out"),
        ("peak shape", instrument.shape),
        ("goniometer radius", f"{instrument.radius:g} mm"),
        (
            "monochromator",
            "none" if instrument.monochromator_angle is None else f"2θ {instrument.monochromator_angle:g}°",
        ),
        ("2θ corrections refined", result.correction.replace("+", ", ").replace("_", " ")),
    ]
    return definitions(items)


def parameters_html(result: FitResult) -> str:
    """Every parameter but the scales and background: value with uncertainty, unit, and its state."""
    rows = []
    for p in result.parameter_set or ():
        if p.linear:
            continue
        if not p.refined:
            state = "fixed"
        elif p.name in getattr(result, "undetermined", ()):
            state = "undetermined"
        elif p.at_bound():
            state = f"at its {p.at_bound()} bound"
        else:
            state = "refined"
        value = format_with_uncertainty(p.value, result.uncertainties.get(p.name) if p.refined else None)
        rows.append([p.name, value, p.unit.replace("deg^2", "°²").replace("deg", "°").replace("A^2", "Å²"), state])
    background = ", ".join(f"{c:.6g}" for c in result.background_coefficients)
    return table(["parameter", "value", "unit", ""], rows, numeric=(1,)) + definitions(
        [("background (Chebyshev)", background)]
    )


def warnings_html(warnings: tuple[str, ...] | list[str], notes: tuple[str, ...] | list[str] = ()) -> str:
    """The warnings in full, then the notes on how the scan was read."""
    if not warnings and not notes:
        return "<p>None: nothing the fit found calls for a second look.</p>"
    body = ""
    if warnings:
        body += "<ul class='warnings'>" + "".join(f"<li>{escape(' '.join(w.split()))}</li>" for w in warnings) + "</ul>"
    else:
        body += "<p>No warnings.</p>"
    if notes:
        body += "<h3>Notes</h3><ul>" + "".join(f"<li>{escape(n)}</li>" for n in notes) + "</ul>"
    return body
