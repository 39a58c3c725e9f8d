"""Bruker (Siemens) RAW version 3 (binary, little-endian; magic ``RAW1.01``),
as DIFFRAC plus writes it.

A 712-byte file header holds the number of ranges (bytes 12-15) and the
tube's lines as doubles: Kα1 at byte 624, Kα2 at 632 and the Kα2/Kα1
ratio at 648. Each range follows as a header whose length is its first
4 bytes (304), with the number of steps (bytes 4-7), the first 2θ (16-23)
and the step (176-183), then a supplementary block whose length is at
bytes 256-259, then one 4-byte float of counts per step. Only the first
range is read.
"""

from __future__ import annotations

import struct

import numpy as np

from ..errors import InputError
from .measured_pattern import MeasuredPattern, check_point_count, scan_from_file

MAGIC = b"RAW1.01"
_FILE_HEADER = 712


def read_bruker_raw3(data: bytes, name: str) -> MeasuredPattern:
    """The first range of a Bruker RAW v3 (RAW1.01) file.

    Parameters
    ----------
    data : bytes
        The file's contents.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        Counting-statistics uncertainties, and the file's Kα1, Kα2 and ratio when it states them.

    Raises
    ------
    InputError
        A header whose lengths do not fit the file.
    """
    try:
        (ranges,) = struct.unpack_from("<I", data, 12)
        alpha1, alpha2 = struct.unpack_from("<dd", data, 624)
        (ratio,) = struct.unpack_from("<d", data, 648)
        header, steps = struct.unpack_from("<II", data, _FILE_HEADER)
        (first,) = struct.unpack_from("<d", data, _FILE_HEADER + 16)
        (step,) = struct.unpack_from("<d", data, _FILE_HEADER + 176)
        (supplement,) = struct.unpack_from("<I", data, _FILE_HEADER + 256)
    except struct.error:
        raise InputError(f"{name}: the RAW1.01 header is cut short ({len(data)} bytes)") from None
    check_point_count(steps, name)
    start = _FILE_HEADER + header + supplement
    if header < 260 or steps < 2 or start + 4 * steps > len(data):
        raise InputError(
            f"{name}: the RAW1.01 range header does not fit the file ({steps} steps from byte "
            f"{start}, file of {len(data)} bytes)"
        )
    if not (np.isfinite(first) and np.isfinite(step) and step > 0.0):
        raise InputError(f"{name}: the RAW1.01 range starts at {first:g} with step {step:g} degrees")
    counts = np.frombuffer(data, dtype="<f4", count=steps, offset=start).astype(float)
    wavelength = None
    if 0.0 < alpha1 < 10.0 and 0.0 < alpha2 < 10.0 and 0.0 <= ratio <= 1.0:
        wavelength = (alpha1, alpha2, ratio)
    notes = (f"{name}: read the first of {ranges} ranges",) if ranges > 1 else ()
    return scan_from_file(first + step * np.arange(steps), counts, None, name, wavelength=wavelength, notes=notes)
