"""``peakforge pattern``: peak tables (and plots) of structure files."""

from __future__ import annotations

import argparse
import functools
import json
import os
import sys
from collections.abc import Callable
from pathlib import Path

from ..diffraction import formats
from ..diffraction.absences import WEAK_BELOW, explain_absences
from ..diffraction.axes import AXES
from ..diffraction.compute import compute_pattern
from ..diffraction.pattern import Pattern
from ..diffraction.request import PatternRequest
from ..diffraction.structure_factor import reflection_detail, three_indices
from ..diffraction.work import estimate_work
from ..errors import InputError
from ..examples import EXAMPLES, example_path
from ..plotting.figures import DEFAULT_DPI, LAYOUTS, check_dpi
from ..structures.checks import refuse_if_strict
from ..structures.cif import read_cif_bytes
from ..structures.structure import Structure, parse_cif, read_cif
from .calculation_options import add_request_arguments
from .common import USER_ERROR, describe_os_error, fail, note, probe_worker_threads, warn, write_output
from .profile_options import add_profile_arguments, check_widths, instrument_from, pattern_request, sample_from
from .profile_outputs import check_profile_outputs, label_count, run_mixture, write_overlay, write_profile_outputs
from .report_options import run_provenance

NAME = "pattern"
HELP = "compute the peak table of one or more structures"
DESCRIPTION = (
    "Compute powder patterns of CIF files (or of folders of them; '-' reads standard "
    "input). With no FILE, the pattern of the built-in silicon example."
)

_WRITERS = {"table": formats.table, "csv": formats.csv_text, "json": formats.json_text}

STDIN = "-"

# A single structure expected to take longer than this (seconds) gets its own progress bar.
_PROGRESS_AFTER_SECONDS = 3.0


def add_arguments(pattern: argparse.ArgumentParser) -> None:
    pattern.add_argument(
        "files", nargs="*", metavar="FILE", help="CIF file or folder of CIF files; '-' for standard input"
    )
    pattern.add_argument(
        "--example",
        action="append",
        default=[],
        choices=list(EXAMPLES),
        help="a bundled example structure (repeatable)",
    )
    pattern.add_argument(
        "-f", "--format", choices=list(_WRITERS), default="table", help="output format (default table)"
    )
    pattern.add_argument(
        "--axis",
        choices=AXES,
        default="2theta",
        help="position of the peaks in tables, --xy and plots: 2theta (degrees, default), "
        "d (angstrom) or q (4 pi sin(theta) / lambda, 1/angstrom)",
    )
    pattern.add_argument(
        "--mix",
        type=float,
        nargs="+",
        metavar="W",
        help="weight fractions of the structures, one per file: one mixture",
    )
    pattern.add_argument(
        "--plot", metavar="IMAGE", type=Path, help="also draw the pattern to this file (.png, .svg, .pdf, ...)"
    )
    pattern.add_argument(
        "--measured",
        metavar="SCAN",
        type=Path,
        help="a measured scan (.xy, .xye, .csv, .xrdml, ...): each structure's profile is "
        "scaled to it by least squares (nothing else refined); with --plot, drawn over it; "
        "without --two-theta the patterns cover the scan's range",
    )
    pattern.add_argument(
        "--layout",
        choices=LAYOUTS,
        default="stacked",
        help="with --measured and --plot: a panel per phase (stacked, default) or one panel",
    )
    pattern.add_argument(
        "--labels",
        type=label_count,
        default=8,
        metavar="N",
        help="peaks labelled in the plot, per phase: a number (default 8) or 'all'",
    )
    pattern.add_argument(
        "--dpi", type=float, default=DEFAULT_DPI, help=f"resolution of a raster --plot image (default {DEFAULT_DPI})"
    )
    pattern.add_argument("--title", help="title of the --plot figure (default: structures and wavelength)")
    pattern.add_argument(
        "--absent",
        action="store_true",
        help="instead of the peaks, list the reflections in range that the space group "
        "extinguishes (with the reason) and those allowed but accidentally weak",
    )
    pattern.add_argument(
        "--weak-below",
        type=float,
        default=WEAK_BELOW,
        metavar="FRACTION",
        help="with --absent: allowed reflections with |F|^2 below this fraction of the "
        f"strongest count as weak (default {WEAK_BELOW:g})",
    )
    pattern.add_argument(
        "--hkl",
        nargs="+",
        type=int,
        metavar="H",
        help="instead of the peaks, take one reflection apart (H K L, or H K I L): d, 2theta, "
        "multiplicity, |F|, phase and each atom's term",
    )
    pattern.add_argument(
        "--fwhm",
        type=float,
        default=0.1,
        help="peak width in degrees of the profile; 0 for sticks only in the plot (default 0.1)",
    )
    pattern.add_argument(
        "--no-progress", action="store_true", help="no progress bar when several structures or a long one are computed"
    )
    add_request_arguments(pattern)
    add_profile_arguments(pattern)


