"""Reading a measured scan from a file of any format peakforge knows,
recognised by its contents (a .raw may be GSAS text or Bruker binary)."""

from __future__ import annotations

import codecs
import os
import re
import stat
from pathlib import Path

from ..errors import InputError
from .bruker_brml import is_brml, read_brml
from .bruker_raw import is_bruker_raw, read_bruker_raw
from .columns import read_columns
from .gsas import looks_like_gsas, read_gsas
from .limits import MAX_BYTES, MAX_POINTS, size_text
from .measured_pattern import MeasuredPattern
from .rigaku_ras import looks_like_ras, read_ras
from .rigaku_rasx import is_rasx, read_rasx
from .xrdml import read_xrdml
from .zipped import open_archive

SCAN_FORMATS = (
    "columns of 2theta, intensity and optional sigma (.xy .xye .csv .dat .prn .txt)",
    "PANalytical .xrdml",
    "GSAS raw (.gsas .gsa .fxye .raw .xra)",
    "Bruker RAW v3 and v4 (.raw)",
    "Bruker .brml",
    "Rigaku .ras",
    "Rigaku .rasx",
)
"""The formats :func:`read_scan` reads, as its messages list them."""

_HEAD = 65536
_PIECE = 1 << 20  # bytes read at once from a file of unknown size (a pipe)
_HEADER_LINES = 100_000  # comment and header lines a column file may carry beside its points


def formats_read() -> str:
    """The formats read, in one line for a message."""
    return "; ".join(SCAN_FORMATS)


def read_scan(path: str | os.PathLike[str]) -> MeasuredPattern:
    """Read a measured powder scan, whatever its format.

    The format follows the file's contents, not its name. Points at
    2θ ≤ 0 or ≥ 180° are dropped with a note (``MeasuredPattern.notes``), so
    that a profile calculated from 0° reads back.

    Parameters
    ----------
    path : str or path-like
        The scan file.

    Returns
    -------
    MeasuredPattern
        2θ (degrees), intensity and standard uncertainty (the file's, else
        counting statistics), with the wavelength when the file states it.

    Raises
    ------
    InputError
        The file cannot be read, is larger than a scan can be (``MAX_BYTES``
        bytes, ``MAX_POINTS`` points), is in no format read (the message lists
        them), or its contents are not a scan.

    Examples
    --------
    A scan shipped in the checkout (run from the repository's root):

    >>> from peakforge_pattern.measurements import read_scan
    >>> scan = read_scan("examples/measured/qarr_corundum.prn")
    >>> float(scan.two_theta[0]), len(scan)
    (5.0, 7251)
    """
    name = str(path)
    data = _read_bounded(Path(path), name)
    return read_scan_bytes(data, name)


def read_scan_bytes(data: bytes, name: str) -> MeasuredPattern:
    """Read a scan from a file's contents; ``name`` (its file name) labels the messages and picks
    the column separator of .csv files."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):  # text some Windows programs export
        try:
            data = data.decode("utf-16").encode("utf-8")
        except UnicodeDecodeError as exc:
            raise InputError(f"{name}: not readable UTF-16 text ({exc.reason})") from None
    head = data[:_HEAD]
    if is_bruker_raw(head):
        return read_bruker_raw(data, name)
    if head.startswith(b"PK\x03\x04"):
        members = open_archive(data, name).namelist()
        if is_brml(members):
            return read_brml(data, name)
        if is_rasx(members):
            return read_rasx(data, name)
        raise InputError(f"{name}: a zip archive of no scan format peakforge reads; it reads {formats_read()}")
    if b"\0" in head:
        raise InputError(f"{name}: a binary file of no scan format peakforge reads; it reads {formats_read()}")
    stripped = head.lstrip()
    if stripped.startswith(b"<?xml") or b"<xrdMeasurement" in head:
        return read_xrdml(data, name)
    lines = data.count(b"\n")
    if lines > MAX_POINTS + _HEADER_LINES:  # every text format holds a point or more a line: refused undecoded
        raise InputError(f"{name}: {lines} lines is more than a scan holds (at most {MAX_POINTS} points)")
    text = data.decode("latin-1") if looks_like_ras(head.decode("latin-1")) else data.decode("utf-8", "replace")
    if looks_like_ras(text):
        return read_ras(text, name)
    if looks_like_gsas(text):
        return read_gsas(text, name)
    separator = "," if name.lower().endswith(".csv") else None
    if separator is None and re.search(r"\d,\s*[-+.\d]", text) and not re.search(r"\d\s+[-+.\d]", text):
        separator = ","  # comma-separated columns under another name
    try:
        return read_columns(text, name, separator)
    except InputError as exc:
        if "no numbers found" in str(exc):
            raise InputError(
                f"{name}: no numbers found, and no scan format peakforge reads; it reads {formats_read()}"
            ) from None
        raise


def _read_bounded(path: Path, name: str) -> bytes:
    """The file's bytes, refused without reading them when there are more than a scan holds."""
    try:
        with path.open("rb") as stream:
            info = os.fstat(stream.fileno())
            if stat.S_ISDIR(info.st_mode):
                raise InputError(f"{name}: is a directory, not a scan file")
            if stat.S_ISREG(info.st_mode) and info.st_size > MAX_BYTES:
                raise InputError(
                    f"{name}: {size_text(info.st_size)} is more than a scan file holds (at most {size_text(MAX_BYTES)})"
                )
            head = stream.read(_HEAD)
            if b"\0" in head and not _known_binary(head):
                # binary data of no known format (/dev/zero, a disk image): refuse it before reading on
                raise InputError(f"{name}: a binary file of no scan format peakforge reads; it reads {formats_read()}")
            # Read as much as the file holds (a buffer of the bound itself would be asked of
            # the system for every file), in pieces where its size is not known.
            pieces, total = [head], len(head)
            wanted = info.st_size - total + 1 if stat.S_ISREG(info.st_mode) else _PIECE
            while total <= MAX_BYTES:
                piece = stream.read(min(max(wanted, 1), MAX_BYTES + 1 - total))
                if not piece:
                    break
                pieces.append(piece)
                total += len(piece)
                wanted = _PIECE
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory, not a scan file") from None
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None
    data = b"".join(pieces)
    if len(data) > MAX_BYTES:
        raise InputError(f"{name}: more than {size_text(MAX_BYTES)}, more than a scan file holds")
    return data


def _known_binary(head: bytes) -> bool:
    return is_bruker_raw(head) or head.startswith((b"PK\x03\x04", codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE))
