"""GSAS raw powder data (.gsas, .gsa, .fxye, .raw, .xra): a title line,
optional comment lines, then a ``BANK`` line and its data records.

The BANK line reads ``BANK n NCHAN NREC BINTYP BCOEF1 BCOEF2 BCOEF3 BCOEF4 TYPE``.
For constant-wavelength angle scans BINTYP is ``CONST`` (or ``CONS``),
BCOEF1 the first 2θ and BCOEF2 the step, both in centidegrees. TYPE says how
the records hold the points:

- ``STD`` (the default): ten fields of eight characters per record, each
  an optional two-digit number of counters and a six-digit intensity; the
  uncertainty is √(I/counters).
- ``ESD``: five pairs of eight-character fields, intensity and its
  uncertainty.
- ``ALT``: four triplets of 2θ (centidegrees, 8 characters), intensity
  (7) and uncertainty (5), read as Fortran F8.0, F7.4 and F5.4 (a field
  without a decimal point has four implied decimals).
- ``FXYE``: free-format rows of 2θ (centidegrees), intensity, uncertainty.

Only the first bank is read; time-of-flight banks (other BINTYPs) are refused.
"""

from __future__ import annotations

import numpy as np

from ..errors import InputError
from .measured_pattern import MeasuredPattern, check_point_count, scan_from_file

LAYOUTS = ("STD", "ESD", "ALT", "FXYE")


def looks_like_gsas(text: str) -> bool:
    """A BANK line among the first lines, as GSAS files put it after a title."""
    return any(line.startswith("BANK") for line in text[:20000].splitlines()[:200])


def _fixed_fields(line: str, widths: tuple[int, ...]) -> list[str]:
    fields, start = [], 0
    while start < len(line.rstrip()):
        for width in widths:
            fields.append(line[start : start + width])
            start += width
    return fields


def _float(field: str, name: str, number: int, decimals: int = 0) -> float:
    """A Fortran Fw.d field: without a decimal point (or exponent) its last ``decimals`` digits are the
    fraction, as the format that wrote it implies."""
    text = field.strip()
    try:
        value = float(text) if text else 0.0
    except ValueError:
        raise InputError(f"{name}: line {number}: {text!r} is not a number") from None
    if decimals and not any(mark in text for mark in ".eEdD"):
        value /= 10.0**decimals
    return value


def read_gsas(text: str, name: str) -> MeasuredPattern:
    """The first constant-wavelength bank of a GSAS raw file.

    Parameters
    ----------
    text : str
        The file's text.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        With the file's uncertainties (ESD, ALT, FXYE) or √(I/counters) (STD).

    Raises
    ------
    InputError
        No BANK line, a time-of-flight bank, an unknown record type, or fewer
        points in the records than the BANK line promises.
    """
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("BANK")), None)
    if start is None:
        raise InputError(f"{name}: no BANK line: not a GSAS raw file")
    fields = lines[start].split()
    try:
        channels = int(fields[2])
        binning = fields[4].upper()
        coefficients = [float(f) for f in fields[5:9] if _is_number(f)]
    except (IndexError, ValueError):
        raise InputError(
            f"{name}: line {start + 1}: the BANK line does not read as 'BANK n NCHAN NREC BINTYP BCOEF...'"
        ) from None
    layout = next((f.upper() for f in fields[5:] if f.upper() in LAYOUTS), "STD")
    if binning not in ("CONST", "CONS"):
        raise InputError(f"{name}: bank binning {fields[4]!r} is not read (only constant-step 2theta scans, CONST)")
    if channels < 1:
        raise InputError(f"{name}: the BANK line promises {channels} points")
    check_point_count(channels, name)
    banks = sum(1 for line in lines[start + 1 :] if line.startswith("BANK"))
    records = []
    for line in lines[start + 1 :]:
        if line.startswith("BANK"):
            break
        records.append(line)
    if layout == "FXYE":
        x, y, e = _free_columns(records, name, start)
    elif layout == "ALT":
        x, y, e = _alt(records, name, start)
    else:
        if len(coefficients) < 2:
            raise InputError(f"{name}: line {start + 1}: CONST needs the first 2theta and the step")
        y, e = _std(records, name, start) if layout == "STD" else _esd(records, name, start)
        x = (coefficients[0] + coefficients[1] * np.arange(y.size)) / 100.0
    if y.size < channels:
        raise InputError(f"{name}: the BANK line promises {channels} points but the records hold {y.size}")
    notes = (f"{name}: read the first of {banks + 1} banks",) if banks else ()
    if layout in ("ALT", "FXYE"):
        x = x / 100.0
    return scan_from_file(x[:channels], y[:channels], e[:channels], name, notes=notes)


def _is_number(field: str) -> bool:
    try:
        float(field)
    except ValueError:
        return False
    return True


def _std(records: list[str], name: str, start: int) -> tuple[np.ndarray, np.ndarray]:
    counts, counters = [], []
    for number, line in enumerate(records, start=start + 2):
        if not line.strip():
            continue
        if len(line.split()) > 10 or any(len(f) > 8 for f in line.split()):
            fields = line.split()  # written free-format
            pairs = [("", f) for f in fields]
        else:
            pairs = [(f[:2], f[2:]) for f in _fixed_fields(line, (8,)) if f.strip()]
        for detectors, value in pairs:
            counts.append(_float(value, name, number))
            counters.append(max(_float(detectors, name, number), 1.0))
    y, n = np.array(counts), np.array(counters)
    return y, np.sqrt(np.maximum(y, 1.0) / n)


def _esd(records: list[str], name: str, start: int) -> tuple[np.ndarray, np.ndarray]:
    values: list[float] = []
    for number, line in enumerate(records, start=start + 2):
        if not line.strip():
            continue
        fixed = _fixed_fields(line, (8,))
        if any(f.strip() and " " in f.strip() for f in fixed):
            fixed = line.split()
        values.extend(_float(f, name, number) for f in fixed if f.strip())
    if len(values) % 2:
        raise InputError(f"{name}: ESD records hold an odd number of values ({len(values)})")
    table = np.array(values).reshape(-1, 2)
    return table[:, 0], table[:, 1]


def _alt(records: list[str], name: str, start: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    values: list[float] = []
    for number, line in enumerate(records, start=start + 2):
        if line.strip():
            fields = _fixed_fields(line, (8, 7, 5))
            values.extend(_float(f, name, number, (0, 4, 4)[i % 3]) for i, f in enumerate(fields) if f.strip())
    if len(values) % 3:
        raise InputError(f"{name}: ALT records hold {len(values)} values, not triplets of 2theta, I, sigma")
    table = np.array(values).reshape(-1, 3)
    return table[:, 0], table[:, 1], table[:, 2]


def _free_columns(records: list[str], name: str, start: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rows = []
    for number, line in enumerate(records, start=start + 2):
        fields = line.split()
        if not fields or line.lstrip().startswith("#"):
            continue
        if len(fields) < 3:
            raise InputError(f"{name}: line {number}: expected 2theta, intensity and sigma")
        rows.append([_float(f, name, number) for f in fields[:3]])
    table = np.array(rows, dtype=float).reshape(-1, 3)
    return table[:, 0], table[:, 1], table[:, 2]
