"""Nothing leaks, on success or on any failure path.

Each case calls one function with fixed arguments: once for warm-up, then
three rounds of 10**4 calls (10**3 when the call starts a worker pool). After
every round, the Python blocks in use (sys.getallocatedblocks) and the C heap
in use (glibc's mallinfo2) must be back near where they started, and at the
end the reference counts of every input object must be unchanged. A single
object or a single small vector lost per call exceeds both bounds many times.
"""

import ctypes
import ctypes.util
import gc
import sys
import time

import pytest
from conftest import panic_type

import peakforge

pytestmark = pytest.mark.no_sanitizer  # the sanitizers' allocator hides the C heap

ROUNDS = 3
CALLS = 10**4
PARALLEL_CALLS = 10**3
BLOCK_BOUND = 64  # Python blocks a round may gain: caches and free lists settling
# A path that prints a Python traceback (a PanicException raised by user code
# is printed before it is resumed) goes through the interpreter's traceback
# formatting, whose caches move by up to about 150 blocks per 10^4 prints
# even for a plain sys.excepthook call; a leak of one object per call still
# shows as 10^4.
TRACEBACK_BLOCK_BOUND = 1000
HEAP_BOUND = 4096  # bytes of C heap a round may gain


class Mallinfo2(ctypes.Structure):
    _fields_ = [
        (field, ctypes.c_size_t)
        for field in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _mallinfo2():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        function = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    function.restype = Mallinfo2
    return function


MALLINFO2 = _mallinfo2()


def heap_in_use():
    """Bytes handed out by malloc, from the arenas and from mmap."""
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


PANIC = panic_type()


class UserError(Exception):
    pass


class Raises:
    """A number whose conversion raises a new exception of the given type
    (a reused instance would collect a longer traceback at every raise)."""

    def __init__(self, exception_type):
        self.exception_type = exception_type

    def __float__(self):
        raise self.exception_type("raised by the caller's object")


def xrd(parallel=False, use_simd=False, num_threads=2, **changes):
    """Arguments of a small calculate_xrd_intensities call: 8 reflections and
    5 atoms, enough that every vector is a real heap allocation."""
    args = dict(
        hkls=[[float(h), float(h % 3), 1.0] for h in range(8)],
        g_hkls=[0.1 * (i + 1) for i in range(8)],
        wavelength=1.5406,
        frac_coords_x=[0.0, 0.5, 0.25, 0.75, 0.1],
        frac_coords_y=[0.0, 0.5, 0.25, 0.75, 0.2],
        frac_coords_z=[0.0, 0.5, 0.25, 0.75, 0.3],
        atomic_numbers=[6, 8, 14, 26, 1],
        scattering_coeffs=[[[0.5, 10.0], [1.5, 2.5]] for _ in range(5)],
        occupancies=[1.0, 1.0, 0.5, 0.5, 1.0],
        dw_factors=[0.5, 0.4, 0.3, 0.2, 0.1],
        parallel=parallel,
        num_threads=num_threads,
        use_simd=use_simd,
    )
    args.update(changes)
    return (), args


def peaks(**changes):
    args = dict(
        two_thetas=[10.0, 10.2, 30.0, 30.1, 45.0, 60.0],
        intensities=[1.0, 2.0, 5.0, 0.5, 3.0, 4.0],
        hkls=[[1, 0, 0], [0, 1, 0], [1, 1, 1], [1, 1, 0], [2, 0, 0], [2, 1, 0]],
        d_hkls=[4.0, 3.9, 2.0, 1.99, 1.5, 1.2],
        tolerance=0.5,
    )
    args.update(changes)
    return (), args


IDENTITY = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
FAMILIES = [[1, 0, 0], [0, 1, 0], [-1, 0, 0], [1, 1, 0], [0, -1, 1], [2, 0, 0], [1, 0, 0], [0, 0, 1, 0], []]

# (function, path, arguments, exception expected or None, calls per round)
CASES = [
    ("calculate_xrd_intensities", "success", xrd(), None, CALLS),
    ("calculate_xrd_intensities", "success, vectorised", xrd(use_simd=True), None, CALLS),
    ("calculate_xrd_intensities", "success, parallel", xrd(parallel=True), None, PARALLEL_CALLS),
    ("calculate_xrd_intensities", "conversion error, last argument", xrd(use_simd=1), TypeError, CALLS),
    ("calculate_xrd_intensities", "conversion error, overflow", xrd(num_threads=-1), OverflowError, CALLS),
    (
        "calculate_xrd_intensities",
        "conversion error, nested user exception",
        xrd(scattering_coeffs=[[[0.5, 10.0]]] * 4 + [[[Raises(UserError), 1.0]]]),
        UserError,
        CALLS,
    ),
    ("calculate_xrd_intensities", "matching error", xrd(bogus=1), TypeError, CALLS),
    ("calculate_xrd_intensities", "internal failure", xrd(occupancies=[1.0]), PANIC, CALLS),
    (
        "calculate_xrd_intensities",
        "internal failure, parallel",
        xrd(parallel=True, occupancies=[1.0]),
        PANIC,
        PARALLEL_CALLS,
    ),
    ("generate_hkl_points", "success", ((IDENTITY, 1.5, 0.5), {}), None, CALLS),
    ("generate_hkl_points", "conversion error", ((IDENTITY, 1.5, None), {}), TypeError, CALLS),
    ("generate_hkl_points", "internal failure", ((IDENTITY[:2], 1.5, 0.5), {}), PANIC, CALLS),
    ("generate_hkl_points", "box too large", ((IDENTITY, 1e300, 0.5), {}), ValueError, CALLS),
    ("get_unique_families_rust", "success", ((FAMILIES,), {}), None, CALLS),
    ("get_unique_families_rust", "conversion error, type", ((FAMILIES + [[1, 2.0]],), {}), TypeError, CALLS),
    ("get_unique_families_rust", "conversion error, overflow", ((FAMILIES + [[2**31]],), {}), OverflowError, CALLS),
    ("get_unique_families_rust", "matching error", ((FAMILIES, FAMILIES), {}), TypeError, CALLS),
    ("merge_peaks", "success", peaks(), None, CALLS),
    ("merge_peaks", "conversion error", peaks(tolerance=None), TypeError, CALLS),
    ("merge_peaks", "internal failure", peaks(intensities=[1.0, 2.0, 3.0]), PANIC, CALLS),
    ("normalize_intensities", "success", (([1.0, 2.0, 4.0, 0.5] * 4, 100.0), {}), None, CALLS),
    ("normalize_intensities", "success, zero maximum", (([0.0, -1.0] * 8, 100.0), {}), None, CALLS),
    ("normalize_intensities", "conversion error", (([1.0] * 16, "1"), {}), TypeError, CALLS),
    ("normalize_intensities", "user exception", (([1.0] * 15 + [Raises(UserError)], 1.0), {}), UserError, CALLS),
    ("normalize_intensities", "PanicException from user code", (([1.0] * 15 + [Raises(PANIC)], 1.0), {}), PANIC, CALLS),
]


def reachable(value, seen=None):
    """The argument objects and every item inside list, tuple or dict arguments."""
    seen = {} if seen is None else seen
    if id(value) not in seen:
        seen[id(value)] = value
        if isinstance(value, (list, tuple)):
            for item in value:
                reachable(item, seen)
        elif isinstance(value, dict):
            for item in value.values():
                reachable(item, seen)
    return seen


def reference_counts(objects):
    return {key: sys.getrefcount(obj) for key, obj in objects.items()}


def run(function, args, kwargs, expected, calls):
    if expected is None:
        for _ in range(calls):
            function(*args, **kwargs)
        return
    for _ in range(calls):
        try:
            function(*args, **kwargs)
        except expected:
            pass
        else:
            raise AssertionError(f"{function.__name__} did not raise {expected.__name__}")


def settled(measure, baseline, bound):
    """The measurement, given a moment to come back within bound: workers of a
    pool that was released are still exiting when the call returns."""
    value = measure()
    for _ in range(20):
        if value - baseline <= bound:
            break
        time.sleep(0.01)
        gc.collect()
        value = measure()
    return value


@pytest.mark.parametrize("name, path, arguments, expected, calls", CASES, ids=[f"{c[0]}: {c[1]}" for c in CASES])
def test_no_leak(name, path, arguments, expected, calls, capfd):
    function = getattr(peakforge, name)
    args, kwargs = arguments
    inputs = reachable((args, kwargs))
    text = repr((args, kwargs))

    block_bound = TRACEBACK_BLOCK_BOUND if path == "PanicException from user code" else BLOCK_BOUND
    run(function, args, kwargs, expected, calls)  # warm-up: caches, free lists
    gc.collect()  # also drops what earlier tests left behind, which may hold inputs
    refcounts = reference_counts(inputs)
    blocks, heap = sys.getallocatedblocks(), heap_in_use() if MALLINFO2 else 0
    for round_ in range(ROUNDS):
        run(function, args, kwargs, expected, calls)
        capfd.readouterr()  # diagnostics of internal failures pile up otherwise
        gc.collect()
        now = settled(sys.getallocatedblocks, blocks, block_bound)
        assert now - blocks <= block_bound, f"round {round_}: {now - blocks} Python blocks more"
        blocks = now
        if MALLINFO2:
            now = settled(heap_in_use, heap, HEAP_BOUND)
            assert now - heap <= HEAP_BOUND, f"round {round_}: {now - heap} bytes of C heap more"
            heap = now

    after = reference_counts(inputs)
    changed = {repr(inputs[key])[:60]: (count, after[key]) for key, count in refcounts.items() if after[key] != count}
    assert not changed, f"reference counts changed (before, after): {changed}"
    assert repr((args, kwargs)) == text, "the arguments were modified"
