"""One reflection taken apart: its d, 2θ, multiplicity, the structure factor
F = Σ_j occ_j f_j(s) T_j(h) exp(2πi h·x_j) as |F| and phase, and each atom's
term of the sum, the way a teacher writes it out for silicon's (2 0 0).

The scattering factors and displacement factors are those the pattern
engine uses (radiation.species_tables); |F|² agrees with the engine's.
"""

from __future__ import annotations

import cmath
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gemmi
import numpy as np

from ..errors import InputError
from ..structures.displacements import debye_waller_beta
from ..structures.found_symmetry import with_found_symmetry
from ..structures.structure import Structure
from .engine_route import engine_reflection_columns
from .formats import hkl_label
from .radiation import species_tables
from .request import PatternRequest
from .symmetry_elements import extinction_reasons

MOTT_BETHE = 41.78214
"""8π² a₀ (Å): f_X = Z − 8π² a₀ s² f_e(s), as in the engine."""


@dataclass(frozen=True)
class AtomContribution:
    """One atom's term occ · f · T · exp(2πi h·x) of the structure factor."""

    index: int
    element: str
    position: tuple[float, float, float]
    occupancy: float
    scattering_factor: complex
    displacement_factor: float
    term: complex

    @property
    def phase(self) -> float:
        """Phase of the term, degrees in (-180, 180]."""
        return math.degrees(cmath.phase(self.term))


@dataclass(frozen=True)
class ReflectionDetail:
    """A reflection's geometry, structure factor and the atoms' terms.

    ``multiplicity`` is the size of its set of equivalent reflections;
    ``absent_because`` names the glides, screws or centring that extinguish
    it (empty when the space group allows it).
    """

    hkl: tuple[int, ...]
    d: float
    two_theta: float
    multiplicity: int
    structure_factor: complex
    contributions: tuple[AtomContribution, ...]
    absent_because: tuple[str, ...]
    radiation: str = "xray"

    @property
    def amplitude(self) -> float:
        """|F|."""
        return abs(self.structure_factor)

    @property
    def phase(self) -> float:
        """Phase of F, degrees in (-180, 180]; NaN where the terms cancel to rounding (F = 0)."""
        if self.amplitude <= 1e-9 * sum(abs(c.term) for c in self.contributions):
            return math.nan
        return math.degrees(cmath.phase(self.structure_factor))

    @property
    def f_squared(self) -> float:
        return abs(self.structure_factor) ** 2

    def to_text(self) -> str:
        """The reflection and one line per atom, as ``peakforge pattern --hkl`` prints it."""
        lines = [
            f"{hkl_label(self.hkl)}  d {self.d:.5f} A  2theta {self.two_theta:.4f}  multiplicity {self.multiplicity}",
            (
                f"|F| {self.amplitude:.6g}  phase {self.phase:.2f} deg  |F|^2 {self.f_squared:.6g}"
                if not math.isnan(self.phase)
                else f"F = 0 (the terms cancel; |F| {self.amplitude:.3g} is rounding)"
            ),
        ]
        if self.absent_because:
            lines.append("systematically absent: " + "; ".join(self.absent_because))
        lines.append(
            f"{'atom':>4}  {'el':<2}  {'x':>8} {'y':>8} {'z':>8}  {'occ':>5}  {'f':>8}  {'T':>6}  "
            f"{'term re':>9} {'term im':>9}  {'phase':>7}"
        )
        for c in self.contributions:
            x, y, z = c.position
            lines.append(
                f"{c.index + 1:>4}  {c.element:<2}  {x:8.5f} {y:8.5f} {z:8.5f}  {c.occupancy:5.3f}  "
                f"{abs(c.scattering_factor):8.4f}  {c.displacement_factor:6.4f}  "
                f"{c.term.real:9.4f} {c.term.imag:9.4f}  {c.phase:7.2f}"
            )
        return "\n".join(lines) + "\n"

    def to_dict(self) -> dict:
        """Plain values, as written to JSON (complex numbers as [re, im]; a phase of F = 0 as null)."""
        phase = None if math.isnan(self.phase) else self.phase
        return {
            "hkl": list(self.hkl),
            "d": self.d,
            "two_theta": self.two_theta,
            "multiplicity": self.multiplicity,
            "radiation": self.radiation,
            "amplitude": self.amplitude,
            "phase": phase,
            "structure_factor": [self.structure_factor.real, self.structure_factor.imag],
            "absent_because": list(self.absent_because),
            "atoms": [
                {
                    "index": c.index,
                    "element": c.element,
                    "position": list(c.position),
                    "occupancy": c.occupancy,
                    "scattering_factor": [c.scattering_factor.real, c.scattering_factor.imag],
                    "displacement_factor": c.displacement_factor,
                    "term": [c.term.real, c.term.imag],
                }
                for c in self.contributions
            ],
        }

    def __repr__(self) -> str:
        return (
            f"ReflectionDetail({hkl_label(self.hkl)}: d {self.d:.5f} A, |F| {self.amplitude:.4g}, "
            f"phase {self.phase:.1f} deg, multiplicity {self.multiplicity})"
        )


