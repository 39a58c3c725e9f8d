"""What every subcommand shares: exit statuses and the one-line error report."""

from __future__ import annotations

import sys

USER_ERROR = 2
"""Exit status of a run that failed because of what the user asked for."""


def fail(message: str) -> None:
    """Report a problem as one line on standard error."""
    print(f"peakforge: {message}", file=sys.stderr, flush=True)
