"""A series' output folder: one Parquet part per scan, the run's description,
and a lock.

Each scan's row is written whole (a temporary file renamed into place) as
``scan-NNNNNN.parquet``, with the recipe in its metadata; a scan whose part
exists is done, so a run killed at any moment and started again fits what
is missing and every scan appears exactly once.  ``series.json`` holds the
recipe, the scans and the options: a rerun must match it.  One run at a time
writes a folder (an advisory lock on ``.lock``).
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from ..atomic_file import atomic_path, write_text_atomically
from ..errors import InputError
from ..optional import require

DESCRIPTION = "series.json"
FORMAT = "peakforge series"
VERSION = 1
METADATA_KEY = b"peakforge.series"
_PART = re.compile(r"scan-(\d{6,})\.parquet")


def _pyarrow() -> Any:
    return require("pyarrow", "batch", "series")


def _parquet() -> Any:
    return require("pyarrow.parquet", "batch", "series")


class SeriesFolder:
    """The output folder of a series."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """Hold the folder for this run (created if new).

        Raises
        ------
        InputError
            Not a folder, or another run holds it.
        """
        if self.path.exists() and not self.path.is_dir():
            raise InputError(f"{self.path}: not a folder (--out names the series' folder)")
        try:
            self.path.mkdir(parents=True, exist_ok=True)
            handle = open(self.path / ".lock", "a")
        except OSError as exc:
            raise InputError(f"{self.path}: cannot write the series here: {exc.strerror or exc}") from None
        with handle:
            try:
                fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise InputError(f"{self.path}: another series run is writing this folder") from None
            yield

    def description(self) -> dict[str, Any] | None:
        """What the folder's run was asked (None: no series here yet)."""
        try:
            text = (self.path / DESCRIPTION).read_text(encoding="utf-8")
        except FileNotFoundError:
            return None
        except OSError as exc:
            raise InputError(f"{self.path / DESCRIPTION}: cannot read: {exc.strerror or exc}") from None
        try:
            document = json.loads(text)
        except json.JSONDecodeError:
            raise InputError(f"{self.path / DESCRIPTION}: damaged (not JSON)") from None
        if not isinstance(document, dict) or document.get("format") != FORMAT:
            raise InputError(f"{self.path}: not a peakforge series folder")
        return document

    def claim(self, description: dict[str, Any]) -> None:
        """Make the folder this run's, or check that it already is (a rerun).

        Raises
        ------
        InputError
            The folder holds another series (other recipe, scans or options).
        """
        document = {"format": FORMAT, "version": VERSION, **description}
        held = self.description()
        if held is None:
            if any(self.parts()):
                raise InputError(f"{self.path}: holds parts of a series without its {DESCRIPTION}")
            write_text_atomically(self.path / DESCRIPTION, json.dumps(document, indent=2) + "\n")
            return
        changed = sorted(k for k in set(document) | set(held) if document.get(k) != held.get(k))
        if changed:
            raise InputError(
                f"{self.path}: holds another series (its {', '.join(changed)} differ): "
                "rerun the same command to complete it, or choose another --out"
            )

    def parts(self) -> dict[int, Path]:
        """The written parts, by scan index."""
        found = {}
        for entry in os.scandir(self.path) if self.path.is_dir() else ():
            match = _PART.fullmatch(entry.name)
            if match:
                found[int(match.group(1))] = Path(entry.path)
        return found

    def write_row(self, index: int, row: dict[str, Any], metadata: bytes) -> None:
        """Write one scan's row as its part, whole or not at all."""
        pa, pq = _pyarrow(), _parquet()
        table = pa.Table.from_pylist([row])
        table = table.replace_schema_metadata({METADATA_KEY: metadata})
        with atomic_path(self.path / f"scan-{index:06d}.parquet") as temporary:
            pq.write_table(table, temporary)

    def read_row(self, index: int) -> dict[str, Any]:
        """One written part's row."""
        rows: list[dict[str, Any]] = _parquet().read_table(self.path / f"scan-{index:06d}.parquet").to_pylist()
        return rows[0]
