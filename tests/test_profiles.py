"""Powder profiles: areas, Kα doublets, widths and their bounds, preferred
orientation, intensity scales and mixtures, profile files."""

import dataclasses
import math
from collections import UserList

import numpy as np
import pytest

from peakforge_pattern import InputError, compute_pattern, example_path
from peakforge_pattern.cli import main
from peakforge_pattern.diffraction.engine_route import lorentz_polarisation
from peakforge_pattern.diffraction.wavelengths import ANODE_LINES
from peakforge_pattern.fitting.measured import read_measured
from peakforge_pattern.profiles import Instrument, Sample, compute_mixture, pattern_profile


@pytest.fixture(scope="module")
def silicon():
    return compute_pattern(example_path("silicon"), "CuKa1", (20.0, 80.0))


@pytest.mark.parametrize(
    "instrument, sample",
    [
        (Instrument.with_fwhm(1e-6), None),  # far narrower than a bin
        (Instrument.with_fwhm(0.05, eta=0.0), None),  # Gaussian
        (Instrument.with_fwhm(0.05, eta=1.0), None),  # Lorentzian, long tails
        (
            Instrument(shape="tch", U=0.01, V=-0.005, W=0.004, X=0.02, Y=0.01, asymmetry=0.05),
            Sample(crystallite_size=40.0, microstrain=2e-3),
        ),
    ],
)
def test_each_peak_area_is_its_stick_intensity(silicon, instrument, sample):
    step = 0.004
    x = np.arange(0.0, 120.0, step)  # wide enough for every peak's window
    area = pattern_profile(silicon, x, instrument, sample).sum() * step
    assert area == pytest.approx(silicon.intensity.sum(), rel=1e-6)


@pytest.mark.parametrize(
    "fields, monochromator",
    [
        ({"radiation": "neutron", "wavelength": 1.5}, 26.6),  # a monochromator does not polarise neutrons
        ({"monochromator_angle": 26.6, "wavelength": "CuKa1"}, 26.6),
        ({"monochromator_angle": 26.6, "wavelength": "CuKa1", "scale": "absolute"}, None),  # the pattern's
        ({"wavelength": "CuKa1", "exact": True}, 0.0),
    ],
)
def test_the_profile_takes_the_lp_factor_the_peaks_carry(fields, monochromator):
    pattern = compute_pattern(example_path("corundum"), two_theta_range=(20.0, 100.0), **fields)
    assert pattern.lorentz_polarisation.shape == pattern.two_theta.shape
    np.testing.assert_allclose(
        pattern.lorentz_polarisation,
        lorentz_polarisation(pattern.two_theta, pattern.radiation, pattern.monochromator_angle),
        rtol=1e-13,
    )
    step = 0.004
    x = np.arange(0.0, 120.0, step)
    area = pattern_profile(pattern, x, Instrument.with_fwhm(0.05, monochromator_angle=monochromator)).sum() * step
    assert area == pytest.approx(pattern.intensity.sum(), rel=1e-6)
    # A pattern read back without the column (as from a batch) gets the same profile.
    bare = dataclasses.replace(pattern, lorentz_polarisation=None)
    np.testing.assert_allclose(
        pattern_profile(bare, x[::50], fwhm=0.2), pattern_profile(pattern, x[::50], fwhm=0.2), rtol=1e-12
    )


