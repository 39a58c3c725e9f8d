"""merge_peaks and normalize_intensities on 10^6 peaks, side by side with the
obvious alternatives: NumPy's `a / np.nanmax(a) * v` for normalisation, and a
Python loop for merging (NumPy has no run-merging primitive).

Run: PYTHONPATH=<build dir> python bench/bench_peaks.py [N]
Prints the best of several runs for each and the ratio alternative / peakforge.
"""

import gc
import random
import sys
import time

import numpy as np

import peakforge

N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def compare(label, ours, theirs, repeats=7, same_result=True):
    """Best of `repeats` runs of each, the two interleaved so that a change of
    load on the machine hits both alike."""
    ours_times, theirs_times = [], []
    for _ in range(repeats):
        ours_time, ours_result = timed(ours)
        theirs_time, theirs_result = timed(theirs)
        if same_result:
            assert ours_result == theirs_result, label
        del ours_result, theirs_result  # freed outside the timed regions
        ours_times.append(ours_time)
        theirs_times.append(theirs_time)
    ours_time, theirs_time = min(ours_times), min(theirs_times)
    print(
        f"{label:<52} peakforge {ours_time * 1e3:8.1f} ms   alternative "
        f"{theirs_time * 1e3:8.1f} ms   ratio {theirs_time / ours_time:5.2f}x"
    )


def merge_in_python(two_thetas, intensities, hkls, d_hkls, tolerance):
    out_t, out_i, out_h, out_d = [], [], [], []
    if not two_thetas:
        return out_t, out_i, out_h, out_d
    anchor, total, members, spacing = two_thetas[0], intensities[0], [list(hkls[0])], d_hkls[0]
    for j in range(1, len(two_thetas)):
        if abs(two_thetas[j] - anchor) < tolerance:
            total += intensities[j]
            members.append(list(hkls[j]))
        else:
            out_t.append(anchor)
            out_i.append(total)
            out_h.append(members)
            out_d.append(spacing)
            anchor, total, members, spacing = (two_thetas[j], intensities[j], [list(hkls[j])], d_hkls[j])
    out_t.append(anchor)
    out_i.append(total)
    out_h.append(members)
    out_d.append(spacing)
    return out_t, out_i, out_h, out_d


def main():
    rng = random.Random(5)
    # Sorted angles with gaps around the tolerance, so about half the peaks merge.
    two_thetas = []
    angle = 5.0
    for _ in range(N):
        angle += rng.expovariate(1 / 0.05)
        two_thetas.append(angle)
    intensities = [rng.random() * 1000.0 for _ in range(N)]
    hkls = [[rng.randrange(-9, 10) for _ in range(3)] for _ in range(N)]
    d_hkls = [1.0 / (t + 1.0) for t in two_thetas]
    tolerance = 0.05
    array = np.array(intensities)
    groups = len(peakforge.merge_peaks(two_thetas, intensities, hkls, d_hkls, tolerance)[0])
    print(f"N = {N} peaks, {groups} merged groups")

    compare(
        "normalize: list in, list out",
        lambda: peakforge.normalize_intensities(intensities, 100.0),
        lambda: (lambda a: (a / np.nanmax(a) * 100.0).tolist())(np.array(intensities)),
    )
    compare(
        "normalize: ndarray in, list out (both)",
        lambda: peakforge.normalize_intensities(array, 100.0),
        lambda: (array / np.nanmax(array) * 100.0).tolist(),
    )
    # NumPy's array result skips building a million float objects: the bound
    # on what any list-returning call can reach.
    compare(
        "normalize: ndarray in, ndarray out (NumPy only)",
        lambda: peakforge.normalize_intensities(array, 100.0),
        lambda: array / np.nanmax(array) * 100.0,
        same_result=False,
    )

    # The same call on an ndarray subclass, which conversion must iterate:
    # what the buffer path of exact float64 arrays saves.
    class Iterated(np.ndarray):
        pass

    iterated = array.view(Iterated)
    compare(
        "normalize: ndarray via buffer (alt.: via iteration)",
        lambda: peakforge.normalize_intensities(array, 100.0),
        lambda: peakforge.normalize_intensities(iterated, 100.0),
    )
    compare(
        "merge: lists in, lists out (Python loop)",
        lambda: peakforge.merge_peaks(two_thetas, intensities, hkls, d_hkls, tolerance),
        lambda: tuple(merge_in_python(two_thetas, intensities, hkls, d_hkls, tolerance)),
        repeats=3,
    )
    # Both sides create some two million lists; the interpreter's cyclic
    # collector, triggered by those allocations, adds a share that varies
    # from run to run. Without it, the work proper:
    gc.disable()
    try:
        compare(
            "merge: the same, cyclic GC paused for both",
            lambda: peakforge.merge_peaks(two_thetas, intensities, hkls, d_hkls, tolerance),
            lambda: tuple(merge_in_python(two_thetas, intensities, hkls, d_hkls, tolerance)),
            repeats=3,
        )
    finally:
        gc.enable()


if __name__ == "__main__":
    main()
