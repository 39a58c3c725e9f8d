"""What the commands that write results share for their reports and
provenance: the ``--report`` option, the run's provenance (command line and
input files as given, with their SHA-256), and CIF text that says where it
came from."""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterable, Mapping
from pathlib import Path

from ..errors import InputError
from ..optional import require
from ..provenance import Provenance


def add_report_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--report",
        metavar="FILE.html",
        type=Path,
        help="write a report as one self-contained HTML page: interactive plot, phases, "
        "instrument, options, warnings, software version and input files (opens without a network)",
    )


def check_report(args: argparse.Namespace, inputs: Iterable[str | os.PathLike[str] | None]) -> None:
    """Refuse a --report that cannot be written, before the work starts.

    Raises
    ------
    InputError
        A folder, not .html, one of the inputs, or the ``report`` extra missing.
    """
    if getattr(args, "report", None) is None:
        return
    from ..reports import check_report_path

    check_report_path(args.report, list(inputs))
    require("plotly", "report", "--report")
    require("matplotlib", "report", "--report")


def run_provenance(
    args: argparse.Namespace,
    inputs: Iterable[str | os.PathLike[str] | None],
    named: Mapping[str, str | os.PathLike[str]] | None = None,
    *,
    skip_missing: bool = False,
) -> Provenance:
    """The run's provenance: its command line and its input files as given
    (``named``: inputs given otherwise than by a path, see `Provenance.of`).

    Raises
    ------
    InputError
        An input that cannot be read for its checksum.
    """
    try:
        return Provenance.of(inputs, getattr(args, "arguments", None), named, skip_missing=skip_missing)
    except OSError as exc:
        raise InputError(f"{exc.filename}: cannot read it for its checksum: {exc.strerror or exc}") from None


def with_provenance(cif: str, provenance: Provenance) -> str:
    """CIF text with its provenance as comment lines at the top."""
    return "".join(f"# {line}\n" for line in provenance.comment_lines()) + cif
