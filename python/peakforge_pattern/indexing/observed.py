"""The observed lines an indexing run works on: positions in 2θ and Q = 1/d²,
their tolerances, and their intensities when known."""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..errors import InputError

MOST_LINES = 40
"""Lines an indexing run uses at most: the strongest, then taken in increasing 2θ."""

FEWEST_LINES = 6
"""A cell with three to six free parameters needs at least this many lines."""


@dataclass(frozen=True, eq=False)
class ObservedLines:
    """Observed lines in increasing 2θ.

    ``two_theta`` in degrees (as measured, before any zero shift),
    ``intensity`` relative (ones when unknown), ``wavelength`` in Å,
    ``tolerance`` the 2θ error (degrees) a line may have and still be indexed.
    """

    two_theta: np.ndarray
    intensity: np.ndarray
    wavelength: float
    tolerance: float

    def __len__(self) -> int:
        return int(self.two_theta.size)

    def q(self, zero_shift: float = 0.0) -> np.ndarray:
        """Q = 1/d² (Å⁻²) of the lines once the zero shift (degrees, measured = true + shift) is taken off."""
        return q_of(self.two_theta - zero_shift, self.wavelength)

    def dq(self, zero_shift: float = 0.0) -> np.ndarray:
        """dQ/d(2θ) per degree at each line: Q = 2 (1 − cos 2θ) / λ²."""
        theta2 = np.radians(self.two_theta - zero_shift)
        return 2.0 * np.sin(theta2) / self.wavelength**2 * (math.pi / 180.0)


def q_of(two_theta: np.ndarray, wavelength: float) -> np.ndarray:
    """Q = 1/d² = 4 sin²θ / λ² (Å⁻²)."""
    return (2.0 * np.sin(np.radians(np.asarray(two_theta, dtype=float)) / 2.0) / wavelength) ** 2


def two_theta_of(q: np.ndarray, wavelength: float) -> np.ndarray:
    """2θ (degrees) of Q = 1/d², NaN beyond the wavelength's reach."""
    s = np.sqrt(np.maximum(np.asarray(q, dtype=float), 0.0)) * wavelength / 2.0
    with np.errstate(invalid="ignore"):
        return np.where(s < 1.0, 2.0 * np.degrees(np.arcsin(np.minimum(s, 1.0))), np.nan)


def select_lines(
    two_theta: np.ndarray, intensity: np.ndarray | None, wavelength: float, tolerance: float
) -> ObservedLines:
    """The lines to index: positive angles in increasing order, merged when closer than the tolerance.

    With more than MOST_LINES, the strongest are kept.

    Raises
    ------
    InputError
        With fewer than FEWEST_LINES lines, or angles outside (0, 180).
    """
    x = np.asarray(two_theta, dtype=float)
    y = np.ones_like(x) if intensity is None else np.asarray(intensity, dtype=float)
    if x.size and not (np.all(np.isfinite(x)) and np.all((x > 0.0) & (x < 180.0))):
        raise InputError("peak positions must be 2theta angles between 0 and 180 degrees")
    if not (math.isfinite(tolerance) and tolerance > 0.0):
        raise InputError(f"the position tolerance must be positive, not {tolerance:g}")
    order = np.argsort(x, kind="stable")
    x, y = x[order], np.where(np.isfinite(y[order]) & (y[order] > 0.0), y[order], 0.0)
    if x.size > MOST_LINES:
        strongest = np.sort(np.argsort(-y, kind="stable")[:MOST_LINES])
        x, y = x[strongest], y[strongest]
    keep = np.ones(x.size, dtype=bool)
    for i in range(1, x.size):  # one line for two positions closer than the tolerance
        if x[i] - x[i - 1] < 0.5 * tolerance:
            keep[i] = False
    x, y = x[keep], y[keep]
    if x.size < FEWEST_LINES:
        raise InputError(f"{x.size} peaks are too few to index: a cell needs at least {FEWEST_LINES}")
    return ObservedLines(x, y, float(wavelength), float(tolerance))


def read_peak_list(path: str | Path) -> tuple[np.ndarray, np.ndarray | None]:
    """2θ (degrees) and, in a second column, intensities of a peak-list file.

    Whitespace- or comma-separated columns; lines starting with # and text
    headers are skipped.

    Raises
    ------
    InputError
        For a missing or unreadable file, or one without numbers.
    """
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError as exc:
        raise InputError(f"{path}: cannot read the peak list: {exc.strerror or exc}") from None
    if len(text) > 10_000_000:
        raise InputError(f"{path}: too large for a peak list")
    rows: list[list[float]] = []
    for line in text.splitlines():
        fields = line.split("#", 1)[0].replace(",", " ").split()
        if not fields:
            continue
        try:
            rows.append([float(f) for f in fields[:2]])
        except ValueError:
            if rows:
                raise InputError(f"{path}: not a number in the line {line.strip()!r}") from None
            continue  # a header
    if not rows:
        raise InputError(f"{path}: no peak positions")
    width = min(len(r) for r in rows)
    data = np.array([r[:width] for r in rows])
    return data[:, 0], (data[:, 1] if width > 1 else None)
