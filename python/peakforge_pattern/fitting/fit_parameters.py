"""The parameters of a powder fit, where they start and which are refined
by default.

Refined unless held fixed: the phases' scales and the background (solved
exactly at each step), the zero shift and the sample displacement, the
peak widths (U, V, W and X, Y, or η), the asymmetry, each phase's cell
(within ``CELL_LIMIT``, as its crystal system allows) and an overall B per
phase. The overall B is bounded so that no atom's B falls below zero.
Crystallite size and microstrain exist only where asked for
(``--refine size strain``), a March–Dollase ratio only for the phases given
a preferred direction.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence

from ..profiles.instrument import Instrument
from .parameters import Parameter, ParameterSet
from .phases import FitPhase

CELL_LIMIT = 0.005
"""Largest relative change of a refined cell parameter."""

SIZE_START = 100.0  # nm: a start whose broadening the data can see either way
STRAIN_START = 5e-4  # at 0 the Gaussian width does not change to first order
ON_DEMAND_KINDS = ("size", "strain")


def _wanted(selectors: Iterable[str], kind: str, phase: str) -> bool:
    """Whether --refine words ask for a phase's size or strain."""
    for word in selectors:
        owner, separator, what = word.strip().rpartition(":")
        if what.lower() == kind and (not separator or owner == phase):
            return True
    return False


def instrument_parameters(start: Instrument) -> list[Parameter]:
    """The diffractometer's parameters, starting from ``start``'s values."""
    widths = [
        Parameter("U", start.U, 0.0, 1.0, kind="U", step=0.005, unit="deg^2"),
        Parameter("V", start.V, -1.0, 1.0, kind="V", step=0.005, unit="deg^2"),
        Parameter("W", start.W, 0.0, 1.0, kind="W", step=0.002, unit="deg^2"),
    ]
    if start.shape == "tch":
        widths += [
            Parameter("X", start.X, 0.0, 1.0, kind="X", step=0.01, unit="deg"),
            Parameter("Y", start.Y, 0.0, 1.0, kind="Y", step=0.01, unit="deg"),
        ]
    else:
        widths.append(Parameter("eta", start.eta, 0.0, 1.0, kind="eta", step=0.1))
    return [
        Parameter("zero_shift", start.zero_shift, -1.0, 1.0, kind="zero", step=0.01, unit="deg"),
        Parameter("displacement", start.displacement, -5.0, 5.0, kind="displacement", step=0.05, unit="mm"),
        *widths,
        Parameter("asymmetry", start.asymmetry, -0.5, 0.5, kind="asymmetry", step=0.01),
    ]


def phase_parameters(
    phase: FitPhase, refine: Sequence[str], orientation: tuple[int, int, int] | None
) -> list[Parameter]:
    """One phase's parameters: scale, cell factors, overall B and the sample terms asked for."""
    name = phase.name
    found = [Parameter(f"{name} scale", 0.0, 0.0, float("inf"), kind="scale", phase=name, linear=True)]
    found += [
        Parameter(f"{name} cell {group}", 1.0, 1.0 - CELL_LIMIT, 1.0 + CELL_LIMIT, kind="cell", phase=name, step=1e-4)
        for group in phase.constraints.names
    ]
    found.append(
        Parameter(f"{name} B", 0.0, min(0.0, -phase.lowest_b), 10.0, kind="b", phase=name, step=0.3, unit="A^2")
    )
    if _wanted(refine, "size", name):
        found.append(Parameter(f"{name} size", SIZE_START, 1.0, 1e4, kind="size", phase=name, step=20.0, unit="nm"))
    if _wanted(refine, "strain", name):
        found.append(Parameter(f"{name} strain", STRAIN_START, 0.0, 0.05, kind="strain", phase=name, step=2e-4))
    if orientation is not None:
        found.append(Parameter(f"{name} orientation", 1.0, 0.2, 5.0, kind="orientation", phase=name, step=0.05))
    return found


def background_parameters(terms: int) -> list[Parameter]:
    return [Parameter(f"background {i}", 0.0, kind="background", linear=True) for i in range(terms)]


def standard_parameters(
    start: Instrument,
    phases: Sequence[FitPhase],
    background_terms: int,
    orientations: Mapping[str, tuple[int, int, int]],
    refine: Sequence[str] = (),
) -> ParameterSet:
    """Every parameter of a fit of ``phases``, refined or not by default."""
    parameters = ParameterSet(instrument_parameters(start))
    for phase in phases:
        for parameter in phase_parameters(phase, refine, orientations.get(phase.name)):
            parameters.add(parameter)
    for parameter in background_parameters(background_terms):
        parameters.add(parameter)
    return parameters
