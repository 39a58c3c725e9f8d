"""The answer of an indexing run: ranked solutions, as JSON and as a table."""

from __future__ import annotations

import json
from dataclasses import dataclass

import numpy as np

from .observed import ObservedLines
from .quadratic_forms import cell_of, volume_of
from .refinement import RefinedCell
from .space_groups import SpaceGroupClass


@dataclass(frozen=True, eq=False)
class IndexSolution:
    """One cell that indexes the lines.

    ``cell`` (a, b, c in Å; α, β, γ in degrees) is conventional for its
    Bravais ``lattice``; ``cell_esd`` and ``zero_esd`` are standard
    uncertainties from the scatter of the lines about the refined positions
    (they do not cover a wrong cell or wavelength). ``hkl`` holds each
    line's indices (zeros where unindexed).
    """

    cell: tuple[float, float, float, float, float, float]
    cell_esd: tuple[float, float, float, float, float, float]
    lattice: str
    volume: float
    m20: float
    fn: float
    fn_lines: int
    fn_mean_error: float
    fn_possible: int
    zero_shift: float
    zero_esd: float
    indexed: int
    used: int
    unindexed: tuple[float, ...]
    hkl: np.ndarray
    space_groups: tuple[SpaceGroupClass, ...]
    refined: RefinedCell

    @classmethod
    def from_refined(cls, cell: RefinedCell, lattice: str, classes: list[SpaceGroupClass]) -> IndexSolution:
        parameters = cell.form.parameters(cell.general)
        covariance = cell.covariance
        esd = _cell_esd(cell, parameters, covariance[:-1, :-1])
        return cls(
            cell=cell.cell,
            cell_esd=esd,
            lattice=lattice,
            volume=float(volume_of(cell.general)),
            m20=cell.m20,
            fn=cell.fn,
            fn_lines=cell.fn_lines,
            fn_mean_error=cell.mean_error,
            fn_possible=cell.possible,
            zero_shift=cell.zero_shift,
            zero_esd=float(np.sqrt(max(covariance[-1, -1], 0.0))),
            indexed=int(np.count_nonzero(cell.indexed)),
            used=int(cell.indexed.size),
            unindexed=(),
            hkl=cell.hkl,
            space_groups=tuple(classes),
            refined=cell,
        )

    def to_dict(self, lines: ObservedLines) -> dict:
        unindexed = [round(float(x), 4) for x in lines.two_theta[~self.refined.indexed]]
        groups = []
        for rank, group_class in enumerate(self.space_groups, start=1):
            for number, symbol in group_class.groups:
                groups.append(
                    {
                        "number": number,
                        "symbol": symbol,
                        "class": rank,
                        "violations": group_class.violations,
                        "unobserved": group_class.unobserved,
                    }
                )
        return {
            "cell": [round(v, 6) for v in self.cell],
            "cell_esd": [float(f"{v:.2g}") for v in self.cell_esd],
            "lattice": self.lattice,
            "volume": round(self.volume, 4),
            "m20": round(self.m20, 2),
            "fn": round(self.fn, 2),
            "fn_lines": self.fn_lines,
            "fn_mean_error": round(self.fn_mean_error, 5),
            "fn_possible": self.fn_possible,
            "zero_shift": round(self.zero_shift, 5),
            "zero_shift_esd": float(f"{self.zero_esd:.2g}"),
            "indexed": f"{self.indexed}/{self.used}",
            "unindexed": unindexed,
            "space_groups": groups,
        }


def _cell_esd(cell: RefinedCell, parameters: np.ndarray, covariance: np.ndarray) -> tuple[float, ...]:
    """Standard uncertainties of a, b, c, α, β, γ from the parameters' covariance (numerical Jacobian)."""
    jacobian = np.zeros((6, parameters.size))
    for i in range(parameters.size):
        h = 1e-6 * abs(parameters[i]) + 1e-12
        up, down = parameters.copy(), parameters.copy()
        up[i] += h
        down[i] -= h
        try:
            jacobian[:, i] = (
                np.array(cell_of(up @ cell.form.general)) - np.array(cell_of(down @ cell.form.general))
            ) / (2 * h)
        except Exception:  # a step off the lattice: leave that column out
            continue
    variance = np.einsum("ij,jk,ik->i", jacobian, covariance, jacobian)
    return tuple(float(np.sqrt(max(v, 0.0))) for v in variance)  # type: ignore[return-value]


@dataclass(frozen=True, eq=False)
class IndexResult:
    """Solutions best first, the lines they index, and how the search went."""

    lines: ObservedLines
    solutions: list[IndexSolution]
    seconds: float
    cut_short: tuple[str, ...]
    systems: tuple[str, ...]
    source: str = ""

    def to_dict(self) -> dict:
        return {
            "source": self.source,
            "wavelength": self.lines.wavelength,
            "tolerance": self.lines.tolerance,
            "lines": [round(float(x), 4) for x in self.lines.two_theta],
            "systems": list(self.systems),
            "cut_short": list(self.cut_short),
            "seconds": round(self.seconds, 2),
            "solutions": [s.to_dict(self.lines) for s in self.solutions],
        }

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), indent=2) + "\n"

    def summary(self) -> str:
        head = (
            f"{self.source or 'peaks'}: {len(self.lines)} lines, wavelength {self.lines.wavelength:g} A, "
            f"tolerance {self.lines.tolerance:g} deg, {self.seconds:.1f} s\n"
        )
        if self.cut_short:
            head += f"searched only in part (time limit): {', '.join(self.cut_short)}\n"
        if not self.solutions:
            return head + "no cell indexes these lines\n"
        rows = [
            f"{'#':>2} {'lattice':7} {'a':>9} {'b':>9} {'c':>9} {'alpha':>7} {'beta':>7} {'gamma':>7} "
            f"{'volume':>9} {'M20':>7} {'F_N':>12} {'zero':>7} {'indexed':>7}  space groups"
        ]
        for rank, s in enumerate(self.solutions, start=1):
            a, b, c, al, be, ga = s.cell
            groups = s.space_groups[0].groups if s.space_groups else ()
            listed = ", ".join(sym for _, sym in groups[:4]) + (" ..." if len(groups) > 4 else "")
            rows.append(
                f"{rank:>2} {s.lattice:7} {a:9.5f} {b:9.5f} {c:9.5f} {al:7.3f} {be:7.3f} {ga:7.3f} "
                f"{s.volume:9.2f} {s.m20:7.1f} {f'F{s.fn_lines}={s.fn:.1f}':>12} {s.zero_shift:7.3f} "
                f"{f'{s.indexed}/{s.used}':>7}  {listed}"
            )
        return head + "\n".join(rows) + "\n"
