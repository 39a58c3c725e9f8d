"""Running a series: many scans fitted from one recipe, serial (each from the
recipe) or sequential (each from the previous scan's refined values), on
worker processes of this machine or on a Dask cluster.

The driver writes every row itself (``store.py``), so a worker anywhere
computes and returns; a sequential series is split into contiguous chains
(``chains``), parallel across chains, never within one.  Every scan fitted
is written before the next is handed out in its chain, so a rerun after a
kill continues each chain from its last row.
"""

from __future__ import annotations

import hashlib
import json
import os
import uuid
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from ..batch.dask_cluster import DaskCluster
from ..batch.executor import Died, Executor, Finished, Outcome
from ..batch.local_pool import LocalPool
from ..errors import InputError
from ..fitting.recipe import Recipe, load_recipe
from ..fitting.request import instrument_path
from ..provenance import Provenance
from .inline import InlineExecutor
from .result import SeriesResult, load_series
from .rows import base_row, error_row, refined_values
from .scans import gather_scans, order_scans
from .store import SeriesFolder
from .task import ScanFit, ScanTask, SeriesJob, fit_scan


def _chains(count: int, chains: int) -> list[range]:
    """``count`` scans in ``chains`` contiguous, nearly equal runs."""
    chains = max(1, min(chains, count))
    edges = [round(k * count / chains) for k in range(chains + 1)]
    return [range(edges[k], edges[k + 1]) for k in range(chains)]


def _as_recipe(recipe: Recipe | str | os.PathLike[str]) -> Recipe:
    return recipe if isinstance(recipe, Recipe) else load_recipe(recipe).recipe


def _row_of(task: ScanTask, outcome: Outcome, order_key: str | None) -> dict[str, Any]:
    if isinstance(outcome, Finished):
        fit: ScanFit = outcome.result  # type: ignore[assignment]
        return fit.row
    base = base_row(task.index, task.path, order_key, task.order_value)
    what = "its worker died" if isinstance(outcome, Died) else "the task failed"
    return error_row(base, f"{what}: {outcome.message}")


def run_series(
    scans: Sequence[str | os.PathLike[str]],
    recipe: Recipe | str | os.PathLike[str],
    out: str | os.PathLike[str],
    *,
    sequential: bool = False,
    chains: int = 1,
    order_by: str | None = None,
    workers: int | None = None,
    client: Any = None,
    progress: Callable[[int, int], None] | None = None,
    provenance: Provenance | None = None,
) -> SeriesResult:
    """Fit every scan with one recipe; one row per scan in a Parquet dataset.

    Parameters
    ----------
    scans : sequence of path
        Scan files, folders of scans, and list files (``.lst``), in natural
        order of their paths unless ``order_by``.
    recipe : Recipe or path
        The fit (a recipe file, or a fit's JSON holding one).
    out : path
        The output folder; rerunning the same series there completes it.
    sequential : bool
        Each scan starts from the previous scan's refined values (else
        each from the recipe).
    chains : int
        With ``sequential``: split the series into this many contiguous
        chains, each started from the recipe, fitted in parallel.
    order_by : str, optional
        Order the scans by this number in their headers (``temperature``);
        it becomes a column of the table.
    workers : int, optional
        Local worker processes (default: one per processor, no more than
        there are tasks at once); 0 fits in this process.
    client : distributed.Client, optional
        Fit on this Dask cluster instead (the scans and phases at the same
        paths on its workers).
    progress : callable, optional
        Called with (scans done, scans in the series) as rows are written.
    provenance : Provenance, optional
        The software, command line and inputs each part written keeps in
        its metadata (default: the scans and the recipe's files as given,
        with their SHA-256).

    Returns
    -------
    SeriesResult
        The table and the run's description.

    Raises
    ------
    InputError
        Bad scans, recipe or options, or an output folder holding another series.
    """
    recipe = _as_recipe(recipe)
    if int(chains) < 1:
        raise InputError(f"--chains must be at least 1, not {chains}")
    if chains != 1 and not sequential:
        raise InputError("--chains splits a sequential series (--sequential); a serial one fits every scan apart")
    if workers is not None and int(workers) < 0:
        raise InputError(f"--workers must be 0 (this process) or more, not {workers}")
    paths, values = order_scans(gather_scans(scans), order_by)
    request, phases = recipe.checked_request(), tuple(recipe.phase_paths())
    folder = SeriesFolder(out)
    description = {
        "recipe": Recipe(request, recipe.phases, None, recipe.instrument).to_dict(),
        "scans": [os.path.abspath(p) for p in paths],
        "sequential": bool(sequential),
        "chains": int(chains),
        "order_by": order_by,
    }
    if provenance is None:
        try:
            provenance = Provenance.of([*scans, *phases, instrument_path(request)])
        except OSError as exc:
            raise InputError(f"{exc.filename}: cannot read it for its checksum: {exc.strerror or exc}") from None
    # Each part carries the recipe and options, not the list of every scan (series.json has it), and
    # the provenance of the run that wrote it.
    kept = {k: v for k, v in description.items() if k != "scans"}
    metadata = json.dumps({**kept, "provenance": provenance.to_dict()}).encode()
    lock_name = "peakforge-series-" + hashlib.sha256(str(Path(out).resolve()).encode()).hexdigest()[:16]
    job = SeriesJob(request, phases, order_by, uuid.uuid4().hex, lock_name)
    # Absolute paths: a Dask worker's working folder is not the command's.
    tasks = [ScanTask(i, os.path.abspath(p), None if values is None else values[i]) for i, p in enumerate(paths)]
    with folder.locked():
        folder.claim(description)
        done = set(folder.parts())
        if progress is not None:
            progress(len(done), len(tasks))
        if sequential:
            runs = [_ChainState(chain, done, folder) for chain in _chains(len(tasks), int(chains))]
        else:
            runs = [_ChainState(range(i, i + 1), done, folder) for i in range(len(tasks)) if i not in done]
        runs = [r for r in runs if r.position is not None]
        if runs:
            executor = _executor(job, workers, client, len(runs))
            try:
                _drive(executor, runs, tasks, folder, metadata, order_by, len(done), progress)
            finally:
                executor.close()
    return load_series(out)


