"""How each element scatters the chosen radiation, as the pattern engine
takes it: per species the atomic number and electron scattering-factor
pairs (X-rays, through the Mott–Bethe relation) and a constant complex term
(X-rays: the anomalous dispersion f′ + i f″ at the beam's energy, from
gemmi's Cromer–Liberman calculation; neutrons: the coherent scattering
length in fm, from gemmi's table). Electrons scatter with the electron
scattering factors themselves (kinematic: no Mott–Bethe conversion, no
polarisation), from the same table."""

from __future__ import annotations

import functools

import gemmi
import numpy as np

from ..errors import InputError
from .scattering import electron_coefficients

RADIATIONS = ("xray", "neutron", "electron")

HC_EV_ANGSTROM = 12398.419843320026
"""h·c in eV·Å: a photon of wavelength λ Å has the energy hc/λ eV."""


@functools.cache
def _electron_pairs(z: int) -> np.ndarray:
    return np.array(electron_coefficients(z), dtype=float).reshape(-1, 2)


@functools.lru_cache(maxsize=4096)
def dispersion(z: int, wavelength: float) -> tuple[float, float]:
    """f′ and f″ of element z at the photon energy of ``wavelength`` (Å)."""
    return gemmi.cromer_liberman(z=z, energy=HC_EV_ANGSTROM / wavelength)


@functools.cache
def neutron_scattering_length(z: int) -> float:
    """Bound coherent scattering length of the natural element, in fm."""
    coefs = gemmi.Element(z).neutron92.get_coefs()
    if not coefs or coefs[0] == 0.0:
        raise InputError(f"no neutron scattering length is tabulated for {gemmi.Element(z).name}")
    return float(coefs[0])


def species_tables(
    elements: np.ndarray, radiation: str, wavelength: float, anomalous: bool
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Atomic numbers (s,), electron pairs (s, m, 2) and constants (s, 2)
    of the distinct ``elements``, in that order."""
    zs = [int(z) for z in elements]
    constants = np.zeros((len(zs), 2))
    if radiation == "neutron":
        constants[:, 0] = [neutron_scattering_length(z) for z in zs]
        return np.zeros(len(zs)), np.zeros((len(zs), 0, 2)), constants
    # X-rays take f0 from these pairs by the Mott–Bethe relation, electrons as they are.
    pairs = [_electron_pairs(z) for z in zs]
    width = max((p.shape[0] for p in pairs), default=0)
    # A species with fewer pairs is padded with (0, 0): a term of 0.
    padded = np.zeros((len(zs), width, 2))
    for i, p in enumerate(pairs):
        padded[i, : p.shape[0]] = p
    if anomalous:
        constants[:] = [dispersion(z, wavelength) for z in zs]
    return np.array(zs, dtype=float), padded, constants
