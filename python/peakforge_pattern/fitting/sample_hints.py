"""What the sample may be doing that the fit's model leaves out, and
corrections asked for beyond where they hold.

Brindley's microabsorption correction (Brindley, Phil. Mag. 36 (1945) 347)
holds for powders up to his "coarse" class, μD ≤ 1 (D the particle size,
here μR ≤ 0.5 with R the radius); for "very coarse" powders it no longer
describes the intensities, and τ then runs to values (10⁻²⁶) that turn
any weight fraction into noise. Such a request is refused, naming the
phase and its μR.

Without a particle size, phases that absorb several times more than one
another (μ of one ≥ ``ABSORPTION_CONTRAST`` times another's) are the case
where microabsorption biases weight fractions most (the stronger absorber
comes out low): the fit says so.

A phase whose misfit follows one direction of its crystals is one the
fit should give March–Dollase preferred orientation (Dollase, J. Appl.
Cryst. 19 (1986) 267). For each phase without one and a few low-index
directions, the score test of adding the March ratio r at r = 1: the drop
of χ² a first step would give, (gᵀe)² / |g|² with g the profile's
derivative by r (the scales and background projected out) and e the
weighted residuals. When the best promises a sizeable share of χ², every
direction is tried at a plate-like and a needle-like ratio (the intensities
move far from linearly in r), the best of them at more ratios, and the one
that lowers χ² most is suggested when it removes a sizeable share of χ²
with a ratio well away from 1.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from ..errors import InputError
from .absorption import linear_absorption
from .model import FitModel, linear_fit, projection
from .phases import FitPhase

BRINDLEY_LIMIT = 0.5
"""Largest μR (μ in 1/cm, R the particle radius in cm) where Brindley's correction holds."""

ABSORPTION_CONTRAST = 3.0
"""Ratio of the phases' linear absorption coefficients from which microabsorption is pointed out."""

DIRECTIONS: tuple[tuple[int, int, int], ...] = (
    (0, 0, 1),
    (1, 0, 0),
    (0, 1, 0),
    (1, 1, 0),
    (1, 0, 1),
    (0, 1, 1),
    (1, 1, 1),
)
"""Preferred directions tried for a hint of preferred orientation."""

ORIENTATION_SHARE = 0.03
"""Share of χ² the best direction's March ratio must promise to remove for a hint."""

ORIENTATION_STEP = 0.05
"""Smallest change of the March ratio from 1 worth a hint."""

_PROBE = 0.02  # the March ratio's step for its derivative
MARCH_TRIALS = (0.6, 0.75, 0.9, 1.15, 1.4, 1.8)
"""March ratios tried along the most promising directions."""


def absorption_coefficients(phases: Sequence[FitPhase]) -> list[float] | None:
    """Each phase's linear absorption coefficient (1/cm), None without the tables (xraydb)."""
    try:
        return [linear_absorption(ph.structure, [(w, s) for w, s, _ in ph.lines]) for ph in phases]
    except InputError:
        return None


def check_brindley_range(phases: Sequence[FitPhase], mus: Sequence[float], radii_microns: Sequence[float]) -> None:
    """Refuse Brindley's correction for a phase whose μR is beyond where it holds.

    Raises
    ------
    InputError
        Naming the first such phase, its μ, R and μR.
    """
    for phase, mu, radius in zip(phases, mus, radii_microns):
        product = mu * radius * 1e-4
        if radius > 0.0 and product > BRINDLEY_LIMIT:
            raise InputError(
                f"{phase.name}: mu R = {product:.3g} (mu {mu:.4g} /cm, R {radius:g} um) is beyond Brindley's "
                f"correction, which holds up to mu R = {BRINDLEY_LIMIT:g} (mu D = 1, coarse powders): "
                "give a smaller --particle-size (a radius), or grind the sample finer"
            )