def test_k_alpha_lines_sit_at_their_own_angles_with_lp_at_theirs():
    pattern = compute_pattern(example_path("tungsten"), "CuKa", (30.0, 140.0))
    step = 0.0005
    x = np.arange(130.0, 135.0, step)
    y = pattern_profile(pattern, x, fwhm=0.01)
    d = pattern.d[np.argmin(abs(pattern.two_theta - 131.2))]  # (3 2 1)
    expected = [2.0 * math.degrees(math.asin(ANODE_LINES[line] / (2.0 * d))) for line in ("CuKa1", "CuKa2")]
    peaks = [
        x[lo + np.argmax(y[lo:hi])]
        for lo, hi in ((np.searchsorted(x, c - 0.05), np.searchsorted(x, c + 0.05)) for c in expected)
    ]
    assert peaks == pytest.approx(expected, abs=step)
    assert expected[1] - expected[0] > 0.5  # resolved at high angle
    # Kα2 carries half of Kα1 times the ratio of the LP factors at the two angles.
    middle = 0.5 * sum(expected)
    areas = [y[x < middle].sum(), y[x >= middle].sum()]
    lp1, lp2 = lorentz_polarisation(np.array(expected))
    assert areas[1] / areas[0] == pytest.approx(0.5 * lp2 / lp1, rel=1e-3)


def test_extreme_widths_give_a_bounded_grid_or_a_clear_refusal(silicon, tmp_path, capsys):
    flat = pattern_profile(silicon, np.linspace(20.0, 80.0, 601), fwhm=1e6)
    assert np.all(np.isfinite(flat)) and np.ptp(flat) < 1e-6 * flat.max()
    with pytest.raises(InputError, match="finite"):
        pattern_profile(silicon, np.linspace(20.0, 80.0, 601), fwhm=math.inf)
    corundum = compute_pattern(example_path("corundum"), "CuKa", (0.0, 180.0))
    with pytest.raises(InputError, match="evaluations"):
        pattern_profile(corundum, np.linspace(0.0, 180.0, 1_000_000), fwhm=100.0)
    # From the command line: an absurd step or an infinite width is refused.
    assert main(["pattern", "--xy", str(tmp_path / "p.xy"), "--step", "1e-9"]) == 2
    assert main(["pattern", "--fwhm", "inf"]) == 2
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 2 and "points, more than" in err[0] and "finite" in err[1]
    assert not (tmp_path / "p.xy").exists()


def test_march_dollase_averages_over_each_peaks_reflections():
    pattern = compute_pattern(example_path("tungsten"), "CuKa1", (50.0, 60.0))  # (2 0 0) alone
    r = 0.5
    plates = pattern_profile(
        pattern,
        np.arange(50.0, 60.0, 0.01),
        Instrument.with_fwhm(0.05),
        Sample(preferred_orientation=(1, 0, 0), march_r=r),
    )
    plain = pattern_profile(pattern, np.arange(50.0, 60.0, 0.01), Instrument.with_fwhm(0.05))
    # Of the six (2 0 0) reflections two lie along the preferred normal, four across it.
    assert plates.sum() / plain.sum() == pytest.approx((2 * r**-3 + 4 * r**1.5) / 6, rel=1e-9)


def test_scales_and_mixtures():
    full = compute_pattern(example_path("silicon"), "CuKa", (40.0, 60.0), scale="full")
    inside = compute_pattern(example_path("silicon"), "CuKa", (40.0, 60.0))
    whole = compute_pattern(example_path("silicon"), "CuKa", (0.0, 90.0))
    assert full.intensity[0] == pytest.approx(whole.intensity[1]) and inside.intensity[0] == 100.0
    assert "0-180" in full.scale_description and "40-60" in inside.scale_description
    absolute = compute_pattern(example_path("silicon"), "CuKa", (40.0, 60.0), scale="absolute")
    assert np.array_equal(absolute.intensity, absolute.absolute_intensity)

    # A phase mixed with itself is that phase; two phases share one scale.
    same = compute_mixture([example_path("silicon")] * 2, [0.25, 0.75], "CuKa", (0.0, 90.0))
    assert np.allclose(same.patterns[1].intensity, whole.intensity)
    assert np.allclose(same.patterns[0].intensity, whole.intensity / 3.0)
    # An absolute mixture is not per unit cell: its header must say by what each phase is weighted.
    absolute_mix = compute_mixture([example_path("silicon")] * 2, [0.25, 0.75], "CuKa", (0.0, 90.0), scale="absolute")
    assert "per unit cell x weight fraction" in absolute_mix.scale_description
    mixed = compute_mixture([example_path("silicon"), example_path("corundum")], [1, 1])
    assert max(p.intensity.max() for p in mixed.patterns) == 100.0
    with pytest.raises(InputError, match="2 phases need 2"):
        compute_mixture([example_path("silicon"), example_path("corundum")], [1.0])
    # One sample per phase in any sequence, not only a list or tuple.
    x, instrument, samples = np.arange(20.0, 80.0, 0.05), Instrument.with_fwhm(0.1), [Sample(20.0), None]
    assert np.array_equal(mixed.profile(x, instrument, UserList(samples)), mixed.profile(x, instrument, samples))


