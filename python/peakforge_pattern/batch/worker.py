"""The work of one chunk, the same whichever executor runs it: every structure
read and computed, errors kept as rows, the part written whole."""

from __future__ import annotations

import os
import signal
import time
from collections.abc import Iterator
from dataclasses import dataclass, field

import pyarrow as pa

from ..diffraction.compute import compute_pattern
from ..errors import InputError
from ..structures.structure import Structure
from .chunks import Chunk
from .options import RunOptions
from .parts import write_part
from .rows import RowBuilder

KILL_HOOK = "PEAKFORGE_BATCH_TEST_KILL_ON"
"""Test hook: a worker computing the structure with this id kills itself."""

ATTEMPTS = 3
"""An unexpected exception (not a problem of the input) is tried again twice."""


@dataclass(frozen=True)
class Job:
    """What every chunk of a run shares.

    ``out`` must name the same folder on every worker (a shared file system
    on a cluster); ``token`` identifies the run; ``cluster_lock``, on a Dask
    cluster, names the lock under which parts are committed. A structure
    whose calculation is estimated above the request's work limit becomes an
    error row; the limit changes no pattern, so a rerun may raise it to
    retry those rows.
    """

    out: str
    options: RunOptions
    token: str
    cluster_lock: str | None = None


@dataclass(frozen=True)
class ChunkResult:
    part: str
    """The part's name: the file is ``{part}.parquet`` in the output folder."""
    ok: int
    errors: list[tuple[str, str]] = field(default_factory=list)
    """(id, message) of every error row."""


def describe(exc: BaseException) -> str:
    """An exception on one line, with its type."""
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def compute_row(rows: RowBuilder, id: str, path: str, options: RunOptions) -> None:
    """Add the row of one structure: its pattern, or the reason there is none."""
    request = options.request.replace(parallel=False)  # the workers already fill the processors
    start = time.perf_counter()
    structure = None
    where = os.path.abspath(path)
    for attempt in range(ATTEMPTS):
        try:
            if structure is None:
                structure = Structure.from_cif(path)
            pattern = compute_pattern(structure, request=request)
        except InputError as exc:
            rows.add_error(id, str(exc), time.perf_counter() - start, structure, where)
            return
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # a fault of the computation, internal failures included
            if attempt + 1 == ATTEMPTS:
                rows.add_error(id, describe(exc), time.perf_counter() - start, structure, where)
                return
        else:
            rows.add_pattern(id, structure, pattern, time.perf_counter() - start, where)
            return


def process_chunk(chunk: Chunk, job: Job) -> ChunkResult:
    """Compute a chunk and write its part; any executor can call this.

    Raises only when the part cannot be written; problems of single
    structures become error rows.
    """
    kill_on = os.environ.get(KILL_HOOK)
    rows = RowBuilder(job.options)

    def batches() -> Iterator[pa.RecordBatch]:
        for id, path in chunk.items:
            if id == kill_on:
                os.kill(os.getpid(), signal.SIGKILL)
            compute_row(rows, id, path, job.options)
            if rows.full():
                yield rows.take()
        yield rows.take()

    write_part(job.out, chunk.name, rows.schema, batches(), token=job.token, cluster_lock=job.cluster_lock)
    return ChunkResult(chunk.name, rows.ok, rows.errors)
