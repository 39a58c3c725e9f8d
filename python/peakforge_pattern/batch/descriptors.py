"""What a library row says about its structure beyond the peaks, for
filtering, labelling and identification: elements, space group, crystal
system, density; and each peak's |F|²·multiplicity before the
Lorentz–polarisation factor, which lets one library serve a scan measured at
any wavelength."""

from __future__ import annotations

import functools
from typing import Any

import gemmi
import numpy as np

from ..diffraction.engine_route import lorentz_polarisation
from ..diffraction.pattern import Pattern
from ..profiles.mixture import density
from ..structures.structure import Structure


def space_group(structure: Structure) -> gemmi.SpaceGroup | None:
    """The space group whose operations the structure was expanded with; None
    when they are not a tabulated setting. A structure without operations is P1."""
    return _group_of(structure.symmetry_operations or ("x,y,z",))


@functools.lru_cache(maxsize=256)
def _group_of(operations: tuple[str, ...]) -> gemmi.SpaceGroup | None:
    # A worker meets the same few lists of operations again and again.
    try:
        return gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(op) for op in operations]))
    except (RuntimeError, ValueError):
        return None


def structure_descriptors(structure: Structure) -> dict[str, Any]:
    """Sorted element symbols, space group number and symbol, crystal system,
    density (g/cm³) of a structure."""
    elements = sorted({gemmi.Element(int(z)).name for z in np.unique(structure.atomic_numbers)})
    group = space_group(structure)
    return {
        "elements": elements,
        "space_group_number": None if group is None else int(group.number),
        "space_group": None if group is None else group.hm,
        "crystal_system": None if group is None else group.crystal_system_str(),
        "density": density(structure),
    }


def structure_intensity(pattern: Pattern) -> np.ndarray:
    """|F|²·multiplicity of each peak, per unit cell: the absolute intensity
    without the Lorentz–polarisation factor the engine gave it."""
    factors = pattern.lorentz_polarisation
    if factors is None:
        factors = lorentz_polarisation(pattern.two_theta, pattern.radiation, pattern.monochromator_angle)
    return np.asarray(pattern.absolute_intensity, dtype=float) / factors
