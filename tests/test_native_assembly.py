"""The structure assembly in the engine against the NumPy assembly it
replaced (tests/structure_reference.py), and repeated atom rows."""

import glob
import time
from pathlib import Path

import numpy as np
import pytest
import structure_reference
from conftest import ANISO_CIF

from peakforge_pattern import Structure, read_cif
from peakforge_pattern.errors import InputError
from peakforge_pattern.structures import assembly, checks, cif, symmetry
from peakforge_pattern.structures.structure import parse_cif

ROOT = Path(__file__).resolve().parents[1]
CORPUS = sorted(
    glob.glob(str(ROOT / "python/peakforge_pattern/data/*.cif"))
    + glob.glob(str(ROOT / "tests/data/cif/*.cif"))
    + glob.glob(str(ROOT / "examples/measured/*.cif"))
    + glob.glob(str(ROOT / "../shared/data/measured/*.cif"))
)

# A mixed site, a split site, a site a little off a special position and a
# clash in one file (hexagonal, so the images need the oblique distances).
UNTIDY_CIF = """data_untidy
_cell_length_a 5.1
_cell_length_b 5.1
_cell_length_c 7.3
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 120
_symmetry_space_group_name_H-M 'P 63/m m c'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Zn1 Zn 0.3333 0.6667 0.25 0.7
Fe1 Fe 0.3333 0.6667 0.25 0.3
O1 O 0.01 0.0 0.0 1
O2 O 0.04 0.02 0.0 1
S1 S 0.5 0.0 0.1 0.5
S2 S 0.51 0.0 0.11 0.5
"""


def _read_both_ways(source, monkeypatch):
    """The structure (or error) through the engine, then through the reference."""
    results = []
    for module in (assembly, structure_reference):
        with monkeypatch.context() as patch:
            for where in (cif, checks, symmetry):
                patch.setattr(where, "assembly", module)
            try:
                results.append(read_cif(source) if isinstance(source, str) else parse_cif(source))
            except InputError as exc:
                results.append(str(exc))
    return results


def test_native_assembly_equals_the_numpy_assembly(monkeypatch, tmp_path):
    """Every bundled and test CIF, the measured phases' CIFs and files with
    anisotropic, mixed, split, off-special and clashing sites give the same
    atoms, warnings and errors both ways; so do random atoms in an oblique cell."""
    sources = [*CORPUS, ANISO_CIF.encode(), UNTIDY_CIF.encode()]
    assert len(CORPUS) >= 30
    for source in sources:
        native, reference = _read_both_ways(source, monkeypatch)
        if isinstance(reference, str):
            assert native == reference, source
            continue
        assert native.warnings == reference.warnings, source
        assert native.symmetry_operations == reference.symmetry_operations, source
        np.testing.assert_array_equal(native.atomic_numbers, reference.atomic_numbers, err_msg=str(source))
        np.testing.assert_allclose(native.frac_coords, reference.frac_coords, rtol=0, atol=1e-12, err_msg=str(source))
        np.testing.assert_array_equal(native.occupancies, reference.occupancies)
        np.testing.assert_array_equal(native.b_factors, reference.b_factors)
        assert (native.u_aniso is None) == (reference.u_aniso is None), source
        if native.u_aniso is not None:
            np.testing.assert_allclose(native.u_aniso, reference.u_aniso, rtol=1e-12, atol=1e-15)
    untidy = _read_both_ways(UNTIDY_CIF.encode(), monkeypatch)[0]
    assert any("off a special position" in w for w in untidy.warnings)
    assert any("pair(s) of sites closer" in w for w in untidy.warnings)

    rng = np.random.default_rng(11)
    lattice = np.array([[6.0, 0, 0], [-2.5, 5.2, 0], [1.5, -1.0, 7.5]])
    frac = rng.random((3000, 3)) * 2 - 0.5
    for single_bin_pairs in (1_000_000, 0):
        got = assembly.close_pairs(lattice, frac, 0.9, single_bin_pairs)
        expected = structure_reference.close_pairs(lattice, frac, 0.9, single_bin_pairs)
        for a, b in zip(got, expected):
            np.testing.assert_allclose(a, b, rtol=1e-13)
    numbers = rng.integers(1, 4, 3000).astype(np.int32)
    occupancies = rng.choice([0.3, 1.0], 3000)
    site_of = np.repeat(np.arange(1000), 3)
    got = assembly.check_close_sites(lattice, frac, numbers, occupancies, site_of, same_position=0.3, close=0.6)
    expected = structure_reference.check_close_sites(
        lattice, frac, numbers, occupancies, site_of, same_position=0.3, close=0.6
    )
    assert got.clash_first.size and got.repeated_site.size and got.merged_site.size
    for name in assembly.CloseSites.__dataclass_fields__:
        np.testing.assert_allclose(getattr(got, name), getattr(expected, name), rtol=1e-13, err_msg=name)
    with pytest.raises(InputError, match="crowd together too densely"):
        assembly.close_pairs(np.eye(3) * 3.0, np.full((4000, 3), 0.5), 0.5, 0)


def _repeated_rows(copies: int, occupancy: float = 1.0) -> bytes:
    head = """data_repeated
_cell_length_a 4.05
_cell_length_b 4.05
_cell_length_c 4.05
_symmetry_space_group_name_H-M 'F m -3 m'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
"""
    return (head + f"Al1 Al 0 0 0 {occupancy}\n" * copies + "Al2 Al 0.5 0.5 0.5 1\n").encode()


@pytest.mark.parametrize("copies", [2_000, 20_000])
def test_repeated_atom_rows_are_merged_quickly_and_counted(copies):
    """A row written thousands of times is one atom, read in well under a
    second per thousand rows; the warning counts what it lists."""
    start = time.process_time()
    structure = parse_cif(_repeated_rows(copies))
    assert time.process_time() - start < copies / 1000
    assert len(structure) == 8
    [warning] = structure.warnings
    assert warning.startswith(f"{copies - 1} site(s) repeat another") and warning.endswith(f"and {copies - 5} more")


def test_repeat_warnings_count_what_they_list():
    """Three listings of one atom name two dropped sites, each once; an exact
    copy of a half-occupied row is the same atom too."""
    three = _repeated_rows(1).replace(b"Al2 Al 0.5 0.5 0.5 1\n", b"Al2 Al 0.0 0.0 0.0 1\nAl3 Al 0.0 0.0 0.0 1\n")
    [warning] = parse_cif(three).warnings
    assert warning == "2 site(s) repeat another at the same position and were dropped: Al2 (= Al1), Al3 (= Al1)"
    half = parse_cif(_repeated_rows(2, occupancy=0.5))
    assert half.occupancies.sum() == pytest.approx(4 * 0.5 + 4)
    assert half.warnings == ("1 site(s) repeat another at the same position and were dropped: Al1 (= Al1)",)
    # Atoms given as arrays: 2000 copies of one atom are one atom.
    atoms = Structure.from_arrays([4.0] * 3 + [90] * 3, ["Fe"] * 2000, np.full((2000, 3), 0.25))
    assert len(atoms) == 1 and atoms.warnings[0].startswith("1999 site(s) repeat another")


@pytest.mark.no_sanitizer  # a sanitised build runs this several times slower
def test_two_thousand_copies_of_one_atom_merge_without_a_quadratic_walk():
    start = time.process_time()
    atoms = Structure.from_arrays([4.0] * 3 + [90] * 3, ["Fe"] * 2000, np.full((2000, 3), 0.25))
    assert len(atoms) == 1
    assert time.process_time() - start < 2.0
