"""The environment the benchmarks run a version's `peakforge` command in."""

from __future__ import annotations

import os
from pathlib import Path


def command_environment(*path: Path) -> dict[str, str]:
    """This process's environment with ``path`` as PYTHONPATH (a build folder
    first: it holds the compiled engine the source folder lacks), and with
    bytecode caching on, as in an installed package: a shell that turns it off
    would have every process compile each module it imports, every time."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    return env
