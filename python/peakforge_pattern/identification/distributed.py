"""Scoring a library's parts on a Dask cluster: one task per part, each
returning its shortlist, merged on the driver. Workers read the parts
themselves, so the library must be at the same path on every worker."""

from __future__ import annotations

import uuid
from collections.abc import Callable, Sequence
from typing import Any

from ..batch.library import Library
from ..optional import require
from .scoring import ScanTarget
from .shortlist import Shortlist, shortlist_parts


def shortlist_on_cluster(
    client: Any,
    library: Library,
    target: ScanTarget,
    allowed: Sequence[str] | None,
    excluded: Sequence[str] | None,
    size: int,
    rows: int,
    progress: Callable[[int], None] | None = None,
) -> Shortlist:
    """The shortlist of the whole library, each part scored by a task on ``client``'s cluster."""
    distributed = require("distributed", "distributed", "--scheduler")
    # Keys name this search: another run on the same cluster (another scan, the same library's
    # parts) must not be handed this run's results, nor this run theirs.
    run = uuid.uuid4().hex
    futures = [
        client.submit(
            shortlist_parts,
            str(library.path),
            [part],
            target,
            allowed,
            excluded,
            size,
            rows,
            pure=False,
            key=f"peakforge-identify-{run}-{index}-{part}",
        )
        for index, part in enumerate(library.parts)
    ]
    lists = []
    try:
        for future in distributed.as_completed(futures):
            found = future.result()
            lists.append(found)
            if progress is not None:
                progress(found.scored)
            # Merging as results come keeps the driver's memory at one shortlist or two.
            if len(lists) > 1:
                lists = [Shortlist.merge(lists, size)]
    finally:
        client.cancel(futures)
    return Shortlist.merge(lists, size)
