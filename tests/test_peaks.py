"""Peak merging and intensity normalisation."""

import struct
import sys

import numpy as np
import pytest
from conftest import bits, index_message, panic_of

import peakforge

NAN, INF = float("nan"), float("inf")


def merge(thetas, tolerance):
    """Peak j has intensity j + 1, index [j] and d 10 * j."""
    n = len(thetas)
    return peakforge.merge_peaks(
        thetas, [j + 1.0 for j in range(n)], [[j] for j in range(n)], [10.0 * j for j in range(n)], tolerance
    )


@pytest.mark.parametrize(
    "thetas, tolerance, groups",
    [
        ([], 0.5, []),
        ([10.0], 0.5, [[0]]),
        ([10.0, 10.5], 0.5, [[0], [1]]),  # strictly less than the tolerance
        ([10.0, 10.5], 0.75, [[0, 1]]),
        ([10.0, 10.3, 10.6], 0.5, [[0, 1], [2]]),  # compared with the anchor, not the neighbour
        ([10.0, 20.0, 10.1], 0.5, [[0], [1], [2]]),  # a closed group is never rejoined
        ([10.0, 9.8, 10.4], 0.5, [[0, 1, 2]]),  # below the anchor joins too
        ([10.0, NAN, 10.1], 0.5, [[0], [1], [2]]),
        ([10.0, INF, INF, 10.0], INF, [[0], [1], [2], [3]]),
        ([1.0, 1e300, -1e300], INF, [[0, 1, 2]]),
        ([10.0, 10.0], 0.0, [[0], [1]]),
        ([10.0, 10.0], -1.0, [[0], [1]]),
        ([10.0, 10.0], NAN, [[0], [1]]),
    ],
)
def test_grouping(thetas, tolerance, groups):
    out = merge(thetas, tolerance)
    assert bits(out[0], any_nan=True) == bits([thetas[g[0]] for g in groups], any_nan=True)
    assert out[1:] == (
        [float(sum(j + 1 for j in g)) for g in groups],
        [[[j] for j in g] for g in groups],
        [10.0 * g[0] for g in groups],
    )


def test_intensity_is_a_running_sum_in_input_order():
    # 1e16 + 1 rounds back to 1e16 at each step; summing the ones first would not.
    out = peakforge.merge_peaks([0.0] * 3, [1e16, 1.0, 1.0], [[]] * 3, [1.0] * 3, 1.0)
    assert out[1] == [1e16]


def test_index_entries_come_back_unchanged_in_new_lists():
    hkls = [[1, 0, 0], [2], [], [-2147483648, 2147483647]]
    out = peakforge.merge_peaks([1.0, 1.1, 5.0, 5.1], [1.0] * 4, hkls, [1.0] * 4, 0.5)
    assert out[2] == [[[1, 0, 0], [2]], [[], [-2147483648, 2147483647]]]
    out[2][0][0].append(9)
    assert hkls[0] == [1, 0, 0]


@pytest.mark.parametrize(
    "intensities, hkls, d_hkls, tolerance, message",
    [
        # intensities and hkls are read for every peak, merged or not
        ([1.0] * 2, [[1]] * 3, [1.0] * 3, INF, index_message(2, 2)),
        ([1.0] * 3, [[1]] * 1, [1.0] * 3, INF, index_message(1, 1)),
        # at one peak the first missing list in the order intensities, hkls, d_hkls is named
        ([1.0] * 1, [[1]] * 1, [1.0] * 1, 0.5, index_message(1, 1)),
        ([1.0] * 3, [[1]] * 2, [1.0] * 2, 0.5, index_message(2, 2)),
        # d_hkls only for a peak that opens a group
        ([1.0] * 3, [[1]] * 3, [1.0] * 2, 0.5, index_message(2, 2)),
        ([1.0] * 3, [[1]] * 3, [1.0] * 1, INF, None),
    ],
)
def test_short_lists(intensities, hkls, d_hkls, tolerance, message):
    args = ([10.0, 20.0, 30.0], intensities, hkls, d_hkls, tolerance)
    if message is None:
        assert peakforge.merge_peaks(*args) == ([10.0], [3.0], [[[1]] * 3], [1.0])
        return
    assert str(panic_of(peakforge.merge_peaks, *args)) == message


def test_surplus_entries_are_ignored():
    assert peakforge.merge_peaks([1.0], [2.0, 9.0], [[1], [2]], [3.0, 9.0], 0.5) == ([1.0], [2.0], [[[1]]], [3.0])


