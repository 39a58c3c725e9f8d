"""The pattern engine's route from a structure to peak columns: one native
call that works out the symmetry-equivalent reflections, their intensities,
the merged peaks and their families."""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence

import gemmi
import numpy as np

from ..errors import InputError, WorkLimitError
from ..structures.displacements import debye_waller_beta
from ..structures.structure import Structure
from .pattern import SCALED_INTENSITY_TOLERANCE, TWO_THETA_TOLERANCE, PeakColumns
from .peak_families import PeakFamilies
from .radiation import species_tables
from .request import PatternRequest
from .work import max_lattice_points

# A source tree without the built module still imports; computing a pattern
# then says what is missing (_engine is unbound while _IMPORT_ERROR is set).
_IMPORT_ERROR: ImportError | None = None
try:
    import peakforge_pattern._engine as _engine
except ImportError as exc:
    _IMPORT_ERROR = exc
# An engine built before it returned the Lorentz-polarisation factor still
# computes patterns (without the column); a profile then asks for a rebuild.
_OLD_ENGINE: ImportError | None = None
try:
    from .._engine import lorentz_polarisation as _lorentz_polarisation
except ImportError as exc:
    _OLD_ENGINE = exc


class _NeverRaised(Exception):
    """Stands for the engine's WorkLimitError where the engine is not built."""


# A symmetry search of atoms given without operations that would pass the
# work limit.
_WORK_LIMIT_ERROR: type[Exception] = (
    getattr(_engine, "WorkLimitError", _NeverRaised) if _IMPORT_ERROR is None else _NeverRaised
)

_NO_ROTATIONS = np.zeros((0, 3, 3), dtype=np.int32)
_NO_TRANSLATIONS = np.zeros((0, 3))


