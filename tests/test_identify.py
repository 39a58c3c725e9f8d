"""peakforge identify: libraries with the columns identification needs, and
search-match that recovers known mixtures (synthetic and measured), filters
by element, ranks the same in chunks as in one piece and on a Dask cluster."""

import hashlib
import json
import random
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import dask_cluster

pa = pytest.importorskip("pyarrow", reason="peakforge[identify] (pyarrow) is not installed")
pytest.importorskip("scipy", reason="peakforge[identify] (SciPy) is not installed")
import pyarrow.compute as pc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import peakforge_pattern  # noqa: E402
from peakforge_pattern import EXAMPLES, example_path  # noqa: E402
from peakforge_pattern.batch import run_batch  # noqa: E402
from peakforge_pattern.batch.library import open_library, read_library  # noqa: E402
from peakforge_pattern.cli import main  # noqa: E402
from peakforge_pattern.errors import InputError  # noqa: E402
from peakforge_pattern.fitting import MeasuredPattern  # noqa: E402
from peakforge_pattern.identification import identify  # noqa: E402
from peakforge_pattern.identification.library_entries import library_d_range, stream_entries  # noqa: E402
from peakforge_pattern.identification.result import percent_text  # noqa: E402
from peakforge_pattern.identification.scoring import ScanTarget  # noqa: E402
from peakforge_pattern.identification.shortlist import shortlist_library  # noqa: E402
from peakforge_pattern.profiles import Instrument  # noqa: E402
from peakforge_pattern.profiles.mixture import compute_mixture  # noqa: E402
from peakforge_pattern.provenance import file_sha256  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
MEASURED = ROOT / "examples" / "measured"
sys.path.insert(0, str(ROOT / "bench"))
from make_corpus import random_cell  # noqa: E402

MEASURED_PHASES = {"corundum_Al2O3_bilbao.cif": 55.12, "zincite_ZnO.cif": 15.25, "fluorite_CaF2.cif": 29.62}
SAME_PHASE = {"corundum_Al2O3_bilbao.cif": "corundum.cif"}
SCAN_INSTRUMENT = Instrument(
    wavelength="CuKa", shape="tch", U=0.004, V=-0.002, W=0.004, X=0.03, Y=0.02, monochromator_angle=26.6
)


def _library_sources(folder, random_cells=60):
    """The bundled examples, the measured phases' CIFs (where present) and random cells."""
    folder.mkdir()
    for name in EXAMPLES:
        shutil.copyfile(example_path(name), folder / f"{name}.cif")
    for copy in range(4):  # one compound many times over, as merged collections hold them
        shutil.copyfile(example_path("corundum"), folder / f"corundum_copy{copy}.cif")
    # The corundum type with other elements in corundum's cell: the same peaks, other intensities.
    text = example_path("corundum").read_text()
    (folder / "isotype_Fe2S3.cif").write_text(text.replace("Al1 Al", "Fe1 Fe").replace("O1 O", "S1 S"))
    for name in MEASURED_PHASES:
        if (MEASURED / name).exists():
            shutil.copyfile(MEASURED / name, folder / name)
    rng = random.Random(7)
    for i in range(random_cells):
        random_cell(rng, f"r{i:03d}").make_cif_block().write_file(str(folder / f"r{i:03d}.cif"))
    return folder


@pytest.fixture(scope="module")
def library(tmp_path_factory):
    base = tmp_path_factory.mktemp("library")
    sources = _library_sources(base / "cifs")
    out = base / "lib"
    summary = run_batch([sources], out, wavelength="CuKa", two_theta_range=(5, 100), workers=1)
    assert summary.errors == 0
    # The dataset says what made it: the software, and its sources by content.
    provenance = json.loads(pq.read_schema(out / "_common_metadata").metadata[b"peakforge.provenance"])
    assert provenance["software"] == "peakforge" and provenance["version"] == peakforge_pattern.__version__
    assert provenance["inputs"] == [{"path": str(sources), "sha256": file_sha256(sources)}]
    return out


