"""Columns of numbers: 2θ (degrees), intensity and optionally its standard
uncertainty (.xy, .xye, .csv, .dat, .prn, .txt and any such text).

Columns are separated by blanks (or commas in .csv); lines starting with
'#', '!', "'" or ';' and leading lines that are not numbers (a header) are
skipped.
"""

from __future__ import annotations

import numpy as np

from ..errors import InputError
from .measured_pattern import MAX_POINTS, MeasuredPattern, scan_from_file

COMMENT = ("#", "!", "'", ";")


def numbers(line: str, separator: str | None) -> list[float] | None:
    """The fields of ``line`` as numbers, or None when one of them is not a number."""
    fields = [f for f in (line.split(separator) if separator else line.split()) if f.strip()]
    try:
        return [float(f) for f in fields]
    except ValueError:
        return None


def read_columns(text: str, name: str, separator: str | None = None) -> MeasuredPattern:
    """2θ, intensity and optional uncertainty from columns of text.

    Parameters
    ----------
    text : str
        The file's text.
    name : str
        What messages call the file.
    separator : str, optional
        The column separator; blanks when None.

    Returns
    -------
    MeasuredPattern

    Raises
    ------
    InputError
        No numbers, one column, rows of different widths, a line that is not
        numbers among the numbers, or more rows than a scan holds.
    """
    lines = text.splitlines()
    rows: list[list[float]] = []
    for number, raw in enumerate(lines, start=1):
        line = raw.strip()
        if not line or line.startswith(COMMENT):
            continue
        values = numbers(line, separator)
        if values is None:
            if rows:  # a header may precede the numbers, but nothing may interrupt them
                raise InputError(f"{name}: line {number} is not numbers: {line[:40]!r}")
            continue
        rows.append(values)
        if len(rows) > MAX_POINTS:
            raise InputError(f"{name}: more than {MAX_POINTS} rows, more points than a scan holds")
    if not rows:
        raise InputError(f"{name}: no numbers found: expected columns of 2theta and intensity")
    widths = {len(r) for r in rows}
    if min(widths) < 2:
        raise InputError(f"{name}: only one column: expected 2theta and intensity (and optionally its error)")
    if len(widths) > 1:
        raise InputError(f"{name}: rows have different numbers of columns ({sorted(widths)})")
    table = np.array(rows)
    errors = table[:, 2] if table.shape[1] >= 3 else None
    return scan_from_file(table[:, 0], table[:, 1], errors, name)
