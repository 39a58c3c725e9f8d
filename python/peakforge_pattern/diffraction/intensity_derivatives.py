"""Peak intensities and their derivatives with respect to every atom of the cell.

A peak's absolute intensity is I = Σ_f m_f · LP(θ_f) · |F(h_f)|² over the
families f merged into it (one representative h_f per family, m_f of its
reflections). With F = Σ_j f_j(s) · o_j · T_j(h) · exp(2πi h·x_j) and
q_j = conj(F) · f_j · exp(2πi h·x_j):

    ∂|F|²/∂x_j = −4π h · o_j T_j · Im q_j      (x_j fractional, per axis)
    ∂|F|²/∂B_j = −2 s² · o_j T_j · Re q_j       (isotropic T_j = exp(−B_j s²), s = 1/(2d))
    ∂|F|²/∂o_j = 2 T_j · Re q_j

Derivatives are with respect to each atom of the expanded cell, as the
structure holds them. A refinement moves a site together with its images
x_image = R·x_site + t, so ∂/∂x_site = Σ_images Rᵀ ∂/∂x_image (see
``sum_over_images``); |F|² of the representative stands for every member of
its family because the moved structure keeps the symmetry. For a site on
a special position whose images coincide (one atom kept), the sum through
any one of its images agrees along the directions the site symmetry leaves
free, which are the only ones a constrained refinement moves.

An anisotropic atom's B is not used: its B derivative is 0.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from ..structures.displacements import debye_waller_beta
from ..structures.structure import Structure
from .engine_route import engine_columns
from .radiation import check_radiation, species_tables
from .wavelengths import resolve_wavelength
from .work import shell_radii

_MOTT_BETHE = 41.78214  # 8π² a0 (Å), as the engine
_MERGE_TOLERANCE = 1e-5  # degrees 2θ, the pattern's own
_RELATIVE_THRESHOLD = 1e-3  # peaks below this (strongest 100) are dropped, as in the pattern


@dataclass(frozen=True, eq=False)
class IntensityDerivatives:
    """Peaks of a structure with their absolute intensities and derivatives.

    Rows are the peaks of ``compute_pattern`` for the same arguments (same
    merging and threshold, increasing 2θ); columns of the derivative arrays
    the atoms of the structure in its order.

    Attributes
    ----------
    two_theta, d : ndarray (peaks,)
        Peak position (degrees) and spacing (Å).
    intensity : ndarray (peaks,)
        Σ m·|F|²·LP over the peak's reflections: ``Pattern.absolute_intensity``.
    hkl : ndarray (families, 3) of int
        One reflection of each family; peak i holds families
        ``family_offsets[i]`` to ``family_offsets[i + 1] - 1``.
    family_multiplicity : ndarray (families,) of int
    family_offsets : ndarray (peaks + 1,) of int
    d_frac : ndarray (peaks, atoms, 3)
        ∂intensity/∂(x, y, z) of each atom, per unit of fractional coordinate.
    d_b : ndarray (peaks, atoms)
        ∂intensity/∂B of each atom, per Å² (0 for anisotropic atoms).
    d_occupancy : ndarray (peaks, atoms)
        ∂intensity/∂occupancy of each atom.
    """

    two_theta: np.ndarray
    d: np.ndarray
    intensity: np.ndarray
    hkl: np.ndarray
    family_multiplicity: np.ndarray
    family_offsets: np.ndarray
    d_frac: np.ndarray
    d_b: np.ndarray
    d_occupancy: np.ndarray

    def __len__(self) -> int:
        return int(self.two_theta.size)


def _lorentz_polarisation(theta: np.ndarray, radiation: str, monochromator_angle: float) -> np.ndarray:
    """The engine's factor: 1/(sin²θ cosθ) times the polarisation (X-rays)."""
    s = np.sin(theta)
    lorentz = 1.0 / (s * s * np.cos(theta))
    if radiation == "neutron":
        return lorentz
    c = np.cos(2.0 * theta)
    if monochromator_angle == 0.0:
        return (c * c + 1.0) * lorentz
    cm2 = math.cos(math.radians(monochromator_angle)) ** 2
    return 2.0 * (cm2 * c * c + 1.0) / (cm2 + 1.0) * lorentz


