"""Patterns read back from a batch output."""

from __future__ import annotations

import os
from collections.abc import Iterable

import pyarrow as pa

from ..diffraction.pattern import Pattern
from ..errors import InputError
from .output import OutputFolder, compute_functions, datasets, refuse_damaged_parts
from .rows import OK, pattern_from_row


def read_patterns(out: str | os.PathLike[str], ids: Iterable[str] | None = None) -> list[Pattern]:
    """The patterns of a batch output, each named by its id.

    Without ``ids``: every row of status ok, in id order. With ``ids``: those
    patterns in that order; KeyError names any that is missing or an error row.
    """
    folder = OutputFolder(out)
    options = folder.options()
    if options is None:
        raise InputError(f"{folder.path}: no batch output here")
    pc = compute_functions()
    dataset = datasets().dataset([str(p) for p in folder.parts()], format="parquet")
    wanted = None if ids is None else list(ids)
    condition = pc.field("status") == OK
    if wanted is not None:
        condition &= pc.field("id").isin(wanted)
    try:
        table = dataset.to_table(filter=condition)
    except (OSError, pa.ArrowException):
        refuse_damaged_parts(folder.parts(), options)  # names the damaged part
        raise
    rows = {row["id"]: row for row in table.to_pylist()}
    if wanted is None:
        wanted = sorted(rows)
    missing = [id for id in wanted if id not in rows]
    if missing:
        raise KeyError(
            f"no pattern for {', '.join(map(repr, missing[:5]))}"
            f"{f' and {len(missing) - 5} more' if len(missing) > 5 else ''} in {folder.path}"
        )
    return [pattern_from_row(rows[id], options) for id in wanted]
