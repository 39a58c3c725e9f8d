"""A default fit a user can trust: the geometry model (displacement refined,
zero held), physical peak widths, refinement in stages with other starts,
e.s.d.s corrected for serially correlated residuals, and the warnings
that say when a number cannot be trusted."""

import json
import math
from pathlib import Path

import numpy as np
import pytest

from peakforge_pattern import Structure, compute_pattern
from peakforge_pattern.cli import main
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.serial_correlation import corrected_covariance, durbin_watson, residual_correlation
from peakforge_pattern.fitting.width_constraints import PhysicalWidths, gaussian_width_squared
from peakforge_pattern.measurements import MeasuredPattern, read_scan
from peakforge_pattern.profiles import Instrument, pattern_profile

MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"
SCANS = Path(__file__).resolve().parent / "data" / "scans"
FLUORITE, ZINCITE = MEASURED / "fluorite_CaF2.cif", MEASURED / "zincite_ZnO.cif"


def scan_of(structure: Structure, instrument: Instrument, x: np.ndarray, seed: int = 1, name: str = "synthetic"):
    """Poisson counts of one phase's profile on a flat background, without dispersion."""
    profile = pattern_profile(
        compute_pattern(structure, "CuKa1", (x[0] - 5, x[-1] + 5), anomalous=False), x, instrument
    )
    counts = np.random.default_rng(seed).poisson(20000.0 * profile / profile.max() + 300.0)
    return MeasuredPattern.from_arrays(x, counts, name=name)


def test_the_default_model_recovers_a_cell_and_a_displacement_without_bias():
    fluorite = Structure.from_cif(FLUORITE)
    strained = Structure.from_arrays(
        fluorite.lattice * 1.001, fluorite.atomic_numbers, fluorite.frac_coords, b_factors=fluorite.b_factors
    )
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03)
    truth = truth.replace(displacement=0.2, radius=173.0)
    scan = scan_of(strained, truth, np.arange(20.0, 140.0, 0.02))
    result = fit_pattern(scan, [fluorite], radius=173.0, background_terms=3, anomalous=False)
    a, a_esd = result.phases[0].cell[0], result.phases[0].cell_esd[0]
    assert result.parameters["zero_shift"] == 0.0 and "zero_shift" not in result.refined
    assert abs(a - 1.001 * fluorite.lattice[0, 0]) < 3.0 * a_esd < 2e-4
    displacement = result.parameters["displacement"]
    assert abs(displacement - 0.2) < 3.0 * result.uncertainties["displacement"] < 0.02
    assert result.correction == "displacement" and not [w for w in result.warnings if "correlated" in w]
    # Refining the zero too lets it trade off against the displacement and the cell: the fit says so.
    both = fit_pattern(scan, [fluorite], radius=173.0, background_terms=3, anomalous=False, refine=["zero"])
    assert both.correction == "zero_shift+displacement"
    assert any("zero_shift and displacement are correlated" in w for w in both.warnings)


def test_widths_stay_physical_where_a_box_bounded_fit_drove_them_negative():
    # A nearly Lorentzian pseudo-Voigt: refined as plain U, V, W within their bounds, the Gaussian
    # width² went negative above 2theta 20° here (and U, V, W came out with e.s.d.s of 1e-13).
    zincite = Structure.from_cif(ZINCITE)
    x = np.arange(10.0, 140.0, 0.02)
    truth = Instrument(wavelength="CuKa", shape="pseudo-voigt", U=0.0, V=0.0, W=0.001, eta=0.9)
    scan = scan_of(zincite, truth, x, seed=3)
    result = fit_pattern(scan, [zincite], shape="pseudo-voigt", anomalous=False, fix=["cell"])
    u, v, w = (result.parameters[n] for n in "UVW")
    scale = np.max(np.abs(gaussian_width_squared(u, v, w, x)))
    assert np.all(gaussian_width_squared(u, v, w, np.linspace(0.1, 179.0, 500)) >= -1e-9 * scale)
    assert any("Gaussian width reaches zero" in warning for warning in result.warnings)
    assert all(result.uncertainties.get(n, 1.0) > 1e-7 for n in "UVW") and result.rwp < 1.3 * result.rexp


