"""Drawing a series: chosen refined parameters against the scans' order (or
their --order-by value), each with its e.s.d. bars, one panel a parameter."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ..errors import InputError
from .figures import new_figure, save_figure

if TYPE_CHECKING:  # the series package needs pyarrow and SciPy; drawing needs neither
    from ..series.result import SeriesResult

DEFAULT_PARAMETERS = ("rwp",)


def series_parameters(result: SeriesResult) -> list[str]:
    """The columns a series' plot may draw (numbers, not their e.s.d.s)."""
    skip = {"index", "scan", "status", "error", "converged", "warnings"}
    names = []
    for field in result.table.schema:
        kind = str(field.type)
        if field.name in skip or field.name.endswith("_esd") or field.name.startswith("_"):
            continue
        if kind.startswith(("double", "float", "int")):
            names.append(field.name)
    return names


def plot_series(result: SeriesResult, parameters: Sequence[str] = (), target: Any = None) -> Any:
    """Draw refined parameters of a series against scan order or the --order-by value.

    Parameters
    ----------
    result : SeriesResult
        What ``run_series`` returned, or ``load_series(folder)``.
    parameters : sequence of str
        Columns of the table (``corundum.a``, ``zero_shift``, ``rwp``...);
        default the first phase's a, else Rwp.  Their ``_esd`` columns give
        the error bars.
    target : str or os.PathLike, optional
        An image file to write (whole or not at all); None returns the figure.

    Returns
    -------
    matplotlib.figure.Figure or None
        The figure; None when a file was written.

    Raises
    ------
    InputError
        A parameter the table does not have (the message lists those it has).
    """
    table = result.table
    available = series_parameters(result)
    chosen = list(parameters) or [next((n for n in available if n.endswith(".a")), DEFAULT_PARAMETERS[0])]
    unknown = [p for p in chosen if p not in available]
    if unknown:
        raise InputError(
            f"the series has no parameter {unknown[0]!r}; it has: {', '.join(available) or 'none (no scan fitted)'}"
        )
    key = result.order_by
    x_name = key if key is not None and key in table.column_names else "index"
    columns = table.to_pydict()
    ok = [status == "ok" for status in columns["status"]]
    figure = new_figure(6.4, 1.2 + 2.0 * len(chosen))
    axes = figure.subplots(len(chosen), 1, sharex=True, squeeze=False)[:, 0]
    for ax, name in zip(axes, chosen):
        x = [v for v, good in zip(columns[x_name], ok) if good]
        y = [v for v, good in zip(columns[name], ok) if good]
        errors = columns.get(f"{name}_esd")
        bars = None if errors is None else [e if e is not None else 0.0 for e, good in zip(errors, ok) if good]
        y_values = [float("nan") if v is None else v for v in y]
        ax.errorbar(x, y_values, yerr=bars, fmt="o", markersize=3, capsize=2, linewidth=0.8)
        ax.set_ylabel(name)
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel(x_name if x_name != "index" else "scan (series order)")
    failed = len(ok) - sum(ok)
    title = f"{sum(ok)} scans" + (f" ({failed} failed, not drawn)" if failed else "")
    axes[0].set_title(title, fontsize=10, loc="left")
    if isinstance(target, (str, os.PathLike)):
        save_figure(figure, target)
        return None
    return figure
