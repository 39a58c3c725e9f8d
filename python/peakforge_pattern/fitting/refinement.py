"""How a fit reaches its minimum: in stages from the start, then again from
other starts when the first minimum looks doubtful.

A whole-pattern fit started with every parameter free can stop in a
minimum that is not the best: widths that grow to cover peaks not yet in
place, a Lorentzian term pinned at its bound. Laboratory practice refines
in stages, each from where the last one stopped: the peak positions
(zero, displacement, cells) with the scales and background (solved
exactly at every step), then the widths and shape, then the sample terms
(B, size, strain, orientation), then the structure; the last stage frees
every parameter together, so the answer is the same model's least squares
whatever the stages did. A stage without parameters of its own is
skipped.

When the fit then ends with a parameter at a bound or with Rwp/Rexp well
above 1, it is run again from a few other starts, the same every time
(broader and narrower peaks, a more Lorentzian shape), and the lowest χ²
is kept; the result says so.

The optimiser is SciPy's trust-region least squares with box bounds; the
peak widths go through ``PhysicalWidths`` so that every trial is a
physical profile.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from .model import FitModel
from .parameters import ParameterSet
from .width_constraints import PhysicalWidths

STAGES: tuple[tuple[str, frozenset[str]], ...] = (
    ("positions", frozenset({"zero", "displacement", "cell"})),
    ("widths", frozenset({"U", "V", "W", "X", "Y", "eta", "asymmetry"})),
    ("sample terms", frozenset({"b", "size", "strain", "orientation"})),
)
"""The stages before the last, each adding these kinds to the ones before;
the last frees every refined parameter (the structure's among them)."""

STAGE_EVALUATIONS = 4
"""Most evaluations of a stage before the last: a stage need only bring the parameters near."""

STAGE_TOLERANCE = 1e-4
"""Relative change of χ² at which a stage before the last stops."""

RETRY_MISFIT = 1.5
"""Rwp / Rexp above which a fit is tried again from other starts."""

SAME_MINIMUM = 1e-4
"""Relative difference of χ² within which two minima count as the same (the first one is kept)."""

RETRY_STARTS: tuple[tuple[str, dict[str, float]], ...] = (
    ("broader peaks", {"U": 4.0, "V": 4.0, "W": 4.0, "X": 2.0, "Y": 2.0}),
    ("narrower, more Lorentzian peaks", {"U": 0.25, "V": 0.25, "W": 0.25, "X": 2.0, "Y": 2.0}),
)
"""Other starts: factors on the default start's widths (the other parameters start where the first fit started)."""


@dataclass(frozen=True)
class Minimum:
    """Where one run of the optimiser stopped: the free parameters' values, χ² (unnormalised) and its word."""

    free: np.ndarray
    cost: float
    converged: bool
    message: str


def run_least_squares(model: FitModel, optimize: Any, max_evaluations: int, tolerance: float = 1e-8) -> Minimum:
    """Refine the model's free parameters from their values; the parameters keep the result."""
    parameters = model.parameters
    if not parameters.free:
        cost = float(np.sum(model.residuals(parameters.start()) ** 2))
        return Minimum(parameters.start(), cost, True, "nothing to refine but the scales and background")
    transform = PhysicalWidths(parameters)
    lower, upper = transform.bounds(*parameters.bounds())
    start = np.clip(transform.internal(parameters.start()), lower, upper)
    # Kaufman's Jacobian from analytic columns, numerical ones only for the parameters without.
    analytic = any(p.derivative is not None for p in parameters.free)

    def residuals(z: np.ndarray) -> np.ndarray:
        return model.residuals(transform.external(z))

    def jacobian(z: np.ndarray) -> np.ndarray:
        return model.jacobian(transform.external(z)) @ transform.derivative(z)

    solution = optimize.least_squares(
        residuals,
        start,
        bounds=(lower, upper),
        x_scale=transform.steps(parameters.steps()),
        max_nfev=max_evaluations,
        tr_solver="lsmr",
        jac=jacobian if analytic else "2-point",
        ftol=tolerance,
        xtol=tolerance,
        gtol=tolerance,
    )
    free = parameters.onto_bounds(transform.external(solution.x))
    parameters.update(parameters.values(free))
    return Minimum(free, 2.0 * float(solution.cost), bool(solution.success), str(solution.message))


def refine_in_stages(model: FitModel, optimize: Any, max_evaluations: int, staged: bool = True) -> Minimum:
    """Stages of ``STAGES`` (when ``staged``), then every refined parameter together."""
    parameters = model.parameters
    refined = [p.name for p in parameters.free]
    kinds = {p.kind for p in parameters.free}
    used = 0
    freed: set[str] = set()
    for _, stage_kinds in STAGES if staged else ():
        freed |= stage_kinds
        if not (stage_kinds & kinds) or not (kinds - freed):
            continue  # nothing new, or the stage would be the last
        _hold_all_but(parameters, refined, freed)
        try:
            before = model.evaluations
            run_least_squares(model, optimize, STAGE_EVALUATIONS, STAGE_TOLERANCE)
            used += model.evaluations - before
        finally:
            parameters.refine(refined)
    return run_least_squares(model, optimize, max(max_evaluations - used, 1))


def _hold_all_but(parameters: ParameterSet, refined: list[str], kinds: set[str]) -> None:
    for name in refined:
        if parameters[name].kind not in kinds:
            parameters.replace(name, refined=False)


def doubtful(parameters: ParameterSet, rwp: float, rexp: float, weighting: str) -> str | None:
    """Why a fit's minimum should be checked from other starts (None: no reason)."""
    bound = [p.name for p in parameters.free if p.at_bound() is not None]
    if bound:
        return f"{bound[0]} stopped at a bound"
    if weighting != "equal" and rexp > 0.0 and rwp / rexp > RETRY_MISFIT:
        return f"Rwp/Rexp = {rwp / rexp:.2f}"
    return None


def retry_starts(start: dict[str, float], parameters: ParameterSet) -> list[tuple[str, dict[str, float]]]:
    """The other starts: the first start's values with its widths scaled, within their bounds."""
    found = []
    for label, factors in RETRY_STARTS:
        values = dict(start)
        for name, factor in factors.items():
            if name in values and name in parameters and parameters[name].refined:
                p = parameters[name]
                values[name] = min(max(values[name] * factor, p.lower), p.upper)
        found.append((label, values))
    return found


def best_of_starts(
    model: FitModel,
    first: Minimum,
    starts: list[tuple[str, dict[str, float]]],
    fit_from: Callable[[], Minimum],
) -> tuple[Minimum, str | None]:
    """Fit again from each start; the lowest χ² and, when another start won, its label."""
    parameters = model.parameters
    best, best_values, winner = first, parameters.values(), None
    for label, values in starts:
        parameters.update(values)
        found = fit_from()
        if math.isfinite(found.cost) and found.cost < best.cost * (1.0 - SAME_MINIMUM):
            best, best_values, winner = found, parameters.values(), label
    parameters.update(best_values)
    return best, winner