def _scattering_factors(z: np.ndarray, pairs: np.ndarray, constants: np.ndarray, radiation: str,
                        s2: np.ndarray) -> np.ndarray:
    """Complex f of each species (columns) at each s² (rows)."""
    if radiation == "neutron":
        return np.broadcast_to(constants[:, 0] + 1j * constants[:, 1], (s2.size, z.size))
    terms = pairs[None, :, :, 0] * np.exp(-s2[:, None, None] * pairs[None, :, :, 1])
    f0 = z[None, :] - _MOTT_BETHE * s2[:, None] * terms.sum(axis=2)
    return f0 + constants[None, :, 0] + 1j * constants[None, :, 1]


def intensity_derivatives(structure: Structure, wavelength: float | str = "CuKa",
                          two_theta_range: Sequence[float] = (0.0, 90.0), *,
                          reciprocal: np.ndarray | None = None, radiation: str = "xray",
                          anomalous: bool = False, monochromator_angle: float = 0.0,
                          relative_threshold: float = _RELATIVE_THRESHOLD) -> IntensityDerivatives:
    """Peak intensities of a structure and their derivatives for each atom.

    Parameters
    ----------
    structure : Structure
        Every atom of the cell (as ``Structure.from_cif`` expands it).
    wavelength : float or str
        Å, or an anode line name ("CuKa").
    two_theta_range : pair of float
        Degrees.
    reciprocal : ndarray (3, 3), optional
        Reciprocal basis (rows, no 2π) of a changed cell; default the structure's.
    radiation, anomalous, monochromator_angle
        As for ``compute_pattern``.
    relative_threshold : float
        Peaks below this on the 0–100 scale are left out (0 keeps every peak).

    Returns
    -------
    IntensityDerivatives
        Peaks in increasing 2θ, intensities on the absolute scale and their
        derivatives for each atom's x, y, z, B and occupancy.

    Raises
    ------
    InputError
        For a radiation or wavelength that cannot be computed.

    Examples
    --------
    >>> from peakforge_pattern.examples import example_path  # doctest: +SKIP
    >>> result = intensity_derivatives(Structure.from_cif("corundum.cif"), "CuKa", (20, 80))  # doctest: +SKIP
    >>> result.d_frac.shape  # doctest: +SKIP
    (17, 30, 3)
    """
    check_radiation(radiation, bool(anomalous))
    lam = resolve_wavelength(wavelength)
    lo, hi = (float(v) for v in two_theta_range)
    min_g, max_g = shell_radii(lam, (lo, hi))
    basis = structure.reciprocal if reciprocal is None else np.asarray(reciprocal, dtype=float)
    table = engine_columns(structure, lam, min_g, max_g, reciprocal=basis, radiation=radiation,
                           anomalous=bool(anomalous), monochromator_angle=float(monochromator_angle),
                           merge_tolerance=_MERGE_TOLERANCE, relative_threshold=float(relative_threshold),
                           parallel=True, num_threads=0, use_simd=True)
    hkl = np.asarray(table["family_hkl"], dtype=np.int64).reshape(-1, 3)
    counts = np.asarray(table["family_multiplicity"], dtype=np.int64)
    offsets = np.asarray(table["family_offsets"], dtype=np.int64)
    d_frac, d_b, d_occ = _reference_derivatives(structure, basis, lam, hkl, counts, offsets, radiation,
                                                bool(anomalous), float(monochromator_angle))
    return IntensityDerivatives(np.asarray(table["two_theta"]), np.asarray(table["d"]),
                                np.asarray(table["absolute_intensity"]), hkl, counts, offsets,
                                d_frac, d_b, d_occ)


