"""Refining the structure itself: site-symmetry constraints from the space
group's operations, recovery of moved atoms from synthetic scans, the
refined CIF read back, bond lengths, and the refusals and bounds that keep a
refinement honest."""

import html
import re
from pathlib import Path

import gemmi
import numpy as np
import pytest
from conftest import ANISO_CIF

from peakforge_pattern import InputError, Structure, compute_pattern, parse_cif, read_cif
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.measured import MeasuredPattern
from peakforge_pattern.fitting.structure_refinement.atom_parameters import AtomModel, AtomOptions
from peakforge_pattern.profiles import Instrument, Sample, pattern_profile
from peakforge_pattern.structures.site_symmetry import floating_origin, site_symmetry
from peakforge_pattern.structures.structure import lattice_from_parameters

DATA = Path(__file__).resolve().parent / "data" / "cif"
MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"

# (space group, cell, a site, its free coordinates): one or more Wyckoff positions per crystal system.
WYCKOFF = [
    ("F m -3 m", (5.46, 5.46, 5.46, 90, 90, 90), (0.25, 0.25, 0.25), ()),  # fluorite F, 8c
    ("F m -3 m", (5.46, 5.46, 5.46, 90, 90, 90), (0.2, 0.2, 0.0), ("x",)),  # 48h x,x,0
    ("P m -3 m", (4.0, 4.0, 4.0, 90, 90, 90), (0.3, 0.3, 0.3), ("x",)),  # 8g x,x,x on the 3-fold axis
    ("I a -3", (9.4, 9.4, 9.4, 90, 90, 90), (0.28, 0.0, 0.25), ("x",)),  # 24d x,0,1/4
    ("P 63/m m c", (3.2, 3.2, 5.2, 90, 90, 120), (0.2, 0.4, 0.25), ("x",)),  # 6h x,2x,1/4
    ("P 63 m c", (3.25, 3.25, 5.21, 90, 90, 120), (1 / 3, 2 / 3, 0.38), ("z",)),  # zincite 2b
    ("P 63 m c", (3.25, 3.25, 5.21, 90, 90, 120), (0.2, 0.8, 0.1), ("x", "z")),  # 6c x,-x,z on a mirror
    ("R -3 c:H", (4.76, 4.76, 12.99, 90, 90, 120), (0.0, 0.0, 0.35216), ("z",)),  # corundum Al, 12c
    ("R -3 c:H", (4.76, 4.76, 12.99, 90, 90, 120), (0.30624, 0.0, 0.25), ("x",)),  # corundum O, 18e
    ("R -3 m:R", (5.5, 5.5, 5.5, 55, 55, 55), (0.25, 0.25, 0.25), ("x",)),  # rhombohedral axes, x,x,x
    ("P 32 2 1", (4.91, 4.91, 5.40, 90, 90, 120), (0.47, 0.0, 1 / 6), ("x",)),  # quartz Si, 3a
    ("P 32 2 1", (4.91, 4.91, 5.40, 90, 90, 120), (0.41, 0.27, 0.12), ("x", "y", "z")),
    ("I 41/a m d:2", (3.78, 3.78, 9.5, 90, 90, 90), (0.0, 0.25, 0.08), ("z",)),  # anatase O, 8e
    ("P 42/m n m", (4.59, 4.59, 2.96, 90, 90, 90), (0.305, 0.305, 0.0), ("x",)),  # rutile O, 4f x,x,0
    ("P n m a", (5.2, 5.6, 7.6, 90, 90, 90), (0.1, 0.25, 0.3), ("x", "z")),  # on the mirror y = 1/4
    ("P n m a", (5.2, 5.6, 7.6, 90, 90, 90), (0.0, 0.0, 0.5), ()),  # 4b, an inversion centre
    ("C m c m", (3.0, 10.0, 4.0, 90, 90, 90), (0.0, 0.4, 0.25), ("y",)),  # 4c 0,y,1/4
    ("P 1 21/c 1", (5.0, 6.0, 7.0, 90, 101, 90), (0.1, 0.2, 0.3), ("x", "y", "z")),
    ("C 1 2/m 1", (5.0, 6.0, 7.0, 90, 101, 90), (0.2, 0.0, 0.3), ("x", "z")),  # 4i x,0,z on the mirror
    ("C 1 2/m 1", (5.0, 6.0, 7.0, 90, 101, 90), (0.0, 0.3, 0.5), ("y",)),  # 4h 0,y,1/2 on the 2-fold
    ("P -1", (5.0, 6.0, 7.0, 80, 95, 105), (0.5, 0.0, 0.5), ()),  # an inversion centre
    ("P -1", (5.0, 6.0, 7.0, 80, 95, 105), (0.1, 0.2, 0.3), ("x", "y", "z")),
]


