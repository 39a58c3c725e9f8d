"""The peakforge command: output formats, exit statuses, error lines, plots."""

import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import PACKAGE_PARENT

from peakforge_pattern import EXAMPLES, example_path
from peakforge_pattern.cli import main


def run(capsys, *argv):
    status = main(["pattern", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_console_command_without_arguments_prints_silicon():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, "-m", "peakforge_pattern", "pattern"], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 0, done.stderr
    scale, *lines = done.stdout.splitlines()
    assert scale == "# intensity scale max: strongest peak in 2theta 0-90 is 100"
    assert lines[0].split() == ["2theta", "d", "I", "hkl", "mult"]
    assert lines[1].split()[2:] == ["100.00", "(1", "1", "1)", "8"]
    assert done.stderr == ""


def test_csv_and_json_carry_the_same_peaks(capsys):
    status, out, _ = run(capsys, str(example_path("rocksalt")), "--format", "csv", "--two-theta", "20", "60")
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [r["hkl"] for r in rows] == ["1 1 1", "2 0 0", "2 2 0", "3 1 1", "2 2 2"]
    assert [r["multiplicity"] for r in rows] == ["8", "6", "12", "24", "8"]
    assert max(float(r["intensity"]) for r in rows) == 100.0

    status, out, _ = run(capsys, "--example", "rocksalt", "-f", "json", "--two-theta", "20", "60", "-w", "1.5418")
    document = json.loads(out)
    assert status == 0 and document["structure"] == "rocksalt" and document["wavelength"] == 1.5418
    assert [p["families"][0]["hkl"] for p in document["peaks"]] == [
        [1, 1, 1],
        [2, 0, 0],
        [2, 2, 0],
        [3, 1, 1],
        [2, 2, 2],
    ]


def test_folder_gives_one_table_with_a_structure_column(capsys, tmp_path):
    for name in EXAMPLES:
        (tmp_path / f"{name}.cif").write_bytes(example_path(name).read_bytes())
    (tmp_path / "notes.txt").write_text("not a structure")
    status, out, err = run(capsys, str(tmp_path), "--no-progress")
    assert status == 0 and err == ""
    lines = out.splitlines()[1:]  # after the scale line
    assert lines[0].split()[0] == "structure"
    assert {line.split()[0] for line in lines[1:]} == set(EXAMPLES)

    status, out, err = run(capsys, str(tmp_path), "-f", "csv")
    assert status == 0 and "structure" in err  # tqdm's bar names its unit on stderr
    assert {row["structure"] for row in csv.DictReader(io.StringIO(out))} == set(EXAMPLES)


BAD_FILES = {
    "missing.cif": None,
    "nocell.cif": "data_x\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\nNa1 0 0 0\n",
    "nosites.cif": "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n",
    "element.cif": "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_label\n"
    "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
    "Q1 Qq 0 0 0\n",
    "garbage.cif": "this is not\n a CIF file {\n",
    "group.cif": "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
    "_symmetry_space_group_name_H-M 'Q 9 9'\nloop_\n_atom_site_label\n_atom_site_fract_x\n"
    "_atom_site_fract_y\n_atom_site_fract_z\nNa1 0 0 0\n",
}
PROBLEMS = {
    "missing.cif": "No such file",
    "nocell.cif": "no unit cell",
    "nosites.cif": "no atom sites",
    "element.cif": "unknown element 'Qq'",
    "garbage.cif": "cannot read",
    "group.cif": "unknown space group",
}


def test_bad_files_get_one_line_each_and_the_rest_is_still_computed(capsys, tmp_path):
    paths = []
    for name, text in BAD_FILES.items():
        path = tmp_path / name
        if text is not None:
            path.write_text(text)
        paths.append(str(path))
    status, out, err = run(capsys, paths[0], str(example_path("cscl")), *paths[1:], "--no-progress")
    assert status == 2
    assert {line.split()[0] for line in out.splitlines()[2:]} == {"cscl"}
    lines = err.splitlines()
    assert len(lines) == len(BAD_FILES) and "Traceback" not in err
    for line, path in zip(lines, paths):
        assert line.startswith(f"peakforge: {path}: ")
        assert PROBLEMS[Path(path).name] in line

    status, out, err = run(capsys, paths[2])  # a single bad file: nothing on stdout
    assert status == 2 and out == "" and len(err.splitlines()) == 1


@pytest.mark.parametrize(
    "argv, problem",
    [
        (["-w", "0"], "wavelength must be a positive"),
        (["-w", "-1.5"], "wavelength must be a positive"),
        (["-w", "ZnKa"], "unknown wavelength"),
        (["--two-theta", "60", "20"], "empty 2theta range"),
        (["--fwhm", "-1"], "--fwhm"),
        (["--threads", "99999999999999999999999"], "--threads"),
        (["-w", "1e-5"], "lattice points"),
    ],
)
def test_bad_options_exit_2_with_one_line(capsys, argv, problem):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert len(err.splitlines()) == 1 and problem in err and err.startswith("peakforge: ")


def test_unknown_option_and_missing_command_exit_2(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["pattern", "--colour"])
    assert stop.value.code == 2
    assert main([]) == 2
    capsys.readouterr()


def test_plot_without_matplotlib_says_what_to_install(capsys, tmp_path, monkeypatch):
    for module in ("matplotlib", "matplotlib.figure"):
        monkeypatch.setitem(sys.modules, module, None)
    assert main(["pattern", "--plot", str(tmp_path / "p.png")]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and "pip install 'peakforge[plot]'" in err


def test_plot_is_a_png(capsys, tmp_path):
    image = tmp_path / "si.png"
    status, out, _ = run(capsys, "--plot", str(image), "--fwhm", "0.3")
    assert status == 0 and "(1 1 1)" in out
    data = image.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR" and data[-8:-4] == b"IEND"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert width > 400 and height > 200

    status, _, err = run(capsys, "--plot", str(tmp_path / "no" / "such" / "dir.png"))
    assert status == 2 and "cannot write the plot" in err and len(err.splitlines()) == 1


def test_x_rays_carry_dispersion_unless_left_out_and_the_json_says_so(capsys):
    # f' + i f'' are on by default for X-rays: off on the exact route (the
    # module has none), with --no-anomalous, and for neutrons.
    intensities = {}
    for extra, expected in (
        ([], True),
        (["--anomalous"], True),
        (["--no-anomalous"], False),
        (["--exact"], False),
        (["--radiation", "neutron"], False),
    ):
        assert main(["pattern", "--example", "corundum", "-f", "json", "--two-theta", "20", "40", *extra]) == 0
        document = json.loads(capsys.readouterr().out)
        assert document["anomalous_dispersion"] is expected, extra
        intensities[" ".join(extra)] = [p["intensity"] for p in document["peaks"]]
    assert intensities[""] == intensities["--anomalous"] != intensities["--no-anomalous"]
