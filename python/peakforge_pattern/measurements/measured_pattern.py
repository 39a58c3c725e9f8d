"""The measured scan every reader returns, and the checks it passes."""

from __future__ import annotations

from dataclasses import dataclass, replace

import numpy as np

from ..errors import InputError
from .geometry import ScanGeometry
from .limits import MAX_POINTS


@dataclass(frozen=True, eq=False)
class MeasuredPattern:
    """A measured scan: 2θ in degrees (strictly increasing), intensity, and
    its standard uncertainty (counting statistics when the file gives none).

    ``wavelength`` is the anode line or Kα1/Kα2 pair the file names, if any
    (Kα1, Kα2 in Å and the Kα2/Kα1 ratio, 0 for a Kα1-only beam);
    ``uncertainty_from_file`` says whether the file gave the uncertainties;
    ``notes`` are what reading the file left out or assumed, one line each;
    ``radius`` (mm) and ``geometry`` ("reflection" or "transmission") are
    the goniometer's as the file's header states them (None where it does not).
    """

    two_theta: np.ndarray
    intensity: np.ndarray
    uncertainty: np.ndarray
    name: str = ""
    wavelength: tuple[float, float, float] | None = None
    uncertainty_from_file: bool = False
    notes: tuple[str, ...] = ()
    radius: float | None = None
    geometry: str | None = None

    def __len__(self) -> int:
        return int(self.two_theta.size)

    @classmethod
    def from_arrays(
        cls,
        two_theta,
        intensity,
        uncertainty=None,
        *,
        name: str = "",
        wavelength: tuple[float, float, float] | None = None,
        notes: tuple[str, ...] = (),
    ) -> MeasuredPattern:
        """Check and wrap arrays; the uncertainty defaults to √max(I, 1).

        Parameters
        ----------
        two_theta, intensity : array_like
            2θ in degrees, strictly increasing inside (0, 180), and the intensity at each.
        uncertainty : array_like, optional
            Standard uncertainty of each intensity; a zero is taken as one count.
        name : str
            What messages call the scan (usually its file).
        wavelength : tuple of float, optional
            Kα1 (Å), Kα2 (Å) and the Kα2/Kα1 ratio the measurement used.
        notes : tuple of str
            What reading left out or assumed.

        Returns
        -------
        MeasuredPattern

        Raises
        ------
        InputError
            Lengths differ, fewer than two or more than ``MAX_POINTS`` points, a value that is not
            finite, 2θ not increasing or outside (0, 180), or a negative uncertainty.
        """
        x = np.asarray(two_theta, dtype=float).reshape(-1)
        y = np.asarray(intensity, dtype=float).reshape(-1)
        label = f"{name}: " if name else ""
        if x.size != y.size:
            raise InputError(f"{label}{x.size} 2theta values but {y.size} intensities")
        if x.size < 2:
            raise InputError(f"{label}a measured pattern needs at least two points, got {x.size}")
        check_point_count(x.size, name)
        if uncertainty is None:
            e = np.sqrt(np.maximum(y, 1.0))
        else:
            e = np.asarray(uncertainty, dtype=float).reshape(-1)
            if e.size != x.size:
                raise InputError(f"{label}{x.size} points but {e.size} uncertainties")
        for what, column in (("2theta", x), ("intensity", y), ("uncertainty", e)):
            bad = np.flatnonzero(~np.isfinite(column))
            if bad.size:
                raise InputError(f"{label}{what} of point {bad[0] + 1} is {column[bad[0]]}, not a finite number")
        steps = np.flatnonzero(np.diff(x) <= 0.0)
        if steps.size:
            i = steps[0]
            raise InputError(f"{label}2theta must increase: point {i + 2} ({x[i + 1]:g}) follows {x[i]:g}")
        if x[0] <= 0.0 or x[-1] >= 180.0:
            raise InputError(f"{label}2theta must lie between 0 and 180 degrees, the file spans {x[0]:g} to {x[-1]:g}")
        if np.any(e < 0.0):
            raise InputError(f"{label}uncertainties must not be negative")
        # Files give a zero uncertainty for a zero count; counting statistics say about one.
        return cls(x, y, np.where(e > 0.0, e, 1.0), name, wavelength, uncertainty is not None, tuple(notes))


def check_point_count(count: int, name: str) -> None:
    """Refuse a scan of more than ``MAX_POINTS`` points before anything is allocated for it."""
    if count > MAX_POINTS:
        label = f"{name}: " if name else ""
        raise InputError(f"{label}{count} points is more than a scan holds (at most {MAX_POINTS})")


def in_range(pattern: MeasuredPattern, lo: float, hi: float) -> MeasuredPattern:
    """The points with lo ≤ 2θ ≤ hi."""
    keep = (pattern.two_theta >= lo) & (pattern.two_theta <= hi)
    if keep.sum() < 2:
        raise InputError(f"{pattern.name}: fewer than two points in 2theta {lo:g} to {hi:g}")
    return replace(
        pattern,
        two_theta=pattern.two_theta[keep],
        intensity=pattern.intensity[keep],
        uncertainty=pattern.uncertainty[keep],
    )


def scan_from_file(
    two_theta,
    intensity,
    uncertainty,
    name: str,
    *,
    wavelength: tuple[float, float, float] | None = None,
    notes: tuple[str, ...] = (),
    counting_uncertainty: bool = False,
    geometry: ScanGeometry | None = None,
) -> MeasuredPattern:
    """A reader's columns as a MeasuredPattern.

    ``counting_uncertainty`` says that the reader derived the uncertainty
    from counting statistics (a count rate and its counting time) rather
    than finding it in the file; ``geometry`` is the goniometer the header
    describes.

    Points at 2θ ≤ 0 or ≥ 180° cannot be measured in reflection or
    transmission (a calculated profile starts at 0°): they are dropped with
    a note rather than refusing the file. A scan measured downwards (2θ
    decreasing at every step) is turned round, with a note.
    """
    x = np.asarray(two_theta, dtype=float).reshape(-1)
    check_point_count(x.size, name)
    if x.size > 1 and np.all(np.diff(x) < 0.0) and np.asarray(intensity).size == x.size:
        # A scan measured downwards: the same points, put in increasing order.
        notes = (*notes, f"{name}: 2theta decreases through the file; the points are read in increasing order")
        x = x[::-1]
        intensity = np.asarray(intensity, dtype=float).reshape(-1)[::-1]
        if uncertainty is not None and np.asarray(uncertainty).size == x.size:
            uncertainty = np.asarray(uncertainty, dtype=float).reshape(-1)[::-1]
    outside = (x <= 0.0) | (x >= 180.0)
    if outside.any() and outside.size == np.asarray(intensity).size:
        keep = ~outside
        notes = (*notes, f"{name}: dropped {int(outside.sum())} point(s) at 2theta <= 0 or >= 180 degrees")
        x = x[keep]
        intensity = np.asarray(intensity, dtype=float).reshape(-1)[keep]
        if uncertainty is not None and np.asarray(uncertainty).size == keep.size:
            uncertainty = np.asarray(uncertainty, dtype=float).reshape(-1)[keep]
    pattern = MeasuredPattern.from_arrays(x, intensity, uncertainty, name=name, wavelength=wavelength, notes=notes)
    if geometry is not None:
        pattern = replace(pattern, radius=geometry.radius, geometry=geometry.geometry)
    return replace(pattern, uncertainty_from_file=False) if counting_uncertainty else pattern