def _gemmi_site_order(group: gemmi.SpaceGroup, cell: tuple, frac: np.ndarray) -> int:
    """The site-symmetry order as gemmi counts it: images of the site onto itself, plus one."""
    block = gemmi.cif.read_string(
        f"data_x\n_cell_length_a {cell[0]}\n_cell_length_b {cell[1]}\n_cell_length_c {cell[2]}\n"
        f"_cell_angle_alpha {cell[3]}\n_cell_angle_beta {cell[4]}\n_cell_angle_gamma {cell[5]}\n"
        f"_symmetry_space_group_name_H-M '{group.xhm()}'\n"
        "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nC 0 0 0\n"
    )[0]
    small = gemmi.make_small_structure_from_block(block)
    small.setup_cell_images()
    return small.cell.is_special_position(gemmi.Fractional(*frac), 0.05) + 1


def test_site_symmetry_matches_gemmi_across_crystal_systems():
    for name, cell, site, free in WYCKOFF:
        group = gemmi.find_spacegroup_by_name(name)
        operations = list(group.operations())
        lattice = lattice_from_parameters(*cell)
        found = site_symmetry(site, operations, lattice)
        where = f"{name} {site}"
        assert found.order == _gemmi_site_order(group, cell, np.array(site)), where
        assert found.parameter_names == free, where
        assert np.allclose(found.position, site, atol=1e-9), where
        # Moving along every free direction keeps the site symmetry; moving off them loses it.
        rng = np.random.default_rng(len(where))
        moved = found.coordinates(found.parameters() + rng.uniform(-0.03, 0.03, len(free)))
        assert _gemmi_site_order(group, cell, moved) == found.order, where
        if len(free) < 3:
            off = found.position + 0.03 * np.linalg.svd(found.free.T if free else np.zeros((1, 3)))[2][-1]
            assert _gemmi_site_order(group, cell, off) < found.order, where

    # Polar groups leave the origin free along their axis; centric ones fix it.
    assert floating_origin(list(gemmi.find_spacegroup_by_name("P 63 m c").operations()))[1] == (2,)
    assert floating_origin(list(gemmi.find_spacegroup_by_name("P 1").operations()))[1] == (0, 1, 2)
    assert floating_origin(list(gemmi.find_spacegroup_by_name("P 1 21/c 1").operations()))[1] == ()

    # The phases at hand: fluorite leaves nothing free, corundum Al z and O x, zincite O z (Zn z holds the origin).
    with pytest.raises(InputError, match="no structure parameter to refine"):
        AtomModel(read_cif(MEASURED / "fluorite_CaF2.cif"), "fluorite", AtomOptions())
    corundum = AtomModel(read_cif(MEASURED / "corundum_Al2O3_bilbao.cif"), "corundum", AtomOptions())
    assert corundum.names == ["corundum Al1 z", "corundum O1 x"]
    zincite = parse_cif(ZINCITE, name="zincite")
    model = AtomModel(zincite, "zincite", AtomOptions(b="elements"))
    assert model.names == ["zincite O z", "zincite B(Zn)", "zincite B(O)"]
    assert any("origin floats along z" in note for note in model.notes)
    # Re-expanding the start gives the cell the reader built.
    for structure, atoms in ((zincite, model), (read_cif(MEASURED / "corundum_Al2O3_bilbao.cif"), corundum)):
        again = atoms.structure_for(np.array([p.start for p in atoms.parameters]))
        assert len(again) == len(structure)
        delta = again.frac_coords[:, None, :] - structure.frac_coords[None, :, :]
        assert np.all(np.min(np.abs(delta - np.round(delta)).max(axis=2), axis=1) < 1e-6)  # sites made exact


ZINCITE = """data_zincite
_cell_length_a 3.2499
_cell_length_b 3.2499
_cell_length_c 5.2066
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 120
_space_group_name_H-M_alt 'P 63 m c'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_B_iso_or_equiv
Zn Zn 0.3333333 0.6666667 0.0 0.55
O O 0.3333333 0.6666667 0.3826 0.55
"""


