"""Interatomic distances from each site of an asymmetric unit to its
neighbours in the crystal, within a cutoff, and the angles two such bonds
make at their common site.

A bond runs from site i at x_i to the image R x_j + t + n of site j
(operation (R, t), lattice vector n); ``bond_length`` evaluates the same
bond for other coordinates and another cell, which is how a refinement
carries the uncertainties of both into the distance.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .asymmetric_unit import AsymmetricUnit

_SAME_ATOM = 1e-4  # Å: the site itself


@dataclass(frozen=True)
class Bond:
    """Site ``first`` to the image of site ``second`` by operation ``operation``
    (an index into the unit's operations) shifted by the lattice vector ``shift``."""

    first: int
    second: int
    operation: int
    shift: tuple[int, int, int]
    distance: float


def bond_length(bond: Bond, coords: np.ndarray, lattice: np.ndarray, seitz: np.ndarray) -> float:
    """Length (Å) of ``bond`` for site coordinates ``coords`` (sites × 3) and cell ``lattice`` (rows)."""
    op = seitz[bond.operation]
    image = op[:3, :3] @ coords[bond.second] + op[:3, 3] + np.asarray(bond.shift, dtype=float)
    return float(np.linalg.norm((image - coords[bond.first]) @ lattice))


def _bond_vector(bond: Bond, coords: np.ndarray, lattice: np.ndarray, seitz: np.ndarray) -> np.ndarray:
    op = seitz[bond.operation]
    image = op[:3, :3] @ coords[bond.second] + op[:3, 3] + np.asarray(bond.shift, dtype=float)
    return (image - coords[bond.first]) @ lattice


def bond_angle(first: Bond, second: Bond, coords: np.ndarray, lattice: np.ndarray, seitz: np.ndarray) -> float:
    """The angle (degrees) between two bonds from the same site, for site
    coordinates ``coords`` and cell ``lattice`` (as `bond_length` takes them)."""
    u = _bond_vector(first, coords, lattice, seitz)
    v = _bond_vector(second, coords, lattice, seitz)
    # atan2 of sine and cosine keeps its accuracy near 0 and 180 degrees, where acos loses half the digits.
    return math.degrees(math.atan2(float(np.linalg.norm(np.cross(u, v))), float(u @ v)))


def find_bonds(unit: AsymmetricUnit, lattice: np.ndarray, cutoff: float) -> list[Bond]:
    """Every distance from a site to an atom of the crystal shorter than ``cutoff`` Å.

    Each pair of sites appears once per distinct distance vector from the
    first site; listed by site, then distance.

    Parameters
    ----------
    unit : AsymmetricUnit
    lattice : (3, 3) array
        Cell vectors as rows, Å.
    cutoff : float
        Å.

    Returns
    -------
    list of Bond
    """
    if not (math.isfinite(cutoff) and cutoff > 0.0):
        return []
    seitz = unit.seitz
    site_of = unit.site_of
    chosen = unit.image_operations
    images = np.einsum("aij,aj->ai", seitz[chosen, :3, :3], unit.frac_coords[site_of]) + seitz[chosen, :3, 3]
    # Lattice vectors enough to reach the cutoff from anywhere in the cell.
    spacing = 1.0 / np.linalg.norm(np.linalg.inv(lattice), axis=0)
    reach = np.ceil(cutoff / spacing).astype(int) + 1
    grid = np.array(np.meshgrid(*(np.arange(-r, r + 1) for r in reach), indexing="ij")).reshape(3, -1).T
    bonds: list[Bond] = []
    for s, x in enumerate(unit.frac_coords):
        base = np.floor(images - x + 0.5)  # the image nearest x, then the grid around it
        delta = images[:, None, :] - base[:, None, :] + grid[None, :, :] - x
        distance = np.linalg.norm(delta @ lattice, axis=2)  # (atoms, shifts)
        atom, shift = np.nonzero((distance < cutoff) & (distance > _SAME_ATOM))
        for a, k in zip(atom.tolist(), shift.tolist()):
            n = tuple(int(v) for v in (grid[k] - base[a]))
            bonds.append(Bond(s, int(site_of[a]), int(chosen[a]), (n[0], n[1], n[2]), float(distance[a, k])))
    bonds.sort(key=lambda b: (b.first, b.distance, b.second))
    return bonds
