"""Peak intensities' derivatives with respect to atoms and sites, against
central differences of the intensities the pattern engine computes."""

import dataclasses

import gemmi
import numpy as np
import pytest

from peakforge_pattern import InputError, Structure, compute_pattern, example_path
from peakforge_pattern.diffraction.intensity_derivatives import intensity_derivatives, sum_over_images

RANGE = (15.0, 100.0)
STEP = 1e-6


def _intensities(structure, **options):
    return intensity_derivatives(structure, "CuKa", RANGE, relative_threshold=0.0, **options).intensity


def _central(structure, field, index, options):
    values = getattr(structure, field).copy()
    values[index] += STEP
    up = _intensities(dataclasses.replace(structure, **{field: values}), **options)
    values[index] -= 2.0 * STEP
    down = _intensities(dataclasses.replace(structure, **{field: values}), **options)
    return (up - down) / (2.0 * STEP)


@pytest.mark.parametrize("case", ["xray", "monochromator", "neutron", "anomalous", "anisotropic"])
def test_atom_derivatives_match_central_differences(case):
    options = {
        "monochromator": {"monochromator_angle": 26.6},
        "neutron": {"radiation": "neutron"},
        "anomalous": {"anomalous": True},
    }.get(case, {})
    corundum = Structure.from_cif(example_path("corundum"))
    rng = np.random.default_rng(3)
    # Distinct B and occupancies, so no derivative vanishes by accident.
    structure = dataclasses.replace(
        corundum, b_factors=rng.uniform(0.2, 0.8, len(corundum)), occupancies=rng.uniform(0.7, 1.0, len(corundum))
    )
    if case == "anomalous":  # no centre of symmetry left: F(h) and F(-h) differ, and a peak holds both
        structure = dataclasses.replace(structure, frac_coords=structure.frac_coords + rng.normal(0, 0.02, (30, 3)))
    if case == "anisotropic":  # every other atom with its own U (B then unused)
        u = np.full((len(corundum), 6), np.nan)
        u[::2] = [0.01, 0.012, 0.008, 0.001, 0.0, -0.002]
        structure = dataclasses.replace(structure, u_aniso=u)
    result = intensity_derivatives(structure, "CuKa", RANGE, relative_threshold=0.0, **options)
    assert result.d_frac.shape == (len(result), len(structure), 3)
    # Rows are the pattern's peaks, on its absolute scale.
    pattern = compute_pattern(structure, "CuKa", RANGE, scale="absolute", **options)
    kept = intensity_derivatives(structure, "CuKa", RANGE, **options)
    np.testing.assert_allclose(kept.two_theta, pattern.two_theta, rtol=0, atol=1e-12)
    np.testing.assert_allclose(kept.intensity, pattern.absolute_intensity, rtol=1e-12)

    scale = np.abs(result.intensity).max()
    for atom in (0, 7, len(structure) - 1):
        for axis in range(3):
            numeric = _central(structure, "frac_coords", (atom, axis), options)
            np.testing.assert_allclose(result.d_frac[:, atom, axis], numeric, rtol=0, atol=1e-7 * scale)
        np.testing.assert_allclose(
            result.d_b[:, atom], _central(structure, "b_factors", atom, options), rtol=0, atol=1e-7 * scale
        )
        if case == "anisotropic" and atom % 2 == 0:
            assert not result.d_b[:, atom].any() and result.d_occupancy[:, atom].any()
        np.testing.assert_allclose(
            result.d_occupancy[:, atom], _central(structure, "occupancies", atom, options), rtol=0, atol=1e-7 * scale
        )


def _expanded(site, ops, lattice):
    """A P2_1/c cell from one general site and a fixed Ca at the origin's images."""
    images = np.array([op.apply_to_xyz(site) for op in ops]) % 1.0
    fixed = np.array([[0.0, 0.0, 0.0], [0.0, 0.5, 0.5]])
    return Structure.from_arrays(
        lattice,
        ["O"] * len(ops) + ["Ca"] * 2,
        np.vstack([images, fixed]),
        b_factors=[0.5] * (len(ops) + 2),
        symmetry_operations=[op.triplet() for op in ops],
    )


def test_site_derivatives_through_the_images():
    ops = list(gemmi.SpaceGroup("P 1 21/c 1").operations())
    lattice = (5.1, 6.3, 7.2, 90.0, 101.0, 90.0)
    site = [0.13, 0.27, 0.31]
    structure = _expanded(site, ops, lattice)
    result = intensity_derivatives(structure, "CuKa", RANGE, relative_threshold=0.0)
    rotations = np.array([np.array(op.rot) / op.DEN for op in ops] + [np.eye(3)] * 2)
    site_of = np.array([0] * len(ops) + [1, 2])
    per_site = sum_over_images(result.d_frac, site_of, rotations)
    assert per_site.shape == (len(result), 3, 3)
    scale = np.abs(result.intensity).max()
    for axis in range(3):
        up, down = list(site), list(site)
        up[axis] += STEP
        down[axis] -= STEP
        numeric = (_intensities(_expanded(up, ops, lattice)) - _intensities(_expanded(down, ops, lattice))) / (
            2.0 * STEP
        )
        np.testing.assert_allclose(per_site[:, 0, axis], numeric, rtol=0, atol=1e-7 * scale)
    # B of a site moves all its images: the per-atom derivatives add up.
    b_site = sum_over_images(result.d_b, site_of)
    assert b_site.shape == (len(result), 3)
    np.testing.assert_allclose(b_site[:, 0], result.d_b[:, : len(ops)].sum(axis=1))
    with pytest.raises(ValueError, match="rotation"):
        sum_over_images(result.d_frac, site_of)


def test_requests_refused_in_one_line():
    corundum = Structure.from_cif(example_path("corundum"))
    with pytest.raises(InputError, match="2theta range"):
        intensity_derivatives(corundum, "CuKa", (50.0, 20.0))
    with pytest.raises(InputError, match="monochromator"):
        intensity_derivatives(corundum, "CuKa", RANGE, monochromator_angle=float("nan"))
    with pytest.raises(InputError, match="radiation"):
        intensity_derivatives(corundum, "CuKa", RANGE, radiation="muon")
    with pytest.raises(InputError, match="limit"):
        intensity_derivatives(corundum, 0.05, (0.0, 180.0), max_work=1e6)
