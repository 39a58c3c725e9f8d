"""Fitting phases to a measured powder pattern by least squares: the whole
fit from a scan and structure files to weight fractions with standard
uncertainties.

By default X-ray intensities carry anomalous dispersion at each emission
line's energy, and every phase's cell (within 0.5 %) and overall B (no atom
below B = 0) are refined with the sample displacement (the zero shift held
at its calibrated value: the two trade off against the cells), the widths
and the asymmetry; ``fix`` and ``refine`` change which parameters
move (see ``parameters.py`` for the names). Weight fractions follow from
the scales S as w = S·ZMV/τ / Σ S·ZMV/τ (Hill and Howard, J. Appl. Cryst.
20 (1987) 467), ZM being the cell mass, V its volume and τ Brindley's
microabsorption factor (1 unless particle radii are given). The agreement
indices are the usual Rp, Rwp, Rexp and χ².
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..diffraction.request import PatternRequest
from ..errors import InputError
from ..measurements import MeasuredPattern, in_range, read_scan
from ..optional import require
from ..profiles.instrument import DEFAULT_KA2_RATIO, SHAPES, Instrument
from ..structures.display import reduced_formula, space_group
from ..structures.structure import Structure, lattice_from_parameters
from .absorption import corrected_fractions, linear_absorption
from .analytic_derivatives import AnalyticDerivatives, WeightDerivatives
from .fit_parameters import CELL_LIMIT, standard_parameters
from .instrument_file import CARRIED, kind_of, read_instrument_file, wavelength_against_scan
from .model import FitModel, linear_fit
from .parameters import ParameterSet
from .phases import MARGIN, FitPhase, load_structures, prepare_phase
from .refinement import Minimum, best_of_starts, doubtful, refine_in_stages, retry_starts
from .reporting import correlation_warnings, misfit_warning, parameter_warnings, phase_warnings, width_warnings
from .request import BACKGROUND_TERMS, CORRECTIONS, FitRequest
from .result import FitResult, PhaseFit
from .sample_hints import (
    absorption_coefficients,
    check_brindley_range,
    microabsorption_hint,
    orientation_hints,
    orientation_lines,
)
from .structure_refinement.atom_parameters import AtomModel
from .structure_refinement.atom_phase import ATOM_KINDS, AtomPeaks, atom_options
from .structure_refinement.atom_results import (
    bond_angles,
    bond_lengths,
    occupancy_warnings,
    refined_sites,
    sites_as_read,
    structure_cif,
)
from .structure_refinement.found_group import in_found_group
from .uncertainties import FitCovariance, covariance, standard_uncertainties, weight_fraction_gradient
from .weighting import choose_weights

__all__ = ["BACKGROUND_TERMS", "CELL_LIMIT", "CORRECTIONS", "FitResult", "FitRequest", "PhaseFit", "fit_pattern"]

DEFAULT_RADIUS = 240.0  # mm
HINT_MISFIT = 1.5
"""Rwp / Rexp above which the fit looks for preferred orientation it could suggest."""


def _need_scipy() -> Any:
    return require("scipy.optimize", "fit", "fitting")


def _need_threadpoolctl() -> Any:
    return require("threadpoolctl", "fit", "fitting")


def _check_orientations(
    orientations: Mapping[str, Sequence[int]] | None, names: list[str]
) -> dict[str, tuple[int, int, int]]:
    checked: dict[str, tuple[int, int, int]] = {}
    for phase, hkl in (orientations or {}).items():
        if phase not in names:
            raise InputError(f"the preferred orientation names phase {phase!r}; the phases are {', '.join(names)}")
        indices = tuple(int(i) for i in hkl)
        if len(indices) != 3 or indices == (0, 0, 0) or any(i != j for i, j in zip(indices, hkl)):
            raise InputError(
                f"the preferred direction of {phase} must be three whole Miller indices, not all zero: {tuple(hkl)!r}"
            )
        checked[phase] = indices  # type: ignore[assignment]
    return checked


def _particle_radii(particle_radius: float | Mapping[str | None, float] | None, names: list[str]) -> list[float]:
    """Each phase's particle radius (µm); a mapping's None key gives the phases it does not name."""
    if particle_radius is None:
        return [0.0] * len(names)
    if isinstance(particle_radius, Mapping):
        unknown = [n for n in particle_radius if n is not None and n not in names]
        if unknown:
            raise InputError(f"the particle size names phase {unknown[0]!r}; the phases are {', '.join(names)}")
        default = float(particle_radius.get(None, 0.0))
        radii = [float(particle_radius.get(n, default)) for n in names]
    else:
        radii = [float(particle_radius)] * len(names)
    if not all(math.isfinite(r) and r >= 0.0 for r in radii):
        raise InputError(f"particle radii must be finite numbers of micrometres, at least 0, not {radii}")
    return radii


def _start_instrument(request: FitRequest, measured: MeasuredPattern) -> tuple[Instrument, tuple[str, ...], list[str]]:
    """The instrument a fit starts from, the terms a standard's file gave it, and notes for the user.

    The goniometer radius is the request's, else the instrument file's, else
    the one the scan's header states, else ``DEFAULT_RADIUS``.
    """
    wavelength, ka2_ratio, shape = request.wavelength, request.ka2_ratio, request.shape
    radius, monochromator_angle = request.radius, request.monochromator_angle
    instrument = request.instrument
    read = read_instrument_file(instrument) if isinstance(instrument, str) else None
    loaded: Instrument | None = read.instrument if read is not None else instrument  # type: ignore[assignment]
    notes = list(read.notes) if read is not None else []
    if radius is None and loaded is None:
        radius = measured.radius
    if loaded is None:
        if wavelength is None:
            wavelength = measured.wavelength[:2] if measured.wavelength else "CuKa"
        if ka2_ratio is None:
            ka2_ratio = measured.wavelength[2] if measured.wavelength else DEFAULT_KA2_RATIO
        chosen = shape or "tch"
        if chosen not in SHAPES:
            raise InputError(f"unknown peak shape {chosen!r}: use one of {', '.join(SHAPES)}")
        start = Instrument(
            wavelength=wavelength,
            ka2_ratio=ka2_ratio,
            shape=chosen,  # type: ignore[arg-type]
            U=0.005,
            V=-0.002,
            W=0.003,
            X=0.01,
            Y=0.02,
            radius=DEFAULT_RADIUS if radius is None else radius,
            monochromator_angle=0.0 if monochromator_angle is None else monochromator_angle,
        )
        if request.ka2_ratio is not None:
            start.refuse_ratio_without_doublet(1.0)
        told = wavelength_against_scan(start, measured.wavelength, True, "", measured.name or "the scan")
        return start, (), notes + ([told] if told else [])
    changes: dict[str, Any] = {"displacement": 0.0}
    for key, value in (
        ("wavelength", wavelength),
        ("ka2_ratio", ka2_ratio),
        ("radius", radius),
        ("monochromator_angle", monochromator_angle),
    ):
        if value is not None:
            changes[key] = value
    if shape is not None and shape != loaded.shape:
        raise InputError(f"the instrument was refined with {loaded.shape} peaks, not {shape}")
    started = loaded.replace(**changes)
    if ka2_ratio is not None:
        started.refuse_ratio_without_doublet(1.0)
    told = wavelength_against_scan(
        started, measured.wavelength, wavelength is not None, str(instrument), measured.name or "the scan"
    )
    return started, read.carried if read is not None else CARRIED, notes + ([told] if told else [])


def _choose_parameters(
    parameters: ParameterSet,
    correction: str | None,
    refine_cell: bool | None,
    refine_b: bool | None,
    carried: tuple[str, ...],
    fix: Sequence[str],
    refine: Sequence[str],
    geometry: str | None = None,
) -> list[str]:
    """Apply the defaults and the user's --fix and --refine; returns notes for the user.

    ``geometry`` is the scan's ("reflection", "transmission" or None for not stated).
    """
    notes = []
    both = set(fix) & set(refine)
    if both:
        raise InputError(f"{min(both)!r} is both fixed and refined")
    defaults_fixed = []
    if correction not in (None, *CORRECTIONS):
        raise InputError(f"unknown 2theta correction {correction!r}: use one of {', '.join(CORRECTIONS)}")
    if correction is None:
        # Zero shift and displacement trade off against each other and the cells: a reflection
        # scan refines the displacement, with the zero from calibration (0, or the instrument
        # file's); a transmission scan has no displacement of that form.
        correction = "zero_shift" if geometry == "transmission" else "displacement"
    if correction == "zero_shift":
        defaults_fixed.append("displacement")
    elif correction == "displacement":
        defaults_fixed.append("zero")
    if refine_cell is False:
        defaults_fixed.append("cell")
    if refine_b is False:
        defaults_fixed.append("b")
    from_standard = bool(carried)
    if from_standard:
        defaults_fixed += [kind_of(t) for t in carried if t in parameters]
    kinds = {p.kind for p in parameters}
    asked = {word.lower() for word in refine}
    same_shape = (("size", "Y", "Lorentzian Y / cos"), ("strain", "U", "Gaussian U tan^2"))
    for sample_kind, instrument_kind, what in same_shape:
        if sample_kind in kinds and instrument_kind in parameters and instrument_kind.lower() not in asked:
            # The same angular dependence: refining both leaves the fit without a unique answer.
            defaults_fixed.append(instrument_kind)
            if not from_standard:
                parameters.replace(instrument_kind, value=0.0)
                notes.append(
                    f"{sample_kind} refined without --instrument: the instrument's {what} width is "
                    f"held at 0, so the {sample_kind} includes the instrument's broadening"
                )
    parameters.fix([k for k in defaults_fixed if any(p.kind == k or p.name == k for p in parameters)])
    parameters.refine([r for r in refine if r.rpartition(":")[2].lower() not in ("scale", "background")])
    # The user's --fix last: a general --refine word (occupancy, size) must not free what they named.
    parameters.fix(fix)
    return notes


def _apply_start(parameters: ParameterSet, start: Mapping[str, float]) -> list[str]:
    """Start the named parameters at the given values (on a bound beyond it); returns notes for the user.

    The linear parameters (scales, background) are solved at every step and
    take no start.
    """
    unknown = []
    for name, value in start.items():
        if name not in parameters:
            unknown.append(name)
            continue
        parameter = parameters[name]
        if not parameter.linear:
            parameters.replace(name, value=min(max(value, parameter.lower), parameter.upper))
    if not unknown:
        return []
    return [
        f"{len(unknown)} start value(s) name parameters this fit does not have, and were not used: "
        + ", ".join(unknown[:5])
        + (" ..." if len(unknown) > 5 else "")
    ]


POSITION_GRID = np.linspace(-0.4, 0.4, 41)
"""Shifts (degrees 2θ, at low angle) the start's position is chosen among."""


