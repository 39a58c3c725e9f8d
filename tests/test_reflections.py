"""Reciprocal-lattice points of a shell and Miller-index families."""

import math
import random

import numpy as np
import pytest
from conftest import index_message, panic_of

import peakforge
from peakforge_pattern import PatternRequest, Structure
from peakforge_pattern.diffraction.engine_route import engine_columns

IDENTITY = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
UNIT_POINTS = [
    ([1.0, 0.0, 0.0], 1.0),
    ([0.0, 1.0, 0.0], 1.0),
    ([0.0, 0.0, 1.0], 1.0),
    ([0.0, 0.0, -1.0], 1.0),
    ([0.0, -1.0, 0.0], 1.0),
    ([-1.0, 0.0, 0.0], 1.0),
]


def reference_points(basis, max_r, min_r):
    """The walk written out in Python, with the same evaluation order."""
    a, b, c = basis
    rows = np.array(basis, dtype=float)[:3, :3]
    duals = np.cross(rows[[1, 2, 0]], rows[[2, 0, 1]])  # b* x c*, c* x a*, a* x b*
    volume = float(rows[0] @ duals[0])
    direct = np.linalg.norm(duals, axis=1) / abs(volume) if math.isfinite(volume) and volume else [math.nan] * 3

    def bound(v, dual):
        s = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]
        if not s > 0:
            return 1
        widened = max_r * dual
        ceiling = math.ceil(max_r / math.sqrt(s))
        return (max(ceiling, math.ceil(widened)) if math.isfinite(widened) else ceiling) + 1

    H, K, L = bound(a, direct[0]), bound(b, direct[1]), bound(c, direct[2])
    points = []
    for h in range(-H, H + 1):
        for k in range(-K, K + 1):
            for l in range(-L, L + 1):
                if h == k == l == 0:
                    continue
                x = (h * a[0] + k * b[0]) + l * c[0]
                y = (h * a[1] + k * b[1]) + l * c[1]
                z = (h * a[2] + k * b[2]) + l * c[2]
                g = math.sqrt((x * x + y * y) + z * z)
                if min_r <= g <= max_r:
                    points.append(([float(h), float(k), float(l)], g))
    points.sort(key=lambda p: (p[1], -p[0][0], -p[0][1], -p[0][2]))
    return points


# --- generate_hkl_points -------------------------------------------------


def test_unit_points_in_order_and_origin_never_included():
    for min_r in (0.0, -1.0, -math.inf):
        assert peakforge.generate_hkl_points(IDENTITY, 1.0, min_r) == UNIT_POINTS


def test_identity_shell_of_eighteen_points():
    result = peakforge.generate_hkl_points(IDENTITY, 1.5, 0.5)
    assert result[:6] == UNIT_POINTS
    longer = result[6:]
    assert len(longer) == 12
    assert all(g == 1.4142135623730951 for _, g in longer)
    assert [hkl for hkl, _ in longer[:2]] == [[1.0, 1.0, 0.0], [1.0, 0.0, 1.0]]
    assert [hkl for hkl, _ in longer[-2:]] == [[-1.0, 0.0, -1.0], [-1.0, -1.0, 0.0]]
    assert all(type(x) is float for hkl, _ in result for x in hkl)


def test_triclinic_cell_matches_reference_bit_for_bit():
    # A skewed basis with irrational-looking entries: equal lengths arise only
    # for a point and its negative, so the tie-break and the evaluation order
    # both show.
    rng = random.Random(4)
    basis = [[rng.uniform(-0.4, 0.4) for _ in range(3)] for _ in range(3)]
    basis[0][0] += 0.5
    basis[1][1] += 0.6
    basis[2][2] += 0.7
    result = peakforge.generate_hkl_points(basis, 2.0, 0.9)
    assert result == reference_points(basis, 2.0, 0.9)
    # Each point is followed directly by its negative.
    for (hkl, g), (neg, g2) in zip(result[::2], result[1::2]):
        assert neg == [-x for x in hkl] and g == g2 and hkl > neg


