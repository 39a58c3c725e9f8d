"""Writing a refined structure as a CIF file: cell, symmetry operations and
sites, each refined number with its standard uncertainty in parentheses.

Uncertainties follow the IUCr rule of 19 (Acta Cryst. A 39 (1983) 174):
one digit, or two when the leading ones read 10 to 19 (0.35216(4),
12.9933(12)); a value held fixed is written without one. B goes into
_atom_site_B_iso_or_equiv, so the file keeps the numbers the refinement
moved rather than U converted from them.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass

import gemmi

from ..atomic_file import write_text_atomically

AXES = ("x", "y", "z")


def with_uncertainty(value: float, esd: float | None, fixed_decimals: int = 5) -> str:
    """``value`` with its standard uncertainty in parentheses, by the rule of 19.

    Parameters
    ----------
    value : float
    esd : float or None
        Standard uncertainty; None or 0 for a value held fixed, written
        with ``fixed_decimals`` decimals.

    Returns
    -------
    str

    Examples
    --------
    >>> with_uncertainty(0.352163, 0.000041), with_uncertainty(12.99331, 0.00118), with_uncertainty(0.25, None)
    ('0.35216(4)', '12.9933(12)', '0.25000')
    """
    if esd is None or not (math.isfinite(esd) and esd > 0.0) or not math.isfinite(value):
        return f"{value:.{fixed_decimals}f}"
    decimals = -math.floor(math.log10(esd))  # the place of the first significant digit
    leading = _half_up(esd * 10.0 ** (decimals + 1))  # the first two digits, 10 to 100
    if leading <= 19:
        decimals, digits = decimals + 1, leading
    else:
        digits = _half_up(esd * 10.0**decimals)  # 2 to 10; 10 reads as the two digits "10"
    if decimals <= 0:
        return f"{round(value, decimals):.0f}({digits * 10**-decimals:d})"
    return f"{value:.{decimals}f}({digits:d})"


def _half_up(x: float) -> int:
    return math.floor(x + 0.5)


@dataclass(frozen=True)
class SiteRecord:
    """One site as written: label, element, coordinates, occupancy and B with
    their uncertainties (None where held fixed), and the anisotropic U11,
    U22, U33, U12, U13, U23 (Å², CIF convention) of a site that has them."""

    label: str
    element: str
    xyz: tuple[float, float, float]
    occupancy: float
    b: float
    xyz_esd: tuple[float | None, float | None, float | None] = (None, None, None)
    occupancy_esd: float | None = None
    b_esd: float | None = None
    u_aniso: tuple[float, ...] | None = None


def _quoted(text: str) -> str:
    return gemmi.cif.quote(text)


def cif_text(
    name: str,
    cell: Sequence[float],
    cell_esd: Sequence[float | None],
    operations: Sequence[str],
    sites: Sequence[SiteRecord],
    *,
    notes: Sequence[str] = (),
) -> str:
    """The CIF text of a refined structure.

    Parameters
    ----------
    name : str
        Data block name (letters, digits and ``_`` kept; others become ``_``).
    cell, cell_esd : six floats, six floats or None
        a, b, c (Å), α, β, γ (degrees) and their uncertainties.
    operations : sequence of str
        The space group's coordinate triplets, in the setting of the sites.
    sites : sequence of SiteRecord
    notes : sequence of str
        Lines written as comments at the top (how the structure was refined).

    Returns
    -------
    str
    """
    block = "".join(c if c.isalnum() or c == "_" else "_" for c in name) or "refined"
    lines = [f"# {note}" for note in notes]
    lines += [f"data_{block}", ""]
    entry = gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(t) for t in operations]))
    if entry is not None:
        lines += [f"_space_group_name_H-M_alt {_quoted(entry.xhm())}", f"_space_group_IT_number {entry.number}"]
    names = (
        "_cell_length_a",
        "_cell_length_b",
        "_cell_length_c",
        "_cell_angle_alpha",
        "_cell_angle_beta",
        "_cell_angle_gamma",
    )
    for tag, value, esd in zip(names, cell, cell_esd):
        lines.append(f"{tag} {with_uncertainty(value, esd, 5 if 'length' in tag else 4)}")
    lines += ["", "loop_", "_space_group_symop_id", "_space_group_symop_operation_xyz"]
    lines += [f"{i + 1} {_quoted(t)}" for i, t in enumerate(operations)]
    lines += [
        "",
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
        "_atom_site_B_iso_or_equiv",
        "_atom_site_adp_type",
    ]
    for site in sites:
        xyz = [with_uncertainty(v + 0.0, e) for v, e in zip(site.xyz, site.xyz_esd)]
        lines.append(
            " ".join(
                [
                    _quoted(site.label),
                    site.element,
                    *xyz,
                    with_uncertainty(site.occupancy, site.occupancy_esd, 4),
                    with_uncertainty(site.b, site.b_esd, 3),
                    "Biso" if site.u_aniso is None else "Uani",
                ]
            )
        )
    anisotropic = [site for site in sites if site.u_aniso is not None]
    if anisotropic:
        lines += [
            "",
            "loop_",
            "_atom_site_aniso_label",
            *(f"_atom_site_aniso_U_{ij}" for ij in ("11", "22", "33", "12", "13", "23")),
        ]
        lines += [" ".join([_quoted(site.label), *(f"{u:.6f}" for u in site.u_aniso or ())]) for site in anisotropic]
    return "\n".join(lines) + "\n"


def write_cif(path: str | os.PathLike[str], text: str) -> None:
    """Write CIF text whole, or leave ``path`` as it was."""
    write_text_atomically(path, text)