def _scan_position(model: FitModel, start: np.ndarray) -> np.ndarray:
    """The zero shift (or else the displacement) on a grid of shifts with the least misfit.

    The phases are rendered once and moved by interpolation for each trial
    shift: a coarse search needs the peaks' places, not their exact shapes.
    """
    free = [p.name for p in model.parameters.free]
    target = next((n for n in ("zero_shift", "displacement") if n in free), None)
    if target is None:
        return start
    k = free.index(target)
    values = model.parameters.values(start)
    columns = model.phase_columns(values)
    x = model.two_theta
    radius = model.base.radius
    low_cos = math.cos(math.radians(x[0] / 2.0))
    if target == "zero_shift":
        trials = values[target] + POSITION_GRID
        per_unit = np.ones(x.size)  # degrees 2θ per degree of zero shift
    else:
        # A displacement s moves peaks by −2 s cos θ / R: the grid's shifts at the lowest angle.
        trials = values[target] - np.radians(POSITION_GRID) * radius / (2.0 * low_cos)
        per_unit = -np.degrees(2.0 * np.cos(np.radians(x) / 2.0) / radius)  # degrees 2θ per mm
    lower, upper = model.parameters[target].lower, model.parameters[target].upper
    target_values = model.intensity / model.sigma
    best, best_cost = values[target], math.inf
    for trial in trials:
        if not lower <= trial <= upper:
            continue
        moved = (trial - values[target]) * per_unit
        shifted = [np.interp(x - moved, x, c) for c in columns]
        matrix = np.column_stack(shifted + [model.background_basis]) / model.sigma[:, None]
        coefficients = linear_fit(matrix, target_values, len(columns))
        cost = float(np.sum((matrix @ coefficients - target_values) ** 2))
        if cost < best_cost:
            best, best_cost = float(trial), cost
    found = start.copy()
    found[k] = best
    return found


