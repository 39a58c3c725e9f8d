"""The diffractometer as a profile sees it: emission lines, peak widths
(Caglioti U, V, W and Lorentzian X, Y), peak shape, zero shift, sample
displacement and the polarisation by a monochromator.

Widths are full widths at half maximum in degrees 2θ:
  Gaussian²  = U tan²θ + V tanθ + W            (Caglioti)
  Lorentzian = X tanθ + Y / cosθ
The "tch" shape combines the two (with the sample's broadening) into a
pseudo-Voigt by Thompson, Cox and Hastings (J. Appl. Cryst. 20 (1987) 79);
"pseudo-voigt" uses FWHM = Gaussian + Lorentzian and a fixed mixing η.
Axial divergence gives peaks a tail towards 90° (low-angle tails below it,
high-angle tails above); ``asymmetry`` A stretches the side towards 90° by
1 + A / tan 2θ and shrinks the other as much (at most 0.9), a split
pseudo-Voigt of unchanged area.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Literal

import numpy as np

from ..diffraction.request import check_monochromator_angle
from ..diffraction.wavelengths import k_alpha_doublet, resolve_wavelength, wavelength_pair
from ..errors import InputError
from .sample import Sample
from .shapes import thompson_cox_hastings

Shape = Literal["pseudo-voigt", "tch"]
SHAPES: tuple[str, ...] = ("pseudo-voigt", "tch")

DEFAULT_KA2_RATIO = 0.5
"""Intensity of Kα2 over Kα1."""

MAX_ZERO_SHIFT = 10.0
"""Largest zero shift, degrees: a diffractometer's zero is off by hundredths of a degree; one
shifted by more than this moves the peaks out of any range it is asked for."""

MAX_ASYMMETRY = 0.9
"""Largest stretch of one half of a peak (the other keeps a tenth of its width)."""


def _finite(name: str, value: float, minimum: float | None = None) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a number, not {value!r}") from None
    if not math.isfinite(number) or (minimum is not None and number < minimum):
        bound = "" if minimum is None else f" and at least {minimum:g}"
        raise InputError(f"{name} must be finite{bound}, not {value!r}")
    return number


@dataclass(frozen=True)
class Instrument:
    """Emission lines, peak widths and shape, and 2θ corrections.

    Frozen and checked when made; every parameter is an attribute of the
    same name.  Widths are full widths at half maximum in degrees 2θ:
    Gaussian² = U tan²θ + V tanθ + W (Caglioti), Lorentzian = X tanθ + Y / cosθ.

    Parameters
    ----------
    wavelength : float, str, pair of float or None
        None takes the pattern's own; a Kα name or mean (CuKa), or a pair
        of wavelengths (Kα1, Kα2) in Å (also as text, "1.5406,1.5444"),
        gives the doublet; any other line or number a single line.
    ka2_ratio : float
        Intensity of Kα2 over Kα1 (at least 0; default 0.5).
    shape : {"pseudo-voigt", "tch"}
        A pseudo-Voigt of FWHM Gaussian + Lorentzian and mixing ``eta``, or
        the Thompson–Cox–Hastings combination of the two widths.
    U, V, W : float
        Caglioti coefficients of the Gaussian width, degrees².
    X, Y : float
        Lorentzian width coefficients, degrees.
    eta : float
        Lorentzian share of the pseudo-Voigt shape, 0 to 1.
    asymmetry : float
        Axial-divergence asymmetry A: the side of a peak towards 90° is
        stretched by 1 + A / tan 2θ and the other shrunk as much (at most
        0.9); the area is unchanged.
    zero_shift : float
        Added to every 2θ, degrees (at most ±10).
    displacement : float
        Sample displacement s in mm (towards the source positive); it moves
        peaks by −2 s cosθ / R.
    radius : float
        Goniometer radius R in mm (positive; default 240).
    monochromator_angle : float or None
        The monochromator's 2θ (degrees; graphite (002) with Cu Kα: 26.6),
        0 for none; None takes the pattern's, the one its intensities were
        computed with.

    Raises
    ------
    InputError
        An unknown shape, a value that is not a finite number, ``eta``
        outside 0–1, a negative ``ka2_ratio``, a radius not above 0, a
        zero shift beyond ±10°, or a bad wavelength or
        monochromator angle.

    Examples
    --------
    >>> from peakforge_pattern.profiles import Instrument
    >>> instrument = Instrument(shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02)
    >>> fwhm, eta = instrument.widths([30.0, 90.0], 1.5406)
    >>> [round(float(f), 4) for f in fwhm]
    [0.0553, 0.0817]
    """

    wavelength: float | str | tuple[float, float] | None = None
    ka2_ratio: float = DEFAULT_KA2_RATIO
    shape: Shape = "pseudo-voigt"
    U: float = 0.0
    V: float = 0.0
    W: float = 0.01
    X: float = 0.0
    Y: float = 0.0
    eta: float = 0.5
    asymmetry: float = 0.0
    zero_shift: float = 0.0
    displacement: float = 0.0
    radius: float = 240.0
    monochromator_angle: float | None = None

    def __post_init__(self) -> None:
        if self.shape not in SHAPES:
            raise InputError(f"unknown peak shape {self.shape!r}: use one of {', '.join(SHAPES)}")
        for name in ("U", "V", "W", "X", "Y", "asymmetry", "zero_shift", "displacement"):
            object.__setattr__(self, name, _finite(name, getattr(self, name)))
        object.__setattr__(self, "ka2_ratio", _finite("the Kα2 ratio", self.ka2_ratio, 0.0))
        object.__setattr__(self, "radius", _finite("the goniometer radius", self.radius, 1e-9))
        if abs(self.zero_shift) > MAX_ZERO_SHIFT:
            raise InputError(
                f"a zero shift of {self.zero_shift:g} degrees is beyond {MAX_ZERO_SHIFT:g}: "
                "a diffractometer's zero is off by hundredths of a degree"
            )
        eta = _finite("eta", self.eta)
        if not 0.0 <= eta <= 1.0:
            raise InputError(f"eta must lie between 0 and 1, not {eta:g}")
        if self.monochromator_angle is not None:
            object.__setattr__(self, "monochromator_angle", check_monochromator_angle(self.monochromator_angle))
        pair = wavelength_pair(self.wavelength)
        if pair is not None:
            object.__setattr__(self, "wavelength", pair)
        if isinstance(self.wavelength, tuple):
            if len(self.wavelength) != 2:
                raise InputError(f"a wavelength pair is Kα1 and Kα2, not {self.wavelength!r}")
            object.__setattr__(self, "wavelength", tuple(resolve_wavelength(w) for w in self.wavelength))
        elif self.wavelength is not None:
            resolve_wavelength(self.wavelength)

    @classmethod
    def with_fwhm(cls, fwhm: float, **fields) -> Instrument:
        """An instrument giving every peak the same Gaussian-like width.

        W = FWHM², U = V = 0 (Lorentzian X, Y from ``fields``, none by default).

        Parameters
        ----------
        fwhm : float
            The width in degrees 2θ, at least 0.
        **fields
            Any other field of Instrument.

        Returns
        -------
        Instrument

        Raises
        ------
        InputError
            A width that is not a finite number of at least 0, or a bad field.
        """
        width = _finite("the peak width", fwhm, 0.0)
        return cls(**{**fields, "U": 0.0, "V": 0.0, "W": width * width})

    def replace(self, **changes) -> Instrument:
        """The same instrument with ``changes`` (checked like a new one).

        Parameters
        ----------
        **changes
            Fields to change, by name.

        Returns
        -------
        Instrument
            A new instrument; this one is unchanged.
        """
        return dataclasses.replace(self, **changes)

    def lines(self, pattern_wavelength: float) -> list[tuple[float, float]]:
        """Wavelengths and their shares of the intensity.

        Parameters
        ----------
        pattern_wavelength : float
            The pattern's wavelength in Å, used when the instrument has none.

        Returns
        -------
        list of tuple of float
            ``(wavelength in Å, share)`` per emission line, the shares
            summing to 1.
        """
        wavelength = pattern_wavelength if self.wavelength is None else self.wavelength
        if isinstance(wavelength, tuple):
            alpha1, alpha2 = wavelength
        else:
            doublet = k_alpha_doublet(wavelength)
            if doublet is None:
                return [(resolve_wavelength(wavelength), 1.0)]
            alpha1, alpha2 = doublet
        return [(alpha1, 1.0 / (1.0 + self.ka2_ratio)), (alpha2, self.ka2_ratio / (1.0 + self.ka2_ratio))]

    def refuse_ratio_without_doublet(self, pattern_wavelength: float) -> None:
        """Refuse a Kα2 ratio that was given for a single emission line (it would be ignored).

        Call it when the ratio was asked for explicitly (not the default).

        Parameters
        ----------
        pattern_wavelength : float
            The pattern's wavelength in Å, used when the instrument has none.

        Raises
        ------
        InputError
            The wavelength is one line: it has no Kα2 to weigh.
        """
        lines = self.lines(pattern_wavelength)
        if len(lines) == 1:
            raise InputError(
                f"a Ka2/Ka1 ratio weighs the Ka2 of a Ka doublet, and {lines[0][0]:g} A is one line: give the "
                "pair (1.5406,1.5444) or a Ka line's name (CuKa) as the wavelength"
            )

    def shift(self, two_theta: np.ndarray) -> np.ndarray:
        """2θ where a reflection at ``two_theta`` is observed.

        Parameters
        ----------
        two_theta : numpy.ndarray
            Bragg angles 2θ, degrees.

        Returns
        -------
        numpy.ndarray
            The observed 2θ, degrees, after the zero shift and the sample
            displacement.
        """
        theta = np.radians(two_theta) / 2.0
        return two_theta + self.zero_shift + np.degrees(-2.0 * self.displacement * np.cos(theta) / self.radius)

    def asymmetries(self, two_theta: np.ndarray) -> np.ndarray:
        """Stretch a of the low-angle half of a peak at each 2θ (the high-angle half gets −a).

        Parameters
        ----------
        two_theta : numpy.ndarray
            Peak positions 2θ, degrees.

        Returns
        -------
        numpy.ndarray
            A / tan 2θ, clipped to ±0.9 (0 without asymmetry).
        """
        if self.asymmetry == 0.0:
            return np.zeros(np.shape(two_theta))
        with np.errstate(divide="ignore"):
            skew = self.asymmetry / np.tan(np.radians(two_theta))
        return np.clip(np.nan_to_num(skew), -MAX_ASYMMETRY, MAX_ASYMMETRY)

    def widths(
        self, two_theta: np.ndarray, wavelength: float, sample: Sample | None = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """FWHM and pseudo-Voigt mixing η of peaks at ``two_theta``.

        Parameters
        ----------
        two_theta : numpy.ndarray
            Peak positions 2θ, degrees.
        wavelength : float
            Wavelength in Å (for the size broadening).
        sample : Sample, optional
            Adds its size and strain broadening.

        Returns
        -------
        tuple of numpy.ndarray
            The FWHM in degrees 2θ and η (0 Gaussian, 1 Lorentzian) per peak.
        """
        theta = np.radians(np.asarray(two_theta, dtype=float)) / 2.0
        tan, cos = np.tan(theta), np.cos(theta)
        gauss_sq = self.U * tan * tan + self.V * tan + self.W
        lorentz = self.X * tan + self.Y / cos
        if sample is not None:
            gauss_sq = gauss_sq + sample.strain_fwhm(theta) ** 2
            lorentz = lorentz + sample.size_fwhm(theta, wavelength)
        gauss = np.sqrt(np.maximum(gauss_sq, 0.0))
        lorentz = np.maximum(lorentz, 0.0)
        if self.shape == "tch":
            return thompson_cox_hastings(gauss, lorentz)
        return gauss + lorentz, np.full(gauss.shape, self.eta)
