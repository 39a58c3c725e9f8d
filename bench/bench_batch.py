"""Batch throughput, worker memory and fault tolerance, against the plain loop
of `peakforge pattern DIR -f csv`, side by side in one run.

    python bench/bench_batch.py [--count 2000] [--large 10000] [--workers N] [--repeats 1]

Runs the installed package (`pip install .` first) with this interpreter:
  1. throughput on --count structures of a synthetic corpus (bench/make_corpus.py):
     `peakforge pattern DIR -f csv` (stdout to /dev/null), `peakforge batch DIR --out O`
     on the local pool, and the same with `--scheduler-file F` on a local Dask
     cluster (`dask scheduler` and N `dask worker --nthreads 1` processes on 127.0.0.1);
     wall time, CPU time of every process involved, and the ratios;
  2. worker memory (peak resident set) at --count and --large structures, on
     the local pool and on a fresh Dask cluster for each size;
  3. kill tests: a worker and the driver killed mid-run (SIGKILL), on the local
     pool and on the cluster; after the rerun every structure has exactly one row.
Prints Markdown tables.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pyarrow.dataset as ds

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_corpus import make_corpus  # noqa: E402

PEAKFORGE = [sys.executable, "-m", "peakforge_pattern"]
TICKS = os.sysconf("SC_CLK_TCK")


# ---- processes: their trees, CPU time and memory, from /proc


def children(pid: int) -> list[int]:
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            found += [int(c) for c in Path(f"/proc/{pid}/task/{task}/children").read_text().split()]
    except OSError:
        pass
    return found


def tree(pid: int) -> list[int]:
    pids = [pid]
    for child in children(pid):
        pids += tree(child)
    return pids


def cpu_seconds(pid: int) -> float:
    """User + system time of a live process itself."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kib(pid: int, key: str) -> int:
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


class PeakMemory:
    """Samples the peak resident set (VmHWM) of a process tree until stopped."""

    def __init__(self, roots: list[int], interval: float = 0.1) -> None:
        self.roots, self.interval = roots, interval
        self.peaks: dict[int, int] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            for root in self.roots:
                for pid in tree(root):
                    self.peaks[pid] = max(self.peaks.get(pid, 0), status_kib(pid, "VmHWM"))
            self._stop.wait(self.interval)

    def stop(self) -> dict[int, int]:
        self._stop.set()
        self._thread.join()
        return self.peaks


def run_timed(
    argv: list[str], stdout=subprocess.DEVNULL, extra_pids: list[int] = (), sample_memory: bool = False
) -> dict:
    """Run a command to the end: wall time, CPU time (itself, its waited-for
    children and ``extra_pids``' trees), and peak memory per process."""
    before = sum(cpu_seconds(p) for root in extra_pids for p in tree(root))
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE, text=True)
    memory = PeakMemory([process.pid, *extra_pids]) if sample_memory else None
    err = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    peaks = memory.stop() if memory else {}
    after = sum(cpu_seconds(p) for root in extra_pids for p in tree(root))
    return {
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime + after - before,
        "status": process.returncode,
        "stderr": err,
        "peaks": peaks,
        "pid": process.pid,
    }


# ---- a local Dask cluster: scheduler and workers as separate processes


@contextmanager
def dask_cluster(folder: Path, workers: int) -> Iterator[tuple[Path, list[int], list[int]]]:
    """Yields the scheduler file, the scheduler's pid, and the workers' (nanny) pids."""
    scheduler_file = folder / "scheduler.json"
    scheduler_file.unlink(missing_ok=True)
    dask = [sys.executable, "-m", "dask"]
    common = ["--no-dashboard", "--scheduler-file", str(scheduler_file)]
    log = open(folder / "cluster.log", "a")
    processes = [
        subprocess.Popen(
            [*dask, "scheduler", "--host", "127.0.0.1", "--port", "0", *common], stderr=log, start_new_session=True
        )
    ]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            if time.monotonic() > deadline:
                raise RuntimeError("the Dask scheduler did not start")
            time.sleep(0.1)
        for _ in range(workers):
            processes.append(
                subprocess.Popen(
                    [*dask, "worker", "--nthreads", "1", "--host", "127.0.0.1", *common],
                    stderr=log,
                    start_new_session=True,
                )
            )
        from distributed import Client

        with Client(scheduler_file=str(scheduler_file), timeout="60s") as client:
            client.wait_for_workers(workers, timeout=120)
        yield scheduler_file, [processes[0].pid], [p.pid for p in processes[1:]]
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        log.close()