def microabsorption_hint(names: Sequence[str], mus: Sequence[float], fractions: Sequence[float]) -> list[str]:
    """A line when present phases' absorption differs by ``ABSORPTION_CONTRAST`` or more."""
    present = [(mu, name) for name, mu, w in zip(names, mus, fractions) if w > 0.0 and mu > 0.0]
    if len(present) < 2:
        return []
    low, high = min(present), max(present)
    if high[0] < ABSORPTION_CONTRAST * low[0]:
        return []
    return [
        f"hint: {high[1]} absorbs {high[0] / low[0]:.1f} times as strongly as {low[1]} (mu {high[0]:.0f} and "
        f"{low[0]:.0f} /cm): microabsorption may bias the weight fractions (the stronger absorber comes out "
        "low); with a known particle size, --particle-size applies Brindley's correction"
    ]


def orientation_hints(model: FitModel, values: dict[str, float], coefficients: np.ndarray) -> dict[str, tuple]:
    """Phases whose misfit follows one direction: {phase: ((h, k, l), March ratio, share of χ² it removes)}.

    The score test ranks the directions; the three best are then tried on
    a few March ratios each (scales and background solved again), and the
    lowest χ² names the direction.
    """
    n_phases = len(model.phases)
    design = model.design(values)
    target = model.intensity / model.sigma
    residual = target - design @ coefficients
    total = float(residual @ residual)
    active = [i for i in range(design.shape[1]) if i >= n_phases or coefficients[i] > 0.0]
    basis = design[:, active]
    base_columns = model.phase_columns(values)
    found: dict[str, tuple] = {}
    for k, phase in enumerate(model.phases):
        if phase.name in model.orientations or coefficients[k] <= 0.0 or not total > 0.0:
            continue
        ranked = []
        for direction in DIRECTIONS:
            column = _oriented_column(model, phase, values, direction, 1.0 + _PROBE)
            g = coefficients[k] * (column - base_columns[k]) / _PROBE / model.sigma
            g = g - projection(basis, g[:, None])[:, 0]
            norm = float(g @ g)
            if norm > 0.0:
                ranked.append((float(g @ residual) ** 2 / norm, direction))
        ranked.sort(key=lambda item: -item[0])
        if not ranked or ranked[0][0] < ORIENTATION_SHARE * total:
            continue
        # A first step can mislead (the intensities move far from linearly in r): each direction
        # is tried at a plate-like and a needle-like ratio, then the best one at more ratios.
        tried = [(_cost(model, values, base_columns, k, d, r, target), d, r) for _, d in ranked for r in (0.7, 1.5)]
        _, direction, _ = min(tried)
        cost, direction, ratio = min(
            [(_cost(model, values, base_columns, k, direction, r, target), direction, r) for r in MARCH_TRIALS] + tried
        )
        if total - cost > ORIENTATION_SHARE * total and abs(ratio - 1.0) > ORIENTATION_STEP:
            found[phase.name] = (direction, ratio, (total - cost) / total)
    return found


def _cost(
    model: FitModel,
    values: dict[str, float],
    columns: list[np.ndarray],
    k: int,
    direction: tuple[int, int, int],
    ratio: float,
    target: np.ndarray,
) -> float:
    """χ² with phase k given March ratio ``ratio`` along ``direction`` (scales and background solved again)."""
    trial = list(columns)
    trial[k] = _oriented_column(model, model.phases[k], values, direction, ratio)
    matrix = np.column_stack(trial + [model.background_basis]) / model.sigma[:, None]
    return float(np.sum((matrix @ linear_fit(matrix, target, len(columns)) - target) ** 2))


def _oriented_column(
    model: FitModel, phase: FitPhase, values: dict[str, float], direction: tuple[int, int, int], ratio: float
) -> np.ndarray:
    """The phase's unit-scale profile with March ratio ``ratio`` along ``direction``."""
    name = phase.name
    saved = model.orientations.get(name)
    model.orientations[name] = direction
    try:
        return model.phase_column(phase, {**values, f"{name} orientation": ratio})
    finally:
        if saved is None:
            del model.orientations[name]
        else:
            model.orientations[name] = saved


def orientation_lines(hints: dict[str, tuple]) -> list[str]:
    """The hints as lines for the user."""
    return [
        f"hint: the misfit of {name} follows its ({''.join(str(i) for i in hkl)}) planes (a March ratio of "
        f"{ratio:.2g} removes {100 * share:.0f} % of chi2): preferred orientation? try "
        f"--orientation {name}:{''.join(str(i) for i in hkl)}"
        for name, (hkl, ratio, share) in hints.items()
    ]
