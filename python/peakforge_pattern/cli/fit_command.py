"""``peakforge fit``: phases fitted to a measured pattern."""

from __future__ import annotations

import argparse
import json
from pathlib import Path

from ..diffraction.request import check_two_theta_range
from ..diffraction.wavelengths import ANODE_LINES
from ..errors import InputError
from ..fitting.fit import BACKGROUND_TERMS, fit_pattern
from ..fitting.measured import read_measured
from ..plotting import check_image_path, plot_fit
from .calculation_options import add_request_arguments, request_from
from .common import USER_ERROR, fail, report, write_output
from .profile_options import add_instrument_arguments
from .profile_outputs import output_error

NAME = "fit"
HELP = "fit structures to a measured powder pattern"
DESCRIPTION = ("Fit the phases' scales, a Chebyshev background, the zero shift (or sample displacement) and "
               "the peak widths to a measured pattern (columns of numbers, .xrdml, GSAS raw, Bruker .raw v4 and .brml, "
               "Rigaku .ras and .rasx), "
               "by least squares; print Rp, Rwp, Rexp, chi2 and each phase's weight fraction.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("measured", metavar="MEASURED", help="the measured pattern")
    parser.add_argument("phases", nargs="+", metavar="PHASE", help="CIF file of a phase in the sample")
    parser.add_argument("-w", "--wavelength", default=None,
                        help="wavelength in angstrom or a line name: " + ", ".join(ANODE_LINES)
                             + " (default: the file's, else CuKa)")
    parser.add_argument("--two-theta", nargs=2, type=float, metavar=("MIN", "MAX"),
                        help="fit only this 2theta range (default: the whole scan)")
    parser.add_argument("--background", type=int, default=BACKGROUND_TERMS, metavar="N",
                        help=f"Chebyshev background terms (default {BACKGROUND_TERMS})")
    parser.add_argument("--displacement", action="store_true",
                        help="refine the sample displacement (mm) instead of a zero shift")
    parser.add_argument("--refine-cell", action="store_true",
                        help="refine each phase's cell within 0.5 %%, as its crystal system allows")
    parser.add_argument("--refine-b", action="store_true", help="refine an overall B per phase")
    parser.add_argument("--plot", metavar="IMAGE", type=Path,
                        help="draw measured, calculated and difference curves with reflection ticks")
    parser.add_argument("-f", "--format", choices=("text", "json"), default="text",
                        help="result as text (default) or JSON")
    add_instrument_arguments(parser, "tch")
    add_request_arguments(parser, only=("monochromator_angle",))


def run(args: argparse.Namespace) -> int:
    try:
        if args.plot is not None:
            check_image_path(args.plot)
        monochromator_angle = request_from(args).monochromator_angle
        two_theta_range = None if args.two_theta is None else check_two_theta_range(args.two_theta)
        measured = read_measured(args.measured)
        for note in measured.notes:
            report(f"peakforge: note: {note}")
        result = fit_pattern(measured, args.phases, wavelength=args.wavelength, ka2_ratio=args.ka2_ratio,
                             shape=args.shape, background_terms=args.background,
                             correction="displacement" if args.displacement else "zero_shift",
                             radius=args.radius, monochromator_angle=monochromator_angle,
                             refine_cell=args.refine_cell, refine_b=args.refine_b,
                             two_theta_range=two_theta_range)
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR
    except KeyboardInterrupt:
        fail("interrupted")
        return 130
    write_output(json.dumps(result.to_dict(), indent=2) + "\n" if args.format == "json" else result.summary())
    if args.plot is not None:
        try:
            plot_fit(result, args.plot)
        except (OSError, ValueError) as exc:
            fail(f"{args.plot}: cannot write the plot: {output_error(exc)}")
            return USER_ERROR
    return 0
