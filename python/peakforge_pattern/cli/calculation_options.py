"""Options of the pattern calculation itself (radiation, route, work limit),
shared by the commands that compute patterns."""

from __future__ import annotations

import argparse

from ..diffraction.radiation import RADIATIONS, check_radiation
from ..diffraction.work import DEFAULT_MAX_WORK, check_max_work
from ..errors import InputError


def add_calculation_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-work", type=float, default=DEFAULT_MAX_WORK, metavar="TERMS",
                        help="largest calculation to start, in reflections x atoms "
                             f"(default {DEFAULT_MAX_WORK:.2g}, about a minute; inf for no limit)")
    parser.add_argument("--radiation", choices=list(RADIATIONS), default="xray",
                        help="xray (default), neutron (coherent scattering lengths, no polarisation) or "
                             "electron (kinematic, electron scattering factors; -w 200kV gives the wavelength)")
    parser.add_argument("--anomalous", action="store_true",
                        help="X-rays with anomalous dispersion f' + i f'' at the beam's energy")
    parser.add_argument("--exact", action="store_true",
                        help="the exhaustive route: every reflection computed, families by "
                             "permutations and sign changes (X-rays only)")


def check_calculation_arguments(args: argparse.Namespace) -> None:
    """Refuse combinations no structure could be computed with, before any is read."""
    check_max_work(args.max_work, "--max-work")
    check_radiation(args.radiation, args.anomalous)
    if getattr(args, "as_given", False) and args.exact:
        raise InputError("--as-given applies to the pattern engine; --exact always computes every reflection")
    if args.exact and (args.radiation != "xray" or args.anomalous):
        raise InputError("--exact computes X-rays without --anomalous only")
