"""Type checkers see both installed packages, the stubs match the module, and
the package's own annotations hold.

mypy --strict checks a small program using both packages.
Each line of the sample that mypy must reject ends in `# error: CODE`, each
reveal_type line in `# reveals: TYPE`; mypy must report exactly those. The
packages are the installed ones (mypy runs in an empty folder), so a stub or a
py.typed marker missing from the wheel fails here.
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

SAMPLE = textwrap.dedent("""\
    import numpy as np

    import peakforge
    from peakforge_pattern import Structure, compute_pattern, example_path

    pattern = compute_pattern(example_path("silicon"), wavelength="CuKa")
    example_path(1)  # error: arg-type
    silicon = Structure.from_arrays([5.431] * 3 + [90.0] * 3, ["Si"], [[0.0, 0.0, 0.0]])

    points = peakforge.generate_hkl_points(silicon.reciprocal, max_r=1.0, min_r=0.0)
    reveal_type(points)  # reveals: list[tuple[list[float], float]]
    pairs = peakforge.calculate_xrd_intensities(
        [hkl for hkl, _ in points], np.array([g for _, g in points]), 1.5406,
        [0.0], [0.0], [0.0], [14], [[[0.5, 10.0]]], [1.0], [0.5], np.True_, 2, True)
    reveal_type(pairs)  # reveals: list[tuple[float, float]]
    merged = peakforge.merge_peaks([t for t, _ in pairs], [i for _, i in pairs],
                                   [[1, 0, 0]] * len(pairs), range(len(pairs)), 0.01)
    reveal_type(merged)  # reveals: tuple[list[float], list[float], list[list[list[int]]], list[float]]
    reveal_type(peakforge.normalize_intensities(merged[1], 100))  # reveals: list[float]
    reveal_type(peakforge.get_unique_families_rust(((1, 0, 0),)))  # reveals: dict[tuple[int, ...], int]

    peakforge.normalize_intensities("123", 1.0)  # error: arg-type
    peakforge.normalize_intensities([1.0], maxvalue=1.0)  # error: call-arg
    peakforge.merge_peaks([1.0], [1.0], [[1.5]], [1.0], 0.1)  # error: list-item
    peakforge.calculate_xrd_intensities(
        [], [], 1.0, [], [], [], [], [], [], [], 1, 0, False)  # error: arg-type
""")


def test_mypy_sees_the_stubs_and_the_package_annotations(tmp_path):
    (tmp_path / "sample.py").write_text(SAMPLE)
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--show-error-codes",
            "--hide-error-context",
            "--python-executable",
            sys.executable,
            "sample.py",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.stderr == ""

    expected = set()
    for number, line in enumerate(SAMPLE.splitlines(), start=1):
        if marker := re.search(r"# error: (\S+)$", line):
            expected.add((number, "error", marker[1]))
        elif marker := re.search(r"# reveals: (.+)$", line):
            expected.add((number, "note", f'Revealed type is "{marker[1]}"'))
    reported = set()
    for line in done.stdout.splitlines():
        number, kind, text = re.fullmatch(r"sample\.py:(\d+): (\w+): (.*)", line).groups()
        if kind == "error":
            reported.add((int(number), kind, re.search(r"\[([\w-]+)\]$", text)[1]))
        elif text.startswith("Revealed type"):  # other notes explain an error
            reported.add((int(number), kind, text))
    assert reported == expected, done.stdout


def test_stubs_agree_with_the_module(tmp_path):
    # Names, order and kinds of every parameter, and nothing missing or extra.
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "peakforge"], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_package_type_checks(tmp_path):
    # The source tree with the project's settings, so an edit is checked
    # before it is installed.
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--config-file",
            str(ROOT / "pyproject.toml"),
            "--cache-dir",
            str(tmp_path / "cache"),
            "--python-executable",
            sys.executable,
            "-p",
            "peakforge_pattern",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "MYPYPATH": str(ROOT / "python")},
    )
    assert done.returncode == 0, done.stdout + done.stderr
