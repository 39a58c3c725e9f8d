"""Parts of a batch output folder, each written whole or not at all: what a
worker needs to store its rows (without the dataset reading the driver does,
whose imports cost a worker process most of a second to start)."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

from ..atomic_file import atomic_path

METADATA_FILE = "_common_metadata"
"""The dataset's schema, with the run's options and token in its metadata."""

RUN_KEY = b"peakforge.batch.run"
PART_PREFIX, PART_SUFFIX = "part-", ".parquet"


class Superseded(RuntimeError):
    """A newer run owns the output folder; this task's part is not wanted."""


def part_path(out: str | os.PathLike[str], name: str) -> Path:
    return Path(out) / f"{name}{PART_SUFFIX}"


def run_token(out: str | os.PathLike[str]) -> str | None:
    """The token of the run that currently owns the folder."""
    try:
        metadata = pq.read_schema(Path(out) / METADATA_FILE).metadata or {}
    except (OSError, pa.ArrowException):
        return None
    token = metadata.get(RUN_KEY)
    return token.decode() if token is not None else None


@contextlib.contextmanager
def _cluster_lock(name: str) -> Iterator[None]:
    from distributed import Lock  # only ever named when running on a Dask cluster

    with Lock(name):
        yield


def write_part(
    out: str | os.PathLike[str],
    name: str,
    schema: pa.Schema,
    batches: Iterable[pa.RecordBatch],
    *,
    token: str | None = None,
    cluster_lock: str | None = None,
) -> None:
    """Write the part ``name`` of ``out`` from ``batches`` (consumed as they
    come: they may be computed on demand), whole or not at all.

    With ``cluster_lock`` the rename happens under that Dask lock and only
    while ``token`` is still the folder's run token (Superseded otherwise).
    """
    target = part_path(out, name)
    with contextlib.ExitStack() as held:
        with atomic_path(target) as temporary:
            with open(temporary, "wb") as sink:
                with pq.ParquetWriter(sink, schema, compression="zstd") as writer:
                    for batch in batches:
                        writer.write_batch(batch)
                sink.flush()
                os.fsync(sink.fileno())
            if cluster_lock is not None:
                held.enter_context(_cluster_lock(cluster_lock))
                if run_token(out) != token:
                    raise Superseded(f"{out} now belongs to another run; {name} discarded")
    # The part's bytes were synced before its rename; the folder's entry for it
    # now: two syncs per part, whatever its number of rows.
    sync_folder(target.parent)


def sync_folder(folder: Path) -> None:
    """Make the names in ``folder`` durable (where the system allows a folder to be synced)."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:  # some file systems cannot sync a folder; the part itself is synced
        pass
    finally:
        os.close(descriptor)
