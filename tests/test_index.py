"""Indexing: synthetic peak lists from known cells of every crystal system
(noise, a zero shift, missing and extra lines) come back as the right
reduced cell, first; space groups rank by the reflection conditions the
intensities show; the command reads scans and peak lists."""

import json
from pathlib import Path

import gemmi
import numpy as np
import pytest

from peakforge_pattern.cli import main
from peakforge_pattern.errors import InputError
from peakforge_pattern.indexing import (
    evidence_from_intensities,
    index_lines,
    rank_space_groups,
    read_peak_list,
    select_lines,
)
from peakforge_pattern.indexing.indexer import same_reduced_cell
from peakforge_pattern.indexing.observed import two_theta_of
from peakforge_pattern.indexing.quadratic_forms import general_features, general_of_cell, miller_indices

MEASURED = Path(__file__).resolve().parents[1] / "examples" / "measured"
CU_KA1 = 1.5406


def reflections(cell, space_group, q_max):
    """The reflections a space group allows in a cell up to Q = 1/d², with their Q."""
    general = general_of_cell(cell)
    operations = gemmi.SpaceGroup(space_group).operations()
    hkl = miller_indices(general, q_max)
    hkl = np.array([h for h in hkl if not operations.is_systematically_absent([int(v) for v in h])])
    return hkl, general_features(hkl) @ general


def synthetic_lines(cell, space_group, *, lines=24, zero=0.04, noise=0.008, seed=1):
    """Distinct peak positions of a cell with noise, a zero shift, two lines missing and one stray line."""
    rng = np.random.default_rng(seed)
    _, q = reflections(cell, space_group, 1.3)
    two_theta = np.unique(np.round(two_theta_of(q, CU_KA1), 3))
    distinct = [two_theta[0]]
    for x in two_theta[1:]:
        if x - distinct[-1] > 0.08:
            distinct.append(x)
    positions = np.array(distinct[:lines])
    positions = np.delete(positions, rng.choice(np.arange(4, positions.size), 2, replace=False))
    positions = np.append(positions, rng.uniform(positions[3], positions[-1]))
    return positions + zero + rng.normal(0.0, noise, positions.size)


def reduced(cell, centring):
    vector = gemmi.GruberVector(gemmi.UnitCell(*cell), centring, False)
    vector.niggli_reduce()
    return tuple(vector.get_cell().parameters)


CELLS = [
    pytest.param("cubic", (8.083, 8.083, 8.083, 90, 90, 90), "F d -3 m", "cF", id="cF-spinel"),
    pytest.param("cubic", (6.1, 6.1, 6.1, 90, 90, 90), "I a -3", "cI", id="cI"),
    pytest.param("tetragonal", (4.0, 4.0, 9.5, 90, 90, 90), "I 41/a m d", "tI", id="tI-anatase"),
    pytest.param("tetragonal", (4.59, 4.59, 2.96, 90, 90, 90), "P 42/m n m", "tP", id="tP-rutile"),
    pytest.param("hexagonal", (3.25, 3.25, 5.207, 90, 90, 120), "P 63 m c", "hP", id="hP-zincite"),
    pytest.param("hexagonal", (4.7589, 4.7589, 12.991, 90, 90, 120), "R -3 c", "hR", id="hR-corundum"),
    pytest.param("orthorhombic", (6.959, 8.482, 5.397, 90, 90, 90), "P b n m", "oP", id="oP-anglesite"),
    pytest.param("orthorhombic", (5.0, 7.0, 9.0, 90, 90, 90), "C m c m", "oC", id="oC"),
    pytest.param("monoclinic", (7.1, 5.2, 9.3, 90, 104.5, 90), "P 1 21/c 1", "mP", id="mP"),
    pytest.param("monoclinic", (8.0, 5.6, 6.9, 90, 111.0, 90), "C 1 2/c 1", "mC", id="mC"),
    pytest.param("triclinic", (5.1, 6.3, 7.4, 81.2, 85.3, 76.9), "P -1", "aP", id="aP"),
]


