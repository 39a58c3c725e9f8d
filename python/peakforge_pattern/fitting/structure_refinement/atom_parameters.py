"""A phase's structure as refined parameters: the free coordinates of each
site, isotropic displacements per site or per element, and occupancies.

Every site value is an affine function of the parameters, v = v₀ + M p:

- coordinates move along each site's free directions (its site symmetry,
  from the space group's operations); sites that several species share
  move together; in a polar space group one coordinate of the heaviest
  site is held along each floating direction, which fixes the origin;
- B is one parameter per site (shared by the species of a shared site) or
  per element, bounded below by zero;
- occupancies are refined for partly occupied sites; the species sharing a
  site keep their total (the last takes what the others leave).

The linear map also carries the parameters' covariance to each site's
x, y, z, occupancy and B. Bounds keep a site within a share of its distance
to the nearest other atom, so that a refinement cannot drive sites onto
one another; the fit warns of any parameter left at a bound.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, replace

import gemmi
import numpy as np

from ...errors import InputError
from ...structures.asymmetric_unit import AsymmetricUnit, ListedSites
from ...structures.checks import SAME_POSITION
from ...structures.site_symmetry import floating_origin
from ...structures.structure import Structure

B_MODES = ("sites", "elements")
B_UPPER = 20.0
"""Largest isotropic B (Å²) a refinement may reach."""

MOVE_SHARE = 0.4
"""A site moves at most this share of its distance to the nearest other atom."""

MAX_MOVE = 1.0
"""... and never more than this many Å."""

OCCUPANCY_ROUNDING = 1e-12  # a shared site's remainder this far below zero is rounding of an exact 0

COORDINATE_STEP = 1e-3  # a meaningful change of a fractional coordinate, for the optimiser's scaling


@dataclass(frozen=True)
class AtomOptions:
    """What to refine of a phase's structure: coordinates, B (None, "sites"
    or "elements") and occupancies."""

    coordinates: bool = True
    b: str | None = None
    occupancy: bool = False

    def __post_init__(self) -> None:
        if self.b is not None and self.b not in B_MODES:
            raise InputError(f"B is refined per 'sites' or per 'elements', not {self.b!r}")

    @property
    def any(self) -> bool:
        return self.coordinates or self.b is not None or self.occupancy


@dataclass(frozen=True)
class AtomParameter:
    """One refined structure parameter: its name, start, bounds, typical step and kind."""

    name: str
    start: float
    lower: float
    upper: float
    typical: float
    kind: str  # "coordinate", "b" or "occupancy"


def _shared_groups(unit: AsymmetricUnit, lattice: np.ndarray) -> list[list[int]]:
    """Sites at one position (several species sharing it), as groups of site indices."""
    groups: list[list[int]] = []
    for s, x in enumerate(unit.frac_coords):
        for group in groups:
            delta = x - unit.frac_coords[group[0]]
            delta -= np.round(delta)
            if float(np.linalg.norm(delta @ lattice)) < SAME_POSITION:
                group.append(s)
                break
        else:
            groups.append([s])
    return groups


def nearest_distances(unit: AsymmetricUnit, lattice: np.ndarray) -> np.ndarray:
    """Per site, the distance (Å) to the nearest atom of the cell that is not
    itself nor a species sharing its position."""
    _, positions, _, _, _ = unit.expand()
    shifts = np.array(np.meshgrid([-1, 0, 1], [-1, 0, 1], [-1, 0, 1], indexing="ij")).reshape(3, -1).T
    result = np.full(len(unit), np.inf)
    for s, x in enumerate(unit.frac_coords):
        delta = positions[None, :, :] + shifts[:, None, :] - x  # (27, atoms, 3)
        delta -= np.round(delta)
        distance = np.linalg.norm(delta @ lattice, axis=2).min(axis=0)
        distance[distance < SAME_POSITION] = np.inf  # the site itself, or a species sharing it
        result[s] = float(distance.min(initial=np.inf))
    return result


class AtomModel:
    """One phase's sites as functions of its refined structure parameters.

    Parameters
    ----------
    structure : Structure
        The phase as read (its ``asymmetric_unit`` gives the sites).
    phase : str
        The phase's name, which starts every parameter's name.
    options : AtomOptions
        What to refine.

    Raises
    ------
    InputError
        When nothing of the structure can be refined under the options
        (every site on a fixed position, no partly occupied site, ...).
    """

    def __init__(self, structure: Structure, phase: str, options: AtomOptions) -> None:
        unit = structure.asymmetric_unit
        self.structure, self.phase, self.options = structure, phase, options
        self.lattice = structure.lattice
        self.notes: list[str] = []
        if options.b is not None and unit.u_sites is not None:
            # A refined isotropic B replaces the file's anisotropic U (its B_eq is the start).
            anisotropic = int(np.sum(~np.isnan(np.asarray(unit.u_sites)[:, 0])))
            unit = replace(unit, u_sites=None)
            if anisotropic:
                self.notes.append(
                    f"{phase}: the anisotropic U of {anisotropic} site(s) in the file is replaced by an isotropic B "
                    f"per {options.b[:-1]}, refined from its B_eq; the CIF written holds isotropic B"
                )
        self.unit = unit
        n = len(unit)
        self.groups = _shared_groups(unit, self.lattice)
        # Site values v = [x y z per site | occupancy per site | B per site] = v0 + M p.
        self.start_values = np.concatenate([unit.frac_coords.reshape(-1), unit.occupancies, unit.b_factors])
        columns: list[np.ndarray] = []
        self.parameters: list[AtomParameter] = []

        def add(
            name: str, column: np.ndarray, start: float, lower: float, upper: float, typical: float, kind: str
        ) -> None:
            columns.append(column)
            self.parameters.append(AtomParameter(f"{phase} {name}", start, lower, upper, typical, kind))

        if options.coordinates:
            reach = np.minimum(MOVE_SHARE * nearest_distances(unit, self.lattice), MAX_MOVE)
            pinned = self._pinned_axes()
            for group in self.groups:
                leader = group[0]
                site = unit.symmetry[leader]
                if leader in pinned:
                    site = site.constrained(pinned[leader])
                count = site.free.shape[1]
                for k, axis_name in enumerate(site.parameter_names):
                    column = np.zeros(5 * n)
                    for member in group:
                        column[3 * member : 3 * member + 3] = site.free[:, k]
                    length = float(np.linalg.norm(site.free[:, k] @ self.lattice))
                    limit = float(reach[leader]) / (length * max(count, 1))
                    value = float(site.position[site.free_axes[k]])
                    add(
                        f"{unit.labels[leader]} {axis_name}",
                        column,
                        value,
                        value - limit,
                        value + limit,
                        COORDINATE_STEP,
                        "coordinate",
                    )
        if options.occupancy:
            for group in self.groups:
                total = float(sum(unit.occupancies[s] for s in group))
                if len(group) == 1 and unit.occupancies[group[0]] >= 1.0 - 1e-6:
                    continue  # a full site alone: its occupancy is the phase's scale
                free = group if len(group) == 1 else group[:-1]
                for s in free:
                    column = np.zeros(5 * n)
                    column[3 * n + s] = 1.0
                    if len(group) > 1:
                        column[3 * n + group[-1]] = -1.0
                    # A shared site's species stay within its total; a site of its own within 0 and 1.
                    upper = min(1.0, total) if len(group) > 1 else 1.0
                    add(
                        f"{unit.labels[s]} occupancy",
                        column,
                        min(float(unit.occupancies[s]), upper),
                        0.0,
                        upper,
                        0.02,
                        "occupancy",
                    )
            if not any(p.kind == "occupancy" for p in self.parameters):
                self.notes.append(
                    f"{phase}: every site is fully occupied by one species; occupancies "
                    "stay (a full site's occupancy is the phase's scale)"
                )
        if options.b == "sites":
            for group in self.groups:
                column = np.zeros(5 * n)
                column[[4 * n + s for s in group]] = 1.0
                add(
                    f"{unit.labels[group[0]]} B",
                    column,
                    max(float(unit.b_factors[group[0]]), 0.0),
                    0.0,
                    B_UPPER,
                    0.1,
                    "b",
                )
        elif options.b == "elements":
            for z in dict.fromkeys(int(v) for v in unit.atomic_numbers):
                members = [s for s in range(n) if unit.atomic_numbers[s] == z]
                column = np.zeros(5 * n)
                column[[4 * n + s for s in members]] = 1.0
                add(
                    f"B({gemmi.Element(z).name})",
                    column,
                    max(float(np.mean(unit.b_factors[members])), 0.0),
                    0.0,
                    B_UPPER,
                    0.1,
                    "b",
                )
        if not self.parameters:
            raise InputError(
                f"{phase}: no structure parameter to refine (every site sits on a fixed "
                "position, or the origin fixes the only free coordinate)"
            )
        self.matrix = np.column_stack(columns)
        start = np.array([p.start for p in self.parameters])
        # v0 chosen so that the start parameters give the sites as read; species sharing
        # a site sit exactly where its first species does, and a refined B is the parameter itself.
        self.offset = self.start_values - self.matrix @ start
        if options.coordinates:
            for group in self.groups:
                for member in group[1:]:
                    self.offset[3 * member : 3 * member + 3] = self.offset[3 * group[0] : 3 * group[0] + 3]
        refined_b = np.any(self.matrix[4 * n :] != 0.0, axis=1)
        self.offset[4 * n :][refined_b] = 0.0

    def _pinned_axes(self) -> dict[int, list[int]]:
        """Site index → coordinate axes held to fix a floating origin (the heaviest site's)."""
        ops = [gemmi.Op(t) for t in self.unit.operations]
        _, axes = floating_origin(ops)
        if not axes:
            return {}
        weight = self.unit.atomic_numbers * self.unit.occupancies
        heaviest = int(np.argmax(weight))
        leader = next(group[0] for group in self.groups if heaviest in group)
        self.notes.append(
            f"{self.phase}: the origin floats along {', '.join('xyz'[a] for a in axes)}; "
            f"{self.unit.labels[leader]} holds it there"
        )
        return {leader: list(axes)}

    @functools.cached_property
    def atom_matrix(self) -> np.ndarray:
        """∂(atom values)/∂(parameters) over the expanded cell: (5 × atoms, parameters).

        Rows are [x y z per atom | occupancy per atom | B per atom] in the
        order ``structure_for`` expands the sites. An image x = R·x_site + t
        moves by R·(∂x_site/∂p), so a row block of coordinates is the image's
        rotation times its site's rows of ``matrix``; occupancy and B rows are
        their site's. Derivatives by the atoms of the cell (the engine's) times
        this matrix are derivatives by the parameters.
        """
        unit, n = self.unit, len(self.unit)
        site_of = unit.site_of
        rotations = unit.seitz[unit.image_operations, :3, :3]
        by_site = self.matrix[: 3 * n].reshape(n, 3, -1)
        coordinates = np.einsum("aij,ajp->aip", rotations, by_site[site_of]).reshape(3 * len(site_of), -1)
        return np.concatenate([coordinates, self.matrix[3 * n : 4 * n][site_of], self.matrix[4 * n :][site_of]])

    @property
    def names(self) -> list[str]:
        return [p.name for p in self.parameters]

    def site_values(self, values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Coordinates (sites × 3), occupancies and B of every site for these parameter values."""
        n = len(self.unit)
        v = self.offset + self.matrix @ np.asarray(values, dtype=float)
        return v[: 3 * n].reshape(n, 3), v[3 * n : 4 * n], v[4 * n :]

    def site_covariance(self, covariance: np.ndarray) -> np.ndarray:
        """Covariance of every site value [x y z per site | occupancies | B] from the parameters'."""
        return self.matrix @ covariance @ self.matrix.T

    def structure_for(self, values: np.ndarray) -> Structure:
        """The phase with its sites at these parameter values, expanded to the cell.

        Raises
        ------
        InputError
            An occupancy below zero: the last species of a site shared by
            three or more takes what the others leave, which no bound of a
            single parameter can keep from going negative.
        """
        coords, occupancies, b = self.site_values(values)
        unit = self.unit
        if np.any(occupancies < 0.0):
            below = int(np.argmin(occupancies))
            if occupancies[below] < -OCCUPANCY_ROUNDING:
                held = next(g[0] for g in self.groups if below in g)
                raise InputError(
                    f"{self.phase}: the occupancy of {unit.labels[below]} went below zero "
                    f"({occupancies[below]:.3g}) as the other species of its site took more; hold "
                    f'one of them (--fix "{self.phase} {unit.labels[held]} occupancy")'
                )
            occupancies = np.maximum(occupancies, 0.0)  # rounding of a sum that is exactly zero
        numbers, positions, occ, b_atoms, u_aniso = unit.expand(coords, occupancies, b, self.lattice)
        listed = ListedSites(
            unit.labels, unit.atomic_numbers, coords, occupancies, b, unit.operations, unit.multiplicities, unit.u_sites
        )
        # The sites' own operations, also for a structure given without any: the engine then keeps to
        # them instead of searching the moved atoms for symmetry, so every trial has the same peaks.
        return Structure(
            self.lattice,
            numbers,
            positions,
            occ,
            b_atoms,
            self.structure.name,
            unit.operations,
            self.structure.warnings,
            u_aniso,
            listed,
        )
