"""Drawing simulated patterns over a measured scan: the scan, each phase's
profile at its least-squares scale, a row of reflection ticks per phase and
labels of each phase's strongest peaks; stacked (a panel per phase) or
overlaid (one panel)."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ..diffraction.axes import LABELS, check_axis, from_two_theta
from ..errors import InputError
from ..fitting.overlay import Overlay
from ..optional import require
from .figures import DEFAULT_DPI, LAYOUTS, check_image_path, new_figure, save_figure
from .patterns import LabelCount, _label_count, label_text, legend_once, phase_colour, place_labels


def _draw_panel(ax: Any, overlay: Overlay, phases: list[int], axis: str, labels: int) -> None:
    """The scan, the listed phases' scaled profiles, their tick rows and labels, in one Axes."""
    scan = overlay.measured
    wavelength = overlay.patterns[0].wavelength
    x = from_two_theta(axis, scan.two_theta, wavelength)
    ax.plot(x, scan.intensity, color="black", linewidth=0.6, label="measured", zorder=3)
    scaled = overlay.scaled_profiles
    top = float(max(scan.intensity.max(initial=0.0), scaled.max(initial=0.0)))
    tick = 0.05 * top
    peaks = []
    for row, k in enumerate(phases):
        pattern = overlay.patterns[k]
        ax.plot(
            x,
            scaled[k],
            color=phase_colour(k),
            linewidth=0.9,
            zorder=4,
            label=f"{pattern.structure_name or 'phase'} × {overlay.scales[k]:.4g}",
        )
        base = -tick * (row + 1)
        positions = from_two_theta(axis, pattern.two_theta, wavelength)
        ax.vlines(positions, base, base + 0.8 * tick, color=phase_colour(k), linewidth=0.7, zorder=2)
        # Labels sit on the drawn profile over each peak.
        for i in pattern.strongest(labels):
            j = int(np.clip(np.searchsorted(scan.two_theta, pattern.two_theta[i]), 0, len(scan) - 1))
            height = float(max(scaled[k][max(j - 2, 0) : j + 3].max(), scan.intensity[max(j - 2, 0) : j + 3].max()))
            peaks.append((height, float(positions[i]), label_text(pattern.families[i])))
    ax.set_xlim(*sorted((float(x[0]), float(x[-1]))))
    ax.set_ylim(-tick * (len(phases) + 0.5), 1.15 * top if top > 0.0 else 1.0)
    ax.set_ylabel("intensity")
    legend_once(ax, loc="upper right", fontsize=8, frameon=False)
    place_labels(ax, peaks, labels * len(phases))


def plot_overlay(
    overlay: Overlay,
    target: Any = None,
    *,
    layout: str = "stacked",
    labels: LabelCount = 8,
    axis: str = "2theta",
    title: str | None = None,
    dpi: float = DEFAULT_DPI,
) -> Any:
    """Draw a measured scan with each phase's profile at its least-squares scale.

    Parameters
    ----------
    overlay : Overlay
        From ``peakforge_pattern.fitting.overlay_phases``.
    target : matplotlib.axes.Axes or str or os.PathLike, optional
        An Axes to draw into (every phase overlaid in it), an image file to
        write (format from its suffix, whole or not at all), or None for a
        new pyplot figure.
    layout : {"stacked", "overlaid"}
        One panel per phase, or all phases in one panel.
    labels : int or "all"
        Peaks labelled per phase (every family of the peak; labels never overlap).
    axis : {"2theta", "d", "q"}
        The horizontal axis.
    title : str, optional
        Title above the figure (by default the scan's name and the wavelength).
    dpi : float
        Resolution of a raster image file.

    Returns
    -------
    matplotlib.axes.Axes or numpy.ndarray or None
        The Axes drawn into (an array of them when stacked); None when a file was written.

    Raises
    ------
    MissingDependency
        Without matplotlib (the ``plot`` extra).
    InputError
        An unknown layout or axis, a bad label count or resolution, or an image format Matplotlib cannot write.

    Examples
    --------
    >>> from peakforge_pattern.fitting import overlay_phases
    >>> overlay = overlay_phases("scan.xy", ["corundum.cif", "zincite.cif"])  # doctest: +SKIP
    >>> plot_overlay(overlay, "overlay.png", layout="overlaid", labels="all")  # doctest: +SKIP
    """
    if layout not in LAYOUTS:
        raise InputError(f"the layout must be one of {', '.join(LAYOUTS)}, not {layout!r}")
    check_axis(axis)
    count = _label_count(labels, overlay.patterns)
    default_title = (
        f"{os.path.basename(overlay.measured.name) or 'measured'}, wavelength {overlay.patterns[0].wavelength:g} Å"
    )
    phases = list(range(len(overlay.patterns)))
    if target is not None and not isinstance(target, (str, os.PathLike)):
        _draw_panel(target, overlay, phases, axis, count)
        target.set_xlabel(LABELS[axis])
        if title is not None:
            target.set_title(title, fontsize=10)
        return target
    panels = [[k] for k in phases] if layout == "stacked" else [phases]
    height = 1.2 + 2.8 * len(panels)
    if target is None:
        plt = require("matplotlib.pyplot", "plot", "drawing an overlay")
        figure = plt.figure(figsize=(9.0, height), layout="constrained")
    else:
        check_image_path(target)
        figure = new_figure(9.0, height)
    axes = figure.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, members in zip(axes, panels):
        _draw_panel(ax, overlay, members, axis, count)
    axes[-1].set_xlabel(LABELS[axis])
    figure.suptitle(default_title if title is None else title, fontsize=11)
    if target is None:
        return axes if layout == "stacked" else axes[0]
    save_figure(figure, target, dpi=dpi)
    return None
