"""How well each library entry's peaks explain a scan's, for many entries at once.

An entry is a list of spacings d with weights |F|²·multiplicity (before the
Lorentz–polarisation factor), so one library serves a scan at any
wavelength: each peak is placed at the scan's first emission line and
weighted with the scan's Lorentz–polarisation factor. A uniform cell strain
s (|s| ≤ 2 %) scales every d by 1 + s, a zero shift z moves every 2θ.

Scoring runs in two passes over flat arrays (every peak of every entry of a
chunk in one array, the entry of each peak beside it), never a loop over
entries:

1. Screening. Strain is a shift t = ln(1 + s) of ln d. Every pair of a
   calculated and an observed peak closer than 2 % in d votes with the
   calculated peak's weight for the strains within its positional
   tolerance (wider by the largest zero shift); the votes of an entry,
   summed per strain bin, give the share of its intensity that some strain
   explains. Entries below ``SCREEN_COVERAGE`` stop here.
2. Scoring. Around each survivor's best strain, a small grid of strains and
   zero shifts places every peak exactly; a peak is matched when an
   observed peak lies within the tolerance. With the entry's scale (the
   weighted geometric mean of observed over calculated intensity of its
   matched peaks) the figure of merit combines
   - coverage: the share of the entry's scaled intensity the observed peaks
     hold (a missing strong peak, or a strong peak on a weak one, costs);
   - explained: the share of the observed intensity the entry accounts for;
   - position: one minus the mean squared offset over the tolerance.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..diffraction.engine_route import lorentz_polarisation

MAX_STRAIN = 0.02
"""Largest uniform cell strain allowed, relative."""

MAX_ZERO_SHIFT = 0.15
"""Largest zero shift tried, degrees 2θ."""

SCREEN_COVERAGE = 0.5
"""Share of an entry's intensity the screening must find explained for it to be scored."""

WEAKEST_PEAK = 0.01
"""Peaks weaker than this fraction of their entry's strongest (in the scan's range) are left out."""

_STRAIN_BINS = 81
_FINE_STRAINS = 9
_ZERO_SHIFTS = 7
_BLOCK = 4_000_000  # peak × trial evaluations held at once in the scoring pass


