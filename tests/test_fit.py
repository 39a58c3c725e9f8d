"""Fitting measured patterns: a synthetic mixture with known answers, the
round-robin scans of corundum and fluorite (Madsen et al., J. Appl. Cryst.
34 (2001) 409), and the files the readers must refuse."""

import json
import sys
from pathlib import Path

import numpy as np
import pytest

from peakforge_pattern import InputError, Structure, compute_pattern, example_path
from peakforge_pattern.cli import main
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.measured import MeasuredPattern, read_measured
from peakforge_pattern.profiles import Instrument, compute_mixture, pattern_profile

MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"  # real scans, see SOURCES.md there


def test_fit_recovers_a_synthetic_mixture(tmp_path, capsys):
    phases = [str(example_path("corundum")), str(example_path("silicon"))]
    x = np.arange(20.0, 90.0, 0.02)
    truth = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.03, zero_shift=0.03)
    mixture = compute_mixture(phases, [0.7, 0.3], "CuKa1", (10.0, 100.0), scale="absolute")
    signal = mixture.profile(x, truth)
    expected = 20000.0 * signal / signal.max() + 300.0 - 1.5 * (x - 20.0) + 0.012 * (x - 20.0) ** 2
    counts = np.random.default_rng(7).poisson(expected)
    scan = tmp_path / "mixture.xy"
    np.savetxt(scan, np.column_stack([x, counts]), header="synthetic 70/30 corundum/silicon")

    # The truth has a zero shift, no displacement, the files' cells and no dispersion: fit that.
    status = main(
        [
            "fit",
            str(scan),
            *phases,
            "-f",
            "json",
            "--plot",
            str(tmp_path / "fit.png"),
            "--fix",
            "displacement",
            "cell",
            "--refine",
            "zero",
            "--no-anomalous",
        ]
    )
    result = json.loads(capsys.readouterr().out)
    assert status == 0 and (tmp_path / "fit.png").stat().st_size > 10_000
    fractions = {p["name"]: p["weight_fraction"] for p in result["phases"]}
    assert fractions["corundum"] == pytest.approx(0.7, abs=0.01)
    assert fractions["silicon"] == pytest.approx(0.3, abs=0.01)
    assert result["parameters"]["zero_shift"] == pytest.approx(0.03, abs=0.005)
    assert result["rwp"] <= 1.1 * result["rexp"]


def test_fit_of_the_measured_corundum_and_fluorite_scans():
    corundum = read_measured(MEASURED / "qarr_corundum.prn")
    cif = MEASURED / "corundum_Al2O3_bilbao.cif"
    # Peaks sit below the file's cell positions by a few hundredths of a degree.
    shifted = fit_pattern(
        corundum, [cif], refine_b=True, monochromator_angle=26.6, correction="zero_shift", refine_cell=False
    )
    assert -0.06 < shifted.parameters["zero_shift"] < -0.02 and shifted.rwp < 0.2
    # The flat sample displaced (17.3 cm goniometer) and the cell refined fit far better.
    displaced = fit_pattern(
        corundum,
        [cif],
        correction="displacement",
        radius=173.0,
        refine_cell=True,
        refine_b=True,
        monochromator_angle=26.6,
    )
    a, _, c = displaced.phases[0].cell[:3]
    assert displaced.rwp < 0.16 and displaced.rexp < displaced.rwp
    assert 0.05 < displaced.parameters["displacement"] < 0.2
    assert a == pytest.approx(4.7589, abs=0.002) and c == pytest.approx(12.992, abs=0.005)
    assert 0.0 < displaced.phases[0].b_overall < 1.0

    fluorite = fit_pattern(
        MEASURED / "qarr_fluorite.prn",
        [MEASURED / "fluorite_CaF2.cif"],
        correction="displacement",
        radius=173.0,
        refine_cell=True,
        refine_b=True,
        monochromator_angle=26.6,
    )
    assert fluorite.phases[0].cell[0] == pytest.approx(5.4631, abs=0.002) and fluorite.rwp < 0.2
    assert fluorite.phases[0].cell[0] == fluorite.phases[0].cell[2]  # still cubic


