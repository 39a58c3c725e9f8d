"""Powder X-ray diffraction patterns from crystal structures.

Reads a structure (a CIF file, or plain arrays from any other structure
object), and drives the native ``peakforge`` module through reflection
generation, intensities, peak merging, family grouping and scaling::

    from peakforge_pattern import compute_pattern, example_path
    pattern = compute_pattern(example_path("silicon"), wavelength="CuKa")
    print(pattern.to_table())

Every calculation option is a field of one PatternRequest; profiles are in
peakforge_pattern.profiles, pictures in peakforge_pattern.plotting.
"""

import os as _os
import sys as _sys


def _package_directories(found_at: list[str]) -> list[str]:
    """Every directory named peakforge_pattern on sys.path, in its order.

    The compiled engine (_engine) lives where the package was installed or
    built, while a source tree put first on sys.path (as the tests put it)
    holds only the Python files: searching them all, in sys.path order, lets
    the sources and the built module meet, and lets a build directory on
    PYTHONPATH (the sanitizer builds) supply its engine ahead of the
    installed one. A subpackage (structures, diffraction, ...) comes whole
    from the first of these directories that holds it.
    """
    candidates = [_os.path.join(_os.path.abspath(entry or _os.curdir), __name__) for entry in _sys.path]
    on_path = [d for d in dict.fromkeys(candidates) if _os.path.isdir(d)]
    return on_path + [d for d in found_at if _os.path.abspath(d) not in on_path]


__path__ = _package_directories(list(__path__))

from .diffraction.compute import compute_pattern
from .diffraction.pattern import Pattern
from .diffraction.request import PatternRequest
from .diffraction.wavelengths import ANODE_LINES, resolve_wavelength
from .diffraction.work import DEFAULT_MAX_WORK, WorkEstimate, estimate_work
from .errors import InputError
from .examples import EXAMPLES, example_path
from .structures.structure import parse_cif, read_cif
from .structures.structure import Structure

__all__ = ["ANODE_LINES", "DEFAULT_MAX_WORK", "EXAMPLES", "InputError", "Pattern", "PatternRequest", "Structure",
           "WorkEstimate", "compute_pattern", "estimate_work", "example_path", "parse_cif",
           "read_cif", "resolve_wavelength"]