def synthetic_scan(names, fractions, seed, lo=15.0, hi=95.0, step=0.02, wavelength="CuKa"):
    """Counts of a mixture of bundled examples with a background, a zero shift and Poisson noise."""
    rng = np.random.default_rng(seed)
    x = np.arange(lo, hi, step)
    # Anomalous dispersion, as the fit has it by default.
    mixture = compute_mixture(
        [example_path(n) for n in names], fractions, wavelength, (lo - 5, hi + 5), scale="full", anomalous=True
    )
    instrument = SCAN_INSTRUMENT.replace(zero_shift=float(rng.uniform(-0.05, 0.05)), wavelength=wavelength)
    profile = mixture.profile(x, instrument)
    counts = 20000.0 * profile / profile.max() + 200.0 * np.exp(-(x - lo) / 40.0) + 80.0
    return MeasuredPattern.from_arrays(x, rng.poisson(counts).astype(float), name=f"synthetic-{seed}")


# ---- the library's columns


def test_library_columns_read_back_typed_and_selectively(library, tmp_path):
    table = read_library(
        library,
        [
            "id",
            "elements",
            "formula",
            "space_group_number",
            "space_group",
            "crystal_system",
            "density",
            "volume",
            "d",
            "two_theta",
            "absolute_intensity",
            "structure_intensity",
        ],
        pc.field("id").isin(["silicon.cif", "corundum.cif", "rocksalt.cif"]),
    )
    assert table.column_names[0] == "id" and table.num_rows == 3
    rows = {row["id"]: row for row in table.to_pylist()}
    silicon, corundum = rows["silicon.cif"], rows["corundum.cif"]
    assert silicon["elements"] == ["Si"] and corundum["elements"] == ["Al", "O"]
    assert (silicon["space_group_number"], silicon["crystal_system"]) == (227, "cubic")
    assert (corundum["space_group_number"], corundum["crystal_system"]) == (167, "trigonal")
    assert rows["rocksalt.cif"]["space_group_number"] == 225
    assert silicon["density"] == pytest.approx(2.329, abs=0.005)
    assert corundum["density"] == pytest.approx(3.99, abs=0.03)
    # |F|²·m times the Lorentz-polarisation factor is the absolute intensity, at every peak.
    theta = np.radians(np.array(silicon["two_theta"])) / 2
    lp = (1 + np.cos(2 * theta) ** 2) / (np.sin(theta) ** 2 * np.cos(theta))
    np.testing.assert_allclose(np.array(silicon["structure_intensity"]) * lp, silicon["absolute_intensity"], rtol=1e-12)

    # Integer columns stay integers in pandas, also with the null of an error row.
    pytest.importorskip("pandas")
    broken = tmp_path / "broken"
    broken.mkdir()
    shutil.copyfile(example_path("silicon"), broken / "silicon.cif")
    (broken / "bad.cif").write_text("data_bad\n_cell_length_a 4\n")
    run_batch([broken], tmp_path / "lib", workers=1)
    frame = read_library(tmp_path / "lib", ["id", "n_atoms", "space_group_number"], output="pandas")
    assert str(frame["n_atoms"].dtype) == "Int32" and str(frame["space_group_number"].dtype) == "Int16"
    assert frame.set_index("id")["n_atoms"].isna().to_dict() == {"bad.cif": True, "silicon.cif": False}
    import pandas

    plain = pandas.read_parquet(tmp_path / "lib", columns=["id", "n_atoms"])  # any reader of the folder
    assert str(plain["n_atoms"].dtype) == "Int32"

    with pytest.raises(InputError, match="no column nonsense"):
        read_library(library, ["id", "nonsense"])
    with pytest.raises(InputError, match="no batch output"):
        read_library(tmp_path)


