"""Drawing patterns: sticks, the powder profile on the sticks' scale, and
labels of the strongest peaks that never overlap.

Figures are built without pyplot unless a notebook user asks for an Axes.
"""

from __future__ import annotations

import base64
import io
import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..diffraction.axes import LABELS, check_axis, from_two_theta
from ..diffraction.formats import hkl_label
from ..diffraction.pattern import Pattern
from ..errors import InputError
from ..optional import require
from ..profiles.instrument import Instrument
from ..profiles.mixture import Mixture
from ..profiles.profile import PhasePeaks, line_set, render
from ..profiles.sample import Sample
from .figures import DEFAULT_DPI, check_image_path, new_figure, save_figure

MAX_PLOT_POINTS = 20_000
"""Most points of a plotted profile: far more than the pixels across a figure."""

_PHASE_COLOURS = ("tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown", "tab:pink", "tab:olive")


def _profile_points(lo: float, hi: float, narrowest: float) -> np.ndarray:
    """Plot grid: ten points per narrowest width, between 2 000 and MAX_PLOT_POINTS over the range."""
    span = hi - lo
    step = min(max(narrowest / 10.0, span / MAX_PLOT_POINTS), span / 2000.0)
    return np.linspace(lo, hi, int(round(span / step)) + 1)


def scaled_profile(
    patterns: Sequence[Pattern], instrument: Instrument, lo: float, hi: float, sample: Sample | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The patterns' summed profile over lo–hi, its highest point at the strongest stick."""
    sets = [line_set(PhasePeaks.from_pattern(p), instrument, sample) for p in patterns]
    widths = [s.fwhm[(s.two_theta > lo) & (s.two_theta < hi)] for s in sets]
    narrowest = min((float(w.min()) for w in widths if w.size), default=hi - lo)
    x = _profile_points(lo, hi, narrowest)
    y = sum((render(s, x) for s in sets), start=np.zeros(x.size))
    strongest = max((float(np.max(p.intensity, initial=0.0)) for p in patterns), default=0.0)
    top = float(y.max(initial=0.0))
    return x, (y * (strongest / top) if top > 0.0 else y)


LabelCount = int | str
"""How many peaks to label: a number, or "all"."""


def label_text(families: Sequence[tuple[int, ...]]) -> str:
    """A peak's label naming every family it holds: "(5 1 1)/(3 3 3)"."""
    return "/".join(hkl_label(hkl) for hkl in families)


def _label_count(labels: LabelCount, patterns: Sequence[Pattern]) -> int:
    if labels == "all":
        return sum(len(p) for p in patterns)
    if isinstance(labels, bool) or not isinstance(labels, (int, np.integer)) or labels < 0:
        raise InputError(f"labels must be a count of peaks or 'all', not {labels!r}")
    return int(labels)


def place_labels(ax: Any, peaks: Sequence[tuple[float, float, str]], count: int) -> None:
    """Label up to ``count`` peaks (height, x, text), highest first, skipping
    any label that would overlap one placed or that lies outside the view."""
    candidates = sorted(peaks, key=lambda c: -c[0])
    lo, hi = sorted(ax.get_xlim())
    figure = ax.figure
    figure.draw_without_rendering()  # lays the figure out, so label extents are final
    placed: list[Any] = []  # window extents of the labels kept
    for height, x, text in candidates[:count]:
        if not lo <= x <= hi:
            continue
        label = ax.annotate(
            text,
            (x, height),
            xytext=(0, 2),
            textcoords="offset points",
            ha="center",
            va="bottom",
            fontsize=7,
            rotation=90,
        )
        box = label.get_window_extent().expanded(1.15, 1.05)
        if any(box.overlaps(other) for other in placed):
            label.remove()
        else:
            placed.append(box)


def _place_labels(ax: Any, patterns: Sequence[Pattern], count: int, axis: str) -> None:
    """Label the strongest peaks of the patterns with all their families."""
    peaks = [
        (
            float(p.intensity[i]),
            float(from_two_theta(axis, p.two_theta[i : i + 1], p.wavelength)[0]),
            label_text(p.families[i]),
        )
        for p in patterns
        for i in p.strongest(count)
    ]
    place_labels(ax, peaks, count)


def holds_content(ax: Any) -> bool:
    """Whether the caller's Axes already shows something (then its limits are left to it)."""
    return bool(ax.lines or ax.collections or ax.patches or ax.images)


def legend_once(ax: Any, **options: Any) -> None:
    """A legend with one entry per label, however often the label was drawn."""
    handles, names = ax.get_legend_handles_labels()
    unique = dict(zip(names, handles))
    if unique:
        ax.legend(list(unique.values()), list(unique.keys()), **options)


def phase_colour(k: int) -> str:
    return _PHASE_COLOURS[k % len(_PHASE_COLOURS)]


def plot_patterns(
    patterns: Sequence[Pattern],
    ax: Any = None,
    *,
    instrument: Instrument | None = None,
    sample: Sample | None = None,
    fwhm: float = 0.1,
    labels: LabelCount = 8,
    mixture: bool = False,
    axis: str = "2theta",
    title: str | None = None,
) -> Any:
    """Draw sticks and profile (one colour per phase) and labels into ``ax``.

    With ``mixture`` the profile is the phases' sum; otherwise one profile
    per pattern. An Axes that already shows something keeps its limits and
    title (the new data join its autoscaling); the legend has one entry per
    phase however often a phase is drawn into it, and new phases take the
    next colours.

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
    labels : int or "all"
        Most peaks labelled with their indices (every family of the peak).
    mixture : bool
        One profile, the phases' sum, instead of one per pattern.
    axis : {"2theta", "d", "q"}
        The horizontal axis.
    title : str, optional
        Replaces the default title of a new Axes ("" for none).

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into.
    """
    check_axis(axis)
    count = _label_count(labels, patterns)
    fresh = ax is None or not holds_content(ax)
    if ax is None:
        # A notebook user wants the figure shown: pyplot, not a bare Figure.
        plt = require("matplotlib.pyplot", "plot", "drawing a pattern")
        _, ax = plt.subplots(figsize=(8.0, 3.6), layout="constrained")
    if instrument is None and fwhm > 0.0:
        instrument = Instrument.with_fwhm(fwhm)
    lo = min(p.two_theta_range[0] for p in patterns)
    hi = max(p.two_theta_range[1] for p in patterns)
    wavelength = patterns[0].wavelength
    groups = [list(patterns)] if mixture else [[p] for p in patterns]
    # Phases drawn into this Axes before keep their colours; new ones take the next.
    first = 0 if fresh else len(set(ax.get_legend_handles_labels()[1]))
    if instrument is not None:
        for k, group in enumerate(groups):
            x, y = scaled_profile(group, instrument, lo, hi, sample)
            name = "profile" if mixture else (group[0].structure_name or "pattern")
            ax.plot(
                from_two_theta(axis, x, wavelength),
                y,
                color="tab:blue" if mixture else phase_colour(first + k),
                linewidth=0.9,
                zorder=2,
                label=name,
            )
    for k, pattern in enumerate(patterns):
        ax.vlines(
            from_two_theta(axis, pattern.two_theta, pattern.wavelength),
            0.0,
            pattern.intensity,
            color=phase_colour(first + k),
            linewidth=0.8,
            zorder=1,
            label=(pattern.structure_name or "pattern") if mixture or instrument is None else None,
        )
    if fresh:
        top = max((float(np.max(p.intensity, initial=0.0)) for p in patterns), default=0.0)
        ends = from_two_theta(axis, np.array([lo, hi]), wavelength)
        if np.all(np.isfinite(ends)):
            ax.set_xlim(*(ends if axis != "d" else ends[::-1]))
        ax.set_ylim(0.0, 1.3 * top if top > 0.0 else 1.0)
        ax.set_xlabel(LABELS[axis])
        ax.set_ylabel("intensity" if patterns[0].scale == "absolute" else "relative intensity")
    else:
        ax.autoscale_view()
    if title is not None:
        ax.set_title(title, fontsize=10)
    elif fresh:
        names = ", ".join(p.structure_name or "structure" for p in patterns)
        ax.set_title(f"{names}, wavelength {wavelength:g} Å", fontsize=10)
    if instrument is not None or len(patterns) > 1 or not fresh:
        legend_once(ax, loc="upper right", fontsize=8, frameon=False)
    _place_labels(ax, patterns, count, axis)
    return ax


def plot_pattern(
    pattern: Pattern,
    ax: Any = None,
    *,
    instrument: Instrument | None = None,
    fwhm: float = 0.1,
    labels: LabelCount = 8,
    axis: str = "2theta",
    title: str | None = None,
) -> Any:
    """Draw a pattern's sticks, its profile and labels of its strongest peaks.

    Parameters
    ----------
    pattern : Pattern
        The pattern to draw.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new pyplot figure (shown in a notebook) when None.
        An Axes that already shows something (a measured scan) keeps its
        limits, title and scale; the pattern joins its legend once.
    instrument : Instrument, optional
        The profile's instrument; by default every peak ``fwhm`` wide.
    fwhm : float
        Peak width in degrees when no instrument is given; 0 draws sticks only.
    labels : int or "all"
        Most peaks labelled with their indices (every family of the peak;
        labels never overlap).
    axis : {"2theta", "d", "q"}
        The horizontal axis: 2θ (degrees), d (Å) or Q = 4π sin θ / λ (1/Å).
    title : str, optional
        The Axes' title; by default the structure and wavelength on a new Axes.

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into.

    Raises
    ------
    MissingDependency
        Without matplotlib (the ``plot`` extra).
    InputError
        An unknown axis or label count.

    Examples
    --------
    >>> from peakforge_pattern import compute_pattern, example_path
    >>> from peakforge_pattern.plotting import plot_pattern
    >>> ax = plot_pattern(compute_pattern(example_path("silicon")), axis="q")  # doctest: +SKIP
    """
    return plot_patterns([pattern], ax, instrument=instrument, fwhm=fwhm, labels=labels, axis=axis, title=title)


def plot_mixture(
    mixture: Mixture,
    ax: Any = None,
    *,
    instrument: Instrument | None = None,
    fwhm: float = 0.1,
    labels: LabelCount = 8,
    axis: str = "2theta",
    title: str | None = None,
) -> Any:
    """Draw a mixture: each phase's sticks in its colour under the phases' summed profile.

    Parameters are those of plot_pattern; returns the Axes drawn into.
    """
    return plot_patterns(
        mixture.patterns, ax, instrument=instrument, fwhm=fwhm, labels=labels, mixture=True, axis=axis, title=title
    )


def draw(
    patterns: Sequence[Pattern],
    path: str | os.PathLike[str],
    *,
    instrument: Instrument | None = None,
    sample: Sample | None = None,
    fwhm: float = 0.1,
    labels: LabelCount = 8,
    mixture: bool = False,
    axis: str = "2theta",
    title: str | None = None,
    dpi: float = DEFAULT_DPI,
) -> None:
    """Write a figure to ``path``: one panel per pattern, or one panel for a mixture.

    Parameters
    ----------
    patterns : sequence of Pattern
        The patterns.
    path : str or os.PathLike
        The image file (format from its suffix), written whole or not at all.
    instrument, sample, fwhm, labels, mixture, axis
        As for plot_patterns.
    title : str, optional
        Above the whole figure.
    dpi : float
        Resolution of raster formats.

    Raises
    ------
    InputError
        A format Matplotlib cannot write, an unknown axis, a bad label count or resolution.
    MissingDependency
        Without matplotlib (the ``plot`` extra).
    """
    check_image_path(path)
    check_axis(axis)
    panels = 1 if mixture else len(patterns)
    figure = new_figure(8.0, 1.0 + 3.0 * panels)
    axes = figure.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    if mixture:
        plot_patterns(
            patterns, axes[0], instrument=instrument, sample=sample, fwhm=fwhm, labels=labels, mixture=True, axis=axis
        )
    else:
        for ax, pattern in zip(axes, patterns):
            plot_patterns([pattern], ax, instrument=instrument, sample=sample, fwhm=fwhm, labels=labels, axis=axis)
    if title is not None:
        figure.suptitle(title, fontsize=11)
    save_figure(figure, path, dpi=dpi)


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
