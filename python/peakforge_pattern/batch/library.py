"""A batch output read as a pattern library: only the columns and row groups
asked for, as an Arrow table, a pandas or a polars frame, or streamed in
record batches of bounded size.

Integer columns that hold nulls (error rows have no atom count) keep their
integer type in pandas: they become pandas' nullable integer types rather
than floats.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq

from ..errors import InputError
from ..optional import require
from .grid_profile import AXIS_KEY
from .options import RunOptions
from .output import OutputFolder, check_part, damaged_part, refuse_damaged_parts

FORMATS = ("arrow", "pandas", "polars")


@dataclass(frozen=True, eq=False)
class Library:
    """An opened library: its folder, the options its patterns were computed
    with, and the dataset of its parts (schema as written, older parts with
    fewer columns read with nulls in the new ones)."""

    path: Path
    options: RunOptions
    dataset: ds.Dataset

    @property
    def schema(self) -> pa.Schema:
        return self.dataset.schema

    @property
    def parts(self) -> list[str]:
        return list(self.dataset.files)

    @property
    def grid_two_theta(self) -> np.ndarray | None:
        """The 2θ axis (degrees) of the ``profile`` column, one value per
        point of every row's profile; None when the library has no profiles
        (it was written without ``--grid``)."""
        if not self.has("profile"):
            return None
        metadata = self.schema.field("profile").metadata or {}
        if AXIS_KEY in metadata:
            return np.asarray(json.loads(metadata[AXIS_KEY])["values"], dtype=float)
        # Written before the axis was kept beside the column: the run's grid gives it.
        return None if self.options.grid is None else self.options.grid.two_theta

    def has(self, column: str) -> bool:
        return column in self.schema.names

    def check_columns(self, columns: Sequence[str]) -> None:
        """InputError naming every column the library lacks."""
        missing = [c for c in columns if not self.has(c)]
        if missing:
            raise InputError(
                f"{self.path}: no column {', '.join(missing)} in this library (written by an older "
                f"peakforge batch: run it again with --overwrite to add them)"
            )

    def batches(
        self, columns: Sequence[str], filter: Any = None, rows: int = 4096, parts: Sequence[str] | None = None
    ) -> Iterator[pa.RecordBatch]:
        """Record batches of about ``rows`` rows of the columns asked for, of
        ``parts`` only if given, with ``filter`` (an expression on those
        columns) applied.

        Parts are read one row group after another (a dataset scanner keeps
        more of what it has read, and its memory would grow with the library);
        a column a part lacks (written by an older run) comes as nulls.
        """
        self.check_columns(columns)
        schema = pa.schema([self.schema.field(c) for c in columns])
        held: list[pa.Table] = []
        count = 0
        for part in parts if parts is not None else self.parts:
            for batch, present in self._part_batches(part, columns, rows):
                table = pa.Table.from_batches([batch])
                for name in columns:
                    if name not in present:
                        missing = schema.field(name)
                        table = table.append_column(missing, pa.nulls(len(table), missing.type))
                table = table.select(list(columns))
                if not table.schema.equals(schema):
                    try:
                        table = table.cast(schema)
                    except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as exc:
                        raise damaged_part(part, exc) from None
                if filter is not None:
                    table = table.filter(filter)
                if table.num_rows:
                    held.append(table)
                    count += table.num_rows
                if count >= rows:
                    yield pa.concat_tables(held).combine_chunks().to_batches()[0]
                    held, count = [], 0
        if count:
            yield pa.concat_tables(held).combine_chunks().to_batches()[0]

    def _part_batches(self, part: str, columns: Sequence[str], rows: int) -> Iterator[tuple[pa.RecordBatch, set[str]]]:
        """One part's record batches of the ``columns`` it has (and which those are).

        A part that is damaged, not a batch part, or computed with other
        options than the library's is refused by name.
        """
        try:
            with pq.ParquetFile(part) as source:
                check_part(part, source.schema_arrow, self.options)
                present = set(source.schema_arrow.names)
                for batch in source.iter_batches(
                    batch_size=rows, columns=[c for c in columns if c in present], use_threads=False
                ):
                    yield batch, present
        except (OSError, pa.ArrowException) as exc:
            raise damaged_part(part, exc) from None


def open_library(path: str | os.PathLike[str]) -> Library:
    """Open the batch output at ``path`` as a library.

    Raises
    ------
    InputError
        When ``path`` holds no batch output.
    """
    folder = OutputFolder(path)
    if not folder.path.is_dir():
        raise InputError(f"{folder.path}: no such library folder")
    options = folder.options()
    parts = folder.parts()
    if options is None or not parts:
        raise InputError(f"{folder.path}: no batch output here (make one with peakforge batch SOURCES --out DIR)")
    try:
        schema = _library_schema(folder)
        dataset = ds.dataset([str(p) for p in parts], schema=schema, format="parquet")
    except (OSError, pa.ArrowException) as exc:
        raise InputError(f"{folder.path}: cannot read the library: {' '.join(str(exc).split())}") from None
    return Library(folder.path, options, dataset)


def _library_schema(folder: OutputFolder) -> pa.Schema:
    """The schema of the run that wrote the folder (its common metadata), else the first part's."""
    common = folder.path / "_common_metadata"
    return pq.read_schema(common if common.exists() else folder.parts()[0])


