"""Crystal structures: read from CIF files (or plain arrays), their space
groups and symmetry images, and the checks that refuse what cannot give a
meaningful pattern and warn of what is merely implausible."""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from .asymmetric_unit import AsymmetricUnit
    from .bonds import Bond, find_bonds
    from .site_symmetry import SiteSymmetry
    from .structure import Structure, parse_cif, read_cif

# site_symmetry() stays in its module of that name, which the package's
# attribute would otherwise shadow.
__all__ = ["AsymmetricUnit", "Bond", "SiteSymmetry", "Structure", "find_bonds", "parse_cif", "read_cif"]

# Each imported on first use: a module of this layer (the CIF reader, the
# elements) is imported without the others.
__getattr__ = lazy_exports(
    __name__,
    {
        "AsymmetricUnit": ".asymmetric_unit",
        "Bond": ".bonds",
        "SiteSymmetry": ".site_symmetry",
        "Structure": ".structure",
        "find_bonds": ".bonds",
        "parse_cif": ".structure",
        "read_cif": ".structure",
    },
)
