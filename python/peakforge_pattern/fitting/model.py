"""The calculated pattern of a fit as a function of its named parameters.

The pattern is a Chebyshev background plus one profile per phase times its
scale. Scales and background coefficients enter linearly: for every trial
of the other parameters they are solved exactly by weighted linear least
squares, and the optimiser moves only the others (variable projection;
Golub and Pereyra, SIAM J. Numer. Anal. 10 (1973) 413). Where every moved
parameter has an analytic derivative the Jacobian is Kaufman's (BIT 15
(1975) 49); otherwise it is taken numerically.

The model works on the scan divided by a power of two near its largest
intensity, so that counts of any magnitude (1e-300 or 1e300) neither
underflow nor overflow, and on uncertainties far off that scale divided by
another; the divisions are exact.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence

import numpy as np

from ..profiles.instrument import Instrument
from ..profiles.profile import LineSet, PhasePeaks, line_set, render_in_bins
from ..profiles.sample import Sample
from ..profiles.shapes import bin_edges
from .parameters import Parameter, ParameterSet
from .phases import FitPhase

INSTRUMENT_FIELDS = ("U", "V", "W", "X", "Y", "eta", "asymmetry", "zero_shift", "displacement")


def intensity_unit(intensity: np.ndarray) -> float:
    """A power of two near the largest |intensity| (1 for none), to divide by exactly."""
    largest = float(np.max(np.abs(intensity), initial=0.0))
    if not (largest > 0.0 and math.isfinite(largest)):
        return 1.0
    return math.ldexp(1.0, math.frexp(largest)[1])


def sigma_unit(sigma: np.ndarray) -> float:
    """1, or a power of two that brings uncertainties far from the intensities' scale near it.

    A file's σ of 1e-100 (or 1e100) would square the weighted residuals out
    of range; dividing every σ by one factor changes neither the minimum nor
    the uncertainties (the covariance is scaled by χ²), only χ² and Rexp,
    which are computed back in the file's unit.
    """
    typical = float(np.median(sigma))
    if not (typical > 0.0 and math.isfinite(typical)) or 2.0**-30 <= typical <= 2.0**30:
        return 1.0
    return math.ldexp(1.0, math.frexp(typical)[1] + 10)


class FitModel:
    """Phases, instrument and background on one scan's points.

    Parameters
    ----------
    two_theta, intensity, sigma : ndarray
        The scan (2θ in degrees) and the standard uncertainty of each point.
    phases : list of FitPhase
    base : Instrument
        Emission lines, shape, radius and monochromator; its widths and
        corrections are replaced by the parameters'.
    parameters : ParameterSet
    orientations : mapping
        Preferred direction (h, k, l) of the phases that have one.
    """

    def __init__(
        self,
        two_theta: np.ndarray,
        intensity: np.ndarray,
        sigma: np.ndarray,
        phases: list[FitPhase],
        base: Instrument,
        parameters: ParameterSet,
        orientations: Mapping[str, tuple[int, int, int]],
    ) -> None:
        self.two_theta = np.asarray(two_theta, dtype=float)
        self.unit = intensity_unit(intensity)
        self.intensity = np.asarray(intensity, dtype=float) / self.unit
        self.sigma_unit = sigma_unit(np.asarray(sigma, dtype=float) / self.unit)
        self.sigma = np.asarray(sigma, dtype=float) / self.unit / self.sigma_unit
        self.phases, self.base, self.parameters = phases, base, parameters
        self.orientations = dict(orientations)
        x = self.two_theta
        self.edges = bin_edges(x)
        terms = sum(1 for p in parameters if p.kind == "background")
        self.background_basis = (
            np.polynomial.chebyshev.chebvander(2.0 * (x - x[0]) / (x[-1] - x[0]) - 1.0, terms - 1)
            if terms
            else np.zeros((x.size, 0))
        )
        self.evaluations = 0
        # Phase columns rendered along with analytic derivatives, by the values they are for.
        self.rendered: tuple[tuple[tuple[str, float], ...], list[np.ndarray]] | None = None
        self.progress: Callable[[int], None] | None = None  # told the number of evaluations so far

    # From parameter values to what the profile code takes.

    def instrument(self, values: Mapping[str, float]) -> Instrument:
        return self.base.replace(**{k: values[k] for k in INSTRUMENT_FIELDS if k in values})

    def sample(self, phase: FitPhase, values: Mapping[str, float]) -> Sample:
        name = phase.name
        return Sample(
            crystallite_size=values.get(f"{name} size"),
            microstrain=values.get(f"{name} strain", 0.0),
            preferred_orientation=self.orientations.get(name),
            march_r=values.get(f"{name} orientation", 1.0),
            b_overall=values.get(f"{name} B", 0.0),
        )

    def cell_factors(self, phase: FitPhase, values: Mapping[str, float]) -> np.ndarray:
        return np.array([values.get(f"{phase.name} cell {g}", 1.0) for g in phase.constraints.names])

    def reciprocal(self, phase: FitPhase, values: Mapping[str, float]) -> np.ndarray:
        return phase.constraints.reciprocal(self.cell_factors(phase, values))

    def peaks(self, phase: FitPhase, values: Mapping[str, float]) -> Sequence[tuple[float, float, PhasePeaks]]:
        """The phase's peaks at each emission line (wavelength, share, peaks) for these values.

        Computed once when the phase was prepared; a refined structure's
        (atomic coordinates, occupancies, B) are computed again here for its
        parameters' values.
        """
        if phase.atoms is None:
            return phase.lines
        return [(w, s, phase.atoms.peaks(k, values)) for k, (w, s, _) in enumerate(phase.lines)]

    def line_sets(self, phase: FitPhase, values: Mapping[str, float]) -> list[tuple[LineSet, np.ndarray]]:
        """Each emission line's peaks of the phase, with their spacings d."""
        instrument = self.instrument(values)
        sample, reciprocal = self.sample(phase, values), self.reciprocal(phase, values)
        placed = []
        for wavelength, share, peaks in self.peaks(phase, values):
            lines = line_set(peaks, instrument.replace(wavelength=wavelength), sample, reciprocal)
            d = peaks.d_for(reciprocal)
            d = d[wavelength / (2.0 * d) < 1.0]  # the reflections line_set kept, in its order
            placed.append((LineSet(lines.two_theta, lines.fwhm, lines.eta, lines.area * share, lines.asymmetry), d))
        return placed

    def phase_column(self, phase: FitPhase, values: Mapping[str, float], area_factor: str | None = None) -> np.ndarray:
        """The phase's profile for unit scale; ``area_factor`` "b" gives its derivative by the overall B."""
        parts = self.line_sets(phase, values)
        if area_factor == "b":
            parts = [
                (LineSet(ls.two_theta, ls.fwhm, ls.eta, ls.area * (-0.5 / (d * d)), ls.asymmetry), d) for ls, d in parts
            ]
        merged = LineSet(
            *(
                np.concatenate([getattr(ls, f) for ls, _ in parts])
                for f in ("two_theta", "fwhm", "eta", "area", "asymmetry")
            )
        )
        return render_in_bins(merged, self.edges)

    def phase_columns(self, values: Mapping[str, float]) -> list[np.ndarray]:
        if self.rendered is not None and self.rendered[0] == values_key(values):
            return list(self.rendered[1])
        self.evaluations += 1
        if self.progress is not None:
            self.progress(self.evaluations)
        return [self.phase_column(phase, values) for phase in self.phases]

    # The linear part, solved exactly.

    def design(self, values: Mapping[str, float]) -> np.ndarray:
        """Columns (unit-scale phases, then background) over σ."""
        return np.column_stack(self.phase_columns(values) + [self.background_basis]) / self.sigma[:, None]

    def solve(self, free: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Best scales and background for these free values, and the weighted residuals."""
        matrix = self.design(self.parameters.values(free))
        target = self.intensity / self.sigma
        coefficients = linear_fit(matrix, target, len(self.phases))
        return coefficients, matrix @ coefficients - target

    def residuals(self, free: np.ndarray) -> np.ndarray:
        return self.solve(free)[1]

    def linear_values(self, coefficients: np.ndarray) -> dict[str, float]:
        """The scales and background coefficients by name (in the model's intensity unit)."""
        names = [p.name for p in self.parameters.linear]
        return dict(zip(names, map(float, coefficients)))

    # Derivatives.

    def column_derivatives(self, values: Mapping[str, float], parameters: Sequence[Parameter]) -> np.ndarray:
        """d(phase column)/d(parameter) for each parameter: (parameters × phases × points).

        Analytic where the parameter has a derivative, else central
        differences (one-sided at a bound).
        """
        result = np.zeros((len(parameters), len(self.phases), self.two_theta.size))
        for i, parameter in enumerate(parameters):
            if parameter.derivative is not None:
                result[i] = parameter.derivative(values)
                continue
            h = 0.01 * parameter.step
            value = values[parameter.name]
            up, down = min(value + h, parameter.upper), max(value - h, parameter.lower)
            if up == down:
                continue
            high = self.phase_columns({**values, parameter.name: up})
            low = self.phase_columns({**values, parameter.name: down})
            result[i] = (np.array(high) - np.array(low)) / (up - down)
        return result

    def jacobian(self, free: np.ndarray) -> np.ndarray:
        """Kaufman's Jacobian of the weighted residuals by the free parameters."""
        values = self.parameters.values(free)
        # Derivatives first: analytic ones render the phase columns the design then reuses.
        derivatives = self.column_derivatives(values, self.parameters.free)
        matrix = self.design(values)
        coefficients = linear_fit(matrix, self.intensity / self.sigma, len(self.phases))
        active = np.flatnonzero(np.linalg.norm(matrix, axis=0) > 0.0)
        active = active[(active >= len(self.phases)) | (coefficients[active] > 0.0)]
        columns = np.einsum("kpn,p->nk", derivatives, coefficients[: len(self.phases)]) / self.sigma[:, None]
        return columns - projection(matrix[:, active], columns)

    def b_derivative(self, phase_index: int):
        """The analytic derivative of the phases' columns by one phase's overall B."""
        phase = self.phases[phase_index]

        def derivative(values: Mapping[str, float]) -> np.ndarray:
            result = np.zeros((len(self.phases), self.two_theta.size))
            result[phase_index] = self.phase_column(phase, values, area_factor="b")
            return result

        return derivative


def values_key(values: Mapping[str, float]) -> tuple[tuple[str, float], ...]:
    """Parameter values as a key: the same values give the same key."""
    return tuple(sorted((name, float(value)) for name, value in values.items()))


def projection(matrix: np.ndarray, columns: np.ndarray) -> np.ndarray:
    """The part of ``columns`` in the span of ``matrix``'s columns.

    By the normal equations of the unit-scaled columns, as in linear_fit: a
    handful of them, well conditioned, and far cheaper than a QR
    decomposition of the tall matrix.
    """
    if matrix.shape[1] == 0:
        return np.zeros_like(columns)
    norms = np.linalg.norm(matrix, axis=0)
    scaled = matrix / norms
    try:
        solution = np.linalg.solve(scaled.T @ scaled, scaled.T @ columns)
    except np.linalg.LinAlgError:
        solution = np.linalg.lstsq(scaled, columns, rcond=None)[0]
    return scaled @ solution


def linear_fit(matrix: np.ndarray, target: np.ndarray, n_phases: int) -> np.ndarray:
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