@pytest.mark.parametrize(("u", "v", "w"), [(0.004, -0.002, 0.003), (0.002, -0.02, 0.01), (0.0, 0.01, 0.0)])
def test_the_width_variables_map_onto_physical_widths_and_back(u, v, w):
    from peakforge_pattern.fitting.fit_parameters import instrument_parameters
    from peakforge_pattern.fitting.parameters import ParameterSet

    parameters = ParameterSet(instrument_parameters(Instrument(shape="tch", U=u, V=v, W=w)))
    widths = PhysicalWidths(parameters)
    x = parameters.start()
    z = widths.internal(x)
    back = widths.external(z)
    names = [p.name for p in parameters.free]
    t = np.linspace(0.0, 50.0, 2001)
    assert np.all(back[names.index("U")] * t * t + back[names.index("V")] * t + back[names.index("W")] >= -1e-15)
    if v >= -2.0 * math.sqrt(u * w):  # already physical: unchanged
        assert back == pytest.approx(x, abs=1e-12)
    # The chain rule's derivative against differences.
    step = 1e-7
    numerical = np.column_stack(
        [(widths.external(z + step * e) - widths.external(z - step * e)) / (2 * step) for e in np.eye(z.size)]
    )
    assert widths.derivative(z) == pytest.approx(numerical, abs=1e-6)


def test_corrected_esds_cover_errors_of_serially_correlated_residuals():
    # A linear model of two peaks and a background, noise correlated over neighbouring points (AR(1),
    # rho 0.8, as a profile-shape misfit gives): least squares' e.s.d.s are too small, the corrected
    # ones cover the errors as often as they should.
    x = np.linspace(-1.0, 1.0, 1500)
    design = np.column_stack([np.exp(-((x - 0.2) ** 2) / 0.002), np.exp(-((x + 0.3) ** 2) / 0.01), np.ones_like(x)])
    truth = np.array([2.0, 1.0, 0.5])
    inside_raw = inside_corrected = 0
    seeds = range(100)
    for seed in seeds:
        rng = np.random.default_rng(seed)
        white = rng.normal(size=x.size)
        noise = np.empty(x.size)
        noise[0] = white[0]
        for i in range(1, x.size):
            noise[i] = 0.8 * noise[i - 1] + 0.6 * white[i]
        estimate, *_ = np.linalg.lstsq(design, design @ truth + noise, rcond=None)
        residuals = design @ truth + noise - design @ estimate
        chi2 = residuals @ residuals / (x.size - 3)
        norms = np.linalg.norm(design, axis=0)
        scaled = design / norms
        inverse = np.linalg.inv(scaled.T @ scaled)
        raw = np.sqrt(np.diag(inverse) * chi2) / norms
        corrected = np.sqrt(np.diag(corrected_covariance(scaled, inverse, residual_correlation(residuals))) * chi2)
        corrected /= norms
        inside_raw += int(np.sum(np.abs(estimate - truth) < 2.0 * raw))
        inside_corrected += int(np.sum(np.abs(estimate - truth) < 2.0 * corrected))
        assert 0.2 < durbin_watson(residuals) < 0.6  # ≈ 2 (1 − 0.8)
    # Within 2 e.s.d.s: 95 % of normal errors; over 300 of them, 88 % is 5 standard deviations below.
    assert inside_raw / (3 * len(seeds)) < 0.6 and inside_corrected / (3 * len(seeds)) > 0.88


def test_the_result_says_what_its_esds_cover(tmp_path, capsys):
    fluorite = Structure.from_cif(FLUORITE)
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03)
    scan = scan_of(fluorite, truth, np.arange(20.0, 100.0, 0.02))
    path = tmp_path / "fluorite.xy"
    np.savetxt(path, np.column_stack([scan.two_theta, scan.intensity]))
    assert main(["fit", str(path), str(FLUORITE), "--background", "3", "--no-anomalous", "-f", "json"]) == 0
    document = json.loads(capsys.readouterr().out)
    phase = document["phases"][0]
    assert phase["cell_esd"][0] >= phase["cell_esd_raw"][0] > 0.0 and phase["scale_esd"] >= phase["scale_esd_raw"]
    assert 1.5 < document["durbin_watson"] < 2.5  # the model is the truth: residuals all but independent
    names, matrix = document["correlations"]["names"], np.array(document["correlations"]["matrix"])
    assert matrix.shape == (len(names), len(names)) and np.allclose(np.diag(matrix), 1.0)
    assert set(document["uncertainties_raw"]) == set(document["uncertainties"]) and "serial" in document["esd_cover"]
    assert main(["fit", str(path), str(FLUORITE), "--background", "3", "--no-anomalous"]) == 0
    last = capsys.readouterr().out.strip().splitlines()[-1]
    assert last.startswith("e.s.d.s cover counting statistics") and "Durbin-Watson d" in last


