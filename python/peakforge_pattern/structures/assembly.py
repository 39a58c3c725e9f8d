"""Structure assembly on the pattern engine: the listed sites expanded by the
space group's operations, images of one site on a special position merged,
close atoms sorted out, the cell's metric checked against the rotations.

The work runs in C++ (src/core/structure) without the interpreter lock; this
module hands it NumPy arrays and gets NumPy arrays back.  The wording of
what it finds is the caller's (checks.py).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..errors import InputError

# A source tree without the built module still imports; assembling a
# structure then says what is missing (_engine is unbound while
# _IMPORT_ERROR is set).
_IMPORT_ERROR: ImportError | None = None
try:
    import peakforge_pattern._engine as _engine
except ImportError as exc:
    _IMPORT_ERROR = exc

OCCUPANCY_SLACK = 0.01
"""Rounding of published occupancies: close atoms whose occupancies add up
to at most 1 + this share a site."""


@dataclass(frozen=True)
class CloseSites:
    """What the close-site check found, by listed site.

    ``keep`` marks the atoms to keep; ``repeated_site`` the sites dropped as
    repeats of the earliest site ``repeated_of`` at the same position;
    ``merged_site`` the sites whose images were merged, the largest distance
    merged being ``merged_distance`` (Å); ``clash_first``, ``clash_second``
    the pairs of sites that clash, ``clash_distance`` their shortest
    distance (Å).
    """

    keep: np.ndarray
    repeated_site: np.ndarray
    repeated_of: np.ndarray
    merged_site: np.ndarray
    merged_distance: np.ndarray
    clash_first: np.ndarray
    clash_second: np.ndarray
    clash_distance: np.ndarray


@dataclass(frozen=True)
class Assembly:
    """Every atom of the cell: positions (fractional, in [0, 1)), the listed
    site and the operation each comes from, and the close-site check."""

    positions: np.ndarray
    site_of: np.ndarray
    operation_of: np.ndarray
    close_sites: CloseSites


def _engine_module():
    if _IMPORT_ERROR is not None:
        raise ImportError(
            "peakforge_pattern._engine is not built; install the package (pip install .) to read structures"
        ) from _IMPORT_ERROR
    return _engine


def _close_sites(raw: dict) -> CloseSites:
    return CloseSites(**{name: raw[name] for name in CloseSites.__dataclass_fields__})


def _refused(exc: ValueError) -> InputError:
    return InputError(str(exc))


def assemble(
    lattice: np.ndarray,
    sites: np.ndarray,
    numbers: np.ndarray,
    occupancies: np.ndarray,
    rotations: np.ndarray,
    translations: np.ndarray,
    *,
    same_position: float,
    close: float,
) -> Assembly:
    """Expand ``sites`` (n×3 fractional) by the operations x' = R x + t
    (``rotations`` m×3×3, ``translations`` m×3, identity first) and check
    the close atoms.

    Images of one site within ``same_position`` Å count once; atoms closer
    than ``close`` Å whose occupancies add up to more than one are sorted
    out as ``CloseSites`` describes.  Raises InputError when the atoms pile
    up far beyond any real structure.
    """
    try:
        raw = _engine_module().assemble_sites(
            np.ascontiguousarray(lattice, dtype=float),
            np.ascontiguousarray(sites, dtype=float),
            np.ascontiguousarray(numbers, dtype=np.int32),
            np.ascontiguousarray(occupancies, dtype=float),
            rotations,
            translations,
            same_position=same_position,
            close=close,
            occupancy_slack=OCCUPANCY_SLACK,
        )
    except ValueError as exc:
        raise _refused(exc) from None
    return Assembly(raw["positions"], raw["site_of"], raw["operation_of"], _close_sites(raw))


def check_close_sites(
    lattice: np.ndarray,
    frac: np.ndarray,
    numbers: np.ndarray,
    occupancies: np.ndarray,
    site_of: np.ndarray | None = None,
    *,
    same_position: float,
    close: float,
) -> CloseSites:
    """The close-site check of atoms whose listed sites ``site_of`` gives
    (default: each atom its own site)."""
    try:
        raw = _engine_module().check_close_sites(
            np.ascontiguousarray(lattice, dtype=float),
            np.ascontiguousarray(frac, dtype=float),
            np.ascontiguousarray(numbers, dtype=np.int32),
            np.ascontiguousarray(occupancies, dtype=float),
            None if site_of is None else np.ascontiguousarray(site_of, dtype=np.int32),
            same_position=same_position,
            close=close,
            occupancy_slack=OCCUPANCY_SLACK,
        )
    except ValueError as exc:
        raise _refused(exc) from None
    return _close_sites(raw)


def close_pairs(
    lattice: np.ndarray, frac: np.ndarray, radius: float, single_bin_pairs: int = 1_000_000
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair i < j of atoms closer than ``radius`` Å over the periodic
    images, with that distance, sorted by (i, j).

    Up to ``single_bin_pairs`` pair images (pairs × 27) every pair is
    compared; beyond, a cell list keeps the search linear in the atoms.
    Raises InputError when the atoms are packed so densely that the pairs
    cannot be listed.
    """
    try:
        return _engine_module().close_pairs(
            np.ascontiguousarray(lattice, dtype=float),
            np.ascontiguousarray(frac, dtype=float),
            float(radius),
            int(single_bin_pairs),
        )
    except ValueError as exc:
        raise _refused(exc) from None


def expand_sites(
    lattice: np.ndarray, sites: np.ndarray, rotations: np.ndarray, translations: np.ndarray, tolerance: float
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Positions, site and operation of every image of every site; images of
    one site within ``tolerance`` Å of an earlier one count once."""
    return _engine_module().expand_sites(
        np.ascontiguousarray(lattice, dtype=float),
        np.ascontiguousarray(sites, dtype=float),
        rotations,
        translations,
        float(tolerance),
    )


def metric_mismatch(lattice: np.ndarray, rotations: np.ndarray) -> float:
    """Largest change of the metric tensor G under the rotations (RᵀGR - G),
    relative to G's largest element."""
    return float(_engine_module().metric_mismatch(np.ascontiguousarray(lattice, dtype=float), rotations))


def image_tensors(
    site_u: np.ndarray, operation_of: np.ndarray, site_of: np.ndarray, rotations: np.ndarray, lattice: np.ndarray
) -> np.ndarray:
    """U of every expanded atom: its site's U (CIF convention) turned by the
    rotation of the operation that put the site there; NaN rows stay.

    Fractional displacements transform as Δx' = R Δx, so their covariance
    C = N U N (N = diag(|a*|, |b*|, |c*|)) becomes R C Rᵀ.
    """
    n = np.linalg.norm(np.linalg.inv(lattice).T, axis=1)
    nn = np.outer(n, n)
    rows = site_u[site_of]
    u11, u22, u33, u12, u13, u23 = rows.T
    tensors = (
        np.stack([np.stack([u11, u12, u13], -1), np.stack([u12, u22, u23], -1), np.stack([u13, u23, u33], -1)], -2) * nn
    )
    r = rotations[operation_of]
    turned = np.einsum("aij,ajk,alk->ail", r, tensors, r) / nn
    return np.stack(
        [turned[:, 0, 0], turned[:, 1, 1], turned[:, 2, 2], turned[:, 0, 1], turned[:, 0, 2], turned[:, 1, 2]], axis=1
    )