@pytest.mark.parametrize(
    ("grid", "last"),
    [((10, 80, 0.05), 80.0), ((5, 30.01, 0.02), 30.0), ((0, 1, 1), 1.0)],  # the last point is a whole step
    ids=["to its end", "short of its end", "two points"],
)
def test_a_grid_library_keeps_its_axis_beside_the_profiles(tmp_path, grid, last):
    out = tmp_path / "lib"
    run_batch([example_path("silicon")], out, two_theta_range=(0, 90), grid=grid, workers=1)
    points = round((last - grid[0]) / grid[2]) + 1
    axis = open_library(out).grid_two_theta
    assert axis.shape == (points,) and axis[0] == grid[0] and axis[-1] == pytest.approx(last, abs=1e-9)
    # Any Parquet reader finds it in the column's metadata; pandas frames carry it too.
    table = read_library(out, ["profile"])
    stored = json.loads(table.schema.field("profile").metadata[b"peakforge.two_theta"])
    assert (stored["min"], stored["step"], stored["points"]) == (grid[0], grid[2], points)
    np.testing.assert_array_equal(stored["values"], axis)
    assert len(table.column("profile")[0]) == points
    frame = read_library(out, ["id", "profile"], output="pandas")
    np.testing.assert_array_equal(frame.attrs["grid_two_theta"], axis)
    assert "grid_two_theta" not in read_library(out, ["id"], output="pandas").attrs


def test_a_grid_profile_column_is_a_float32_matrix_bound_to_its_options(tmp_path, capsys):
    from peakforge_pattern import compute_pattern
    from peakforge_pattern.profiles import pattern_profile

    sources = tmp_path / "cifs"
    sources.mkdir()
    for name in ("silicon", "corundum"):
        shutil.copyfile(example_path(name), sources / f"{name}.cif")
    out = tmp_path / "lib"
    grid_run = ["batch", str(sources), "--out", str(out), "--no-progress", "--workers", "1", "--two-theta", "5", "90"]
    grid_run += ["--grid", "10", "80", "0.05", "--shape", "tch", "--caglioti", "0.004", "-0.002", "0.003"]
    grid_run += ["--lorentzian", "0.02", "0.01"]
    assert main(grid_run) == 0
    capsys.readouterr()
    table = read_library(out, ["id", "profile"])
    assert table.schema.field("profile").type == pa.list_(pa.float32(), 1401)
    matrix = table.column("profile").combine_chunks().flatten().to_numpy().reshape(table.num_rows, -1)
    silicon = matrix[table.column("id").to_pylist().index("silicon.cif")]
    instrument = Instrument(shape="tch", U=0.004, V=-0.002, W=0.003, X=0.02, Y=0.01)
    expected = pattern_profile(
        compute_pattern(example_path("silicon"), "CuKa", (5, 90)), np.linspace(10, 80, 1401), instrument
    )
    np.testing.assert_allclose(silicon, expected, rtol=1e-6, atol=1e-6 * expected.max())
    np.testing.assert_array_equal(open_library(out).grid_two_theta, np.linspace(10, 80, 1401))
    # Other widths are other profiles: the folder refuses to mix them.
    assert (
        main(
            [
                "batch",
                str(sources),
                "--out",
                str(out),
                "--no-progress",
                "--two-theta",
                "5",
                "90",
                "--grid",
                "10",
                "80",
                "0.05",
            ]
        )
        == 2
    )
    assert "other options" in capsys.readouterr().err
    assert main(["batch", str(sources), "--out", str(out), "--no-progress", "--grid", "10", "200", "0.05"]) == 2
    assert "within 0 to 180" in capsys.readouterr().err
    # The same grid and widths resume the folder.
    assert main(grid_run) == 0
    assert "2 done before" in capsys.readouterr().out

    # Neutron libraries divide out the Lorentz factor alone.
    run_batch(
        [sources], tmp_path / "neutron", wavelength=1.594, two_theta_range=(5, 120), radiation="neutron", workers=1
    )
    row = read_library(
        tmp_path / "neutron",
        ["two_theta", "absolute_intensity", "structure_intensity"],
        pc.field("id") == "silicon.cif",
    ).to_pylist()[0]
    theta = np.radians(np.array(row["two_theta"])) / 2
    np.testing.assert_allclose(
        np.array(row["structure_intensity"]) / (np.sin(theta) ** 2 * np.cos(theta)),
        row["absolute_intensity"],
        rtol=1e-12,
    )


