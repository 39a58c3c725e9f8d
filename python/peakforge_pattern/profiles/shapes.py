"""Peak shapes integrated over detector bins: pseudo-Voigt and the
Thompson–Cox–Hastings mixing of Gaussian and Lorentzian widths.

Every peak is cut WINDOW_WIDTHS full widths either side of its centre. The
cut profile has its edge value subtracted (so it falls continuously to zero)
and is renormalised analytically, so each peak's area is exactly its
intensity whatever its width; and each bin receives the integral of the
profile over the bin, so a peak far narrower than the bins keeps its area
(it lands in one bin) and a peak far wider than the range is flat.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..diffraction.engine_route import native_engine
from ..errors import InputError

WINDOW_WIDTHS = 30.0
"""Half-width of the window a peak is evaluated in, in FWHM.

The Lorentzian at 30 FWHM is 3e-4 of its height; the part cut off is
spread back over the window by the renormalisation.
"""

MAX_PROFILE_EVALUATIONS = 50_000_000
"""Most bin edges evaluated for one profile, summed over peaks (a few seconds).

Beyond it a request is refused instead of running for minutes: it happens
only when peaks are wide compared with the range and the grid is fine.
"""


def thompson_cox_hastings(gauss_fwhm: np.ndarray, lorentz_fwhm: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """FWHM and mixing η of the pseudo-Voigt that stands for a Voigt of the two widths.

    Thompson, Cox and Hastings, J. Appl. Cryst. 20 (1987) 79.

    Parameters
    ----------
    gauss_fwhm, lorentz_fwhm : numpy.ndarray
        The Gaussian and Lorentzian FWHM.

    Returns
    -------
    tuple of numpy.ndarray
        The FWHM (same unit) and η in [0, 1].
    """
    g, l = np.asarray(gauss_fwhm, dtype=float), np.asarray(lorentz_fwhm, dtype=float)
    fwhm = (
        g**5 + 2.69269 * g**4 * l + 2.42843 * g**3 * l**2 + 4.47163 * g**2 * l**3 + 0.07842 * g * l**4 + l**5
    ) ** 0.2
    with np.errstate(invalid="ignore", divide="ignore"):
        q = np.where(fwhm > 0.0, l / fwhm, 0.0)
    eta = np.clip(1.36603 * q - 0.47719 * q**2 + 0.11116 * q**3, 0.0, 1.0)
    return fwhm, eta


def bin_edges(centres: np.ndarray) -> np.ndarray:
    """Edges of the bins around increasing sample points: midpoints, the ends mirrored.

    Parameters
    ----------
    centres : numpy.ndarray
        At least two finite, increasing points.

    Returns
    -------
    numpy.ndarray
        One edge more than points.

    Raises
    ------
    InputError
        Fewer than two points, or points not finite or not increasing.
    """
    x = np.asarray(centres, dtype=float)
    if x.ndim != 1 or x.size < 2:
        raise InputError("a profile needs at least two 2theta points")
    if not np.all(np.isfinite(x)):
        raise InputError("2theta points must be finite")
    steps = np.diff(x)
    if not np.all(steps > 0.0):
        raise InputError("2theta points must increase")
    middle = x[:-1] + 0.5 * steps
    return np.concatenate(([x[0] - 0.5 * steps[0]], middle, [x[-1] + 0.5 * steps[-1]]))


@dataclass(frozen=True)
class PeakWindows:
    """Peaks ready for the native kernel: those with an area and a window inside the edges.

    Attributes
    ----------
    kept : numpy.ndarray
        Indexes of these peaks in the caller's order.
    centres, fwhm, eta, areas, asymmetry : numpy.ndarray
        The kept peaks' values.
    first, last : numpy.ndarray
        First and last edge of each peak's window (int32).
    """

    kept: np.ndarray
    centres: np.ndarray
    fwhm: np.ndarray
    eta: np.ndarray
    areas: np.ndarray
    asymmetry: np.ndarray
    first: np.ndarray
    last: np.ndarray


def peak_windows(
    edges: np.ndarray,
    centres: np.ndarray,
    fwhm: np.ndarray,
    eta: np.ndarray,
    areas: np.ndarray,
    asymmetry: np.ndarray | None = None,
) -> PeakWindows:
    """Each peak's window of edges, WINDOW_WIDTHS FWHM either side of its centre.

    Parameters
    ----------
    edges : ndarray (n + 1,)
        Increasing bin edges.
    centres, fwhm, eta, areas : array_like (peaks,)
        Peak positions and FWHM (units of the edges), mixing η in [0, 1] and areas.
    asymmetry : array_like (peaks,), optional
        Stretch a in (−1, 1) of the half below the centre (the half above gets −a).

    Returns
    -------
    PeakWindows
        The peaks with an area and a window inside the edges, with their first
        and last edge (a zero width taken as 1e-12).

    Raises
    ------
    InputError
        For non-finite values, η or asymmetry out of range, or a profile of
        more than MAX_PROFILE_EVALUATIONS edge evaluations.
    """
    centres, fwhm, eta, areas = (np.asarray(a, dtype=float) for a in (centres, fwhm, eta, areas))
    asymmetry = np.zeros(centres.shape) if asymmetry is None else np.asarray(asymmetry, dtype=float)
    if not np.all(np.isfinite(fwhm)):
        raise InputError("peak widths must be finite")
    if not (np.all(np.isfinite(centres)) and np.all(np.isfinite(areas))):
        raise InputError("peak positions and areas must be finite")
    if not (np.all((eta >= 0.0) & (eta <= 1.0)) and np.all(np.abs(asymmetry) < 1.0)):
        raise InputError("peak mixing must lie in [0, 1] and asymmetry in (-1, 1)")
    # A zero width is a line: keep it a very narrow peak so the bin arithmetic holds.
    fwhm = np.maximum(fwhm, 1e-12)
    n_bins = edges.size - 1
    reach = WINDOW_WIDTHS * fwhm
    first = np.clip(np.searchsorted(edges, centres - reach * (1.0 + asymmetry), side="right") - 1, 0, n_bins)
    last = np.clip(np.searchsorted(edges, centres + reach * (1.0 - asymmetry), side="left"), 0, n_bins)
    kept = np.flatnonzero((last > first) & (areas != 0.0))
    total = float((last[kept] - first[kept] + 1).sum())
    if total > MAX_PROFILE_EVALUATIONS:
        raise InputError(
            f"the profile needs {total:.3g} evaluations, more than {MAX_PROFILE_EVALUATIONS:.0e}: "
            f"peaks up to {fwhm[kept].max():.3g} degrees wide over {n_bins} points; "
            "use narrower peaks, a coarser step or a smaller 2theta range"
        )
    return PeakWindows(
        kept,
        centres[kept],
        fwhm[kept],
        eta[kept],
        areas[kept],
        asymmetry[kept],
        first[kept].astype(np.int32),
        last[kept].astype(np.int32),
    )


def binned_peaks(
    edges: np.ndarray,
    centres: np.ndarray,
    fwhm: np.ndarray,
    eta: np.ndarray,
    areas: np.ndarray,
    asymmetry: np.ndarray | None = None,
) -> np.ndarray:
    """Mean value over each bin of a sum of cut pseudo-Voigt peaks.

    With an asymmetry a the half below the centre is stretched by 1 + a and
    the half above by 1 − a (a split pseudo-Voigt of the same height at the
    centre and the same area).

    Parameters
    ----------
    edges : numpy.ndarray
        n + 1 increasing edges delimiting n bins.
    centres, fwhm, eta, areas : numpy.ndarray
        Per peak its centre and FWHM (units of the edges), mixing η in
        [0, 1] and area.
    asymmetry : numpy.ndarray, optional
        Per peak a in (−1, 1).

    Returns
    -------
    numpy.ndarray
        n values in area per unit of the edges' axis.

    Raises
    ------
    InputError
        As `peak_windows` refuses.
    """
    return binned_peaks_with_jacobian(edges, centres, fwhm, eta, areas, asymmetry)[0]


def binned_peaks_with_jacobian(
    edges: np.ndarray,
    centres: np.ndarray,
    fwhm: np.ndarray,
    eta: np.ndarray,
    areas: np.ndarray,
    asymmetry: np.ndarray | None = None,
    chain: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray | None]:
    """The binned profile (see ``binned_peaks``) and its Jacobian.

    Parameters
    ----------
    edges, centres, fwhm, eta, areas, asymmetry
        As for ``binned_peaks``.
    chain : ndarray (peaks, 5, k), optional
        Per peak the derivatives of its centre, FWHM, η, area and asymmetry
        with respect to k parameters.

    Returns
    -------
    profile : ndarray (n,)
    jacobian : ndarray (n, k) or None
        ∂profile/∂parameter for each bin, None without a chain.

    Raises
    ------
    InputError
        For non-finite widths or a profile beyond MAX_PROFILE_EVALUATIONS.
    """
    edges = np.ascontiguousarray(edges, dtype=float)
    windows = peak_windows(edges, centres, fwhm, eta, areas, asymmetry)
    if chain is not None:
        chain = np.ascontiguousarray(np.asarray(chain, dtype=float)[windows.kept])
    return native_engine().binned_profile(
        edges,
        windows.centres,
        windows.fwhm,
        windows.eta,
        windows.areas,
        windows.asymmetry,
        windows.first,
        windows.last,
        chain,
    )
