"""``index_lines``: unit cells for a list of observed lines, best first.

The systems are searched from the highest symmetry down (cubic, tetragonal,
hexagonal, orthorhombic, monoclinic, triclinic; trials.py), each within its
share of the time allowed. Every kept trial is refined with a zero shift;
its lattice, with any centring all its indexed lines allow, goes to its
Bravais type and conventional cell, which is refined again; solutions that
are the same lattice keep the best figures.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable

import numpy as np

from ..errors import InputError
from .observed import ObservedLines, two_theta_of
from .quadratic_forms import FORMS, miller_indices, volume_of
from .refinement import (
    RefinedCell,
    allowed,
    bravais_lattice,
    centrings_consistent,
    primitive_cell,
    refine,
    refine_conventional,
)
from .result import IndexResult, IndexSolution
from .space_groups import evidence_from_lines, rank_space_groups
from .trials import LineTable, screen

SYSTEMS = ("cubic", "tetragonal", "hexagonal", "orthorhombic", "monoclinic", "triclinic")

TIME_SHARE = {"cubic": 2, "tetragonal": 2, "hexagonal": 2, "orthorhombic": 3, "monoclinic": 4, "triclinic": 4}
"""Relative share of the remaining time each system's search may use."""

DEFAULT_MAX_TIME = 40.0
"""Seconds an indexing run takes at most by default."""

SYMMETRY_MULTIPLICITY = {"cubic": 96, "tetragonal": 16, "hexagonal": 36, "orthorhombic": 16, "monoclinic": 4}
"""At most how many lattice points (over Friedel pairs) share one line: point-group multiplicity × centring."""

SCREENING_TOLERANCE = 2.0
"""Trials are screened with this many times the lines' tolerance: their cells come from a few lines' errors."""


def largest_volume(lines: ObservedLines, system: str) -> float:
    """The largest cell volume (Å³) that does not predict far more lines than were seen.

    Over the first n lines a primitive triclinic cell of volume V has about
    (2π/3) V Q_n^{3/2} reflections; higher symmetry shares each line among
    up to SYMMETRY_MULTIPLICITY of them. Four times as many lines as seen is
    the limit.
    """
    n = min(len(lines), 20)
    q_n = float(lines.q()[n - 1])
    return 4.0 * n * SYMMETRY_MULTIPLICITY.get(system, 1) / ((2.0 * math.pi / 3.0) * q_n**1.5)


def index_lines(
    lines: ObservedLines,
    *,
    max_time: float = DEFAULT_MAX_TIME,
    systems: tuple[str, ...] = SYSTEMS,
    top: int = 10,
    progress: Callable[[str], None] | None = None,
) -> IndexResult:
    """Cells that index the observed lines, ranked by M20 (lowered for lines left unindexed).

    Parameters
    ----------
    lines : ObservedLines
    max_time : float
        Seconds the search may take; each system gets a share, and a search
        cut short keeps what it found (the result says so).
    systems : tuple of str
        Crystal systems to search.
    top : int
        Solutions returned.
    progress : callable, optional
        Told the name of each system as its search starts.

    Returns
    -------
    IndexResult
    """
    unknown = set(systems) - set(SYSTEMS)
    if unknown:
        raise InputError(f"unknown crystal system {sorted(unknown)[0]!r}: choose from {', '.join(SYSTEMS)}")
    if not (max_time > 0.0):
        raise InputError(f"--max-time must be positive, not {max_time:g}")
    started = time.monotonic()
    q = lines.q()
    table = LineTable(q, SCREENING_TOLERANCE * lines.tolerance * lines.dq())
    found: list[RefinedCell] = []
    cut_short: list[str] = []
    ordered = [s for s in SYSTEMS if s in systems]
    for position, system in enumerate(ordered):
        if progress is not None:
            progress(system)
        remaining = max_time - (time.monotonic() - started)
        share = TIME_SHARE[system] / sum(TIME_SHARE[s] for s in ordered[position:])
        # A share of what is left, but not less than a sixth of the whole while it lasts: the
        # cheap high-symmetry searches must not be cut short on a busy machine.
        deadline = time.monotonic() + max(max(remaining, 0.0) * share, min(max(remaining, 0.0), max_time / 6.0))
        stopped = False

        def stop() -> bool:
            nonlocal stopped
            stopped = stopped or time.monotonic() > deadline
            return stopped

        trials = screen(system, q, table, largest_volume(lines, system), stop)
        seen: list[RefinedCell] = []
        for trial in trials:
            refined = refine(trial, FORMS[system], lines)
            if refined is not None and not any(_same_lattice(refined, other) for other in seen):
                seen.append(refined)
                found.extend(_lattices_of(refined, lines))
            if time.monotonic() > deadline + 0.25 * max_time / len(ordered):
                stopped = True
                break
        if stopped:
            cut_short.append(system)
    solutions = _distinct_best(found)[: max(int(top), 0)]
    return IndexResult(
        lines=lines,
        solutions=[_solution(cell, lines) for cell in solutions],
        seconds=time.monotonic() - started,
        cut_short=tuple(cut_short),
        systems=tuple(ordered),
    )


