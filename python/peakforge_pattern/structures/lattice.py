"""Cell geometry: the lattice vectors of six cell parameters."""

from __future__ import annotations

import math

import numpy as np

from ..errors import InputError
from . import checks


def lattice_from_parameters(a: float, b: float, c: float, alpha: float, beta: float, gamma: float) -> np.ndarray:
    """Lattice vectors as rows, in Å: a along x, b in the xy plane."""
    checks.check_cell_lengths((a, b, c))
    for angle in (alpha, beta, gamma):
        if not (math.isfinite(angle) and 0.0 < angle < 180.0):
            raise InputError(f"cell angles must lie between 0 and 180 degrees, got {alpha}, {beta}, {gamma}")
    ca, cb, cg = (math.cos(math.radians(x)) for x in (alpha, beta, gamma))
    sg = math.sin(math.radians(gamma))
    if not sg > 0.0:  # a subnormal gamma: radians() underflows and a, b fall on one line
        raise InputError(f"cell angles {alpha}, {beta}, {gamma} do not make a three-dimensional cell")
    cx = c * cb
    cy = c * (ca - cb * cg) / sg
    cz_squared = c * c - cx * cx - cy * cy
    if cz_squared <= 0.0:
        raise InputError(f"cell angles {alpha}, {beta}, {gamma} do not make a three-dimensional cell")
    return np.array([[a, 0.0, 0.0], [b * cg, b * sg, 0.0], [cx, cy, math.sqrt(cz_squared)]])