def test_parameters_the_data_cannot_tell_apart_are_undetermined():
    # Two files of one phase (read twice here): only the sum of the two scales is determined.
    fluorite, again = Structure.from_cif(FLUORITE), Structure.from_cif(FLUORITE)
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03)
    scan = scan_of(fluorite, truth, np.arange(20.0, 100.0, 0.02))
    result = fit_pattern(scan, [fluorite, again], background_terms=3, anomalous=False, retries=0)
    scales = {"fluorite_CaF2#1 scale", "fluorite_CaF2#2 scale"}
    assert scales <= set(result.undetermined) and not scales & set(result.uncertainties)
    assert any("fluorite_CaF2#1 scale is not determined by the data" in w for w in result.warnings)


def test_a_fit_from_a_poor_start_is_tried_again_and_keeps_the_best():
    fluorite = Structure.from_cif(FLUORITE)
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.0, V=0.0, W=0.002, X=0.0, Y=0.0)
    scan = scan_of(fluorite, truth, np.arange(20.0, 120.0, 0.02))
    first = fit_pattern(scan, [fluorite], background_terms=3, anomalous=False)
    again = fit_pattern(scan, [fluorite], background_terms=3, anomalous=False)
    assert first.rwp == again.rwp and first.parameters == again.parameters  # the same input, the same answer
    assert any("tried again from 2 other start(s) because" in w for w in first.warnings)  # a width stops at 0
    once = fit_pattern(scan, [fluorite], background_terms=3, anomalous=False, retries=0, staged=False)
    assert first.rwp <= once.rwp * (1.0 + 1e-6) and not any("tried again" in w for w in once.warnings)


@pytest.mark.parametrize(
    ("name", "radius"),
    [("TiO2-2-3h-2.ras", 150.0), ("TwoTheta_scan_powder.rasx", 300.0), ("23-012-AG_2thomegascan_long.brml", 300.0)],
)
def test_scan_headers_give_the_goniometer_radius(name, radius):
    assert read_scan(SCANS / name).radius == radius


def test_an_xrdml_header_gives_radius_and_geometry_and_the_command_line_overrides(tmp_path):
    fluorite = Structure.from_cif(FLUORITE)
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03, zero_shift=0.05)
    scan = scan_of(fluorite, truth, np.arange(25.0, 95.0, 0.02))
    counts = " ".join(str(int(c)) for c in scan.intensity)
    path = tmp_path / "capillary.xrdml"
    path.write_text(
        f"""<?xml version="1.0" encoding="UTF-8"?>
<xrdMeasurements xmlns="http://www.xrdml.com/XRDMeasurement/1.5">
  <xrdMeasurement measurementType="Scan" sampleMode="Transmission">
    <incidentBeamPath><radius unit="mm">240.00</radius></incidentBeamPath>
    <diffractedBeamPath><radius unit="mm">145.00</radius></diffractedBeamPath>
    <scan><dataPoints>
      <positions axis="2Theta" unit="deg"><startPosition>25.00</startPosition>
        <endPosition>{scan.two_theta[-1]:.2f}</endPosition></positions>
      <counts unit="counts">{counts}</counts>
    </dataPoints></scan>
  </xrdMeasurement>
</xrdMeasurements>"""
    )
    read = read_scan(path)
    assert (read.radius, read.geometry) == (145.0, "transmission")
    # Transmission: the zero shift is refined, the displacement (of a flat plate in reflection) held.
    result = fit_pattern(read, [fluorite], background_terms=3, anomalous=False)
    assert result.instrument.radius == 145.0 and result.correction == "zero_shift"
    assert result.parameters["zero_shift"] == pytest.approx(0.05, abs=0.01)
    assert fit_pattern(read, [fluorite], background_terms=3, anomalous=False, radius=200.0).instrument.radius == 200.0


