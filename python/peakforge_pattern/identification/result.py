"""What an identification found: phases with weight fractions, the next
candidates, the peaks nothing explains; as text and JSON (``plotting.plot_identification``
draws it)."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any

from ..fitting.fit import FitResult


@dataclass(frozen=True)
class Candidate:
    """A library entry and how well its peaks explain the scan.

    ``name`` is the entry's (its CIF's mineral or common name, else its
    file's stem) and ``formula`` its formula in Hill order, reduced;
    ``score`` is the figure of merit (0–1); ``coverage`` the share of the
    entry's intensity the observed peaks hold, ``explained`` the share of the
    observed intensity it accounts for, ``strain`` the uniform cell strain
    and ``zero_shift`` (degrees) that place its peaks best.
    """

    id: str
    name: str
    score: float
    coverage: float
    explained: float
    strain: float
    zero_shift: float
    formula: str = ""

    def to_dict(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "formula": self.formula,
            "score": self.score,
            "coverage": self.coverage,
            "explained": self.explained,
            "strain": self.strain,
            "zero_shift": self.zero_shift,
        }


@dataclass(frozen=True)
class IdentifiedPhase:
    """A phase kept by the search, named as its library entry (and its
    formula, Hill order, reduced), with its weight fraction (0–1) and its
    standard uncertainty (None where the fit gives none); ``alternatives``
    are the other library entries of the same phase (same composition,
    same strongest spacings), which the scan cannot tell from this one."""

    id: str
    name: str
    weight_fraction: float
    weight_fraction_esd: float | None
    score: float
    strain: float
    alternatives: list[str] = field(default_factory=list)
    formula: str = ""

    def to_dict(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "formula": self.formula,
            "weight_fraction": self.weight_fraction,
            "weight_fraction_esd": self.weight_fraction_esd,
            "score": self.score,
            "strain": self.strain,
            "alternatives": list(self.alternatives),
        }


@dataclass(frozen=True)
class UnexplainedPeak:
    """An observed peak the phases found do not account for: 2θ (degrees),
    d (Å) and net height, and the share of it left unexplained. ``line``
    ("Cu Kβ") and ``parent`` (2θ) name the stronger peak whose Kβ line it
    sits at, where it sits at one."""

    two_theta: float
    d: float
    height: float
    unexplained: float
    line: str | None = None
    parent: float | None = None

    def to_dict(self) -> dict[str, Any]:
        return {
            "two_theta": self.two_theta,
            "d": self.d,
            "height": self.height,
            "unexplained": self.unexplained,
            "line": self.line,
            "line_of": self.parent,
        }


@dataclass(frozen=True)
class SearchStep:
    """One round of the search: the candidate tried, the misfit with it and
    the information criterion's change (negative: kept)."""

    id: str
    name: str
    misfit: float
    criterion_change: float
    kept: bool


