"""Running a series' tasks in the calling process, one at a time (``workers=0``):
no process to start, for short series and tests."""

from __future__ import annotations

import contextlib
from collections import deque
from collections.abc import Callable
from typing import Any

from ..batch.executor import Finished, Outcome


class InlineExecutor:
    """Runs each task when the driver waits for it; the driver's Ctrl-C stops the task in hand."""

    workers = 1
    isolates_chunks = True

    def __init__(self, job: Any, run: Callable[[Any, Any], object]) -> None:
        self.job, self.run = job, run
        self._queue: deque[Any] = deque()

    def exclusive(self) -> contextlib.AbstractContextManager[object]:
        return contextlib.nullcontext()

    def submit(self, chunk: Any, urgent: bool = False) -> None:
        if urgent:
            self._queue.appendleft(chunk)
        else:
            self._queue.append(chunk)

    def wait(self) -> list[tuple[Any, Outcome]]:
        task = self._queue.popleft()
        return [(task, Finished(self.run(task, self.job)))]  # type: ignore[arg-type]

    def close(self) -> None:
        self._queue.clear()