@pytest.mark.parametrize("system, cell, space_group, lattice", CELLS)
def test_synthetic_lines_index_to_the_right_reduced_cell_first(system, cell, space_group, lattice):
    positions = synthetic_lines(cell, space_group)
    result = index_lines(select_lines(positions, None, CU_KA1, 0.03), systems=(system,), max_time=30.0)
    best = result.solutions[0]
    assert best.lattice == lattice
    centring = "R" if lattice == "hR" else lattice[1]
    assert same_reduced_cell(reduced(best.cell, centring), reduced(cell, centring), length=3e-3)
    assert abs(best.volume / gemmi.UnitCell(*cell).volume - 1.0) < 5e-3
    assert abs(best.zero_shift - 0.04) < 0.02
    assert best.indexed >= len(positions) - 1  # all but the stray line
    # Each refined length is within a few of its e.s.d.s of the truth (the e.s.d. covers the error).
    truth = sorted(cell[:3])
    assert all(abs(x - t) <= max(5.0 * e, 1e-4) for x, t, e in zip(sorted(best.cell[:3]), truth, best.cell_esd))


def test_lower_systems_searched_too_still_rank_the_true_cell_first():
    """The higher-symmetry description of a lattice beats its lower ones (orthohexagonal, monoclinic)."""
    positions = synthetic_lines((3.25, 3.25, 5.207, 90, 90, 120), "P 63 m c", lines=20)
    systems = ("hexagonal", "orthorhombic", "monoclinic")
    result = index_lines(select_lines(positions, None, CU_KA1, 0.03), systems=systems, max_time=60.0)
    assert result.solutions[0].lattice == "hP"
    assert result.solutions[0].cell[:3] == pytest.approx((3.25, 3.25, 5.207), rel=3e-3)
    assert result.solutions[0].m20 > 20.0
    assert [s.refined.score for s in result.solutions] == sorted(
        (s.refined.score for s in result.solutions), reverse=True
    )


def test_a_search_cut_short_says_so_and_the_same_input_gives_the_same_answer():
    lines = select_lines(synthetic_lines((7.1, 5.2, 9.3, 90, 104.5, 90), "P 1 21/c 1"), None, CU_KA1, 0.03)
    short = index_lines(lines, systems=("monoclinic",), max_time=0.05)
    assert short.cut_short == ("monoclinic",)
    once = index_lines(lines, systems=("tetragonal",), max_time=30.0).to_dict()
    again = index_lines(lines, systems=("tetragonal",), max_time=30.0).to_dict()
    once.pop("seconds"), again.pop("seconds")
    assert once == again


def _ranked_symbols(lattice, cell, space_group, q_max=0.6):
    """Space-group classes for intensities of a group: allowed reflections strong, forbidden ones zero."""
    hkl_all = miller_indices(general_of_cell(cell), q_max)
    operations = gemmi.SpaceGroup(space_group).operations()
    absent = np.array([operations.is_systematically_absent([int(v) for v in h]) for h in hkl_all])
    intensity = np.where(absent, 0.0, 100.0)
    evidence = evidence_from_intensities(list(hkl_all[:, None, :]), intensity, np.full(intensity.size, 5.0))
    return [[symbol for _, symbol in c.groups] for c in rank_space_groups(lattice, evidence)]