def _nullable_integers(data_type: pa.DataType) -> Any:
    """pandas' nullable integer type for an Arrow integer type (None: the default conversion)."""
    pandas = require("pandas", "pandas", "a pandas frame")
    mapping = {
        pa.int8(): pandas.Int8Dtype(),
        pa.int16(): pandas.Int16Dtype(),
        pa.int32(): pandas.Int32Dtype(),
        pa.int64(): pandas.Int64Dtype(),
        pa.uint8(): pandas.UInt8Dtype(),
        pa.uint16(): pandas.UInt16Dtype(),
        pa.uint32(): pandas.UInt32Dtype(),
        pa.uint64(): pandas.UInt64Dtype(),
    }
    return mapping.get(data_type)


def read_library(
    path: str | os.PathLike[str], columns: Sequence[str] | None = None, filter: Any = None, *, output: str = "arrow"
) -> Any:
    """Rows of a library (a ``peakforge batch`` output), reading only what is asked for.

    Parameters
    ----------
    path : path-like
        The library folder.
    columns : sequence of str, optional
        Columns to read (default: all). Columns not named are not read.
    filter : pyarrow.compute.Expression, optional
        Rows to keep, e.g. ``pc.field("crystal_system") == "cubic"``; row
        groups whose statistics rule it out are not read.
    output : {"arrow", "pandas", "polars"}
        An Arrow table, a pandas DataFrame (integer columns with nulls as
        pandas' nullable integers) or a polars DataFrame.

    Returns
    -------
    pyarrow.Table, pandas.DataFrame or polars.DataFrame
        With a ``profile`` column (a library written with ``--grid``), its 2θ
        axis is in the column's field metadata (key ``peakforge.two_theta``,
        JSON) of the Arrow table, in ``frame.attrs["grid_two_theta"]`` of a
        pandas frame, and ``open_library(path).grid_two_theta`` as an array.

    Raises
    ------
    InputError
        When the folder is no library, a column is missing, or the filter
        names a column the library lacks.

    Examples
    --------
    >>> import pyarrow.compute as pc
    >>> table = read_library("patterns/", ["id", "formula", "space_group_number"],
    ...                      pc.field("status") == "ok")                      # doctest: +SKIP
    >>> frame = read_library("patterns/", ["id", "n_atoms"], output="pandas")  # doctest: +SKIP
    """
    if output not in FORMATS:
        raise InputError(f"unknown output {output!r}: use one of {', '.join(FORMATS)}")
    library = open_library(path)
    names = list(columns) if columns is not None else library.schema.names
    library.check_columns(names)
    try:
        table = library.dataset.to_table(columns=names, filter=filter)
    except (OSError, pa.ArrowException) as exc:
        refuse_damaged_parts(library.parts, library.options)  # a damaged part is named
        raise InputError(f"{library.path}: cannot apply the filter: {' '.join(str(exc).split())}") from None
    table = table.replace_schema_metadata(library.schema.metadata)
    if output == "pandas":
        frame = table.to_pandas(types_mapper=_nullable_integers)
        if "profile" in names:
            frame.attrs["grid_two_theta"] = library.grid_two_theta
        return frame
    if output == "polars":
        polars = require("polars", "polars", "a polars frame")
        return polars.from_arrow(table)
    return table
