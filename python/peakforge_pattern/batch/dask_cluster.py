"""Running the chunks on an existing Dask distributed cluster.

Workers read the structures and write the parts themselves, so the sources
and the output folder must be reachable at the same paths on every worker
(a shared file system); only small results travel back to the driver.
"""

from __future__ import annotations

import contextlib
import itertools
from collections.abc import Callable
from typing import Any

from ..errors import InputError
from ..optional import require
from .chunks import Chunk
from .executor import Died, Failed, Finished, Outcome
from .worker import Job, describe, process_chunk

WORKER_WAIT_SECONDS = 60.0


class DaskCluster:
    """``client``'s cluster; its worker threads count as the workers.

    Each chunk runs ``run(chunk, job)`` (a batch's `process_chunk` by
    default), under a key naming ``label``, the job's run token and the
    chunk's name.
    """

    isolates_chunks = False  # a worker's threads and queue hold several tasks

    def __init__(
        self, client: Any, job: Job, run: Callable[[Chunk, Job], object] = process_chunk, label: str = "batch"
    ) -> None:
        distributed = require("distributed", "distributed", "running on a Dask cluster")
        self._distributed = distributed
        self.client = client
        self.job = job
        self.run, self.label = run, label
        try:
            client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
        except (TimeoutError, OSError) as exc:
            raise InputError(f"the Dask cluster has no workers ({describe(exc)})") from None
        self.workers = max(1, sum(client.nthreads().values()))
        self._completed = distributed.as_completed()
        self._pending: dict[Any, Chunk] = {}
        self._serial = itertools.count()

    def exclusive(self) -> contextlib.AbstractContextManager[object]:
        assert self.job.cluster_lock is not None
        lock: contextlib.AbstractContextManager[object] = self._distributed.Lock(
            self.job.cluster_lock, scheduler_rpc=self.client.scheduler, loop=self.client.loop
        )
        return lock

    def submit(self, chunk: Chunk, urgent: bool = False) -> None:
        serial = next(self._serial)
        # Earlier chunks (the larger structures) first; reruns of a dead chunk before all.
        future = self.client.submit(
            self.run,
            chunk,
            self.job,
            # The run's token in the key: another run's chunk of the same name is another task.
            key=f"peakforge-{self.label}-{self.job.token}-{chunk.name}-{serial}",
            pure=False,
            priority=1_000_000_000 if urgent else -serial,
        )
        self._pending[future] = chunk
        self._completed.add(future)

    def _outcome(self, future: Any) -> Outcome:
        if future.status == "finished":
            return Finished(future.result())
        if future.status == "cancelled":
            return Failed("the cluster cancelled the task")
        exc = future.exception()
        if isinstance(exc, self._distributed.KilledWorker):
            tries = getattr(exc, "allowed_failures", 0) + 1
            return Died(
                f"the worker computing it died ({tries} {'tries' if tries > 1 else 'try'}; "
                "the workers' logs may say why)"
            )
        return Failed(describe(exc))

    def wait(self) -> list[tuple[Chunk, Outcome]]:
        futures = [next(self._completed)]
        futures += self._completed.next_batch(block=False) if self._completed.has_ready() else []
        ended = [(self._pending.pop(f), self._outcome(f)) for f in futures]
        for future in futures:
            future.release()  # the result is read; let the cluster forget it
        return ended

    def close(self) -> None:
        if self._pending:
            with contextlib.suppress(Exception):
                self.client.cancel(list(self._pending))
        self._pending.clear()
        self._completed.clear()
