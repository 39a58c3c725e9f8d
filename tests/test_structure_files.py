"""Structure files as collections write them, one small CIF per case in
tests/data/cif, each stating its expected outcome in '# expect' lines:
``atoms N``, ``warning TEXT`` (one per warning, in order), ``error TEXT``,
``same-pattern-as FILE``."""

from pathlib import Path

import numpy as np
import pytest

from peakforge_pattern import InputError, Structure, compute_pattern, read_cif

CIF_FOLDER = Path(__file__).parent / "data" / "cif"


def expectations(path):
    expected = {"warnings": []}
    for line in path.read_bytes().decode("utf-8", "replace").splitlines():
        if line.startswith("# expect "):
            key, _, value = line[len("# expect ") :].partition(" ")
            if key == "warning":
                expected["warnings"].append(value)
            else:
                expected[key] = value
    return expected


def assert_closed_under_its_operations(structure):
    """The structure's symmetry operations map its atoms onto atoms of the
    same element: they are the group in the atoms' own coordinates."""
    import gemmi

    frac, numbers = structure.frac_coords, structure.atomic_numbers
    assert structure.symmetry_operations[0] == "x,y,z"
    for triplet in structure.symmetry_operations:
        seitz = np.array(gemmi.Op(triplet).float_seitz())
        images = frac @ seitz[:3, :3].T + seitz[:3, 3]
        delta = images[:, None, :] - frac[None, :, :]
        delta -= np.round(delta)
        distance = np.linalg.norm(delta @ structure.lattice, axis=-1)
        distance[numbers[:, None] != numbers[None, :]] = np.inf
        assert np.all(distance.min(axis=1) < 0.01), triplet


@pytest.mark.parametrize("path", sorted(CIF_FOLDER.glob("*.cif")), ids=lambda p: p.name)
def test_structure_file_gives_its_expected_outcome(path):
    expected = expectations(path)
    if "error" in expected:
        with pytest.raises(InputError) as info:
            read_cif(path)
        assert expected["error"] in str(info.value)
        return
    structure = read_cif(path)
    assert len(structure) == int(expected["atoms"])
    assert len(structure.warnings) == len(expected["warnings"]), structure.warnings
    for warning, text in zip(structure.warnings, expected["warnings"]):
        assert warning.startswith(text)
    assert_closed_under_its_operations(structure)
    if expected["warnings"]:
        with pytest.raises(InputError, match="strict mode"):
            read_cif(path, strict=True)
    pattern = compute_pattern(structure, "CuKa", (5, 100))
    assert pattern.warnings == structure.warnings
    if "same-pattern-as" in expected:
        reference = compute_pattern((path.parent / expected["same-pattern-as"]).resolve(), "CuKa", (5, 100))
        assert pattern.families == reference.families
        np.testing.assert_allclose(pattern.two_theta, reference.two_theta, rtol=1e-9)
        np.testing.assert_allclose(pattern.intensity, reference.intensity, rtol=1e-6, atol=1e-6)


def test_gzipped_file_reads_as_the_plain_one(tmp_path):
    import gzip

    packed = tmp_path / "quartz.cif.gz"
    packed.write_bytes(gzip.compress((CIF_FOLDER / "quartz_shifted_origin.cif").read_bytes()))
    np.testing.assert_array_equal(
        read_cif(packed).frac_coords, read_cif(CIF_FOLDER / "quartz_shifted_origin.cif").frac_coords
    )


def test_arrays_are_checked_like_files():
    cell = [4.123] * 3 + [90] * 3
    doubled = Structure.from_arrays(
        cell, ["Cs", "Cl", "Cs"], [[0, 0, 0], [0.5, 0.5, 0.5], [0, 0, 0]], b_factors=[1.8, 40.0, 1.8]
    )
    assert len(doubled) == 2 and doubled.symmetry_operations == ()
    assert [w.split(" at ")[0].split(":")[0] for w in doubled.warnings] == [
        "B above 15.8 A^2",
        "1 site(s) repeat another",
    ]
    for bad in [dict(b_factors=[-0.1, 1, 1]), dict(occupancies=[1, -1, 1])]:
        with pytest.raises(InputError):
            Structure.from_arrays(cell, ["Cs", "Cl", "Cs"], [[0, 0, 0], [0.5, 0.5, 0.5], [0, 0, 0.5]], **bad)
    with pytest.raises(InputError, match="flat"):
        Structure.from_arrays([[4, 0, 0], [0, 4, 0], [4, 4, 0.01]], ["Si"], [[0, 0, 0]])
    with pytest.raises(InputError, match="^B above .* strict mode"):
        compute_pattern(doubled, strict=True)
