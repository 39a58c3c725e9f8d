"""What a fit found: agreement indices, every parameter with its standard
uncertainty, each phase's weight fraction, the warnings, and the curves to
show them."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..measurements import MeasuredPattern
from ..pictures import mimebundle, png_of, with_picture
from ..profiles.instrument import Instrument
from ..structures.cif_writer import SiteRecord
from .bragg_agreement import bragg_r_factors
from .fit_display import fit_html, fit_repr
from .parameters import ParameterSet
from .request import FitRequest
from .structure_refinement.atom_results import BondAngle, BondLength, site_dicts
from .structure_refinement.atom_tables import angle_table, atom_table, bond_table
from .uncertainties import format_with_uncertainty


@dataclass(frozen=True, eq=False)
class PhaseFit:
    """One phase as fitted.

    Attributes
    ----------
    name : str
        The phase's name: its CIF's mineral or common name, else the file's stem.
    weight_fraction : float
        Weight fraction, 0–1.
    scale : float
        The refined scale factor.
    cell : tuple of float
        a, b, c (Å) and α, β, γ (degrees).
    volume : float
        Cell volume, Å³.
    b_overall : float
        Overall displacement parameter, Å².
    reflections : numpy.ndarray
        Observed 2θ of its reflections in the range (first emission line).
    weight_fraction_esd, scale_esd, cell_esd, b_overall_esd : float or tuple of float
        Standard uncertainties of the above (0 for a parameter not refined),
        corrected for the serial correlation of the residuals.
    weight_fraction_esd_raw, scale_esd_raw, cell_esd_raw, b_overall_esd_raw : float or tuple of float
        The same without the correction (least squares' own).
    size, strain : float or None
        Crystallite size (nm) and microstrain, where fitted (else None).
    orientation : tuple of int or None
        The preferred-orientation direction (h, k, l), where fitted.
    march_r : float or None
        Its March–Dollase parameter, where fitted.
    linear_absorption : float or None
        Linear absorption coefficient, 1/cm (None when not known).
    brindley_tau : float
        Brindley's microabsorption factor τ (1 without the correction).
    particle_radius : float
        Particle radius of the correction, µm (0 without it).
    source : str
        Where the phase came from (its CIF file), if known.
    atoms : tuple of SiteRecord
        For a phase whose structure was refined, its sites with their
        uncertainties (else empty).
    atoms_esd_raw : tuple of SiteRecord
        The same sites with least squares' own uncertainties (without the
        correction for serially correlated residuals).
    bonds : tuple of BondLength
        Bond lengths with uncertainties, where asked.
    angles : tuple of BondAngle
        The angles between those bonds at each site, with uncertainties.
    bond_esds_raw, angle_esds_raw : tuple of float or None
        Least squares' own uncertainties of those bonds and angles, in their
        order.
    cif : str
        The refined structure as CIF text (empty when not refined).
    formula : str
        The structure's formula, Hill order, reduced ("Al2 O3").
    space_group : str
        Its space group ("R -3 c:H (No. 167)").
    """

    name: str
    weight_fraction: float
    scale: float
    cell: tuple[float, ...]
    volume: float
    b_overall: float
    reflections: np.ndarray
    weight_fraction_esd: float = 0.0
    scale_esd: float = 0.0
    cell_esd: tuple[float, ...] = (0.0,) * 6
    b_overall_esd: float = 0.0
    weight_fraction_esd_raw: float = 0.0
    scale_esd_raw: float = 0.0
    cell_esd_raw: tuple[float, ...] = (0.0,) * 6
    b_overall_esd_raw: float = 0.0
    size: float | None = None
    strain: float | None = None
    orientation: tuple[int, int, int] | None = None
    march_r: float | None = None
    linear_absorption: float | None = None
    brindley_tau: float = 1.0
    particle_radius: float = 0.0
    source: str = ""
    atoms: tuple[SiteRecord, ...] = ()
    atoms_esd_raw: tuple[SiteRecord, ...] = ()
    bonds: tuple[BondLength, ...] = ()
    angles: tuple[BondAngle, ...] = ()
    bond_esds_raw: tuple[float | None, ...] = ()
    angle_esds_raw: tuple[float | None, ...] = ()
    cif: str = ""
    formula: str = ""
    space_group: str = ""

    def to_dict(self, esd: dict[str, float], esd_raw: dict[str, float] | None = None) -> dict[str, Any]:
        """The phase as JSON takes it.

        Parameters
        ----------
        esd, esd_raw : dict of str to float
            The fit's standard uncertainties by parameter name (for the
            sample terms), corrected and uncorrected.

        Returns
        -------
        dict
            Name, weight fraction, scale, cell, B and the fitted sample
            terms, each with its uncertainty; a refined structure's sites
            and any bond lengths.
        """
        found: dict[str, Any] = {
            "name": self.name,
            "formula": self.formula,
            "space_group": self.space_group,
            "source": self.source,
            "weight_fraction": self.weight_fraction,
            "weight_fraction_esd": self.weight_fraction_esd,
            "weight_fraction_esd_raw": self.weight_fraction_esd_raw,
            "scale": self.scale,
            "scale_esd": self.scale_esd,
            "scale_esd_raw": self.scale_esd_raw,
            "cell": list(self.cell),
            "cell_esd": list(self.cell_esd),
            "cell_esd_raw": list(self.cell_esd_raw),
            "volume": self.volume,
            "b_overall": self.b_overall,
            "b_overall_esd": self.b_overall_esd,
            "b_overall_esd_raw": self.b_overall_esd_raw,
        }
        for key, value, parameter in (
            ("size", self.size, "size"),
            ("strain", self.strain, "strain"),
            ("march_r", self.march_r, "orientation"),
        ):
            if value is not None:
                found[key] = value
                found[f"{key}_esd"] = esd.get(f"{self.name} {parameter}", 0.0)
                found[f"{key}_esd_raw"] = (esd if esd_raw is None else esd_raw).get(f"{self.name} {parameter}", 0.0)
        if self.orientation is not None:
            found["orientation"] = list(self.orientation)
        if self.linear_absorption is not None:
            found["linear_absorption"] = self.linear_absorption
        if self.particle_radius > 0.0:
            found["particle_radius"] = self.particle_radius
            found["brindley_tau"] = self.brindley_tau
        if self.atoms:
            found["atoms"] = site_dicts(self.atoms)
            for entry, raw in zip(found["atoms"], site_dicts(self.atoms_esd_raw)):
                entry.update({f"{key}_raw": value for key, value in raw.items() if key.endswith("_esd")})
        if self.bonds:
            found["bonds"] = [
                {"first": b.first, "second": b.second, "distance": b.distance, "distance_esd": b.esd, "count": b.count}
                for b in self.bonds
            ]
            for entry, raw_esd in zip(found["bonds"], self.bond_esds_raw):
                entry["distance_esd_raw"] = raw_esd
        if self.angles:
            found["angles"] = [
                {
                    "first": a.first,
                    "apex": a.apex,
                    "second": a.second,
                    "angle": a.angle,
                    "angle_esd": a.esd,
                    "count": a.count,
                }
                for a in self.angles
            ]
            for entry, raw_esd in zip(found["angles"], self.angle_esds_raw):
                entry["angle_esd_raw"] = raw_esd
        return found


@dataclass(frozen=True, eq=False)
class FitResult:
    """What a fit found, and the curves to show it, as `fit_pattern` returns it.

    Attributes
    ----------
    measured : MeasuredPattern
        The points fitted.
    calculated : numpy.ndarray
        The model at each point: background plus every phase.
    background : numpy.ndarray
        The background at each point.
    phase_profiles : list of numpy.ndarray
        Each phase's profile at each point.
    phases : list of PhaseFit
        Each phase as fitted, with its weight fraction.
    instrument : Instrument
        The instrument as refined.
    correction : str
        The 2θ corrections refined ("zero_shift", "displacement", both
        joined by "+", or "none").
    parameters : dict of str to float
        Every parameter's value by name.
    uncertainties : dict of str to float
        Standard uncertainty of each refined parameter not at a bound (and
        determined by the data), corrected for the serial correlation of
        the residuals (Bérar and Lelann).
    background_coefficients : numpy.ndarray
        The Chebyshev coefficients of the background.
    rp, rwp, rexp : float
        Profile, weighted-profile and expected R factors (fractions, not %).
    chi2 : float
        Reduced χ² (goodness of fit squared).
    evaluations : int
        Evaluations of the model.
    converged : bool
        Whether the least-squares solver reported convergence.
    message : str
        The solver's own message.
    refined : list of str
        Names of the parameters refined.
    parameter_set : ParameterSet or None
        The parameters with their bounds and refined flags.
    weighting : str
        How the points were weighted: "counts", "file" or "equal".
    warnings : tuple of str
        What a user should look at.
    anomalous : bool
        Whether anomalous dispersion was applied.
    seconds : float
        Processor time of the fit.
    uncertainties_raw : dict of str to float
        The same without the correction: least squares' χ² (JᵀJ)⁻¹.
    durbin_watson : float
        Durbin–Watson d of the weighted residuals (2 for independent ones).
    correlations : (tuple of str, numpy.ndarray)
        The parameters with an uncertainty and their correlation matrix.
    undetermined : tuple of str
        Refined parameters the data do not determine (no uncertainty given).
    orientation_hints : dict of str to (int, int, int)
        Phases whose misfit follows one direction, with that direction
        (``--orientation`` would refine March–Dollase along it).
    request : FitRequest or None
        The options of the fit.
    """

    measured: MeasuredPattern
    calculated: np.ndarray
    background: np.ndarray
    phase_profiles: list[np.ndarray]
    phases: list[PhaseFit]
    instrument: Instrument
    correction: str
    parameters: dict[str, float]
    uncertainties: dict[str, float]
    background_coefficients: np.ndarray
    rp: float
    rwp: float
    rexp: float
    chi2: float
    evaluations: int
    converged: bool
    message: str = ""
    refined: list[str] = field(default_factory=list)
    parameter_set: ParameterSet | None = None
    weighting: str = "counts"
    warnings: tuple[str, ...] = ()
    anomalous: bool = True
    seconds: float = 0.0
    uncertainties_raw: dict[str, float] = field(default_factory=dict)
    durbin_watson: float = math.nan
    correlations: tuple[tuple[str, ...], np.ndarray] = ((), np.zeros((0, 0)))
    undetermined: tuple[str, ...] = ()
    orientation_hints: dict[str, tuple[int, int, int]] = field(default_factory=dict)
    request: FitRequest | None = field(default=None, repr=False)

    @property
    def weight_fractions(self) -> dict[str, float]:
        """Each phase's weight fraction (0–1), by name."""
        return {p.name: p.weight_fraction for p in self.phases}

    @property
    def weight_fraction_esds(self) -> dict[str, float]:
        """Each phase's weight-fraction standard uncertainty, by name."""
        return {p.name: p.weight_fraction_esd for p in self.phases}

    @functools.cached_property
    def r_bragg(self) -> dict[str, float]:
        """Each phase's Bragg R factor (a fraction; NaN without reflections
        in the scan), by name; see `bragg_agreement`."""
        found = bragg_r_factors(
            self.measured.two_theta,
            self.measured.intensity,
            self.background,
            self.phase_profiles,
            [p.reflections for p in self.phases],
        )
        return {p.name: r for p, r in zip(self.phases, found)}

    @property
    def difference(self) -> np.ndarray:
        """Measured minus calculated intensity at each point."""
        return self.measured.intensity - self.calculated

    @property
    def is_counts(self) -> bool:
        """Whether the points were weighted by counting statistics."""
        return self.weighting == "counts"

    def to_dict(self) -> dict:
        """The fit as JSON takes it (without the curves).

        Returns
        -------
        dict
            Agreement indices, parameters and uncertainties, fixed and
            at-bound parameters, background coefficients, phases, warnings
            and notes, convergence.
        """
        at_bound = {
            p.name: p.at_bound() for p in (self.parameter_set or ()) if p.refined and not p.linear and p.at_bound()
        }
        return {
            "measured": self.measured.name,
            "points": len(self.measured),
            "two_theta_range": [float(self.measured.two_theta[0]), float(self.measured.two_theta[-1])],
            "rp": self.rp,
            "rwp": self.rwp,
            "rexp": self.rexp,
            "chi2": self.chi2,
            "weighting": self.weighting,
            "anomalous": self.anomalous,
            "parameters": self.parameters,
            "uncertainties": self.uncertainties,
            "uncertainties_raw": self.uncertainties_raw,
            "esd_cover": ESD_COVER,
            "durbin_watson": self.durbin_watson if math.isfinite(self.durbin_watson) else None,
            "undetermined": list(self.undetermined),
            "orientation_hints": {name: list(hkl) for name, hkl in self.orientation_hints.items()},
            "correlations": {"names": list(self.correlations[0]), "matrix": self.correlations[1].tolist()},
            "fixed": [p.name for p in (self.parameter_set or ()) if not p.refined],
            "at_bound": at_bound,
            "background_coefficients": self.background_coefficients.tolist(),
            "phases": [
                {
                    **p.to_dict(self.uncertainties, self.uncertainties_raw),
                    "r_bragg": _finite_or_none(self.r_bragg[p.name]),
                }
                for p in self.phases
            ],
            "warnings": list(self.warnings),
            "notes": list(self.measured.notes),
            "converged": self.converged,
            "evaluations": self.evaluations,
        }

    def summary(self) -> str:
        """The fit as text: agreement, parameters with uncertainties and phases.

        Returns
        -------
        str
            Lines for a terminal, values with their uncertainties in
            parentheses.
        """
        return summary_text(self)

    # Notebook views; the picture is the plotting layer's (see pictures.py),
    # inside the HTML view, which a notebook prefers.
    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, Any]:
        return mimebundle(self, fit_html(self))

    def _repr_html_(self) -> str:
        return with_picture(fit_html(self), png_of(self), repr(self))

    def _repr_png_(self) -> bytes | None:
        return png_of(self)

    def __repr__(self) -> str:
        return fit_repr(self)


