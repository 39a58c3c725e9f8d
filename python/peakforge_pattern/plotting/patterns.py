"""Drawing patterns: sticks, the powder profile on the sticks' scale, and
labels of the strongest peaks that never overlap.

Figures are built without pyplot unless a notebook user asks for an Axes.
"""

from __future__ import annotations

import base64
import io
import os
from typing import Any, Sequence

import numpy as np

from ..diffraction.formats import hkl_label
from ..diffraction.pattern import Pattern
from ..optional import require
from ..profiles.instrument import Instrument
from ..profiles.mixture import Mixture
from ..profiles.profile import PhasePeaks, line_set, render
from ..profiles.sample import Sample
from .figures import check_image_path, new_figure, save_figure

MAX_PLOT_POINTS = 20_000
"""Most points of a plotted profile: far more than the pixels across a figure."""

_PHASE_COLOURS = ("tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown", "tab:pink", "tab:olive")


def _profile_points(lo: float, hi: float, narrowest: float) -> np.ndarray:
    """Plot grid: ten points per narrowest width, between 2 000 and MAX_PLOT_POINTS over the range."""
    span = hi - lo
    step = min(max(narrowest / 10.0, span / MAX_PLOT_POINTS), span / 2000.0)
    return np.linspace(lo, hi, int(round(span / step)) + 1)


