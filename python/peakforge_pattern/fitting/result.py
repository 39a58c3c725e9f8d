"""What a fit found: agreement indices, every parameter with its standard
uncertainty, each phase's weight fraction, the warnings, and the curves to
show them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..profiles.instrument import Instrument
from .parameters import ParameterSet
from .reporting import summary_text
from .scans import MeasuredPattern


@dataclass(frozen=True, eq=False)
class PhaseFit:
    """One phase as fitted.

    ``weight_fraction`` (0–1) with its standard uncertainty, the scale, the
    cell (Å, degrees) and its uncertainties (0 for a parameter not refined),
    the overall B (Å²), the sample terms that were fitted (None where not),
    the linear absorption coefficient (1/cm), Brindley's τ and the particle
    radius (µm, 0 without the correction), and the observed 2θ of its
    reflections (first emission line) in the range.
    """

    name: str
    weight_fraction: float
    scale: float
    cell: tuple[float, ...]
    volume: float
    b_overall: float
    reflections: np.ndarray
    weight_fraction_esd: float = 0.0
    scale_esd: float = 0.0
    cell_esd: tuple[float, ...] = (0.0,) * 6
    b_overall_esd: float = 0.0
    size: float | None = None
    strain: float | None = None
    orientation: tuple[int, int, int] | None = None
    march_r: float | None = None
    linear_absorption: float | None = None
    brindley_tau: float = 1.0
    particle_radius: float = 0.0
    source: str = ""

    def to_dict(self, esd: dict[str, float]) -> dict[str, Any]:
        found: dict[str, Any] = {
            "name": self.name, "source": self.source,
            "weight_fraction": self.weight_fraction, "weight_fraction_esd": self.weight_fraction_esd,
            "scale": self.scale, "scale_esd": self.scale_esd, "cell": list(self.cell),
            "cell_esd": list(self.cell_esd), "volume": self.volume,
            "b_overall": self.b_overall, "b_overall_esd": self.b_overall_esd}
        for key, value, parameter in (("size", self.size, "size"), ("strain", self.strain, "strain"),
                                      ("march_r", self.march_r, "orientation")):
            if value is not None:
                found[key] = value
                found[f"{key}_esd"] = esd.get(f"{self.name} {parameter}", 0.0)
        if self.orientation is not None:
            found["orientation"] = list(self.orientation)
        if self.linear_absorption is not None:
            found["linear_absorption"] = self.linear_absorption
        if self.particle_radius > 0.0:
            found["particle_radius"] = self.particle_radius
            found["brindley_tau"] = self.brindley_tau
        return found


@dataclass(frozen=True, eq=False)
class FitResult:
    """What a fit found, and the curves to show it.

    ``parameters`` and ``uncertainties`` map every parameter's name to its
    value and (for a refined one not at a bound) standard uncertainty;
    ``parameter_set`` holds them with their bounds and refined flags.
    ``weighting`` says how the points were weighted ("counts", "file" or
    "equal"), ``warnings`` what a user should look at.
    """

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
    parameter_set: ParameterSet | None = None
    weighting: str = "counts"
    warnings: tuple[str, ...] = ()
    anomalous: bool = True
    seconds: float = 0.0

    @property
    def weight_fractions(self) -> dict[str, float]:
        return {p.name: p.weight_fraction for p in self.phases}

    @property
    def weight_fraction_esds(self) -> dict[str, float]:
        return {p.name: p.weight_fraction_esd for p in self.phases}

    @property
    def difference(self) -> np.ndarray:
        return self.measured.intensity - self.calculated

    @property
    def is_counts(self) -> bool:
        return self.weighting == "counts"

    def to_dict(self) -> dict:
        at_bound = {p.name: p.at_bound() for p in (self.parameter_set or ()) if p.refined and not p.linear
                    and p.at_bound()}
        return {
            "measured": self.measured.name, "points": len(self.measured),
            "two_theta_range": [float(self.measured.two_theta[0]), float(self.measured.two_theta[-1])],
            "rp": self.rp, "rwp": self.rwp, "rexp": self.rexp, "chi2": self.chi2, "weighting": self.weighting,
            "anomalous": self.anomalous,
            "parameters": self.parameters, "uncertainties": self.uncertainties,
            "fixed": [p.name for p in (self.parameter_set or ()) if not p.refined],
            "at_bound": at_bound,
            "background_coefficients": self.background_coefficients.tolist(),
            "phases": [p.to_dict(self.uncertainties) for p in self.phases],
            "warnings": list(self.warnings), "notes": list(self.measured.notes),
            "converged": self.converged, "evaluations": self.evaluations,
        }

    def summary(self) -> str:
        """The fit as text: agreement, parameters with uncertainties and phases."""
        return summary_text(self)
