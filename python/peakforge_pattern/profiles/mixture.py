"""Mixtures of phases given by weight fractions.

A phase's diffracted intensity per unit cell is |F|²·m·LP; the number of its
cells in the beam goes as its volume fraction over its cell volume. With
weight fractions w, cell masses ZM and cell volumes V that makes each phase's
scale w / (ZM · V), the relation quantitative phase analysis inverts
(w = S·ZMV / Σ S·ZMV; Hill and Howard, J. Appl. Cryst. 20 (1987) 467).
"""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gemmi
import numpy as np

from ..diffraction.compute import compute_pattern
from ..diffraction.formats import hkl_label
from ..diffraction.pattern import Pattern
from ..diffraction.request import PatternRequest
from ..diffraction.scales import describe
from ..errors import InputError
from ..pictures import mimebundle, png_of, with_picture
from ..structures.structure import Structure
from .instrument import Instrument
from .profile import pattern_profile
from .sample import Sample


def cell_mass(structure: Structure) -> float:
    """Mass of the atoms of one unit cell (Z × formula mass).

    Parameters
    ----------
    structure : Structure
        The phase.

    Returns
    -------
    float
        The mass in daltons, occupancies counted.
    """
    weights = np.array([gemmi.Element(int(z)).weight for z in structure.atomic_numbers])
    return float(weights @ structure.occupancies)


def cell_volume(structure: Structure) -> float:
    """Unit-cell volume.

    Parameters
    ----------
    structure : Structure
        The phase.

    Returns
    -------
    float
        The volume in Å³.
    """
    return float(abs(np.linalg.det(structure.lattice)))


_DALTON_GRAMS = 1.66053906660e-24
_ANGSTROM3_CM3 = 1e-24


def density(structure: Structure) -> float:
    """Crystal density from the cell mass and volume.

    Parameters
    ----------
    structure : Structure
        The phase.

    Returns
    -------
    float
        The density in g/cm³, occupancies counted.
    """
    return cell_mass(structure) * _DALTON_GRAMS / (cell_volume(structure) * _ANGSTROM3_CM3)


def check_weight_fractions(fractions: Sequence[float], count: int) -> np.ndarray:
    """Weight fractions as given, normalised to sum 1.

    Parameters
    ----------
    fractions : sequence of float
        One per phase, in any unit (percent, parts).
    count : int
        The number of phases.

    Returns
    -------
    numpy.ndarray
        The fractions over their sum.

    Raises
    ------
    InputError
        Not numbers, not ``count`` of them, not finite, negative, or all zero.
    """
    try:
        values = np.asarray(fractions, dtype=float).reshape(-1)
    except (TypeError, ValueError):
        raise InputError("weight fractions must be numbers") from None
    if values.size != count:
        raise InputError(f"{count} phases need {count} weight fractions, got {values.size}")
    if not np.all(np.isfinite(values)) or np.any(values < 0.0) or not values.sum() > 0.0:
        raise InputError("weight fractions must be finite, not negative, and not all zero")
    return values / values.sum()


