"""Bruker .brml: a zip archive whose ``Experiment0/RawData0.xml`` holds the
scan. Its first data route lists the scan axes (``ScanAxisInfo``, in the
order their positions appear) and one ``<Datum>`` per step: two leading
fields, the position on each scan axis, further positions, and last the
counts."""

from __future__ import annotations

from array import array
from typing import BinaryIO
from xml.etree import ElementTree

import numpy as np

from ..errors import InputError
from .geometry import brml_geometry
from .limits import MAX_POINTS
from .measured_pattern import MeasuredPattern, scan_from_file
from .xml_stream import local, xml_events
from .zipped import open_archive, open_member

RAW_DATA = "Experiment0/RawData0.xml"


def is_brml(members: list[str]) -> bool:
    """A zip whose members include Bruker's raw-data XML."""
    return RAW_DATA in members


def read_brml(data: bytes, name: str) -> MeasuredPattern:
    """The first data route of a Bruker .brml archive.

    The raw-data XML is unpacked and parsed as a stream, each ``<Datum>``
    taken as two numbers and let go: memory follows the points, not the
    document (a small archive may hold hundreds of megabytes of XML).

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
        No data route, no 2θ axis, a Datum row that is not numbers, more
        points than a scan holds, or a damaged archive.
    """
    archive = open_archive(data, name)
    raw_files = sorted(m for m in archive.namelist() if m.startswith("Experiment0/RawData") and m.endswith(".xml"))
    with open_member(archive, RAW_DATA, name) as stream:
        root, x, y = _first_route(stream, name)
    if root is None or not len(x):
        raise InputError(f"{name}: {RAW_DATA} holds no measured data")
    notes = (f"{name}: read the first of {len(raw_files)} scans",) if len(raw_files) > 1 else ()
    # The instrument's description (after the data routes) names the goniometer.
    geometry = brml_geometry(root, local)
    return scan_from_file(np.asarray(x), np.asarray(y), None, name, notes=notes, geometry=geometry)


def _first_route(stream: BinaryIO, name: str) -> tuple[ElementTree.Element | None, array[float], array[float]]:
    """The document without its Datum rows, and the 2θ and counts of its first data route holding some.

    Every Datum is let go once read (its parent's last child at its end), so
    the tree kept is the instrument's description, not the measurement.
    """
    root = None
    axes: list[str] = []
    x, y = array("d"), array("d")
    column, done = None, False
    open_elements: list[ElementTree.Element] = []
    for event, element in xml_events(stream, name, "Bruker raw-data XML"):
        if event == "start":
            root = element if root is None else root
            if local(element.tag) == "DataRoute" and not done:
                axes, column = [], None
            open_elements.append(element)
            continue
        open_elements.pop()
        tag = local(element.tag)
        if tag == "Datum":
            if not done:
                if column is None:
                    if "TwoTheta" not in axes:
                        raise InputError(f"{name}: the scan's axes are {', '.join(axes) or 'not named'}, not 2theta")
                    column = 2 + axes.index("TwoTheta")
                position, counts = _datum(element.text or "", column, name)
                x.append(position)
                y.append(counts)
                if len(x) > MAX_POINTS:
                    raise InputError(f"{name}: more than {MAX_POINTS} points, more than a scan holds")
            if open_elements:
                del open_elements[-1][-1]
        elif tag == "ScanAxisInfo" and not done:
            axes.append(element.get("AxisId") or element.get("AxisName") or "")
        elif tag == "DataRoute" and len(x):
            done = True  # the first route's points are read; the rest is read for the instrument
    return root, x, y


def _datum(text: str, column: int, name: str) -> tuple[float, float]:
    """2θ and counts of one Datum row (leading fields, positions, ..., counts)."""
    try:
        values = text.split(",")
        return float(values[column]), float(values[-1])
    except (ValueError, IndexError):
        raise InputError(f"{name}: a Datum row is not {column + 2} or more comma-separated numbers") from None
