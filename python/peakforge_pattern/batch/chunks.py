"""Splitting a run into chunks: the unit a worker computes and writes as one part."""

from __future__ import annotations

import hashlib
import math
from collections.abc import Sequence
from dataclasses import dataclass

from .sources import Source

CHUNKS_PER_WORKER = 8
"""Enough chunks that workers finishing early find more work, few enough that
per-chunk costs (a task, a file) stay small."""

MIN_CHUNK = 16
MAX_CHUNK = 1000


@dataclass(frozen=True)
class Chunk:
    """Structures computed together, as (id, path) pairs."""

    items: tuple[tuple[str, str], ...]

    @property
    def name(self) -> str:
        """Part name derived from the ids, so the same chunk computed twice
        (a retry, a task run again) replaces its part instead of adding one."""
        digest = hashlib.sha1("\n".join(id for id, _ in self.items).encode())
        return f"part-{digest.hexdigest()[:20]}"

    def __len__(self) -> int:
        return len(self.items)

    def singles(self) -> list[Chunk]:
        return [Chunk((item,)) for item in self.items]


def chunk_size(count: int, workers: int) -> int:
    return min(MAX_CHUNK, max(MIN_CHUNK, math.ceil(count / (CHUNKS_PER_WORKER * max(1, workers)))))


def plan_chunks(sources: Sequence[Source], workers: int) -> list[Chunk]:
    """Chunks of equal count, the largest structures (by file size) first, so
    that the longest work starts early and the run does not end on it."""
    ordered = sorted(sources, key=lambda s: (-s.size, s.id))
    size = chunk_size(len(ordered), workers)
    return [
        Chunk(tuple((s.id, s.path) for s in ordered[start : start + size])) for start in range(0, len(ordered), size)
    ]
