"""Whole-pattern decomposition: phases fitted with their cell and space group
but no atoms, and the intensity of every reflection extracted.

Pawley (J. Appl. Cryst. 14 (1981) 357): each symmetry-independent
reflection's |F|² is a least-squares parameter, kept ≥ 0; equivalent
reflections share it through the multiplicity. It enters linearly, so for
every trial of the cell, 2θ corrections and widths the |F|² and the
Chebyshev background are solved exactly (variable projection, as in the
Rietveld fit), non-negative by the Lawson–Hanson algorithm.

Le Bail (Le Bail, Duroy and Fourquet, Mater. Res. Bull. 23 (1988) 447):
starting from |F|² taken from the counts once by least squares, the |F|²
are held while the rest is refined with one scale per phase, then shared
out anew from the observed counts — each point's net intensity goes
to the reflections in proportion to their share of the calculated profile
there — and the two steps alternate until the |F|² settle.

The peak shape, widths, emission lines, Lorentz–polarisation factor and 2θ
corrections are the Rietveld fit's (`profiles`); a phase's cell moves in its
crystal system's quadratic form (`indexing.quadratic_forms`).
"""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..diffraction.engine_route import lorentz_polarisation
from ..errors import InputError
from ..indexing import SpaceGroupClass, evidence_from_intensities, rank_space_groups
from ..indexing.quadratic_forms import FORMS, cell_of, general_features, general_of_cell
from ..measurements import MeasuredPattern, in_range, read_scan
from ..measurements.scan_peaks import find_scan_peaks
from ..optional import require
from ..profiles.instrument import DEFAULT_KA2_RATIO, Instrument
from ..profiles.shapes import bin_edges, binned_peaks
from ..structures.structure import Structure
from .request import FitRequest

METHODS = ("pawley", "le-bail")
UNUSED_OPTIONS = (
    ("instrument", "--instrument"),
    ("fix", "--fix"),
    ("refine", "--refine"),
    ("orientations", "--orientation"),
    ("particle_radius", "--particle-size"),
    ("start", "a start from a previous fit"),
    ("refine_cell", "--refine-cell"),
)
"""Fit options a decomposition does not use yet: refused rather than ignored."""
LE_BAIL_CYCLES = 8
WINDOW = 25.0
"""A reflection is rendered over this many FWHM each side."""


@dataclass(frozen=True)
class CellPhase:
    """A phase known by its cell and space group only.

    ``cell`` is a, b, c (Å), α, β, γ (degrees) in the space group's setting;
    ``space_group`` a symbol gemmi knows ("P n m a", "R -3 c:H", "225").
    """

    name: str
    cell: tuple[float, float, float, float, float, float]
    space_group: str
    source: str = ""

    def __post_init__(self) -> None:
        import gemmi

        if len(self.cell) != 6 or not all(math.isfinite(v) for v in self.cell):
            raise InputError(f"phase {self.name}: a cell is six numbers a b c alpha beta gamma")
        if min(self.cell[:3]) <= 0.0 or not all(0.0 < v < 180.0 for v in self.cell[3:]):
            raise InputError(f"phase {self.name}: cell lengths must be positive and angles between 0 and 180")
        try:
            group = gemmi.SpaceGroup(self.space_group)
        except (ValueError, RuntimeError):
            raise InputError(f"phase {self.name}: unknown space group {self.space_group!r}") from None
        object.__setattr__(self, "space_group", group.xhm())
        object.__setattr__(self, "cell", tuple(float(v) for v in self.cell))

    @property
    def system(self) -> str:
        import gemmi

        system = gemmi.SpaceGroup(self.space_group).crystal_system_str()
        return "hexagonal" if system == "trigonal" else system

    @classmethod
    def from_cif(cls, path: str | Path) -> CellPhase:
        """The cell and space group of a CIF file (its atoms are not used)."""
        import gemmi

        structure = Structure.from_cif(path)
        group = None
        if structure.symmetry_operations:
            group = gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(t) for t in structure.symmetry_operations]))
        if group is None:
            raise InputError(f"{path}: no space group found for a decomposition fit")
        lattice = structure.lattice
        lengths = np.linalg.norm(lattice, axis=1)
        angles = [
            math.degrees(math.acos(lattice[1] @ lattice[2] / (lengths[1] * lengths[2]))),
            math.degrees(math.acos(lattice[0] @ lattice[2] / (lengths[0] * lengths[2]))),
            math.degrees(math.acos(lattice[0] @ lattice[1] / (lengths[0] * lengths[1]))),
        ]
        return cls(structure.name, (*map(float, lengths), *angles), group.xhm(), str(path))  # type: ignore[arg-type]

    @classmethod
    def from_index(cls, path: str | Path, solution: int = 1) -> CellPhase:
        """A solution of ``peakforge index -f json`` (the first by default), in its lattice's holohedry.

        The holohedry (P m m m for oP, F m -3 m for cF, ...) forbids only
        what the centring forbids: the extracted intensities then show which
        further reflections are absent, rather than assuming it.
        """
        try:
            data = json.loads(Path(path).read_text(encoding="utf-8"))
            chosen = data["solutions"][solution - 1]
            cell = tuple(float(v) for v in chosen["cell"])
        except OSError as exc:
            raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None
        except (ValueError, KeyError, IndexError, TypeError):
            raise InputError(f"{path}: not the JSON of peakforge index with a solution {solution}") from None
        symbol = _holohedry(chosen.get("lattice", "aP"))
        name = f"{Path(path).stem}-{chosen.get('lattice', 'cell')}"
        return cls(name, cell, symbol, str(path))  # type: ignore[arg-type]


