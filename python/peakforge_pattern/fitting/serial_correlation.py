"""Standard uncertainties that allow for serially correlated residuals.

A profile fit's residuals are not independent: wherever the model's peak
shape, background or intensities miss what the scan shows, neighbouring
points miss it together. Least squares' covariance χ² (JᵀJ)⁻¹ assumes
independent points and then understates the uncertainties, by a factor that
grows with the number of points over which the residuals stay correlated
(Bérar and Lelann, J. Appl. Cryst. 24 (1991) 1).

How correlated they are is told by the Durbin–Watson statistic of the
weighted residuals r (Durbin and Watson, Biometrika 37 (1950) 409),

    d = Σ (rᵢ − rᵢ₋₁)² / Σ rᵢ²,

2 for independent residuals and towards 0 as neighbours go together
(d ≈ 2 (1 − ρ₁)). With ρₖ the correlation of residuals k points apart,
taken as the same along the scan (Bérar and Lelann's local correlation),
the covariance of the least-squares estimates is

    C = χ² A⁻¹ M A⁻¹,   A = JᵀJ,   M = Jᵀ T J,   Tᵢⱼ = ρ₍|i−j|₎,

J the Jacobian of the weighted residuals. Where a parameter's derivative
changes slowly over the correlation length this is the usual χ² A⁻¹ times
Bérar and Lelann's factor 1 + 2 Σ ρₖ; kept as a matrix it also follows
derivatives that change sign across a peak (those of the positions). ρₖ is
the residuals' sample autocorrelation, summed up to the lag where it first
falls to zero: beyond it the estimate is noise. T J is a convolution of
each column of J with (ρₖ), done by FFT.

What this covers: counting statistics and the misfit the residuals show.
It does not cover errors that leave no trace in the residuals: sample
preparation, particle statistics, microabsorption, or a model that fits
well for the wrong reasons.
"""

from __future__ import annotations

import math

import numpy as np

MAX_LAG_SHARE = 0.25
"""Largest lag of the autocorrelation, as a share of the points."""


def durbin_watson(residuals: np.ndarray) -> float:
    """Durbin–Watson d of the weighted residuals (nan for fewer than two or all zero)."""
    r = np.asarray(residuals, dtype=float)
    total = float(r @ r)
    if r.size < 2 or not total > 0.0:
        return math.nan
    step = np.diff(r)
    return float(step @ step) / total


def residual_correlation(residuals: np.ndarray) -> np.ndarray:
    """ρ₁, ρ₂, … of the residuals, up to (not including) the first lag where it is ≤ 0."""
    r = np.asarray(residuals, dtype=float)
    n = r.size
    total = float(r @ r)
    if n < 4 or not total > 0.0:
        return np.zeros(0)
    size = 1 << (2 * n - 1).bit_length()
    spectrum = np.fft.rfft(r, size)
    autocovariance = np.fft.irfft(spectrum * np.conj(spectrum), size)[: max(2, int(n * MAX_LAG_SHARE)) + 1]
    rho = autocovariance[1:] / total
    stop = np.flatnonzero(rho <= 0.0)
    return rho[: stop[0]] if stop.size else rho


def correlated_normal_matrix(jacobian: np.ndarray, rho: np.ndarray) -> np.ndarray:
    """M = Jᵀ T J with Tᵢⱼ = ρ₍|i−j|₎ (ρ₀ = 1): the middle of the covariance sandwich."""
    if rho.size == 0:
        return jacobian.T @ jacobian
    kernel = np.concatenate([rho[::-1], [1.0], rho])
    n, size = jacobian.shape[0], kernel.size
    fft_size = 1 << (n + size - 2).bit_length()
    convolved = np.fft.irfft(
        np.fft.rfft(jacobian, fft_size, axis=0) * np.fft.rfft(kernel, fft_size)[:, None], fft_size, axis=0
    )
    mixed = convolved[rho.size : rho.size + n]
    middle = jacobian.T @ mixed
    return 0.5 * (middle + middle.T)


def corrected_covariance(scaled: np.ndarray, inverse: np.ndarray, rho: np.ndarray) -> np.ndarray:
    """A⁻¹ M A⁻¹ for unit-scaled Jacobian columns, A⁻¹ given (the caller multiplies by χ²).

    M is made positive semi-definite (a truncated autocorrelation need not
    give one), and no variance comes out below the uncorrected one: the
    correction widens uncertainties, it never narrows them.
    """
    middle = correlated_normal_matrix(scaled, rho)
    values, vectors = np.linalg.eigh(middle)
    middle = (vectors * np.maximum(values, 0.0)) @ vectors.T
    corrected = inverse @ middle @ inverse
    corrected = 0.5 * (corrected + corrected.T)
    shortfall = np.maximum(np.diag(inverse) - np.diag(corrected), 0.0)
    return corrected + np.diag(shortfall)
