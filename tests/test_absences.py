"""Reflections the space group extinguishes: left out of the engine's peaks,
flagged with the same verdict as gemmi's check in every kind of centring,
glide and screw, explained in words; weak reflections; one reflection taken
apart."""

import math

import gemmi
import numpy as np
import pytest
from conftest import random_cell, symmetric_structure

from peakforge_pattern import Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.cli import main
from peakforge_pattern.diffraction.absences import explain_absences
from peakforge_pattern.diffraction.engine_route import engine_reflection_columns
from peakforge_pattern.diffraction.request import PatternRequest
from peakforge_pattern.diffraction.structure_factor import reflection_detail
from peakforge_pattern.diffraction.symmetry_elements import describe_centring, describe_operation
from peakforge_pattern.errors import InputError

# Every centring (P, A, C, I, F, R obverse in hexagonal axes, R in rhombohedral
# axes), glides a, b, c, n, d, e and screws 2₁, 3₁, 4₁, 4₂, 6₁, 6₃, in
# standard and other settings and origins.
GROUPS = [
    "P 1 21 1",
    "P 1 21/c 1",
    "P 1 21/n 1",
    "C 1 2/c 1",
    "A 1 2/a 1",
    "A m a 2",
    "P n m a",
    "P b c a",
    "C m c e",
    "F d d d :1",
    "F d d d :2",
    "I b a 2",
    "P 41 21 2",
    "P 42/n :2",
    "I 41/a m d :1",
    "I 41/a m d :2",
    "P 31 2 1",
    "R -3 c :H",
    "R -3 c :R",
    "R 3 m :H",
    "P 61 2 2",
    "P 63/m m c",
    "P a -3",
    "I a -3 d",
    "F d -3 m :1",
    "F d -3 m :2",
    "F m -3 c",
    "P 43 3 2",
]


def general_structure(hm, rng):
    """Two atoms in general positions (no image merged with another), in a random cell of the group's system."""
    sg = gemmi.find_spacegroup_by_name(hm)
    while True:
        structure = symmetric_structure(
            hm, random_cell(sg, rng), [("Fe", rng.uniform(0, 1, 3)), ("O", rng.uniform(0, 1, 3))]
        )
        if len(structure) == 2 * len(sg.operations()):
            return structure


def test_engine_flags_the_sets_gemmi_calls_absent_in_every_kind_of_group():
    rng = np.random.default_rng(25)
    for hm in GROUPS:
        ops = gemmi.find_spacegroup_by_name(hm).operations()
        structure = general_structure(hm, rng)
        table = engine_reflection_columns(structure, PatternRequest(wavelength=1.5406), 0.0, 0.9)
        flagged = table["absent"].astype(bool)
        by_gemmi = np.array([ops.is_systematically_absent(list(hkl)) for hkl in table["hkl"].tolist()])
        assert flagged.any() or hm == "P 31 2 1" and not by_gemmi.any(), hm
        assert np.array_equal(flagged, by_gemmi), (hm, table["hkl"][flagged != by_gemmi][:5])
        # Allowed sets of atoms in general positions scatter; every flagged one has a reason.
        assert np.all(table["f_squared"][~flagged] > 0), hm
        absences = explain_absences(structure, 1.5406, (0, 2 * math.degrees(math.asin(0.9 * 1.5406 / 2))))
        assert len(absences.systematic) == flagged.sum() and all(r.reasons for r in absences.systematic), hm
        # The peaks list allowed sets only, and every one of them.
        pattern = compute_pattern(structure, 1.5406, (0, 150))
        listed = [hkl for families in pattern.families for hkl in families]
        assert not any(ops.is_systematically_absent(list(hkl)) for hkl in listed), hm
        # A general reflection's set is as large as the Laue class (the first
        # rotation of the group is not always the identity: P2₁ lost its 2₁ once).
        laue = len({str(op.rot) for op in ops.sym_ops}) * (1 if ops.is_centrosymmetric() else 2)
        assert max(m for ms in pattern.multiplicities for m in ms) == laue, hm


def reasons_of(absences):
    return {r.hkl: r.reasons for r in absences.systematic}