def _finite_or_none(value: float) -> float | None:
    return value if math.isfinite(value) else None


def _table(rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[c]) for r in rows) for c in range(len(rows[0]))]
    return [
        "  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths))).rstrip()
        for row in rows
    ]


PHASE_HEADER = ["phase", "weight %", "a", "b", "c", "alpha", "beta", "gamma", "B"]
"""The columns of the phases' table in the text summary."""


def phase_row(phase: PhaseFit) -> list[str]:
    """A phase's row of the text summary: name, weight % and cell and B
    with their uncertainties, as printed (reports show the same strings)."""
    cell = [format_with_uncertainty(v, e, 7) for v, e in zip(phase.cell, phase.cell_esd)]
    fraction = format_with_uncertainty(100 * phase.weight_fraction, 100 * phase.weight_fraction_esd, 4)
    return [phase.name, fraction, *cell, format_with_uncertainty(phase.b_overall, phase.b_overall_esd, 3)]


def summary_text(result: FitResult) -> str:
    """The fit as text: agreement, the parameters, then the phases."""
    measured = result.measured
    lo, hi = measured.two_theta[0], measured.two_theta[-1]
    weights = {
        "counts": "weights from counting statistics",
        "file": "weights from the file's uncertainties",
        "equal": "equal weights",
    }[result.weighting]
    first = (
        f"{measured.name}: {len(measured)} points, 2theta {lo:g} to {hi:g}, {result.instrument.shape} peaks, "
        f"{result.background_coefficients.size} background terms, {weights}"
        + ("" if result.anomalous else ", no anomalous dispersion")
        + ("" if result.converged else f" (not converged: {result.message})")
    )
    lines = [
        first,
        (
            f"Rp {100 * result.rp:.2f} %  Rwp {100 * result.rwp:.2f} %  Rexp {100 * result.rexp:.2f} %  "
            f"chi2 {result.chi2:.3f}"
        ),
    ]
    parameters = result.parameter_set
    atom_kinds = ("coordinates", "b-sites", "b-elements", "occupancy")
    shown = [p for p in (parameters or ()) if not p.linear and p.kind not in ("cell", "b", *atom_kinds)]
    rows = []
    for p in shown:
        if not p.refined:
            state = "fixed"
        elif p.name in result.undetermined:
            state = "undetermined"
        elif p.at_bound():
            state = f"at {p.at_bound()} bound"
        else:
            state = ""
        rows.append(
            [
                p.name,
                format_with_uncertainty(p.value, result.uncertainties.get(p.name) if p.refined else None),
                p.unit,
                state,
            ]
        )
    if rows:
        lines += ["  " + line for line in _table(rows)]
    lines += _table([PHASE_HEADER, *(phase_row(phase) for phase in result.phases)])
    r_bragg = [f"{name} {100 * r:.2f} %" for name, r in result.r_bragg.items() if math.isfinite(r)]
    if r_bragg:
        lines.append("R_Bragg: " + ", ".join(r_bragg))
    extra = [p for p in result.phases if p.particle_radius > 0.0]
    if extra:
        lines.append(
            "microabsorption (Brindley): "
            + "; ".join(
                f"{p.name} mu {p.linear_absorption:.1f} /cm, R {p.particle_radius:g} um, tau {p.brindley_tau:.4f}"
                for p in extra
            )
        )
    for phase in result.phases:
        if phase.atoms:
            lines.append(atom_table(phase.name, phase.atoms))
        if phase.bonds:
            lines.append(bond_table(phase.name, phase.bonds))
        if phase.angles:
            lines.append(angle_table(phase.name, phase.angles))
    if not math.isfinite(result.rwp):
        lines.append("the agreement indices are not finite")
    lines.append(esd_line(result))
    return "\n".join(lines) + "\n"


ESD_COVER = (
    "counting statistics and the misfit the residuals show, corrected for their serial correlation "
    "(Berar and Lelann); not sample preparation, particle statistics, microabsorption or model errors "
    "that leave no trace in the residuals"
)
"""What a fit's standard uncertainties cover, in words."""


def esd_line(result: FitResult) -> str:
    """One line: what the uncertainties in parentheses cover, with the Durbin–Watson d."""
    d = result.durbin_watson
    widened = [
        result.uncertainties[n] / result.uncertainties_raw[n]
        for n in result.uncertainties
        if result.uncertainties_raw.get(n, 0.0) > 0.0
    ]
    told = [f"Durbin-Watson d {d:.2f}"] if math.isfinite(d) else []
    told += [f"median x{float(np.median(widened)):.2g} least squares'"] if widened else []
    return (
        f"e.s.d.s cover counting statistics and the misfit the residuals show, serial correlation included "
        f"(Berar-Lelann{': ' if told else ''}{', '.join(told)}); not sample preparation, particle statistics, "
        "microabsorption or errors the residuals do not show"
    )
