"""Sub-interpreters are refused cleanly, again and again.

The module belongs to the first interpreter that imports it. A legacy
sub-interpreter (sharing the main interpreter's lock) is refused by the
module's own ImportError; an isolated one (with its own lock) is refused by
the interpreter before the module is initialised there. Twenty rounds of both
run in a child process, since a crash there would otherwise end pytest, and
the module must keep working in the main interpreter throughout.
"""

import json
import os
import subprocess
import sys

import pytest

import peakforge

CYCLES = 20
OWNER_MESSAGE = "PyO3 modules do not yet support subinterpreters, see "

# Runs inside each sub-interpreter: imports the module and writes what happened
# to the pipe whose descriptor is filled in.
IMPORT_AND_REPORT = r"""
import os, sys
sys.path.insert(0, DIRECTORY)
try:
    import peakforge
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError: " + str(e)
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
os.write(DESCRIPTOR, (outcome + "\n").encode())
"""

# The child process: argv[1] is the directory of the module under test,
# argv[2] the number of cycles, argv[3] the code above. Prints a JSON report.
CHILD = r"""
import json, os, sys
directory, cycles, template = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sys.path.insert(0, directory)
import peakforge
import _testcapi
try:
    import _interpreters
except ImportError:
    _interpreters = None

read_end, write_end = os.pipe()
code = template.replace("DIRECTORY", repr(directory)).replace("DESCRIPTOR", str(write_end))

def outcome():
    return os.read(read_end, 4096).decode().rstrip("\n")

def working():
    return peakforge.calculate_xrd_intensities(
        [[1, 0, 0]], [0.5], 1.0, [0.0], [0.0], [0.0], [1], [[]], [1.0], [0.0], False, 0, False)

expected = working()
report = {"legacy": [], "isolated": [], "working": True}
for _ in range(cycles):
    status = _testcapi.run_in_subinterp(code)
    report["legacy"].append(outcome() if status == 0 else "run_in_subinterp failed")
    if _interpreters is not None:
        interpreter = _interpreters.create()  # isolated: own lock, strict extension check
        try:
            error = _interpreters.exec(interpreter, code)
            report["isolated"].append(outcome() if error is None else repr(error))
        finally:
            _interpreters.destroy(interpreter)
    report["working"] = report["working"] and working() == expected
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def report():
    pytest.importorskip("_testcapi", reason="the interpreter was built without its test modules")
    directory = os.path.dirname(os.path.abspath(peakforge.__file__))
    done = subprocess.run(
        [sys.executable, "-c", CHILD, directory, str(CYCLES), IMPORT_AND_REPORT],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"child ended with {done.returncode}:\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.splitlines()[-1])


def test_legacy_subinterpreter_gets_the_owner_import_error(report):
    assert len(report["legacy"]) == CYCLES
    for outcome in report["legacy"]:
        assert outcome.startswith("ImportError: " + OWNER_MESSAGE), outcome


def test_isolated_subinterpreter_gets_the_interpreters_own_import_error(report):
    if not report["isolated"]:
        pytest.skip("this interpreter has no _interpreters module")
    assert len(report["isolated"]) == CYCLES
    for outcome in report["isolated"]:
        assert outcome.startswith("ImportError: "), outcome
        assert OWNER_MESSAGE not in outcome, outcome
        assert "does not support loading in subinterpreters" in outcome, outcome


def test_module_keeps_working_in_the_main_interpreter(report):
    assert report["working"]
