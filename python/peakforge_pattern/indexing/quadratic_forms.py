"""The quadratic form of each crystal system: Q = 1/d² as a linear function
of a few parameters.

Q(hkl) = A h² + B k² + C l² + D kl + E hl + F hk, with A = a*², D = 2 b* c*
cos α* and so on. Each system ties these six to fewer free parameters, and
Q stays linear in them: that is what makes a trial solution one small linear
solve and the refinement (with a zero shift) linear least squares.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..errors import InputError


@dataclass(frozen=True)
class QuadraticForm:
    """One crystal system's Q(hkl) = features(hkl) · p.

    ``general`` maps the system's parameters p onto the six general ones
    (A, B, C, D, E, F): general = p @ general.
    """

    system: str
    general: np.ndarray  # (parameters, 6)

    @property
    def size(self) -> int:
        return int(self.general.shape[0])

    def features(self, hkl: np.ndarray) -> np.ndarray:
        """(n, parameters) features of Miller indices (n, 3)."""
        return general_features(hkl) @ self.general.T

    def parameters(self, general: np.ndarray) -> np.ndarray:
        """The system's parameters from the six general ones (least squares, exact when they fit the system)."""
        return np.linalg.lstsq(self.general.T, np.asarray(general, dtype=float), rcond=None)[0]


def general_features(hkl: np.ndarray) -> np.ndarray:
    """h², k², l², kl, hl, hk of Miller indices (n, 3)."""
    h, k, l = (np.asarray(hkl, dtype=float)[:, i] for i in range(3))
    return np.column_stack([h * h, k * k, l * l, k * l, h * l, h * k])


_GENERAL = {
    "cubic": [[1, 1, 1, 0, 0, 0]],
    "tetragonal": [[1, 1, 0, 0, 0, 0], [0, 0, 1, 0, 0, 0]],
    # Hexagonal axes (also the rhombohedral lattices'): a*·b* = a*²/2, so F = A.
    "hexagonal": [[1, 1, 0, 0, 0, 1], [0, 0, 1, 0, 0, 0]],
    "orthorhombic": [[1, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 0], [0, 0, 1, 0, 0, 0]],
    # b unique: only α* = γ* = 90°.
    "monoclinic": [[1, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 0], [0, 0, 1, 0, 0, 0], [0, 0, 0, 0, 1, 0]],
    "triclinic": np.eye(6).tolist(),
}

FORMS = {system: QuadraticForm(system, np.array(rows, dtype=float)) for system, rows in _GENERAL.items()}
"""The quadratic form of each crystal system (rhombohedral lattices in hexagonal axes)."""

SYSTEM_OF_LATTICE = {
    "c": "cubic",
    "t": "tetragonal",
    "h": "hexagonal",
    "o": "orthorhombic",
    "m": "monoclinic",
    "a": "triclinic",
}
"""Crystal family letter of a Bravais symbol → the quadratic form it is refined in."""


def reciprocal_metric(general: np.ndarray) -> np.ndarray:
    """The reciprocal metric tensor(s) G* of general parameters (..., 6) → (..., 3, 3)."""
    g = np.asarray(general, dtype=float)
    a, b, c, d, e, f = (g[..., i] for i in range(6))
    return np.stack(
        [
            np.stack([a, f / 2, e / 2], axis=-1),
            np.stack([f / 2, b, d / 2], axis=-1),
            np.stack([e / 2, d / 2, c], axis=-1),
        ],
        axis=-2,
    )


def cell_of(general: np.ndarray) -> tuple[float, float, float, float, float, float]:
    """a, b, c (Å) and α, β, γ (degrees) of general parameters.

    Raises
    ------
    InputError
        When the parameters are not a lattice's (the metric is not positive definite).
    """
    metric_star = reciprocal_metric(general)
    if np.any(np.linalg.eigvalsh(metric_star) <= 0.0):
        raise InputError("these parameters describe no lattice")
    metric = np.linalg.inv(metric_star)
    lengths = np.sqrt(np.diag(metric))
    cosines = [metric[1, 2] / (lengths[1] * lengths[2]), metric[0, 2] / (lengths[0] * lengths[2])]
    cosines.append(metric[0, 1] / (lengths[0] * lengths[1]))
    angles = np.degrees(np.arccos(np.clip(cosines, -1.0, 1.0)))
    return (*map(float, lengths), *map(float, angles))  # type: ignore[return-value]


def general_of_cell(cell: tuple[float, ...]) -> np.ndarray:
    """General parameters (A..F) of a cell (a, b, c, α, β, γ)."""
    a, b, c = cell[:3]
    ca, cb, cg = np.cos(np.radians(cell[3:6]))
    metric = np.array(
        [[a * a, a * b * cg, a * c * cb], [a * b * cg, b * b, b * c * ca], [a * c * cb, b * c * ca, c * c]]
    )
    star = np.linalg.inv(metric)
    return np.array([star[0, 0], star[1, 1], star[2, 2], 2 * star[1, 2], 2 * star[0, 2], 2 * star[0, 1]])


def volume_of(general: np.ndarray) -> np.ndarray:
    """Cell volume(s) (Å³) of general parameters (..., 6); NaN where no lattice."""
    det = np.linalg.det(reciprocal_metric(general))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(det > 0.0, 1.0 / np.sqrt(np.where(det > 0.0, det, 1.0)), np.nan)


def miller_indices(general: np.ndarray, q_max: float) -> np.ndarray:
    """Every hkl (one of each ±pair, 000 left out) with Q ≤ q_max for these general parameters."""
    metric = np.linalg.inv(reciprocal_metric(general))
    # |h| ≤ a·|d*|: the largest index along each axis.
    with np.errstate(invalid="ignore"):
        limits = np.floor(np.sqrt(np.diag(metric) * q_max)) + 1
    if not np.all(np.isfinite(limits)) or np.prod(2.0 * limits + 1) > 400_000:
        raise InputError("the cell is too large for this range of peaks")
    limits = limits.astype(int)
    # Half of reciprocal space: h > 0, or h = 0 and k > 0, or h = k = 0 and l > 0.
    h, k, l = np.meshgrid(
        np.arange(0, limits[0] + 1),
        np.arange(-limits[1], limits[1] + 1),
        np.arange(-limits[2], limits[2] + 1),
        indexing="ij",
    )
    h, k, l = h.ravel(), k.ravel(), l.ravel()
    half = (h > 0) | ((h == 0) & ((k > 0) | ((k == 0) & (l > 0))))
    hkl = np.column_stack([h[half], k[half], l[half]])
    q = general_features(hkl) @ np.asarray(general, dtype=float)
    keep = q <= q_max
    order = np.argsort(q[keep], kind="stable")
    return hkl[keep][order]