@pytest.mark.parametrize(
    "name, text, problem",
    [
        ("empty.xy", "# 2theta counts\n", "no numbers found"),
        ("one.xy", "10\n11\n12\n", "only one column"),
        ("back.xy", "10 5\n10.02 6\n10.01 7\n", "2theta must increase: point 3"),
        ("gap.csv", "2theta,counts\n10,5\n10.02,nan\n", "intensity of point 2 is nan"),
        ("broken.xrdml", "<xrdMeasurements><scan>", "not a readable XML file"),
    ],
)
def test_bad_measured_files_get_one_line_and_status_2(tmp_path, capsys, name, text, problem):
    path = tmp_path / name
    path.write_text(text)
    assert main(["fit", str(path), str(example_path("silicon"))]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and problem in err and "Traceback" not in err


def test_xrdml_scan_with_its_wavelengths(tmp_path):
    path = tmp_path / "scan.xrdml"
    path.write_text("""<?xml version="1.0" encoding="UTF-8"?>
<xrdMeasurements xmlns="http://www.xrdml.com/XRDMeasurement/1.5">
  <xrdMeasurement measurementType="Scan">
    <usedWavelength intended="K-Alpha 1">
      <kAlpha1 unit="Angstrom">1.5405980</kAlpha1><kAlpha2 unit="Angstrom">1.5444260</kAlpha2>
      <ratioKAlpha2KAlpha1>0.5000</ratioKAlpha2KAlpha1>
    </usedWavelength>
    <scan><dataPoints>
      <positions axis="2Theta" unit="deg"><startPosition>10.00</startPosition><endPosition>10.06</endPosition></positions>
      <positions axis="Omega" unit="deg"><startPosition>5.00</startPosition><endPosition>5.03</endPosition></positions>
      <commonCountingTime unit="seconds">4.0</commonCountingTime>
      <intensities unit="counts">100 25 0 9</intensities>
    </dataPoints></scan>
  </xrdMeasurement>
</xrdMeasurements>""")
    scan = read_measured(path)
    assert np.allclose(scan.two_theta, [10.0, 10.02, 10.04, 10.06])
    assert np.allclose(scan.intensity, [100, 25, 0, 9]) and scan.wavelength == (1.540598, 1.544426, 0.5)
    assert np.allclose(scan.uncertainty, [5.0, 2.5, 0.25, 1.5])  # √(I·t)/t; a zero count as one


def test_refined_cells_keep_their_crystal_system():
    from peakforge_pattern.fitting.cell_constraints import CellConstraints

    cells = {
        (4.76, 4.76, 12.99, 90, 90, 120): ["a=b", "c"],
        (5.43, 5.43, 5.43, 90, 90, 90): ["a=b=c"],
        (5.1, 5.1, 5.1, 55.3, 55.3, 55.3): ["a=b=c", "alpha=beta=gamma"],
        (5.0, 6.0, 7.0, 90, 101.5, 90): ["a", "b", "c", "beta"],
    }
    for cell, free in cells.items():
        constraints = CellConstraints.of(Structure.from_arrays(cell, ["Si"], [[0, 0, 0]]))
        assert constraints.names == free
        changed = constraints.cell(np.full(len(free), 1.001))
        assert changed == pytest.approx([v * 1.001 if v not in (90, 120) else v for v in cell])


def test_fit_refines_a_strained_cell_of_synthetic_data():
    silicon = Structure.from_cif(example_path("silicon"))
    bigger = Structure.from_arrays(
        silicon.lattice * 1.002,
        silicon.atomic_numbers,
        silicon.frac_coords,
        b_factors=silicon.b_factors,
        name="silicon",
    )
    x = np.arange(20.0, 120.0, 0.02)
    signal = pattern_profile(
        compute_pattern(bigger, "CuKa", (10.0, 130.0)), x, Instrument(W=0.004, eta=0.4, zero_shift=-0.02)
    )
    counts = np.random.default_rng(3).poisson(5000.0 * signal / signal.max() + 100.0)
    result = fit_pattern(
        MeasuredPattern.from_arrays(x, counts),
        [silicon],
        shape="pseudo-voigt",
        refine_cell=True,
        background_terms=3,
        correction="zero_shift",
        anomalous=False,
    )
    assert result.phases[0].cell[0] == pytest.approx(5.431 * 1.002, abs=2e-4)
    assert result.parameters["zero_shift"] == pytest.approx(-0.02, abs=0.005)
    assert result.parameters["eta"] == pytest.approx(0.4, abs=0.05) and result.chi2 < 1.2


def test_fitting_without_scipy_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    with pytest.raises(
        InputError, match=r"fitting needs scipy, which is not installed: pip install 'peakforge\[fit\]'"
    ):
        fit_pattern(MEASURED / "qarr_fluorite.prn", [MEASURED / "fluorite_CaF2.cif"])


def test_readers_skip_headers_and_comments(tmp_path):
    text = tmp_path / "scan.csv"
    text.write_text("Instrument: lab\n2theta,counts,esd\n# comment\n10.0,4,2\n10.5,9,3\n")
    scan = read_measured(text)
    assert np.allclose(scan.two_theta, [10.0, 10.5]) and np.allclose(scan.uncertainty, [2, 3])
    listed = tmp_path / "listed.xrdml"
    listed.write_text(
        '<xrdMeasurements><dataPoints><positions axis="2Theta">'
        "<listPositions>20 20.5 21.5</listPositions></positions>"
        "<counts>16 25 36</counts></dataPoints></xrdMeasurements>"
    )
    scan = read_measured(listed)
    assert np.allclose(scan.two_theta, [20, 20.5, 21.5]) and np.allclose(scan.uncertainty, [4, 5, 6])
