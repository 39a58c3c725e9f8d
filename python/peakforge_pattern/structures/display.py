"""How a structure shows itself in a notebook: formula, cell, space group and
its sites (the atoms of the cell gathered into orbits of the operations)."""

from __future__ import annotations

import html
import math
from typing import Protocol

import gemmi
import numpy as np


class Structure(Protocol):
    """What the views read of a structure (structure.Structure has it all)."""

    @property
    def name(self) -> str: ...
    @property
    def lattice(self) -> np.ndarray: ...
    @property
    def atomic_numbers(self) -> np.ndarray: ...
    @property
    def frac_coords(self) -> np.ndarray: ...
    @property
    def occupancies(self) -> np.ndarray: ...
    @property
    def b_factors(self) -> np.ndarray: ...
    @property
    def symmetry_operations(self) -> tuple[str, ...]: ...
    @property
    def warnings(self) -> tuple[str, ...]: ...
    @property
    def cell_parameters(self) -> tuple[float, float, float, float, float, float]: ...
    @property
    def symbols(self) -> list[str]: ...
    def __len__(self) -> int: ...


MAX_SITE_ROWS = 40
"""Sites shown in a notebook table; the rest are counted."""


def formula(structure: Structure) -> str:
    """The cell's content in Hill order (C, H, then alphabetical), counts
    summed over occupancies: "Al12 O18", "C2 H6 O"; a count within 1e-6 of
    a whole number is written whole."""
    counts: dict[str, float] = {}
    for symbol, occupancy in zip(structure.symbols, structure.occupancies):
        counts[symbol] = counts.get(symbol, 0.0) + float(occupancy)
    first = [s for s in ("C", "H") if "C" in counts and s in counts]
    parts = []
    for symbol in first + sorted(s for s in counts if s not in first):
        count = counts[symbol]
        text = f"{round(count)}" if abs(count - round(count)) < 1e-6 else f"{count:.4g}"
        parts.append(symbol if text == "1" else symbol + text)
    return " ".join(parts)


def reduced_formula(structure: Structure) -> str:
    """The formula in Hill order reduced to the smallest whole counts: "Al2 O3"
    for a cell of "Al12 O18"; with counts that are not whole (partial
    occupancies) the cell's formula as it is."""
    cell = formula(structure)
    counts = []
    for word in cell.split():
        symbol = word.rstrip("0123456789.")
        counts.append((symbol, float(word[len(symbol) :] or 1)))
    whole = [round(c) for _, c in counts]
    if not counts or any(abs(c - w) > 1e-6 or w <= 0 for (_, c), w in zip(counts, whole)):
        return cell
    divisor = math.gcd(*whole)
    return " ".join(s if w // divisor == 1 else f"{s}{w // divisor}" for (s, _), w in zip(counts, whole))


def space_group(structure: Structure) -> str:
    """The space group the structure's operations make, as tabulated ("R -3 c:H"); "P 1" without
    operations; the number of operations when they are in no tabulated setting."""
    ops = structure.symmetry_operations
    if not ops:
        return "P 1 (no operations given)"
    try:
        group = gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(op) for op in ops]))
    except (RuntimeError, ValueError):
        group = None
    if group is None:
        return f"{len(ops)} operations in a setting of their own"
    return f"{group.xhm()} (No. {group.number})"


def sites(structure: Structure) -> list[tuple[int, int]]:
    """(first atom, multiplicity) of each site: the atoms an operation maps onto one another."""
    ops = [gemmi.Op(op) for op in structure.symmetry_operations] or [gemmi.Op("x,y,z")]
    seitz = np.array([op.float_seitz() for op in ops])
    frac = structure.frac_coords
    lattice = structure.lattice
    assigned = np.full(len(structure), -1)
    out: list[tuple[int, int]] = []
    for j in range(len(structure)):
        if assigned[j] >= 0:
            continue
        images = seitz[:, :3, :3] @ frac[j] + seitz[:, :3, 3]
        delta = images[:, None, :] - frac[None, :, :]
        delta -= np.round(delta)
        distance = np.linalg.norm(delta @ lattice, axis=2)
        same = (distance < 0.01).any(axis=0) & (structure.atomic_numbers == structure.atomic_numbers[j])
        same &= assigned < 0
        assigned[same] = len(out)
        assigned[j] = len(out)
        out.append((j, int(max(same.sum(), 1))))
    return out


def structure_html(structure: Structure) -> str:
    """A notebook view: name, formula, space group, cell and a table of sites."""
    a, b, c, alpha, beta, gamma = structure.cell_parameters
    volume = abs(float(np.linalg.det(structure.lattice)))
    rows = []
    found = sites(structure)
    for j, multiplicity in found[:MAX_SITE_ROWS]:
        x, y, z = structure.frac_coords[j]
        symbol = structure.symbols[j]
        rows.append(
            f"<tr><td>{symbol}</td><td>{multiplicity}</td><td>{x:.5f}</td><td>{y:.5f}</td>"
            f"<td>{z:.5f}</td><td>{structure.occupancies[j]:.3f}</td><td>{structure.b_factors[j]:.3f}</td></tr>"
        )
    more = (
        f"<tr><td colspan='7'>… and {len(found) - MAX_SITE_ROWS} more sites</td></tr>"
        if len(found) > MAX_SITE_ROWS
        else ""
    )
    warnings = "".join(f"<li>{html.escape(w)}</li>" for w in structure.warnings)
    return (
        f"<div><b>{html.escape(structure.name or 'Structure')}</b>: {html.escape(formula(structure))}, "
        f"{html.escape(space_group(structure))}<br>"
        f"a = {a:.5f} Å, b = {b:.5f} Å, c = {c:.5f} Å, α = {alpha:.3f}°, β = {beta:.3f}°, γ = {gamma:.3f}°, "
        f"V = {volume:.3f} Å³, {len(structure)} atoms in the cell"
        "<table><thead><tr><th>element</th><th>mult.</th><th>x</th><th>y</th><th>z</th><th>occ.</th>"
        f"<th>B (Å²)</th></tr></thead><tbody>{''.join(rows)}{more}</tbody></table>"
        + (f"<ul>{warnings}</ul>" if warnings else "")
        + "</div>"
    )


def short_repr(structure: Structure) -> str:
    """One line: name, formula, space group and cell."""
    a, b, c, alpha, beta, gamma = structure.cell_parameters
    cell = f"a={a:.4f} b={b:.4f} c={c:.4f} α={alpha:.2f} β={beta:.2f} γ={gamma:.2f}"
    angles_right = all(math.isclose(x, 90.0, abs_tol=1e-6) for x in (alpha, beta, gamma))
    if angles_right and math.isclose(a, b) and math.isclose(b, c):
        cell = f"a={a:.4f}"
    return f"Structure({structure.name or 'unnamed'}: {formula(structure)}, {space_group(structure)}; {cell})"
