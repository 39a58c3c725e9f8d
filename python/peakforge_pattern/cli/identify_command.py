"""``peakforge identify``: the phases of a measured scan found in a pattern library."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from ..diffraction.request import check_two_theta_range
from ..diffraction.wavelengths import ANODE_LINES
from ..errors import InputError
from ..plotting import check_image_path, plot_identification
from .calculation_options import add_request_arguments, request_from
from .common import INTERRUPTED, USER_ERROR, fail, write_output
from .dask_client import add_cluster_arguments, connect
from .profile_options import add_instrument_arguments
from .profile_outputs import output_error
from .report_options import add_report_argument, check_report, run_provenance, shown_options

NAME = "identify"
HELP = "find which phases of a pattern library a measured scan holds"
DESCRIPTION = (
    "Find the phases of a measured scan in a library made by 'peakforge batch': remove the "
    "background, find the peaks, score every library entry (cell strain within 2 %, a zero shift), "
    "then add phases one at a time, each confirmed by a whole-pattern fit and kept only when it "
    "lowers the information criterion; print the phases with weight fractions, the next "
    "candidates and the peaks left unexplained."
)


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
        "-w",
        "--wavelength",
        default=None,
        help="wavelength in angstrom or a line name: " + ", ".join(ANODE_LINES) + " (default: the file's, else CuKa)",
    )
    parser.add_argument(
        "--two-theta", nargs=2, type=float, metavar=("MIN", "MAX"), help="use only this 2theta range of the scan"
    )
    parser.add_argument(
        "--displacement", action="store_true", help="fit only the sample displacement (mm), not a zero shift as well"
    )
    parser.add_argument(
        "-f", "--format", choices=("text", "json"), default="text", help="result as text (default) or JSON"
    )
    parser.add_argument(
        "--plot", metavar="IMAGE", type=Path, help="draw the final fit with each phase's reflection ticks"
    )
    add_report_argument(parser)
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_cluster_arguments(parser.add_mutually_exclusive_group())
    add_instrument_arguments(parser, "tch")
    add_request_arguments(parser, only=("monochromator_angle",))


def run(args: argparse.Namespace) -> int:
    """Bad options, scans or libraries are one line on standard error and status 2."""
    if args.plot is not None:
        check_image_path(args.plot)
    check_report(args, [args.scan, args.library])
    provenance = run_provenance(args, [args.scan, args.library])
    two_theta_range = None if args.two_theta is None else check_two_theta_range(args.two_theta)
    monochromator_angle = request_from(args).monochromator_angle
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
            wavelength=args.wavelength,
            ka2_ratio=args.ka2_ratio,
            monochromator_angle=monochromator_angle,
            radius=args.radius,
            correction="displacement" if args.displacement else None,
            shape=args.shape,
            two_theta_range=two_theta_range,
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
    write_output(
        json.dumps({**result.to_dict(), "provenance": provenance.to_dict()}, indent=2, allow_nan=False) + "\n"
        if args.format == "json"
        else result.summary()
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
            write_identification_report(result, args.report, provenance, shown_options(args))
        except OSError as exc:
            fail(f"{args.report}: cannot write the report: {output_error(exc)}")
            return USER_ERROR
    return 0
