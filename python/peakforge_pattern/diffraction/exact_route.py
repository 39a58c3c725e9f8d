"""The exhaustive route from a structure to peak columns: every reflection of
the index box through the module's five calls (reflections, intensities,
merging, normalising, families), families found by permutations and sign
changes of the indices."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

import peakforge

from ..errors import InputError
from ..structures.structure import Structure
from .engine_route import lorentz_polarisation
from .pattern import SCALED_INTENSITY_TOLERANCE, TWO_THETA_TOLERANCE, PeakColumns
from .peak_families import PeakFamilies
from .request import PatternRequest
from .scattering import electron_coefficients

CHUNK_TERMS = 25_000_000
"""Intensities are computed in pieces of about this many reflection-atom
terms (under a tenth of a second by default, a second or two with the
scalar sum), so that a long calculation reports progress and can be
interrupted between them."""


def _sorted_families(members: list[list[int]]) -> tuple[list[tuple[int, ...]], list[int]]:
    # The module's dictionary comes back in a per-process order; sort it so
    # that output is reproducible: largest multiplicity first, then by index.
    counted = peakforge.get_unique_families_rust(members)
    ordered = sorted(counted.items(), key=lambda item: (-item[1], [-x for x in item[0]]))
    return [tuple(hkl) for hkl, _ in ordered], [count for _, count in ordered]


def exact_peaks(
    structure: Structure,
    request: PatternRequest,
    min_g: float,
    max_g: float,
    progress: Callable[[int, int], None] | None = None,
    *,
    reciprocal: np.ndarray | None = None,
) -> PeakColumns:
    """Every reflection of the shell min_g ≤ |g| ≤ max_g (1/Å) through the module's five calls.

    Parameters
    ----------
    structure : Structure
        Every atom of the cell.
    request : PatternRequest
        Its wavelength and execution mode (X-rays without dispersion or
        monochromator: the request refuses the exact route otherwise).
    min_g, max_g : float
        The reciprocal-space shell, |g| = 2 sin θ / λ in 1/Å.
    progress : callable, optional
        Called as ``progress(done, total)`` after each piece of reflections.
    reciprocal : numpy.ndarray, optional
        The structure's reciprocal basis, when the caller has it already.

    Returns
    -------
    PeakColumns
        2θ, d, intensity (0–100), absolute intensity, Lorentz-polarisation
        factor (the engine's, at each peak's 2θ) and the peaks' families.

    Raises
    ------
    InputError
        When the index bounds of the shell do not fit the walk's integers.
    """
    try:
        basis = structure.reciprocal if reciprocal is None else reciprocal
        points = peakforge.generate_hkl_points(basis.tolist(), max_g, min_g)
    except ValueError as exc:  # the index bounds would not fit the walk's integers
        raise InputError(f"the 2theta range is too wide for this cell and wavelength: {exc}") from None
    # A reflection at exactly 2θ = 180° has cos θ = 0 and an unbounded
    # Lorentz factor; it cannot be measured, so it is left out.
    wavelength = request.wavelength
    points = [p for p in points if p[1] * wavelength * 0.5 < 1.0]
    hkls = [p[0] for p in points]
    g_hkls = [p[1] for p in points]

    numbers = [int(z) for z in structure.atomic_numbers]
    coeffs = [[list(pair) for pair in electron_coefficients(z)] for z in numbers]
    x, y, z = (structure.frac_coords[:, axis].tolist() for axis in range(3))
    occupancies, b_factors = structure.occupancies.tolist(), structure.b_factors.tolist()
    # Reflections are independent: computing them in pieces gives the same
    # bits, and lets Ctrl-C and progress reports in between.
    chunk = max(1, CHUNK_TERMS // len(numbers))
    peaks = []
    for start in range(0, len(hkls), chunk):
        stop = min(start + chunk, len(hkls))
        peaks += peakforge.calculate_xrd_intensities(
            hkls[start:stop],
            g_hkls[start:stop],
            wavelength,
            x,
            y,
            z,
            numbers,
            coeffs,
            occupancies,
            b_factors,
            request.parallel,
            request.num_threads,
            request.use_simd,
        )
        if progress is not None:
            progress(stop, len(hkls))

    two_thetas = [p[0] for p in peaks]
    intensities = [p[1] for p in peaks]
    int_hkls = [[int(round(c)) for c in hkl] for hkl in hkls]
    d_hkls = [1.0 / g for g in g_hkls]
    merged_tt, merged_i, merged_hkls, merged_d = peakforge.merge_peaks(
        two_thetas, intensities, int_hkls, d_hkls, TWO_THETA_TOLERANCE
    )
    scaled = peakforge.normalize_intensities(merged_i, 100.0)

    keep = [i for i, value in enumerate(scaled) if value >= SCALED_INTENSITY_TOLERANCE]
    families, multiplicities = [], []
    for i in keep:
        fams, mults = _sorted_families(merged_hkls[i])
        families.append(fams)
        multiplicities.append(mults)

    def column(values):
        return np.array([values[i] for i in keep], dtype=float)

    two_theta = column(merged_tt)
    return (
        two_theta,
        column(merged_d),
        column(scaled),
        column(merged_i),
        lorentz_polarisation(two_theta),
        PeakFamilies.from_lists(families, multiplicities),
    )
