"""Analytic derivatives of a fit's phase profiles, for its Jacobian.

The zero shift, displacement, widths (U, V, W, X, Y or η), asymmetry, each
phase's overall B and cell factors have derivatives in closed form (see
profiles/profile_derivatives.py). For a trial of the parameters, every
phase's profile is rendered once by the native kernel together with its
derivatives by all of these at once; each parameter's ``derivative`` slot
reads its column from that one rendering. Parameters without one (size,
strain, orientation) keep numerical derivatives.

Quantities a phase's peak weights depend on (a structure's coordinates,
B and occupancies) join the same rendering when the caller gives their
weight derivatives per emission line (``WeightDerivatives``).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from ..profiles.profile import LineSet
from ..profiles.profile_derivatives import line_set_with_chain
from ..profiles.shapes import binned_peaks_with_jacobian
from .model import FitModel, values_key
from .parameters import Derivative, ParameterSet

INSTRUMENT_TERMS = ("zero_shift", "displacement", "U", "V", "W", "X", "Y", "eta", "asymmetry")
"""Instrument parameters with an analytic derivative; their names are the Instrument fields."""


@dataclass(frozen=True)
class WeightDerivatives:
    """Parameters that act on a phase's peak weights (|F|²·multiplicity).

    ``per_line(line, values)`` gives ∂weight/∂parameter of every reflection
    of the phase's peaks at emission line ``line`` (as ``FitModel.peaks``
    gives them) for the parameters ``names``, as (reflections × names).
    """

    names: Sequence[str]
    per_line: Callable[[int, Mapping[str, float]], np.ndarray]


class AnalyticDerivatives:
    """Columns ∂(phase profile)/∂parameter for the parameters that have them.

    Parameters
    ----------
    model : FitModel
        The fit's model; its parameters' ``derivative`` slots are filled by ``attach``.
    weights : mapping of phase name to WeightDerivatives, optional
        Parameters of a phase's peak weights, rendered with the others.
    """

    def __init__(self, model: FitModel, weights: Mapping[str, WeightDerivatives] | None = None) -> None:
        self.model = model
        self.weights = dict(weights or {})
        self._key: tuple[tuple[tuple[str, float], ...], tuple[str, ...]] | None = None
        self._columns: dict[str, np.ndarray] = {}

    def names(self) -> list[str]:
        """The model's parameters with an analytic derivative, refined or not."""
        parameters = self.model.parameters
        found = [n for n in INSTRUMENT_TERMS if n in parameters]
        for phase in self.model.phases:
            found += [
                n
                for n in (f"{phase.name} B", *(f"{phase.name} cell {g}" for g in phase.constraints.names))
                if n in parameters
            ]
            if phase.name in self.weights:
                found += [n for n in self.weights[phase.name].names if n in parameters]
        return found

    def attach(self, parameters: ParameterSet | None = None) -> None:
        """Give every refined parameter that has an analytic derivative its slot.

        Only the refined ones are rendered with the profiles; one freed
        later keeps numerical derivatives.
        """
        parameters = self.model.parameters if parameters is None else parameters
        free = {p.name for p in parameters.free}
        for name in self.names():
            if name in free:
                parameters.replace(name, derivative=self.derivative(name))

    def derivative(self, name: str) -> Derivative:
        """The slot of one parameter: (phases × points) at the given values."""

        def column(values: Mapping[str, float]) -> np.ndarray:
            return self.columns(values)[name]

        return column

    def columns(self, values: Mapping[str, float]) -> dict[str, np.ndarray]:
        """Every analytic derivative at ``values``: one rendering per phase, kept for the next call."""
        # The columns rendered are the free parameters': a fit in stages frees more of them at the same values.
        key = (values_key(values), tuple(p.name for p in self.model.parameters.free))
        if key != self._key:
            self._columns = self._compute(values)
            self._key = key
        return self._columns

    def _compute(self, values: Mapping[str, float]) -> dict[str, np.ndarray]:
        model = self.model
        free = {p.name for p in model.parameters.free}
        instrument_terms = [n for n in INSTRUMENT_TERMS if n in free]
        points = model.two_theta.size
        out = {n: np.zeros((len(model.phases), points)) for n in self.names() if n in free}
        profiles = []
        instrument = model.instrument(values)
        for k, phase in enumerate(model.phases):
            sample, factors = model.sample(phase, values), model.cell_factors(phase, values)
            reciprocal = phase.constraints.reciprocal(factors)
            terms = instrument_terms + (["b_overall"] if f"{phase.name} B" in free else [])
            cells = [g for g, name in enumerate(phase.constraints.names) if f"{phase.name} cell {name}" in free]
            provider = self.weights.get(phase.name)
            moved = [j for j, n in enumerate(provider.names) if n in free] if provider else []
            placed, chains = [], []
            for line, (wavelength, share, peaks) in enumerate(model.peaks(phase, values)):
                spacing = phase.constraints.spacing_derivatives(peaks.hkl, factors)[:, cells]
                weights = provider.per_line(line, values)[:, moved] if provider and moved else None
                lines, chain = line_set_with_chain(
                    peaks,
                    instrument.replace(wavelength=wavelength),
                    sample,
                    reciprocal,
                    terms=terms,
                    spacing_derivatives=spacing,
                    weight_derivatives=weights,
                )
                placed.append(LineSet(lines.two_theta, lines.fwhm, lines.eta, lines.area * share, lines.asymmetry))
                chain[:, 3, :] *= share  # the area row
                chains.append(chain)
            centres, fwhm, eta, area, asymmetry = (
                np.concatenate([getattr(ls, f) for ls in placed])
                for f in ("two_theta", "fwhm", "eta", "area", "asymmetry")
            )
            profile, jacobian = binned_peaks_with_jacobian(
                model.edges, centres, fwhm, eta, area, asymmetry, chain=np.concatenate(chains)
            )
            profiles.append(profile)
            assert jacobian is not None  # a chain was given
            names = [n if n in INSTRUMENT_TERMS else f"{phase.name} B" for n in terms]
            names += [f"{phase.name} cell {phase.constraints.names[g]}" for g in cells]
            names += [provider.names[j] for j in moved] if provider else []
            for j, name in enumerate(names):
                out[name][k] = jacobian[:, j]
        # The same columns a plain rendering gives: the model need not render them again.
        model.rendered = (values_key(values), profiles)
        return out