def _synthetic_scan(structure: Structure, seed: int, sample: Sample | None = None) -> MeasuredPattern:
    x = np.arange(15.0, 130.0, 0.02)
    instrument = Instrument(wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.02, zero_shift=0.02)
    # Without dispersion, as most fits here are (it makes them faster and changes nothing they test).
    signal = pattern_profile(compute_pattern(structure, "CuKa", (5.0, 140.0), anomalous=False), x, instrument, sample)
    expected = 30000.0 * signal / signal.max() + 200.0
    return MeasuredPattern.from_arrays(x, np.random.default_rng(seed).poisson(expected), name="synthetic")


def test_moved_atoms_are_recovered_from_a_synthetic_scan():
    quartz = read_cif(DATA / "quartz_standard_setting.cif")
    model = AtomModel(quartz, quartz.name, AtomOptions())
    assert model.names == [f"{quartz.name} {n}" for n in ("Si1 x", "O1 x", "O1 y", "O1 z")]
    start = np.array([p.start for p in model.parameters])
    truth = start + np.array([0.012, -0.02, 0.015, 0.01])
    scan = _synthetic_scan(model.structure_for(truth), seed=11)

    results = []
    for begin in (start, truth + np.array([0.015, -0.015, 0.015, -0.015])):
        moved = model.structure_for(begin)
        result = fit_pattern(scan, [moved], background_terms=3, refine_atoms=True, anomalous=False)
        sites = {s.label: s for s in result.phases[0].atoms}
        refined = np.array([sites["Si1"].xyz[0], *sites["O1"].xyz])
        errors = np.array([sites["Si1"].xyz_esd[0], *sites["O1"].xyz_esd])
        assert np.all(np.abs(refined - truth) < 0.002), (refined, truth)
        assert np.all(np.abs(refined - truth) < 3.0 * errors), (refined - truth, errors)
        assert sites["Si1"].xyz[1] == 0.0 and sites["Si1"].xyz_esd[1] is None  # held by the site's 2-fold axis
        results.append(refined)
    assert np.all(np.abs(results[0] - results[1]) < 0.002)  # both starts reach the same answer


def test_refined_cif_reads_back_to_the_same_structure(tmp_path):
    corundum = read_cif(MEASURED / "corundum_Al2O3_bilbao.cif")
    scan = _synthetic_scan(corundum, seed=5)
    result = fit_pattern(scan, [corundum], background_terms=3, refine_atoms=True, refine=["b-sites"], bonds=2.0)
    phase = result.phases[0]
    path = tmp_path / "corundum.cif"
    path.write_text(phase.cif)

    again = read_cif(path)
    assert again.warnings == ()
    assert np.allclose(again.cell_parameters, phase.cell, atol=2e-5)
    unit = again.asymmetric_unit
    assert unit.labels == ("Al1", "O1") and list(unit.multiplicities) == [12, 18]
    assert np.allclose(unit.frac_coords, [s.xyz for s in phase.atoms], atol=1e-4)
    assert np.allclose(unit.b_factors, [s.b for s in phase.atoms], atol=1e-2)
    block = gemmi.cif.read(str(path))[0]
    small = gemmi.make_small_structure_from_block(block)
    assert small.spacegroup.number == 167 and [s.label for s in small.sites] == ["Al1", "O1"]
    al_z, o_z = block.find_values("_atom_site_fract_z")
    assert al_z.endswith(")") and o_z == "0.25000"  # refined with its uncertainty; held by symmetry without
    assert block.find_value("_cell_length_a").endswith(")")
    # The file gives the pattern of the refined structure.
    model = AtomModel(corundum, corundum.name, AtomOptions(b="sites"))
    refined = model.structure_for(np.array([result.parameters[n] for n in model.names]))
    lattice = again.lattice
    refined = Structure(
        lattice,
        refined.atomic_numbers,
        refined.frac_coords,
        refined.occupancies,
        refined.b_factors,
        symmetry_operations=refined.symmetry_operations,
    )
    expected, read_back = compute_pattern(refined, "CuKa", (10, 90)), compute_pattern(again, "CuKa", (10, 90))
    assert np.allclose(read_back.two_theta, expected.two_theta) and np.allclose(
        read_back.intensity, expected.intensity, atol=0.05
    )

    al_o = [b for b in phase.bonds if b.first == "Al1" and b.second == "O1"]
    assert [b.count for b in al_o] == [3, 3] and all(b.esd is not None and 0 < b.esd < 0.01 for b in al_o)
    assert al_o[0].distance == pytest.approx(1.855, abs=0.01) and al_o[1].distance == pytest.approx(1.97, abs=0.01)
    # The AlO6 octahedron's five distinct angles, three of each (15 = 6 choose 2), all moved by z(Al) and x(O).
    octahedron = [a for a in phase.angles if a.apex == "Al1"]
    assert [(a.first, a.second, a.count) for a in octahedron] == [("O1", "O1", 3)] * 5
    assert [round(a.angle) for a in octahedron] == [80, 86, 91, 101, 164]
    assert all(a.esd is not None and 0 < a.esd < 0.1 for a in octahedron)
    assert sum(a.count for a in phase.angles if a.apex == "O1") == 6  # four Al around each O
    # The report shows the sites, bonds and angles as the text prints them, and every warning whole.
    pytest.importorskip("plotly")
    from peakforge_pattern.reports import write_fit_report

    write_fit_report(result, tmp_path / "corundum.html")
    page = (tmp_path / "corundum.html").read_text().split("<body>")[1]
    text = result.summary()
    for shown in [phase.atoms[0].label, "bond angles (°)", *re.findall(r"\d+\.\d+\(\d+\)", text)]:
        assert shown in page
    assert all(html.escape(" ".join(w.split())) in page for w in result.warnings)


