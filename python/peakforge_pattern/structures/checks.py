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
from . import assembly
from .assembly import CloseSites

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


def check_cell_lengths(lengths: Sequence[float]) -> None:
    """Refuse cell edges (Å) no crystal has."""
    for length in lengths:
        if not math.isfinite(length):
            raise InputError(f"cell lengths must be finite numbers, not {length}")
        if not length >= MIN_CELL_LENGTH:
            raise InputError(
                f"a cell length of {length:.4g} A is shorter than any crystal's "
                f"({MIN_CELL_LENGTH:g} A at least; lengths are in angstrom)"
            )
        if length > MAX_CELL_LENGTH:
            raise InputError(f"a cell length of {length:.4g} A is longer than any crystal's")


def cell_problems(lattice: np.ndarray) -> list[str]:
    """Refuse cells no crystal has; warn of flat cells and implausibly long edges."""
    if not np.all(np.abs(lattice) <= MAX_CELL_LENGTH):  # also NaN; keeps the norms from overflowing
        raise InputError(f"lattice vectors must be finite and shorter than {MAX_CELL_LENGTH:g} A")
    # Three vectors: plain floats are quicker than NumPy's linear algebra here.
    rows = [[float(x) for x in row] for row in lattice]
    lengths = [math.sqrt(x * x + y * y + z * z) for x, y, z in rows]
    check_cell_lengths(lengths)
    (a1, a2, a3), (b1, b2, b3), (c1, c2, c3) = ([x / length for x in row] for row, length in zip(rows, lengths))
    relative_volume = abs(a1 * (b2 * c3 - b3 * c2) - a2 * (b1 * c3 - b3 * c1) + a3 * (b1 * c2 - b2 * c1))
    volume_text = f"the cell volume is {100 * relative_volume:.2g} % of a*b*c: its angles make it (nearly) flat"
    if relative_volume < FLAT_CELL_ERROR:
        raise InputError(volume_text)
    warnings = []
    if relative_volume < FLAT_CELL_WARNING:
        warnings.append(volume_text)
    longest = max(lengths)
    if longest > LONG_CELL_LENGTH:
        warnings.append(f"a cell length of {longest:.4g} A is longer than any crystal's")
    return warnings


def listed(items: list[str], limit: int = 4) -> str:
    shown = ", ".join(items[:limit])
    return shown + (f" and {len(items) - limit} more" if len(items) > limit else "")


def displacement_problems(b_factors: np.ndarray, names: Sequence[str], given_as_u: Sequence[bool]) -> list[str]:
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
        warnings.append(
            f"U above {LARGE_U:g} A^2 at {len(from_u)} site(s) ({shown}): were B values given as U? (B = 8 pi^2 U)"
        )
    if from_b:
        shown = listed([f"{names[i]} {b_factors[i]:.3g}" for i in from_b])
        warnings.append(
            f"B above {LARGE_U * EIGHT_PI_SQUARED:.3g} A^2 at {len(from_b)} site(s) "
            f"({shown}): implausibly large displacements"
        )
    return warnings


@dataclass(frozen=True)
class SiteCheck:
    """Which atoms to keep, what to report, and how many clashes remain."""

    keep: np.ndarray
    warnings: tuple[str, ...]
    clashes: int


def repeat_warning(repeats: Sequence[tuple[str, str]]) -> list[str]:
    """The warning for listed sites dropped as repeats: (dropped, the site it repeats) per site."""
    if not repeats:
        return []
    shown = listed([f"{dropped} (= {kept})" for dropped, kept in repeats])
    return [f"{len(repeats)} site(s) repeat another at the same position and were dropped: {shown}"]


def site_check(
    found: CloseSites, names: Sequence[str], earlier_repeats: Sequence[tuple[float, str, str]] = ()
) -> SiteCheck:
    """The close-site check put into words; ``names`` names the listed sites.

    ``earlier_repeats`` are sites the caller dropped before the check, as
    (place among the sites, dropped name, name of the site it repeats); they
    are reported together with the ones the check dropped.
    """
    repeats: list[tuple[float, str, str]] = [
        (float(site), names[site], names[of])
        for site, of in zip(found.repeated_site.tolist(), found.repeated_of.tolist())
    ]
    repeats = sorted([*repeats, *earlier_repeats], key=lambda entry: entry[0])
    warnings = repeat_warning([(dropped, kept) for _, dropped, kept in repeats])
    if found.merged_site.size:
        shown = listed(
            [f"{names[s]} {d:.2f} A" for s, d in zip(found.merged_site.tolist(), found.merged_distance.tolist())]
        )
        warnings.append(f"site(s) lying close to but off a special position, their images merged: {shown}")
    if found.clash_first.size:
        shown = listed(
            [
                f"{names[a]}-{names[b]} {d:.2f} A"
                for a, b, d in zip(
                    found.clash_first.tolist(), found.clash_second.tolist(), found.clash_distance.tolist()
                )
            ]
        )
        warnings.append(
            f"{found.clash_first.size} pair(s) of sites closer than {CLOSE_SITES:g} A with a total "
            f"occupancy above 1: {shown}"
        )
    return SiteCheck(found.keep, tuple(warnings), int(found.merged_site.size + found.clash_first.size))


def check_close_sites(
    lattice: np.ndarray,
    atomic_numbers: np.ndarray,
    frac: np.ndarray,
    occupancies: np.ndarray,
    names: Sequence[str],
    site_of: np.ndarray | None = None,
) -> SiteCheck:
    """Sort out atoms closer than CLOSE_SITES.

    Close atoms whose occupancies add up to at most one share a site (mixed
    or split sites) and are fine.  Otherwise: the same element listed twice
    at the same position is one atom (the later copy is dropped); images of
    one site a little off a special position are merged into one atom; any
    other pair stays and is reported.  ``site_of`` gives, for each atom, the
    listed site it is an image of (default: each atom is its own site) and
    ``names`` names those sites.  Raises InputError when the atoms pile up
    far beyond any real structure.
    """
    found = assembly.check_close_sites(
        lattice, frac, atomic_numbers, occupancies, site_of, same_position=SAME_POSITION, close=CLOSE_SITES
    )
    return site_check(found, names)


def refuse_if_strict(warnings: Sequence[str]) -> None:
    """Raise the first warning as an InputError (for callers who asked to be strict)."""
    if warnings:
        more = f", and {len(warnings) - 1} more warning(s)" if len(warnings) > 1 else ""
        raise InputError(f"{warnings[0]}{more} (warnings are errors in strict mode)")
