"""Space-group candidates of a lattice ranked by their reflection conditions.

Each space group of the lattice's Bravais type (every setting in gemmi's
table, so that the symbols are in the cell's own axes) is tested against
the observed reflections: a reflection seen with intensity that the group
forbids is a violation; a reflection the group allows, in the measured
range and clear of every other line, that is not seen counts against it
(more weakly: it may only be weak). Groups that forbid the same reflections
of this range share their reflection conditions and form one class. Classes
rank by violations, then by allowed-but-unseen reflections, so the most
restrictive conditions the data allow come first — the extinction-symbol
reasoning of the International Tables (Vol. A, section 1.6.4).
"""

from __future__ import annotations

import functools
import re
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

VIOLATION_WEIGHT = 10.0
"""A forbidden reflection seen counts as this many allowed reflections unseen."""

CLASSES_LISTED = 5


@dataclass(frozen=True)
class SpaceGroupClass:
    """Space groups sharing their reflection conditions over the observed range, with the evidence."""

    groups: tuple[tuple[int, str], ...]  # (number, Hermann–Mauguin symbol in the cell's setting)
    violations: int
    unobserved: int

    @property
    def score(self) -> float:
        return VIOLATION_WEIGHT * self.violations + self.unobserved


@dataclass(frozen=True, eq=False)
class ReflectionEvidence:
    """What was seen at each distinct reflection position.

    ``groups`` lists, per position, the Miller indices (k, 3) of the
    reflections that fall there (equivalents and overlaps); ``seen`` whether
    intensity was found there; ``clear`` whether the position is free of
    other lines, so that not seeing it says something.
    """

    groups: tuple[np.ndarray, ...]
    seen: np.ndarray
    clear: np.ndarray


@functools.cache
def _groups_of(lattice: str) -> tuple[tuple[int, str, object], ...]:
    """Every (number, symbol, operations) of gemmi's table with this Bravais lattice, one per symbol."""
    import gemmi

    family = {"a": "triclinic", "m": "monoclinic", "o": "orthorhombic", "t": "tetragonal", "c": "cubic"}
    centring = "R" if lattice == "hR" else lattice[1]
    found: dict[str, tuple[int, str, object]] = {}
    for sg in gemmi.spacegroup_table():
        system = sg.crystal_system_str()
        if _origin_variant(sg.hm):
            continue
        if lattice[0] == "h":
            if system not in ("trigonal", "hexagonal") or sg.hm[0] != centring:
                continue
            if sg.qualifier == "R":  # rhombohedral axes: the solution is in hexagonal axes
                continue
        elif family[lattice[0]] != system or sg.centring_type() != centring:
            continue
        if lattice[0] == "m" and not _b_unique(sg.hm):
            continue
        symbol = sg.hm
        if symbol not in found:
            found[symbol] = (sg.number, symbol, sg.operations())
    return tuple(found.values())


def _origin_variant(symbol: str) -> bool:
    """gemmi's extra entries for other origins ("C 2 2 21a)", "F 2 2 2a"): the same absences, no symbol of their own."""
    return ")" in symbol or any(re.fullmatch(r"\d+[a-z]", token) for token in symbol.split())


def _b_unique(symbol: str) -> bool:
    parts = symbol.split()
    return len(parts) == 4 and parts[1] == "1" and parts[3] == "1"


def rank_space_groups(lattice: str, evidence: ReflectionEvidence) -> list[SpaceGroupClass]:
    """Classes of space groups of ``lattice`` (a Bravais symbol) ranked best first.

    Parameters
    ----------
    lattice : str
        cP, cI, cF, tP, tI, hP, hR, oP, oC, oI, oF, mP, mC or aP.
    evidence : ReflectionEvidence
        The reflections of the cell (in the setting the symbols are wanted
        in) and what was seen at each.

    Returns
    -------
    list of SpaceGroupClass
        At most CLASSES_LISTED classes, best first; within a class by group number.
    """
    candidates = _groups_of(lattice)
    classes: dict[tuple[bool, ...], list[tuple[int, str]]] = {}
    scores: dict[tuple[bool, ...], tuple[int, int]] = {}
    for number, symbol, operations in candidates:
        present = tuple(
            any(not operations.is_systematically_absent([int(v) for v in hkl]) for hkl in group)  # type: ignore[attr-defined]
            for group in evidence.groups
        )
        if present not in classes:
            allowed = np.array(present, dtype=bool)
            violations = int(np.count_nonzero(evidence.seen & ~allowed))
            unobserved = int(np.count_nonzero(allowed & ~evidence.seen & evidence.clear))
            classes[present], scores[present] = [], (violations, unobserved)
        classes[present].append((number, symbol))
    ranked = [SpaceGroupClass(tuple(sorted(members)), *scores[key]) for key, members in classes.items()]
    ranked.sort(key=lambda c: (c.score, -_absences(c, classes), c.groups[0][0]))
    return ranked[:CLASSES_LISTED]


