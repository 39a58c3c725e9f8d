"""A series' results: its table (one row per scan) with the recipe, read
back from its folder into Arrow, pandas or polars."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..errors import InputError
from ..optional import require
from .rows import ERROR, OK, PARAMETERS_COLUMN
from .store import METADATA_KEY, SeriesFolder

KINDS = ("arrow", "pandas", "polars")


@dataclass(frozen=True)
class SeriesResult:
    """A series as written: the table, what was asked, and where.

    Attributes
    ----------
    folder : Path
        The output folder.
    table : pyarrow.Table
        One row per scan, in series order (see ``series/rows.py`` for the
        columns); the recipe is in its schema's metadata.
    description : dict
        The recipe, the scans and the options of the run.
    """

    folder: Path
    table: Any
    description: dict[str, Any]

    @property
    def recipe(self) -> dict[str, Any]:
        """The recipe every scan was fitted with."""
        recipe: dict[str, Any] = self.description["recipe"]
        return recipe

    @property
    def order_by(self) -> str | None:
        """The header key the scans were ordered by, if any."""
        key: str | None = self.description.get("order_by")
        return key

    @property
    def ok(self) -> int:
        """Scans fitted."""
        return sum(1 for s in self.table.column("status").to_pylist() if s == OK)

    @property
    def errors(self) -> list[tuple[str, str]]:
        """(scan, message) of every scan whose fit failed."""
        rows = self.table.select(["scan", "status", "error"]).to_pylist()
        return [(r["scan"], r["error"]) for r in rows if r["status"] == ERROR]

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame."""
        require("pandas", "pandas", "series tables as pandas")
        return self.table.to_pandas()

    def to_polars(self) -> Any:
        """The table as a polars DataFrame."""
        polars = require("polars", "polars", "series tables as polars")
        return polars.from_arrow(self.table)

    def summary(self) -> str:
        """A few lines: how many scans fitted, the failures, where the table is."""
        lines = [f"{self.table.num_rows} scans: {self.ok} fitted, {len(self.errors)} failed; table in {self.folder}"]
        lines += [f"  {scan}: {message}" for scan, message in self.errors]
        return "\n".join(lines) + "\n"


def load_series(folder: str | os.PathLike[str], hidden: bool = False) -> SeriesResult:
    """A series folder's result (every scan written so far).

    Raises
    ------
    InputError
        No series in the folder.
    """
    pa, pq = require("pyarrow", "batch", "series"), require("pyarrow.parquet", "batch", "series")
    store = SeriesFolder(folder)
    description = store.description()
    if description is None:
        raise InputError(f"{folder}: no series here")
    parts = store.parts()
    tables = [pq.read_table(parts[i]) for i in sorted(parts)]
    if tables:
        table = pa.concat_tables(tables, promote_options="permissive")
    else:
        table = pa.table({"index": pa.array([], pa.int64()), "scan": [], "status": [], "error": []})
    if not hidden and PARAMETERS_COLUMN in table.column_names:
        table = table.drop_columns([PARAMETERS_COLUMN])
    table = table.replace_schema_metadata({METADATA_KEY: json.dumps(description).encode()})
    return SeriesResult(Path(folder), table, description)


def read_series(folder: str | os.PathLike[str], kind: str = "arrow") -> Any:
    """A series' table, one row per scan in series order.

    Parameters
    ----------
    folder : path
        The folder ``peakforge series --out`` (or `run_series`) wrote.
    kind : {"arrow", "pandas", "polars"}
        A pyarrow Table (the recipe and options in its schema metadata,
        key ``peakforge.series``), or a pandas or polars DataFrame.

    Returns
    -------
    pyarrow.Table, pandas.DataFrame or polars.DataFrame

    Raises
    ------
    InputError
        No series in the folder, or an unknown kind.

    Examples
    --------
    >>> from peakforge_pattern.series import read_series
    >>> table = read_series("series_out", "pandas")  # doctest: +SKIP
    >>> table[["temperature", "corundum.a", "corundum.a_esd"]]  # doctest: +SKIP
    """
    if kind not in KINDS:
        raise InputError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")
    result = load_series(folder)
    if kind == "pandas":
        return result.to_pandas()
    if kind == "polars":
        return result.to_polars()
    return result.table
