"""What every subcommand shares: exit statuses, one-line reports, output, and
the turning of every failure that is not a bug into one line and status 2."""

from __future__ import annotations

import contextlib
import functools
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from ..atomic_file import file_identity, inputs_kept
from ..errors import InputError

USER_ERROR = 2
"""Exit status of a run that failed because of what the user asked for, the
input it was given or the resources it had."""

INTERRUPTED = 130
"""Exit status after Ctrl-C, as shells report a process ended by SIGINT."""


class OutputError(OSError):
    """Standard output could not take what was written to it."""


def _one_line(text: str) -> str:
    return " ".join(text.split())


def fail(message: str) -> None:
    """Report a problem as one line on standard error."""
    report(f"peakforge: {_one_line(message)}")


def warn(source: str, message: str) -> None:
    """Report a warning about ``source`` as one line on standard error."""
    report(f"peakforge: warning: {source}: {_one_line(message)}")


def note(source: str, message: str) -> None:
    """Report what the calculation decided about ``source`` as one line on standard error."""
    report(f"peakforge: note: {source}: {_one_line(message)}")


def report(line: str) -> None:
    """One line on standard error, above any progress bar that is showing."""
    if sys.stderr is None:  # no standard error at all: nowhere to report
        return
    # A bar can be showing only once tqdm has been imported (commands import
    # it when they start one): until then the line is written as it is, and
    # starting the command does not pay for importing tqdm.
    progress = sys.modules.get("tqdm")
    with contextlib.suppress(OSError, ValueError):
        if progress is None:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()
        else:
            progress.tqdm.write(line, file=sys.stderr)


def write_output(text: str) -> None:
    """Write ``text`` to standard output and flush it, so that a full disk
    shows up here as an OSError rather than at exit."""
    if sys.stdout is None:
        raise OutputError("standard output is closed")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(exc.errno, f"cannot write to standard output: {exc.strerror or exc}") from None


def _silence_stdout() -> None:
    # After a failed write the interpreter would try to flush stdout again
    # at exit and print its own complaint; point it at /dev/null instead.
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def is_panic(exc: BaseException) -> bool:
    """An internal failure of the native module (its PanicException)."""
    kind = type(exc)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def panic_message(exc: BaseException) -> str:
    # The message reads "called `Result::unwrap()` on an `Err` value: <why>".
    text = _one_line(str(exc))
    marker = "value: "
    return text.split(marker, 1)[1] if marker in text else text


# Internal failures that come from the machine, not from a bug: the worker
# threads could not be started (a thread or process limit).
_RESOURCE_PANICS = ("cannot start worker thread",)


def describe_os_error(exc: OSError) -> str:
    what = exc.strerror or _one_line(str(exc)) or type(exc).__name__
    name = exc.filename
    if name is None:
        return what
    shown = os.fsencode(name).decode("utf-8", "backslashreplace") if isinstance(name, (str, bytes)) else str(name)
    return f"{shown}: {what}"


# Every command's options that name what it reads (by their argparse ``dest``), each with
# the files it reads from a folder given there; and the options that name a file it writes.
# Folder outputs (batch --out, fit --cif-out) are guarded where their files are written.
INPUT_OPTIONS: dict[str, tuple[str, ...]] = {
    "files": (".cif",),
    "sources": (".cif",),
    "phases": (".cif",),
    "library": (".parquet",),
    "measured": (),
    "scan": (),
    "scans": (),
    "instrument": (),
    "scheduler_file": (),
    "recipe": (),
    "peaks": (),
}
OUTPUT_FILE_OPTIONS = ("plot", "xy", "save_instrument", "save_recipe", "report", "hkl_out")


def _named_inputs(args: Any) -> tuple[list[str], list[tuple[str, tuple[str, ...]]]]:
    """The files, and the folders with the suffixes read from them, that ``args`` names as inputs."""
    files: list[str] = []
    folders: list[tuple[str, tuple[str, ...]]] = []
    for dest, read in INPUT_OPTIONS.items():
        value = getattr(args, dest, None)
        for item in value if isinstance(value, (list, tuple)) else [value]:
            if not isinstance(item, (str, os.PathLike)) or os.fspath(item) in ("", "-"):
                continue
            if os.path.isdir(item):
                folders.append((os.fspath(item), read))
            else:
                files.append(os.fspath(item))
    return files, folders


