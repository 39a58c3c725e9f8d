"""Powder X-ray diffraction patterns from crystal structures.

Reads a structure (a CIF file, or plain arrays from any other structure
object), and drives the native ``peakforge`` module through reflection
generation, intensities, peak merging, family grouping and scaling::

    from peakforge_pattern import compute_pattern, example_path
    pattern = compute_pattern(example_path("silicon"), wavelength="CuKa")
    print(pattern.to_table())
"""

from .diffraction.pattern import Pattern, compute_pattern
from .diffraction.wavelengths import ANODE_LINES, resolve_wavelength
from .diffraction.work import DEFAULT_MAX_WORK, WorkEstimate, estimate_work
from .errors import InputError
from .examples import EXAMPLES, example_path
from .structures.cif import parse_cif, read_cif
from .structures.structure import Structure

__all__ = ["ANODE_LINES", "DEFAULT_MAX_WORK", "EXAMPLES", "InputError", "Pattern", "Structure",
           "WorkEstimate", "compute_pattern", "estimate_work", "example_path", "parse_cif",
           "read_cif", "resolve_wavelength"]
