"""The pattern engine of peakforge_pattern: one call per structure, NumPy arrays in and out."""

from collections.abc import Callable
from typing import Any

import numpy as np

class WorkLimitError(ValueError):
    """A symmetry search of atoms given without operations beyond max_work terms."""

def compute_peak_table(
    reciprocal: object,
    wavelength: float,
    min_g: float,
    max_g: float,
    frac_coords: object,
    species_index: object,
    occupancies: object,
    b_factors: object,
    anisotropic_beta: object | None,
    species_atomic_numbers: object,
    species_electron_pairs: object,
    species_constants: object,
    rotations: object,
    translations: object,
    *,
    radiation: str = "xray",
    anomalous: bool = False,
    monochromator_two_theta: float = 0.0,
    merge_tolerance: float = 1e-05,
    relative_threshold: float = 0.001,
    max_walk: float = 5e6,
    max_work: float = ...,
    parallel: bool = True,
    num_threads: int = 0,
    use_simd: bool = True,
    progress: Callable[[int, int], None] | None = None,
    derivatives: bool = False,
) -> dict[str, Any]:
    """The peak table of one structure, as a dict of NumPy columns (see diffraction/engine_route.py); with
    derivatives, also those of each peak's absolute intensity by every atom's fractional coordinates
    (d_frac, peaks x atoms x 3), B (d_b) and occupancy (d_occupancy). A shell spanning more than max_walk
    index triples is refused before it is walked; a symmetry search of atoms without operations beyond
    max_work terms raises WorkLimitError."""

def lorentz_polarisation(
    two_theta: object,
    *,
    radiation: str = "xray",
    monochromator_two_theta: float = 0.0,
) -> np.ndarray:
    """The Lorentz-polarisation factor the peaks carry, at each 2theta (degrees; a float64 array)."""

def binned_profile(
    edges: object,
    centre: object,
    fwhm: object,
    eta: object,
    area: object,
    asymmetry: object,
    first: object,
    last: object,
    chain: object | None = None,
) -> tuple[np.ndarray, np.ndarray | None]:
    """Mean over each bin of cut pseudo-Voigt peaks (see profiles/shapes.py), and with a chain
    (peaks x 5 x parameters) the Jacobian (bins x parameters)."""

def compute_reflection_table(
    reciprocal: object,
    wavelength: float,
    min_g: float,
    max_g: float,
    frac_coords: object,
    species_index: object,
    occupancies: object,
    b_factors: object,
    anisotropic_beta: object | None,
    species_atomic_numbers: object,
    species_electron_pairs: object,
    species_constants: object,
    rotations: object,
    translations: object,
    *,
    radiation: str = "xray",
    anomalous: bool = False,
    max_walk: float = 5e6,
    max_work: float = ...,
    parallel: bool = True,
    num_threads: int = 0,
    use_simd: bool = True,
    progress: Callable[[int, int], None] | None = None,
) -> dict[str, Any]:
    """Every set of equivalent reflections of the shell, unmerged, with |F|^2, whether the space group
    extinguishes it, and the operations the atoms follow (see diffraction/engine_route.py)."""

def assemble_sites(
    lattice: object,
    sites: object,
    site_numbers: object,
    site_occupancies: object,
    rotations: object,
    translations: object,
    *,
    same_position: float,
    close: float,
    occupancy_slack: float,
) -> dict[str, Any]:
    """Listed sites expanded by the operations and their close atoms sorted out (see structures/assembly.py)."""

def check_close_sites(
    lattice: object,
    frac_coords: object,
    atomic_numbers: object,
    occupancies: object,
    site_of: object | None = None,
    *,
    same_position: float,
    close: float,
    occupancy_slack: float,
) -> dict[str, Any]:
    """The close-site check of atoms whose listed sites site_of gives (default: each its own)."""

def close_pairs(
    lattice: object, frac_coords: object, radius: float, single_bin_pairs: int = 1000000
) -> tuple[Any, Any, Any]:
    """Pairs i < j of atoms closer than radius (Å) over the periodic images, and their distances."""

def expand_sites(
    lattice: object, sites: object, rotations: object, translations: object, tolerance: float
) -> tuple[Any, Any, Any]:
    """Every image of every site wrapped into the cell, images of one site within tolerance (Å) once."""

def metric_mismatch(lattice: object, rotations: object) -> float:
    """Largest relative change of the cell's metric tensor under the rotations."""
