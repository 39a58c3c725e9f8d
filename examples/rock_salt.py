"""Powder pattern of rock salt (NaCl) with Cu K-alpha radiation.

The reflections are listed by a plain loop over Miller indices; peakforge
computes each one's 2-theta and intensity from the 8 atoms of the cubic cell.
"""

import math

import gemmi

import peakforge
from peakforge_pattern.diffraction.scattering import electron_coefficients

A = 5.6402  # cubic cell edge, angstrom
WAVELENGTH = 1.5406  # Cu K-alpha, angstrom
MAX_TWO_THETA = 90.0

fcc = [(0.0, 0.0, 0.0), (0.0, 0.5, 0.5), (0.5, 0.0, 0.5), (0.5, 0.5, 0.0)]
atoms = [("Na", p) for p in fcc] + [("Cl", ((x + 0.5) % 1.0, y, z)) for x, y, z in fcc]


g_max = 2.0 * math.sin(math.radians(MAX_TWO_THETA / 2.0)) / WAVELENGTH
n = int(g_max * A) + 1
hkls, g_hkls = [], []
for h in range(n + 1):
    for k in range(h + 1):
        for l in range(k + 1):
            g = math.sqrt(h * h + k * k + l * l) / A
            if 0.0 < g <= g_max:
                hkls.append([h, k, l])
                g_hkls.append(g)

result = peakforge.calculate_xrd_intensities(
    hkls,
    g_hkls,
    WAVELENGTH,
    [p[0] for _, p in atoms],
    [p[1] for _, p in atoms],
    [p[2] for _, p in atoms],
    [gemmi.Element(s).atomic_number for s, _ in atoms],
    [[list(pair) for pair in electron_coefficients(gemmi.Element(s).atomic_number)] for s, _ in atoms],
    [1.0] * len(atoms),
    [0.5] * len(atoms),
    False,
    0,
    False,
)

rows = sorted(zip(result, hkls), key=lambda r: r[0][0])
strongest = max(i for (_, i), _ in rows)
print(f"NaCl, a = {A} A, wavelength {WAVELENGTH} A (one reflection per {{hkl}} set)")
print(f"{'hkl':>7} {'2theta':>9} {'intensity':>12} {'relative':>9}")
for (two_theta, intensity), hkl in rows:
    if intensity > 1e-6 * strongest:
        label = "".join(str(i) for i in hkl)
        print(f"{label:>7} {two_theta:9.3f} {intensity:12.2f} {100 * intensity / strongest:9.1f}")
