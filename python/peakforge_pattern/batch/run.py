"""The driver of a batch run: what is left to do, handing chunks to an
engine, and what to do when one fails or its worker dies."""

from __future__ import annotations

import os
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Protocol, Sequence

from ..errors import InputError
from .chunks import Chunk, plan_chunks
from .engine import Died, Engine, Failed, Finished
from .options import RunOptions
from .output import OutputFolder, write_part
from .rows import ERROR, RowBuilder
from .sources import list_sources
from .worker import Job

RETRIES = 2
"""A chunk whose function raised is run again this many times."""

class Progress(Protocol):
    """Told how many structures a run computes, then of each chunk as it ends."""

    def start(self, total: int) -> None: ...

    def advance(self, count: int, errors: list[tuple[str, str]]) -> None:
        """``count`` more structures done; (id, message) of the new error rows."""


@dataclass
class BatchSummary:
    """What a run did. ``listed`` structures: ``done_before`` were already in the
    output, of which ``errors_before`` as error rows; this run wrote ``ok`` and
    ``errors`` rows; ``not_done`` are missing because a chunk kept failing
    (``problems`` says why)."""

    out: Path
    listed: int = 0
    done_before: int = 0
    errors_before: int = 0
    ok: int = 0
    errors: int = 0
    not_done: int = 0
    seconds: float = 0.0
    output_bytes: int = 0
    problems: list[str] = field(default_factory=list)

    @property
    def computed(self) -> int:
        return self.ok + self.errors

    @property
    def rate(self) -> float:
        """Structures computed per second."""
        return self.computed / self.seconds if self.seconds > 0 else 0.0

    @property
    def exit_status(self) -> int:
        """0 when every row is ok, 2 when some are errors, 1 when the run failed."""
        if self.not_done:
            return 1
        return 2 if self.errors or self.errors_before else 0


def _drive(engine: Engine, chunks: list[Chunk], out: str, options: RunOptions, summary: BatchSummary,
           progress: Progress | None) -> None:
    failures: dict[str, int] = {}
    suspects: list[Chunk] = []  # single structures whose worker died, maybe for another task's sake
    suspected: set[Chunk] = set()
    pending = 0
    for chunk in chunks:
        engine.submit(chunk)
        pending += 1
    while pending or suspects:
        if not pending:
            # Alone on the engine, a structure that kills its worker again is the culprit.
            engine.submit(suspects.pop())
            pending += 1
        for chunk, outcome in engine.wait():
            pending -= 1
            errors: list[tuple[str, str]] = []
            if isinstance(outcome, Finished):
                summary.ok += outcome.result.ok
                errors = outcome.result.errors
            elif isinstance(outcome, Died) and len(chunk) > 1:
                # One structure per task, so that only the culprit is lost.
                for single in chunk.singles():
                    engine.submit(single, urgent=True)
                    pending += 1
                continue
            elif isinstance(outcome, Died) and not engine.isolates_chunks and chunk not in suspected:
                suspected.add(chunk)
                suspects.append(chunk)
                continue
            elif isinstance(outcome, Died):
                # The driver owns the output: it writes the culprit's row without the cluster lock.
                rows = RowBuilder(options)
                (id, _), = chunk.items
                rows.add_error(id, outcome.message)
                try:
                    write_part(out, chunk.name, rows.table())
                    errors = [(id, outcome.message)]
                except OSError as exc:
                    summary.not_done += 1
                    summary.problems.append(f"{id}: cannot write its error row: {exc}")
            elif isinstance(outcome, Failed) and failures.get(chunk.name, 0) < RETRIES:
                failures[chunk.name] = failures.get(chunk.name, 0) + 1
                engine.submit(chunk, urgent=True)
                pending += 1
                continue
            else:
                summary.not_done += len(chunk)
                summary.problems.append(f"{len(chunk)} structures not computed: {outcome.message}")
            summary.errors += len(errors)
            if progress is not None:
                progress.advance(len(chunk), errors)


def run_batch(sources: Iterable[str | os.PathLike[str]], out: str | os.PathLike[str], *,
              wavelength: float | str = "CuKa", two_theta_range: Sequence[float] = (0.0, 90.0),
              client: Any = None, resume: bool = True, retry_errors: bool = False,
              float32: bool = False, workers: int | None = None,
              progress: Progress | None = None) -> BatchSummary:
    """Compute the pattern of every structure ``sources`` name into the Parquet
    dataset ``out``, one row per structure.

    ``sources`` are CIF files, folders (searched recursively for .cif files)
    or lists of paths (.txt, .list, .lst; one a line). Runs on a local
    process pool of ``workers`` processes (default one per processor), or
    on the Dask cluster of ``client``. With ``resume`` structures already in
    ``out`` are skipped (the run's options must match); without it ``out``
    is emptied first. ``retry_errors`` computes the error rows again.

    Raises InputError for bad options or sources, or an output folder that
    cannot be used; KeyboardInterrupt stops the workers, keeping every part
    already written.
    """
    options = RunOptions.resolve(wavelength, two_theta_range, float32)
    if workers is not None and not 1 <= workers <= 4096:
        raise InputError(f"the number of workers must lie between 1 and 4096, not {workers}")
    listing = list_sources(sources)
    folder = OutputFolder(out)
    summary = BatchSummary(folder.path, listed=len(listing))
    started = time.perf_counter()
    with folder.locked():
        job = Job(str(folder.path), options, uuid.uuid4().hex,
                  folder.cluster_lock if client is not None else None)
        engine: Engine
        if client is not None:
            from .dask_cluster import DaskCluster
            engine = DaskCluster(client, job)
        else:
            from .local_pool import LocalPool
            engine = LocalPool(job, workers)
        try:
            with engine.exclusive():
                folder.start(options, job.token, resume)
            folder.remove_temporaries()
            if retry_errors:
                folder.drop_error_rows(options, [source.id for source in listing])
            statuses = folder.statuses(options)
            todo = [source for source in listing if source.id not in statuses]
            summary.done_before = len(listing) - len(todo)
            summary.errors_before = sum(statuses.get(source.id) == ERROR for source in listing)
            if progress is not None:
                progress.start(len(todo))
            _drive(engine, plan_chunks(todo, engine.workers), job.out, options, summary, progress)
        finally:
            engine.close()
            folder.remove_temporaries()
    summary.seconds = time.perf_counter() - started
    summary.output_bytes = folder.size()
    return summary
