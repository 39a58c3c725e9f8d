"""Wavelengths: a number in ångström, the name of an anode line, a photon
energy in keV, or (electrons) an accelerating voltage in kV.

A photon of energy E has λ = hc / E. An electron accelerated through V has
the relativistic wavelength λ = h / √(2 m₀ e V (1 + e V / (2 m₀ c²)))
(International Tables vol. C, 4.3.1): 0.025079 Å at 200 kV.
"""

from __future__ import annotations

import math
import re

from ..errors import InputError

HC_KEV_ANGSTROM = 12.398419843320026
"""h·c in keV·Å (CODATA 2018, exact): a photon of λ Å has hc/λ keV."""

# CODATA 2018: h, e and c exact, m₀ measured.
_PLANCK = 6.62607015e-34  # J s
_ELECTRON_MASS = 9.1093837015e-31  # kg
_ELEMENTARY_CHARGE = 1.602176634e-19  # C
_LIGHT_SPEED = 299792458.0  # m/s

_WITH_UNIT = re.compile(r"\s*([-+0-9.eE]+)\s*(kev|kv)\s*", re.IGNORECASE)


def photon_wavelength(energy_kev: float) -> float:
    """The wavelength (Å) of photons of ``energy_kev`` keV."""
    wavelength = HC_KEV_ANGSTROM / _positive(energy_kev, "a photon energy", "keV")
    if not (math.isfinite(wavelength) and wavelength > 0.0):
        raise InputError(f"a photon energy of {energy_kev:g} keV gives no wavelength a pattern can have")
    return wavelength


def electron_wavelength(voltage_kv: float) -> float:
    """The relativistic wavelength (Å) of electrons accelerated through ``voltage_kv`` kV."""
    energy = _ELEMENTARY_CHARGE * _positive(voltage_kv, "an accelerating voltage", "kV") * 1e3  # J
    rest = _ELECTRON_MASS * _LIGHT_SPEED**2
    momentum = math.sqrt(2.0 * _ELECTRON_MASS * energy * (1.0 + energy / (2.0 * rest)))
    if math.isinf(momentum):
        # Its square overflowed, not the momentum: as a product of two roots.
        momentum = math.sqrt(2.0 * _ELECTRON_MASS * energy) * math.sqrt(1.0 + energy / (2.0 * rest))
    wavelength = _PLANCK / momentum * 1e10 if momentum > 0.0 else math.inf
    if not (math.isfinite(wavelength) and wavelength > 0.0):
        raise InputError(f"an accelerating voltage of {voltage_kv:g} kV gives no wavelength a pattern can have")
    return wavelength


KA_DOUBLET_SPREAD = 0.02
"""Largest relative distance of Kα2 from Kα1 in a pair (the anodes' are 0.2–0.8 %)."""


def wavelength_pair(wavelength: object) -> tuple[float, float] | None:
    """Kα1 and Kα2 in Å from text "λ1,λ2" (numbers in Å or line names), else None.

    Parameters
    ----------
    wavelength : object
        What was given as the wavelength; only text with a comma is a pair.

    Returns
    -------
    tuple of float or None
        ``(λ1, λ2)``, or None for anything that is not a pair.

    Raises
    ------
    InputError
        Not two X-ray wavelengths, Kα2 not the longer, or the two further
        apart than a Kα doublet's lines are.

    Examples
    --------
    >>> from peakforge_pattern.diffraction.wavelengths import wavelength_pair
    >>> wavelength_pair("1.5406,1.5444"), wavelength_pair("CuKa")
    ((1.5406, 1.5444), None)
    """
    if not isinstance(wavelength, str) or "," not in wavelength:
        return None
    parts = [part.strip() for part in wavelength.split(",")]
    if len(parts) != 2 or not all(parts):
        raise InputError(f"a wavelength pair is two wavelengths, Ka1,Ka2 (1.5406,1.5444), not {wavelength!r}")
    alpha1, alpha2 = (resolve_wavelength(part) for part in parts)
    if not alpha1 < alpha2 <= alpha1 * (1.0 + KA_DOUBLET_SPREAD):
        raise InputError(
            f"a wavelength pair is Ka1 then the slightly longer Ka2 (within {100 * KA_DOUBLET_SPREAD:g} %), "
            f"not {alpha1:g} and {alpha2:g} A"
        )
    return alpha1, alpha2


def mean_wavelength(alpha1: float, alpha2: float, ka2_ratio: float) -> float:
    """The intensity-weighted mean of a Kα1, Kα2 pair (Å), as a Kα name's wavelength is."""
    return (alpha1 + ka2_ratio * alpha2) / (1.0 + ka2_ratio)


def _positive(value: float, what: str, unit: str) -> float:
    if not (math.isfinite(value) and value > 0.0):
        raise InputError(f"{what} must be a positive number of {unit}, not {value:g}")
    return value


