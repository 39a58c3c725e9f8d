"""An indexing's sections of a report: the ranked cells with their figures
of merit and space-group classes, and the lines with the best cell's
indices."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ..fitting.uncertainties import format_with_uncertainty
from .document import Report, escape, table

if TYPE_CHECKING:  # the page needs nothing of the search itself
    from ..indexing.result import IndexResult


def add_index_sections(report: Report, result: IndexResult) -> None:
    """Add an indexing's ranked solutions and its lines to ``report``."""
    lines = result.lines
    search = (
        f"<p>{len(lines)} lines, wavelength {lines.wavelength:g} Å, tolerance {lines.tolerance:g}° 2θ; "
        f"crystal systems searched: {escape(', '.join(result.systems))}; {result.seconds:.1f} s.</p>"
    )
    if result.cut_short:
        search += (
            f"<ul class='warnings'><li>searched only in part (time limit): {escape(', '.join(result.cut_short))}"
            "</li></ul>"
        )
    if not result.solutions:
        report.add("Solutions", search + "<p><b>No cell indexes these lines.</b></p>")
        return
    rows = []
    for rank, s in enumerate(result.solutions, start=1):
        cell = [format_with_uncertainty(v, e) for v, e in zip(s.cell, s.cell_esd)]
        groups = "; ".join(
            ", ".join(symbol for _, symbol in c.groups) + f" ({c.violations} violations, {c.unobserved} unobserved)"
            for c in s.space_groups[:3]
        )
        rows.append(
            [
                str(rank),
                s.lattice,
                *cell,
                f"{s.volume:.2f}",
                f"{s.m20:.1f}",
                f"F{s.fn_lines} = {s.fn:.1f}",
                format_with_uncertainty(s.zero_shift, s.zero_esd),
                f"{s.indexed}/{s.used}",
                groups,
            ]
        )
    header = ["#", "lattice", "a (Å)", "b (Å)", "c (Å)", "α (°)", "β (°)", "γ (°)", "V (Å³)", "M20", "F_N"]
    header += ["zero (°)", "indexed", "space-group classes"]
    note = (
        "<p class='note'>Best first. The cells' uncertainties come from the scatter of the lines about "
        "their refined positions; they do not cover a wrong cell or wavelength. Space groups are grouped "
        "by the reflection conditions the observed range can tell apart.</p>"
    )
    report.add("Solutions", search + table(header, rows, numeric=(0, *range(2, 13))) + note)
    best = result.solutions[0]
    line_rows = []
    for k, two_theta in enumerate(lines.two_theta):
        h, k_, l = (int(v) for v in best.hkl[k])
        indexed = bool(best.refined.indexed[k])
        line_rows.append([f"{two_theta:.4f}", f"{h} {k_} {l}" if indexed else "not indexed"])
    report.add("Lines (indices of the best cell)", table(["2θ (°)", "h k l"], line_rows, numeric=(0,)))
