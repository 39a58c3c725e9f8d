"""How the points of a scan are weighted: counting statistics when the
intensities are counts (or the reader derived them from count rates and
counting times), the file's own uncertainties when it gives them, else
equal weights.

Counts are whole, not negative, and scatter as Poisson statistics say:
the second difference Δ²y = y₋ − 2y + y₊ of neighbouring counts has the
variance y₋ + 4y + y₊, so where the pattern is smooth (Δ²y)² / (y₋ + 4y + y₊)
follows a χ² of one degree of freedom, and its median is that of χ²
(0.455). A scan scaled after counting (normalised to 10 000, say) fails
that test by its scale factor, and its statistic keeps the shape of χ²: the
upper quartile over the median stays that of χ² (2.91).

Peaks sampled at a few points each (a large cell at fine steps) have a
curvature that only adds to the statistic, and unevenly (a non-central χ²
of many non-centralities): the median rises, but the shape does not stay
that of χ². Such a scan of whole numbers is taken for counts; its weights
1/y are in the right proportions even if it was scaled after counting.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..errors import InputError
from ..measurements import MeasuredPattern
from .model import intensity_unit

_CHI2_ONE_MEDIAN = 0.45493642311957283
_CHI2_ONE_UPPER_QUARTILE = 1.3233036969314664
_CHI2_SHAPE = 1.15  # upper quartile over median, over χ²'s, that still has χ²'s shape (0.93–1.07 seen)
_POISSON_RANGE = (0.4, 2.5)  # ratio of the scatter to Poisson's that still counts as counts
_MIN_POINTS = 50
_MIN_MEAN_COUNT = 3.0  # below this the scatter test is too coarse to tell


@dataclass(frozen=True)
class Weighting:
    """The σ of every point, what they are, and a warning when they are not counting statistics."""

    sigma: np.ndarray
    kind: str  # "counts", "file" or "equal"
    warning: str | None = None


def _scatter_ratio(y: np.ndarray) -> float | None:
    """Variance of the point-to-point scatter over the intensity (1 for counts), or None
    when it cannot be told: too few points or counts, or peaks too sharp for the test."""
    if y.size < _MIN_POINTS or float(np.mean(y)) < _MIN_MEAN_COUNT:
        return None
    second = y[:-2] - 2.0 * y[1:-1] + y[2:]
    statistic = second**2 / np.maximum(y[:-2] + 4.0 * y[1:-1] + y[2:], 1.0)
    median, upper = np.quantile(statistic, [0.5, 0.75])
    ratio = float(median) / _CHI2_ONE_MEDIAN
    shape = float(upper) / _CHI2_ONE_UPPER_QUARTILE / ratio if ratio > 0.0 else 1.0
    # A wider scatter than Poisson's is a scale factor only if the statistic keeps χ²'s shape.
    return None if ratio > _POISSON_RANGE[1] and shape > _CHI2_SHAPE else ratio


def scatter_sigma(y: np.ndarray) -> float:
    """One σ for every point, from the scatter between neighbouring points."""
    second = y[:-2] - 2.0 * y[1:-1] + y[2:]
    value = float(np.sqrt(np.median(second**2) / 6.0 / _CHI2_ONE_MEDIAN)) if second.size else 0.0
    if value > 0.0 and np.isfinite(value):
        return value
    largest = float(np.max(np.abs(y), initial=0.0))
    return largest * 1e-6 if largest > 0.0 else 1.0


def _why(whole: bool, ratio: float | None) -> str:
    if not whole:
        return "not whole numbers"
    if ratio is None or not math.isfinite(ratio):
        return "far too large to be counts"
    return f"they scatter {ratio:.3g} times as much as counts would: scaled after counting?"


def choose_weights(measured: MeasuredPattern) -> Weighting:
    """The weights of a fit of this scan.

    Raises
    ------
    InputError
        When every intensity is zero (nothing to fit), or when the weights
        1/σ² of the file's uncertainties are not finite.
    """
    y, given = measured.intensity, measured.uncertainty
    name = measured.name or "the scan"
    if not np.any(y != 0.0):
        raise InputError(f"{name}: every intensity is zero: there is nothing to fit")
    from_counts = np.array_equal(given, np.sqrt(np.maximum(y, 1.0)))
    if not from_counts and not measured.uncertainty_from_file:
        # The reader's counting statistics (a count rate with its counting time, GSAS counters).
        return Weighting(given, "counts")
    whole = bool(np.all(y >= 0.0) and np.all(y == np.round(y)))
    # Whole numbers far from 1 (counts × 1e300) are tested on a scale where their squares are finite.
    unit = intensity_unit(y)
    ratio = _scatter_ratio(y) if whole and unit < 2.0**900 else (math.inf if whole else None)
    counts = whole and (ratio is None or _POISSON_RANGE[0] <= ratio <= _POISSON_RANGE[1])
    if counts and from_counts:
        return Weighting(given, "counts")
    if not from_counts:
        weights = 1.0 / given**2
        if not np.all(np.isfinite(weights)) or not np.all(np.isfinite(y / given)):
            bad = int(np.flatnonzero(~np.isfinite(weights) | ~np.isfinite(y / given))[0])
            raise InputError(
                f"{name}: the uncertainty of point {bad + 1} ({given[bad]:g}) is too small to weigh the point by"
            )
        return Weighting(
            given,
            "file",
            None
            if counts
            else f"{name}: the intensities are not counts ({_why(whole, ratio)}): every point is "
            "weighted by the uncertainty given with it",
        )
    return Weighting(
        np.full(y.size, scatter_sigma(y / unit) * unit),
        "equal",
        f"{name}: the intensities are not counts ({_why(whole, ratio)}): every point is weighted equally, "
        "with sigma from the scatter between neighbouring points; give uncertainties as a "
        "third column to weight by them",
    )
