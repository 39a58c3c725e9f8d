"""A phase whose structure the fit refines: its structure parameters as named
fit parameters, and its peaks at each emission line for trial values.

The profile is linear in each peak's |F|²·multiplicity, so the derivative
of a phase's profile by a structure parameter is the profile of peaks whose
weights are the weights' derivatives; those come from the pattern engine by
central differences of the weights alone, two intensity calculations per
parameter and one rendering.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import replace

import numpy as np

from ..diffraction.request import PatternRequest
from ..errors import InputError
from ..profiles.profile import PhasePeaks
from .atom_parameters import AtomModel, AtomOptions
from .parameters import Parameter
from .structure_peaks import StructurePeaks

ATOM_KINDS = ("coordinates", "b-sites", "b-elements", "occupancy")
"""The words that select structure parameters (--fix coordinates, --refine b-sites)."""

_DERIVATIVE_STEP = 0.01  # share of a parameter's typical step used for its difference quotient


def atom_options(refine: Sequence[str], phase: str) -> AtomOptions:
    """The structure terms ``refine`` asks for (``b-sites``, ``PHASE:occupancy``, ...) for one phase."""
    wanted = set()
    for word in refine:
        owner, separator, kind = word.strip().rpartition(":")
        if kind.lower() in ATOM_KINDS and (not separator or owner == phase):
            wanted.add(kind.lower())
    if {"b-sites", "b-elements"} <= wanted:
        raise InputError(f"{phase}: B is refined per site or per element, not both")
    b = "sites" if "b-sites" in wanted else "elements" if "b-elements" in wanted else None
    return AtomOptions(coordinates=True, b=b, occupancy="occupancy" in wanted)


class AtomPeaks:
    """A refined structure's peaks at each emission line of the fit.

    Parameters
    ----------
    model : AtomModel
    lines : sequence of (wavelength, share)
        The emission lines (Å and share of the intensity).
    two_theta_range : (float, float)
        Degrees of reflections to compute.
    request : PatternRequest
        The fit's calculation options (anomalous dispersion at each line's energy).
    """

    def __init__(self, model: AtomModel, lines: Sequence[tuple[float, float]], two_theta_range: tuple[float, float],
                 request: PatternRequest) -> None:
        self.model = model
        self.lines = [StructurePeaks(model, wavelength, two_theta_range, request) for wavelength, _ in lines]
        self._index = {name: k for k, name in enumerate(model.names)}
        self._derivatives: dict[int, tuple[bytes, np.ndarray]] = {}

    @property
    def kind_of(self) -> dict[str, str]:
        options = self.model.options
        b_kind = "b-sites" if options.b == "sites" else "b-elements"
        return {p.name: {"coordinate": "coordinates", "b": b_kind, "occupancy": "occupancy"}[p.kind]
                for p in self.model.parameters}

    def fit_parameters(self) -> list[Parameter]:
        """The structure parameters as the fit names them, all refined."""
        kinds = self.kind_of
        return [Parameter(p.name, p.start, p.lower, p.upper, kind=kinds[p.name], phase=self.model.phase,
                          step=p.typical, unit="A^2" if p.kind == "b" else "")
                for p in self.model.parameters]

    def values(self, named: Mapping[str, float]) -> np.ndarray:
        return np.array([named[n] for n in self.model.names], dtype=float)

    def peaks(self, line: int, named: Mapping[str, float]) -> PhasePeaks:
        """The phase's peaks at emission line ``line`` for these parameter values."""
        return self.lines[line].peaks(self.values(named))

    def weight_derivatives(self, line: int, named: Mapping[str, float]) -> np.ndarray:
        """d(|F|²·multiplicity)/d(parameter) of every peak at emission line ``line``: (peaks × parameters).

        Central differences of the engine's intensities (one-sided at a bound);
        kept for the next call at the same values.
        """
        values = self.values(named)
        key = values.tobytes()
        kept = self._derivatives.get(line)
        if kept is not None and kept[0] == key:
            return kept[1]
        source = self.lines[line]
        columns = []
        for k, parameter in enumerate(self.model.parameters):
            h = _DERIVATIVE_STEP * parameter.typical
            up, down = values.copy(), values.copy()
            up[k] = min(values[k] + h, parameter.upper)
            down[k] = max(values[k] - h, parameter.lower)
            columns.append((source.peaks(up).weight - source.peaks(down).weight) / (up[k] - down[k]))
        found = np.column_stack(columns)
        self._derivatives[line] = (key, found)
        return found

    def derivative_peaks(self, line: int, named: Mapping[str, float], name: str) -> PhasePeaks:
        """Peaks whose weights are d(|F|²·multiplicity)/d(parameter ``name``)."""
        peaks = self.peaks(line, named)
        return replace(peaks, weight=self.weight_derivatives(line, named)[:, self._index[name]])

    def reflections_between(self, low: float, high: float) -> int:
        return self.lines[0].reflections_between(low, high)