def test_angles_symmetry_fixes_have_no_uncertainty():
    from peakforge_pattern.fitting.structure_refinement.atom_results import bond_angles

    # Rutile: O at (x, x, 0) moves, but Ti's inversion centre and mirrors hold its octahedron's 180 and 90 degrees.
    rutile = parse_cif(
        "data_rutile\n_symmetry_space_group_name_H-M 'P 42/m n m'\n_cell_length_a 4.594\n_cell_length_b 4.594\n"
        "_cell_length_c 2.959\n_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\nloop_\n"
        "_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        "Ti1 Ti 0 0 0\nO1 O 0.3048 0.3048 0\n"
    )
    model = AtomModel(rutile, "rutile", AtomOptions())
    cell = ["rutile cell a=b", "rutile cell c"]

    def lattice_of(named):
        return rutile.lattice @ np.diag([named[cell[0]], named[cell[0]], named[cell[1]]])

    values = {n: p.start for n, p in zip(model.names, model.parameters)} | dict.fromkeys(cell, 1.0)
    names = [*model.names, *cell]
    angles = bond_angles(model, values, lattice_of, (names, np.eye(len(names)) * 1e-8), 2.1, cell)
    at_ti = {round(a.angle, 6): a for a in angles if a.apex == "Ti1"}
    assert at_ti[180.0].esd is None and at_ti[90.0].esd is None and at_ti[180.0].count == 3
    assert all(a.esd is not None and a.esd > 0 for a in at_ti.values() if a.angle % 90 > 1e-6)
    assert sum(a.count for a in at_ti.values()) == 15


