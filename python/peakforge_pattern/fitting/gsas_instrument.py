"""Instrument parameter files of the GSAS family, read as an `Instrument`:
the classic fixed-column ``.prm`` (``INS`` records) and the ``key:value``
``.instprm`` of its successor.

Both describe a constant-wavelength X-ray diffractometer with the same
terms, in their own units:

- the Gaussian variance σ² = U tan²θ + V tanθ + W (+ P / cos²θ) in
  centidegrees², where ours is the full width squared in degrees²: FWHM² =
  8 ln2 σ², so each of U, V, W is multiplied by 8 ln2 / 10⁴;
- the Lorentzian full width γ = X / cosθ + Y tanθ in centidegrees, where ours
  is X tanθ + Y / cosθ in degrees: their X is our Y / 100 and their Y our X / 100;
- the zero point: centidegrees in ``.prm``, degrees in ``.instprm``;
- the polarisation P, the factor P + (1 − P) cos²2θ (0.5 unpolarised; in a
  ``.prm`` with IPOLA = 1 the ratio cos²2θ_M itself), which is ours for a
  monochromator of cos²2θ_M = (1 − P) / P.

Terms without a counterpart here are refused when they are not zero (the
Gaussian 1/cos²θ term, a constant Lorentzian width), so that a file never
gives a different instrument in silence. The asymmetry of axial divergence
(S/L, H/L, SH/L) is of another form than ours (A / tan 2θ): it is not
carried, and a fit refines its own. Sample terms (displacement,
transparency, anisotropic broadening) belong to the specimen and are not
read, as the sample displacement of our own files is not.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from ..errors import InputError
from ..profiles.instrument import Instrument

_FWHM_SQUARED_PER_CENTIDEGREE_VARIANCE = 8.0 * math.log(2.0) * 1e-4
_DEGREES_PER_CENTIDEGREE = 0.01

# Coefficient positions of the constant-wavelength profile types of a .prm
# (PRCF records): the Gaussian U, V, W and 1/cos² term, the Lorentzian 1/cos
# and tan terms (None: the type has none), and the axial-divergence terms.
_PROFILE_TERMS: dict[int, dict[str, Any]] = {
    2: {"GU": 0, "GV": 1, "GW": 2, "LX": 3, "LY": 4, "GP": 8, "asymmetry": (6,)},
    3: {"GU": 0, "GV": 1, "GW": 2, "GP": 3, "LX": 4, "LY": 5, "asymmetry": (6, 7)},
    4: {"GU": 0, "GV": 1, "GW": 2, "GP": 3, "LX": 4, "LY": None, "asymmetry": (9, 10)},
}


@dataclass(frozen=True)
class ReadInstrument:
    """An instrument read from a file, the terms the file gives, and notes for the user."""

    instrument: Instrument
    carried: tuple[str, ...]
    notes: tuple[str, ...] = ()


_CARRIED = ("U", "V", "W", "X", "Y", "zero_shift")
"""What a GSAS file gives a fit: the widths and the zero (the asymmetry is refined)."""


def looks_like_instprm(text: str) -> bool:
    """Whether ``text`` is a key:value instrument file of the GSAS-II kind."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if lines and lines[0].lstrip("#").strip().lower().startswith("gsas-ii instrument"):
        return True
    return any(line.replace(" ", "").startswith("Type:") for line in lines[:20])


def looks_like_prm(text: str) -> bool:
    """Whether ``text`` holds the INS records of a GSAS instrument parameter file."""
    return any(line.startswith("INS ") for line in text.splitlines()[:50])


def _number(name: str, key: str, text: str) -> float:
    try:
        value = float(text.replace("D", "E").replace("d", "e"))
    except ValueError:
        raise InputError(f"{name}: {key} is not a number: {text.strip()!r}") from None
    if not math.isfinite(value):
        raise InputError(f"{name}: {key} is not a finite number: {text.strip()!r}")
    return value