def fit_pattern(
    measured: MeasuredPattern | str | Path,
    phases: Sequence[Structure | str | Path],
    request: FitRequest | None = None,
    *,
    progress: Callable[[int], None] | None = None,
    **options: Any,
) -> FitResult:
    """Fit the phases (Structures or CIF paths) to a measured pattern (or its file).

    A whole-pattern fit by least squares: per phase a scale (from which the
    weight fraction follows, Hill and Howard), its cell and an overall B;
    the peak widths and shape, the 2θ corrections and a Chebyshev
    background.  Every refined number carries its standard uncertainty.

    Parameters
    ----------
    measured : MeasuredPattern, str or Path
        The scan, or its file.
    phases : sequence of Structure, str or Path
        The phases in the sample (CIF paths or structures).
    request : FitRequest, optional
        Every option of the fit (`FitRequest`); ``options`` change it.
    progress : callable or None
        Called at every evaluation of the model with the number so far.
    **options
        Fields of `FitRequest` by name (the keyword form of the request,
        which builds the same object): ``wavelength``, ``ka2_ratio``,
        ``shape``, ``radius``, ``monochromator_angle``, ``instrument`` (a
        standard's file, whose widths, asymmetry and zero shift are held
        unless ``refine`` names them), ``two_theta_range``,
        ``background_terms``, ``correction``, ``refine_cell``,
        ``refine_b``, ``fix`` and ``refine`` (names, kinds: scale,
        background, zero, displacement, cell, b, U, V, W, X, Y, eta,
        asymmetry, size, strain, orientation, or PHASE:KIND),
        ``orientations`` (March–Dollase along (h, k, l) by phase),
        ``particle_radius`` (µm, Brindley's microabsorption correction),
        ``anomalous``, ``refine_atoms`` (each site's free coordinates under
        its site symmetry; with ``refine`` words ``b-sites`` or
        ``b-elements`` an isotropic B per site or per element,
        ``occupancy`` the occupancies of partly occupied or shared sites),
        ``bonds``, ``max_evaluations`` and ``start`` (start values by
        parameter name).

    Returns
    -------
    FitResult
        The refined parameters with their uncertainties, the phases'
        weight fractions, the agreement indices and the curves.

    Raises
    ------
    InputError
        For unreadable or unusable input, a phase without a reflection in
        the range, fewer points than parameters, or a fit whose agreement
        indices are not finite.

    Examples
    --------
    The weighed three-phase mixture of the round robin shipped in the
    checkout's ``examples/measured/`` (run from the repository's root):

    >>> from peakforge_pattern.fitting.fit import fit_pattern
    >>> folder = "examples/measured/"
    >>> result = fit_pattern(folder + "qarr_cpd-1e.prn",
    ...                      [folder + name for name in ("corundum_Al2O3_bilbao.cif", "zincite_ZnO.cif",
    ...                                                  "fluorite_CaF2.cif")],
    ...                      monochromator_angle=26.6, radius=173)
    >>> result.converged
    True
    >>> w, esd = result.weight_fractions["fluorite_CaF2"], result.weight_fraction_esds["fluorite_CaF2"]
    >>> f"{100 * w:.0f} ± {100 * esd:.1f} wt %"
    '29 ± 0.4 wt %'
    >>> print(result.summary())  # doctest: +SKIP
    """
    started = time.process_time()
    request = FitRequest.from_fields(request, **options)
    if request.le_bail is not False or request.pawley is not False:
        from .decomposition import decompose_phases  # a fit without atoms is its own model

        return decompose_phases(measured, phases, request)  # type: ignore[return-value]
    optimize = _need_scipy()
    if not isinstance(measured, MeasuredPattern):
        measured = read_scan(measured)
    if request.two_theta_range is not None:
        measured = in_range(measured, *request.two_theta_range)
    weighting = choose_weights(measured)
    base, carried, instrument_notes = _start_instrument(request, measured)
    x = measured.two_theta
    lines = base.lines(1.0)
    structures = load_structures(phases)
    pattern_request = PatternRequest.from_fields(anomalous=request.anomalous)
    fit_phases = [
        prepare_phase(s, source, lines, float(x[0]), float(x[-1]), pattern_request) for s, source in structures
    ]
    names = [ph.name for ph in fit_phases]
    fit_phases, atom_notes = _attach_atoms(
        fit_phases, request.refine_atoms, request.refine, float(x[0]), float(x[-1]), pattern_request
    )
    checked_orientations = _check_orientations(request.orientation_map, names)
    radii = _particle_radii(request.particle_radius_map, names)
    # Absorption for Brindley's correction (refused beyond its range) or a hint of microabsorption.
    mus = absorption_coefficients(fit_phases) if len(fit_phases) > 1 or any(r > 0.0 for r in radii) else None
    if mus is not None and any(r > 0.0 for r in radii):
        check_brindley_range(fit_phases, mus, radii)

    parameters = standard_parameters(base, fit_phases, request.background_terms, checked_orientations, request.refine)
    for ph in fit_phases:
        for parameter in ph.atoms.fit_parameters() if ph.atoms is not None else ():
            parameters.add(parameter)
    notes = (
        instrument_notes
        + atom_notes
        + _choose_parameters(
            parameters,
            request.correction,
            request.refine_cell,
            request.refine_b,
            carried,
            request.fix,
            request.refine,
            measured.geometry,
        )
    )
    notes += _apply_start(parameters, request.start_values)
    _hold_overall_b(fit_phases, parameters)
    _refuse_unsupported_atoms(fit_phases, parameters, float(x[0]), float(x[-1]))
    model = FitModel(x, measured.intensity, weighting.sigma, fit_phases, base, parameters, checked_orientations)
    AnalyticDerivatives(model, structure_weights(fit_phases)).attach()
    unknowns = len(parameters.free) + len(parameters.linear)
    if x.size <= unknowns:
        raise InputError(
            f"{measured.name or 'the scan'}: {x.size} points cannot determine {unknowns} parameters: "
            "fit a wider range, or hold parameters with --fix"
        )

    model.progress = progress
    # The fit's matrices are a few columns by some thousand points: BLAS threads cost
    # more CPU time than they save, so the fit runs them on one thread.
    with _need_threadpoolctl().threadpool_limits(limits=1, user_api="blas"):
        lower, upper = parameters.bounds()
        parameters.update(parameters.values(np.clip(_scan_position(model, parameters.start()), lower, upper)))
        minimum, retry_note = _find_minimum(model, optimize, request, weighting.kind)
        free, converged, message = minimum.free, minimum.converged, minimum.message
        notes += retry_note
        result = _result(
            model,
            measured,
            free,
            converged,
            message,
            weighting,
            radii,
            request.anomalous,
            notes,
            started,
            request.bonds,
            mus,
        )
    return dataclasses.replace(result, request=request)


