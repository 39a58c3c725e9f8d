"""Dependencies that only some commands need, imported when first used."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """Import ``module``, or raise ImportError saying which extra installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        package = module.split(".")[0]
        raise ImportError(f"{purpose} needs {package}, which is not installed: "
                          f"pip install 'peakforge[{extra}]'") from exc