def monochromator_angle(name: str, polarisation: float, cos_squared: bool = False) -> float:
    """The monochromator 2θ (degrees) whose polarisation factor is the file's.

    ``polarisation`` is the polarised fraction P (factor P + (1 − P) cos²2θ),
    or with ``cos_squared`` the ratio cos²2θ_M itself.
    """
    if cos_squared:
        ratio = polarisation
    else:
        if not 0.5 <= polarisation <= 1.0:
            raise InputError(
                f"{name}: a polarisation of {polarisation:g} is outside 0.5 (unpolarised) to 1 "
                "(fully polarised, as a synchrotron beam in a vertical plane): not a beam peakforge models"
            )
        ratio = (1.0 - polarisation) / polarisation
    if not 0.0 <= ratio <= 1.0:
        raise InputError(f"{name}: a polarisation ratio cos^2(2theta_M) of {ratio:g} is not within 0 to 1")
    return math.degrees(math.acos(math.sqrt(ratio)))


def _instrument(
    name: str,
    *,
    alpha1: float,
    alpha2: float,
    ratio: float,
    zero: float,
    monochromator: float,
    gaussian: tuple[float, float, float, float],
    lorentzian: tuple[float, float, float],
    asymmetric: bool,
) -> ReadInstrument:
    """Our instrument from the file's terms in its units (centidegrees)."""
    u, v, w, p = gaussian
    size, strain, constant = lorentzian
    if p != 0.0:
        raise InputError(
            f"{name}: a Gaussian 1/cos^2 width term ({p:g}) has no counterpart in peakforge's instrument: "
            "set it to 0 (a size broadening belongs to the sample)"
        )
    if constant != 0.0:
        raise InputError(f"{name}: a constant Lorentzian width Z ({constant:g}) has no counterpart here: set it to 0")
    if not alpha1 > 0.0 or alpha2 < 0.0:
        raise InputError(f"{name}: the wavelengths {alpha1:g} and {alpha2:g} A are not positive")
    wavelength: float | tuple[float, float] = alpha1 if alpha2 == 0.0 or ratio == 0.0 else (alpha1, alpha2)
    scale = _FWHM_SQUARED_PER_CENTIDEGREE_VARIANCE
    try:
        instrument = Instrument(
            wavelength=wavelength,
            ka2_ratio=ratio if isinstance(wavelength, tuple) else 0.0,
            shape="tch",
            U=u * scale,
            V=v * scale,
            W=w * scale,
            X=strain * _DEGREES_PER_CENTIDEGREE,
            Y=size * _DEGREES_PER_CENTIDEGREE,
            asymmetry=0.0,
            zero_shift=zero,
            monochromator_angle=monochromator,
        )
    except InputError as exc:
        raise InputError(f"{name}: {exc}") from None
    notes = (
        ("the file's axial-divergence asymmetry is of another form than peakforge's: it is refined, not carried",)
        if asymmetric
        else ()
    )
    return ReadInstrument(instrument, _CARRIED, notes)


def read_instprm(text: str, name: str) -> ReadInstrument:
    """The instrument of a GSAS-II ``.instprm`` file's text.

    Raises
    ------
    InputError
        Not an X-ray constant-wavelength file (Type PXC), several banks, a
        term missing or not a number, or a term without a counterpart here.
    """
    values: dict[str, str] = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        for item in line.split(";"):
            key, separator, value = item.partition(":")
            if not separator:
                continue
            key = key.strip()
            if key in values:
                raise InputError(f"{name}: {key} is given twice (several banks?): peakforge reads one bank")
            values[key] = value.strip()
    kind = values.get("Type", "")
    if not kind.startswith("PXC"):
        raise InputError(
            f"{name}: instrument type {kind or 'missing'!r}: peakforge reads constant-wavelength X-ray files (PXC)"
        )

    def number(key: str, default: float | None = None) -> float:
        if key not in values:
            if default is None:
                raise InputError(f"{name}: the term {key} is missing")
            return default
        return _number(name, key, values[key])

    single = "Lam" in values
    alpha1 = number("Lam") if single else number("Lam1")
    alpha2 = 0.0 if single else number("Lam2")
    asymmetry = number("SH/L", 0.0)
    return _instrument(
        name,
        alpha1=alpha1,
        alpha2=alpha2,
        ratio=0.0 if single else number("I(L2)/I(L1)"),
        zero=number("Zero", 0.0),
        monochromator=monochromator_angle(name, number("Polariz.", 0.5)),
        gaussian=(number("U"), number("V"), number("W"), 0.0),
        lorentzian=(number("X", 0.0), number("Y", 0.0), number("Z", 0.0)),
        asymmetric=asymmetry != 0.0,
    )


