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

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..errors import InputError
from ..structures.structure import Structure
from .engine_route import engine_columns
from .pattern import SCALED_INTENSITY_TOLERANCE
from .request import PatternRequest
from .work import check_work, estimate_work, reciprocal_shell


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


def intensity_derivatives(
    structure: Structure,
    wavelength: float | str | None = None,
    two_theta_range: Sequence[float] | None = None,
    *,
    request: PatternRequest | None = None,
    relative_threshold: float = SCALED_INTENSITY_TOLERANCE,
    progress: Callable[[int, int], None] | None = None,
    **fields: Any,
) -> IntensityDerivatives:
    """Peak intensities of a structure and their derivatives for each atom.

    The atoms' symmetry is that of the structure's own operations: atoms
    given in P1 stay in P1 (each moves on its own), the peaks of
    ``compute_pattern(..., as_given=True)``.

    Parameters
    ----------
    structure : Structure
        Every atom of the cell (as ``Structure.from_cif`` expands it).
    wavelength : float or str, optional
        Å, or an anode line name ("CuKa"); default CuKa.
    two_theta_range : pair of float, optional
        Degrees; default 0 to 90.
    request : PatternRequest, optional
        Every calculation option at once, as for ``compute_pattern``;
        ``wavelength``, ``two_theta_range`` and ``fields`` change it.
    relative_threshold : float
        Peaks below this on the 0–100 scale are left out (0 keeps every
        peak, so that the rows depend on the cell and symmetry alone).
    progress : callable, optional
        Called as ``progress(done, total)`` while the reflections are
        computed; Ctrl-C stops the calculation.
    **fields
        Any other field of PatternRequest (radiation, anomalous,
        monochromator_angle, max_work, parallel, ...).

    Returns
    -------
    IntensityDerivatives
        Peaks in increasing 2θ, intensities on the absolute scale and their
        derivatives for each atom's x, y, z, B and occupancy.

    Raises
    ------
    InputError
        A bad option, the exhaustive route (the derivatives come from the
        pattern engine), or work above the request's ``max_work``.

    Examples
    --------
    >>> from peakforge_pattern import Structure, example_path
    >>> corundum = Structure.from_cif(example_path("corundum"))
    >>> found = intensity_derivatives(corundum, "CuKa", (20, 80))
    >>> found.d_frac.shape == (len(found), len(corundum), 3)
    True
    """
    request = PatternRequest.from_call(request, wavelength, two_theta_range, **fields)
    if request.exact:
        raise InputError("intensity derivatives come from the pattern engine: leave exact off")
    min_g, max_g = reciprocal_shell(request.wavelength, request.two_theta_range)
    # The derivatives cost about three times the intensities' terms.
    check_work(
        estimate_work(structure.lattice, 3 * len(structure), request.wavelength, request.two_theta_range),
        request.max_work,
    )
    try:
        table = engine_columns(
            structure, request, min_g, max_g, progress, relative_threshold=float(relative_threshold), derivatives=True
        )
    except ValueError as exc:  # the index bounds would not fit the walk's integers
        raise InputError(f"the 2theta range is too wide for this cell and wavelength: {exc}") from None
    return IntensityDerivatives(
        table["two_theta"],
        table["d"],
        table["absolute_intensity"],
        table["family_hkl"].astype(np.int64),
        table["family_multiplicity"],
        table["family_offsets"],
        table["d_frac"],
        table["d_b"],
        table["d_occupancy"],
    )


def sum_over_images(
    per_atom: np.ndarray, site_of: np.ndarray, rotations: np.ndarray | None = None, sites: int | None = None
) -> np.ndarray:
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