def refuse_outputs_over_inputs(args: Any) -> None:
    """InputError when an output option names a file the command reads.

    The same file is found by its identity (device and inode), so another
    spelling of its path, a link to it or ``.`` and ``..`` do not hide it.
    """
    files, folders = _named_inputs(args)
    read = {identity: path for path in files if (identity := file_identity(path)) is not None}
    for dest in OUTPUT_FILE_OPTIONS:
        value = getattr(args, dest, None)
        if not isinstance(value, (str, os.PathLike)):
            continue
        flag = "--" + dest.replace("_", "-")
        identity = file_identity(value)
        same = read.get(identity) if identity is not None else None
        if same is None and os.path.isfile(value):
            target = os.path.realpath(value)
            same = next(
                (
                    folder
                    for folder, suffixes in folders
                    if target.lower().endswith(suffixes) and target.startswith(os.path.realpath(folder) + os.sep)
                ),
                None,
            )
        if same is not None:
            raise InputError(f"{flag} {os.fspath(value)}: would replace an input of this run ({same}); write elsewhere")


def reporting_failures(run: Callable[[Any], int]) -> Callable[[Any], int]:
    """Wrap a subcommand's run(args) so that whatever is not a bug ends in
    one line on standard error and status 2 (130 for Ctrl-C).

    An output that would replace one of the command's inputs is refused.
    Bugs keep their traceback and status 1.  NumPy's floating-point warnings
    are kept off standard error: the inputs are checked before they could
    matter, and a result that is not finite is refused where it is made.
    """

    @functools.wraps(run)
    def wrapped(args: Any) -> int:
        try:
            # No output replaces what the command reads: refused up front where the option
            # names the file, and where each file is written for the rest.
            with np.errstate(all="ignore"), inputs_kept(_named_inputs(args)[0]):
                refuse_outputs_over_inputs(args)
                status = run(args)
            if sys.stdout is not None:
                sys.stdout.flush()
            return status
        except BrokenPipeError:
            # The reader (say, `head`) has what it wanted: stop quietly.
            _silence_stdout()
            return USER_ERROR
        except KeyboardInterrupt:
            fail("interrupted")
            return INTERRUPTED
        except InputError as exc:
            problem = str(exc)
        except MemoryError:
            problem = "out of memory"  # reported below, once the frames holding the memory are gone
        except OSError as exc:
            if isinstance(exc, OutputError) and sys.stdout is not None:
                _silence_stdout()
            problem = describe_os_error(exc)
        except BaseException as exc:
            if not (is_panic(exc) and any(s in str(exc) for s in _RESOURCE_PANICS)):
                raise
            problem = panic_message(exc)
        fail(f"error: {problem}")
        return USER_ERROR

    return wrapped


@contextlib.contextmanager
def os_stderr_captured() -> Iterator[None]:
    """Keep what native code writes to the process's standard error (file
    descriptor 2) off the terminal for a while; it is dropped."""
    with contextlib.suppress(ValueError, OSError):
        sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:  # no standard error to protect
        yield
        return
    try:
        with tempfile.TemporaryFile() as sink:
            os.dup2(sink.fileno(), 2)
            try:
                yield
            finally:
                os.dup2(saved, 2)
    finally:
        os.close(saved)


def probe_worker_threads(num_threads: int) -> str | None:
    """Start a worker pool of ``num_threads`` once on a tiny problem.

    Returns why it could not start (the machine's thread or process limit),
    or None.  The native diagnostic of the failure stays off the terminal.
    """
    import peakforge

    with os_stderr_captured():
        try:
            peakforge.calculate_xrd_intensities(
                [[1, 0, 0]], [0.5], 1.0, [0.0], [0.0], [0.0], [1], [[]], [1.0], [0.0], True, num_threads, False
            )
        except BaseException as exc:
            if not is_panic(exc):
                raise
            return panic_message(exc)
    return None