def three_indices(hkl: Sequence[int]) -> tuple[int, int, int]:
    """(h k l) from three indices or from four (h k i l) with i = -(h + k)."""
    try:
        values = [int(x) for x in hkl]
        if any(v != x for v, x in zip(values, hkl)):
            raise ValueError
    except (TypeError, ValueError):
        raise InputError(f"Miller indices must be whole numbers, not {hkl!r}") from None
    if len(values) == 4:
        h, k, i, l = values
        if i != -(h + k):
            raise InputError(f"(h k i l) needs i = -(h + k): {hkl_label(values)}")
        values = [h, k, l]
    if len(values) != 3:
        raise InputError(f"give three Miller indices (or four, h k i l), not {len(values)}")
    if values == [0, 0, 0]:
        raise InputError("(0 0 0) is not a reflection")
    return values[0], values[1], values[2]


def _scattering_factors(
    structure: Structure, s2: float, radiation: str, wavelength: float, anomalous: bool
) -> np.ndarray:
    elements, species_index = np.unique(structure.atomic_numbers, return_inverse=True)
    z, pairs, constants = species_tables(elements, radiation, wavelength, anomalous)
    gaussian = np.sum(pairs[:, :, 0] * np.exp(-pairs[:, :, 1] * s2), axis=1) if pairs.shape[1] else np.zeros(len(z))
    if radiation == "neutron":
        base = np.zeros(len(z))
    elif radiation == "electron":
        base = gaussian
    else:
        base = z - MOTT_BETHE * s2 * gaussian
    per_species = base + constants[:, 0] + 1j * constants[:, 1]
    return per_species[species_index]


def _displacement_factors(structure: Structure, hkl: tuple[int, int, int], s2: float) -> np.ndarray:
    factors = np.exp(-structure.b_factors * s2)
    if structure.u_aniso is not None:
        beta = debye_waller_beta(structure.u_aniso, structure.lattice)
        h, k, l = hkl
        q = (
            beta[:, 0] * h * h
            + beta[:, 1] * k * k
            + beta[:, 2] * l * l
            + 2 * (beta[:, 3] * h * k + beta[:, 4] * h * l + beta[:, 5] * k * l)
        )
        anisotropic = ~np.isnan(beta[:, 0])
        factors[anisotropic] = np.exp(-q[anisotropic])
    return factors


def reflection_detail(
    structure: Structure | str | Path,
    hkl: Sequence[int],
    wavelength: float | str | None = None,
    *,
    request: PatternRequest | None = None,
    **fields: Any,
) -> ReflectionDetail:
    """A reflection of a structure taken apart: d, 2θ, multiplicity, |F|, phase and each atom's term.

    Parameters
    ----------
    structure
        A Structure or the path of a CIF file.
    hkl
        Three Miller indices, or four (h k i l) for hexagonal axes.
    wavelength, request, fields
        The calculation, as compute_pattern takes it (radiation, anomalous, as_given, ...).

    Returns
    -------
    ReflectionDetail

    Raises
    ------
    InputError
        For indices that are not a reflection, or one beyond 2θ = 180° at this wavelength.

    Examples
    --------
    >>> from peakforge_pattern import example_path
    >>> detail = reflection_detail(example_path("silicon"), (2, 0, 0))
    >>> detail.multiplicity, detail.amplitude < 1e-9, detail.absent_because[0]
    (6, True, 'd-glide ⊥ [001]')
    """
    request = PatternRequest.from_call(request, wavelength, None, **fields)
    if not isinstance(structure, Structure):
        structure = Structure.from_cif(structure)
    lam, radiation, anomalous = request.wavelength, request.radiation, request.dispersion
    h, k, l = three_indices(hkl)
    if not request.as_given:
        structure, _ = with_found_symmetry(structure)
    g = float(np.linalg.norm(np.array([h, k, l], dtype=float) @ structure.reciprocal))
    if not g * lam / 2 < 1.0:
        raise InputError(
            f"{hkl_label((h, k, l))} has d = {1 / g:.5g} A, below half the wavelength ({lam:g} A): it cannot diffract"
        )
    s2 = (g / 2) ** 2
    f = _scattering_factors(structure, s2, radiation, lam, anomalous)
    t = _displacement_factors(structure, (h, k, l), s2)
    phases = np.exp(2j * np.pi * (structure.frac_coords @ np.array([h, k, l], dtype=float)))
    terms = structure.occupancies * f * t * phases
    contributions = tuple(
        AtomContribution(
            j,
            gemmi.Element(int(structure.atomic_numbers[j])).name,
            (
                float(structure.frac_coords[j, 0]),
                float(structure.frac_coords[j, 1]),
                float(structure.frac_coords[j, 2]),
            ),
            float(structure.occupancies[j]),
            complex(f[j]),
            float(t[j]),
            complex(terms[j]),
        )
        for j in range(len(structure))
    )

    # The set the reflection belongs to, from the engine's table of a thin shell around it.
    table = engine_reflection_columns(structure, request.replace(parallel=False), g * (1 - 1e-9), g * (1 + 1e-9))
    members = {tuple(int(x) for x in np.array([h, k, l]) @ r) for r in table["rotations"]}
    if not anomalous:
        members |= {(-a, -b, -c) for a, b, c in members}
    row = next(i for i, rep in enumerate(table["hkl"].tolist()) if tuple(rep) in members)
    reasons: tuple[str, ...] = ()
    if table["absent"][row]:
        reasons = extinction_reasons(
            np.array([h, k, l]),
            table["rotations"],
            table["translations"],
            table["translation_known"],
            table["centring"],
        )
    theta = math.asin(g * lam / 2)
    label = tuple(int(x) for x in hkl) if len(hkl) == 4 else (h, k, l)
    return ReflectionDetail(
        label,
        1 / g,
        math.degrees(2 * theta),
        int(table["multiplicity"][row]),
        complex(terms.sum()),
        contributions,
        reasons,
        radiation,
    )
