"""A series' sections of a report: the chosen refined parameters against
the scans' order (interactive, with e.s.d. bars; the static picture for
print) and the table of every scan, values with their uncertainties."""

from __future__ import annotations

import io
import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ..fitting.uncertainties import format_with_uncertainty
from ..optional import require
from ..plotting.series import DEFAULT_PARAMETERS, plot_series, series_parameters
from .document import Report, escape, table

if TYPE_CHECKING:  # the series package needs pyarrow and SciPy; the page needs neither to be imported
    from ..series.result import SeriesResult


def chosen_parameters(result: SeriesResult, parameters: Sequence[str]) -> list[str]:
    """The parameters drawn: those asked for, else the first phase's a, else Rwp (as ``--plot`` draws)."""
    available = series_parameters(result)
    return list(parameters) or [next((n for n in available if n.endswith(".a")), DEFAULT_PARAMETERS[0])]


def series_figure(result: SeriesResult, parameters: Sequence[str]) -> Any:
    """One panel a parameter against the series' order, with e.s.d. bars and each scan's name on hover."""
    go = require("plotly.graph_objects", "report", "writing a report")
    subplots = require("plotly.subplots", "report", "writing a report")
    columns = result.table.to_pydict()
    key = result.order_by
    x_name = key if key is not None and key in columns else "index"
    ok = [status == "ok" for status in columns["status"]]
    figure = subplots.make_subplots(rows=len(parameters), cols=1, shared_xaxes=True, vertical_spacing=0.04)
    names = [os.path.basename(str(s)) for s, good in zip(columns["scan"], ok) if good]
    for row, name in enumerate(parameters, start=1):
        x = [v for v, good in zip(columns[x_name], ok) if good]
        y = [math.nan if v is None else v for v, good in zip(columns[name], ok) if good]
        errors = columns.get(f"{name}_esd")
        bars = None if errors is None else [0.0 if e is None else e for e, good in zip(errors, ok) if good]
        figure.add_trace(
            go.Scatter(
                x=x,
                y=y,
                mode="markers+lines",
                name=name,
                text=names,
                error_y=None if bars is None else {"type": "data", "array": bars, "visible": True},
                hovertemplate="%{text}<br>%{x}<br>%{y:.6g}<extra>" + escape(name) + "</extra>",
            ),
            row=row,
            col=1,
        )
        figure.update_yaxes(title_text=name, row=row, col=1)
    figure.update_xaxes(title_text=x_name if x_name != "index" else "scan (series order)", row=len(parameters), col=1)
    figure.update_layout(template="simple_white", showlegend=False, height=220 + 200 * len(parameters))
    return figure


def add_series_sections(report: Report, result: SeriesResult, parameters: Sequence[str] = ()) -> None:
    """Add a series' parameter plots and its table to ``report``."""
    chosen = chosen_parameters(result, parameters)
    picture = plot_series(result, chosen)
    rendered = io.BytesIO()
    picture.savefig(rendered, format="png", dpi=110)
    body = report.figure(series_figure(result, chosen), static_png=rendered.getvalue(), alt="the series")
    report.add("Refined parameters", body)
    columns = result.table.to_pydict()
    shown = [n for n in ("rwp", "chi2") if n in columns] + [n for n in series_parameters(result) if n in chosen]
    shown = list(dict.fromkeys(shown))
    order = [result.order_by] if result.order_by in columns else []
    header = ["scan", *order, "status", *shown]
    rows = []
    for k in range(result.table.num_rows):
        values = []
        for name in shown:
            value, esd = columns[name][k], columns.get(f"{name}_esd", [None] * (k + 1))[k]
            values.append("" if value is None else format_with_uncertainty(value, esd))
        scan = str(columns["scan"][k])
        # The series keeps scans by absolute path; the page shows the file name the user knows.
        error = str(columns["error"][k]).replace(scan, os.path.basename(scan))
        status = columns["status"][k] if columns["status"][k] == "ok" else f"failed: {error}"
        rows.append([os.path.basename(scan), *(columns[o][k] for o in order), status, *values])
    report.add("Table", table(header, rows, numeric=range(1 + len(order) + 1, len(header))))
