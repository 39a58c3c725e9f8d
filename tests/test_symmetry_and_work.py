"""Space groups from every kind of statement, site expansion, the periodic
neighbour search, and the work estimate and its pieces."""

import gemmi
import numpy as np
import pytest

import peakforge_pattern.diffraction.exact_route as exact_route
from peakforge_pattern import compute_pattern, estimate_work, example_path, read_cif
from peakforge_pattern.structures.neighbours import close_pairs
from peakforge_pattern.structures.symmetry import SymmetryStatement, expand_sites, space_group_choices

TABLE = list(gemmi.spacegroup_table())


def test_every_setting_and_origin_of_every_group_is_taken_from_its_operations():
    """Listed operations are used as they stand in any setting, also with the
    origin moved to a point no table lists; the name, Hall symbol or number
    alone give the same group."""
    rng = np.random.default_rng(3)
    for entry in TABLE:
        triplets = [op.triplet() for op in entry.operations()]
        shift = rng.integers(0, 24, 3).tolist()  # an origin shift in 24ths
        moved = []
        for op in entry.operations():
            rotated = np.array(op.rot) @ np.array(shift) // gemmi.Op.DEN
            moved.append(gemmi.Op(op.triplet()).translated((rotated - shift).tolist()).wrap().triplet())
        for listed in (triplets, moved):
            [choice] = space_group_choices(SymmetryStatement(operations=tuple(listed)))
            assert choice.warnings == () and sorted(choice.triplets) == sorted(
                gemmi.Op(t).wrap().triplet() for t in listed
            ), entry
        by_hall = space_group_choices(SymmetryStatement(hall=entry.hall))[0]
        assert sorted(by_hall.triplets) == sorted(triplets), entry
        by_name = space_group_choices(SymmetryStatement(hermann_mauguin=entry.xhm()))[0]
        assert sorted(by_name.triplets) == sorted(triplets), entry
    for number in range(1, 231):
        choices = space_group_choices(SymmetryStatement(number=number))
        assert gemmi.find_spacegroup_by_ops(gemmi.GroupOps([gemmi.Op(t) for t in choices[0].triplets])).number == number


@pytest.mark.parametrize(
    "position, count",
    [
        ((0, 0, 0), 4),
        ((0.25, 0.25, 0.25), 8),
        ((0, 0.25, 0.25), 24),
        ((0.1, 0.1, 0.1), 32),
        ((0.05, 0.13, 0.31), 192),
        ((1e-5, 0, 0), 4),
    ],
)  # rounding off a special position
def test_special_positions_count_once(position, count):
    ops = space_group_choices(SymmetryStatement(hermann_mauguin="F m -3 m"))[0].operations
    positions, site_of = expand_sites(np.array([position], dtype=float), ops, np.eye(3) * 5.0, 0.1)
    assert len(positions) == count and np.all(site_of == 0)
    assert np.all((positions >= 0) & (positions < 1))


@pytest.mark.parametrize("search", ["all pairs", "bins"])
def test_close_pairs_match_brute_force_in_an_oblique_cell(search, monkeypatch):
    from peakforge_pattern.structures import neighbours
    from peakforge_pattern.structures.lattice import lattice_from_parameters

    if search == "bins":
        monkeypatch.setattr(neighbours, "_ALL_PAIRS_IMAGES", 27 * 1000)  # blocks of 1000 pairs too
    rng = np.random.default_rng(5)
    lattice = lattice_from_parameters(3.1, 4.2, 9.5, 62.0, 111.0, 75.0)
    frac = rng.random((150, 3)) * [1, 1, 3] - [0, 0, 1]  # some outside the cell
    i, j, d = close_pairs(lattice, frac, 1.2)
    shifts = np.array(np.meshgrid(*[np.arange(-2, 3)] * 3)).reshape(3, -1).T
    wrapped = frac - np.floor(frac)
    delta = wrapped[None, :, None, :] - wrapped[:, None, None, :] + shifts[None, None, :, :]
    brute = np.linalg.norm(delta @ lattice, axis=-1).min(axis=2)
    expected = {(a, b) for a, b in zip(*np.nonzero(brute < 1.2)) if a < b}
    assert set(zip(i.tolist(), j.tolist())) == expected and len(expected) > 50
    np.testing.assert_allclose(d, brute[i, j], rtol=1e-12)


def test_work_estimate_and_pieces():
    silicon = read_cif(example_path("silicon"))
    reference = compute_pattern(silicon, "MoKa", (0, 150), parallel=False, exact=True)
    # The estimate counts the reflections of the shell within a few per cent.
    import peakforge

    wavelength = 0.71073
    points = peakforge.generate_hkl_points(silicon.reciprocal.tolist(), 2 * np.sin(np.radians(75)) / wavelength, 0.0)
    estimate = estimate_work(silicon.lattice, len(silicon), wavelength, (0, 150))
    assert estimate.reflections == pytest.approx(len(points), rel=0.05) and estimate.atoms == 8
    # The exact route's pieces change no bit, and report progress.
    reports = []
    original = exact_route.CHUNK_TERMS
    try:
        exact_route.CHUNK_TERMS = 8 * 97
        pieces = compute_pattern(
            silicon,
            "MoKa",
            (0, 150),
            parallel=False,
            exact=True,
            progress=lambda done, total: reports.append((done, total)),
        )
    finally:
        exact_route.CHUNK_TERMS = original
    np.testing.assert_array_equal(pieces.absolute_intensity, reference.absolute_intensity)
    assert len(reports) > 10 and reports[-1][0] == reports[-1][1] == len(points)
    with pytest.raises(ValueError, match="--max-work"):
        compute_pattern(silicon, "MoKa", (0, 150), max_work=estimate.terms / 2)
