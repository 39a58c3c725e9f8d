"""Standard uncertainties of a fit: the covariance of the refined
parameters, the weight fractions' uncertainties through it, and the
crystallographers' notation 33.65(42).

The covariance is (JᵀJ)⁻¹ χ², J the Jacobian of the weighted residuals by
every refined parameter (the linear ones, scales and background, included;
the others with the linear ones held), at the minimum, corrected for the
serial correlation of the residuals (``serial_correlation.py``; the
uncorrected one is kept beside it). A parameter that stopped at a bound is
left out: it is no longer free; one whose direction lies in the normal
matrix's null space is undetermined and gets no uncertainty. Weight fractions
w = S·ZMV/τ / Σ S·ZMV/τ carry the uncertainty of the scales and of the
cells' volumes; Brindley's τ is taken as exact.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .model import FitModel
from .parameters import Parameter
from .serial_correlation import corrected_covariance, durbin_watson, residual_correlation
from .width_constraints import PhysicalWidths

UNDETERMINED_SHARE = 0.1
"""A parameter with more than this share of its direction in the normal
matrix's null space is not determined by the data."""

NULL_RCOND = 1e-12
"""Eigenvalues of the unit-scaled normal matrix below this times the largest are its null space."""


@dataclass(frozen=True)
class FitCovariance:
    """The refined parameters' covariance, corrected for serially correlated residuals, and the uncorrected one.

    Attributes
    ----------
    names : list of str
        The parameters with a row (refined and not at a bound).
    matrix, raw : numpy.ndarray
        Covariance corrected as ``serial_correlation.py`` says, and
        χ² (JᵀJ)⁻¹ without the correction (model units).
    durbin_watson : float
        Durbin–Watson d of the weighted residuals.
    undetermined : tuple of str
        Parameters the data do not determine (no uncertainty is given for them).
    """

    names: list[str]
    matrix: np.ndarray
    raw: np.ndarray
    durbin_watson: float
    undetermined: tuple[str, ...] = ()

    def pair(self, raw: bool = False) -> tuple[list[str], np.ndarray]:
        """(names, matrix), as the structure results take it."""
        return self.names, self.raw if raw else self.matrix

    def correlation(self) -> np.ndarray:
        """The correlation matrix of the corrected covariance (0 off the diagonal for a zero variance)."""
        scale = np.sqrt(np.maximum(np.diag(self.matrix), 0.0))
        scale[scale == 0.0] = np.inf
        found = self.matrix / np.outer(scale, scale)
        np.fill_diagonal(found, 1.0)
        return found


def covariance(
    model: FitModel,
    values: dict[str, float],
    coefficients: np.ndarray,
    chi2: float,
    residuals: np.ndarray | None = None,
) -> FitCovariance:
    """The covariance of the parameters with an uncertainty (model units).

    Taken in the optimiser's variables (``PhysicalWidths``: the Gaussian
    widths as the optimiser moves them, so that a width held at the edge of
    physical ones counts as a bound) and carried to the parameters by the
    map's derivative. ``residuals`` are the weighted residuals at the
    solution; with them the covariance is corrected for their serial
    correlation.
    """
    n_phases = len(model.phases)
    free = model.parameters.free
    transform = PhysicalWidths(model.parameters)
    x = np.array([values[p.name] for p in free], dtype=float)
    z = transform.internal(x)
    low, high = transform.bounds(*model.parameters.bounds())
    moving = [i for i, p in enumerate(free) if not _stopped(p, transform, i, float(x[i]), float(z[i]), low[i], high[i])]
    chain = transform.derivative(z)[:, moving]
    needed = [i for i in range(len(free)) if np.any(chain[i] != 0.0)]
    chain = chain[needed]
    derivatives = model.column_derivatives(values, [free[i] for i in needed])
    by_parameter = np.einsum("kpn,p->nk", derivatives, coefficients[:n_phases]) / model.sigma[:, None]
    design = model.design(values)
    linear_names = [p.name for p in model.parameters.linear]
    active = [
        i for i in range(design.shape[1]) if np.any(design[:, i] != 0.0) and (i >= n_phases or coefficients[i] > 0.0)
    ]
    jacobian = np.column_stack([by_parameter @ chain, design[:, active]])
    inner_names = [free[i].name for i in moving] + [linear_names[i] for i in active]
    names = [free[i].name for i in needed] + [linear_names[i] for i in active]
    norms = np.linalg.norm(jacobian, axis=0)
    norms[norms == 0.0] = 1.0
    scaled = jacobian / norms
    normal = scaled.T @ scaled
    eigenvalues, vectors = np.linalg.eigh(normal)
    null = eigenvalues < NULL_RCOND * max(float(eigenvalues.max(initial=0.0)), 1e-300)
    in_null = np.sum(vectors[:, null] ** 2, axis=1)
    inverse = np.linalg.pinv(normal, rcond=1e-13, hermitian=True)
    if residuals is None:
        rho, d = np.zeros(0), math.nan
    else:
        rho, d = residual_correlation(residuals), durbin_watson(residuals)
    corrected = corrected_covariance(scaled, inverse, rho)
    # From the optimiser's variables (unit-scaled) to the parameters.
    carry = np.zeros((len(names), len(inner_names)))
    carry[: len(needed), : len(moving)] = chain
    carry[len(needed) :, len(moving) :] = np.eye(len(active))
    carry /= norms
    unsettled = carry[:, in_null > UNDETERMINED_SHARE] != 0.0
    undetermined = tuple(n for n, row in zip(names, unsettled) if np.any(row))
    return FitCovariance(names, carry @ corrected @ carry.T * chi2, carry @ inverse @ carry.T * chi2, d, undetermined)