@pytest.mark.parametrize(
    "changes, exception, message",
    [
        (dict(hkls=[[1, 0, 0], [0, 2.0, 0]]), TypeError, "^argument 'hkls': "),
        (dict(hkls=[1, 2]), TypeError, "^argument 'hkls': 'int' object cannot be converted to 'Sequence'$"),
        (dict(hkls=["100"]), TypeError, "^argument 'hkls': Can't extract `str` to `Vec`$"),
        (dict(hkls=[[2147483648, 0, 0]]), OverflowError, "^(?!argument)"),
        (dict(two_thetas=[], tolerance=None), TypeError, "^argument 'tolerance': "),
        (dict(two_thetas=[1.0, "x"]), TypeError, "^argument 'two_thetas': "),
    ],
)
def test_merge_conversion_errors(changes, exception, message):
    args = dict(two_thetas=[1.0, 2.0], intensities=[1.0, 1.0], hkls=[[1, 0, 0]] * 2, d_hkls=[1.0, 1.0], tolerance=0.5)
    with pytest.raises(exception, match=message):
        peakforge.merge_peaks(**{**args, **changes})


@pytest.mark.parametrize(
    "values, max_value, expected",
    [
        ([], 5.0, []),
        ([1.0, 2.0, 4.0], 100.0, [25.0, 50.0, 100.0]),
        ([1.0, 49.0], 49.0, [0.9999999999999999, 49.0]),  # division first
        ([0.0, 0.0], 100.0, [0.0, 0.0]),
        ([0.0, -1.0, NAN], 100.0, [0.0, -1.0, NAN]),  # m == 0: unchanged
        ([-0.0, -1.0], NAN, [-0.0, -1.0]),
        ([NAN, 2.0], 1.0, [NAN, 1.0]),
        ([NAN, NAN], 1.0, [NAN, NAN]),
        ([-INF, NAN], 1.0, [NAN, NAN]),
        ([-2.0, -4.0], 100.0, [100.0, 200.0]),
        ([1.0, 2.0], NAN, [NAN, NAN]),
        ([1, 2], 10, [5.0, 10.0]),
    ],
)
def test_normalize(values, max_value, expected):
    out = peakforge.normalize_intensities(values, max_value)
    assert all(type(v) is float for v in out)
    assert bits(out, any_nan=True) == bits(expected, any_nan=True)


def test_normalize_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'max_value': "):
        peakforge.normalize_intensities([], "1")
    with pytest.raises(TypeError, match="^argument 'intensities': Can't extract `str` to `Vec`$"):
        peakforge.normalize_intensities("12", 1.0)


NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_BEEF))[0]


class Float64Array(np.ndarray):
    def __iter__(self):
        return iter([7.0] * len(self))


@pytest.mark.parametrize(
    "array",
    [
        np.array([1.5, -0.0, INF, NAN_PAYLOAD, 2.0**-1074]),
        np.arange(10.0)[::-3],  # negative stride
        np.arange(20.0).reshape(4, 5)[:, 1],  # non-contiguous column
        np.frombuffer(b"\0" + np.arange(3.0).tobytes(), offset=1),  # unaligned
        np.array([1.5, 2.25], dtype=">f8"),
        np.array([0.1, 3.0], dtype=np.float32),
        np.array([2**53 + 1, -3]),
        np.empty(0),
        np.arange(3.0).view(Float64Array),  # subclass iterates its own way
    ],
)
def test_arrays_convert_exactly_as_iteration_does(array):
    expected = [float(v) for v in iter(array)]
    # A NaN tolerance merges nothing, so the angles come back as converted.
    out = peakforge.merge_peaks(array, [0.0] * len(array), [[]] * len(array), [0.0] * len(array), NAN)
    assert bits(out[0]) == bits(expected)
    before = sys.getrefcount(array)
    for _ in range(100):
        peakforge.normalize_intensities(array, 1.0)
        with pytest.raises(TypeError):
            peakforge.normalize_intensities(array, None)
    assert sys.getrefcount(array) == before


def test_arrays_that_do_not_iterate_to_floats_fail_as_iteration_does():
    with pytest.raises(TypeError, match="^argument 'intensities': .*0-d"):
        peakforge.normalize_intensities(np.array(1.0), 1.0)
    with pytest.raises(TypeError, match="^argument 'intensities': "):
        peakforge.normalize_intensities(np.zeros((2, 2)), 1.0)
