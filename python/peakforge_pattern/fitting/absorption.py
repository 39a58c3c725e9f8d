"""Microabsorption: how strongly each phase absorbs, and Brindley's
correction of the intensities of a mixture of particles that absorb
differently.

A phase's linear absorption coefficient μ = ρ Σ wⱼ (μ/ρ)ⱼ follows from its
composition and density (cell mass over cell volume) at the energy of
each emission line, from the tables of xraydb (Elam, Ravel and Sieber).

In a mixture, particles of phase i of radius R diffract as if their amount
were τᵢ times what it is (Brindley, Phil. Mag. 36 (1945) 347):
τᵢ = (1/V) ∫ exp(−(μᵢ − μ̄) x) dV over a particle, x the path of a ray in
it and μ̄ the mean coefficient of the solid, Σ vⱼ μⱼ over the phases'
volume fractions. For a sphere, with the rays taken in and out along the
beam (Brindley's angle-independent form), x = 2s for a point at depth s
along its chord, which integrates to

    τ(a) = 3 / (4a) · [1/2 − (1 − e⁻ᵘ (1 + u)) / u²],   u = 4a,  a = (μᵢ − μ̄) R.

τ is 1 for a = 0, below 1 for phases absorbing more than the mean. The
weight fractions of a fit are then wᵢ ∝ Sᵢ ZMVᵢ / τᵢ.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import gemmi
import numpy as np

from ..optional import require
from ..profiles.mixture import density
from ..structures.structure import Structure

PLANCK_EV_ANGSTROM = 12398.419843320026
"""h c in eV·Å: energy (eV) = this / wavelength (Å)."""

_MICRON_CM = 1e-4


def formula(structure: Structure) -> str:
    """The cell's content as a formula ("Al12 O18"), occupancies included."""
    counts: dict[int, float] = {}
    for z, occupancy in zip(structure.atomic_numbers.tolist(), structure.occupancies.tolist()):
        counts[int(z)] = counts.get(int(z), 0.0) + float(occupancy)
    return " ".join(f"{gemmi.Element(z).name}{n:.6g}" for z, n in sorted(counts.items()) if n > 0.0)


def linear_absorption(structure: Structure, lines: Sequence[tuple[float, float]]) -> float:
    """Linear absorption coefficient (1/cm) of the crystal, averaged over the
    emission lines (wavelength in Å, share of the intensity).

    Raises
    ------
    InputError
        When xraydb (the fit extra) is not installed.
    """
    xraydb = require("xraydb", "fit", "microabsorption")
    text = formula(structure).replace(" ", "")
    rho = density(structure)
    return float(
        sum(
            share * xraydb.material_mu(text, PLANCK_EV_ANGSTROM / wavelength, density=rho)
            for wavelength, share in lines
        )
    )


def brindley_tau(a: float) -> float:
    """Brindley's particle absorption factor τ of a sphere, a = (μᵢ − μ̄) R."""
    u = 4.0 * a
    if abs(u) < 1e-2:  # the closed form cancels badly here; its series instead
        return 1.0 - 1.5 * a + 1.6 * a * a - (4.0 / 3.0) * a**3
    u = max(u, -600.0)  # e⁶⁰⁰ is still finite; no real powder gets near
    return 3.0 / (4.0 * a) * (0.5 - (1.0 - math.exp(-u) * (1.0 + u)) / (u * u))


def brindley_factors(
    mu: Sequence[float], densities: Sequence[float], weight_fractions: Sequence[float], radii_microns: Sequence[float]
) -> np.ndarray:
    """τ of each phase in a mixture of these weight fractions.

    ``mu`` in 1/cm, ``densities`` in g/cm³, radii in µm (0: no correction
    for that phase).
    """
    mu_array = np.asarray(mu, dtype=float)
    volumes = np.asarray(weight_fractions, dtype=float) / np.asarray(densities, dtype=float)
    total = volumes.sum()
    mean = float(mu_array @ volumes / total) if total > 0.0 else float(mu_array.mean())
    return np.array(
        [brindley_tau((m - mean) * r * _MICRON_CM) if r > 0.0 else 1.0 for m, r in zip(mu_array, radii_microns)]
    )


def corrected_fractions(
    amounts: np.ndarray,
    mu: Sequence[float],
    densities: Sequence[float],
    radii_microns: Sequence[float],
    rounds: int = 50,
) -> tuple[np.ndarray, np.ndarray]:
    """Weight fractions from the amounts S·ZMV, corrected by Brindley's τ, and the τ.

    τ depends on the mean absorption, which depends on the fractions: the
    two are solved together by repeated substitution (it converges in a few
    rounds for any real mixture).
    """
    amounts = np.asarray(amounts, dtype=float)
    total = amounts.sum()
    if not total > 0.0:
        return np.zeros(amounts.size), np.ones(amounts.size)
    fractions = amounts / total
    tau = np.ones(amounts.size)
    for _ in range(rounds):
        tau = brindley_factors(mu, densities, fractions, radii_microns)
        corrected = amounts / tau
        updated = corrected / corrected.sum()
        if np.max(np.abs(updated - fractions)) < 1e-12:
            fractions = updated
            break
        fractions = updated
    return fractions, tau
