"""A trial cell refined against every observed line with a zero shift, its
lattice centring and Bravais lattice, and its figures of merit.

de Wolff's M20 (J. Appl. Cryst. 1 (1968) 108): Q₂₀ / (2 ε̄ N₂₀), with ε̄ the
mean |Q_obs − Q_calc| of the first twenty lines and N₂₀ the number of
distinct calculated Q values up to the twentieth line's. Smith and Snyder's
F_N (J. Appl. Cryst. 12 (1979) 60): (1/|Δ2θ|‾) · N / N_poss over the first N
lines. Both count the reflections the lattice's centring allows.

The refinement is linear least squares: Q(2θ_obs) = features(hkl) · p +
z · dQ/d2θ, in 2θ units (each row divided by dQ/d2θ), with the Miller
indices re-assigned (the nearest calculated line within tolerance) a few
times.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np

from ..errors import InputError
from .observed import ObservedLines, two_theta_of
from .quadratic_forms import (
    FORMS,
    SYSTEM_OF_LATTICE,
    QuadraticForm,
    cell_of,
    general_of_cell,
    miller_indices,
    reciprocal_metric,
)

LARGEST_ZERO_SHIFT = 0.5
"""Degrees 2θ: a solution that needs a larger zero shift is not taken."""

CENTRING_TRANSLATIONS = {
    "P": [],
    "I": [(0.5, 0.5, 0.5)],
    "F": [(0.0, 0.5, 0.5), (0.5, 0.0, 0.5), (0.5, 0.5, 0.0)],
    "C": [(0.5, 0.5, 0.0)],
    "A": [(0.0, 0.5, 0.5)],
    "B": [(0.5, 0.0, 0.5)],
    "R": [(2 / 3, 1 / 3, 1 / 3), (1 / 3, 2 / 3, 2 / 3)],  # hexagonal axes, obverse
    "Rr": [(1 / 3, 2 / 3, 1 / 3), (2 / 3, 1 / 3, 2 / 3)],  # hexagonal axes, reverse
}

PRIMITIVE_BASES = {
    "I": [[-0.5, 0.5, 0.5], [0.5, -0.5, 0.5], [0.5, 0.5, -0.5]],
    "F": [[0.0, 0.5, 0.5], [0.5, 0.0, 0.5], [0.5, 0.5, 0.0]],
    "C": [[0.5, 0.5, 0.0], [-0.5, 0.5, 0.0], [0.0, 0.0, 1.0]],
    "A": [[1.0, 0.0, 0.0], [0.0, 0.5, 0.5], [0.0, -0.5, 0.5]],
    "B": [[0.5, 0.0, 0.5], [0.0, 1.0, 0.0], [-0.5, 0.0, 0.5]],
    "R": [[2 / 3, 1 / 3, 1 / 3], [-1 / 3, 1 / 3, 1 / 3], [-1 / 3, -2 / 3, 1 / 3]],
    "Rr": [[1 / 3, 2 / 3, 1 / 3], [-2 / 3, -1 / 3, 1 / 3], [1 / 3, -1 / 3, 1 / 3]],
}
"""Rows: a primitive basis of each centred lattice in the centred cell's axes."""


def allowed(hkl: np.ndarray, centring: str) -> np.ndarray:
    """Which reflections a lattice centring lets through."""
    keep = np.ones(len(hkl), dtype=bool)
    for t in CENTRING_TRANSLATIONS[centring]:
        phase = np.asarray(hkl, dtype=float) @ np.array(t)
        keep &= np.abs(phase - np.round(phase)) < 1e-6
    return keep


@dataclass(frozen=True, eq=False)
class RefinedCell:
    """A cell refined in its crystal system, with the assignment of every line.

    ``hkl`` (lines, 3) holds zeros for lines not indexed; ``indexed`` marks
    the others. ``sigma`` holds the standard uncertainties of the system's
    parameters and of the zero shift (last), from the lines' scatter.
    """

    form: QuadraticForm
    centring: str
    general: np.ndarray
    zero_shift: float
    hkl: np.ndarray
    indexed: np.ndarray
    calculated: np.ndarray  # 2θ of every reflection up to the last line (with the zero shift)
    m20: float
    fn: float
    fn_lines: int
    mean_error: float  # degrees 2θ, the F_N's |Δ2θ|‾
    possible: int
    covariance: np.ndarray

    @functools.cached_property
    def cell(self) -> tuple[float, float, float, float, float, float]:
        return cell_of(self.general)

    @property
    def score(self) -> float:
        """The ranking figure: M20 lowered by the share of the first twenty lines left unindexed, and
        with its mean error made unbiased for the parameters fitted (n − p lines' worth of scatter
        in n lines): a cell with as many parameters as lines fits them all."""
        first = self.indexed[:20]
        n = int(np.count_nonzero(first))
        fitted = self.form.size + 1
        if n <= fitted + 1:
            return 0.0
        return self.m20 * (n - fitted) / n * float(np.mean(first)) ** 4