def test_profile_file_reads_back(tmp_path, capsys):
    path = tmp_path / "mix.xye"
    status = main(
        [
            "pattern",
            "--example",
            "corundum",
            "--example",
            "silicon",
            "--mix",
            "0.7",
            "0.3",
            "--xy",
            str(path),
            "--two-theta",
            "20",
            "80",
            "--step",
            "0.02",
            "--shape",
            "tch",
            "--caglioti",
            "0.004",
            "-0.002",
            "0.003",
            "--zero-shift",
            "0.03",
        ]
    )
    out = capsys.readouterr().out
    assert status == 0 and out.startswith("# intensity scale max")
    header = [line for line in path.read_text().splitlines() if line.startswith("#")]
    assert any("1.540562 A (66.7 %), 1.544390 A (33.3 %)" in line for line in header)
    measured = read_measured(path)
    assert len(measured) == 3001 and measured.two_theta[-1] == pytest.approx(80.0)
    counted = measured.intensity > 0.0  # a zero count reads as an uncertainty of one
    assert np.allclose(measured.uncertainty[counted], np.sqrt(measured.intensity[counted]), rtol=1e-6)
    assert np.all(measured.uncertainty[~counted] == 1.0)


def test_size_broadening_follows_scherrer():
    pattern = compute_pattern(example_path("tungsten"), "CuKa1", (70.0, 76.0))  # (2 1 1) alone
    x = np.arange(70.0, 76.0, 0.0005)
    size = 20.0  # nm
    y = pattern_profile(pattern, x, Instrument(shape="tch", W=0.0), Sample(crystallite_size=size))
    above = x[y >= y.max() / 2.0]
    theta = math.radians(pattern.two_theta[0] / 2.0)
    scherrer = math.degrees(0.9 * pattern.wavelength / (10.0 * size * math.cos(theta)))
    assert above[-1] - above[0] == pytest.approx(scherrer, abs=0.001)


def test_scale_is_named_in_every_output_format(capsys):
    for output_format, named in (("csv", ",absolute\n"), ("json", '"intensity_scale": "absolute"')):
        assert main(["pattern", "--scale", "absolute", "-f", output_format]) == 0
        assert named in capsys.readouterr().out


@pytest.mark.parametrize(
    "argv, problem",
    [
        (["--example", "silicon", "--example", "tungsten", "--xy", "p.xy"], "--xy writes one profile"),
        (["--example", "silicon", "--example", "tungsten", "--mix", "0.5"], "one weight fraction per structure"),
        (["--example", "silicon", "--xy", "p.txt"], "written as .xy"),
        (["--eta", "1.5"], "eta must lie between 0 and 1"),
        (["--preferred-orientation", "1", "0.5", "0", "0.8"], "whole Miller indices"),
        (["--size", "-3"], "crystallite size must be a positive"),
    ],
)
def test_profile_options_refuse_with_one_line(capsys, tmp_path, monkeypatch, argv, problem):
    monkeypatch.chdir(tmp_path)
    assert main(["pattern", *argv]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and problem in err
    assert list(tmp_path.iterdir()) == []
