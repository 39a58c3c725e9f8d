"""The Miller-index families of a pattern's peaks, kept as arrays.

The engine hands them over as one table of indices and a table of offsets;
Python lists of tuples are built only when someone asks for them (text
output, ``Pattern.families``), so a pattern of thousands of peaks costs no
Python object per peak until then.
"""

from __future__ import annotations

import functools
import itertools
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, eq=False)
class PeakFamilies:
    """Families of every peak: peak i holds rows ``offsets[i]`` to
    ``offsets[i + 1] - 1`` of ``hkl`` (m×3, or m×4 for (h k i l) labels),
    largest multiplicity first, with ``multiplicity`` reflections each."""

    hkl: np.ndarray
    multiplicity: np.ndarray
    offsets: np.ndarray

    @classmethod
    def from_lists(
        cls, families: Sequence[Sequence[Sequence[int]]], multiplicities: Sequence[Sequence[int]]
    ) -> PeakFamilies:
        """Families and multiplicities given per peak as lists.

        Parameters
        ----------
        families : sequence of sequences of index tuples
            The families of each peak, (h, k, l) or (h, k, i, l).
        multiplicities : sequence of sequences of int
            How many reflections of each family the peak holds.

        Returns
        -------
        PeakFamilies
        """
        counts = [len(peak) for peak in families]
        width = next((len(hkl) for peak in families for hkl in peak), 3)
        rows = [hkl for peak in families for hkl in peak]
        hkl = np.array(rows, dtype=np.int64).reshape(-1, width)
        multiplicity = np.array([m for peak in multiplicities for m in peak], dtype=np.int64)
        return cls(hkl, multiplicity, np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]))

    def __len__(self) -> int:
        return int(self.offsets.size - 1)

    def four_index(self) -> PeakFamilies:
        """The same families as (h k i l), i = -(h + k)."""
        h, k, l = self.hkl.T
        return PeakFamilies(np.column_stack([h, k, -(h + k), l]), self.multiplicity, self.offsets)

    def first(self) -> np.ndarray:
        """The first (h k l) of each peak (peaks×3; the i of (h k i l) left out)."""
        rows = self.hkl[self.offsets[:-1]] if len(self) else self.hkl[:0]
        return rows[:, [0, 1, 3]] if rows.shape[1] == 4 else rows

    @functools.cached_property
    def _lists(self) -> tuple[list[list[tuple[int, ...]]], list[list[int]]]:
        rows = list(map(tuple, self.hkl.tolist()))
        counts = self.multiplicity.tolist()
        bounds = self.offsets.tolist()
        spans = list(itertools.pairwise(bounds))
        return [rows[a:b] for a, b in spans], [counts[a:b] for a, b in spans]

    @property
    def families(self) -> list[list[tuple[int, ...]]]:
        """Per peak, its families as index tuples (built on first use)."""
        return self._lists[0]

    @property
    def multiplicities(self) -> list[list[int]]:
        """Per peak, the multiplicity of each family (built on first use)."""
        return self._lists[1]
