"""The default executor: worker processes on this machine, one chunk each at a time.

Unlike a general-purpose process pool, it knows which chunk each worker
holds, so a worker that dies (killed, out of memory) fails only that chunk,
and a new worker takes its place.
"""

from __future__ import annotations

import contextlib
import ctypes
import multiprocessing
import os
import signal
import sys
from collections import deque
from collections.abc import Callable, Iterator
from multiprocessing.connection import Connection, wait
from typing import NoReturn

from .chunks import Chunk
from .executor import Died, ExecutorError, Failed, Finished, Outcome
from .worker import Job, describe, process_chunk

# Fresh interpreters: nothing inherited from the driver's threads, the same on every platform.
_CONTEXT = multiprocessing.get_context("spawn")

_PR_SET_PDEATHSIG = 1

_READY = "ready"
"""A new worker's first message: it started, so a later death is its chunk's doing."""


def _die_with(parent: int) -> None:
    """End this worker when the driver ends, even by SIGKILL: a worker
    outliving its driver would write parts a rerun has already redone."""
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(1)


def _stop(signum: int, frame: object) -> None:
    sys.exit(128 + signum)  # unwinds, so a part being written leaves no temporary file


def _serve(connection: Connection, parent: int, run: Callable[[Chunk, Job], object]) -> None:
    """A worker's life: chunks in, outcomes out (of ``run``), until told to stop."""
    # pyarrow imports pandas, when installed, at its first conversion only to
    # ask whether the input is a pandas object (a third of a second of CPU per
    # worker); a worker never holds one, so pandas counts as absent here.
    sys.modules.setdefault("pandas", None)  # type: ignore[arg-type]
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the whole group; the driver acts on it
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    signal.signal(signal.SIGTERM, _stop)
    _die_with(parent)
    connection.send(_READY)
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            _end_quickly(connection)
        chunk, job = task
        outcome: Outcome
        try:
            outcome = Finished(run(chunk, job))  # type: ignore[arg-type]
        except Exception as exc:
            outcome = Failed(describe(exc))
        connection.send(outcome)


def _end_quickly(connection: Connection) -> NoReturn:
    """End an idle worker without the interpreter's teardown: every part it
    wrote is closed and synced, and nothing else of it is left to save."""
    connection.close()
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
    os._exit(0)


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Ctrl-C waits until a new worker has set itself to ignore it."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _ending(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        name = signal.Signals(-exitcode).name
        return f"was killed by {name}" + (" (as when memory runs out)" if -exitcode == signal.SIGKILL else "")
    return f"exited with status {exitcode}"


def _processors() -> int:
    """Processors this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


_ONE_THREAD = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
"""Thread counts of the BLAS libraries NumPy may load."""


@contextlib.contextmanager
def _one_blas_thread() -> Iterator[None]:
    """New workers start their BLAS on one thread, unless the user set a count:
    the workers already fill the processors, and a BLAS pool's idle threads
    spin at start-up for nothing (its matrices here are 3 × 3)."""
    unset = [name for name in _ONE_THREAD if name not in os.environ]
    os.environ.update(dict.fromkeys(unset, "1"))
    try:
        yield
    finally:
        for name in unset:
            os.environ.pop(name, None)


class _Worker:
    def __init__(self, run: Callable[[Chunk, Job], object]) -> None:
        ours, theirs = _CONTEXT.Pipe()
        self.process = _CONTEXT.Process(
            target=_serve, args=(theirs, os.getpid(), run), daemon=True, name="peakforge-worker"
        )
        with _interrupts_held(), _one_blas_thread():
            self.process.start()
        theirs.close()
        self.connection = ours
        self.chunk: Chunk | None = None
        self.started = False

    def message(self) -> Outcome | str:
        """The worker's next message, or Died once it is gone."""
        try:
            if self.connection.poll():
                message: Outcome | str = self.connection.recv()
                return message
        except (EOFError, OSError):
            pass
        self.process.join(5)
        return Died(f"the worker computing it {_ending(self.process.exitcode)}")

    def signal_stop(self) -> None:
        """Ask an idle worker to end, a busy one to give up its chunk."""
        if self.process.is_alive():
            if self.chunk is None:
                with contextlib.suppress(OSError):
                    self.connection.send(None)
            else:
                self.process.terminate()

    def join(self) -> None:
        self.process.join(5)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.connection.close()


class LocalPool:
    """``workers`` processes (default: one per processor this process may use),
    each running ``run(chunk, job)`` (a module-level function: it travels by
    name) on the chunks given to it; a batch's `process_chunk` by default.
    Another feature (a series of fits) passes its own task and job."""

    isolates_chunks = True

    def __init__(
        self, job: Job, workers: int | None = None, run: Callable[[Chunk, Job], object] = process_chunk
    ) -> None:
        self.job = job
        self.run = run
        self.workers = workers or _processors()
        self._queue: deque[Chunk] = deque()
        self._busy: list[_Worker] = []
        self._idle: list[_Worker] = []

    def exclusive(self) -> contextlib.AbstractContextManager[object]:
        return contextlib.nullcontext()  # workers die with the driver: no older run is left writing

    def submit(self, chunk: Chunk, urgent: bool = False) -> None:
        if urgent:
            self._queue.appendleft(chunk)
        else:
            self._queue.append(chunk)
        self._dispatch()

    def _dispatch(self) -> None:
        while self._queue and (self._idle or len(self._busy) < self.workers):
            worker = self._idle.pop() if self._idle else _Worker(self.run)
            if not worker.process.is_alive():
                worker.join()
                continue
            worker.chunk = self._queue.popleft()
            worker.connection.send((worker.chunk, self.job))
            self._busy.append(worker)

    def wait(self) -> list[tuple[Chunk, Outcome]]:
        ended: list[tuple[Chunk, Outcome]] = []
        while not ended:
            ready = set(wait([w.connection for w in self._busy] + [w.process.sentinel for w in self._busy]))
            for worker in [w for w in self._busy if {w.connection, w.process.sentinel} & ready]:
                message = worker.message()
                if message == _READY:
                    worker.started = True
                    continue
                if isinstance(message, Died) and not worker.started:
                    self.close()
                    raise ExecutorError(f"a worker process could not start: it {_ending(worker.process.exitcode)}")
                assert worker.chunk is not None and not isinstance(message, str)
                ended.append((worker.chunk, message))
                self._busy.remove(worker)
                worker.chunk = None
                if isinstance(message, Died):
                    worker.join()
                else:
                    self._idle.append(worker)
        self._dispatch()
        return ended

    def close(self) -> None:
        workers = self._busy + self._idle
        for worker in workers:
            worker.signal_stop()
        for worker in workers:  # all at once: each takes a moment to shut down
            worker.join()
        self._busy.clear()
        self._idle.clear()
        self._queue.clear()
