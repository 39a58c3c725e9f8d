"""The intensity kernel's ways to the same bits: 4 and 8 lanes, reflections
reused from their mirror images, factors shared by equal g; workers that run
out of memory."""

import math
import os
import random
import struct
import subprocess
import sys
import textwrap

import pytest

import peakforge

COEFFS = {8: [[0.5, 10.0], [1.2, 2.5]], 14: [[2.0, 3.0], [1.0, 12.0], [0.5, 40.0]], 26: [[3.0, 1.0]]}


def structure(atoms, seed):
    """A random structure whose reflection list holds mirror images, repeats
    and lone reflections, NaN and huge phases, early exits and NaN g."""
    rng = random.Random(seed)
    hkls, gs = [], []
    for _ in range(120):
        hkl = [rng.randint(-5, 5) for _ in range(3)]
        g = rng.choice([math.sqrt(sum(i * i for i in hkl)) / 6.1, 0.0, 2.5, math.nan, rng.uniform(0.05, 1.2)])
        hkls.append(hkl)
        gs.append(g)
        if rng.random() < 0.5:
            hkls.append([-i for i in hkl] if rng.random() < 0.8 else list(hkl))
            gs.append(g)
    hkls[3] = [1e17 / (2 * math.pi), 2.0, -1.0]  # a phase beyond the reduction: sine 0
    hkls[4] = [-i for i in hkls[3]]
    gs[4] = gs[3]
    x = [rng.random() for _ in range(atoms)]
    if atoms > 2 and seed % 2:
        x[atoms // 2] = math.nan
    zs = [rng.choice(sorted(COEFFS)) for _ in range(atoms)]
    return dict(
        hkls=hkls,
        g_hkls=gs,
        wavelength=1.5406,
        frac_coords_x=x,
        frac_coords_y=[rng.random() for _ in range(atoms)],
        frac_coords_z=[rng.random() for _ in range(atoms)],
        atomic_numbers=zs,
        scattering_coeffs=[COEFFS[z] for z in zs],
        occupancies=[rng.choice([1.0, 0.5]) for _ in range(atoms)],
        dw_factors=[rng.choice([0.3, -0.0, rng.random()]) for _ in range(atoms)],
    )


def packed(pairs):
    return b"".join(struct.pack("<2d", *pair) for pair in pairs)


def calculate(args, parallel=False, use_simd=True, simd=None):
    if simd is None:
        os.environ.pop("PEAKFORGE_SIMD", None)
    else:
        os.environ["PEAKFORGE_SIMD"] = simd
    try:
        return peakforge.calculate_xrd_intensities(**args, parallel=parallel, num_threads=3, use_simd=use_simd)
    finally:
        os.environ.pop("PEAKFORGE_SIMD", None)


@pytest.mark.parametrize("atoms, seed", [(0, 1), (3, 2), (5, 3), (13, 4), (31, 5), (101, 6)])
def test_every_path_gives_the_same_bits(atoms, seed):
    args = structure(atoms, seed)
    for use_simd in (False, True):
        serial = packed(calculate(args, use_simd=use_simd))
        assert packed(calculate(args, parallel=True, use_simd=use_simd)) == serial
        if use_simd:  # 8 lanes where the processor has them, and 4
            assert packed(calculate(args, simd="avx2")) == serial
            assert packed(calculate(args, parallel=True, simd="avx2")) == serial
        # Each reflection alone has no earlier mirror image or repeat to reuse.
        alone = b"".join(
            packed(calculate(dict(args, hkls=[hkl], g_hkls=[g]), use_simd=use_simd))
            for hkl, g in zip(args["hkls"], args["g_hkls"])
        )
        assert alone == serial


def test_mirror_images_do_not_change_which_reflection_fails():
    args = structure(7, 8)
    # Reflection 2 has two indices and fails; the mirror images around it,
    # and reflection 5 past the end of g_hkls, change nothing.
    args.update(hkls=[[1, 2, 3], [-1, -2, -3], [2, 2], [1, 2, 3], [-1, -2, -3], [-1, -2, -3]], g_hkls=[0.4] * 5)
    for use_simd in (False, True):
        with pytest.raises(BaseException) as info:
            calculate(args, use_simd=use_simd)
        assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"


@pytest.mark.exhausts_memory
def test_parallel_call_out_of_memory_raises_memory_error():
    # Address-space limits from the process's size up to 8 MiB above it, each
    # in a forked child whose first parallel call it is (so no worker has a
    # malloc arena yet): the call runs out somewhere (converting the
    # arguments, the scratch space, a worker's stack or its thread-local
    # data) or not at all. It must end in MemoryError, the pool's own
    # failure or the answer, and the next call must work; nothing may end
    # the process.
    script = textwrap.dedent("""
        import os, re, resource, peakforge
        n = 20000
        args = ([[1, 2, 3], [-1, -2, -3], [2, 0, 1]] * 50, [0.6, 0.6, 0.5] * 50, 1.0,
                [0.1] * n, [0.2] * n, [0.3] * n, [8] * n, [[[1.0, 2.0]]] * n, [1.0] * n, [0.5] * n)
        expected = peakforge.calculate_xrd_intensities(*args, False, 0, True)
        def attempt(extra):
            size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read())[1]) << 10
            resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))
            try:
                result = peakforge.calculate_xrd_intensities(*args, True, 2, True)
                outcome = "answer" if result == expected else "wrong"
            except MemoryError:
                outcome = "MemoryError"
            except BaseException as e:
                outcome = "pool" if str(e).startswith(
                    "called `Result::unwrap()` on an `Err` value: cannot start worker thread"
                ) else repr(e)
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            again = peakforge.calculate_xrd_intensities(*args, True, 2, True) == expected
            return outcome if again else outcome + ", then a wrong answer"
        outcomes = set()
        for extra in range(0, 8 << 20, 32 << 10):
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.write(write, attempt(extra).encode())
                os._exit(0)
            os.close(write)
            report = os.read(read, 1000).decode()
            os.close(read)
            _, status = os.waitpid(pid, 0)
            outcomes.add(report or f"died with status {status} at {extra >> 10} KiB")
        print(sorted(outcomes))
    """)
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "RUST_BACKTRACE": "0"},
    )
    assert done.returncode == 0, done.stderr[-2000:]
    outcomes = set(eval(done.stdout))
    assert {"MemoryError", "answer"} <= outcomes <= {"MemoryError", "pool", "answer"}, outcomes
