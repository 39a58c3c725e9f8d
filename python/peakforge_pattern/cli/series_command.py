"""``peakforge series``: many scans fitted with one recipe, into one table."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from ..errors import InputError
from ..fitting.recipe import Recipe, load_recipe
from ..plotting import check_image_path
from .common import INTERRUPTED, USER_ERROR, fail, write_output
from .dask_client import add_cluster_arguments, connect
from .fit_options import add_fit_arguments, fit_request_from
from .profile_outputs import output_error
from .report_options import add_report_argument, check_report, run_provenance

NAME = "series"
HELP = "fit many scans with one recipe into one table (temperature, time, sample series)"
DESCRIPTION = (
    "Fit every scan (files, folders, or .lst lists of paths) with the recipe of a fit "
    "(peakforge fit --save-recipe, or a fit's JSON): serial, each from the recipe, or --sequential, "
    "each from the previous scan's refined values. The table (a Parquet dataset in --out: one row per "
    "scan with Rwp, Rexp, chi2, every refined parameter and its e.s.d., each phase's weight fraction "
    "and cell) is read back with peakforge_pattern.series.read_series. Rerunning the same command "
    "completes an interrupted series; each scan is fitted once. Exit status 2 when a scan could not be fitted."
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("scans", nargs="+", metavar="SCAN", help="scan files, folders of scans, or .lst files")
    parser.add_argument("--recipe", required=True, type=Path, metavar="FILE", help="the fit to apply to every scan")
    parser.add_argument(
        "--continue",
        dest="continue_fit",
        action="store_true",
        help="with a fit's JSON as --recipe: start from its refined values",
    )
    parser.add_argument("--out", required=True, type=Path, metavar="DIR", help="the series' folder (the table)")
    parser.add_argument(
        "--sequential", action="store_true", help="start each scan from the previous scan's refined values"
    )
    parser.add_argument(
        "--chains",
        type=int,
        default=1,
        metavar="N",
        help="with --sequential: split the series into N contiguous chains fitted in parallel (default 1)",
    )
    parser.add_argument(
        "--order-by",
        metavar="KEY",
        help="order the scans by the number their headers give for KEY (temperature), not by name",
    )
    parser.add_argument(
        "--workers", type=int, metavar="N", help="local worker processes (default: one per processor; 0: this one)"
    )
    parser.add_argument("--plot", type=Path, metavar="IMAGE", help="draw --plot-params against the series")
    parser.add_argument(
        "--plot-params",
        nargs="+",
        default=[],
        metavar="NAME",
        help="table columns to draw (corundum.a, zero_shift, rwp; default the first phase's a)",
    )
    add_report_argument(parser)
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_cluster_arguments(parser.add_mutually_exclusive_group())
    add_fit_arguments(parser)


class _Progress:
    def __init__(self, shown: bool) -> None:
        self.shown = shown
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if not self.shown:
            return
        if self.bar is None:
            from tqdm import tqdm  # imported when a bar is shown: other commands start without it

            self.bar = tqdm(total=total, initial=done, unit="scan", file=sys.stderr, leave=False)
        else:
            self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _recipe(args: argparse.Namespace) -> Recipe:
    loaded = load_recipe(args.recipe)
    recipe = loaded.continued() if args.continue_fit else loaded.recipe
    request = fit_request_from(args, recipe.request)
    return Recipe(request, recipe.phases, None, recipe.instrument, recipe.source)


def run(args: argparse.Namespace) -> int:
    """Bad scans, recipes or options are one line on standard error and status 2."""
    if args.plot is not None:
        check_image_path(args.plot)
    check_report(args, [*args.scans, args.recipe])
    recipe = _recipe(args)
    # Scans that cannot be read get the series' own message (and an error row), not a checksum's.
    provenance = run_provenance(args, [*args.scans, args.recipe], skip_missing=True)
    try:
        from ..series import run_series
    except ImportError as exc:
        raise InputError(str(exc)) from None
    progress = _Progress(not args.no_progress)
    client = None
    try:
        client = connect(args)
        result = run_series(
            args.scans,
            recipe,
            args.out,
            sequential=args.sequential,
            chains=args.chains,
            order_by=args.order_by,
            workers=args.workers,
            client=client,
            progress=progress,
            provenance=provenance,
        )
    except KeyboardInterrupt:
        progress.close()
        fail("interrupted: run the same command again to resume (the scans fitted are kept)")
        return INTERRUPTED
    finally:
        progress.close()
        if client is not None:
            client.close()
    write_output(result.summary())
    status = 0
    if result.errors:
        # Not a success: the table holds every other scan, and a rerun keeps the failed rows.
        fail(f"error: {len(result.errors)} of {result.table.num_rows} scans could not be fitted (see their rows)")
        status = USER_ERROR
    if args.plot is not None:
        from ..plotting import plot_series

        try:
            plot_series(result, args.plot_params, args.plot)
        except (OSError, ValueError) as exc:
            fail(f"{args.plot}: cannot write the plot: {output_error(exc)}")
            return USER_ERROR
    if args.report is not None:
        from ..reports import write_series_report

        try:
            write_series_report(result, args.report, provenance, args.plot_params)
        except (OSError, ValueError) as exc:
            fail(f"{args.report}: cannot write the report: {output_error(exc)}")
            return USER_ERROR
    return status
