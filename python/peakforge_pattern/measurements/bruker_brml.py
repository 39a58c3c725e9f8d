"""Bruker .brml: a zip archive whose ``Experiment0/RawData0.xml`` holds the
scan. Its first data route lists the scan axes (``ScanAxisInfo``, in the
order their positions appear) and one ``<Datum>`` per step: two leading
fields, the position on each scan axis, further positions, and last the
counts."""

from __future__ import annotations

import numpy as np

from ..errors import InputError
from .geometry import brml_geometry
from .measured_pattern import MeasuredPattern, check_point_count, scan_from_file
from .xrdml import local, parse_xml
from .zipped import open_archive, read_member

RAW_DATA = "Experiment0/RawData0.xml"


def is_brml(members: list[str]) -> bool:
    """A zip whose members include Bruker's raw-data XML."""
    return RAW_DATA in members


def read_brml(data: bytes, name: str) -> MeasuredPattern:
    """The first data route of a Bruker .brml archive.

    Parameters
    ----------
    data : bytes
        The file's contents.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        Counting-statistics uncertainties. The file states Kα1 alone, not the doublet, so no wavelength
        is taken from it.

    Raises
    ------
    InputError
        No data route, no 2θ axis, or a Datum row that is not numbers.
    """
    archive = open_archive(data, name)
    raw_files = sorted(m for m in archive.namelist() if m.startswith("Experiment0/RawData") and m.endswith(".xml"))
    root = parse_xml(read_member(archive, RAW_DATA, name), name, "Bruker raw-data XML")
    route = next(
        (e for e in root.iter() if local(e.tag) == "DataRoute" and any(local(d.tag) == "Datum" for d in e)), None
    )
    if route is None:
        raise InputError(f"{name}: {RAW_DATA} holds no measured data")
    scan_axes = next((e for e in route.iter() if local(e.tag) == "ScanAxes"), None)
    axes = [
        e.get("AxisId") or e.get("AxisName") or ""
        for e in (scan_axes if scan_axes is not None else [])
        if local(e.tag) == "ScanAxisInfo"
    ]
    if "TwoTheta" not in axes:
        raise InputError(f"{name}: the scan's axes are {', '.join(axes) or 'not named'}, not 2theta")
    column = 2 + axes.index("TwoTheta")
    datums = [d.text or "" for d in route if local(d.tag) == "Datum"]
    check_point_count(len(datums), name)
    try:
        rows = [[float(v) for v in text.split(",")] for text in datums]
        x = np.array([row[column] for row in rows])
        y = np.array([row[-1] for row in rows])
    except (ValueError, IndexError):
        raise InputError(f"{name}: a Datum row is not {column + 2} or more comma-separated numbers") from None
    notes = (f"{name}: read the first of {len(raw_files)} scans",) if len(raw_files) > 1 else ()
    return scan_from_file(x, y, None, name, notes=notes, geometry=brml_geometry(root, local))
