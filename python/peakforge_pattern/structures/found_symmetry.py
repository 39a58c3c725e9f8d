"""The space group the atoms of a structure given without symmetry follow.

Files written by programs that know no symmetry (relaxations, molecular
dynamics, supercells) list every atom in P1. Read as given, their families
are Friedel pairs and their extinguished reflections look like any other;
the atoms' own symmetry, found here with spglib within the same 0.01 Å the
pattern engine checks every operation with, gives the families and the
absences a reader expects.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, replace
from fractions import Fraction

import numpy as np

from .structure import Structure

SITE_TOLERANCE = 0.01
"""Å: how far an operation's image of an atom may lie from an atom like it."""

MAX_SEARCHED_ATOMS = 5000
"""Largest cell whose symmetry is searched. The search takes about 0.1 s at
2000 atoms and grows faster than the count, and Ctrl-C cannot stop it; a
larger P1 cell is computed as given (the engine's cost grows with it anyway)."""


@dataclass(frozen=True)
class FoundSymmetry:
    """A space group found from the atoms: its Hermann–Mauguin symbol as
    spglib writes it ("P6_3mc"), its number, and its operations as x,y,z
    triplets acting on the structure's own fractional coordinates."""

    symbol: str
    number: int
    operations: tuple[str, ...]

    def describe(self) -> str:
        return f"{self.symbol} (No. {self.number})"


def given_without_symmetry(structure: Structure) -> bool:
    """True for atoms given in P1: no operations, or the identity alone."""
    ops = {op.replace(" ", "").lower() for op in structure.symmetry_operations}
    return not ops or ops <= {"x,y,z", "+x,+y,+z"}


def _fraction(value: float, tolerance: float) -> Fraction:
    """``value`` as the fraction with the smallest denominator up to 48 within ``tolerance``."""
    for denominator in range(1, 49):
        numerator = round(value * denominator)
        if abs(value - numerator / denominator) <= tolerance:
            return Fraction(numerator, denominator) % 1
    return Fraction(value).limit_denominator(48) % 1


def _term(coefficient: int, axis: str) -> str:
    if coefficient == 0:
        return ""
    sign = "-" if coefficient < 0 else "+"
    size = abs(coefficient)
    return f"{sign}{'' if size == 1 else size}{axis}"


def operation_triplet(rotation: np.ndarray, translation: np.ndarray, tolerance: np.ndarray) -> str:
    """The x,y,z triplet of x' = R x + t, with t as small fractions."""
    parts = []
    for row, shift, tol in zip(rotation, translation, tolerance):
        text = "".join(_term(int(c), axis) for c, axis in zip(row, "xyz")).lstrip("+")
        fraction = _fraction(float(shift), float(tol))
        if fraction:
            text += f"+{fraction.numerator}/{fraction.denominator}"
        parts.append(text or "0")
    return ",".join(parts)


def _kinds(structure: Structure) -> np.ndarray:
    """One number per kind of atom: element, occupancy and displacement, as the engine tells atoms apart."""
    keys = list(zip(structure.atomic_numbers.tolist(), structure.occupancies.tolist(), structure.b_factors.tolist()))
    index = {key: i + 1 for i, key in enumerate(dict.fromkeys(keys))}
    return np.array([index[key] for key in keys], dtype=np.int32)


def find_symmetry(structure: Structure, tolerance: float = SITE_TOLERANCE) -> FoundSymmetry | None:
    """The space group the atoms follow within ``tolerance`` Å, or None when
    none could be found (spglib gives up on some disordered cells).

    The operations are those of the structure's own cell, centring and
    supercell shifts included.

    Examples
    --------
    >>> import numpy as np
    >>> fcc = np.array([[0, 0, 0], [0, .5, .5], [.5, 0, .5], [.5, .5, 0]])
    >>> si = Structure.from_arrays([5.431] * 3 + [90] * 3, ["Si"] * 8, np.vstack([fcc, fcc + .25]))
    >>> find_symmetry(si).describe()
    'Fd-3m (No. 227)'
    """
    cell = (np.ascontiguousarray(structure.lattice), np.ascontiguousarray(structure.frac_coords), _kinds(structure))
    # Imported here: only atoms given in P1 need it, and it takes a while to load.
    import spglib
    import spglib.error

    with warnings.catch_warnings():
        # spglib's notice about its coming error handling; both ways are caught here.
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            dataset = spglib.get_symmetry_dataset(cell, symprec=tolerance)  # type: ignore[arg-type]
        except spglib.error.SpglibError:  # raised once its new handling is the default
            dataset = None
    if dataset is None:
        return None
    edge_tolerance = tolerance / np.linalg.norm(structure.lattice, axis=1)
    operations = tuple(
        dict.fromkeys(operation_triplet(r, t, edge_tolerance) for r, t in zip(dataset.rotations, dataset.translations))
    )
    return FoundSymmetry(str(dataset.international), int(dataset.number), operations)


def with_found_symmetry(structure: Structure) -> tuple[Structure, str | None]:
    """For atoms given in P1 (the identity as their only operation) that follow
    a higher symmetry: the structure carrying that symmetry's operations, and
    a one-line note naming it. Anything else comes back as it is, without a note.

    Atoms given without any operation (``Structure.from_arrays``) keep the
    pattern engine's own search among the rotations of their lattice.
    """
    if not structure.symmetry_operations or not given_without_symmetry(structure):
        return structure, None
    if len(structure) > MAX_SEARCHED_ATOMS:
        return structure, (
            f"given in P1 with {len(structure)} atoms: computed in P1 (symmetry is looked for "
            f"in cells of up to {MAX_SEARCHED_ATOMS} atoms)"
        )
    found = find_symmetry(structure)
    if found is None or found.number == 1:
        return structure, None
    note = f"given in P1, its atoms follow {found.describe()}: reflections and families are those of {found.symbol}"
    return replace(structure, symmetry_operations=found.operations), note