def refine(
    general: np.ndarray, form: QuadraticForm, lines: ObservedLines, centring: str = "P", zero_shift: float = 0.0
) -> RefinedCell | None:
    """Refine a trial cell against the lines; None when it indexes too few or needs too large a zero shift."""
    q_top = float(lines.q(zero_shift)[-1]) * 1.03 + 1e-9
    parameters = form.parameters(general)
    try:
        # The trial's reflections, with a margin for the cell to move in; kept through the rounds.
        hkl = miller_indices(parameters @ form.general, 1.1 * q_top)
    except (InputError, np.linalg.LinAlgError):
        return None
    hkl = hkl[allowed(hkl, centring)]
    if len(hkl) == 0:
        return None
    features = form.features(hkl)
    q_obs, slope = lines.q(0.0), lines.dq(0.0)
    zero = zero_shift
    tolerance = lines.tolerance
    previous: np.ndarray | None = None
    covariance = np.zeros((form.size + 1, form.size + 1))
    for round_ in range(6):
        calculated, order = _placed(features @ parameters, lines.wavelength, zero)
        position = _nearest(calculated, lines.two_theta)
        nearest = order[position]
        difference = lines.two_theta - calculated[position]
        # Wider on the first rounds: the trial's cell may still be a little off.
        indexed = np.abs(difference) <= tolerance * max(2.0 - 0.5 * round_, 1.0)
        if np.count_nonzero(indexed) < form.size + 2:
            return None
        if round_ > 2 and previous is not None and np.array_equal(previous, indexed):
            break
        previous = indexed
        design = np.column_stack([features[nearest[indexed]], slope[indexed]]) / slope[indexed, None]
        target = q_obs[indexed] / slope[indexed]
        solution, *_ = np.linalg.lstsq(design, target, rcond=None)
        if not np.all(np.isfinite(solution)) or abs(solution[-1]) > LARGEST_ZERO_SHIFT:
            return None
        parameters, zero = solution[:-1], float(solution[-1])
        residual = design @ solution - target
        freedom = max(int(np.count_nonzero(indexed)) - design.shape[1], 1)
        try:
            covariance = np.linalg.inv(design.T @ design) * (float(residual @ residual) / freedom)
        except np.linalg.LinAlgError:
            return None
    current = parameters @ form.general
    try:
        cell_of(current)
    except InputError:
        return None
    calculated, order = _placed(features @ parameters, lines.wavelength, zero)
    inside = calculated <= lines.two_theta[-1] + 2.0 * tolerance
    calculated, order = calculated[inside], order[inside]
    position = _nearest(calculated, lines.two_theta)
    difference = lines.two_theta - calculated[position]
    indexed = np.abs(difference) <= tolerance
    if np.count_nonzero(indexed) < form.size + 2:
        return None
    assigned = np.where(indexed[:, None], hkl[order[position]], 0)
    m20, fn, fn_lines, mean_error, possible = _figures(lines, zero, calculated, difference, indexed)
    return RefinedCell(
        form,
        centring,
        current,
        zero,
        assigned,
        indexed,
        calculated,
        m20,
        fn,
        fn_lines,
        mean_error,
        possible,
        covariance,
    )


def _placed(q_calc: np.ndarray, wavelength: float, zero: float) -> tuple[np.ndarray, np.ndarray]:
    """2θ of the reflections (with the zero shift) in increasing order, and that order."""
    two_theta = two_theta_of(q_calc, wavelength) + zero
    order = np.argsort(np.where(np.isfinite(two_theta), two_theta, np.inf), kind="stable")
    return two_theta[order], order


def _nearest(sorted_values: np.ndarray, values: np.ndarray) -> np.ndarray:
    right = np.clip(np.searchsorted(sorted_values, values), 0, sorted_values.size - 1)
    left = np.clip(right - 1, 0, sorted_values.size - 1)
    return np.where(np.abs(sorted_values[left] - values) <= np.abs(sorted_values[right] - values), left, right)


def _distinct(values: np.ndarray) -> int:
    """How many different values (within 1e-5°)."""
    if values.size == 0:
        return 0
    ordered = np.sort(values)
    return int(1 + np.count_nonzero(np.diff(ordered) > 1e-5))


def _figures(
    lines: ObservedLines, zero: float, calculated: np.ndarray, difference: np.ndarray, indexed: np.ndarray
) -> tuple[float, float, int, float, int]:
    """M20 (M_N with fewer lines), F_N with N = min(30, lines), its |Δ2θ|‾ and N_poss."""
    n = min(20, len(lines))
    q_obs = lines.q(zero)
    q_calc_of_line = q_obs - difference * lines.dq(zero)  # the matched reflection's Q, to first order
    first = indexed[:n]
    epsilon = float(np.mean(np.abs(q_obs[:n] - q_calc_of_line[:n])[first])) if np.any(first) else math.inf
    top = lines.two_theta[n - 1] + 0.5 * lines.tolerance
    n20 = max(_distinct(calculated[calculated <= top]), 1)
    m20 = float(q_obs[n - 1] / (2.0 * max(epsilon, 1e-12) * n20))
    big_n = min(30, len(lines))
    used = indexed[:big_n]
    mean_error = float(np.mean(np.abs(difference[:big_n])[used])) if np.any(used) else math.inf
    possible = max(_distinct(calculated[calculated <= lines.two_theta[big_n - 1] + 0.5 * lines.tolerance]), 1)
    fn = float(big_n / (max(mean_error, 1e-6) * possible))
    return min(m20, 1e4), min(fn, 1e4), big_n, mean_error, possible