def _find_minimum(model: FitModel, optimize: Any, request: FitRequest, weighting: str) -> tuple[Minimum, list[str]]:
    """The refinement in stages, tried again from other starts when its minimum looks doubtful."""
    parameters = model.parameters
    first_start = parameters.values()

    def fit_from_here() -> Minimum:
        return refine_in_stages(model, optimize, request.max_evaluations, request.staged)

    minimum = fit_from_here()
    points = model.two_theta.size
    freedom = max(points - len(parameters.free) - len(parameters.linear), 1)
    misfit = math.sqrt(minimum.cost / freedom) / model.sigma_unit  # Rwp / Rexp
    reason = doubtful(parameters, misfit, 1.0, weighting)
    if reason is None or request.retries == 0 or not parameters.free:
        return minimum, []
    starts = retry_starts(first_start, parameters)[: request.retries]
    best, winner = best_of_starts(model, minimum, starts, fit_from_here)
    total = float(np.sum((model.intensity / model.sigma) ** 2))
    rwp = [100.0 * math.sqrt(m.cost / total) for m in (minimum, best)]
    if winner is None:
        told = f"the first start's minimum was the lowest (Rwp {rwp[0]:.2f} %)"
    else:
        told = f"the start with {winner} reached a lower minimum: Rwp {rwp[1]:.2f} % against {rwp[0]:.2f} %, kept"
    return best, [f"the fit was tried again from {len(starts)} other start(s) because {reason}: {told}"]


