"""The command on hostile inputs and machines: each case ends in a pattern,
a warning, or one line on standard error and status 2, never a traceback."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import PACKAGE_PARENT

from peakforge_pattern import example_path
from peakforge_pattern.cli import main

CIF_FOLDER = Path(__file__).parent / "data" / "cif"


def command(*argv, stdin=None, stdout=subprocess.PIPE, **popen):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return subprocess.Popen(
        [sys.executable, "-m", "peakforge_pattern", "pattern", *argv],
        env=env,
        stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
        stdout=stdout,
        stderr=subprocess.PIPE,
        **popen,
    )


def finished(process, stdin=None):
    out, err = process.communicate(stdin, timeout=120)
    return process.returncode, (out or b"").decode(), err.decode()


def random_cell_cif(path, atoms):
    """A P1 cell of `atoms` silicon atoms, 10 A^3 each: heavy work for the intensity sum."""
    rng = np.random.default_rng(7)
    side = (atoms * 10.0) ** (1 / 3)
    lines = [
        "data_random",
        *(f"_cell_length_{axis} {side:.3f}" for axis in "abc"),
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
    ]
    lines += [f"Si{i} Si {x:.6f} {y:.6f} {z:.6f} 0.1" for i, (x, y, z) in enumerate(rng.random((atoms, 3)))]
    path.write_text("\n".join(lines) + "\n")
    return path


CHILD_CASES = {
    # name: (arguments, standard input, where stdout goes, expected status, text of the line)
    "subnormal wavelength": (["-w", "1e-308"], None, None, 2, "lattice points"),
    "subnormal cell length": ([str(CIF_FOLDER / "tiny_cell_length.cif")], None, None, 2, "shorter than any"),
    "standard output on a full disk": ([], None, "/dev/full", 2, "cannot write to standard output: No space"),
    "standard output closed": ([], None, "closed", 2, "standard output is closed"),
    "threads that cannot start": (["--threads", "65535"], None, None, 2, "cannot start worker thread"),
    "standard input": (
        ["-", "--two-theta", "20", "30"],
        (CIF_FOLDER / "quartz_shifted_origin.cif").read_bytes(),
        None,
        0,
        None,
    ),
    "warnings go to standard error": ([str(CIF_FOLDER / "duplicate_tag.cif")], None, None, 0, "warning: "),
    "warnings are errors when strict": (
        ["--strict", str(CIF_FOLDER / "duplicate_tag.cif")],
        None,
        None,
        2,
        "duplicate_tag.cif: tag _cell_length_a appears 2 times",
    ),
}


# A sanitizer build runs out of shadow memory long before the thread limit.
UNDER_SANITIZER_LIMITS = {"threads that cannot start"}


@pytest.mark.parametrize(
    "case",
    [
        pytest.param(name, marks=pytest.mark.no_sanitizer) if name in UNDER_SANITIZER_LIMITS else name
        for name in CHILD_CASES
    ],
)
def test_each_failure_is_one_line_and_status_2(case, tmp_path):
    argv, stdin, target, status, line = CHILD_CASES[case]
    if target == "closed":
        process = command(*argv, stdout=None, pass_fds=(), preexec_fn=lambda: os.close(1))
    elif target is not None:
        with open(target, "wb") as sink:
            process = command(*argv, stdout=sink)
    else:
        process = command(*argv, stdin=stdin)
    returncode, out, err = finished(process, stdin)
    assert returncode == status, err
    if line is None:
        assert err == "" and "(1 0 1)" in out
    else:
        assert len(err.splitlines()) == 1 and line in err and err.startswith("peakforge: "), err


def test_file_names_that_are_not_utf8(tmp_path):
    odd = os.fsencode(tmp_path) + b"/quartz-\xff.cif"
    with open(odd, "wb") as copy:
        copy.write((CIF_FOLDER / "quartz_standard_setting.cif").read_bytes())
    returncode, out, err = finished(command(odd, str(example_path("cscl")), "--no-progress", "-f", "csv"))
    assert returncode == 0 and err == ""
    assert {row.split(",")[0] for row in out.splitlines()[1:]} == {"quartz-\\xff", "cscl"}


def test_unreadable_folder_does_not_skip_the_rest(tmp_path, capsys, monkeypatch):
    locked = tmp_path / "locked"
    locked.mkdir()
    original = Path.iterdir

    def refuse(self):
        if self == locked:
            raise PermissionError(13, "Permission denied", str(self))
        return original(self)

    monkeypatch.setattr(Path, "iterdir", refuse)  # root may list any folder
    status = main(["pattern", str(locked), str(example_path("cscl")), "--no-progress"])
    out, err = capsys.readouterr()
    assert status == 2 and "(1 1 0)" in out
    assert err == f"peakforge: {locked}: cannot list this folder: Permission denied\n"


def test_work_is_bounded_and_stops_on_ctrl_c(tmp_path, capsys):
    big = random_cell_cif(tmp_path / "random.cif", 40000)
    status = main(["pattern", str(big), "--two-theta", "0", "90"])
    err = capsys.readouterr().err
    assert status == 2 and "--max-work" in err and "terms" in err

    # The scalar serial sum takes minutes here; Ctrl-C must end it within a piece of work.
    process = command(str(big), "--two-theta", "0", "90", "--max-work", "inf", "--serial", "--no-simd")
    time.sleep(3)
    assert process.poll() is None, process.communicate()
    process.send_signal(signal.SIGINT)
    start = time.monotonic()
    returncode, out, err = finished(process)
    assert time.monotonic() - start < 15
    assert returncode == 130 and out == "" and err.splitlines()[-1] == "peakforge: interrupted"


@pytest.mark.parametrize(
    "arguments",
    [
        ["fit", "scan.xy", "corundum.cif", "--save-instrument", "scan.xy"],
        ["fit", "scan.xy", "corundum.cif", "--plot", "./../work/corundum.cif"],
        ["pattern", "corundum.cif", "--measured", "scan.xy", "--xy", "scan.xy"],
        ["pattern", "corundum.cif", "--measured", "link.xy", "--xy", "scan.xy"],  # the same file by a link
        ["pattern", ".", "--plot", "corundum.cif"],  # a structure read from a folder
        ["identify", "scan.xy", "--library", "library", "--plot", "scan.xy"],
        ["fit", "scan.xy", "corundum.cif", "--refine-atoms", "--cif-out", "."],  # known once the fit has named it
    ],
    ids=["save-instrument", "plot", "xy", "link", "folder", "identify", "cif-out"],
)
def test_an_output_never_replaces_an_input(arguments, tmp_path, capsys, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    (work / "corundum.cif").write_bytes(example_path("corundum").read_bytes())
    assert main(["pattern", "corundum.cif", "--two-theta", "20", "70", "--xy", "scan.xy", "--step", "0.04"]) == 0
    (work / "link.xy").symlink_to("scan.xy")
    (work / "library").mkdir()
    before = {path: path.read_bytes() for path in work.iterdir() if path.is_file()}
    capsys.readouterr()
    assert main([*arguments, *(["--no-progress"] if arguments[0] != "pattern" else [])]) == 2
    error = capsys.readouterr().err
    assert error.count("error:") == 1 and "an input of this run" in error.splitlines()[-1], error
    assert {path: path.read_bytes() for path in work.iterdir() if path.is_file()} == before
