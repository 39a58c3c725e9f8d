"""What the driver needs from an executor that runs chunks (a local process
pool or a Dask cluster), and what a chunk's run can end in."""

from __future__ import annotations

from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Protocol

from .chunks import Chunk
from .worker import ChunkResult


@dataclass(frozen=True)
class Finished:
    result: ChunkResult


@dataclass(frozen=True)
class Failed:
    """The chunk function raised (the part could not be written, say)."""

    message: str


@dataclass(frozen=True)
class Died:
    """The worker process ended while computing the chunk."""

    message: str


Outcome = Finished | Failed | Died


class ExecutorError(RuntimeError):
    """The executor cannot run chunks at all (its workers cannot start, say)."""


class Executor(Protocol):
    workers: int
    """How many chunks run at once."""

    isolates_chunks: bool
    """Whether a worker dying is the fault of its one chunk; else other tasks
    may have shared the dead worker and been blamed with it."""

    def exclusive(self) -> AbstractContextManager[object]:
        """Held while the driver makes its run the output's owner."""
        ...

    def submit(self, chunk: Chunk, urgent: bool = False) -> None:
        """Queue a chunk; urgent ones run before those queued earlier."""
        ...

    def wait(self) -> list[tuple[Chunk, Outcome]]:
        """Block until at least one submitted chunk has ended."""
        ...

    def close(self) -> None:
        """Stop every worker of this executor, abandoning unfinished chunks."""
        ...
