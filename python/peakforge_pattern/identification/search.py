"""Search-match: which library entries are in a measured sample.

1. The scan's background is removed and its peaks found.
2. Every library entry passing the element filter is scored against those
   peaks (uniform cell strain within ±2 %, a zero shift), the library
   streamed a chunk at a time (or its parts scored on a Dask cluster); the
   best few hundred are kept with their peaks.
3. Phases are added one at a time. Each round rescores the kept entries
   against the observed intensity the phases so far leave unexplained and
   fits each of the best few that put a quarter of their intensity on
   peaks no phase found explains, together with the phases so far, to the
   whole scan (``fit_pattern``, each structure's cell first strained as
   the score found). The candidate with the least misfit is kept only if it lowers
   the Bayesian information criterion

       n_eff ln(χ²_w) + k ln(n_eff),

   χ²_w the weighted sum of squared residuals and k the parameters. Profile
   residuals are serially correlated over a peak width (Bérar & Lelann,
   J. Appl. Cryst. 24 (1991) 1), so the number of independent points n_eff
   is the number of peak widths the scan spans, not its number of points:
   a phase must explain real intensity, not soak up a misfit of the phases
   already there.
"""

from __future__ import annotations

import dataclasses
import math
import os
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from functools import reduce
from typing import Any

import numpy as np

from ..batch.library import Library, open_library
from ..errors import InputError
from ..fitting.fit import DEFAULT_RADIUS, FitResult, fit_pattern
from ..fitting.request import FitRequest
from ..measurements import MeasuredPattern, in_range, read_scan
from ..profiles.instrument import DEFAULT_KA2_RATIO, Instrument
from ..structures.structure import Structure
from .k_beta import k_beta_parents
from .library_entries import CHUNK_ROWS, check_elements, library_d_range
from .result import Candidate, IdentificationResult, IdentifiedPhase, SearchStep, UnexplainedPeak
from .scan_peaks import ScanPeaks, find_scan_peaks
from .scoring import ScanTarget, Scores, own_share, score_entries
from .shortlist import SHORTLIST_SIZE, Shortlist, shortlist_library

MAX_PHASES = 4
TOP_CANDIDATES = 10
TRIALS_PER_ROUND = 3
"""Candidates fitted in each round of the search."""

SEARCH_EVALUATIONS = 40
"""Evaluations of each trial fit; the final fit runs to convergence."""

SAME_PHASE_SPACING = 0.003
"""Entries of one composition whose strongest peaks (strained) agree this
closely in d are one phase (a supercell, a duplicate): the list shows the best."""

MIN_CANDIDATE_SCORE = 0.05
"""Entries scoring below this against what is left unexplained are not worth a fit."""

MIN_OWN_SHARE = 0.25
"""A new phase must put this share of its intensity on observed peaks the phases already found leave
unexplained: a structure whose peaks all coincide with theirs (the same type at nearly the same cell)
would only re-weight their intensities."""

MIN_WEIGHT_FRACTION = 0.01
"""A phase the fit gives less than this weight fraction is below what a laboratory scan detects: not kept."""

UNEXPLAINED_SHARE = 0.5
"""An observed peak is unexplained when the phases found account for less than half its net height."""


@dataclass(frozen=True)
class _Trial:
    index: int
    fit: FitResult
    misfit: float
    parameters: int


def independent_points(measured: MeasuredPattern, fwhm: float) -> float:
    """The peak widths a scan spans: how many of its points are independent."""
    span = float(measured.two_theta[-1] - measured.two_theta[0])
    return float(np.clip(span / max(fwhm, 1e-6), 10.0, len(measured)))


def information_criterion(misfit: float, parameters: int, independent: float) -> float:
    """Bayesian information criterion of a weighted misfit χ²_w with ``parameters`` and ``independent`` points."""
    return independent * math.log(max(misfit, 1e-300)) + parameters * math.log(independent)