def _attach_atoms(
    phases: list[FitPhase],
    refine_atoms: bool | Sequence[str],
    refine: Sequence[str],
    low: float,
    high: float,
    request: PatternRequest,
) -> tuple[list[FitPhase], list[str]]:
    """The phases with their structures made refinable where asked, and notes for the user."""
    asked = [w for w in refine if w.strip().rpartition(":")[2].lower() in ATOM_KINDS]
    if refine_atoms is False or refine_atoms is None:
        if asked:
            raise InputError(
                f"--refine {asked[0]} refines the structure: add --refine-atoms "
                "(and --fix coordinates to hold the coordinates)"
            )
        return phases, []
    names = [ph.name for ph in phases]
    wanted = None if refine_atoms is True else [str(n) for n in refine_atoms]
    unknown = [n for n in wanted or [] if n not in names]
    if unknown:
        raise InputError(
            f"--refine-atoms names {unknown[0]!r}, which is not a phase of this fit (the phases are {', '.join(names)})"
        )
    window = (max(low - MARGIN, 0.0), min(high + MARGIN, 179.9))
    found, notes = [], []
    for ph in phases:
        if wanted is not None and ph.name not in wanted:
            found.append(ph)
            continue
        try:
            # A file in P1 whose atoms follow a higher group is refined in that group.
            structure, group_note = in_found_group(ph.structure, ph.name)
            atom_model = AtomModel(structure, ph.name, atom_options(refine, ph.name))
        except InputError as exc:
            if wanted is not None:
                raise
            notes.append(f"{exc}; its structure stays as read")
            found.append(ph)
            continue
        atoms = AtomPeaks(atom_model, [(w, s) for w, s, _ in ph.lines], window, request)
        lines = tuple((w, s, source.base) for (w, s, _), source in zip(ph.lines, atoms.lines))
        found.append(dataclasses.replace(ph, structure=structure, atoms=atoms, lines=lines))
        notes += [group_note] if group_note else []
        notes += atom_model.notes
    return found, notes


