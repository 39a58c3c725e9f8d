"""Why a reflection is missing from a pattern: extinguished by the space
group (its centring, a glide, a screw axis), or allowed but accidentally
weak, its atoms' waves nearly cancelling (silicon's (2 2 2), KCl's (1 1 1)).

The sets of equivalent reflections come from the pattern engine, with the
operations the atoms follow; symmetry_elements names the operations.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gemmi
import numpy as np

from ..errors import InputError
from ..structures.found_symmetry import with_found_symmetry
from ..structures.structure import Structure
from .compute import has_hexagonal_axes
from .engine_route import engine_reflection_columns
from .formats import hkl_label
from .request import PatternRequest
from .symmetry_elements import extinction_reasons
from .work import check_work, estimate_work, reciprocal_shell

WEAK_BELOW = 1e-3
"""An allowed set is accidentally weak when its |F|² is below this fraction
of the largest |F|² in the range."""


@dataclass(frozen=True)
class ReflectionSet:
    """One set of symmetry-equivalent reflections: a representative ``hkl``,
    how many reflections the set holds, d (Å), 2θ (degrees) and |F|² (per
    reflection; electrons² for X-rays, fm² for neutrons, Å² for electrons)."""

    hkl: tuple[int, ...]
    multiplicity: int
    d: float
    two_theta: float
    f_squared: float


@dataclass(frozen=True)
class AbsentReflection:
    """A set the space group extinguishes, and why ("C-centring", "d-glide ⊥ [001]", "2₁ along b")."""

    hkl: tuple[int, ...]
    multiplicity: int
    d: float
    two_theta: float
    reasons: tuple[str, ...]


@dataclass(frozen=True)
class Absences:
    """The reflections of a 2θ range missing from a structure's pattern.

    ``systematic`` lists the sets extinguished by the space group (whatever
    the atoms), ``weak`` the allowed sets whose |F|² is below ``weak_below``
    times ``strongest_f_squared``, the largest in the range.
    """

    structure_name: str
    space_group: str
    wavelength: float
    two_theta_range: tuple[float, float]
    systematic: tuple[AbsentReflection, ...]
    weak: tuple[ReflectionSet, ...]
    weak_below: float
    strongest_f_squared: float
    notes: tuple[str, ...] = ()

    def to_table(self) -> str:
        """Both lists as fixed-width text, each under a comment line saying what it holds."""
        lo, hi = self.two_theta_range
        group = f" ({self.space_group})" if self.space_group else ""
        lines = [
            f"# {self.structure_name or 'structure'}{group}: reflections systematically absent, "
            f"2theta {lo:g}-{hi:g}, wavelength {self.wavelength:g} A"
        ]
        rows = [
            [f"{r.two_theta:.4f}", f"{r.d:.5f}", hkl_label(r.hkl), str(r.multiplicity), "; ".join(r.reasons)]
            for r in self.systematic
        ]
        lines += _columns(["2theta", "d", "hkl", "mult", "reason"], rows) if rows else ["# none"]
        lines.append(
            f"# allowed but weak: |F|^2 below {self.weak_below:g} of the strongest ({self.strongest_f_squared:.6g})"
        )
        rows = [
            [f"{r.two_theta:.4f}", f"{r.d:.5f}", hkl_label(r.hkl), str(r.multiplicity), f"{r.f_squared:.3g}"]
            for r in self.weak
        ]
        lines += _columns(["2theta", "d", "hkl", "mult", "|F|^2"], rows) if rows else ["# none"]
        return "\n".join(lines) + "\n"

    def to_dict(self) -> dict:
        """The lists as plain values, as written to JSON."""

        def common(r):
            return {"hkl": list(r.hkl), "multiplicity": r.multiplicity, "d": r.d, "two_theta": r.two_theta}

        return {
            "structure": self.structure_name,
            "space_group": self.space_group,
            "wavelength": self.wavelength,
            "two_theta_range": list(self.two_theta_range),
            "notes": list(self.notes),
            "systematic": [{**common(r), "reasons": list(r.reasons)} for r in self.systematic],
            "weak_below": self.weak_below,
            "strongest_f_squared": self.strongest_f_squared,
            "weak": [{**common(r), "f_squared": r.f_squared} for r in self.weak],
        }

    def __repr__(self) -> str:
        return (
            f"Absences({self.structure_name or 'unnamed'}: {len(self.systematic)} sets extinguished, "
            f"{len(self.weak)} weak, 2theta {self.two_theta_range[0]:g} to {self.two_theta_range[1]:g})"
        )


def _columns(header: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [cell.rjust(w) if i < 2 else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def space_group_name(operations: Sequence[str]) -> str:
    """The tabulated space group these operations make, in their own setting ("" when none is)."""
    if not operations:
        return ""
    try:
        group = gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(op) for op in operations]))
    except (RuntimeError, ValueError):
        return ""
    return "" if group is None else group.xhm()


def four_index(hkl: tuple[int, ...]) -> tuple[int, ...]:
    h, k, l = hkl
    return (h, k, -(h + k), l)


def explain_absences(
    structure: Structure | str | Path,
    wavelength: float | str | None = None,
    two_theta_range: Sequence[float] | None = None,
    *,
    request: PatternRequest | None = None,
    weak_below: float = WEAK_BELOW,
    **fields: Any,
) -> Absences:
    """The reflections of a 2θ range missing from a structure's pattern, and why.

    Parameters
    ----------
    structure
        A Structure or the path of a CIF file.
    wavelength, two_theta_range, request, fields
        The calculation, as compute_pattern takes it (wavelength, radiation,
        anomalous, as_given, hkil, max_work, ... ).
    weak_below
        Allowed sets with |F|² below this fraction of the range's largest are listed as weak.

    Returns
    -------
    Absences
        ``systematic`` (with reasons) and ``weak`` sets, in increasing 2θ.

    Raises
    ------
    InputError
        For a bad option or threshold, or a calculation above the work limit.

    Examples
    --------
    >>> from peakforge_pattern import example_path
    >>> absences = explain_absences(example_path("silicon"), "CuKa", (0, 60))
    >>> [(r.hkl, r.reasons) for r in absences.systematic][2]
    ((2, 0, 0), ('d-glide ⊥ [001]', 'd-glide ⊥ [010]', '4₁ along a', '4₃ along a'))
    """
    request = PatternRequest.from_call(request, wavelength, two_theta_range, **fields)
    if not isinstance(structure, Structure):
        structure = Structure.from_cif(structure)
    if not (math.isfinite(weak_below) and 0.0 <= weak_below < 1.0):
        raise InputError(f"the weak threshold must lie in [0, 1), not {weak_below!r}")
    lam, (lo, hi) = request.wavelength, request.two_theta_range
    check_work(estimate_work(structure.lattice, len(structure), lam, (lo, hi)), request.max_work)
    notes: tuple[str, ...] = ()
    if not request.as_given:
        structure, note = with_found_symmetry(structure)
        notes = () if note is None else (note,)
    min_g, max_g = reciprocal_shell(lam, (lo, hi))
    try:
        table = engine_reflection_columns(structure, request, min_g, max_g)
    except ValueError as exc:  # the index bounds would not fit the walk's integers
        raise InputError(f"the 2theta range is too wide for this cell and wavelength: {exc}") from None
    label = four_index if request.hkil and has_hexagonal_axes(structure) else tuple
    absent = table["absent"].astype(bool)
    f_squared = table["f_squared"]
    strongest = float(f_squared.max(initial=0.0))
    systematic, weak = [], []
    for i in range(len(absent)):
        hkl = tuple(int(x) for x in table["hkl"][i])
        common = (label(hkl), int(table["multiplicity"][i]), float(table["d"][i]), float(table["two_theta"][i]))
        if absent[i]:
            reasons = extinction_reasons(
                np.array(hkl), table["rotations"], table["translations"], table["translation_known"], table["centring"]
            )
            systematic.append(AbsentReflection(*common, reasons))
        elif f_squared[i] < weak_below * strongest:
            weak.append(ReflectionSet(*common, float(f_squared[i])))
    return Absences(
        structure.name,
        space_group_name(structure.symmetry_operations),
        lam,
        (lo, hi),
        tuple(systematic),
        tuple(weak),
        float(weak_below),
        strongest,
        notes,
    )