@pytest.mark.parametrize(
    "lattice, cell, space_group, expected",
    [
        ("oP", (5.397, 6.959, 8.482, 90, 90, 90), "P n m a", {"P n m a", "P n 21 a"}),
        ("oP", (6.959, 8.482, 5.397, 90, 90, 90), "P b n m", {"P b n m", "P b n 21"}),
        ("mP", (7.1, 5.2, 9.3, 90, 104.5, 90), "P 1 21/c 1", {"P 1 21/c 1"}),
        ("hR", (4.7589, 4.7589, 12.991, 90, 90, 120), "R -3 c:H", {"R 3 c", "R -3 c"}),
        ("cF", (5.4646, 5.4646, 5.4646, 90, 90, 90), "F m -3 m", {"F m -3 m", "F 2 3", "F 4 3 2"}),
    ],
)
def test_space_groups_rank_by_the_absences_the_intensities_show(lattice, cell, space_group, expected):
    classes = _ranked_symbols(lattice, cell, space_group)
    assert expected <= set(classes[0])
    # Groups of one class share their conditions: a group with other absences is in another class.
    assert not any(expected & set(other) for other in classes[1:])


def test_space_group_classes_prefer_no_violation_to_fewer_unseen_reflections():
    """A reflection seen that a group forbids outweighs reflections it allows that were not seen."""
    cell = (5.397, 6.959, 8.482, 90, 90, 90)
    hkl_all = miller_indices(general_of_cell(cell), 0.6)
    intensity = np.full(len(hkl_all), 100.0)  # every reflection seen: only groups without conditions fit
    evidence = evidence_from_intensities(list(hkl_all[:, None, :]), intensity, np.full(intensity.size, 5.0))
    best = rank_space_groups("oP", evidence)[0]
    assert best.violations == 0 and "P m m m" in [symbol for _, symbol in best.groups]


@pytest.mark.parametrize(
    "lattice", ["aP", "mP", "mC", "oP", "oC", "oI", "oF", "tP", "tI", "hP", "hR", "cP", "cI", "cF"]
)
def test_each_lattice_offers_its_own_groups_once_in_plain_symbols(lattice):
    from peakforge_pattern.indexing.space_groups import _groups_of

    groups = _groups_of(lattice)
    symbols = [symbol for _, symbol, _ in groups]
    assert len(symbols) == len(set(symbols)) and not any(")" in s for s in symbols)
    centring = "R" if lattice == "hR" else lattice[1]
    assert all(s.startswith(centring) for s in symbols)
    numbers = {number for number, _, _ in groups}
    holohedry = {"aP": 2, "mP": 10, "mC": 12, "oP": 47, "oC": 65, "oI": 71, "oF": 69, "tP": 123, "tI": 139}
    holohedry.update({"hP": 191, "hR": 166, "cP": 221, "cI": 229, "cF": 225})
    assert holohedry[lattice] in numbers


def test_peak_lists_are_read_and_bad_ones_are_one_line(tmp_path):
    listed = tmp_path / "peaks.txt"
    listed.write_text("# 2theta  intensity\n2theta I\n20.1, 100\n25.3 50\n\n30.0 10 # a note\n")
    two_theta, intensity = read_peak_list(listed)
    assert two_theta.tolist() == [20.1, 25.3, 30.0] and intensity.tolist() == [100.0, 50.0, 10.0]
    with pytest.raises(InputError, match="too few to index"):
        select_lines(two_theta, intensity, CU_KA1, 0.03)
    with pytest.raises(InputError, match="between 0 and 180"):
        select_lines(np.array([10.0, 20, 30, 40, 50, 190]), None, CU_KA1, 0.03)
    (tmp_path / "text.txt").write_text("2theta\n10.0\nten\n")
    with pytest.raises(InputError, match="not a number"):
        read_peak_list(tmp_path / "text.txt")
    with pytest.raises(InputError, match="cannot read"):
        read_peak_list(tmp_path / "missing.txt")


