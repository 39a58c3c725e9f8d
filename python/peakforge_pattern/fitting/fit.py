"""Fitting phases to a measured powder pattern by least squares.

The calculated pattern is a Chebyshev background plus one profile per phase
times its scale. Scales and background enter linearly: for every trial of
the other parameters (zero shift or sample displacement, Caglioti U, V, W
and Lorentzian X, Y or the mixing η, and optionally each phase's cell and
overall B) they are solved exactly by weighted linear least squares, and
SciPy's least_squares moves only the others (variable projection). A scan
of the zero shift first puts the peaks near their place.

Weight fractions follow from the scales S as w = S·ZMV / Σ S·ZMV (Hill and
Howard, J. Appl. Cryst. 20 (1987) 467), ZM being the cell mass and V its
volume; the agreement indices are the usual Rp, Rwp, Rexp and χ².
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np

from ..diffraction.compute import compute_pattern
from ..diffraction.request import check_two_theta_range
from ..errors import InputError
from ..optional import require
from ..profiles.instrument import DEFAULT_KA2_RATIO, SHAPES, Instrument
from ..profiles.mixture import cell_mass
from ..profiles.profile import PhasePeaks, line_set, render_in_bins
from ..profiles.sample import Sample
from ..profiles.shapes import bin_edges
from ..structures.structure import Structure
from .cell_constraints import CellConstraints
from .measured import MeasuredPattern, in_range, read_measured

BACKGROUND_TERMS = 6
CELL_LIMIT = 0.005
"""Largest relative change of a refined cell parameter."""

CORRECTIONS: tuple[str, ...] = ("zero_shift", "displacement")
_MARGIN = 5.0  # degrees of reflections computed beyond the data, for tails and Kα2


def _need_scipy() -> Any:
    return require("scipy.optimize", "fit", "fitting")


@dataclass(frozen=True)
class _Parameter:
    name: str
    start: float
    lower: float
    upper: float
    typical: float  # the size of a meaningful change, for the optimiser's scaling


@dataclass(frozen=True, eq=False)
class PhaseFit:
    """One phase as fitted: weight fraction (0–1), scale, cell, overall B and
    the observed 2θ of its reflections (first emission line) in the range."""

    name: str
    weight_fraction: float
    scale: float
    cell: tuple[float, ...]
    volume: float
    b_overall: float
    reflections: np.ndarray


@dataclass(frozen=True, eq=False)
class FitResult:
    """What a fit found, and the curves to show it."""

    measured: MeasuredPattern
    calculated: np.ndarray
    background: np.ndarray
    phase_profiles: list[np.ndarray]
    phases: list[PhaseFit]
    instrument: Instrument
    correction: str
    parameters: dict[str, float]
    uncertainties: dict[str, float]
    background_coefficients: np.ndarray
    rp: float
    rwp: float
    rexp: float
    chi2: float
    evaluations: int
    converged: bool
    message: str = ""
    refined: list[str] = field(default_factory=list)

    @property
    def _cell_factor_prefixes(self) -> tuple[str, ...]:
        # Refined cells show in the phase table; their factors stay in ``parameters``.
        return tuple(f"{p.name} cell " for p in self.phases)

    @property
    def weight_fractions(self) -> dict[str, float]:
        return {p.name: p.weight_fraction for p in self.phases}

    @property
    def difference(self) -> np.ndarray:
        return self.measured.intensity - self.calculated

    def to_dict(self) -> dict:
        return {
            "measured": self.measured.name, "points": len(self.measured),
            "two_theta_range": [float(self.measured.two_theta[0]), float(self.measured.two_theta[-1])],
            "rp": self.rp, "rwp": self.rwp, "rexp": self.rexp, "chi2": self.chi2,
            "parameters": self.parameters, "uncertainties": self.uncertainties,
            "background_coefficients": self.background_coefficients.tolist(),
            "phases": [{"name": p.name, "weight_fraction": p.weight_fraction, "scale": p.scale,
                        "cell": list(p.cell), "volume": p.volume, "b_overall": p.b_overall} for p in self.phases],
            "converged": self.converged, "evaluations": self.evaluations,
        }

    def summary(self) -> str:
        """The fit as text: agreement, instrument parameters and phases."""
        lo, hi = self.measured.two_theta[0], self.measured.two_theta[-1]
        lines = [f"{self.measured.name}: {len(self.measured)} points, 2theta {lo:g} to {hi:g}, "
                 f"{self.instrument.shape} peaks, {self.background_coefficients.size} background terms"
                 + ("" if self.converged else f" (not converged: {self.message})"),
                 f"Rp {100 * self.rp:.2f} %  Rwp {100 * self.rwp:.2f} %  Rexp {100 * self.rexp:.2f} %  "
                 f"chi2 {self.chi2:.3f}"]
        shown = [n for n in self.parameters if not n.startswith(self._cell_factor_prefixes)]
        width = max(map(len, shown), default=0)
        for name in shown:
            error = self.uncertainties.get(name)
            lines.append(f"  {name:<{width}}  {self.parameters[name]:12.6g}" + (f"  +- {error:.2g}" if error else ""))
        header = ["phase", "weight %", "a", "b", "c", "alpha", "beta", "gamma", "B"]
        rows = [[p.name, f"{100 * p.weight_fraction:.2f}"] + [f"{v:.5f}" for v in p.cell[:3]]
                + [f"{v:.3f}" for v in p.cell[3:]] + [f"{p.b_overall:.3f}"] for p in self.phases]
        widths = [max(len(r[c]) for r in [header] + rows) for c in range(len(header))]
        for row in [header] + rows:
            lines.append("  ".join(cell.ljust(w) if c == 0 else cell.rjust(w)
                                   for c, (cell, w) in enumerate(zip(row, widths))).rstrip())
        return "\n".join(lines) + "\n"


class _Phase:
    """A phase's cached reflections and cell, ready to place for trial parameters."""

    def __init__(self, structure: Structure, wavelength: float, lo: float, hi: float) -> None:
        self.name = structure.name
        pattern = compute_pattern(structure, wavelength, (max(lo - _MARGIN, 0.0), min(hi + _MARGIN, 179.9)),
                                  scale="absolute")
        self.peaks = PhasePeaks.from_pattern(pattern)
        self.constraints = CellConstraints.of(structure)
        self.mass = cell_mass(structure)