@functools.lru_cache(maxsize=512)
def operation_arrays(triplets: tuple[str, ...]) -> tuple[np.ndarray, np.ndarray]:
    """Rotations (m×3×3 int32, acting on fractional coordinates) and
    translations (m×3) of x,y,z triplets; parsed once per distinct group.
    Operations whose rotation is not whole (not a symmetry of any lattice)
    are left out."""
    ops = []
    for triplet in triplets:
        try:
            ops.append(gemmi.Op(triplet))
        except (RuntimeError, ValueError) as exc:
            raise InputError(f"bad symmetry operation {triplet!r}: {exc}") from None
    rotations = np.array([op.rot for op in ops], dtype=np.int64).reshape(-1, 3, 3)
    whole = ~np.any(rotations % gemmi.Op.DEN, axis=(1, 2))
    r = (rotations[whole] // gemmi.Op.DEN).astype(np.int32)
    t = np.array([op.tran for op in ops], dtype=float).reshape(-1, 3)[whole] / gemmi.Op.DEN
    r.setflags(write=False)
    t.setflags(write=False)
    return r, t


def _require_engine() -> None:
    if _IMPORT_ERROR is not None:
        raise ImportError(
            "peakforge_pattern._engine is not built; install the package (pip install .) to compute patterns"
        ) from _IMPORT_ERROR


def lorentz_polarisation(
    two_theta: np.ndarray | Sequence[float], radiation: str = "xray", monochromator_angle: float = 0.0
) -> np.ndarray:
    """The Lorentz-polarisation factor at each 2θ, as the engine's peaks carry it.

    Lorentz factor 1 / (sin²θ cos θ); for X-rays times the polarisation
    1 + cos²2θ, or 2 (1 + cos²2θ_M cos²2θ) / (1 + cos²2θ_M) after a
    monochromator at 2θ_M. The formula lives in the core
    (src/core/intensity/lorentz_polarisation.hpp), once.

    Parameters
    ----------
    two_theta : array_like
        2θ in degrees.
    radiation : {"xray", "neutron", "electron"}
        Neutrons and electrons are not polarised.
    monochromator_angle : float
        The monochromator's 2θ in degrees, 0 for none.

    Returns
    -------
    numpy.ndarray
        The factor at each angle.
    """
    _require_engine()
    if _OLD_ENGINE is not None:
        raise ImportError(
            "peakforge_pattern._engine was built before it gave the Lorentz-polarisation "
            "factor: rebuild it (pip install .)"
        ) from _OLD_ENGINE
    return _lorentz_polarisation(
        np.ascontiguousarray(two_theta, dtype=float).reshape(-1),
        radiation=radiation,
        monochromator_two_theta=monochromator_angle,
    )


def native_engine():
    """The compiled engine module, or an ImportError that says how to build it."""
    _require_engine()
    return _engine


def engine_columns(
    structure: Structure,
    request: PatternRequest,
    min_g: float,
    max_g: float,
    progress: Callable[[int, int], None] | None = None,
    *,
    reciprocal: np.ndarray | None = None,
    relative_threshold: float = SCALED_INTENSITY_TOLERANCE,
    derivatives: bool = False,
) -> dict:
    """The engine's peak table for ``request``, over the shell min_g ≤ |g| ≤ max_g (1/Å).

    The request's fields go one for one into the core's own request
    (src/core/pattern/pattern_request.hpp); what the core does not take
    (the route, labels, scale, strictness, the work limit) is the caller's.

    Parameters
    ----------
    structure : Structure
        Every atom of the cell, with its symmetry operations.
    request : PatternRequest
        Wavelength, radiation, dispersion, monochromator and execution mode.
    min_g, max_g : float
        The reciprocal-space shell, |g| = 2 sin θ / λ in 1/Å.
    progress : callable, optional
        Called now and then as ``progress(done, total)`` with the reflections
        computed so far; the calculation stops at the next such point when
        Ctrl-C is pressed (or ``progress`` raises).
    reciprocal : numpy.ndarray, optional
        The structure's reciprocal basis, when the caller has it already.
    relative_threshold : float
        Peaks below this on the 0–100 scale are left out; 0 keeps every
        peak, so that the list depends on the cell and symmetry alone (a
        refinement that moves atoms keeps the same peaks).
    derivatives : bool
        Add the derivatives of each peak's absolute intensity by every atom's
        coordinates, B and occupancy: d_frac (peaks × atoms × 3), d_b and
        d_occupancy (peaks × atoms); see intensity_derivatives.py.

    Returns
    -------
    dict
        NumPy columns two_theta, d, intensity (0–100), absolute_intensity,
        lorentz_polarisation, multiplicity, and the families as family_hkl (m×3),
        family_multiplicity (m) and family_offsets (peaks + 1); counts
        reflections, unique_reflections and point_group_order.

    Raises
    ------
    ImportError
        The engine is not built.
    ValueError
        A request the engine cannot compute (its own guards): a shell spanning
        more index triples than the work limit allows, an intensity that is not
        a finite number; the engine's WorkLimitError (a ValueError) for a
        symmetry search of atoms given without operations beyond the limit.
    """
    arguments = _engine_arguments(structure, request, min_g, max_g, reciprocal)
    return native_engine().compute_peak_table(
        *arguments,
        radiation=request.radiation,
        anomalous=request.dispersion,
        monochromator_two_theta=request.monochromator_angle,
        merge_tolerance=TWO_THETA_TOLERANCE,
        relative_threshold=relative_threshold,
        max_walk=max_lattice_points(request.max_work),
        max_work=math.inf if request.max_work is None else request.max_work,
        parallel=request.parallel,
        num_threads=request.num_threads,
        use_simd=request.use_simd,
        progress=progress,
        derivatives=derivatives,
    )


def _engine_arguments(
    structure: Structure, request: PatternRequest, min_g: float, max_g: float, reciprocal: np.ndarray | None = None
) -> tuple:
    """The positional arguments both engine calls take: cell, shell, atoms, species and operations."""
    _require_engine()
    elements, species_index = np.unique(structure.atomic_numbers, return_inverse=True)
    z, pairs, constants = species_tables(elements, request.radiation, request.wavelength, request.dispersion)
    if structure.symmetry_operations:
        rotations, translations = operation_arrays(tuple(structure.symmetry_operations))
    else:
        rotations, translations = _NO_ROTATIONS, _NO_TRANSLATIONS
    beta = None
    if structure.u_aniso is not None:
        beta = debye_waller_beta(structure.u_aniso, structure.lattice)
    return (
        np.ascontiguousarray(structure.reciprocal if reciprocal is None else reciprocal),
        request.wavelength,
        min_g,
        max_g,
        np.ascontiguousarray(structure.frac_coords, dtype=float),
        species_index.astype(np.int32),
        np.ascontiguousarray(structure.occupancies, dtype=float),
        np.ascontiguousarray(structure.b_factors, dtype=float),
        beta,
        z,
        pairs,
        constants,
        rotations,
        translations,
    )


def engine_reflection_columns(
    structure: Structure,
    request: PatternRequest,
    min_g: float,
    max_g: float,
    progress: Callable[[int, int], None] | None = None,
) -> dict:
    """Every set of equivalent reflections of the shell, unmerged, in increasing g.

    Parameters are those of engine_columns.

    Returns
    -------
    dict
        hkl (n×3), multiplicity, d, two_theta, f_squared (0 for an
        extinguished set) and absent (n, 0 or 1); and the operations the
        atoms follow: rotations (m×3×3), translations (m×3) with
        translation_known (m), and the generators of the pure translations,
        centring (c×3).

    Raises
    ------
    ImportError
        The engine is not built, or built before it gave this table.
    ValueError
        A request the engine cannot compute (its own guards).
    """
    arguments = _engine_arguments(structure, request, min_g, max_g)
    table = getattr(_engine, "compute_reflection_table", None)
    if table is None:
        raise ImportError(
            "this build of peakforge_pattern._engine has no reflection table; reinstall the package (pip install .)"
        )
    return table(
        *arguments,
        radiation=request.radiation,
        anomalous=request.dispersion,
        max_walk=max_lattice_points(request.max_work),
        max_work=math.inf if request.max_work is None else request.max_work,
        parallel=request.parallel,
        num_threads=request.num_threads,
        use_simd=request.use_simd,
        progress=progress,
    )


def engine_peaks(
    structure: Structure,
    request: PatternRequest,
    min_g: float,
    max_g: float,
    progress: Callable[[int, int], None] | None = None,
    *,
    reciprocal: np.ndarray | None = None,
) -> PeakColumns:
    """The pattern engine's peaks as the columns a Pattern holds.

    Parameters are those of engine_columns.

    Returns
    -------
    PeakColumns
        2θ, d, intensity (0–100), absolute intensity, Lorentz-polarisation
        factor and the peaks' families (kept as arrays).

    Raises
    ------
    InputError
        When the index bounds of the shell do not fit the walk's integers or
        the walk, or the symmetry search, is larger than the work limit
        allows, or an intensity is not a finite number (an occupancy or
        scattering factor beyond any atom's).
    """
    try:
        table = engine_columns(structure, request, min_g, max_g, progress, reciprocal=reciprocal)
    except InputError:  # the species tables' or the symmetry's own message
        raise
    except _WORK_LIMIT_ERROR as exc:  # the symmetry search of atoms given without operations
        raise WorkLimitError(str(exc), " (--max-work, or max_work= from Python)") from None
    except ValueError as exc:  # the engine's own bounds: the walk's size, an intensity beyond any atom's
        raise InputError(str(exc)) from None
    families = PeakFamilies(table["family_hkl"], table["family_multiplicity"], table["family_offsets"])
    return (
        table["two_theta"],
        table["d"],
        table["intensity"],
        table["absolute_intensity"],
        table.get("lorentz_polarisation"),
        families,
    )
