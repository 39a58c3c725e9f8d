"""Times generate_hkl_points and get_unique_families_rust on realistic inputs,
side by side with a NumPy walk and a pure-Python grouping of the same results.

Run: PYTHONPATH=<build dir> python bench/bench_reflections.py
"""

import math
import random
import time

import numpy as np

import peakforge

WAVELENGTH = 1.5406  # Cu K-alpha, Å
MAX_R = 2 / WAVELENGTH


def reciprocal_rows(a, b, c, alpha, beta, gamma):
    """a*, b*, c* (no 2π) as rows, from cell lengths in Å and angles in degrees."""
    al, be, ga = map(math.radians, (alpha, beta, gamma))
    cx = c * math.cos(be)
    cy = c * (math.cos(al) - math.cos(be) * math.cos(ga)) / math.sin(ga)
    cz = math.sqrt(c * c - cx * cx - cy * cy)
    direct = np.array([[a, 0, 0], [b * math.cos(ga), b * math.sin(ga), 0], [cx, cy, cz]])
    return np.linalg.inv(direct).T.tolist()


def candidates(rows, max_r):
    def bound(v):
        s = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]
        return math.ceil(max_r / math.sqrt(s)) + 1 if s > 0 else 1

    H, K, L = (bound(v) for v in rows)
    return (2 * H + 1) * (2 * K + 1) * (2 * L + 1) - 1


def numpy_points(rows, max_r, min_r):
    """The same walk vectorised with NumPy, same evaluation order and sort."""
    a, b, c = (np.array(v) for v in rows)

    def bound(v):
        s = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]
        return math.ceil(max_r / math.sqrt(s)) + 1 if s > 0 else 1

    H, K, L = bound(a), bound(b), bound(c)
    h, k, l = np.meshgrid(np.arange(-H, H + 1.0), np.arange(-K, K + 1.0), np.arange(-L, L + 1.0), indexing="ij")
    h, k, l = h.ravel(), k.ravel(), l.ravel()
    x = (h * a[0] + k * b[0]) + l * c[0]
    y = (h * a[1] + k * b[1]) + l * c[1]
    z = (h * a[2] + k * b[2]) + l * c[2]
    g = np.sqrt((x * x + y * y) + z * z)
    keep = (min_r <= g) & (g <= max_r) & ~((h == 0) & (k == 0) & (l == 0))
    h, k, l, g = h[keep], k[keep], l[keep], g[keep]
    order = np.lexsort((-l, -k, -h, g))
    return [([h[i], k[i], l[i]], g[i]) for i in order.tolist()]


def python_families(hkls):
    """Grouping by magnitude form in a Python dict."""
    found = {}
    for t in hkls:
        key = (len(t), tuple(sorted(abs(v) for v in t)))
        entry = found.get(key)
        if entry is None:
            found[key] = [tuple(t), 1]
        else:
            entry[1] += 1
            if tuple(t) > entry[0]:
                entry[0] = tuple(t)
    return {rep: n for rep, n in found.values()}


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    cells = {
        "5 Å cubic": reciprocal_rows(5, 5, 5, 90, 90, 90),
        "25 Å triclinic": reciprocal_rows(25, 27, 30, 80, 95, 105),
    }
    print(f"generate_hkl_points, max_r = 2/{WAVELENGTH} = {MAX_R:.6f} 1/Å")
    # The full shell measures walk plus result building; a thin shell just
    # inside max_r returns few points and so measures the walk itself.
    shells = {"full shell": 0.0, "thin shell": MAX_R - 0.002}
    for name, rows in cells.items():
        n = candidates(rows, MAX_R)
        for shell, min_r in shells.items():
            native = peakforge.generate_hkl_points(rows, MAX_R, min_r)
            assert native == numpy_points(rows, MAX_R, min_r)
            repeats = 20 if n < 10**5 else 5
            t_native = best_of(lambda: peakforge.generate_hkl_points(rows, MAX_R, min_r), repeats)
            t_numpy = best_of(lambda: numpy_points(rows, MAX_R, min_r), repeats)
            print(
                f"  {name}, {shell}: {n} candidates, {len(native)} points; "
                f"peakforge {t_native * 1e3:.3f} ms ({t_native / n * 1e9:.2f} ns/candidate), "
                f"numpy {t_numpy * 1e3:.3f} ms ({t_numpy / n * 1e9:.2f} ns/candidate); "
                f"numpy/peakforge = {t_numpy / t_native:.1f}"
            )

    rng = random.Random(1)
    hkls = [[rng.randint(-10, 10) for _ in range(3)] for _ in range(10**5)]
    result = peakforge.get_unique_families_rust(hkls)
    assert result == python_families(hkls)
    t_native = best_of(lambda: peakforge.get_unique_families_rust(hkls), 5)
    t_python = best_of(lambda: python_families(hkls), 3)
    n = len(hkls)
    print(
        f"get_unique_families_rust: {n} random tuples in [-10, 10]^3, {len(result)} families; "
        f"peakforge {t_native * 1e3:.2f} ms ({t_native / n * 1e9:.1f} ns/tuple, conversion "
        f"included), python dict {t_python * 1e3:.2f} ms ({t_python / n * 1e9:.1f} ns/tuple); "
        f"python/peakforge = {t_python / t_native:.1f}"
    )


if __name__ == "__main__":
    main()
