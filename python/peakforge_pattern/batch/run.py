"""The driver of a batch run: what is left to do, handing chunks to an
executor, and what to do when one fails or its worker dies."""

from __future__ import annotations

import os
import time
import uuid
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

from ..diffraction.request import PatternRequest
from ..errors import InputError
from ..profiles.instrument import Instrument
from ..profiles.sample import Sample
from ..provenance import Provenance
from .chunks import Chunk, plan_chunks
from .executor import Died, Executor, Finished
from .grid_profile import GridProfile
from .options import RunOptions
from .output import OutputFolder
from .parts import write_part
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
    (``problems`` says why); ``warnings`` name what listing the sources
    skipped (links in loops)."""

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
    warnings: list[str] = field(default_factory=list)

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


class _Driver:
    """Hands chunks to an executor and settles each outcome: a dead worker's
    chunk is split into single structures, a single one that dies again is
    an error row, a chunk that raised is retried, then counted as not done."""

    def __init__(
        self, executor: Executor, out: str, options: RunOptions, summary: BatchSummary, progress: Progress | None
    ) -> None:
        self.executor, self.out, self.options = executor, out, options
        self.summary, self.progress = summary, progress
        self.pending = 0
        self.failures: dict[str, int] = {}
        # Single structures whose worker died beside other tasks: each is run
        # alone at the end, where dying again proves it the culprit.
        self.suspects: list[Chunk] = []
        self.suspected: set[Chunk] = set()

    def _submit(self, chunk: Chunk, urgent: bool = False) -> None:
        self.executor.submit(chunk, urgent)
        self.pending += 1

    def run(self, chunks: list[Chunk]) -> None:
        for chunk in chunks:
            self._submit(chunk)
        while self.pending or self.suspects:
            if not self.pending:
                self._submit(self.suspects.pop())
            for chunk, outcome in self.executor.wait():
                self.pending -= 1
                if isinstance(outcome, Finished):
                    self.summary.ok += outcome.result.ok
                    self._done(chunk, outcome.result.errors)
                elif isinstance(outcome, Died):
                    self._died(chunk, outcome.message)
                else:
                    self._failed(chunk, outcome.message)

    def _done(self, chunk: Chunk, errors: list[tuple[str, str]]) -> None:
        self.summary.errors += len(errors)
        if self.progress is not None:
            self.progress.advance(len(chunk), errors)

    def _died(self, chunk: Chunk, message: str) -> None:
        if len(chunk) > 1:
            for single in chunk.singles():  # one structure per task: only the culprit is lost
                self._submit(single, urgent=True)
        elif not self.executor.isolates_chunks and chunk not in self.suspected:
            self.suspected.add(chunk)
            self.suspects.append(chunk)
        else:
            # The driver owns the output: it writes the culprit's row without the cluster lock.
            ((id, _),) = chunk.items
            rows = RowBuilder(self.options)
            rows.add_error(id, message)
            try:
                write_part(self.out, chunk.name, rows.schema, [rows.take()])
            except OSError as exc:
                self._not_done(chunk, f"cannot write the error row of {id}: {exc}")
                return
            self._done(chunk, [(id, message)])

    def _failed(self, chunk: Chunk, message: str) -> None:
        tries = self.failures[chunk.name] = self.failures.get(chunk.name, 0) + 1
        if tries <= RETRIES:
            self._submit(chunk, urgent=True)
        else:
            self._not_done(chunk, message)

    def _not_done(self, chunk: Chunk, message: str) -> None:
        self.summary.not_done += len(chunk)
        self.summary.problems.append(f"{len(chunk)} structures not computed: {message}")
        if self.progress is not None:
            self.progress.advance(len(chunk), [])


def run_batch(
    sources: Iterable[str | os.PathLike[str]],
    out: str | os.PathLike[str],
    request: PatternRequest | None = None,
    *,
    client: Any = None,
    resume: bool = True,
    retry_errors: bool = False,
    float32: bool = False,
    workers: int | None = None,
    progress: Progress | None = None,
    grid: Sequence[float] | None = None,
    instrument: Instrument | None = None,
    sample: Sample | None = None,
    provenance: Provenance | None = None,
    **fields: Any,
) -> BatchSummary:
    """Compute the pattern of every structure ``sources`` name into a Parquet dataset.

    One row per structure in ``out``: its peaks, or an error row saying why
    it has none.  A run stopped or broken off resumes where it was.

    Parameters
    ----------
    sources : iterable of str or os.PathLike
        CIF files, folders (searched recursively for .cif files) or lists of
        paths (.txt, .list, .lst; one a line).
    out : str or os.PathLike
        The output folder, a Parquet dataset; the request is kept in its
        metadata.
    request : PatternRequest, optional
        The calculation request; ``fields`` (wavelength, two_theta_range,
        radiation, ...) change it. Each structure is computed on one thread
        (the workers fill the processors); one estimated above the
        request's ``max_work`` becomes an error row.
    client : distributed.Client, optional
        Run on its Dask cluster instead of a local process pool.
    resume : bool
        Skip the structures already in ``out`` (its patterns must have been
        computed alike); without it ``out`` is emptied first.
    retry_errors : bool
        Compute the error rows again.
    float32 : bool
        Store the peak numbers as float32.
    workers : int, optional
        Processes of the local pool (default one per processor).
    progress : Progress, optional
        Told of the structures to compute and of each chunk as it ends.
    grid : (min, max, step), optional
        Add a float32 ``profile`` column on this fixed 2θ grid (degrees),
        for learning; its peaks shaped by ``instrument`` and ``sample`` as a
        pattern's profile is (default 0.1° wide peaks).
    instrument : Instrument, optional
        The instrument that shapes the ``grid`` profiles.
    sample : Sample, optional
        The sample terms of the ``grid`` profiles.
    provenance : Provenance, optional
        The software, command line and inputs kept in the dataset's
        metadata (default: the sources as given, with their SHA-256).

    Returns
    -------
    BatchSummary
        What was listed, done before, computed, and failed.

    Raises
    ------
    InputError
        Bad options or sources, or an output folder that cannot be used.
    ExecutorError
        No worker can run. KeyboardInterrupt stops the workers, keeping every
        part already written.

    Examples
    --------
    The package's example structures, on one worker process:

    >>> import tempfile
    >>> from pathlib import Path
    >>> from peakforge_pattern import example_path
    >>> from peakforge_pattern.batch import read_patterns, run_batch
    >>> out = Path(tempfile.mkdtemp()) / "patterns"
    >>> summary = run_batch([example_path("silicon").parent], out, wavelength="CuKa",
    ...                     two_theta_range=(5, 90), workers=1)
    >>> summary.listed, summary.ok, summary.errors, summary.exit_status
    (5, 5, 0, 0)
    >>> [pattern.structure_name for pattern in read_patterns(out)][:2]
    ['corundum.cif', 'cscl.cif']
    """
    options = RunOptions.resolve(
        request=request,
        float32=float32,
        grid=None if grid is None else GridProfile.resolve(grid, instrument, sample),
        **fields,
    )
    if workers is not None and not 1 <= workers <= 4096:
        raise InputError(f"the number of workers must lie between 1 and 4096, not {workers}")
    skipped: list[str] = []
    sources = list(sources)
    listing = list_sources(sources, skipped)
    if provenance is None:
        try:
            provenance = Provenance.of(sources)
        except OSError as exc:
            raise InputError(f"{exc.filename}: cannot read it for its checksum: {exc.strerror or exc}") from None
    folder = OutputFolder(out)
    summary = BatchSummary(folder.path, listed=len(listing), warnings=skipped)
    started = time.perf_counter()
    with folder.locked():
        job = Job(str(folder.path), options, uuid.uuid4().hex, folder.cluster_lock if client is not None else None)
        executor: Executor
        if client is not None:
            from .dask_cluster import DaskCluster

            executor = DaskCluster(client, job)
        else:
            from .local_pool import LocalPool

            executor = LocalPool(job, workers)
        try:
            with executor.exclusive():
                folder.start(options, job.token, resume, provenance)
            folder.remove_temporaries()
            if retry_errors:
                folder.drop_error_rows(options, [source.id for source in listing])
            statuses = folder.statuses(options)
            todo = [source for source in listing if source.id not in statuses]
            summary.done_before = len(listing) - len(todo)
            summary.errors_before = sum(statuses.get(source.id) == ERROR for source in listing)
            if progress is not None:
                progress.start(len(todo))
            _Driver(executor, job.out, options, summary, progress).run(plan_chunks(todo, executor.workers))
        finally:
            executor.close()
            folder.remove_temporaries()
    summary.seconds = time.perf_counter() - started
    summary.output_bytes = folder.size()
    return summary
