"""Wavelengths as photon energies (keV) and electron accelerating voltages
(kV), and kinematic electron patterns from the electron scattering factors."""

import math

import numpy as np
import pytest

from peakforge_pattern import compute_pattern, example_path, read_cif, resolve_wavelength
from peakforge_pattern.cli import main
from peakforge_pattern.diffraction.scattering import electron_coefficients
from peakforge_pattern.diffraction.wavelengths import electron_wavelength, photon_wavelength
from peakforge_pattern.errors import InputError


def test_energies_and_voltages_give_wavelengths():
    assert photon_wavelength(8.04) == pytest.approx(12.398419843320026 / 8.04, rel=1e-15)
    assert resolve_wavelength(" 8.04 KeV ") == resolve_wavelength("8.04keV") == photon_wavelength(8.04)
    assert resolve_wavelength("17.48keV") == pytest.approx(0.7093, abs=1e-4)  # Mo Kα1
    # Relativistic electron wavelengths as tabulated (International Tables C, table 4.3.1.1), pm.
    for kv, picometres in [(100, 3.7014), (200, 2.5079), (300, 1.9687), (1000, 0.8719)]:
        assert electron_wavelength(kv) * 100 == pytest.approx(picometres, abs=1e-4)
    assert resolve_wavelength("200kV", "electron") == electron_wavelength(200)
    # Non-relativistic, 12.2643 / √V Å, is longer by √(1 + eV / 2 m₀c²): 9 % at 200 kV.
    assert 12.2643 / math.sqrt(200e3) / electron_wavelength(200) == pytest.approx(
        math.sqrt(1 + 200 / (2 * 510.99895)), rel=1e-5
    )
    for given, radiation in [
        ("200kV", "xray"),
        ("8keV", "electron"),
        ("8keV", "neutron"),
        ("-5keV", "xray"),
        ("0kV", "electron"),
        ("infkeV", "xray"),
        ("1.2.3keV", "xray"),
    ]:
        with pytest.raises(InputError):
            resolve_wavelength(given, radiation)


def test_electron_patterns_use_the_electron_factors_without_polarisation(capsys):
    structure = read_cif(example_path("rocksalt"))
    lam = electron_wavelength(200)
    pattern = compute_pattern(structure, "200kV", (0, 4), radiation="electron")
    assert pattern.wavelength == lam and pattern.radiation == "electron"
    assert pattern.families[:3] == [[(1, 1, 1)], [(2, 0, 0)], [(2, 2, 0)]]
    for peak in range(3):
        hkl = np.array(pattern.families[peak][0])
        s2 = (0.5 / pattern.d[peak]) ** 2
        f = [sum(a * math.exp(-b * s2) for a, b in electron_coefficients(int(z))) for z in structure.atomic_numbers]
        terms = np.array(f) * np.exp(-structure.b_factors * s2) * np.exp(2j * np.pi * structure.frac_coords @ hkl)
        theta = math.radians(pattern.two_theta[peak] / 2)
        expected = abs(terms.sum()) ** 2 * pattern.multiplicities[peak][0] / (math.sin(theta) ** 2 * math.cos(theta))
        assert pattern.absolute_intensity[peak] == pytest.approx(expected, rel=1e-9)
    with pytest.raises(InputError):
        compute_pattern(structure, "200kV", (0, 4), radiation="electron", exact=True)
    # One reflection taken apart with the same factors: |F|² × m × L is the engine's peak.
    from peakforge_pattern.diffraction.structure_factor import reflection_detail

    detail = reflection_detail(structure, (2, 0, 0), "200kV", radiation="electron")
    theta = math.radians(pattern.two_theta[1] / 2)
    assert detail.f_squared * detail.multiplicity / (math.sin(theta) ** 2 * math.cos(theta)) == pytest.approx(
        pattern.absolute_intensity[1], rel=1e-9
    )

    assert (
        main(
            [
                "pattern",
                "--example",
                "rocksalt",
                "-w",
                "200kV",
                "--radiation",
                "electron",
                "--two-theta",
                "0",
                "2",
                "-f",
                "json",
            ]
        )
        == 0
    )
    assert '"radiation": "electron"' in capsys.readouterr().out
    assert main(["pattern", "-w", "8.04keV"]) == 0
    by_energy = capsys.readouterr().out
    assert main(["pattern", "-w", repr(photon_wavelength(8.04))]) == 0
    assert capsys.readouterr().out == by_energy
    assert main(["pattern", "-w", "200kV"]) == 2
    assert "--radiation electron" in capsys.readouterr().err


def test_tables_and_profiles_on_d_and_q(capsys, tmp_path):
    from peakforge_pattern.diffraction.axes import from_two_theta, to_two_theta

    two_theta = np.array([10.0, 28.4654, 90.0, 170.0])
    for axis in ("d", "q"):
        np.testing.assert_allclose(to_two_theta(axis, from_two_theta(axis, two_theta, 1.5406), 1.5406), two_theta)
    np.testing.assert_allclose(
        from_two_theta("q", two_theta, 1.5406) * from_two_theta("d", two_theta, 1.5406), 2 * np.pi
    )
    assert np.isnan(to_two_theta("d", np.array([0.5]), 1.5406))[0]  # below λ/2: out of reach

    tables = {}
    for axis in ("2theta", "d", "q"):
        assert main(["pattern", "--axis", axis, "--two-theta", "20", "60"]) == 0
        tables[axis] = [line.split() for line in capsys.readouterr().out.splitlines()[1:]]
    assert tables["d"][0][:2] == ["d", "2theta"] and tables["q"][0][:2] == ["Q", "d"]
    assert [row[:2] for row in tables["d"][1:]] == [row[1::-1] for row in tables["2theta"][1:]]
    assert float(tables["q"][1][0]) == pytest.approx(2 * math.pi / float(tables["q"][1][1]), abs=1e-4)
    assert main(["pattern", "--axis", "q", "-f", "csv"]) == 0
    header = capsys.readouterr().out.splitlines()[0].split(",")
    assert header[:3] == ["two_theta", "d", "q"]

    path = tmp_path / "si_d.xy"
    assert main(["pattern", "--axis", "d", "--xy", str(path)]) == 0
    capsys.readouterr()
    text = path.read_text()
    assert "# columns: d (A) of the 2theta grid at 1.54184 A, intensity" in text
    d, intensity = np.loadtxt(path).T
    assert np.all(np.isfinite(d)) and np.all(np.diff(d) > 0)
    assert d[np.argmax(intensity)] == pytest.approx(3.1356, abs=2e-3)  # silicon (1 1 1)
