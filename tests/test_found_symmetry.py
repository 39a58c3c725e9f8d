"""Atoms given in P1 are computed with the space group they follow (named in
a note), unless asked to keep P1."""

import numpy as np
from conftest import symmetric_structure

from peakforge_pattern import Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.cli import main
from peakforge_pattern.structures.found_symmetry import find_symmetry, given_without_symmetry


def p1_cif(structure, digits=6):
    """The structure written as a P1 file: every atom, the identity its only operation."""
    a, b, c, al, be, ga = structure.cell_parameters
    rows = "\n".join(
        f"{s}{i} {s} {x:.{digits}f} {y:.{digits}f} {z:.{digits}f} {bb / 78.9568:.5f}"
        for i, (s, (x, y, z), bb) in enumerate(zip(structure.symbols, structure.frac_coords, structure.b_factors))
    )
    return (
        f"data_p1\n_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n_cell_angle_alpha {al}\n"
        f"_cell_angle_beta {be}\n_cell_angle_gamma {ga}\n_symmetry_space_group_name_H-M 'P 1'\n"
        "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\nloop_\n_atom_site_label\n_atom_site_type_symbol\n"
        "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_U_iso_or_equiv\n" + rows + "\n"
    )


def supercell(structure, na, nb=1, nc=1):
    """The structure's every atom repeated na, nb and nc times along a, b and c, given in P1."""
    shifts = [(i, j, k) for i in range(na) for j in range(nb) for k in range(nc)]
    frac = np.vstack([(structure.frac_coords + shift) / [na, nb, nc] for shift in shifts])
    a, b, c, *angles = structure.cell_parameters
    return Structure.from_arrays(
        [na * a, nb * b, nc * c, *angles],
        list(structure.symbols) * len(shifts),
        frac,
        b_factors=np.tile(structure.b_factors, len(shifts)),
        symmetry_operations=["x,y,z"],
    )


ZINCITE = symmetric_structure(
    "P 63 m c", [3.2498, 3.2498, 5.2066, 90, 90, 120], [("Zn", (1 / 3, 2 / 3, 0)), ("O", (1 / 3, 2 / 3, 0.3819))]
)


def test_p1_zincite_reads_with_the_families_of_its_atoms(tmp_path, capsys):
    path = tmp_path / "zincite_p1.cif"
    path.write_text(p1_cif(ZINCITE, digits=4))  # 0.3333 for 1/3: rounded as files are
    structure = read_cif(path)
    assert given_without_symmetry(structure) and find_symmetry(structure).describe() == "P6_3mc (No. 186)"
    found = compute_pattern(structure, "CuKa", (20, 80), hkil=True)
    assert found.families[0] == [(1, 0, -1, 0)] and found.multiplicities[0] == [6]
    assert found.notes == (
        "given in P1, its atoms follow P6_3mc (No. 186): reflections and families are those of P6_3mc",
    )
    assert found.families == compute_pattern(ZINCITE, "CuKa", (20, 80), hkil=True).families
    kept = compute_pattern(structure, "CuKa", (20, 80), as_given=True)
    assert kept.families[0] == [(1, 0, 0), (1, -1, 0), (0, 1, 0)] and kept.multiplicities[0] == [2, 2, 2]
    assert kept.notes == () and found.structure.symmetry_operations == ("x,y,z",)
    # The same peaks; the written sites (0.3333) follow the symmetry only to 1e-4, and so do the intensities.
    np.testing.assert_allclose(found.absolute_intensity, kept.absolute_intensity, rtol=3e-3)

    # On the command line the note is one line on standard error; --as-given keeps P1 silently.
    assert main(["pattern", str(path), "--two-theta", "30", "33", "--hkil"]) == 0
    out, err = capsys.readouterr()
    assert "(1 0 -1 0)" in out
    assert err.strip() == f"peakforge: note: {path}: {found.notes[0]}"


def test_p1_corundum_loses_its_extinct_families_and_random_atoms_stay_p1(tmp_path, capsys):
    path = tmp_path / "corundum_p1.cif"
    path.write_text(p1_cif(read_cif(example_path("corundum"))))
    pattern = compute_pattern(read_cif(path), "CuKa", (20, 40))
    assert pattern.families[0] == [(0, 1, 2)] and pattern.multiplicities[0] == [6]
    assert "R-3c (No. 167)" in pattern.notes[0]

    rng = np.random.default_rng(7)
    random = symmetric_structure(
        "P 1", [5.1, 6.2, 7.3, 81, 95, 99], [("Fe", rng.uniform(0, 1, 3)), ("O", rng.uniform(0, 1, 3))]
    )
    assert compute_pattern(random, "CuKa", (10, 60)).notes == ()
    assert main(["pattern", str(path), "--as-given", "--two-theta", "25", "26"]) == 0
    out, err = capsys.readouterr()
    assert err == "" and "(1 0 2)" in out


