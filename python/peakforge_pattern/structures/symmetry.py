"""Space groups from whatever a structure file states about its symmetry.

A file may list its symmetry operations, give a Hall symbol, a
Hermann–Mauguin name or only the space-group number.  Listed operations are
taken as they stand when they form a group, in whatever setting or origin
they are written (gemmi builds and checks the group from the operations
themselves); the names are looked up in gemmi's table of settings.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

import gemmi
import numpy as np

from ..errors import InputError
from . import assembly

# Relative tolerance of the metric check: about 0.1° in an angle or 0.1 % in
# a length, far above the rounding of published cells.
_METRIC_TOLERANCE = 2e-3

# A triplet holds only x, y, z, digits, signs, fractions and decimal points.
_TRIPLET_CHARACTERS = re.compile(r"[xyzXYZ0-9+\-/.,\s]+")

# Database suffixes of the origin choice or axes: "F d -3 m Z", "R -3 c H".
_SETTING_SUFFIX = re.compile(r"\s+([ZSHR])$", re.IGNORECASE)
_SUFFIX_TO_TABLE = {"Z": "2", "S": "1", "H": "H", "R": "R"}


@dataclass(frozen=True)
class SymmetryStatement:
    """What a file says about its symmetry; empty fields were not given."""

    operations: tuple[str, ...] = ()
    hall: str = ""
    hermann_mauguin: str = ""
    number: int = 0

    @property
    def is_empty(self) -> bool:
        return not (self.operations or self.hall or self.hermann_mauguin or self.number)


@dataclass(frozen=True)
class SpaceGroupChoice:
    """The operations to expand the sites with, identity first, and where they came from."""

    operations: tuple[gemmi.Op, ...]
    description: str
    warnings: tuple[str, ...] = ()

    @functools.cached_property
    def triplets(self) -> tuple[str, ...]:
        return tuple(op.triplet() for op in self.operations)

    @functools.cached_property
    def rotations(self) -> np.ndarray:
        """The operations' rotations (m×3×3, acting on fractional coordinates)."""
        return self._seitz[:, :3, :3].copy()

    @functools.cached_property
    def translations(self) -> np.ndarray:
        """The operations' translations (m×3, fractional)."""
        return self._seitz[:, :3, 3].copy()

    @functools.cached_property
    def _seitz(self) -> np.ndarray:
        return np.array([op.float_seitz() for op in self.operations], dtype=float).reshape(-1, 4, 4)


def _identity_first(group: gemmi.GroupOps) -> tuple[gemmi.Op, ...]:
    ops = [op.wrap() for op in group]
    identity = gemmi.Op("x,y,z")
    ops.sort(key=lambda op: op != identity)
    return tuple(ops)


def parse_operation(triplet: str) -> gemmi.Op:
    """A coordinate triplet such as "-y,x-y,z+1/3" as an operation."""
    text = triplet.strip()
    if not _TRIPLET_CHARACTERS.fullmatch(text):
        raise InputError(f"cannot read the symmetry operation {triplet!r}")
    try:
        op = gemmi.Op(text)
    except (RuntimeError, ValueError):
        raise InputError(f"cannot read the symmetry operation {triplet!r}") from None
    if abs(op.det_rot()) != gemmi.Op.DEN**3:
        raise InputError(f"the symmetry operation {triplet!r} does not preserve volume")
    return op.wrap()


def _distinct(ops: list[gemmi.Op]) -> list[gemmi.Op]:
    seen, distinct = set(), []
    for op in ops:
        key = str(op.seitz())
        if key not in seen:
            seen.add(key)
            distinct.append(op)
    return distinct


def _group_of_listed(triplets: tuple[str, ...]) -> tuple[gemmi.GroupOps, int]:
    """The group the listed operations generate, and how many distinct ones were listed."""
    ops = _distinct([parse_operation(t) for t in triplets])
    group = gemmi.GroupOps(ops)
    try:
        group.add_missing_elements()
    except RuntimeError:
        raise InputError(f"the {len(ops)} symmetry operations do not generate a space group") from None
    return group, len(ops)


def _name_of(group: gemmi.GroupOps, count: int) -> str:
    entry = gemmi.find_spacegroup_by_ops(group)
    return entry.xhm() if entry is not None else f"the {count} listed symmetry operations"


def _table_entry_by_name(name: str, alpha: float, gamma: float) -> gemmi.SpaceGroup | None:
    text = " ".join(name.split())
    prefer = "2"  # the origin at a centre of symmetry, as current tables print
    suffix = _SETTING_SUFFIX.search(text)
    if suffix:
        text = text[: suffix.start()]
        prefer = _SUFFIX_TO_TABLE[suffix.group(1).upper()]
    try:
        return gemmi.find_spacegroup_by_name(text, alpha, gamma, prefer)
    except (RuntimeError, ValueError):
        return None


def _origin_alternative(entry: gemmi.SpaceGroup, name: str) -> gemmi.SpaceGroup | None:
    """The other origin choice of a group named without one ("F d -3 m"), if it has one."""
    if entry.ext not in ("1", "2") or _SETTING_SUFFIX.search(name.strip()) or ":" in name:
        return None
    other = "1" if entry.ext == "2" else "2"
    try:
        return gemmi.find_spacegroup_by_name(f"{entry.hm}:{other}")
    except (RuntimeError, ValueError):
        return None