def structure_weights(phases: Sequence[FitPhase]) -> dict[str, WeightDerivatives]:
    """The refined structures' parameters, whose peak-weight derivatives the engine gives, by phase."""
    return {
        ph.name: WeightDerivatives(tuple(ph.atoms.model.names), ph.atoms.weight_derivatives)
        for ph in phases
        if ph.atoms is not None
    }


def _hold_overall_b(phases: list[FitPhase], parameters: ParameterSet) -> None:
    """A phase whose atoms have their own B keeps its overall B at 0 (the two would be one parameter)."""
    for ph in phases:
        if ph.atoms is not None and ph.atoms.model.options.b is not None and f"{ph.name} B" in parameters:
            parameters.replace(f"{ph.name} B", value=0.0, refined=False)


def _refuse_unsupported_atoms(phases: list[FitPhase], parameters: ParameterSet, low: float, high: float) -> None:
    """Refuse a structure refinement with more parameters than the phase has reflections in the range."""
    for ph in phases:
        if ph.atoms is None:
            continue
        count = sum(1 for name in ph.atoms.model.names if parameters[name].refined)
        reflections = ph.atoms.reflections_between(low, high)
        if reflections < count:
            raise InputError(
                f"{ph.name}: {count} structure parameters but only {reflections} reflections "
                f"between 2theta {low:g} and {high:g}: the data cannot carry them; refine fewer "
                "(--fix coordinates, b-elements instead of b-sites) or fit a wider range"
            )


def _atom_results(
    model: FitModel,
    phase: FitPhase,
    values: dict[str, float],
    fitted: FitCovariance,
    cell: tuple[float, ...],
    cell_esd: tuple[float, ...],
    bonds: float | None,
    measured: str,
) -> dict[str, Any]:
    """The CIF text of a phase after the fit, and the refined sites and bond lengths of a refined structure.

    A refined overall B is added to every site's B, so that the file gives
    the fitted pattern by itself.
    """
    covariance_ = fitted.pair()
    overall = (
        values.get(f"{phase.name} B", 0.0),
        dict(zip(covariance_[0], np.sqrt(np.maximum(np.diag(covariance_[1]), 0.0)))).get(f"{phase.name} B"),
    )
    notes = [f"{phase.name} after peakforge fit against {measured}"]
    cell_errors = [e if e > 0.0 else None for e in cell_esd]
    if phase.atoms is None:
        unit = phase.structure.asymmetric_unit
        sites = sites_as_read(unit, phase.structure.lattice, overall)
        return {"cif": structure_cif(phase.structure.name or phase.name, unit, sites, cell, cell_errors, notes)}
    atom_model = phase.atoms.model
    sites = refined_sites(atom_model, values, covariance_, overall)
    raw = fitted.pair(raw=True)
    overall_raw = (overall[0], dict(zip(raw[0], np.sqrt(np.maximum(np.diag(raw[1]), 0.0)))).get(f"{phase.name} B"))
    text = structure_cif(phase.structure.name or phase.name, atom_model.unit, sites, cell, cell_errors, notes)
    found: dict[str, Any] = {
        "atoms": tuple(sites),
        "atoms_esd_raw": tuple(refined_sites(atom_model, values, raw, overall_raw)),
        "cif": text,
    }
    if bonds is not None:
        cell_names = [f"{phase.name} cell {g}" for g in phase.constraints.names]

        def lattice_of(named: Mapping[str, float]) -> np.ndarray:
            return lattice_from_parameters(*phase.constraints.cell(model.cell_factors(phase, named)))

        found["bonds"] = tuple(bond_lengths(atom_model, values, lattice_of, covariance_, bonds, cell_names))
        found["angles"] = tuple(bond_angles(atom_model, values, lattice_of, covariance_, bonds, cell_names))
        # Least squares' own uncertainties beside the corrected ones, as for every other refined number.
        found["bond_esds_raw"] = tuple(
            b.esd for b in bond_lengths(atom_model, values, lattice_of, raw, bonds, cell_names)
        )
        found["angle_esds_raw"] = tuple(
            a.esd for a in bond_angles(atom_model, values, lattice_of, raw, bonds, cell_names)
        )
    return found


