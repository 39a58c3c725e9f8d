"""Powder patterns of many structures into a Parquet dataset, on this
machine's processors or on a Dask cluster::

    from peakforge_pattern.batch import run_batch, read_patterns
    summary = run_batch(["structures/"], "patterns/", wavelength="CuKa", two_theta_range=(5, 90))
    patterns = read_patterns("patterns/", ids=["quartz.cif"])
    table = read_library("patterns/", ["id", "elements", "space_group_number"])

Needs pyarrow (``pip install 'peakforge[batch]'``); a cluster needs Dask
distributed as well (``peakforge[distributed]``).
"""

from ..optional import require

require("pyarrow", "batch", "peakforge batch")

from .chunks import Chunk, plan_chunks  # noqa: E402
from .executor import ExecutorError  # noqa: E402
from .options import RunOptions  # noqa: E402
from .reader import read_patterns  # noqa: E402
from .run import BatchSummary, run_batch  # noqa: E402
from .worker import ChunkResult, Job, process_chunk  # noqa: E402

__all__ = [
    "BatchSummary",
    "Chunk",
    "ChunkResult",
    "ExecutorError",
    "Job",
    "Library",
    "RunOptions",
    "open_library",
    "plan_chunks",
    "process_chunk",
    "read_library",
    "read_patterns",
    "run_batch",
]

_LIBRARY_NAMES = {"Library", "open_library", "read_library"}


def __getattr__(name: str) -> object:
    # The library reader needs pyarrow.dataset, which brings pandas (most of
    # a second): loaded when first named, so that workers start without it.
    if name in _LIBRARY_NAMES:
        from . import library

        return getattr(library, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
