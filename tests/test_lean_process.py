"""The command's process: BLAS on one thread unless the user chose a count,
no idle threads, and an early end that loses no output."""

import json
import os
import subprocess
import sys

import pytest

from peakforge_pattern import example_path
from peakforge_pattern.cli import main

# The steps of peakforge_pattern.__main__.command up to its end, in a fresh
# interpreter, then what the process holds.
_COMMAND_THEN_REPORT = """
import json, os, sys
from peakforge_pattern.__main__ import one_blas_thread
one_blas_thread()
from peakforge_pattern.cli import main
status = main(sys.argv[1:])
import threadpoolctl
blas = [p["num_threads"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas"]
print(json.dumps({"status": status, "blas": blas, "tasks": len(os.listdir("/proc/self/task"))}), file=sys.stderr)
"""


def fresh_command(arguments, **environment):
    env = {
        k: v for k, v in os.environ.items() if k not in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
    }
    env.update(environment)
    done = subprocess.run(
        [sys.executable, "-c", _COMMAND_THEN_REPORT, *arguments], env=env, capture_output=True, text=True, check=True
    )
    return json.loads(done.stderr.splitlines()[-1])


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_a_command_starts_blas_on_one_thread_unless_the_user_chose_a_count():
    silicon = str(example_path("silicon"))
    alone = fresh_command(["pattern", silicon])
    assert alone["status"] == 0
    assert alone["blas"] and set(alone["blas"]) == {1}
    assert alone["tasks"] == 1  # no pool waiting, no other thread left running
    chosen = fresh_command(["pattern", silicon], OPENBLAS_NUM_THREADS="2")
    assert set(chosen["blas"]) == {2}


def test_importing_the_package_loads_no_numpy():
    # The command sets BLAS's thread count before NumPy loads, after the package's import.
    code = "import sys, peakforge_pattern, peakforge_pattern.__main__\nprint('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"


@pytest.mark.parametrize("arguments", [["-f", "csv"], ["-f", "json"], ["--wavelength", "nonsense"]])
def test_the_command_ends_early_with_all_its_output_and_its_status(arguments, capsys):
    corundum = str(example_path("corundum"))
    expected_status = main(["pattern", corundum, *arguments])
    expected = capsys.readouterr()
    done = subprocess.run(
        [sys.executable, "-m", "peakforge_pattern", "pattern", corundum, *arguments], capture_output=True, text=True
    )
    out, expected_out = done.stdout, expected.out
    if "json" in arguments:  # its provenance names the time and the command line
        out, expected_out = (json.loads(text) for text in (out, expected_out))
        out.pop("provenance", None), expected_out.pop("provenance", None)
    assert (done.returncode, out, done.stderr) == (expected_status, expected_out, expected.err)


def test_a_pattern_command_imports_no_scan_reader_and_no_package_metadata():
    # Each costs the command a tenth of its start-up; only an overlaid scan or provenance asks for them.
    silicon = str(example_path("silicon"))
    code = (
        f"import sys\nfrom peakforge_pattern.cli import main\nmain(['pattern', {silicon!r}])\n"
        "print(sorted(m for m in ('peakforge_pattern.measurements', 'peakforge_pattern.fitting.overlay', "
        "'importlib.metadata', 'xml.etree.ElementTree') if m in sys.modules), file=sys.stderr)"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stderr.strip().splitlines()[-1] == "[]"
