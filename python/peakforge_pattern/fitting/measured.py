"""Measured powder patterns from files: the scan type and the reading of
every format peakforge knows (see :mod:`peakforge_pattern.measurements`), under the names the
fitting has always used."""

from __future__ import annotations

from ..measurements import MeasuredPattern, in_range, read_scan
from ..measurements.columns import read_columns
from ..measurements.xrdml import read_xrdml

read_measured = read_scan
"""Read a measured pattern from a file: :func:`peakforge_pattern.measurements.read_scan`."""

__all__ = ["MeasuredPattern", "in_range", "read_columns", "read_measured", "read_scan", "read_xrdml"]
