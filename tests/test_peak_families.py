"""A pattern's families kept as arrays: the lists built from them on request
are those of the exact route's lists, four-index labels included."""

import numpy as np

from peakforge_pattern import compute_pattern, example_path, read_cif
from peakforge_pattern.diffraction.peak_families import PeakFamilies
from peakforge_pattern.profiles import pattern_profile


def test_families_stay_arrays_until_asked_for():
    corundum = read_cif(example_path("corundum"))
    pattern = compute_pattern(corundum, "CuKa", (20, 80))
    table = pattern.peak_families
    assert table.hkl.shape[1] == 3 and table.offsets[0] == 0 and table.offsets[-1] == len(table.hkl)
    assert len(table) == len(pattern) and "_lists" not in vars(table)  # nothing built yet
    # The lists are the arrays' rows, peak by peak, and convert back unchanged.
    families, multiplicities = pattern.families, pattern.multiplicities
    assert [len(f) for f in families] == np.diff(table.offsets).tolist()
    assert [hkl for peak in families for hkl in peak] == list(map(tuple, table.hkl.tolist()))
    again = PeakFamilies.from_lists(families, multiplicities)
    for name in ("hkl", "multiplicity", "offsets"):
        np.testing.assert_array_equal(getattr(again, name), getattr(table, name))
    # Four-index labels: i = -(h + k); the profile still finds each peak's (h k l).
    four = compute_pattern(corundum, "CuKa", (20, 80), hkil=True)
    assert all(len(hkl) == 4 and hkl[2] == -(hkl[0] + hkl[1]) for peak in four.families for hkl in peak)
    np.testing.assert_array_equal(four.peak_families.first(), table.first())
    grid = np.linspace(20, 80, 601)
    np.testing.assert_allclose(pattern_profile(four, grid, fwhm=0.2), pattern_profile(pattern, grid, fwhm=0.2))
    # A pattern without peaks has an empty table.
    empty = compute_pattern(example_path("silicon"), "CuKa", (1, 2))
    assert len(empty.peak_families) == 0 and empty.families == [] and empty.peak_families.first().shape == (0, 3)
    assert "(1 1 1)" in compute_pattern(example_path("silicon")).to_table()
