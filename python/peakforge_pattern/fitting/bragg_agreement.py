"""Each phase's Bragg R factor: how well its calculated reflection
intensities match the intensities the scan shows for them.

R_Bragg = Σ_k |I_obs,k − I_calc,k| / Σ_k I_obs,k over the phase's
reflections k. The observed intensity of a reflection is not measured on
its own where peaks overlap, so it is apportioned as Rietveld did: at each
point the net observed intensity (measured − background) is shared among
the phases in proportion to their calculated profiles. A reflection's
intensities are the sums of these shares, and of the phase's calculated
profile, over the points nearer to it than to the phase's other
reflections (its Kα2 companion and tails included, in the same cells for
both). Apportioned this way R_Bragg leans towards the model: it tells a
phase whose intensities are wrong (a structure, preferred orientation),
not a missing phase.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np


def bragg_r_factors(
    two_theta: np.ndarray,
    observed: np.ndarray,
    background: np.ndarray,
    profiles: Sequence[np.ndarray],
    reflections: Sequence[np.ndarray],
) -> list[float]:
    """R_Bragg of each phase (a fraction; NaN for a phase without reflections
    or intensity in the scan).

    Parameters
    ----------
    two_theta, observed, background : numpy.ndarray
        The scan's points, its intensities and the fitted background.
    profiles : sequence of numpy.ndarray
        Each phase's calculated profile at the points.
    reflections : sequence of numpy.ndarray
        Each phase's reflection positions (2θ, degrees).

    Returns
    -------
    list of float
    """
    x = np.asarray(two_theta, dtype=float)
    net = np.asarray(observed, dtype=float) - np.asarray(background, dtype=float)
    stacked = np.asarray(profiles, dtype=float).reshape(len(profiles), x.size)
    total = stacked.sum(axis=0)
    share = np.divide(stacked, total, out=np.zeros_like(stacked), where=total > 0.0)
    found = []
    for k, positions in enumerate(reflections):
        peaks = np.unique(np.asarray(positions, dtype=float))
        if peaks.size == 0 or not np.any(stacked[k] > 0.0):
            found.append(float("nan"))
            continue
        # Each point to its nearest reflection: cells bounded half-way between neighbours.
        cells = np.searchsorted((peaks[1:] + peaks[:-1]) / 2.0, x)
        observed_k = np.bincount(cells, weights=share[k] * net, minlength=peaks.size)
        calculated_k = np.bincount(cells, weights=stacked[k], minlength=peaks.size)
        denominator = float(np.abs(observed_k).sum())
        found.append(
            float(np.abs(observed_k - calculated_k).sum() / denominator) if denominator > 0.0 else float("nan")
        )
    return found
