"""Writes docs/api.md: a section per layer with every name of the layer's
``__all__`` (and of the package's), each under the layer that defines it.
A new layer needs a line in `LAYERS`; tests/test_doc_blocks.py checks that
the page is what this script writes.

Run as ``python tests/doc_api.py`` (with the package importable).
"""

from __future__ import annotations

import importlib
import inspect
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "api.md"

# (package below peakforge_pattern, title, what it holds), in the order of the layers.
LAYERS = (
    (
        "",
        "The package",
        "The names most scripts need are importable from `peakforge_pattern` itself (`Structure`, "
        "`read_cif`, `compute_pattern`, `Pattern`, `PatternRequest`, ...: each documented in its layer "
        "below); these belong to no layer.",
    ),
    (
        "structures",
        "Structures",
        "reading and checking crystal structures, their asymmetric unit, site symmetry and bonds.",
    ),
    (
        "diffraction",
        "Patterns",
        "from a structure to its peak table; absences explained, one reflection taken apart, wavelengths.",
    ),
    (
        "profiles",
        "Profiles and mixtures",
        "from peaks to a powder profile with the instrument's and the sample's terms; mixtures by weight fraction.",
    ),
    ("measurements", "Measured scans", "scans read from files, whatever their format."),
    (
        "fitting",
        "Fitting",
        "whole-pattern fits of measured scans (their request, recipe and result) and simulated patterns laid on "
        "a scan; `MeasuredPattern` and `read_scan` are the measurements layer's, exported here too.",
    ),
    ("indexing", "Indexing", "unit cells from the positions of a phase's peaks, and space-group candidates."),
    ("series", "Series", "many scans fitted with one recipe, into one table."),
    (
        "batch",
        "Batch runs and libraries",
        "many structures into a Parquet library, locally or on a Dask cluster, and reading it back.",
    ),
    (
        "identification",
        "Identifying phases",
        "search-match of a scan against a library, confirmed by whole-pattern fits.",
    ),
    (
        "plotting",
        "Plotting",
        "every picture (matplotlib, the `plot` extra), into a file or an Axes.",
    ),
    ("reports", "Reports", "the HTML reports of `--report`."),
    ("provenance", "Provenance", "what a result records of how it was made: software, command, inputs."),
)

HEADER = """# Python API

Generated from the docstrings of `peakforge_pattern` by `tests/doc_api.py`:
every name of every layer's `__all__` (and of the package's), under the
layer that defines it. The command line is described in the
[user guide](guide/pattern.md); the native module in
[the native functions](native.md).
"""


def defined_in(package: str, name: str) -> str:
    """Where a public name is defined: module.qualname (for a constant, the module that assigns it)."""
    value = getattr(importlib.import_module(package), name)
    if inspect.isclass(value) or inspect.isroutine(value):
        return f"{value.__module__}.{value.__qualname__}"
    for module_name, module in sorted(sys.modules.items()):
        if module_name.startswith("peakforge_pattern") and vars(module).get(name) is value:
            if re.search(rf"^{name}\s*(:[^=]*)?=", inspect.getsource(module), re.M):
                return f"{module_name}.{name}"
    raise LookupError(f"{package}.{name}: no module of peakforge_pattern assigns it")


def public_names() -> dict[str, str]:
    """Every public name (package.name) and the object it documents (module.qualname)."""
    names = {}
    for layer, _, _ in LAYERS:
        package = "peakforge_pattern" + (f".{layer}" if layer else "")
        for name in importlib.import_module(package).__all__:
            names[f"{package}.{name}"] = defined_in(package, name)
    return names


def page() -> str:
    """docs/api.md as it should read."""
    names = public_names()
    layers = {layer for layer, _, _ in LAYERS if layer}
    done: set[str] = set()
    out = [HEADER]
    for layer, title, text in LAYERS:
        package = "peakforge_pattern" + (f".{layer}" if layer else "")
        out.append(f"## {title}\n")
        out.append((text if not layer else f"`{package}`: {text}") + "\n")
        for public, target in names.items():
            owner = target.split(".")[1] if target.count(".") > 1 else ""
            home = owner if owner in layers else ""
            if public.rsplit(".", 1)[0] == package and home == layer and target not in done:
                done.add(target)
                out.append(f"::: {target}\n")
    missing = sorted(set(names.values()) - done)
    if missing:  # defined in a layer whose package does not export it
        out.append("## Elsewhere\n")
        out.extend(f"::: {target}\n" for target in missing)
    return "\n".join(out)


if __name__ == "__main__":
    PAGE.write_text(page(), encoding="utf-8")
    print(f"wrote {PAGE.relative_to(ROOT)}")
