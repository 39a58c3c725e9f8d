"""``peakforge fit``: phases fitted to a measured pattern."""

from __future__ import annotations

import argparse
import json
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from ..atomic_file import write_text_atomically
from ..diffraction.request import check_two_theta_range
from ..diffraction.wavelengths import ANODE_LINES
from ..errors import InputError
from ..fitting.fit import BACKGROUND_TERMS, fit_pattern
from ..fitting.instrument_file import save_instrument
from ..fitting.parameters import KINDS
from ..fitting.result import FitResult
from ..fitting.structure_refinement.atom_phase import ATOM_KINDS
from ..measurements import read_scan
from ..plotting import check_image_path, plot_fit
from .calculation_options import add_request_arguments, request_from
from .common import USER_ERROR, fail, report, write_output
from .profile_options import add_instrument_arguments
from .profile_outputs import output_error

if TYPE_CHECKING:
    from tqdm import tqdm

NAME = "fit"
HELP = "fit structures to a measured powder pattern"
DESCRIPTION = (
    "Fit the phases to a measured pattern (columns of numbers, .xrdml, GSAS raw, Bruker .raw v3/v4 "
    "and .brml, Rigaku .ras and .rasx) by least squares: scales, a Chebyshev background, the sample "
    "displacement (the zero shift held unless --refine zero), peak widths and asymmetry, each phase's "
    "cell and overall B, with "
    "anomalous dispersion at each emission line; print Rp, Rwp, Rexp, chi2, every refined parameter "
    "and each phase's weight fraction with its standard uncertainty, as 33.65(42)."
)
PROGRESS_DELAY = 1.5  # seconds before a fit shows its progress line

