"""Intensity scales of a pattern.

``max``: the strongest peak inside the 2θ range is 100.
``full``: the strongest peak from 0 to 180° is 100, so a peak reads the
same whatever range is asked for.
``absolute``: |F|² × multiplicity × LP per unit cell, so phases can be mixed.
"""

from __future__ import annotations

from ..errors import InputError

SCALES: tuple[str, ...] = ("max", "full", "absolute")


def check_scale(scale: str) -> str:
    """The scale's name as given, or InputError for a scale that does not exist."""
    if scale not in SCALES:
        raise InputError(f"unknown intensity scale {scale!r}: use one of {', '.join(SCALES)}")
    return scale


def describe(scale: str, two_theta_range: tuple[float, float]) -> str:
    """One line saying what the intensities mean, for output headers."""
    if scale == "max":
        lo, hi = two_theta_range
        return f"intensity scale max: strongest peak in 2theta {lo:g}-{hi:g} is 100"
    if scale == "full":
        return "intensity scale full: strongest peak in 2theta 0-180 is 100"
    return "intensity scale absolute: |F|^2 x multiplicity x LP per unit cell"