def _writer(args: argparse.Namespace) -> Callable[..., str]:
    """The table, CSV or JSON writer, on the axis asked for; JSON documents
    carry the run's provenance."""
    write = functools.partial(_WRITERS[args.format], axis=args.axis)
    if args.format != "json":
        return write

    def with_provenance(patterns: list[Pattern], named: bool | None = None) -> str:
        document = json.loads(write(patterns, named))
        examples = {f"example:{name}": example_path(name) for name in args.example}
        if not args.files and not args.example:
            examples["example:silicon"] = example_path("silicon")
        # Files the command could not read were reported and left out of the patterns.
        provenance = run_provenance(args, [*args.files, args.measured], examples, skip_missing=True).to_dict()
        for each in document if isinstance(document, list) else [document]:
            each["provenance"] = provenance
        return json.dumps(document, indent=2) + "\n"

    return with_provenance


def _shown(path: Path | str) -> str:
    """A path as printable text, whatever bytes its name holds."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _sources(args: argparse.Namespace) -> tuple[list[Path | str], list[str]]:
    """The structures to compute, and the problems met while listing them."""
    sources: list[Path | str] = []
    problems = []
    for name in args.files:
        if name == STDIN:
            sources.append(STDIN)
            continue
        path = Path(name)
        if not path.is_dir():
            sources.append(path)
            continue
        try:
            found = sorted(p for p in path.iterdir() if p.suffix.lower() == ".cif" and p.is_file())
        except OSError as exc:
            problems.append(f"{_shown(path)}: cannot list this folder: {exc.strerror or exc}")
            continue
        if not found:
            problems.append(f"{_shown(path)}: no .cif files in this folder")
        sources.extend(found)
    sources.extend(example_path(name) for name in args.example)
    if not args.files and not args.example:
        sources.append(example_path("silicon"))
    return sources, problems


def _read(source: Path | str, strict: bool) -> Structure:
    if source == STDIN:
        if sys.stdin is None:
            raise InputError("cannot read: standard input is closed")
        try:
            data = read_cif_bytes(sys.stdin.buffer)
        except OSError as exc:
            raise InputError(f"cannot read: {describe_os_error(exc)}") from None
        structure = parse_cif(data, name="stdin")
        if strict:
            refuse_if_strict(structure.warnings)
        return structure
    return read_cif(source, strict=strict)


def _check_options(args: argparse.Namespace) -> PatternRequest:
    request = pattern_request(args)
    check_dpi(args.dpi)
    if args.hkl is not None:
        three_indices(args.hkl)
    if (args.absent or args.hkl is not None) and (args.mix is not None or request.exact or args.format == "csv"):
        raise InputError(
            "--absent and --hkl print a table or JSON of the pattern engine's reflections: "
            "not with --mix, --exact or -f csv"
        )
    skipped = [
        flag
        for flag, given in (("--xy", args.xy), ("--plot", args.plot), ("--measured", args.measured))
        if given is not None
    ]
    if (args.absent or args.hkl is not None) and skipped:
        raise InputError(
            f"--absent and --hkl print reflections instead of the pattern: {' and '.join(skipped)} would "
            "write nothing; run them separately"
        )
    if args.measured is not None and (args.mix is not None or request.exact):
        raise InputError("--measured scales each structure's own profile to the scan: not with --mix or --exact")
    if not args.fwhm >= 0.0:
        raise InputError(f"--fwhm must not be negative, not {args.fwhm:g}")
    if sys.stdout is None:
        raise InputError("standard output is closed: nowhere to write the patterns")
    if request.parallel:
        problem = probe_worker_threads(request.num_threads)
        if problem is not None:
            raise InputError(f"{problem}: ask for fewer --threads, or --serial")
    return request


def _progress_bar(total_structures: int, no_progress: bool):
    if total_structures <= 1 or no_progress:
        return None
    from tqdm import tqdm

    return tqdm(total=total_structures, unit="structure", file=sys.stderr, leave=False)


def _reflection_progress(
    structure: Structure, request: PatternRequest, no_progress: bool
) -> tuple[Callable[[int, int], None] | None, Callable[[], None]]:
    """A progress callback for one long calculation, and what closes its bar.

    The bar appears at the first report, once the calculation is under way.
    """
    if (
        no_progress
        or estimate_work(structure.lattice, len(structure), request.wavelength, request.two_theta_range).seconds
        < _PROGRESS_AFTER_SECONDS
    ):
        return None, lambda: None
    from tqdm import tqdm

    bars: list[tqdm] = []

    def advance(done: int, total: int) -> None:
        if not bars:
            bars.append(
                tqdm(total=total, unit="reflection", unit_scale=True, file=sys.stderr, leave=False, desc=structure.name)
            )
        bars[0].update(done - bars[0].n)

    def close() -> None:
        for bar in bars:
            bar.close()

    return advance, close


def _compute(source: Path | str, args: argparse.Namespace, request: PatternRequest) -> Pattern:
    structure = _read(source, request.strict)
    for warning in structure.warnings:
        warn(_shown(source), warning)
    progress, close = _reflection_progress(structure, request, args.no_progress)
    try:
        pattern = compute_pattern(structure, request=request, progress=progress)
    finally:
        close()
    for warning in pattern.warnings[len(structure.warnings) :]:
        warn(_shown(source), warning)
    for message in pattern.notes:
        note(_shown(source), message)
    return pattern


def _explain(source: Path | str, args: argparse.Namespace, request: PatternRequest) -> tuple[str, dict]:
    """The --absent and --hkl reports of one structure, as text and as a JSON-ready dict."""
    structure = _read(source, request.strict)
    for warning in structure.warnings:
        warn(_shown(source), warning)
    text = ""
    record: dict[str, object] = {"structure": structure.name}
    if args.absent:
        absences = explain_absences(structure, request=request, weak_below=args.weak_below)
        for message in absences.notes:
            note(_shown(source), message)
        text += absences.to_table()
        record["absences"] = absences.to_dict()
    if args.hkl is not None:
        detail = reflection_detail(structure, args.hkl, request=request)
        text += detail.to_text()
        record["reflection"] = detail.to_dict()
    return text, record


def _run_explanations(
    args: argparse.Namespace, sources: list[Path | str], problems: list[str], request: PatternRequest
) -> int:
    for unreadable in problems:
        fail(unreadable)
    failed = bool(problems)
    records = []
    for number, source in enumerate(sources):
        try:
            text, record = _explain(source, args, request)
        except InputError as exc:
            failed = True
            fail(f"{_shown(source)}: {exc}")
            continue
        records.append(record)
        if args.format != "json":
            heading = f"{chr(10) if number else ''}## {_shown(source)}\n" if len(sources) > 1 else ""
            write_output(heading + text)
    if args.format == "json" and records:
        write_output(json.dumps(records if len(sources) > 1 else records[0], indent=1, ensure_ascii=False) + "\n")
    return USER_ERROR if failed else 0


def run(args: argparse.Namespace) -> int:
    request = _check_options(args)
    instrument, sample = instrument_from(args, request), sample_from(args)
    sources, problems = _sources(args)
    if args.absent or args.hkl is not None:
        return _run_explanations(args, sources, problems, request)
    check_profile_outputs(args, len(sources))
    scan = None
    if args.measured is not None:
        # Imported here: the scan readers (XML, zip archives) only serve --measured.
        from ..measurements import in_range, read_scan

        scan = read_scan(args.measured)
        if args.two_theta_range is not None:
            scan = in_range(scan, *request.two_theta_range)
        # The patterns cover the scan, so that every peak it can show is there.
        request = request.replace(two_theta_range=(float(scan.two_theta[0]), float(scan.two_theta[-1])))
    if args.xy is not None or args.plot is not None or scan is not None:
        check_widths(args, instrument, request.two_theta_range)
    if args.mix is not None:
        return run_mixture(args, sources, problems, _writer(args), request, instrument, sample)
    for unreadable in problems:
        fail(unreadable)
    failed = bool(problems)
    progress = _progress_bar(len(sources), args.no_progress)
    patterns = []
    try:
        for source in sources:
            problem = None
            try:
                patterns.append(_compute(source, args, request))
            except InputError as exc:
                problem = str(exc)
            except MemoryError:
                # Reported once the handler has let go of the exception, and
                # with it of the frames holding the memory.
                problem = "out of memory"
            if problem is not None:
                failed = True
                fail(f"{_shown(source)}: {problem}")
            if progress is not None:
                progress.update()
    finally:
        if progress is not None:
            progress.close()

    if patterns:
        named = len(sources) > 1 or any(Path(name).is_dir() for name in args.files if name != STDIN)
        write_output(_writer(args)(patterns, named))
        if scan is not None:
            failed = not write_overlay(args, scan, patterns, instrument, sample) or failed
            args = argparse.Namespace(**{**vars(args), "plot": None})  # the overlay is the plot
        failed = not write_profile_outputs(args, patterns, instrument, sample, request.two_theta_range) or failed
    return USER_ERROR if failed else 0