def test_shared_site_keeps_its_total_occupancy():
    # Mg and Fe share the cation site (0.8/0.2 as read); the scan is of 0.6/0.4.
    structure = read_cif(DATA / "shared_and_split_sites.cif")
    model = AtomModel(structure, structure.name, AtomOptions(occupancy=True))
    assert [n.split(" ", 1)[1] for n in model.names] == ["O1 x", "Mg1 occupancy", "O1 occupancy"]
    truth = np.array([p.start for p in model.parameters])
    truth[1] = 0.6
    scan = _synthetic_scan(model.structure_for(truth), seed=3)
    result = fit_pattern(
        scan,
        [structure],
        background_terms=3,
        refine_atoms=True,
        refine=["occupancy"],
        anomalous=False,
        fix=["b", "cell", f"{structure.name} O1 occupancy"],
    )
    sites = {s.label: s for s in result.phases[0].atoms}
    assert abs(sites["Mg1"].occupancy - 0.6) < 3.0 * sites["Mg1"].occupancy_esd < 0.15
    assert sites["O1"].occupancy == 0.1667 and sites["O1"].occupancy_esd is None  # held by --fix
    assert sites["Mg1"].occupancy + sites["Fe1"].occupancy == pytest.approx(1.0, abs=1e-12)
    assert sites["Fe1"].occupancy_esd == pytest.approx(sites["Mg1"].occupancy_esd)  # one parameter, two sites
    assert sites["Mg1"].xyz == sites["Fe1"].xyz == (0.0, 0.0, 0.0)

    # Three species on a site: the last takes what the others leave, which no bound of one parameter
    # holds. A scan without Ni drives it below zero: the fit stops with one line, not the engine's refusal.
    three = parse_cif(THREE_SPECIES, name="three")
    model = AtomModel(three, "three", AtomOptions(occupancy=True))
    assert [n.split(" ", 1)[1] for n in model.names] == ["Mg1 occupancy", "Fe1 occupancy"]
    scan = _synthetic_scan(model.structure_for(np.array([0.95, 0.05])), seed=2)
    with pytest.raises(InputError, match=r"occupancy of Ni1 went below zero .*--fix \"three Mg1 occupancy\""):
        fit_pattern(scan, [three], background_terms=3, refine_atoms=True, refine=["occupancy"], anomalous=False)
    assert model.structure_for(np.array([0.7, 0.3 + 1e-13])).occupancies.min() == 0.0  # rounding of an exact 0


THREE_SPECIES = """data_three
_cell_length_a 4.23
_cell_length_b 4.23
_cell_length_c 4.23
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_space_group_name_H-M_alt 'F m -3 m'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
_atom_site_U_iso_or_equiv
Mg1 Mg 0 0 0 0.4 0.005
Fe1 Fe 0 0 0 0.3 0.005
Ni1 Ni 0 0 0 0.3 0.005
O1 O 0.5 0.5 0.5 1.0 0.008
"""


def test_refinement_stops_at_bounds_and_refuses_what_the_data_cannot_carry(tmp_path, capsys):
    from peakforge_pattern.cli import main
    from peakforge_pattern.structures.bonds import find_bonds

    quartz = read_cif(DATA / "quartz_standard_setting.cif")
    model = AtomModel(quartz, quartz.name, AtomOptions(b="sites"))
    start = np.array([p.start for p in model.parameters])
    lower, upper = (np.array([getattr(p, side) for p in model.parameters]) for side in ("lower", "upper"))
    # Every corner of the coordinate bounds keeps atoms apart: no site can be driven onto another.
    shortest = min(b.distance for b in find_bonds(quartz.asymmetric_unit, quartz.lattice, 3.0))
    rng = np.random.default_rng(2)
    for _ in range(50):
        corner = np.where(rng.random(start.size) < 0.5, lower, upper)
        corner[4:] = start[4:]
        moved = model.structure_for(corner)
        closest = min(b.distance for b in find_bonds(moved.asymmetric_unit, moved.lattice, 3.0))
        assert closest >= 0.2 * shortest - 1e-9

    # Atoms far from the start stop at the bound, and B that the data would take below zero stops at 0:
    # each with a warning, and without an uncertainty.
    truth = start.copy()
    truth[1] = upper[1] + 0.02  # O1 x beyond its reach
    truth[4:] = [0.0, 0.0]
    far = model.structure_for(truth)
    # O's B below zero (-0.8 Å², Si 0.3): every atom 0.8 Å² warmer and an overall B of -0.8 Å² on the
    # intensities give the same scan (the engine refuses a negative B of an atom).
    colder = Structure(
        far.lattice,
        far.atomic_numbers,
        far.frac_coords,
        far.occupancies,
        np.where(far.atomic_numbers == 8, 0.0, 1.1),
        symmetry_operations=far.symmetry_operations,
    )
    scan = _synthetic_scan(colder, seed=9, sample=Sample(b_overall=-0.8))
    # The scan has a zero shift (0.02°): refined here, so that nothing but the bounds is tested.
    result = fit_pattern(
        scan, [quartz], background_terms=3, refine_atoms=True, refine=["b-sites", "zero"], anomalous=False
    )
    o1 = {s.label: s for s in result.phases[0].atoms}["O1"]
    assert o1.xyz[0] == pytest.approx(upper[1]) and o1.xyz_esd[0] is None
    # A parameter that stopped at its bound is reported at the bound's own value.
    assert o1.xyz[0] == upper[1] and o1.b == 0.0 and o1.b_esd is None
    assert any("O1 x stopped at its upper bound" in w and "driven onto one another" in w for w in result.warnings)
    assert any("O1 B stopped at its lower bound" in w and "below zero" in w for w in result.warnings)

    # More structure parameters than reflections: one line, exit status 2.
    path = tmp_path / "narrow.xy"
    np.savetxt(path, np.column_stack([scan.two_theta, scan.intensity])[(scan.two_theta > 19) & (scan.two_theta < 27)])
    status = main(
        ["fit", str(path), str(DATA / "quartz_standard_setting.cif"), "--refine-atoms", "--refine", "b-sites"]
    )
    error = capsys.readouterr().err
    assert status == 2 and error.count("\n") == 1
    assert "6 structure parameters but only" in error and "reflections" in error
    # Structure terms without --refine-atoms, or a phase that is not in the fit: one line each.
    for arguments, message in (
        (["--refine", "occupancy"], "add --refine-atoms"),
        (["--refine-atoms", "corundum"], "not a phase of this fit"),
    ):
        assert main(["fit", str(path), str(DATA / "quartz_standard_setting.cif"), *arguments]) == 2
        assert message in capsys.readouterr().err


