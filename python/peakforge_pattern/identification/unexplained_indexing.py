"""The peaks an identification leaves unexplained, indexed: the first step
towards a phase that is in no library."""

from __future__ import annotations

import numpy as np

from ..indexing import DEFAULT_MAX_TIME, SYSTEMS, IndexResult, index_lines, select_lines
from ..indexing.observed import FEWEST_LINES
from .result import IdentificationResult

TOLERANCE = 0.04
"""Degrees 2θ an unexplained peak may lie from its reflection."""


def index_unexplained(
    result: IdentificationResult,
    wavelength: float,
    *,
    max_time: float = DEFAULT_MAX_TIME,
    systems: tuple[str, ...] = SYSTEMS,
) -> IndexResult:
    """Index the unexplained peaks (those at a Kβ line of a stronger peak left out).

    Parameters
    ----------
    result : IdentificationResult
    wavelength : float
        The Kα1 (or only) wavelength the peaks were measured with, Å.
    max_time : float
        Seconds the search may take.
    systems : tuple of str
        Crystal systems to search (default all).

    Raises
    ------
    InputError
        With fewer than six such peaks.
    """
    peaks = [p for p in result.unexplained_peaks if p.line is None]
    two_theta = np.array([p.two_theta for p in peaks])
    height = np.array([p.height * p.unexplained for p in peaks])
    lines = select_lines(two_theta, height, wavelength, TOLERANCE)
    return index_lines(lines, max_time=max_time, systems=systems)


def worth_indexing(result: IdentificationResult) -> bool:
    """Whether enough peaks are left unexplained to index them (six or more)."""
    return sum(1 for p in result.unexplained_peaks if p.line is None) >= FEWEST_LINES
