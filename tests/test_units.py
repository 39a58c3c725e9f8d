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
        math.sqrt(1 + 200 / (2 * 510.99895)), rel=1e-5)
    for given, radiation in [("200kV", "xray"), ("8keV", "electron"), ("8keV", "neutron"), ("CuKa", "electron"),
                             ("-5keV", "xray"), ("0kV", "electron"), ("infkeV", "xray"), ("1.2.3keV", "xray")]:
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

    assert main(["pattern", "--example", "rocksalt", "-w", "200kV", "--radiation", "electron",
                 "--two-theta", "0", "2", "-f", "json"]) == 0
    assert '"radiation": "electron"' in capsys.readouterr().out
    assert main(["pattern", "-w", "8.04keV"]) == 0
    by_energy = capsys.readouterr().out
    assert main(["pattern", "-w", repr(photon_wavelength(8.04))]) == 0
    assert capsys.readouterr().out == by_energy
    assert main(["pattern", "-w", "200kV"]) == 2
    assert "--radiation electron" in capsys.readouterr().err
