"""A fit as an interactive figure: measured points, the calculated pattern
and background, the difference below, and a row of reflection ticks per
phase; zoom and pan, and each point's values on hover."""

from __future__ import annotations

import math
import os
from typing import Any

import numpy as np

from ..fitting.result import FitResult
from ..optional import require

COLOURS = ("#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2", "#bcbd22", "#17becf")
"""Tick colours of the phases, in order (as the static picture's)."""


def _first_wavelength(result: FitResult) -> float | None:
    lines = result.instrument.lines(1.0)
    return float(lines[0][0]) if lines else None


def fit_figure(result: FitResult) -> Any:
    """The Plotly figure of a fit.

    Parameters
    ----------
    result : FitResult

    Returns
    -------
    plotly.graph_objects.Figure

    Raises
    ------
    MissingDependency
        Without plotly (the ``report`` extra).
    """
    go = require("plotly.graph_objects", "report", "writing a report")
    x = np.asarray(result.measured.two_theta, dtype=float)
    y = np.asarray(result.measured.intensity, dtype=float)
    top, bottom = float(max(y.max(), result.calculated.max())), float(min(y.min(), 0.0))
    span = top - bottom or 1.0
    difference = result.difference
    tick = 0.04 * span
    # Below the data: a tick row per phase, then the difference curve.
    difference_zero = bottom - tick * (len(result.phases) + 0.5) - float(difference.max(initial=0.0))
    figure = go.Figure()
    point = "2θ %{x:.4f}°<br>%{y:.6g}"
    figure.add_trace(
        go.Scatter(x=x, y=y, mode="markers", name="measured", marker={"size": 3, "color": "black"}, hovertemplate=point)
    )
    figure.add_trace(
        go.Scatter(
            x=x,
            y=result.calculated,
            mode="lines",
            name="calculated",
            line={"width": 1.2, "color": "#d62728"},
            hovertemplate=point,
        )
    )
    figure.add_trace(
        go.Scatter(
            x=x,
            y=result.background,
            mode="lines",
            name="background",
            line={"width": 1, "color": "#8c8c8c"},
            hovertemplate=point,
        )
    )
    figure.add_trace(
        go.Scatter(
            x=x,
            y=difference + difference_zero,
            customdata=difference,
            mode="lines",
            name="difference",
            line={"width": 0.9, "color": "#1f77b4"},
            hovertemplate="2θ %{x:.4f}°<br>measured − calculated %{customdata:.6g}",
        )
    )
    wavelength = _first_wavelength(result)
    for k, phase in enumerate(result.phases):
        angles = np.asarray(phase.reflections, dtype=float)
        angles = angles[(angles >= x[0]) & (angles <= x[-1])]
        spacing = (
            wavelength / (2.0 * np.sin(np.radians(angles) / 2.0))
            if wavelength is not None and angles.size
            else np.full(angles.size, math.nan)
        )
        label = f"{phase.name} ({100 * phase.weight_fraction:.1f} wt %)"
        figure.add_trace(
            go.Scatter(
                x=angles,
                y=np.full(angles.size, bottom - tick * (k + 0.6)),
                customdata=spacing,
                mode="markers",
                name=label,
                marker={"symbol": "line-ns-open", "size": 10, "color": COLOURS[k % len(COLOURS)]},
                hovertemplate=f"{_hover_safe(phase.name)}<br>2θ %{{x:.4f}}°<br>d %{{customdata:.5f}} Å<extra></extra>",
            )
        )
    figure.update_layout(
        title={
            "text": f"{os.path.basename(result.measured.name) or 'scan'}: Rwp {100 * result.rwp:.2f} %, "
            f"Rexp {100 * result.rexp:.2f} %, χ² {result.chi2:.2f}",
            "x": 0.01,
            "font": {"size": 14},
        },
        xaxis={"title": {"text": "2θ (degrees)"}, "range": [float(x[0]), float(x[-1])], "showspikes": True},
        yaxis={"title": {"text": "intensity (counts)" if result.is_counts else "intensity (arbitrary units)"}},
        hovermode="closest",
        dragmode="zoom",
        template="simple_white",
        legend={"orientation": "h", "y": -0.15},
        margin={"l": 70, "r": 20, "t": 50, "b": 60},
    )
    return figure


def _hover_safe(text: str) -> str:
    # Plotly reads %{...} in a hover template as a field and < as markup.
    return text.replace("<", "&lt;").replace(">", "&gt;").replace("{", "(").replace("}", ")")
