"""The options a batch run's results depend on, kept with its output so that
a resumed run never mixes patterns computed differently."""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass
from typing import Sequence

from ..diffraction.compute import check_route, check_two_theta_range
from ..diffraction.wavelengths import resolve_wavelength
from .grid_profile import GridProfile


@dataclass(frozen=True)
class RunOptions:
    """Wavelength in Å, 2θ range in degrees, whether list columns are
    float32, and how the patterns are computed (radiation, anomalous
    dispersion, the exact route), as compute_pattern takes them; and the
    fixed 2θ grid (with its peak widths) of a profile column, if any."""

    wavelength: float
    two_theta_range: tuple[float, float]
    float32: bool = False
    radiation: str = "xray"
    anomalous: bool = False
    exact: bool = False
    grid: GridProfile | None = None

    @classmethod
    def resolve(cls, wavelength: float | str, two_theta_range: Sequence[float],
                float32: bool = False, *, radiation: str = "xray", anomalous: bool = False,
                exact: bool = False, grid: GridProfile | None = None) -> "RunOptions":
        """Check the options as given (InputError when they cannot give patterns)."""
        check_route(bool(exact), radiation, bool(anomalous))
        return cls(resolve_wavelength(wavelength), check_two_theta_range(two_theta_range), bool(float32),
                   radiation, bool(anomalous), bool(exact), grid)

    def to_json(self) -> str:
        fields = asdict(self)
        fields["grid"] = None if self.grid is None else self.grid.to_dict()
        return json.dumps(fields, sort_keys=True)

    @classmethod
    def from_json(cls, text: str | bytes) -> "RunOptions":
        fields = json.loads(text)
        lo, hi = fields["two_theta_range"]
        # Outputs written before the calculation options were kept hold X-ray patterns.
        return cls(float(fields["wavelength"]), (float(lo), float(hi)), bool(fields["float32"]),
                   str(fields.get("radiation", "xray")), bool(fields.get("anomalous", False)),
                   bool(fields.get("exact", False)),
                   None if fields.get("grid") is None else GridProfile.from_dict(fields["grid"]))

    def describe(self) -> str:
        lo, hi = self.two_theta_range
        kind = "float32" if self.float32 else "float64"
        route = "".join((", anomalous" if self.anomalous else "", ", exact route" if self.exact else ""))
        grid = "" if self.grid is None else f", {self.grid.describe()}"
        return f"wavelength {self.wavelength:g} A, 2theta {lo:g} to {hi:g}, {self.radiation}{route}, {kind}{grid}"