EPILOG = (
    "parameter names for --fix and --refine: "
    + ", ".join(KINDS)
    + "; with --refine-atoms also "
    + ", ".join(ATOM_KINDS)
    + "; PHASE:KIND for one phase's (corundum:cell), or a parameter's full name as printed"
)
DEFAULT_BOND_CUTOFF = 3.0  # Å


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.epilog = EPILOG
    parser.add_argument("measured", metavar="MEASURED", help="the measured pattern")
    parser.add_argument("phases", nargs="+", metavar="PHASE", help="CIF file of a phase in the sample")
    parser.add_argument(
        "-w",
        "--wavelength",
        default=None,
        help="wavelength in angstrom or a line name: "
        + ", ".join(ANODE_LINES)
        + " (default: the instrument file's, the scan file's, else CuKa)",
    )
    parser.add_argument(
        "--two-theta",
        nargs=2,
        type=float,
        metavar=("MIN", "MAX"),
        help="fit only this 2theta range (default: the whole scan)",
    )
    parser.add_argument(
        "--background",
        type=int,
        default=BACKGROUND_TERMS,
        metavar="N",
        help=f"Chebyshev background terms (default {BACKGROUND_TERMS})",
    )
    refinement = parser.add_argument_group("refinement")
    refinement.add_argument(
        "--fix",
        nargs="+",
        action="extend",
        default=[],
        metavar="NAME",
        help="hold these parameters at their start (see the list below)",
    )
    refinement.add_argument(
        "--refine",
        nargs="+",
        action="extend",
        default=[],
        metavar="NAME",
        help="refine these parameters too: size and strain per phase, or terms an --instrument file holds",
    )
    refinement.add_argument(
        "--refine-atoms",
        nargs="*",
        metavar="PHASE",
        default=None,
        help="refine the structure of these phases (all if none named; put it after the "
        "files): the coordinates their site symmetry leaves free, with --refine b-sites "
        "or b-elements an isotropic B per site or element, with --refine occupancy the "
        "occupancies of partly occupied or shared sites",
    )
    refinement.add_argument(
        "--no-anomalous",
        action="store_true",
        help="leave out anomalous dispersion (f', f'' at each emission line's energy)",
    )
    refinement.add_argument(
        "--orientation",
        action="append",
        default=[],
        metavar="PHASE:HKL",
        help="refine March-Dollase preferred orientation of PHASE along HKL (brucite:001, or zincite:1,0,-1)",
    )
    refinement.add_argument(
        "--particle-size",
        action="append",
        default=[],
        metavar="[PHASE:]MICRONS",
        help="particle radius in micrometres for Brindley's microabsorption correction, "
        "for every phase or PHASE:MICRONS for one",
    )
    refinement.add_argument(
        "--displacement",
        action="store_true",
        help="refine the sample displacement without a zero shift (the default for reflection scans)",
    )
    refinement.add_argument("--refine-cell", action="store_true", help=argparse.SUPPRESS)  # now the default
    refinement.add_argument("--refine-b", action="store_true", help=argparse.SUPPRESS)  # now the default
    files = parser.add_argument_group("instrument files")
    files.add_argument(
        "--instrument",
        metavar="FILE",
        type=Path,
        help="start from a standard's instrument (written by --save-instrument): its widths, "
        "asymmetry and zero shift are held unless --refine names them",
    )
    files.add_argument(
        "--save-instrument",
        metavar="FILE",
        type=Path,
        help="write the refined instrument terms as JSON, for --instrument",
    )
    parser.add_argument(
        "--plot",
        metavar="IMAGE",
        type=Path,
        help="draw measured, calculated and difference curves with reflection ticks",
    )
    parser.add_argument(
        "--cif-out",
        metavar="DIR",
        type=Path,
        help="write each phase after the fit as DIR/PHASE.cif: refined cell, coordinates, "
        "occupancies and B with uncertainties",
    )
    parser.add_argument(
        "--bonds",
        nargs="?",
        type=float,
        const=DEFAULT_BOND_CUTOFF,
        metavar="ANGSTROM",
        help="list the refined structures' bond lengths with uncertainties, up to ANGSTROM "
        f"(default {DEFAULT_BOND_CUTOFF:g})",
    )
    parser.add_argument(
        "-f", "--format", choices=("text", "json"), default="text", help="result as text (default) or JSON"
    )
    parser.add_argument(
        "--no-progress",
        action="store_true",
        help="no progress line on standard error while a fit takes more than a second or two",
    )
    add_instrument_arguments(parser, "tch")
    add_request_arguments(parser, only=("monochromator_angle",))
    # None: the instrument file's value, else the usual default.
    parser.set_defaults(shape=None, radius=None)


def parse_orientation(text: str) -> tuple[str, tuple[int, int, int]]:
    """PHASE:HKL as a phase name and three Miller indices ("brucite:001", "x:1,0,-1")."""
    phase, separator, indices = text.rpartition(":")
    if not separator or not phase:
        raise InputError(f"--orientation takes PHASE:HKL (brucite:001), not {text!r}")
    fields = (
        re.split(r"[,\s]+", indices.strip()) if re.search(r"[,\s]", indices.strip()) else re.findall(r"-?\d", indices)
    )
    if (
        "".join(fields).replace("-", "") == ""
        or len(fields) != 3
        or not all(re.fullmatch(r"-?\d+", f) for f in fields)
        or (not re.search(r"[,\s]", indices.strip()) and "".join(fields) != indices.strip())
    ):
        raise InputError(f"--orientation {text!r}: HKL must be three whole Miller indices (001, or 1,0,-1)")
    h, k, l = (int(f) for f in fields)
    return phase, (h, k, l)


def parse_particle_sizes(values: list[str]) -> dict[str | None, float] | None:
    """[PHASE:]MICRONS values as radii by phase (None: every other phase)."""
    if not values:
        return None
    radii: dict[str | None, float] = {}
    for text in values:
        phase, separator, number = text.rpartition(":")
        try:
            radius = float(number)
        except ValueError:
            raise InputError(f"--particle-size takes MICRONS or PHASE:MICRONS, not {text!r}") from None
        radii[phase if separator else None] = radius
    return radii