def test_command_line_reports_sites_bonds_and_cifs(tmp_path, capsys):
    import json

    from peakforge_pattern.cli import main

    corundum = read_cif(MEASURED / "corundum_Al2O3_bilbao.cif")
    scan = _synthetic_scan(corundum, seed=1)
    path = tmp_path / "corundum.xy"
    np.savetxt(path, np.column_stack([scan.two_theta, scan.intensity]))
    fluorite = MEASURED / "fluorite_CaF2.cif"  # nothing free: its structure stays, with a note
    status = main(
        [
            "fit",
            str(path),
            str(MEASURED / "corundum_Al2O3_bilbao.cif"),
            str(fluorite),
            "-f",
            "json",
            "--refine-atoms",
            "--bonds",
            "--cif-out",
            str(tmp_path / "cifs"),
        ]
    )
    captured = capsys.readouterr()
    assert status == 0
    result = json.loads(captured.out)
    phases = {p["name"]: p for p in result["phases"]}
    atoms = {a["label"]: a for a in phases["corundum_Al2O3_bilbao"]["atoms"]}
    assert set(atoms["Al1"]) == {
        "label",
        "element",
        "x",
        "x_esd",
        "y",
        "y_esd",
        "z",
        "z_esd",
        "occupancy",
        "occupancy_esd",
        "b",
        "b_esd",
        # least squares' own beside each (the _esd are corrected for serially correlated residuals)
        *(f"{k}_esd_raw" for k in ("x", "y", "z", "occupancy", "b")),
    }
    assert atoms["Al1"]["z_esd"] > 0 and atoms["Al1"]["x_esd"] is None and atoms["O1"]["x_esd"] > 0
    assert atoms["Al1"]["z"] == pytest.approx(0.35216, abs=0.002)
    assert "atoms" not in phases["fluorite_CaF2"]
    assert any("fluorite_CaF2: no structure parameter to refine" in w for w in result["warnings"])
    assert {b["second"] for b in phases["corundum_Al2O3_bilbao"]["bonds"] if b["first"] == "Al1"} == {"O1", "Al1"}
    # Bonds and angles, like the sites, carry least squares' own uncertainty beside the corrected one.
    for entry, key in [(b, "distance") for b in phases["corundum_Al2O3_bilbao"]["bonds"]] + [
        (a, "angle") for a in phases["corundum_Al2O3_bilbao"]["angles"]
    ]:
        assert (entry[f"{key}_esd"] is None) == (entry[f"{key}_esd_raw"] is None), entry
        assert entry[f"{key}_esd_raw"] is None or entry[f"{key}_esd_raw"] > 0.0
    written = sorted(p.name for p in (tmp_path / "cifs").iterdir())
    assert written == ["corundum_Al2O3_bilbao.cif", "fluorite_CaF2.cif"]
    assert len(read_cif(tmp_path / "cifs" / "fluorite_CaF2.cif")) == 12


def _same_atoms(first: Structure, second: Structure) -> np.ndarray:
    """For each atom of ``first``, the index of the atom of ``second`` at its position."""
    delta = first.frac_coords[:, None, :] - second.frac_coords[None, :, :]
    distance = np.abs(delta - np.round(delta)).max(axis=2)
    assert np.all(distance.min(axis=1) < 1e-9)
    return np.argmin(distance, axis=1)


