"""``peakforge fit``: phases fitted to a measured pattern."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from ..atomic_file import write_text_atomically
from ..errors import InputError
from ..fitting.decomposition import CellPhase, decompose_phases
from ..fitting.fit import fit_pattern
from ..fitting.instrument_file import save_instrument
from ..fitting.parameters import KINDS
from ..fitting.recipe import Recipe, load_recipe, save_recipe
from ..fitting.request import FitRequest, instrument_path, parse_orientation, parse_particle_sizes
from ..fitting.result import FitResult
from ..fitting.structure_refinement.atom_phase import ATOM_KINDS
from ..measurements import read_scan
from ..plotting import check_image_path, plot_fit
from ..provenance import Provenance
from .common import USER_ERROR, fail, report, write_output
from .fit_options import add_fit_arguments, fit_request_from
from .profile_outputs import output_error
from .report_options import add_report_argument, check_report, run_provenance, with_provenance

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
__all__ = ["add_arguments", "parse_orientation", "parse_particle_sizes", "run"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.epilog = EPILOG
    parser.add_argument(
        "measured", nargs="?", metavar="MEASURED", help="the measured pattern (with --recipe: default the recipe's)"
    )
    parser.add_argument(
        "phases", nargs="*", metavar="PHASE", help="CIF file of a phase in the sample (none with --recipe)"
    )
    recipes = parser.add_argument_group("recipes")
    recipes.add_argument(
        "--recipe",
        metavar="FILE",
        type=Path,
        help="fit as this recipe says (written by --save-recipe, or a fit's JSON); options given change it",
    )
    recipes.add_argument(
        "--continue",
        dest="continue_fit",
        action="store_true",
        help="with a fit's JSON as --recipe: start from its refined values",
    )
    recipes.add_argument(
        "--save-recipe",
        metavar="FILE",
        type=Path,
        help="write the fit's recipe (its options, the phases and scan by path and SHA-256) as TOML (.toml) or JSON",
    )
    files = parser.add_argument_group("instrument files")
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
    add_report_argument(parser)
    parser.add_argument(
        "--cif-out",
        metavar="DIR",
        type=Path,
        help="write each phase after the fit as DIR/PHASE.cif: refined cell, coordinates, "
        "occupancies and B with uncertainties",
    )
    decomposition = parser.add_argument_group("phases without atoms (with --le-bail or --pawley)")
    decomposition.add_argument(
        "--phase-cell",
        action="append",
        default=[],
        metavar='"A B C ALPHA BETA GAMMA"',
        help="a phase known by its cell (angstrom, degrees), with --space-group; may be repeated",
    )
    decomposition.add_argument(
        "--space-group",
        action="append",
        default=[],
        metavar="SYMBOL",
        help="the space group of each --phase-cell, in its setting (P n m a, R -3 c:H, 225)",
    )
    decomposition.add_argument(
        "--hkl-out",
        metavar="FILE",
        type=Path,
        help="write every extracted reflection's |F|^2 with its e.s.d.: a CIF _refln loop if FILE ends "
        "in .cif, else a plain table",
    )
    parser.add_argument(
        "-f", "--format", choices=("text", "json"), default="text", help="result as text (default) or JSON"
    )
    parser.add_argument(
        "--no-progress",
        action="store_true",
        help="no progress line on standard error while a fit takes more than a second or two",
    )
    add_fit_arguments(parser)


def _check_cif_folder(folder: Path | None) -> None:
    if folder is not None and folder.exists() and not folder.is_dir():
        raise InputError(f"--cif-out {folder}: not a folder")


def _write_cifs(folder: Path, result: FitResult, provenance: Provenance) -> None:
    """One CIF per phase, each whole or not at all, saying where it came from."""
    folder.mkdir(parents=True, exist_ok=True)
    for phase in result.phases:
        name = "".join(c if c.isalnum() or c in "-_.#" else "_" for c in phase.name).lstrip(".") or "phase"
        write_text_atomically(folder / f"{name}.cif", with_provenance(phase.cif, provenance))


def _advance(bar: tqdm) -> Callable[[int], None]:
    def told(evaluations: int) -> None:
        bar.update(evaluations - bar.n)

    return told


def _recipe(args: argparse.Namespace) -> tuple[FitRequest, str, list[str]]:
    """The fit's request, scan and phases: the command line's, or the --recipe file's (changed by
    the options given; its files checked against their hashes)."""
    if args.recipe is None:
        if args.continue_fit:
            raise InputError("--continue starts from a fit's JSON given as --recipe")
        if args.measured is None or not (args.phases or args.phase_cell):
            raise InputError("fit needs the MEASURED scan and at least one PHASE file (or --recipe FILE)")
        return fit_request_from(args), args.measured, args.phases
    if args.phases:
        raise InputError(f"--recipe names the phases; {args.phases[0]!r} is one file too many (give at most the scan)")
    loaded = load_recipe(args.recipe)
    recipe = loaded.continued() if args.continue_fit else loaded.recipe
    request = fit_request_from(args, recipe.checked_request())
    scan = recipe.scan_path() if args.measured is None else args.measured
    return request, scan, recipe.phase_paths()


def run(args: argparse.Namespace) -> int:
    try:
        _check_cif_folder(args.cif_out)
        if args.plot is not None:
            check_image_path(args.plot)
        request, scan, phases = _recipe(args)
        if request.le_bail is not False or request.pawley is not False or args.phase_cell or args.hkl_out:
            return _run_decomposition(args, request, scan, phases)
        inputs = [scan, *phases, instrument_path(request), args.recipe]
        check_report(args, inputs)
        measured = read_scan(scan)
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
            result = fit_pattern(measured, phases, request, progress=None if bar is None else _advance(bar))
        finally:
            if bar is not None:
                bar.close()
        # Hashed once the fit has read them: a bad file is reported by its reader.
        recipe = Recipe.make(request, phases, scan) if args.format == "json" or args.save_recipe else None
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR
    except KeyboardInterrupt:
        fail("interrupted")
        return 130
    provenance = run_provenance(args, inputs)  # the inputs as the fit read them
    for warning in result.warnings:
        report(f"peakforge: warning: {' '.join(warning.split())}")
    if args.format == "json":
        assert recipe is not None
        document = {**result.to_dict(), "recipe": recipe.to_dict(), "provenance": provenance.to_dict()}
        write_output(json.dumps(document, indent=2) + "\n")
    else:
        write_output(result.summary())
    if args.save_recipe is not None:
        try:
            assert recipe is not None
            save_recipe(args.save_recipe, recipe)
        except OSError as exc:
            fail(f"{args.save_recipe}: cannot write the recipe: {output_error(exc)}")
            return USER_ERROR
    if args.cif_out is not None:
        try:
            _write_cifs(args.cif_out, result, provenance)
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
                provenance.to_dict(),
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
    if args.report is not None:
        from ..reports import write_fit_report

        try:
            write_fit_report(result, args.report, provenance)
        except OSError as exc:
            fail(f"{args.report}: cannot write the report: {output_error(exc)}")
            return USER_ERROR
    return 0


def _cell_phases(args: argparse.Namespace) -> list[CellPhase]:
    """The phases given by --phase-cell and --space-group, in pairs."""
    if len(args.phase_cell) != len(args.space_group):
        raise InputError("give one --space-group for each --phase-cell")
    phases = []
    for i, (text, symbol) in enumerate(zip(args.phase_cell, args.space_group), start=1):
        try:
            cell = tuple(float(v) for v in text.replace(",", " ").split())
        except ValueError:
            raise InputError(f"--phase-cell takes six numbers a b c alpha beta gamma, not {text!r}") from None
        if len(cell) != 6:
            raise InputError(f"--phase-cell takes six numbers a b c alpha beta gamma, not {text!r}")
        phases.append(CellPhase(f"cell{i}", cell, symbol, "--phase-cell"))  # type: ignore[arg-type]
    return phases


def _run_decomposition(args: argparse.Namespace, request: FitRequest, scan: str, phases: list[str]) -> int:
    """A Le Bail or Pawley fit: its summary or JSON, and the extracted reflections (--hkl-out)."""
    if request.le_bail is False and request.pawley is False:
        raise InputError("phases without atoms (--phase-cell) and --hkl-out need --le-bail or --pawley")
    for given, flag in (
        (args.plot, "--plot"),
        (args.cif_out, "--cif-out"),
        (args.save_instrument, "--save-instrument"),
        (args.report, "--report"),
        (args.save_recipe, "--save-recipe"),
    ):
        if given is not None:
            raise InputError(f"{flag} is not offered with a Le Bail or Pawley fit yet")
    inputs = [scan, *phases, instrument_path(request)]
    provenance = run_provenance(args, inputs)
    if args.hkl_out is not None and args.hkl_out.exists() and args.hkl_out.is_dir():
        raise InputError(f"--hkl-out {args.hkl_out}: a folder, not a file")
    every = [*phases, *_cell_phases(args)]
    if not args.no_progress:
        report("peakforge: note: fitting without atoms; this takes a minute or two for a scan of thousands of points")
    result = decompose_phases(scan, every, request)
    for warning in result.warnings:
        report(f"peakforge: warning: {' '.join(warning.split())}")
    if args.format == "json":
        write_output(json.dumps({**result.to_dict(), "provenance": provenance.to_dict()}, indent=2) + "\n")
    else:
        write_output(result.summary())
    if args.hkl_out is not None:
        text = result.reflection_cif() if args.hkl_out.suffix.lower() == ".cif" else result.reflection_table()
        try:
            write_text_atomically(args.hkl_out, text)
        except OSError as exc:
            fail(f"{args.hkl_out}: cannot write the reflections: {output_error(exc)}")
            return USER_ERROR
    return 0