def _records(text: str, name: str) -> dict[tuple[str, str], list[str]]:
    """INS records by (bank, key): columns 4–6 the bank, 7–12 the key, the rest the values."""
    records: dict[tuple[str, str], list[str]] = {}
    for line in text.splitlines():
        if not line.startswith("INS"):
            continue
        bank, key = line[3:6].strip(), line[6:12].strip()
        records.setdefault((bank, key), line[12:].split())
    return records


def read_prm(text: str, name: str) -> ReadInstrument:
    """The instrument of a GSAS ``.prm`` file's text (its first profile of bank 1).

    Raises
    ------
    InputError
        Not a constant-wavelength X-ray file (HTYPE PXC…), several banks, a
        profile type other than 2, 3 or 4, a term missing or not a number,
        or a term without a counterpart here.
    """
    records = _records(text, name)
    banks = records.get(("", "BANK"), ["1"])
    if banks != ["1"]:
        raise InputError(f"{name}: {' '.join(banks)} banks: peakforge reads a file of one bank")
    kind = " ".join(records.get(("", "HTYPE"), []))
    if not kind.startswith("PXC"):
        raise InputError(
            f"{name}: histogram type {kind or 'missing'!r}: peakforge reads constant-wavelength X-ray files (PXC)"
        )
    constants = records.get(("1", "ICONS"))
    if constants is None or len(constants) < 3:
        raise InputError(f"{name}: no ICONS record with the wavelengths and zero of bank 1")
    alpha1, alpha2, zero = (_number(name, "ICONS", v) for v in constants[:3])
    # LAM1 LAM2 ZERO, an unused field, POLA IPOLA KRATIO
    polarisation = _number(name, "POLA", constants[4]) if len(constants) > 4 else 0.5
    cos_squared = len(constants) > 5 and constants[5] == "1"
    ratio = _number(name, "KRATIO", constants[6]) if len(constants) > 6 else 0.0
    if alpha2 != 0.0 and len(constants) <= 6:
        raise InputError(f"{name}: ICONS gives a second wavelength but no intensity ratio (KRATIO)")
    header = records.get(("1", "PRCF1"))
    if not header or len(header) < 2:
        raise InputError(f"{name}: no profile (PRCF1 record) in bank 1")
    try:
        profile_type, count = int(header[0]), int(header[1])
    except ValueError:
        raise InputError(f"{name}: PRCF1 does not start with the profile type and its number of terms") from None
    terms = _PROFILE_TERMS.get(profile_type)
    if terms is None:
        raise InputError(
            f"{name}: profile type {profile_type}: peakforge reads the pseudo-Voigt types 2, 3 and 4 of GSAS"
        )
    coefficients = []
    for line_number in range(1, (count + 3) // 4 + 1):
        coefficients += [_number(name, f"PRCF1{line_number}", v) for v in records.get(("1", f"PRCF1{line_number}"), [])]
    if len(coefficients) < count:
        raise InputError(f"{name}: profile 1 promises {count} terms and gives {len(coefficients)}")

    def term(key: str) -> float:
        index = terms[key]
        return 0.0 if index is None or index >= count else coefficients[index]

    asymmetric = any(coefficients[i] != 0.0 for i in terms["asymmetry"] if i < count)
    return _instrument(
        name,
        alpha1=alpha1,
        alpha2=alpha2,
        ratio=ratio,
        zero=zero * _DEGREES_PER_CENTIDEGREE,
        monochromator=monochromator_angle(name, polarisation, cos_squared),
        gaussian=(term("GU"), term("GV"), term("GW"), term("GP")),
        lorentzian=(term("LX"), term("LY"), 0.0),
        asymmetric=asymmetric,
    )