def _holohedry(lattice: str) -> str:
    return {
        "aP": "P -1",
        "mP": "P 1 2/m 1",
        "mC": "C 1 2/m 1",
        "oP": "P m m m",
        "oC": "C m m m",
        "oI": "I m m m",
        "oF": "F m m m",
        "tP": "P 4/m m m",
        "tI": "I 4/m m m",
        "hP": "P 6/m m m",
        "hR": "R -3 m:H",
        "cP": "P m -3 m",
        "cI": "I m -3 m",
        "cF": "F m -3 m",
    }.get(lattice, "P 1")


def load_cell_phase(text: str) -> CellPhase:
    """A phase from a CIF file or the JSON of ``peakforge index``."""
    if str(text).lower().endswith(".json"):
        return CellPhase.from_index(text)
    return CellPhase.from_cif(text)


@dataclass(frozen=True, eq=False)
class Reflections:
    """A phase's symmetry-independent reflections (no systematic absences), with multiplicities."""

    hkl: np.ndarray
    multiplicity: np.ndarray

    @classmethod
    def of(cls, phase: CellPhase, d_min: float) -> Reflections:
        import gemmi

        group = gemmi.SpaceGroup(phase.space_group)
        hkl = np.array(gemmi.make_miller_array(gemmi.UnitCell(*phase.cell), group, d_min, 0, True), dtype=int)
        if hkl.size == 0:
            raise InputError(f"phase {phase.name} has no reflection in the range of the scan")
        operations = group.operations()
        rotations = [np.array(op.rot) // gemmi.Op.DEN for op in operations.sym_ops]
        multiplicity = np.array(
            [len({tuple(v) for r in rotations for v in (h @ r, -(h @ r))}) for h in hkl.reshape(-1, 3)]
        )
        return cls(hkl.reshape(-1, 3), multiplicity.astype(float))


@dataclass(frozen=True, eq=False)
class PhaseExtraction:
    """A decomposed phase's refined cell and its reflections' extracted |F|².

    ``f_squared`` is on the scan's scale (|F|² × a scale factor the
    decomposition cannot separate); ``f_squared_esd`` from the counting
    statistics of the points under each peak. Overlapping reflections share
    their intensity in proportion to the model (Le Bail) or by the least
    squares (Pawley); their e.s.d.s are then large and correlated.
    """

    phase: CellPhase
    cell: tuple[float, ...]
    cell_esd: tuple[float, ...]
    hkl: np.ndarray
    multiplicity: np.ndarray
    d: np.ndarray
    two_theta: np.ndarray
    f_squared: np.ndarray
    f_squared_esd: np.ndarray

    @property
    def lattice(self) -> str:
        """The Bravais symbol of the phase's lattice (cF, hR, mP ...)."""
        import gemmi

        group = gemmi.SpaceGroup(self.phase.space_group)
        family = {"triclinic": "a", "monoclinic": "m", "orthorhombic": "o", "tetragonal": "t", "cubic": "c"}
        centring = group.centring_type()
        if centring == "R":
            return "hR"
        return family.get(group.crystal_system_str(), "h") + ("C" if centring in "AB" else centring)

    def space_groups(self) -> list[SpaceGroupClass]:
        """The lattice's space groups ranked by the absences the extracted |F|² show.

        Reflections closer than 0.05° in 2θ count as one (their shares are not
        told apart); an |F|² counts as seen above three e.s.d.s.
        """
        order = np.argsort(self.two_theta, kind="stable")
        groups: list[list[int]] = []
        for i in order:
            if groups and self.two_theta[i] - self.two_theta[groups[-1][-1]] < 0.05:
                groups[-1].append(int(i))
            else:
                groups.append([int(i)])
        finite = np.where(np.isfinite(self.f_squared_esd), self.f_squared_esd, 0.0)
        evidence = evidence_from_intensities(
            [self.hkl[g] for g in groups],
            np.array([self.f_squared[g].sum() for g in groups]),
            np.array([math.sqrt(float(np.sum(finite[g] ** 2))) for g in groups]),
        )
        return rank_space_groups(self.lattice, evidence)


@dataclass(frozen=True, eq=False)
class DecompositionResult:
    """A Le Bail or Pawley fit: agreement, instrument terms and each phase's extraction."""

    method: str
    measured: MeasuredPattern
    phases: list[PhaseExtraction]
    instrument: Instrument
    parameters: dict[str, float]
    uncertainties: dict[str, float]
    calculated: np.ndarray
    background: np.ndarray
    rp: float
    rwp: float
    rexp: float
    chi2: float
    warnings: tuple[str, ...] = ()

    def to_dict(self) -> dict:
        return {
            "method": self.method,
            "scan": self.measured.name,
            "rp": round(self.rp, 4),
            "rwp": round(self.rwp, 4),
            "rexp": round(self.rexp, 4),
            "chi2": round(self.chi2, 4),
            "parameters": {k: float(f"{v:.8g}") for k, v in self.parameters.items()},
            "uncertainties": {k: float(f"{v:.3g}") for k, v in self.uncertainties.items()},
            "phases": [
                {
                    "name": p.phase.name,
                    "source": p.phase.source,
                    "space_group": p.phase.space_group,
                    "cell": [round(v, 6) for v in p.cell],
                    "cell_esd": [float(f"{v:.2g}") for v in p.cell_esd],
                    "weight_fraction": None,
                    "note": "decomposed without atoms: no weight fraction",
                    "reflections": len(p.hkl),
                    "space_groups": [
                        {"number": n, "symbol": symbol, "class": rank, "violations": c.violations}
                        for rank, c in enumerate(p.space_groups(), start=1)
                        for n, symbol in c.groups
                    ],
                }
                for p in self.phases
            ],
            "warnings": list(self.warnings),
        }

    def summary(self) -> str:
        name = "Pawley" if self.method == "pawley" else "Le Bail"
        lines = [
            f"{self.measured.name}: {name} fit, {self.measured.two_theta.size} points",
            f"Rp {100 * self.rp:.2f} %  Rwp {100 * self.rwp:.2f} %  Rexp {100 * self.rexp:.2f} %  chi2 {self.chi2:.3f}",
        ]
        for key, value in self.parameters.items():
            esd = self.uncertainties.get(key)
            lines.append(f"  {key:28s} {_with_esd(value, esd)}")
        for p in self.phases:
            cell = " ".join(_with_esd(v, e) for v, e in zip(p.cell, p.cell_esd))
            lines.append(f"{p.phase.name} ({p.phase.space_group}): cell {cell}")
            lines.append(f"  {len(p.hkl)} reflections extracted; no weight fraction (decomposed without atoms)")
            classes = p.space_groups()
            if classes:
                shown = "; ".join(", ".join(symbol for _, symbol in c.groups) for c in classes[:3])
                lines.append(f"  space groups by the absences the extracted |F|^2 show, best class first: {shown}")
        return "\n".join(lines) + "\n"

    def reflection_table(self) -> str:
        """Every extracted reflection as a plain table."""
        rows = ["# phase h k l d(A) 2theta(deg) multiplicity F2 esd(F2)"]
        for p in self.phases:
            for (h, k, l), d, t, m, f, e in zip(p.hkl, p.d, p.two_theta, p.multiplicity, p.f_squared, p.f_squared_esd):
                rows.append(f"{p.phase.name} {h} {k} {l} {d:.5f} {t:.4f} {int(m)} {f:.6g} {e:.3g}")
        return "\n".join(rows) + "\n"

    def reflection_cif(self) -> str:
        """Every extracted reflection as a CIF _refln loop per phase."""
        blocks = []
        for p in self.phases:
            a, b, c, al, be, ga = p.cell
            text = [
                f"data_{''.join(ch if ch.isalnum() else '_' for ch in p.phase.name)}",
                f"_symmetry_space_group_name_H-M '{p.phase.space_group}'",
                f"_cell_length_a {a:.6f}",
                f"_cell_length_b {b:.6f}",
                f"_cell_length_c {c:.6f}",
                f"_cell_angle_alpha {al:.4f}",
                f"_cell_angle_beta {be:.4f}",
                f"_cell_angle_gamma {ga:.4f}",
                f"_pd_proc_info_data_reduction_method '{self.method}'",
                "loop_",
                "_refln_index_h",
                "_refln_index_k",
                "_refln_index_l",
                "_refln_d_spacing",
                "_refln_F_squared_meas",
                "_refln_F_squared_sigma",
                "_pd_refln_phase_id",
            ]
            for (h, k, l), d, f, e in zip(p.hkl, p.d, p.f_squared, p.f_squared_esd):
                text.append(f"{h} {k} {l} {d:.5f} {f:.6g} {e:.3g} 1")
            blocks.append("\n".join(text))
        return "\n\n".join(blocks) + "\n"


def _with_esd(value: float, esd: float | None) -> str:
    if esd is None or not (esd > 0.0 and math.isfinite(esd)):
        return f"{value:.6g}"
    digits = max(0, -int(math.floor(math.log10(esd))) + 1)
    return f"{value:.{digits}f}({round(esd * 10**digits):d})"


class _Model:
    """The profile of decomposed phases for a vector of nonlinear parameters."""

    def __init__(self, measured, phases, instrument, correction, background_terms):
        self.x = measured.two_theta
        self.y = measured.intensity
        self.sigma = np.maximum(measured.uncertainty, 1e-12)
        self.edges = bin_edges(self.x)
        self.phases = phases
        self.base = instrument
        self.lines = instrument.lines(1.0)
        d_min = min(w for w, _ in self.lines) / (2.0 * math.sin(math.radians(min(self.x[-1] + 2.0, 179.0) / 2.0)))
        self.reflections = [Reflections.of(p, d_min) for p in phases]
        self.forms = [FORMS[p.system] for p in phases]
        self.starts = [form.parameters(general_of_cell(p.cell)) for form, p in zip(self.forms, phases)]
        self.features = [form.features(r.hkl) for form, r in zip(self.forms, self.reflections)]
        self.names: list[str] = []
        self.steps: list[float] = []
        for p, start in zip(phases, self.starts):
            for j in range(start.size):
                self.names.append(f"{p.name} cell {j}")
                self.steps.append(max(abs(float(start[j])), 0.1 * float(np.max(np.abs(start)))) * 1e-4)
        corrections = {
            "zero_shift": ["zero_shift"],
            "displacement": ["displacement"],
            "both": ["zero_shift", "displacement"],
        }
        self.instrument_names = (
            corrections[correction]
            + (["U", "V", "W", "X", "Y"] if instrument.shape == "tch" else ["U", "V", "W", "eta"])
            + ["asymmetry"]
        )
        # A typical change of each, so that the optimiser's unit step is about as large for all.
        scale = {"zero_shift": 0.01, "displacement": 0.01, "U": 0.005, "V": 0.005, "W": 0.002, "X": 0.01, "Y": 0.01}
        for name in self.instrument_names:
            self.names.append(name)
            self.steps.append(scale.get(name, 0.01))
        t = 2.0 * (self.x - self.x[0]) / (self.x[-1] - self.x[0]) - 1.0
        self.background = np.polynomial.chebyshev.chebvander(t, background_terms - 1)

    def start_vector(self) -> np.ndarray:
        return np.zeros(len(self.names))

    def values(self, vector: np.ndarray) -> dict[str, float]:
        named = {}
        k = 0
        for p, start in zip(self.phases, self.starts):
            for j in range(start.size):
                named[f"{p.name} cell {j}"] = float(start[j] + vector[k] * self.steps[k])
                k += 1
        for name in self.instrument_names:
            named[name] = float(getattr(self.base, name) + vector[k] * self.steps[k])
            k += 1
        return named

    def instrument(self, named: dict[str, float]) -> Instrument:
        fields = {n: named[n] for n in self.instrument_names}
        for n in ("U", "W", "X", "Y"):
            if n in fields:
                fields[n] = abs(fields[n])
        if "eta" in fields:
            fields["eta"] = min(max(fields["eta"], 0.0), 1.0)
        return self.base.replace(**fields)

    def parameters_of(self, named: dict[str, float], index: int) -> np.ndarray:
        p = self.phases[index]
        return np.array([named[f"{p.name} cell {j}"] for j in range(self.starts[index].size)])

    def columns(self, vector: np.ndarray) -> tuple[list[np.ndarray], list[np.ndarray]]:
        """Per phase, the profile of each reflection for unit |F|² (points × reflections), and its 2θ."""
        key = np.asarray(vector, dtype=float).tobytes()
        if getattr(self, "_cached", (None,))[0] == key:
            return self._cached[1]
        self._cached = (key, self._columns(vector))
        return self._cached[1]

    def _columns(self, vector: np.ndarray) -> tuple[list[np.ndarray], list[np.ndarray]]:
        named = self.values(vector)
        instrument = self.instrument(named)
        monochromator = instrument.monochromator_angle or 0.0
        result, positions = [], []
        for index, reflections in enumerate(self.reflections):
            q = self.features[index] @ self.parameters_of(named, index)
            d = 1.0 / np.sqrt(np.maximum(q, 1e-12))
            matrix = np.zeros((self.x.size, d.size))
            first = np.full(d.size, np.nan)
            for wavelength, share in self.lines:
                sine = wavelength / (2.0 * d)
                seen = np.flatnonzero(sine < 1.0)
                true = 2.0 * np.degrees(np.arcsin(sine[seen]))
                fwhm, eta = instrument.widths(true, wavelength)
                area = reflections.multiplicity[seen] * share * lorentz_polarisation(true, "xray", monochromator)
                observed = instrument.shift(true)
                asymmetry = instrument.asymmetries(observed)
                if np.all(np.isnan(first)):
                    first[seen] = observed
                for j, k in enumerate(seen):
                    lo = np.searchsorted(self.edges, observed[j] - WINDOW * fwhm[j])
                    hi = np.searchsorted(self.edges, observed[j] + WINDOW * fwhm[j])
                    if hi - lo < 2:
                        continue
                    part = binned_peaks(
                        self.edges[lo:hi],
                        observed[j : j + 1],
                        fwhm[j : j + 1],
                        eta[j : j + 1],
                        area[j : j + 1],
                        asymmetry[j : j + 1],
                    )
                    matrix[lo : hi - 1, k] += part
            result.append(matrix)
            positions.append(first)
        return result, positions


def _nonnegative(matrix: np.ndarray, target: np.ndarray, background: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """min |matrix·x + background·b − target| with x ≥ 0 (b free): NNLS on the background's complement."""
    optimize = require("scipy.optimize", "fit", "peakforge fit --pawley")
    q, _ = np.linalg.qr(background)
    reduced = matrix - q @ (q.T @ matrix)
    reduced_target = target - q @ (q.T @ target)
    norms = np.linalg.norm(reduced, axis=0)
    usable = norms > 1e-12 * max(float(np.max(norms, initial=0.0)), 1e-300)
    x = np.zeros(matrix.shape[1])
    if np.any(usable):
        scaled = reduced[:, usable] / norms[usable]
        gram = scaled.T @ scaled + 1e-10 * np.eye(int(np.count_nonzero(usable)))
        upper = np.linalg.cholesky(gram).T
        rhs = np.linalg.solve(upper.T, scaled.T @ reduced_target)
        solution, _ = optimize.nnls(upper, rhs, maxiter=50 * upper.shape[1])
        x[usable] = solution / norms[usable]
    b = np.linalg.lstsq(background, target - matrix @ x, rcond=None)[0]
    return x, b


def decompose(
    scan: MeasuredPattern | str | Path,
    phases: Sequence[CellPhase],
    request: FitRequest | None = None,
    method: str = "pawley",
) -> DecompositionResult:
    """A Pawley or Le Bail fit of phases given by cell and space group.

    Parameters
    ----------
    scan : MeasuredPattern, str or Path
    phases : sequence of CellPhase
    request : FitRequest, optional
        The wavelength, Kα2 ratio, shape, radius, monochromator, 2θ range,
        background terms and 2θ correction (the sample displacement by default, as in the Rietveld
        fit of a reflection scan) are used.
    method : {"pawley", "le-bail"}

    Returns
    -------
    DecompositionResult

    Raises
    ------
    InputError
        For an unknown method, no phases, or phases without reflections in range.
    """
    optimize = require("scipy.optimize", "fit", "peakforge fit --pawley")
    if method not in METHODS:
        raise InputError(f"the decomposition is pawley or le-bail, not {method!r}")
    if not phases:
        raise InputError("a decomposition needs at least one phase")
    names = [p.name for p in phases]
    if len(set(names)) != len(names):
        phases = [CellPhase(f"{p.name}#{i + 1}", p.cell, p.space_group, p.source) for i, p in enumerate(phases)]
    request = request or FitRequest()
    measured = scan if isinstance(scan, MeasuredPattern) else read_scan(scan)
    if request.two_theta_range is not None:
        measured = in_range(measured, *request.two_theta_range)
    wavelength = request.wavelength or (measured.wavelength[:2] if measured.wavelength else "CuKa")
    ka2 = request.ka2_ratio
    if ka2 is None:
        ka2 = measured.wavelength[2] if measured.wavelength else DEFAULT_KA2_RATIO
    base = Instrument(
        wavelength=wavelength,  # type: ignore[arg-type]
        ka2_ratio=ka2,
        shape=request.shape or "tch",
        radius=request.radius or 240.0,
        monochromator_angle=request.monochromator_angle,
    )
    # Start widths from the scan's own peaks.
    peaks = find_scan_peaks(measured, base.lines(1.0))
    fwhm = peaks.typical_fwhm
    base = base.replace(W=(0.8 * fwhm) ** 2, Y=0.3 * fwhm if base.shape == "tch" else 0.0)
    correction = request.correction or "displacement"  # as the Rietveld fit of a reflection scan
    model = _Model(measured, list(phases), base, correction, request.background_terms)
    target = model.y / model.sigma
    weighted_background = model.background / model.sigma[:, None]
    state: dict[str, list[np.ndarray]] = {"f2": [np.ones(r.hkl.shape[0]) for r in model.reflections]}

    def solve(vector: np.ndarray) -> tuple[np.ndarray, list[np.ndarray], list[np.ndarray], np.ndarray]:
        columns, positions = model.columns(vector)
        if method == "pawley":
            matrix = np.hstack(columns) / model.sigma[:, None]
            x, b = _nonnegative(matrix, target, weighted_background)
            split = np.cumsum([c.shape[1] for c in columns])[:-1]
            f2 = np.split(x, split)
            return (matrix @ x + weighted_background @ b) - target, f2, columns, b
        summed = np.column_stack([c @ f for c, f in zip(columns, state["f2"])]) / model.sigma[:, None]
        scales, b = _nonnegative(summed, target, weighted_background)
        f2 = [f * s for f, s in zip(state["f2"], scales)]
        return (summed @ scales + weighted_background @ b) - target, f2, columns, b

    def residuals(vector: np.ndarray) -> np.ndarray:
        return solve(vector)[0]

    def partition(vector: np.ndarray) -> float:
        """Share the observed net counts out to the reflections; the largest relative change of |F|²."""
        _, f2, columns, b = solve(vector)
        background = model.background @ b
        net = sum(c @ f for c, f in zip(columns, f2))
        ratio = np.where(net > 1e-12 * float(np.max(net)), (model.y - background) / np.maximum(net, 1e-300), 0.0)
        widths = np.diff(model.edges)
        new = []
        for c, f in zip(columns, f2):
            area = c * widths[:, None]
            new.append(np.maximum(f * (area.T @ ratio) / np.maximum(area.sum(axis=0), 1e-300), 0.0))
        change = max(float(np.max(np.abs(n - o)) / max(float(np.max(o)), 1e-300)) for n, o in zip(new, f2))
        state["f2"] = new
        return change

    vector = model.start_vector()
    if method == "pawley":
        fitted = optimize.least_squares(residuals, vector, method="trf", max_nfev=80)
        vector = fitted.x
    else:
        # The first |F|² from the counts by least squares, so that the first refinement sees the right peaks.
        columns, _ = model.columns(vector)
        first, _ = _nonnegative(np.hstack(columns) / model.sigma[:, None], target, weighted_background)
        state["f2"] = np.split(first, np.cumsum([c.shape[1] for c in columns])[:-1])
        for cycle in range(LE_BAIL_CYCLES):
            for _ in range(2):
                change = partition(vector)
            fitted = optimize.least_squares(residuals, vector, method="trf", max_nfev=40 if cycle == 0 else 15)
            vector = fitted.x
            if change < 1e-3:
                break
        for _ in range(30):  # the profile held: partitions alone are cheap
            if partition(vector) < 1e-4:
                break
    residual, f2, columns, b = solve(vector)
    jacobian = fitted.jac
    freedom = max(target.size - jacobian.shape[1] - sum(int(np.count_nonzero(f > 0)) for f in f2) - b.size, 1)
    chi2 = float(residual @ residual) / freedom
    try:
        covariance = np.linalg.pinv(jacobian.T @ jacobian) * chi2
    except np.linalg.LinAlgError:
        covariance = np.full((jacobian.shape[1],) * 2, np.nan)
    named = model.values(vector)
    esd_vector = np.sqrt(np.maximum(np.diag(covariance), 0.0)) * np.array(model.steps)
    uncertainties = dict(zip(model.names, map(float, esd_vector)))
    background = model.background @ b
    calculated = sum(c @ f for c, f in zip(columns, f2)) + background
    weights = 1.0 / model.sigma**2
    rwp = math.sqrt(float(np.sum(weights * (model.y - calculated) ** 2) / np.sum(weights * model.y**2)))
    rp = float(np.sum(np.abs(model.y - calculated)) / np.sum(np.abs(model.y)))
    rexp = math.sqrt(freedom / float(np.sum(weights * model.y**2)))
    extractions = []
    k = 0
    for index, (phase, reflections) in enumerate(zip(phases, model.reflections)):
        size = model.starts[index].size
        parameters = model.parameters_of(named, index)
        cell = cell_of(parameters @ model.forms[index].general)
        block = covariance[k : k + size, k : k + size] * np.outer(model.steps[k : k + size], model.steps[k : k + size])
        cell_esd = _cell_esd(model.forms[index], parameters, block)
        k += size
        q = general_features(reflections.hkl) @ (parameters @ model.forms[index].general)
        d = 1.0 / np.sqrt(q)
        lam = model.lines[0][0]
        two_theta = 2.0 * np.degrees(np.arcsin(np.minimum(lam / (2.0 * d), 1.0)))
        esd = _f2_esd(columns[index], model.sigma, chi2)
        keep = (two_theta >= model.x[0]) & (two_theta <= model.x[-1])
        extractions.append(
            PhaseExtraction(
                phase,
                cell,
                cell_esd,
                reflections.hkl[keep],
                reflections.multiplicity[keep],
                d[keep],
                two_theta[keep],
                f2[index][keep],
                esd[keep],
            )
        )
    instrument = model.instrument(named)
    return DecompositionResult(
        method=method,
        measured=measured,
        phases=extractions,
        instrument=instrument,
        parameters={n: float(getattr(instrument, n)) for n in model.instrument_names},
        uncertainties={n: uncertainties[n] for n in model.instrument_names},
        calculated=calculated,
        background=background,
        rp=rp,
        rwp=rwp,
        rexp=rexp,
        chi2=chi2,
    )


def _f2_esd(columns: np.ndarray, sigma: np.ndarray, chi2: float) -> np.ndarray:
    """E.s.d. of each |F|² as a lone peak would have it: 1 / √Σ(c_ik/σ_i)², scaled by √χ².

    It leaves out the correlation of overlapping reflections, whose shares
    are far less certain.
    """
    information = np.sum((columns / sigma[:, None]) ** 2, axis=0)
    with np.errstate(divide="ignore"):
        return np.where(information > 0.0, np.sqrt(max(chi2, 1.0) / np.maximum(information, 1e-300)), np.inf)


def _cell_esd(form, parameters: np.ndarray, covariance: np.ndarray) -> tuple[float, ...]:
    jacobian = np.zeros((6, parameters.size))
    for i in range(parameters.size):
        h = 1e-6 * max(abs(parameters[i]), 1e-6)
        up, down = parameters.copy(), parameters.copy()
        up[i] += h
        down[i] -= h
        jacobian[:, i] = (np.array(cell_of(up @ form.general)) - np.array(cell_of(down @ form.general))) / (2 * h)
    variance = np.einsum("ij,jk,ik->i", jacobian, covariance, jacobian)
    # A length or angle the system ties (90°, 120°, b = a's) moves by rounding only: no e.s.d.
    cell = np.array(cell_of(parameters @ form.general))
    return tuple(float(np.sqrt(v)) if v > (1e-9 * max(abs(c), 1.0)) ** 2 else 0.0 for v, c in zip(variance, cell))


def decompose_phases(
    scan: MeasuredPattern | str | Path, phases: Sequence[CellPhase | Structure | str | Path], request: FitRequest
) -> DecompositionResult:
    """The decomposition a fit request asks for (``le_bail`` or ``pawley``), of phases given as a fit takes them.

    Raises
    ------
    InputError
        When the request names phases the fit does not have, or leaves some
        phases to a Rietveld fit beside the decomposed ones (not offered).
    """
    method = "le-bail" if request.le_bail is not False else "pawley"
    chosen = request.le_bail if method == "le-bail" else request.pawley
    default = FitRequest()
    unused = [flag for name, flag in UNUSED_OPTIONS if getattr(request, name) != getattr(default, name)]
    if unused:
        raise InputError(f"{unused[0]} is not offered with a {method} fit yet")
    cell_phases = [_cell_phase(p) for p in phases]
    if chosen is not True:
        names = {p.name for p in cell_phases}
        unknown = sorted(set(chosen) - names)  # type: ignore[arg-type]
        if unknown:
            raise InputError(
                f"--{method} names {unknown[0]!r}, which is not a phase of this fit (the phases are "
                f"{', '.join(sorted(names))})"
            )
        if set(chosen) != names:  # type: ignore[arg-type]
            raise InputError(
                f"a {method} fit decomposes every phase: Rietveld phases beside decomposed ones are not offered "
                "yet (name them all, or none)"
            )
    return decompose(scan, cell_phases, request, method)


def _cell_phase(phase: CellPhase | Structure | str | Path) -> CellPhase:
    if isinstance(phase, CellPhase):
        return phase
    if isinstance(phase, Structure):
        raise InputError("a decomposition takes phases as CIF files, index JSON or CellPhase, not Structure objects")
    return load_cell_phase(str(phase))