def _weight_fractions(
    model: FitModel,
    values: dict[str, float],
    volumes: list[float],
    names: list[str],
    cov: np.ndarray,
    radii: list[float],
    known_mus: list[float] | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[float | None]]:
    """Weight fractions, their standard uncertainties, Brindley's τ and the phases' μ (None where not known)."""
    phases = model.phases
    scales = np.array([values[f"{ph.name} scale"] for ph in phases])
    amounts = scales * np.array([ph.mass * v for ph, v in zip(phases, volumes)])
    mus: list[float | None] = list(known_mus) if known_mus is not None else [None] * len(phases)
    if any(r > 0.0 for r in radii):
        if known_mus is None:
            mus = [linear_absorption(ph.structure, [(w, s) for w, s, _ in ph.lines]) for ph in phases]
        densities = [ph.density for ph in phases]
        fractions, tau = corrected_fractions(amounts, mus, densities, radii)  # type: ignore[arg-type]
    else:
        fractions, tau = amounts / amounts.sum(), np.ones(len(phases))
    return fractions, _fraction_esds(model, values, volumes, names, cov, fractions, tau), tau, mus


def _fraction_esds(
    model: FitModel,
    values: dict[str, float],
    volumes: list[float],
    names: list[str],
    cov: np.ndarray,
    fractions: np.ndarray,
    tau: np.ndarray,
) -> np.ndarray:
    """The weight fractions' standard uncertainties through the covariance ``cov`` (model units)."""
    phases = model.phases
    per_scale = np.array([ph.mass * v / t for ph, v, t in zip(phases, volumes, tau)])
    # The covariance of the scales is in the model's intensity unit: so is the gradient.
    model_values = {**values, **{f"{ph.name} scale": values[f"{ph.name} scale"] / model.unit for ph in phases}}
    gradient = weight_fraction_gradient(model, model_values, fractions, per_scale, names)
    return np.sqrt(np.maximum(np.einsum("ij,jk,ik->i", gradient, cov, gradient), 0.0))


def _cell_esds(phase: FitPhase, esd: Mapping[str, float]) -> list[float]:
    """a, b, c, α, β, γ's standard uncertainties from those of the phase's cell factors."""
    found = [0.0] * 6
    for group_name, group in zip(phase.constraints.names, phase.constraints.groups):
        factor_esd = esd.get(f"{phase.name} cell {group_name}", 0.0)
        for i in group:
            found[i] = phase.constraints.parameters[i] * factor_esd
    return found


