"""An identification's sections of a report: the phases found with their
weight fractions as the text output prints them, each round of the search
(the candidate tried and why it was kept or not), the next candidates and
the peaks left unexplained, then the final fit's own sections."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from .document import Report, escape, table
from .fit_sections import add_fit_sections, warnings_html

if TYPE_CHECKING:  # the identification package needs pyarrow and SciPy; the page needs neither to be imported
    from ..identification.result import IdentificationResult, SearchStep


def add_identification_sections(report: Report, result: IdentificationResult) -> None:
    """Add what ``identify`` found to ``report``, then the final fit's sections."""
    from ..identification.result import percent_text

    search = (
        f"<p>{result.observed_peaks} peaks observed; {result.scored} library entries scored in "
        f"{result.scoring_seconds:.2f} s; the whole search took {result.seconds:.1f} s.</p>"
    )
    if result.phases:
        rows = [
            [
                p.name,
                p.formula,
                p.id,
                percent_text(p.weight_fraction, p.weight_fraction_esd),
                f"{p.score:.3f}",
                f"{100 * p.strain:+.2f}",
            ]
            for p in result.phases
        ]
        header = ["phase", "formula", "library entry", "weight %", "score", "cell strain %"]
        found = table(header, rows, numeric=(3, 4, 5))
        found += "".join(
            f"<p class='note'>{escape(p.name)} ({escape(p.id)}) or, the same phase to this scan: "
            f"{escape(', '.join(p.alternatives))}</p>"
            for p in result.phases
            if p.alternatives
        )
    else:
        found = "<p><b>No phase was found.</b></p>"
    if result.warnings:
        found += "<h3>Warnings of the search</h3>" + warnings_html(result.warnings)
    report.add("Phases found", search + found)
    report.add("How each phase was chosen", steps_html(result.steps))
    if result.candidates:
        rows = [
            [
                c.name,
                c.formula,
                c.id,
                f"{c.score:.3f}",
                f"{c.coverage:.2f}",
                f"{100 * c.explained:.0f}",
                f"{100 * c.strain:+.2f}",
            ]
            for c in result.candidates
        ]
        report.add(
            "Next candidates",
            "<p class='note'>The best entries not kept, scored against the peaks the phases found leave "
            "unexplained.</p>"
            + table(
                ["entry", "formula", "library entry", "score", "coverage", "explains %", "cell strain %"],
                rows,
                numeric=range(3, 7),
            ),
        )
    if result.unexplained_peaks:
        rows = [
            [f"{p.two_theta:.3f}", f"{p.d:.4f}", f"{p.height:.4g}", f"{100 * p.unexplained:.0f}"]
            for p in result.unexplained_peaks
        ]
        body = table(["2θ (°)", "d (Å)", "height", "unexplained %"], rows, numeric=range(4))
    else:
        body = "<p>Every observed peak is explained by the phases found.</p>"
    report.add("Unexplained peaks", body)
    if result.fit is not None:
        add_fit_sections(report, result.fit)


def step_reason(step: SearchStep) -> str:
    """Why a round of the search kept its candidate or stopped."""
    if step.kept:
        return (
            f"kept: the fit with it lowers the information criterion by {-step.criterion_change:.1f} "
            "(a better fit than its added parameters explain)"
        )
    if math.isnan(step.criterion_change):
        return "dropped: the final fit gives it almost no weight"
    if step.criterion_change >= 0.0:
        return (
            f"not kept: the information criterion rises by {step.criterion_change:.1f}, "
            "so the better fit does not pay for the added parameters; the search stops"
        )
    return "not kept: the fit gives it almost no weight; the search stops"


def steps_html(steps: list[SearchStep]) -> str:
    """Each round: the candidate tried, the misfit with it, and the decision."""
    if not steps:
        return "<p>No candidate was worth a trial fit.</p>"
    rows = [
        [str(k + 1), s.name, s.id, "" if math.isnan(s.misfit) else f"{s.misfit:.6g}", step_reason(s)]
        for k, s in enumerate(steps)
    ]
    return (
        "<p class='note'>Phases are added one at a time: each round fits the best candidates with the "
        "phases kept so far, and keeps the best one only when it lowers the information criterion.</p>"
        + table(["round", "candidate", "library entry", "misfit (χ²)", "decision"], rows, numeric=(0, 3))
    )