def test_reasons_name_the_centring_glide_or_screw():
    silicon = reasons_of(explain_absences(example_path("silicon"), "CuKa", (0, 90)))
    assert silicon[(1, 0, 0)] == ("F-centring",)
    assert "d-glide ⊥ [001]" in silicon[(2, 0, 0)] and "4₁ along a" in silicon[(2, 0, 0)]
    assert (2, 2, 2) not in silicon  # allowed by Fd-3m: the atoms on 8a cancel it (below)

    # C-centred monoclinic with a c-glide, and a 2₁ screw in P2₁/c.
    rng = np.random.default_rng(3)
    cc = reasons_of(
        explain_absences(
            symmetric_structure("C 1 2/c 1", [9.1, 6.2, 7.3, 90, 104, 90], [("Fe", rng.uniform(0, 1, 3))]),
            "CuKa",
            (0, 60),
        )
    )
    assert cc[(1, 0, 0)] == ("C-centring",) and cc[(0, 1, 1)] == ("C-centring",)
    assert cc[(2, 0, 1)] == ("c-glide ⊥ [010]",)
    p21c = reasons_of(
        explain_absences(
            symmetric_structure("P 1 21/c 1", [5.1, 6.2, 7.3, 90, 101, 90], [("Fe", rng.uniform(0, 1, 3))]),
            "CuKa",
            (0, 60),
        )
    )
    assert p21c[(0, 1, 0)] == ("2₁ along b",) and p21c[(1, 0, 1)] == ("c-glide ⊥ [010]",)

    # Rhombohedral corundum: -h + k + l = 3n, and the c-glides on (0 0 l), l = 6n.
    corundum = reasons_of(explain_absences(example_path("corundum"), "CuKa", (0, 70)))
    assert corundum[(1, 0, 2)] == ("R-centring",) and corundum[(0, 0, 1)] == ("R-centring",)
    assert corundum[(0, 0, 3)] == ("c-glide ⊥ [010]", "c-glide ⊥ [100]", "c-glide ⊥ [110]")
    hexagonal = reasons_of(
        explain_absences(
            symmetric_structure("P 63/m m c", [3.2, 3.2, 5.2, 90, 90, 120], [("Mg", (1 / 3, 2 / 3, 0.25))]),
            "CuKa",
            (0, 80),
        )
    )
    assert "6₃ along c" in hexagonal[(0, 0, 1)]


def test_weak_reflections_and_one_reflection_taken_apart():
    silicon = explain_absences(example_path("silicon"), "CuKa", (0, 90))
    assert [r.hkl for r in silicon.weak] == [(2, 2, 2)]
    # KCl: K and Cl nearly alike, so the odd reflections (f_K - f_Cl) almost vanish.
    kcl = symmetric_structure("F m -3 m", [6.29] * 3 + [90] * 3, [("K", (0, 0, 0)), ("Cl", (0.5, 0.5, 0.5))])
    weak = explain_absences(kcl, "CuKa", (0, 60), weak_below=0.01)
    assert [r.hkl for r in weak.weak] == [(1, 1, 1), (3, 1, 1)]
    assert all(r.f_squared < 0.01 * weak.strongest_f_squared for r in weak.weak)
    assert explain_absences(kcl, "CuKa", (0, 60), weak_below=0.0).weak == ()

    structure = read_cif(example_path("corundum"))
    table = engine_reflection_columns(structure, PatternRequest(wavelength=1.5406), 0.0, 0.6)
    for hkl, f2 in zip(table["hkl"].tolist()[::9], table["f_squared"][::9]):
        detail = reflection_detail(structure, hkl, 1.5406)
        assert detail.f_squared == pytest.approx(f2, rel=1e-9, abs=1e-9)
        assert detail.structure_factor == pytest.approx(sum(c.term for c in detail.contributions))
        assert detail.d == pytest.approx(structure.d_spacing(hkl))
    detail = reflection_detail(structure, (1, 0, 4), 1.5406)
    assert detail.multiplicity == 6 and detail.absent_because == () and len(detail.contributions) == 30
    assert reflection_detail(structure, (1, 0, -1, 4), 1.5406).hkl == (1, 0, -1, 4)
    silicon_200 = reflection_detail(example_path("silicon"), (2, 0, 0))
    assert math.isnan(silicon_200.phase) and silicon_200.absent_because[0] == "d-glide ⊥ [001]"
    # A centrosymmetric structure at its centre: phases 0 or 180° (f'' turns them a little).
    assert reflection_detail(example_path("rocksalt"), (1, 1, 1), anomalous=False).phase in (0.0, 180.0, -180.0)
    for bad in [(0, 0, 0), (1, 0), (1, 0, 0, 1), (1.5, 0, 0), (40, 0, 0)]:
        with pytest.raises(InputError):
            reflection_detail(structure, bad, 1.5406)


