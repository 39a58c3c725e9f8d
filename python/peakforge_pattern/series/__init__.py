"""Series: many scans fitted with one recipe, serial or sequential, on this
machine or a Dask cluster, into one table (a Parquet dataset)::

    from peakforge_pattern.series import read_series, run_series
"""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from .result import SeriesResult, load_series, read_series
    from .run import run_series

__all__ = ["SeriesResult", "load_series", "read_series", "run_series"]

__getattr__ = lazy_exports(
    __name__,
    {"SeriesResult": ".result", "load_series": ".result", "read_series": ".result", "run_series": ".run"},
)
