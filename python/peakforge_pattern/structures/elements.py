"""Which elements a structure may hold: those the scattering tables cover.

The electron scattering factors (International Tables vol. C, table
4.3.2.2, as gemmi carries them) go up to californium; a structure with a
heavier element could not give a pattern, so it is refused when read.
"""

from __future__ import annotations

LAST_TABULATED_ELEMENT = 98
"""Heaviest element (atomic number) the electron-scattering table covers."""


def is_tabulated(atomic_number: int) -> bool:
    """Whether the scattering tables cover the element.

    Parameters
    ----------
    atomic_number : int
        Atomic number Z.

    Returns
    -------
    bool
        True for 1 ≤ Z ≤ LAST_TABULATED_ELEMENT.
    """
    return 1 <= atomic_number <= LAST_TABULATED_ELEMENT
