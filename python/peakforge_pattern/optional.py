"""Dependencies that only some commands need, imported when first used."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from types import ModuleType
from typing import Any

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


def lazy_exports(package: str, exports: dict[str, str]) -> Callable[[str], Any]:
    """A package's ``__getattr__`` that imports each exported name's module
    on first use: ``exports`` maps a name to its module, relative to ``package``.

    A package whose modules bring SciPy or matplotlib exports them this way,
    so that importing one light module of it (a command's constants, a scan
    reader) does not load them all.
    """

    def __getattr__(name: str) -> Any:
        module = exports.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(module, package), name)
        setattr(sys.modules[package], name, value)  # found directly from now on
        return value

    return __getattr__
