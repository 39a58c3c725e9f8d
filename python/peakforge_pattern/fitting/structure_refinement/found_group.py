"""A structure given in P1 refined in the space group its atoms follow.

Refined as given, every atom of a P1 file moves on its own: the atoms that
symmetry makes equivalent get separate coordinates and B the scan cannot
tell apart, and their uncertainties run to hundreds of Å². The group the
atoms follow (``structures/found_symmetry.py``) says which atoms are images
of one another: one of each orbit is kept as the site, the group's
operations make the others, and the site's own symmetry then leaves only
the coordinates it allows free (as for a file that states its group).
"""

from __future__ import annotations

import dataclasses

import gemmi
import numpy as np

from ...errors import InputError
from ...structures.asymmetric_unit import ListedSites
from ...structures.found_symmetry import SITE_TOLERANCE, given_without_symmetry, with_found_symmetry
from ...structures.structure import Structure


def in_found_group(structure: Structure, phase: str) -> tuple[Structure, str | None]:
    """The structure with its sites in the group its atoms follow, and a note; as it is for other files.

    Raises
    ------
    InputError
        When its atoms follow a higher group that cannot be used here (a
        cell whose operations cannot be written, or more atoms than the
        search takes): refining each atom on its own is refused.
    """
    if not structure.symmetry_operations or not given_without_symmetry(structure):
        return structure, None
    found, note = with_found_symmetry(structure)
    if note is None:
        return structure, None  # P1 indeed: every atom is its own site
    if found is structure:
        raise InputError(
            f"{phase}: {note}; refining each of its atoms on its own would leave the coordinates and B "
            "undetermined: give the file in its space group"
        )
    listed = _orbits(found)
    if listed is None:
        raise InputError(f"{phase}: {note}, but its atoms do not fall into that group's orbits: give it in its group")
    refined = dataclasses.replace(found, listed_sites=listed)
    return refined, f"{phase}: {note}; its structure is refined in that group, under each site's symmetry"


def _orbits(structure: Structure) -> ListedSites | None:
    """One site per orbit of the structure's operations (None when an atom fits no orbit)."""
    operations = [gemmi.Op(t) for t in structure.symmetry_operations]
    rotations = np.array([np.array(op.rot, dtype=float) / op.DEN for op in operations])
    shifts = np.array([np.array(op.tran, dtype=float) / op.DEN for op in operations])
    coords = np.asarray(structure.frac_coords, dtype=float)
    numbers, occupancies = np.asarray(structure.atomic_numbers), np.asarray(structure.occupancies)
    owner = np.full(len(coords), -1)
    sites: list[int] = []
    counts: list[int] = []
    for i in range(len(coords)):
        if owner[i] >= 0:
            continue
        owner[i] = i
        images = np.einsum("oij,j->oi", rotations, coords[i]) + shifts
        same = np.flatnonzero((owner < 0) & (numbers == numbers[i]) & np.isclose(occupancies, occupancies[i]))
        for j in same:
            offsets = images - coords[j]
            offsets -= np.round(offsets)
            if np.min(np.linalg.norm(offsets @ structure.lattice, axis=1)) <= SITE_TOLERANCE * 2:
                owner[j] = i
        sites.append(i)
        counts.append(int(np.sum(owner == i)))
    if np.any(owner < 0):
        return None
    chosen = np.array(sites)
    symbols = [gemmi.Element(int(numbers[i])).name for i in chosen]
    return ListedSites(
        tuple(f"{s}{k + 1}" for k, s in enumerate(symbols)),
        numbers[chosen],
        coords[chosen],
        occupancies[chosen],
        np.asarray(structure.b_factors, dtype=float)[chosen],
        tuple(structure.symmetry_operations),
        np.array(counts),
    )
