"""What the powder itself does to a pattern: crystallite-size and microstrain
broadening, March–Dollase preferred orientation and an overall displacement
parameter B added to the structure's own.

Size broadening is Lorentzian, FWHM = K λ / (L cosθ) with the Scherrer
constant K = 0.9; microstrain ε (Δd/d) broadens as a Gaussian of FWHM
4 ε tanθ. Preferred orientation follows March (1932) and Dollase (J. Appl.
Cryst. 19 (1986) 267): P(α) = (r² cos²α + sin²α / r)^(−3/2), α the angle
between a reflection's plane normal and the preferred plane normal (hkl);
r < 1 for plates lying on (hkl), r > 1 for needles along it; P averages to
1 over all orientations.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..errors import InputError

SCHERRER_CONSTANT = 0.9


@dataclass(frozen=True)
class Sample:
    """What the powder does to the peaks: size, strain, texture and an overall B.

    Frozen and checked when made; every parameter is an attribute of the
    same name.

    Parameters
    ----------
    crystallite_size : float or None
        Crystallite size L in nm: Lorentzian broadening K λ / (L cosθ),
        K = 0.9 (None: no size broadening).
    microstrain : float
        Microstrain ε as Δd/d: Gaussian broadening 4 ε tanθ.
    preferred_orientation : tuple of int or None
        Miller indices (h, k, l) of the preferred plane (None: no texture).
    march_r : float
        March–Dollase parameter r (positive): below 1 for plates lying on
        the plane, above 1 for needles along its normal, 1 for none.
    b_overall : float
        Overall displacement parameter in Å², added to every atom's B.

    Raises
    ------
    InputError
        A size not positive, a negative or non-finite strain, ``march_r``
        not positive, a non-finite B, or a preferred orientation that is
        not three indices, not all zero.

    Examples
    --------
    >>> from peakforge_pattern.profiles import Sample
    >>> sample = Sample(crystallite_size=50.0, preferred_orientation=(0, 0, 1), march_r=0.8)
    >>> sample.has_orientation, round(float(sample.march_dollase(1.0)), 4)
    (True, 1.9531)
    """

    crystallite_size: float | None = None
    microstrain: float = 0.0
    preferred_orientation: tuple[int, int, int] | None = None
    march_r: float = 1.0
    b_overall: float = 0.0

    def __post_init__(self) -> None:
        if self.crystallite_size is not None and not (
            math.isfinite(self.crystallite_size) and self.crystallite_size > 0.0
        ):
            raise InputError(f"the crystallite size must be a positive number of nm, not {self.crystallite_size!r}")
        if not (math.isfinite(self.microstrain) and self.microstrain >= 0.0):
            raise InputError(f"the microstrain must be a finite number of at least 0, not {self.microstrain!r}")
        if not (math.isfinite(self.march_r) and self.march_r > 0.0):
            raise InputError(f"the March parameter must be positive, not {self.march_r!r}")
        if not math.isfinite(self.b_overall):
            raise InputError(f"the overall B must be finite, not {self.b_overall!r}")
        if self.preferred_orientation is not None:
            hkl = tuple(int(i) for i in self.preferred_orientation)
            if len(hkl) != 3 or hkl == (0, 0, 0):
                raise InputError(
                    f"the preferred orientation must be three Miller indices, "
                    f"not all zero: {self.preferred_orientation!r}"
                )
            object.__setattr__(self, "preferred_orientation", hkl)

    @property
    def has_orientation(self) -> bool:
        """Whether preferred orientation changes any intensity (a plane and r ≠ 1)."""
        return self.preferred_orientation is not None and self.march_r != 1.0

    def size_fwhm(self, theta: np.ndarray, wavelength: float) -> np.ndarray:
        """Lorentzian FWHM from the crystallite size.

        Parameters
        ----------
        theta : numpy.ndarray
            Bragg angles θ in radians.
        wavelength : float
            Wavelength in Å.

        Returns
        -------
        numpy.ndarray
            FWHM in degrees 2θ (zeros without a crystallite size).
        """
        if self.crystallite_size is None:
            return np.zeros_like(theta)
        return np.degrees(SCHERRER_CONSTANT * wavelength / (10.0 * self.crystallite_size * np.cos(theta)))

    def strain_fwhm(self, theta: np.ndarray) -> np.ndarray:
        """Gaussian FWHM from the microstrain.

        Parameters
        ----------
        theta : numpy.ndarray
            Bragg angles θ in radians.

        Returns
        -------
        numpy.ndarray
            FWHM in degrees 2θ.
        """
        return np.degrees(4.0 * self.microstrain * np.tan(theta))

    def march_dollase(self, cos_alpha: np.ndarray) -> np.ndarray:
        """Orientation factor of reflections whose normals make angle α with the preferred one.

        Parameters
        ----------
        cos_alpha : numpy.ndarray
            cos α per reflection.

        Returns
        -------
        numpy.ndarray
            P(α) = (r² cos²α + sin²α / r)^(−3/2).
        """
        r = self.march_r
        c2 = np.asarray(cos_alpha, dtype=float) ** 2
        return (r * r * c2 + (1.0 - c2) / r) ** -1.5

    def debye_waller(self, d: np.ndarray) -> np.ndarray:
        """Intensity factor exp(−2 B s²), s = 1 / (2d), of the overall B.

        Parameters
        ----------
        d : numpy.ndarray
            Interplanar spacings in Å.

        Returns
        -------
        numpy.ndarray
            The factor per spacing.
        """
        return np.exp(-2.0 * self.b_overall / (4.0 * np.asarray(d, dtype=float) ** 2))
