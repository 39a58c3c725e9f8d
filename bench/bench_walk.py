"""Times the pattern engine's reflection walk on a shell that is nearly all
walk (a thin shell of a long cell: millions of index triples visited, few
reflections kept), in this interpreter and, side by side in the same run, in
a child interpreter that imports another build of the engine.

The walk checks for Ctrl-C every few million candidates, inside its rows;
this measures what that costs against a build that checks between rows.

Run: PYTHONPATH=<build dir> python bench/bench_walk.py [--other <build dir or site-packages>] [--repeats N]
Reports the CPU seconds per walk of each build and their ratio.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

# A P1 cell 5 x 330 x 330 A at Cu K-alpha, 2theta 89.9-90: about 4.8e6 index
# triples (under the engine's default walk bound of 5e6), a few thousand kept.
RECIPROCAL = np.diag([1 / 5.0, 1 / 330.0, 1 / 330.0])
WAVELENGTH = 1.5406
MIN_G, MAX_G = (2.0 * np.sin(np.radians(t) / 2.0) / WAVELENGTH for t in (89.9, 90.0))


def walk_seconds(repeats: int) -> dict:
    """CPU seconds per walk (best of ``repeats``) of the engine this interpreter imports."""
    from peakforge_pattern import _engine

    arguments = (
        RECIPROCAL,
        WAVELENGTH,
        MIN_G,
        MAX_G,
        np.zeros((1, 3)),
        np.zeros(1, np.int32),
        np.ones(1),
        np.zeros(1),
        None,
        np.array([6.0]),
        np.zeros((1, 5, 2)),
        np.zeros((1, 2)),
        np.zeros((0, 3, 3), np.int32),
        np.zeros((0, 3)),
    )
    best = float("inf")
    peaks = 0
    for _ in range(repeats):
        started = time.process_time()
        table = _engine.compute_peak_table(*arguments, parallel=False)
        best = min(best, time.process_time() - started)
        peaks = len(table["two_theta"])
    return {"seconds": best, "peaks": peaks, "engine": _engine.__file__}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--other", help="PYTHONPATH of the other build, for the side-by-side run")
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(walk_seconds(args.repeats)))
        return
    rounds = []
    for _ in range(3):  # alternate the two builds so that load on the machine falls on both
        this = walk_seconds(args.repeats)
        other = None
        if args.other:
            env = dict(os.environ, PYTHONPATH=args.other)
            done = subprocess.run(
                [sys.executable, __file__, "--child", "--repeats", str(args.repeats)],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            other = json.loads(done.stdout)
        rounds.append((this, other))
    this = min((r[0] for r in rounds), key=lambda r: r["seconds"])
    print(f"this build:  {1e3 * this['seconds']:8.2f} ms CPU per walk, {this['peaks']} peaks ({this['engine']})")
    if args.other:
        other = min((r[1] for r in rounds), key=lambda r: r["seconds"])
        print(f"other build: {1e3 * other['seconds']:8.2f} ms CPU per walk, {other['peaks']} peaks ({other['engine']})")
        print(f"ratio this/other: {this['seconds'] / other['seconds']:.3f}")


if __name__ == "__main__":
    main()