@dataclass(frozen=True, eq=False)
class ScanTarget:
    """The observed peaks a library is scored against, and how to place calculated peaks.

    ``two_theta`` (increasing) and ``intensity`` (summing to 1) of the
    observed peaks, ``tolerance`` the largest offset of a matched peak
    (degrees), ``wavelength`` the first emission line (Å) and
    ``doublet_shift`` how far (in units of the Kα1–Kα2 separation) an
    unresolved doublet's top sits from the Kα1 position, with the width
    ``fwhm`` beyond which the doublet counts as resolved.
    ``explained`` is the observed intensity an entry is asked to explain
    (the whole intensity, or what earlier phases left).
    """

    two_theta: np.ndarray
    intensity: np.ndarray
    explained: np.ndarray
    tolerance: float
    wavelength: float
    second_wavelength: float | None
    doublet_shift: float
    fwhm: float
    monochromator_angle: float
    neutron: bool
    d_range: tuple[float, float]

    @classmethod
    def build(
        cls,
        two_theta: np.ndarray,
        intensity: np.ndarray,
        *,
        tolerance: float,
        lines: list[tuple[float, float]],
        fwhm: float,
        monochromator_angle: float = 0.0,
        neutron: bool = False,
        library_d_range: tuple[float, float] = (0.0, math.inf),
        scan_range: tuple[float, float] | None = None,
    ) -> ScanTarget:
        """Observed peaks restricted to the spacings both the scan and the library cover."""
        x = np.asarray(two_theta, dtype=float)
        lam = lines[0][0]
        lo, hi = scan_range if scan_range is not None else (float(x.min(initial=1.0)), float(x.max(initial=179.0)))
        d_scan = (lam / (2.0 * math.sin(math.radians(hi) / 2.0)), lam / (2.0 * math.sin(math.radians(lo) / 2.0)))
        d_lo = max(d_scan[0], library_d_range[0] * (1.0 + MAX_STRAIN))
        d_hi = min(d_scan[1], library_d_range[1] * (1.0 - MAX_STRAIN))
        d = lam / (2.0 * np.sin(np.radians(x) / 2.0))
        keep = (d >= d_lo) & (d <= d_hi)
        y = np.asarray(intensity, dtype=float)[keep]
        total = float(y.sum())
        y = y / total if total > 0.0 else y
        second = lines[1][0] if len(lines) > 1 else None
        ratio = lines[1][1] / lines[0][1] if len(lines) > 1 else 0.0
        return cls(
            x[keep],
            y,
            y,
            float(tolerance),
            lam,
            second,
            ratio / (1.0 + ratio),
            float(fwhm),
            float(monochromator_angle),
            neutron,
            (d_lo, d_hi),
        )

    def with_explained(self, remaining: np.ndarray) -> ScanTarget:
        """The same peaks, an entry now asked to explain ``remaining`` of each."""
        remaining = np.clip(np.asarray(remaining, dtype=float), 0.0, None)
        total = float(remaining.sum())
        return ScanTarget(
            self.two_theta,
            self.intensity,
            remaining / total if total > 0.0 else remaining,
            self.tolerance,
            self.wavelength,
            self.second_wavelength,
            self.doublet_shift,
            self.fwhm,
            self.monochromator_angle,
            self.neutron,
            self.d_range,
        )

    def first_line_angle(self, d: np.ndarray) -> np.ndarray:
        """2θ (degrees) of spacing d at the first emission line (NaN beyond 180°)."""
        sine = self.wavelength / (2.0 * d)
        return 2.0 * np.degrees(np.arcsin(np.where(sine < 1.0, sine, np.nan)))

    def place(self, d: np.ndarray) -> np.ndarray:
        """2θ (degrees) where the scan shows a peak of spacing d (NaN beyond 180°), before any zero shift.

        With a Kα doublet narrower than the peaks, the top sits between the
        two lines; the separation is taken to first order, 2 tanθ Δλ/λ,
        which is exact enough where it matters (the doublet unresolved).
        """
        sine = self.wavelength / (2.0 * d)
        sine = np.where(sine < 1.0, sine, np.nan)
        two_theta = 2.0 * np.degrees(np.arcsin(sine))
        if self.second_wavelength is None:
            return two_theta
        relative = (self.second_wavelength - self.wavelength) / self.wavelength
        separation = np.degrees(2.0 * relative * sine / np.sqrt(1.0 - sine * sine))
        unresolved = np.clip(1.0 - separation / self.fwhm, 0.0, 1.0)
        return two_theta + separation * self.doublet_shift * unresolved

    def lorentz_polarisation(self, sine: np.ndarray) -> np.ndarray:
        """The scan's Lorentz–polarisation factor at sinθ (of the first line)."""
        return lorentz_polarisation(
            2.0 * np.degrees(np.arcsin(sine)), "neutron" if self.neutron else "xray", self.monochromator_angle
        )


@dataclass(frozen=True, eq=False)
class EntryPeaks:
    """Peaks of a run of library entries as flat arrays: entry ``i`` owns
    ``d[offsets[i]:offsets[i + 1]]`` and the same slice of ``weight``."""

    offsets: np.ndarray
    d: np.ndarray
    weight: np.ndarray

    def __len__(self) -> int:
        return int(self.offsets.size - 1)

    def owners(self) -> np.ndarray:
        return np.repeat(np.arange(len(self)), np.diff(self.offsets))

    def take(self, rows: np.ndarray) -> EntryPeaks:
        """The entries ``rows`` (in that order), as a new flat run."""
        rows = np.asarray(rows, dtype=np.int64)
        counts = self.offsets[rows + 1] - self.offsets[rows]
        offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        index = np.repeat(self.offsets[rows] - offsets[:-1], counts) + np.arange(offsets[-1])
        return EntryPeaks(offsets, self.d[index], self.weight[index])

    @classmethod
    def concatenate(cls, runs: list[EntryPeaks]) -> EntryPeaks:
        if not runs:
            return cls(np.zeros(1, dtype=np.int64), np.zeros(0), np.zeros(0))
        counts = np.concatenate([np.diff(r.offsets) for r in runs])
        return cls(
            np.concatenate([[0], np.cumsum(counts)]).astype(np.int64),
            np.concatenate([r.d for r in runs]),
            np.concatenate([r.weight for r in runs]),
        )