def test_index_command_on_a_peak_list_and_on_a_measured_scan(tmp_path, capsys):
    positions = synthetic_lines((4.59, 4.59, 2.96, 90, 90, 90), "P 42/m n m", lines=16)
    (tmp_path / "peaks.xy").write_text("".join(f"{x:.4f}\n" for x in positions))
    report = tmp_path / "index.html"
    argv = ["index", "--peaks", str(tmp_path / "peaks.xy"), "--systems", "tetragonal", "-f", "json"]
    assert main([*argv, "--report", str(report)]) == 0
    answer = json.loads(capsys.readouterr().out)
    best = answer["solutions"][0]
    # The JSON says what made it; the report ranks the same cells.
    assert answer["provenance"]["inputs"][0]["path"] == str(tmp_path / "peaks.xy")
    page = report.read_text().split("<body>")[1]
    assert "Solutions" in page and "tP" in page and "P 42/m n m" in page and "<script>" not in page
    assert best["lattice"] == "tP" and best["cell"][:3] == pytest.approx([4.59, 4.59, 2.96], rel=3e-3)
    assert set(best) >= {"cell", "lattice", "volume", "m20", "fn", "zero_shift", "indexed", "unindexed"}
    assert {"number": 136, "symbol": "P 42/m n m"}.items() <= next(
        g for g in best["space_groups"] if g["number"] == 136
    ).items()

    # The fluorite scan of the round robin: its peaks, Kα2 folded, index as F-centred cubic.
    scan = MEASURED / "qarr_fluorite.prn"
    arguments = ["index", str(scan), "--monochromator", "26.6", "--systems", "cubic", "--no-progress"]
    assert main(arguments) == 0
    table = capsys.readouterr().out.splitlines()
    first = table[table.index(next(line for line in table if line.lstrip().startswith("#"))) + 1].split()
    assert first[1] == "cF" and float(first[2]) == pytest.approx(5.4646, abs=3e-3)
    assert main([*arguments, "-f", "json"]) == 0
    groups = json.loads(capsys.readouterr().out)["solutions"][0]["space_groups"]
    assert "F m -3 m" in [g["symbol"] for g in groups]

    assert main(["index", "--peaks", str(tmp_path / "peaks.xy"), "--systems", "quartic"]) == 2
    assert "unknown crystal system" in capsys.readouterr().err
    assert main(["index"]) == 2
    assert "either a scan or --peaks" in capsys.readouterr().err


# Le Bail and Pawley: a synthetic scan of a known cell and known |F|², fitted from a cell 0.05 % off
# (an index solution's typical error).


def _synthetic_scan(phase, f_squared_of, cell_true, seed=3):
    from peakforge_pattern.fitting.decomposition import CellPhase, _Model
    from peakforge_pattern.measurements import MeasuredPattern
    from peakforge_pattern.profiles.instrument import Instrument

    x = np.arange(20.0, 80.0, 0.03)
    truth = CellPhase(phase.name, cell_true, phase.space_group)
    instrument = Instrument(wavelength="CuKa", shape="tch", W=0.004, Y=0.03, zero_shift=0.02)
    template = MeasuredPattern(x, np.ones_like(x), np.ones_like(x), name="synthetic")
    model = _Model(template, [truth], instrument, "zero_shift", 3)
    columns, _ = model.columns(model.start_vector())
    f2 = np.array([f_squared_of(h) for h in model.reflections[0].hkl])
    expected = columns[0] @ f2 * 40.0 + 200.0 + 30.0 * (x - 20.0) / 60.0
    counts = np.random.default_rng(seed).poisson(expected).astype(float)
    scan = MeasuredPattern(x, counts, np.sqrt(np.maximum(counts, 1.0)), name="synthetic")
    return scan, dict(zip(map(tuple, model.reflections[0].hkl), f2 * 40.0))