def test_a_p1_cell_too_large_to_search_is_computed_as_given(tmp_path, monkeypatch):
    from peakforge_pattern.structures import found_symmetry

    path = tmp_path / "zincite_p1.cif"
    path.write_text(p1_cif(ZINCITE))
    monkeypatch.setattr(found_symmetry, "MAX_SEARCHED_ATOMS", 3)
    pattern = compute_pattern(read_cif(path), "CuKa", (30, 33))
    assert pattern.families[0] == [(1, 0, 0), (1, -1, 0), (0, 1, 0)]
    assert pattern.notes == (
        "given in P1 with 4 atoms: computed in P1 (symmetry is looked for in cells of up to 3 atoms)",
    )


def test_a_supercell_whose_operations_no_triplet_can_hold_is_computed_in_p1(tmp_path):
    # Tripled along a, corundum's rhombohedral centring becomes shifts in ninths,
    # which operation readers cannot take: the file computes as given, with a note.
    path = tmp_path / "corundum_311_p1.cif"
    path.write_text(p1_cif(supercell(read_cif(example_path("corundum")), 3)))
    pattern = compute_pattern(path, "CuKa", (20, 60))
    assert pattern.notes == (
        "given in P1, its atoms follow R-3c (No. 167), but not with operations this cell can write "
        "as x,y,z triplets: computed in P1",
    )
    kept = compute_pattern(path, "CuKa", (20, 60), as_given=True)
    np.testing.assert_array_equal(pattern.absolute_intensity, kept.absolute_intensity)


def test_shared_sites_and_cells_of_lower_lattice_symmetry(tmp_path, capsys):
    # Mg and Fe share the cation site: the search sees one site of a mixed kind,
    # not two atoms on top of each other.
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    mixed = Structure.from_arrays(
        [4.25] * 3 + [90] * 3,
        ["Mg"] * 4 + ["Fe"] * 4 + ["O"] * 4,
        np.vstack([fcc, fcc, fcc + [0.5, 0, 0]]),
        occupancies=[0.8] * 4 + [0.2] * 4 + [1.0] * 4,
        symmetry_operations=["x,y,z"],
    )
    assert find_symmetry(mixed).describe() == "Fm-3m (No. 225)"
    # Moving the iron off the shared site leaves a lower group.
    shifted = mixed.frac_coords.copy()
    shifted[4] += [0.02, 0.01, 0]
    assert find_symmetry(Structure.from_arrays(mixed.lattice, mixed.symbols, shifted, mixed.occupancies)).number < 225

    # Doubled along a, rock salt keeps only the operations that fit the longer
    # cell: its families split, and the note says so, without the search's chatter.
    path = tmp_path / "rocksalt_211_p1.cif"
    path.write_text(p1_cif(supercell(read_cif(example_path("rocksalt")), 2)))
    assert main(["pattern", str(path), "--two-theta", "20", "60"]) == 0
    out, err = capsys.readouterr()
    assert err == (
        f"peakforge: note: {path}: given in P1, its atoms follow Fm-3m (No. 225), of whose 48 rotations "
        "this cell's axes keep 16: reflections and families are those of these 16\n"
    )
    assert "(0 2 0) (4 0 0)" in out  # (200) of the cubic cell: two families in the longer one


def test_a_supercells_full_list_of_operations_extinguishes_what_its_shifts_extinguish():
    # Rock salt 3 × 3 × 3 in P1: its atoms follow Fm-3m with 48 rotations times
    # 108 shifts, a list far longer than any space group's. The engine checks
    # each rotation once and finds every shift, so the reflections it computes
    # are those of the small cell; none is a cancellation left to the atoms.
    from peakforge_pattern.diffraction.engine_route import engine_columns
    from peakforge_pattern.diffraction.request import PatternRequest
    from peakforge_pattern.structures.found_symmetry import with_found_symmetry

    rocksalt = read_cif(example_path("rocksalt"))
    found, note = with_found_symmetry(supercell(rocksalt, 3, 3, 3))
    assert len(found.symmetry_operations) == 48 * 108 and "Fm-3m" in note
    request = PatternRequest(wavelength=1.5406)
    small, large = engine_columns(rocksalt, request, 0.0, 1.0), engine_columns(found, request, 0.0, 1.0)
    assert large["unique_reflections"] == small["unique_reflections"]
    np.testing.assert_allclose(large["intensity"], small["intensity"], atol=1e-9)
