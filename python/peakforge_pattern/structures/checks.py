"""Plausibility checks of a structure: the cell, displacements, close sites.

Each check raises InputError for what cannot give a meaningful pattern and
returns one-line warnings for what is merely implausible, so that the caller
can report them (or refuse them when asked to be strict).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ..errors import InputError
from .neighbours import close_pairs

MIN_CELL_LENGTH = 1.0
"""Shortest cell edge accepted, Å: no crystal has a shorter repeat."""

LONG_CELL_LENGTH = 1000.0
"""Cell edges beyond this (Å) are reported as implausible."""

MAX_CELL_LENGTH = 1e6
"""Cell edges beyond this (Å) are refused: no structure file means them."""

FLAT_CELL_ERROR = 0.01
FLAT_CELL_WARNING = 0.1
"""Volume over a·b·c below which a cell is refused or reported: the angles
make it (nearly) flat.  Real cells, even elongated rhombohedral ones, stay
above 0.14."""

LARGE_U = 0.2
"""Isotropic U (Å²) above which a displacement is implausible at any
temperature; typical values are 0.005–0.05, so larger ones are usually B
values written where U belongs (B = 8π²U)."""

EIGHT_PI_SQUARED = 8.0 * math.pi * math.pi

CLOSE_SITES = 0.5
"""Atoms closer than this (Å) cannot both be present: their occupancies
must add up to at most one (a mixed or split site)."""

SAME_POSITION = 0.1
"""Images or sites closer than this (Å) sit on the same position: a site on
a special position, or one listed twice."""

_OCCUPANCY_SLACK = 0.01  # rounding of published occupancies


def check_cell_lengths(lengths: Sequence[float]) -> None:
    """Refuse cell edges (Å) no crystal has."""
    for length in lengths:
        if not math.isfinite(length):
            raise InputError(f"cell lengths must be finite numbers, not {length}")
        if not length >= MIN_CELL_LENGTH:
            raise InputError(f"a cell length of {length:.4g} A is shorter than any crystal's "
                             f"({MIN_CELL_LENGTH:g} A at least; lengths are in angstrom)")
        if length > MAX_CELL_LENGTH:
            raise InputError(f"a cell length of {length:.4g} A is longer than any crystal's")


def cell_problems(lattice: np.ndarray) -> list[str]:
    """Refuse cells no crystal has; warn of flat cells and implausibly long edges."""
    if not np.all(np.abs(lattice) <= MAX_CELL_LENGTH):  # also NaN; keeps the norms from overflowing
        raise InputError("lattice vectors must be finite and shorter than "
                         f"{MAX_CELL_LENGTH:g} A")
    lengths = np.linalg.norm(lattice, axis=1)
    check_cell_lengths(lengths.tolist())
    relative_volume = abs(float(np.linalg.det(lattice / lengths[:, None])))
    volume_text = (f"the cell volume is {100 * relative_volume:.2g} % of a*b*c: "
                   "its angles make it (nearly) flat")
    if relative_volume < FLAT_CELL_ERROR:
        raise InputError(volume_text)
    warnings = []
    if relative_volume < FLAT_CELL_WARNING:
        warnings.append(volume_text)
    longest = float(lengths.max())
    if longest > LONG_CELL_LENGTH:
        warnings.append(f"a cell length of {longest:.4g} A is longer than any crystal's")
    return warnings


def listed(items: list[str], limit: int = 4) -> str:
    shown = ", ".join(items[:limit])
    return shown + (f" and {len(items) - limit} more" if len(items) > limit else "")


def displacement_problems(b_factors: np.ndarray, names: Sequence[str],
                          given_as_u: Sequence[bool]) -> list[str]:
    """Refuse negative displacements; warn of implausibly large ones.

    ``names`` labels each entry; ``given_as_u`` says whether the file gave
    U (so that a large value suggests B written as U).
    """
    u = np.asarray(b_factors, dtype=float) / EIGHT_PI_SQUARED
    negative = np.flatnonzero(u < 0.0)
    if negative.size:
        i = int(negative[0])
        raise InputError(f"negative displacement at {names[i]} (U = {u[i]:.4g} A^2, B = {b_factors[i]:.4g} A^2)")
    large: list[int] = np.flatnonzero(u > LARGE_U).tolist()
    if not large:
        return []
    from_u = [i for i in large if given_as_u[i]]
    from_b = [i for i in large if not given_as_u[i]]
    warnings = []
    if from_u:
        shown = listed([f"{names[i]} {u[i]:.3g}" for i in from_u])
        warnings.append(f"U above {LARGE_U:g} A^2 at {len(from_u)} site(s) ({shown}): "
                        "were B values given as U? (B = 8 pi^2 U)")
    if from_b:
        shown = listed([f"{names[i]} {b_factors[i]:.3g}" for i in from_b])
        warnings.append(f"B above {LARGE_U * EIGHT_PI_SQUARED:.3g} A^2 at {len(from_b)} site(s) "
                        f"({shown}): implausibly large displacements")
    return warnings


@dataclass(frozen=True)
class SiteCheck:
    """Which atoms to keep, what to report, and how many clashes remain."""

    keep: np.ndarray
    warnings: tuple[str, ...]
    clashes: int


def check_close_sites(lattice: np.ndarray, atomic_numbers: np.ndarray, frac: np.ndarray,
                      occupancies: np.ndarray, names: Sequence[str],
                      site_of: np.ndarray | None = None) -> SiteCheck:
    """Sort out atoms closer than CLOSE_SITES.

    Close atoms whose occupancies add up to at most one share a site (mixed
    or split sites) and are fine.  Otherwise: the same element listed twice
    at the same position is one atom (the later copy is dropped); images of
    one site a little off a special position are merged into one atom; any
    other pair stays and is reported.  ``site_of`` gives, for each atom, the
    listed site it is an image of (default: each atom is its own site) and
    ``names`` names those sites.
    """
    count = len(frac)
    site_of = np.arange(count) if site_of is None else site_of
    keep = np.ones(count, dtype=bool)
    i, j, distance = close_pairs(lattice, frac, CLOSE_SITES)
    crowded = occupancies[i] + occupancies[j] > 1.0 + _OCCUPANCY_SLACK
    i, j, distance = i[crowded], j[crowded], distance[crowded]

    repeated: dict[tuple[int, int], float] = {}
    off_special: dict[int, float] = {}
    clashing: dict[tuple[int, int], float] = {}
    for a, b, d in zip(i.tolist(), j.tolist(), distance.tolist()):
        site_a, site_b = int(site_of[a]), int(site_of[b])
        if site_a == site_b:
            keep[b] = False
            off_special[site_a] = max(d, off_special.get(site_a, 0.0))
        elif d < SAME_POSITION and atomic_numbers[a] == atomic_numbers[b]:
            first, second = sorted((site_a, site_b))
            keep[max(a, b)] = False
            repeated[(first, second)] = d
        else:
            low, high = sorted((site_a, site_b))
            clashing[(low, high)] = min(d, clashing.get((low, high), math.inf))

    warnings = []
    if repeated:
        dropped = sorted({second for _, second in repeated})
        shown = listed([f"{names[second]} (= {names[first]})" for first, second in sorted(repeated, key=lambda p: p[1])])
        warnings.append(f"{len(dropped)} site(s) repeat another at the same position and were dropped: {shown}")
    if off_special:
        shown = listed([f"{names[s]} {d:.2f} A" for s, d in sorted(off_special.items())])
        warnings.append(f"site(s) lying close to but off a special position, their images merged: {shown}")
    if clashing:
        shown = listed([f"{names[a]}-{names[b]} {d:.2f} A" for (a, b), d in sorted(clashing.items())])
        warnings.append(f"{len(clashing)} pair(s) of sites closer than {CLOSE_SITES:g} A with a total "
                        f"occupancy above 1: {shown}")
    return SiteCheck(keep, tuple(warnings), len(off_special) + len(clashing))


def refuse_if_strict(warnings: Sequence[str]) -> None:
    """Raise the first warning as an InputError (for callers who asked to be strict)."""
    if warnings:
        more = f", and {len(warnings) - 1} more warning(s)" if len(warnings) > 1 else ""
        raise InputError(f"{warnings[0]}{more} (warnings are errors in strict mode)")
