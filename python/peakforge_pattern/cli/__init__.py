"""The ``peakforge`` command: one module per subcommand, each adding its own
arguments and running its own work."""

from __future__ import annotations

import argparse
import signal
import sys

from . import batch_command, fit_command, identify_command, pattern_command
from .common import USER_ERROR, reporting_failures

# Each subcommand module has NAME, HELP, DESCRIPTION, add_arguments(parser)
# and run(args); run's failures are reported by reporting_failures.
_COMMANDS = (pattern_command, fit_command, batch_command, identify_command)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="peakforge", description="Powder X-ray diffraction patterns from crystal structures."
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in _COMMANDS:
        sub = commands.add_parser(command.NAME, help=command.HELP, description=command.DESCRIPTION)
        sub.set_defaults(run=command.run)
        command.add_arguments(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    # Past a file-size limit a write should fail with an error the command
    # reports (and cleans up after), not kill the process half-way.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    if args.command is None:
        parser.print_help(sys.stderr)
        return USER_ERROR
    return reporting_failures(args.run)(args)


if __name__ == "__main__":
    sys.exit(main())
