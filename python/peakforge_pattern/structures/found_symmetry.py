"""The space group the atoms of a structure given without symmetry follow.

Files written by programs that know no symmetry (relaxations, molecular
dynamics, supercells) list every atom in P1. Read as given, their families
are Friedel pairs and their extinguished reflections look like any other;
the atoms' own symmetry, found here with moyopy within the same 0.01 Å the
pattern engine checks every operation with, gives the families and the
absences a reader expects.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, replace
from fractions import Fraction
from typing import Any

import gemmi
import numpy as np

from .assembly import close_pairs
from .structure import Structure

SITE_TOLERANCE = 0.01
"""Å: how far an operation's image of an atom may lie from an atom like it."""

MAX_SEARCHED_ATOMS = 2000
"""Largest cell whose symmetry is searched. Ctrl-C cannot stop the search,
which grows with the square of the atoms in a supercell (every shift is
checked against every atom): about 0.5 s for 2000 atoms of one kind, 2.3 s
for 4000. A larger P1 cell is computed as given, with a note."""


@dataclass(frozen=True)
class FoundSymmetry:
    """A space group found from the atoms: its short Hermann–Mauguin symbol
    written without spaces ("P6_3mc"), its number, and its operations as x,y,z
    triplets acting on the structure's own fractional coordinates.

    A cell whose axes do not keep the whole point group (a cubic crystal
    doubled along one edge) holds only the operations whose rotations keep
    it: ``rotations_kept`` of the group's ``rotations``."""

    symbol: str
    number: int
    operations: tuple[str, ...]
    rotations_kept: int
    rotations: int

    def describe(self) -> str:
        return f"{self.symbol} (No. {self.number})"


def given_without_symmetry(structure: Structure) -> bool:
    """True for atoms given in P1: no operations, or the identity alone."""
    ops = {op.replace(" ", "").lower() for op in structure.symmetry_operations}
    return not ops or ops <= {"x,y,z", "+x,+y,+z"}


_DENOMINATORS = np.arange(1, 49, dtype=float)


def _fractions(values: np.ndarray, tolerance: float) -> tuple[np.ndarray, np.ndarray]:
    """Each value as numerators and denominators: the fraction in [0, 1) with
    the smallest denominator up to 48 within ``tolerance``, in lowest terms."""
    numerators = np.round(values[:, None] * _DENOMINATORS)
    close = np.abs(values[:, None] - numerators / _DENOMINATORS) <= tolerance
    first = close.argmax(axis=1)
    rows = np.arange(values.size)
    bottom = first.astype(np.int64) + 1
    top = numerators[rows, first].astype(np.int64) % bottom
    common = np.gcd(top, bottom)
    tops, bottoms = top // common, bottom // common
    for i in np.flatnonzero(~close[rows, first]).tolist():
        # nothing within the tolerance: the nearest with a denominator up to 48
        fraction = Fraction(float(values[i])).limit_denominator(48) % 1
        tops[i], bottoms[i] = fraction.numerator, fraction.denominator
    return tops, bottoms


@functools.lru_cache(maxsize=4096)
def _line_text(rx: int, ry: int, rz: int, numerator: int, denominator: int) -> str:
    """One line of a triplet: (1, -1, 0) shifted by 1/3 is "x-y+1/3"."""
    terms = []
    for coefficient, axis in ((rx, "x"), (ry, "y"), (rz, "z")):
        if coefficient:
            size = abs(coefficient)
            terms.append(f"{'-' if coefficient < 0 else '+'}{'' if size == 1 else size}{axis}")
    text = "".join(terms).lstrip("+")
    if numerator:
        text += f"+{numerator}/{denominator}"
    return text or "0"


def operation_triplets(rotations: np.ndarray, translations: np.ndarray, tolerance: np.ndarray) -> list[str]:
    """The x,y,z triplets of x' = R x + t for a stack of operations, with t as small fractions."""
    rotations = np.asarray(rotations, dtype=np.int64).reshape(-1, 3, 3)
    shifts = np.asarray(translations, dtype=float).reshape(-1, 3)
    tolerances = np.broadcast_to(np.asarray(tolerance, dtype=float), (3,))
    numerators = np.empty(shifts.shape, dtype=np.int64)
    denominators = np.empty(shifts.shape, dtype=np.int64)
    for axis in range(3):
        # A supercell's operations repeat a few shifts many times: each distinct one is settled once.
        values, where = np.unique(shifts[:, axis], return_inverse=True)
        tops, bottoms = _fractions(values, float(tolerances[axis]))
        numerators[:, axis] = tops[where]
        denominators[:, axis] = bottoms[where]
    lines = [
        _line_text(rx, ry, rz, numerator, denominator)
        for (rx, ry, rz), numerator, denominator in zip(
            rotations.reshape(-1, 3).tolist(), numerators.reshape(-1).tolist(), denominators.reshape(-1).tolist()
        )
    ]
    return [",".join(lines[i : i + 3]) for i in range(0, len(lines), 3)]


