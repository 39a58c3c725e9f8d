"""Which cell parameters may change, and together, when a cell is refined.

The crystal system is read from the cell itself: lengths that are equal stay
equal, angles of 90° or 120° stay fixed, and equal other angles (the
rhombohedral setting) stay equal. That gives one free length for a cubic
cell, a and c for tetragonal and hexagonal ones, a and α for a rhombohedral
one, up to all six for a triclinic one.
"""

from __future__ import annotations

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
    def of(cls, structure: Structure) -> "CellConstraints":
        parameters = structure.cell_parameters
        lengths = _groups(parameters[:3], _LENGTH_TOLERANCE, relative=True)
        angles = [[3 + i for i in g] for g in _groups(parameters[3:], _ANGLE_TOLERANCE, relative=False)]
        free_angles = [g for g in angles
                       if min(abs(parameters[g[0]] - 90.0), abs(parameters[g[0]] - 120.0)) > _ANGLE_TOLERANCE]
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