def test_a_library_written_before_the_identification_columns_still_serves(library, tmp_path):
    old = tmp_path / "old"
    shutil.copytree(library, old)
    dropped = [
        "path",
        "elements",
        "space_group_number",
        "space_group",
        "crystal_system",
        "density",
        "structure_intensity",
    ]
    for part in [*old.glob("part-*.parquet"), old / "_common_metadata"]:
        if part.name == "_common_metadata":
            schema = pq.read_schema(part)
            keep = [schema.get_field_index(n) for n in schema.names if n not in dropped]
            pq.write_metadata(pa.schema([schema.field(i) for i in keep], metadata=schema.metadata), part)
        else:
            table = pq.read_table(part)
            pq.write_table(table.drop_columns(dropped), part)
    new_entries = {
        i: (n, p)
        for c in stream_entries(open_library(library), allowed=["Al", "O", "Si"])
        for i, n, p in zip(c.ids, c.names, np.split(c.peaks.weight, c.peaks.offsets[1:-1]))
    }
    old_entries = {
        i: (n, p)
        for c in stream_entries(open_library(old), allowed=["Al", "O", "Si"])
        for i, n, p in zip(c.ids, c.names, np.split(c.peaks.weight, c.peaks.offsets[1:-1]))
    }
    assert sorted(old_entries) == sorted(new_entries) and "corundum.cif" in old_entries
    for key, (name, weights) in new_entries.items():
        assert old_entries[key][0] == name
        np.testing.assert_allclose(old_entries[key][1], weights, rtol=1e-9)
    with pytest.raises(InputError, match="no column elements"):
        read_library(old, ["id", "elements"])


# ---- scoring


def _target(library, scan, lines=None):
    from peakforge_pattern.identification.scan_peaks import find_scan_peaks

    lines = lines or SCAN_INSTRUMENT.lines(1.0)
    peaks = find_scan_peaks(scan, lines)
    return ScanTarget.build(
        peaks.two_theta,
        peaks.intensity,
        tolerance=0.5 * peaks.typical_fwhm,
        lines=lines,
        fwhm=peaks.typical_fwhm,
        monochromator_angle=26.6,
        library_d_range=library_d_range(open_library(library)),
        scan_range=(scan.two_theta[0], scan.two_theta[-1]),
    )


