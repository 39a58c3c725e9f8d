"""Which cell parameters may change, and together, when a cell is refined.

The crystal system is read from the cell itself: lengths that are equal stay
equal, angles of 90° or 120° stay fixed, and equal other angles (the
rhombohedral setting) stay equal. That gives one free length for a cubic
cell, a and c for tetragonal and hexagonal ones, a and α for a rhombohedral
one, up to all six for a triclinic one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..structures.lattice import lattice_from_parameters
from ..structures.structure import Structure

_LENGTH_TOLERANCE = 1e-5  # relative
_ANGLE_TOLERANCE = 1e-4  # degrees
_NAMES = ("a", "b", "c", "alpha", "beta", "gamma")


def _groups(values: tuple[float, ...], tolerance: float, relative: bool) -> list[list[int]]:
    groups: list[list[int]] = []
    for i, value in enumerate(values):
        for group in groups:
            reference = values[group[0]]
            limit = tolerance * abs(reference) if relative else tolerance
            if abs(value - reference) <= limit:
                group.append(i)
                break
        else:
            groups.append([i])
    return groups


@dataclass(frozen=True)
class CellConstraints:
    """The cell's parameters and the groups of them that vary as one factor."""

    parameters: tuple[float, float, float, float, float, float]
    groups: tuple[tuple[int, ...], ...]

    @classmethod
    def of(cls, structure: Structure) -> CellConstraints:
        parameters = structure.cell_parameters
        lengths = _groups(parameters[:3], _LENGTH_TOLERANCE, relative=True)
        angles = [[3 + i for i in g] for g in _groups(parameters[3:], _ANGLE_TOLERANCE, relative=False)]
        free_angles = [
            g for g in angles if min(abs(parameters[g[0]] - 90.0), abs(parameters[g[0]] - 120.0)) > _ANGLE_TOLERANCE
        ]
        return cls(parameters, tuple(tuple(g) for g in lengths + free_angles))

    @property
    def names(self) -> list[str]:
        return ["=".join(_NAMES[i] for i in group) for group in self.groups]

    def cell(self, factors: np.ndarray) -> tuple[float, ...]:
        """Cell parameters with each group multiplied by its factor."""
        values = list(self.parameters)
        for group, factor in zip(self.groups, factors):
            for i in group:
                values[i] = self.parameters[i] * float(factor)
        return tuple(values)

    def reciprocal(self, factors: np.ndarray) -> np.ndarray:
        """Reciprocal basis (rows, no 2π) of the changed cell."""
        return np.linalg.inv(lattice_from_parameters(*self.cell(factors))).T

    def volume(self, factors: np.ndarray) -> float:
        return float(abs(np.linalg.det(lattice_from_parameters(*self.cell(factors)))))

    def spacing_derivatives(self, hkl: np.ndarray, factors: np.ndarray) -> np.ndarray:
        """∂d/∂factor of each reflection for each group of cell parameters.

        1/d² = hᵀ G⁻¹ h with the metric G of the cell, so
        ∂d/∂f = (d³ / 2) hᵀ G⁻¹ (∂G/∂f) G⁻¹ h.

        Parameters
        ----------
        hkl : ndarray (reflections, 3)
            Miller indices.
        factors : ndarray (groups,)
            The groups' factors at which to differentiate.

        Returns
        -------
        ndarray (reflections, groups)
            ∂d/∂factor in Å.
        """
        a, b, c, alpha, beta, gamma = self.cell(factors)
        ca, cb, cg = (math.cos(math.radians(v)) for v in (alpha, beta, gamma))
        sa, sb, sg = (math.sin(math.radians(v)) for v in (alpha, beta, gamma))
        metric = np.array(
            [[a * a, a * b * cg, a * c * cb], [a * b * cg, b * b, b * c * ca], [a * c * cb, b * c * ca, c * c]]
        )
        inverse = np.linalg.inv(metric)
        rad = math.pi / 180.0
        by_parameter = [  # ∂G/∂(a, b, c, α, β, γ), angles in degrees
            np.array([[2 * a, b * cg, c * cb], [b * cg, 0, 0], [c * cb, 0, 0]]),
            np.array([[0, a * cg, 0], [a * cg, 2 * b, c * ca], [0, c * ca, 0]]),
            np.array([[0, 0, a * cb], [0, 0, b * ca], [a * cb, b * ca, 2 * c]]),
            np.array([[0, 0, 0], [0, 0, -b * c * sa], [0, -b * c * sa, 0]]) * rad,
            np.array([[0, 0, -a * c * sb], [0, 0, 0], [-a * c * sb, 0, 0]]) * rad,
            np.array([[0, -a * b * sg, 0], [-a * b * sg, 0, 0], [0, 0, 0]]) * rad,
        ]
        h = np.asarray(hkl, dtype=float).reshape(-1, 3)
        g_h = h @ inverse
        d = 1.0 / np.sqrt(np.einsum("ni,ni->n", g_h, h))
        out = np.zeros((h.shape[0], len(self.groups)))
        for k, group in enumerate(self.groups):
            d_metric = sum(self.parameters[i] * by_parameter[i] for i in group)
            out[:, k] = 0.5 * d**3 * np.einsum("ni,ij,nj->n", g_h, d_metric, g_h)
        return out
