"""Powder patterns of many structures into a Parquet dataset, on this
machine's processors or on a Dask cluster::

    from peakforge_pattern.batch import run_batch, read_patterns
    summary = run_batch(["structures/"], "patterns/", wavelength="CuKa", two_theta_range=(5, 90))
    patterns = read_patterns("patterns/", ids=["quartz.cif"])
    table = read_library("patterns/", ["id", "elements", "space_group_number"])

Needs pyarrow (``pip install 'peakforge[batch]'``); a cluster needs Dask
distributed as well (``peakforge[distributed]``).
"""

from typing import TYPE_CHECKING

from ..optional import lazy_exports, require

require("pyarrow", "batch", "peakforge batch")

if TYPE_CHECKING:
    from .library import Library, open_library, read_library

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

# The library reader needs pyarrow.dataset, which brings pandas (most of a
# second): loaded when first named, so that workers start without it.
__getattr__ = lazy_exports(__name__, dict.fromkeys(("Library", "open_library", "read_library"), ".library"))
