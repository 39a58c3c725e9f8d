"""From a structure to its powder pattern: by the pattern engine (one native
call that uses the crystal's symmetry), or by the exhaustive route through
the module's five calls."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import peakforge

from ..errors import InputError
from ..structures.structure import Structure, refuse_if_strict
from . import formats
from .engine_route import engine_columns
from .radiation import check_radiation
from .scales import apply_scale, describe as describe_scale
from .scattering import electron_coefficients
from .wavelengths import resolve_wavelength
from .work import DEFAULT_MAX_WORK, check_work, estimate_work, shell_radii

if TYPE_CHECKING:
    from ..profiles.instrument import Instrument
    from ..profiles.sample import Sample

TWO_THETA_TOLERANCE = 1e-5
"""Reflections whose 2θ (degrees) lie closer than this form one peak."""

SCALED_INTENSITY_TOLERANCE = 1e-3
"""Peaks below this on the 0–100 scale are dropped."""

MAX_LATTICE_POINTS = 5_000_000
"""Largest index box walked for one pattern at the default work limit;
beyond it the request is refused.

The box grows with the cube of (cell edge / wavelength); a tiny wavelength or
a huge cell would otherwise take minutes and gigabytes, and past 2³¹ per axis
the index bounds no longer fit the walk's integers.
"""

CHUNK_TERMS = 25_000_000
"""On the exact route, intensities are computed in pieces of about this many
reflection-atom terms (under a tenth of a second by default, a second or two
with the scalar sum), so that a long calculation reports progress and can be
interrupted between them. The engine checks for Ctrl-C and reports progress
between its own pieces."""


@dataclass(frozen=True, eq=False)
class Pattern:
    """A powder pattern: one entry per peak, in increasing 2θ.

    ``intensity`` is on the pattern's ``scale`` (by default relative, the
    strongest peak 100); ``absolute_intensity`` is the summed |F|²·LP of the
    reflections in the peak.  ``families[i]`` lists the Miller-index
    families under peak i, largest multiplicity first, and
    ``multiplicities[i]`` how many reflections of each the peak holds.
    ``structure`` is the structure it was computed from, when known.
    ``warnings`` carries the structure's warnings and the pattern's own.
    Families are sets of reflections equivalent by the crystal's symmetry
    (on the exact route: by permutations and sign changes), as (h, k, l) or,
    with four-index labels, (h, k, i, l); ``radiation`` is "xray" or
    "neutron", ``monochromator_angle`` the 2θ (degrees) of the monochromator
    whose polarisation the intensities carry (0: none).
    """

    two_theta: np.ndarray
    d: np.ndarray
    intensity: np.ndarray
    absolute_intensity: np.ndarray
    families: list[list[tuple[int, ...]]]
    multiplicities: list[list[int]]
    wavelength: float
    two_theta_range: tuple[float, float]
    structure_name: str = ""
    warnings: tuple[str, ...] = ()
    scale: str = "max"
    structure: Structure | None = field(default=None, repr=False)
    radiation: str = "xray"
    monochromator_angle: float = 0.0

    def __len__(self) -> int:
        return int(self.two_theta.size)

    def to_numpy(self) -> np.ndarray:
        """Columns 2θ (°), d (Å), relative and absolute intensity."""
        return np.column_stack([self.two_theta, self.d, self.intensity, self.absolute_intensity])

    def __array__(self, dtype=None, copy=None):
        array = self.to_numpy()
        return array if dtype is None else array.astype(dtype)

    def records(self) -> list[dict]:
        """One dictionary per peak, as written to JSON."""
        return [
            {
                "two_theta": float(self.two_theta[i]),
                "d": float(self.d[i]),
                "intensity": float(self.intensity[i]),
                "absolute_intensity": float(self.absolute_intensity[i]),
                "families": [{"hkl": list(hkl), "multiplicity": m}
                             for hkl, m in zip(self.families[i], self.multiplicities[i])],
            }
            for i in range(len(self))
        ]

    def to_dict(self) -> dict:
        return {
            "structure": self.structure_name,
            "wavelength": self.wavelength,
            "two_theta_range": list(self.two_theta_range),
            "intensity_scale": self.scale,
            "radiation": self.radiation,
            "warnings": list(self.warnings),
            "peaks": self.records(),
        }

    def to_table(self) -> str:
        """The peak table as fixed-width text: 2θ, d, I, (hkl), multiplicity."""
        return formats.table([self])

    def to_csv(self) -> str:
        return formats.csv_text([self])

    def to_json(self) -> str:
        return formats.json_text([self])

    def strongest(self, count: int) -> np.ndarray:
        """Indices of the ``count`` strongest peaks, strongest first."""
        return np.argsort(-self.intensity, kind="stable")[:count]

    @property
    def scale_description(self) -> str:
        """What the intensities mean, as said in output headers."""
        return describe_scale(self.scale, self.two_theta_range)

    def profile(self, two_theta: Sequence[float] | np.ndarray, instrument: Instrument | None = None,
                sample: Sample | None = None, *, fwhm: float | None = None) -> np.ndarray:
        """The powder profile at each 2θ (degrees, increasing), in intensity per degree.

        Each peak's area is its intensity (summed over emission lines: a
        pattern of a Kα line gets the Kα1/Kα2 doublet).  ``instrument`` sets
        lines, widths, shape and 2θ corrections, ``sample`` size, strain,
        preferred orientation and an overall B; ``fwhm`` alone gives every
        peak that width.  Values are means over the bins around each point,
        so peaks of any width keep their area.
        """
        from ..profiles.instrument import Instrument
        from ..profiles.profile import PhasePeaks, phase_profile
        if instrument is None:
            instrument = Instrument.with_fwhm(0.1 if fwhm is None else fwhm)
        elif fwhm is not None:
            raise InputError("give either an instrument or a fwhm, not both")
        return phase_profile(PhasePeaks.from_pattern(self), np.asarray(two_theta, dtype=float),
                             instrument, sample)

    def plot(self, ax: Any = None, *, instrument: Instrument | None = None, fwhm: float = 0.1,
             labels: int = 8) -> Any:
        """Draw sticks, the profile and labels into a Matplotlib Axes (a new one if None)."""
        from ..profiles.plot import plot_pattern
        return plot_pattern(self, ax, instrument=instrument, fwhm=fwhm, labels=labels)

    # Notebook views; without matplotlib the notebook falls back to repr().
    def _repr_png_(self) -> bytes | None:
        from ..optional import MissingDependency
        from ..profiles.plot import pattern_png
        try:
            return pattern_png(self)
        except MissingDependency:
            return None

    def _repr_html_(self) -> str | None:
        from ..optional import MissingDependency
        from ..profiles.plot import pattern_html
        try:
            return pattern_html(self)
        except MissingDependency:
            return None

    def __repr__(self) -> str:
        lo, hi = self.two_theta_range
        return (f"Pattern({self.structure_name or 'unnamed'}: {len(self)} peaks, "
                f"wavelength {self.wavelength:g} A, 2theta {lo:g} to {hi:g})")


def check_two_theta_range(two_theta_range: Sequence[float]) -> tuple[float, float]:
    try:
        lo, hi = (float(x) for x in two_theta_range)
    except (TypeError, ValueError):
        raise InputError(f"the 2theta range must be two numbers, not {two_theta_range!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi)) or lo < 0.0 or hi > 180.0:
        raise InputError(f"the 2theta range must lie within 0 to 180 degrees, not {lo:g} to {hi:g}")
    if not lo < hi:
        raise InputError(f"empty 2theta range: {lo:g} to {hi:g}")
    return lo, hi


def _lattice_box_size(reciprocal: np.ndarray, max_r: float) -> float:
    """Number of index triples the shell search visits (as a float: it may be huge)."""
    count = 1.0
    for length in np.linalg.norm(reciprocal, axis=1):
        reach = max_r / length
        if not reach < 1e100:  # a tiny wavelength: beyond any limit
            return math.inf
        count *= 2.0 * (math.ceil(reach) + 1.0) + 1.0
    return count - 1.0


def _sorted_families(members: list[list[int]]) -> tuple[list[tuple[int, ...]], list[int]]:
    # The module's dictionary comes back in a per-process order; sort it so
    # that output is reproducible: largest multiplicity first, then by index.
    counted = peakforge.get_unique_families_rust(members)
    ordered = sorted(counted.items(), key=lambda item: (-item[1], [-x for x in item[0]]))
    return [tuple(hkl) for hkl, _ in ordered], [count for _, count in ordered]


def _exact_peaks(structure: Structure, lam: float, min_r: float, max_r: float, reciprocal: np.ndarray,
                 parallel: bool, num_threads: int, use_simd: bool,
                 progress: Callable[[int, int], None] | None):
    """The exhaustive route: every reflection through the module's five calls."""
    try:
        points = peakforge.generate_hkl_points(reciprocal.tolist(), max_r, min_r)
    except ValueError as exc:  # the index bounds would not fit the walk's integers
        raise InputError(f"the 2theta range is too wide for this cell and wavelength: {exc}") from None
    # A reflection at exactly 2θ = 180° has cos θ = 0 and an unbounded
    # Lorentz factor; it cannot be measured, so it is left out.
    points = [p for p in points if p[1] * lam * 0.5 < 1.0]
    hkls = [p[0] for p in points]
    g_hkls = [p[1] for p in points]

    numbers = [int(z) for z in structure.atomic_numbers]
    coeffs = [[list(pair) for pair in electron_coefficients(z)] for z in numbers]
    x, y, z = (structure.frac_coords[:, axis].tolist() for axis in range(3))
    occupancies, b_factors = structure.occupancies.tolist(), structure.b_factors.tolist()
    # Reflections are independent: computing them in pieces gives the same
    # bits, and lets Ctrl-C and progress reports in between.
    chunk = max(1, CHUNK_TERMS // len(numbers))
    peaks = []
    for start in range(0, len(hkls), chunk):
        stop = min(start + chunk, len(hkls))
        peaks += peakforge.calculate_xrd_intensities(
            hkls[start:stop], g_hkls[start:stop], lam, x, y, z, numbers, coeffs,
            occupancies, b_factors, bool(parallel), int(num_threads), bool(use_simd))
        if progress is not None:
            progress(stop, len(hkls))

    two_thetas = [p[0] for p in peaks]
    intensities = [p[1] for p in peaks]
    int_hkls = [[int(round(c)) for c in hkl] for hkl in hkls]
    d_hkls = [1.0 / g for g in g_hkls]
    merged_tt, merged_i, merged_hkls, merged_d = peakforge.merge_peaks(
        two_thetas, intensities, int_hkls, d_hkls, TWO_THETA_TOLERANCE)
    scaled = peakforge.normalize_intensities(merged_i, 100.0)

    keep = [i for i, value in enumerate(scaled) if value >= SCALED_INTENSITY_TOLERANCE]
    families, multiplicities = [], []
    for i in keep:
        fams, mults = _sorted_families(merged_hkls[i])
        families.append(fams)
        multiplicities.append(mults)

    def column(values):
        return np.array([values[i] for i in keep], dtype=float)

    return (column(merged_tt), column(merged_d), column(scaled), column(merged_i),
            families, multiplicities)


def _engine_peaks(structure: Structure, lam: float, min_r: float, max_r: float, **options):
    """The pattern engine: one native call, symmetry-equivalent reflections once."""
    table = engine_columns(structure, lam, min_r, max_r, merge_tolerance=TWO_THETA_TOLERANCE,
                           relative_threshold=SCALED_INTENSITY_TOLERANCE, **options)
    rows = list(map(tuple, table["family_hkl"].tolist()))
    counts = table["family_multiplicity"].tolist()
    bounds = table["family_offsets"].tolist()
    spans = list(zip(bounds[:-1], bounds[1:]))
    return (table["two_theta"], table["d"], table["intensity"], table["absolute_intensity"],
            [rows[a:b] for a, b in spans], [counts[a:b] for a, b in spans])


def has_hexagonal_axes(structure: Structure) -> bool:
    """a = b, α = β = 90°, γ = 120°: the cells whose planes take (h k i l) labels."""
    a, b, _, alpha, beta, gamma = structure.cell_parameters
    return (abs(a - b) <= 1e-6 * a and abs(alpha - 90.0) < 1e-4 and abs(beta - 90.0) < 1e-4
            and abs(gamma - 120.0) < 1e-4)


def _four_index(families: list[list[tuple[int, ...]]]) -> list[list[tuple[int, ...]]]:
    return [[(h, k, -(h + k), l) for h, k, l in peak] for peak in families]


def _check_monochromator(angle: float) -> float:
    try:
        value = float(angle)
    except (TypeError, ValueError):
        raise InputError(f"the monochromator angle must be a number, not {angle!r}") from None
    if not (math.isfinite(value) and 0.0 <= value < 180.0):
        raise InputError(f"the monochromator angle (its 2theta) must lie in [0, 180) degrees, not {angle!r}")
    return value


def check_route(exact: bool, radiation: str, anomalous: bool, monochromator_angle: float = 0.0) -> None:
    """Refuse a radiation, or a route, that cannot compute what is asked."""
    check_radiation(radiation, anomalous)
    if exact and (radiation != "xray" or anomalous or monochromator_angle != 0.0):
        raise InputError("the exact route computes X-rays without anomalous dispersion "
                         "or monochromator only")


def compute_pattern(structure: Structure | str | Path,
                    wavelength: float | str = "CuKa",
                    two_theta_range: Sequence[float] = (0.0, 90.0),
                    *, parallel: bool = True, num_threads: int = 0,
                    use_simd: bool = True, scale: str = "max", strict: bool = False,
                    max_work: float | None = DEFAULT_MAX_WORK,
                    progress: Callable[[int, int], None] | None = None,
                    exact: bool = False, radiation: str = "xray", anomalous: bool = False,
                    hkil: bool = False, monochromator_angle: float = 0.0) -> Pattern:
    """Compute the powder pattern of a structure (or of a CIF file's path).

    ``wavelength`` is in Å or an anode line name ("CuKa", "MoKa", ...).
    ``parallel``/``num_threads`` choose a worker pool (0 = automatic size)
    and ``use_simd`` the vectorised structure-factor sum; neither changes
    the result beyond rounding.  ``scale`` is the intensity scale: "max"
    (strongest peak in the range 100), "full" (strongest from 0 to 180° 100)
    or "absolute".  ``strict`` raises any warning (the structure's or the
    pattern's) as an InputError.  A calculation estimated above
    ``max_work`` reflection-atom terms (default about a minute here; None
    for no limit) is refused before it starts.  ``progress(done, total)``
    is called as the reflections' intensities are computed; Ctrl-C stops
    the calculation within a fraction of a second.

    ``radiation`` is "xray" (Mott–Bethe form factors) or "neutron" (coherent
    scattering lengths, no polarisation); ``anomalous`` adds the X-ray
    dispersion f′ + i f″ at the beam's energy (Friedel mates then differ);
    ``monochromator_angle`` is the 2θ (degrees) of a monochromator crystal
    in the beam, 0 for none, which makes the polarisation factor
    2 (1 + cos²2θ_M cos²2θ) / (1 + cos²2θ_M) (1 + cos²2θ without one).  ``hkil`` labels the families of cells with
    hexagonal axes (a = b, γ = 120°) as (h k i l); others keep three
    indices.

    ``exact=True`` takes the exhaustive route through the module's five calls
    (every reflection computed, families by permutations and sign changes),
    for X-rays without dispersion or monochromator only.
    """
    if not isinstance(structure, Structure):
        structure = Structure.from_cif(structure)
    if strict:
        refuse_if_strict(structure.warnings)
    lam = resolve_wavelength(wavelength)
    lo, hi = check_two_theta_range(two_theta_range)
    monochromator = _check_monochromator(monochromator_angle)
    check_route(exact, radiation, bool(anomalous), monochromator)
    min_r, max_r = shell_radii(lam, (lo, hi))
    reciprocal = structure.reciprocal
    box = _lattice_box_size(reciprocal, max_r)
    # A larger work limit allows a larger index walk in proportion.
    box_limit = MAX_LATTICE_POINTS * max(1.0, (max_work or math.inf) / DEFAULT_MAX_WORK)
    if box > box_limit:
        reach = f"{box:.3g}" if math.isfinite(box) else "countless"
        raise InputError(f"the 2theta range reaches {reach} lattice points, more than {box_limit:.3g}: "
                         "use a longer wavelength or a smaller 2theta maximum, or raise the limit "
                         "(--max-work, or max_work= from Python)")
    check_work(estimate_work(structure.lattice, len(structure), lam, (lo, hi)), max_work)

    if exact:
        columns = _exact_peaks(structure, lam, min_r, max_r, reciprocal, parallel, num_threads,
                               use_simd, progress)
    else:
        try:
            columns = _engine_peaks(structure, lam, min_r, max_r, reciprocal=reciprocal,
                                    radiation=radiation, anomalous=bool(anomalous),
                                    monochromator_angle=monochromator, parallel=bool(parallel),
                                    num_threads=int(num_threads), use_simd=bool(use_simd),
                                    max_walk=box_limit, progress=progress)
        except ValueError as exc:  # the engine's own bounds: the walk's size, an intensity beyond any atom's
            raise InputError(str(exc)) from None
    two_theta, d, scaled, absolute, families, multiplicities = columns
    if hkil and has_hexagonal_axes(structure):
        families = _four_index(families)

    warnings = structure.warnings
    if len(two_theta) == 0:
        warnings += (f"no peak between 2theta {lo:g} and {hi:g} degrees at wavelength {lam:g} A",)
    if strict:
        refuse_if_strict(warnings)
    pattern = Pattern(two_theta, d, scaled, absolute, families, multiplicities, lam, (lo, hi),
                      structure.name, warnings, structure=structure, radiation=radiation,
                      monochromator_angle=monochromator)

    def full_range_maximum() -> float:
        full = compute_pattern(structure, lam, (0.0, 180.0), parallel=parallel,
                               num_threads=num_threads, use_simd=use_simd, max_work=max_work,
                               exact=exact, radiation=radiation, anomalous=anomalous,
                               monochromator_angle=monochromator)
        return float(full.absolute_intensity.max(initial=0.0))

    return apply_scale(pattern, scale, full_range_maximum)
