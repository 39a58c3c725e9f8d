"""The fit request: checked once, the same from the keyword form, the command
line and a file, and written and read back whole."""

import argparse
import dataclasses
import json
import tomllib

import pytest

from peakforge_pattern import InputError
from peakforge_pattern.cli import fit_command, identify_command
from peakforge_pattern.cli.fit_options import fit_request_from
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.documents import read_document, toml_text, write_document
from peakforge_pattern.fitting.request import FitRequest

EVERY_FIELD = FitRequest(
    wavelength=(1.5406, 1.5444),
    ka2_ratio=0.48,
    shape="pseudo-voigt",
    radius=173.0,
    monochromator_angle=26.6,
    instrument='standards/lab6 "new".json',
    two_theta_range=(20, 80.5),
    background_terms=4,
    correction="displacement",
    refine_cell=False,
    refine_b=True,
    fix=["cell", "corundum:b"],
    refine=["size"],
    orientations={"brucite": (0, 0, 1), "zincite": "1,0,-1"},
    particle_radius={None: 2.0, "zincite": 1.5},
    anomalous=False,
    refine_atoms=["corundum"],
    bonds=2.5,
    max_evaluations=50,
    staged=False,
    retries=1,
    start={"zero_shift": 0.01, "corundum cell a": 1.001},
)
WITHOUT_ATOMS = [FitRequest(le_bail=["zincite"]), FitRequest(pawley=True)]
"""The fields that exclude EVERY_FIELD's structure refinement."""


def test_a_request_holds_the_normal_form_and_reads_back_from_every_text():
    request = EVERY_FIELD
    assert request.orientations == (("brucite", (0, 0, 1)), ("zincite", (1, 0, -1)))
    assert request.particle_radius_map == {None: 2.0, "zincite": 1.5}
    assert request.two_theta_range == (20.0, 80.5) and request.fix == ("cell", "corundum:b")
    for each in [request, *WITHOUT_ATOMS]:
        assert FitRequest.from_dict(each.to_dict()) == each
        assert FitRequest.from_dict(json.loads(json.dumps(each.to_dict()))) == each
        assert FitRequest.from_dict(tomllib.loads(toml_text(each.to_dict()))) == each
    # Every field is given a value other than its default somewhere above, so that all of them round-trip:
    # a new field goes into EVERY_FIELD (or WITHOUT_ATOMS).
    untried = [
        f.name
        for f in dataclasses.fields(FitRequest)
        if all(getattr(r, f.name) == f.default for r in [request, *WITHOUT_ATOMS])
    ]
    assert not untried
    # None fields are left out of TOML and come back as their defaults.
    plain = FitRequest(radius=200)
    assert "wavelength" not in tomllib.loads(toml_text(plain.to_dict()))
    assert FitRequest.from_dict(tomllib.loads(toml_text(plain.to_dict()))) == plain


@pytest.mark.parametrize("suffix", [".toml", ".json"])
def test_request_files_round_trip_and_refuse_damage(tmp_path, suffix):
    path = tmp_path / f"request{suffix}"
    write_document(path, EVERY_FIELD.to_dict())
    assert FitRequest.from_dict(read_document(path, "fit request")) == EVERY_FIELD
    path.write_text("[1, 2" if suffix == ".json" else "a = [1, 2")
    with pytest.raises(InputError, match="not a fit request"):
        read_document(path, "fit request")
    with pytest.raises(InputError, match="cannot read"):
        read_document(tmp_path / "missing.toml", "fit request")


@pytest.mark.parametrize(
    "fields, problem",
    [
        ({"background_terms": 0}, "takes 1 to 30"),
        ({"background_terms": 2.5}, "whole number"),
        ({"shape": "gauss"}, "peak shape"),
        ({"correction": "height"}, "2theta correction must be one of"),
        ({"two_theta_range": (50, 10)}, "empty 2theta range"),
        ({"monochromator_angle": 200}, "monochromator angle"),
        ({"radius": -1}, "goniometer radius"),
        ({"ka2_ratio": float("nan")}, "finite"),
        ({"fix": ["cell"], "refine": ["cell"]}, "both fixed and refined"),
        ({"orientations": {"brucite": (0, 0, 0)}}, "three whole Miller indices"),
        ({"orientations": {"brucite": (0, 0.5, 1)}}, "three whole Miller indices"),
        ({"particle_radius": -1.0}, "at least 0"),
        ({"bonds": 2.0}, "add --refine-atoms"),
        ({"bonds": 0.0, "refine_atoms": True}, "bond cutoff"),
        ({"max_evaluations": 0}, "evaluations"),
        ({"start": {"zero_shift": "x"}}, "start of zero_shift"),
        ({"anomalous": "no"}, "true or false"),
    ],
)
def test_bad_fit_options_are_refused_before_any_file_is_read(fields, problem):
    with pytest.raises(InputError, match=problem) as refused:
        FitRequest(**fields)
    with pytest.raises(InputError) as from_keywords:
        fit_pattern("no such scan.xy", ["no such phase.cif"], **fields)
    assert str(from_keywords.value) == str(refused.value)


def test_unknown_fields_are_named():
    with pytest.raises(TypeError, match="unknown fit option"):
        fit_pattern("scan.xy", [], wavelenght="CuKa")
    with pytest.raises(InputError, match="newer peakforge"):
        FitRequest.from_dict({"stages": 3})


def _parsed(module, argv):
    parser = argparse.ArgumentParser()
    module.add_arguments(parser)
    return parser.parse_args(argv)


def test_the_command_lines_build_the_same_request_as_the_keywords():
    argv = [
        "scan.xy",
        "a.cif",
        "--monochromator",
        "26.6",
        "--radius",
        "173",
        "--fix",
        "cell",
        "--fix",
        "displacement",
        "--orientation",
        "brucite:001",
        "--particle-size",
        "2",
        "--particle-size",
        "zincite:1.5",
        "--no-anomalous",
        "--displacement",
        "--two-theta",
        "20",
        "80",
        "--refine-atoms",
        "--bonds",
    ]
    expected = FitRequest(
        monochromator_angle=26.6,
        radius=173,
        fix=("cell", "displacement"),
        orientations={"brucite": (0, 0, 1)},
        particle_radius={None: 2.0, "zincite": 1.5},
        anomalous=False,
        correction="displacement",
        two_theta_range=(20, 80),
        refine_atoms=True,
        bonds=3.0,
    )
    assert fit_request_from(_parsed(fit_command, argv)) == expected
    # Given options change a recipe's request; the rest stays the recipe's.
    recipe = FitRequest(background_terms=3, radius=240)
    assert fit_request_from(_parsed(fit_command, ["s.xy", "a.cif", "--radius", "173"]), recipe) == FitRequest(
        background_terms=3, radius=173
    )
    identify_args = _parsed(identify_command, ["scan.xy", "--library", "lib", "-w", "MoKa", "--displacement"])
    assert fit_request_from(identify_args) == FitRequest(wavelength="MoKa", correction="displacement")