@dataclass(frozen=True, eq=False)
class Scores:
    """Per entry: figure of merit (0–1) and its parts, with the strain and
    zero shift that give it. Entries the screening dropped score 0."""

    score: np.ndarray
    coverage: np.ndarray
    explained: np.ndarray
    position: np.ndarray
    strain: np.ndarray
    zero_shift: np.ndarray

    @classmethod
    def empty(cls, count: int) -> Scores:
        return cls(*(np.zeros(count) for _ in range(6)))


def figure_of_merit(coverage: np.ndarray, explained: np.ndarray, position: np.ndarray) -> np.ndarray:
    """Coverage counts most; explained intensity breaks ties between entries
    that all fit their peaks, in favour of those that account for more."""
    return coverage**2 * np.sqrt(np.clip(explained, 0.0, 1.0)) * (0.5 + 0.5 * position)


def _in_scan(target: ScanTarget, peaks: EntryPeaks) -> tuple[EntryPeaks, np.ndarray, np.ndarray]:
    """Peaks inside the spacings compared, weighted for the scan and normalised per entry,
    the weak ones dropped; their sinθ at the first line; and each entry's count of peaks kept."""
    d_lo, d_hi = target.d_range
    inside = (peaks.d >= d_lo / (1.0 - MAX_STRAIN)) & (peaks.d <= d_hi / (1.0 + MAX_STRAIN))
    inside &= peaks.weight > 0.0
    owners = peaks.owners()[inside]
    d = peaks.d[inside]
    sine = target.wavelength / (2.0 * d)
    weight = peaks.weight[inside] * target.lorentz_polarisation(np.minimum(sine, 1.0 - 1e-12))
    count = len(peaks)
    strongest = np.zeros(count)
    np.maximum.at(strongest, owners, weight)
    keep = (weight >= WEAKEST_PEAK * strongest[owners]) & (sine < 1.0)
    owners, d, weight, sine = owners[keep], d[keep], weight[keep], sine[keep]
    totals = np.bincount(owners, weights=weight, minlength=count)
    weight = weight / totals[owners]
    counts = np.bincount(owners, minlength=count)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    return EntryPeaks(offsets, d, weight), sine, counts