@dataclass(frozen=True, eq=False)
class Mixture:
    """Phases on one intensity scale, as `compute_mixture` makes them.

    Attributes
    ----------
    patterns : list of Pattern
        One per phase; ``patterns[i].intensity`` is phase i's share of the
        mixture's intensity.
    weight_fractions : numpy.ndarray
        The phases' weight fractions, summing to 1.
    scale : str
        The intensity scale of all phases: "max", "full" or "absolute".
    """

    patterns: list[Pattern]
    weight_fractions: np.ndarray
    scale: str

    def profile(
        self,
        two_theta: Sequence[float] | np.ndarray,
        instrument: Instrument | None = None,
        sample: Sample | Sequence[Sample | None] | None = None,
        *,
        fwhm: float | None = None,
    ) -> np.ndarray:
        """The mixture's profile: the sum of its phases' (see `pattern_profile`).

        Parameters
        ----------
        two_theta : array_like
            Increasing 2θ points, degrees.
        instrument : Instrument, optional
            Lines, widths, shape and 2θ corrections, shared by all phases.
        sample : Sample or sequence of Sample, optional
            One for all phases, or one (or None) per phase.
        fwhm : float, optional
            Instead of an instrument: every peak this width (degrees).

        Returns
        -------
        numpy.ndarray
            Intensity per degree at each point.

        Raises
        ------
        InputError
            A number of samples other than the phases', or what
            `pattern_profile` refuses.
        """
        samples = list(sample) if isinstance(sample, Sequence) else [sample] * len(self.patterns)
        if len(samples) != len(self.patterns):
            raise InputError(f"{len(self.patterns)} phases need {len(self.patterns)} samples, got {len(samples)}")
        x = np.asarray(two_theta, dtype=float)
        return sum(
            (pattern_profile(p, x, instrument, s, fwhm=fwhm) for p, s in zip(self.patterns, samples)),
            start=np.zeros(x.shape),
        )

    @property
    def scale_description(self) -> str:
        """The intensity scale in words, for headers and plots."""
        if self.scale == "absolute":  # each phase's cells weighted by w / (ZM V), not one unit cell
            return (
                "intensity scale absolute: |F|^2 x multiplicity x LP per unit cell x weight fraction "
                "/ (cell mass x cell volume), per dalton A^3"
            )
        return describe(self.scale, self.patterns[0].two_theta_range)

    def _phases_text(self) -> str:
        return ", ".join(
            f"{p.structure_name or 'phase'} {100 * w:.4g} wt %" for p, w in zip(self.patterns, self.weight_fractions)
        )

    def __repr__(self) -> str:
        lo, hi = self.patterns[0].two_theta_range
        return f"Mixture({self._phases_text()}; wavelength {self.patterns[0].wavelength:g} A, 2theta {lo:g} to {hi:g})"

    # Notebook views: the phases and their strongest peaks, with the picture
    # (the plotting layer's) inside the HTML view, which a notebook prefers.
    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, Any]:
        return mimebundle(self, self._table_html())

    def _repr_html_(self) -> str:
        return with_picture(self._table_html(), png_of(self), repr(self))

    def _table_html(self) -> str:
        rows = []
        for pattern, fraction in zip(self.patterns, self.weight_fractions):
            strongest = pattern.strongest(3)
            peaks = ", ".join(
                f"{pattern.two_theta[i]:.2f}° {' '.join(hkl_label(h) for h in pattern.families[i])}" for i in strongest
            )
            rows.append(
                f"<tr><td>{html.escape(pattern.structure_name or 'phase')}</td><td>{100 * fraction:.4g}</td>"
                f"<td>{len(pattern)}</td><td>{html.escape(peaks)}</td></tr>"
            )
        return (
            f"<div><p>{html.escape(repr(self))}; {html.escape(self.scale_description)}</p>"
            "<table><tr><th>phase</th><th>weight %</th><th>peaks</th><th>strongest</th></tr>"
            f"{''.join(rows)}</table></div>"
        )

    def _repr_png_(self) -> bytes | None:
        return png_of(self)


def compute_mixture(
    structures: Sequence[Structure | str | Path],
    weight_fractions: Sequence[float],
    wavelength: float | str | None = None,
    two_theta_range: Sequence[float] | None = None,
    *,
    request: PatternRequest | None = None,
    **fields: Any,
) -> Mixture:
    """Patterns of several phases scaled by weight fraction / (cell mass × volume).

    Parameters
    ----------
    structures : sequence of Structure, str or os.PathLike
        The phases, or paths of their CIF files.
    weight_fractions : sequence of float
        One per phase, normalised to sum 1.
    wavelength, two_theta_range, request, **fields
        The calculation request, as compute_pattern takes it. Its ``scale``
        is the mixture's: "max" puts the strongest peak of the mixture in
        the range at 100, "full" the strongest from 0 to 180°, and
        "absolute" leaves |F|²·m·LP × w / (ZM·V) (per dalton·Å³).

    Returns
    -------
    Mixture
        The phases' patterns on one scale.

    Raises
    ------
    InputError
        No phase, weight fractions that do not fit, or what compute_pattern refuses.

    Examples
    --------
    >>> import numpy as np
    >>> from peakforge_pattern import example_path
    >>> from peakforge_pattern.profiles import compute_mixture
    >>> mixture = compute_mixture([example_path("silicon"), example_path("corundum")], [70, 30],
    ...                           "CuKa", (20, 80))
    >>> [round(float(w), 2) for w in mixture.weight_fractions]
    [0.7, 0.3]
    >>> profile = mixture.profile(np.linspace(20.0, 80.0, 3001), fwhm=0.08)
    >>> profile.shape
    (3001,)
    """
    request = PatternRequest.from_call(request, wavelength, two_theta_range, **fields)
    scale = request.scale
    phase_request = request.replace(scale="max")
    loaded = [s if isinstance(s, Structure) else Structure.from_cif(s) for s in structures]
    if not loaded:
        raise InputError("a mixture needs at least one phase")
    fractions = check_weight_fractions(weight_fractions, len(loaded))
    factors = [w / (cell_mass(s) * cell_volume(s)) for s, w in zip(loaded, fractions)]
    patterns = [compute_pattern(s, request=phase_request) for s in loaded]
    if scale == "max":
        strongest = max(float(np.max(p.absolute_intensity, initial=0.0)) * f for p, f in zip(patterns, factors))
    elif scale == "full":
        whole = phase_request.replace(two_theta_range=(0.0, 180.0), hkil=False)
        strongest = max(
            float(np.max(compute_pattern(s, request=whole).absolute_intensity, initial=0.0)) * f
            for s, f in zip(loaded, factors)
        )
    else:
        strongest = 100.0
    overall = 100.0 / strongest if strongest > 0.0 and math.isfinite(strongest) else 0.0
    return Mixture([p.rescaled(scale, f * overall) for p, f in zip(patterns, factors)], fractions, scale)