def _reference_derivatives(structure: Structure, reciprocal: np.ndarray, wavelength: float, hkl: np.ndarray,
                           counts: np.ndarray, offsets: np.ndarray, radiation: str, anomalous: bool,
                           monochromator_angle: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The derivatives by NumPy, family by family."""
    elements, species = np.unique(structure.atomic_numbers, return_inverse=True)
    z, pairs, constants = species_tables(elements, radiation, wavelength, anomalous)
    h = hkl.astype(float)
    g = np.linalg.norm(h @ reciprocal, axis=1)
    s2 = (0.5 * g) ** 2
    theta = np.arcsin(np.minimum(g * wavelength * 0.5, 1.0))
    weight = counts * _lorentz_polarisation(theta, radiation, monochromator_angle)  # (families,)
    f = _scattering_factors(z, pairs, constants, radiation, s2)[:, species]  # (families, atoms)
    occ, b = structure.occupancies, structure.b_factors
    aniso = np.zeros(len(structure), dtype=bool)
    temperature = np.exp(-s2[:, None] * b[None, :])
    if structure.u_aniso is not None:
        beta = debye_waller_beta(structure.u_aniso, structure.lattice)
        aniso = ~np.isnan(beta[:, 0])
        if aniso.any():
            bt = beta[aniso]
            q = (h[:, 0:1] ** 2 * bt[:, 0] + h[:, 1:2] ** 2 * bt[:, 1] + h[:, 2:3] ** 2 * bt[:, 2]
                 + 2.0 * (h[:, 0:1] * h[:, 1:2] * bt[:, 3] + h[:, 0:1] * h[:, 2:3] * bt[:, 4]
                          + h[:, 1:2] * h[:, 2:3] * bt[:, 5]))
            temperature[:, aniso] = np.exp(-q)
    phases = np.exp(2j * np.pi * (h @ structure.frac_coords.T))  # (families, atoms)
    ot = occ[None, :] * temperature
    fe = f * phases
    structure_factor = (fe * ot).sum(axis=1)
    q_j = np.conj(structure_factor)[:, None] * fe
    per_family_frac = (-4.0 * np.pi * ot * q_j.imag)[:, :, None] * h[:, None, :]
    per_family_b = np.where(aniso[None, :], 0.0, -2.0 * s2[:, None] * ot * q_j.real)
    per_family_occ = 2.0 * temperature * q_j.real
    owner = np.repeat(np.arange(offsets.size - 1), np.diff(offsets))
    peaks = offsets.size - 1

    def per_peak(values: np.ndarray) -> np.ndarray:
        out = np.zeros((peaks,) + values.shape[1:])
        np.add.at(out, owner, values * weight.reshape((-1,) + (1,) * (values.ndim - 1)))
        return out

    return per_peak(per_family_frac), per_peak(per_family_b), per_peak(per_family_occ)


def sum_over_images(per_atom: np.ndarray, site_of: np.ndarray, rotations: np.ndarray | None = None,
                    sites: int | None = None) -> np.ndarray:
    """Derivatives per site from derivatives per atom of the expanded cell.

    Parameters
    ----------
    per_atom : ndarray (peaks, atoms) or (peaks, atoms, 3)
        ``d_b`` or ``d_occupancy`` (summed as they are), or ``d_frac``
        (each image's gradient taken back through its rotation: Rᵀ·g).
    site_of : ndarray (atoms,) of int
        The site each atom is an image of.
    rotations : ndarray (atoms, 3, 3), optional
        The rotation R that made each image (x_image = R·x_site + t); needed for ``d_frac``.
    sites : int, optional
        Number of sites (default ``site_of.max() + 1``).

    Returns
    -------
    ndarray (peaks, sites) or (peaks, sites, 3)
    """
    site_of = np.asarray(site_of, dtype=np.int64)
    count = int(site_of.max(initial=-1)) + 1 if sites is None else int(sites)
    values = np.asarray(per_atom, dtype=float)
    if values.ndim == 3:
        if rotations is None:
            raise ValueError("coordinate derivatives need each image's rotation")
        values = np.einsum("pai,aij->paj", values, np.asarray(rotations, dtype=float))
    out = np.zeros((values.shape[0], count) + values.shape[2:])
    np.add.at(out, (slice(None), site_of), values)
    return out