@pytest.mark.parametrize("method", ["pawley", "le-bail"])
def test_decomposition_recovers_a_synthetic_cell_and_intensities(method):
    from peakforge_pattern.fitting.decomposition import CellPhase, decompose
    from peakforge_pattern.fitting.request import FitRequest

    cell_true = (4.59, 4.59, 2.96, 90.0, 90.0, 90.0)
    start = CellPhase("rutile-like", (4.5923, 4.5923, 2.9615, 90, 90, 90), "P 42/m n m")
    scan, f_true = _synthetic_scan(start, lambda h: 1.0 + (h[0] * 7 + h[1] * 3 + h[2] * 5) % 11, cell_true)
    request = FitRequest(wavelength="CuKa", background_terms=3, correction="zero_shift")
    result = decompose(scan, [start], request, method)
    extracted = result.phases[0]
    assert extracted.cell[0] == pytest.approx(4.59, abs=max(4 * extracted.cell_esd[0], 2e-5))
    assert extracted.cell[2] == pytest.approx(2.96, abs=max(4 * extracted.cell_esd[2], 2e-5))
    assert extracted.cell_esd[3:] == (0.0, 0.0, 0.0)
    assert result.parameters["zero_shift"] == pytest.approx(0.02, abs=0.005)
    assert result.rwp < 1.3 * result.rexp
    # Reflections clear of others come back within a few e.s.d.s (and 3 %) of the truth.
    two_theta = extracted.two_theta
    for hkl, value, esd, t in zip(map(tuple, extracted.hkl), extracted.f_squared, extracted.f_squared_esd, two_theta):
        neighbours = np.sort(np.abs(two_theta - t))[1] if two_theta.size > 1 else np.inf
        if neighbours > 0.5:
            assert abs(value - f_true[hkl]) <= max(4.0 * esd, 0.03 * f_true[hkl]), hkl
    assert "no weight fraction" in result.summary()
    # The extracted |F|² show the group's absences: its class is among the first.
    assert extracted.lattice == "tP"
    assert "P 42/m n m" in [symbol for c in extracted.space_groups()[:3] for _, symbol in c.groups]
    table = result.reflection_table().splitlines()
    assert table[0].startswith("# phase h k l") and len(table) == 1 + len(extracted.hkl)
    assert "_refln_F_squared_meas" in result.reflection_cif()


def test_fit_command_decomposes_phases_given_by_cell_and_writes_reflections(tmp_path, capsys):
    scan = MEASURED / "qarr_fluorite.prn"
    hkl = tmp_path / "fluorite.hkl"
    base = ["fit", str(scan), "--two-theta", "25", "60", "--monochromator", "26.6", "--no-progress"]
    cell = ["--phase-cell", "5.46 5.46 5.46 90 90 90", "--space-group", "F m -3 m"]
    assert main([*base, *cell, "--pawley", "--hkl-out", str(hkl), "-f", "json"]) == 0
    answer = json.loads(capsys.readouterr().out)
    assert answer["method"] == "pawley" and answer["phases"][0]["weight_fraction"] is None
    assert answer["phases"][0]["cell"][0] == pytest.approx(5.463, abs=2e-3)
    rows = [line.split() for line in hkl.read_text().splitlines()[1:]]
    assert {sum(int(v) ** 2 for v in r[1:4]) for r in rows} >= {3, 8, 11}  # 111, 220, 311
    assert main([*base, *cell]) == 2
    assert "need --le-bail or --pawley" in capsys.readouterr().err
    assert main([*base, *cell, "--pawley", "--hkl-out", str(scan)]) == 2
    assert "would replace an input" in capsys.readouterr().err
    assert main([*base, "--phase-cell", "5.46 5.46", "--space-group", "F m -3 m", "--le-bail"]) == 2
    assert "six numbers" in capsys.readouterr().err
    fluorite = str(MEASURED / "fluorite_CaF2.cif")
    assert main(["fit", str(scan), fluorite, *base[2:], "--le-bail", "--pawley"]) == 2
    assert "not both" in capsys.readouterr().err


