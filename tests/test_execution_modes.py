"""Serial and parallel walks, scalar and 4-lane structure factor, the call pool."""

import math
import os
import random
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from conftest import bits, index_message, panic_of

import peakforge

xrd = peakforge.calculate_xrd_intensities
COEFFS = {
    8: [[0.5, 10.0], [1.2, 2.5], [0.3, 0.8], [0.1, 30.0]],
    14: [[2.0, 3.0], [1.0, 12.0], [0.5, 40.0], [0.2, 0.4]],
    26: [[3.0, 1.0], [1.5, 20.0], [0.8, 0.5], [0.05, 60.0]],
}


def structure(atoms, reflections, seed=0):
    """Keyword arguments of a random three-species structure, mode left out."""
    rng = random.Random(seed)
    zs = [rng.choice(sorted(COEFFS)) for _ in range(atoms)]
    return dict(
        hkls=[[rng.randint(-6, 6) for _ in range(3)] for _ in range(reflections)],
        g_hkls=[rng.choice([0.0, 2.5, rng.uniform(0.05, 1.3)]) for _ in range(reflections)],
        wavelength=1.5406,
        frac_coords_x=[rng.random() for _ in range(atoms)],
        frac_coords_y=[rng.random() for _ in range(atoms)],
        frac_coords_z=[rng.random() for _ in range(atoms)],
        atomic_numbers=zs,
        scattering_coeffs=[COEFFS[z] for z in zs],
        occupancies=[rng.choice([1.0, 0.5]) for _ in range(atoms)],
        dw_factors=[rng.choice([0.3, 0.45, -0.0, rng.random()]) for _ in range(atoms)],
    )


def run(args, parallel=False, num_threads=0, use_simd=False):
    return xrd(**args, parallel=parallel, num_threads=num_threads, use_simd=use_simd)


def panic_message(args, **mode):
    return str(panic_of(run, args, **mode))


@pytest.mark.parametrize("use_simd", [False, True])
@pytest.mark.parametrize("reflections", [0, 1, 300])
def test_parallel_walk_gives_the_serial_bits(reflections, use_simd):
    args = structure(atoms=13, reflections=reflections)
    serial = run(args, use_simd=use_simd)
    assert len(serial) == reflections
    for workers in (1, 2, 3, 4, 7, 8):
        assert bits(run(args, True, workers, use_simd)) == bits(serial), workers
    assert bits(run(args, True, 0, use_simd)) == bits(serial)


@pytest.mark.parametrize("atoms", [1, 2, 3])
def test_simd_with_fewer_than_four_atoms_gives_the_scalar_bits(atoms):
    args = structure(atoms, reflections=200, seed=atoms)
    assert bits(run(args, use_simd=True)) == bits(run(args))


@pytest.mark.parametrize("atoms", [4, 5, 9, 64])
def test_simd_agrees_with_scalar_to_rounding(atoms):
    args = structure(atoms, reflections=400, seed=atoms)
    scalar, simd = run(args), run(args, use_simd=True)
    # Intensities near zero come from cancellation; measure the error against
    # the largest intensity the sum could reach at that angle.
    for (t1, i1), (t2, i2) in zip(scalar, simd):
        assert t1 == t2
        assert abs(i1 - i2) <= 1e-12 * max(abs(i1), 1.0) * atoms * atoms