def _check_cif_folder(folder: Path | None) -> None:
    if folder is not None and folder.exists() and not folder.is_dir():
        raise InputError(f"--cif-out {folder}: not a folder")


def _write_cifs(folder: Path, result: FitResult) -> None:
    """One CIF per phase, each whole or not at all."""
    folder.mkdir(parents=True, exist_ok=True)
    for phase in result.phases:
        name = "".join(c if c.isalnum() or c in "-_.#" else "_" for c in phase.name).lstrip(".") or "phase"
        write_text_atomically(folder / f"{name}.cif", phase.cif)


def _advance(bar: tqdm) -> Callable[[int], None]:
    def told(evaluations: int) -> None:
        bar.update(evaluations - bar.n)

    return told


def run(args: argparse.Namespace) -> int:
    try:
        _check_cif_folder(args.cif_out)
        if args.bonds is not None and not (args.bonds > 0.0 and args.bonds < 10.0):
            raise InputError(f"--bonds takes a cutoff between 0 and 10 angstrom, not {args.bonds:g}")
        if args.bonds is not None and args.refine_atoms is None:
            raise InputError("--bonds lists the bond lengths of refined structures: add --refine-atoms")
        if args.plot is not None:
            check_image_path(args.plot)
        # Not given: the instrument file's, else none.
        monochromator_angle = None if args.monochromator_angle is None else request_from(args).monochromator_angle
        two_theta_range = None if args.two_theta is None else check_two_theta_range(args.two_theta)
        orientations = dict(parse_orientation(text) for text in args.orientation)
        measured = read_scan(args.measured)
        for note in measured.notes:
            report(f"peakforge: note: {note}")
        if not args.no_progress:
            from tqdm import tqdm  # imported by the command that shows it: the others start without it
        bar = (
            None
            if args.no_progress
            else tqdm(
                unit=" evaluations", desc="fitting", file=sys.stderr, leave=False, delay=PROGRESS_DELAY, disable=None
            )
        )  # None: only on a terminal
        try:
            result = fit_pattern(
                measured,
                args.phases,
                wavelength=args.wavelength,
                ka2_ratio=args.ka2_ratio,
                shape=args.shape,
                background_terms=args.background,
                correction="displacement" if args.displacement else None,
                radius=args.radius,
                monochromator_angle=monochromator_angle,
                two_theta_range=two_theta_range,
                anomalous=not args.no_anomalous,
                orientations=orientations,
                particle_radius=parse_particle_sizes(args.particle_size),
                fix=args.fix,
                refine=args.refine,
                instrument=args.instrument,
                progress=None if bar is None else _advance(bar),
                refine_atoms=False if args.refine_atoms is None else (args.refine_atoms or True),
                bonds=args.bonds,
            )
        finally:
            if bar is not None:
                bar.close()
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR
    except KeyboardInterrupt:
        fail("interrupted")
        return 130
    for warning in result.warnings:
        report(f"peakforge: warning: {' '.join(warning.split())}")
    write_output(json.dumps(result.to_dict(), indent=2) + "\n" if args.format == "json" else result.summary())
    if args.cif_out is not None:
        try:
            _write_cifs(args.cif_out, result)
        except OSError as exc:
            fail(f"{args.cif_out}: cannot write the CIF files: {output_error(exc)}")
            return USER_ERROR
    if args.save_instrument is not None:
        try:
            save_instrument(
                args.save_instrument,
                result.instrument,
                result.instrument.lines(1.0),
                result.uncertainties,
                result.measured.name,
            )
        except OSError as exc:
            fail(f"{args.save_instrument}: cannot write the instrument: {output_error(exc)}")
            return USER_ERROR
    if args.plot is not None:
        try:
            plot_fit(result, args.plot)
        except (OSError, ValueError) as exc:
            fail(f"{args.plot}: cannot write the plot: {output_error(exc)}")
            return USER_ERROR
    return 0
