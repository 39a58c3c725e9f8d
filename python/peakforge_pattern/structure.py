"""A crystal structure as the pattern calculation needs it: every atom of one
unit cell, with its element, fractional position, occupancy and isotropic B."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Sequence

import gemmi
import numpy as np

from .errors import InputError
from .scattering import LAST_TABULATED_ELEMENT, is_tabulated

# An element symbol, optionally followed by a site number and a charge,
# as in "Si", "Na1+", "O2-" or "Fe3".
_SYMBOL = re.compile(r"\s*([A-Za-z]{1,2})(?:\d*[+-]?|[+-]\d*)\s*")


def lattice_from_parameters(a: float, b: float, c: float,
                            alpha: float, beta: float, gamma: float) -> np.ndarray:
    """Lattice vectors as rows, in Å: a along x, b in the xy plane."""
    for length in (a, b, c):
        if not (math.isfinite(length) and length > 0.0):
            raise InputError(f"cell lengths must be positive, got {a}, {b}, {c}")
    for angle in (alpha, beta, gamma):
        if not (math.isfinite(angle) and 0.0 < angle < 180.0):
            raise InputError(f"cell angles must lie between 0 and 180 degrees, got {alpha}, {beta}, {gamma}")
    ca, cb, cg = (math.cos(math.radians(x)) for x in (alpha, beta, gamma))
    sg = math.sin(math.radians(gamma))
    cx = c * cb
    cy = c * (ca - cb * cg) / sg
    cz_squared = c * c - cx * cx - cy * cy
    if cz_squared <= 0.0:
        raise InputError(f"cell angles {alpha}, {beta}, {gamma} do not make a three-dimensional cell")
    return np.array([[a, 0.0, 0.0],
                     [b * cg, b * sg, 0.0],
                     [cx, cy, math.sqrt(cz_squared)]])


def atomic_number_of(species: object) -> int:
    """Atomic number of an element given by symbol ("Si", "Na1+") or number."""
    if isinstance(species, (int, np.integer)) and not isinstance(species, bool):
        z = int(species)
    elif isinstance(species, str):
        match = _SYMBOL.fullmatch(species)
        z = gemmi.Element(match.group(1)).atomic_number if match else 0
    else:
        raise InputError(f"species must be element symbols or atomic numbers, not {species!r}")
    if not is_tabulated(z):
        raise InputError(f"unknown element {species!r} (elements 1 to {LAST_TABULATED_ELEMENT} are covered)")
    return z


def _column(values: object, count: int, default: float, what: str) -> np.ndarray:
    if values is None:
        return np.full(count, default)
    try:
        array = np.asarray(values, dtype=float).reshape(-1)
    except (TypeError, ValueError):
        raise InputError(f"{what} must be numbers") from None
    if array.shape != (count,):
        raise InputError(f"{what}: expected {count} values, one per atom, got {array.size}")
    if not np.all(np.isfinite(array)):
        raise InputError(f"{what} must be finite")
    return array


def _anisotropic_rows(values: object, count: int) -> np.ndarray:
    try:
        array = np.asarray(values, dtype=float)
    except (TypeError, ValueError):
        raise InputError("anisotropic displacements must be numbers") from None
    if array.shape != (count, 6):
        raise InputError(f"anisotropic displacements: expected {count} rows of 6, got shape {array.shape}")
    isotropic = np.all(np.isnan(array), axis=1)
    if not np.all(np.isfinite(array[~isotropic])):
        raise InputError("anisotropic displacements must be finite (or a whole row of NaN)")
    return array


@dataclass(frozen=True, eq=False)
class Structure:
    """All atoms of one unit cell.

    ``lattice`` holds the cell vectors a, b, c as rows (Å); ``frac_coords``
    one row of fractional coordinates per atom; ``b_factors`` the isotropic
    displacement B = 8π²U in Å² (for an anisotropic atom, 8π²U_eq).
    ``u_aniso`` (or None) holds per atom the anisotropic displacement
    U11, U22, U33, U12, U13, U23 in Å², in the convention of CIF files
    (components along the reciprocal axes, normalised: the Debye–Waller
    factor is exp(-2π² Σ U_ij h_i h_j a*_i a*_j)); a row of NaN marks an atom
    given only isotropically. ``symmetry_operations`` are the operations
    (x,y,z triplets) of the space group that generated the atoms, in the
    cell's own setting; empty when unknown.
    """

    lattice: np.ndarray
    atomic_numbers: np.ndarray
    frac_coords: np.ndarray
    occupancies: np.ndarray
    b_factors: np.ndarray
    name: str = ""
    u_aniso: np.ndarray | None = None
    symmetry_operations: tuple[str, ...] = ()

    @classmethod
    def from_arrays(cls, lattice: Sequence, species: Sequence, frac_coords: Sequence,
                    occupancies: Sequence | None = None, b_factors: Sequence | None = None,
                    *, name: str = "", u_aniso: Sequence | None = None,
                    symmetry_operations: Sequence[str] = ()) -> "Structure":
        """Build a structure from plain arrays.

        ``lattice`` is either the six cell parameters (a, b, c in Å, α, β, γ
        in degrees) or a 3×3 matrix whose rows are the cell vectors in Å.
        ``species`` gives each atom's element as a symbol or atomic number.
        Occupancies default to 1 and B to 0.  The atoms must already fill
        the whole unit cell: no symmetry is applied; ``symmetry_operations``
        only tells the pattern calculation which symmetry they follow.
        ``u_aniso`` (n×6, see the class) gives anisotropic displacements.
        """
        try:
            cell = np.asarray(lattice, dtype=float)
        except (TypeError, ValueError):
            raise InputError("lattice must be six cell parameters or a 3x3 matrix of numbers") from None
        if cell.shape == (6,):
            matrix = lattice_from_parameters(*(float(x) for x in cell))
        elif cell.shape == (3, 3):
            matrix = cell.copy()
            volume = abs(np.linalg.det(matrix)) if np.all(np.isfinite(matrix)) else 0.0
            if not volume > 1e-9 * np.prod(np.linalg.norm(matrix, axis=1)):
                raise InputError("lattice vectors must be finite and span three dimensions")
        else:
            raise InputError(f"lattice must be six cell parameters or a 3x3 matrix, got shape {cell.shape}")

        numbers = np.array([atomic_number_of(s) for s in species], dtype=np.int64)
        if numbers.size == 0:
            raise InputError("the structure has no atoms")
        try:
            coords = np.asarray(frac_coords, dtype=float)
        except (TypeError, ValueError):
            raise InputError("fractional coordinates must be numbers") from None
        if coords.shape != (numbers.size, 3):
            raise InputError(f"fractional coordinates: expected {numbers.size} rows of 3, got shape {coords.shape}")
        if not np.all(np.isfinite(coords)):
            raise InputError("fractional coordinates must be finite")
        occ = _column(occupancies, numbers.size, 1.0, "occupancies")
        if np.any(occ < 0.0):
            raise InputError("occupancies must not be negative")
        b = _column(b_factors, numbers.size, 0.0, "B factors")
        aniso = None if u_aniso is None else _anisotropic_rows(u_aniso, numbers.size)
        operations = tuple(str(op) for op in symmetry_operations)
        return cls(matrix, numbers, coords, occ, b, name, aniso, operations)

    @classmethod
    def from_cif(cls, path) -> "Structure":
        """Read a CIF file and expand its sites to the full unit cell."""
        from .cif import read_cif
        return read_cif(path)

    def __len__(self) -> int:
        return int(self.atomic_numbers.size)

    @property
    def reciprocal(self) -> np.ndarray:
        """Reciprocal basis a*, b*, c* as rows, with a·a* = 1 (no factor 2π)."""
        return np.linalg.inv(self.lattice).T

    @property
    def cell_parameters(self) -> tuple[float, float, float, float, float, float]:
        a, b, c = (float(np.linalg.norm(v)) for v in self.lattice)
        va, vb, vc = self.lattice

        def angle(u, v, lu, lv):
            return math.degrees(math.acos(max(-1.0, min(1.0, float(u @ v) / (lu * lv)))))

        return a, b, c, angle(vb, vc, b, c), angle(va, vc, a, c), angle(va, vb, a, b)

    @property
    def symbols(self) -> list[str]:
        return [gemmi.Element(int(z)).name for z in self.atomic_numbers]

    def d_spacing(self, hkl: Sequence[float]) -> float:
        """Interplanar spacing of the (hkl) planes, in Å."""
        return 1.0 / float(np.linalg.norm(np.asarray(hkl, dtype=float) @ self.reciprocal))

    def __repr__(self) -> str:
        formula = {}
        for symbol, occ in zip(self.symbols, self.occupancies):
            formula[symbol] = formula.get(symbol, 0.0) + occ
        content = " ".join(f"{s}{n:g}" for s, n in formula.items())
        a, b, c, al, be, ga = self.cell_parameters
        return (f"Structure({self.name or 'unnamed'}: {content}; "
                f"a={a:.4f} b={b:.4f} c={c:.4f} α={al:.2f} β={be:.2f} γ={ga:.2f})")