def centrings_consistent(refined: RefinedCell, lines: ObservedLines) -> list[str]:
    """The centrings (besides P) under which the indexed lines still have reflections within tolerance,
    all but one in twenty (a stray line may sit by chance where only the primitive lattice puts one)."""
    system = refined.form.system
    letters = {
        "cubic": ("I", "F"),
        "tetragonal": ("I",),
        "hexagonal": ("R", "Rr"),
        "orthorhombic": ("C", "A", "B", "I", "F"),
        "monoclinic": ("C", "A", "I"),
        "triclinic": (),
    }[system]
    q_top = float(lines.q(refined.zero_shift)[-1]) * 1.03
    hkl = miller_indices(refined.general, q_top)
    q_calc = refined.form.features(hkl) @ refined.form.parameters(refined.general)
    calculated = two_theta_of(q_calc, lines.wavelength) + refined.zero_shift
    found = []
    for letter in letters:
        keep = allowed(hkl, letter)
        if not np.any(keep):
            continue
        positions = np.sort(calculated[keep])
        observed = lines.two_theta[refined.indexed]
        nearest = _nearest(positions, observed)
        lost = np.count_nonzero(np.abs(observed - positions[nearest]) > lines.tolerance)
        if lost <= observed.size // 20:
            found.append(letter)
    return found


def primitive_cell(refined: RefinedCell, centring: str) -> tuple[float, ...]:
    """The primitive cell (a, b, c, α, β, γ) of the refined cell's lattice with this centring added."""
    rows = np.linalg.cholesky(np.linalg.inv(reciprocal_metric(refined.general)))  # vectors with this metric
    vectors = np.array(PRIMITIVE_BASES[centring]) @ rows if centring != "P" else rows
    g = vectors @ vectors.T
    lengths = np.sqrt(np.diag(g))
    angles = np.degrees(
        np.arccos(
            [
                g[1, 2] / (lengths[1] * lengths[2]),
                g[0, 2] / (lengths[0] * lengths[2]),
                g[0, 1] / (lengths[0] * lengths[1]),
            ]
        )
    )
    return (*map(float, lengths), *map(float, angles))


@dataclass(frozen=True)
class Bravais:
    """A lattice's Bravais type and its conventional cell."""

    symbol: str  # cP, cF, hR, mC, aP ...
    cell: tuple[float, float, float, float, float, float]

    @property
    def centring(self) -> str:
        return self.symbol[1]

    @property
    def system(self) -> str:
        return "hexagonal" if self.symbol == "hR" else SYSTEM_OF_LATTICE[self.symbol[0]]


def bravais_lattice(cell: tuple[float, ...]) -> Bravais:
    """The Bravais lattice of a primitive cell's lattice and its conventional cell (moyopy's standard setting).

    The tolerance is tight (2e-4 of the longest edge): a refined cell carries
    its own system's symmetry exactly, so a higher symmetry found here is the
    lattice's, not the noise's.
    """
    import gemmi
    import moyopy

    unit = gemmi.UnitCell(*cell)
    basis = np.array(unit.orth.mat).T
    dataset = moyopy.MoyoDataset(moyopy.Cell(basis.tolist(), [[0.0, 0.0, 0.0]], [1]), symprec=2e-4 * max(cell[:3]))
    symbol = dataset.pearson_symbol[:2].replace("S", "C")
    vectors = np.array(dataset.std_cell.basis)
    lengths = np.linalg.norm(vectors, axis=1)
    cosines = [
        vectors[1] @ vectors[2] / (lengths[1] * lengths[2]),
        vectors[0] @ vectors[2] / (lengths[0] * lengths[2]),
        vectors[0] @ vectors[1] / (lengths[0] * lengths[1]),
    ]
    angles = np.degrees(np.arccos(np.clip(cosines, -1.0, 1.0)))
    conventional = (*map(float, lengths), *map(float, angles))
    if symbol[0] == "o":  # no space group yet: the edges in increasing order
        conventional = _orthorhombic_order(conventional, symbol)
    return Bravais(symbol, conventional)  # type: ignore[arg-type]


def _orthorhombic_order(cell: tuple[float, ...], symbol: str) -> tuple[float, ...]:
    if symbol == "oC":  # the C face keeps its two edges, in order; c stays
        a, b = sorted(cell[:2])
        return (a, b, cell[2], 90.0, 90.0, 90.0)
    return (*sorted(cell[:3]), 90.0, 90.0, 90.0)


def refine_conventional(bravais: Bravais, lines: ObservedLines, zero_shift: float) -> RefinedCell | None:
    """Refine the conventional cell in its own system with its centring."""
    form = FORMS[bravais.system]
    return refine(general_of_cell(bravais.cell), form, lines, bravais.centring, zero_shift)
