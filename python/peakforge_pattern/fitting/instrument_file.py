"""The instrument terms of a fit as a JSON file: refined once on a standard
(LaB6, corundum, silicon) and carried to the samples measured on the same
diffractometer.

The file holds the emission lines, the peak shape and widths, the
asymmetry, the zero shift, the radius and the monochromator, each refined
value with its standard uncertainty. The sample displacement is written for
the record but is not carried over: it belongs to the specimen, not to the
instrument.
"""

from __future__ import annotations

import json
import math
import os
import stat
from typing import Any

from ..atomic_file import write_text_atomically
from ..errors import InputError
from ..profiles.instrument import SHAPES, Instrument
from .gsas_instrument import ReadInstrument, looks_like_instprm, looks_like_prm, read_instprm, read_prm

FORMAT = "peakforge instrument"
VERSION = 1
CARRIED = ("U", "V", "W", "X", "Y", "eta", "asymmetry", "zero_shift")
"""Terms a saved instrument gives a later fit (held fixed there unless refined)."""
_KINDS = {"zero_shift": "zero"}


def kind_of(term: str) -> str:
    """The --fix/--refine word of an instrument term."""
    return _KINDS.get(term, term)


def instrument_document(
    instrument: Instrument, lines: list[tuple[float, float]], uncertainties: dict[str, float], source: str = ""
) -> dict[str, Any]:
    terms = {name: getattr(instrument, name) for name in CARRIED + ("displacement",)}
    return {
        "format": FORMAT,
        "version": VERSION,
        "refined_on": source,
        "wavelengths": [w for w, _ in lines],
        "shares": [s for _, s in lines],
        "ka2_ratio": instrument.ka2_ratio,
        "shape": instrument.shape,
        "radius": instrument.radius,
        "monochromator_angle": instrument.monochromator_angle,
        **terms,
        "uncertainties": {k: v for k, v in uncertainties.items() if k in terms},
    }


def save_instrument(
    path: str | os.PathLike[str],
    instrument: Instrument,
    lines: list[tuple[float, float]],
    uncertainties: dict[str, float],
    source: str = "",
    provenance: dict[str, Any] | None = None,
) -> None:
    """Write the instrument terms to ``path`` (whole or not at all), with
    the ``provenance`` of the fit that refined them when given."""
    document = instrument_document(instrument, lines, uncertainties, source)
    if provenance is not None:
        document["provenance"] = provenance
    write_text_atomically(path, json.dumps(document, indent=2) + "\n")


MAX_INSTRUMENT_BYTES = 1 << 20
"""Largest instrument file read (they hold a few hundred bytes of terms)."""

FORMATS_READ = "peakforge's own JSON (--save-instrument), a GSAS .prm or a GSAS-II .instprm"


def _read_text(path: str | os.PathLike[str]) -> str:
    """The file's text: a regular file of at most MAX_INSTRUMENT_BYTES, in UTF-8 (or Latin-1)."""
    name = os.fspath(path)
    try:
        # Without blocking: opening a pipe nobody writes to would wait for ever.
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        with open(descriptor, "rb") as stream:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise InputError(f"{name}: not a regular file: an instrument file is {FORMATS_READ}")
            data = stream.read(MAX_INSTRUMENT_BYTES + 1)
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None
    if len(data) > MAX_INSTRUMENT_BYTES:
        raise InputError(f"{name}: over {MAX_INSTRUMENT_BYTES >> 20} MB: not an instrument file ({FORMATS_READ})")
    if b"\0" in data:
        raise InputError(f"{name}: binary data, not an instrument file ({FORMATS_READ})")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        # Older programs write their files in a Latin code page.
        return data.decode("latin-1")


