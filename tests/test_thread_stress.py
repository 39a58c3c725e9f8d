"""Many Python threads calling at once get exactly the serial answers.

Eight Python threads make 200 calls each. The calls of calculate_xrd_intensities
run on call pools of 1, 2, 4 or 8 workers, while pools of earlier calls, from
this thread or another, may still be winding down; some calls fail inside a
worker on purpose. The other functions are mixed in. Every result must equal,
bit for bit, the answer computed serially before the threads started.
"""

import math
import sys
import threading

from conftest import bits

import peakforge

THREADS = 8
CALLS = 200
WORKERS = (1, 2, 4, 8)


def intensity_arguments(parallel, num_threads, use_simd, occupancies=None):
    """48 reflections over 9 atoms, so that every worker of a pool gets work
    and the vectorised sum has full lane groups and a remainder."""
    atoms = 9
    hkls = [[float(h), float(k), float(h - k)] for h in range(-3, 5) for k in range(6)]
    g = [0.15 + 0.02 * i for i in range(len(hkls))]
    g[5] = 0.0  # exits early
    g[7] = 3.0  # beyond the limiting sphere
    g[11] = math.nan
    return (
        hkls,
        g,
        1.5406,
        [0.1 * j for j in range(atoms)],
        [0.05 * j for j in range(atoms)],
        [0.5 - 0.03 * j for j in range(atoms)],
        [1 + 3 * j for j in range(atoms)],
        [[[0.4 + 0.1 * j, 12.0], [1.1, 3.0 + j], [0.3, 0.5]] for j in range(atoms)],
        occupancies if occupancies is not None else [1.0 - 0.05 * j for j in range(atoms)],
        [0.3 + 0.1 * j for j in range(atoms)],
        parallel,
        num_threads,
        use_simd,
    )


# The other functions, mixed in with their arguments.
OTHER_CALLS = {
    "generate_hkl_points": ([[0.4, 0.0, 0.0], [0.1, 0.5, 0.0], [0.0, 0.2, 0.45]], 1.2, 0.1),
    "get_unique_families_rust": ([[h, k, l] for h in range(-2, 3) for k in range(-2, 3) for l in range(0, 2)],),
    "merge_peaks": (
        [10.0, 10.2, 30.0, 30.1, 30.4, 45.0] * 5,
        [1.0, 2.0, 5.0, 0.5, 3.0, 4.0] * 5,
        [[1, 0, 0], [0, 1, 0], [1, 1, 1], [1, 1, 0], [2, 0, 0], [2, 1, 0]] * 5,
        [4.0, 3.9, 2.0, 1.99, 1.5, 1.2] * 5,
        0.5,
    ),
    "normalize_intensities": ([0.5 * i for i in range(40)] + [math.nan], 100.0),
}


SHORT = [1.0, 1.0]  # occupancies too short for the 9 atoms: every reflection fails


def serial_failure(use_simd):
    try:
        peakforge.calculate_xrd_intensities(*intensity_arguments(False, 0, use_simd, SHORT))
    except BaseException as e:  # noqa: B036
        return type(e), str(e)
    raise AssertionError("short occupancies did not fail")


def test_threads_calling_at_once_get_the_serial_answers():
    serial = {
        use_simd: bits(peakforge.calculate_xrd_intensities(*intensity_arguments(False, 0, use_simd)))
        for use_simd in (False, True)
    }
    others = [
        (getattr(peakforge, name), args, bits(getattr(peakforge, name)(*args))) for name, args in OTHER_CALLS.items()
    ]
    failing = {use_simd: serial_failure(use_simd) for use_simd in (False, True)}
    failures = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        start.wait()
        for call in range(CALLS):
            step = seed + call
            try:
                if step % 10 == 9:  # fails inside a worker of the pool
                    use_simd = step % 3 == 0
                    panic, message = failing[use_simd]
                    try:
                        peakforge.calculate_xrd_intensities(
                            *intensity_arguments(True, WORKERS[step % 4], use_simd, SHORT)
                        )
                    except panic as e:
                        assert str(e) == message
                    else:
                        raise AssertionError("short occupancies did not fail")
                elif step % 5 == 4:
                    function, args, expected = others[step % len(others)]
                    assert bits(function(*args)) == expected, function.__name__
                else:
                    use_simd = step % 3 == 0
                    result = peakforge.calculate_xrd_intensities(
                        *intensity_arguments(True, WORKERS[step % 4], use_simd)
                    )
                    assert bits(result) == serial[use_simd], f"{WORKERS[step % 4]} workers, use_simd={use_simd}"
            except BaseException as e:  # noqa: B036 - reported below, from the main thread
                failures.append(f"thread {seed}, call {call}: {type(e).__name__}: {e}")
                return

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock around often
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, "\n".join(failures)
