"""Native inner loops of a powder X-ray diffraction pattern calculation.

Every parameter is required and may be given by position or by keyword.
Sequences are anything indexable that is not a str: list, tuple, range,
bytes, a NumPy array. Numbers are anything with __float__ or __index__.
"""

from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar

import numpy

_T_co = TypeVar("_T_co", covariant=True)

class _Sequence(Protocol[_T_co]):
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __len__(self) -> int: ...

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Reals: TypeAlias = _Sequence[_Real]
_Indices: TypeAlias = _Sequence[_Sequence[SupportsIndex]]
_Bool: TypeAlias = bool | numpy.bool

__all__ = [
    "get_unique_families_rust",
    "generate_hkl_points",
    "calculate_xrd_intensities",
    "merge_peaks",
    "normalize_intensities",
]

def get_unique_families_rust(hkls: _Indices) -> dict[tuple[int, ...], int]:
    """Groups index tuples that differ by a permutation and sign changes:
    each family's greatest member and how many input tuples it holds."""

def generate_hkl_points(recip_matrix: _Sequence[_Reals], max_r: _Real, min_r: _Real) -> list[tuple[list[float], float]]:
    """([h, k, l], g) of every lattice point but the origin with
    min_r <= g <= max_r, the reciprocal basis given as rows; sorted by g."""

def calculate_xrd_intensities(
    hkls: _Sequence[_Reals],
    g_hkls: _Reals,
    wavelength: _Real,
    frac_coords_x: _Reals,
    frac_coords_y: _Reals,
    frac_coords_z: _Reals,
    atomic_numbers: _Sequence[SupportsIndex],
    scattering_coeffs: _Sequence[_Sequence[_Reals]],
    occupancies: _Reals,
    dw_factors: _Reals,
    parallel: _Bool,
    num_threads: SupportsIndex,
    use_simd: _Bool,
) -> list[tuple[float, float]]:
    """(2θ in degrees, intensity) of every reflection, in input order."""

def merge_peaks(
    two_thetas: _Reals,
    intensities: _Reals,
    hkls: _Indices,
    d_hkls: _Reals,
    tolerance: _Real,
) -> tuple[list[float], list[float], list[list[list[int]]], list[float]]:
    """Merges runs of peaks within `tolerance` of their run's first peak:
    (2θ, summed intensity, every member's indices, d) per merged peak."""

def normalize_intensities(intensities: _Reals, max_value: _Real) -> list[float]:
    """Scales the intensities so that the largest becomes max_value."""