def _lattices_of(refined: RefinedCell, lines: ObservedLines) -> list[RefinedCell]:
    """The refined trial's lattice, and each centred lattice its lines allow, each in its conventional cell."""
    try:
        primitive = refine_conventional(bravais_lattice(primitive_cell(refined, "P")), lines, refined.zero_shift)
    except (ValueError, np.linalg.LinAlgError):
        return []
    if primitive is None:
        return []
    results = [primitive]
    for centring in centrings_consistent(primitive, lines):
        try:
            bravais = bravais_lattice(primitive_cell(primitive, centring))
        except (ValueError, np.linalg.LinAlgError):
            continue
        conventional = refine_conventional(bravais, lines, primitive.zero_shift)
        if conventional is not None:
            results.append(conventional)
    return results


def _same_lattice(one: RefinedCell, other: RefinedCell) -> bool:
    if one.centring != other.centring or one.form.system != other.form.system:
        return False
    a, b = np.array(one.cell), np.array(other.cell)
    return bool(np.all(np.abs(a[:3] - b[:3]) <= 3e-3 * a[:3]) and np.all(np.abs(a[3:] - b[3:]) <= 0.3))


SYMMETRY_RANK = {"triclinic": 0, "monoclinic": 1, "orthorhombic": 2, "tetragonal": 3, "hexagonal": 4, "cubic": 5}

PREFERRED_SYMMETRY = 0.5
"""A higher-symmetry description of the same lattice wins when its score is at least this share of the best's:
the lower one's extra parameters only absorb noise."""


def reduced_cell(cell: RefinedCell) -> tuple[float, ...]:
    """The Niggli-reduced primitive cell of a refined cell's lattice (gemmi)."""
    import gemmi

    vector = gemmi.GruberVector(gemmi.UnitCell(*cell.cell), cell.centring, False)
    vector.niggli_reduce()
    return tuple(vector.get_cell().parameters)


def same_reduced_cell(one: tuple[float, ...], other: tuple[float, ...], length: float = 3e-3) -> bool:
    """Lengths within ``length`` (relative) and volumes within 1.7 times that."""
    a, b = np.array(one), np.array(other)
    volume_a, volume_b = (float(np.prod(x[:3])) * _angle_factor(x[3:]) for x in (a, b))
    return bool(np.all(np.abs(a[:3] - b[:3]) <= length * a[:3]) and abs(volume_a - volume_b) <= 1.7 * length * volume_a)


def _angle_factor(angles: np.ndarray) -> float:
    c = np.cos(np.radians(angles))
    return float(np.sqrt(max(1.0 - c @ c + 2.0 * c[0] * c[1] * c[2], 0.0)))


def _distinct_best(found: list[RefinedCell]) -> list[RefinedCell]:
    """One refined cell per lattice, best first; of several descriptions of one lattice, the highest
    symmetry that scores nearly as well; ties go to the smaller cell."""
    ordered = sorted(found, key=lambda c: (-round(c.score, 6), _volume(c), c.cell))
    kept: list[tuple[RefinedCell, tuple[float, ...]]] = []
    for cell in ordered:
        if cell.score <= 0.0:
            continue
        reduced = reduced_cell(cell)
        for i, (other, other_reduced) in enumerate(kept):
            if same_reduced_cell(reduced, other_reduced):
                higher = SYMMETRY_RANK[cell.form.system] > SYMMETRY_RANK[other.form.system]
                if higher and cell.score >= PREFERRED_SYMMETRY * other.score:
                    kept[i] = (cell, reduced)
                break
        else:
            kept.append((cell, reduced))
    return sorted((c for c, _ in kept), key=lambda c: (-round(c.score, 6), _volume(c), c.cell))


def _volume(cell: RefinedCell) -> float:
    return float(volume_of(cell.general))


def _solution(cell: RefinedCell, lines: ObservedLines) -> IndexSolution:
    """A refined cell as a solution, with its space-group candidates from the lines."""
    symbol = _symbol(cell)
    q_top = float(lines.q(cell.zero_shift)[-1]) * 1.02
    hkl = miller_indices(cell.general, q_top)
    hkl = hkl[allowed(hkl, cell.centring)]
    two_theta = two_theta_of(cell.form.features(hkl) @ cell.form.parameters(cell.general), lines.wavelength)
    two_theta = two_theta + cell.zero_shift
    strongest = float(np.max(lines.intensity)) if lines.intensity.size else 0.0
    strong = lines.intensity >= 0.005 * strongest if strongest > 0.0 else None
    seen = None if strong is None else strong[cell.indexed]
    evidence = evidence_from_lines(hkl, two_theta, lines.two_theta[cell.indexed], lines.tolerance, seen)
    classes = rank_space_groups(symbol, evidence)
    return IndexSolution.from_refined(cell, symbol, classes)


def _symbol(cell: RefinedCell) -> str:
    letter = {"cubic": "c", "tetragonal": "t", "hexagonal": "h", "orthorhombic": "o", "monoclinic": "m"}
    centring = cell.centring
    if centring == "R":
        return "hR"
    return letter.get(cell.form.system, "a") + centring