def test_element_filter_and_chunks_change_nothing_but_what_they_should(library):
    scan = synthetic_scan(["corundum", "silicon"], [0.6, 0.4], seed=1)
    target = _target(library, scan)
    lib = open_library(library)
    whole = shortlist_library(lib, target, size=1000, rows=100_000)
    pieces = shortlist_library(lib, target, size=1000, rows=7)
    assert whole.ids == pieces.ids and whole.scored == pieces.scored == lib.dataset.count_rows()
    np.testing.assert_array_equal(whole.scores.score, pieces.scores.score)
    assert whole.ids[:2] == ["corundum.cif", "silicon.cif"] or whole.ids[:2] == ["silicon.cif", "corundum.cif"]
    # The copies of corundum are one phase: a short list still holds silicon.
    assert not [i for i in whole.ids if i.startswith("corundum_copy")]
    assert set(shortlist_library(lib, target, size=2).ids) == {"corundum.cif", "silicon.cif"}

    table = read_library(library, ["id", "elements"]).to_pylist()
    allowed, excluded = {"Al", "O", "Si", "Na", "Cl"}, {"Cl"}
    expected = {r["id"] for r in table if set(r["elements"]) <= allowed and not set(r["elements"]) & excluded}
    filtered = shortlist_library(lib, target, allowed=sorted(allowed), excluded=sorted(excluded), size=1000)
    assert filtered.scored == len(expected) and set(filtered.ids) <= expected
    assert "rocksalt.cif" not in filtered.ids and "corundum.cif" in filtered.ids

    with pytest.raises(InputError, match="'Qq' is not an element"):
        identify(scan, library, elements=["Al", "Qq"])

    # A cell strained by 1.5 % and a zero shift: the entry is found with that strain.
    import dataclasses

    from peakforge_pattern import read_cif

    silicon = read_cif(example_path("silicon"))
    strained = dataclasses.replace(silicon, lattice=silicon.lattice * 1.015)
    x = np.arange(15.0, 95.0, 0.02)
    profile = compute_mixture([strained], [1.0], "CuKa", (10, 100)).profile(x, SCAN_INSTRUMENT.replace(zero_shift=0.06))
    counts = np.random.default_rng(3).poisson(10000 * profile / profile.max() + 100).astype(float)
    found = shortlist_library(lib, _target(library, MeasuredPattern.from_arrays(x, counts)), size=5)
    assert found.ids[0] == "silicon.cif"
    assert found.scores.strain[0] == pytest.approx(0.015, abs=0.002)
    assert found.scores.zero_shift[0] == pytest.approx(0.06, abs=0.06)


def test_scan_peaks_sit_where_the_lines_put_them_and_noise_makes_none():
    from peakforge_pattern import compute_pattern
    from peakforge_pattern.identification.scan_peaks import find_scan_peaks, snip_background

    scan = synthetic_scan(["silicon"], [1.0], seed=11, lo=20.0, hi=120.0)
    lines = SCAN_INSTRUMENT.lines(1.0)
    peaks = find_scan_peaks(scan, lines)
    # The background follows the smooth part (and the peaks' far tails), not the peaks.
    x = scan.two_theta
    smooth = 200.0 * np.exp(-(x - x[0]) / 40.0) + 80.0
    assert np.median(np.abs(peaks.background / smooth - 1.0)) < 0.06
    assert np.max(peaks.background) < 2.0 * smooth.max()
    # Each reflection is one peak (the resolved Kα2 companions folded in), at the shifted Kα1 position or
    # between the lines where they are not resolved.
    pattern = compute_pattern(example_path("silicon"), lines[0][0], (20, 120))
    strong = pattern.two_theta[pattern.intensity > 5.0]
    nearest = np.abs(peaks.two_theta[:, None] - strong[None, :]).min(axis=0)
    assert np.all(nearest < 0.12), nearest
    assert len(peaks) <= strong.size + 2
    # Counting noise on a flat background is no peak.
    rng = np.random.default_rng(0)
    noise = MeasuredPattern.from_arrays(x, rng.poisson(np.full(x.size, 400.0)).astype(float))
    assert len(find_scan_peaks(noise, lines)) <= 2
    np.testing.assert_allclose(snip_background(np.full(50, 7.0), 10), 7.0, rtol=1e-12)


def test_weight_fractions_print_with_their_uncertainty_in_the_last_digits():
    assert percent_text(0.5722, 0.0031) == "57.22(31)"
    assert percent_text(0.12345, 0.0004) == "12.345(40)"
    assert percent_text(0.3, 0.012) == "30.0(12)"
    assert percent_text(0.3, None) == "30.00" and percent_text(0.3, 0.0) == "30.00"


# ---- the search


