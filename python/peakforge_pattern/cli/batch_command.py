"""``peakforge batch``: patterns of many structures into a Parquet dataset."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from ..errors import InputError
from .calculation_options import EXECUTION, add_request_arguments
from .common import INTERRUPTED, fail, report
from .dask_client import add_cluster_arguments, connect
from .profile_options import add_peak_shape_arguments, check_widths, instrument_from, pattern_request, sample_from
from .report_options import run_provenance

if TYPE_CHECKING:
    from tqdm import tqdm

NAME = "batch"
HELP = "compute the patterns of many structures into a Parquet dataset"
DESCRIPTION = (
    "Compute the powder pattern of every structure in SOURCES (CIF files, folders searched "
    "recursively, or .txt/.list/.lst files listing paths) into a folder of Parquet parts, "
    "one row per structure. A rerun with the same --out resumes where the last one stopped."
)

ERRORS_SHOWN = 20
"""Error rows printed as they come; the rest are only in the output."""

RUN_FAILED = 1


def add_arguments(batch: argparse.ArgumentParser) -> None:
    batch.add_argument("sources", nargs="+", metavar="SOURCE", help="CIF file, folder, or list of paths")
    batch.add_argument("-o", "--out", required=True, metavar="DIR", help="output folder (a Parquet dataset)")
    batch.add_argument("--float32", action="store_true", help="store peak numbers as float32 (half the size)")
    # Each worker computes one structure at a time on one thread.
    add_request_arguments(batch, exclude=EXECUTION)
    executor = batch.add_mutually_exclusive_group()
    executor.add_argument(
        "--workers", type=int, metavar="N", help="processes of the local pool (default: one per processor)"
    )
    add_cluster_arguments(executor)
    start = batch.add_mutually_exclusive_group()
    start.add_argument("--overwrite", action="store_true", help="empty --out first instead of resuming")
    start.add_argument("--retry-errors", action="store_true", help="compute the error rows of --out again")
    batch.add_argument("--no-progress", action="store_true", help="no progress bar")
    batch.add_argument(
        "--grid",
        nargs=3,
        type=float,
        metavar=("MIN", "MAX", "STEP"),
        help="add a float32 profile column on this fixed 2theta grid (degrees), for learning; "
        "its peaks shaped by the profile options below",
    )
    batch.add_argument(
        "--fwhm",
        type=float,
        default=0.1,
        help="width of every peak of the --grid profile unless --caglioti (default 0.1)",
    )
    add_peak_shape_arguments(batch)


class _Progress:
    """A bar counting structures on standard error, and the first error rows
    printed above it."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.bar: tqdm | None = None
        self.errors_seen = 0

    def start(self, total: int) -> None:
        if self.enabled and total:
            from tqdm import tqdm  # imported when a bar is shown: other commands start without it

            self.bar = tqdm(total=total, unit="structure", file=sys.stderr, leave=False)

    def advance(self, count: int, errors: list[tuple[str, str]]) -> None:
        for id, message in errors:
            self.errors_seen += 1
            if self.errors_seen <= ERRORS_SHOWN:
                fail(f"{id}: {message}")
            elif self.errors_seen == ERRORS_SHOWN + 1:
                fail("more error rows follow; read them from the output's error column")
        if self.bar is not None:
            self.bar.update(count)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _size(count: int) -> str:
    size = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError


def run(args: argparse.Namespace) -> int:
    """Bad options, sources or output folders reach the shared failure
    reporting as InputError (one line, status 2)."""
    if args.workers is not None and args.workers < 1:
        raise InputError(f"--workers must be at least 1, not {args.workers}")
    request = pattern_request(args)
    try:
        from ..batch import ExecutorError, run_batch
    except ImportError as exc:
        raise InputError(str(exc)) from None
    progress = _Progress(not args.no_progress)
    client = None
    try:
        client = connect(args)
        # The --grid profile's peaks, shaped as pattern shapes a profile's.
        instrument = None if args.grid is None else instrument_from(args, request)
        if instrument is not None:
            check_widths(args, instrument, (float(args.grid[0]), float(args.grid[1])))
        sample = None if args.grid is None else sample_from(args)
        summary = run_batch(
            args.sources,
            args.out,
            request,
            client=client,
            resume=not args.overwrite,
            retry_errors=args.retry_errors,
            float32=args.float32,
            workers=args.workers,
            progress=progress,
            grid=args.grid,
            instrument=instrument,
            sample=sample,
            provenance=run_provenance(args, args.sources),
        )
    except ExecutorError as exc:
        fail(f"error: {exc}")
        return RUN_FAILED
    except KeyboardInterrupt:
        fail("interrupted: the parts written so far are kept; run the same command again to resume")
        return INTERRUPTED
    finally:
        progress.close()
        if client is not None:
            client.close()

    for warning in summary.warnings:
        report(f"peakforge: warning: {warning}")
    for problem in summary.problems:
        fail(problem)
    before = f" ({summary.done_before} done before)" if summary.done_before else ""
    missing = f", {summary.not_done} not computed" if summary.not_done else ""
    errors = summary.errors + summary.errors_before
    print(
        f"{_count(summary.listed, 'structure')}{before}: {summary.ok + summary.done_before - summary.errors_before}"
        f" ok, {_count(errors, 'error')}{missing}; {summary.computed} computed in {summary.seconds:.1f} s "
        f"({summary.rate:.1f}/s); {summary.out}: {_size(summary.output_bytes)}",
        flush=True,
    )
    return summary.exit_status