def test_identify_says_how_to_index_its_unexplained_peaks_and_indexes_them():
    from peakforge_pattern.identification.result import IdentificationResult, UnexplainedPeak
    from peakforge_pattern.identification.unexplained_indexing import index_unexplained, worth_indexing

    positions = synthetic_lines((8.083, 8.083, 8.083, 90, 90, 90), "F d -3 m", lines=14)
    peaks = [UnexplainedPeak(float(x), 1.0, 100.0, 1.0) for x in positions]
    kbeta = UnexplainedPeak(20.0, 4.4, 50.0, 1.0, "Cu Kb", 22.2)
    result = IdentificationResult("scan", "library", [], [], [*peaks, kbeta], None)
    assert worth_indexing(result) and "--index-unexplained" in result.summary()
    indexed = index_unexplained(result, CU_KA1, systems=("cubic",), max_time=20.0)
    assert indexed.solutions[0].lattice == "cF" and indexed.solutions[0].cell[0] == pytest.approx(8.083, rel=2e-3)
    few = IdentificationResult("scan", "library", [], [], peaks[:3], None)
    assert not worth_indexing(few) and "--index-unexplained" not in few.summary()
    with pytest.raises(InputError, match="too few to index"):
        index_unexplained(few, CU_KA1)


# The parts: quadratic forms, centring, lines, figures of merit, phases without atoms.

SYSTEM_CELLS = [
    ("cubic", (5.43, 5.43, 5.43, 90, 90, 90)),
    ("tetragonal", (4.59, 4.59, 2.96, 90, 90, 90)),
    ("hexagonal", (3.25, 3.25, 5.21, 90, 90, 120)),
    ("orthorhombic", (5.4, 6.9, 8.5, 90, 90, 90)),
    ("monoclinic", (7.1, 5.2, 9.3, 90, 104.5, 90)),
    ("triclinic", (5.1, 6.3, 7.4, 81.2, 85.3, 76.9)),
]


@pytest.mark.parametrize("system, cell", SYSTEM_CELLS)
def test_each_system_form_holds_its_cells_and_lists_every_reflection(system, cell):
    from peakforge_pattern.indexing.quadratic_forms import FORMS, cell_of, volume_of

    form = FORMS[system]
    general = general_of_cell(cell)
    parameters = form.parameters(general)
    assert parameters @ form.general == pytest.approx(general, abs=1e-12)  # the cell is one of the system's
    assert cell_of(general) == pytest.approx(cell, abs=1e-9)
    assert float(volume_of(general)) == pytest.approx(gemmi.UnitCell(*cell).volume, rel=1e-12)
    # Every hkl up to Q = 0.5 once (one of each Friedel pair), as gemmi's cell computes 1/d².
    listed = miller_indices(general, 0.5)
    unit = gemmi.UnitCell(*cell)
    brute = {
        (h, k, l)
        for h in range(-12, 13)
        for k in range(-12, 13)
        for l in range(-12, 13)
        if (h, k, l) > (0, 0, 0) and unit.calculate_1_d2([h, k, l]) <= 0.5
    }
    assert {tuple(map(int, v)) for v in listed} == brute
    q = form.features(listed) @ parameters
    assert q == pytest.approx([unit.calculate_1_d2(list(map(int, v))) for v in listed], rel=1e-9)
    assert np.all(np.diff(q) >= 0.0)


@pytest.mark.parametrize(
    "centring, group", [("I", "I m m m"), ("F", "F m m m"), ("C", "C m m m"), ("A", "A m m m"), ("R", "R -3 m:H")]
)
def test_centring_conditions_and_primitive_cells_agree_with_the_space_groups(centring, group):
    from peakforge_pattern.indexing.quadratic_forms import FORMS
    from peakforge_pattern.indexing.refinement import RefinedCell, allowed, primitive_cell

    hkl = np.array(
        [(h, k, l) for h in range(-3, 4) for k in range(-3, 4) for l in range(-3, 4) if (h, k, l) != (0, 0, 0)]
    )
    operations = gemmi.SpaceGroup(group).operations()
    expected = [not operations.is_systematically_absent(list(map(int, v))) for v in hkl]
    assert allowed(hkl, centring).tolist() == expected
    cell = (4.76, 4.76, 12.99, 90, 90, 120) if centring == "R" else (5.0, 6.0, 7.0, 90, 90, 90)
    system = "hexagonal" if centring == "R" else "orthorhombic"
    refined = RefinedCell(
        FORMS[system], "P", general_of_cell(cell), 0.0, hkl, np.ones(1, bool), hkl[:, 0] * 0.0,
        0.0, 0.0, 0, 0.0, 0, np.zeros((1, 1)),
    )  # fmt: skip
    primitive = gemmi.UnitCell(*primitive_cell(refined, centring))
    share = {"I": 2, "F": 4, "C": 2, "A": 2, "R": 3}[centring]
    assert primitive.volume == pytest.approx(gemmi.UnitCell(*cell).volume / share, rel=1e-9)


