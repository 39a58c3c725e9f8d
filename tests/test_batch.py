"""peakforge batch: rows for every structure, nothing lost or doubled through
crashes, interruptions and reruns, on a local pool and on a Dask cluster."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import PACKAGE_PARENT, dask_cluster

pa = pytest.importorskip("pyarrow", reason="peakforge[batch] (pyarrow) is not installed")
import pyarrow.dataset as ds  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from peakforge_pattern import EXAMPLES, compute_pattern, example_path  # noqa: E402
from peakforge_pattern.batch import plan_chunks, read_patterns, run_batch  # noqa: E402
from peakforge_pattern.batch.sources import Source, list_sources  # noqa: E402
from peakforge_pattern.batch.worker import KILL_HOOK  # noqa: E402
from peakforge_pattern.cli import main  # noqa: E402

MALFORMED = "data_broken\n_cell_length_a 4\n"


def corpus(folder, copies=1, names=tuple(EXAMPLES)):
    """``copies`` of the named examples, one copy in a subfolder, and a malformed file."""
    folder.mkdir(parents=True, exist_ok=True)
    for copy in range(copies):
        for name in names:
            target = folder / ("nested" if copy == 0 else "") / f"{name}_{copy}.cif"
            target.parent.mkdir(exist_ok=True)
            shutil.copyfile(example_path(name), target)
    (folder / "broken.cif").write_text(MALFORMED)
    return folder


def rows(out, columns=("id", "status", "error")):
    table = ds.dataset(out, format="parquet").to_table(columns=list(columns))
    return table.to_pylist()


def assert_each_once(out, ids):
    found = [row["id"] for row in rows(out, ["id"])]
    assert sorted(found) == sorted(ids)


def child_env(**extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return env


def batch_command(*argv):
    return [sys.executable, "-m", "peakforge_pattern", "batch", "--no-progress", *argv]


def test_rows_match_compute_pattern_and_reruns_resume_retry_or_refuse(tmp_path, capsys):
    source = corpus(tmp_path / "in")
    listing = tmp_path / "more.txt"
    listing.write_text(f"# extra structures\n{example_path('silicon')}\n\nmissing.cif\n")
    out = tmp_path / "out"
    ids = {f"nested/{n}_0.cif" for n in EXAMPLES} | {"broken.cif", str(example_path("silicon")), "missing.cif"}

    assert main(["batch", str(source), str(listing), "--out", str(out), "--no-progress"]) == 2
    printed = capsys.readouterr()
    assert "8 structures: 6 ok, 2 errors; 8 computed" in printed.out
    assert "peakforge: broken.cif: " in printed.err and "peakforge: missing.cif: " in printed.err
    assert_each_once(out, ids)
    by_id = {row["id"]: row for row in rows(out, ["id", "status", "n_atoms", "formula", "volume"])}
    assert by_id["nested/rocksalt_0.cif"]["formula"] == "Cl4 Na4" and by_id["nested/corundum_0.cif"]["n_atoms"] == 30
    assert by_id["nested/cscl_0.cif"]["volume"] == pytest.approx(4.123**3)
    metadata = pq.read_schema(out / "_common_metadata").metadata
    assert json.loads(metadata[b"peakforge.batch.options"])["two_theta_range"] == [0.0, 90.0]

    for name, pattern in zip(sorted(EXAMPLES), read_patterns(out, [f"nested/{n}_0.cif" for n in sorted(EXAMPLES)])):
        expected = compute_pattern(example_path(name), "CuKa", (0, 90))
        for field in ("two_theta", "d", "intensity", "absolute_intensity"):
            np.testing.assert_array_equal(getattr(pattern, field), getattr(expected, field))
        assert pattern.families == expected.families and pattern.multiplicities == expected.multiplicities
    with pytest.raises(KeyError, match="broken.cif"):
        read_patterns(out, ["broken.cif"])

    # A rerun skips what is done; one with the malformed file mended redoes only the error rows.
    assert main(["batch", str(source), str(listing), "--out", str(out), "--no-progress"]) == 2
    assert "(8 done before)" in capsys.readouterr().out
    shutil.copyfile(example_path("cscl"), source / "broken.cif")
    assert main(["batch", str(source), "--out", str(out), "--retry-errors", "--no-progress"]) == 0
    assert "6 structures (5 done before): 6 ok, 0 errors; 1 computed" in capsys.readouterr().out
    assert_each_once(out, ids)
    assert {row["id"] for row in rows(out) if row["status"] == "error"} == {"missing.cif"}

    # Other options would mix patterns: refused, unless the folder is emptied first.
    assert main(["batch", str(source), "--out", str(out), "-w", "MoKa", "--no-progress"]) == 2
    assert "computed with other options" in capsys.readouterr().err
    assert main(["batch", str(source), "--out", str(out), "--overwrite", "--float32", "--no-progress"]) == 0
    capsys.readouterr()
    assert_each_once(out, {f"nested/{n}_0.cif" for n in EXAMPLES} | {"broken.cif"})
    assert ds.dataset(out, format="parquet").schema.field("two_theta").type == pa.list_(pa.float32())


def test_calculation_options_reach_the_rows_and_bind_the_output(tmp_path, capsys):
    # The work limit only decides which structures are attempted: a rerun may raise it.
    sources = [str(example_path("silicon")), str(example_path("corundum"))]
    out = tmp_path / "out"
    summary = run_batch(sources, out, radiation="neutron", max_work=1e4, workers=1)
    assert (summary.ok, summary.errors) == (1, 1)
    assert "above the limit of 1e+04" in {row["id"]: row for row in rows(out)}[sources[1]]["error"]
    neutron = compute_pattern(example_path("silicon"), radiation="neutron")
    (pattern,) = read_patterns(out, [sources[0]])
    assert pattern.radiation == "neutron" and pattern.families == neutron.families
    np.testing.assert_array_equal(pattern.absolute_intensity, neutron.absolute_intensity)

    assert main(["batch", *sources, "--out", str(out), "--no-progress"]) == 2
    assert "2theta 0 to 90, neutron, float64; asked for" in capsys.readouterr().err
    assert (
        main(["batch", *sources, "--out", str(out), "--radiation", "neutron", "--retry-errors", "--no-progress"]) == 0
    )
    assert {row["status"] for row in rows(out)} == {"ok"}


def test_sources_ids_and_chunk_plan(tmp_path):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "x.cif").write_text("")
    with pytest.raises(ValueError, match="two structures have the id 'x.cif'"):
        list_sources([tmp_path / "a", tmp_path / "b"])
    with pytest.raises(ValueError, match="no such file"):
        list_sources([tmp_path / "c"])

    sources = [Source(f"s{i}", f"/s{i}", size=i) for i in range(5000)]
    chunks = plan_chunks(sources, workers=2)
    assert [len(c) for c in chunks] == [313] * 15 + [305]  # about 8 per worker
    assert chunks[0].items[0][0] == "s4999"  # largest first
    assert len(plan_chunks(sources[:40], 2)[0]) == 16 and len(plan_chunks(sources, 1)[0]) == 625
    assert len({c.name for c in chunks}) == len(chunks)


def test_a_worker_dying_costs_only_the_culprit_its_row(tmp_path, monkeypatch):
    source = corpus(tmp_path / "in", copies=4)
    monkeypatch.setenv(KILL_HOOK, "cscl_2.cif")
    summary = run_batch([source], tmp_path / "out", workers=2)
    assert (summary.ok, summary.errors, summary.exit_status) == (19, 2, 2)
    errors = {row["id"]: row["error"] for row in rows(tmp_path / "out") if row["status"] == "error"}
    assert set(errors) == {"cscl_2.cif", "broken.cif"} and "killed by SIGKILL" in errors["cscl_2.cif"]
    assert summary.listed == 21 and len(rows(tmp_path / "out")) == 21


def test_a_part_that_cannot_be_written_is_retried_then_reported(tmp_path):
    source = corpus(tmp_path / "in", copies=3, names=("corundum",))
    out = tmp_path / "out"
    # Parts (about 10 kB here) exceed this file-size limit, the metadata (about 5 kB) does not:
    # every write of a part fails with EFBIG.
    limit = 8000
    done = subprocess.run(
        batch_command(str(source), "--out", str(out)),
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=120,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
    )
    assert done.returncode == 1, done.stderr
    assert "4 structures not computed: OSError" in done.stderr and "Traceback" not in done.stderr
    assert not list(out.glob("part-*")) and not list(out.glob(".*"))
    assert (
        subprocess.run(
            batch_command(str(source), "--out", str(out)), capture_output=True, env=child_env(), timeout=120
        ).returncode
        == 2
    )
    assert len(rows(out)) == 4


def test_runs_that_cannot_start_leave_no_trace_and_blame_no_structure(tmp_path, capsys):
    source = corpus(tmp_path / "in")
    before = sorted(p.name for p in source.iterdir())
    # An output folder holding other files (here: the sources) is refused before anything is written there.
    assert main(["batch", str(source), "--out", str(source), "--no-progress"]) == 2
    assert "not part of a batch output" in capsys.readouterr().err
    assert sorted(p.name for p in source.iterdir()) == before

    from peakforge_pattern.batch.output import OutputFolder

    with OutputFolder(tmp_path / "out").locked():  # a second driver on the same folder
        assert main(["batch", str(source), "--out", str(tmp_path / "out"), "--no-progress"]) == 2
    assert "another batch run is writing here" in capsys.readouterr().err

    # Workers that cannot start (a script read from standard input cannot be
    # imported again by them) fail the run; no structure gets an error row.
    script = f"from peakforge_pattern.batch import run_batch\nrun_batch([{str(source)!r}], {str(tmp_path / 'out')!r})\n"
    done = subprocess.run(
        [sys.executable, "-"], input=script, capture_output=True, text=True, env=child_env(), timeout=120
    )
    assert done.returncode == 1 and "ExecutorError: a worker process could not start" in done.stderr
    assert not list((tmp_path / "out").glob("part-*"))


def _children(pid):
    try:
        return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def _stop_when(argv, ready, stop):
    """Start the command; once ``ready(pid)``, send ``stop`` to its process
    group. Returns its status, standard error, and the pids its workers had."""
    driver = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(), start_new_session=True
    )  # its own group: Ctrl-C reaches driver and workers
    deadline = time.monotonic() + 60
    while not ready(driver.pid) and driver.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    workers = _children(driver.pid)
    os.killpg(driver.pid, stop)
    _, err = driver.communicate(timeout=30)
    return driver.returncode, err, workers


def test_a_stopped_driver_leaves_whole_parts_and_a_rerun_completes_them(tmp_path):
    source = tmp_path / "in"
    source.mkdir()
    ids = [f"c{i:03}.cif" for i in range(400)]  # 16 chunks of 25
    for id in ids:
        shutil.copyfile(example_path("corundum"), source / id)
    out = tmp_path / "out"
    # Enough work per structure that the run is still under way once its first part is
    # written (the engine skips corundum's extinguished reflections, two in three).
    argv = batch_command(str(source), "--out", str(out), "-w", "AgKa", "--two-theta", "0", "150")

    def parts():
        return len(list(out.glob("part-*")))

    # Ctrl-C once the first part is written, the others under way.
    status, err, _ = _stop_when(argv, lambda _: parts() > 0, signal.SIGINT)
    assert status == 130 and "run the same command again to resume" in err
    assert not list(out.glob(".*"))
    # Killed outright once it has added a part: its workers end with it.
    written = parts()
    status, _, workers = _stop_when(argv, lambda _: parts() > written, signal.SIGKILL)
    assert status == -signal.SIGKILL and workers
    deadline = time.monotonic() + 10
    while any(Path(f"/proc/{pid}").exists() for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(Path(f"/proc/{pid}").exists() for pid in workers)
    for part in out.glob("part-*"):
        pq.read_table(part)  # whole, or not there

    done = subprocess.run(argv, capture_output=True, text=True, env=child_env(), timeout=120)
    assert done.returncode == 0, done.stderr
    assert " done before)" in done.stdout
    assert_each_once(out, ids)
    assert not list(out.glob(".*"))


# ---- on a Dask cluster: a real scheduler and two workers, as separate processes


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    pytest.importorskip("distributed", reason="peakforge[distributed] (Dask distributed) is not installed")
    # The scheduler gives up on a task after the first worker it kills, instead of four.
    env = child_env(DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="0", **{KILL_HOOK: "cscl_1.cif"})
    with dask_cluster(tmp_path_factory.mktemp("cluster"), env) as running:
        yield running


def test_cluster_rows_match_compute_pattern_and_a_dying_worker_costs_only_its_culprit(tmp_path, cluster):
    client, scheduler_file = cluster
    source = corpus(tmp_path / "in", copies=3)
    out = tmp_path / "out"
    summary = run_batch([source], out, client=client)
    assert (summary.ok, summary.errors) == (14, 2)
    errors = {row["id"]: row["error"] for row in rows(out) if row["status"] == "error"}
    assert set(errors) == {"broken.cif", "cscl_1.cif"} and "died" in errors["cscl_1.cif"]
    for pattern in read_patterns(out):
        expected = compute_pattern(source / pattern.structure_name)
        np.testing.assert_array_equal(pattern.to_numpy(), expected.to_numpy())
        assert pattern.families == expected.families

    address = json.loads(scheduler_file.read_text())["address"]
    done = subprocess.run(
        batch_command(str(source), "--out", str(out), "--scheduler", address),
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=120,
    )
    assert done.returncode == 2 and "16 structures (16 done before): 14 ok, 2 errors" in done.stdout
    assert len(rows(out)) == 16


def test_cluster_parts_of_a_superseded_run_are_discarded(tmp_path, cluster):
    from peakforge_pattern.batch.options import RunOptions
    from peakforge_pattern.batch.output import OutputFolder, Superseded, write_part
    from peakforge_pattern.batch.rows import RowBuilder

    folder = OutputFolder(tmp_path / "out")
    options = RunOptions.resolve("CuKa", (0, 90))
    with folder.locked():
        folder.start(options, token="new", resume=True)
    rows = RowBuilder(options)
    with pytest.raises(Superseded):
        write_part(folder.path, "part-late", rows.schema, [], token="old", cluster_lock=folder.cluster_lock)
    write_part(folder.path, "part-current", rows.schema, [], token="new", cluster_lock=folder.cluster_lock)
    assert [p.name for p in folder.parts()] == ["part-current.parquet"]
    assert not list(folder.path.glob(".*"))


def test_two_drivers_at_once_on_one_cluster_each_get_their_own_rows(tmp_path, cluster):
    """Two runs of the same sources at once, each with its own client and wavelength, into two folders."""
    from concurrent.futures import ThreadPoolExecutor

    from distributed import Client

    _, scheduler_file = cluster
    source = corpus(tmp_path / "in", names=("silicon", "rocksalt", "tungsten"))

    def run(wavelength):
        with Client(scheduler_file=str(scheduler_file), timeout="60s", set_as_default=False) as client:
            return run_batch([source], tmp_path / wavelength, client=client, wavelength=wavelength)

    with ThreadPoolExecutor(2) as pool:
        summaries = list(pool.map(run, ["CuKa", "MoKa"]))
    for wavelength, summary in zip(["CuKa", "MoKa"], summaries):
        assert (summary.ok, summary.errors, summary.not_done) == (3, 1, 0)
        ids = ["broken.cif", *(f"nested/{name}_0.cif" for name in ("silicon", "rocksalt", "tungsten"))]
        assert_each_once(tmp_path / wavelength, ids)
        for pattern in read_patterns(tmp_path / wavelength):
            expected = compute_pattern(source / pattern.structure_name, wavelength=wavelength)
            np.testing.assert_array_equal(pattern.to_numpy(), expected.to_numpy())
