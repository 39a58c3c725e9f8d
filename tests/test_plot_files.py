"""Plots: whole files or none, readable labels, notebook display."""

import os
import resource
import signal
import subprocess
import sys

import pytest
from conftest import PACKAGE_PARENT

from peakforge_pattern import compute_pattern, example_path
from peakforge_pattern.plotting import pattern_html, pattern_png, plot_pattern


def run_command(*argv, limit):
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(PACKAGE_PARENT), os.environ.get("PYTHONPATH")]))
    )
    return subprocess.run(
        [sys.executable, "-m", "peakforge_pattern", *argv],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
        preexec_fn=limit,
    )


def test_failed_plot_write_leaves_no_partial_file_and_keeps_the_old_image(tmp_path):
    image = tmp_path / "p.png"
    image.write_bytes(b"the image from yesterday")

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # as a shell would leave it

    done = run_command("pattern", "--plot", str(image), limit=limit_file_size)
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith(f"peakforge: {image}: cannot write the plot: File too large")
    assert done.stderr.count("\n") == 1 and "(1 1 1)" in done.stdout
    assert image.read_bytes() == b"the image from yesterday"
    assert [p.name for p in tmp_path.iterdir()] == ["p.png"]


@pytest.mark.exhausts_memory
def test_a_tiny_width_plots_in_bounded_memory(tmp_path):
    def limit_memory():
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))

    done = run_command(
        "pattern", "--example", "corundum", "--plot", str(tmp_path / "p.png"), "--fwhm", "1e-6", limit=limit_memory
    )
    assert done.returncode == 0 and done.stderr == "" and (tmp_path / "p.png").stat().st_size > 10_000


def test_labels_never_overlap_and_the_profile_tops_at_the_strongest_stick():
    from matplotlib.figure import Figure

    pattern = compute_pattern(example_path("corundum"), "CuKa", (20.0, 150.0))  # crowded at high angle
    ax = Figure(figsize=(6.0, 3.0), layout="constrained").subplots()
    plot_pattern(pattern, ax, labels=30, fwhm=0.2)
    boxes = [text.get_window_extent() for text in ax.texts]
    assert 3 < len(boxes) < 30
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1 :])
    profile = ax.lines[0].get_ydata()
    assert profile.max() == pytest.approx(100.0)


def test_a_pattern_shows_itself_in_a_notebook():
    pattern = compute_pattern(example_path("silicon"))
    assert pattern_png(pattern)[:8] == b"\x89PNG\r\n\x1a\n"
    page = pattern_html(pattern)
    assert '<img src="data:image/png;base64,' in page and "(1 1 1)" in page and "scale max" in page
    # The pattern's own view needs nothing that draws: the strongest peaks as a table.
    table = pattern._repr_html_()
    assert "<img" not in table and "(1 1 1)" in table and "scale max" in table
