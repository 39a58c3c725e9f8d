"""The symmetry search of atoms given without operations: what it finds,
its work limit and Ctrl-C in the middle of it."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import PACKAGE_PARENT

from peakforge_pattern import Structure, _engine, compute_pattern
from peakforge_pattern.diffraction.engine_route import engine_columns
from peakforge_pattern.diffraction.request import PatternRequest
from peakforge_pattern.errors import InputError


def rock_salt(n, moved=False):
    """Rock salt repeated n × n × n times, optionally with one sodium moved by
    0.3 of the small cell's edge: a structure that nearly has the full cubic
    symmetry (every candidate operation is followed by all atoms but a few)."""
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)])
    sodium = (fcc[None] + cells[:, None]).reshape(-1, 3)
    frac = np.concatenate([sodium, sodium + [0.5, 0, 0]]) / n
    if moved:
        frac[len(frac) // 3] += [0.3 / n, 0.3 / n, 0.3 / n]
    return Structure.from_arrays([5.64 * n] * 3 + [90] * 3, ["Na"] * len(sodium) + ["Cl"] * len(sodium), frac)


def _point_group_order(structure, max_work=None):
    """The order of the point group the engine finds (a shell of a few reflections: the search dominates)."""
    request = PatternRequest(wavelength=1.54, parallel=False, max_work=max_work)
    return engine_columns(structure, request, 0.0, 0.05)["point_group_order"]


def test_symmetry_found_in_supercells_and_refused_beyond_the_work_limit():
    """The search finds m-3m in a rock-salt supercell, 3m around a moved atom
    (the [111] axis through it) and nothing in random atoms; a search that
    would pass the work limit is refused with the engine's WorkLimitError."""
    assert _point_group_order(rock_salt(4)) == 48
    assert _point_group_order(rock_salt(4, moved=True)) == 6
    rng = np.random.default_rng(2)
    grid = np.array(np.meshgrid(*[np.arange(10)] * 3)).reshape(3, -1).T
    scattered = Structure.from_arrays(
        [20.0] * 3 + [90] * 3, rng.choice(["Si", "O"], 1000), (grid + 0.5 + rng.uniform(-0.2, 0.2, grid.shape)) / 10
    )
    assert _point_group_order(scattered) == 1
    start = time.process_time()
    moved = rock_salt(10, moved=True)
    with pytest.raises(_engine.WorkLimitError, match="finding the symmetry of 8000 atoms .* exceeds the work limit"):
        _point_group_order(moved, max_work=1e6)
    # compute_pattern passes its limit on, and says how to raise it.
    with pytest.raises(InputError, match="exceeds the work limit.*--max-work"):
        compute_pattern(moved, "CuKa", (10, 10.05), max_work=1e6)
    assert time.process_time() - start < 5.0


CHILD = f"""
import sys
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
from test_symmetry_search import rock_salt
from peakforge_pattern.diffraction.engine_route import engine_columns
from peakforge_pattern.diffraction.request import PatternRequest
structure = rock_salt(int(sys.argv[1]))
print("started", flush=True)
try:
    engine_columns(structure, PatternRequest(wavelength=1.54, parallel=False, max_work=None), 0.0, 0.05)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_stops_a_long_symmetry_search():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    # 216 000 atoms: a search of several seconds.
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, "30"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert out.strip() == "interrupted", err
    assert time.monotonic() - sent < 2.0


def test_a_supercell_found_without_operations_keeps_its_shifts_and_absences():
    """The bounded search also settles the pure translations: rock salt given as
    a 3 × 3 × 3 supercell of atoms without operations extinguishes every
    reflection but those of the small F-centred cell (h, k, l multiples of 3,
    of one parity over 3); a small work limit refuses the search."""
    from peakforge_pattern.diffraction.engine_route import engine_reflection_columns

    structure = rock_salt(3)
    table = engine_reflection_columns(structure, PatternRequest(wavelength=1.54, parallel=False), 0.0, 0.6)
    hkl = np.asarray(table["hkl"]).reshape(-1, 3)
    small = hkl % 3 == 0
    allowed = small.all(axis=1)
    parity = (hkl // 3) % 2
    allowed &= (parity == parity[:, :1]).all(axis=1)
    assert len(hkl) > 20 and np.array_equal(np.asarray(table["absent"]) == 0, allowed)
    assert len(table["rotations"]) == 48 and len(table["centring"]) >= 3
    with pytest.raises(_engine.WorkLimitError):
        engine_reflection_columns(structure, PatternRequest(wavelength=1.54, parallel=False, max_work=2e3), 0.0, 0.6)