def test_structure_parameters_and_their_uncertainties_reach_sites_bonds_and_files():
    from peakforge_pattern.fitting.structure_refinement.atom_results import bond_lengths, refined_sites
    from peakforge_pattern.structures.cif_writer import with_uncertainty

    # A site on the three-fold axis (x, x, x): one parameter, the same uncertainty in x, y and z.
    cubic = Structure.from_arrays(
        (4.0, 4.0, 4.0, 90, 90, 90), ["Cs", "Cl", "Cl"], [[0, 0, 0], [0.3, 0.3, 0.3], [0.7, 0.7, 0.7]]
    )
    # The full cell given without symmetry: P1, every atom its own site, the origin floats in x, y and z.
    p1 = AtomModel(cubic, "p1", AtomOptions())
    assert [n for n in p1.names if n.startswith("p1 Cs")] == []  # the heaviest atom holds the origin
    assert len(p1.names) == 6
    # Moved, it keeps to P1: the engine does not search the moved atoms for symmetry, so the peaks stay the same.
    moved = p1.structure_for(np.array([p.start for p in p1.parameters]) + 0.01)
    assert moved.symmetry_operations == ("x,y,z",)
    with_symmetry = Structure.from_cif(DATA / "quartz_standard_setting.cif")
    model = AtomModel(with_symmetry, "q", AtomOptions(b="elements"))
    names = model.names
    covariance = np.diag(np.linspace(1e-8, 4e-8, len(names)))
    values = {n: p.start for n, p in zip(names, model.parameters)}
    sites = refined_sites(model, values, (names, covariance))
    si = sites[0]
    assert si.xyz_esd[0] == pytest.approx(1e-4) and si.xyz_esd[1] is None and si.xyz_esd[2] is None
    assert sites[1].b_esd == pytest.approx(np.sqrt(covariance[-1, -1]))  # B(O), per element

    # A bond's uncertainty through the coordinates and the cell: d = |Δx|·a in a cubic cell.
    chlorine = Structure.from_arrays(
        (4.0, 4.0, 4.0, 90, 90, 90), ["Cs", "Cl"], [[0, 0, 0], [0.3, 0.0, 0.0]], name="pair"
    )
    pair = AtomModel(chlorine, "pair", AtomOptions())
    x_name = "pair Cl2 x"
    assert x_name in pair.names
    cell_name = "pair cell a=b=c"

    def lattice_of(named):
        return np.eye(3) * 4.0 * named[cell_name]

    point = {n: p.start for n, p in zip(pair.names, pair.parameters)} | {cell_name: 1.0}
    cov = np.zeros((len(pair.names) + 1, len(pair.names) + 1))
    k = pair.names.index(x_name)
    cov[k, k], cov[-1, -1], cov[k, -1] = 0.001**2, 0.0002**2, 0.5 * 0.001 * 0.0002
    cov[-1, k] = cov[k, -1]
    bonds = bond_lengths(pair, point, lattice_of, ([*pair.names, cell_name], cov), 1.5, [cell_name])
    shortest = bonds[0]
    assert (shortest.first, shortest.second, shortest.distance) == ("Cs1", "Cl2", pytest.approx(1.2))
    gradient = np.array([4.0, 1.2])  # ∂d/∂x = a, ∂d/∂(cell factor) = d
    expected = np.sqrt(gradient @ cov[np.ix_([k, -1], [k, -1])] @ gradient)
    assert shortest.esd == pytest.approx(expected, rel=1e-5)

    # An occupancy no bound could hold (the last of three species on a site) is reported.
    from types import SimpleNamespace

    from peakforge_pattern.fitting.structure_refinement.atom_results import occupancy_warnings
    from peakforge_pattern.structures.cif_writer import SiteRecord

    crowded = SimpleNamespace(
        name="spinel",
        atoms=(SiteRecord("Fe1", "Fe", (0, 0, 0), -0.05, 0.5), SiteRecord("Mg1", "Mg", (0, 0, 0), 0.6, 0.5)),
    )
    assert occupancy_warnings([crowded]) == [
        ("spinel Fe1: occupancy -0.05 lies outside [0, 1]; hold some of the species sharing its site with --fix")
    ]

    # Parenthesis notation by the rule of 19.
    cases = {
        (0.352163, 4.1e-5): "0.35216(4)",
        (12.98852, 0.00032): "12.9885(3)",
        (0.3063, 0.00019): "0.30630(19)",
        (0.1, 0.00096): "0.1000(10)",
        (15.0, 2.5): "15(3)",
        (1234.5, 25.0): "1230(30)",
        (0.25, None): "0.25000",
        (1.0, 0.0): "1.00000",
    }
    assert {case: with_uncertainty(*case) for case in cases} == cases


