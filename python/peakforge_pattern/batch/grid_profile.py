"""A profile of every structure on one fixed 2θ grid, for learning: the same
number of float32 values per row, so that a library's profiles read as one
N × points matrix."""

from __future__ import annotations

import json
import math
from dataclasses import asdict, dataclass
from typing import Any

import numpy as np

from ..diffraction.pattern import Pattern
from ..errors import InputError
from ..profiles.instrument import Instrument
from ..profiles.profile import pattern_profile
from ..profiles.sample import Sample

AXIS_KEY = b"peakforge.two_theta"
"""Field metadata key of the profile column: its 2θ axis (JSON)."""

MAX_GRID_POINTS = 100_000
"""Most points of a profile row (0.002° over 0–180°): about 400 kB a structure."""


@dataclass(frozen=True)
class GridProfile:
    """2θ from ``lo`` to ``hi`` (degrees, both included when the step fits)
    every ``step``, and the instrument and sample that shape the peaks."""

    lo: float
    hi: float
    step: float
    instrument: Instrument
    sample: Sample | None = None

    @classmethod
    def resolve(cls, grid: Any, instrument: Instrument | None = None, sample: Sample | None = None) -> GridProfile:
        """Check a (min, max, step) grid; InputError when it cannot be a profile's."""
        try:
            lo, hi, step = (float(v) for v in grid)
        except (TypeError, ValueError):
            raise InputError(f"a grid is three numbers, MIN MAX STEP in degrees, not {grid!r}") from None
        if not (math.isfinite(lo) and math.isfinite(hi) and 0.0 <= lo < hi <= 180.0):
            raise InputError(f"the grid must lie within 0 to 180 degrees with MIN < MAX, not {lo:g} to {hi:g}")
        if not (math.isfinite(step) and step > 0.0):
            raise InputError(f"the grid step must be a positive number of degrees, not {step:g}")
        if step > hi - lo:
            raise InputError(
                f"a grid step of {step:g} degrees leaves one point between {lo:g} and {hi:g}: a profile needs two"
            )
        if (hi - lo) / step + 1 > MAX_GRID_POINTS:
            raise InputError(
                f"a grid of {(hi - lo) / step + 1:.0f} points is more than {MAX_GRID_POINTS}: use a larger step"
            )
        return cls(lo, hi, step, instrument if instrument is not None else Instrument.with_fwhm(0.1), sample)

    @property
    def two_theta(self) -> np.ndarray:
        count = int(math.floor((self.hi - self.lo) / self.step + 1e-9)) + 1
        return self.lo + self.step * np.arange(count)

    @property
    def points(self) -> int:
        return int(self.two_theta.size)

    def profile(self, pattern: Pattern) -> np.ndarray:
        """The pattern's profile on the grid (intensity per degree, the pattern's scale), float32."""
        return pattern_profile(pattern, self.two_theta, self.instrument, self.sample).astype(np.float32)

    def to_dict(self) -> dict[str, Any]:
        return {
            "lo": self.lo,
            "hi": self.hi,
            "step": self.step,
            "instrument": asdict(self.instrument),
            "sample": None if self.sample is None else asdict(self.sample),
        }

    @classmethod
    def from_dict(cls, fields: dict[str, Any]) -> GridProfile:
        instrument = dict(fields["instrument"])
        if isinstance(instrument.get("wavelength"), list):
            instrument["wavelength"] = tuple(instrument["wavelength"])
        sample = fields.get("sample")
        if sample is not None:
            sample = dict(sample)
            if sample.get("preferred_orientation") is not None:
                sample["preferred_orientation"] = tuple(sample["preferred_orientation"])
        return cls(
            float(fields["lo"]),
            float(fields["hi"]),
            float(fields["step"]),
            Instrument(**instrument),
            None if sample is None else Sample(**sample),
        )

    def describe(self) -> str:
        return f"profile grid {self.lo:g} to {self.hi:g} step {self.step:g}"

    def axis_metadata(self) -> dict[bytes, bytes]:
        """The ``profile`` column's field metadata: its 2θ axis as JSON
        (``min``, ``max``, ``step``, ``points`` and every value), so that any
        Parquet reader finds the axis beside the column."""
        axis = {
            "unit": "degrees 2theta",
            "min": self.lo,
            "max": float(self.two_theta[-1]),
            "step": self.step,
            "points": self.points,
            "values": self.two_theta.tolist(),
        }
        return {AXIS_KEY: json.dumps(axis).encode()}
