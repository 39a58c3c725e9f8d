"""Internal failures: PanicException and the diagnostic on standard error."""

import os
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import panic_of

import peakforge

ARGS = ([[1, 0, 0], [1, 0, 0]], [0.5], 1.0, [0.0], [0.0], [0.0], [1], [[]], [1.0], [0.0], False, 0, False)


def test_panic_exception_type_and_message():
    first = panic_of(peakforge.calculate_xrd_intensities, *ARGS)
    second = panic_of(peakforge.calculate_xrd_intensities, *ARGS)
    kind = type(first)
    assert kind is type(second)
    assert (kind.__name__, kind.__module__) == ("PanicException", "pyo3_runtime")
    assert kind.__bases__ == (BaseException,) and not isinstance(first, Exception)
    assert str(first) == "index out of bounds: the len is 1 but the index is 1"
    assert first.args == ("index out of bounds: the len is 1 but the index is 1",)
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith(
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert not hasattr(peakforge, "PanicException")
    # The module keeps working after a failure.
    assert (
        peakforge.calculate_xrd_intensities(*ARGS[:1], [0.5, 0.5], *ARGS[2:])
        == [(28.95502437185985, 29.176474541429208)] * 2
    )


def run_child(code, backtrace):
    env = {k: v for k, v in os.environ.items() if k != "RUST_BACKTRACE"}
    if backtrace is not None:
        env["RUST_BACKTRACE"] = backtrace
    script = "import peakforge\nARGS = %r\n" % (ARGS,) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


FAIL_TWICE = """
    import os, sys
    for setting in ("0", "full"):
        try:
            peakforge.calculate_xrd_intensities(*ARGS)
        except BaseException as e:
            print(type(e).__name__, e)
        os.environ["RUST_BACKTRACE"] = "full"   # too late: read at the first failure
    sys.stderr = open(os.devnull, "w")         # not where the diagnostic goes
    try:
        peakforge.calculate_xrd_intensities(*ARGS)
    except BaseException:
        pass
"""

HEAD = (
    r"\nthread '<unnamed>' \((\d+)\) panicked at src/core/intensity/\w+\.cpp:\d+:\d+:\n"
    r"index out of bounds: the len is 1 but the index is 1\n"
)
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


@pytest.mark.parametrize("backtrace", [None, "0"])
def test_diagnostic_without_backtrace(backtrace):
    out, err = run_child(FAIL_TWICE, backtrace)
    assert out.count("PanicException index out of bounds") == 2
    assert re.fullmatch(HEAD + re.escape(NOTE) + HEAD + HEAD, err), err
    tid = re.search(r"\((\d+)\)", err).group(1)
    assert int(tid) > 0


@pytest.mark.parametrize("backtrace, omitted", [("1", True), ("", True), ("full", False)])
def test_diagnostic_with_backtrace(backtrace, omitted):
    _, err = run_child(FAIL_TWICE, backtrace)
    assert err.count("stack backtrace:\n") == 3 and NOTE not in err
    assert err.count("note: Some details are omitted") == (3 if omitted else 0)


def test_conversion_failure_writes_nothing():
    _, err = run_child(
        """
        try:
            peakforge.calculate_xrd_intensities(*ARGS[:10], 1, 0, False)
        except TypeError:
            pass
    """,
        None,
    )
    assert err == ""


def test_panic_exception_from_python_is_resumed():
    out, err = run_child(
        """
        try:
            peakforge.calculate_xrd_intensities(*ARGS)
        except BaseException as e:
            Panic = type(e)
        class Evil:
            def __float__(self):
                raise Panic("raised by user code")
        try:
            peakforge.calculate_xrd_intensities(*ARGS[:2], Evil(), *ARGS[3:])
        except BaseException as e:
            print(type(e) is Panic, e.args)
    """,
        "0",
    )
    assert out == "True ('raised by user code',)\n"
    assert "resuming a panic after fetching a PanicException from Python" in err
    assert "Python stack trace below:" in err and "raised by user code" in err
