"""The peaks of a measured scan: background removed, peaks found, Kα2
companions folded into their Kα1 peaks.

The background is estimated by SNIP (statistics-sensitive non-linear
iterative peak clipping; Ryan et al., Nucl. Instrum. Methods B 34 (1988)
396, with the log-log-square-root transform and decreasing clipping window
of Morháč et al., Nucl. Instrum. Methods A 401 (1997) 113): each point is
replaced by the mean of its neighbours at distance p when that is lower,
for p from the window down to one, so peaks narrower than the window are
clipped away while the slowly varying background stays.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..errors import InputError
from ..optional import require
from .measured_pattern import MeasuredPattern

BACKGROUND_WINDOW = 1.5
"""Half-width of the SNIP clipping window in degrees 2θ: several peak widths."""

BACKGROUND_SMOOTHING = 0.3
"""Width in degrees 2θ of the running mean the background is estimated from."""

SIGNIFICANCE = 4.0
"""A peak's net height must exceed this many standard uncertainties of the counts."""

SMALLEST_RELATIVE_HEIGHT = 0.003
"""Peaks below this fraction of the strongest net height are left out."""


@dataclass(frozen=True, eq=False)
class ScanPeaks:
    """Peaks found in a scan, in increasing 2θ.

    ``two_theta`` in degrees, ``height`` the net height above the
    background, ``intensity`` the net area (height × FWHM), ``fwhm`` in
    degrees. ``background`` is the estimated background on the scan's 2θ.
    """

    two_theta: np.ndarray
    height: np.ndarray
    intensity: np.ndarray
    fwhm: np.ndarray
    background: np.ndarray

    def __len__(self) -> int:
        return int(self.two_theta.size)

    @property
    def typical_fwhm(self) -> float:
        """The median width of the peaks, degrees (0.1 when there are none)."""
        return float(np.median(self.fwhm)) if self.fwhm.size else 0.1


def snip_background(intensity: np.ndarray, window: int) -> np.ndarray:
    """SNIP background of a profile, clipping window ``window`` points each side."""
    y = np.maximum(np.asarray(intensity, dtype=float), 0.0)
    v = np.log(np.log(np.sqrt(y + 1.0) + 1.0) + 1.0)
    n = v.size
    for p in range(min(int(window), (n - 1) // 2), 0, -1):
        mean = 0.5 * (v[: n - 2 * p] + v[2 * p :])
        v[p : n - p] = np.minimum(v[p : n - p], mean)
    return (np.exp(np.exp(v) - 1.0) - 1.0) ** 2 - 1.0


def _smooth(values: np.ndarray) -> np.ndarray:
    """A light five-point binomial smoothing, so that single noisy counts make no peaks."""
    kernel = np.array([1.0, 4.0, 6.0, 4.0, 1.0]) / 16.0
    padded = np.pad(values, 2, mode="edge")
    return np.convolve(padded, kernel, mode="valid")


def find_scan_peaks(
    measured: MeasuredPattern, lines: list[tuple[float, float]] | None = None, *, significance: float = SIGNIFICANCE
) -> ScanPeaks:
    """Background-corrected peaks of a measured scan.

    Parameters
    ----------
    measured : MeasuredPattern
        The scan.
    lines : list of (wavelength Å, weight), optional
        The emission lines; with a Kα1/Kα2 pair, a peak sitting where the
        Kα2 line puts a stronger peak's reflection is counted into that peak.
    significance : float
        Net height a peak needs, in standard uncertainties of the counts.

    Returns
    -------
    ScanPeaks

    Raises
    ------
    InputError
        When the scan is too short to hold a peak.
    """
    signal = require("scipy.signal", "fit", "peakforge identify")
    x, y = measured.two_theta, measured.intensity
    if x.size < 16:
        raise InputError(f"{measured.name}: {x.size} points are too few to find peaks in")
    step = float(np.median(np.diff(x)))
    # Clipping takes the lower of noisy values again and again, so the background is
    # estimated from counts averaged over about 0.3°: less noise, less downward bias.
    width = max(int(round(BACKGROUND_SMOOTHING / step)) | 1, 3)
    averaged = np.convolve(np.pad(y, width // 2, mode="edge"), np.full(width, 1.0 / width), mode="valid")
    background = snip_background(averaged, max(int(round(BACKGROUND_WINDOW / step)), 2))
    net = _smooth(y) - background
    noise = np.maximum(measured.uncertainty, 1e-12) / math.sqrt(3.0)  # the smoothing averages about 3 points
    strongest = float(np.max(net)) if net.size else 0.0
    if strongest <= 0.0:
        return _no_peaks(background)
    threshold = np.maximum(significance * noise, SMALLEST_RELATIVE_HEIGHT * strongest)
    index, _ = signal.find_peaks(net, height=threshold, prominence=0.5 * threshold)
    if index.size == 0:
        return _no_peaks(background)
    widths = signal.peak_widths(net, index, rel_height=0.5)[0] * step
    # The top of each peak placed between points by the parabola through three of them.
    left, right = net[np.maximum(index - 1, 0)], net[np.minimum(index + 1, net.size - 1)]
    curvature = left - 2.0 * net[index] + right
    offset = np.where(curvature < 0.0, 0.5 * (left - right) / np.where(curvature < 0.0, curvature, -1.0), 0.0)
    position = x[index] + np.clip(offset, -0.5, 0.5) * step
    height = net[index]
    fwhm = np.maximum(widths, step)
    peaks = ScanPeaks(position, height, height * fwhm, fwhm, background)
    return _fold_ka2(peaks, lines) if lines is not None and len(lines) == 2 else peaks


def _no_peaks(background: np.ndarray) -> ScanPeaks:
    empty = np.zeros(0)
    return ScanPeaks(empty, empty, empty, empty, background)


def _fold_ka2(peaks: ScanPeaks, lines: list[tuple[float, float]]) -> ScanPeaks:
    """Peaks that are the resolved Kα2 companions of stronger peaks, added into those."""
    (lambda1, weight1), (lambda2, weight2) = lines
    ratio = weight2 / weight1
    x = peaks.two_theta
    sine = np.sin(np.radians(x) / 2.0) * lambda2 / lambda1
    companion = np.where(sine < 1.0, 2.0 * np.degrees(np.arcsin(np.minimum(sine, 1.0))), np.inf)
    keep = np.ones(x.size, dtype=bool)
    intensity = peaks.intensity.copy()
    for i in np.argsort(-peaks.height, kind="stable"):
        if not keep[i]:
            continue
        j = int(np.searchsorted(x, companion[i]))
        for k in (j - 1, j):
            if (
                0 <= k < x.size
                and k != i
                and keep[k]
                and abs(x[k] - companion[i]) <= 0.5 * peaks.fwhm[i]
                and peaks.height[k] <= 1.5 * ratio * peaks.height[i]
            ):
                keep[k] = False
                intensity[i] += intensity[k]
                break
    return ScanPeaks(x[keep], peaks.height[keep], intensity[keep], peaks.fwhm[keep], peaks.background)