def test_lanes_use_the_vector_sine_and_the_rest_the_scalar_one():
    # Phase 1e17: the vector sine/cosine has lost every bit of it and gives
    # (0, 1), the C library gives ordinary values. Atoms 0-3 are summed in the
    # lanes, atom 4 in the scalar step.
    h = 1e17 / (2 * math.pi)
    phase = 2 * math.pi * ((h * 1.0 + 0.0 * 0.0) + 0.0 * 0.0)
    one_atom = dict(
        hkls=[[h, 0, 0]],
        g_hkls=[0.5],
        wavelength=1.0,
        frac_coords_x=[0.0],
        frac_coords_y=[0.0],
        frac_coords_z=[0.0],
        atomic_numbers=[1],
        scattering_coeffs=[[]],
        occupancies=[1.0],
        dw_factors=[0.0],
    )
    [(_, lp)] = run(one_atom)  # |F|^2 = 1: the intensity is the LP factor
    five = {
        **one_atom,
        "frac_coords_x": [0.0, 1.0, 0.0, 1.0, 1.0],
        "frac_coords_y": [0.0] * 5,
        "frac_coords_z": [0.0] * 5,
        "atomic_numbers": [1] * 5,
        "scattering_coeffs": [[]] * 5,
        "occupancies": [1.0] * 5,
        "dw_factors": [0.0] * 5,
    }
    re_part = 4.0 + math.cos(phase)
    im_part = 0.0 + math.sin(phase)
    [(_, intensity)] = run(five, use_simd=True)
    assert intensity == lp * (re_part * re_part + im_part * im_part)
    [(_, scalar)] = run(five)
    assert scalar != intensity


def test_simd_reads_hkl_first_even_without_atoms():
    args = dict(
        hkls=[[1, 0], [1, 0]],
        g_hkls=[0.5, 0.0],
        wavelength=1.0,
        frac_coords_x=[],
        frac_coords_y=[],
        frac_coords_z=[],
        atomic_numbers=[],
        scattering_coeffs=[],
        occupancies=[],
        dw_factors=[],
    )
    assert run(args) == [(28.95502437185985, 0.0), (0.0, 0.0)]
    for parallel in (False, True):
        assert panic_message(args, parallel=parallel, num_threads=2, use_simd=True) == index_message(2, 2)
    early = {**args, "g_hkls": [0.0, 2.5]}  # both reflections exit before the sum
    assert run(early, use_simd=True) == [(0.0, 0.0), (0.0, 0.0)]


MODES = [
    dict(parallel=p, num_threads=w, use_simd=s) for p, w in ((False, 0), (True, 1), (True, 3)) for s in (False, True)
]


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(scattering_coeffs=[COEFFS[8]] * 5), index_message(5, 5)),
        (dict(scattering_coeffs=[COEFFS[8]] * 3 + [[[1.0]]] + [[]] * 5), index_message(1, 1)),
        (dict(scattering_coeffs=[COEFFS[8]] * 2 + [[[1.0, 2.0], []]] + [[]] * 6), index_message(0, 0)),
        (dict(occupancies=[1.0] * 6), index_message(6, 6)),
        (dict(frac_coords_y=[0.0] * 7, dw_factors=[0.0] * 6), index_message(6, 6)),
        (dict(frac_coords_z=[0.0] * 5, atomic_numbers=[8] * 6), index_message(5, 5)),
        (dict(dw_factors=[0.0] * 2), index_message(2, 2)),
    ],
)
def test_short_atom_arrays_fail_alike_in_every_mode(changes, message):
    args = {**structure(atoms=9, reflections=40, seed=3), **changes}
    args["g_hkls"] = [0.0, 0.7] * 20
    for mode in MODES:
        assert panic_message(args, **mode) == message, mode
    # Reflections that exit early read no atom data at all.
    early = {**args, "g_hkls": [0.0, 2.5] * 20}
    for mode in MODES:
        assert run(early, **mode) == [(0.0, 0.0)] * 40


def test_short_g_hkls_fails_with_one_of_the_failing_indices():
    args = {**structure(atoms=6, reflections=50, seed=4)}
    args["g_hkls"] = args["g_hkls"][:30]
    assert panic_message(args) == index_message(30, 30)
    possible = {index_message(30, i) for i in range(30, 50)}
    for workers in (2, 7):
        assert panic_message(args, parallel=True, num_threads=workers) in possible


