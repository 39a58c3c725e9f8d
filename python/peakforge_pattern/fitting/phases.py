"""The phases of a fit, read and prepared once: their reflections at each
emission line, the cell parameters a refinement may move, their mass,
density and absorption.

With anomalous dispersion each emission line gets its own |F|² (f′ and f″
at that line's energy); without it |F|² is the same at every line and the
lines differ only in angle and Lorentz-polarisation factor.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..diffraction.compute import compute_pattern
from ..diffraction.request import PatternRequest
from ..errors import InputError, WorkLimitError
from ..profiles.mixture import cell_mass
from ..profiles.profile import PhasePeaks
from ..structures.structure import Structure
from .absorption import density
from .cell_constraints import CellConstraints
from .structure_refinement.atom_phase import AtomPeaks

MARGIN = 5.0
"""Degrees of reflections computed beyond the data, for tails, Kα2 and shifts."""


@dataclass(frozen=True, eq=False)
class FitPhase:
    """A phase ready to be placed for trial parameters.

    ``lines`` holds, per emission line, its wavelength (Å), its share of the
    intensity and the phase's peaks computed at that wavelength; ``atoms``
    (or None) gives the peaks instead when the structure is refined.
    """

    name: str
    source: str
    structure: Structure
    lines: tuple[tuple[float, float, PhasePeaks], ...]
    constraints: CellConstraints
    mass: float
    density: float
    atoms: AtomPeaks | None = None

    @property
    def lowest_b(self) -> float:
        """The smallest B (Å²) of the structure's atoms (0 for none)."""
        b = self.structure.b_factors
        return float(np.min(b)) if b.size else 0.0


def _refuse_repeats(phases: Sequence[Structure | str | Path]) -> None:
    """One phase given twice would split its scale between two copies at random."""
    seen: dict[object, str] = {}
    for phase in phases:
        if isinstance(phase, Structure):
            key: object = id(phase)
        else:
            try:
                key = os.path.realpath(phase)
            except (OSError, ValueError):
                continue
        if key in seen:
            raise InputError(
                f"{phase if not isinstance(phase, Structure) else phase.name} is given twice: each phase is "
                "fitted once (two copies would share its intensity in any proportion)"
            )
        seen[key] = str(phase)


def load_structures(phases: Sequence[Structure | str | Path]) -> list[tuple[Structure, str]]:
    """The structures and where each came from; a file's errors name the file.

    A phase given as a file is named by its CIF's mineral or common name
    when it gives one, else by the file's stem; a Structure keeps its name.
    Names are made unique (``name#2``), since parameters and results are
    named after them.
    """
    loaded: list[tuple[Structure, str]] = []
    _refuse_repeats(phases)
    for phase in phases:
        if isinstance(phase, Structure):
            loaded.append((phase, phase.name or "structure"))
            continue
        try:
            structure = Structure.from_cif(phase)
            if structure.common_name:
                structure = dataclasses.replace(structure, name=structure.common_name)
            loaded.append((structure, str(phase)))
        except InputError as exc:
            text = str(exc)
            raise InputError(text if str(phase) in text else f"{phase}: {text}") from None
    if not loaded:
        raise InputError("a fit needs at least one phase")
    names = [s.name for s, _ in loaded]
    return [
        (
            s if names.count(s.name) == 1 and s.name else dataclasses.replace(s, name=f"{s.name or 'phase'}#{i + 1}"),
            source,
        )
        for i, (s, source) in enumerate(loaded)
    ]


def prepare_phase(
    structure: Structure,
    source: str,
    lines: Sequence[tuple[float, float]],
    lo: float,
    hi: float,
    request: PatternRequest,
) -> FitPhase:
    """Compute the phase's peaks at every emission line over [lo, hi] plus a margin.

    ``request`` carries the calculation's options (anomalous dispersion,
    threads, work limit); the wavelength, range and absolute scale are set here.

    Raises
    ------
    InputError
        When the phase has no reflection in the range (naming the phase and its file).
    """
    computed = []
    for wavelength, share in lines:
        try:
            pattern = compute_pattern(
                structure,
                wavelength,
                (max(lo - MARGIN, 0.0), min(hi + MARGIN, 179.9)),
                request=request,
                scale="absolute",
            )
        except WorkLimitError as exc:
            # A fit has no work limit to raise: a calculation this large means a wrong wavelength or range.
            raise InputError(
                f"phase {structure.name} ({source}) at {wavelength:g} A: {exc.reason} (is {wavelength:g} A the "
                "scan's wavelength?)"
            ) from None
        computed.append((float(wavelength), float(share), PhasePeaks.from_pattern(pattern)))
    first = computed[0][2]
    angles = 2.0 * np.degrees(np.arcsin(np.clip(computed[0][0] / (2.0 * first.d), -1.0, 1.0)))
    if not np.any((angles >= lo) & (angles <= hi) & (first.weight > 0.0)):
        raise InputError(
            f"phase {structure.name} ({source}) has no reflection between 2theta {lo:g} and "
            f"{hi:g} degrees: it cannot be fitted to this range"
        )
    return FitPhase(
        structure.name,
        source,
        structure,
        tuple(computed),
        CellConstraints.of(structure),
        cell_mass(structure),
        density(structure),
    )
