"""Trial cells of each crystal system from a few low-angle lines, screened by
how many of the first lines they index.

The search is semi-exhaustive trial and error in Q = 1/d² (Werner, Eriksson
and Westdahl, J. Appl. Cryst. 18 (1985) 367; the zone relations of Ito,
Nature 164 (1949) 755, and de Wolff, Acta Cryst. 10 (1957) 590): a trial
assigns Miller indices to as many low-angle lines as the system has free
parameters, and the parameters follow from one small linear solve.

- cubic: Q₁ = N a*² for N = h² + k² + l²;
- tetragonal and hexagonal (also rhombohedral lattices, in hexagonal axes):
  two lines, two indices from a base of low-index reflections;
- orthorhombic: three lines and three base indices;
- monoclinic: a*², c*² from lines read as h00/00l or their second orders,
  b*² likewise or from a 0kl/hk0 line, and the cross term 2a*c* cos β* from
  one more line read as 101, 201 or 102 (either sign);
- triclinic: the three diagonal terms from three of the lowest lines and
  each cross term from a line read as one of the face diagonals.

Every trial is screened at once (NumPy, thousands at a time): its Q values
for a base of Miller indices fall into a table of bins that holds, per bin,
the bit set of observed lines within tolerance, so the lines a trial
indexes are one gather and one bitwise OR per trial. The best trials per
system go on to the refinement with a zero shift.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable, Iterator

import numpy as np

from .quadratic_forms import FORMS, general_features, volume_of

SCREENED_LINES = 20
"""Lines a trial is screened on (at most 63, one bit each)."""

CHUNK = 4096
"""Trials screened together."""

KEPT_PER_SYSTEM = 60
"""Best distinct trials of each system passed on to the refinement."""


class LineTable:
    """Bins of Q holding, per bin, the bit set of lines whose tolerance covers it."""

    def __init__(self, q: np.ndarray, tolerance_q: np.ndarray) -> None:
        n = min(q.size, SCREENED_LINES)
        self.q, self.lines = q[:n], n
        self.width = float(np.min(tolerance_q[:n])) / 2.0
        self.top = float(q[n - 1] + tolerance_q[n - 1])
        bins = int(self.top / self.width) + 2
        self.table = np.zeros(bins, dtype=np.int64)
        for i in range(n):
            lo = int((q[i] - tolerance_q[i]) / self.width)
            hi = int((q[i] + tolerance_q[i]) / self.width)
            self.table[max(lo, 0) : hi + 1] |= np.int64(1) << i
        self.table[-1] = 0  # where every Q beyond the last line falls

    def indexed(self, q_calc: np.ndarray) -> np.ndarray:
        """Per trial (rows of ``q_calc``), how many of the lines its Q values index."""
        bins = np.minimum(q_calc * (1.0 / self.width), self.table.size - 1).astype(np.int32)
        bins[bins < 0] = self.table.size - 1
        masks = np.bitwise_or.reduce(self.table[bins], axis=1)
        return np.bitwise_count(masks).astype(int)


def _base(system: str, largest: int) -> np.ndarray:
    """Low-index reflections of a system, one per distinct feature vector, lowest indices first."""
    r = range(-largest, largest + 1)
    hkl = np.array([v for v in itertools.product(r, r, r) if any(v)])
    features = FORMS[system].features(hkl)
    _, first = np.unique(np.round(features, 6), axis=0, return_index=True)
    hkl = hkl[np.sort(first)]
    return hkl[np.argsort(np.abs(hkl).sum(axis=1), kind="stable")]


def _screening_indices(system: str) -> np.ndarray:
    """The Miller indices a trial is screened with: enough for the first lines of plausible cells."""
    largest = {"cubic": 12, "tetragonal": 8, "hexagonal": 8, "orthorhombic": 5, "monoclinic": 4, "triclinic": 3}
    return _base(system, largest[system])


def _linear_trials(system: str, q: np.ndarray, lines: int, base_size: int) -> Iterator[np.ndarray]:
    """General parameters from k lines assigned k base reflections, for a k-parameter system."""
    form = FORMS[system]
    k = form.size
    base = _base(system, 3)[:base_size]
    features = form.features(base)
    assignments = np.array(list(itertools.permutations(range(len(base)), k)))
    matrices = features[assignments]  # (assignments, k, k)
    determinant = np.linalg.det(matrices)
    matrices = matrices[np.abs(determinant) > 1e-9]
    inverse = np.linalg.inv(matrices)
    for chosen in itertools.combinations(range(min(lines, q.size)), k):
        parameters = inverse @ q[list(chosen)]
        yield parameters @ form.general


def _cubic_trials(q: np.ndarray) -> Iterator[np.ndarray]:
    sums = sorted({h * h + k * k + l * l for h in range(7) for k in range(7) for l in range(7)} - {0})
    values = np.array([q[i] / n for i in range(min(4, q.size)) for n in sums if n <= 50])
    yield values[:, None] @ FORMS["cubic"].general


def _axial_terms(q: np.ndarray, lines: int) -> np.ndarray:
    """a*² candidates: a low line read as a first or second order."""
    first = q[:lines]
    return np.unique(np.round(np.concatenate([first, first / 4.0]), 12))


def _monoclinic_trials(q: np.ndarray) -> Iterator[np.ndarray]:
    axial = _axial_terms(q, 7)
    cross_lines = q[:10]
    for a, c in itertools.combinations_with_replacement(axial[::-1], 2):  # a ≥ c: a and c can swap
        b_values = np.unique(np.concatenate([axial, q[:7] - a, q[:7] - c]))
        b_values = b_values[b_values > 0.0]
        # The cross term from an h0l line (101, 201, 102, 202) or from an 11l line (111), either sign.
        zone = np.concatenate(
            [(cross_lines - h * h * a - l * l * c) / (h * l) for h, l in ((1, 1), (2, 1), (1, 2), (2, 2))]
        )
        zone = np.broadcast_to(zone, (b_values.size, zone.size))
        general = cross_lines[None, :] - a - c - b_values[:, None]
        e = np.concatenate([zone, general], axis=1)
        e = np.concatenate([e, -e], axis=1)
        b = np.broadcast_to(b_values[:, None], e.shape)
        usable = np.abs(e) < 2.0 * math.sqrt(a * c)  # β* real
        if not np.any(usable):
            continue
        trials = np.zeros((int(np.count_nonzero(usable)), 6))
        trials[:, 0], trials[:, 1], trials[:, 2], trials[:, 4] = a, b[usable], c, e[usable]
        yield trials


def _triclinic_trials(q: np.ndarray) -> Iterator[np.ndarray]:
    lines = q[:9]
    for i, j, k in itertools.combinations(range(min(7, q.size)), 3):
        c, b, a = q[i], q[j], q[k]  # A ≥ B ≥ C: a ≤ b ≤ c, as in a reduced cell
        terms = []
        for first, second in ((b, c), (a, c), (a, b)):
            cross = lines - first - second
            cross = np.concatenate([cross, -cross, [0.0]])
            terms.append(np.unique(cross[np.abs(cross) < 2.0 * math.sqrt(first * second)]))
        d, e, f = np.meshgrid(*terms, indexing="ij")
        trials = np.zeros((d.size, 6))
        trials[:, 0], trials[:, 1], trials[:, 2] = a, b, c
        trials[:, 3], trials[:, 4], trials[:, 5] = d.ravel(), e.ravel(), f.ravel()
        yield trials


def trial_batches(system: str, q: np.ndarray) -> Iterator[np.ndarray]:
    """Batches of trial general parameters (n, 6) for a system, from the observed Q (ascending)."""
    if system == "cubic":
        yield from _cubic_trials(q)
    elif system in ("tetragonal", "hexagonal"):
        yield from _linear_trials(system, q, 6, 40)
    elif system == "orthorhombic":
        yield from _linear_trials(system, q, 6, 22)
    elif system == "monoclinic":
        yield from _monoclinic_trials(q)
    else:
        yield from _triclinic_trials(q)


def screen(
    system: str,
    q: np.ndarray,
    table: LineTable,
    largest_volume: float,
    stop: Callable[[], bool],
) -> list[np.ndarray]:
    """The best distinct trials of a system: most lines indexed, then smallest volume.

    ``stop`` is asked between batches; when it says so, the best found so far are returned.
    """
    hkl_features = general_features(_screening_indices(system)).T
    best: dict[tuple, tuple[int, float, np.ndarray]] = {}
    for batch in trial_batches(system, q):
        for start in range(0, batch.shape[0], CHUNK):
            if stop():
                return _ranked(best)
            trials = batch[start : start + CHUNK]
            volume = volume_of(trials)
            usable = np.isfinite(volume) & (volume <= largest_volume) & (volume > 1.0)
            trials, volume = trials[usable], volume[usable]
            if trials.shape[0] == 0:
                continue
            counts = table.indexed(trials @ hkl_features)
            floor = min((c for c, _, _ in best.values()), default=0) if len(best) >= KEPT_PER_SYSTEM else 0
            rows = np.flatnonzero(counts >= max(floor, 3))
            if rows.size > 2 * KEPT_PER_SYSTEM:
                rows = rows[np.lexsort((volume[rows], -counts[rows]))[: 2 * KEPT_PER_SYSTEM]]
            for row in rows:
                key = tuple(np.round(trials[row] / q[0], 3))
                entry = (int(counts[row]), -float(volume[row]), trials[row])
                if key not in best or entry[:2] > best[key][:2]:
                    best[key] = entry
            if len(best) > 4 * KEPT_PER_SYSTEM:
                best = dict(sorted(best.items(), key=lambda kv: kv[1][:2], reverse=True)[:KEPT_PER_SYSTEM])
    return _ranked(best)


def _ranked(best: dict[tuple, tuple[int, float, np.ndarray]]) -> list[np.ndarray]:
    ordered = sorted(best.values(), key=lambda entry: entry[:2], reverse=True)
    return [trial for _, _, trial in ordered[:KEPT_PER_SYSTEM]]
