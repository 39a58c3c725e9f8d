"""The options a batch run's results depend on, kept with its output so that
a resumed run never mixes patterns computed differently: the calculation
request as it was made, and how the list columns are stored."""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ..diffraction.request import PatternRequest
from ..errors import InputError
from .grid_profile import GridProfile


@dataclass(frozen=True)
class RunOptions:
    """The calculation request, whether list columns are float32, and the
    fixed 2θ grid (with its peak widths) of a profile column, if any."""

    request: PatternRequest
    float32: bool = False
    grid: GridProfile | None = None

    @classmethod
    def resolve(
        cls,
        wavelength: float | str | None = None,
        two_theta_range: Sequence[float] | None = None,
        float32: bool = False,
        *,
        request: PatternRequest | None = None,
        grid: GridProfile | None = None,
        **fields: Any,
    ) -> RunOptions:
        """Options from a request and/or its fields (InputError when they cannot give patterns)."""
        return cls(PatternRequest.from_call(request, wavelength, two_theta_range, **fields), bool(float32), grid)

    def same_patterns(self, other: RunOptions) -> bool:
        """Whether a run with ``other`` computes the same rows (the work limit
        and the execution mode change no pattern)."""
        return (
            self.float32 == other.float32
            and self.grid == other.grid
            and self.request.result_fields() == other.request.result_fields()
        )

    def to_json(self) -> str:
        """The request's fields as to_dict gives them, float32 and the grid (if any), in one JSON object."""
        grid = {} if self.grid is None else {"grid": self.grid.to_dict()}
        return json.dumps({**self.request.to_dict(), "float32": self.float32, **grid}, sort_keys=True)

    @classmethod
    def from_json(cls, text: str | bytes) -> RunOptions:
        """The options to_json wrote; a field the text lacks takes its default
        (outputs written before the whole request was kept hold its
        wavelength, range, radiation, dispersion and route only)."""
        fields = json.loads(text)
        if not isinstance(fields, dict) or "float32" not in fields:
            raise InputError("batch options must be a JSON object with float32")
        float32 = fields.pop("float32")
        grid = fields.pop("grid", None)
        grid_profile = None if grid is None else GridProfile.from_dict(grid)
        return cls(PatternRequest.from_dict(fields), bool(float32), grid_profile)

    def describe(self) -> str:
        kind = "float32" if self.float32 else "float64"
        grid = "" if self.grid is None else f", {self.grid.describe()}"
        return f"{self.request.describe()}, {kind}{grid}"