def _load(phases: Sequence[Structure | str | Path]) -> list[Structure]:
    structures = [p if isinstance(p, Structure) else Structure.from_cif(p) for p in phases]
    if not structures:
        raise InputError("a fit needs at least one phase")
    names = [s.name for s in structures]
    # Phases are reported (and their parameters named) by name: keep names apart.
    return [s if names.count(s.name) == 1 and s.name else dataclasses.replace(s, name=f"{s.name or 'phase'}#{i + 1}")
            for i, s in enumerate(structures)]


class _Model:
    """The calculated pattern as a function of the non-linear parameters.

    Scales and background coefficients are not parameters: ``solve`` finds
    them exactly for every trial of the others.
    """

    def __init__(self, measured: MeasuredPattern, phases: list[_Phase], base: Instrument, correction: str,
                 background_terms: int, refine_cell: bool, refine_b: bool) -> None:
        self.measured, self.phases, self.base, self.correction = measured, phases, base, correction
        self.refine_cell, self.refine_b = refine_cell, refine_b
        x = measured.two_theta
        self.edges = bin_edges(x)
        self.background_basis = np.polynomial.chebyshev.chebvander(
            2.0 * (x - x[0]) / (x[-1] - x[0]) - 1.0, background_terms - 1)
        position = (-1.0, 1.0, 0.01) if correction == "zero_shift" else (-5.0, 5.0, 0.05)
        self.parameters = [_Parameter(correction, 0.0, *position),
                           _Parameter("U", 0.005, 0.0, 1.0, 0.005), _Parameter("V", -0.002, -1.0, 1.0, 0.005),
                           _Parameter("W", 0.003, 0.0, 1.0, 0.002)]
        if base.shape == "tch":
            self.parameters += [_Parameter("X", 0.01, 0.0, 1.0, 0.01), _Parameter("Y", 0.02, 0.0, 1.0, 0.01)]
        else:
            self.parameters.append(_Parameter("eta", 0.5, 0.0, 1.0, 0.1))
        self.parameters.append(_Parameter("asymmetry", 0.0, -0.5, 0.5, 0.01))
        for phase in phases:
            if refine_cell:
                self.parameters += [_Parameter(f"{phase.name} cell {n}", 1.0, 1.0 - CELL_LIMIT, 1.0 + CELL_LIMIT,
                                               1e-4) for n in phase.constraints.names]
            if refine_b:
                self.parameters.append(_Parameter(f"{phase.name} B", 0.0, -3.0, 10.0, 0.3))
        self.names = [p.name for p in self.parameters]

    def cell_factors(self, phase: _Phase, named: dict[str, float]) -> np.ndarray:
        if not self.refine_cell:
            return np.ones(len(phase.constraints.groups))
        return np.array([named[f"{phase.name} cell {n}"] for n in phase.constraints.names])

    def unpack(self, values: np.ndarray) -> tuple[Instrument, list[Sample | None], list[np.ndarray | None]]:
        """The instrument, and each phase's sample and reciprocal cell, for these parameters."""
        named = dict(zip(self.names, map(float, values)))
        instrument = self.base.replace(**{k: named[k] for k in ("U", "V", "W", "X", "Y", "eta", "asymmetry")
                                          if k in named}, **{self.correction: named[self.correction]})
        samples = [Sample(b_overall=named[f"{ph.name} B"]) if self.refine_b else None for ph in self.phases]
        reciprocals = [ph.constraints.reciprocal(self.cell_factors(ph, named)) if self.refine_cell else None
                       for ph in self.phases]
        return instrument, samples, reciprocals

    def phase_columns(self, values: np.ndarray) -> list[np.ndarray]:
        """Each phase's profile for unit scale."""
        instrument, samples, reciprocals = self.unpack(values)
        return [render_in_bins(line_set(ph.peaks, instrument, s, r), self.edges)
                for ph, s, r in zip(self.phases, samples, reciprocals)]

    def solve(self, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Best scales and background for these parameters, and the weighted residuals."""
        sigma = self.measured.uncertainty
        matrix = np.column_stack(self.phase_columns(values) + [self.background_basis]) / sigma[:, None]
        target = self.measured.intensity / sigma
        coefficients = _linear_fit(matrix, target, len(self.phases))
        return coefficients, matrix @ coefficients - target

    def residuals(self, values: np.ndarray) -> np.ndarray:
        return self.solve(values)[1]


def fit_pattern(measured: MeasuredPattern | str | Path, phases: Sequence[Structure | str | Path], *,
                wavelength: float | str | tuple[float, float] | None = None, ka2_ratio: float | None = None,
                shape: str = "tch", background_terms: int = BACKGROUND_TERMS, correction: str = "zero_shift",
                radius: float = 240.0, monochromator_angle: float = 0.0, refine_cell: bool = False,
                refine_b: bool = False, two_theta_range: Sequence[float] | None = None,
                max_evaluations: int = 400) -> FitResult:
    """Fit the phases (Structures or CIF paths) to a measured pattern (or its file).

    ``wavelength`` None takes the file's (an .xrdml names its lines) or CuKa,
    the Kα1/Kα2 doublet with ``ka2_ratio`` (default the file's or 0.5).
    ``correction`` refines a "zero_shift" (degrees) or a sample
    "displacement" (mm, goniometer ``radius`` in mm). ``monochromator_angle``
    is the monochromator's 2θ for the polarisation factor (0: none).
    """
    optimize = _need_scipy()
    if not isinstance(measured, MeasuredPattern):
        measured = read_measured(measured)
    if two_theta_range is not None:
        measured = in_range(measured, *check_two_theta_range(two_theta_range))
    if shape not in SHAPES:
        raise InputError(f"unknown peak shape {shape!r}: use one of {', '.join(SHAPES)}")
    if correction not in CORRECTIONS:
        raise InputError(f"unknown 2theta correction {correction!r}: use one of {', '.join(CORRECTIONS)}")
    if not 1 <= int(background_terms) <= 30:
        raise InputError(f"the background takes 1 to 30 Chebyshev terms, not {background_terms}")
    if wavelength is None:
        wavelength = measured.wavelength[:2] if measured.wavelength else "CuKa"
    if ka2_ratio is None:
        ka2_ratio = measured.wavelength[2] if measured.wavelength else DEFAULT_KA2_RATIO
    base = Instrument(wavelength=wavelength, ka2_ratio=ka2_ratio, shape=shape,  # type: ignore[arg-type]
                      radius=radius, monochromator_angle=monochromator_angle)
    x = measured.two_theta
    first_line = base.lines(1.0)[0][0]
    model = _Model(measured, [_Phase(s, first_line, float(x[0]), float(x[-1])) for s in _load(phases)],
                   base, correction, int(background_terms), refine_cell, refine_b)

    params = model.parameters
    start = np.array([p.start for p in params])
    start[0] = _scan_position(model.residuals, start, params[0])
    solution = optimize.least_squares(model.residuals, start,
                                      bounds=(np.array([p.lower for p in params]), np.array([p.upper for p in params])),
                                      x_scale=np.array([p.typical for p in params]), max_nfev=max_evaluations,
                                      tr_solver="lsmr")
    return _result(model, solution, first_line)


def _result(model: _Model, solution: Any, first_line: float) -> FitResult:
    """The fit's numbers and curves at the solution."""
    measured, n_phases = model.measured, len(model.phases)
    x, y, sigma = measured.two_theta, measured.intensity, measured.uncertainty
    coefficients, residual = model.solve(solution.x)
    instrument, samples, reciprocals = model.unpack(solution.x)
    profiles = [column * coefficients[k] for k, column in enumerate(model.phase_columns(solution.x))]
    background = model.background_basis @ coefficients[n_phases:]
    calculated = background + sum(profiles, start=np.zeros(x.size))

    weights = 1.0 / sigma ** 2
    freedom = max(x.size - len(model.parameters) - coefficients.size, 1)
    rwp = math.sqrt(float(np.sum(weights * (y - calculated) ** 2) / np.sum(weights * y * y)))
    rexp = math.sqrt(freedom / float(np.sum(weights * y * y)))
    chi2 = float(np.sum(residual ** 2)) / freedom
    rp = float(np.sum(np.abs(y - calculated)) / np.sum(np.abs(y)))

    named = dict(zip(model.names, map(float, solution.x)))
    factors = [model.cell_factors(ph, named) for ph in model.phases]
    volumes = [ph.constraints.volume(f) for ph, f in zip(model.phases, factors)]
    amounts = np.array([coefficients[k] * ph.mass * v for k, (ph, v) in enumerate(zip(model.phases, volumes))])
    fractions = amounts / amounts.sum() if amounts.sum() > 0.0 else np.zeros(n_phases)
    phase_fits = []
    for k, (ph, s, r) in enumerate(zip(model.phases, samples, reciprocals)):
        ratio = first_line / (2.0 * ph.peaks.d_for(r))
        ticks = instrument.shift(2.0 * np.degrees(np.arcsin(ratio[ratio < 1.0])))
        phase_fits.append(PhaseFit(ph.name, float(fractions[k]), float(coefficients[k]),
                                   ph.constraints.cell(factors[k]), volumes[k], s.b_overall if s else 0.0,
                                   ticks[(ticks >= x[0]) & (ticks <= x[-1])]))
    return FitResult(measured, calculated, background, profiles, phase_fits, instrument, model.correction,
                     named, _uncertainties(solution.jac, chi2, model.names), coefficients[n_phases:],
                     rp, rwp, rexp, chi2, int(solution.nfev), bool(solution.success), str(solution.message),
                     model.names)


def _linear_fit(matrix: np.ndarray, target: np.ndarray, n_phases: int) -> np.ndarray:
    """Least-squares coefficients of the columns, the first ``n_phases`` not negative.

    The normal equations of a handful of unit-scaled columns are well
    conditioned, and far cheaper than a decomposition of the tall matrix.
    A phase that would come out negative is absent: it is dropped and the
    rest solved again.
    """
    norms = np.linalg.norm(matrix, axis=0)
    usable = norms > 0.0
    while True:
        scaled = matrix[:, usable] / norms[usable]
        solution = np.zeros(matrix.shape[1])
        try:
            solution[usable] = np.linalg.solve(scaled.T @ scaled, scaled.T @ target) / norms[usable]
        except np.linalg.LinAlgError:
            solution[usable] = np.linalg.lstsq(scaled, target, rcond=None)[0] / norms[usable]
        negative = np.flatnonzero(solution[:n_phases] < 0.0)
        if negative.size == 0:
            return solution
        usable[negative[np.argmin(solution[negative])]] = False


def _scan_position(residual: Callable[[np.ndarray], np.ndarray], start: np.ndarray,
                   parameter: _Parameter) -> float:
    """The zero shift (or displacement) on a coarse grid with the least misfit."""
    best, best_cost = parameter.start, math.inf
    for value in np.linspace(-0.4, 0.4, 21) * (parameter.typical / 0.01):
        trial = start.copy()
        trial[0] = value
        cost = float(np.sum(residual(trial) ** 2))
        if cost < best_cost:
            best, best_cost = float(value), cost
    return best


def _uncertainties(jacobian: np.ndarray, chi2: float, names: list[str]) -> dict[str, float]:
    """Standard uncertainties from the curvature at the minimum, scaled by χ²."""
    try:
        covariance = np.linalg.inv(jacobian.T @ jacobian) * chi2
    except np.linalg.LinAlgError:
        return {}
    return {n: float(math.sqrt(v)) for n, v in zip(names, np.diag(covariance)) if v >= 0.0}
