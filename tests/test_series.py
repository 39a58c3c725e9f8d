"""Recipes and series: a recipe reruns its fit exactly; a serial series is
the single fits row for row; a sequential one follows a known linear
expansion; a killed run resumes with every scan once; a Dask run equals the
local one while another driver shares the cluster."""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import PACKAGE_PARENT, dask_cluster

pytest.importorskip("pyarrow", reason="peakforge[series] (pyarrow) is not installed")

import pyarrow.parquet as pq  # noqa: E402

from peakforge_pattern import InputError, example_path  # noqa: E402
from peakforge_pattern.cli import main  # noqa: E402
from peakforge_pattern.fitting import fit_pattern  # noqa: E402
from peakforge_pattern.fitting.recipe import Recipe, load_recipe, save_recipe  # noqa: E402
from peakforge_pattern.fitting.request import FitRequest  # noqa: E402
from peakforge_pattern.series import load_series, read_series, run_series  # noqa: E402
from peakforge_pattern.series.scans import gather_scans, header_value, natural_key  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "series" / "make_temperature_series.py"
SCANS = 8
REQUEST = FitRequest(fix=("asymmetry",), anomalous=False)
COMPARED = ("rwp", "chi2", "displacement", "corundum.a", "corundum.a_esd", "corundum.c", "corundum scale", "U")


def child_env(**extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return env


def series_command(*argv):
    return [sys.executable, "-m", "peakforge_pattern", "series", "--no-progress", *argv]


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """Eight synthetic corundum scans from 300 to 700 K (the guide's example script), names shuffled."""
    folder = tmp_path_factory.mktemp("series") / "scans"
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), str(folder), "--scans", str(SCANS)],
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return folder


@pytest.fixture(scope="module")
def recipe_file(scans):
    path = scans.parent / "recipe.toml"
    save_recipe(path, Recipe.make(REQUEST, [example_path("corundum")], scans / "run000.xy"))
    return path


@pytest.fixture(scope="module")
def single_fits(scans):
    """Each scan fitted alone, in --order-by temperature order."""
    paths = sorted(gather_scans([scans]), key=lambda p: header_value(p, "temperature"))
    return [fit_pattern(p, [example_path("corundum")], REQUEST) for p in paths]


def table_rows(out):
    return read_series(out).to_pylist()


def assert_rows_match_fits(rows, fits):
    assert [r["status"] for r in rows] == ["ok"] * len(fits)
    for row, fit in zip(rows, fits):
        phase = fit.phases[0]
        expected = {
            "rwp": fit.rwp,
            "chi2": fit.chi2,
            "displacement": fit.parameters["displacement"],
            "U": fit.parameters["U"],
            "corundum.a": phase.cell[0],
            "corundum.a_esd": phase.cell_esd[0],
            "corundum.c": phase.cell[2],
            "corundum scale": phase.scale,
        }
        assert row["scan"] == fit.measured.name or Path(row["scan"]).name in fit.measured.name
        for name in COMPARED:
            assert row[name] == pytest.approx(expected[name], rel=1e-6, abs=1e-12), name


def test_scans_are_gathered_once_in_natural_order_and_ordered_by_their_headers(tmp_path, scans):
    assert sorted(["s10.xy", "s9.xy", "s100.xy"], key=natural_key) == ["s9.xy", "s10.xy", "s100.xy"]
    listing = tmp_path / "some.lst"
    listing.write_text(f"# two scans\n{scans / 'run001.xy'}\n\n{scans / 'run000.xy'}\n")
    assert gather_scans([listing]) == [str(scans / "run000.xy"), str(scans / "run001.xy")]
    assert len(gather_scans([scans])) == SCANS  # truth.tsv is not a scan
    with pytest.raises(InputError, match="named twice"):
        gather_scans([scans, scans / "run003.xy"])
    with pytest.raises(InputError, match="no such scan"):
        gather_scans([tmp_path / "nothing"])
    with pytest.raises(InputError, match="gives no number for 'pressure'"):
        header_value(scans / "run000.xy", "pressure")
    assert 300.0 <= header_value(scans / "run000.xy", "Temperature") <= 700.0


