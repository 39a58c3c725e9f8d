"""The calculation request: checked once, the same from Python, every
subcommand and a batch's metadata, and written and read back whole."""

import json

import numpy as np
import pytest

from peakforge_pattern import InputError, PatternRequest, Structure, compute_pattern, example_path
from peakforge_pattern.cli import main
from peakforge_pattern.diffraction.request import EXACT_ROUTE_RULE


@pytest.mark.parametrize(
    "fields, problem",
    [
        ({"wavelength": 0}, "wavelength must be a positive"),
        ({"wavelength": "ZnKa"}, "unknown wavelength"),
        ({"two_theta_range": (60, 20)}, "empty 2theta range"),
        ({"two_theta_range": (0, 200)}, "within 0 to 180"),
        ({"two_theta_range": (10,)}, "must be two numbers"),
        ({"radiation": "muon"}, "radiation must be one of"),
        ({"wavelength": "200kV"}, "sets an electron wavelength"),
        ({"wavelength": "8keV", "radiation": "electron"}, "photon energy"),
        ({"radiation": "neutron", "anomalous": True}, "X-rays only"),
        ({"monochromator_angle": 180.0}, "monochromator angle"),
        ({"monochromator_angle": float("nan")}, "monochromator angle"),
        ({"exact": True, "radiation": "neutron"}, EXACT_ROUTE_RULE),
        ({"exact": True, "anomalous": True}, EXACT_ROUTE_RULE),
        ({"exact": True, "monochromator_angle": 26.6}, EXACT_ROUTE_RULE),
        ({"scale": "relative"}, "unknown intensity scale"),
        ({"max_work": 0}, "positive number of terms"),
        ({"num_threads": 70000}, "between 0 and 65535"),
        ({"num_threads": 1.5}, "whole number"),
        ({"parallel": "no"}, "True or False"),
    ],
)
def test_every_way_in_refuses_a_bad_request_with_the_same_message(fields, problem, capsys):
    with pytest.raises(InputError, match=problem) as refused:
        PatternRequest(**fields)
    message = str(refused.value)
    # The API says it before reading any structure, and says it the same way.
    with pytest.raises(InputError) as from_api:
        compute_pattern("no such file.cif", **fields)
    assert str(from_api.value) == message
    with pytest.raises(InputError) as from_mixture:
        from peakforge_pattern.profiles import compute_mixture

        compute_mixture([example_path("silicon")], [1.0], **fields)
    assert str(from_mixture.value) == message


@pytest.mark.parametrize(
    "argv",
    [
        ["--exact", "--radiation", "neutron"],
        ["--exact", "--anomalous"],
        ["--exact", "--monochromator", "26.6"],
        ["--threads", "-1"],
        ["--max-work", "-5"],
    ],
)
def test_pattern_and_batch_commands_refuse_alike(argv, capsys, tmp_path):
    pytest.importorskip("pyarrow")
    assert main(["pattern", *argv]) == 2
    pattern_err = capsys.readouterr().err
    batch_argv = [a for a in argv if a not in ("--threads", "-1")]
    if batch_argv:
        assert (
            main(["batch", str(example_path("silicon")), "--out", str(tmp_path / "out"), "--no-progress", *batch_argv])
            == 2
        )
        assert capsys.readouterr().err == pattern_err
    assert pattern_err.count("\n") == 1 and pattern_err.startswith("peakforge: error: ")
    assert not (tmp_path / "out").exists()