def test_synthetic_mixtures_of_two_and_three_members_are_recovered(library):
    members = ["corundum", "silicon", "rocksalt", "tungsten"]
    for seed in range(3):
        rng = np.random.default_rng(100 + seed)
        names = list(rng.choice(members, size=2 + seed % 2, replace=False))
        fractions = rng.dirichlet(np.full(len(names), 4.0)) * 0.7 + 0.3 / len(names)
        scan = synthetic_scan(names, fractions, seed)
        result = identify(scan, library, monochromator_angle=26.6, trials_per_round=2)
        # The library holds corundum twice (the bundled example and the measured phase's CIF): either is right.
        found = {SAME_PHASE.get(p.id, p.id): p.weight_fraction for p in result.phases}
        assert sorted(found) == sorted(f"{n}.cif" for n in names), (seed, result.summary())
        for name, fraction in zip(names, fractions):
            assert found[f"{name}.cif"] == pytest.approx(fraction, abs=0.015), (seed, result.summary())
        assert result.fit is not None and result.fit.rwp < 0.2
        assert not [p for p in result.unexplained_peaks if p.height > 0.05 * scan.intensity.max()]

    # The library was computed for Cu Ka; a Mo Ka scan is identified from the same rows.
    scan = synthetic_scan(["corundum", "rocksalt"], [0.7, 0.3], seed=9, lo=8.0, hi=45.0, wavelength="MoKa")
    result = identify(scan, library, wavelength="MoKa", monochromator_angle=26.6, trials_per_round=2)
    found = {SAME_PHASE.get(p.id, p.id): p.weight_fraction for p in result.phases}
    assert found == pytest.approx({"corundum.cif": 0.7, "rocksalt.cif": 0.3}, abs=0.015), result.summary()


@pytest.mark.skipif(not (MEASURED / "qarr_cpd-1e.prn").exists(), reason="the measured round-robin scans are absent")
def test_the_measured_mixture_1e_is_identified(library, tmp_path, capsys):
    scan = MEASURED / "qarr_cpd-1e.prn"
    # Without elements the three phases lead the first ranking; with them the search keeps exactly those.
    unfiltered = identify(
        scan, library, max_phases=1, top=10, monochromator_angle=26.6, trials_per_round=1, two_theta_range=(20, 100)
    )
    assert set(MEASURED_PHASES) <= {unfiltered.phases[0].id} | {c.id for c in unfiltered.candidates}

    argv = [
        "identify",
        str(scan),
        "--library",
        str(library),
        "--elements",
        "Al,Zn,Ca,O,F",
        "-f",
        "json",
        "--monochromator",
        "26.6",
        "--two-theta",
        "20",
        "100",
        "--no-progress",
        "--plot",
        str(tmp_path / "1e.png"),
        "--report",
        str(tmp_path / "1e.html"),
    ]
    assert main(argv) == 0
    result = json.loads(capsys.readouterr().out)
    provenance = result["provenance"]
    assert [i["path"] for i in provenance["inputs"]] == [str(scan), str(library)]
    assert provenance["inputs"][0]["sha256"] == hashlib.sha256(scan.read_bytes()).hexdigest()
    # The report tells each round's decision, and shows the weights as the text prints them.
    page = (tmp_path / "1e.html").read_text()
    assert "How each phase was chosen" in page and page.count("kept: the fit with it lowers") == 3
    assert all(percent_text(p["weight_fraction"], p["weight_fraction_esd"]) in page for p in result["phases"])
    found = {p["id"]: 100 * p["weight_fraction"] for p in result["phases"]}
    assert sorted(found) == sorted(MEASURED_PHASES)
    for name, weighed in MEASURED_PHASES.items():
        assert found[name] == pytest.approx(weighed, abs=1.5)
    assert {"id", "name", "weight_fraction", "weight_fraction_esd", "score"} <= set(result["phases"][0])
    assert all(0 < p["weight_fraction_esd"] < 0.01 for p in result["phases"])
    assert all({"id", "name", "score"} <= set(c) for c in result["candidates"])
    assert (tmp_path / "1e.png").stat().st_size > 10_000


