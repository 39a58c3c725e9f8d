"""A refined structure as results: each site's coordinates, occupancy and B
with standard uncertainties, bond lengths with theirs, and the refined CIF.

Site values are linear in the structure parameters, so their covariance is
M C Mᵀ. A bond length depends on the coordinates and the cell; its
gradient by every refined parameter of the phase (atoms and cell factors)
is taken by central differences and carries the covariance the same way.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

import gemmi
import numpy as np

from ...structures.asymmetric_unit import AsymmetricUnit
from ...structures.bonds import Bond, bond_angle, bond_length, find_bonds
from ...structures.cif_writer import SiteRecord, cif_text
from .atom_parameters import AtomModel

Covariance = tuple[Sequence[str], np.ndarray]
"""Names of the parameters and their covariance matrix."""


def _block(covariance: Covariance, names: Sequence[str]) -> np.ndarray:
    """The covariance of ``names`` (zero rows for parameters without one: held or at a bound)."""
    listed, matrix = covariance
    index = {n: k for k, n in enumerate(listed)}
    positions = [index.get(n, -1) for n in names]
    out = np.zeros((len(names), len(names)))
    for a, pa in enumerate(positions):
        for b, pb in enumerate(positions):
            if pa >= 0 and pb >= 0:
                out[a, b] = matrix[pa, pb]
    return out


def _esd(variance: float) -> float | None:
    return math.sqrt(variance) if variance > 0.0 and math.isfinite(variance) else None


def refined_sites(
    model: AtomModel,
    values: Mapping[str, float],
    covariance: Covariance,
    b_overall: tuple[float, float | None] = (0.0, None),
) -> list[SiteRecord]:
    """Every site of the phase at the refined values, with uncertainties where refined.

    Parameters
    ----------
    model : AtomModel
        The phase's structure parameters.
    values : mapping of str to float
        Every parameter's value by name (the model's among them).
    covariance : (names, matrix)
        The refined parameters' covariance; a parameter without a row (held,
        or stopped at a bound) contributes no uncertainty.
    b_overall : (float, float or None)
        A refined overall B and its uncertainty, added to every site's B so
        that the sites give the fitted pattern on their own.

    Returns
    -------
    list of SiteRecord
        One per site, uncertainties None where nothing refined moved the value.
    """
    p = np.array([values[n] for n in model.names])
    coords, occupancies, b = model.site_values(p)
    site_cov = model.site_covariance(_block(covariance, model.names))
    variance = np.diag(site_cov)
    n = len(model.unit)
    extra, extra_esd = b_overall
    anisotropic = _anisotropic_rows(model.unit, model.lattice, extra)
    records = []
    for s in range(n):
        xyz = tuple(float(v) + 0.0 for v in coords[s])
        b_variance = variance[4 * n + s] + (extra_esd or 0.0) ** 2
        records.append(
            SiteRecord(
                model.unit.labels[s],
                gemmi.Element(int(model.unit.atomic_numbers[s])).name,
                (xyz[0], xyz[1], xyz[2]),
                float(occupancies[s]),
                float(b[s]) + extra,
                (_esd(variance[3 * s]), _esd(variance[3 * s + 1]), _esd(variance[3 * s + 2])),
                _esd(variance[3 * n + s]),
                _esd(b_variance),
                anisotropic[s],
            )
        )
    return records


def _anisotropic_rows(unit: AsymmetricUnit, lattice: np.ndarray, b_overall: float) -> list[tuple[float, ...] | None]:
    """Each site's anisotropic U (CIF convention), with an overall B added as the isotropic
    U = B / 8π² in the same convention (U G*_ij / (a*_i a*_j)); None for an isotropic site."""
    if unit.u_sites is None:
        return [None] * len(unit)
    reciprocal = np.linalg.inv(lattice).T
    metric = reciprocal @ reciprocal.T
    lengths = np.sqrt(np.diag(metric))
    shape = metric / np.outer(lengths, lengths)
    extra = b_overall / (8.0 * np.pi**2) * shape[[0, 1, 2, 0, 0, 1], [0, 1, 2, 1, 2, 2]]
    return [None if np.isnan(row[0]) else tuple(float(v) for v in row + extra) for row in unit.u_sites]


def sites_as_read(
    unit: AsymmetricUnit, lattice: np.ndarray, b_overall: tuple[float, float | None] = (0.0, None)
) -> list[SiteRecord]:
    """The sites of a phase whose structure was not refined (B with the overall B added)."""
    extra, extra_esd = b_overall
    return [
        SiteRecord(
            label,
            gemmi.Element(int(z)).name,
            (float(x[0]), float(x[1]), float(x[2])),
            float(occ),
            float(b) + extra,
            b_esd=extra_esd,
            u_aniso=u,
        )
        for label, z, x, occ, b, u in zip(
            unit.labels,
            unit.atomic_numbers,
            unit.frac_coords,
            unit.occupancies,
            unit.b_factors,
            _anisotropic_rows(unit, lattice, extra),
        )
    ]


def site_dicts(records: Sequence[SiteRecord]) -> list[dict]:
    """Sites as JSON objects: label, element, x, y, z, occupancy, b, each value with its ``_esd`` (null if fixed)."""
    out = []
    for r in records:
        entry: dict = {"label": r.label, "element": r.element}
        for axis, value, esd in zip("xyz", r.xyz, r.xyz_esd):
            entry[axis], entry[f"{axis}_esd"] = value, esd
        entry["occupancy"], entry["occupancy_esd"] = r.occupancy, r.occupancy_esd
        entry["b"], entry["b_esd"] = r.b, r.b_esd
        out.append(entry)
    return out


def occupancy_warnings(phases: Sequence) -> list[str]:
    """Sites whose occupancy left [0, 1]: the last of three or more species sharing a site takes what
    the others leave, which no bound on them can keep within it."""
    return [
        f"{phase.name} {site.label}: occupancy {site.occupancy:.4g} lies outside [0, 1]; hold some of the "
        "species sharing its site with --fix"
        for phase in phases
        for site in getattr(phase, "atoms", ())
        if not -1e-9 <= site.occupancy <= 1 + 1e-9
    ]


@dataclass(frozen=True)
class BondLength:
    """A refined distance: the two sites, its length (Å), its uncertainty (None
    if nothing moved it) and how many such neighbours the first site has."""

    first: str
    second: str
    distance: float
    esd: float | None
    bond: Bond
    count: int = 1


@dataclass(frozen=True)
class BondAngle:
    """A refined angle (degrees) at site ``apex`` between its bonds to
    ``first`` and ``second``, its uncertainty (None if nothing moved it) and
    how many such angles the apex has."""

    first: str
    apex: str
    second: str
    angle: float
    esd: float | None
    count: int = 1


def _esd_through(
    function: Callable[[Mapping[str, float]], float],
    base: Mapping[str, float],
    names: Sequence[str],
    block: np.ndarray,
) -> float | None:
    """The uncertainty of ``function`` of the parameters, by central differences and the covariance ``block``."""
    gradient = np.zeros(len(names))
    for k, name in enumerate(names):
        h = 1e-6 if " cell " in name else 1e-6 * max(1.0, abs(base[name]))
        up, down = dict(base), dict(base)
        up[name] += h
        down[name] -= h
        gradient[k] = (function(up) - function(down)) / (2.0 * h)
    return _esd(float(gradient @ block @ gradient))


def _refined_unit(model: AtomModel, values: Mapping[str, float]) -> AsymmetricUnit:
    coords, _, _ = model.site_values(np.array([values[n] for n in model.names]))
    return type(model.unit)(
        model.unit.labels,
        model.unit.atomic_numbers,
        coords,
        model.unit.occupancies,
        model.unit.b_factors,
        model.unit.operations,
        model.unit.symmetry,
        model.unit.images,
        model.unit.u_sites,
    )


def bond_angles(
    model: AtomModel,
    values: Mapping[str, float],
    lattice_of: Callable[[Mapping[str, float]], np.ndarray],
    covariance: Covariance,
    cutoff: float,
    cell_names: Sequence[str] = (),
) -> list[BondAngle]:
    """The angles at each site between its bonds shorter than ``cutoff`` Å,
    with uncertainties from the coordinates and the cell (parameters as
    `bond_lengths` takes them).

    Returns
    -------
    list of BondAngle
        By apex site, then angle; equal angles between bonds to the same
        two sites counted in one entry.
    """
    names = [n for n in [*model.names, *cell_names] if n in values]
    block = _block(covariance, names)
    seitz = model.unit.seitz
    labels = model.unit.labels
    base = dict(values)
    unit = _refined_unit(model, base)
    bonds = find_bonds(unit, lattice_of(base), cutoff)
    found: list[BondAngle] = []
    seen: dict[tuple[int, int, int, float], int] = {}
    for apex in range(len(labels)):
        own = [b for b in bonds if b.first == apex]
        for i, first in enumerate(own):
            for second in own[i + 1 :]:
                angle = bond_angle(first, second, unit.frac_coords, lattice_of(base), seitz)
                ends = sorted((first.second, second.second))
                key = (ends[0], apex, ends[1], round(angle, 3))
                if key in seen:  # the same angle between other images of the same sites: counted
                    earlier = found[seen[key]]
                    found[seen[key]] = dataclasses.replace(earlier, count=earlier.count + 1)
                    continue

                def measured(named: Mapping[str, float], first: Bond = first, second: Bond = second) -> float:
                    coords, _, _ = model.site_values(np.array([named[n] for n in model.names]))
                    return bond_angle(first, second, coords, lattice_of(named), seitz)

                seen[key] = len(found)
                found.append(
                    BondAngle(
                        labels[ends[0]],
                        labels[apex],
                        labels[ends[1]],
                        angle,
                        _esd_through(measured, base, names, block),
                    )
                )
    found.sort(key=lambda a: (labels.index(a.apex), a.angle))
    return found


def bond_lengths(
    model: AtomModel,
    values: Mapping[str, float],
    lattice_of: Callable[[Mapping[str, float]], np.ndarray],
    covariance: Covariance,
    cutoff: float,
    cell_names: Sequence[str] = (),
) -> list[BondLength]:
    """Distances from each site within ``cutoff`` Å, with uncertainties from the coordinates and the cell.

    Parameters
    ----------
    model : AtomModel
        The phase's structure parameters.
    values : mapping of str to float
        Every parameter's value by name.
    lattice_of : callable
        The cell vectors (rows, Å) for a mapping of parameter values.
    covariance : (names, matrix)
        The refined parameters' covariance.
    cutoff : float
        Å.
    cell_names : sequence of str
        The phase's cell parameters among ``values``.

    Returns
    -------
    list of BondLength
        By site, then distance; equal distances to images of the same site
        counted in one entry.
    """
    names = [n for n in [*model.names, *cell_names] if n in values]
    block = _block(covariance, names)
    seitz = model.unit.seitz

    def length(bond: Bond, named: Mapping[str, float]) -> float:
        coords, _, _ = model.site_values(np.array([named[n] for n in model.names]))
        return bond_length(bond, coords, lattice_of(named), seitz)

    base = dict(values)
    found: list[BondLength] = []
    seen: dict[tuple[int, int, float], int] = {}
    for bond in find_bonds(_refined_unit(model, base), lattice_of(base), cutoff):
        key = (bond.first, bond.second, round(bond.distance, 5))
        if key in seen:  # the same distance to another image of the same site: counted
            earlier = found[seen[key]]
            found[seen[key]] = dataclasses.replace(earlier, count=earlier.count + 1)
            continue
        seen[key] = len(found)
        esd = _esd_through(functools.partial(length, bond), base, names, block)
        found.append(
            BondLength(model.unit.labels[bond.first], model.unit.labels[bond.second], bond.distance, esd, bond)
        )
    return found


def structure_cif(
    name: str,
    unit: AsymmetricUnit,
    sites: Sequence[SiteRecord],
    cell: Sequence[float],
    cell_esd: Sequence[float | None],
    notes: Sequence[str] = (),
) -> str:
    """A phase's structure after the fit as CIF text: its sites, in its own setting and space group."""
    return cif_text(name, cell, cell_esd, unit.operations, sites, notes=notes)
