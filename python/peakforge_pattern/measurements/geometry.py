"""The diffractometer a scan's header describes: the goniometer radius and
whether the specimen was measured in reflection or in transmission.

A fit needs the radius to turn a sample displacement into peak shifts
(−2 s cos θ / R) and the geometry to know which correction the specimen
needs. Files that state them: a PANalytical .xrdml (the diffracted beam
path's radius, ``sampleMode``), a Bruker .brml (the secondary track's
radius), a Rigaku .rasx (the distance from the X-ray source to the sample
stage) and .ras (the same distance, the third of its goniometer radii, in
the order of the .rasx's distances).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from xml.etree import ElementTree

GEOMETRIES = ("reflection", "transmission")
_LARGEST_RADIUS = 2000.0  # mm: a header's radius beyond this is not a laboratory goniometer's


@dataclass(frozen=True)
class ScanGeometry:
    """Radius in mm and "reflection" or "transmission", each None where the header does not say."""

    radius: float | None = None
    geometry: str | None = None


def _radius(text: str | None) -> float | None:
    try:
        value = float(text or "")
    except ValueError:
        return None
    return value if math.isfinite(value) and 0.0 < value <= _LARGEST_RADIUS else None


def _children(element: ElementTree.Element, local: Callable[[str], str], name: str) -> Iterable[ElementTree.Element]:
    return (e for e in element.iter() if local(e.tag) == name)


def xrdml_geometry(root: ElementTree.Element, local: Callable[[str], str]) -> ScanGeometry:
    """The radius of an .xrdml's diffracted (else incident) beam path and its sample mode."""
    radius = None
    for path in ("diffractedBeamPath", "incidentBeamPath"):
        for beam in _children(root, local, path):
            found = next((_radius(e.text) for e in beam if local(e.tag) == "radius"), None)
            radius = radius or found
        if radius is not None:
            break
    mode = next((e.get("sampleMode", "") for e in _children(root, local, "xrdMeasurement")), "").lower()
    return ScanGeometry(radius, mode if mode in GEOMETRIES else None)


def brml_geometry(root: ElementTree.Element, local: Callable[[str], str]) -> ScanGeometry:
    """The radius of a .brml's secondary (detector) track."""
    for tracks in _children(root, local, "SecondaryTracks"):
        for element in _children(tracks, local, "Radius"):
            if (element.get("Unit") or "mm") == "mm" and (radius := _radius(element.get("Value"))) is not None:
                return ScanGeometry(radius)
    return ScanGeometry()


def rasx_geometry(root: ElementTree.Element, local: Callable[[str], str]) -> ScanGeometry:
    """The distance from a .rasx's X-ray source to its sample stage."""
    for element in _children(root, local, "Distance"):
        if element.get("From") == "XrayGenerator" and element.get("To") == "AttachmentStage":
            if (element.get("Unit") or "mm") == "mm":
                return ScanGeometry(_radius(element.get("Value")))
    return ScanGeometry()


def ras_geometry(header: Mapping[str, str]) -> ScanGeometry:
    """The source-to-sample radius of a .ras header (its goniometer radius number 2)."""
    return ScanGeometry(_radius(header.get("HW_GONIOMETER_RADIUS-2")))