def _named_group(
    statement: SymmetryStatement, alpha: float, gamma: float
) -> tuple[list[tuple[gemmi.GroupOps, str]], list[str]]:
    """Groups from the Hall symbol, else the H-M name, else the number.

    The first entry is the one to use; a second one is the other origin
    choice of a name that does not say which it means.
    """
    problems: list[str] = []
    if statement.hall:
        try:
            group = gemmi.symops_from_hall(statement.hall)
            return [(group, f"Hall symbol '{statement.hall}'")], problems
        except (RuntimeError, ValueError):
            problems.append(f"unknown Hall symbol '{statement.hall}'")
    if statement.hermann_mauguin:
        entry = _table_entry_by_name(statement.hermann_mauguin, alpha, gamma)
        if entry is not None:
            groups = [(entry.operations(), entry.xhm())]
            other = _origin_alternative(entry, statement.hermann_mauguin)
            if other is not None:
                groups.append((other.operations(), other.xhm()))
            return groups, problems
        problems.append(f"unknown space group '{statement.hermann_mauguin}'")
    if statement.number:
        if not 1 <= statement.number <= 230:
            problems.append(f"space-group number {statement.number} is not between 1 and 230")
        else:
            entry = gemmi.get_spacegroup_reference_setting(statement.number)
            if entry.ext in ("H", "R"):  # hexagonal or rhombohedral axes, whichever the cell has
                entry = gemmi.find_spacegroup_by_name(entry.hm, alpha, gamma) or entry
            groups = [(entry.operations(), f"{entry.xhm()} (No. {statement.number})")]
            other = _origin_alternative(entry, entry.hm)
            if other is not None:
                groups.append((other.operations(), f"{other.xhm()} (No. {statement.number})"))
            return groups, problems
    return [], problems


def _contains(group: gemmi.GroupOps, subgroup: gemmi.GroupOps) -> bool:
    members = {str(op.wrap().seitz()) for op in group}
    return all(str(op.wrap().seitz()) in members for op in subgroup)


def space_group_choices(
    statement: SymmetryStatement, alpha: float = 90.0, gamma: float = 90.0
) -> list[SpaceGroupChoice]:
    """The space group(s) to expand a file's sites with, best first.

    ``alpha`` and ``gamma`` (degrees) pick hexagonal or rhombohedral axes
    for a rhombohedral group given by name.  More than one choice comes
    back only for a name that leaves the origin open; the caller picks the
    one under which the sites do not collide.  Raises InputError when the
    file states symmetry that cannot be used.  Each distinct statement is
    worked out once (files of one group share it).
    """
    return list(_cached_choices(statement, float(alpha), float(gamma)))


@functools.lru_cache(maxsize=1024)
def _cached_choices(statement: SymmetryStatement, alpha: float, gamma: float) -> tuple[SpaceGroupChoice, ...]:
    return tuple(_choices(statement, alpha, gamma))


def _choices(statement: SymmetryStatement, alpha: float, gamma: float) -> list[SpaceGroupChoice]:
    if statement.is_empty:
        return [SpaceGroupChoice((gemmi.Op("x,y,z"),), "P 1 (no symmetry given)")]
    named, problems = _named_group(statement, alpha, gamma)
    if statement.operations:
        try:
            listed, count = _group_of_listed(statement.operations)
        except InputError as exc:
            if not named:
                raise
            group, where = named[0]
            return [
                SpaceGroupChoice(_identity_first(group), where, (f"{exc}; the symmetry of {where} is used instead",))
            ]
        warnings = list(problems)
        where = _name_of(listed, count)
        if len(listed) != count:
            warnings.append(
                f"the {count} listed symmetry operations are not a group; "
                f"completed to the {len(listed)} operations they generate"
            )
        if named:
            group, name = named[0]
            if len(group) > len(listed) and _contains(group, listed):
                warnings.append(
                    f"the listed symmetry operations are only part of {name}; its {len(group)} operations are used"
                )
                return [SpaceGroupChoice(_identity_first(group), name, tuple(warnings))]
            if len(group) != len(listed):
                warnings.append(
                    f"the file names {name} ({len(group)} operations) but lists "
                    f"{len(listed)}; the listed operations are used"
                )
        return [SpaceGroupChoice(_identity_first(listed), where, tuple(warnings))]
    if not named:
        raise InputError(problems[0])
    return [SpaceGroupChoice(_identity_first(group), where, tuple(problems)) for group, where in named]


def metric_mismatch(lattice: np.ndarray, operations: tuple[gemmi.Op, ...]) -> float:
    """Largest relative change of the cell's metric under the operations.

    A cell fits a group when every rotation maps it onto itself: RᵀGR = G
    for the metric tensor G, in any setting.
    """
    rotations = np.array([op.float_seitz() for op in operations], dtype=float).reshape(-1, 4, 4)[:, :3, :3]
    return assembly.metric_mismatch(lattice, np.ascontiguousarray(rotations))


def check_cell_against_group(lattice: np.ndarray, choice: SpaceGroupChoice) -> list[str]:
    """A warning when the cell's shape does not have the group's symmetry."""
    mismatch = assembly.metric_mismatch(lattice, choice.rotations)
    if mismatch <= _METRIC_TOLERANCE:
        return []
    return [
        f"the cell does not have the symmetry of {choice.description} "
        f"(its metric changes by {100 * mismatch:.2g} % under the operations)"
    ]


def expand_sites(
    frac: np.ndarray, operations: tuple[gemmi.Op, ...], lattice: np.ndarray, tolerance: float
) -> tuple[np.ndarray, np.ndarray]:
    """Every symmetry image of every site, wrapped into the cell.

    Images of one site closer than ``tolerance`` Å (a site on a special
    position) count once.  Returns the positions and, for each, the index
    of the site it came from.
    """
    seitz = np.array([op.float_seitz() for op in operations], dtype=float).reshape(-1, 4, 4)
    positions, site_of, _ = assembly.expand_sites(
        lattice, frac, np.ascontiguousarray(seitz[:, :3, :3]), np.ascontiguousarray(seitz[:, :3, 3]), tolerance
    )
    return positions, site_of