def test_oblique_cells_give_every_point_of_the_shell():
    # A box of max_r / |a*| misses the largest indices when the cell is
    # oblique: h = g·a reaches max_r |a|, and |a| > 1/|a*|. Monoclinic
    # beta = 120 degrees (a = 30 A) at Cu K-alpha to 150 degrees lost 138 of
    # 10688 reflections that way; so did a skewed supercell of corundum.
    for cell in ([30, 5, 10, 90, 120, 90], [13.8, 13.8, 4.76, 80.1, 80.1, 34.66]):
        structure = Structure.from_arrays(cell, ["Si"], [[0, 0, 0]])
        basis, max_r = structure.reciprocal, 2 * math.sin(math.radians(75)) / 1.5406
        reach = [math.ceil(max_r * n) + 2 for n in np.linalg.norm(np.linalg.inv(basis), axis=0)]
        box = np.stack(np.meshgrid(*(np.arange(-n, n + 1) for n in reach), indexing="ij"), -1).reshape(-1, 3)
        lengths = np.linalg.norm(box @ basis, axis=1)
        every = {tuple(hkl) for hkl, g in zip(box.tolist(), lengths) if 0 < g <= max_r}
        found = [tuple(int(x) for x in hkl) for hkl, _ in peakforge.generate_hkl_points(basis.tolist(), max_r, 0.0)]
        assert set(found) == every and len(found) == len(every)
        table = engine_columns(structure, PatternRequest.from_fields(), 0.0, max_r, relative_threshold=0.0)
        assert table["reflections"] == len(every)


def test_shell_bounds_are_inclusive():
    assert peakforge.generate_hkl_points(IDENTITY, 1.0, 1.0) == UNIT_POINTS
    above_one = math.nextafter(1.0, 2.0)
    assert peakforge.generate_hkl_points(IDENTITY, 1.2, above_one) == []
    assert peakforge.generate_hkl_points(IDENTITY, math.nextafter(1.0, 0.0), 0.0) == []


NAN_ROW = [[1, 0, 0], [0, 1, math.nan], [0, 0, 1]]
INF_ROW = [[1, 0, 0], [0, math.inf, 0], [0, 0, 1]]


@pytest.mark.parametrize(
    "basis, max_r, min_r",
    [
        (IDENTITY, 0.5, 1.0),
        (IDENTITY, -1.0, -2.0),
        (IDENTITY, -math.inf, -math.inf),
        (IDENTITY, math.nan, 0.0),
        (IDENTITY, 2.0, math.nan),
        # 0 * NaN and 0 * inf are NaN: every candidate's length is NaN or inf.
        (NAN_ROW, 2.0, 0.0),
        (INF_ROW, 2.0, 0.0),
    ],
)
def test_empty_shells(basis, max_r, min_r):
    assert peakforge.generate_hkl_points(basis, max_r, min_r) == []


def test_zero_basis_vectors_give_zero_length_points():
    basis = [[1, 0, 0], [0, 0, 0], [0, 0, 1]]
    expected = [([0.0, 1.0, 0.0], 0.0), ([0.0, -1.0, 0.0], 0.0)]
    assert peakforge.generate_hkl_points(basis, 0.5, 0.0) == expected
    # -0.0 is an ordinary zero in the shell test and the bounds.
    assert peakforge.generate_hkl_points(basis, -0.0, -0.0) == expected
    assert peakforge.generate_hkl_points(basis, 0.5, 1e-300) == []
    # A zero vector gets bound 1 even for an infinite max_r: the 26
    # neighbours of the origin, ordered by h, k, l descending.
    zero = [[0, 0, 0]] * 3
    result = peakforge.generate_hkl_points(zero, math.inf, 0.0)
    assert len(result) == 26 and result == reference_points(zero, math.inf, 0.0)
    assert result[0] == ([1.0, 1.0, 1.0], 0.0) and result[-1] == ([-1.0, -1.0, -1.0], 0.0)


def test_only_leading_block_counts():
    wide = [[1, 0, 0, 9], [0, 1, 0, 9, 9], (0, 0, 1, 9), [5, 5, 5]]
    assert peakforge.generate_hkl_points(wide, 1.5, 0.5) == peakforge.generate_hkl_points(IDENTITY, 1.5, 0.5)


@pytest.mark.parametrize(
    "matrix, length, index",
    [
        ([], 0, 0),
        ([[1, 0, 0]], 1, 1),
        ([[1, 0, 0], [0, 1, 0]], 2, 2),
        ([[], [0, 1, 0], [0, 0, 1]], 0, 0),
        ([[1], [0, 1, 0], [0, 0, 1]], 1, 1),
        ([[1, 0], [0, 1, 0], [0, 0, 1]], 2, 2),
        ([[1, 0, 0], [0, 1], []], 2, 2),  # row 1 fails before row 2 is looked at
        ([[1, 0, 0], [0, 1, 0], [0]], 1, 1),
    ],
)
def test_short_matrix_panics_with_index_message(matrix, length, index):
    assert str(panic_of(peakforge.generate_hkl_points, matrix, 1.0, 0.0)) == index_message(length, index)
    assert peakforge.generate_hkl_points(IDENTITY, 1.0, 1.0) == UNIT_POINTS


