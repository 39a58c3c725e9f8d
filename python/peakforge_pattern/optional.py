"""Dependencies that only some commands need, imported when first used."""

from __future__ import annotations

import importlib
from types import ModuleType

from .errors import InputError


class MissingDependency(InputError, ImportError):
    """An optional dependency is not installed.

    An ImportError for code that imports, and an InputError for the
    command, which reports it in one line like any other unmet request.
    """


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """Import ``module``, or raise MissingDependency saying which extra installs it."""
    package = module.split(".")[0]
    try:
        importlib.import_module(package)  # as an import statement would, even when a submodule is cached
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingDependency(
            f"{purpose} needs {package}, which is not installed: pip install 'peakforge[{extra}]'"
        ) from exc