def test_a_single_phase_is_found_alone_beside_a_structure_with_the_same_peaks(library):
    # The round robin's corundum scan; the library also holds the corundum type with Fe and S, whose
    # peaks coincide with corundum's: it could only re-weight corundum's intensities, and is not kept.
    result = identify(
        ROOT / "examples" / "measured" / "qarr_corundum.prn",
        library,
        monochromator_angle=26.6,
        two_theta_range=(20, 100),
        trials_per_round=2,
    )
    assert [SAME_PHASE.get(p.id, p.id) for p in result.phases] == ["corundum.cif"], result.summary()
    assert result.phases[0].weight_fraction == 1.0


def test_user_errors_are_one_line(library, tmp_path, capsys):
    neutron = tmp_path / "neutron"
    run_batch([example_path("silicon")], neutron, wavelength=1.594, radiation="neutron", workers=1)
    scan = tmp_path / "scan.xy"
    synthetic = synthetic_scan(["silicon"], [1.0], seed=0)
    np.savetxt(scan, np.column_stack([synthetic.two_theta, synthetic.intensity]))
    for argv, message in [
        ([str(scan), "--library", str(tmp_path / "none")], "no such library folder"),
        ([str(scan), "--library", str(library), "--elements", "Al,Xx"], "not an element"),
        ([str(tmp_path / "missing.xy"), "--library", str(library)], "cannot read"),
        ([str(scan), "--library", str(library), "--max-phases", "0"], "at least 1"),
        ([str(scan), "--library", str(library), "--elements", "He"], "no entry of the library was scored"),
        ([str(scan), "--library", str(neutron)], "computed for neutron radiation, and identify scores and fits X-ray"),
    ]:
        assert main(["identify", "--no-progress", *argv]) == 2
        err = capsys.readouterr().err.strip()
        assert len(err.splitlines()) == 1 and message in err, err
    # A scan with no peaks: nothing found, said plainly; no fit to draw is an error, not an empty picture.
    flat = tmp_path / "flat.xy"
    np.savetxt(flat, np.column_stack([synthetic.two_theta, np.full(synthetic.two_theta.size, 100.0)]))
    assert main(["identify", "--no-progress", str(flat), "--library", str(library), "-f", "json"]) == 0
    answer = json.loads(capsys.readouterr().out)
    assert answer["phases"] == [] and answer["unexplained_peaks"] == []
    assert (
        main(["identify", "--no-progress", str(flat), "--library", str(library), "--plot", str(tmp_path / "none.png")])
        == 2
    )
    assert "no phase was found" in capsys.readouterr().err and not (tmp_path / "none.png").exists()


# ---- on a Dask cluster: a real scheduler and two workers, as separate processes


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    pytest.importorskip("distributed", reason="peakforge[distributed] (Dask distributed) is not installed")
    from test_batch import child_env

    with dask_cluster(tmp_path_factory.mktemp("cluster"), child_env()) as running:
        yield running


def test_a_dask_cluster_gives_the_answer_of_one_process(library, cluster, tmp_path, capsys):
    _, scheduler_file = cluster
    scan = synthetic_scan(["corundum", "rocksalt"], [0.5, 0.5], seed=5)
    path = tmp_path / "scan.xy"
    np.savetxt(path, np.column_stack([scan.two_theta, scan.intensity]))
    answers = []
    for extra in ([], ["--scheduler-file", str(scheduler_file)]):
        assert (
            main(
                [
                    "identify",
                    str(path),
                    "--library",
                    str(library),
                    "--monochromator",
                    "26.6",
                    "-f",
                    "json",
                    "--no-progress",
                    "--max-phases",
                    "2",
                    *extra,
                ]
            )
            == 0
        )
        answer = json.loads(capsys.readouterr().out)
        for varying in ("scoring_seconds", "seconds", "provenance"):  # the time taken, the command line
            answer.pop(varying)
        answers.append(answer)
    assert answers[0] == answers[1]
    assert sorted(SAME_PHASE.get(p["id"], p["id"]) for p in answers[0]["phases"]) == ["corundum.cif", "rocksalt.cif"]


