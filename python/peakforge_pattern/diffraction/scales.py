"""Intensity scales of a pattern.

``max``: the strongest peak inside the 2θ range is 100.
``full``: the strongest peak from 0 to 180° is 100, so a peak reads the
same whatever range is asked for.
``absolute``: |F|² × multiplicity × LP per unit cell, so phases can be mixed.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

import numpy as np

from ..errors import InputError

if TYPE_CHECKING:
    from .pattern import Pattern

SCALES: tuple[str, ...] = ("max", "full", "absolute")


def check_scale(scale: str) -> str:
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


def rescaled(pattern: "Pattern", scale: str, factor: float) -> "Pattern":
    """The pattern with intensity = absolute intensity × ``factor``, named ``scale``."""
    return dataclasses.replace(pattern, intensity=np.asarray(pattern.absolute_intensity) * factor,
                               scale=check_scale(scale))


def apply_scale(pattern: "Pattern", scale: str, full_range_maximum=None) -> "Pattern":
    """The pattern on ``scale``; ``full_range_maximum()`` gives the 0–180° strongest peak."""
    check_scale(scale)
    if scale == "max":
        return pattern
    if scale == "absolute":
        return rescaled(pattern, scale, 1.0)
    strongest = float(full_range_maximum())
    return rescaled(pattern, scale, 100.0 / strongest if strongest > 0.0 else 0.0)