def test_profile_derivatives_by_structure_parameters_agree_with_the_model():
    from peakforge_pattern.fitting.fit import fit_pattern as fit  # the model is built inside; probe it here
    from peakforge_pattern.fitting.model import FitModel

    captured = {}
    original = FitModel.__init__

    def keep(self, *args, **kwargs):
        original(self, *args, **kwargs)
        captured["model"] = self

    aniso = parse_cif(ANISO_CIF, name="aniso")
    model = AtomModel(aniso, "aniso", AtomOptions())
    # Re-expanding the sites gives the reader's cell, anisotropic displacements turned with each image.
    again = model.structure_for(np.array([p.start for p in model.parameters]))
    order = _same_atoms(again, aniso)
    np.testing.assert_allclose(again.u_aniso, aniso.u_aniso[order], atol=1e-12)
    with pytest.raises(AssertionError):
        np.testing.assert_allclose(again.u_aniso[:4], again.u_aniso[0], atol=1e-6)  # images differ
    # Written out unrefined, the anisotropic displacements are kept (an overall B of 0.8 added to them).
    from peakforge_pattern.fitting.structure_refinement.atom_results import sites_as_read, structure_cif

    unit = aniso.asymmetric_unit
    text = structure_cif(
        "aniso", unit, sites_as_read(unit, aniso.lattice, (0.8, 0.01)), aniso.cell_parameters, [None] * 6
    )
    back = parse_cif(text, name="back")
    order = _same_atoms(back, aniso)
    shifted = aniso.u_aniso[order].copy()
    shifted[:, :3] += 0.8 / (8 * np.pi**2)  # orthorhombic: the isotropic part adds to U11, U22, U33 alone
    np.testing.assert_allclose(back.u_aniso, shifted, atol=2e-6, equal_nan=True)
    assert back.b_factors[order == 4][0] == pytest.approx(aniso.b_factors[4] + 0.8, abs=1e-3)

    # Every kind of structure parameter gets an analytic column in the fit's Jacobian (the engine's
    # intensity derivatives, summed over each site's images through the constraints), equal to
    # central differences of the phase's profile: coordinates of a P2₁2₁2₁ structure keeping its
    # anisotropic U, coordinates and B per element with anomalous scattering, then B per site and the
    # occupancies of a shared Fm-3m site and a split one.
    kinds = set()
    for structure, refine, seed in (
        (aniso, [], 5),
        (aniso, ["b-elements"], 4),
        (read_cif(DATA / "shared_and_split_sites.cif"), ["b-sites", "occupancy"], 6),
    ):
        FitModel.__init__ = keep
        try:
            result = fit(
                _synthetic_scan(structure, seed=seed),
                [structure],
                background_terms=2,
                refine_atoms=True,
                refine=refine,
                max_evaluations=3,
                anomalous=True,
            )
        finally:
            FitModel.__init__ = original
        fit_model = captured["model"]
        values = {n: result.parameters.get(n, fit_model.parameters[n].value) for n in fit_model.parameters.names}
        phase = fit_model.phases[0]
        for name in phase.atoms.model.names:
            parameter = fit_model.parameters[name]
            assert parameter.derivative is not None, name  # no profile rendered per structure parameter
            step = 1e-5 if parameter.kind == "coordinates" else 1e-4
            up, down = dict(values), dict(values)
            up[name] += step
            down[name] -= step
            numerical = (fit_model.phase_column(phase, up) - fit_model.phase_column(phase, down)) / (2 * step)
            analytic = parameter.derivative(values)[0]
            scale = np.max(np.abs(numerical))
            assert scale > 0 and np.max(np.abs(analytic - numerical)) < 1e-5 * scale, name
            kinds.add(parameter.kind)
    assert kinds == {"coordinates", "b-elements", "b-sites", "occupancy"}
