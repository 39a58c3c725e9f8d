"""The powder pattern of one structure: its peaks, their families, and the
pattern as a table, CSV, JSON or a notebook's HTML view."""

from __future__ import annotations

import dataclasses
import html
from dataclasses import dataclass, field

import numpy as np

from ..structures.structure import Structure
from . import formats
from .peak_families import PeakFamilies
from .scales import check_scale
from .scales import describe as describe_scale

TWO_THETA_TOLERANCE = 1e-5
"""Reflections whose 2θ (degrees) lie closer than this form one peak."""

SCALED_INTENSITY_TOLERANCE = 1e-3
"""Peaks below this on the 0–100 scale are dropped."""

PeakColumns = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray | None, PeakFamilies]
"""What a route gives: 2θ, d, intensity (0–100), absolute intensity, the
Lorentz-polarisation factor and the peaks' families."""

NOTEBOOK_ROWS = 10
"""Peaks listed in a notebook's view of a pattern: the strongest."""


@dataclass(frozen=True, eq=False)
class Pattern:
    """A powder pattern: one entry per peak, in increasing 2θ.

    ``intensity`` is on the pattern's ``scale`` (by default relative, the
    strongest peak 100); ``absolute_intensity`` is the summed |F|²·LP of the
    reflections in the peak, ``lorentz_polarisation`` the engine's LP factor
    at the peak's 2θ (None where not known: a profile then asks the engine
    for it).  ``families[i]`` lists the Miller-index families under peak i,
    largest multiplicity first, and ``multiplicities[i]`` how many
    reflections of each the peak holds; both are built on first use from
    ``peak_families``, which keeps them as arrays.  ``structure`` is the structure it
    was computed from, when known.  ``warnings`` carries the structure's
    warnings and the pattern's own; ``notes`` what the calculation decided
    for the reader to know (the space group found for atoms given in P1).  Families are sets of reflections
    equivalent by the crystal's symmetry (on the exact route: by
    permutations and sign changes), as (h, k, l) or, with four-index labels,
    (h, k, i, l); ``radiation`` is "xray", "neutron" or "electron",
    ``monochromator_angle`` the 2θ (degrees) of the monochromator whose
    polarisation the intensities carry (0: none), ``anomalous_dispersion``
    whether the X-ray form factors included f′ + i f″.

    Drawing a pattern is the plotting layer's work
    (``peakforge_pattern.plotting.plot_pattern``), its profile the profiles
    layer's (``peakforge_pattern.profiles.pattern_profile``).
    """

    two_theta: np.ndarray
    d: np.ndarray
    intensity: np.ndarray
    absolute_intensity: np.ndarray
    peak_families: PeakFamilies
    wavelength: float
    two_theta_range: tuple[float, float]
    structure_name: str = ""
    warnings: tuple[str, ...] = ()
    scale: str = "max"
    structure: Structure | None = field(default=None, repr=False)
    radiation: str = "xray"
    monochromator_angle: float = 0.0
    lorentz_polarisation: np.ndarray | None = field(default=None, repr=False)
    notes: tuple[str, ...] = ()
    anomalous_dispersion: bool = False

    def __len__(self) -> int:
        return int(self.two_theta.size)

    @property
    def families(self) -> list[list[tuple[int, ...]]]:
        """Per peak, its Miller-index families as tuples, largest multiplicity first."""
        return self.peak_families.families

    @property
    def multiplicities(self) -> list[list[int]]:
        """Per peak, how many reflections of each of its families it holds."""
        return self.peak_families.multiplicities

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
                "families": [
                    {"hkl": list(hkl), "multiplicity": m} for hkl, m in zip(self.families[i], self.multiplicities[i])
                ],
            }
            for i in range(len(self))
        ]

    def to_dict(self) -> dict:
        """The pattern as written to JSON: its settings and one record per peak."""
        return {
            "structure": self.structure_name,
            "wavelength": self.wavelength,
            "two_theta_range": list(self.two_theta_range),
            "intensity_scale": self.scale,
            "radiation": self.radiation,
            "anomalous_dispersion": self.anomalous_dispersion,
            "warnings": list(self.warnings),
            "notes": list(self.notes),
            "peaks": self.records(),
        }

    def to_table(self) -> str:
        """The peak table as fixed-width text: 2θ, d, I, (hkl), multiplicity."""
        return formats.table([self])

    def to_csv(self) -> str:
        """The peak table as CSV, numbers at full precision."""
        return formats.csv_text([self])

    def to_json(self) -> str:
        """The pattern as a JSON document (see to_dict)."""
        return formats.json_text([self])

    def strongest(self, count: int) -> np.ndarray:
        """Indices of the ``count`` strongest peaks, strongest first."""
        return np.argsort(-self.intensity, kind="stable")[:count]

    def rescaled(self, scale: str, factor: float) -> Pattern:
        """The pattern with intensity = absolute intensity × ``factor``, its scale named ``scale``.

        Parameters
        ----------
        scale : str
            The new scale's name: "max", "full" or "absolute".
        factor : float
            What the absolute intensities are multiplied by.

        Returns
        -------
        Pattern
            A new pattern; this one is unchanged.
        """
        return dataclasses.replace(
            self, intensity=np.asarray(self.absolute_intensity) * factor, scale=check_scale(scale)
        )

    @property
    def scale_description(self) -> str:
        """What the intensities mean, as said in output headers."""
        return describe_scale(self.scale, self.two_theta_range)

    # A notebook shows the strongest peaks as a table; a picture is
    # plotting.plot_pattern(pattern), from the layer that draws.
    def _repr_html_(self) -> str:
        order = np.sort(self.strongest(NOTEBOOK_ROWS))
        cells = "".join(
            f"<tr><td>{self.two_theta[i]:.3f}</td><td>{self.d[i]:.4f}</td><td>{self.intensity[i]:.4g}</td>"
            f"<td>{html.escape(' '.join(formats.hkl_label(h) for h in self.families[i]))}</td></tr>"
            for i in order
        )
        return (
            f"<div><p>{html.escape(repr(self))}; {html.escape(self.scale_description)}</p>"
            f"<table><tr><th>2θ</th><th>d (Å)</th><th>I</th><th>hkl</th></tr>{cells}</table></div>"
        )

    def __repr__(self) -> str:
        lo, hi = self.two_theta_range
        return (
            f"Pattern({self.structure_name or 'unnamed'}: {len(self)} peaks, "
            f"wavelength {self.wavelength:g} A, 2theta {lo:g} to {hi:g})"
        )