def test_lines_are_merged_chosen_and_their_slopes_right():
    from peakforge_pattern.indexing.observed import MOST_LINES, q_of, two_theta_of
    from peakforge_pattern.indexing.trials import LineTable

    positions = np.array([30.0, 20.0, 20.005, 40.0, 50.0, 60.0, 70.0])
    lines = select_lines(positions, None, CU_KA1, 0.03)
    assert lines.two_theta.tolist() == [20.0, 30.0, 40.0, 50.0, 60.0, 70.0]  # sorted, the near pair one line
    h = 1e-6
    slope = (q_of(lines.two_theta + h, CU_KA1) - q_of(lines.two_theta - h, CU_KA1)) / (2 * h)
    assert lines.dq() == pytest.approx(slope, rel=1e-6)
    assert two_theta_of(lines.q(), CU_KA1) == pytest.approx(lines.two_theta, abs=1e-10)
    many = np.linspace(10.0, 120.0, MOST_LINES + 10)
    strength = np.arange(many.size, dtype=float)
    kept = select_lines(many, strength, CU_KA1, 0.03)
    assert kept.two_theta.tolist() == many[-MOST_LINES:].tolist()  # the strongest
    # The screening table finds which lines a trial's Q values fall on.
    table = LineTable(lines.q(), 0.03 * lines.dq())
    q = lines.q()
    trials = np.array([[q[0], q[2], 0.5 * (q[3] + q[4])], [q[0] * 1.0005, q[1], q[5]], [0.0, -1.0, 99.0]])
    assert table.indexed(trials).tolist() == [2, 3, 0]


def test_figures_of_merit_follow_their_definitions_for_an_exact_cubic_list():
    from peakforge_pattern.indexing.quadratic_forms import FORMS
    from peakforge_pattern.indexing.refinement import refine

    a = 4.0
    sums = [1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13]
    two_theta = two_theta_of(np.array(sums) / a**2, CU_KA1)
    lines = select_lines(two_theta, None, CU_KA1, 0.02)
    refined = refine(general_of_cell((a, a, a, 90, 90, 90)), FORMS["cubic"], lines)
    assert refined.cell[0] == pytest.approx(a, abs=1e-9) and refined.zero_shift == pytest.approx(0.0, abs=1e-9)
    assert refined.indexed.all() and refined.possible == len(sums)  # N_poss: the distinct lines, 7 never occurs
    # Exact positions: M20 and F_N are capped rather than infinite.
    assert refined.m20 == 1e4 and refined.fn == 1e4


