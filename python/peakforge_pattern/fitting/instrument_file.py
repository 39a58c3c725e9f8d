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
from typing import Any

from ..atomic_file import write_text_atomically
from ..errors import InputError
from ..profiles.instrument import SHAPES, Instrument

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
) -> None:
    """Write the instrument terms to ``path`` (whole or not at all)."""
    document = instrument_document(instrument, lines, uncertainties, source)
    write_text_atomically(path, json.dumps(document, indent=2) + "\n")


def load_instrument(path: str | os.PathLike[str]) -> Instrument:
    """The instrument a saved file describes (its displacement left at 0).

    Raises
    ------
    InputError
        For a file that cannot be read, is not such a file, or holds
        values an instrument cannot have; the message names the file.
    """
    name = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as stream:
            document = json.load(stream)
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None
    except (ValueError, UnicodeDecodeError) as exc:
        raise InputError(f"{name}: not an instrument file written by --save-instrument ({exc})") from None
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
