"""Simulated patterns over a measured scan at their least-squares scales,
and plot functions that leave a caller's Axes as it was given."""

import re
import struct
from pathlib import Path

import numpy as np
import pytest

from peakforge_pattern import compute_pattern, example_path
from peakforge_pattern.cli import main
from peakforge_pattern.errors import InputError
from peakforge_pattern.fitting import overlay_phases, read_scan
from peakforge_pattern.fitting.overlay import least_squares_scales
from peakforge_pattern.plotting import plot_overlay, plot_pattern

MEASURED = Path(__file__).resolve().parent.parent / "examples" / "measured"
SCAN = MEASURED / "qarr_corundum.prn"
PHASES = [MEASURED / "corundum_Al2O3_bilbao.cif", MEASURED / "fluorite_CaF2.cif"]


def png_size(path):
    width, height = struct.unpack(">II", Path(path).read_bytes()[16:24])
    return width, height


def test_overlay_scales_are_the_least_squares_ones_and_are_drawn(tmp_path, capsys):
    from matplotlib.figure import Figure

    overlay = overlay_phases(SCAN, PHASES, fwhm=0.1)
    scan = read_scan(SCAN)
    unconstrained, *_ = np.linalg.lstsq(overlay.profiles.T, scan.intensity, rcond=None)
    if np.all(unconstrained >= 0):
        np.testing.assert_allclose(overlay.scales, unconstrained, rtol=1e-9)
    single = overlay_phases(SCAN, PHASES[:1], fwhm=0.1)
    p = single.profiles[0]
    assert single.scales[0] == pytest.approx(p @ scan.intensity / (p @ p), rel=1e-12)
    # A phase no scan could want gets 0, and the others are solved without it.
    np.testing.assert_allclose(
        least_squares_scales(np.array([[1.0, 0.0], [-1.0, 0.0]]), np.array([2.0, 0.0])), [2.0, 0.0]
    )

    ax = Figure().subplots()
    plot_overlay(overlay, ax, labels=3)
    drawn = {line.get_label(): line.get_ydata() for line in ax.lines}
    for pattern, scale, profile in zip(overlay.patterns, overlay.scales, overlay.profiles):
        np.testing.assert_allclose(drawn[f"{pattern.structure_name} × {scale:.4g}"], scale * profile)
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend[0] == "measured" and len(legend) == 3

    image = tmp_path / "overlay.png"
    assert (
        main(
            [
                "pattern",
                *map(str, PHASES),
                "--measured",
                str(SCAN),
                "--plot",
                str(image),
                "--dpi",
                "50",
                "--labels",
                "all",
                "--layout",
                "overlaid",
                "--title",
                "corundum",
            ]
        )
        == 0
    )
    out, err = capsys.readouterr()
    noted = dict(re.findall(r"(\w+) ([0-9.e+-]+)", err.split("profiles: ")[1]))
    assert float(noted["corundum_Al2O3_bilbao"]) == pytest.approx(single.scales[0], rel=1e-3)
    assert png_size(image) == (450, int(50 * (1.2 + 2.8)))  # 9 × 4 inches at 50 dpi
    assert "corundum_Al2O3_bilbao" in out and "fluorite_CaF2" in out  # the tables, over the scan's range
    for bad in (
        ["--measured", str(SCAN), "--mix", "1"],
        ["--dpi", "0", "--plot", str(image)],
        ["--measured", str(tmp_path / "none.xy")],
    ):
        assert main(["pattern", *bad]) == 2
    with pytest.raises(InputError):
        plot_overlay(overlay, tmp_path / "x.png", layout="sideways")


def test_a_scan_made_of_known_multiples_of_the_profiles_gives_those_scales_back():
    from peakforge_pattern.fitting import MeasuredPattern
    from peakforge_pattern.profiles import Instrument

    # A scan naming its own Kα1/Kα2 (as .xrdml files do): the patterns take its Kα1 and the profile the doublet.
    x = np.arange(20.0, 80.0, 0.02)
    instrument = Instrument.with_fwhm(0.12, wavelength=(1.5406, 1.5444), ka2_ratio=0.5)
    truth = overlay_phases(MeasuredPattern.from_arrays(x, np.ones_like(x)), PHASES, 1.5406, instrument=instrument)
    counts = 3.7 * truth.profiles[0] + 0.25 * truth.profiles[1]
    scan = MeasuredPattern(x, counts, np.sqrt(counts + 1), "synthetic", (1.5406, 1.5444, 0.5))
    overlay = overlay_phases(scan, PHASES, fwhm=0.12)
    assert [p.wavelength for p in overlay.patterns] == [1.5406, 1.5406]
    np.testing.assert_allclose(overlay.scales, [3.7, 0.25], rtol=1e-9)
    np.testing.assert_allclose(overlay.calculated, counts, rtol=1e-9, atol=1e-9)


def test_plot_functions_leave_the_callers_axes_as_given():
    from matplotlib.figure import Figure

    ax = Figure().subplots()
    scan = read_scan(SCAN)
    ax.plot(scan.two_theta, scan.intensity, label="measured")
    ax.set_xlim(20, 80)
    corundum = compute_pattern(PHASES[0], "CuKa", (20, 80))
    fluorite = compute_pattern(PHASES[1], "CuKa", (20, 80))
    for pattern in (corundum, fluorite, corundum):
        plot_pattern(pattern, ax, fwhm=0.1)
    assert ax.get_ylim()[1] > 0.9 * scan.intensity.max()  # the counts are not squeezed to 0-100
    assert ax.get_xlim() == (20.0, 80.0)
    assert ax.get_title() == "" and ax.get_title(loc="left") == ""
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["measured", "corundum_Al2O3_bilbao", "fluorite_CaF2"]

    fresh = Figure().subplots()
    plot_pattern(compute_pattern(example_path("silicon"), "CuKa", (20, 100)), fresh, labels="all")
    assert fresh.get_title().startswith("silicon")
    fresh.set_title("")
    assert all(fresh.get_title(loc=where) == "" for where in ("left", "center", "right"))
    labels = [t.get_text() for t in fresh.texts]
    assert "(5 1 1)/(3 3 3)" in labels and "(1 1 1)" in labels
    assert fresh.get_ylim()[1] == pytest.approx(130.0)

    on_q = Figure().subplots()
    plot_pattern(compute_pattern(example_path("silicon")), on_q, axis="q", title="silicon in Q")
    assert on_q.get_xlabel() == "Q (Å⁻¹)" and on_q.get_title() == "silicon in Q"
    peak = on_q.lines[0].get_xdata()[np.argmax(on_q.lines[0].get_ydata())]
    assert peak == pytest.approx(2 * np.pi / 3.1356, abs=2e-3)  # (1 1 1)
    for bad in ({"labels": -1}, {"labels": "many"}, {"axis": "energy"}):
        with pytest.raises(InputError):
            plot_pattern(compute_pattern(example_path("silicon")), Figure().subplots(), **bad)
