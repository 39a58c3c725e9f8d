"""The options a batch run's results depend on, kept with its output so that
a resumed run never mixes patterns computed differently: the calculation
request as it was made, and how the list columns are stored."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Sequence

from ..diffraction.request import PatternRequest
from ..errors import InputError

@dataclass(frozen=True)
class RunOptions:
    """The calculation request, and whether list columns are float32."""

    request: PatternRequest
    float32: bool = False

    @classmethod
    def resolve(cls, wavelength: float | str | None = None, two_theta_range: Sequence[float] | None = None,
                float32: bool = False, *, request: PatternRequest | None = None, **fields: Any) -> RunOptions:
        """Options from a request and/or its fields (InputError when they cannot give patterns)."""
        if wavelength is not None:
            fields["wavelength"] = wavelength
        if two_theta_range is not None:
            fields["two_theta_range"] = two_theta_range
        return cls(PatternRequest.from_fields(request, **fields), bool(float32))

    def same_patterns(self, other: RunOptions) -> bool:
        """Whether a run with ``other`` computes the same rows (the work limit
        and the execution mode change no pattern)."""
        return self.float32 == other.float32 and self.request.result_fields() == other.request.result_fields()

    def to_json(self) -> str:
        """The request's fields as to_dict gives them, and float32, in one JSON object."""
        return json.dumps({**self.request.to_dict(), "float32": self.float32}, sort_keys=True)

    @classmethod
    def from_json(cls, text: str | bytes) -> RunOptions:
        """The options to_json wrote; a field the text lacks takes its default
        (outputs written before the whole request was kept hold its
        wavelength, range, radiation, dispersion and route only)."""
        fields = json.loads(text)
        if not isinstance(fields, dict) or "float32" not in fields:
            raise InputError("batch options must be a JSON object with float32")
        float32 = fields.pop("float32")
        return cls(PatternRequest.from_dict(fields), bool(float32))

    def describe(self) -> str:
        kind = "float32" if self.float32 else "float64"
        return f"{self.request.describe()}, {kind}"