def read_instrument_file(path: str | os.PathLike[str]) -> ReadInstrument:
    """The instrument a file describes, the terms it gives, and notes for the user.

    The format is told by the contents: the JSON that ``--save-instrument``
    writes, a GSAS instrument parameter file (``INS`` records) or a GSAS-II
    ``.instprm`` (``Type:PXC``, ``Lam1:`` ...); see `gsas_instrument` for how
    their terms and units map onto an `Instrument`.

    Raises
    ------
    InputError
        A file that cannot be read, is not a regular file, is larger than
        `MAX_INSTRUMENT_BYTES`, is in none of these formats, or holds values
        an instrument cannot have; the message names the file.
    """
    name = os.fspath(path)
    text = _read_text(path)
    if text.lstrip().startswith("{"):
        return ReadInstrument(_from_json(text, name), CARRIED)
    if looks_like_instprm(text):
        return read_instprm(text, name)
    if looks_like_prm(text):
        return read_prm(text, name)
    raise InputError(f"{name}: not an instrument file peakforge reads ({FORMATS_READ})")


def load_instrument(path: str | os.PathLike[str]) -> Instrument:
    """The instrument a saved file describes (its displacement left at 0).

    Reads what `read_instrument_file` reads.

    Raises
    ------
    InputError
        For a file that cannot be read, is not such a file, or holds
        values an instrument cannot have; the message names the file.
    """
    return read_instrument_file(path).instrument


def _from_json(text: str, name: str) -> Instrument:
    try:
        document = json.loads(text)
    except ValueError as exc:
        raise InputError(f"{name}: not an instrument file written by --save-instrument ({exc})") from None
    except RecursionError:
        raise InputError(f"{name}: not an instrument file written by --save-instrument (nested too deeply)") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise InputError(f"{name}: not an instrument file written by --save-instrument")
    try:
        wavelengths = [float(w) for w in document["wavelengths"]]
        shape = str(document["shape"])
        if shape not in SHAPES or not 1 <= len(wavelengths) <= 2:
            raise ValueError("shape or wavelengths")
        fields = {k: float(document[k]) for k in CARRIED}
        if not all(math.isfinite(v) for v in fields.values()):
            raise ValueError("a term is not finite")
        wavelength: float | tuple[float, float] = (
            wavelengths[0] if len(wavelengths) == 1 else (wavelengths[0], wavelengths[1])
        )
        return Instrument(
            wavelength=wavelength,
            ka2_ratio=float(document["ka2_ratio"]),
            shape=shape,  # type: ignore[arg-type]
            radius=float(document["radius"]),
            monochromator_angle=float(document["monochromator_angle"]),
            **fields,
        )
    except (KeyError, TypeError, ValueError, InputError) as exc:
        raise InputError(f"{name}: a term of this instrument file is missing or wrong ({exc})") from None


_SAME_WAVELENGTH = 5e-3
"""Relative difference of Kα1 within which two statements of the wavelength agree (anodes differ by 16 % and more)."""


def wavelength_against_scan(
    instrument: Instrument, scan_wavelength: tuple[float, float, float] | None, explicit: bool, file: str, scan: str
) -> str | None:
    """Hold the wavelength a fit uses against the one the scan's header states.

    A scan that names its lines states the truth of that measurement: an
    instrument file refined at another wavelength is refused (its widths
    belong to that tube), unless the wavelength was given explicitly, which
    then wins with a warning (returned).

    Raises
    ------
    InputError
        The instrument file's wavelength differs from the scan's and none was given.
    """
    if scan_wavelength is None:
        return None
    used = instrument.lines(scan_wavelength[0])[0][0]
    stated = scan_wavelength[0]
    if abs(used - stated) <= _SAME_WAVELENGTH * stated:
        return None
    if not explicit:
        raise InputError(
            f"{scan} states a wavelength of {stated:g} A, and the instrument file {file} holds {used:g} A: "
            "its widths belong to another tube; give -w to choose one explicitly"
        )
    return f"{scan} states a wavelength of {stated:g} A; the fit uses {used:g} A, as given"
