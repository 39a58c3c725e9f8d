"""The ``peakforge`` command: one module per subcommand, each adding its own
arguments and running its own work."""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
from collections.abc import Sequence

from ..provenance import SOFTWARE, software_version
from .common import USER_ERROR, reporting_failures

# Each subcommand module has NAME, HELP, DESCRIPTION, add_arguments(parser)
# and run(args); run's failures are reported by reporting_failures.
_COMMANDS = {
    "pattern": ".pattern_command",
    "fit": ".fit_command",
    "batch": ".batch_command",
    "identify": ".identify_command",
    "series": ".series_command",
    "index": ".index_command",
}


class _Version(argparse.Action):
    """--version, with the version read from the distribution only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=str(kwargs.get("help", "")))

    def __call__(self, parser: argparse.ArgumentParser, *args: object, **kwargs: object) -> None:
        sys.stdout.write(f"{SOFTWARE} {software_version()}\n")
        parser.exit()


def _parser(chosen: str | None = None, subcommands: bool = True) -> argparse.ArgumentParser:
    """The command line's parser. With a subcommand ``chosen``, only its module
    is imported and only its arguments are built: a command's start-up does
    not load what the others need (the fit's SciPy, the batch's pyarrow)."""
    parser = argparse.ArgumentParser(
        prog="peakforge", description="Powder X-ray diffraction patterns from crystal structures."
    )
    parser.add_argument("--version", action=_Version, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, module in _COMMANDS.items():
        if (chosen is not None and name != chosen) or not subcommands:
            continue
        command = importlib.import_module(module, __name__)
        sub = commands.add_parser(command.NAME, help=command.HELP, description=command.DESCRIPTION)
        sub.set_defaults(run=command.run)
        command.add_arguments(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    chosen = arguments[0] if arguments and arguments[0] in _COMMANDS else None
    parser = _parser(chosen, subcommands=arguments[:1] != ["--version"])
    args = parser.parse_args(arguments)
    args.arguments = arguments  # the command line as given, for the outputs' provenance
    # Past a file-size limit a write should fail with an error the command
    # reports (and cleans up after), not kill the process half-way.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    if args.command is None:
        parser.print_help(sys.stderr)
        return USER_ERROR
    return reporting_failures(args.run)(args)


if __name__ == "__main__":
    sys.exit(main())
