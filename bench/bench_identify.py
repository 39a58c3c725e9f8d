"""Scoring one scan against pattern libraries of growing size, side by side
with the per-entry Python loop a user would write.

    python bench/make_corpus.py CORPUS --count 10000 --seed 11
    peakforge batch CORPUS EXTRA_CIFS --out LIB --two-theta 0 90
    python bench/bench_identify.py --library LIB --scan SCAN --sizes 10000 20000 100000

Libraries larger than LIB are made by repeating its parts under new ids,
with the columns scoring reads (the scoring cost depends on the number of
entries and their peaks, not on whether two are alike, and Parquet reads
only the columns asked for). Each measurement runs in a fresh process, so that
its peak memory is its own; CPU time counts the process's threads.
"""

from __future__ import annotations

import argparse
import json
import math
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SCAN_OPTIONS = {"monochromator_angle": 26.6}
SCORED_COLUMNS = ["id", "status", "formula", "elements", "path", "d", "structure_intensity"]


def replicate(library: Path, size: int, folder: Path) -> Path:
    """A library of about ``size`` ok rows: the parts of ``library`` repeated with renamed ids."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    out = folder / f"lib{size}"
    if out.exists():
        return out
    out.mkdir(parents=True)
    schema = pq.read_schema(library / "_common_metadata")
    pq.write_metadata(
        pa.schema([schema.field(c) for c in SCORED_COLUMNS], metadata=schema.metadata), out / "_common_metadata"
    )
    parts = sorted(library.glob("part-*.parquet"))
    counts = [pq.ParquetFile(p).metadata.num_rows for p in parts]
    total, copy = 0, 0
    while total < size:
        for part, count in zip(parts, counts):
            if total >= size:
                break
            table = pq.read_table(part, columns=SCORED_COLUMNS)
            if copy:
                ids = pc.binary_join_element_wise(table.column("id"), pa.scalar(f"#{copy}"), "")
                table = table.set_column(table.schema.get_field_index("id"), "id", ids)
            pq.write_table(
                table, out / f"part-{copy:03d}-{part.stem[5:]}.parquet", compression="zstd", row_group_size=4096
            )
            total += count
        copy += 1
    return out


def _peak_rss_mib() -> float:
    """This process's peak resident memory (VmHWM; ru_maxrss would carry the parent's peak across exec)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(library: Path, scan: str, rows: int, elements: list[str] | None) -> dict:
    """Score the library against the scan in this process: wall, CPU, peak memory."""
    from peakforge_pattern.batch.library import open_library
    from peakforge_pattern.fitting import read_scan
    from peakforge_pattern.identification.library_entries import library_d_range
    from peakforge_pattern.identification.scan_peaks import find_scan_peaks
    from peakforge_pattern.identification.scoring import ScanTarget
    from peakforge_pattern.identification.shortlist import shortlist_library
    from peakforge_pattern.profiles.instrument import Instrument

    measured = read_scan(scan)
    lines = Instrument(wavelength="CuKa").lines(1.0)
    peaks = find_scan_peaks(measured, lines)
    opened = open_library(library)
    target = ScanTarget.build(
        peaks.two_theta,
        peaks.intensity,
        tolerance=0.5 * peaks.typical_fwhm,
        lines=lines,
        fwhm=peaks.typical_fwhm,
        library_d_range=library_d_range(opened),
        scan_range=(measured.two_theta[0], measured.two_theta[-1]),
        **SCAN_OPTIONS,
    )
    before = _peak_rss_mib()
    wall, cpu = time.perf_counter(), time.process_time()
    shortlist = shortlist_library(opened, target, allowed=elements, rows=rows)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    peak = _peak_rss_mib()
    return {
        "entries": shortlist.scored,
        "wall": wall,
        "cpu": cpu,
        "peak_mib": peak,
        "growth_mib": peak - before,
        "best": shortlist.ids[:3],
    }


