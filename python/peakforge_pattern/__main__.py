"""The ``peakforge`` command's process: ``python -m peakforge_pattern`` and
the console script both start here.

The process starts its BLAS on one thread unless the user chose a count:
every matrix here is small (3 × 3 cells, a fit's few columns), and an
OpenBLAS pool started at NumPy's import spins its idle threads for nothing.
Once the command has returned, with its outputs closed, the process ends
without the interpreter's teardown, which only frees memory the system
takes back anyway.
"""

import os
import sys
import threading

BLAS_THREAD_COUNTS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
"""The environment variables the BLAS libraries NumPy may load size their pools by."""


def one_blas_thread() -> None:
    """Unset BLAS thread counts set to 1; to take effect, before NumPy loads."""
    for name in BLAS_THREAD_COUNTS:
        os.environ.setdefault(name, "1")


def _quick_exit_is_safe() -> bool:
    """Whether nothing but this thread may still write: no other live
    non-daemon thread, no child process of multiprocessing's."""
    if any(t is not threading.main_thread() and t.is_alive() and not t.daemon for t in threading.enumerate()):
        return False
    multiprocessing = sys.modules.get("multiprocessing")
    return multiprocessing is None or not multiprocessing.active_children()


def end(status: int) -> int:
    """End the process with ``status`` at once when that is safe (standard
    output and error flushed, nothing else running); else return it for
    the normal exit."""
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None: the process started with it closed
                stream.flush()
    except (OSError, ValueError):  # a closed or broken stream: the normal exit reports it
        return status
    if not _quick_exit_is_safe():
        return status
    logging = sys.modules.get("logging")
    if logging is not None:
        logging.shutdown()  # flushes any handler's file
    os._exit(status)


def command() -> int:
    """Run ``peakforge`` with this process's arguments; its exit status."""
    one_blas_thread()
    from .cli import main

    return end(main())


if __name__ == "__main__":
    sys.exit(command())
