"""A phase whose structure the fit refines: its structure parameters as named
fit parameters, and its peaks at each emission line for trial values.

The profile is linear in each peak's |F|²·multiplicity, so the derivative
of a phase's profile by a structure parameter is the profile of peaks whose
weights are the weights' derivatives. The pattern engine gives those for
every parameter in one call (structure_peaks.py); the fit renders them as
columns of its Jacobian together with the instrument's and the cell's
(analytic_derivatives.WeightDerivatives).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np

from ...diffraction.request import PatternRequest
from ...errors import InputError
from ...profiles.profile import PhasePeaks
from ..parameters import Parameter
from .atom_parameters import AtomModel, AtomOptions
from .structure_peaks import StructurePeaks

ATOM_KINDS = ("coordinates", "b-sites", "b-elements", "occupancy")
"""The words that select structure parameters (--fix coordinates, --refine b-sites)."""


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

    def __init__(
        self,
        model: AtomModel,
        lines: Sequence[tuple[float, float]],
        two_theta_range: tuple[float, float],
        request: PatternRequest,
    ) -> None:
        self.model = model
        self.lines = [StructurePeaks(model, wavelength, two_theta_range, request) for wavelength, _ in lines]
        self._derivatives: dict[int, tuple[bytes, np.ndarray]] = {}

    @property
    def kind_of(self) -> dict[str, str]:
        options = self.model.options
        b_kind = "b-sites" if options.b == "sites" else "b-elements"
        return {
            p.name: {"coordinate": "coordinates", "b": b_kind, "occupancy": "occupancy"}[p.kind]
            for p in self.model.parameters
        }

    def fit_parameters(self) -> list[Parameter]:
        """The structure parameters as the fit names them, all refined."""
        kinds = self.kind_of
        return [
            Parameter(
                p.name,
                p.start,
                p.lower,
                p.upper,
                kind=kinds[p.name],
                phase=self.model.phase,
                step=p.typical,
                unit="A^2" if p.kind == "b" else "",
            )
            for p in self.model.parameters
        ]

    def values(self, named: Mapping[str, float]) -> np.ndarray:
        return np.array([named[n] for n in self.model.names], dtype=float)

    def peaks(self, line: int, named: Mapping[str, float]) -> PhasePeaks:
        """The phase's peaks at emission line ``line`` for these parameter values."""
        return self.lines[line].peaks(self.values(named))

    def weight_derivatives(self, line: int, named: Mapping[str, float]) -> np.ndarray:
        """d(|F|²·multiplicity)/d(parameter) of every peak at emission line ``line``: (peaks × parameters).

        Analytic, from the pattern engine; kept for the next call at the same values.
        """
        values = self.values(named)
        key = values.tobytes()
        kept = self._derivatives.get(line)
        if kept is not None and kept[0] == key:
            return kept[1]
        found = self.lines[line].weight_derivatives(values)
        self._derivatives[line] = (key, found)
        return found

    def reflections_between(self, low: float, high: float) -> int:
        return self.lines[0].reflections_between(low, high)