# ---- checks of an output folder


def check_output(out: Path, listed: int, malformed: int) -> str:
    table = ds.dataset(out, format="parquet").to_table(columns=["id", "status"])
    ids = table.column("id").to_pylist()
    errors = table.column("status").to_pylist().count("error")
    verdict = "ok" if len(ids) == listed and len(set(ids)) == listed and errors == malformed else "FAILED"
    return f"{len(ids)} rows, {len(set(ids))} distinct ids of {listed}, {errors} error rows ({malformed} malformed): {verdict}"


def parts_written(out: Path) -> int:
    return len(list(out.glob("part-*.parquet")))


def kill_when(process: subprocess.Popen, out: Path, parts: int, victim) -> None:
    """Once ``parts`` parts are written, SIGKILL the pid ``victim()`` returns."""
    while parts_written(out) < parts and process.poll() is None:
        time.sleep(0.05)
    if process.poll() is None:
        os.kill(victim(), signal.SIGKILL)


# ---- the benchmark


def throughput(corpus: Path, count: int, work: Path, workers: int, repeats: int) -> list[str]:
    rows: dict[str, list[dict]] = {"pattern -f csv": [], "batch, local pool": [], "batch, Dask cluster": []}
    with dask_cluster(work, workers) as (scheduler_file, scheduler, nannies):
        for _ in range(repeats):
            with open(os.devnull, "w") as sink:
                rows["pattern -f csv"].append(
                    run_timed(
                        [*PEAKFORGE, "pattern", str(corpus), "-f", "csv", "--no-progress"],
                        stdout=sink,
                        sample_memory=True,
                    )
                )
            rows["batch, local pool"].append(
                run_timed(
                    [
                        *PEAKFORGE,
                        "batch",
                        str(corpus),
                        "--out",
                        str(work / "local"),
                        "--overwrite",
                        "--no-progress",
                        "--workers",
                        str(workers),
                    ],
                    sample_memory=True,
                )
            )
            rows["batch, Dask cluster"].append(
                run_timed(
                    [
                        *PEAKFORGE,
                        "batch",
                        str(corpus),
                        "--out",
                        str(work / "dask"),
                        "--overwrite",
                        "--no-progress",
                        "--scheduler-file",
                        str(scheduler_file),
                    ],
                    extra_pids=scheduler + nannies,
                    sample_memory=True,
                )
            )
    base = statistics.median(r["wall"] for r in rows["pattern -f csv"])
    base_cpu = statistics.median(r["cpu"] for r in rows["pattern -f csv"])
    lines = [
        f"Throughput: {count} structures, median of {repeats} run(s), {workers} workers",
        "",
        "| command | wall s | structures/s | CPU s | CPU ms/structure | speed-up (wall) | CPU ratio | "
        "largest process peak RSS MiB | exit |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, runs in rows.items():
        wall = statistics.median(r["wall"] for r in runs)
        cpu = statistics.median(r["cpu"] for r in runs)
        rss = max(max(r["peaks"].values(), default=0) for r in runs) / 1024
        lines.append(
            f"| {name} | {wall:.1f} | {count / wall:.1f} | {cpu:.1f} | {1000 * cpu / count:.2f} | "
            f"{base / wall:.2f} | {cpu / base_cpu:.2f} | {rss:.0f} | {runs[-1]['status']} |"
        )
    return lines


def memory(corpora: dict[int, Path], work: Path, workers: int) -> list[str]:
    lines = [
        "",
        "Worker memory (peak resident set of the largest worker, and of the driver)",
        "",
        "| engine | structures | worker peak RSS MiB | driver peak RSS MiB | wall s |",
        "|---|---:|---:|---:|---:|",
    ]
    for count, corpus in corpora.items():
        run = run_timed(
            [
                *PEAKFORGE,
                "batch",
                str(corpus),
                "--out",
                str(work / f"mem{count}"),
                "--overwrite",
                "--no-progress",
                "--workers",
                str(workers),
            ],
            sample_memory=True,
        )
        driver = run["peaks"].pop(run["pid"], 0)
        lines.append(
            f"| local pool | {count} | {max(run['peaks'].values()) / 1024:.0f} | {driver / 1024:.0f} | "
            f"{run['wall']:.1f} |"
        )
    for count, corpus in corpora.items():
        with dask_cluster(work, workers) as (scheduler_file, _, nannies):
            run = run_timed(
                [
                    *PEAKFORGE,
                    "batch",
                    str(corpus),
                    "--out",
                    str(work / f"dmem{count}"),
                    "--overwrite",
                    "--no-progress",
                    "--scheduler-file",
                    str(scheduler_file),
                ],
                extra_pids=nannies,
                sample_memory=True,
            )
            worker_pids = [c for n in nannies for c in children(n)]
            peak = max((run["peaks"].get(p, 0) for p in worker_pids), default=0)
            lines.append(
                f"| Dask cluster | {count} | {peak / 1024:.0f} | {run['peaks'].get(run['pid'], 0) / 1024:.0f}"
                f" | {run['wall']:.1f} |"
            )
    return lines


def kill_tests(corpus: Path, count: int, malformed: int, work: Path, workers: int) -> list[str]:
    lines = ["", "Kill tests (SIGKILL once a quarter of the parts are written; then a rerun where needed)", ""]
    quarter = 4  # of about 8 chunks per worker

    def batch(out: Path, *extra: str) -> list[str]:
        return [*PEAKFORGE, "batch", str(corpus), "--out", str(out), "--no-progress", *extra]

    def run_and_kill(argv: list[str], out: Path, victim) -> subprocess.Popen:
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        kill_when(process, out, quarter, lambda: victim(process))
        process.wait()
        return process

    out = work / "kill-worker"
    shutil.rmtree(out, ignore_errors=True)
    p = run_and_kill(batch(out, "--workers", str(workers)), out, lambda d: children(d.pid)[0])
    lines.append(f"- local pool, a worker killed: exit {p.returncode}; {check_output(out, count, malformed)}")

    out = work / "kill-driver"
    shutil.rmtree(out, ignore_errors=True)
    p = run_and_kill(batch(out, "--workers", str(workers)), out, lambda d: d.pid)
    rerun = subprocess.run(batch(out, "--workers", str(workers)), capture_output=True, text=True)
    lines.append(
        f"- local pool, the driver killed: exit {p.returncode}, rerun exit {rerun.returncode}: "
        f"{rerun.stdout.strip()}; {check_output(out, count, malformed)}"
    )

    with dask_cluster(work, workers) as (scheduler_file, _, nannies):
        on_cluster = ("--scheduler-file", str(scheduler_file))
        out = work / "kill-dask-worker"
        shutil.rmtree(out, ignore_errors=True)
        p = run_and_kill(batch(out, *on_cluster), out, lambda d: children(nannies[0])[0])
        lines.append(f"- Dask, a worker killed: exit {p.returncode}; {check_output(out, count, malformed)}")

        out = work / "kill-dask-driver"
        shutil.rmtree(out, ignore_errors=True)
        p = run_and_kill(batch(out, *on_cluster), out, lambda d: d.pid)
        # At once: tasks of the killed run may still be running on the workers.
        rerun = subprocess.run(batch(out, *on_cluster), capture_output=True, text=True)
        lines.append(
            f"- Dask, the driver killed: exit {p.returncode}, rerun exit {rerun.returncode}: "
            f"{rerun.stdout.strip()}; {check_output(out, count, malformed)}"
        )
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="structures of the throughput run")
    parser.add_argument("--large", type=int, default=10000, help="structures of the second memory run")
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--skip", nargs="*", default=[], choices=["throughput", "memory", "kill"])
    parser.add_argument("--work", type=Path, help="folder for corpora and outputs (default: a temporary one)")
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    work = args.work or Path(tempfile.mkdtemp(prefix="peakforge-bench-"))
    corpora = {}
    for count in (args.count, args.large):
        corpora[count] = work / f"corpus-{count}"
        if not corpora[count].exists():
            make_corpus(corpora[count], count, seed=1)
    malformed = sum(1 for p in corpora[args.count].glob("*.cif") if not p.read_text().startswith("data_s"))

    lines = [f"{sys.executable}; {os.cpu_count()} processors; corpus in {work}", ""]
    if "throughput" not in args.skip:
        lines += throughput(corpora[args.count], args.count, work, args.workers, args.repeats)
    if "memory" not in args.skip:
        lines += memory(corpora, work, args.workers)
    if "kill" not in args.skip:
        lines += kill_tests(corpora[args.count], args.count, malformed, work, args.workers)
    print("\n".join(lines))
    if args.work is None:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
