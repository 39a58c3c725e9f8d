"""The row of one structure in a batch output: its Arrow schema, how a row
is built from a pattern or an error, and how a pattern is read back from it."""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import pyarrow as pa

from ..diffraction.pattern import Pattern
from ..diffraction.peak_families import PeakFamilies
from ..profiles.mixture import cell_volume
from ..structures.display import formula
from ..structures.structure import Structure
from .descriptors import structure_descriptors, structure_intensity
from .options import RunOptions

OPTIONS_KEY = b"peakforge.batch.options"
"""Schema metadata key of the run's options (JSON), in every part."""

OK, ERROR = "ok", "error"

PANDAS_KEY = b"pandas"
_PANDAS_METADATA = json.dumps(
    {
        "index_columns": [],
        "column_indexes": [],
        "pandas_version": "2.0.0",
        "columns": [
            {"name": name, "field_name": name, "pandas_type": kind.lower(), "numpy_type": kind, "metadata": None}
            for name, kind in (("n_atoms", "Int32"), ("space_group_number", "Int16"))
        ],
    }
).encode()
"""pandas reads the integer columns, which are null on error rows, as its nullable integers rather than floats."""

PEAK_COLUMNS = ("two_theta", "d", "intensity", "absolute_intensity")
"""Per-peak numbers, one list per row, named as the Pattern fields they hold."""

DESCRIPTOR_COLUMNS = (
    "name",
    "path",
    "elements",
    "space_group_number",
    "space_group",
    "crystal_system",
    "density",
    "structure_intensity",
)
"""Columns added for identification and learning; libraries written before them read them as nulls."""


def schema(options: RunOptions) -> pa.Schema:
    number = pa.float32() if options.float32 else pa.float64()
    fields = [
        pa.field("id", pa.string(), nullable=False),
        pa.field("status", pa.string(), nullable=False),
        pa.field("error", pa.string()),
        pa.field("n_atoms", pa.int32()),
        pa.field("volume", pa.float64()),
        pa.field("formula", pa.string()),
        pa.field("seconds", pa.float64()),
        pa.field("name", pa.string()),
        pa.field("path", pa.string()),
        pa.field("elements", pa.list_(pa.string())),
        pa.field("space_group_number", pa.int16()),
        pa.field("space_group", pa.string()),
        pa.field("crystal_system", pa.string()),
        pa.field("density", pa.float64()),
        pa.field("warnings", pa.list_(pa.string())),
        *(pa.field(name, pa.list_(number)) for name in PEAK_COLUMNS),
        pa.field("multiplicities", pa.list_(pa.list_(pa.int32()))),
        pa.field("families", pa.list_(pa.list_(pa.list_(pa.int32())))),
        pa.field("structure_intensity", pa.list_(number)),
    ]
    if options.grid is not None:
        fields.append(
            pa.field("profile", pa.list_(pa.float32(), options.grid.points), metadata=options.grid.axis_metadata())
        )
    return pa.schema(fields, metadata={OPTIONS_KEY: options.to_json().encode(), PANDAS_KEY: _PANDAS_METADATA})


def _int32_array(values: np.ndarray) -> pa.Array:
    """An Arrow int32 array over the NumPy values' own buffer. (pa.array on an
    array first asks whether pandas is installed, and importing it costs each
    worker a third of a second.)"""
    values = np.ascontiguousarray(values, dtype=np.int32)
    return pa.Array.from_buffers(pa.int32(), len(values), [None, pa.py_buffer(values)])