def test_cell_phases_from_files_and_their_faults(tmp_path):
    from peakforge_pattern.fitting.decomposition import CellPhase, Reflections, decompose_phases, load_cell_phase

    corundum = load_cell_phase(str(MEASURED / "corundum_Al2O3_bilbao.cif"))
    assert corundum.space_group == "R -3 c:H" and corundum.cell[:3] == pytest.approx((4.7602, 4.7602, 12.9933))
    assert corundum.system == "hexagonal"
    fluorite = CellPhase("CaF2", (5.4646, 5.4646, 5.4646, 90, 90, 90), "225")
    reflections = Reflections.of(fluorite, 1.2)
    # Multiplicities add up to every allowed reflection of both Friedel halves.
    unit = gemmi.UnitCell(*fluorite.cell)
    everything = [
        (h, k, l)
        for h in range(-5, 6)
        for k in range(-5, 6)
        for l in range(-5, 6)
        if (h, k, l) != (0, 0, 0) and len({h % 2, k % 2, l % 2}) == 1 and unit.calculate_d([h, k, l]) >= 1.2
    ]
    assert reflections.multiplicity.sum() == len(everything)
    with pytest.raises(InputError, match="unknown space group"):
        CellPhase("x", (5, 5, 5, 90, 90, 90), "Q 9 9")
    with pytest.raises(InputError, match="positive"):
        CellPhase("x", (5, -5, 5, 90, 90, 90), "P 1")
    solution = tmp_path / "cells.json"
    solution.write_text(json.dumps({"solutions": [{"cell": [5.0, 5.0, 5.0, 90, 90, 90], "lattice": "cI"}]}))
    assert CellPhase.from_index(solution).space_group == "I m -3 m"
    (tmp_path / "broken.json").write_text("{}")
    with pytest.raises(InputError, match="not the JSON of peakforge index"):
        load_cell_phase(str(tmp_path / "broken.json"))
    request = FitRequest_(pawley=("nothing",))
    with pytest.raises(InputError, match="not a phase of this fit"):
        decompose_phases(MEASURED / "qarr_fluorite.prn", [fluorite], request)
    with pytest.raises(InputError, match="--fix is not offered"):
        decompose_phases(MEASURED / "qarr_fluorite.prn", [fluorite], FitRequest_(pawley=True, fix=("U",)))
    two = [fluorite, CellPhase("other", (4.0, 4.0, 4.0, 90, 90, 90), "P m -3 m")]
    with pytest.raises(InputError, match="not offered yet"):
        decompose_phases(MEASURED / "qarr_fluorite.prn", two, FitRequest_(le_bail=("CaF2",)))


def FitRequest_(**fields):
    from peakforge_pattern.fitting.request import FitRequest

    return FitRequest(**fields)


def test_an_index_result_reads_as_json_and_as_a_table_even_when_empty():
    from peakforge_pattern.indexing import IndexResult

    lines = select_lines(np.linspace(20, 80, 8), None, CU_KA1, 0.03)
    empty = IndexResult(lines=lines, solutions=[], seconds=0.1, cut_short=("triclinic",), systems=("triclinic",))
    assert "no cell indexes these lines" in empty.summary() and "triclinic" in empty.summary()
    assert json.loads(empty.to_json())["solutions"] == []


@pytest.mark.parametrize(
    "lattice, cell, group",
    [
        ("oP", (5.397, 6.959, 8.482, 90, 90, 90), "P n m a"),
        ("mP", (7.1, 5.2, 9.3, 90, 104.5, 90), "P 1 21/c 1"),
        ("tI", (4.0, 4.0, 9.5, 90, 90, 90), "I 41/a m d"),
    ],
)
def test_space_groups_from_a_peak_list_put_the_true_group_in_the_first_class(lattice, cell, group):
    from peakforge_pattern.indexing import evidence_from_lines
    from peakforge_pattern.indexing.refinement import allowed

    general = general_of_cell(cell)
    hkl = miller_indices(general, 0.45)
    hkl = hkl[allowed(hkl, lattice[1])]
    two_theta = two_theta_of(general_features(hkl) @ general, CU_KA1)
    operations = gemmi.SpaceGroup(group).operations()
    present = np.array([not operations.is_systematically_absent(list(map(int, v))) for v in hkl])
    observed = np.unique(np.round(two_theta[present], 3))
    evidence = evidence_from_lines(hkl, two_theta, observed, 0.03)
    classes = rank_space_groups(lattice, evidence)
    assert classes[0].violations == 0
    assert group in [symbol for _, symbol in classes[0].groups]