def test_request_round_trips_and_keeps_unknown_and_old_fields_apart():
    request = PatternRequest(
        wavelength="MoKa1",
        two_theta_range=[5, 60],
        radiation="neutron",
        monochromator_angle=26.6,
        hkil=True,
        scale="full",
        max_work=float("inf"),
        parallel=False,
        num_threads=3,
        use_simd=np.bool_(False),
    )
    assert request.wavelength == 0.7093 and request.two_theta_range == (5.0, 60.0)
    assert request.max_work is None and request.use_simd is False
    text = json.dumps(request.to_dict())
    assert PatternRequest.from_dict(json.loads(text)) == request
    assert request.replace(num_threads=0) != request
    assert request.replace(num_threads=0).result_fields() == request.result_fields()
    assert request.replace(hkil=False).result_fields() != request.result_fields()
    # A field of a newer version is refused, not dropped; a missing one takes its default.
    with pytest.raises(InputError, match="unknown calculation option"):
        PatternRequest.from_dict({**request.to_dict(), "energy_unit": "keV"})
    assert PatternRequest.from_dict({"wavelength": 1.5}) == PatternRequest(wavelength=1.5)
    with pytest.raises(TypeError, match="unknown calculation option"):
        compute_pattern(example_path("silicon"), wavelenght=1.5)
    # The command line spells every field, and gives back the request it describes.
    from peakforge_pattern.cli import _parser
    from peakforge_pattern.cli.calculation_options import request_from
    from peakforge_pattern.diffraction.request import request_options

    argv = [
        "pattern",
        "-w",
        "MoKa1",
        "--two-theta",
        "5",
        "60",
        "--radiation",
        "neutron",
        "--monochromator",
        "26.6",
        "--hkil",
        "--scale",
        "full",
        "--max-work",
        "inf",
        "--serial",
        "--threads",
        "3",
        "--no-simd",
    ]
    assert request_from(_parser().parse_args(argv)) == request
    assert request_from(_parser().parse_args(["pattern"])) == PatternRequest()
    help_text = _parser()._subparsers._group_actions[0].choices["pattern"].format_help()
    assert all(flag in help_text for _, _, option in request_options() for flag in option.flags)
    # A request and fields combine; the fields win.
    base = PatternRequest(radiation="neutron", two_theta_range=(10, 80))
    pattern = compute_pattern(example_path("silicon"), request=base, two_theta_range=(20, 60))
    assert pattern.radiation == "neutron" and pattern.two_theta_range == (20.0, 60.0)


def test_batch_keeps_the_request_and_reads_outputs_written_before_it(tmp_path, capsys):
    pq = pytest.importorskip("pyarrow.parquet")
    from peakforge_pattern.batch import read_patterns
    from peakforge_pattern.batch.options import RunOptions

    silicon = str(example_path("silicon"))
    out = tmp_path / "out"
    run = ["batch", silicon, "--out", str(out), "--no-progress", "--monochromator", "26.6", "--scale", "absolute"]
    run += ["-w", "MoKa"]
    assert main(run) == 0
    capsys.readouterr()
    stored = json.loads(pq.read_schema(out / "_common_metadata").metadata[b"peakforge.batch.options"])
    assert stored["monochromator_angle"] == 26.6 and stored["scale"] == "absolute" and stored["float32"] is False
    (pattern,) = read_patterns(out, [silicon])
    direct = compute_pattern(silicon, "MoKa", monochromator_angle=26.6, scale="absolute")
    np.testing.assert_array_equal(pattern.intensity, direct.intensity)
    assert pattern.monochromator_angle == 26.6 and pattern.scale == "absolute"
    # Resuming with another work limit computes the same patterns; with another monochromator it does not.
    assert main([*run, "--max-work", "1e12"]) == 0
    assert main(["batch", silicon, "--out", str(out), "--no-progress", "-w", "MoKa", "--scale", "absolute"]) == 2
    assert "monochromator 26.6" in capsys.readouterr().err

    old = RunOptions.from_json(
        json.dumps(
            {
                "wavelength": 1.5,
                "two_theta_range": [0, 90],
                "float32": True,
                "radiation": "neutron",
                "anomalous": False,
                "exact": False,
            }
        )
    )
    assert old == RunOptions(PatternRequest(wavelength=1.5, radiation="neutron", anomalous=False), True)


def test_the_monochromator_reaches_the_peak_table_and_a_species_error_keeps_its_words(capsys):
    assert main(["pattern", "--monochromator", "26.6", "-f", "json", "--scale", "absolute"]) == 0
    with_monochromator = json.loads(capsys.readouterr().out)["peaks"]
    plain = compute_pattern(example_path("silicon"), scale="absolute")
    ratio = [p["absolute_intensity"] for p in with_monochromator] / plain.absolute_intensity
    cos_m = np.cos(np.radians(26.6)) ** 2
    cos_t = np.cos(np.radians(plain.two_theta)) ** 2
    np.testing.assert_allclose(ratio, 2 * (1 + cos_m * cos_t) / (1 + cos_m) / (1 + cos_t), rtol=1e-12)

    polonium = Structure.from_arrays([3.36] * 3 + [90.0] * 3, ["Po"], [[0.0, 0.0, 0.0]])
    with pytest.raises(InputError) as refused:
        compute_pattern(polonium, radiation="neutron")
    assert str(refused.value) == "no neutron scattering length is tabulated for Po"