@pytest.mark.parametrize(
    "matrix, max_r, axis",
    [
        (IDENTITY, math.inf, 0),
        (IDENTITY, 2147483647.0, 0),
        (IDENTITY, 1e300, 0),
        ([[1, 0, 0], [0, 1e-150, 0], [0, 0, 1]], 1.0, 1),
        ([[1, 0, 0], [0, 1, 0], [0, 0, 1e-10]], 1.0, 2),
    ],
)
def test_impossible_box_is_refused(matrix, max_r, axis):
    with pytest.raises(ValueError) as caught:
        peakforge.generate_hkl_points(matrix, max_r, 0.0)
    assert str(caught.value) == (
        f"max_r is too large for the length of reciprocal basis vector {axis}: the index bound would exceed 2147483646"
    )


@pytest.mark.parametrize(
    "args, name, error",
    [
        (("abc", 1.0, 0.0), "recip_matrix", TypeError),
        ((IDENTITY, None, "x"), "max_r", TypeError),
        ((IDENTITY, 1.0, "x"), "min_r", TypeError),
    ],
)
def test_conversion_errors_name_the_first_bad_parameter(args, name, error):
    with pytest.raises(error, match=f"^argument '{name}': "):
        peakforge.generate_hkl_points(*args)


# --- get_unique_families_rust --------------------------------------------


def test_worked_example_in_order_of_first_appearance():
    hkls = [[1, 0, 0], [0, 1, 0], [-1, 0, 0], [1, 1, 0], [0, -1, 1], [2, 0, 0], [1, 0, 0], [0, 0, 1, 0]]
    result = peakforge.get_unique_families_rust(hkls)
    assert list(result.items()) == [((1, 0, 0), 4), ((1, 1, 0), 2), ((2, 0, 0), 1), ((0, 0, 1, 0), 1)]


@pytest.mark.parametrize(
    "hkls, expected",
    [
        ([], {}),
        ([[1, 0, 0], [1, 0, 0]], {(1, 0, 0): 2}),
        ([[-1, 0, 0]], {(-1, 0, 0): 1}),
        ([[0, 0, -1], [0, -1, 0]], {(0, 0, -1): 2}),
        ([[1, 2, 3], [-3, 2, -1], [2, -3, 1]], {(2, -3, 1): 3}),
        ([[1, 0], [0, 1], [1, 0, 0]], {(1, 0): 2, (1, 0, 0): 1}),
        ([[], []], {(): 2}),
        ([[2147483647], [-2147483648]], {(2147483647,): 1, (-2147483648,): 1}),
        ([[-2147483648, 1], [1, -2147483648]], {(1, -2147483648): 2}),
        (
            [[-2147483648, 2147483647], [2147483647, 2147483647]],
            {(-2147483648, 2147483647): 1, (2147483647, 2147483647): 1},
        ),
    ],
)
def test_family_examples(hkls, expected):
    result = peakforge.get_unique_families_rust(hkls)
    assert result == expected
    assert all(type(x) is int for key in result for x in key)


def pairwise_families(hkls):
    """Straightforward grouping: compare each tuple with every family."""
    families = []  # [members]
    for t in hkls:
        form = (len(t), sorted(abs(v) for v in t))
        for members in families:
            if (len(members[0]), sorted(abs(v) for v in members[0])) == form:
                members.append(t)
                break
        else:
            families.append([t])
    return [(tuple(max(members)), len(members)) for members in families]


def test_grouping_matches_pairwise_grouping_on_random_input():
    rng = random.Random(42)
    values = [-2, -1, 0, 1, 2, 2147483647, -2147483648]
    hkls = [[rng.choice(values) for _ in range(rng.choice((0, 1, 2, 3, 3, 3)))] for _ in range(600)]
    result = peakforge.get_unique_families_rust(hkls)
    assert list(result.items()) == pairwise_families(hkls)
    # The same input gives the same dictionary, entry order included.
    assert list(peakforge.get_unique_families_rust(hkls).items()) == list(result.items())


@pytest.mark.parametrize(
    "hkls, error, match",
    [
        ([[1, 0, 0], [0, 2.0, 0]], TypeError, "^argument 'hkls': "),
        (["100"], TypeError, "^argument 'hkls': Can't extract `str` to `Vec`$"),
        ([[2147483648, 0, 0]], OverflowError, "^(?!argument)"),
    ],
)
def test_family_conversion_errors(hkls, error, match):
    with pytest.raises(error, match=match):
        peakforge.get_unique_families_rust(hkls)
