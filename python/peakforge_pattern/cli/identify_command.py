"""``peakforge identify``: the phases of a measured scan found in a pattern library."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from ..errors import InputError
from ..plotting import check_image_path, plot_identification
from .common import INTERRUPTED, USER_ERROR, fail, report, write_output
from .dask_client import add_cluster_arguments, connect
from .fit_options import add_fit_arguments, fit_request_from
from .profile_outputs import output_error
from .report_options import add_report_argument, check_report, run_provenance

NAME = "identify"
HELP = "find which phases of a pattern library a measured scan holds"
DESCRIPTION = (
    "Find the phases of a measured scan in a library made by 'peakforge batch': remove the "
    "background, find the peaks, score every library entry (cell strain within 2 %, a zero shift), "
    "then add phases one at a time, each confirmed by a whole-pattern fit and kept only when it "
    "lowers the information criterion; print the phases with weight fractions, the next "
    "candidates and the peaks left unexplained."
)

IDENTIFY_FIT_FIELDS = (
    "wavelength",
    "ka2_ratio",
    "shape",
    "radius",
    "monochromator_angle",
    "two_theta_range",
    "correction",
)
"""The fit options identify offers for its trial fits."""


def _symbols(text: str) -> list[str]:
    return [s for s in text.replace(" ", ",").split(",") if s]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("scan", metavar="SCAN", help="the measured scan, in any format peakforge fit reads")
    parser.add_argument("--library", required=True, metavar="LIB", help="a library folder made by peakforge batch")
    parser.add_argument(
        "--elements", type=_symbols, metavar="A,B,...", help="consider only entries made of these elements"
    )
    parser.add_argument(
        "--exclude-elements", type=_symbols, metavar="A,B,...", help="leave out entries holding any of these elements"
    )
    parser.add_argument("--max-phases", type=int, default=4, metavar="N", help="most phases kept (default 4)")
    parser.add_argument("--top", type=int, default=10, metavar="K", help="next candidates listed (default 10)")
    parser.add_argument(
        "-f", "--format", choices=("text", "json"), default="text", help="result as text (default) or JSON"
    )
    parser.add_argument(
        "--plot", metavar="IMAGE", type=Path, help="draw the final fit with each phase's reflection ticks"
    )
    add_report_argument(parser)
    parser.add_argument(
        "--index-unexplained",
        action="store_true",
        help="index the peaks left unexplained (six or more): cells for a phase the library lacks",
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_cluster_arguments(parser.add_mutually_exclusive_group())
    add_fit_arguments(parser, only=IDENTIFY_FIT_FIELDS)


def run(args: argparse.Namespace) -> int:
    """Bad options, scans or libraries are one line on standard error and status 2."""
    if args.plot is not None:
        check_image_path(args.plot)
    check_report(args, [args.scan, args.library])
    request = fit_request_from(args)
    try:
        from ..identification import identify
    except ImportError as exc:
        raise InputError(str(exc)) from None
    if not args.no_progress:
        from tqdm import tqdm  # imported by the command that shows it: the others start without it
    bar = None if args.no_progress else tqdm(unit="entry", file=sys.stderr, leave=False, desc="scoring")

    def advance(entries: int) -> None:
        if bar is not None:
            bar.update(entries)

    client = None
    try:
        client = connect(args)
        result = identify(
            args.scan,
            args.library,
            elements=args.elements,
            exclude_elements=args.exclude_elements,
            max_phases=args.max_phases,
            top=args.top,
            request=request,
            client=client,
            progress=advance,
        )
    except KeyboardInterrupt:
        fail("interrupted")
        return INTERRUPTED
    finally:
        if bar is not None:
            bar.close()
        if client is not None:
            client.close()
    for warning in result.warnings:
        report(f"peakforge: warning: {' '.join(warning.split())}")
    provenance = run_provenance(args, [args.scan, args.library])  # as the search read them
    indexed = _index_unexplained(args, result, request) if args.index_unexplained else None
    document = {**result.to_dict(), "provenance": provenance.to_dict()}
    if indexed is not None:
        document["indexing"] = indexed.to_dict()
    write_output(
        json.dumps(document, indent=2, allow_nan=False) + "\n"
        if args.format == "json"
        else result.summary() + ("" if indexed is None else "\nindexing the unexplained peaks:\n" + indexed.summary())
    )
    if args.plot is not None:
        if result.fit is None:
            fail(f"{args.plot}: no phase was found, so there is no fit to draw")
            return USER_ERROR
        try:
            plot_identification(result, args.plot)
        except (OSError, ValueError) as exc:
            fail(f"{args.plot}: cannot write the plot: {output_error(exc)}")
            return USER_ERROR
    if args.report is not None:
        from ..reports import write_identification_report

        try:
            write_identification_report(result, args.report, provenance)
        except OSError as exc:
            fail(f"{args.report}: cannot write the report: {output_error(exc)}")
            return USER_ERROR
    return 0


def _index_unexplained(args: argparse.Namespace, result, request):
    """The unexplained peaks indexed, or None (said on standard error) when too few are left."""
    from ..identification.unexplained_indexing import index_unexplained, worth_indexing
    from ..profiles.instrument import Instrument

    if not worth_indexing(result):
        report("peakforge: note: fewer than six unexplained peaks: too few to index")
        return None
    if result.fit is not None:
        wavelength = result.fit.instrument.lines(1.0)[0][0]
    else:
        wavelength = Instrument(wavelength=request.wavelength or "CuKa").lines(1.0)[0][0]
    return index_unexplained(result, float(wavelength))
