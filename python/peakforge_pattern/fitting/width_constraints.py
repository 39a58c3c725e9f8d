"""Physical peak widths: the Gaussian width² U tan²θ + V tanθ + W kept at or
above zero at every angle, by the variables the optimiser moves.

Box bounds on U, V and W cannot say that a quadratic in t = tan θ stays
non-negative: U = 0.002, V = −0.02, W = 0.01 passes every bound and gives a
negative width² above 2θ ≈ 30°, where a profile would silently lose its
Gaussian part. A quadratic U t² + V t + W is non-negative for every t ≥ 0
exactly when U ≥ 0, W ≥ 0 and V ≥ −2√(UW), so with

    U = p²,   W = q²,   V = r − 2 p q,   p, q, r ≥ 0,

every box-bounded (p, q, r) is a physical width and every physical width has
one. The optimiser moves p, q and r in place of U, W and V (r = 0 is a
width that touches zero at tan θ = q / p); everything else still sees U, V
and W. The Lorentzian width X tan θ + Y / cos θ stays physical with X, Y ≥ 0,
which their bounds already say.

A held U or W enters with its value; a held V leaves U and W as they are
(what the user fixed is not moved to satisfy the constraint, and the fit
warns if the width² then falls below zero in the range).
"""

from __future__ import annotations

import math

import numpy as np

from .parameters import ParameterSet

P_UPPER, Q_UPPER, R_UPPER = 1.0, 1.0, 3.0
STEPS = {"U": 0.03, "W": 0.03, "V": 0.005}  # of p, q and r


class PhysicalWidths:
    """The map between the optimiser's variables z and the free parameters' values x.

    Parameters
    ----------
    parameters : ParameterSet
        The fit's parameters; the map is the identity unless V is refined.
    """

    def __init__(self, parameters: ParameterSet) -> None:
        names = [p.name for p in parameters.free]
        self.size = len(names)
        self.active = "V" in names and "U" in parameters and "W" in parameters
        self.v = names.index("V") if self.active else -1
        self.u = names.index("U") if self.active and "U" in names else -1
        self.w = names.index("W") if self.active and "W" in names else -1
        # A held U or W enters with its value (a negative one as 0).
        self.fixed_p = math.sqrt(max(parameters["U"].value, 0.0)) if self.active else 0.0
        self.fixed_q = math.sqrt(max(parameters["W"].value, 0.0)) if self.active else 0.0

    def maps(self, index: int) -> bool:
        """Whether the free parameter at ``index`` is one the map changes (U, V or W)."""
        return self.active and index in (self.u, self.v, self.w)

    def _pq(self, z: np.ndarray) -> tuple[float, float]:
        p = float(z[self.u]) if self.u >= 0 else self.fixed_p
        q = float(z[self.w]) if self.w >= 0 else self.fixed_q
        return p, q

    def external(self, z: np.ndarray) -> np.ndarray:
        """The parameters' values x for the optimiser's z."""
        x = np.array(z, dtype=float)
        if not self.active:
            return x
        p, q = self._pq(z)
        if self.u >= 0:
            x[self.u] = p * p
        if self.w >= 0:
            x[self.w] = q * q
        x[self.v] = float(z[self.v]) - 2.0 * p * q
        return x

    def internal(self, x: np.ndarray) -> np.ndarray:
        """The optimiser's z for the parameters' values x (a width² below zero is moved onto zero's edge)."""
        z = np.array(x, dtype=float)
        if not self.active:
            return z
        p = math.sqrt(max(float(x[self.u]), 0.0)) if self.u >= 0 else self.fixed_p
        q = math.sqrt(max(float(x[self.w]), 0.0)) if self.w >= 0 else self.fixed_q
        if self.u >= 0:
            z[self.u] = min(p, P_UPPER)
        if self.w >= 0:
            z[self.w] = min(q, Q_UPPER)
        z[self.v] = min(max(float(x[self.v]) + 2.0 * p * q, 0.0), R_UPPER)
        return z

    def bounds(self, lower: np.ndarray, upper: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The optimiser's bounds, from the parameters'."""
        low, high = np.array(lower, dtype=float), np.array(upper, dtype=float)
        if self.active:
            for index, top in ((self.u, P_UPPER), (self.w, Q_UPPER), (self.v, R_UPPER)):
                if index >= 0:
                    low[index], high[index] = 0.0, top
        return low, high

    def steps(self, steps: np.ndarray) -> np.ndarray:
        """The optimiser's scales, from the parameters'."""
        found = np.array(steps, dtype=float)
        if self.active:
            for index, name in ((self.u, "U"), (self.w, "W"), (self.v, "V")):
                if index >= 0:
                    found[index] = STEPS[name]
        return found

    def derivative(self, z: np.ndarray) -> np.ndarray:
        """dx/dz, a square matrix (the identity but for U, V and W)."""
        d = np.eye(self.size)
        if not self.active:
            return d
        p, q = self._pq(z)
        if self.u >= 0:
            d[self.u, self.u] = 2.0 * p
            d[self.v, self.u] = -2.0 * q
        if self.w >= 0:
            d[self.w, self.w] = 2.0 * q
            d[self.v, self.w] = -2.0 * p
        return d

    def touching_zero(self, z: np.ndarray, tolerance: float = 1e-9) -> float | None:
        """tan θ where the Gaussian width² touches zero (r at 0 with p > 0), else None."""
        if not self.active or float(z[self.v]) > tolerance:
            return None
        p, q = self._pq(z)
        return q / p if p > 0.0 else None


def gaussian_width_squared(u: float, v: float, w: float, two_theta: np.ndarray) -> np.ndarray:
    """U tan²θ + V tan θ + W at these 2θ (degrees)."""
    t = np.tan(np.radians(np.asarray(two_theta, dtype=float)) / 2.0)
    return u * t * t + v * t + w
