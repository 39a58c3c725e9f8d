"""Refined sites and bond lengths as text, in the crystallographers' notation."""

from __future__ import annotations

from collections.abc import Sequence

from ...structures.cif_writer import SiteRecord, with_uncertainty
from .atom_results import BondAngle, BondLength


def atom_table(phase: str, sites: Sequence[SiteRecord]) -> str:
    """The refined sites of a phase: label, element, x, y, z, occupancy and B with uncertainties."""
    header = ["site", "element", "x", "y", "z", "occupancy", "B"]
    rows = site_rows(sites)
    widths = [max(len(r[c]) for r in [header] + rows) for c in range(len(header))]
    lines = [f"{phase} sites"]
    for row in [header] + rows:
        lines.append(
            "  "
            + "  ".join(
                cell.ljust(w) if c < 2 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths))
            ).rstrip()
        )
    return "\n".join(lines)


def site_rows(sites: Sequence[SiteRecord]) -> list[list[str]]:
    """Each site as printed: label, element, x, y, z, occupancy, B (with uncertainties)."""
    return [
        [
            s.label,
            s.element,
            *(with_uncertainty(v, e) for v, e in zip(s.xyz, s.xyz_esd)),
            with_uncertainty(s.occupancy, s.occupancy_esd, 4),
            with_uncertainty(s.b, s.b_esd, 3),
        ]
        for s in sites
    ]


def bond_rows(bonds: Sequence[BondLength]) -> list[list[str]]:
    """Each bond as printed: first and second site, distance with uncertainty, count."""
    return [[b.first, b.second, with_uncertainty(b.distance, b.esd, 4), str(b.count)] for b in bonds]


def bond_table(phase: str, bonds: Sequence[BondLength]) -> str:
    """Bond lengths of a phase with uncertainties, and how many neighbours of the first site are at each."""
    lines = [f"{phase} bonds (A)"]
    if not bonds:
        lines.append("  (none)")
    for bond in bonds:
        lines.append(
            f"  {bond.first:<6} {bond.second:<6} {with_uncertainty(bond.distance, bond.esd, 4):>12}"
            + (f"  x{bond.count}" if bond.count > 1 else "")
        )
    return "\n".join(lines)


def angle_rows(angles: Sequence[BondAngle]) -> list[list[str]]:
    """Each angle as printed: the three sites, the angle with its uncertainty, the count."""
    return [[a.first, a.apex, a.second, with_uncertainty(a.angle, a.esd, 2), str(a.count)] for a in angles]


def angle_table(phase: str, angles: Sequence[BondAngle]) -> str:
    """Bond angles of a phase with uncertainties, by apex site, and how many such angles it has."""
    lines = [f"{phase} bond angles (degrees)"]
    for first, apex, second, angle, count in angle_rows(angles):
        lines.append(f"  {first:<6} {apex:<6} {second:<6} {angle:>10}" + (f"  x{count}" if count != "1" else ""))
    return "\n".join(lines)
