"""Helpers shared by the test files (imported with `from conftest import ...`)."""

import contextlib
import functools
import os
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import gemmi
import numpy as np
import pytest

import peakforge_pattern

# The directory the package under test was imported from (the installed copy,
# a build directory on PYTHONPATH, or the sources of an editable install).
# Child processes put it first on their path so that they test the same copy;
# no symlink is resolved, since a build directory links to the sources.
PACKAGE_PARENT = Path(os.path.abspath(peakforge_pattern.__file__)).parent.parent

# Internal failures print a diagnostic to standard error; keep it to the short
# form, whatever the machine's environment says (the choice is read once per
# process, at the first failure). Tests of the diagnostic itself run children.
os.environ["RUST_BACKTRACE"] = "0"

# The module's functions in the order of its table and __all__, each with its
# parameters in declaration order.
PARAMETERS = {
    "get_unique_families_rust": ("hkls",),
    "generate_hkl_points": ("recip_matrix", "max_r", "min_r"),
    "calculate_xrd_intensities": (
        "hkls",
        "g_hkls",
        "wavelength",
        "frac_coords_x",
        "frac_coords_y",
        "frac_coords_z",
        "atomic_numbers",
        "scattering_coeffs",
        "occupancies",
        "dw_factors",
        "parallel",
        "num_threads",
        "use_simd",
    ),
    "merge_peaks": ("two_thetas", "intensities", "hkls", "d_hkls", "tolerance"),
    "normalize_intensities": ("intensities", "max_value"),
}


def index_message(length, index):
    """The message of an internal failure at an index past the end of a vector."""
    return f"index out of bounds: the len is {length} but the index is {index}"


@functools.cache
def panic_type():
    """The module's PanicException type (not a module attribute), provoked
    with a g_hkls too short."""
    import peakforge

    try:
        peakforge.calculate_xrd_intensities([[1.0, 0.0, 0.0]], [], 1.0, [], [], [], [], [], [], [], False, 0, False)
    except BaseException as e:  # noqa: B036 - that is the point
        return type(e)
    raise AssertionError("a too short g_hkls did not fail")


def panic_of(function, *args, **kwargs):
    """The PanicException that function(*args, **kwargs) raises."""
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert not isinstance(info.value, Exception)
    return info.value


def bits(value, any_nan=False):
    """A result's floats as their exact bit patterns, in the same lists, tuples
    and dicts. With any_nan, every NaN is the same (where the sign of a
    computed NaN is the processor's choice)."""
    if isinstance(value, float):
        return b"nan" if any_nan and value != value else struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return type(value)(bits(v, any_nan) for v in value)
    if isinstance(value, dict):
        return {k: bits(v, any_nan) for k, v in value.items()}
    return value


def pytest_report_header(config):
    # Which build is under test: the installed one, or a build dir on PYTHONPATH.
    try:
        import peakforge
    except ImportError as e:
        return f"peakforge: not importable ({e})"
    return f"peakforge: {peakforge.__file__}"


def symmetric_structure(hm, cell, sites, b=0.5):
    """Atoms generated from `sites` by the space group, with its operations."""
    from peakforge_pattern import Structure
    from peakforge_pattern.structures.lattice import lattice_from_parameters
    from peakforge_pattern.structures.symmetry import expand_sites

    ops = tuple(gemmi.find_spacegroup_by_name(hm).operations())
    frac = np.array([xyz for _, xyz in sites], dtype=float)
    positions, site_of = expand_sites(frac, ops, lattice_from_parameters(*cell), 0.1)
    return Structure.from_arrays(
        cell,
        [sites[i][0] for i in site_of],
        positions,
        b_factors=[b] * len(site_of),
        symmetry_operations=[op.triplet() for op in ops],
        name=hm,
    )


def random_cell(sg, rng):
    a, b, c = rng.uniform(4.0, 9.0, 3)
    system = sg.crystal_system_str()
    if system == "cubic":
        return [a, a, a, 90, 90, 90]
    if system == "tetragonal":
        return [a, a, c, 90, 90, 90]
    if sg.ext == "R":  # a rhombohedral group in rhombohedral axes
        return [a, a, a, *[rng.uniform(60, 100)] * 3]
    if system in ("hexagonal", "trigonal"):
        return [a, a, c, 90, 90, 120]
    if system == "monoclinic":
        return [a, b, c, 90, rng.uniform(95, 115), 90]
    if system == "triclinic":
        return [a, b, c, *rng.uniform(80, 100, 3)]
    return [a, b, c, 90, 90, 90]