# Kα1 and Kα2 emission lines in Å.  The unresolved Kα doublet is their
# intensity-weighted mean, Kα1 being twice as strong as Kα2.
_K_ALPHA_LINES = {
    "Cu": (1.540562, 1.544390),
    "Mo": (0.709300, 0.713590),
    "Co": (1.788965, 1.792850),
    "Fe": (1.936042, 1.939980),
    "Cr": (2.289700, 2.293606),
    "Ag": (0.559421, 0.563813),
}


def _anode_table() -> dict[str, float]:
    table = {}
    for anode, (alpha1, alpha2) in _K_ALPHA_LINES.items():
        table[f"{anode}Ka"] = round((2.0 * alpha1 + alpha2) / 3.0, 6)
        table[f"{anode}Ka1"] = alpha1
        table[f"{anode}Ka2"] = alpha2
    return table


ANODE_LINES: dict[str, float] = _anode_table()
"""Named lines (``CuKa``, ``CuKa1``, ``MoKa``, ...) and their wavelengths in Å."""

_BY_LOWER_NAME = {name.lower(): value for name, value in ANODE_LINES.items()}


def resolve_wavelength(wavelength: float | str, radiation: str = "xray") -> float:
    """Return the wavelength in Å for a positive number, an anode line name,
    a photon energy ("8.04keV") or, for electrons, an accelerating voltage ("200kV").

    Names and units are matched without regard to case ("cuka" is CuKa); a
    numeric string such as "1.5406" is read as a number of Å.

    Parameters
    ----------
    wavelength : float or str
        Å, a name of `ANODE_LINES` ("CuKa", "MoKa1", ...), a photon energy
        ("8.04keV") or an electron accelerating voltage ("200kV").
    radiation : str
        "xray", "neutron" or "electron"; a voltage is read for electrons only.

    Returns
    -------
    float
        The wavelength in Å; a Kα name gives the intensity-weighted mean
        of Kα1 and Kα2.

    Raises
    ------
    InputError
        An unknown name (the message lists the known ones), not a
        positive finite number, or a unit that does not go with the
        radiation (keV is a photon energy, kV an electron voltage).

    Examples
    --------
    >>> from peakforge_pattern.diffraction.wavelengths import resolve_wavelength
    >>> resolve_wavelength("cuka1"), resolve_wavelength("CuKa"), resolve_wavelength("0.5")
    (1.540562, 1.541838, 0.5)
    >>> round(resolve_wavelength("8.04keV"), 5)
    1.54209
    >>> round(resolve_wavelength("200kV", "electron"), 6)
    0.025079
    """
    if isinstance(wavelength, str):
        text = wavelength.strip()
        if text.lower() in _BY_LOWER_NAME:
            return _BY_LOWER_NAME[text.lower()]
        with_unit = _WITH_UNIT.fullmatch(text)
        if with_unit:
            return _with_unit(with_unit.group(1), with_unit.group(2).lower(), radiation, wavelength)
        try:
            value = float(text)
        except ValueError:
            known = ", ".join(ANODE_LINES)
            raise InputError(
                f"unknown wavelength {wavelength!r}: give a number in angstrom, an energy "
                f"such as 8.04keV, a voltage such as 200kV (electrons) or one of {known}"
            ) from None
    else:
        try:
            value = float(wavelength)
        except (TypeError, ValueError):
            raise InputError(f"wavelength must be a number or a line name, not {wavelength!r}") from None
    if not math.isfinite(value) or value <= 0.0:
        raise InputError(f"wavelength must be a positive number of angstrom, not {wavelength!r}")
    return value


def _with_unit(number: str, unit: str, radiation: str, given: str) -> float:
    try:
        value = float(number)
    except ValueError:
        raise InputError(f"unknown wavelength {given!r}: {number!r} is not a number") from None
    if unit == "kev":
        if radiation != "xray":
            raise InputError(f"a photon energy ({given}) sets an X-ray wavelength, not a {radiation} one")
        return photon_wavelength(value)
    if radiation != "electron":
        raise InputError(
            f"an accelerating voltage ({given}) sets an electron wavelength: "
            "choose electron radiation (--radiation electron)"
        )
    return electron_wavelength(value)


def k_alpha_doublet(wavelength: float | str) -> tuple[float, float] | None:
    """The Kα1 and Kα2 wavelengths behind an unresolved Kα line, else None.

    Both the name ("CuKa") and its weighted-mean wavelength (a pattern
    computed for CuKa carries 1.541838) stand for the doublet; a single line
    ("CuKa1") or any other number does not.

    Parameters
    ----------
    wavelength : float or str
        Å or a line name, as `resolve_wavelength` takes it.

    Returns
    -------
    tuple of float or None
        Kα1 and Kα2 in Å, or None for anything but a Kα doublet.

    Raises
    ------
    InputError
        What `resolve_wavelength` refuses.
    """
    value = resolve_wavelength(wavelength)
    for anode, lines in _K_ALPHA_LINES.items():
        if value == ANODE_LINES[f"{anode}Ka"]:
            return lines
    return None