class _ChainState:
    """Where a chain stands: its next scan and the values that scan starts from."""

    def __init__(self, chain: range, done: set[int], folder: SeriesFolder) -> None:
        self.chain = chain
        self.position: int | None = next((i for i in chain if i not in done), None)
        self.start: tuple[tuple[str, float], ...] | None = None
        if self.position is None:
            return
        for index in reversed(range(chain.start, self.position)):
            refined = refined_values(folder.read_row(index))
            if refined is not None:
                self.start = tuple(sorted(refined.items()))
                break

    def task(self, tasks: list[ScanTask]) -> ScanTask:
        assert self.position is not None
        base = tasks[self.position]
        return ScanTask(base.index, base.path, base.order_value, self.start)

    def advance(self, row: dict[str, Any]) -> None:
        """Past the scan just written; its refined values start the next (an error row keeps the last)."""
        assert self.position is not None
        refined = refined_values(row)
        if refined is not None:
            self.start = tuple(sorted(refined.items()))
        following = self.position + 1
        self.position = following if following < self.chain.stop else None


def _executor(job: SeriesJob, workers: int | None, client: Any, parallel: int) -> Executor:
    if client is not None:
        return DaskCluster(client, job, run=fit_scan, label="series")  # type: ignore[arg-type]
    if workers == 0:
        return InlineExecutor(job, fit_scan)
    count = workers or min(parallel, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1)
    return LocalPool(job, max(1, min(count, parallel)), run=fit_scan)  # type: ignore[arg-type]


def _drive(
    executor: Executor,
    runs: list[_ChainState],
    tasks: list[ScanTask],
    folder: SeriesFolder,
    metadata: bytes,
    order_key: str | None,
    done: int,
    progress: Callable[[int, int], None] | None,
) -> None:
    """Hand out each chain's next scan, write each row as it comes back, until every chain ends."""
    by_index: dict[int, _ChainState] = {}
    # A serial series has one-scan chains: enough queued to keep every worker busy.
    for state in runs:
        task = state.task(tasks)
        by_index[task.index] = state
        executor.submit(task)  # type: ignore[arg-type]
    while by_index:
        for task, outcome in executor.wait():
            scan_task: ScanTask = task  # type: ignore[assignment]
            state = by_index.pop(scan_task.index)
            row = _row_of(scan_task, outcome, order_key)
            folder.write_row(scan_task.index, row, metadata)
            done += 1
            if progress is not None:
                progress(done, len(tasks))
            state.advance(row)
            if state.position is not None:
                following = state.task(tasks)
                by_index[following.index] = state
                executor.submit(following)  # type: ignore[arg-type]
