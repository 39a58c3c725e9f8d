"""Derivatives of a phase's peaks (position, FWHM, η, area, asymmetry) with
respect to the instrument's and the sample's parameters, as the chain the
native binned-profile kernel composes into a Jacobian.

Each peak of each emission line sits at the observed angle

    2θ_obs = 2θ + zero − (180/π) · 2 s cos θ / R,   sin θ = λ / (2d)

with Caglioti and Lorentzian widths at the true 2θ (instrument.py), area
w · exp(−B / (2d²)) · share · LP(2θ) and asymmetry A / tan 2θ_obs (within
±0.9). A change of the cell moves d, hence 2θ, and through it the widths,
the Lorentz-polarisation factor and the Debye–Waller factor; the caller
gives ∂d/∂(cell parameter) for each reflection.

Crystallite size, microstrain and preferred orientation have no analytic
derivative here (their width terms enter the derivatives by 2θ).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ..diffraction.engine_route import lorentz_polarisation
from .instrument import MAX_ASYMMETRY, Instrument
from .profile import LineSet, PhasePeaks
from .sample import Sample

PROFILE_TERMS: tuple[str, ...] = (
    "zero_shift",
    "displacement",
    "U",
    "V",
    "W",
    "X",
    "Y",
    "eta",
    "asymmetry",
    "b_overall",
)
"""Parameters with an analytic derivative, by their Instrument or Sample field name."""

_DEG = 180.0 / math.pi
_CENTRE, _FWHM, _ETA, _AREA, _ASYMMETRY = range(5)

# Thompson–Cox–Hastings polynomials (shapes.thompson_cox_hastings).
_TCH_FWHM = (1.0, 2.69269, 2.42843, 4.47163, 0.07842, 1.0)  # g^(5-i) l^i
_TCH_ETA = (1.36603, -0.47719, 0.11116)  # q, q², q³


@dataclass(frozen=True)
class _WidthSlopes:
    """How FWHM and η move with the squared Gaussian width G² and the Lorentzian width L
    (dFWHM = fwhm_g2·dG² + fwhm_l·dL, dη = eta_g2·dG² + eta_l·dL), and how G² and L move
    with the true 2θ (degrees)."""

    tan: np.ndarray
    cos: np.ndarray
    fwhm_g2: np.ndarray
    fwhm_l: np.ndarray
    eta_g2: np.ndarray
    eta_l: np.ndarray
    g2_by_angle: np.ndarray
    l_by_angle: np.ndarray


def _width_slopes(instrument: Instrument, sample: Sample, two_theta: np.ndarray, wavelength: float) -> _WidthSlopes:
    """The chain from the widths' terms to FWHM and η at each true 2θ (instrument.widths' formulas)."""
    theta = np.radians(two_theta) / 2.0
    tan, cos = np.tan(theta), np.cos(theta)
    sec2 = 1.0 / (cos * cos)
    strain = sample.strain_fwhm(theta)
    size = sample.size_fwhm(theta, wavelength)
    gauss_sq = instrument.U * tan * tan + instrument.V * tan + instrument.W + strain**2
    lorentz = instrument.X * tan + instrument.Y / cos + size
    d_theta = math.pi / 360.0  # dθ/d(2θ in degrees)
    g2_by_angle = (
        2.0 * instrument.U * tan * sec2
        + instrument.V * sec2
        + 2.0 * strain * np.degrees(4.0 * sample.microstrain * sec2)
    ) * d_theta
    l_by_angle = (instrument.X * sec2 + instrument.Y * tan / cos + size * tan) * d_theta
    g = np.sqrt(np.maximum(gauss_sq, 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        g_by_g2 = np.where(gauss_sq > 0.0, 0.5 / g, 0.0)
    l_moves = (lorentz > 0.0).astype(float)
    if instrument.shape != "tch":  # FWHM = G + L, η fixed
        zero = np.zeros_like(tan)
        return _WidthSlopes(tan, cos, g_by_g2, l_moves, zero, zero, g2_by_angle, l_by_angle)
    l = np.maximum(lorentz, 0.0)
    g2, g3, l2, l3 = g * g, g * g * g, l * l, l * l * l
    c = _TCH_FWHM
    poly = g2 * g3 + c[1] * g2 * g2 * l + c[2] * g3 * l2 + c[3] * g2 * l3 + c[4] * g * l2 * l2 + l2 * l3
    fwhm = poly**0.2
    poly_g = 5.0 * g2 * g2 + 4.0 * c[1] * g3 * l + 3.0 * c[2] * g2 * l2 + 2.0 * c[3] * g * l3 + c[4] * l2 * l2
    poly_l = c[1] * g2 * g2 + 2.0 * c[2] * g3 * l + 3.0 * c[3] * g2 * l2 + 4.0 * c[4] * g * l3 + 5.0 * l2 * l2
    with np.errstate(divide="ignore", invalid="ignore"):
        fwhm_by_poly = np.where(fwhm > 0.0, 0.2 / fwhm**4, 0.0)
        q = np.where(fwhm > 0.0, l / fwhm, 0.0)
        per_fwhm = np.where(fwhm > 0.0, 1.0 / fwhm, 0.0)
    eta_raw = _TCH_ETA[0] * q + _TCH_ETA[1] * q * q + _TCH_ETA[2] * q**3
    eta_by_q = np.where(
        (eta_raw > 0.0) & (eta_raw < 1.0), _TCH_ETA[0] + 2.0 * _TCH_ETA[1] * q + 3.0 * _TCH_ETA[2] * q * q, 0.0
    )
    fwhm_g2 = fwhm_by_poly * poly_g * g_by_g2
    fwhm_l = fwhm_by_poly * poly_l * l_moves
    # q = L / FWHM: dq = dL / FWHM − q dFWHM / FWHM.
    eta_g2 = eta_by_q * (-q * per_fwhm * fwhm_g2)
    eta_l = eta_by_q * (l_moves * per_fwhm - q * per_fwhm * fwhm_l)
    return _WidthSlopes(tan, cos, fwhm_g2, fwhm_l, eta_g2, eta_l, g2_by_angle, l_by_angle)


_LP_STEP = 1e-3  # degrees 2θ: the factor's slope by a central difference, good to about 1e-8


def _log_lp_slope(two_theta: np.ndarray, radiation: str, monochromator_angle: float) -> np.ndarray:
    """d ln LP / d(2θ in degrees) of the engine's Lorentz-polarisation factor (whose formula
    lives in the core only)."""
    up = lorentz_polarisation(two_theta + _LP_STEP, radiation, monochromator_angle)
    down = lorentz_polarisation(two_theta - _LP_STEP, radiation, monochromator_angle)
    return (np.log(up) - np.log(down)) / (2.0 * _LP_STEP)


def line_set_with_chain(
    peaks: PhasePeaks,
    instrument: Instrument,
    sample: Sample | None = None,
    reciprocal: np.ndarray | None = None,
    *,
    terms: Sequence[str] = PROFILE_TERMS,
    spacing_derivatives: np.ndarray | None = None,
    weight_derivatives: np.ndarray | None = None,
) -> tuple[LineSet, np.ndarray]:
    """The phase's lines (as ``line_set`` places them) and each line's derivatives.

    Parameters
    ----------
    peaks, instrument, sample, reciprocal
        As for ``profile.line_set``.
    terms : sequence of str
        Names from ``PROFILE_TERMS``, one chain column each, in this order.
    spacing_derivatives : ndarray (reflections, m), optional
        ∂d/∂c_k of each of ``peaks``' reflections for m cell parameters c_k,
        appended after the terms.
    weight_derivatives : ndarray (reflections, j), optional
        ∂weight/∂p_i of each of ``peaks``' reflections (``PhasePeaks.weight``,
        |F|²·multiplicity) for j parameters p_i, such as a structure's
        coordinates (from intensity_derivatives.py divided by the Lorentz-
        polarisation factor as the weights are), appended last.

    Returns
    -------
    lines : LineSet
    chain : ndarray (lines, 5, len(terms) + m)
        ∂(position, FWHM, η, area, asymmetry)/∂parameter of each line, for
        ``shapes.binned_peaks_with_jacobian``.

    Raises
    ------
    ValueError
        For a term without an analytic derivative.
    """
    unknown = [t for t in terms if t not in PROFILE_TERMS]
    if unknown:
        raise ValueError(f"no analytic derivative for {', '.join(unknown)}")
    sample = sample if sample is not None else Sample()
    d_all = peaks.d_for(reciprocal)
    cells = np.zeros((d_all.size, 0)) if spacing_derivatives is None else np.asarray(spacing_derivatives, float)
    weights = np.zeros((d_all.size, 0)) if weight_derivatives is None else np.asarray(weight_derivatives, float)
    if cells.shape[0] != d_all.size or weights.shape[0] != d_all.size:
        raise ValueError(f"spacing and weight derivatives need one row per reflection ({d_all.size})")
    column = {t: i for i, t in enumerate(terms)}
    width = len(terms) + cells.shape[1] + weights.shape[1]
    # What multiplies a reflection's weight into its area: all but the weight itself.
    weight_factor = sample.debye_waller(d_all) * peaks.orientation_factors(sample)
    weight_all = peaks.weight * weight_factor
    monochromator = instrument.monochromator_angle
    if monochromator is None:  # the pattern's own, as line_set takes it
        monochromator = peaks.monochromator_angle
    parts, chains = [], []
    for wavelength, share in instrument.lines(peaks.wavelength):
        # The line placed as profile.line_set places it, with the same operations.
        sin_theta = wavelength / (2.0 * d_all)
        seen = np.flatnonzero(sin_theta < 1.0)
        true = 2.0 * np.degrees(np.arcsin(sin_theta[seen]))
        fwhm, eta = instrument.widths(true, wavelength, sample)
        lp = lorentz_polarisation(true, peaks.radiation, monochromator)
        area = weight_all[seen] * share * lp
        observed = instrument.shift(true)
        parts.append((observed, fwhm, eta, area, instrument.asymmetries(observed)))

        d = d_all[seen]
        theta = np.radians(true) / 2.0
        slopes = _width_slopes(instrument, sample, true, wavelength)
        chain = np.zeros((d.size, 5, width))
        # The asymmetry A / tan 2θ_obs, and the observed angle as a function of the true one.
        tan_obs = np.tan(np.radians(observed))
        with np.errstate(divide="ignore", invalid="ignore"):
            skew = instrument.asymmetry / tan_obs
            free = np.isfinite(skew) & (np.abs(skew) < MAX_ASYMMETRY)
            dasym_da = np.where(free, 1.0 / tan_obs, 0.0)
            dasym_dobs = np.where(free, -instrument.asymmetry / np.sin(np.radians(observed)) ** 2 / _DEG, 0.0)
        dobs_dtrue = 1.0 + instrument.displacement * np.sin(theta) / instrument.radius
        if "zero_shift" in column:
            chain[:, _CENTRE, column["zero_shift"]] = 1.0
            chain[:, _ASYMMETRY, column["zero_shift"]] = dasym_dobs
        if "displacement" in column:
            shift = -2.0 * np.cos(theta) / instrument.radius * _DEG
            chain[:, _CENTRE, column["displacement"]] = shift
            chain[:, _ASYMMETRY, column["displacement"]] = dasym_dobs * shift
        tan, cos = slopes.tan, slopes.cos
        for name, g2_term, l_term in (
            ("U", tan * tan, None),
            ("V", tan, None),
            ("W", 1.0, None),
            ("X", None, tan),
            ("Y", None, 1.0 / cos),
        ):
            if name in column:
                k = column[name]
                if g2_term is not None:
                    chain[:, _FWHM, k] = slopes.fwhm_g2 * g2_term
                    chain[:, _ETA, k] = slopes.eta_g2 * g2_term
                else:
                    chain[:, _FWHM, k] = slopes.fwhm_l * l_term
                    chain[:, _ETA, k] = slopes.eta_l * l_term
        if "eta" in column and instrument.shape != "tch":
            chain[:, _ETA, column["eta"]] = 1.0
        if "asymmetry" in column:
            chain[:, _ASYMMETRY, column["asymmetry"]] = dasym_da
        if "b_overall" in column:
            chain[:, _AREA, column["b_overall"]] = -area / (2.0 * d * d)
        if cells.shape[1]:
            # Through d: the true angle, then position, widths, LP and Debye–Waller.
            dtrue_dd = -2.0 * _DEG * np.tan(theta) / d
            lp_slope = _log_lp_slope(true, peaks.radiation, monochromator)
            dw_slope = sample.b_overall / d**3
            fwhm_by_angle = slopes.fwhm_g2 * slopes.g2_by_angle + slopes.fwhm_l * slopes.l_by_angle
            eta_by_angle = slopes.eta_g2 * slopes.g2_by_angle + slopes.eta_l * slopes.l_by_angle
            for k in range(cells.shape[1]):
                dd = cells[seen, k]
                dtrue = dtrue_dd * dd
                j = len(terms) + k
                chain[:, _CENTRE, j] = dobs_dtrue * dtrue
                chain[:, _FWHM, j] = fwhm_by_angle * dtrue
                chain[:, _ETA, j] = eta_by_angle * dtrue
                chain[:, _AREA, j] = area * (lp_slope * dtrue + dw_slope * dd)
                chain[:, _ASYMMETRY, j] = dasym_dobs * dobs_dtrue * dtrue
        if weights.shape[1]:
            chain[:, _AREA, width - weights.shape[1] :] = weights[seen] * (weight_factor[seen] * share * lp)[:, None]
        chains.append(chain)
    lines = LineSet(*(np.concatenate(column_values) for column_values in zip(*parts)))
    return lines, np.concatenate(chains) if chains else np.zeros((0, 5, width))
