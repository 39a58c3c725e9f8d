"""A crystal structure as the pattern calculation needs it: every atom of one
unit cell, with its element, fractional position, occupancy and isotropic B."""

from __future__ import annotations

import functools
import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, replace

import gemmi
import numpy as np

from ..errors import InputError
from . import checks, cif, display
from .asymmetric_unit import AsymmetricUnit, ListedSites
from .checks import refuse_if_strict
from .elements import LAST_TABULATED_ELEMENT, is_tabulated
from .lattice import lattice_from_parameters

# An element symbol, optionally followed by a site number and a charge,
# as in "Si", "Na1+", "O2-" or "Fe3".
_SYMBOL = re.compile(r"\s*([A-Za-z]{1,2})(?:\d*[+-]?|[+-]\d*)\s*")


def atomic_number_of(species: object) -> int:
    """Atomic number of an element given by symbol ("Si", "Na1+", "Fe3") or number.

    Parameters
    ----------
    species : str or int
        An element symbol, optionally followed by a site number and a
        charge, or an atomic number.

    Returns
    -------
    int
        The atomic number.

    Raises
    ------
    InputError
        Neither a symbol nor a number, or an element outside the scattering
        table.
    """
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

    Made by `read_cif`, `parse_cif` or `Structure.from_arrays`; frozen.

    Attributes
    ----------
    lattice : numpy.ndarray
        The cell vectors a, b, c as rows (3×3, Å).
    atomic_numbers : numpy.ndarray
        Each atom's atomic number (int64).
    frac_coords : numpy.ndarray
        One row of fractional coordinates per atom (n×3).
    occupancies : numpy.ndarray
        Each atom's occupancy.
    b_factors : numpy.ndarray
        Each atom's isotropic displacement B = 8π²U in Å² (for an
        anisotropic atom, 8π²U_eq).
    name : str
        The structure's name (a CIF file's stem, or as given).
    symmetry_operations : tuple of str
        Coordinate triplets of the space group the atoms were generated
        with, in the coordinates of ``frac_coords`` (empty when not known).
    warnings : tuple of str
        One line for each implausible feature met on the way.
    u_aniso : numpy.ndarray or None
        Per atom the anisotropic displacement U11, U22, U33, U12, U13, U23
        in Å², in the convention of CIF files (components along the
        normalised reciprocal axes: the Debye–Waller factor is
        exp(-2π² Σ U_ij h_i h_j a*_i a*_j)); a row of NaN marks an atom
        given only isotropically.  None when every atom is isotropic.
    listed_sites : ListedSites or None
        The sites as the file listed them, for `asymmetric_unit` (None for
        a structure given as the full cell's atoms).
    common_name : str
        The name people use for it, from a CIF's mineral or common name
        ("brucite"; see `cif_names`), "" when the file gives none. A fit
        names a phase read from a file by it.
    """

    lattice: np.ndarray
    atomic_numbers: np.ndarray
    frac_coords: np.ndarray
    occupancies: np.ndarray
    b_factors: np.ndarray
    name: str = ""
    symmetry_operations: tuple[str, ...] = ()
    warnings: tuple[str, ...] = ()
    u_aniso: np.ndarray | None = None
    listed_sites: ListedSites | None = None
    common_name: str = ""

    @classmethod
    def from_arrays(
        cls,
        lattice: Sequence,
        species: Sequence,
        frac_coords: Sequence,
        occupancies: Sequence | None = None,
        b_factors: Sequence | None = None,
        *,
        name: str = "",
        u_aniso: Sequence | None = None,
        symmetry_operations: Sequence[str] = (),
    ) -> Structure:
        """Build a structure from plain arrays.

        The atoms must already fill the whole unit cell: no symmetry is
        applied.  Atoms that repeat one another at the same position count
        once; lesser problems are listed in the result's ``warnings``.

        Parameters
        ----------
        lattice : array_like
            Either the six cell parameters (a, b, c in Å; α, β, γ in degrees)
            or a 3×3 matrix whose rows are the cell vectors in Å.
        species : sequence of str or int
            Each atom's element, as a symbol ("Si", "Na1+") or atomic number.
        frac_coords : array_like
            One row of three fractional coordinates per atom.
        occupancies : array_like, optional
            One per atom, not negative; default 1.
        b_factors : array_like, optional
            Isotropic B in Å², one per atom; default 0.
        name : str
            The structure's name.
        u_aniso : array_like, optional
            Anisotropic displacements, n×6 (U11, U22, U33, U12, U13, U23 in
            Å², see the class); a row of NaN leaves that atom isotropic.
        symmetry_operations : sequence of str
            Coordinate triplets ("x,y,z", "-x,-y,z", ...) the atoms follow;
            they tell the pattern calculation the symmetry, nothing more.

        Returns
        -------
        Structure
            The checked structure.

        Raises
        ------
        InputError
            A lattice that is not six parameters or a 3×3 matrix, or that no
            crystal has; no atom; an unknown element; arrays whose lengths do
            not match the atoms; values that are not finite numbers; a
            negative occupancy or displacement.

        Examples
        --------
        >>> from peakforge_pattern import Structure
        >>> cscl = Structure.from_arrays([4.123, 4.123, 4.123, 90, 90, 90], ["Cs", "Cl"],
        ...                              [[0, 0, 0], [0.5, 0.5, 0.5]], name="CsCl")
        >>> len(cscl), cscl.symbols
        (2, ['Cs', 'Cl'])
        >>> round(cscl.d_spacing((1, 1, 0)), 4)
        2.9154
        """
        try:
            cell = np.asarray(lattice, dtype=float)
        except (TypeError, ValueError):
            raise InputError("lattice must be six cell parameters or a 3x3 matrix of numbers") from None
        if cell.shape == (6,):
            matrix = lattice_from_parameters(*(float(x) for x in cell))
        elif cell.shape == (3, 3):
            matrix = cell.copy()
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
        names = [f"atom {i + 1} ({gemmi.Element(int(z)).name})" for i, z in enumerate(numbers)]
        warnings = checks.displacement_problems(b, names, [False] * numbers.size)
        aniso = None if u_aniso is None else _anisotropic_rows(u_aniso, numbers.size)
        return assemble_structure(
            matrix,
            numbers,
            coords,
            occ,
            b,
            name=name,
            warnings=warnings,
            site_names=names,
            u_aniso=aniso,
            symmetry_operations=[str(op) for op in symmetry_operations],
        )

    @classmethod
    def from_cif(cls, path: str | os.PathLike[str], *, strict: bool = False) -> Structure:
        """Read a CIF file and expand its sites to the full unit cell.

        The same as `read_cif`, which documents the parameters and errors.

        Parameters
        ----------
        path : str or os.PathLike
            The CIF file (plain or gzipped).
        strict : bool
            Raise any warning as an InputError.

        Returns
        -------
        Structure
            Every atom of the cell.
        """
        return read_cif(path, strict=strict)

    def __len__(self) -> int:
        return int(self.atomic_numbers.size)

    @functools.cached_property
    def asymmetric_unit(self) -> AsymmetricUnit:
        """The sites the cell is built from, with their site symmetry.

        A structure read from a file has the sites it lists; one given as
        the full cell's atoms has one site per atom, in P1.
        """
        if self.listed_sites is not None:
            return self.listed_sites.asymmetric_unit(self.lattice)
        labels = [f"{symbol}{i + 1}" for i, symbol in enumerate(self.symbols)]
        return AsymmetricUnit.from_sites(
            labels,
            self.atomic_numbers,
            self.frac_coords,
            self.occupancies,
            self.b_factors,
            ("x,y,z",),
            self.lattice,
            u_sites=self.u_aniso,
        )

    def with_warnings(self, warnings: Sequence[str]) -> Structure:
        """The same structure with more warnings.

        Parameters
        ----------
        warnings : sequence of str
            Lines added after the structure's own.

        Returns
        -------
        Structure
            A copy; this one is unchanged.
        """
        return replace(self, warnings=self.warnings + tuple(warnings))

    @property
    def reciprocal(self) -> np.ndarray:
        """Reciprocal basis a*, b*, c* as rows, with a·a* = 1 (no factor 2π)."""
        return np.linalg.inv(self.lattice).T

    @property
    def cell_parameters(self) -> tuple[float, float, float, float, float, float]:
        """The cell's a, b, c (Å) and α, β, γ (degrees)."""
        a, b, c = (float(np.linalg.norm(v)) for v in self.lattice)
        va, vb, vc = self.lattice

        def angle(u, v, lu, lv):
            return math.degrees(math.acos(max(-1.0, min(1.0, float(u @ v) / (lu * lv)))))

        return a, b, c, angle(vb, vc, b, c), angle(va, vc, a, c), angle(va, vb, a, b)

    @property
    def symbols(self) -> list[str]:
        """Each atom's element symbol, in atom order."""
        return [gemmi.Element(int(z)).name for z in self.atomic_numbers]

    def d_spacing(self, hkl: Sequence[float]) -> float:
        """Interplanar spacing of the (hkl) planes.

        Parameters
        ----------
        hkl : sequence of float
            Miller indices h, k, l.

        Returns
        -------
        float
            The spacing d in Å.
        """
        return 1.0 / float(np.linalg.norm(np.asarray(hkl, dtype=float) @ self.reciprocal))

    def __repr__(self) -> str:
        return display.short_repr(self)

    def _repr_html_(self) -> str:
        """Notebook view: formula, space group, cell and the table of sites."""
        return display.structure_html(self)


def assemble_structure(
    lattice: np.ndarray,
    atomic_numbers: np.ndarray,
    frac_coords: np.ndarray,
    occupancies: np.ndarray,
    b_factors: np.ndarray,
    *,
    name: str = "",
    symmetry_operations: Sequence[str] = (),
    warnings: Sequence[str] = (),
    site_names: Sequence[str],
    site_of: np.ndarray | None = None,
    site_check: checks.SiteCheck | None = None,
    u_aniso: np.ndarray | None = None,
    cell_checked: bool = False,
    listed_sites: ListedSites | None = None,
    common_name: str = "",
) -> Structure:
    """A checked structure from validated arrays of every atom of the cell.

    Refuses cells no crystal has; atoms that repeat one another at the same
    position count once.  ``site_of`` maps each atom to the listed site in
    ``site_names`` it is an image of (default: one site per atom), and
    ``site_check`` is the close-site check when the caller already ran it,
    ``cell_checked`` says that ``warnings`` hold the cell's problems already.
    """
    found = list(warnings)
    if not cell_checked:
        found += checks.cell_problems(lattice)
    if site_check is None:
        site_check = checks.check_close_sites(lattice, atomic_numbers, frac_coords, occupancies, site_names, site_of)
    found += site_check.warnings
    keep = site_check.keep
    return Structure(
        lattice,
        atomic_numbers[keep],
        frac_coords[keep],
        occupancies[keep],
        b_factors[keep],
        name,
        tuple(symmetry_operations),
        tuple(dict.fromkeys(found)),
        None if u_aniso is None else u_aniso[keep],
        listed_sites,
        common_name,
    )


def _from_contents(contents: cif.CifContents) -> Structure:
    return assemble_structure(
        contents.lattice,
        contents.atomic_numbers,
        contents.frac_coords,
        contents.occupancies,
        contents.b_factors,
        name=contents.name,
        symmetry_operations=contents.symmetry_operations,
        warnings=contents.warnings,
        site_names=contents.site_names,
        site_of=contents.site_of,
        site_check=contents.site_check,
        u_aniso=contents.u_aniso,
        cell_checked=True,
        listed_sites=contents.listed_sites,
        common_name=contents.common_name,
    )


def parse_cif(data: bytes | str, name: str = "") -> Structure:
    """Read the first structure of CIF text, expanded to the full unit cell.

    Parameters
    ----------
    data : bytes or str
        The file's content; bytes may be gzipped, and bytes that are not
        UTF-8 are replaced (with a warning).
    name : str
        The structure's name.

    Returns
    -------
    Structure
        Every atom of the cell; lesser problems are listed in its ``warnings``.

    Raises
    ------
    InputError
        Text that cannot be parsed, that has no cell or no atom sites, whose
        symmetry cannot be applied, that holds an element outside the
        scattering table or an implausible value that cannot give a pattern
        (a flat cell, a negative displacement).
    """
    return _from_contents(cif.parse_cif_contents(data, name))


def read_cif(path: str | os.PathLike[str], *, strict: bool = False) -> Structure:
    """Read the first structure of a CIF file (plain or gzipped), expanded to the full unit cell.

    Parameters
    ----------
    path : str or os.PathLike
        The file; the structure is named after it.
    strict : bool
        Raise any warning as an InputError.

    Returns
    -------
    Structure
        Every atom of the cell.

    Raises
    ------
    InputError
        As parse_cif does, for a file that cannot be read, and with
        ``strict`` for any warning.

    Examples
    --------
    >>> from peakforge_pattern import example_path, read_cif
    >>> round(read_cif(example_path("silicon")).cell_parameters[0], 3)
    5.431
    """
    structure = _from_contents(cif.read_cif_contents(path))
    if strict:
        refuse_if_strict(structure.warnings)
    return structure
