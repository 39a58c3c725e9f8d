"""Pairs of atoms closer than a short distance in a periodic cell.

Small cells compare every pair at once. Larger ones sort the atoms into a
grid of bins at least ``radius`` wide (measured across the lattice planes),
so only the 27 bins around each atom need looking at and the search grows
with the number of atoms, not its square.
"""

from __future__ import annotations

import itertools

import numpy as np

from ..errors import InputError

# Candidate pairs examined at most; beyond it the atoms pile up on each
# other far more than any real structure does.
MAX_CANDIDATE_PAIRS = 5_000_000

_SHIFTS = np.array(list(itertools.product((-1.0, 0.0, 1.0), repeat=3)))

# Up to this many pair images (pairs x 27) every pair is compared in a few
# whole-array operations: cheaper than the bins' many small ones.
_ALL_PAIRS_IMAGES = 1_000_000


def _bin_counts(lattice: np.ndarray, radius: float, atoms: int) -> np.ndarray:
    widths = 1.0 / np.linalg.norm(np.linalg.inv(lattice), axis=0)  # spacing of the lattice planes
    bins = np.maximum(1, np.floor(widths / radius)).astype(np.int64)
    while bins.prod() > 8 * atoms + 27:  # no more bins than the atoms can fill
        bins = np.maximum(1, bins // 2)
    return bins


def _shortest_distances(lattice: np.ndarray, wrapped: np.ndarray, i: np.ndarray,
                        j: np.ndarray) -> np.ndarray:
    """Distance from atom i to the nearest periodic image of atom j, per pair.

    The shortest image is the rounded difference or one of its 26
    neighbours (needed in strongly oblique cells). The nearest is picked
    by |d + s|² - |d|² = s·(2d + s), one matrix product for all 27 shifts,
    and its distance then computed directly, free of that form's
    cancellation.
    """
    shifts = _SHIFTS @ lattice
    lengths = np.einsum("si,si->s", shifts, shifts)
    distance = np.empty(len(i))
    block = _ALL_PAIRS_IMAGES // len(_SHIFTS)  # bounds the temporary arrays
    for start in range(0, len(i), block):
        delta = wrapped[j[start:start + block]] - wrapped[i[start:start + block]]
        delta -= np.round(delta)
        # einsum rather than @: these thin products are quicker without the
        # BLAS thread pool, whose threads would only spin.
        cartesian = np.einsum("pi,ij->pj", delta, lattice)
        nearest = np.argmin(2.0 * np.einsum("pi,si->ps", cartesian, shifts) + lengths, axis=1)
        image = cartesian + shifts[nearest]
        distance[start:start + block] = np.sqrt(np.einsum("pi,pi->p", image, image))
    return distance


def _neighbour_offsets(bins: np.ndarray) -> list[tuple[int, int, int]]:
    per_axis = [sorted({d % n for d in (-1, 0, 1)}) for n in bins]
    return list(itertools.product(*per_axis))


def close_pairs(lattice: np.ndarray, frac: np.ndarray, radius: float
                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair i < j of atoms closer than ``radius`` Å, with that distance.

    The distance is the shortest over the periodic images.  Raises
    InputError when the atoms are packed so densely that the pairs cannot
    be listed.
    """
    count = len(frac)
    empty = np.empty(0, dtype=np.int64)
    if count < 2:
        return empty, empty, np.empty(0)
    wrapped = frac - np.floor(frac)
    if count * (count - 1) // 2 * len(_SHIFTS) <= _ALL_PAIRS_IMAGES:
        i, j = np.triu_indices(count, 1)
        distance = _shortest_distances(lattice, wrapped, i, j)
        near = distance < radius
        return i[near], j[near], distance[near]
    bins = _bin_counts(lattice, radius, count)
    cell = np.minimum((wrapped * bins).astype(np.int64), bins - 1)
    flat = (cell[:, 0] * bins[1] + cell[:, 1]) * bins[2] + cell[:, 2]
    order = np.argsort(flat, kind="stable")
    starts = np.searchsorted(flat[order], np.arange(bins.prod() + 1))
    sizes = np.diff(starts)

    firsts, seconds, distances = [], [], []
    examined = 0
    for offset in _neighbour_offsets(bins):
        neighbour = (cell + offset) % bins
        neighbour_flat = (neighbour[:, 0] * bins[1] + neighbour[:, 1]) * bins[2] + neighbour[:, 2]
        per_atom = sizes[neighbour_flat]
        total = int(per_atom.sum())
        examined += total
        if examined > MAX_CANDIDATE_PAIRS:
            raise InputError(f"the {count} atoms crowd together too densely to check their distances "
                             f"(more than {MAX_CANDIDATE_PAIRS:.0e} pairs within a few angstrom)")
        i = np.repeat(np.arange(count), per_atom)
        within = np.arange(total) - np.repeat(np.cumsum(per_atom) - per_atom, per_atom)
        j = order[np.repeat(starts[neighbour_flat], per_atom) + within]
        forward = i < j
        i, j = i[forward], j[forward]
        distance = _shortest_distances(lattice, wrapped, i, j)
        near = distance < radius
        firsts.append(i[near])
        seconds.append(j[near])
        distances.append(distance[near])
    i, j, d = np.concatenate(firsts), np.concatenate(seconds), np.concatenate(distances)
    # A pair can turn up under more than one offset when an axis has fewer than three bins.
    key = i * count + j
    _, unique = np.unique(key, return_index=True)
    return i[unique], j[unique], d[unique]
