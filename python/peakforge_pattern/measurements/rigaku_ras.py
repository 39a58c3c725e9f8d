"""Rigaku .ras (text, Latin-1): ``*RAS_DATA_START``, then per scan a header
of ``*KEY "value"`` lines between ``*RAS_HEADER_START`` and
``*RAS_HEADER_END``, and rows of ``2θ intensity attenuation`` between
``*RAS_INT_START`` and ``*RAS_INT_END``.

The recorded intensity times the attenuation factor is the intensity the
beam would have given unattenuated; its counting uncertainty is that of the
recorded counts, scaled alike. Count rates (``cps``) are turned back into
counts with the time per step (step / speed). Only the first scan is read.
"""

from __future__ import annotations

import numpy as np

from ..errors import InputError
from .geometry import ras_geometry
from .measured_pattern import MeasuredPattern, check_point_count, scan_from_file

TWO_THETA_AXES = ("twotheta", "2theta", "2-theta")
"""Parts of an axis name that make it a 2θ axis (TwoTheta, TwoThetaTheta, Theta/2-Theta, ...)."""


def looks_like_ras(text: str) -> bool:
    """The RAS section markers near the start of the file."""
    head = text[:4096]
    return "*RAS_DATA_START" in head or "*RAS_HEADER_START" in head


def is_two_theta_axis(axis: str) -> bool:
    """Whether an instrument's axis name is a 2θ axis (alone or coupled with θ or ω)."""
    squeezed = axis.replace(" ", "").lower()
    return any(part in squeezed for part in TWO_THETA_AXES)


def counting_scale(unit: str, step: float, speed: float, speed_unit: str) -> float | None:
    """Seconds per step when ``unit`` is a count rate, 1 for counts, None when the time is unknown."""
    if unit.strip().lower() != "cps":
        return 1.0
    per_second = speed / 60.0 if "min" in speed_unit.lower() else speed
    if step > 0.0 and per_second > 0.0:
        return step / per_second
    return None


def unattenuated(table: np.ndarray, seconds: float | None) -> tuple[np.ndarray, np.ndarray]:
    """Intensity times the attenuation factor, and its counting uncertainty."""
    recorded = table[:, 1]
    factor = table[:, 2] if table.shape[1] >= 3 else np.ones_like(recorded)
    factor = np.where(factor > 0.0, factor, 1.0)
    if seconds is None:
        sigma = np.sqrt(np.maximum(recorded, 1.0))
    else:
        sigma = np.sqrt(np.maximum(recorded * seconds, 1.0)) / seconds
    return recorded * factor, sigma * factor


def rigaku_wavelength(alpha1: str, alpha2: str, wave_type: str) -> tuple[float, float, float] | None:
    """Kα1, Kα2 and the Kα2/Kα1 ratio (0 for a Kα1 beam) from a Rigaku header's values."""
    try:
        first, second = float(alpha1), float(alpha2)
    except ValueError:
        return None
    if not (0.0 < first < 10.0 and 0.0 < second < 10.0):
        return None
    return (first, second, 0.0 if wave_type.strip().lower() == "ka1" else 0.5)


def read_ras(text: str, name: str) -> MeasuredPattern:
    """The first scan of a Rigaku .ras file.

    Parameters
    ----------
    text : str
        The file's text (decoded as Latin-1: headers carry Japanese text in other code pages).
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        With the header's Kα1 and Kα2 as its wavelength.

    Raises
    ------
    InputError
        No data block, an axis other than 2θ, or rows that are not numbers.
    """
    header: dict[str, str] = {}
    rows: list[list[float]] = []
    scans = 0
    state = "outside"
    ended = False  # the first scan's data block closed (a file cut short has no end)
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if line == "*RAS_HEADER_START":
            scans += 1
            state = "header" if scans == 1 else "skip"
        elif line == "*RAS_INT_START":
            state = "data" if scans <= 1 else "skip"
        elif line in ("*RAS_HEADER_END", "*RAS_INT_END"):
            ended = ended or state == "data"
            state = "outside"
        elif state == "header" and line.startswith("*"):
            key, _, value = line[1:].partition(" ")
            header[key] = value.strip().strip('"')
        elif state == "data" and line:
            try:
                rows.append([float(v) for v in line.split()])
            except ValueError:
                raise InputError(f"{name}: line {number} is not numbers: {line[:40]!r}") from None
            check_point_count(len(rows), name)
    if not ended and rows and not text.endswith(("\n", "\r")):
        rows.pop()  # cut inside its last line: that row may have lost digits
    if not rows:
        raise InputError(f"{name}: no *RAS_INT_START block with data rows")
    axis = header.get("MEAS_SCAN_AXIS_X_INTERNAL") or header.get("MEAS_SCAN_AXIS_X", "")
    if axis and not is_two_theta_axis(axis):
        raise InputError(f"{name}: the scan axis is {axis}, not 2theta")
    if len({len(r) for r in rows}) > 1 or len(rows[0]) < 2:
        raise InputError(f"{name}: data rows must all hold 2theta, intensity and optionally attenuation")
    table = np.array(rows)
    step, speed = number_or_zero(header.get("MEAS_SCAN_STEP")), number_or_zero(header.get("MEAS_SCAN_SPEED"))
    seconds = counting_scale(
        header.get("MEAS_SCAN_UNIT_Y", "counts"), step, speed, header.get("MEAS_SCAN_SPEED_UNIT", "deg/min")
    )
    intensity, sigma = unattenuated(table, seconds)
    wavelength = rigaku_wavelength(
        header.get("HW_XG_WAVE_LENGTH_ALPHA1", ""),
        header.get("HW_XG_WAVE_LENGTH_ALPHA2", ""),
        header.get("MEAS_COND_XG_WAVE_TYPE", "Ka"),
    )
    notes: tuple[str, ...] = (f"{name}: read the first of {scans} scans",) if scans > 1 else ()
    promised = number_or_zero(header.get("MEAS_DATA_COUNT"))
    if len(rows) < promised or not ended:
        # Read as far as it goes, and said: the points that are there are measured ones.
        of = f" of the {promised:.0f} its header promises" if len(rows) < promised else ""
        notes += (
            f"{name}: the scan is cut short: {len(rows)} points{of}, up to 2theta {table[-1, 0]:g}"
            + ("" if ended else ", and no *RAS_INT_END")
            + "; the rest is missing",
        )
    return scan_from_file(
        table[:, 0],
        intensity,
        sigma,
        name,
        wavelength=wavelength,
        notes=notes,
        counting_uncertainty=True,
        geometry=ras_geometry(header),
    )


def number_or_zero(text: str | None) -> float:
    try:
        return float(text or "")
    except ValueError:
        return 0.0
