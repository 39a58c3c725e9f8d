"""Pairs of atoms closer than a short distance in a periodic cell.

Small cells compare every pair; larger ones go through a cell list in the
engine (src/core/structure/close_pairs.cpp): the atoms are sorted into a
grid of bins at least ``radius`` wide, measured across the lattice planes,
so only the 27 bins around each atom need looking at and the search grows
with the number of atoms, not its square.
"""

from __future__ import annotations

import numpy as np

from . import assembly

MAX_CANDIDATE_PAIRS = 5_000_000
"""Candidate pairs examined at most (the engine's bound); beyond it the
atoms pile up on each other far more than any real structure does."""

# Up to this many pair images (pairs x 27) every pair is compared: cheaper
# than sorting atoms into bins.
_ALL_PAIRS_IMAGES = 1_000_000


def close_pairs(lattice: np.ndarray, frac: np.ndarray, radius: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair i < j of atoms closer than ``radius`` Å, with that distance.

    The distance is the shortest over the periodic images.  Raises
    InputError when the atoms are packed so densely that the pairs cannot
    be listed.
    """
    return assembly.close_pairs(lattice, frac, radius, _ALL_PAIRS_IMAGES)
