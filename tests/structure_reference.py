"""The structure assembly as it was done in NumPy before it moved into the
engine: the reference that the native assembly must reproduce.

It offers the functions of peakforge_pattern.structures.assembly with the
same arguments and results, so a test can put it in the native module's
place and read the same files both ways.
"""

from __future__ import annotations

import itertools

import numpy as np

from peakforge_pattern.errors import InputError
from peakforge_pattern.structures.assembly import OCCUPANCY_SLACK, Assembly, CloseSites

MAX_CANDIDATE_PAIRS = 5_000_000
_SHIFTS = np.array(list(itertools.product((-1.0, 0.0, 1.0), repeat=3)))
_ALL_PAIRS_IMAGES = 1_000_000


def _bin_counts(lattice, radius, atoms):
    widths = 1.0 / np.linalg.norm(np.linalg.inv(lattice), axis=0)
    bins = np.maximum(1, np.floor(widths / radius)).astype(np.int64)
    while bins.prod() > 8 * atoms + 27:
        bins = np.maximum(1, bins // 2)
    return bins


def _shortest_distances(lattice, wrapped, i, j):
    shifts = _SHIFTS @ lattice
    lengths = np.einsum("si,si->s", shifts, shifts)
    distance = np.empty(len(i))
    block = _ALL_PAIRS_IMAGES // len(_SHIFTS)
    for start in range(0, len(i), block):
        delta = wrapped[j[start : start + block]] - wrapped[i[start : start + block]]
        delta -= np.round(delta)
        cartesian = np.einsum("pi,ij->pj", delta, lattice)
        nearest = np.argmin(2.0 * np.einsum("pi,si->ps", cartesian, shifts) + lengths, axis=1)
        image = cartesian + shifts[nearest]
        distance[start : start + block] = np.sqrt(np.einsum("pi,pi->p", image, image))
    return distance


def close_pairs(lattice, frac, radius, single_bin_pairs=_ALL_PAIRS_IMAGES):
    count = len(frac)
    empty = np.empty(0, dtype=np.int64)
    if count < 2:
        return empty, empty, np.empty(0)
    wrapped = frac - np.floor(frac)
    if count * (count - 1) // 2 * len(_SHIFTS) <= single_bin_pairs:
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
    per_axis = [sorted({d % n for d in (-1, 0, 1)}) for n in bins]
    for offset in itertools.product(*per_axis):
        neighbour = (cell + offset) % bins
        neighbour_flat = (neighbour[:, 0] * bins[1] + neighbour[:, 1]) * bins[2] + neighbour[:, 2]
        per_atom = sizes[neighbour_flat]
        total = int(per_atom.sum())
        examined += total
        if examined > MAX_CANDIDATE_PAIRS:
            raise InputError(
                f"the {count} atoms crowd together too densely to check their distances "
                f"(more than {MAX_CANDIDATE_PAIRS:.0e} pairs within a few angstrom)"
            )
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
    key = i * count + j
    _, unique = np.unique(key, return_index=True)
    return i[unique], j[unique], d[unique]


def expand_sites(lattice, frac, rotations, translations, tolerance):
    count = len(rotations)
    positions, origins, operations = [], [], []
    per_block = max(1, 200_000 // (count**2))
    for start in range(0, len(frac), per_block):
        block = frac[start : start + per_block]
        images = np.einsum("oij,sj->soi", rotations, block) + translations
        images -= np.floor(images)
        images[images >= 1.0] = 0.0
        delta = images[:, :, None, :] - images[:, None, :, :]
        delta -= np.round(delta)
        cartesian = np.einsum("sabi,ij->sabj", delta, lattice)
        distance = np.sqrt(np.einsum("sabj,sabj->sab", cartesian, cartesian))
        first_close = np.argmax(distance < tolerance, axis=2)
        keep = first_close == np.arange(count)
        site_of = np.broadcast_to(np.arange(start, start + len(block))[:, None], keep.shape)
        operation_of = np.broadcast_to(np.arange(count)[None, :], keep.shape)
        positions.append(images[keep])
        origins.append(site_of[keep])
        operations.append(operation_of[keep])
    return np.concatenate(positions), np.concatenate(origins), np.concatenate(operations).astype(np.int32)


def check_close_sites(lattice, frac, numbers, occupancies, site_of=None, *, same_position, close):
    count = len(frac)
    site_of = np.arange(count) if site_of is None else site_of
    keep = np.ones(count, dtype=bool)
    i, j, distance = close_pairs(lattice, frac, close)
    crowded = occupancies[i] + occupancies[j] > 1.0 + OCCUPANCY_SLACK
    repeated: dict[int, int] = {}
    merged: dict[int, float] = {}
    clashing: dict[tuple[int, int], float] = {}
    for a, b, d in zip(i[crowded].tolist(), j[crowded].tolist(), distance[crowded].tolist()):
        site_a, site_b = int(site_of[a]), int(site_of[b])
        if site_a == site_b:
            keep[b] = False
            merged[site_a] = max(d, merged.get(site_a, 0.0))
        elif d < same_position and numbers[a] == numbers[b]:
            first, second = sorted((site_a, site_b))
            keep[max(a, b)] = False
            repeated[second] = min(first, repeated.get(second, first))
        else:
            key = tuple(sorted((site_a, site_b)))
            clashing[key] = min(d, clashing.get(key, np.inf))
    ints = dict(dtype=np.int64)
    return CloseSites(
        keep,
        np.array(sorted(repeated), **ints),
        np.array([repeated[s] for s in sorted(repeated)], **ints),
        np.array(sorted(merged), **ints),
        np.array([merged[s] for s in sorted(merged)]),
        np.array([k[0] for k in sorted(clashing)], **ints),
        np.array([k[1] for k in sorted(clashing)], **ints),
        np.array([clashing[k] for k in sorted(clashing)]),
    )


def assemble(lattice, sites, numbers, occupancies, rotations, translations, *, same_position, close):
    positions, site_of, operation_of = expand_sites(lattice, sites, rotations, translations, same_position)
    found = check_close_sites(
        lattice, positions, numbers[site_of], occupancies[site_of], site_of, same_position=same_position, close=close
    )
    return Assembly(positions, site_of, operation_of, found)


def metric_mismatch(lattice, rotations):
    metric = lattice @ lattice.T
    scale = float(np.max(np.abs(metric)))
    change = np.einsum("oji,jk,okl->oil", rotations, metric, rotations) - metric
    return float(np.max(np.abs(change), initial=0.0)) / scale


def image_tensors(site_u, operation_of, site_of, rotations, lattice):
    n = np.linalg.norm(np.linalg.inv(lattice).T, axis=1)
    out = np.full((len(site_of), 6), np.nan)
    for atom, (site, op) in enumerate(zip(site_of, operation_of)):
        if np.isnan(site_u[site, 0]):
            continue
        u11, u22, u33, u12, u13, u23 = site_u[site]
        c = (
            rotations[op]
            @ (np.array([[u11, u12, u13], [u12, u22, u23], [u13, u23, u33]]) * np.outer(n, n))
            @ rotations[op].T
            / np.outer(n, n)
        )
        out[atom] = [c[0, 0], c[1, 1], c[2, 2], c[0, 1], c[0, 2], c[1, 2]]
    return out
