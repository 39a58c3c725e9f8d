"""Small structures shipped with the package, written from published cells."""

from __future__ import annotations

from importlib import resources
from pathlib import Path

EXAMPLES = {
    "silicon": "Si, diamond structure, Fd-3m, a = 5.431 A",
    "rocksalt": "NaCl, rock-salt structure, Fm-3m, a = 5.6402 A",
    "cscl": "CsCl, Pm-3m, a = 4.123 A",
    "tungsten": "W, body-centred cubic, Im-3m, a = 3.1652 A",
    "corundum": "alpha-Al2O3, R-3c, a = 4.759 A, c = 12.991 A",
}
"""The bundled example structures: name to a one-line description."""


def example_path(name: str) -> Path:
    """Path of a bundled example CIF file.

    Parameters
    ----------
    name : str
        One of `EXAMPLES`: "silicon", "rocksalt", "cscl", "tungsten",
        "corundum".

    Returns
    -------
    pathlib.Path
        The CIF file inside the installed package.

    Raises
    ------
    KeyError
        No example of that name (the message lists them).

    Examples
    --------
    >>> from peakforge_pattern import example_path
    >>> example_path("silicon").name
    'silicon.cif'
    """
    if name not in EXAMPLES:
        raise KeyError(f"no example {name!r}; examples: {', '.join(EXAMPLES)}")
    return Path(str(resources.files(__package__) / "data" / f"{name}.cif"))