def test_symmetry_found_from_bare_atoms_extinguishes_too():
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    silicon = Structure.from_arrays(
        [5.431] * 3 + [90] * 3, ["Si"] * 8, np.vstack([fcc, fcc + 0.25]), b_factors=[0.46] * 8
    )
    pattern = compute_pattern(silicon, "CuKa", (20, 90))
    assert all(f not in [(2, 0, 0), (1, 1, 0)] for fams in pattern.families for f in fams)
    reasons = reasons_of(explain_absences(silicon, "CuKa", (0, 90)))
    assert reasons[(1, 0, 0)] == ("F-centring",) and "d-glide ⊥ [001]" in reasons[(2, 0, 0)]
    # A 2×1×1 supercell: its half-integer reflections are the shift's.
    double = Structure.from_arrays(
        [10.862, 5.431, 5.431, 90, 90, 90],
        ["Si"] * 16,
        np.vstack([np.vstack([fcc, fcc + 0.25]) * [0.5, 1, 1] + [s, 0, 0] for s in (0, 0.5)]),
    )
    assert reasons_of(explain_absences(double, "CuKa", (0, 40)))[(1, 0, 0)][0].startswith("lattice translations")


def test_command_lists_absences_and_takes_a_reflection_apart(capsys):
    assert main(["pattern", "--absent", "--two-theta", "20", "90"]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    lines = out.splitlines()
    assert lines[0].startswith("# silicon (F d -3 m") and lines[1].split()[:4] == ["2theta", "d", "hkl", "mult"]
    row = next(line for line in lines if "(2 0 0)" in line)
    assert row.split()[0] == "32.9857" and "d-glide ⊥ [001]" in row
    weak = lines.index(next(line for line in lines if line.startswith("# allowed but weak")))
    assert "(2 2 2)" in lines[weak + 2]

    assert main(["pattern", "--example", "corundum", "--hkl", "1", "0", "2"]) == 0
    out, _ = capsys.readouterr()
    assert out.startswith("(1 0 2)  d 3.48001 A") and "systematically absent: R-centring" in out
    assert len(out.splitlines()) == 4 + 30

    assert main(["pattern", "--hkl", "1", "0"]) == 2
    assert "three Miller indices" in capsys.readouterr().err
    assert main(["pattern", "--absent", "--exact"]) == 2
    assert main(["pattern", "--absent", "--weak-below", "2"]) == 2


def elements_of(hm):
    """The glides and screws describe_operation names among a group's own operations."""
    names = set()
    for op in gemmi.find_spacegroup_by_name(hm).operations():
        name = describe_operation(np.array(op.rot) // op.DEN, np.array(op.tran) / op.DEN)
        if name is not None and "centring" not in name:
            names.add(name)
    return names


def test_operations_are_named_as_their_symbols_read():
    # The screw's handedness: 6₁ and 6₅, 4₁ and 4₃, 3₁ and 3₂ are told apart.
    assert {"6₁ along c", "3₁ along c"} <= elements_of("P 61 2 2") and "6₅ along c" not in elements_of("P 61 2 2")
    assert {"6₅ along c", "3₂ along c"} <= elements_of("P 65") and "6₁ along c" not in elements_of("P 65")
    assert "4₃ along c" in elements_of("P 43 21 2") and "4₁ along c" not in elements_of("P 43 21 2")
    assert elements_of("P 32 2 1") == {"3₂ along c"}
    assert elements_of("P 1 21/c 1") == {"2₁ along b", "c-glide ⊥ [010]"}
    assert elements_of("P n m a") == {"2₁ along a", "2₁ along b", "2₁ along c", "n-glide ⊥ [100]", "a-glide ⊥ [001]"}
    assert elements_of("P 42/n :2") == {"4₂ along c", "n-glide ⊥ [001]"}
    assert {"d-glide ⊥ [100]", "d-glide ⊥ [010]", "d-glide ⊥ [001]"} <= elements_of("F d d d :2")
    assert elements_of("P 63 m c") == {
        "6₃ along c",
        "2₁ along c",
        "c-glide ⊥ [1-10]",
        "c-glide ⊥ [120]",
        "c-glide ⊥ [210]",
    }
    # A rotation without a screw part, a mirror without a glide, a centring vector.
    assert describe_operation(np.diag([-1, 1, -1]), np.zeros(3)) is None
    assert describe_operation(np.diag([1, -1, 1]), np.array([0.0, 0.3, 0.0])) is None  # a mirror at y = 0.15
    assert describe_operation(np.eye(3, dtype=int), np.array([0.5, 0.5, 0.0])) == "C-centring"
    assert describe_centring(np.array([[0, 0.5, 0.5], [0.5, 0, 0.5]])) == "F-centring"  # generators suffice
    assert describe_centring(np.array([[2 / 3, 1 / 3, 1 / 3]])) == "R-centring"
