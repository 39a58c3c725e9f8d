"""``peakforge pattern``: peak tables (and plots) of structure files."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .. import formats
from ..errors import InputError
from ..examples import EXAMPLES, example_path
from ..pattern import check_two_theta_range, compute_pattern
from ..scales import SCALES
from ..wavelengths import ANODE_LINES, resolve_wavelength
from .common import USER_ERROR, fail
from .profile_options import add_profile_arguments, instrument_from, sample_from
from .profile_outputs import check_profile_outputs, run_mixture, write_profile_outputs

NAME = "pattern"
HELP = "compute the peak table of one or more structures"
DESCRIPTION = ("Compute powder patterns of CIF files (or of folders of them). "
               "With no FILE, the pattern of the built-in silicon example.")

_WRITERS = {"table": formats.table, "csv": formats.csv_text, "json": formats.json_text}


def add_arguments(pattern: argparse.ArgumentParser) -> None:
    pattern.add_argument("files", nargs="*", metavar="FILE", help="CIF file or folder of CIF files")
    pattern.add_argument("--example", action="append", default=[], choices=list(EXAMPLES),
                         help="a bundled example structure (repeatable)")
    pattern.add_argument("-w", "--wavelength", default="CuKa",
                         help="wavelength in angstrom or a line name: " + ", ".join(ANODE_LINES)
                              + " (default CuKa)")
    pattern.add_argument("--two-theta", nargs=2, type=float, default=(0.0, 90.0), metavar=("MIN", "MAX"),
                         help="2theta range in degrees (default 0 90)")
    pattern.add_argument("-f", "--format", choices=list(_WRITERS), default="table",
                         help="output format (default table)")
    pattern.add_argument("--scale", choices=SCALES, default="max",
                         help="intensities: strongest peak in the range 100 (max, default), strongest "
                              "from 0 to 180 100 (full), or |F|^2 x multiplicity x LP per cell (absolute)")
    pattern.add_argument("--mix", type=float, nargs="+", metavar="W",
                         help="weight fractions of the structures, one per file: one mixture")
    pattern.add_argument("--plot", metavar="IMAGE", type=Path,
                         help="also draw the pattern to this file (.png, .svg, .pdf, ...)")
    pattern.add_argument("--fwhm", type=float, default=0.1,
                         help="peak width in degrees of the profile; 0 for sticks only in the plot (default 0.1)")
    pattern.add_argument("--serial", action="store_true", help="compute on the calling thread only")
    pattern.add_argument("--threads", type=int, default=0, metavar="N",
                         help="worker threads of the parallel calculation (default 0: automatic)")
    pattern.add_argument("--no-simd", action="store_true", help="use the scalar structure-factor sum")
    pattern.add_argument("--no-progress", action="store_true",
                         help="no progress bar when several structures are computed")
    add_profile_arguments(pattern)


def _sources(args) -> tuple[list[Path], list[str]]:
    """The structure files to compute, and the problems met while listing them."""
    sources, problems = [], []
    for name in args.files:
        path = Path(name)
        if path.is_dir():
            found = sorted(p for p in path.iterdir() if p.suffix.lower() == ".cif" and p.is_file())
            if not found:
                problems.append(f"{path}: no .cif files in this folder")
            sources.extend(found)
        else:
            sources.append(path)
    sources.extend(example_path(name) for name in args.example)
    if not args.files and not args.example:
        sources.append(example_path("silicon"))
    return sources, problems


def run(args) -> int:
    try:
        wavelength = resolve_wavelength(args.wavelength)
        two_theta_range = check_two_theta_range(args.two_theta)
        if not args.fwhm >= 0.0:
            raise InputError(f"--fwhm must not be negative, not {args.fwhm:g}")
        if not 0 <= args.threads <= 65535:
            raise InputError(f"--threads must lie between 0 and 65535, not {args.threads}")
        instrument, sample = instrument_from(args), sample_from(args)
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR

    sources, problems = _sources(args)
    try:
        check_profile_outputs(args, len(sources))
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR
    if args.mix is not None:
        return run_mixture(args, sources, problems, _WRITERS[args.format], wavelength, two_theta_range,
                           instrument, sample)
    for problem in problems:
        fail(problem)
    failed = bool(problems)
    progress = None
    if len(sources) > 1 and not args.no_progress:
        from tqdm import tqdm
        progress = tqdm(total=len(sources), unit="structure", file=sys.stderr, leave=False)

    patterns = []
    for path in sources:
        try:
            patterns.append(compute_pattern(path, wavelength, two_theta_range, parallel=not args.serial,
                                            num_threads=args.threads, use_simd=not args.no_simd,
                                            scale=args.scale))
        except InputError as exc:
            failed = True
            if progress is not None:
                progress.write(f"peakforge: {path}: {exc}", file=sys.stderr)  # keeps the bar intact
            else:
                fail(f"{path}: {exc}")
        if progress is not None:
            progress.update()
    if progress is not None:
        progress.close()

    if patterns:
        named = len(sources) > 1 or any(Path(name).is_dir() for name in args.files)
        sys.stdout.write(_WRITERS[args.format](patterns, named))
        sys.stdout.flush()
        failed = not write_profile_outputs(args, patterns, instrument, sample, two_theta_range) or failed
    return USER_ERROR if failed else 0
