"""The axes a pattern is read on: 2θ (degrees), d (Å) or Q = 4π sin θ / λ (Å⁻¹).

2θ depends on the wavelength; d and Q do not, so patterns taken with
different radiations (or a neutron and an X-ray pattern) compare on them.
"""

from __future__ import annotations

import numpy as np

from ..errors import InputError

AXES = ("2theta", "d", "q")

LABELS = {"2theta": "2θ (°)", "d": "d (Å)", "q": "Q (Å⁻¹)"}
"""Axis titles for plots."""

COLUMN_NAMES = {"2theta": "2theta", "d": "d", "q": "Q"}
"""Column headings of tables and profile files."""

UNITS = {"2theta": "deg", "d": "A", "q": "1/A"}


def check_axis(axis: str) -> str:
    if axis not in AXES:
        raise InputError(f"the axis must be one of {', '.join(AXES)}, not {axis!r}")
    return axis


def from_two_theta(axis: str, two_theta: np.ndarray, wavelength: float) -> np.ndarray:
    """Values on ``axis`` of the 2θ values (degrees) at ``wavelength`` (Å).

    Examples
    --------
    >>> float(from_two_theta("q", np.array([90.0]), 1.0)[0])  # 4π sin 45°
    8.885765876316732
    """
    two_theta = np.asarray(two_theta, dtype=float)
    if check_axis(axis) == "2theta":
        return two_theta
    sin_theta = np.sin(np.radians(two_theta) / 2)
    with np.errstate(divide="ignore"):
        if axis == "d":
            return wavelength / (2 * sin_theta)
        return 4 * np.pi * sin_theta / wavelength


def to_two_theta(axis: str, values: np.ndarray, wavelength: float) -> np.ndarray:
    """2θ (degrees) of values on ``axis``; NaN where the wavelength cannot reach them."""
    values = np.asarray(values, dtype=float)
    if check_axis(axis) == "2theta":
        return values
    with np.errstate(divide="ignore", invalid="ignore"):
        sin_theta = wavelength / (2 * values) if axis == "d" else values * wavelength / (4 * np.pi)
        return np.degrees(2 * np.arcsin(np.where(sin_theta <= 1, sin_theta, np.nan)))