def per_entry_loop(library: Path, scan: str, limit: int) -> dict:
    """The alternative: each entry's sticks placed and matched in a Python loop
    over entries, strains and zero shifts (the same tolerance and grids)."""
    import pyarrow.compute as pc

    from peakforge_pattern.batch.library import open_library
    from peakforge_pattern.diffraction.engine_route import lorentz_polarisation
    from peakforge_pattern.fitting import read_scan
    from peakforge_pattern.identification.scan_peaks import find_scan_peaks
    from peakforge_pattern.profiles.instrument import Instrument

    measured = read_scan(scan)
    lines = Instrument(wavelength="CuKa").lines(1.0)
    peaks = find_scan_peaks(measured, lines)
    x, y = peaks.two_theta, peaks.intensity / peaks.intensity.sum()
    tolerance = 0.5 * peaks.typical_fwhm
    lam = lines[0][0]
    table = (
        open_library(library)
        .dataset.to_table(columns=["id", "d", "structure_intensity"], filter=pc.field("status") == "ok")
        .slice(0, limit)
    )
    strains = np.linspace(-0.02, 0.02, 81)
    zeros = np.linspace(-0.15, 0.15, 7)
    wall, cpu = time.perf_counter(), time.process_time()
    best = []
    for d, w in zip(table.column("d").to_pylist(), table.column("structure_intensity").to_pylist()):
        d, w = np.asarray(d), np.asarray(w)
        top = 0.0
        for s in strains:
            sine = lam / (2 * d * (1 + s))
            ok = sine < 1
            two_theta = 2 * np.degrees(np.arcsin(sine[ok]))
            weight = w[ok] * lorentz_polarisation(two_theta, "xray", 26.6)
            weight = weight / weight.sum() if weight.sum() > 0 else weight
            for z in zeros:
                placed = two_theta + z
                k = np.clip(np.searchsorted(x, placed), 1, x.size - 1)
                nearest = np.where(np.abs(placed - x[k - 1]) < np.abs(x[k] - placed), k - 1, k)
                matched = np.abs(placed - x[nearest]) <= tolerance
                top = max(top, float(weight[matched].sum()) * math.sqrt(float(y[np.unique(nearest[matched])].sum())))
        best.append(top)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return {"entries": len(best), "wall": wall, "cpu": cpu}


def _child(arguments: list[str]) -> dict:
    done = subprocess.run([sys.executable, __file__, *arguments], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", type=Path, required=True)
    parser.add_argument("--scan", required=True)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 20_000, 100_000])
    parser.add_argument("--rows", type=int, nargs="+", default=[4096])
    parser.add_argument("--elements", default=None)
    parser.add_argument("--loop-entries", type=int, default=500)
    parser.add_argument("--work", type=Path, default=None, help="folder for the replicated libraries")
    parser.add_argument("--child", choices=("measure", "loop"), help=argparse.SUPPRESS)
    parser.add_argument("--one-size", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child == "measure":
        elements = args.elements.split(",") if args.elements else None
        print(json.dumps(measure(args.one_size, args.scan, args.rows[0], elements)))
        return
    if args.child == "loop":
        print(json.dumps(per_entry_loop(args.library, args.scan, args.loop_entries)))
        return

    work = args.work or Path(tempfile.mkdtemp(prefix="bench_identify_"))
    print(f"scan {args.scan}; libraries from {args.library} (replicated in {work}); one process per line")
    print("| entries | chunk rows | elements | wall s | CPU s | CPU µs/entry | peak RSS MiB | RSS growth MiB |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|")
    results = []
    for size in args.sizes:
        library = replicate(args.library, size, work)
        for rows in args.rows:
            for elements in [None] + ([args.elements] if args.elements else []):
                extra = ["--elements", elements] if elements else []
                r = _child(
                    [
                        "--child",
                        "measure",
                        "--library",
                        str(args.library),
                        "--scan",
                        args.scan,
                        "--one-size",
                        str(library),
                        "--rows",
                        str(rows),
                        *extra,
                    ]
                )
                results.append((size, rows, elements, r))
                print(
                    f"| {r['entries']} | {rows} | {elements or 'any'} | {r['wall']:.2f} | {r['cpu']:.2f} | "
                    f"{1e6 * r['cpu'] / max(r['entries'], 1):.0f} | {r['peak_mib']:.0f} | "
                    f"{r['growth_mib']:.0f} |",
                    flush=True,
                )
    loop = _child(
        [
            "--child",
            "loop",
            "--library",
            str(args.library),
            "--scan",
            args.scan,
            "--loop-entries",
            str(args.loop_entries),
        ]
    )
    ours = next(r for s, rows, e, r in results if e is None)
    ours_per_entry = ours["cpu"] / ours["entries"]
    loop_per_entry = loop["cpu"] / loop["entries"]
    print(
        f"\nper-entry Python loop (strain x zero-shift grid, {loop['entries']} entries): "
        f"{1e6 * loop_per_entry:.0f} µs/entry CPU; vectorised {1e6 * ours_per_entry:.0f} µs/entry; "
        f"ratio {loop_per_entry / ours_per_entry:.1f}x"
    )
    if work != args.work:
        shutil.rmtree(work, ignore_errors=True)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
