"""The cell's content against the formula a file states (_chemical_formula_sum × Z)."""

from __future__ import annotations

import re

import gemmi
import numpy as np

_TERM = re.compile(r"([A-Z][a-z]?)(\d*\.?\d*)")

# Published occupancies are rounded; a few per cent of the formula is noise.
_RELATIVE_SLACK = 0.02
_ABSOLUTE_SLACK = 0.1


def parse_formula(text: str) -> dict[int, float] | None:
    """Atomic number → count for a formula such as "Ca F2" or "Al0.5 Si O3".

    Returns None for what is not a plain sum of elements (parentheses,
    unknown symbols): such a formula is not checked.
    """
    counts: dict[int, float] = {}
    for term in text.split():
        match = _TERM.fullmatch(term)
        if not match:
            return None
        element = gemmi.Element(match.group(1))
        if element.atomic_number == 0 or element.name != match.group(1):
            return None
        number = float(match.group(2)) if match.group(2) not in ("", ".") else 1.0
        counts[element.atomic_number] = counts.get(element.atomic_number, 0.0) + number
    return counts or None


def _formula_text(counts: dict[int, float]) -> str:
    return " ".join(f"{gemmi.Element(z).name}{n:.4g}" for z, n in sorted(counts.items()))


def composition_problems(
    atomic_numbers: np.ndarray, occupancies: np.ndarray, formula_sum: str, formula_units: float | None
) -> list[str]:
    """A warning when the atoms of the cell do not add up to the stated formula.

    With Z the counts are compared; without it only their proportions.
    Hydrogen is left out when no hydrogen site is listed (X-ray structures
    often do not locate it).
    """
    formula = parse_formula(formula_sum)
    if formula is None:
        return []
    cell: dict[int, float] = {}
    for z, occupancy in zip(atomic_numbers.tolist(), occupancies.tolist()):
        cell[z] = cell.get(z, 0.0) + occupancy
    if 1 not in cell:
        formula.pop(1, None)
    elements = set(formula) | set(cell)
    if not formula or not elements:
        return []
    if formula_units:
        expected = {z: n * formula_units for z, n in formula.items()}
        differs = any(
            abs(cell.get(z, 0.0) - expected.get(z, 0.0)) > max(_RELATIVE_SLACK * expected.get(z, 0.0), _ABSOLUTE_SLACK)
            for z in elements
        )
        if differs:
            return [
                f"the cell holds {_formula_text(cell)} but _chemical_formula_sum "
                f"'{formula_sum}' with Z = {formula_units:g} gives {_formula_text(expected)}"
            ]
        return []
    if set(formula) != set(cell):
        return [f"the cell holds {_formula_text(cell)}, other elements than _chemical_formula_sum '{formula_sum}'"]
    ratios = [cell[z] / formula[z] for z in elements if formula[z] > 0]
    if ratios and max(ratios) > (1.0 + _RELATIVE_SLACK) * min(ratios):
        return [
            f"the cell holds {_formula_text(cell)}, not in the proportions of _chemical_formula_sum '{formula_sum}'"
        ]
    return []