def test_two_identifications_at_once_on_one_cluster_each_get_their_own_answer(library, cluster):
    """Two drivers, two scans, one library and one cluster, at the same time: each gets its own answer."""
    from concurrent.futures import ThreadPoolExecutor

    from distributed import Client

    _, scheduler_file = cluster
    asked = [
        (synthetic_scan(["corundum", "rocksalt"], [0.5, 0.5], seed=5), ["corundum.cif", "rocksalt.cif"]),
        (synthetic_scan(["silicon"], [1.0], seed=6), ["silicon.cif"]),
    ]

    def run(scan):
        with Client(scheduler_file=str(scheduler_file), timeout="60s", set_as_default=False) as client:
            return identify(scan, library, monochromator_angle=26.6, max_phases=2, client=client)

    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(run, [scan for scan, _ in asked]))
    for result, (_, expected) in zip(results, asked):
        assert sorted(SAME_PHASE.get(p.id, p.id) for p in result.phases) == expected, result.summary()


def test_a_failed_trial_alternatives_k_beta_lines_and_the_final_fit_are_reported(tmp_path):
    """One candidate's trial fit fails (its CIF is gone): the search goes on without it and says so;
    a second entry of the found phase is listed beside it; the Cu Kβ peaks of the found phase are
    named; the JSON holds the final fit."""
    sources = tmp_path / "cifs"
    sources.mkdir()
    for name, copy in (
        ("silicon", "silicon"),
        ("silicon", "silicon_copy"),
        ("rocksalt", "rocksalt"),
        ("corundum", "corundum"),
    ):
        shutil.copyfile(example_path(name), sources / f"{copy}.cif")
    library = tmp_path / "lib"
    assert run_batch([sources], library, wavelength="CuKa", two_theta_range=(5, 100), workers=1).errors == 0
    (sources / "rocksalt.cif").unlink()
    scan = synthetic_scan(["silicon", "rocksalt"], [0.5, 0.5], seed=11)
    x = scan.two_theta
    k_beta = compute_mixture([example_path("silicon")], [1.0], 1.392218, (10, 100), scale="full").profile(
        x, SCAN_INSTRUMENT.replace(wavelength=1.392218)
    )
    silicon_alpha = compute_mixture([example_path("silicon")], [1.0], "CuKa", (10, 100), scale="full").profile(
        x, SCAN_INSTRUMENT
    )
    counts = scan.intensity + np.random.default_rng(3).poisson(0.2 * 10000.0 * k_beta / silicon_alpha.max())
    result = identify(MeasuredPattern.from_arrays(x, counts, name="with-k-beta"), library, monochromator_angle=26.6)

    assert [(p.id, p.alternatives) for p in result.phases] == [("silicon.cif", ["silicon_copy.cif"])], result.summary()
    assert any("rocksalt.cif" in w and "left out" in w for w in result.warnings), result.warnings
    named = {round(p.parent): p for p in result.unexplained_peaks if p.line == "Cu Kβ"}
    assert {28, 47, 56} <= set(named), result.summary()  # Si (111), (220), (311)
    assert named[28].two_theta == pytest.approx(25.6, abs=0.1)
    assert not any(p.line for p in result.unexplained_peaks if abs(p.two_theta - 31.7) < 0.2)  # rocksalt (200)
    document = json.loads(result.to_json())
    assert document["fit"]["parameters"] == pytest.approx(result.fit.parameters) and document["fit"]["phases"]
    assert "or, the same phase: silicon_copy.cif" in result.summary() and "Cu Kβ lines" in result.summary()
    # When not one trial fit works, the cause is the answer (not "no phase found").
    for name in ("silicon", "silicon_copy"):
        (sources / f"{name}.cif").unlink()
    with pytest.raises(InputError, match="the trial fit with silicon.* failed .* is not at"):
        identify(synthetic_scan(["silicon"], [1.0], seed=12), library, monochromator_angle=26.6)
