"""Powder X-ray diffraction patterns from crystal structures.

Reads a structure (a CIF file, or plain arrays from any other structure
object), and drives the native ``peakforge`` module through reflection
generation, intensities, peak merging, family grouping and scaling::

    from peakforge_pattern import compute_pattern, example_path
    pattern = compute_pattern(example_path("silicon"), wavelength="CuKa")
    print(pattern.to_table())
"""

from pkgutil import extend_path

# The compiled engine (_engine) lives where the package was installed or
# built; a source tree put first on sys.path (as the tests do) holds only the
# Python files. Each directory named peakforge_pattern on sys.path is part of
# the package, searched in sys.path order, so sources and the built module
# meet.
__path__ = extend_path(__path__, __name__)

from .errors import InputError  # noqa: E402
from .examples import EXAMPLES, example_path
from .pattern import Pattern, compute_pattern
from .structure import Structure
from .wavelengths import ANODE_LINES, resolve_wavelength

__all__ = ["ANODE_LINES", "EXAMPLES", "InputError", "Pattern", "Structure",
           "compute_pattern", "example_path", "read_cif", "resolve_wavelength"]


def read_cif(path):
    """Read a CIF file into a Structure holding every atom of the unit cell."""
    return Structure.from_cif(path)
