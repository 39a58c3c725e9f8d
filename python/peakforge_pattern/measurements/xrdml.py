"""PANalytical .xrdml: the first scan's 2Theta positions and counts (or
count rates, turned back into counts for the statistics).

The document is read as a stream and reading stops at the first scan's
data points: the scans after it are never built in memory."""

from __future__ import annotations

from xml.etree import ElementTree

import numpy as np

from ..errors import InputError
from .geometry import xrdml_geometry
from .measured_pattern import MeasuredPattern, scan_from_file
from .xml_stream import bounded_numbers, find, local, parse_xml, text_of, xml_events

__all__ = ["find", "local", "parse_xml", "read_xrdml", "text_of"]  # the XML helpers, named here too


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
        Not XML, no 2Theta positions or counts, or more of them than a scan holds.
    """
    points = wavelength = root = None
    for event, element in xml_events(data, name, "XML file"):
        if event == "start":
            root = element if root is None else root
            continue
        tag = local(element.tag)
        if tag == "usedWavelength" and wavelength is None:
            wavelength = _wavelength(element)
        elif tag == "dataPoints" and points is None:
            points = _points(element, name)
            element.clear()
        elif tag == "scan":
            element.clear()  # a later scan's points are not kept
        if points is not None and wavelength is not None:
            break
    if points is None or root is None:
        raise InputError(f"{name}: no dataPoints in this .xrdml file")
    x, y, uncertainty = points
    # The header (read before the first scan's points) names the goniometer.
    geometry = xrdml_geometry(root, local)
    return scan_from_file(
        x, y, uncertainty, name, wavelength=wavelength or None, counting_uncertainty=True, geometry=geometry
    )


def _wavelength(used: ElementTree.Element) -> tuple[float, float, float] | tuple[()]:
    """Kα1, Kα2 and their ratio as the file states them; () when it does not."""
    try:
        values = {local(e.tag): float(e.text) for e in used if e.text}
        return (values["kAlpha1"], values["kAlpha2"], values.get("ratioKAlpha2KAlpha1", 0.5))
    except (KeyError, ValueError):
        return ()


def _points(points: ElementTree.Element, name: str) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """2θ, intensity and (for count rates) counting uncertainty of one dataPoints element."""
    axis = next((e for e in points if local(e.tag) == "positions" and e.get("axis") == "2Theta"), None)
    counts = next((e for e in points if local(e.tag) in ("counts", "intensities")), None)
    if axis is None or counts is None or not text_of(counts).strip():
        raise InputError(f"{name}: the scan has no 2Theta positions or no counts")
    y = np.array(bounded_numbers(text_of(counts), name, f"<{local(counts.tag)}>"), dtype=float)
    listed = next((e for e in axis if local(e.tag) == "listPositions"), None)
    if listed is not None:
        x = np.array(bounded_numbers(text_of(listed), name, "<listPositions>"), dtype=float)
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
    return x, y, uncertainty
