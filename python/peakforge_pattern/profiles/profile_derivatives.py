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

import numpy as np

from .instrument import MAX_ASYMMETRY, Instrument, lorentz_polarisation
from .profile import LineSet, PhasePeaks, line_set
from .sample import Sample

PROFILE_TERMS: tuple[str, ...] = ("zero_shift", "displacement", "U", "V", "W", "X", "Y", "eta", "asymmetry",
                                  "b_overall")
"""Parameters with an analytic derivative, by their Instrument or Sample field name."""

_DEG = 180.0 / math.pi
_CENTRE, _FWHM, _ETA, _AREA, _ASYMMETRY = range(5)

# Thompson–Cox–Hastings polynomials (shapes.thompson_cox_hastings).
_TCH_FWHM = (1.0, 2.69269, 2.42843, 4.47163, 0.07842, 1.0)  # g^(5-i) l^i
_TCH_ETA = (1.36603, -0.47719, 0.11116)  # q, q², q³


def _width_derivatives(instrument: Instrument, sample: Sample, two_theta: np.ndarray, wavelength: float
                       ) -> dict[str, np.ndarray]:
    """FWHM, η and their derivatives by U, V, W, X, Y, η and the true 2θ (each (peaks, 2))."""
    theta = np.radians(two_theta) / 2.0
    tan, cos = np.tan(theta), np.cos(theta)
    sec2 = 1.0 / (cos * cos)
    strain = sample.strain_fwhm(theta)
    size = sample.size_fwhm(theta, wavelength)
    gauss_sq = instrument.U * tan * tan + instrument.V * tan + instrument.W + strain ** 2
    lorentz = instrument.X * tan + instrument.Y / cos + size
    d_theta = math.pi / 360.0  # dθ/d(2θ in degrees)
    d_gauss_sq = {"U": tan * tan, "V": tan, "W": np.ones_like(tan), "X": 0.0 * tan, "Y": 0.0 * tan,
                  "2theta": (2.0 * instrument.U * tan * sec2 + instrument.V * sec2
                             + 2.0 * strain * np.degrees(4.0 * sample.microstrain * sec2)) * d_theta}
    d_lorentz = {"U": 0.0 * tan, "V": 0.0 * tan, "W": 0.0 * tan, "X": tan, "Y": 1.0 / cos,
                 "2theta": (instrument.X * sec2 + instrument.Y * tan / cos + size * tan) * d_theta}
    g = np.sqrt(np.maximum(gauss_sq, 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        dg_dsq = np.where(gauss_sq > 0.0, 0.5 / g, 0.0)
    l_positive = lorentz > 0.0
    l = np.maximum(lorentz, 0.0)
    out: dict[str, np.ndarray] = {}
    if instrument.shape == "tch":
        poly = sum(c * g ** (5 - i) * l ** i for i, c in enumerate(_TCH_FWHM))
        fwhm = poly ** 0.2
        dpoly_dg = sum(c * (5 - i) * g ** (4 - i) * l ** i for i, c in enumerate(_TCH_FWHM) if i < 5)
        dpoly_dl = sum(c * i * g ** (5 - i) * l ** (i - 1) for i, c in enumerate(_TCH_FWHM) if i > 0)
        with np.errstate(divide="ignore", invalid="ignore"):
            dfwhm_dpoly = np.where(fwhm > 0.0, 0.2 / fwhm ** 4, 0.0)
            q = np.where(fwhm > 0.0, l / fwhm, 0.0)
        eta_raw = _TCH_ETA[0] * q + _TCH_ETA[1] * q * q + _TCH_ETA[2] * q ** 3
        deta_dq = np.where((eta_raw > 0.0) & (eta_raw < 1.0),
                           _TCH_ETA[0] + 2.0 * _TCH_ETA[1] * q + 3.0 * _TCH_ETA[2] * q * q, 0.0)
        for name in ("U", "V", "W", "X", "Y", "2theta"):
            dg = dg_dsq * d_gauss_sq[name]
            dl = np.where(l_positive, d_lorentz[name], 0.0)
            dfwhm = dfwhm_dpoly * (dpoly_dg * dg + dpoly_dl * dl)
            with np.errstate(divide="ignore", invalid="ignore"):
                dq = np.where(fwhm > 0.0, dl / fwhm - l * dfwhm / (fwhm * fwhm), 0.0)
            out[name] = np.column_stack([dfwhm, deta_dq * dq])
        out["eta"] = np.zeros((tan.size, 2))
    else:
        for name in ("U", "V", "W", "X", "Y", "2theta"):
            dfwhm = dg_dsq * d_gauss_sq[name] + np.where(l_positive, d_lorentz[name], 0.0)
            out[name] = np.column_stack([dfwhm, np.zeros_like(dfwhm)])
        out["eta"] = np.column_stack([np.zeros_like(tan), np.ones_like(tan)])
    return out


def _log_lp_slope(two_theta: np.ndarray, monochromator_two_theta: float) -> np.ndarray:
    """d ln LP / d(2θ in degrees) of instrument.lorentz_polarisation."""
    theta = np.radians(two_theta) / 2.0
    cm = math.cos(math.radians(monochromator_two_theta)) ** 2
    c2, s2 = np.cos(2.0 * theta), np.sin(2.0 * theta)
    d_log = -4.0 * cm * c2 * s2 / (1.0 + cm * c2 * c2) - 2.0 / np.tan(theta) + np.tan(theta)
    return d_log * (math.pi / 360.0)


def line_set_with_chain(peaks: PhasePeaks, instrument: Instrument, sample: Sample | None = None,
                        reciprocal: np.ndarray | None = None, *, terms: Sequence[str] = PROFILE_TERMS,
                        spacing_derivatives: np.ndarray | None = None,
                        weight_derivatives: np.ndarray | None = None) -> tuple[LineSet, np.ndarray]:
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
    lines = line_set(peaks, instrument, sample, reciprocal)
    d_all = peaks.d_for(reciprocal)
    cells = np.zeros((d_all.size, 0)) if spacing_derivatives is None else np.asarray(spacing_derivatives, float)
    weights = np.zeros((d_all.size, 0)) if weight_derivatives is None else np.asarray(weight_derivatives, float)
    if cells.shape[0] != d_all.size or weights.shape[0] != d_all.size:
        raise ValueError(f"spacing and weight derivatives need one row per reflection ({d_all.size})")
    column = {t: i for i, t in enumerate(terms)}
    width = len(terms) + cells.shape[1] + weights.shape[1]
    # What multiplies a reflection's weight into its area: all but the weight itself.
    weight_factor = sample.debye_waller(d_all) * peaks.orientation_factors(sample)
    monochromator = instrument.monochromator_angle
    chains = []
    offset = 0
    for wavelength, share in instrument.lines(peaks.wavelength):
        seen = np.flatnonzero(wavelength / (2.0 * d_all) < 1.0)
        d = d_all[seen]
        theta = np.arcsin(wavelength / (2.0 * d))
        true = 2.0 * np.degrees(theta)
        fwhm_eta = _width_derivatives(instrument, sample, true, wavelength)
        area = lines.area[offset:offset + seen.size]  # as line_set computed them
        offset += seen.size
        observed = instrument.shift(true)
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
        for name in ("U", "V", "W", "X", "Y", "eta"):
            if name in column:
                chain[:, _FWHM, column[name]] = fwhm_eta[name][:, 0]
                chain[:, _ETA, column[name]] = fwhm_eta[name][:, 1]
        if "asymmetry" in column:
            chain[:, _ASYMMETRY, column["asymmetry"]] = dasym_da
        if "b_overall" in column:
            chain[:, _AREA, column["b_overall"]] = -area / (2.0 * d * d)
        if cells.shape[1]:
            # Through d: the true angle, then position, widths, LP and Debye–Waller.
            dtrue_dd = -2.0 * _DEG * np.tan(theta) / d
            lp_slope = _log_lp_slope(true, monochromator)
            dw_slope = sample.b_overall / d ** 3
            for k in range(cells.shape[1]):
                dd = cells[seen, k]
                dtrue = dtrue_dd * dd
                j = len(terms) + k
                chain[:, _CENTRE, j] = dobs_dtrue * dtrue
                chain[:, _FWHM, j] = fwhm_eta["2theta"][:, 0] * dtrue
                chain[:, _ETA, j] = fwhm_eta["2theta"][:, 1] * dtrue
                chain[:, _AREA, j] = area * (lp_slope * dtrue + dw_slope * dd)
                chain[:, _ASYMMETRY, j] = dasym_dobs * dobs_dtrue * dtrue
        if weights.shape[1]:
            to_area = weight_factor[seen] * share * lorentz_polarisation(true, monochromator)
            chain[:, _AREA, width - weights.shape[1]:] = weights[seen] * to_area[:, None]
        chains.append(chain)
    return lines, np.concatenate(chains) if chains else np.zeros((0, 5, width))