def _stopped(
    parameter: Parameter, transform: PhysicalWidths, index: int, x: float, z: float, low: float, high: float
) -> bool:
    """Whether a free parameter stopped at a bound (of the optimiser's variable where the widths map it)."""
    if transform.maps(index):
        span = high - low
        return z <= low + 1e-6 * span or z >= high - 1e-6 * span
    return parameter.at_bound(x) is not None


def standard_uncertainties(names: Sequence[str], cov: np.ndarray, undetermined: Sequence[str] = ()) -> dict[str, float]:
    """Each parameter's standard uncertainty, leaving out those the data do not determine."""
    return {
        n: float(math.sqrt(v))
        for n, v in zip(names, np.diag(cov))
        if v >= 0.0 and math.isfinite(v) and n not in undetermined
    }


def weight_fraction_gradient(
    model: FitModel, values: dict[str, float], fractions: np.ndarray, per_scale: np.ndarray, names: Sequence[str]
) -> np.ndarray:
    """∂w_i/∂θ for each phase i and each parameter θ in ``names``.

    ``per_scale[j]`` is ZMV/τ of phase j, so that its amount is S_j · per_scale[j].
    """
    index = {n: k for k, n in enumerate(names)}
    total = float(sum(values[f"{ph.name} scale"] * per_scale[j] for j, ph in enumerate(model.phases)))
    gradient = np.zeros((len(model.phases), len(names)))
    if not total > 0.0:
        return gradient
    for j, phase in enumerate(model.phases):
        # How phase j's amount a_j moves with its scale and its cell.
        moves = {f"{phase.name} scale": per_scale[j] / total}
        factors = model.cell_factors(phase, values)
        amount_share = fractions[j]
        for g, group in enumerate(phase.constraints.names):
            name = f"{phase.name} cell {group}"
            if name in index:
                h = 1e-6
                up, down = factors.copy(), factors.copy()
                up[g] += h
                down[g] -= h
                dlnv = (math.log(phase.constraints.volume(up)) - math.log(phase.constraints.volume(down))) / (2 * h)
                moves[name] = amount_share * dlnv
        for name, da in moves.items():
            if name in index:
                # w_i = a_i / Σa: ∂w_i/∂a_j · ∂a_j/∂θ with ∂a_j/∂θ / Σa given as da.
                gradient[:, index[name]] += (np.eye(len(model.phases))[:, j] - fractions) * da
    return gradient


def format_with_uncertainty(value: float, esd: float | None, digits: int = 6) -> str:
    """``value`` with its standard uncertainty in the last digits: 33.65(42).

    Two significant digits of the uncertainty; without one (a fixed
    parameter) the value alone, to ``digits`` significant digits.
    """
    if esd is None or not math.isfinite(esd) or esd <= 0.0 or not math.isfinite(value):
        return f"{value:.{digits}g}"
    decimals = 1 - math.floor(math.log10(esd))
    if round(esd * 10.0**decimals) >= 100:  # 0.0996 rounds to 0.10
        decimals -= 1
    if decimals <= 0:
        return f"{value:.0f}({esd:.0f})"
    return f"{value:.{decimals}f}({round(esd * 10.0**decimals):d})"
