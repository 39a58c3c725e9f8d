"""PANalytical .xrdml: the first scan's 2Theta positions and counts (or
count rates, turned back into counts for the statistics)."""

from __future__ import annotations

from xml.etree import ElementTree

import numpy as np

from ..errors import InputError
from .columns import numbers
from .geometry import xrdml_geometry
from .measured_pattern import MeasuredPattern, scan_from_file


def local(tag: str) -> str:
    """An XML tag without its namespace."""
    return tag.rsplit("}", 1)[-1]


def find(element: ElementTree.Element, *names: str) -> ElementTree.Element | None:
    """First descendant whose tag (without namespace) is the last name, under the others in order."""
    found: ElementTree.Element | None = element
    for wanted in names:
        if found is None:
            return None
        found = next((e for e in found.iter() if local(e.tag) == wanted and e is not found), None)
    return found


def text_of(element: ElementTree.Element | None) -> str:
    """An element's text, empty when the element or its text is missing."""
    return (element.text or "") if element is not None else ""


def parse_xml(data: bytes, name: str, what: str) -> ElementTree.Element:
    """The root of an XML document, or one line saying why it is not one."""
    try:
        return ElementTree.fromstring(data)
    except ElementTree.ParseError as exc:
        raise InputError(f"{name}: not a readable {what} ({exc})") from None


def read_xrdml(data: bytes, name: str) -> MeasuredPattern:
    """The first scan of a PANalytical .xrdml file.

    Parameters
    ----------
    data : bytes
        The file's contents.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        With the file's Kα1, Kα2 and ratio as its wavelength when it names them.

    Raises
    ------
    InputError
        Not XML, or no 2Theta positions or counts.
    """
    root = parse_xml(data, name, "XML file")
    points = find(root, "dataPoints")
    if points is None:
        raise InputError(f"{name}: no dataPoints in this .xrdml file")
    axis = next((e for e in points if local(e.tag) == "positions" and e.get("axis") == "2Theta"), None)
    counts = next((e for e in points if local(e.tag) in ("counts", "intensities")), None)
    if axis is None or counts is None or not text_of(counts).strip():
        raise InputError(f"{name}: the scan has no 2Theta positions or no counts")
    y = np.array(numbers(text_of(counts), None) or [], dtype=float)
    listed = next((e for e in axis if local(e.tag) == "listPositions"), None)
    if listed is not None:
        x = np.array(numbers(text_of(listed), None) or [], dtype=float)
    else:
        start = next((e for e in axis if local(e.tag) == "startPosition"), None)
        end = next((e for e in axis if local(e.tag) == "endPosition"), None)
        try:
            x = np.linspace(float(text_of(start)), float(text_of(end)), y.size)
        except ValueError:
            raise InputError(f"{name}: the 2Theta axis has no start and end positions") from None
    uncertainty = None
    if local(counts.tag) == "intensities":
        # Counts per second: the counting time turns them back into counts for the statistics.
        time = find(points, "commonCountingTime")
        try:
            seconds = float(text_of(time))
        except ValueError:
            seconds = 1.0
        if seconds > 0.0 and y.size:
            uncertainty = np.sqrt(np.maximum(y * seconds, 1.0)) / seconds
    wavelength = None
    used = find(root, "usedWavelength")
    if used is not None:
        try:
            values = {local(e.tag): float(e.text) for e in used if e.text}
            wavelength = (values["kAlpha1"], values["kAlpha2"], values.get("ratioKAlpha2KAlpha1", 0.5))
        except (KeyError, ValueError):
            wavelength = None
    return scan_from_file(
        x, y, uncertainty, name, wavelength=wavelength, counting_uncertainty=True, geometry=xrdml_geometry(root, local)
    )
