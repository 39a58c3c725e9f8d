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

from typing import TYPE_CHECKING, Any

from .optional import lazy_exports

if TYPE_CHECKING:
    from .diffraction.compute import compute_pattern
    from .diffraction.pattern import Pattern
    from .diffraction.request import PatternRequest
    from .diffraction.wavelengths import ANODE_LINES, resolve_wavelength
    from .diffraction.work import DEFAULT_MAX_WORK, WorkEstimate, estimate_work
    from .errors import InputError
    from .examples import EXAMPLES, example_path
    from .structures.structure import Structure, parse_cif, read_cif


__all__ = [
    "ANODE_LINES",
    "DEFAULT_MAX_WORK",
    "EXAMPLES",
    "InputError",
    "Pattern",
    "PatternRequest",
    "Structure",
    "WorkEstimate",
    "compute_pattern",
    "estimate_work",
    "example_path",
    "parse_cif",
    "read_cif",
    "resolve_wavelength",
]

# Each imported on first use: the command's entry point (__main__) must run
# before NumPy loads, to start its BLAS on one thread.
_exports = lazy_exports(
    __name__,
    {
        "ANODE_LINES": ".diffraction.wavelengths",
        "DEFAULT_MAX_WORK": ".diffraction.work",
        "EXAMPLES": ".examples",
        "InputError": ".errors",
        "Pattern": ".diffraction.pattern",
        "PatternRequest": ".diffraction.request",
        "Structure": ".structures.structure",
        "WorkEstimate": ".diffraction.work",
        "compute_pattern": ".diffraction.compute",
        "estimate_work": ".diffraction.work",
        "example_path": ".examples",
        "parse_cif": ".structures.structure",
        "read_cif": ".structures.structure",
        "resolve_wavelength": ".diffraction.wavelengths",
    },
)


def __getattr__(name: str) -> Any:
    # The version is read from the installed distribution's metadata when first asked for.
    if name == "__version__":
        from .provenance import software_version

        return software_version()
    return _exports(name)
