"""Site symmetry: the operations of a space group that leave a site in place,
and the directions in which the site may move without leaving them.

An operation (R, t) belongs to the site-symmetry group of x when
R x + t = x + n for a lattice vector n. A small move δ keeps every such
operation only if R δ = δ, so the free directions are the null space of the
stacked R − I. They are found with exact integer arithmetic, which keeps
x = y as x = y and 2x, x, z as such: a site on a mirror keeps its fixed
coordinate, one on a three-fold axis moves along it, and one on an inversion
centre does not move at all. The site placed exactly on its special
position is the mean of its images under the site-symmetry group.

The same null space over every operation of the group is the direction in
which the origin itself floats (the polar axis of P6₃mc, all of P1): a
shift of every atom along it changes no intensity, so a refinement fixes
one atom's coordinate there.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction

import gemmi
import numpy as np

AXES = "xyz"


def _integer_rotation(op: gemmi.Op) -> np.ndarray:
    rot = np.array(op.rot, dtype=np.int64)
    return rot // op.DEN


def _seitz(operations: Sequence[gemmi.Op]) -> tuple[np.ndarray, np.ndarray]:
    seitz = np.array([op.float_seitz() for op in operations], dtype=float).reshape(-1, 4, 4)
    return seitz[:, :3, :3], seitz[:, :3, 3]


def free_directions(rotations: Sequence[np.ndarray]) -> tuple[np.ndarray, tuple[int, ...]]:
    """Basis of the vectors δ with R δ = δ for every rotation, and the axis each basis vector leads on.

    The basis is in reduced echelon form with the earliest axes free: each
    column has a 1 on its own axis (x before y before z) and 0 on the other
    columns' axes, so a parameter is the coordinate it is named after
    (x, 2x, z moves as p, 2p, q). Returns a 3×m float matrix and the m axes.
    """
    rows = [[Fraction(int(v)) for v in row] for r in rotations for row in (np.asarray(r) - np.eye(3, dtype=np.int64))]
    # Pivots taken from z towards x leave the earliest coordinates free.
    order = [2, 1, 0]
    pivots: list[int] = []
    matrix = [[row[c] for c in order] for row in rows]
    rank = 0
    for column in range(3):
        found = next((i for i in range(rank, len(matrix)) if matrix[i][column] != 0), None)
        if found is None:
            continue
        matrix[rank], matrix[found] = matrix[found], matrix[rank]
        lead = matrix[rank][column]
        matrix[rank] = [v / lead for v in matrix[rank]]
        for i in range(len(matrix)):
            if i != rank and matrix[i][column] != 0:
                factor = matrix[i][column]
                matrix[i] = [a - factor * b for a, b in zip(matrix[i], matrix[rank])]
        pivots.append(column)
        rank += 1
        if rank == len(matrix):
            break
    free_columns = [c for c in range(3) if c not in pivots]
    basis = np.zeros((3, len(free_columns)))
    for k, free in enumerate(free_columns):
        vector = [Fraction(0)] * 3
        vector[free] = Fraction(1)
        for row, pivot in enumerate(pivots):
            vector[pivot] = -matrix[row][free]
        for position, axis in enumerate(order):
            basis[axis, k] = float(vector[position])
    axes = tuple(order[c] for c in free_columns)
    # Columns in the order x, y, z of the coordinate each one leads on.
    ranking = np.argsort(axes, kind="stable")
    return basis[:, ranking], tuple(axes[i] for i in ranking)


@dataclass(frozen=True)
class SiteSymmetry:
    """A site's symmetry: the operations (indices into the group's list) that
    map it onto itself, its exact special position, and the affine map
    x = position + free @ p of the coordinates it may take."""

    operations: tuple[int, ...]
    position: np.ndarray
    free: np.ndarray
    free_axes: tuple[int, ...]

    @property
    def order(self) -> int:
        return len(self.operations)

    @property
    def parameter_names(self) -> tuple[str, ...]:
        """The coordinate each free parameter stands for: "x", "y" or "z"."""
        return tuple(AXES[axis] for axis in self.free_axes)

    def coordinates(self, parameters: Sequence[float] | np.ndarray) -> np.ndarray:
        """Fractional coordinates for free-parameter values (as many as ``free`` has columns)."""
        return self.position + self.free @ np.asarray(parameters, dtype=float)

    def parameters(self) -> np.ndarray:
        """The free parameters of the special position itself (its leading coordinates)."""
        return self.position[list(self.free_axes)].copy()

    def constrained(self, extra_fixed: Sequence[int]) -> SiteSymmetry:
        """The same site with more coordinate axes held where they are.

        Used to pin a floating origin: the site keeps the free directions
        in which the listed axes do not change.
        """
        if not extra_fixed or self.free.shape[1] == 0:
            return self
        # Solve for the combinations of free columns that leave the fixed axes alone.
        block = self.free[list(extra_fixed), :]
        _, singular, vt = np.linalg.svd(block)
        rank = int(np.sum(singular > 1e-9))
        kernel = vt[rank:].T  # m × (m - rank)
        if kernel.shape[1] == 0:
            return SiteSymmetry(self.operations, self.position, np.zeros((3, 0)), ())
        directions = self.free @ kernel
        # Back to echelon form on the earliest axes, as free_directions gives.
        remaining = [axis for axis in range(3) if np.any(np.abs(directions[axis]) > 1e-9)]
        leads: list[int] = []
        for axis in remaining:
            trial = leads + [axis]
            if np.linalg.matrix_rank(directions[trial, :], tol=1e-9) == len(trial):
                leads = trial
            if len(leads) == directions.shape[1]:
                break
        normalised = directions @ np.linalg.inv(directions[leads, :])
        normalised[np.abs(normalised) < 1e-12] = 0.0
        return SiteSymmetry(self.operations, self.position, normalised, tuple(leads))


def _minimum_image_distance(delta: np.ndarray, lattice: np.ndarray) -> np.ndarray:
    delta = delta - np.round(delta)
    cartesian = delta @ lattice
    return np.sqrt(np.einsum("...i,...i->...", cartesian, cartesian))


def site_symmetry(
    frac: Sequence[float] | np.ndarray, operations: Sequence[gemmi.Op], lattice: np.ndarray, tolerance: float = 0.1
) -> SiteSymmetry:
    """The site-symmetry group of the site at ``frac`` (fractional coordinates)
    under ``operations`` (the space group, centring included, in the
    coordinates of ``frac``), with images closer than ``tolerance`` Å
    counted as the site itself.

    Parameters
    ----------
    frac : array of 3 floats
        The site's fractional coordinates.
    operations : sequence of gemmi.Op
        Every operation of the space group.
    lattice : (3, 3) array
        Cell vectors as rows, Å.
    tolerance : float
        Å within which an image is the site itself.

    Returns
    -------
    SiteSymmetry
        Operations keeping the site, the site on its exact special position
        and its free directions.

    Examples
    --------
    >>> import gemmi, numpy as np
    >>> ops = list(gemmi.find_spacegroup_by_name("R -3 c:H").operations())
    >>> lattice = np.diag([4.76, 4.76, 12.99]); lattice[1] = [-2.38, 4.122, 0]
    >>> site_symmetry([0, 0, 0.352], ops, lattice).parameter_names
    ('z',)
    """
    x = np.asarray(frac, dtype=float)
    rotations, translations = _seitz(operations)
    images = np.einsum("oij,j->oi", rotations, x) + translations
    shifts = np.round(images - x)
    distance = _minimum_image_distance(images - x, lattice)
    keeping = np.flatnonzero(distance < tolerance)
    position = np.mean(images[keeping] - shifts[keeping], axis=0)
    free, axes = free_directions([_integer_rotation(operations[int(k)]) for k in keeping])
    return SiteSymmetry(tuple(int(k) for k in keeping), position, free, axes)


def floating_origin(operations: Sequence[gemmi.Op]) -> tuple[np.ndarray, tuple[int, ...]]:
    """Directions along which the space group leaves the origin free (its polar axes).

    Parameters
    ----------
    operations : sequence of gemmi.Op
        Every operation of the group.

    Returns
    -------
    (ndarray, tuple of int)
        A 3×f basis and the axis each column leads on; f = 0 for a group
        whose origin is fixed (any group with an inversion centre, for one).

    Examples
    --------
    >>> import gemmi
    >>> floating_origin(list(gemmi.find_spacegroup_by_name("P 63 m c").operations()))[1]
    (2,)
    """
    return free_directions([_integer_rotation(op) for op in operations])


def coset_representatives(site: SiteSymmetry, operations: Sequence[gemmi.Op]) -> tuple[int, ...]:
    """One operation per distinct image of the site: the first that gives each image."""
    rotations, translations = _seitz(operations)
    images = np.einsum("oij,j->oi", rotations, site.position) + translations
    delta = images[:, None, :] - images[None, :, :]
    same = np.all(np.abs(delta - np.round(delta)) < 1e-6, axis=2)
    first = np.argmax(same, axis=1)
    return tuple(int(k) for k in np.flatnonzero(first == np.arange(len(images))))
