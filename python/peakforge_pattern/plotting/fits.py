"""Drawing a fit: measured points, the calculated pattern and background,
the difference below, and a row of reflection ticks per phase."""

from __future__ import annotations

import os
from typing import Any

from ..fitting.fit import FitResult
from ..optional import require
from .figures import check_image_path, new_figure, save_figure

_TICK_COLOURS = ("tab:green", "tab:purple", "tab:orange", "tab:brown", "tab:pink", "tab:olive")


def plot_fit(result: FitResult, target: Any = None) -> Any:
    """Draw a fit: measured points, calculated pattern and background, the
    difference below and a row of reflection ticks per phase.

    Parameters
    ----------
    result : FitResult
        The fit.
    target : matplotlib.axes.Axes or str or os.PathLike, optional
        The Axes to draw into, a new pyplot figure when None, or an image
        file to write (format from its suffix; whole or not at all).

    Returns
    -------
    matplotlib.axes.Axes or None
        The Axes drawn into; None when a file was written.

    Raises
    ------
    MissingDependency
        Without matplotlib (the ``plot`` extra).
    InputError
        An image file of a format Matplotlib cannot write.
    """
    if isinstance(target, (str, os.PathLike)):
        draw_fit(result, target)
        return None
    return _draw_fit_axes(result, target)


def _draw_fit_axes(result: FitResult, ax: Any) -> Any:
    """The fit in one Axes (a new pyplot figure if None): the difference sits
    below the pattern and the ticks between them."""
    if ax is None:
        # A notebook user wants the figure shown: pyplot, not a bare Figure.
        plt = require("matplotlib.pyplot", "plot", "drawing a fit")
        _, ax = plt.subplots(figsize=(9.0, 5.0), layout="constrained")
    x, y = result.measured.two_theta, result.measured.intensity
    top, bottom = float(max(y.max(), result.calculated.max())), float(min(y.min(), 0.0))
    span = top - bottom
    difference = result.difference
    tick_height = 0.04 * span
    tick_rows = len(result.phases)
    # Below the data: one tick row per phase, then the difference curve.
    difference_zero = bottom - tick_height * (tick_rows + 0.5) - float(difference.max(initial=0.0))
    ax.plot(x, y, ".", color="black", markersize=1.5, label="measured", zorder=3)
    ax.plot(x, result.calculated, color="tab:red", linewidth=0.8, label="calculated", zorder=4)
    ax.plot(x, result.background, color="0.55", linewidth=0.7, label="background", zorder=2)
    ax.plot(x, difference + difference_zero, color="tab:blue", linewidth=0.6, label="difference", zorder=2)
    for k, phase in enumerate(result.phases):
        base = bottom - tick_height * (k + 1)
        ax.vlines(
            phase.reflections,
            base,
            base + 0.8 * tick_height,
            color=_TICK_COLOURS[k % len(_TICK_COLOURS)],
            linewidth=0.7,
            label=f"{phase.name} ({100 * phase.weight_fraction:.1f} wt %)",
        )
    ax.set_xlim(float(x[0]), float(x[-1]))
    ax.set_ylim(difference_zero + float(difference.min(initial=0.0)) - 0.02 * span, top + 0.05 * span)
    ax.set_xlabel("2θ (degrees)")
    ax.set_ylabel("intensity (counts)" if result.is_counts else "intensity (arbitrary units)")
    ax.set_title(
        f"{os.path.basename(result.measured.name)}: Rwp {100 * result.rwp:.2f} %, "
        f"Rexp {100 * result.rexp:.2f} %, χ² {result.chi2:.2f}",
        fontsize=10,
        loc="left",
    )
    ax.legend(loc="upper right", fontsize=8, frameon=False, markerscale=4)
    return ax


def draw_fit(result: FitResult, path: str | os.PathLike[str]) -> None:
    """Write the fit's figure to ``path`` (format from its suffix), whole or not at all.

    Parameters
    ----------
    result : FitResult
        The fit.
    path : str or os.PathLike
        The image file.

    Raises
    ------
    InputError
        A format Matplotlib cannot write.
    """
    check_image_path(path)
    figure = new_figure(9.0, 5.0)
    _draw_fit_axes(result, figure.subplots())
    save_figure(figure, path)