def _background_misfit(measured: MeasuredPattern, terms: int) -> float:
    """Weighted misfit of a background alone (the search's starting point)."""
    x, y, sigma = measured.two_theta, measured.intensity, measured.uncertainty
    basis = np.polynomial.chebyshev.chebvander(2.0 * (x - x[0]) / (x[-1] - x[0]) - 1.0, terms - 1) / sigma[:, None]
    coefficients = np.linalg.lstsq(basis, y / sigma, rcond=None)[0]
    residual = basis @ coefficients - y / sigma
    return float(residual @ residual)


def _reduced_formula(formula: str) -> str:
    counts: dict[str, int] = {}
    for word in formula.split():
        symbol = word.rstrip("0123456789.")
        number = word[len(symbol) :]
        counts[symbol] = int(round(1000 * float(number))) if number else 1000
    divisor = reduce(math.gcd, counts.values(), 0) or 1
    return " ".join(f"{s}{c // divisor if c // divisor != 1 else ''}" for s, c in sorted(counts.items()))


class _Search:
    """The kept entries, their identity as phases, and the fits of the search."""

    def __init__(
        self, measured: MeasuredPattern, shortlist: Shortlist, target: ScanTarget, request: FitRequest
    ) -> None:
        self.measured, self.shortlist, self.target, self.request = measured, shortlist, target, request
        self._structures: dict[int, Structure] = {}
        self._fingerprints = self._strongest_spacings()
        self._compositions = [self._composition(f, i) for f, i in zip(shortlist.formulas, shortlist.ids)]

    def formula(self, index: int) -> str:
        """The entry's formula, Hill order, reduced ("Al2 O3"; "" where the library has none)."""
        return self._compositions[index] if self.shortlist.formulas[index] else ""

    def _strongest_spacings(self) -> list[np.ndarray]:
        """Each kept entry's three strongest spacings in the compared range, strained as scored."""
        peaks = self.shortlist.peaks
        result = []
        d_lo, d_hi = self.target.d_range
        for i in range(len(self.shortlist)):
            d = peaks.d[peaks.offsets[i] : peaks.offsets[i + 1]]
            w = peaks.weight[peaks.offsets[i] : peaks.offsets[i + 1]]
            inside = (d >= d_lo) & (d <= d_hi)
            d, w = d[inside], w[inside] * self.target.lorentz_polarisation(self.target.wavelength / (2.0 * d[inside]))
            strongest = d[np.argsort(-w, kind="stable")[:3]]
            result.append(np.sort(strongest * (1.0 + self.shortlist.scores.strain[i])))
        return result

    def same_phase(self, i: int, j: int) -> bool:
        a, b = self._fingerprints[i], self._fingerprints[j]
        return (
            self._compositions[i] == self._compositions[j]
            and a.size == b.size
            and bool(np.all(np.abs(a / b - 1.0) <= SAME_PHASE_SPACING))
        )

    def ranked(self, target: ScanTarget, exclude: Sequence[int]) -> tuple[list[int], Scores]:
        """Kept entries by score against ``target``, one per phase, without those like ``exclude``."""
        scores = score_entries(target, self.shortlist.peaks)
        order = sorted(range(len(self.shortlist)), key=lambda i: (-float(scores.score[i]), self.shortlist.ids[i]))
        chosen: list[int] = []
        for i in order:
            if scores.score[i] <= 0.0:
                break
            if any(self.same_phase(i, j) for j in list(exclude) + chosen):
                continue
            chosen.append(i)
        return chosen, scores

    def structure(self, index: int) -> Structure:
        """The entry's structure, its cell strained as its score found (read once)."""
        if index not in self._structures:
            entry_id, path = self.shortlist.ids[index], self.shortlist.paths[index]
            source = path if path is not None else entry_id
            if not os.path.isfile(source):
                raise InputError(
                    f"the structure of library entry {entry_id!r} is not at {source}: "
                    "the whole-pattern fit needs the CIF files the library was made from"
                )
            structure = Structure.from_cif(source)
            factor = 1.0 + float(self.shortlist.scores.strain[index])
            self._structures[index] = dataclasses.replace(structure, lattice=structure.lattice * factor, name=entry_id)
        return self._structures[index]

    def alternatives(self, index: int) -> list[str]:
        """The other library entries of the same phase as ``index`` (same composition, same
        strongest spacings): the scan cannot tell them apart, so the result lists them."""
        composition = self._compositions[index]
        shortlisted = [
            self.shortlist.ids[j] for j in range(len(self.shortlist)) if j != index and self.same_phase(index, j)
        ]
        left_out = [
            id for id, formula in self.shortlist.others_of(index) if self._composition(formula, id) == composition
        ]
        return sorted(set(shortlisted + left_out))

    @staticmethod
    def _composition(formula: str | None, entry_id: str) -> str:
        """An entry's reduced formula; its id where the library has no formula (no other entry's)."""
        return _reduced_formula(formula) if formula else entry_id

    def try_fit(self, indices: Sequence[int], evaluations: int, refine_b: bool, notes: list[str]) -> _Trial | None:
        """``fit``, or None with a note naming the last entry when the fit fails (the search goes on without it)."""
        try:
            return self.fit(indices, evaluations, refine_b)
        except (ValueError, ArithmeticError, np.linalg.LinAlgError) as exc:  # InputError is a ValueError
            entry = self.shortlist.ids[indices[-1]]
            notes.append(f"the trial fit with {entry} failed and the entry was left out: {' '.join(str(exc).split())}")
            return None

    def fit(
        self, indices: Sequence[int], evaluations: int, refine_b: bool, orientations: Mapping | None = None
    ) -> _Trial:
        more: dict[str, Any] = (
            {"orientations": {**dict(self.request.orientations), **orientations}} if orientations else {}
        )
        result = fit_pattern(
            self.measured,
            [self.structure(i) for i in indices],
            self.request,
            refine_cell=True,
            refine_b=refine_b,
            max_evaluations=evaluations,
            **more,
            # Trial fits compare candidates; only the final one looks for a better minimum from other starts.
            retries=self.request.retries if refine_b else 0,
        )
        residual = (self.measured.intensity - result.calculated) / self.measured.uncertainty
        parameters = len(result.refined) + len(indices) + result.background_coefficients.size
        return _Trial(indices[-1], result, float(residual @ residual), parameters)

    def remaining(self, fit: FitResult, peaks: ScanPeaks) -> np.ndarray:
        """Share of each observed peak (of the target) the fit's phases leave unexplained."""
        x = self.measured.two_theta
        net_calculated = np.interp(self.target.two_theta, x, fit.calculated - fit.background)
        net_observed = np.interp(self.target.two_theta, x, self.measured.intensity - fit.background)
        return 1.0 - np.clip(net_calculated / np.maximum(net_observed, 1e-12), 0.0, 1.0)