def test_failures_on_workers_are_reported_by_each_and_raised_once(capfd):
    args = {**structure(atoms=6, reflections=400, seed=5), "occupancies": [1.0] * 5}
    args["g_hkls"] = [0.5] * 400
    capfd.readouterr()
    assert panic_message(args, parallel=True, num_threads=4) == index_message(5, 5)
    err = capfd.readouterr().err
    heads = re.findall(
        r"thread '<unnamed>' \((\d+)\) panicked at [^\n]+:\n" + re.escape(index_message(5, 5)) + "\n", err
    )
    assert 1 <= len(heads) <= 4, err
    assert len(set(heads)) == len(heads)  # one diagnostic per failing worker
    assert str(threading.get_native_id()) not in heads
    # Nothing is left over for the next call.
    assert run({**args, "occupancies": [1.0] * 6}, True, 4) == run({**args, "occupancies": [1.0] * 6})


CHILD = """
import os, sys, time
import peakforge
n = 12
args = ([[1, 2, 3]] * 20000, [0.6] * 20000, 1.0, [0.1] * n, [0.2] * n, [0.3] * n, [8] * n,
        [[[1.0, 2.0]] * 4] * n, [1.0] * n, [0.5] * n)
print("ready", flush=True)
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    peakforge.calculate_xrd_intensities(*args, True, int(sys.argv[1]), False)
"""


def observed_workers(num_threads, env, seconds=0.4, attempts=3):
    """The largest number of extra threads a child shows while it repeats a
    parallel call: the pool's worker count. A child that could not start a
    thread (EAGAIN: the machine's thread limit, reached by other work) is
    run again."""
    environment = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    environment.update(env)
    for attempt in range(attempts):
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(num_threads), str(seconds)],
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert child.stdout.readline() == "ready\n"
        tasks = f"/proc/{child.pid}/task"
        most = 0
        while child.poll() is None:
            try:
                most = max(most, len(os.listdir(tasks)))
            except FileNotFoundError:
                break
            time.sleep(0.001)
        err = child.communicate()[1]
        if child.returncode == 0:
            return most - 1
        if "Resource temporarily unavailable" not in err or attempt + 1 == attempts:
            raise AssertionError(f"the child failed ({child.returncode}): {err[-2000:]}")


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize(
    "num_threads, env, expected",
    [
        (3, {"RAYON_NUM_THREADS": "5"}, 3),
        (0, {"RAYON_NUM_THREADS": "+2", "RAYON_RS_NUM_CPUS": "5"}, 2),
        (0, {"RAYON_NUM_THREADS": "2.0", "RAYON_RS_NUM_CPUS": "5"}, 5),
        (0, {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, os.process_cpu_count()),
    ],
)
def test_worker_count_seen_from_outside(num_threads, env, expected):
    assert observed_workers(num_threads, env) == expected


def test_pool_that_cannot_be_built_fails_and_leaks_nothing():
    # A stack reservation no system can give: the first worker cannot start.
    # The variable is read once per process, so the child keeps failing after
    # it changes.
    script = textwrap.dedent("""
        import os, peakforge
        args = ([[1, 0, 0]], [0.5], 1.0, [0.0], [0.0], [0.0], [1], [[]], [1.0], [0.0])
        for attempt in range(2):
            try:
                peakforge.calculate_xrd_intensities(*args, True, 2, False)
            except BaseException as e:
                print(type(e).__name__, str(e).startswith(
                    "called `Result::unwrap()` on an `Err` value"))
            os.environ["RUST_MIN_STACK"] = "65536"
        print(len(os.listdir("/proc/self/task")))
        print(peakforge.calculate_xrd_intensities(*args, False, 2, False))
    """)
    env = {**os.environ, "RUST_MIN_STACK": "+" + str(2**62), "RUST_BACKTRACE": "0"}
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout == ("PanicException True\n" * 2 + "1\n[(28.95502437185985, 29.176474541429208)]\n"), done.stderr
