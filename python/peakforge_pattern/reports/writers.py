"""A whole report for each kind of result: the page's title and summary, the
result's sections, and the provenance, written whole or not at all."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

from ..errors import InputError
from ..fitting.result import FitResult
from ..provenance import Provenance
from .document import Report
from .fit_sections import add_fit_sections
from .identification_sections import add_identification_sections
from .index_sections import add_index_sections
from .series_sections import add_series_sections

if TYPE_CHECKING:
    from ..identification.result import IdentificationResult
    from ..indexing.result import IndexResult
    from ..series.result import SeriesResult


def fit_summary(result: FitResult) -> str:
    """One line: each phase's weight % as printed, and Rwp."""
    from ..fitting.result import phase_row

    phases = ", ".join(f"{row[0]} {row[1]} wt %" for row in (phase_row(p) for p in result.phases))
    return f"{phases}; Rwp {100 * result.rwp:.2f} %, χ² {result.chi2:.3f}"


def write_fit_report(
    result: FitResult,
    path: str | os.PathLike[str],
    provenance: Provenance | None = None,
    options: Mapping[str, object] | None = None,
) -> None:
    """Write a fit's report: agreement, plot, phases, structures, instrument,
    parameters, warnings and provenance, as one HTML file.

    Parameters
    ----------
    result : FitResult
    path : str or os.PathLike
        The .html file; written whole or not at all, never over an input.
    provenance : Provenance, optional
        Software, command line and input files (default: the version and date only).
    options : mapping, optional
        The options the fit was given, shown by name (default: its request's).

    Raises
    ------
    InputError
        ``path`` is an input, a folder or not .html.
    MissingDependency
        Without plotly or matplotlib (the ``report`` extra).
    OSError
        The file cannot be written.
    """
    name = os.path.basename(result.measured.name) or "scan"
    report = Report(f"Fit of {name}", fit_summary(result))
    add_fit_sections(report, result)
    report.write(path, provenance or Provenance(), options if options is not None else _request_options(result))


def write_identification_report(
    result: IdentificationResult,
    path: str | os.PathLike[str],
    provenance: Provenance | None = None,
    options: Mapping[str, object] | None = None,
) -> None:
    """Write an identification's report: the phases found, how each was
    chosen, the next candidates, the unexplained peaks, the final fit and the
    provenance, as one HTML file (see `write_fit_report` for the rest)."""
    from ..identification.result import percent_text

    found = ", ".join(f"{p.name} {percent_text(p.weight_fraction, p.weight_fraction_esd)} wt %" for p in result.phases)
    report = Report(f"Phases of {os.path.basename(result.scan) or 'scan'}", found or "no phase found")
    add_identification_sections(report, result)
    if options is None and result.fit is not None:
        options = _request_options(result.fit)
    report.write(path, provenance or Provenance(), options)


def _request_options(result: FitResult) -> dict[str, object] | None:
    """The fit request's fields, as its document writes them."""
    request = getattr(result, "request", None)
    if request is None:
        return None
    try:
        return dict(request.to_dict())
    except InputError:  # an Instrument object cannot be written as a document
        return {"request": repr(request)}


def write_series_report(
    result: SeriesResult,
    path: str | os.PathLike[str],
    provenance: Provenance | None = None,
    parameters: Sequence[str] = (),
) -> None:
    """Write a series' report: the refined ``parameters`` against the scans
    (default the first phase's a, else Rwp), the table of every scan, the
    recipe and the provenance, as one HTML file (see `write_fit_report`)."""
    failed = len(result.errors)
    summary = f"{result.table.num_rows} scans: {result.ok} fitted, {failed} failed"
    report = Report(f"Series in {os.path.basename(os.fspath(result.folder)) or 'a folder'}", summary)
    add_series_sections(report, result, parameters)
    # The recipe keeps its files by absolute path: the page names them by file name and content.
    recipe = result.recipe
    options = {
        "phases": ", ".join(f"{os.path.basename(p['path'])} (sha256 {p['sha256']})" for p in recipe.get("phases", ())),
        **{k: json.dumps(v) for k, v in recipe.get("request", {}).items() if v not in (None, [], {}, False)},
    }
    report.write(path, provenance or Provenance(), options)


def write_index_report(
    result: IndexResult,
    path: str | os.PathLike[str],
    provenance: Provenance | None = None,
    options: Mapping[str, object] | None = None,
) -> None:
    """Write an indexing's report: the ranked cells with their figures of
    merit and space-group classes, the lines with the best cell's indices,
    and the provenance, as one HTML file (see `write_fit_report`)."""
    best = result.solutions[0] if result.solutions else None
    summary = (
        "no cell indexes these lines"
        if best is None
        else f"best: {best.lattice}, V {best.volume:.2f} Å³, M20 {best.m20:.1f}, {best.indexed}/{best.used} lines"
    )
    report = Report(f"Indexing of {os.path.basename(result.source) or 'the peaks'}", summary)
    add_index_sections(report, result)
    report.write(path, provenance or Provenance(), options)