def _weight_fraction_esd(fit: FitResult, name: str) -> float | None:
    """The fit's standard uncertainty of a phase's weight fraction, where it reports one."""
    for phase in fit.phases:
        if phase.name == name:
            value = getattr(phase, "weight_fraction_esd", None)
            return None if value is None else float(value)
    return None


def _score_library(
    library: Library,
    target: ScanTarget,
    allowed: Sequence[str] | None,
    excluded: Sequence[str] | None,
    size: int,
    rows: int,
    client: Any,
    progress: Callable[[int], None] | None,
) -> Shortlist:
    if client is None:
        return shortlist_library(
            library, target, allowed=allowed, excluded=excluded, size=size, rows=rows, progress=progress
        )
    from .distributed import shortlist_on_cluster

    return shortlist_on_cluster(client, library, target, allowed, excluded, size, rows, progress)


def identify(
    scan: MeasuredPattern | str | os.PathLike[str],
    library: Library | str | os.PathLike[str],
    *,
    elements: Sequence[str] | None = None,
    exclude_elements: Sequence[str] | None = None,
    max_phases: int = MAX_PHASES,
    top: int = TOP_CANDIDATES,
    request: FitRequest | None = None,
    wavelength: float | str | tuple[float, float] | None = None,
    ka2_ratio: float | None = None,
    monochromator_angle: float | None = None,
    radius: float | None = None,
    correction: str | None = None,
    shape: str | None = None,
    two_theta_range: Sequence[float] | None = None,
    background_terms: int | None = None,
    trials_per_round: int = TRIALS_PER_ROUND,
    chunk_rows: int = CHUNK_ROWS,
    client: Any = None,
    progress: Callable[[int], None] | None = None,
) -> IdentificationResult:
    """Find which library entries a measured scan holds, and how much of each.

    Parameters
    ----------
    scan : MeasuredPattern or path
        The measured scan (any file ``read_scan`` reads).
    library : Library or path
        A ``peakforge batch`` output.
    elements : sequence of str, optional
        Only entries made of these elements are considered.
    exclude_elements : sequence of str, optional
        Entries holding any of these elements are not considered.
    max_phases : int
        Most phases kept.
    top : int
        Candidates listed after the phases found.
    request : FitRequest, optional
        The options of every trial fit (`FitRequest`; the fit's defaults
        without it): the instrument, the 2θ range, the background and the
        corrections.
    wavelength, ka2_ratio, monochromator_angle, radius, correction, shape, two_theta_range, background_terms
        Fields of the request, changing it where given (not None).
    trials_per_round : int
        Candidates fitted in each round.
    chunk_rows : int
        Library rows scored at once (memory is bounded by this).
    client : distributed.Client, optional
        Score the library's parts on this Dask cluster.
    progress : callable, optional
        Called with the number of entries of each chunk scored.

    Returns
    -------
    IdentificationResult

    Raises
    ------
    InputError
        For an unreadable scan or library, unknown elements, or options out of range.

    Examples
    --------
    >>> result = identify("mixture.xy", "library/", elements=["Al", "Zn", "Ca", "O", "F"])  # doctest: +SKIP
    >>> [(p.name, p.weight_fraction) for p in result.phases]                               # doctest: +SKIP
    """
    started = time.perf_counter()
    if int(max_phases) < 1:
        raise InputError(f"--max-phases must be at least 1, not {max_phases}")
    if int(top) < 0:
        raise InputError(f"--top must not be negative, not {top}")
    allowed = check_elements(elements, "--elements")
    excluded = check_elements(exclude_elements, "--exclude-elements")
    given = {
        "wavelength": wavelength,
        "ka2_ratio": ka2_ratio,
        "monochromator_angle": monochromator_angle,
        "radius": radius,
        "correction": correction,
        "shape": shape,
        "two_theta_range": two_theta_range,
        "background_terms": background_terms,
    }
    request = FitRequest.from_fields(request, **{k: v for k, v in given.items() if v is not None})
    measured = scan if isinstance(scan, MeasuredPattern) else read_scan(scan)
    if request.two_theta_range is not None:
        measured = in_range(measured, *request.two_theta_range)
    # The trials fit the points already cut to the range.
    trial_request = request.replace(two_theta_range=None)
    wavelength, ka2_ratio = request.wavelength, request.ka2_ratio
    monochromator_angle = 0.0 if request.monochromator_angle is None else request.monochromator_angle
    if not isinstance(library, Library):
        library = open_library(library)
    radiation = library.options.request.radiation
    if radiation != "xray":
        # The candidates are confirmed by X-ray fits: a library of other intensities cannot rank them.
        raise InputError(
            f"{library.path}: the library was computed for {radiation} radiation, and identify scores and fits "
            "X-ray scans: build it with --radiation xray"
        )
    if wavelength is None:
        wavelength = measured.wavelength[:2] if measured.wavelength else "CuKa"
    if ka2_ratio is None:
        ka2_ratio = measured.wavelength[2] if measured.wavelength else DEFAULT_KA2_RATIO
    instrument = Instrument(
        wavelength=wavelength,
        ka2_ratio=ka2_ratio,  # type: ignore[arg-type]
        monochromator_angle=monochromator_angle,
        radius=DEFAULT_RADIUS if request.radius is None else request.radius,
    )
    if request.ka2_ratio is not None:
        instrument.refuse_ratio_without_doublet(1.0)
    lines = instrument.lines(1.0)
    peaks = find_scan_peaks(measured, lines)
    step = float(np.median(np.diff(measured.two_theta)))
    target = ScanTarget.build(
        peaks.two_theta,
        peaks.intensity,
        tolerance=float(np.clip(0.5 * peaks.typical_fwhm, 2.0 * step, 0.3)),
        lines=lines,
        fwhm=peaks.typical_fwhm,
        monochromator_angle=monochromator_angle,
        neutron=library.options.request.radiation == "neutron",
        library_d_range=library_d_range(library),
        scan_range=(float(measured.two_theta[0]), float(measured.two_theta[-1])),
    )

    scoring_started = time.perf_counter()
    shortlist = _score_library(
        library, target, allowed, excluded, max(SHORTLIST_SIZE, 4 * int(top)), int(chunk_rows), client, progress
    )
    scoring_seconds = time.perf_counter() - scoring_started
    if shortlist.scored == 0:
        narrowed = allowed is not None or excluded is not None
        raise InputError(
            f"{library.path}: no entry of the library was scored"
            + (" (the element filter leaves none)" if narrowed else " (it holds no computed entries)")
            + ": nothing to identify"
        )

    search = _Search(measured, shortlist, target, trial_request)
    misfit = _background_misfit(measured, request.background_terms)
    independent = independent_points(measured, peaks.typical_fwhm)
    parameters = request.background_terms
    kept: list[int] = []
    failed: set[int] = set()
    fitted = False
    notes: list[str] = []
    kept_scores: dict[int, float] = {}
    steps: list[SearchStep] = []
    current: FitResult | None = None
    remaining_target = target
    ranked, scores = search.ranked(target, [])
    while len(kept) < int(max_phases) and ranked:
        open_peaks = (
            search.remaining(current, peaks) > UNEXPLAINED_SHARE
            if current is not None
            else np.ones(target.two_theta.size, dtype=bool)
        )
        own = own_share(target, shortlist.peaks, scores.strain, scores.zero_shift, open_peaks)
        worth = [
            i for i in ranked if scores.score[i] >= MIN_CANDIDATE_SCORE and own[i] >= MIN_OWN_SHARE and i not in failed
        ]
        worth = worth[: int(trials_per_round)]
        if not worth:
            break
        # A candidate whose trial fit fails is dropped (with a note); the others are weighed as before.
        tried = {i: search.try_fit(kept + [i], SEARCH_EVALUATIONS, False, notes) for i in worth}
        failed.update(i for i, t in tried.items() if t is None)
        trials = [t for t in tried.values() if t is not None]
        fitted = fitted or bool(trials)
        if not trials:
            continue
        best = min(trials, key=lambda t: (t.misfit, shortlist.ids[t.index]))
        change = information_criterion(best.misfit, best.parameters, independent) - information_criterion(
            misfit, parameters, independent
        )
        fractions = best.fit.weight_fractions
        present = fractions.get(shortlist.ids[best.index], 0.0) >= MIN_WEIGHT_FRACTION
        accepted = change < 0.0 and present
        steps.append(SearchStep(shortlist.ids[best.index], shortlist.names[best.index], best.misfit, change, accepted))
        if not accepted:
            break
        kept.append(best.index)
        kept_scores[best.index] = float(scores.score[best.index])
        current, misfit, parameters = best.fit, best.misfit, best.parameters
        remaining_target = target.with_explained(target.intensity * search.remaining(current, peaks))
        ranked, scores = search.ranked(remaining_target, kept)

    if failed and not fitted:
        # Not one trial fit worked: the cause is hardly each candidate's own, so it is the answer.
        raise InputError(notes[0] + (f" (and the trial fits of {len(failed) - 1} more)" if len(failed) > 1 else ""))
    final = _final_fit(search, kept, current, notes)
    # The converged fit may give a phase the trial fit kept next to nothing: it goes, and the rest is fitted again.
    while final is not None and len(kept) > 1:
        fractions = final.weight_fractions
        weakest = min(kept, key=lambda i: fractions.get(shortlist.ids[i], 0.0))
        if fractions.get(shortlist.ids[weakest], 0.0) >= MIN_WEIGHT_FRACTION:
            break
        steps.append(SearchStep(shortlist.ids[weakest], shortlist.names[weakest], float("nan"), float("nan"), False))
        kept.remove(weakest)
        final = _final_fit(search, kept, final, notes)
    if final is not None and final.orientation_hints:
        # A phase whose misfit follows one direction is fitted again with March–Dollase along it.
        try:
            oriented = search.fit(kept, 400, True, final.orientation_hints).fit
        except (ValueError, ArithmeticError, np.linalg.LinAlgError) as exc:  # InputError is a ValueError
            notes.append(f"the fit with preferred orientation failed: {' '.join(str(exc).split())}")
        else:
            final = oriented if oriented.rwp < final.rwp else final
    unexplained: list[UnexplainedPeak] = []
    if final is not None:
        share = search.remaining(final, peaks)
    else:
        share = np.ones(target.two_theta.size)
    heights = np.interp(target.two_theta, peaks.two_theta, peaks.height)
    k_beta = k_beta_parents(target.two_theta, heights, lines[0][0], target.tolerance)
    for x, h, s, parent in zip(target.two_theta, heights, share, k_beta):
        if s > UNEXPLAINED_SHARE:
            d = lines[0][0] / (2.0 * math.sin(math.radians(x) / 2.0))
            unexplained.append(UnexplainedPeak(float(x), float(d), float(h), float(s), *parent))
    phases = []
    if final is not None:
        fractions = final.weight_fractions
        for i in kept:
            entry_id = shortlist.ids[i]
            phases.append(
                IdentifiedPhase(
                    entry_id,
                    shortlist.names[i],
                    float(fractions.get(entry_id, 0.0)),
                    _weight_fraction_esd(final, entry_id),
                    kept_scores[i],
                    float(shortlist.scores.strain[i]),
                    search.alternatives(i),
                    search.formula(i),
                )
            )
    candidates = [
        Candidate(
            shortlist.ids[i],
            shortlist.names[i],
            float(scores.score[i]),
            float(scores.coverage[i]),
            float(scores.explained[i]),
            float(scores.strain[i]),
            float(scores.zero_shift[i]),
            search.formula(i),
        )
        for i in ranked[: int(top)]
    ]
    return IdentificationResult(
        measured.name,
        str(library.path),
        phases,
        candidates,
        unexplained,
        final,
        steps,
        shortlist.scored,
        len(target.two_theta),
        scoring_seconds,
        time.perf_counter() - started,
        notes,
    )


def _final_fit(search: _Search, kept: list[int], fallback: FitResult | None, notes: list[str]) -> FitResult | None:
    """The converged fit of the kept entries; if it fails, the search's last trial fit (with a note)."""
    if not kept:
        return None
    trial = search.try_fit(kept, 400, True, notes)
    if trial is not None:
        return trial.fit
    notes.append("the results are those of the search's last trial fit (fewer refined terms)")
    return fallback
