"""Measured powder patterns from files: columns of numbers (.xy, .xye, .csv,
.dat, .prn, .txt) and PANalytical .xrdml.

Column files hold 2θ (degrees), intensity and optionally its standard
uncertainty, separated by blanks (or commas in .csv); lines starting with
'#' or '!' and leading lines that are not numbers (a header) are skipped.
"""

from __future__ import annotations

import re
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..errors import InputError

_COMMENT = ("#", "!", "'", ";")


@dataclass(frozen=True, eq=False)
class MeasuredPattern:
    """A measured scan: 2θ in degrees (strictly increasing), intensity, and
    its standard uncertainty (counting statistics when the file gives none).

    ``wavelength`` is the anode line or Kα1/Kα2 pair the file names, if any.
    """

    two_theta: np.ndarray
    intensity: np.ndarray
    uncertainty: np.ndarray
    name: str = ""
    wavelength: tuple[float, float, float] | None = None  # Kα1, Kα2, Kα2/Kα1 from .xrdml

    def __len__(self) -> int:
        return int(self.two_theta.size)

    @classmethod
    def from_arrays(cls, two_theta, intensity, uncertainty=None, *, name: str = "") -> "MeasuredPattern":
        """Check and wrap arrays; the uncertainty defaults to √max(I, 1)."""
        x = np.asarray(two_theta, dtype=float).reshape(-1)
        y = np.asarray(intensity, dtype=float).reshape(-1)
        label = f"{name}: " if name else ""
        if x.size != y.size:
            raise InputError(f"{label}{x.size} 2theta values but {y.size} intensities")
        if x.size < 2:
            raise InputError(f"{label}a measured pattern needs at least two points, got {x.size}")
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
            raise InputError(f"{label}2theta must increase: point {i + 2} ({x[i + 1]:g}) "
                             f"follows {x[i]:g}")
        if x[0] <= 0.0 or x[-1] >= 180.0:
            raise InputError(f"{label}2theta must lie between 0 and 180 degrees, "
                             f"the file spans {x[0]:g} to {x[-1]:g}")
        if np.any(e < 0.0):
            raise InputError(f"{label}uncertainties must not be negative")
        # Files give a zero uncertainty for a zero count; counting statistics say about one.
        return cls(x, y, np.where(e > 0.0, e, 1.0), name)


def _numbers(line: str, separator: str | None) -> list[float] | None:
    fields = [f for f in (line.split(separator) if separator else line.split()) if f.strip()]
    try:
        return [float(f) for f in fields]
    except ValueError:
        return None


def read_columns(text: str, name: str, separator: str | None = None) -> MeasuredPattern:
    """2θ, intensity and optional uncertainty from columns of text."""
    rows: list[list[float]] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith(_COMMENT):
            continue
        values = _numbers(line, separator)
        if values is None:
            if rows:  # a header may precede the numbers, but nothing may interrupt them
                raise InputError(f"{name}: line {number} is not numbers: {line[:40]!r}")
            continue
        rows.append(values)
    if not rows:
        raise InputError(f"{name}: no numbers found: expected columns of 2theta and intensity")
    widths = {len(r) for r in rows}
    if min(widths) < 2:
        raise InputError(f"{name}: only one column: expected 2theta and intensity (and optionally its error)")
    if len(widths) > 1:
        raise InputError(f"{name}: rows have different numbers of columns ({sorted(widths)})")
    table = np.array(rows)
    errors = table[:, 2] if table.shape[1] >= 3 else None
    return MeasuredPattern.from_arrays(table[:, 0], table[:, 1], errors, name=name)


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def _find(element: ElementTree.Element, *names: str) -> ElementTree.Element | None:
    """First descendant whose tag (without namespace) is the last name, under the others in order."""
    found: ElementTree.Element | None = element
    for wanted in names:
        if found is None:
            return None
        found = next((e for e in found.iter() if _local(e.tag) == wanted and e is not found), None)
    return found


def _text(element: ElementTree.Element | None) -> str:
    """An element's text, empty when the element or its text is missing."""
    return (element.text or "") if element is not None else ""


def read_xrdml(data: bytes, name: str) -> MeasuredPattern:
    """The first scan of a PANalytical .xrdml file (2Theta positions, counts or intensities)."""
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as exc:
        raise InputError(f"{name}: not a readable XML file ({exc})") from None
    points = _find(root, "dataPoints")
    if points is None:
        raise InputError(f"{name}: no dataPoints in this .xrdml file")
    axis = next((e for e in points if _local(e.tag) == "positions" and e.get("axis") == "2Theta"), None)
    counts = next((e for e in points if _local(e.tag) in ("counts", "intensities")), None)
    if axis is None or counts is None or not _text(counts).strip():
        raise InputError(f"{name}: the scan has no 2Theta positions or no counts")
    y = np.array(_numbers(_text(counts), None) or [], dtype=float)
    listed = next((e for e in axis if _local(e.tag) == "listPositions"), None)
    if listed is not None:
        x = np.array(_numbers(_text(listed), None) or [], dtype=float)
    else:
        start = next((e for e in axis if _local(e.tag) == "startPosition"), None)
        end = next((e for e in axis if _local(e.tag) == "endPosition"), None)
        try:
            x = np.linspace(float(_text(start)), float(_text(end)), y.size)
        except ValueError:
            raise InputError(f"{name}: the 2Theta axis has no start and end positions") from None
    uncertainty = None
    if _local(counts.tag) == "intensities":
        # Counts per second: the counting time turns them back into counts for the statistics.
        time = _find(points, "commonCountingTime")
        try:
            seconds = float(_text(time))
        except ValueError:
            seconds = 1.0
        if seconds > 0.0 and y.size:
            uncertainty = np.sqrt(np.maximum(y * seconds, 1.0)) / seconds
    wavelength = None
    used = _find(root, "usedWavelength")
    if used is not None:
        try:
            values = {_local(e.tag): float(e.text) for e in used if e.text}
            wavelength = (values["kAlpha1"], values["kAlpha2"], values.get("ratioKAlpha2KAlpha1", 0.5))
        except (KeyError, ValueError):
            wavelength = None
    pattern = MeasuredPattern.from_arrays(x, y, uncertainty, name=name)
    return MeasuredPattern(pattern.two_theta, pattern.intensity, pattern.uncertainty, name, wavelength)


def read_measured(path: str | Path) -> MeasuredPattern:
    """Read a measured pattern; the format follows the file's suffix."""
    path = Path(path)
    name = str(path)
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None
    suffix = path.suffix.lower()
    if suffix == ".xrdml":
        return read_xrdml(data, name)
    text = data.decode("utf-8", errors="replace")
    separator = "," if suffix == ".csv" else None
    if separator is None and re.search(r"\d,\s*[-+.\d]", text) and not re.search(r"\d\s+[-+.\d]", text):
        separator = ","  # comma-separated columns under another name
    return read_columns(text, name, separator)


def in_range(pattern: MeasuredPattern, lo: float, hi: float) -> MeasuredPattern:
    """The points with lo ≤ 2θ ≤ hi."""
    keep = (pattern.two_theta >= lo) & (pattern.two_theta <= hi)
    if keep.sum() < 2:
        raise InputError(f"{pattern.name}: fewer than two points in 2theta {lo:g} to {hi:g}")
    return MeasuredPattern(pattern.two_theta[keep], pattern.intensity[keep], pattern.uncertainty[keep],
                           pattern.name, pattern.wavelength)
