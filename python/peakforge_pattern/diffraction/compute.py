"""From a structure to its powder pattern: check the request, refuse what
would not finish, take one of the two routes (the pattern engine, which uses
the crystal's symmetry, or the exhaustive route through the module's five
calls), label and scale the peaks."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

from ..errors import InputError
from ..structures.checks import refuse_if_strict
from ..structures.structure import Structure
from .engine_route import engine_peaks
from .exact_route import exact_peaks
from .pattern import Pattern
from .radiation import check_radiation
from .scales import check_scale
from .wavelengths import resolve_wavelength
from .work import DEFAULT_MAX_WORK, check_work, estimate_work, shell_radii

MAX_LATTICE_POINTS = 5_000_000
"""Largest index box walked for one pattern at the default work limit;
beyond it the request is refused.

The box grows with the cube of (cell edge / wavelength); a tiny wavelength or
a huge cell would otherwise take minutes and gigabytes, and past 2³¹ per axis
the index bounds no longer fit the walk's integers.
"""


def check_two_theta_range(two_theta_range: Sequence[float]) -> tuple[float, float]:
    """The 2θ range as two floats, or InputError when it is not a range within 0–180°."""
    try:
        lo, hi = (float(x) for x in two_theta_range)
    except (TypeError, ValueError):
        raise InputError(f"the 2theta range must be two numbers, not {two_theta_range!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi)) or lo < 0.0 or hi > 180.0:
        raise InputError(f"the 2theta range must lie within 0 to 180 degrees, not {lo:g} to {hi:g}")
    if not lo < hi:
        raise InputError(f"empty 2theta range: {lo:g} to {hi:g}")
    return lo, hi


def _lattice_box_size(reciprocal: np.ndarray, max_g: float) -> float:
    """Number of index triples the shell search visits (as a float: it may be huge)."""
    count = 1.0
    for length in np.linalg.norm(reciprocal, axis=1):
        reach = max_g / length
        if not reach < 1e100:  # a tiny wavelength: beyond any limit
            return math.inf
        count *= 2.0 * (math.ceil(reach) + 1.0) + 1.0
    return count - 1.0


def _check_index_box(structure: Structure, max_g: float, max_work: float | None) -> None:
    box = _lattice_box_size(structure.reciprocal, max_g)
    # A larger work limit allows a larger index walk in proportion.
    box_limit = MAX_LATTICE_POINTS * max(1.0, (max_work or math.inf) / DEFAULT_MAX_WORK)
    if box > box_limit:
        reach = f"{box:.3g}" if math.isfinite(box) else "countless"
        raise InputError(f"the 2theta range reaches {reach} lattice points, more than {box_limit:.3g}: "
                         "use a longer wavelength or a smaller 2theta maximum, or raise the limit "
                         "(--max-work, or max_work= from Python)")


def has_hexagonal_axes(structure: Structure) -> bool:
    """a = b, α = β = 90°, γ = 120°: the cells whose planes take (h k i l) labels."""
    a, b, _, alpha, beta, gamma = structure.cell_parameters
    return (abs(a - b) <= 1e-6 * a and abs(alpha - 90.0) < 1e-4 and abs(beta - 90.0) < 1e-4
            and abs(gamma - 120.0) < 1e-4)


def _four_index(families: list[list[tuple[int, ...]]]) -> list[list[tuple[int, ...]]]:
    return [[(h, k, -(h + k), l) for h, k, l in peak] for peak in families]


def _check_monochromator(angle: float) -> float:
    try:
        value = float(angle)
    except (TypeError, ValueError):
        raise InputError(f"the monochromator angle must be a number, not {angle!r}") from None
    if not (math.isfinite(value) and 0.0 <= value < 180.0):
        raise InputError(f"the monochromator angle (its 2theta) must lie in [0, 180) degrees, not {angle!r}")
    return value


def check_route(exact: bool, radiation: str, anomalous: bool, monochromator_angle: float = 0.0) -> None:
    """Refuse a radiation, or a route, that cannot compute what is asked."""
    check_radiation(radiation, anomalous)
    if exact and (radiation != "xray" or anomalous or monochromator_angle != 0.0):
        raise InputError("the exact route computes X-rays without anomalous dispersion "
                         "or monochromator only")


def compute_pattern(structure: Structure | str | Path,
                    wavelength: float | str = "CuKa",
                    two_theta_range: Sequence[float] = (0.0, 90.0),
                    *, parallel: bool = True, num_threads: int = 0,
                    use_simd: bool = True, scale: str = "max", strict: bool = False,
                    max_work: float | None = DEFAULT_MAX_WORK,
                    progress: Callable[[int, int], None] | None = None,
                    exact: bool = False, radiation: str = "xray", anomalous: bool = False,
                    hkil: bool = False, monochromator_angle: float = 0.0) -> Pattern:
    """Compute the powder pattern of a structure (or of a CIF file's path).

    ``wavelength`` is in Å or an anode line name ("CuKa", "MoKa", ...).
    ``parallel``/``num_threads`` choose a worker pool (0 = automatic size)
    and ``use_simd`` the vectorised structure-factor sum; neither changes
    the result beyond rounding.  ``scale`` is the intensity scale: "max"
    (strongest peak in the range 100), "full" (strongest from 0 to 180° 100)
    or "absolute".  ``strict`` raises any warning (the structure's or the
    pattern's) as an InputError.  A calculation estimated above
    ``max_work`` reflection-atom terms (default about a minute here; None
    for no limit) is refused before it starts.  ``progress(done, total)``
    is called as the reflections' intensities are computed; Ctrl-C stops
    the calculation within a fraction of a second.

    ``radiation`` is "xray" (Mott–Bethe form factors) or "neutron" (coherent
    scattering lengths, no polarisation); ``anomalous`` adds the X-ray
    dispersion f′ + i f″ at the beam's energy (Friedel mates then differ);
    ``monochromator_angle`` is the 2θ (degrees) of a monochromator crystal
    in the beam, 0 for none, which makes the polarisation factor
    2 (1 + cos²2θ_M cos²2θ) / (1 + cos²2θ_M) (1 + cos²2θ without one).  ``hkil`` labels the families of cells with
    hexagonal axes (a = b, γ = 120°) as (h k i l); others keep three
    indices.

    ``exact=True`` takes the exhaustive route through the module's five calls
    (every reflection computed, families by permutations and sign changes),
    for X-rays without dispersion or monochromator only.
    """
    if not isinstance(structure, Structure):
        structure = Structure.from_cif(structure)
    if strict:
        refuse_if_strict(structure.warnings)
    lam = resolve_wavelength(wavelength)
    lo, hi = check_two_theta_range(two_theta_range)
    monochromator = _check_monochromator(monochromator_angle)
    check_route(exact, radiation, bool(anomalous), monochromator)
    check_scale(scale)
    min_g, max_g = shell_radii(lam, (lo, hi))
    _check_index_box(structure, max_g, max_work)
    check_work(estimate_work(structure.lattice, len(structure), lam, (lo, hi)), max_work)

    if exact:
        columns = exact_peaks(structure, lam, min_g, max_g, parallel=parallel, num_threads=num_threads,
                              use_simd=use_simd, progress=progress)
    else:
        columns = engine_peaks(structure, lam, min_g, max_g, radiation=radiation, anomalous=bool(anomalous),
                               monochromator_angle=monochromator, parallel=bool(parallel),
                               num_threads=int(num_threads), use_simd=bool(use_simd), progress=progress)
    two_theta, d, scaled, absolute, families, multiplicities = columns
    if hkil and has_hexagonal_axes(structure):
        families = _four_index(families)

    warnings = structure.warnings
    if len(two_theta) == 0:
        warnings += (f"no peak between 2theta {lo:g} and {hi:g} degrees at wavelength {lam:g} A",)
    if strict:
        refuse_if_strict(warnings)
    pattern = Pattern(two_theta, d, scaled, absolute, families, multiplicities, lam, (lo, hi),
                      structure.name, warnings, structure=structure, radiation=radiation,
                      monochromator_angle=monochromator)
    if scale == "max":
        return pattern
    if scale == "absolute":
        return pattern.rescaled(scale, 1.0)
    full = compute_pattern(structure, lam, (0.0, 180.0), parallel=parallel, num_threads=num_threads,
                           use_simd=use_simd, max_work=max_work, exact=exact, radiation=radiation,
                           anomalous=anomalous, monochromator_angle=monochromator)
    strongest = float(full.absolute_intensity.max(initial=0.0))
    return pattern.rescaled(scale, 100.0 / strongest if strongest > 0.0 else 0.0)