def _absences(group_class: SpaceGroupClass, classes: dict[tuple[bool, ...], list[tuple[int, str]]]) -> int:
    for key, members in classes.items():
        if tuple(sorted(members)) == group_class.groups:
            return key.count(False)
    return 0


def evidence_from_lines(
    hkl: np.ndarray,
    two_theta: np.ndarray,
    observed: np.ndarray,
    tolerance: float,
    strong: np.ndarray | None = None,
) -> ReflectionEvidence:
    """Evidence from a peak list: the cell's reflections (hkl, their 2θ) against the observed lines' 2θ.

    A position is seen when an observed line lies within the tolerance; it
    is clear when it is seen by no line, or by a line only it explains.
    ``strong`` marks the observed lines that count as intensity (all when None).
    """
    order = np.argsort(two_theta, kind="stable")
    hkl, two_theta = hkl[order], two_theta[order]
    lines_seen = np.ones(observed.size, dtype=bool) if strong is None else np.asarray(strong, dtype=bool)
    groups: list[np.ndarray] = []
    positions: list[float] = []
    start = 0
    while start < two_theta.size:
        end = start + 1
        while end < two_theta.size and two_theta[end] - two_theta[start] < 1e-4:
            end += 1
        groups.append(hkl[start:end])
        positions.append(float(np.mean(two_theta[start:end])))
        start = end
    position = np.array(positions)
    top = float(np.max(observed)) + tolerance if observed.size else 0.0
    inside = position <= top
    position = position[inside]
    groups = [g for g, keep in zip(groups, inside) if keep]
    near = np.abs(position[:, None] - observed[None, :]) <= tolerance  # positions × lines
    seen = np.any(near & lines_seen[None, :], axis=1)
    # A line near several positions cannot tell which of them it is: merge them into one piece of evidence.
    crowded = np.array([np.count_nonzero(near[:, j]) > 1 for j in range(observed.size)], dtype=bool)
    clear = ~np.any(near & crowded[None, :], axis=1)
    # Neighbouring positions closer than the tolerance are one observation.
    merged_groups, merged_seen, merged_clear = [], [], []
    i = 0
    while i < position.size:
        j = i + 1
        while j < position.size and position[j] - position[j - 1] < tolerance:
            j += 1
        merged_groups.append(np.concatenate(groups[i:j]))
        merged_seen.append(bool(np.any(seen[i:j])))
        merged_clear.append(bool(np.all(clear[i:j])))
        i = j
    return ReflectionEvidence(
        tuple(merged_groups), np.array(merged_seen, dtype=bool), np.array(merged_clear, dtype=bool)
    )


def evidence_from_intensities(
    hkl: Sequence[np.ndarray], intensity: np.ndarray, sigma: np.ndarray, significance: float = 3.0
) -> ReflectionEvidence:
    """Evidence from extracted intensities: one group of reflections per extracted value.

    A group is seen when its intensity exceeds ``significance`` e.s.d.s;
    every group is clear (the extraction has already shared overlaps out).
    """
    intensity, sigma = np.asarray(intensity, dtype=float), np.asarray(sigma, dtype=float)
    seen = intensity > significance * np.maximum(sigma, 1e-300)
    return ReflectionEvidence(tuple(np.atleast_2d(g) for g in hkl), seen, np.ones(seen.size, dtype=bool))