@dataclass(frozen=True, eq=False)
class IdentificationResult:
    """The phases found in a scan, best first, and how they were found.

    ``fit`` is the final whole-pattern fit of the phases found (None when
    none was found); ``scored`` the number of library entries scored;
    ``seconds`` the time spent scoring the library and in the whole search.
    """

    scan: str
    library: str
    phases: list[IdentifiedPhase]
    candidates: list[Candidate]
    unexplained_peaks: list[UnexplainedPeak]
    fit: FitResult | None
    steps: list[SearchStep] = field(default_factory=list)
    scored: int = 0
    observed_peaks: int = 0
    scoring_seconds: float = 0.0
    seconds: float = 0.0
    warnings: list[str] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        """The result as plain data: ``phases``, ``candidates`` and ``unexplained_peaks``, with the
        search's figures, its ``warnings`` and the final whole-pattern ``fit`` (None without one)."""
        return {
            "scan": self.scan,
            "library": self.library,
            "phases": [p.to_dict() for p in self.phases],
            "candidates": [c.to_dict() for c in self.candidates],
            "unexplained_peaks": [p.to_dict() for p in self.unexplained_peaks],
            "warnings": list(self.warnings),
            "fit": None if self.fit is None else self.fit.to_dict(),
            "rwp": None if self.fit is None else self.fit.rwp,
            "scored": self.scored,
            "observed_peaks": self.observed_peaks,
            "scoring_seconds": self.scoring_seconds,
            "seconds": self.seconds,
        }

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), indent=2, allow_nan=False) + "\n"

    def summary(self) -> str:
        """The result as text."""
        lines = [
            f"{self.scan}: {self.observed_peaks} peaks; {self.scored} library entries scored in "
            f"{self.scoring_seconds:.2f} s, search {self.seconds:.1f} s"
        ]
        if self.fit is not None:
            lines.append(f"Rwp {100 * self.fit.rwp:.2f} %  Rexp {100 * self.fit.rexp:.2f} %  chi2 {self.fit.chi2:.3f}")
        if self.phases:
            lines.append("phases found:")
            width = max(len(p.name) for p in self.phases)
            formulas = max(len(p.formula) for p in self.phases)
            for p in self.phases:
                lines.append(
                    f"  {p.name:<{width}}  {p.formula:<{formulas}}  "
                    f"{percent_text(p.weight_fraction, p.weight_fraction_esd):>14} wt %  "
                    f"score {p.score:.3f}  strain {100 * p.strain:+.2f} %  {p.id}"
                )
                if p.alternatives:
                    more = len(p.alternatives) - 5
                    also = ", ".join(p.alternatives[:5]) + (f" and {more} more" if more > 0 else "")
                    lines.append(f"  {'':<{width}}  or, the same phase: {also}")
        else:
            lines.append("no phase found")
        lines += self._unexplained_lines()
        if self.candidates:
            lines.append("next candidates:")
            width = max(len(c.name) for c in self.candidates)
            formulas = max(len(c.formula) for c in self.candidates)
            for c in self.candidates:
                lines.append(
                    f"  {c.name:<{width}}  {c.formula:<{formulas}}  score {c.score:.3f}  coverage {c.coverage:.2f}  "
                    f"explains {100 * c.explained:.0f} %  {c.id}"
                )
        return "\n".join(lines) + "\n"

    def _unexplained_lines(self) -> list[str]:
        """The unexplained peaks, those at a Kβ line of a stronger peak apart."""
        other = [p for p in self.unexplained_peaks if p.line is None]
        k_beta = [p for p in self.unexplained_peaks if p.line is not None]
        lines = [f"unexplained peaks (2theta): {_unexplained_text(other)}"] if other else []
        if len(other) >= 6:  # enough for a cell: perhaps a phase in no library
            lines.append(
                f"{len(other)} unexplained peaks may be a phase the library lacks: index them with "
                "--index-unexplained (or list their 2theta in a file for peakforge index --peaks FILE)"
            )
        if k_beta:
            shown = ", ".join(f"{p.two_theta:.2f} (of {p.parent:.2f})" for p in k_beta[:12])
            more = len(k_beta) - 12
            lines.append(
                f"{k_beta[0].line} lines of stronger peaks (2theta): {shown}"
                + (f" and {more} more" if more > 0 else "")
            )
        return lines or ["every observed peak is explained"]


def _unexplained_text(peaks: list[UnexplainedPeak]) -> str:
    shown = ", ".join(f"{p.two_theta:.2f}" for p in peaks[:12])
    more = len(peaks) - 12
    return shown + (f" and {more} more" if more > 0 else "")


def percent_text(fraction: float, esd: float | None) -> str:
    """A weight fraction in percent with its uncertainty in parentheses in the
    last digits, as the summary prints it (reports show the same)."""
    value = 100.0 * fraction
    if esd is None or not math.isfinite(esd) or esd <= 0.0:
        return f"{value:.2f}"
    error = 100.0 * esd
    decimals = max(0, min(4, 1 - int(math.floor(math.log10(error)))))
    digits = round(error * 10**decimals)
    if digits >= 100 and decimals:
        decimals -= 1
        digits = round(error * 10**decimals)
    return f"{value:.{decimals}f}({digits})"
