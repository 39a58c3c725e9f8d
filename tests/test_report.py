"""Reports and provenance: the report of a fit opened offline in a real
browser, every machine-readable output saying which software, version,
command and input files (by content) made it, phases named as people name
them, and each phase's Bragg R factor."""

import hashlib
import json
import re
import sys
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest
from conftest import chromium_or_skip, open_page_offline, print_page

import peakforge_pattern
from peakforge_pattern import read_cif
from peakforge_pattern.cli import main
from peakforge_pattern.fitting.bragg_agreement import bragg_r_factors
from peakforge_pattern.profiles import Instrument, compute_mixture
from peakforge_pattern.provenance import file_sha256
from peakforge_pattern.structures.cif_names import name_from_fields

MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"  # real scans, see SOURCES.md there
BRUCITE = Path(__file__).resolve().parent / "data" / "cif" / "mg_hydroxide_1967.cif"  # names its mineral


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def test_the_report_of_mixture_1e_opens_offline_and_shows_what_the_fit_printed(tmp_path, capsys):
    browser = chromium_or_skip()
    scan = MEASURED / "qarr_cpd-1e.prn"
    cifs = [str(MEASURED / n) for n in ("corundum_Al2O3_bilbao.cif", "zincite_ZnO.cif", "fluorite_CaF2.cif")]
    report = tmp_path / "1e.html"
    argv = ["fit", str(scan), *cifs, "--monochromator", "26.6", "--radius", "173", "--no-progress"]
    assert main([*argv, "--report", str(report), "--cif-out", str(tmp_path / "cifs")]) == 0
    printed = capsys.readouterr().out
    table = printed[printed.index("phase ") :].splitlines()[1:4]
    weights = [line.split()[1] for line in table]
    assert len(weights) == 3 and all(re.fullmatch(r"\d+\.\d+\(\d+\)", w) for w in weights)

    page = report.read_text(encoding="utf-8")
    # The plotting library's script is about 4.8 MB; each point costs some 150 bytes more.
    assert report.stat().st_size < 4.8e6 + 7251 * 150 + 0.5e6 < 15e6
    # Nothing to load: outside the embedded scripts no attribute or style points anywhere.
    markup = re.sub(r"<script>.*?</script>", "", page, flags=re.S)
    assert not re.search(r"(src|href)\s*=\s*['\"]?\s*(https?:)?//|url\(\s*['\"]?(https?:)?//", markup)

    seen = open_page_offline(browser, report, tmp_path)
    assert seen["resources"] == [] and seen["blocked"] == []
    # The plot is drawn: measured, calculated, background, difference and a tick row per phase.
    assert seen["svg"] >= 1 and seen["traces"] >= 7 and seen["points"] >= 7251
    text = seen["text"]
    for weight in weights:
        assert weight in text
    assert f"peakforge {peakforge_pattern.__version__}" in text
    assert "peakforge fit " + " ".join(argv[1:]) in text
    assert sha256(scan) in text and "zincite_ZnO" in text and "O Zn" in text and "P 63 m c" in text

    pdf = print_page(browser, report, tmp_path)
    assert pdf.startswith(b"%PDF") and b"/Image" in pdf  # printed, with the static picture

    written = (tmp_path / "cifs" / "zincite_ZnO.cif").read_text()
    assert written.startswith(f"# written by peakforge {peakforge_pattern.__version__}")
    assert f"# input: {scan} sha256 {sha256(scan)}" in written and "# command: peakforge fit " in written
    assert read_cif(tmp_path / "cifs" / "zincite_ZnO.cif").cell_parameters[0] == pytest.approx(3.2495, abs=0.001)


@pytest.fixture(scope="module")
def brucite_scan(tmp_path_factory):
    """A synthetic CuKα scan of brucite with Poisson noise."""
    x = np.arange(15.0, 80.0, 0.02)
    mixture = compute_mixture([BRUCITE], [1.0], "CuKa", (10.0, 85.0), scale="absolute", anomalous=True)
    signal = mixture.profile(x, Instrument(wavelength="CuKa", shape="tch", U=0.004, W=0.004, X=0.03, Y=0.02))
    counts = np.random.default_rng(3).poisson(10000.0 * signal / signal.max() + 200.0)
    path = tmp_path_factory.mktemp("brucite") / "brucite-scan.xy"
    np.savetxt(path, np.column_stack([x, counts]))
    return path


