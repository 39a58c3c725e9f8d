"""Analytic derivatives of a phase's binned profile with respect to every
parameter that has one, against central differences of the profile."""

import numpy as np
import pytest

from peakforge_pattern import Structure, compute_pattern, example_path
from peakforge_pattern.fitting.cell_constraints import CellConstraints
from peakforge_pattern.profiles import Instrument, Sample
from peakforge_pattern.profiles.profile import PhasePeaks, line_set, render_in_bins
from peakforge_pattern.profiles.profile_derivatives import PROFILE_TERMS, line_set_with_chain
from peakforge_pattern.profiles.shapes import bin_edges, binned_peaks_with_jacobian

INSTRUMENT = {
    "wavelength": "CuKa",
    "U": 0.004,
    "V": -0.002,
    "W": 0.003,
    "X": 0.02,
    "Y": 0.03,
    "eta": 0.4,
    "asymmetry": 0.15,
    "zero_shift": 0.02,
    "displacement": 0.1,
    "radius": 173.0,
    "monochromator_angle": 26.6,
}


@pytest.mark.parametrize("shape", ["tch", "pseudo-voigt"])
def test_every_analytic_derivative_matches_central_differences(shape):
    # A hexagonal cell (two free lengths), the Kα doublet, asymmetry, displacement and B all on.
    structure = Structure.from_cif(example_path("corundum"))
    peaks = PhasePeaks.from_pattern(compute_pattern(structure, "CuKa1", (10.0, 100.0), scale="absolute"))
    constraints = CellConstraints.of(structure)
    edges = bin_edges(np.arange(20.0, 90.0, 0.02))
    start = {**INSTRUMENT, "b_overall": 0.4, "cell 0": 1.001, "cell 1": 0.999}

    def profile(values):
        instrument = Instrument(shape=shape, **{k: values[k] for k in INSTRUMENT})
        reciprocal = constraints.reciprocal(np.array([values["cell 0"], values["cell 1"]]))
        return render_in_bins(line_set(peaks, instrument, Sample(b_overall=values["b_overall"]), reciprocal), edges)

    terms = [t for t in PROFILE_TERMS if t != ("eta" if shape == "tch" else "X") and (shape == "tch" or t != "Y")]
    factors = np.array([1.001, 0.999])
    lines, chain = line_set_with_chain(
        peaks,
        Instrument(shape=shape, **INSTRUMENT),
        Sample(b_overall=0.4),
        constraints.reciprocal(factors),
        terms=terms,
        spacing_derivatives=constraints.spacing_derivatives(peaks.hkl, factors),
    )
    values, jacobian = binned_peaks_with_jacobian(
        edges, lines.two_theta, lines.fwhm, lines.eta, lines.area, lines.asymmetry, chain
    )
    np.testing.assert_array_equal(values, profile(start))
    for k, name in enumerate(terms + ["cell 0", "cell 1"]):
        step = (1e-8 if name.startswith("cell") else 1e-6) * max(abs(start[name]), 1e-2)
        numeric = (profile({**start, name: start[name] + step}) - profile({**start, name: start[name] - step})) / (
            2.0 * step
        )
        assert np.abs(jacobian[:, k] - numeric).max() <= 2e-6 * np.abs(numeric).max(), name
    with pytest.raises(ValueError, match="size"):
        line_set_with_chain(peaks, Instrument(shape=shape, **INSTRUMENT), terms=["size"])


def test_spacing_derivatives_of_a_triclinic_cell():
    structure = Structure.from_arrays((5.1, 6.2, 7.3, 81.0, 97.0, 103.0), ["Si"], [[0.1, 0.2, 0.3]])
    constraints = CellConstraints.of(structure)
    assert len(constraints.groups) == 6
    hkl = np.array([[1, 0, 0], [1, -2, 3], [0, 1, 1], [2, 1, -1]])
    factors = np.array([1.01, 0.99, 1.0, 1.002, 0.998, 1.0])
    analytic = constraints.spacing_derivatives(hkl, factors)
    for k in range(6):
        up, down = factors.copy(), factors.copy()
        up[k] += 1e-7
        down[k] -= 1e-7
        spacing = [1.0 / np.linalg.norm(hkl @ constraints.reciprocal(f), axis=1) for f in (up, down)]
        np.testing.assert_allclose(analytic[:, k], (spacing[0] - spacing[1]) / 2e-7, rtol=1e-6, atol=1e-9)


def test_profile_derivatives_by_atom_coordinates_through_the_weights():
    """A structure's intensity derivatives become profile derivatives through the area row."""
    import dataclasses

    from peakforge_pattern.diffraction.engine_route import lorentz_polarisation
    from peakforge_pattern.diffraction.intensity_derivatives import intensity_derivatives

    structure = Structure.from_cif(example_path("corundum"))
    instrument = Instrument(shape="tch", **{**INSTRUMENT, "monochromator_angle": 0.0})
    edges = bin_edges(np.arange(20.0, 90.0, 0.02))
    atom, axis = 3, 2

    def profile(frac):
        moved = dataclasses.replace(structure, frac_coords=frac)
        pattern = compute_pattern(moved, "CuKa1", (10.0, 100.0), scale="absolute")
        return render_in_bins(line_set(PhasePeaks.from_pattern(pattern), instrument, Sample(b_overall=0.4)), edges)

    pattern = compute_pattern(structure, "CuKa1", (10.0, 100.0), scale="absolute")
    found = intensity_derivatives(structure, "CuKa1", (10.0, 100.0))
    np.testing.assert_array_equal(found.two_theta, pattern.two_theta)
    weights = found.d_frac[:, atom, axis : axis + 1] / lorentz_polarisation(found.two_theta)[:, None]
    lines, chain = line_set_with_chain(
        PhasePeaks.from_pattern(pattern), instrument, Sample(b_overall=0.4), terms=["U"], weight_derivatives=weights
    )
    _, jacobian = binned_peaks_with_jacobian(
        edges, lines.two_theta, lines.fwhm, lines.eta, lines.area, lines.asymmetry, chain
    )
    step = 1e-6
    up, down = structure.frac_coords.copy(), structure.frac_coords.copy()
    up[atom, axis] += step
    down[atom, axis] -= step
    numeric = (profile(up) - profile(down)) / (2.0 * step)
    assert np.abs(numeric).max() > 0.0
    assert np.abs(jacobian[:, 1] - numeric).max() <= 1e-6 * np.abs(numeric).max()
    with pytest.raises(ValueError, match="one row per reflection"):
        line_set_with_chain(PhasePeaks.from_pattern(pattern), instrument, terms=["U"], weight_derivatives=weights[1:])