def scaled_profile(patterns: Sequence[Pattern], instrument: Instrument, lo: float, hi: float,
                   sample: Sample | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The patterns' summed profile over lo–hi, its highest point at the strongest stick."""
    sets = [line_set(PhasePeaks.from_pattern(p), instrument, sample) for p in patterns]
    widths = [s.fwhm[(s.two_theta > lo) & (s.two_theta < hi)] for s in sets]
    narrowest = min((float(w.min()) for w in widths if w.size), default=hi - lo)
    x = _profile_points(lo, hi, narrowest)
    y = sum((render(s, x) for s in sets), start=np.zeros(x.size))
    strongest = max((float(np.max(p.intensity, initial=0.0)) for p in patterns), default=0.0)
    top = float(y.max(initial=0.0))
    return x, (y * (strongest / top) if top > 0.0 else y)


def _place_labels(ax: Any, patterns: Sequence[Pattern], count: int) -> None:
    """Label the strongest peaks, strongest first, skipping any label that would overlap one placed."""
    candidates = [(float(p.intensity[i]), float(p.two_theta[i]), p.families[i][0])
                  for p in patterns for i in p.strongest(count)]
    candidates.sort(key=lambda c: -c[0])
    lo, hi = ax.get_xlim()
    figure = ax.figure
    figure.draw_without_rendering()  # lays the figure out, so label extents are final
    placed: list[Any] = []  # window extents of the labels kept
    for height, two_theta, hkl in candidates[:count]:
        if not lo <= two_theta <= hi:
            continue
        label = ax.annotate(hkl_label(hkl), (two_theta, height), xytext=(0, 2), textcoords="offset points",
                            ha="center", va="bottom", fontsize=7, rotation=90)
        box = label.get_window_extent().expanded(1.15, 1.05)
        if any(box.overlaps(other) for other in placed):
            label.remove()
        else:
            placed.append(box)


def plot_patterns(patterns: Sequence[Pattern], ax: Any = None, *, instrument: Instrument | None = None,
                  sample: Sample | None = None, fwhm: float = 0.1, labels: int = 8,
                  mixture: bool = False) -> Any:
    """Draw sticks (one colour per phase), the profile and labels into ``ax``.

    Parameters
    ----------
    patterns : sequence of Pattern
        The phases to draw.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new pyplot figure when None.
    instrument : Instrument, optional
        The profile's instrument; by default every peak ``fwhm`` wide.
    sample : Sample, optional
        The profile's sample.
    fwhm : float
        Peak width in degrees when no instrument is given; 0 draws sticks only.
    labels : int
        Most peaks labelled with their indices.
    mixture : bool
        One profile, the phases' sum, instead of one per pattern.

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into.
    """
    if ax is None:
        # A notebook user wants the figure shown: pyplot, not a bare Figure.
        plt = require("matplotlib.pyplot", "plot", "drawing a pattern")
        _, ax = plt.subplots(figsize=(8.0, 3.6), layout="constrained")
    if instrument is None and fwhm > 0.0:
        instrument = Instrument.with_fwhm(fwhm)
    lo = min(p.two_theta_range[0] for p in patterns)
    hi = max(p.two_theta_range[1] for p in patterns)
    groups = [list(patterns)] if mixture else [[p] for p in patterns]
    if instrument is not None:
        for group in groups:
            x, y = scaled_profile(group, instrument, lo, hi, sample)
            ax.plot(x, y, color="tab:blue", linewidth=0.9, zorder=2,
                    label="profile (highest point at the strongest peak)" if group is groups[0] else None)
    for k, pattern in enumerate(patterns):
        ax.vlines(pattern.two_theta, 0.0, pattern.intensity, color=_PHASE_COLOURS[k % len(_PHASE_COLOURS)],
                  linewidth=0.8, zorder=1, label=pattern.structure_name if len(patterns) > 1 else None)
    top = max((float(np.max(p.intensity, initial=0.0)) for p in patterns), default=0.0)
    ax.set_xlim(lo, hi)
    ax.set_ylim(0.0, 1.3 * top if top > 0.0 else 1.0)
    ax.set_xlabel("2θ (degrees)")
    ax.set_ylabel("intensity" if patterns[0].scale == "absolute" else "relative intensity")
    names = ", ".join(p.structure_name or "structure" for p in patterns)
    ax.set_title(f"{names}, wavelength {patterns[0].wavelength:g} Å", fontsize=10, loc="left")
    if instrument is not None or len(patterns) > 1:
        ax.legend(loc="upper right", fontsize=8, frameon=False)
    _place_labels(ax, patterns, labels)
    return ax


def plot_pattern(pattern: Pattern, ax: Any = None, *, instrument: Instrument | None = None, fwhm: float = 0.1,
                 labels: int = 8) -> Any:
    """Draw a pattern's sticks, its profile and labels of its strongest peaks.

    Parameters
    ----------
    pattern : Pattern
        The pattern to draw.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new pyplot figure (shown in a notebook) when None.
    instrument : Instrument, optional
        The profile's instrument; by default every peak ``fwhm`` wide.
    fwhm : float
        Peak width in degrees when no instrument is given; 0 draws sticks only.
    labels : int
        Most peaks labelled with their indices (labels never overlap).

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into.

    Raises
    ------
    MissingDependency
        Without matplotlib (the ``plot`` extra).

    Examples
    --------
    >>> from peakforge_pattern import compute_pattern, example_path
    >>> from peakforge_pattern.plotting import plot_pattern
    >>> ax = plot_pattern(compute_pattern(example_path("silicon")))  # doctest: +SKIP
    """
    return plot_patterns([pattern], ax, instrument=instrument, fwhm=fwhm, labels=labels)


def plot_mixture(mixture: Mixture, ax: Any = None, *, instrument: Instrument | None = None, fwhm: float = 0.1,
                 labels: int = 8) -> Any:
    """Draw a mixture: each phase's sticks in its colour under the phases' summed profile.

    Parameters are those of plot_pattern; returns the Axes drawn into.
    """
    return plot_patterns(mixture.patterns, ax, instrument=instrument, fwhm=fwhm, labels=labels, mixture=True)


def draw(patterns: Sequence[Pattern], path: str | os.PathLike[str], *, instrument: Instrument | None = None,
         sample: Sample | None = None, fwhm: float = 0.1, labels: int = 8, mixture: bool = False) -> None:
    """Write a figure to ``path``: one panel per pattern, or one panel for a mixture.

    Parameters
    ----------
    patterns : sequence of Pattern
        The patterns.
    path : str or os.PathLike
        The image file (format from its suffix), written whole or not at all.
    instrument, sample, fwhm, labels, mixture
        As for plot_patterns.

    Raises
    ------
    InputError
        A format Matplotlib cannot write.
    MissingDependency
        Without matplotlib (the ``plot`` extra).
    """
    check_image_path(path)
    panels = 1 if mixture else len(patterns)
    figure = new_figure(8.0, 1.0 + 3.0 * panels)
    axes = figure.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    if mixture:
        plot_patterns(patterns, axes[0], instrument=instrument, sample=sample, fwhm=fwhm, labels=labels,
                      mixture=True)
    else:
        for ax, pattern in zip(axes, patterns):
            plot_patterns([pattern], ax, instrument=instrument, sample=sample, fwhm=fwhm, labels=labels)
    save_figure(figure, path)


def pattern_png(pattern: Pattern) -> bytes:
    """The pattern drawn as a PNG image (for notebooks).

    Parameters
    ----------
    pattern : Pattern
        The pattern.

    Returns
    -------
    bytes
        The PNG file's bytes.
    """
    figure = new_figure(7.0, 3.0)
    plot_patterns([pattern], figure.subplots())
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=90)
    return out.getvalue()


def pattern_html(pattern: Pattern) -> str:
    """The pattern's notebook view with its picture: the plot above the strongest peaks' table.

    Parameters
    ----------
    pattern : Pattern
        The pattern to show.

    Returns
    -------
    str
        An HTML fragment with the picture inlined as a PNG.
    """
    image = base64.b64encode(pattern_png(pattern)).decode("ascii")
    return f'<div><img src="data:image/png;base64,{image}"/>{pattern._repr_html_()}</div>'
