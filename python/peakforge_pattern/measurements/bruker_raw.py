"""Bruker RAW version 4 (binary, little-endian; magic ``RAW4.00``).

After a 61-byte file header whose bytes 56-59 give the length of the
metadata records that follow, each range (scan) is a 160-byte header, a
block of sub-records whose length is at bytes 140-143, then the data:
one or more 4-byte floats per step (their count at bytes 124-127), the
first of them the intensity. The range header gives the number of steps
(bytes 4-7), the first 2θ (bytes 72-79, a double) and the 2θ step
(80-87, a double). Only the first range is read. Each metadata record
starts with its type and its length (4 bytes each); the hardware record
(type 30) holds the tube's Kα1, Kα2 and Kα2/Kα1 ratio as doubles at
bytes 80, 88 and 104 (a Kα2 and ratio of 0 when Kα2 was stripped from the
scan). Version 3 (``RAW1.01``) has its own reader; versions 1 and 2
(``RAW ``, ``RAW2``) are refused.
"""

from __future__ import annotations

import struct

import numpy as np

from ..errors import InputError
from .bruker_raw3 import read_bruker_raw3
from .measured_pattern import MeasuredPattern, check_point_count, scan_from_file

MAGIC = b"RAW4.00"
_FILE_HEADER = 61
_RANGE_HEADER = 160
_HARDWARE_RECORD = 30


def is_bruker_raw(head: bytes) -> bool:
    """Any version of Bruker's RAW: the ones this reader refuses are refused by name."""
    return head.startswith((b"RAW4.00", b"RAW1.01", b"RAW2", b"RAW "))


def read_bruker_raw(data: bytes, name: str) -> MeasuredPattern:
    """The first range of a Bruker RAW v4 (or v3) file.

    Parameters
    ----------
    data : bytes
        The file's contents.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        Counting-statistics uncertainties (the file gives none), and the tube's lines when it states them.

    Raises
    ------
    InputError
        Another RAW version, or a header whose lengths do not fit the file.
    """
    if data.startswith(b"RAW1.01"):
        return read_bruker_raw3(data, name)
    if not data.startswith(MAGIC):
        version = data[:7].decode("ascii", errors="replace").rstrip("\0 ")
        raise InputError(
            f"{name}: Bruker {version!r} files (RAW versions 1 and 2) are not read, only RAW1.01 "
            "and RAW4.00 (save the scan as RAW version 3 or 4, .brml or .xy)"
        )
    try:
        (extra,) = struct.unpack_from("<I", data, 56)
        at = _FILE_HEADER + extra
        (steps,) = struct.unpack_from("<I", data, at + 4)
        first, step = struct.unpack_from("<dd", data, at + 72)
        (per_step,) = struct.unpack_from("<I", data, at + 124)
        (sub_records,) = struct.unpack_from("<I", data, at + 140)
    except struct.error:
        raise InputError(f"{name}: the RAW4 header is cut short ({len(data)} bytes)") from None
    check_point_count(steps, name)
    start = at + _RANGE_HEADER + sub_records
    if not 1 <= per_step <= 16 or steps < 2 or start + steps * per_step * 4 > len(data):
        raise InputError(
            f"{name}: the RAW4 range header does not fit the file ({steps} steps of "
            f"{per_step} values from byte {start}, file of {len(data)} bytes)"
        )
    if not (np.isfinite(first) and np.isfinite(step) and step > 0.0):
        raise InputError(f"{name}: the RAW4 range starts at {first:g} with step {step:g} degrees")
    values = np.frombuffer(data, dtype="<f4", count=steps * per_step, offset=start).reshape(steps, per_step)
    intensity = values[:, 0].astype(float)
    return scan_from_file(
        first + step * np.arange(steps), intensity, None, name, wavelength=_tube_lines(data, _FILE_HEADER, at)
    )


def _tube_lines(data: bytes, first: int, end: int) -> tuple[float, float, float] | None:
    """Kα1, Kα2 and their ratio from the hardware record among the metadata records, if plausible."""
    at = first
    while at + 8 <= end:
        kind, length = struct.unpack_from("<II", data, at)
        if length < 8:
            return None
        if kind == _HARDWARE_RECORD and length >= 112 and at + 112 <= len(data):
            alpha1, alpha2 = struct.unpack_from("<dd", data, at + 80)
            (ratio,) = struct.unpack_from("<d", data, at + 104)
            if not 0.0 < alpha1 < 10.0:
                return None
            if alpha2 == 0.0 and ratio == 0.0:  # Kα2 stripped: a Kα1 scan
                return (alpha1, alpha1, 0.0)
            return (alpha1, alpha2, ratio) if 0.0 < alpha2 < 10.0 and 0.0 <= ratio <= 1.0 else None
        at += length
    return None
