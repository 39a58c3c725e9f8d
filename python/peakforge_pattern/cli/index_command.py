"""``peakforge index``: unit cells for a measured scan's peaks (or a peak list)."""

from __future__ import annotations

import argparse
import json
import sys

import numpy as np

from ..diffraction.request import check_two_theta_range
from ..diffraction.wavelengths import ANODE_LINES
from ..errors import InputError
from ..indexing import DEFAULT_MAX_TIME, SYSTEMS, index_lines, read_peak_list, select_lines
from ..measurements import in_range, read_scan
from ..measurements.scan_peaks import find_scan_peaks
from ..profiles.instrument import DEFAULT_KA2_RATIO, Instrument
from .calculation_options import add_request_arguments, request_from
from .common import INTERRUPTED, USER_ERROR, fail, report, write_output
from .profile_options import add_instrument_arguments
from .profile_outputs import output_error
from .report_options import add_report_argument, check_report, run_provenance

NAME = "index"
HELP = "find unit cells that index a scan's peaks"
DESCRIPTION = (
    "Index the peaks of a measured scan (found as identify finds them, Ka2 folded into Ka1) or of a "
    "peak list: search cells of every crystal system with a zero shift, refine each by least squares, "
    "and rank them by de Wolff's M20 and Smith and Snyder's F_N; each solution lists its Bravais "
    "lattice, conventional cell, the lines it leaves unindexed and space-group candidates from the "
    "reflection conditions the lines allow."
)

DEFAULT_TOLERANCE = 0.03
"""Degrees 2θ a peak list's line may lie from its reflection."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("scan", metavar="SCAN", nargs="?", help="the measured scan, in any format peakforge fit reads")
    parser.add_argument(
        "--peaks",
        metavar="FILE",
        help="index this peak list instead (2theta in degrees, optionally intensities in a second column)",
    )
    parser.add_argument(
        "-w",
        "--wavelength",
        default=None,
        help="wavelength in angstrom or a line name: "
        + ", ".join(ANODE_LINES)
        + " (default: the scan file's, else CuKa; the Ka1 line is indexed)",
    )
    parser.add_argument(
        "--two-theta", nargs=2, type=float, metavar=("MIN", "MAX"), help="use only the peaks in this 2theta range"
    )
    parser.add_argument(
        "--tolerance",
        type=float,
        default=None,
        metavar="DEG",
        help=f"2theta error a line may have and be indexed (default: from the peak widths, {DEFAULT_TOLERANCE:g} "
        "for a peak list)",
    )
    parser.add_argument(
        "--systems",
        default=",".join(SYSTEMS),
        metavar="S,S,...",
        help="crystal systems to search (default all: " + ",".join(SYSTEMS) + ")",
    )
    parser.add_argument(
        "--max-time",
        type=float,
        default=DEFAULT_MAX_TIME,
        metavar="SECONDS",
        help=f"longest search (default {DEFAULT_MAX_TIME:g}); a search cut short says so",
    )
    parser.add_argument("--top", type=int, default=10, metavar="N", help="solutions listed (default 10)")
    parser.add_argument(
        "-f", "--format", choices=("text", "json"), default="text", help="result as text (default) or JSON"
    )
    add_report_argument(parser)
    parser.add_argument("--no-progress", action="store_true", help="no progress line")
    add_instrument_arguments(parser, "tch")
    add_request_arguments(parser, only=("monochromator_angle",))


def observed_lines(args: argparse.Namespace):
    """The lines to index, from the scan's peaks or the peak list."""
    if (args.scan is None) == (args.peaks is None):
        raise InputError("give either a scan or --peaks FILE")
    wavelength = args.wavelength
    ka2_ratio = args.ka2_ratio
    measured = None
    if args.scan is not None:
        measured = read_scan(args.scan)
        for note in measured.notes:
            report(f"peakforge: note: {note}")
        if wavelength is None and measured.wavelength:
            wavelength = measured.wavelength[:2]
        if ka2_ratio is None and measured.wavelength:
            ka2_ratio = measured.wavelength[2]
    instrument = Instrument(
        wavelength=wavelength or "CuKa",
        ka2_ratio=DEFAULT_KA2_RATIO if ka2_ratio is None else ka2_ratio,  # type: ignore[arg-type]
        monochromator_angle=request_from(args).monochromator_angle,
    )
    emission = instrument.lines(1.0)
    first_line = float(emission[0][0])
    if measured is not None:
        if args.two_theta is not None:
            measured = in_range(measured, *check_two_theta_range(args.two_theta))
        peaks = find_scan_peaks(measured, emission)
        step = float(np.median(np.diff(measured.two_theta)))
        tolerance = args.tolerance or float(np.clip(0.25 * peaks.typical_fwhm, 1.5 * step, 0.06))
        return select_lines(peaks.two_theta, peaks.intensity, first_line, tolerance), args.scan
    two_theta, intensity = read_peak_list(args.peaks)
    if args.two_theta is not None:
        lo, hi = check_two_theta_range(args.two_theta)
        inside = (two_theta >= lo) & (two_theta <= hi)
        two_theta, intensity = two_theta[inside], None if intensity is None else intensity[inside]
    return select_lines(two_theta, intensity, first_line, args.tolerance or DEFAULT_TOLERANCE), args.peaks


def run(args: argparse.Namespace) -> int:
    systems = tuple(s.strip().lower() for s in args.systems.split(",") if s.strip())
    if args.top < 1:
        raise InputError(f"--top must be at least 1, not {args.top}")
    check_report(args, [args.scan, args.peaks])
    lines, source = observed_lines(args)
    bar = None
    if not args.no_progress:
        from tqdm import tqdm  # imported by the command that shows it: the others start without it

        bar = tqdm(total=len(systems), unit=" systems", desc="indexing", file=sys.stderr, leave=False, disable=None)

    started: list[str] = []

    def advance(system: str) -> None:
        if bar is not None:
            bar.update(1 if started else 0)  # the system before this one is done
            bar.set_postfix_str(system)
        started.append(system)

    try:
        result = index_lines(lines, max_time=args.max_time, systems=systems, top=args.top, progress=advance)
    except KeyboardInterrupt:
        fail("interrupted")
        return INTERRUPTED
    finally:
        if bar is not None:
            bar.close()
    from dataclasses import replace

    result = replace(result, source=str(source))
    provenance = run_provenance(args, [args.scan, args.peaks])  # as the search read them
    write_output(
        json.dumps({**result.to_dict(), "provenance": provenance.to_dict()}, indent=2) + "\n"
        if args.format == "json"
        else result.summary()
    )
    if args.report is not None:
        from ..reports import write_index_report

        try:
            options = {"systems": ", ".join(systems), "max-time": args.max_time, "top": args.top}
            write_index_report(result, args.report, provenance, options)
        except OSError as exc:
            fail(f"{args.report}: cannot write the report: {output_error(exc)}")
            return USER_ERROR
    return 0
