"""From a structure to its powder pattern: make the request, refuse what
would not finish, take one of the two routes (the pattern engine, which uses
the crystal's symmetry, or the exhaustive route through the module's five
calls), label and scale the peaks."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..errors import WorkLimitError
from ..structures.checks import refuse_if_strict
from ..structures.found_symmetry import with_found_symmetry
from ..structures.structure import Structure
from .engine_route import engine_peaks
from .exact_route import exact_peaks
from .pattern import Pattern
from .request import PatternRequest
from .work import check_work, estimate_work, max_lattice_points, reciprocal_shell


def _lattice_box_size(reciprocal: np.ndarray, max_g: float) -> float:
    """Number of index triples the shell search visits (as a float: it may be huge).

    Along each axis the walk reaches max_g / |a*| or, for an oblique cell,
    the larger max_g |a| (a the direct vector dual to a*), as the engine does.
    """
    count = 1.0
    direct = np.linalg.norm(np.linalg.inv(reciprocal), axis=0)
    for length, dual in zip(np.linalg.norm(reciprocal, axis=1), direct):
        reach = max(max_g / length, max_g * dual)
        if not reach < 1e100:  # a tiny wavelength: beyond any limit
            return math.inf
        count *= 2.0 * (math.ceil(reach) + 1.0) + 1.0
    return count - 1.0


def _check_index_box(reciprocal: np.ndarray, max_g: float, max_work: float | None) -> None:
    box = _lattice_box_size(reciprocal, max_g)
    box_limit = max_lattice_points(max_work)
    if box > box_limit:
        reach = f"{box:.3g}" if math.isfinite(box) else "countless"
        raise WorkLimitError(
            f"the 2theta range reaches {reach} lattice points, more than {box_limit:.3g}: "
            "use a longer wavelength or a smaller 2theta maximum"
        )


def has_hexagonal_axes(structure: Structure) -> bool:
    """a = b, α = β = 90°, γ = 120°: the cells whose planes take (h k i l) labels."""
    a, b, _, alpha, beta, gamma = structure.cell_parameters
    return abs(a - b) <= 1e-6 * a and abs(alpha - 90.0) < 1e-4 and abs(beta - 90.0) < 1e-4 and abs(gamma - 120.0) < 1e-4


def compute_pattern(
    structure: Structure | str | Path,
    wavelength: float | str | None = None,
    two_theta_range: Sequence[float] | None = None,
    *,
    request: PatternRequest | None = None,
    progress: Callable[[int, int], None] | None = None,
    **fields: Any,
) -> Pattern:
    """Compute the powder pattern of a structure (or of a CIF file's path).

    The options come as one `PatternRequest`, as its fields by keyword, or
    both.  A calculation estimated above the request's ``max_work`` terms
    is refused before it starts.  The pattern engine finds the reflections
    with the crystal's symmetry; ``exact=True`` takes the exhaustive route
    instead.  Reflections at one 2θ form one peak, labelled with their
    Miller-index families.

    Parameters
    ----------
    structure : Structure, str or os.PathLike
        The structure, or the path of a CIF file.
    wavelength : float or str, optional
        Wavelength in Å, an anode line name ("CuKa", "MoKa", ...), a photon
        energy ("8.04keV") or, for electrons, an accelerating voltage
        ("200kV"); default CuKa.
    two_theta_range : pair of float, optional
        2θ range in degrees; default 0 to 90.
    request : PatternRequest, optional
        Every calculation option at once; ``wavelength``, ``two_theta_range``
        and ``fields`` change it.
    progress : callable, optional
        Called as ``progress(done, total)`` as the reflections' intensities
        are computed; Ctrl-C stops the calculation within a fraction of a second.
    **fields
        Any other field of PatternRequest: radiation, anomalous,
        monochromator_angle, exact, hkil, as_given, scale, strict, max_work,
        parallel, num_threads, use_simd.

    Returns
    -------
    Pattern
        One entry per peak, in increasing 2θ. Reflections the space group
        extinguishes are not listed; atoms given in P1 are computed with the
        space group they follow, named in the pattern's ``notes`` (unless
        ``as_given``).

    Raises
    ------
    InputError
        A bad option, a structure that cannot be read or give a pattern, a
        calculation estimated above ``max_work`` terms, or (with ``strict``)
        any warning.
    TypeError
        An option PatternRequest does not have.

    Examples
    --------
    >>> from peakforge_pattern import compute_pattern, example_path
    >>> pattern = compute_pattern(example_path("silicon"), "CuKa", (20, 60))
    >>> pattern.families[0], round(float(pattern.two_theta[0]), 2)
    ([(1, 1, 1)], 28.47)
    >>> neutron = compute_pattern(example_path("silicon"), radiation="neutron", scale="absolute")
    """
    request = PatternRequest.from_call(request, wavelength, two_theta_range, **fields)
    if not isinstance(structure, Structure):
        structure = Structure.from_cif(structure)
    if request.strict:
        refuse_if_strict(structure.warnings)
    given = structure
    min_g, max_g = reciprocal_shell(request.wavelength, request.two_theta_range)
    reciprocal = structure.reciprocal
    _check_index_box(reciprocal, max_g, request.max_work)
    check_work(
        estimate_work(structure.lattice, len(structure), request.wavelength, request.two_theta_range), request.max_work
    )
    # The symmetry is looked for once the work is known to be bounded: a huge cell is refused first.
    notes: tuple[str, ...] = ()
    if not (request.exact or request.as_given):
        structure, note = with_found_symmetry(structure)
        notes = () if note is None else (note,)

    route = exact_peaks if request.exact else engine_peaks
    two_theta, d, scaled, absolute, lp, families = route(
        structure, request, min_g, max_g, progress, reciprocal=reciprocal
    )
    if request.hkil and has_hexagonal_axes(structure):
        families = families.four_index()

    warnings = structure.warnings
    if len(two_theta) == 0:
        lo, hi = request.two_theta_range
        warnings += (f"no peak between 2theta {lo:g} and {hi:g} degrees at wavelength {request.wavelength:g} A",)
    if request.strict:
        refuse_if_strict(warnings)
    pattern = Pattern(
        two_theta,
        d,
        scaled,
        absolute,
        families,
        request.wavelength,
        request.two_theta_range,
        structure.name,
        warnings,
        structure=given,
        radiation=request.radiation,
        monochromator_angle=request.monochromator_angle,
        lorentz_polarisation=lp,
        notes=notes,
        anomalous_dispersion=request.dispersion,
    )
    if request.scale == "max":
        return pattern
    if request.scale == "absolute":
        return pattern.rescaled(request.scale, 1.0)
    full = compute_pattern(
        structure,
        request=request.replace(two_theta_range=(0.0, 180.0), scale="max", strict=False, hkil=False, as_given=True),
    )
    strongest = float(full.absolute_intensity.max(initial=0.0))
    return pattern.rescaled(request.scale, 100.0 / strongest if strongest > 0.0 else 0.0)