@functools.lru_cache(maxsize=4096)
def _writable(triplet: str) -> bool:
    """Whether gemmi (and so every reader of a structure's operations) takes the triplet."""
    try:
        gemmi.Op(triplet)
    except (RuntimeError, ValueError):
        return False
    return True


def _kinds(structure: Structure) -> np.ndarray:
    """One number per kind of atom: element, occupancy and displacement, as the engine tells atoms apart."""
    keys = list(zip(structure.atomic_numbers.tolist(), structure.occupancies.tolist(), structure.b_factors.tolist()))
    index = {key: i + 1 for i, key in enumerate(dict.fromkeys(keys))}
    return np.array([index[key] for key in keys], dtype=np.int32)


def _sites(structure: Structure, tolerance: float) -> tuple[np.ndarray, np.ndarray]:
    """The points the search sees and their kinds: atoms within ``tolerance``
    of each other (the atoms of a shared or mixed site) become one point, whose
    kind is the set of atoms on it. An operation maps such points onto points of
    the same kind exactly when it maps every atom onto an atom like it."""
    kinds = _kinds(structure)
    first, second, _ = close_pairs(structure.lattice, structure.frac_coords, tolerance)
    if not len(first):
        return structure.frac_coords, kinds
    owner = list(range(len(kinds)))

    def root(i: int) -> int:
        while owner[i] != i:
            owner[i] = owner[owner[i]]
            i = owner[i]
        return i

    for i, j in zip(first.tolist(), second.tolist()):
        owner[max(root(i), root(j))] = min(root(i), root(j))
    # Each point is its lowest-numbered atom, so the points keep the atoms' order.
    members: dict[int, list[int]] = {}
    for atom, kind in enumerate(kinds.tolist()):
        members.setdefault(root(atom), []).append(kind)
    mixes = [tuple(sorted(kinds_on_site)) for kinds_on_site in members.values()]
    names = {mix: i + 1 for i, mix in enumerate(dict.fromkeys(mixes))}
    return structure.frac_coords[list(members)], np.array([names[mix] for mix in mixes], dtype=np.int32)


@functools.cache
def _moyopy() -> Any:
    """moyopy, imported on first use: only atoms given in P1 need it."""
    import logging

    import moyopy

    # moyopy warns through logging when a group's operations do not all fit the
    # cell as given (a supercell of lower lattice symmetry, a skewed cell): those
    # that fit are the ones this cell's reflections follow, which is what is wanted.
    logging.getLogger("moyo").setLevel(logging.ERROR)
    return moyopy


def find_symmetry(structure: Structure, tolerance: float = SITE_TOLERANCE) -> FoundSymmetry | None:
    """The space group the atoms follow within ``tolerance`` Å, or None when
    none could be found.

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
    moyopy = _moyopy()

    points, kinds = _sites(structure, tolerance)
    cell = moyopy.Cell(structure.lattice.tolist(), points.tolist(), kinds.tolist())
    try:
        dataset = moyopy.MoyoDataset(cell, symprec=tolerance)
    except ValueError:  # no primitive cell or group settles within the tolerance
        return None
    operations = dataset.operations
    edge_tolerance = tolerance / np.linalg.norm(structure.lattice, axis=1)
    rotations = np.array(operations.rotations, dtype=np.int64).reshape(-1, 9)
    triplets = operation_triplets(rotations, np.array(operations.translations), edge_tolerance)
    symbol = moyopy.SpaceGroupType(dataset.number).hm_short.replace(" ", "")
    point_group = len(gemmi.find_spacegroup_by_number(dataset.number).operations().sym_ops)
    kept = len(set(map(tuple, rotations.tolist())))
    return FoundSymmetry(symbol, int(dataset.number), tuple(dict.fromkeys(triplets)), kept, point_group)


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
    if not all(map(_writable, found.operations)):
        # In a supercell or a skewed cell the operations can need terms like
        # -2x+y or shifts in ninths, which the readers of operations
        # downstream cannot hold: such a file is computed as it was given.
        return structure, (
            f"given in P1, its atoms follow {found.describe()}, but not with operations this cell "
            "can write as x,y,z triplets: computed in P1"
        )
    if found.rotations_kept < found.rotations:
        kept = found.rotations_kept
        note = (
            f"given in P1, its atoms follow {found.describe()}, of whose {found.rotations} rotations this "
            f"cell's axes keep {kept}: reflections and families are those of these {kept}"
        )
    else:
        note = f"given in P1, its atoms follow {found.describe()}: reflections and families are those of {found.symbol}"
    return replace(structure, symmetry_operations=found.operations), note
