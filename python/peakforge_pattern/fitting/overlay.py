"""Simulated patterns laid over a measured scan, each scaled to it by least
squares and nothing else refined: the first look at which phases a scan
holds, before any fit.

With profiles p_i (each phase's simulated profile on the scan's 2θ) the
scales s minimise Σ (y - Σ s_i p_i)² with s_i ≥ 0 (a phase that would need a
negative scale gets 0 and the rest are solved again), so that one phase's
scale is Σ y p / Σ p².
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from ..diffraction.compute import compute_pattern
from ..diffraction.pattern import Pattern
from ..errors import InputError
from ..measurements import MeasuredPattern, read_scan
from ..profiles.instrument import Instrument
from ..profiles.profile import pattern_profile
from ..structures.structure import Structure

if TYPE_CHECKING:
    from ..profiles.sample import Sample


def least_squares_scales(profiles: np.ndarray, measured: np.ndarray) -> np.ndarray:
    """Non-negative scales s minimising |measured - s @ profiles|² (profiles: phases × points)."""
    profiles = np.asarray(profiles, dtype=float)
    active = [i for i in range(len(profiles)) if np.any(profiles[i] != 0.0)]
    scales = np.zeros(len(profiles))
    while active:
        solution, *_ = np.linalg.lstsq(profiles[active].T, measured, rcond=None)
        if np.all(solution >= 0.0):
            scales[active] = solution
            break
        # The most negative phase explains none of the scan: drop it and solve again.
        active.pop(int(np.argmin(solution)))
    return scales


@dataclass(frozen=True, eq=False)
class Overlay:
    """A measured scan and each phase's simulated profile on its 2θ.

    ``profiles[i]`` is phase i's profile as computed (its pattern's scale),
    ``scales[i]`` the least-squares factor that lays it on the scan, so
    ``scaled_profiles`` are what is drawn and ``calculated`` their sum.
    """

    measured: MeasuredPattern
    patterns: tuple[Pattern, ...]
    profiles: np.ndarray
    scales: np.ndarray
    instrument: Instrument

    @property
    def scaled_profiles(self) -> np.ndarray:
        return self.profiles * self.scales[:, None]

    @property
    def calculated(self) -> np.ndarray:
        return self.scaled_profiles.sum(axis=0)

    def __repr__(self) -> str:
        phases = ", ".join(f"{p.structure_name or 'unnamed'} x {s:.4g}" for p, s in zip(self.patterns, self.scales))
        return f"Overlay({self.measured.name or 'scan'}: {len(self.measured)} points; {phases})"


def overlay_phases(
    measured: MeasuredPattern | str | Path,
    phases: Sequence[Structure | str | Path | Pattern],
    wavelength: float | str | None = None,
    *,
    instrument: Instrument | None = None,
    sample: Sample | None = None,
    fwhm: float | None = None,
    **options: Any,
) -> Overlay:
    """Each phase's simulated profile on a measured scan's 2θ, scaled to it by least squares.

    Parameters
    ----------
    measured
        A MeasuredPattern or the path of a scan file in any format read_scan reads.
    phases
        Structures, CIF paths or already computed Patterns.
    wavelength
        Å or a line name; by default the scan's own (an .xrdml file names
        its Kα lines), else CuKa.
    instrument, sample, fwhm
        The profile's instrument and sample (see Pattern.profile); ``fwhm``
        alone gives every peak that width (default 0.1°).
    options
        Passed to compute_pattern (radiation, as_given, ...).

    Returns
    -------
    Overlay

    Raises
    ------
    InputError
        For an unreadable scan or structure, or phases without peaks in the scan's range.

    Examples
    --------
    >>> overlay = overlay_phases("examples/measured/qarr_corundum.prn",
    ...                          ["examples/measured/corundum_Al2O3_bilbao.cif"])  # doctest: +SKIP
    >>> from peakforge_pattern.plotting import plot_overlay
    >>> plot_overlay(overlay, "overlay.png")  # doctest: +SKIP
    """
    scan = measured if isinstance(measured, MeasuredPattern) else read_scan(measured)
    if not phases:
        raise InputError("an overlay needs at least one phase")
    if instrument is not None and fwhm is not None:
        raise InputError("give either an instrument or a fwhm, not both")
    if instrument is None:
        instrument = Instrument.with_fwhm(0.1 if fwhm is None else fwhm)
    if wavelength is None and scan.wavelength is not None:
        # The scan's own Kα1 and Kα2 (an .xrdml file names them): reflections at Kα1, the doublet in the profile.
        alpha1, alpha2, ratio = scan.wavelength
        wavelength = alpha1
        if instrument.wavelength is None:
            instrument = instrument.replace(wavelength=(alpha1, alpha2), ka2_ratio=ratio)
    lo, hi = float(scan.two_theta[0]), float(scan.two_theta[-1])
    patterns = tuple(
        p
        if isinstance(p, Pattern)
        else compute_pattern(p, "CuKa" if wavelength is None else wavelength, (lo, hi), **options)
        for p in phases
    )
    profiles = np.array([pattern_profile(p, scan.two_theta, instrument, sample) for p in patterns])
    if not np.any(profiles):
        raise InputError(f"no phase has a peak between 2theta {lo:g} and {hi:g}: nothing to lay on the scan")
    return Overlay(scan, patterns, profiles, least_squares_scales(profiles, scan.intensity), instrument)
