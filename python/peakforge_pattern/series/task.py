"""Fitting one scan of a series: the task a worker runs (in a local worker
process, on a Dask worker, or in the driver itself).

A worker keeps the phases it has read: after the first scan, a task costs
the fit alone.
"""

from __future__ import annotations

import traceback
from dataclasses import dataclass
from typing import Any

from ..errors import InputError
from ..fitting.fit import fit_pattern
from ..fitting.request import FitRequest
from ..structures.structure import Structure
from .rows import base_row, error_row, fit_row, refined_values


@dataclass(frozen=True)
class SeriesJob:
    """What every task of a run shares: the request, the phases' files, the run's token."""

    request: FitRequest
    phases: tuple[str, ...]
    order_key: str | None
    token: str
    cluster_lock: str | None = None


@dataclass(frozen=True)
class ScanTask:
    """One scan to fit: its place, file and --order-by value, and where its fit starts
    (None: the recipe's start; else the previous scan's refined values)."""

    index: int
    path: str
    order_value: float | None = None
    start: tuple[tuple[str, float], ...] | None = None

    @property
    def name(self) -> str:
        return f"scan{self.index}"


@dataclass(frozen=True)
class ScanFit:
    """A task's outcome: the scan's row."""

    index: int
    row: dict[str, Any]

    @property
    def refined(self) -> dict[str, float] | None:
        return refined_values(self.row)


_PHASES: dict[tuple[str, ...], list[Structure]] = {}
"""The phases this process has read, by their files."""


def _structures(paths: tuple[str, ...]) -> list[Structure]:
    if paths not in _PHASES:
        _PHASES.clear()  # one series at a time per worker, as a rule
        _PHASES[paths] = [Structure.from_cif(p) for p in paths]
    return _PHASES[paths]


def fit_scan(task: ScanTask, job: SeriesJob) -> ScanFit:
    """Fit one scan; a failure becomes its error row (the series goes on)."""
    base = base_row(task.index, task.path, job.order_key, task.order_value)
    request = job.request if task.start is None else job.request.replace(start=task.start)
    try:
        result = fit_pattern(task.path, _structures(job.phases), request)
    except InputError as exc:
        return ScanFit(task.index, error_row(base, str(exc)))
    except (ArithmeticError, ValueError, RuntimeError, MemoryError, OSError, LookupError, TypeError) as exc:
        # Not a problem of the input: said as such, with where it arose, and the series goes on.
        where = traceback.extract_tb(exc.__traceback__)[-1]
        message = f"{type(exc).__name__}: {exc} (at {where.filename.rsplit('/', 1)[-1]}:{where.lineno})"
        return ScanFit(task.index, error_row(base, f"unexpected failure, please report: {message}"))
    return ScanFit(task.index, fit_row(base, result))
