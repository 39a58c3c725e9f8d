"""X-ray wavelengths: a number in ångström, or the name of an anode line."""

from __future__ import annotations

import math

from ..errors import InputError

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


def resolve_wavelength(wavelength: float | str) -> float:
    """Return the wavelength in Å for a positive number or an anode line name.

    Names are matched without regard to case ("cuka" is CuKa); a numeric
    string such as "1.5406" is read as a number.

    Parameters
    ----------
    wavelength : float or str
        Å, or a name of `ANODE_LINES` ("CuKa", "MoKa1", ...).

    Returns
    -------
    float
        The wavelength in Å; a Kα name gives the intensity-weighted mean
        of Kα1 and Kα2.

    Raises
    ------
    InputError
        An unknown name (the message lists the known ones), or not a
        positive finite number.

    Examples
    --------
    >>> from peakforge_pattern.diffraction.wavelengths import resolve_wavelength
    >>> resolve_wavelength("cuka1"), resolve_wavelength("CuKa"), resolve_wavelength("0.5")
    (1.540562, 1.541838, 0.5)
    """
    if isinstance(wavelength, str):
        text = wavelength.strip()
        if text.lower() in _BY_LOWER_NAME:
            return _BY_LOWER_NAME[text.lower()]
        try:
            value = float(text)
        except ValueError:
            known = ", ".join(ANODE_LINES)
            raise InputError(f"unknown wavelength {wavelength!r}: give a number in angstrom or one of {known}") \
                from None
    else:
        try:
            value = float(wavelength)
        except (TypeError, ValueError):
            raise InputError(f"wavelength must be a number or a line name, not {wavelength!r}") from None
    if not math.isfinite(value) or value <= 0.0:
        raise InputError(f"wavelength must be a positive number of angstrom, not {wavelength!r}")
    return value


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
