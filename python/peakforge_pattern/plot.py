"""Drawing patterns: sticks, a pseudo-Voigt profile and labels of the strongest peaks."""

from __future__ import annotations

import math

import numpy as np

from .formats import hkl_label

# Profile tails are cut this many FWHM away from a peak; the Lorentzian
# part there is below 0.01 % of the peak height.
_TAIL_WIDTHS = 60.0


def pseudo_voigt(x: np.ndarray, centres, heights, fwhm: float, eta: float = 0.5) -> np.ndarray:
    """Sum of pseudo-Voigt peaks of equal FWHM, each peak's maximum at its height.

    The profile is eta·Lorentzian + (1 − eta)·Gaussian, both of the given FWHM.
    """
    x = np.asarray(x, dtype=float)
    profile = np.zeros_like(x)
    half = fwhm / 2.0
    sigma = fwhm / (2.0 * math.sqrt(2.0 * math.log(2.0)))
    for centre, height in zip(centres, heights):
        lo, hi = np.searchsorted(x, [centre - _TAIL_WIDTHS * fwhm, centre + _TAIL_WIDTHS * fwhm])
        dx = x[lo:hi] - centre
        lorentz = 1.0 / (1.0 + (dx / half) ** 2)
        gauss = np.exp(-0.5 * (dx / sigma) ** 2)
        profile[lo:hi] += height * (eta * lorentz + (1.0 - eta) * gauss)
    return profile


def draw(patterns, path, fwhm: float = 0.1, labels: int = 8) -> None:
    """Write a figure with one panel per pattern to ``path`` (format from its suffix).

    ``fwhm`` in degrees sets the width of the overlaid profile; 0 draws
    sticks only.  The ``labels`` strongest peaks of each panel are labelled.
    """
    from matplotlib.figure import Figure  # no pyplot: no global backend, no display needed

    fig = Figure(figsize=(8.0, 2.0 + 2.6 * len(patterns)), layout="constrained")
    axes = fig.subplots(len(patterns), 1, sharex=True, squeeze=False)[:, 0]
    lo = min(p.two_theta_range[0] for p in patterns)
    hi = max(p.two_theta_range[1] for p in patterns)
    for ax, pattern in zip(axes, patterns):
        top = 100.0
        if fwhm > 0.0:
            step = min(fwhm / 10.0, 0.01)
            x = np.arange(lo, hi + step / 2.0, step)
            profile = pseudo_voigt(x, pattern.two_theta, pattern.intensity, fwhm)
            top = max(top, float(profile.max(initial=0.0)))
            ax.plot(x, profile, color="tab:blue", linewidth=0.9, zorder=2, label=f"pseudo-Voigt, FWHM {fwhm:g}°")
        ax.vlines(pattern.two_theta, 0.0, pattern.intensity, color="tab:red", linewidth=0.8, zorder=1)
        for i in pattern.strongest(labels):
            ax.annotate(hkl_label(pattern.families[i][0]), (pattern.two_theta[i], pattern.intensity[i]),
                        xytext=(0, 3), textcoords="offset points", ha="center", va="bottom",
                        fontsize=8, rotation=90 if len(pattern) > 12 else 0)
        ax.set_xlim(lo, hi)
        ax.set_ylim(0.0, 1.25 * top)
        ax.set_ylabel("relative intensity")
        ax.set_title(f"{pattern.structure_name or 'structure'}, wavelength {pattern.wavelength:g} Å",
                     fontsize=10, loc="left")
        if fwhm > 0.0:
            ax.legend(loc="upper right", fontsize=8, frameon=False)
    axes[-1].set_xlabel("2θ (degrees)")
    fig.savefig(path, dpi=120)
