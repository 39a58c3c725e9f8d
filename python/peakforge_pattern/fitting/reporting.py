"""A fit told honestly: the text summary with every refined number's
standard uncertainty, and the warnings a user should read before trusting
the numbers (parameters at a bound, implausible values, a misfit far above
the counting noise)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from .parameters import ParameterSet
from .width_constraints import gaussian_width_squared

if TYPE_CHECKING:
    from .result import PhaseFit

CORRELATION_LIMIT = 0.95
"""|ρ| above which two refined parameters are reported as trading off against each other."""

MISFIT_LIMIT = 2.0
"""Rwp / Rexp above which the model misses something the data show."""

PLAUSIBLE_B = 5.0  # Å²: an overall B above this is rarely thermal motion
SMALL_SIZE = 5.0  # nm
NEGATIVE_B = 0.1  # Å²: a smaller lowering of the structure's B is within what scans tell


def parameter_warnings(parameters: ParameterSet, esd: dict[str, float]) -> list[str]:
    """Refined parameters that stopped at a bound, or whose values are implausible."""
    found = []
    for p in parameters:
        if not p.refined or p.linear:
            continue
        side = p.at_bound()
        if side is not None:
            bound = p.lower if side == "lower" else p.upper
            why = _BOUND_REASONS.get(p.kind, "")
            found.append(
                f"{p.name} stopped at its {side} bound ({bound:g}{' ' + p.unit if p.unit else ''})"
                f"{why}: it is reported without an uncertainty; hold it with --fix if the bound is right"
            )
    for p in parameters:
        if p.kind == "b" and p.refined and p.value > PLAUSIBLE_B:
            found.append(
                f"{p.name} = {p.value:.3g} A^2 is implausibly large: check the phase's structure and the background"
            )
        if p.kind == "size" and p.refined and p.value < SMALL_SIZE:
            found.append(f"{p.name} = {p.value:.3g} nm is implausibly small for a crystalline phase")
        if p.kind in ("U", "W") and p.refined and p.value < 0.0:
            found.append(f"{p.name} = {p.value:.3g} is negative")
    return found


_BOUND_REASONS = {
    "coordinates": (
        " (a site moves at most 0.4 of the distance to its nearest neighbour, so that sites "
        "cannot be driven onto one another)"
    ),
    "b-sites": " (B may not fall below zero)",
    "b-elements": " (B may not fall below zero)",
    "occupancy": " (occupancies stay within 0 and 1)",
}


def width_warnings(parameters: ParameterSet, two_theta: np.ndarray) -> list[str]:
    """The Gaussian width² U tan²θ + V tanθ + W where it touches or falls below zero in the range."""
    if not all(n in parameters for n in ("U", "V", "W")):
        return []
    u, v, w = (parameters[n].value for n in ("U", "V", "W"))
    squared = gaussian_width_squared(u, v, w, two_theta)
    lowest = int(np.argmin(squared))
    scale = max(float(np.max(np.abs(squared))), 1e-300)
    if squared[lowest] < -1e-9 * scale:
        below = two_theta[squared < 0.0]
        return [
            f"the Gaussian width^2 U tan^2(theta) + V tan(theta) + W is negative from 2theta {below[0]:g} to "
            f"{below[-1]:g}: the profile has no Gaussian part there; free U, V and W (a fit keeps them physical)"
        ]
    if parameters["V"].refined and squared[lowest] <= 1e-6 * scale and 0 < lowest < two_theta.size - 1:
        return [
            f"the Gaussian width reaches zero at 2theta {two_theta[lowest]:.4g} (V = -2 sqrt(UW)): the fit holds "
            "U, V, W at the edge of physical widths; a shape that is mostly Lorentzian, or --shape tch"
        ]
    return []


def phase_warnings(phases: Sequence[PhaseFit], oriented: set[str] | frozenset[str] = frozenset()) -> list[str]:
    """Absent phases and overall B below the structure's (``oriented``: phases with a hint of preferred orientation)."""
    found = []
    for p in phases:
        if p.weight_fraction <= 0.0:
            found.append(
                f"phase {p.name} came out absent (its scale would be negative): the scan shows none of it, "
                "or another phase takes its peaks"
            )
        if p.b_overall < -max(NEGATIVE_B, 3.0 * p.b_overall_esd):
            found.append(
                f"phase {p.name}: overall B {p.b_overall:.3g} A^2 lowers the structure's B: "
                + (
                    "preferred orientation (see the hint) can do that too, or its displacement parameters "
                    "are too large for this scan"
                    if p.name in oriented
                    else "its displacement parameters look too large for this scan"
                )
            )
    return found


def correlation_warnings(names: Sequence[str], correlation: np.ndarray) -> list[str]:
    """One line per pair of refined parameters whose correlation exceeds ``CORRELATION_LIMIT`` in size."""
    found = []
    rows, columns = np.nonzero(np.triu(np.abs(correlation) > CORRELATION_LIMIT, k=1))
    for i, j in zip(rows.tolist(), columns.tolist()):
        found.append(
            f"{names[i]} and {names[j]} are correlated (rho {correlation[i, j]:+.3f}): the data hardly tell "
            "them apart, so their values trade off and each is less certain than it looks; hold one "
            "with --fix if it is known"
        )
    return found


def misfit_warning(rwp: float, rexp: float, weighting: str) -> list[str]:
    if weighting == "equal" or not (rexp > 0.0) or rwp / rexp <= MISFIT_LIMIT:
        return []
    return [
        (
            f"Rwp / Rexp = {rwp / rexp:.2f} is above {MISFIT_LIMIT:g}: a phase may be missing, or the "
            "instrument options (--monochromator, --radius, --wavelength) may not describe this scan"
        )
    ]