def _screen(target: ScanTarget, peaks: EntryPeaks, sine: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each entry's best screening coverage and the strain shift t = ln(1+s) at its centre."""
    count = len(peaks)
    bins = _STRAIN_BINS
    limit = math.log1p(MAX_STRAIN)
    width = 2.0 * limit / (bins - 1)
    observed = np.sort(np.log(target.wavelength / (2.0 * np.sin(np.radians(target.two_theta) / 2.0))))
    owners = peaks.owners()
    log_d = np.log(peaks.d)
    # A tolerance δ in 2θ is δ cotθ / 2 in ln d.
    reach = np.radians(target.tolerance + MAX_ZERO_SHIFT) / 2.0 * np.sqrt(1.0 - sine * sine) / sine
    first = np.searchsorted(observed, log_d - limit - reach, side="left")
    last = np.searchsorted(observed, log_d + limit + reach, side="right")
    pairs = last - first
    total = int(pairs.sum())
    if total == 0:
        return np.zeros(count), np.zeros(count)
    peak = np.repeat(np.arange(log_d.size), pairs)
    starts = np.cumsum(pairs) - pairs
    which = first[peak] + np.arange(total) - starts[peak]
    shift = observed[which] - log_d[peak]
    low = np.clip(np.ceil((shift - reach[peak] + limit) / width), 0, bins).astype(np.int64)
    high = np.clip(np.floor((shift + reach[peak] + limit) / width), -1, bins - 1).astype(np.int64) + 1
    valid = high > low
    row = owners[peak][valid] * (bins + 1)
    votes = peaks.weight[peak][valid]
    size = count * (bins + 1)
    steps = np.bincount(row + low[valid], weights=votes, minlength=size) - np.bincount(
        row + high[valid], weights=votes, minlength=size
    )
    coverage = np.cumsum(steps.reshape(count, bins + 1)[:, :bins], axis=1)
    best = np.argmax(coverage, axis=1)
    return np.minimum(coverage[np.arange(count), best], 1.0), best * width - limit


def _trials(centre: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Strain shifts and zero shifts tried per entry: (entries, trials) each."""
    limit = math.log1p(MAX_STRAIN)
    width = 2.0 * limit / (_STRAIN_BINS - 1)
    fine = np.linspace(-1.5 * width, 1.5 * width, _FINE_STRAINS)
    zeros = np.linspace(-MAX_ZERO_SHIFT, MAX_ZERO_SHIFT, _ZERO_SHIFTS)
    strain = np.clip(centre[:, None] + np.repeat(fine, zeros.size)[None, :], -limit, limit)
    zero = np.broadcast_to(np.tile(zeros, fine.size)[None, :], strain.shape)
    return strain, zero


def _score_block(target: ScanTarget, peaks: EntryPeaks, centre: np.ndarray) -> Scores:
    """Exact scoring of every entry of ``peaks`` around its screening strain."""
    count = len(peaks)
    strain, zero = _trials(centre)
    trials = strain.shape[1]
    owners = peaks.owners()
    # (peaks, trials): each calculated peak placed for each trial of its entry; the
    # trials run over the strains, then the zero shifts, so each strain is placed once.
    strains = strain[:, ::_ZERO_SHIFTS]
    zeros = zero[0, :_ZERO_SHIFTS]
    placed = (target.place(peaks.d[:, None] * np.exp(strains[owners]))[:, :, None] + zeros[None, None, :]).reshape(
        owners.size, trials
    )
    x = target.two_theta
    right = np.clip(np.searchsorted(x, placed), 1, max(x.size - 1, 1))
    left = right - 1
    nearest = np.where(np.abs(placed - x[left]) <= np.abs(x[np.minimum(right, x.size - 1)] - placed), left, right)
    nearest = np.minimum(nearest, x.size - 1)
    offset = np.abs(placed - x[nearest])
    matched = offset <= target.tolerance  # NaN (beyond 180°) never matches
    weight = np.broadcast_to(peaks.weight[:, None], matched.shape)
    observed = target.intensity[nearest]
    group = (owners[:, None] * trials + np.arange(trials)[None, :]).reshape(-1)
    size = count * trials

    def per_trial(values: np.ndarray) -> np.ndarray:
        return np.bincount(group, weights=values.reshape(-1), minlength=size).reshape(count, trials)

    matched_weight = per_trial(np.where(matched, weight, 0.0))
    log_ratio = np.where(matched, np.log(np.maximum(observed, 1e-300) / np.maximum(weight, 1e-300)), 0.0)
    scale = np.exp(per_trial(weight * log_ratio) / np.maximum(matched_weight, 1e-300))
    scale_of = scale[owners]
    scaled = weight * scale_of
    held = np.where(matched, np.minimum(scaled, observed), 0.0)
    coverage = per_trial(held) / np.maximum(scale, 1e-300)
    explained = per_trial(np.where(matched, np.minimum(scaled, target.explained[nearest]), 0.0))
    misfit = per_trial(np.where(matched, weight * (offset / target.tolerance) ** 2, 0.0))
    position = 1.0 - misfit / np.maximum(matched_weight, 1e-300)
    coverage = np.where(matched_weight > 0.0, np.minimum(coverage, 1.0), 0.0)
    explained = np.minimum(explained, 1.0)
    position = np.where(matched_weight > 0.0, position, 0.0)
    merit = figure_of_merit(coverage, explained, position)
    best = np.argmax(merit, axis=1)
    rows = np.arange(count)
    return Scores(
        merit[rows, best],
        coverage[rows, best],
        explained[rows, best],
        position[rows, best],
        np.expm1(strain[rows, best]),
        zero[rows, best],
    )


def own_share(
    target: ScanTarget, peaks: EntryPeaks, strain: np.ndarray, zero_shift: np.ndarray, unexplained: np.ndarray
) -> np.ndarray:
    """Share of each entry's intensity (placed with its strain and zero shift)
    that falls on the observed peaks marked ``unexplained``: how much of it
    only this entry, and no phase already found, accounts for."""
    count = len(peaks)
    result = np.zeros(count)
    if count == 0 or target.two_theta.size == 0:
        return result
    usable, _, _ = _in_scan(target, peaks)
    owners = usable.owners()
    placed = target.place(usable.d * (1.0 + strain[owners])) + zero_shift[owners]
    x = target.two_theta
    right = np.clip(np.searchsorted(x, placed), 1, max(x.size - 1, 1))
    left = right - 1
    nearest = np.where(np.abs(placed - x[left]) <= np.abs(x[np.minimum(right, x.size - 1)] - placed), left, right)
    nearest = np.minimum(nearest, x.size - 1)
    own = (np.abs(placed - x[nearest]) <= target.tolerance) & unexplained[nearest]
    return np.bincount(owners, weights=np.where(own, usable.weight, 0.0), minlength=count)


FINGERPRINT_BIN = 0.002
"""Relative width of the bins the strongest spacings are rounded to when telling phases apart."""


def fingerprints(target: ScanTarget, peaks: EntryPeaks, strain: np.ndarray) -> np.ndarray:
    """Each entry's three strongest spacings at the scan (strained as scored),
    as ln d in bins of ``FINGERPRINT_BIN``: (entries, 3) integers, 0 where an
    entry has fewer peaks. A supercell, a duplicate or the same structure in
    another setting has the same fingerprint."""
    count = len(peaks)
    result = np.zeros((count, 3), dtype=np.int64)
    if count == 0:
        return result
    usable, _, _ = _in_scan(target, peaks)
    owners = usable.owners()
    order = np.lexsort((-usable.weight, owners))
    rank = np.arange(order.size) - usable.offsets[owners[order]]
    top = order[rank < 3]
    values = np.round(np.log(usable.d[top] * (1.0 + strain[owners[top]])) / FINGERPRINT_BIN).astype(np.int64)
    # Sorted within each entry, so that the order of two near-equal peaks does not matter.
    order = np.lexsort((values, owners[top]))
    top, values = top[order], values[order]
    entry = owners[top]
    slot = np.arange(entry.size) - np.searchsorted(entry, entry, side="left")
    result[entry, slot] = values
    return result


def score_entries(target: ScanTarget, peaks: EntryPeaks) -> Scores:
    """Figure of merit of every entry of ``peaks`` against the scan.

    Parameters
    ----------
    target : ScanTarget
        The scan's observed peaks and how to place calculated ones.
    peaks : EntryPeaks
        d (Å) and |F|²·multiplicity of each entry's peaks.

    Returns
    -------
    Scores
        One value per entry, in the order of ``peaks``; each entry's score
        depends on that entry alone, so chunks of a library score as the
        whole does.
    """
    count = len(peaks)
    result = Scores.empty(count)
    if count == 0 or target.two_theta.size == 0:
        return result
    usable, sine, kept = _in_scan(target, peaks)
    coverage, centre = _screen(target, usable, sine)
    survivors = np.flatnonzero((coverage >= SCREEN_COVERAGE) & (kept > 0))
    if survivors.size == 0:
        return result
    trials = _FINE_STRAINS * _ZERO_SHIFTS
    per_block = max(1, _BLOCK // max(trials * int(kept[survivors].mean()), 1))
    for start in range(0, survivors.size, per_block):
        rows = survivors[start : start + per_block]
        block = _score_block(target, usable.take(rows), centre[rows])
        for name in ("score", "coverage", "explained", "position", "strain", "zero_shift"):
            getattr(result, name)[rows] = getattr(block, name)
    return result