def _result(
    model: FitModel,
    measured: MeasuredPattern,
    free: np.ndarray,
    converged: bool,
    message: str,
    weighting: Any,
    radii: list[float],
    anomalous: bool,
    notes: list[str],
    started: float,
    bonds: float | None = None,
    known_mus: list[float] | None = None,
) -> FitResult:
    """The fit's numbers, uncertainties, warnings and curves at the solution.

    ``known_mus`` are the phases' linear absorption coefficients (1/cm) where known.
    """
    parameters, phases, unit = model.parameters, model.phases, model.unit
    n_phases = len(phases)
    coefficients, residual = model.solve(free)
    parameters.update(parameters.values(free))
    parameters.update(model.linear_values(coefficients))
    values = parameters.values()
    columns = model.phase_columns(values)
    x = measured.two_theta
    profiles = [column * coefficients[k] * unit for k, column in enumerate(columns)]
    background = model.background_basis @ coefficients[n_phases:] * unit
    calculated = background + sum(profiles, start=np.zeros(x.size))

    yn, sn, cn = model.intensity, model.sigma, calculated / unit
    freedom = max(
        x.size
        - len(parameters.free)
        - int(np.count_nonzero(coefficients[:n_phases] > 0.0))
        - (coefficients.size - n_phases),
        1,
    )
    wyy = float(np.sum((yn / sn) ** 2))
    rwp = math.sqrt(float(np.sum(((yn - cn) / sn) ** 2)) / wyy) if wyy > 0.0 else math.nan
    # χ² and Rexp in the file's own σ (the model's are divided by sigma_unit).
    rexp = math.sqrt(freedom / wyy) * model.sigma_unit if wyy > 0.0 else math.nan
    chi2 = float(np.sum(residual**2)) / freedom / model.sigma_unit**2
    rp = float(np.sum(np.abs(yn - cn)) / np.sum(np.abs(yn)))
    if not all(math.isfinite(v) for v in (rwp, rexp, chi2, rp)) or not np.all(np.isfinite(calculated)):
        raise InputError(
            f"{measured.name or 'the scan'}: the fit did not produce finite agreement indices "
            f"(Rwp {rwp:g}, chi2 {chi2:g}): check the intensities and their uncertainties"
        )
    if not np.any(coefficients[:n_phases] > 0.0):
        raise InputError(
            f"{measured.name or 'the scan'}: none of the phases fits the scan "
            "(every scale came out zero): check the phases and the wavelength"
        )

    fitted = covariance(model, values, coefficients, chi2 * model.sigma_unit**2, residual)
    names, cov = fitted.pair()
    esd = standard_uncertainties(names, cov, fitted.undetermined)
    esd_raw = standard_uncertainties(names, fitted.raw, fitted.undetermined)
    # Scales and background back in the scan's own intensity unit.
    for parameter in parameters.linear:
        parameters.update({parameter.name: parameter.value * unit})
        for table in (esd, esd_raw):
            if parameter.name in table:
                table[parameter.name] *= unit
    values = parameters.values()
    cells = [ph.constraints.cell(model.cell_factors(ph, values)) for ph in phases]
    volumes = [ph.constraints.volume(model.cell_factors(ph, values)) for ph in phases]
    fractions, fraction_esd, tau, mus = _weight_fractions(model, values, volumes, names, cov, radii, known_mus)
    fraction_esd_raw = _fraction_esds(model, values, volumes, names, fitted.raw, fractions, tau)

    instrument = model.instrument(values)
    first_line = phases[0].lines[0][0]
    phase_fits = []
    for k, ph in enumerate(phases):
        sample = model.sample(ph, values)
        d = ph.lines[0][2].d_for(model.reciprocal(ph, values))
        ratio = first_line / (2.0 * d)
        ticks = instrument.shift(2.0 * np.degrees(np.arcsin(ratio[ratio < 1.0])))
        cell_esd, cell_esd_raw = _cell_esds(ph, esd), _cell_esds(ph, esd_raw)
        phase_fits.append(
            PhaseFit(
                ph.name,
                float(fractions[k]),
                values[f"{ph.name} scale"],
                cells[k],
                volumes[k],
                sample.b_overall,
                ticks[(ticks >= x[0]) & (ticks <= x[-1])],
                weight_fraction_esd=float(fraction_esd[k]),
                scale_esd=esd.get(f"{ph.name} scale", 0.0),
                cell_esd=tuple(cell_esd),
                b_overall_esd=esd.get(f"{ph.name} B", 0.0),
                weight_fraction_esd_raw=float(fraction_esd_raw[k]),
                scale_esd_raw=esd_raw.get(f"{ph.name} scale", 0.0),
                cell_esd_raw=tuple(cell_esd_raw),
                b_overall_esd_raw=esd_raw.get(f"{ph.name} B", 0.0),
                size=values.get(f"{ph.name} size"),
                strain=values.get(f"{ph.name} strain"),
                orientation=model.orientations.get(ph.name),
                march_r=values.get(f"{ph.name} orientation"),
                linear_absorption=mus[k],
                brindley_tau=float(tau[k]),
                particle_radius=radii[k],
                source=ph.source,
                formula=reduced_formula(ph.structure),
                space_group=space_group(ph.structure),
                **_atom_results(model, ph, values, fitted, cells[k], tuple(cell_esd), bonds, measured.name or "a scan"),
            )
        )

    warnings = [*notes]
    if weighting.warning:
        warnings.append(weighting.warning)
    if not converged:
        warnings.append(f"the fit stopped before converging: {message}")
    warnings += parameter_warnings(parameters, esd)
    warnings += width_warnings(parameters, x)
    hints = orientation_hints(model, values, coefficients) if rwp > HINT_MISFIT * rexp else {}
    warnings += phase_warnings(phase_fits, set(hints))
    warnings += occupancy_warnings(phase_fits)
    warnings += misfit_warning(rwp, rexp, weighting.kind)
    warnings += correlation_warnings(fitted.names, fitted.correlation())
    warnings += [
        f"{name} is not determined by the data: it is given without an uncertainty"
        + (" (nor is the phase's weight fraction)" if parameters[name].kind == "scale" else "")
        for name in fitted.undetermined
    ]
    if known_mus is not None and not any(r > 0.0 for r in radii):
        warnings += microabsorption_hint([ph.name for ph in phases], known_mus, [float(w) for w in fractions])
    warnings += orientation_lines(hints)
    refined_corrections = [n for n in ("zero_shift", "displacement") if parameters[n].refined]
    return FitResult(
        measured,
        calculated,
        background,
        profiles,
        phase_fits,
        instrument,
        "+".join(refined_corrections) or "none",
        {p.name: p.value for p in parameters if not p.linear},
        esd,
        coefficients[n_phases:] * unit,
        rp,
        rwp,
        rexp,
        chi2,
        model.evaluations,
        converged,
        message,
        [p.name for p in parameters.free],
        parameters,
        weighting.kind,
        tuple(warnings),
        anomalous,
        time.process_time() - started,
        uncertainties_raw=esd_raw,
        durbin_watson=fitted.durbin_watson,
        correlations=(tuple(fitted.names), fitted.correlation()),
        undetermined=fitted.undetermined,
        orientation_hints={name: hkl for name, (hkl, _, _) in hints.items()},
    )
