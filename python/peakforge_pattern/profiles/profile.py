"""A phase's powder profile: its peaks spread by the instrument and the sample
over a 2θ grid.

A pattern's peaks carry |F|²·multiplicity·LP at the pattern's wavelength,
and the engine's LP factor beside them. |F|² does not depend on the
wavelength, so each emission line gets the same reflections at its own
angle, with the engine's Lorentz-polarisation factor at that angle (for the
instrument's monochromator, by default the pattern's) and its share of the
intensity.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ..diffraction.engine_route import lorentz_polarisation
from ..diffraction.pattern import Pattern
from ..diffraction.peak_families import PeakFamilies
from ..errors import InputError
from ..structures.symmetry import parse_operation
from .instrument import Instrument
from .sample import Sample
from .shapes import bin_edges, binned_peaks


def structure_factor_weights(pattern: Pattern) -> np.ndarray:
    """|F|²·multiplicity of each peak, on the pattern's intensity scale.

    Each peak's intensity over the Lorentz-polarisation factor the engine
    gave it (asked of the engine for a pattern that does not carry it).

    Parameters
    ----------
    pattern : Pattern
        The peaks.

    Returns
    -------
    numpy.ndarray
        One weight per peak.
    """
    factors = pattern.lorentz_polarisation
    if factors is None:
        factors = lorentz_polarisation(pattern.two_theta, pattern.radiation, pattern.monochromator_angle)
    return pattern.intensity / factors


def _rotations(triplets: Sequence[str]) -> np.ndarray | None:
    """The rotation parts (direct space, rows) of a structure's symmetry operations, None for none."""
    if len(triplets) <= 1:
        return None
    rotations = {tuple(np.asarray(parse_operation(t).rot, dtype=int).reshape(-1) // 24) for t in triplets}
    return np.array(sorted(rotations), dtype=float).reshape(-1, 3, 3)


def _equivalents(hkl: tuple[int, ...], rotations: np.ndarray | None, reciprocal: np.ndarray) -> np.ndarray:
    """The reflections equivalent to ``hkl`` (with their Friedel mates, which share the normal's line).

    With the crystal's rotations R, h' = h R; without them, every index
    triple of the same spacing (the lattice's own symmetry, as the pattern
    engine finds it for a structure given without operations).
    """
    h = np.asarray(hkl, dtype=float)
    if rotations is not None:
        orbit = np.einsum("j,rjk->rk", h, rotations)
    else:
        length = float(np.linalg.norm(h @ reciprocal))
        direct = np.linalg.inv(reciprocal).T
        reach = np.ceil(length * np.linalg.norm(direct, axis=1) + 1e-9).astype(int)
        grid = np.stack(np.meshgrid(*(np.arange(-n, n + 1) for n in reach), indexing="ij"), -1).reshape(-1, 3)
        lengths = np.linalg.norm(grid @ reciprocal, axis=1)
        orbit = grid[np.abs(lengths - length) <= 1e-6 * length].astype(float)
    return np.unique(np.concatenate([orbit, -orbit]), axis=0)


@dataclass(frozen=True, eq=False)
class PhasePeaks:
    """A phase's peaks, independent of wavelength and instrument.

    Attributes
    ----------
    d : numpy.ndarray
        Each peak's spacing, Å.
    weight : numpy.ndarray
        |F|²·multiplicity per peak (on the pattern's scale).
    hkl : numpy.ndarray
        One reflection of each peak, from which its d follows for a changed
        cell.
    families : PeakFamilies
        Every peak's Miller-index families (kept as arrays).
    wavelength : float
        The wavelength the pattern was computed for, Å.
    reciprocal : numpy.ndarray or None
        The reciprocal basis (rows) when the structure is known.
    name : str
        The structure's name.
    rotations : numpy.ndarray or None
        The rotations of the structure's symmetry operations (direct space,
        in the same setting) when it lists them.
    radiation : str
        "xray" or "neutron": whether the beam is polarised.
    monochromator_angle : float
        The monochromator 2θ the pattern was computed with, degrees.
    """

    d: np.ndarray
    weight: np.ndarray
    hkl: np.ndarray
    families: PeakFamilies
    wavelength: float
    reciprocal: np.ndarray | None
    name: str = ""
    rotations: np.ndarray | None = None
    radiation: str = "xray"
    monochromator_angle: float = 0.0

    @classmethod
    def from_pattern(cls, pattern: Pattern) -> PhasePeaks:
        """The peaks of a computed pattern.

        Parameters
        ----------
        pattern : Pattern
            The pattern, with its structure when it has one.

        Returns
        -------
        PhasePeaks
        """
        structure = getattr(pattern, "structure", None)
        hkl = pattern.peak_families.first().astype(float)
        return cls(
            np.asarray(pattern.d, dtype=float),
            structure_factor_weights(pattern),
            hkl,
            pattern.peak_families,
            float(pattern.wavelength),
            None if structure is None else structure.reciprocal,
            pattern.structure_name,
            None if structure is None else _rotations(structure.symmetry_operations),
            pattern.radiation,
            pattern.monochromator_angle,
        )

    def __len__(self) -> int:
        return int(self.d.size)

    def d_for(self, reciprocal: np.ndarray | None) -> np.ndarray:
        """Spacings for a changed reciprocal basis.

        Parameters
        ----------
        reciprocal : numpy.ndarray or None
            The reciprocal basis as rows (None: the pattern's own).

        Returns
        -------
        numpy.ndarray
            Each peak's d, Å.
        """
        if reciprocal is None or self.hkl.size == 0:
            return self.d
        return 1.0 / np.linalg.norm(self.hkl @ reciprocal, axis=1)

    @functools.cached_property
    def _orientation_members(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every reflection under every peak: plane normals (Cartesian), peak index and weight.

        A peak lists its families and how many reflections of each it holds;
        each family stands for its symmetry equivalents, weighted by that count.
        """
        if self.reciprocal is None:
            raise InputError(
                "preferred orientation needs the structure: compute the pattern from a structure or CIF file"
            )
        normals, owners, weights = [], [], []
        for i, (fams, counts) in enumerate(zip(self.families.families, self.families.multiplicities)):
            for hkl, count in zip(fams, counts):
                orbit = _equivalents(hkl, self.rotations, self.reciprocal)
                normals.append(orbit @ self.reciprocal)
                owners.append(np.full(len(orbit), i))
                weights.append(np.full(len(orbit), count / len(orbit)))
        if not normals:
            return np.zeros((0, 3)), np.zeros(0, dtype=int), np.zeros(0)
        return np.concatenate(normals), np.concatenate(owners), np.concatenate(weights)

    def orientation_factors(self, sample: Sample) -> np.ndarray:
        """Mean March–Dollase factor of each peak's reflections.

        Parameters
        ----------
        sample : Sample
            Its preferred orientation and March parameter.

        Returns
        -------
        numpy.ndarray
            One factor per peak (ones without preferred orientation).

        Raises
        ------
        InputError
            Preferred orientation for a pattern without its structure.
        """
        if not sample.has_orientation:
            return np.ones(len(self))
        normals, owners, weights = self._orientation_members
        preferred = np.asarray(sample.preferred_orientation, dtype=float) @ self.reciprocal
        cos_alpha = normals @ preferred / (np.linalg.norm(normals, axis=1) * np.linalg.norm(preferred))
        factors = np.bincount(owners, weights=weights * sample.march_dollase(cos_alpha), minlength=len(self))
        total = np.bincount(owners, weights=weights, minlength=len(self))
        return np.where(total > 0.0, factors / np.where(total > 0.0, total, 1.0), 1.0)


@dataclass(frozen=True)
class LineSet:
    """Every peak of every emission line, as `line_set` places them.

    Attributes
    ----------
    two_theta : numpy.ndarray
        Observed 2θ, degrees.
    fwhm : numpy.ndarray
        FWHM, degrees.
    eta : numpy.ndarray
        Pseudo-Voigt mixing η.
    area : numpy.ndarray
        Area, intensity × degrees.
    asymmetry : numpy.ndarray
        Stretch of the low-angle half.
    """

    two_theta: np.ndarray
    fwhm: np.ndarray
    eta: np.ndarray
    area: np.ndarray
    asymmetry: np.ndarray


def line_set(
    peaks: PhasePeaks, instrument: Instrument, sample: Sample | None = None, reciprocal: np.ndarray | None = None
) -> LineSet:
    """Place every peak of every emission line, for a cell given by ``reciprocal``.

    Parameters
    ----------
    peaks : PhasePeaks
        The phase's peaks.
    instrument : Instrument
        Lines, widths, shape and 2θ corrections.
    sample : Sample, optional
        Size, strain, preferred orientation and overall B (default none).
    reciprocal : numpy.ndarray, optional
        A changed reciprocal basis (rows); default the pattern's own.

    Returns
    -------
    LineSet
        The lines reached by each wavelength (sin θ < 1), each with its
        share of the intensity and Lorentz-polarisation factor.
    """
    sample = sample if sample is not None else Sample()
    d = peaks.d_for(reciprocal)
    weight = peaks.weight * sample.debye_waller(d) * peaks.orientation_factors(sample)
    monochromator = instrument.monochromator_angle
    if monochromator is None:
        monochromator = peaks.monochromator_angle
    parts = []
    for wavelength, share in instrument.lines(peaks.wavelength):
        sin_theta = wavelength / (2.0 * d)
        seen = np.flatnonzero(sin_theta < 1.0)
        true_two_theta = 2.0 * np.degrees(np.arcsin(sin_theta[seen]))
        fwhm, eta = instrument.widths(true_two_theta, wavelength, sample)
        area = weight[seen] * share * lorentz_polarisation(true_two_theta, peaks.radiation, monochromator)
        observed = instrument.shift(true_two_theta)
        parts.append((observed, fwhm, eta, area, instrument.asymmetries(observed)))
    return LineSet(*(np.concatenate(column) for column in zip(*parts)))


def render(lines: LineSet, two_theta: np.ndarray) -> np.ndarray:
    """The lines' profile averaged over the bins around each 2θ point.

    Parameters
    ----------
    lines : LineSet
        The lines.
    two_theta : numpy.ndarray
        Increasing 2θ points, degrees.

    Returns
    -------
    numpy.ndarray
        Intensity per degree at each point.
    """
    return render_in_bins(lines, bin_edges(two_theta))


def render_in_bins(lines: LineSet, edges: np.ndarray) -> np.ndarray:
    """The lines' profile averaged over each bin between consecutive edges.

    Parameters
    ----------
    lines : LineSet
        The lines.
    edges : numpy.ndarray
        Increasing bin edges, degrees.

    Returns
    -------
    numpy.ndarray
        Intensity per degree in each bin.
    """
    return binned_peaks(edges, lines.two_theta, lines.fwhm, lines.eta, lines.area, lines.asymmetry)


def phase_profile(
    peaks: PhasePeaks,
    two_theta: np.ndarray,
    instrument: Instrument,
    sample: Sample | None = None,
    reciprocal: np.ndarray | None = None,
) -> np.ndarray:
    """Intensity per degree at each 2θ; each peak's area is its intensity.

    Parameters
    ----------
    peaks : PhasePeaks
        The phase's peaks.
    two_theta : numpy.ndarray
        Increasing 2θ points, degrees.
    instrument : Instrument
        Lines, widths, shape and 2θ corrections.
    sample : Sample, optional
        Size, strain, preferred orientation and overall B.
    reciprocal : numpy.ndarray, optional
        A changed reciprocal basis (rows).

    Returns
    -------
    numpy.ndarray
        Intensity per degree at each point.
    """
    return render(line_set(peaks, instrument, sample, reciprocal), two_theta)


def pattern_profile(
    pattern: Pattern,
    two_theta: Sequence[float] | np.ndarray,
    instrument: Instrument | None = None,
    sample: Sample | None = None,
    *,
    fwhm: float | None = None,
) -> np.ndarray:
    """The powder profile of a pattern at each 2θ, in intensity per degree.

    Each peak's area is its intensity (summed over emission lines: a
    pattern of a Kα line gets the Kα1/Kα2 doublet).  Values are means over
    the bins around each point, so peaks of any width keep their area.

    Parameters
    ----------
    pattern : Pattern
        The peaks.
    two_theta : array_like
        Increasing 2θ points, degrees.
    instrument : Instrument, optional
        Lines, widths, shape and 2θ corrections.
    sample : Sample, optional
        Size, strain, preferred orientation and an overall B.
    fwhm : float, optional
        Instead of an instrument: every peak this width (degrees); 0.1 when
        neither is given.

    Returns
    -------
    numpy.ndarray
        Intensity per degree at each point.

    Raises
    ------
    InputError
        Both an instrument and a fwhm, or a width or grid that cannot be drawn.

    Examples
    --------
    >>> import numpy as np
    >>> from peakforge_pattern import compute_pattern, example_path
    >>> from peakforge_pattern.profiles import pattern_profile
    >>> x = np.linspace(20.0, 80.0, 6001)
    >>> y = pattern_profile(compute_pattern(example_path("silicon")), x, fwhm=0.05)
    >>> bool(y.max() > 0.0)
    True
    """
    if instrument is None:
        instrument = Instrument.with_fwhm(0.1 if fwhm is None else fwhm)
    elif fwhm is not None:
        raise InputError("give either an instrument or a fwhm, not both")
    return phase_profile(PhasePeaks.from_pattern(pattern), np.asarray(two_theta, dtype=float), instrument, sample)


def uniform_grid(two_theta_range: tuple[float, float], step: float, max_points: int) -> np.ndarray:
    """2θ points from the range's start to its end, ``step`` apart.

    Parameters
    ----------
    two_theta_range : pair of float
        First and last 2θ, degrees.
    step : float
        Spacing, degrees.
    max_points : int
        The most points allowed.

    Returns
    -------
    numpy.ndarray
        The points; the last one at most the range's end.

    Raises
    ------
    InputError
        A step that is not positive, more than ``max_points`` points, or
        fewer than two.
    """
    lo, hi = two_theta_range
    if not (np.isfinite(step) and step > 0.0):
        raise InputError(f"the 2theta step must be a positive number, not {step:g}")
    count = int(np.floor((hi - lo) / step + 1e-9)) + 1
    if (hi - lo) / step + 1 > max_points:
        raise InputError(
            f"a step of {step:g} degrees over {lo:g} to {hi:g} gives "
            f"{(hi - lo) / step + 1:.3g} points, more than {max_points:.0e}"
        )
    if count < 2:
        raise InputError(f"a step of {step:g} degrees leaves fewer than two points in {lo:g} to {hi:g}")
    return lo + step * np.arange(count)
