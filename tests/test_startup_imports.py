"""A command loads what it uses and no more: computing a pattern, or reading
a scan, imports neither the heavy packages nor the layers the other
commands need."""

import json
import subprocess
import sys

from peakforge_pattern import example_path

HEAVY = ("scipy", "pyarrow", "pandas", "matplotlib", "distributed", "tqdm")
OTHER_COMMANDS = ("peakforge_pattern.fitting.fit", "peakforge_pattern.identification", "peakforge_pattern.batch")


def loaded_after(code: str) -> list[str]:
    """Which of the heavy packages and other commands' layers a fresh interpreter holds after ``code``."""
    watched = HEAVY + OTHER_COMMANDS
    report = f"\nimport sys, json\nprint(json.dumps(sorted(m for m in {watched!r} if m in sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code + report], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def test_patterns_and_scans_load_nothing_the_other_commands_need():
    silicon = str(example_path("silicon"))
    assert loaded_after(f"from peakforge_pattern.cli import main\nmain(['pattern', {silicon!r}])") == []
    # A package's names load their own modules only: the scan reader is not the fit.
    assert loaded_after("from peakforge_pattern.fitting import read_scan\nimport peakforge_pattern.plotting") == []
    # SciPy and matplotlib come with the first fit or drawing, not with the names.
    names = "from peakforge_pattern.fitting import fit_pattern\nfrom peakforge_pattern.plotting import plot_fit"
    assert loaded_after(names) == ["peakforge_pattern.fitting.fit"]
