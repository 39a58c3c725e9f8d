"""Hostile and absurd input, each class met with a clear refusal, a warning or
the work done anyway: Ctrl-C inside the reflection walk, folders with link
loops, CIFs with impossible cells or unknown element symbols, and engine
arrays compute_pattern would never pass, plots written past a file-size limit.
(Scan files too large to be scans: test_scans.py.)"""

import gzip
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import PACKAGE_PARENT

from peakforge_pattern import InputError, Structure, compute_pattern, example_path, read_cif
from peakforge_pattern.cli import main

# A P1 cell 5 x 1e5 x 1e5 A: at 2theta 90 one row of the walk holds about 1e10
# candidate indices. The thin shell keeps the reflections found (and memory) small.
HUGE_CELL_CIF = """data_huge
_cell_length_a 5
_cell_length_b 100000
_cell_length_c 100000
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_symmetry_space_group_name_H-M 'P 1'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
C1 C 0 0 0
"""

CLI_CHILD = """
import sys
from peakforge_pattern.cli import main
print("started", flush=True)
sys.exit(main(["pattern", sys.argv[1], "--max-work", "inf", "--two-theta", "89.9", "90"]))
"""

ENGINE_CHILD = """
import numpy as np
from peakforge_pattern import _engine
print("started", flush=True)
try:
    _engine.compute_peak_table(np.diag([0.2, 1e-5, 1e-5]), 1.5406, 0.9178, 0.918, np.zeros((1, 3)),
                               np.zeros(1, np.int32), np.ones(1), np.zeros(1), None, np.array([6.0]),
                               np.zeros((1, 5, 2)), np.zeros((1, 2)), np.zeros((0, 3, 3), np.int32),
                               np.zeros((0, 3)), max_walk=float("inf"))
    print("finished")
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def _child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return env


def _interrupt_after_start(command, started_line):
    """Send SIGINT a second and a half after the child says it starts its work; its output, status and
    the seconds it took to stop."""
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_child_env())
    try:
        assert child.stdout.readline().strip() == started_line
        time.sleep(1.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
        return out, err, child.returncode, time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def test_ctrl_c_stops_the_reflection_walk_inside_a_row(tmp_path):
    cif = tmp_path / "huge.cif"
    cif.write_text(HUGE_CELL_CIF)
    # Unmended, each took more than a minute to notice; a loaded machine may stretch a second.
    out, err, status, seconds = _interrupt_after_start([sys.executable, "-c", CLI_CHILD, str(cif)], "started")
    assert status == 130 and err.splitlines()[-1] == "peakforge: interrupted" and seconds < 2.0, err

    out, err, status, seconds = _interrupt_after_start([sys.executable, "-c", ENGINE_CHILD], "started")
    assert out.strip() == "interrupted" and status == 0 and seconds < 2.0, err

    # Without an explicit limit the engine refuses such a walk before taking it.
    from peakforge_pattern import _engine

    started = time.monotonic()
    with pytest.raises(ValueError, match=r"spans 4.38e\+11 index triples, more than the limit of 5e\+06"):
        _engine.compute_peak_table(
            np.diag([0.2, 1e-5, 1e-5]),
            1.5406,
            0.0,
            0.918,
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
    assert time.monotonic() - started < 2.0  # refused before any walking (walking takes > 20 s)


def test_engine_refuses_what_compute_pattern_refuses():
    from peakforge_pattern import _engine

    good = {
        "reciprocal": np.eye(3) / 4,
        "wavelength": 1.5,
        "min_g": 0.0,
        "max_g": 1.0,
        "frac_coords": np.zeros((1, 3)),
        "species_index": np.zeros(1, np.int32),
        "occupancies": np.ones(1),
        "b_factors": np.zeros(1),
        "anisotropic_beta": None,
        "species_atomic_numbers": np.array([26.0]),
        "species_electron_pairs": np.zeros((1, 5, 2)),
        "species_constants": np.zeros((1, 2)),
        "rotations": np.zeros((0, 3, 3), np.int32),
        "translations": np.zeros((0, 3)),
    }
    huge_pair = np.zeros((1, 5, 2))
    huge_pair[0, 0] = (1e300, 1.0)
    cases = {
        "a NaN first and numbers after is no isotropic row": (
            "anisotropic_beta",
            np.array([[np.nan, 1e-3, 1e-3, 0, 0, 0]]),
            "rows must be finite or all NaN",
        ),
        "an infinity in a row is refused too": (
            "anisotropic_beta",
            np.array([[1e-3, np.inf, 1e-3, 0, 0, 0]]),
            "rows must be finite or all NaN",
        ),
        "negative B": ("b_factors", np.array([-0.5]), "b_factors must not be negative"),
        "negative occupancy": ("occupancies", np.array([-0.5]), "occupancies must not be negative"),
        "an occupancy beyond any atom": ("occupancies", np.array([1e300]), "is not a finite number"),
        "form-factor coefficients beyond any atom": ("species_electron_pairs", huge_pair, "is not a finite number"),
        "a walk without a limit it fits": ("max_walk", 0.0, "max_walk must be a positive number"),
    }
    for case, (name, value, message) in cases.items():
        with pytest.raises(ValueError, match=message):
            _engine.compute_peak_table(**{**good, name: value})
            pytest.fail(case)
    isotropic = _engine.compute_peak_table(**{**good, "anisotropic_beta": np.full((1, 6), np.nan)})
    assert np.array_equal(isotropic["intensity"], _engine.compute_peak_table(**good)["intensity"])

    # Through compute_pattern the overflowing occupancy is one InputError, not an empty pattern.
    with pytest.raises(InputError, match="occupancy, displacement or scattering factor is far beyond any atom's"):
        compute_pattern(Structure.from_arrays([4, 4, 4, 90, 90, 90], ["Cu"], [[0, 0, 0]], occupancies=[1e300]))


def test_batch_sources_follow_each_folder_once_and_skip_loops(tmp_path, capsys):
    pytest.importorskip("pyarrow", reason="peakforge[batch] (pyarrow) is not installed")
    from peakforge_pattern.batch.sources import list_sources

    source = tmp_path / "source"
    (source / "a" / "b").mkdir(parents=True)
    (source / "a" / "b" / "silicon.cif").write_bytes(example_path("silicon").read_bytes())
    (source / "cscl.cif").write_bytes(example_path("cscl").read_bytes())
    (source / "a" / "b" / "up").symlink_to("../..")  # a loop back to the top
    (source / "again").symlink_to("a")  # the same folder under a second name
    (source / "self").symlink_to("self")  # a link to itself
    (source / "linked.cif").symlink_to("cscl.cif")  # a file under a second name: computed once
    warnings = []
    found = list_sources([source], warnings)
    assert sorted(s.id for s in found) == ["a/b/silicon.cif", "cscl.cif"]
    assert [w.split(": ")[1].split(" ")[0:2] for w in warnings] == [
        ["a", "loop"],
        ["the", "same"],
        ["a", "link"],
        ["the", "same"],
    ]
    assert f"{source / 'linked.cif'}: the same file as {source / 'cscl.cif'} (a link, or given twice)" in warnings[3]

    # A "list" that is no text is refused at its first line, not read into memory.
    (tmp_path / "zeros.txt").symlink_to("/dev/zero")
    with pytest.raises(InputError, match="line 1 is no path .*not a list of structure files"):
        list_sources([tmp_path / "zeros.txt"])

    assert main(["batch", str(source), "-o", str(tmp_path / "out"), "--workers", "1", "--no-progress"]) == 0
    captured = capsys.readouterr()
    assert "2 structures: 2 ok, 0 errors" in captured.out
    assert "a loop back to" in captured.err and captured.err.count("warning:") == 4


def test_cif_oddities_get_one_line_or_a_warning(tmp_path, capsys, monkeypatch):
    silicon = example_path("silicon").read_text()
    for angle in ("alpha", "beta", "gamma"):
        subnormal = tmp_path / f"subnormal_{angle}.cif"
        subnormal.write_text(
            "\n".join(
                f"_cell_angle_{angle} 5e-324" if line.startswith(f"_cell_angle_{angle}") else line
                for line in silicon.splitlines()
            )
        )
        assert main(["pattern", str(subnormal)]) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "do not make a three-dimensional cell" in err, err
    with pytest.raises(InputError, match="do not make a three-dimensional cell"):
        Structure.from_arrays([5, 5, 5, 90, 90, 5e-324], ["Si"], [[0, 0, 0]])

    pytest.importorskip("pyarrow", reason="peakforge[batch] (pyarrow) is not installed")
    import pyarrow.dataset as ds

    assert (
        main(
            [
                "batch",
                str(tmp_path / "subnormal_gamma.cif"),
                "-o",
                str(tmp_path / "out"),
                "--workers",
                "1",
                "--no-progress",
            ]
        )
        == 2
    )
    row = ds.dataset(tmp_path / "out").to_table(columns=["status", "error"]).to_pylist()[0]
    assert row["status"] == "error" and "do not make a three-dimensional cell" in row["error"]
    capsys.readouterr()

    # A type symbol naming no element: the label's element is used, and said so.
    corundum = example_path("corundum").read_text()
    unknown = tmp_path / "unknown_symbol.cif"
    unknown.write_text(corundum.replace("  Al1 Al ", "  Al1 Xx "))
    structure = read_cif(unknown)
    assert "type symbols that name no element" in structure.warnings[0]
    assert "Al1 'Xx' (read as Al)" in structure.warnings[0]
    assert main(["pattern", str(unknown)]) == 0
    assert "Al1 'Xx'" in capsys.readouterr().err
    assert main(["pattern", str(unknown), "--strict"]) == 2
    assert "warnings are errors in strict mode" in capsys.readouterr().err

    # What cannot be a structure file is refused before it fills memory.
    started = time.monotonic()
    with pytest.raises(InputError, match="binary data, not CIF text"):
        read_cif("/dev/zero")
    assert time.monotonic() - started < 2.0
    from peakforge_pattern.structures import cif

    monkeypatch.setattr(cif, "MAX_CIF_BYTES", 2**20)
    bomb = tmp_path / "bomb.cif.gz"
    bomb.write_bytes(gzip.compress(b" " * 2**21))
    with pytest.raises(InputError, match="the gzip data unpack to more than 1 MB"):
        read_cif(bomb)
    big = tmp_path / "big.cif"
    with big.open("wb") as f:
        f.truncate(2**21)
    with pytest.raises(InputError, match="2 MB is more than 1 MB"):
        read_cif(big)


def test_plot_writes_past_a_file_size_limit_end_in_one_line(tmp_path):
    profile = tmp_path / "silicon.xy"
    assert (
        main(
            ["pattern", str(example_path("silicon")), "--xy", str(profile), "--two-theta", "20", "80", "--step", "0.05"]
        )
        == 0
    )

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (3000, 3000))

    # On a fresh machine the first import of matplotlib writes its font cache, which the limit would cut
    # short with lines of its own: build it first, unlimited.
    subprocess.run([sys.executable, "-c", "import matplotlib.pyplot"], env=_child_env(), check=True, timeout=120)

    commands = {
        "half.pdf": ["pattern", str(example_path("silicon")), "--plot"],  # the PDF writer broke on closing
        "half.svg": ["pattern", str(example_path("silicon")), "--plot"],
        "fit.pdf": ["fit", str(profile), str(example_path("silicon")), "--plot"],
    }
    for name, argv in commands.items():
        image = tmp_path / "images" / name
        image.parent.mkdir(exist_ok=True)
        done = subprocess.run(
            [sys.executable, "-m", "peakforge_pattern", *argv, str(image)],
            capture_output=True,
            text=True,
            env=_child_env(),
            timeout=120,
            preexec_fn=limit_file_size,
            check=False,
        )
        # The fit also warns that a calculated profile is not counts; the failure itself is one line.
        # Notes and warnings may come before it; the failure itself is one error line.
        failures = [
            line
            for line in done.stderr.splitlines()
            if not line.startswith(("peakforge: note:", "peakforge: warning:"))
        ]
        assert done.returncode == 2 and len(failures) == 1, (name, done.stderr)
        assert f"{image}: cannot write the plot: File too large" in failures[0], (name, done.stderr)
        assert list(image.parent.iterdir()) == [], name  # no partial file left behind


def _damage_member(source, member, target):
    """A copy of the archive ``source`` whose ``member``'s deflate stream begins with an invalid block."""
    import struct
    import zipfile

    data = bytearray(source.read_bytes())
    info = zipfile.ZipFile(source).getinfo(member)
    name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
    data[info.header_offset + 30 + name_length + extra_length] = 0xFF  # block type 3 does not exist
    target.write_bytes(bytes(data))
    return target