def mixture_scan(structures, fractions, samples, x, seed=4):
    """Poisson counts of a weighed mixture (profiles scaled by w / ZMV), without dispersion."""
    from peakforge_pattern.profiles.mixture import cell_mass, cell_volume

    instrument = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03)
    total = np.zeros(x.size)
    for structure, fraction, sample in zip(structures, fractions, samples):
        pattern = compute_pattern(structure, "CuKa1", (x[0] - 5, x[-1] + 5), scale="absolute", anomalous=False)
        total += (
            pattern_profile(pattern, x, instrument, sample) * fraction / (cell_mass(structure) * cell_volume(structure))
        )
    counts = np.random.default_rng(seed).poisson(20000.0 * total / total.max() + 300.0)
    return MeasuredPattern.from_arrays(x, counts, name="mixture")


def test_a_textured_phase_gets_a_hint_of_preferred_orientation():
    from peakforge_pattern.profiles import Sample

    zincite, corundum = Structure.from_cif(ZINCITE), Structure.from_cif(MEASURED / "corundum_Al2O3_bilbao.cif")
    plates = Sample(preferred_orientation=(0, 0, 1), march_r=0.75)
    scan = mixture_scan([zincite, corundum], [0.5, 0.5], [plates, None], np.arange(25.0, 95.0, 0.025))
    result = fit_pattern(scan, [zincite, corundum], anomalous=False, background_terms=3, retries=0)
    assert result.orientation_hints == {"zincite_ZnO": (0, 0, 1)}
    assert any("try --orientation zincite_ZnO:001" in w for w in result.warnings)


def test_microabsorption_is_pointed_out_and_brindley_refused_beyond_its_range(capsys):
    from peakforge_pattern import example_path

    tungsten, corundum = Structure.from_cif(example_path("tungsten")), Structure.from_cif(example_path("corundum"))
    scan = mixture_scan([tungsten, corundum], [0.3, 0.7], [None, None], np.arange(30.0, 100.0, 0.02))
    result = fit_pattern(scan, [tungsten, corundum], anomalous=False, background_terms=3, retries=0)
    hint = [w for w in result.warnings if "microabsorption may bias" in w]
    assert len(hint) == 1 and "tungsten absorbs" in hint[0] and "--particle-size" in hint[0]
    # 50 um corundum particles: mu R = 0.63, beyond Brindley's correction: one line, status 2.
    files = [str(MEASURED / n) for n in ("qarr_cpd-1e.prn", "corundum_Al2O3_bilbao.cif", "fluorite_CaF2.cif")]
    assert main(["fit", *files, "--particle-size", "50"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "corundum_Al2O3_bilbao: mu R = 0.63" in err and "Brindley" in err


def test_a_p1_file_is_refined_in_the_group_its_atoms_follow(tmp_path):
    import gemmi

    from peakforge_pattern.structures.cif_writer import SiteRecord, cif_text

    zincite = Structure.from_cif(ZINCITE)
    sites = [
        SiteRecord(f"{gemmi.Element(int(z)).name}{i + 1}", gemmi.Element(int(z)).name, tuple(map(float, f)), 1.0, 0.55)
        for i, (z, f) in enumerate(zip(zincite.atomic_numbers, zincite.frac_coords))
    ]
    p1 = tmp_path / "zincite_P1.cif"
    p1.write_text(cif_text("zincite_P1", (3.2495, 3.2495, 5.2069, 90.0, 90.0, 120.0), [None] * 6, ["x,y,z"], sites))
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.02, Y=0.03)
    scan = scan_of(zincite, truth, np.arange(20.0, 130.0, 0.02))
    result = fit_pattern(
        scan, [p1], background_terms=3, anomalous=False, refine_atoms=True, refine=["b-sites"], retries=0
    )
    assert any("follow P6_3mc" in w and "refined in that group" in w for w in result.warnings)
    atoms = result.phases[0].atoms
    assert [a.element for a in atoms] == ["Zn", "O"]  # one site per orbit, not four atoms
    esds = [e for a in atoms for e in (*a.xyz_esd, a.b_esd) if e is not None]
    assert len(esds) == 3 and max(esds) < 1.0  # O z, and the two B
    assert "x-y,x,z+1/2" in result.phases[0].cif.replace(" ", "").lower()
    oxygen = result.to_dict()["phases"][0]["atoms"][1]
    assert oxygen["z_esd"] >= oxygen["z_esd_raw"] > 0.0 and oxygen["x_esd_raw"] is None
