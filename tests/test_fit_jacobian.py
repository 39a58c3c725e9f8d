"""The fit's analytic Jacobian: every parameter's column against central
differences of the model, and the fit it gives against the one by finite
differences."""

import numpy as np
import pytest

from peakforge_pattern import Structure, example_path
from peakforge_pattern.diffraction.request import PatternRequest
from peakforge_pattern.fitting import analytic_derivatives, fit_pattern
from peakforge_pattern.fitting.analytic_derivatives import AnalyticDerivatives
from peakforge_pattern.fitting.fit_parameters import standard_parameters
from peakforge_pattern.fitting.measured import MeasuredPattern
from peakforge_pattern.fitting.model import FitModel
from peakforge_pattern.fitting.phases import prepare_phase
from peakforge_pattern.profiles import Instrument, compute_mixture

X = np.arange(20.0, 90.0, 0.02)


def _model(shape):
    """Corundum and silicon with the doublet, dispersion per line, and every term away from its start."""
    base = Instrument(wavelength="CuKa", shape=shape, radius=173.0, monochromator_angle=26.6)
    request = PatternRequest(anomalous=True)
    phases = [
        prepare_phase(Structure.from_cif(example_path(name)), name, base.lines(1.0), X[0], X[-1], request)
        for name in ("corundum", "silicon")
    ]
    parameters = standard_parameters(base, phases, 4, {})
    model = FitModel(X, np.ones_like(X), np.ones_like(X), phases, base, parameters, {})
    moved = {
        "zero_shift": 0.03,
        "displacement": 0.08,
        "U": 0.004,
        "V": -0.002,
        "W": 0.003,
        "X": 0.02,
        "Y": 0.03,
        "eta": 0.6,
        "asymmetry": 0.12,
        "corundum B": 0.4,
        "silicon B": 0.3,
        "corundum cell a=b": 1.002,
        "corundum cell c": 0.999,
        "silicon cell a=b=c": 1.001,
    }
    parameters.update({k: v for k, v in moved.items() if k in parameters})
    return model, parameters


@pytest.mark.parametrize("shape", ["tch", "pseudo-voigt"])
def test_analytic_columns_match_central_differences_of_the_model(shape):
    model, parameters = _model(shape)
    derivatives = AnalyticDerivatives(model)
    names = derivatives.names()
    # The instrument's terms, both B, corundum's a and c, silicon's a.
    assert len(names) == (8 if shape == "tch" else 7) + 2 + 2 + 1
    values = parameters.values()
    analytic = derivatives.columns(values)
    for parameter in parameters.free:
        if parameter.name not in names:
            continue
        numeric = model.column_derivatives(values, [parameter])[0]  # no slot yet: central differences
        scale = np.abs(numeric).max()
        assert scale > 0.0, parameter.name
        assert np.abs(analytic[parameter.name] - numeric).max() <= 2e-3 * scale, parameter.name
    # The columns rendered with the derivatives are those a plain rendering gives.
    kept = model.phase_columns(values)
    model.rendered = None
    for column, fresh in zip(kept, model.phase_columns(values)):
        np.testing.assert_array_equal(column, fresh)
    # Attached, the slots give the same columns to the model.
    derivatives.attach()
    np.testing.assert_array_equal(model.column_derivatives(values, [parameters["U"]])[0], analytic["U"])


def test_fit_with_the_analytic_jacobian_agrees_with_finite_differences(tmp_path, monkeypatch):
    truth = Instrument(
        wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.03, zero_shift=0.03, asymmetry=0.1
    )
    phases = [example_path("corundum"), example_path("silicon")]
    signal = compute_mixture(phases, [0.6, 0.4], "CuKa1", (10.0, 100.0), scale="absolute").profile(X, truth)
    counts = np.random.default_rng(5).poisson(20000.0 * signal / signal.max() + 200.0).astype(float)
    measured = MeasuredPattern(X, counts, np.sqrt(np.maximum(counts, 1.0)), "synthetic")
    options = {"correction": "zero_shift", "anomalous": False, "fix": ["cell"]}
    analytic = fit_pattern(measured, phases, **options)
    monkeypatch.setattr(analytic_derivatives.AnalyticDerivatives, "attach", lambda self, parameters=None: None)
    numerical = fit_pattern(measured, phases, **options)
    assert analytic.converged and numerical.converged
    for name, value in analytic.parameters.items():
        esd = analytic.uncertainties.get(name)
        if esd:
            assert abs(value - numerical.parameters[name]) <= 0.2 * esd, name
            assert esd == pytest.approx(numerical.uncertainties[name], rel=0.05), name
    # Two paths to one minimum: they agree within a fraction of what the data determine.
    spread = 0.2 * analytic.weight_fraction_esds["corundum"]
    assert analytic.weight_fractions["corundum"] == pytest.approx(numerical.weight_fractions["corundum"], abs=spread)


def test_weight_parameters_join_the_rendering():
    """A parameter acting on one phase's peak weights gets its column from the same rendering."""
    import dataclasses

    from peakforge_pattern.fitting.analytic_derivatives import WeightDerivatives
    from peakforge_pattern.fitting.parameters import Parameter

    model, parameters = _model("tch")
    parameters.add(Parameter("corundum p", 0.1, -1.0, 1.0, kind="p", phase="corundum", step=0.01))
    corundum = model.phases[0]
    tilts = [np.linspace(-1.0, 1.0, len(peaks)) for _, _, peaks in corundum.lines]
    original = model.peaks

    def peaks(phase, values):  # corundum's weights scaled by 1 + p·tilt
        if phase is not corundum:
            return original(phase, values)
        return [
            (w, s, dataclasses.replace(p, weight=p.weight * (1.0 + values["corundum p"] * tilt)))
            for (w, s, p), tilt in zip(phase.lines, tilts)
        ]

    model.peaks = peaks
    provider = WeightDerivatives(
        ["corundum p"], lambda line, values: (corundum.lines[line][2].weight * tilts[line])[:, None]
    )
    derivatives = AnalyticDerivatives(model, {"corundum": provider})
    assert "corundum p" in derivatives.names()
    values = parameters.values()
    analytic = derivatives.columns(values)
    numeric = model.column_derivatives(values, [parameters["corundum p"]])[0]
    assert not analytic["corundum p"][1].any()  # silicon does not move
    assert np.abs(analytic["corundum p"] - numeric).max() <= 1e-6 * np.abs(numeric).max()
    # The other columns are those of the trial's own peaks.
    np.testing.assert_allclose(
        analytic["U"],
        model.column_derivatives(values, [parameters["U"]])[0],
        rtol=0,
        atol=2e-3 * np.abs(analytic["U"]).max(),
    )


def test_slots_only_for_refined_parameters():
    """A held parameter gets no slot (its columns are not rendered); freed later it is differentiated numerically."""
    model, parameters = _model("tch")
    parameters.fix(["displacement"])
    AnalyticDerivatives(model).attach()
    assert parameters["displacement"].derivative is None and parameters["zero_shift"].derivative is not None
    parameters.refine(["displacement"])
    values = parameters.values()
    column = model.column_derivatives(values, [parameters["displacement"]])[0]
    assert np.abs(column).max() > 0.0
