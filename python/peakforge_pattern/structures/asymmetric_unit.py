"""The sites a structure file lists, kept beside the expanded cell so that a
refinement can move them and expand them again.

Each site knows its site-symmetry group and the one operation per image
that puts it at each of its images; re-expanding new coordinates applies
the same operations, so a site on a special position keeps its number of
images as long as it moves along its free directions.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from dataclasses import dataclass

import gemmi
import numpy as np

from . import displacements
from .site_symmetry import SiteSymmetry, coset_representatives, site_symmetry


@functools.lru_cache(maxsize=256)
def seitz_matrices(triplets: tuple[str, ...]) -> np.ndarray:
    """Seitz matrices (m×4×4) of coordinate triplets, parsed once per group."""
    matrices = np.array([gemmi.Op(t).float_seitz() for t in triplets], dtype=float).reshape(-1, 4, 4)
    matrices.setflags(write=False)
    return matrices


@dataclass(frozen=True, eq=False)
class ListedSites:
    """The sites as a file lists them and the operations that expanded them,
    kept by the reader so that the asymmetric unit can be worked out when a
    refinement asks for it (``image_counts``: the images each site kept in
    the cell; ``operations`` as coordinate triplets)."""

    labels: tuple[str, ...]
    atomic_numbers: np.ndarray
    frac_coords: np.ndarray
    occupancies: np.ndarray
    b_factors: np.ndarray
    operations: tuple[str, ...]
    image_counts: np.ndarray
    u_sites: np.ndarray | None = None

    def asymmetric_unit(self, lattice: np.ndarray) -> AsymmetricUnit:
        return AsymmetricUnit.from_sites(
            self.labels,
            self.atomic_numbers,
            self.frac_coords,
            self.occupancies,
            self.b_factors,
            self.operations,
            lattice,
            image_counts=self.image_counts,
            u_sites=self.u_sites,
        )


@dataclass(frozen=True, eq=False)
class AsymmetricUnit:
    """The listed sites of a structure and how they fill the cell.

    ``frac_coords`` are the sites on their exact special positions;
    ``images[s]`` are the indices into ``operations`` (coordinate triplets)
    that give site s's distinct images; ``u_sites`` (or None) the anisotropic U of each site in
    CIF order (a NaN row for an isotropic site).
    """

    labels: tuple[str, ...]
    atomic_numbers: np.ndarray
    frac_coords: np.ndarray
    occupancies: np.ndarray
    b_factors: np.ndarray
    operations: tuple[str, ...]
    symmetry: tuple[SiteSymmetry, ...]
    images: tuple[tuple[int, ...], ...]
    u_sites: np.ndarray | None = None

    @classmethod
    def from_sites(
        cls,
        labels: Sequence[str],
        atomic_numbers: Sequence[int] | np.ndarray,
        frac_coords: np.ndarray,
        occupancies: Sequence[float] | np.ndarray,
        b_factors: Sequence[float] | np.ndarray,
        operations: Sequence[str],
        lattice: np.ndarray,
        *,
        image_counts: Sequence[int] | np.ndarray | None = None,
        u_sites: np.ndarray | None = None,
        tolerance: float = 0.1,
    ) -> AsymmetricUnit:
        """The sites with their symmetry under ``operations``.

        ``image_counts`` (per site, from the reader's expansion) settles the
        site symmetry of a site written a little off its special position:
        its images were merged there, so its group is widened until it has
        that many images. A site with no image left (a repeat the reader
        dropped) is left out.
        """
        ops = tuple(gemmi.Op(t) for t in operations)
        coords = np.asarray(frac_coords, dtype=float).reshape(-1, 3)
        kept, symmetry, images = [], [], []
        for s, x in enumerate(coords):
            wanted = None if image_counts is None else int(image_counts[s])
            if wanted == 0:
                continue
            site, reach = site_symmetry(x, ops, lattice, tolerance), tolerance
            while wanted is not None and len(ops) // site.order > wanted and reach < 1.0:
                reach *= 1.5
                site = site_symmetry(x, ops, lattice, reach)
            kept.append(s)
            symmetry.append(site)
            images.append(coset_representatives(site, ops))
        index = np.array(kept, dtype=int)
        return cls(
            tuple(labels[s] for s in kept),
            np.asarray(atomic_numbers, dtype=np.int64)[index],
            np.array([site.position for site in symmetry]).reshape(-1, 3),
            np.asarray(occupancies, dtype=float)[index],
            np.asarray(b_factors, dtype=float)[index],
            tuple(op.triplet() for op in ops),
            tuple(symmetry),
            tuple(images),
            None if u_sites is None else u_sites[index],
        )

    def __len__(self) -> int:
        return len(self.labels)

    @property
    def seitz(self) -> np.ndarray:
        """The operations as 4×4 Seitz matrices on fractional coordinates."""
        return seitz_matrices(self.operations)

    @property
    def multiplicities(self) -> np.ndarray:
        """Images of each site in the cell."""
        return np.array([len(i) for i in self.images], dtype=int)

    @property
    def image_operations(self) -> np.ndarray:
        """For each atom of the expanded cell, the index of the operation that made it (x_atom = R x_site + t)."""
        if not len(self):
            return np.zeros(0, dtype=int)
        return np.concatenate([np.array(i, dtype=int) for i in self.images])

    @property
    def site_of(self) -> np.ndarray:
        """For each atom of the expanded cell, the site it is an image of."""
        return np.repeat(np.arange(len(self)), self.multiplicities)

    def expand(
        self,
        frac_coords: np.ndarray | None = None,
        occupancies: np.ndarray | None = None,
        b_factors: np.ndarray | None = None,
        lattice: np.ndarray | None = None,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray | None]:
        """Every atom of the cell for these site values (default: the sites' own).

        Parameters
        ----------
        frac_coords : (sites, 3) array, optional
            The sites' coordinates; moved only along their free directions,
            each keeps its number of images.
        occupancies, b_factors : (sites,) arrays, optional
        lattice : (3, 3) array, optional
            Cell vectors as rows (Å), needed to turn anisotropic U with each image.

        Returns
        -------
        tuple
            Atomic numbers, fractional coordinates (wrapped into the cell),
            occupancies, B and the anisotropic U of each atom (None when no
            site has one or no ``lattice`` is given), site by site.
        """
        coords = self.frac_coords if frac_coords is None else np.asarray(frac_coords, dtype=float)
        occ = self.occupancies if occupancies is None else np.asarray(occupancies, dtype=float)
        b = self.b_factors if b_factors is None else np.asarray(b_factors, dtype=float)
        seitz = self.seitz
        site_of = self.site_of
        chosen = self.image_operations
        positions = np.einsum("aij,aj->ai", seitz[chosen, :3, :3], coords[site_of]) + seitz[chosen, :3, 3]
        positions -= np.floor(positions)
        positions[positions >= 1.0] = 0.0
        u_aniso = None
        if self.u_sites is not None and lattice is not None:
            u_aniso = np.full((len(site_of), 6), np.nan)
            for atom, (site, op) in enumerate(zip(site_of, chosen)):
                if not np.isnan(self.u_sites[site, 0]):
                    u_aniso[atom] = displacements.rotate_u(self.u_sites[site], seitz[op, :3, :3], lattice)
        return self.atomic_numbers[site_of], positions, occ[site_of], b[site_of], u_aniso