def _family_columns(tables: list[PeakFamilies | None]) -> tuple[pa.Array, pa.Array]:
    """The families and multiplicities columns of rows whose families are
    ``tables`` (None for an error row), built from the arrays through their
    offsets: no Python object per peak or family."""
    row_offsets, peak_offsets, hkl, multiplicity = [0], [np.zeros(1, dtype=np.int64)], [], []
    peaks = families = 0
    for table in tables:
        if table is not None:
            peak_offsets.append(table.offsets[1:] + families)
            hkl.append(table.hkl[:, :3])
            multiplicity.append(table.multiplicity)
            peaks += len(table)
            families += int(table.offsets[-1])
        row_offsets.append(peaks)
    values = np.concatenate(hkl).astype(np.int32).reshape(-1) if hkl else np.zeros(0, dtype=np.int32)
    triples = pa.ListArray.from_arrays(_int32_array(np.arange(0, values.size + 1, 3)), _int32_array(values))
    by_peak = _int32_array(np.concatenate(peak_offsets))
    rows = _int32_array(np.array(row_offsets))
    errors = pa.array([table is None for table in tables], pa.bool_())
    counts = _int32_array(np.concatenate(multiplicity) if multiplicity else np.zeros(0))
    return (
        pa.ListArray.from_arrays(rows, pa.ListArray.from_arrays(by_peak, triples), mask=errors),
        pa.ListArray.from_arrays(rows, pa.ListArray.from_arrays(by_peak, counts), mask=errors),
    )


class RowBuilder:
    """Rows of one part, gathered column by column and taken out a few at a
    time as record batches, so that a chunk's patterns are never all held as
    Python objects at once (families stay arrays until the batch is built)."""

    BATCH_ROWS = 64
    BATCH_PEAKS = 100_000

    def __init__(self, options: RunOptions) -> None:
        self.schema = schema(options)
        self.grid = options.grid
        self.columns: dict[str, list[Any]] = {name: [] for name in self.schema.names}
        self.peaks = 0
        self.ok = 0
        self.errors: list[tuple[str, str]] = []
        """(id, message) of every error row added."""

    def __len__(self) -> int:
        return len(self.columns["id"])

    def full(self) -> bool:
        return len(self) >= self.BATCH_ROWS or self.peaks >= self.BATCH_PEAKS

    def take(self) -> pa.RecordBatch:
        """The rows added since the last take."""
        columns: dict[str, Any] = dict(self.columns)
        families, multiplicities = _family_columns(self.columns["families"])
        columns["families"], columns["multiplicities"] = families, multiplicities
        batch = pa.RecordBatch.from_pydict(columns, schema=self.schema)
        for column in self.columns.values():
            column.clear()
        self.peaks = 0
        return batch

    def _append(self, **values: Any) -> None:
        for name, column in self.columns.items():
            column.append(values.get(name))

    @staticmethod
    def _cell(structure: Structure | None) -> dict[str, Any]:
        if structure is None:
            return {}
        return {
            "n_atoms": len(structure),
            "volume": cell_volume(structure),
            "formula": formula(structure),
            "name": structure.common_name or None,
            **structure_descriptors(structure),
        }

    def add_pattern(
        self, id: str, structure: Structure, pattern: Pattern, seconds: float, path: str | None = None
    ) -> None:
        self._append(
            id=id,
            status=OK,
            seconds=seconds,
            path=path,
            **self._cell(structure),
            warnings=list(pattern.warnings),
            **{name: getattr(pattern, name) for name in PEAK_COLUMNS},
            families=pattern.peak_families,
            structure_intensity=structure_intensity(pattern),
            profile=None if self.grid is None else self.grid.profile(pattern),
        )
        self.ok += 1
        self.peaks += len(pattern)

    def add_error(
        self, id: str, message: str, seconds: float = 0.0, structure: Structure | None = None, path: str | None = None
    ) -> None:
        self._append(id=id, status=ERROR, error=message, seconds=seconds, path=path, **self._cell(structure))
        self.errors.append((id, message))


def pattern_from_row(row: dict[str, Any], options: RunOptions) -> Pattern:
    """The Pattern a row of status ok holds, named by its id."""

    def peaks(name: str) -> np.ndarray:
        return np.asarray(row[name], dtype=float)

    return Pattern(
        two_theta=peaks("two_theta"),
        d=peaks("d"),
        intensity=peaks("intensity"),
        absolute_intensity=peaks("absolute_intensity"),
        peak_families=PeakFamilies.from_lists(row["families"], row["multiplicities"]),
        wavelength=options.request.wavelength,
        two_theta_range=options.request.two_theta_range,
        structure_name=row["id"],
        warnings=tuple(row["warnings"] or ()),
        scale=options.request.scale,
        radiation=options.request.radiation,
        monochromator_angle=options.request.monochromator_angle,
        anomalous_dispersion=options.request.dispersion,
    )
