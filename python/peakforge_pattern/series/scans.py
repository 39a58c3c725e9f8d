"""The scans of a series: gathered from files, folders and list files, each
once, in natural order (``scan2`` before ``scan10``) or by a number each
scan's header gives (``--order-by temperature``)."""

from __future__ import annotations

import math
import os
import re
from collections.abc import Sequence
from pathlib import Path

from ..errors import InputError

SCAN_SUFFIXES = frozenset(
    (".xy", ".xye", ".csv", ".dat", ".prn", ".txt", ".xrdml", ".gsas", ".gsa", ".fxye", ".raw", ".xra")
    + (".brml", ".ras", ".rasx")
)
"""The suffixes of the scan files a folder's listing takes (any file given by name is read by its contents)."""
LIST_SUFFIXES = frozenset((".lst", ".list"))
"""A file with one of these suffixes lists scans, one path a line (relative to the list's folder)."""
HEADER_BYTES = 65536
"""How much of a scan's beginning is searched for an --order-by value."""

_NUMBER = r"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)"


def natural_key(text: str) -> tuple[tuple[int, int | str], ...]:
    """A sort key in which runs of digits count as numbers (``scan2`` < ``scan10``)."""
    return tuple((0, int(part)) if part.isdigit() else (1, part) for part in re.split(r"(\d+)", text) if part)


def _listed(path: Path) -> list[str]:
    try:
        lines = path.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: cannot read the list of scans: {exc}") from None
    entries = [line.strip() for line in lines]
    return [str(path.parent / entry) for entry in entries if entry and not entry.startswith("#")]


def gather_scans(sources: Sequence[str | os.PathLike[str]]) -> list[str]:
    """Every scan the sources name, in natural order of their paths.

    Parameters
    ----------
    sources : sequence of path
        Scan files, folders (their scan files, by suffix, not hidden ones)
        and list files (``.lst``, ``.list``).

    Returns
    -------
    list of str
        The scans' paths.

    Raises
    ------
    InputError
        A source that does not exist, a folder without scans, no scans at
        all, or a scan named twice.
    """
    found: list[str] = []
    for source in sources:
        path = Path(source)
        if path.is_dir():
            inside = [
                str(p)
                for p in path.iterdir()
                if p.is_file() and not p.name.startswith(".") and p.suffix.lower() in SCAN_SUFFIXES
            ]
            if not inside:
                raise InputError(f"{path}: no scan files in this folder ({', '.join(sorted(SCAN_SUFFIXES))})")
            found += inside
        elif path.is_file() and path.suffix.lower() in LIST_SUFFIXES:
            found += _listed(path)
        elif path.is_file():
            found.append(str(path))
        else:
            raise InputError(f"{path}: no such scan, folder or list of scans")
    if not found:
        raise InputError("no scans to fit")
    seen: dict[str, str] = {}
    for scan in found:
        key = os.path.realpath(scan)
        if key in seen:
            raise InputError(f"{scan}: named twice (also as {seen[key]}); a series fits each scan once")
        seen[key] = scan
    return sorted(found, key=natural_key)


def header_value(path: str | os.PathLike[str], key: str) -> float:
    """The number a scan's header gives for ``key`` (case ignored).

    The first lines of the file are searched for the key followed on the
    same line by a number (``# temperature = 300 K``, ``Temperature: 300``,
    ``<temperature>300</temperature>``, ``*TEMP "300"``).

    Raises
    ------
    InputError
        The file cannot be read, or names no such value.
    """
    try:
        with open(path, "rb") as stream:
            head = stream.read(HEADER_BYTES).decode("latin-1")
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None
    pattern = rf"(?<![A-Za-z0-9_]){re.escape(key)}(?![A-Za-z0-9_])[^\d+\-.\n]{{0,24}}?{_NUMBER}"
    match = re.search(pattern, head, flags=re.IGNORECASE)
    if match is None:
        raise InputError(f"{path}: its header gives no number for {key!r} (--order-by)")
    value = float(match.group(1))
    if not math.isfinite(value):
        raise InputError(f"{path}: {key} is {value!r}, not a finite number")
    return value


def order_scans(scans: Sequence[str], order_by: str | None) -> tuple[list[str], list[float] | None]:
    """The scans in series order, with their --order-by values (None without).

    A stable sort: scans of equal value keep their natural order.
    """
    if order_by is None:
        return list(scans), None
    values = [header_value(scan, order_by) for scan in scans]
    order = sorted(range(len(scans)), key=lambda i: values[i])
    return [scans[i] for i in order], [values[i] for i in order]
