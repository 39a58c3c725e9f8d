"""Rigaku .rasx: a zip archive with ``Data0/Profile0.txt`` (tab-separated
rows of 2θ, intensity and attenuation factor) and
``Data0/MesurementConditions0.xml`` (sic) naming the scan axis, step,
speed, intensity unit and the tube's wavelengths. The intensities are
treated as in .ras files."""

from __future__ import annotations

import numpy as np

from ..errors import InputError
from .geometry import rasx_geometry
from .measured_pattern import MAX_POINTS, MeasuredPattern, scan_from_file
from .rigaku_ras import counting_scale, is_two_theta_axis, number_or_zero, rigaku_wavelength, unattenuated
from .xrdml import find, local, parse_xml, text_of
from .zipped import open_archive, read_member

PROFILE = "Data0/Profile0.txt"
CONDITIONS = "Data0/MesurementConditions0.xml"


def is_rasx(members: list[str]) -> bool:
    """A zip whose members include Rigaku's profile text."""
    return PROFILE in members


def read_rasx(data: bytes, name: str) -> MeasuredPattern:
    """The first profile of a Rigaku .rasx archive.

    Parameters
    ----------
    data : bytes
        The file's contents.
    name : str
        What messages call the file.

    Returns
    -------
    MeasuredPattern
        With the tube's Kα1 and Kα2 (ratio 0 when the beam is Kα1 only) as its wavelength.

    Raises
    ------
    InputError
        An axis other than 2θ, or profile rows that are not numbers.
    """
    archive = open_archive(data, name)
    members = archive.namelist()
    profile = read_member(archive, PROFILE, name).decode("utf-8-sig", errors="replace")
    values: dict[str, str] = {}
    geometry = None
    if CONDITIONS in members:
        root = parse_xml(read_member(archive, CONDITIONS, name), name, "Rigaku conditions XML")
        scan = find(root, "ScanInformation")
        for key in ("AxisName", "Step", "Speed", "SpeedUnit", "IntensityUnit"):
            values[key] = text_of(find(scan, key)) if scan is not None else ""
        for key in ("WavelengthKalpha1", "WavelengthKalpha2", "WaveType"):
            values[key] = text_of(next((e for e in root.iter() if local(e.tag) == key), None))
        geometry = rasx_geometry(root, local)
    axis = values.get("AxisName", "")
    if axis and not is_two_theta_axis(axis):
        raise InputError(f"{name}: the scan axis is {axis}, not 2theta")
    rows = []
    for number, line in enumerate(profile.splitlines(), start=1):
        if not line.strip():
            continue
        try:
            rows.append([float(v) for v in line.split()])
        except ValueError:
            raise InputError(f"{name}: {PROFILE} line {number} is not numbers: {line[:40]!r}") from None
        if len(rows) > MAX_POINTS:
            raise InputError(f"{name}: more than {MAX_POINTS} rows, more points than a scan holds")
    if not rows or len({len(r) for r in rows}) > 1 or len(rows[0]) < 2:
        raise InputError(f"{name}: {PROFILE} must hold rows of 2theta, intensity and optionally attenuation")
    table = np.array(rows)
    seconds = counting_scale(
        values.get("IntensityUnit", "counts"),
        number_or_zero(values.get("Step")),
        number_or_zero(values.get("Speed")),
        values.get("SpeedUnit", "deg/min"),
    )
    intensity, sigma = unattenuated(table, seconds)
    wavelength = rigaku_wavelength(
        values.get("WavelengthKalpha1", ""), values.get("WavelengthKalpha2", ""), values.get("WaveType", "Ka")
    )
    profiles = sum(1 for m in members if m.startswith("Data") and m.endswith(".txt") and "/Profile" in m)
    notes = (f"{name}: read the first of {profiles} profiles",) if profiles > 1 else ()
    return scan_from_file(
        table[:, 0],
        intensity,
        sigma,
        name,
        wavelength=wavelength,
        notes=notes,
        counting_uncertainty=True,
        geometry=geometry,
    )