def _damage_part(part, how):
    data = bytearray(part.read_bytes())
    if how == "truncated":
        part.write_bytes(bytes(data[: len(data) // 2]))
    elif how == "zeroed":
        third = len(data) // 3
        data[third : 2 * third] = bytes(third)
        part.write_bytes(bytes(data))
    elif how == "foreign":  # a Parquet file of another program, under a part's name
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.table({"x": [1, 2]}), part)
    else:  # a part of a run at another wavelength, copied in
        from peakforge_pattern.batch import run_batch

        other = part.parent.parent / "other"
        run_batch([example_path("silicon")], other, wavelength="MoKa", two_theta_range=(5, 100), workers=1)
        part.write_bytes(next(other.glob("part-*.parquet")).read_bytes())


@pytest.fixture(scope="module")
def small_library(tmp_path_factory):
    pytest.importorskip("pyarrow", reason="peakforge[batch] (pyarrow) is not installed")
    from peakforge_pattern.batch import run_batch

    base = tmp_path_factory.mktemp("library")
    (base / "cifs").mkdir()
    for name in ("silicon", "rocksalt", "tungsten"):
        (base / "cifs" / f"{name}.cif").write_bytes(example_path(name).read_bytes())
    assert run_batch([base / "cifs"], base / "lib", wavelength="CuKa", two_theta_range=(5, 100), workers=1).ok == 3
    return base


SCANS = Path(__file__).parent / "data" / "scans"
SILICON_U = (
    example_path("silicon").read_text().replace("B_iso_or_equiv", "U_iso_or_equiv").replace("1.0 0.46", "1.0 1e308")
)


@pytest.mark.parametrize(
    "case",
    [
        "identify truncated",
        "identify zeroed",
        "identify foreign",
        "identify other",
        "batch truncated",
        "batch zeroed",
        "batch foreign",
        "rasx",
        "brml",
        "xrdml",
        "scheduler file",
        "huge U",
    ],
)
def test_damaged_and_foreign_inputs_end_in_one_line_naming_the_file(case, small_library, tmp_path, capsys):
    import shutil

    library = tmp_path / "lib"
    shutil.copytree(small_library / "lib", library)
    (part,) = library.glob("part-*.parquet")
    scan = tmp_path / "silicon.xy"
    assert main(["pattern", str(example_path("silicon")), "--two-theta", "20", "80", "--xy", str(scan)]) == 0
    kind, _, how = case.partition(" ")
    if kind == "identify":
        _damage_part(part, how)
        arguments, named = ["identify", str(scan), "--library", str(library), "--no-progress"], part
    elif kind == "batch":
        _damage_part(part, how)
        sources = str(small_library / "cifs")
        arguments = ["batch", sources, "--out", str(library), "--retry-errors", "--two-theta", "5", "100"]
        arguments, named = [*arguments, "--no-progress", "--workers", "1"], part
    elif kind in ("rasx", "brml"):
        source = next(SCANS.glob(f"*.{kind}"))
        member = "Data0/Profile0.txt" if kind == "rasx" else "Experiment0/RawData0.xml"
        named = _damage_member(source, member, tmp_path / f"damaged.{kind}")
        arguments = ["fit", str(named), str(example_path("silicon")), "--no-progress"]
    elif kind == "xrdml":
        named = tmp_path / "unknown.xrdml"
        named.write_text('<?xml version="1.0" encoding="x-unknown-42"?>\n<xrdMeasurements/>\n')
        arguments = ["fit", str(named), str(example_path("silicon")), "--no-progress"]
    elif case == "scheduler file":
        pytest.importorskip("distributed", reason="peakforge[distributed] (Dask distributed) is not installed")
        named = tmp_path / "scheduler.json"
        named.write_text("{}")  # the client itself would fail an assertion
        arguments = [
            "batch",
            str(small_library / "cifs"),
            "--out",
            str(tmp_path / "out"),
            "--scheduler-file",
            str(named),
        ]
    else:
        named = tmp_path / "huge_u.cif"
        named.write_text(SILICON_U)
        arguments = ["pattern", str(named), "--hkl", "1", "1", "1"]
    capsys.readouterr()
    assert main(arguments) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and str(named) in error, error


@pytest.mark.parametrize("server", ["silent", "web", "closed"])
def test_a_scheduler_address_that_does_not_answer_as_one_ends_in_one_line_naming_it(
    server, tmp_path, capsys, monkeypatch
):
    """A port that accepts and says nothing, one that answers as a web server, one where nothing listens."""
    import socket
    import threading

    pytest.importorskip("distributed", reason="peakforge[distributed] (Dask distributed) is not installed")
    from peakforge_pattern.cli import dask_client

    monkeypatch.setattr(dask_client, "CONNECT_SECONDS", 1.0)
    listener = socket.create_server(("127.0.0.1", 0))
    address = f"tcp://127.0.0.1:{listener.getsockname()[1]}"

    def answer():
        with listener.accept()[0] as connection:
            connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")

    if server == "web":
        threading.Thread(target=answer, daemon=True).start()
    elif server == "closed":
        listener.close()
    started = time.monotonic()
    try:
        status = main(["batch", str(example_path("silicon")), "--out", str(tmp_path / "out"), "--scheduler", address])
    finally:
        listener.close()
    error = capsys.readouterr().err
    assert status == 2 and error.count("\n") == 1 and address in error, error
    assert time.monotonic() - started < 30  # the bound is 1 s; a client without one waits for minutes


MEASURED = os.path.join(os.path.dirname(__file__), "..", "examples", "measured")
CORUNDUM_SCAN, CORUNDUM_CIF = (os.path.join(MEASURED, n) for n in ("qarr_corundum.prn", "corundum_Al2O3_bilbao.cif"))
SILICON = str(example_path("silicon"))
SCANS = Path(__file__).parent / "data" / "scans"

# Options that did something other than what they say, in silence: each is now refused up front.
SILENT_SURPRISES = {
    "absent skips xy": (["pattern", "--absent", "--xy", "{tmp}/a.xy"], "--xy would write nothing"),
    "hkl skips plot": (["pattern", "--hkl", "1", "1", "1", "--plot", "{tmp}/a.png"], "--plot would write nothing"),
    "ratio of one line": (
        ["pattern", "-w", "1.5406", "--ka2-ratio", "0.6", "--xy", "{tmp}/a.xy"],
        "--ka2-ratio weighs the Ka2 of a Ka doublet, and 1.5406 A is one line",
    ),
    "pair backwards": (["pattern", "-w", "1.5444,1.5406"], "a wavelength pair is Ka1 then the slightly longer Ka2"),
    "electrons at Cu Ka": (["pattern", "--radiation", "electron"], "electron radiation needs an electron wavelength"),
    "electrons of no wavelength": (["pattern", "-w", "1e-300kV", "--radiation", "electron"], "gives no wavelength"),
    "electrons past the work": (["pattern", "-w", "1e200kV", "--radiation", "electron"], "lattice points"),
    "zero shift": (["pattern", "--zero-shift", "1e6", "--xy", "{tmp}/a.xy"], "a zero shift of 1e+06 degrees"),
    "displacement": (["pattern", "--displacement", "1e6", "--xy", "{tmp}/a.xy"], "--displacement 1e+06 mm"),
    "negative W": (["pattern", "--caglioti", "-1", "0", "0", "--xy", "{tmp}/a.xy"], "negative FWHM^2"),
    # V < 0 takes the width below zero only past 2theta 53: within the range asked for, refused.
    "negative at high angle": (
        ["pattern", "--caglioti", "0", "-0.02", "0.01", "--two-theta", "10", "120", "--xy", "{tmp}/a.xy"],
        "negative FWHM^2 = U tan^2 + V tan + W at 2theta = 53.1",
    ),
    "negative lorentzian": (["pattern", "--lorentzian", "-0.1", "0", "--plot", "{tmp}/a.png"], "negative width"),
    "grid of one point": (["batch", SILICON, "-o", "{tmp}/out", "--grid", "5", "90", "100"], "leaves one point"),
    "fit ratio of one line": (
        ["fit", CORUNDUM_SCAN, CORUNDUM_CIF, "-w", "1.5406", "--ka2-ratio", "0.5"],
        "a Ka2/Ka1 ratio weighs the Ka2 of a Ka doublet, and 1.5406 A is one line",
    ),
    "phase twice": (["fit", CORUNDUM_SCAN, CORUNDUM_CIF, CORUNDUM_CIF], "is given twice"),
    "fit advises no --max-work": (
        ["fit", CORUNDUM_SCAN, CORUNDUM_CIF, "-w", "0.01"],
        "is 0.01 A the scan's wavelength",
    ),
}


@pytest.mark.parametrize("case", SILENT_SURPRISES)
def test_silent_surprises_are_refused_up_front(case, tmp_path, capsys):
    argv, message = SILENT_SURPRISES[case]
    assert main([a.replace("{tmp}", str(tmp_path)) for a in argv]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert case != "fit advises no --max-work" or "--max-work" not in err
    assert not list(tmp_path.iterdir()), "nothing is written"


def test_what_was_silent_now_works_or_says_so(tmp_path, capsys):
    from peakforge_pattern.fitting import fit_pattern
    from peakforge_pattern.measurements import read_scan

    # Electrons take a 2theta range that suits their wavelength: 0 to d = 0.5 A.
    assert main(["pattern", "-w", "200kV", "--radiation", "electron"]) == 0
    assert "strongest peak in 2theta 0-2.9 is 100" in capsys.readouterr().out
    # A Ka1,Ka2 pair with its ratio: both lines in the profile, in that proportion.
    assert main(["pattern", "-w", "1.5406,1.5444", "--ka2-ratio", "0.6", "--xy", str(tmp_path / "pair.xy")]) == 0
    assert "emission lines: 1.540600 A (62.5 %), 1.544400 A (37.5 %)" in (tmp_path / "pair.xy").read_text()
    # A scan that states Mo Ka against an instrument file refined at Cu Ka: refused, unless -w chooses.
    scan = read_scan(CORUNDUM_SCAN)
    molybdenum = type(scan).from_arrays(
        scan.two_theta, scan.intensity, name="mo.xrdml", wavelength=(0.7093, 0.71359, 0.5)
    )
    standard = os.path.join(MEASURED, "qarr_corundum.instprm")
    with pytest.raises(InputError, match=r"mo.xrdml states a wavelength of 0.7093 A, and the instrument file"):
        fit_pattern(molybdenum, [CORUNDUM_CIF], instrument=standard)
    chosen = fit_pattern(molybdenum, [CORUNDUM_CIF], instrument=standard, wavelength="CuKa", max_evaluations=5)
    told = "mo.xrdml states a wavelength of 0.7093 A; the fit uses 1.54056 A, as given"
    assert any(told in warning for warning in chosen.warnings)
    # A .ras cut at 90 % reads as far as it goes, and says so (the last, cut row left out).
    whole = (SCANS / "TiO2-2-3h-2.ras").read_bytes()
    (tmp_path / "cut.ras").write_bytes(whole[: len(whole) * 9 // 10])
    cut = read_scan(tmp_path / "cut.ras")
    assert read_scan(SCANS / "TiO2-2-3h-2.ras").notes == () and cut.two_theta.size < 4251
    assert f"the scan is cut short: {cut.two_theta.size} points of the 4251 its header promises" in cut.notes[0]
    # --refine b-sites replaces a file's anisotropic U by an isotropic B, and says so.
    from conftest import ANISO_CIF

    from peakforge_pattern.fitting.structure_refinement.atom_parameters import AtomModel, AtomOptions
    from peakforge_pattern.structures.structure import parse_cif

    model = AtomModel(parse_cif(ANISO_CIF, name="aniso"), "aniso", AtomOptions(b="sites"))
    assert "aniso: the anisotropic U of 1 site(s) in the file is replaced by an isotropic B per site" in model.notes[0]