def test_a_recipe_reruns_its_fit_continues_it_and_refuses_changed_files(tmp_path, scans, capsys):
    cif = tmp_path / "phases" / "corundum.cif"
    cif.parent.mkdir()
    shutil.copyfile(example_path("corundum"), cif)
    scan, recipe = scans / "run000.xy", tmp_path / "recipe.toml"
    fit = ["fit", "-f", "json", "--no-progress"]
    assert main([*fit, str(scan), str(cif), "--fix", "asymmetry", "--no-anomalous", "--save-recipe", str(recipe)]) == 0
    first = json.loads(capsys.readouterr().out)
    assert Recipe.from_dict(first["recipe"]) == load_recipe(recipe).recipe
    assert load_recipe(recipe).recipe.request == REQUEST
    assert main([*fit, "--recipe", str(recipe)]) == 0
    again = json.loads(capsys.readouterr().out)
    assert again["parameters"] == first["parameters"] and again["rwp"] == first["rwp"]
    # The fit's own JSON as the recipe, continued from its refined values.
    (tmp_path / "fit.json").write_text(json.dumps(first))
    assert main([*fit, "--recipe", str(tmp_path / "fit.json"), "--continue"]) == 0
    continued = json.loads(capsys.readouterr().out)
    assert continued["recipe"]["request"]["start"]["displacement"] == first["parameters"]["displacement"]
    assert continued["rwp"] == pytest.approx(first["rwp"], rel=1e-6)
    assert continued["evaluations"] <= first["evaluations"]

    # Moved with its phase, the recipe finds it beside itself; changed, the phase is refused.
    moved = tmp_path / "moved"
    shutil.move(cif.parent, moved)
    shutil.copyfile(recipe, moved / "recipe.toml")
    assert main([*fit, "--recipe", str(moved / "recipe.toml")]) == 0
    assert json.loads(capsys.readouterr().out)["parameters"] == first["parameters"]
    with open(moved / "corundum.cif", "a") as changed:
        changed.write("# edited\n")
    for argv, problem in [
        ([*fit, "--recipe", str(moved / "recipe.toml")], "has changed since the recipe was written"),
        ([*fit, "--recipe", str(recipe), str(scan), str(cif)], "one file too many"),
        ([*fit, "--recipe", str(recipe), "--continue"], "give a fit's JSON"),
        ([*fit, str(scan)], "at least one PHASE"),
    ]:
        assert main(argv) == 2
        err = capsys.readouterr().err
        assert problem in err and len(err.strip().splitlines()) == 1


def test_a_serial_series_is_the_single_fits_row_for_row(tmp_path, scans, recipe_file, single_fits):
    out = tmp_path / "out"
    seen = []
    result = run_series(
        [scans], recipe_file, out, order_by="temperature", workers=2, progress=lambda d, t: seen.append((d, t))
    )
    assert result.ok == SCANS and not result.errors and seen[-1] == (SCANS, SCANS)
    rows = table_rows(out)
    assert [r["index"] for r in rows] == list(range(SCANS))
    assert_rows_match_fits(rows, single_fits)
    assert json.loads(read_series(out).schema.metadata[b"peakforge.series"])["recipe"]["request"]["fix"] == [
        "asymmetry"
    ]
    # A rerun finds it complete; another series is refused in the same folder.
    assert run_series([scans], recipe_file, out, order_by="temperature", workers=0).ok == SCANS
    with pytest.raises(InputError, match="holds another series"):
        run_series([scans], recipe_file, out, sequential=True, workers=0)
    with pytest.raises(InputError, match="splits a sequential series"):
        run_series([scans], recipe_file, tmp_path / "other", chains=2)


def test_a_scan_that_cannot_be_fitted_is_an_error_row_and_the_series_goes_on(tmp_path, scans, recipe_file, capsys):
    broken = tmp_path / "broken.xy"
    broken.write_text("# temperature = 310 K\n10 5\n")
    out = tmp_path / "out"
    argv = ["series", str(scans / "run000.xy"), str(broken), "--recipe", str(recipe_file), "--out", str(out)]
    report = tmp_path / "series.html"
    assert main([*argv, "--workers", "0", "--no-progress", "--order-by", "temperature", "--report", str(report)]) == 2
    captured = capsys.readouterr()
    assert "2 scans: 1 fitted, 1 failed" in captured.out
    assert captured.err.strip().splitlines() == ["peakforge: error: 1 of 2 scans could not be fitted (see their rows)"]
    rows = table_rows(out)
    assert [(r["status"], r["temperature"]) for r in rows] == [("ok", 300.0), ("error", 310.0)]
    assert rows[1]["error"] and rows[1]["rwp"] is None
    # Each part keeps the provenance of the run that wrote it; the report shows the table and the failure.
    part = sorted(out.glob("scan-*.parquet"))[0]
    provenance = json.loads(pq.read_schema(part).metadata[b"peakforge.series"])["provenance"]
    scan = scans / "run000.xy"
    assert {"path": str(scan), "sha256": hashlib.sha256(scan.read_bytes()).hexdigest()} in provenance["inputs"]
    page = report.read_text()
    assert "Refined parameters" in page and "failed: " in page
    assert f"peakforge series {scan}" in page and "run000.xy" in page.split("<body>")[1]


