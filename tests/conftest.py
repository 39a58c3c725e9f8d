import os

# Internal failures print a diagnostic to standard error; keep it to the short
# form, whatever the machine's environment says (the choice is read once per
# process, at the first failure). Tests of the diagnostic itself run children.
os.environ["RUST_BACKTRACE"] = "0"


def pytest_report_header(config):
    # Which build is under test: the installed one, or a build dir on PYTHONPATH.
    try:
        import peakforge
    except ImportError as e:
        return f"peakforge: not importable ({e})"
    return f"peakforge: {peakforge.__file__}"
