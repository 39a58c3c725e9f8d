"""The native binned-profile kernel: the same profile as the NumPy rendering it
replaced, derivatives of each peak term against central differences, and the
requests it refuses."""

import numpy as np
import numpy_profile_reference as reference
import pytest

from peakforge_pattern import InputError
from peakforge_pattern.diffraction.engine_route import native_engine
from peakforge_pattern.profiles.shapes import bin_edges, binned_peaks, binned_peaks_with_jacobian


def _random_peaks(rng, count, lo, hi, widest):
    return (
        rng.uniform(lo, hi, count),
        rng.uniform(1e-4, widest, count),
        rng.uniform(0.0, 1.0, count),
        rng.uniform(0.0, 100.0, count),
        rng.uniform(-0.6, 0.6, count),
    )


@pytest.mark.parametrize("case", ["mixed", "narrow", "wide", "symmetric", "uneven grid", "zero width"])
def test_native_profile_matches_the_numpy_rendering(case):
    rng = np.random.default_rng(11)
    x = np.arange(10.0, 60.0, 0.02)
    if case == "uneven grid":
        x = np.sort(rng.uniform(10.0, 60.0, 2000))
    edges = bin_edges(x)
    # Peaks beyond both ends too: their windows are cut by the range.
    centres, fwhm, eta, areas, asymmetry = _random_peaks(
        rng, 300, 0.0, 70.0, {"narrow": 0.005, "wide": 8.0}.get(case, 0.4)
    )
    if case == "symmetric":
        asymmetry = None
    if case == "zero width":
        fwhm[::3] = 0.0
        areas[::7] = 0.0
    expected = reference.binned_peaks(edges, centres, fwhm, eta, areas, asymmetry)
    native = binned_peaks(edges, centres, fwhm, eta, areas, asymmetry)
    assert np.abs(native - expected).max() <= 1e-12 * np.abs(expected).max()
    # The area is kept whatever the width, when the window lies inside the range.
    inside = (centres > 15.0) & (centres < 55.0) & (fwhm < 0.1)
    one = binned_peaks(
        edges,
        centres[inside],
        fwhm[inside],
        eta[inside],
        areas[inside],
        None if asymmetry is None else asymmetry[inside],
    )
    assert one @ np.diff(edges) == pytest.approx(areas[inside].sum(), rel=1e-9)


def test_peak_term_derivatives_match_central_differences():
    edges = bin_edges(np.arange(20.0, 40.0, 0.01))
    # A Lorentz-rich asymmetric peak, one at the range's end, one narrower than a bin.
    peaks = [(30.0, 0.3, 0.7, 50.0, 0.3), (20.1, 0.2, 0.2, 10.0, -0.4), (35.003, 0.004, 0.5, 5.0, 0.1)]
    for peak in peaks:
        columns = [np.array([v]) for v in peak]
        _, jacobian = binned_peaks_with_jacobian(edges, *columns, chain=np.eye(5)[None])
        for term in range(5):
            # Steps small against the peak's width, for the centre too.
            step = 1e-6 * (peak[1] if term < 2 else max(abs(peak[term]), 1e-2))
            up, down = list(peak), list(peak)
            up[term] += step
            down[term] -= step
            numeric = (
                binned_peaks(edges, *map(np.atleast_1d, up)) - binned_peaks(edges, *map(np.atleast_1d, down))
            ) / (2.0 * step)
            assert np.abs(jacobian[:, term] - numeric).max() <= 1e-6 * np.abs(numeric).max() + 1e-9, (peak, term)
    # A chain composes the terms: here the centre and FWHM of both peaks move with one parameter.
    columns = [np.array(v) for v in zip(*peaks[:2])]
    chain = np.zeros((2, 5, 1))
    chain[:, 0, 0], chain[:, 1, 0] = 1.0, [0.5, -0.2]
    _, combined = binned_peaks_with_jacobian(edges, *columns, chain=chain)
    expected = np.zeros(edges.size - 1)
    for p, weight in enumerate((0.5, -0.2)):
        _, single = binned_peaks_with_jacobian(edges, *[c[p : p + 1] for c in columns], chain=np.eye(5)[None])
        expected += single[:, 0] + weight * single[:, 1]
    np.testing.assert_allclose(combined[:, 0], expected, rtol=0, atol=1e-12 * np.abs(expected).max())


def test_kernel_refuses_inconsistent_requests():
    edges = bin_edges(np.arange(20.0, 30.0, 0.1))
    one = np.ones(1)
    with pytest.raises(InputError, match="finite"):
        binned_peaks(edges, one * 25.0, one * np.nan, one * 0.5, one)
    with pytest.raises(InputError, match="asymmetry"):
        binned_peaks(edges, one * 25.0, one * 0.1, one * 0.5, one, one * 1.0)
    with pytest.raises(InputError, match="evaluations"):
        binned_peaks(
            bin_edges(np.arange(0.0, 90.0, 1e-4)),
            np.full(100, 45.0),
            np.full(100, 5.0),
            np.full(100, 0.5),
            np.ones(100),
        )
    engine = native_engine()
    window = np.zeros(1, dtype=np.int32)
    with pytest.raises(ValueError, match="windows"):
        engine.binned_profile(edges, one * 25.0, one * 0.1, one * 0.5, one, one * 0.0, window, window + 500)
    with pytest.raises(ValueError, match="chain"):
        engine.binned_profile(
            edges, one * 25.0, one * 0.1, one * 0.5, one, one * 0.0, window, window + 5, np.zeros((1, 4, 2))
        )
    with pytest.raises(TypeError, match="float64"):
        engine.binned_profile(edges.astype(np.float32), one, one, one, one, one, window, window)
