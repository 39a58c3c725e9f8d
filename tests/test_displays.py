"""How structures, mixtures and fits show themselves: one-line reprs and
notebook views with their tables and pictures."""

from pathlib import Path

import pytest

from peakforge_pattern import example_path, read_cif
from peakforge_pattern.fitting import fit_pattern
from peakforge_pattern.fitting.fit_display import with_esd
from peakforge_pattern.profiles import compute_mixture

MEASURED = Path(__file__).resolve().parent.parent / "examples" / "measured"
PNG = b"\x89PNG\r\n\x1a\n"


def test_structures_and_mixtures_show_formula_group_sites_and_phases():
    corundum = read_cif(example_path("corundum"))
    assert repr(corundum) == (
        "Structure(corundum: Al12 O18, R -3 c:H (No. 167); a=4.7590 b=4.7590 c=12.9910 α=90.00 β=90.00 γ=120.00)"
    )
    page = corundum._repr_html_()
    assert "Al12 O18" in page and "R -3 c:H" in page and "V = 254.803 Å³" in page
    assert page.count("<tr><td>") == 2 and "<td>Al</td><td>12</td>" in page and "<td>O</td><td>18</td>" in page

    mixture = compute_mixture([example_path("corundum"), example_path("silicon")], [0.7, 0.3])
    assert repr(mixture) == "Mixture(corundum 70 wt %, silicon 30 wt %; wavelength 1.54184 A, 2theta 0 to 90)"
    assert "<td>corundum</td><td>70</td>" in mixture._repr_html_()
    assert mixture._repr_png_()[:8] == PNG


def test_a_fit_shows_its_indices_phases_with_uncertainties_and_its_plot():
    pytest.importorskip("scipy")
    result = fit_pattern(MEASURED / "qarr_corundum.prn", [MEASURED / "corundum_Al2O3_bilbao.cif"])
    text = repr(result)
    assert text.startswith("FitResult(qarr_corundum.prn: corundum_Al2O3_bilbao 100.00 wt %; Rwp ")
    assert "\n" not in text and len(text) < 200  # no arrays
    page = result._repr_html_()
    assert "R<sub>wp</sub>" in page and "corundum_Al2O3_bilbao" in page
    name, value = next(iter(result.parameters.items()))
    assert f"<td>{name}</td><td>{with_esd(value, result.uncertainties.get(name))}</td>" in page
    assert result._repr_png_()[:8] == PNG
    assert [
        with_esd(4.156893, 3e-5),
        with_esd(55.1234, 0.31),
        with_esd(0.0955491, 0.0011),
        with_esd(5512.0, 31.0),
        with_esd(2.5, None),
        with_esd(2.5, 0.0),
    ] == ["4.15689(3)", "55.1(3)", "0.0955(11)", "5512(31)", "2.5", "2.5"]


@pytest.mark.parametrize("kind", ["mixture", "fit"])
def test_the_picture_is_inside_the_notebook_html_view(kind):
    """A notebook (and its HTML export) shows the HTML view, so the picture must be in it."""
    import base64
    import re

    if kind == "fit":
        pytest.importorskip("scipy")
        shown = fit_pattern(MEASURED / "qarr_corundum.prn", [MEASURED / "corundum_Al2O3_bilbao.cif"])
    else:
        shown = compute_mixture([example_path("corundum"), example_path("silicon")], [0.7, 0.3])
    bundle = shown._repr_mimebundle_()
    assert bundle["text/plain"] == repr(shown) and bundle["image/png"][:8] == PNG
    images = re.findall(r'<img src="data:image/png;base64,([^"]+)"', bundle["text/html"])
    assert [base64.b64decode(i) for i in images] == [bundle["image/png"]]
    assert "<table>" in bundle["text/html"] and shown._repr_html_().count("<img ") == 1
