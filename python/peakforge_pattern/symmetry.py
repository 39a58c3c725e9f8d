"""Space-group operations as the pattern engine takes them, and anisotropic
displacements carried through the operations that expand a file's sites."""

from __future__ import annotations

import functools
import math

import gemmi
import numpy as np

from .errors import InputError

_TWO_PI_SQUARED = 2.0 * math.pi * math.pi


@functools.lru_cache(maxsize=512)
def operation_arrays(triplets: tuple[str, ...]) -> tuple[np.ndarray, np.ndarray]:
    """Rotations (m×3×3 int32, acting on fractional coordinates) and
    translations (m×3) of x,y,z triplets; parsed once per distinct group."""
    rotations = np.zeros((len(triplets), 3, 3), dtype=np.int32)
    translations = np.zeros((len(triplets), 3))
    for i, triplet in enumerate(triplets):
        try:
            op = gemmi.Op(triplet)
        except (RuntimeError, ValueError) as exc:
            raise InputError(f"bad symmetry operation {triplet!r}: {exc}") from None
        rot = np.array(op.rot, dtype=np.int64)
        if np.any(rot % op.DEN):
            raise InputError(f"symmetry operation {triplet!r} does not map the lattice onto itself")
        rotations[i] = rot // op.DEN
        translations[i] = np.array(op.tran, dtype=float) / op.DEN
    rotations.setflags(write=False)
    translations.setflags(write=False)
    return rotations, translations


def _axis_scale(lattice: np.ndarray) -> np.ndarray:
    """|a*|, |b*|, |c*|: CIF U_ij are components along these axes."""
    return np.linalg.norm(np.linalg.inv(lattice).T, axis=1)


def _tensor(row: np.ndarray) -> np.ndarray:
    u11, u22, u33, u12, u13, u23 = row
    return np.array([[u11, u12, u13], [u12, u22, u23], [u13, u23, u33]])


def _row(tensor: np.ndarray) -> np.ndarray:
    return np.array([tensor[0, 0], tensor[1, 1], tensor[2, 2], tensor[0, 1], tensor[0, 2], tensor[1, 2]])


def rotate_u(u_row: np.ndarray, rotation: np.ndarray, lattice: np.ndarray) -> np.ndarray:
    """U of the image of an atom under a rotation of fractional coordinates.

    Fractional displacements transform as Δx' = R Δx, so their covariance
    C = N U N (N = diag(|a*|, |b*|, |c*|)) becomes R C Rᵀ.
    """
    n = _axis_scale(lattice)
    c = rotation @ (_tensor(u_row) * np.outer(n, n)) @ rotation.T
    return _row(c / np.outer(n, n))


def debye_waller_beta(u_aniso: np.ndarray, lattice: np.ndarray) -> np.ndarray:
    """β (11, 22, 33, 12, 13, 23) with T = exp(-(β11 h² + ... + 2 β23 k l)).

    β_ij = 2π² a*_i a*_j U_ij; NaN rows (isotropic atoms) stay NaN.
    """
    n = _axis_scale(lattice)
    scale = _TWO_PI_SQUARED * np.array([n[0] * n[0], n[1] * n[1], n[2] * n[2],
                                        n[0] * n[1], n[0] * n[2], n[1] * n[2]])
    return np.ascontiguousarray(u_aniso * scale)


def _xyz(site) -> tuple[float, float, float]:
    return (site.fract.x, site.fract.y, site.fract.z)


def expanded_u_aniso(sites: list, expanded: list, operations: list[gemmi.Op],
                     lattice: np.ndarray) -> np.ndarray | None:
    """Anisotropic U of every expanded site, rotated by the operation that made it.

    ``expanded`` is the site list of gemmi's unit-cell expansion of ``sites``:
    each site first, then its images. gemmi copies U unchanged to the
    images; here each image gets R U Rᵀ instead. None when no site is
    anisotropic.
    """
    if not any(site.aniso.nonzero() for site in sites):
        return None
    rotations = [(np.array(op.rot, dtype=float) / op.DEN, np.array(op.tran, dtype=float) / op.DEN)
                 for op in operations]
    out = np.full((len(expanded), 6), np.nan)
    source = -1
    for i, image in enumerate(expanded):
        following = sites[source + 1] if source + 1 < len(sites) else None
        if following is not None and image.label == following.label and _xyz(image) == _xyz(following):
            source += 1
        site = sites[source]
        if not site.aniso.nonzero():
            continue
        u = site.aniso
        row = np.array([u.u11, u.u22, u.u33, u.u12, u.u13, u.u23])
        original = np.array([site.fract.x, site.fract.y, site.fract.z])
        position = np.array([image.fract.x, image.fract.y, image.fract.z])
        for rotation, translation in rotations:
            delta = rotation @ original + translation - position
            if np.all(np.abs(delta - np.round(delta)) < 1e-9):
                out[i] = rotate_u(row, rotation, lattice)
                break
        else:
            out[i] = row  # no operation found: keep the file's tensor
    return out
