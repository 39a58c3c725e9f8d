"""The best-scoring library entries, kept with their peaks while the library
streams past, so that later rounds of the search rescore them without
reading the library again.

Only the best entry of each phase is kept: entries with the same elements
and the same three strongest spacings (strained as scored) are one phase,
so that a library holding a structure many times over (supercells,
duplicates, the same compound from several sources) cannot fill the list
with it and push the other phases out.

A shortlist is built from any number of chunks and merged from any number
of workers; ranking is by score, then by id, so that the same entries come
out in the same order however the library was cut.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from ..batch.library import Library, open_library
from .library_entries import CHUNK_ROWS, stream_entries
from .scoring import EntryPeaks, ScanTarget, Scores, fingerprints, score_entries

SHORTLIST_SIZE = 200
"""Entries kept for the search's later rounds."""

OTHERS_KEPT = 20
"""Entries of one phase remembered beside the one kept (a merged collection may hold a compound many times)."""


@dataclass(frozen=True, eq=False)
class Shortlist:
    """Entries, best first, with their scores against the whole scan and
    their peaks; ``scored`` counts every entry that was scored."""

    ids: list[str]
    names: list[str]
    formulas: list[str | None]
    paths: list[str | None]
    keys: np.ndarray
    """(entries, 4) integers naming each entry's phase: its elements and fingerprint."""
    peaks: EntryPeaks
    scores: Scores
    scored: int = 0
    others: list[tuple[tuple[str, str], ...]] | None = None
    """Per entry, (id, cell formula) of the entries of the same phase left out for it (at most
    ``OTHERS_KEPT``); None: none for any."""

    def __len__(self) -> int:
        return len(self.ids)

    def others_of(self, index: int) -> tuple[tuple[str, str], ...]:
        return () if self.others is None else self.others[index]

    @classmethod
    def empty(cls) -> Shortlist:
        return cls([], [], [], [], np.zeros((0, 4), dtype=np.int64), EntryPeaks.concatenate([]), Scores.empty(0), 0)

    def best(self, size: int) -> Shortlist:
        """The ``size`` best entries (by score, then id), one per phase, best first; the
        entries of a phase left out are remembered beside the one kept."""
        order = np.array(
            sorted(range(len(self)), key=lambda i: (-float(self.scores.score[i]), self.ids[i])), dtype=np.int64
        )
        others = [self.others_of(i) for i in range(len(self))]
        if order.size:
            _, first, phase = np.unique(self.keys[order], axis=0, return_index=True, return_inverse=True)
            phase = phase.reshape(-1)
            for position, i in enumerate(order):
                kept = int(order[first[phase[position]]])
                if kept != i:
                    joined = others[kept] + ((self.ids[i], self.formulas[i] or ""),) + others[i]
                    others[kept] = joined[:OTHERS_KEPT]
            order = order[np.sort(first)]
        return dataclasses.replace(self, others=others).take(order[:size])

    def take(self, rows: np.ndarray) -> Shortlist:
        rows = np.asarray(rows, dtype=np.int64)
        scores = Scores(
            *(
                np.asarray(getattr(self.scores, f))[rows]
                for f in ("score", "coverage", "explained", "position", "strain", "zero_shift")
            )
        )
        return Shortlist(
            [self.ids[i] for i in rows],
            [self.names[i] for i in rows],
            [self.formulas[i] for i in rows],
            [self.paths[i] for i in rows],
            self.keys[rows],
            self.peaks.take(rows),
            scores,
            self.scored,
            None if self.others is None else [self.others[i] for i in rows],
        )

    @classmethod
    def merge(cls, lists: Sequence[Shortlist], size: int) -> Shortlist:
        scored = sum(s.scored for s in lists)
        lists = [s for s in lists if len(s)] or [cls.empty()]
        scores = Scores(
            *(
                np.concatenate([getattr(s.scores, f) for s in lists])
                for f in ("score", "coverage", "explained", "position", "strain", "zero_shift")
            )
        )
        joined = cls(
            [i for s in lists for i in s.ids],
            [n for s in lists for n in s.names],
            [f for s in lists for f in s.formulas],
            [p for s in lists for p in s.paths],
            np.concatenate([s.keys for s in lists]),
            EntryPeaks.concatenate([s.peaks for s in lists]),
            scores,
            scored,
            [o for s in lists for o in (s.others or [()] * len(s))],
        )
        return joined.best(size)


def shortlist_library(
    library: Library,
    target: ScanTarget,
    *,
    allowed: Sequence[str] | None = None,
    excluded: Sequence[str] | None = None,
    size: int = SHORTLIST_SIZE,
    rows: int = CHUNK_ROWS,
    parts: Sequence[str] | None = None,
    progress: Callable[[int], None] | None = None,
) -> Shortlist:
    """Score every entry passing the element filter, a chunk of ``rows`` at a
    time, keeping the ``size`` best; ``progress`` is told each chunk's size."""
    kept = Shortlist.empty()
    for chunk in stream_entries(library, allowed=allowed, excluded=excluded, rows=rows, parts=parts):
        scores = score_entries(target, chunk.peaks)
        candidates = np.flatnonzero(scores.score > 0.0)
        peaks = chunk.peaks.take(candidates)
        strain = scores.strain[candidates]
        keys = np.column_stack([chunk.element_keys[candidates], fingerprints(target, peaks, strain)])
        found = Shortlist(
            [chunk.ids[i] for i in candidates],
            [chunk.names[i] for i in candidates],
            [chunk.formulas[i] for i in candidates],
            [chunk.paths[i] for i in candidates],
            keys,
            peaks,
            Scores(
                *(
                    np.asarray(getattr(scores, f))[candidates]
                    for f in ("score", "coverage", "explained", "position", "strain", "zero_shift")
                )
            ),
            len(chunk),
        )
        kept = Shortlist.merge([kept, found], size)
        if progress is not None:
            progress(len(chunk))
    return kept


def shortlist_parts(
    path: str | os.PathLike[str],
    parts: Sequence[str],
    target: ScanTarget,
    allowed: Sequence[str] | None,
    excluded: Sequence[str] | None,
    size: int,
    rows: int = CHUNK_ROWS,
) -> Shortlist:
    """One task of a distributed search: the shortlist of some parts of the library at ``path``."""
    return shortlist_library(
        open_library(path), target, allowed=allowed, excluded=excluded, size=size, rows=rows, parts=parts
    )
