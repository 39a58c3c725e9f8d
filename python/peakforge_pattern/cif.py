"""Reading a structure from a CIF file: cell, symmetry and atom sites."""

from __future__ import annotations

import math
from pathlib import Path

import gemmi
import numpy as np

from .errors import InputError
from .scattering import LAST_TABULATED_ELEMENT, is_tabulated
from .structure import Structure, lattice_from_parameters
from .symmetry import expanded_u_aniso

_EIGHT_PI_SQUARED = 8.0 * math.pi * math.pi


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _structure_block(doc: gemmi.cif.Document) -> gemmi.cif.Block:
    """The first data block that lists atom sites (else the first block)."""
    if len(doc) == 0:
        raise InputError("no data block")
    for block in doc:
        if block.find_values("_atom_site_fract_x"):
            return block
    return doc[0]


def _check_symmetry(small: gemmi.SmallStructure, block: gemmi.cif.Block) -> None:
    """Refuse symmetry the file states but that cannot be applied.

    Without this a file naming an unknown group, or listing operations in
    a setting that is not recognised, would silently lose every atom that
    symmetry generates.
    """
    if small.spacegroup is not None:
        return
    if len(small.symops) > 1:
        raise InputError("the symmetry operations do not form a recognised space-group setting")
    for tag in ("_space_group_name_H-M_alt", "_symmetry_space_group_name_H-M",
                "_space_group_name_Hall", "_symmetry_space_group_name_Hall",
                "_space_group_IT_number", "_symmetry_Int_Tables_number"):
        value = block.find_value(tag)
        if value is not None and gemmi.cif.as_string(value).strip() not in ("", "?", "."):
            raise InputError(f"unknown space group {gemmi.cif.as_string(value).strip()!r}")


def _isotropic_u(site: gemmi.SmallStructure.Site, lattice: np.ndarray) -> float:
    """U_iso, or U_eq = trace(U_cart)/3 when the file gives only anisotropic U."""
    if site.u_iso != 0.0 or not site.aniso.nonzero():
        return site.u_iso
    u = site.aniso
    u_cif = np.array([[u.u11, u.u12, u.u13], [u.u12, u.u22, u.u23], [u.u13, u.u23, u.u33]])
    n = np.diag(np.linalg.norm(np.linalg.inv(lattice).T, axis=1))
    columns = lattice.T
    u_cart = columns @ n @ u_cif @ n @ columns.T
    return float(np.trace(u_cart)) / 3.0


def read_cif(path: str | Path) -> Structure:
    """Read the first structure of a CIF file, expanded to the full unit cell.

    Raises InputError for a file that cannot be read or parsed, that has no
    cell or no atom sites, whose symmetry cannot be applied, or that holds
    an element outside the scattering table.
    """
    path = Path(path)
    try:
        with open(path, "rb"):
            pass  # a plain "no such file" or "is a directory" beats the parser's wording
    except OSError as exc:
        raise InputError(f"cannot read: {exc.strerror or _one_line(exc)}") from None
    try:
        doc = gemmi.cif.read(str(path))
    except (RuntimeError, ValueError, OSError) as exc:
        raise InputError(f"cannot read: {_one_line(exc)}") from None
    block = _structure_block(doc)
    if any(block.find_value(f"_cell_length_{axis}") is None for axis in "abc"):
        raise InputError("no unit cell (_cell_length_a, _cell_length_b, _cell_length_c)")
    try:
        small = gemmi.make_small_structure_from_block(block)
    except (RuntimeError, ValueError) as exc:
        raise InputError(f"cannot read the structure: {_one_line(exc)}") from None
    if len(small.sites) == 0:
        raise InputError("no atom sites (_atom_site_fract_x, _atom_site_fract_y, _atom_site_fract_z)")
    _check_symmetry(small, block)

    cell = small.cell
    lattice = lattice_from_parameters(cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma)
    numbers, coords, occupancies, b_factors = [], [], [], []
    expanded = small.get_all_unit_cell_sites()
    operations = list(small.spacegroup.operations()) if small.spacegroup is not None else []
    for site in expanded:
        z = site.element.atomic_number
        if not is_tabulated(z):
            symbol = site.type_symbol or site.label
            raise InputError(f"unknown element {symbol!r} at site {site.label} "
                             f"(elements 1 to {LAST_TABULATED_ELEMENT} are covered)")
        numbers.append(z)
        coords.append((site.fract.x, site.fract.y, site.fract.z))
        occupancies.append(site.occ)
        b_factors.append(_EIGHT_PI_SQUARED * _isotropic_u(site, lattice))
    u_aniso = expanded_u_aniso(list(small.sites), expanded, operations, lattice)
    return Structure.from_arrays(lattice, numbers, coords, occupancies, b_factors, name=path.stem,
                                 u_aniso=u_aniso, symmetry_operations=[op.triplet() for op in operations])
