"""Peaks of the anode's Kβ line: an unfiltered (or poorly filtered) tube
adds to every strong Kα peak a weaker one at the same spacing d, at the
angle Kβ gives it (2θ_β = 2 asin(λ_β / 2d)). A library of Kα patterns
explains none of them; the result names them for what they are.
"""

from __future__ import annotations

import numpy as np

from ..diffraction.wavelengths import ANODE_LINES

K_BETA_LINES = {
    "Cu": 1.392218,
    "Mo": 0.632288,
    "Co": 1.620790,
    "Fe": 1.756610,
    "Cr": 2.084920,
    "Ag": 0.497082,
}
"""Kβ1 emission lines in Å (International Tables vol. C, 4.2.2.1)."""

K_BETA_LARGEST_RATIO = 0.35
"""The highest a Kβ peak stands against its Kα peak: 0.2 from an unfiltered tube,
widened for counting noise and the Lorentz-polarisation factor between them."""

_SAME_ANODE = 2e-3  # relative distance of a wavelength from an anode's Kα1 or Kα mean


def anode_of(wavelength: float) -> str | None:
    """The anode whose Kα1 (or Kα mean) ``wavelength`` (Å) is, None for another wavelength."""
    for anode in K_BETA_LINES:
        for line in (f"{anode}Ka1", f"{anode}Ka"):
            if abs(wavelength / ANODE_LINES[line] - 1.0) <= _SAME_ANODE:
                return anode
    return None


def k_beta_parents(
    two_theta: np.ndarray, height: np.ndarray, wavelength: float, tolerance: float
) -> list[tuple[str, float] | tuple[()]]:
    """For each observed peak: ("Cu Kβ", 2θ of the Kα peak) when it sits where the Kβ line of a
    peak at least 1 / ``K_BETA_LARGEST_RATIO`` times as high puts one (within ``tolerance``
    degrees), else ().

    ``wavelength`` is the scan's Kα1 (Å); a wavelength of no known anode names none.
    """
    anode = anode_of(wavelength)
    found: list[tuple[str, float] | tuple[()]] = [() for _ in range(len(two_theta))]
    if anode is None:
        return found
    ratio = K_BETA_LINES[anode] / wavelength
    sines = np.sin(np.radians(np.asarray(two_theta, dtype=float)) / 2.0) * ratio
    beta = np.degrees(2.0 * np.arcsin(np.clip(sines, -1.0, 1.0)))
    for i, (x, h) in enumerate(zip(two_theta, height)):
        parents = [
            j
            for j in range(len(two_theta))
            if j != i and abs(beta[j] - x) <= tolerance and h <= K_BETA_LARGEST_RATIO * height[j]
        ]
        if parents:
            strongest = max(parents, key=lambda j: height[j])
            found[i] = (f"{anode} K\u03b2", float(two_theta[strongest]))
    return found