def test_a_fit_names_the_mineral_and_its_json_says_what_made_it(brucite_scan, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(brucite_scan.parent)
    cif = tmp_path / "mg_hydroxide_1967.cif"
    cif.write_bytes(BRUCITE.read_bytes())
    argv = ["fit", brucite_scan.name, str(cif), "-f", "json", "--no-progress", "--fix", "displacement"]
    assert main([*argv, "--save-instrument", str(tmp_path / "instrument.json")]) == 0
    document = json.loads(capsys.readouterr().out)
    saved = json.loads((tmp_path / "instrument.json").read_text())
    assert saved["provenance"]["inputs"] == document["provenance"]["inputs"]
    # ... and the file still serves as an instrument.
    assert main([*argv, "--instrument", str(tmp_path / "instrument.json")]) == 0
    capsys.readouterr()
    (phase,) = document["phases"]
    assert (phase["name"], phase["formula"], phase["space_group"]) == ("brucite", "H2 Mg O2", "P -3 m 1 (No. 164)")
    assert 0.0 <= phase["r_bragg"] < 0.05  # the right structure: its intensities match
    provenance = document["provenance"]
    assert provenance["software"] == "peakforge" and provenance["version"] == metadata.version("peakforge")
    assert provenance["command"] == "peakforge " + " ".join(argv) + f" --save-instrument {tmp_path / 'instrument.json'}"
    # Paths as given: the scan's relative name stays relative.
    assert provenance["inputs"] == [
        {"path": "brucite-scan.xy", "sha256": sha256(brucite_scan)},
        {"path": str(cif), "sha256": sha256(cif)},
    ]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", provenance["created"])


def test_a_report_never_replaces_an_input_and_a_bad_one_is_refused_before_the_fit(
    brucite_scan, tmp_path, capsys, monkeypatch
):
    scan = tmp_path / "scan.html"  # scans are recognised by content, whatever their name
    scan.write_bytes(brucite_scan.read_bytes())
    for target, problem in [
        (scan, "would replace an input"),
        (tmp_path, "a folder, not a file"),
        (tmp_path / "report.pdf", "name the report .html"),
    ]:
        assert main(["fit", str(scan), str(BRUCITE), "--report", str(target), "--no-progress"]) == 2
        assert problem in capsys.readouterr().err
    assert scan.read_bytes() == brucite_scan.read_bytes()
    monkeypatch.setitem(sys.modules, "plotly", None)  # as if not installed
    assert main(["fit", str(scan), str(BRUCITE), "--report", str(tmp_path / "fit.html"), "--no-progress"]) == 2
    assert "pip install 'peakforge[report]'" in capsys.readouterr().err and not (tmp_path / "fit.html").exists()


def test_pattern_json_and_version_say_which_software_made_them(capsys):
    assert main(["pattern", "--example", "silicon", "-f", "json", "--two-theta", "20", "60"]) == 0
    provenance = json.loads(capsys.readouterr().out)["provenance"]
    # A bundled example is named as the user named it, never by where the package lies.
    assert provenance["inputs"][0]["path"] == "example:silicon"
    assert provenance["command"] == "peakforge pattern --example silicon -f json --two-theta 20 60"
    with pytest.raises(SystemExit) as stopped:
        main(["--version"])
    assert stopped.value.code == 0
    assert (
        capsys.readouterr().out
        == f"peakforge {metadata.version('peakforge')}\n"
        == (f"peakforge {peakforge_pattern.__version__}\n")
    )


@pytest.mark.parametrize(
    "mineral, common, name",
    [
        ("Brucite", "Magnesium hydroxide", "brucite"),  # the mineral name first
        (None, "Corundum, alpha-Al2O3, hexagonal axes", "corundum"),  # a name, then a description
        (None, "Sodium chloride; rock salt", "sodium chloride"),
        ("?", "LiFePO4", "LiFePO4"),  # a formula keeps its capitals
        (None, "zincite_KD1985", ""),  # a code, not a name: the file's stem is used
        ("Quartz:low", None, "quartz low"),  # ":" would read as PHASE:KIND on the command line
        (None, "A" * 60, ""),
        (None, None, ""),
    ],
)
def test_names_from_the_cif_fields(mineral, common, name):
    assert name_from_fields(None if mineral == "?" else mineral, common) == name


def test_bragg_r_is_zero_for_intensities_that_match_and_grows_for_the_phase_that_misses():
    x = np.linspace(20.0, 60.0, 4001)

    def peaks(centres, heights):
        return sum(h * np.exp(-0.5 * ((x - c) / 0.05) ** 2) for c, h in zip(centres, heights))

    first, second = [25.0, 40.0, 41.0], [30.0, 40.1, 55.0]  # the two overlap near 40
    profiles = [peaks(first, [100, 50, 30]), peaks(second, [80, 60, 20])]
    background = np.full(x.size, 10.0)
    observed = background + profiles[0] + profiles[1]
    assert bragg_r_factors(x, observed, background, profiles, [first, second]) == pytest.approx([0.0, 0.0], abs=1e-12)
    # The scan shows the second phase's 55 degree peak twice as strong as calculated.
    wrong = observed + peaks([55.0], [20])
    r_first, r_second = bragg_r_factors(x, wrong, background, profiles, [first, second])
    assert r_first == pytest.approx(0.0, abs=1e-9)
    assert r_second == pytest.approx(20 / (80 + 60 + 40), rel=1e-3)
    assert np.isnan(bragg_r_factors(x, observed, background, [profiles[0], 0 * x], [first, []])[1])


def test_a_folder_is_hashed_by_its_files_wherever_it_lies(tmp_path):
    for place in ("here", "there"):
        (tmp_path / place / "sub").mkdir(parents=True)
        (tmp_path / place / "a.cif").write_text("data_a\n")
        (tmp_path / place / "sub" / "b.cif").write_text("data_b\n")
    assert file_sha256(tmp_path / "here") == file_sha256(tmp_path / "there")
    (tmp_path / "there" / "sub" / "b.cif").write_text("data_c\n")
    assert file_sha256(tmp_path / "here") != file_sha256(tmp_path / "there")


def test_a_report_embeds_the_plotting_script_once_and_escapes_what_it_shows(tmp_path):
    go = pytest.importorskip("plotly.graph_objects")
    from peakforge_pattern.provenance import Provenance
    from peakforge_pattern.reports import Report
    from peakforge_pattern.reports.document import table

    # The builder as a new command uses it: its own sections, two figures, its provenance.
    report = Report("Series <of> scans", "two plots")
    for k in range(2):
        report.add(f"Plot {k}", report.figure(go.Figure(go.Scatter(x=[1, 2], y=[3, 4])), static_png=b"\x89PNG"))
    report.add("Table", table(["name", "value"], [["<b>", "1.5(2)"]]))
    scan = tmp_path / "scan.xy"
    scan.write_text("1 2\n")
    page = tmp_path / "series.html"
    report.write(page, Provenance.of([scan, scan, "-"], ["series", str(scan)]), {"wavelength": "CuKa"})
    text = page.read_text()
    library = text.index("<script>")
    assert text.count("<script>", library + 1, text.index("</head>")) == 0  # once, in the head
    body = text.split("<body>")[1]
    assert body.count('class="plotly-graph-div"') == 2 and body.count("data:image/png;base64,") == 2
    assert "&lt;b&gt;" in body and "Series &lt;of&gt; scans" in body and "<b>" not in body
    assert text.count(sha256(scan)) == 1 and "peakforge series" in text and "wavelength" in text


@pytest.mark.parametrize(
    "species, occupancies, formula",
    [
        (["Al"] * 12 + ["O"] * 18, None, "Al2 O3"),
        (["C", "H", "H", "O", "N"], None, "C H2 N O"),  # Hill: C, H, then alphabetical
        (["Fe"] * 4 + ["O"] * 4, [0.94] * 4 + [1.0] * 4, "Fe3.76 O4"),  # not whole: the cell's content
    ],
)
def test_reduced_formulas_in_hill_order(species, occupancies, formula):
    from peakforge_pattern import Structure
    from peakforge_pattern.structures.display import reduced_formula

    coords = np.random.default_rng(0).random((len(species), 3))
    structure = Structure.from_arrays((10, 10, 10, 90, 90, 90), species, coords, occupancies)
    assert reduced_formula(structure) == formula
