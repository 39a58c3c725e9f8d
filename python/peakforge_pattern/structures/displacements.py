"""Anisotropic displacements: read per site from a CIF file and put in the
form the pattern engine takes (assembly.image_tensors carries them to every
symmetry image)."""

from __future__ import annotations

import math

import gemmi
import numpy as np

_TWO_PI_SQUARED = 2.0 * math.pi * math.pi
_EIGHT_PI_SQUARED = 8.0 * math.pi * math.pi
_ANISO_COLUMNS = (
    (("U_11", "U_22", "U_33", "U_12", "U_13", "U_23"), 1.0),
    (("B_11", "B_22", "B_33", "B_12", "B_13", "B_23"), 1.0 / _EIGHT_PI_SQUARED),
)


def site_tensors(block: gemmi.cif.Block, labels: list[str]) -> np.ndarray | None:
    """U11, U22, U33, U12, U13, U23 (Å², CIF convention) per site, from the
    anisotropic U_ij (or B_ij) loop; NaN rows for sites it does not list.
    None when the file gives no anisotropic displacement."""
    for columns, scale in _ANISO_COLUMNS:
        table = block.find("_atom_site_aniso_", ["label", *columns])
        if not table:
            continue
        by_label: dict[str, list[float]] = {}
        for row in table:
            values = [gemmi.cif.as_number(row[k]) * scale for k in range(1, 7)]
            if all(math.isfinite(v) for v in values):
                by_label.setdefault(gemmi.cif.as_string(row[0]), values)
        if not by_label:
            return None
        return np.array([by_label.get(label, [math.nan] * 6) for label in labels], dtype=float)
    return None


def _axis_scale(lattice: np.ndarray) -> np.ndarray:
    """|a*|, |b*|, |c*|: CIF U_ij are components along these axes."""
    return np.linalg.norm(np.linalg.inv(lattice).T, axis=1)


def _tensor(row: np.ndarray) -> np.ndarray:
    u11, u22, u33, u12, u13, u23 = row
    return np.array([[u11, u12, u13], [u12, u22, u23], [u13, u23, u33]])


def _row(tensor: np.ndarray) -> np.ndarray:
    return np.array([tensor[0, 0], tensor[1, 1], tensor[2, 2], tensor[0, 1], tensor[0, 2], tensor[1, 2]])


def rotate_u(u_row: np.ndarray, rotation: np.ndarray, lattice: np.ndarray) -> np.ndarray:
    """U of the image of an atom under a rotation of fractional coordinates.

    Fractional displacements transform as Δx' = R Δx, so their covariance
    C = N U N (N = diag(|a*|, |b*|, |c*|)) becomes R C Rᵀ.
    """
    n = _axis_scale(lattice)
    c = rotation @ (_tensor(u_row) * np.outer(n, n)) @ rotation.T
    return _row(c / np.outer(n, n))


def debye_waller_beta(u_aniso: np.ndarray, lattice: np.ndarray) -> np.ndarray:
    """β (11, 22, 33, 12, 13, 23) with T = exp(-(β11 h² + ... + 2 β23 k l)).

    β_ij = 2π² a*_i a*_j U_ij; NaN rows (isotropic atoms) stay NaN.
    """
    n = _axis_scale(lattice)
    scale = _TWO_PI_SQUARED * np.array([n[0] * n[0], n[1] * n[1], n[2] * n[2], n[0] * n[1], n[0] * n[2], n[1] * n[2]])
    return np.ascontiguousarray(u_aniso * scale)