def test_a_sequential_series_follows_a_linear_expansion(tmp_path, scans, recipe_file):
    pytest.importorskip("matplotlib", reason="peakforge[plot] is not installed")
    from peakforge_pattern.plotting import plot_series

    out = tmp_path / "out"
    result = run_series([scans], recipe_file, out, sequential=True, chains=2, order_by="temperature", workers=0)
    truth = np.loadtxt(scans / "truth.tsv", skiprows=1)
    table = read_series(out, "pandas")
    assert list(table["temperature"]) == pytest.approx(list(truth[:, 0]))
    error = table["corundum.a"].to_numpy() - truth[:, 1]
    assert np.mean(np.abs(error) < 3.0 * table["corundum.a_esd"].to_numpy()) >= 0.9
    assert np.all(np.abs(error) < 5e-5)
    # The second chain starts from the recipe, the others from the scan before.
    rows = load_series(out, hidden=True).table.to_pylist()
    assert json.loads(rows[3]["_parameters"]) != json.loads(rows[4]["_parameters"])
    plot_series(result, ["corundum.a", "displacement"], tmp_path / "series.png")
    assert (tmp_path / "series.png").stat().st_size > 5000
    with pytest.raises(InputError, match="has no parameter 'corundum.q'"):
        plot_series(result, ["corundum.q"])


def _stop_when(argv, ready, stop):
    driver = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(), start_new_session=True
    )
    deadline = time.monotonic() + 120
    while not ready() and driver.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    os.killpg(driver.pid, stop)
    _, err = driver.communicate(timeout=30)
    return driver.returncode, err


def test_a_killed_series_resumes_with_every_scan_once(tmp_path, scans, recipe_file):
    out = tmp_path / "out"
    argv = series_command(str(scans), "--recipe", str(recipe_file), "--out", str(out), "--sequential")
    argv += ["--chains", "2", "--order-by", "temperature", "--workers", "1"]

    def parts():
        return len(list(out.glob("scan-*.parquet")))

    status, err = _stop_when(argv, lambda: parts() >= 1, signal.SIGINT)
    assert status == 130 and "run the same command again" in err
    written = parts()
    status, _ = _stop_when(argv, lambda: parts() > written, signal.SIGKILL)
    assert status == -signal.SIGKILL
    done = subprocess.run(argv, capture_output=True, text=True, env=child_env(), timeout=300)
    assert done.returncode == 0, done.stderr
    assert f"{SCANS} scans: {SCANS} fitted" in done.stdout
    rows = table_rows(out)
    assert sorted(r["index"] for r in rows) == list(range(SCANS))
    assert not [p for p in out.iterdir() if p.name.startswith(".") and p.name != ".lock"]
    # Resumed chains continue from their last row: the same as a run never stopped.
    whole = run_series(
        [scans], recipe_file, tmp_path / "whole", sequential=True, chains=2, order_by="temperature", workers=0
    )
    for row, expected in zip(rows, whole.table.to_pylist()):
        for name in COMPARED:
            assert row[name] == pytest.approx(expected[name], rel=1e-6, abs=1e-12)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    pytest.importorskip("distributed", reason="peakforge[distributed] (Dask distributed) is not installed")
    with dask_cluster(tmp_path_factory.mktemp("cluster"), child_env()) as running:
        yield running


def test_a_dask_series_equals_the_single_fits_while_another_driver_shares_the_cluster(
    tmp_path, scans, recipe_file, single_fits, cluster
):
    _, scheduler_file = cluster
    common = [str(scans), "--recipe", str(recipe_file), "--order-by", "temperature"]
    common += ["--scheduler-file", str(scheduler_file)]
    drivers = [
        subprocess.Popen(
            series_command(*common, "--out", str(tmp_path / name), *extra),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=child_env(),
        )
        for name, extra in (("serial", []), ("sequential", ["--sequential", "--chains", "2"]))
    ]
    for driver in drivers:
        _, err = driver.communicate(timeout=300)
        assert driver.returncode == 0, err
    assert_rows_match_fits(table_rows(tmp_path / "serial"), single_fits)
    sequential = table_rows(tmp_path / "sequential")
    assert [r["status"] for r in sequential] == ["ok"] * SCANS
    assert sequential[0]["corundum.a"] == pytest.approx(single_fits[0].phases[0].cell[0], rel=1e-6)