# Two sites of P2₁2₁2₁, one with anisotropic U: what several suites read.
ANISO_CIF = """data_aniso
_cell_length_a 5.0
_cell_length_b 6.0
_cell_length_c 7.0
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_symmetry_space_group_name_H-M 'P 21 21 21'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
Fe1 Fe 0.1 0.2 0.3 0.02
O1 O 0.3 0.45 0.1 0.015
loop_
_atom_site_aniso_label
_atom_site_aniso_U_11
_atom_site_aniso_U_22
_atom_site_aniso_U_33
_atom_site_aniso_U_12
_atom_site_aniso_U_13
_atom_site_aniso_U_23
Fe1 0.01 0.02 0.03 0.004 0.006 -0.008
"""


@contextlib.contextmanager
def dask_cluster(folder, env):
    """A real Dask scheduler and two one-thread workers on 127.0.0.1, as
    separate processes with ``env``; yields (client, scheduler_file).

    Each process is in its own group, so that a worker's nanny and its child
    end together; workers are stopped first, while the scheduler can still
    see them off.
    """
    from distributed import Client

    scheduler_file = folder / "scheduler.json"
    common = ["--no-dashboard", "--scheduler-file", str(scheduler_file)]
    dask = [sys.executable, "-m", "dask"]

    def start(*arguments):
        return subprocess.Popen(
            [*dask, *arguments, *common], env=env, stderr=subprocess.DEVNULL, start_new_session=True
        )

    processes = [start("scheduler", "--host", "127.0.0.1", "--port", "0")]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        for _ in range(2):
            processes.append(start("worker", "--nthreads", "1", "--host", "127.0.0.1", "--death-timeout", "20"))
        with Client(scheduler_file=str(scheduler_file), timeout="60s") as client:
            client.wait_for_workers(2, timeout=60)
            yield client, scheduler_file
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


# ---- a real browser for generated pages

# Injected into a copy of a page: after it has loaded, what it fetched, what
# its security policy blocked, and what it drew, as JSON in a <pre>.
_PAGE_PROBE = """<script>
window.__blocked = [];
document.addEventListener("securitypolicyviolation", e => window.__blocked.push(e.blockedURI));
window.addEventListener("load", () => setTimeout(() => {
  const probe = document.createElement("pre");
  probe.id = "browser-probe";
  probe.textContent = JSON.stringify({
    resources: performance.getEntriesByType("resource").map(e => e.name),
    blocked: window.__blocked,
    svg: document.querySelectorAll("svg.main-svg").length,
    traces: document.querySelectorAll("g.trace.scatter").length,
    points: document.querySelectorAll("g.trace.scatter path.point").length,
    text: document.body.innerText,
  });
  document.body.appendChild(probe);
}, 1000));
</script>"""


def chromium_or_skip():
    """Debian's headless Chromium, or a skip saying why (a failure under CI, which installs it)."""
    import shutil

    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    if os.environ.get("CI") == "true":
        pytest.fail("no chromium on this CI machine: scripts/test installs it (apt-get install chromium)")
    pytest.skip("no chromium installed (apt-get install chromium): the page is not opened in a browser")


def _chromium(browser, folder, *arguments, timeout=120):
    # No network at all: every host name resolves to nothing.
    command = [
        browser,
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-extensions",
        "--host-resolver-rules=MAP * ~NOTFOUND",
        f"--user-data-dir={folder / 'profile'}",
        *arguments,
    ]
    # The browser is not under test: the sanitizer gates preload their runtime into every child, and the
    # browser, built without it, hangs with it loaded.
    env = {
        k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")
    }
    return subprocess.run(command, capture_output=True, timeout=timeout, check=False, env=env)


def open_page_offline(browser, page, folder):
    """Open ``page`` (an HTML file) in headless Chromium with the network
    blocked; return what the page's probe saw: the resources it fetched, the
    requests its policy blocked, the plot's SVG and trace counts, and the
    page's visible text."""
    import html
    import json
    import re

    probed = folder / f"probed-{page.name}"
    text = page.read_text(encoding="utf-8")
    probed.write_text(text.replace("<head>", "<head>" + _PAGE_PROBE, 1), encoding="utf-8")
    done = _chromium(browser, folder, "--virtual-time-budget=15000", "--dump-dom", probed.as_uri())
    dom = done.stdout.decode("utf-8", "replace")
    found = re.search(r'<pre id="browser-probe">(.*?)</pre>', dom, re.S)
    assert found, f"the page's probe never ran (status {done.returncode}): {done.stderr.decode()[-2000:]}"
    return json.loads(html.unescape(found.group(1)))


def print_page(browser, page, folder):
    """The page printed to PDF by headless Chromium (its print stylesheet), as bytes."""
    pdf = folder / f"{page.stem}.pdf"
    _chromium(
        browser, folder, "--virtual-time-budget=15000", "--no-pdf-header-footer", f"--print-to-pdf={pdf}", page.as_uri()
    )
    return pdf.read_bytes() if pdf.exists() else b""
