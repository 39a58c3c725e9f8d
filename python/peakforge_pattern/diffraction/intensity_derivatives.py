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

In a fit, a phase's peak weights are these intensities over the
Lorentz-polarisation factor at each peak (profiles/profile.py), so the
weights' derivatives are these over the same factor;
``profile_derivatives.line_set_with_chain(weight_derivatives=...)`` turns
them into columns of the profile's Jacobian, rendered with the others.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ..errors import InputError
from ..structures.structure import Structure
from .compute import check_two_theta_range
from .engine_route import engine_columns
from .radiation import check_radiation
from .wavelengths import resolve_wavelength
from .work import DEFAULT_MAX_WORK, check_work, estimate_work, shell_radii

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


def intensity_derivatives(structure: Structure, wavelength: float | str = "CuKa",
                          two_theta_range: Sequence[float] = (0.0, 90.0), *,
                          reciprocal: np.ndarray | None = None, radiation: str = "xray",
                          anomalous: bool = False, monochromator_angle: float = 0.0,
                          relative_threshold: float = _RELATIVE_THRESHOLD,
                          max_work: float | None = DEFAULT_MAX_WORK) -> IntensityDerivatives:
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
    max_work : float or None
        Refuse a calculation estimated above this many reflection-atom terms
        (as ``compute_pattern``; None for no limit).

    Returns
    -------
    IntensityDerivatives
        Peaks in increasing 2θ, intensities on the absolute scale and their
        derivatives for each atom's x, y, z, B and occupancy.

    Raises
    ------
    InputError
        For a radiation, wavelength, range or monochromator angle that cannot
        be computed, or work above ``max_work``.

    Examples
    --------
    >>> from peakforge_pattern.examples import example_path  # doctest: +SKIP
    >>> result = intensity_derivatives(Structure.from_cif("corundum.cif"), "CuKa", (20, 80))  # doctest: +SKIP
    >>> result.d_frac.shape  # doctest: +SKIP
    (17, 30, 3)
    """
    check_radiation(radiation, bool(anomalous))
    lam = resolve_wavelength(wavelength)
    lo, hi = check_two_theta_range(two_theta_range)
    if not (math.isfinite(monochromator_angle) and 0.0 <= monochromator_angle < 180.0):
        raise InputError(f"the monochromator angle must lie in [0, 180) degrees, not {monochromator_angle!r}")
    min_g, max_g = shell_radii(lam, (lo, hi))
    # The derivatives cost about three times the intensities' terms.
    check_work(estimate_work(structure.lattice, 3 * len(structure), lam, (lo, hi)), max_work)
    basis = structure.reciprocal if reciprocal is None else np.asarray(reciprocal, dtype=float)
    try:
        table = engine_columns(structure, lam, min_g, max_g, reciprocal=basis, radiation=radiation,
                               anomalous=bool(anomalous), monochromator_angle=float(monochromator_angle),
                               merge_tolerance=_MERGE_TOLERANCE, relative_threshold=float(relative_threshold),
                               parallel=True, num_threads=0, use_simd=True, derivatives=True)
    except ValueError as exc:  # the index bounds would not fit the walk's integers
        raise InputError(f"the 2theta range is too wide for this cell and wavelength: {exc}") from None
    return IntensityDerivatives(table["two_theta"], table["d"], table["absolute_intensity"],
                                table["family_hkl"].astype(np.int64), table["family_multiplicity"],
                                table["family_offsets"], table["d_frac"], table["d_b"], table["d_occupancy"])


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
    out = np.zeros((count, values.shape[0]) + values.shape[2:])
    np.add.at(out, site_of, np.moveaxis(values, 1, 0))
    return np.moveaxis(out, 0, 1)
