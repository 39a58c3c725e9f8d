"""How much work a pattern takes, estimated before any of it is done.

The structure-factor sum costs one term per reflection and atom; the
number of reflections is the volume of the reciprocal shell times the cell
volume.  A request far beyond what a user would wait for (a huge cell, a
tiny wavelength) is refused up front, with the estimate, instead of running
for hours.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ..errors import WorkLimitError

TERMS_PER_SECOND = 4e8
"""Reflection-atom terms per second of the default (parallel, vectorised)
calculation on the development machine (two logical processors on one
core), measured with 2000 to 20000 atoms; the scalar sum is about ten
times slower."""

DEFAULT_MAX_WORK = 2.5e10
"""Largest number of reflection-atom terms computed without being asked:
about a minute at TERMS_PER_SECOND."""


@dataclass(frozen=True)
class WorkEstimate:
    """Expected size of a pattern calculation.

    Attributes
    ----------
    reflections : float
        Reflections expected in the 2θ range (may be inf).
    atoms : int
        Atoms in the unit cell.
    """

    reflections: float
    atoms: int

    @property
    def terms(self) -> float:
        """Reflection-atom terms of the structure-factor sum."""
        return self.reflections * self.atoms

    @property
    def seconds(self) -> float:
        """Rough wall time of the default calculation here."""
        return self.terms / TERMS_PER_SECOND


def reciprocal_shell(wavelength: float, two_theta_range: tuple[float, float]) -> tuple[float, float]:
    """The reciprocal-space shell of a 2θ range: g = 2 sin θ / λ at each end.

    Parameters
    ----------
    wavelength : float
        Wavelength in Å.
    two_theta_range : pair of float
        Lowest and highest 2θ, degrees.

    Returns
    -------
    tuple of float
        ``(min_g, max_g)`` in 1/Å.
    """
    lo, hi = two_theta_range
    return (2.0 * math.sin(math.radians(lo) / 2.0) / wavelength, 2.0 * math.sin(math.radians(hi) / 2.0) / wavelength)


def estimate_work(
    lattice: np.ndarray, atoms: int, wavelength: float, two_theta_range: tuple[float, float]
) -> WorkEstimate:
    """Estimate the size of a pattern calculation before starting it.

    The reflections are the volume of the reciprocal shell the 2θ range
    reaches over the reciprocal cell's; each costs one term per atom.

    Parameters
    ----------
    lattice : numpy.ndarray
        The cell vectors as rows (3×3, Å), as in ``Structure.lattice``.
    atoms : int
        Atoms in the unit cell (``len(structure)``).
    wavelength : float
        Wavelength in Å.
    two_theta_range : pair of float
        Lowest and highest 2θ, degrees.

    Returns
    -------
    WorkEstimate
        Reflections and atoms, with their product ``terms`` and a rough
        wall time ``seconds``.

    Examples
    --------
    >>> from peakforge_pattern import example_path, read_cif
    >>> from peakforge_pattern.diffraction.work import estimate_work
    >>> silicon = read_cif(example_path("silicon"))
    >>> work = estimate_work(silicon.lattice, len(silicon), 1.5406, (0.0, 90.0))
    >>> round(work.reflections), work.atoms
    (519, 8)
    """
    min_g, max_g = reciprocal_shell(wavelength, two_theta_range)
    volume = abs(float(np.linalg.det(lattice)))
    try:
        reflections = 4.0 / 3.0 * math.pi * (max_g**3 - min_g**3) * volume
    except OverflowError:
        reflections = math.inf
    return WorkEstimate(reflections, atoms)


MAX_LATTICE_POINTS = 5_000_000
"""Largest index box walked for one pattern at the default work limit;
beyond it the request is refused.

The box grows with the cube of (cell edge / wavelength); a tiny wavelength or
a huge cell would otherwise take minutes and gigabytes, and past 2³¹ per axis
the index bounds no longer fit the walk's integers.
"""


def max_lattice_points(max_work: float | None) -> float:
    """The largest index box walked under a work limit.

    A larger limit than the default allows a larger walk in proportion; a
    smaller one still the default box.

    Parameters
    ----------
    max_work : float or None
        The work limit in reflection-atom terms (None: no limit).

    Returns
    -------
    float
        Lattice points (inf without a limit).
    """
    return MAX_LATTICE_POINTS * max(1.0, (max_work or math.inf) / DEFAULT_MAX_WORK)


def _duration(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "forever"
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    if seconds < 172800:
        return f"{seconds / 3600:.0f} h"
    return f"{seconds / 86400:.3g} days"


def check_work(estimate: WorkEstimate, max_work: float | None) -> None:
    """Refuse an estimate above ``max_work`` terms.

    Parameters
    ----------
    estimate : WorkEstimate
        The calculation's expected size.
    max_work : float or None
        The limit in reflection-atom terms (None: no limit).

    Raises
    ------
    InputError
        The estimate is above the limit; the message gives the estimate,
        its rough duration and how to narrow it or raise the limit.
    """
    if max_work is None or estimate.terms <= max_work:
        return
    raise WorkLimitError(
        f"about {estimate.reflections:.3g} reflections x {estimate.atoms} atoms = {estimate.terms:.3g} "
        f"terms, about {_duration(estimate.seconds)} of work, above the limit of {max_work:.3g}: "
        "narrow the 2theta range or use a longer wavelength"
    )
