"""Measured powder patterns from files: the scan type and the reading of
every format peakforge knows (see :mod:`.scans`), under the names the
fitting has always used."""

from __future__ import annotations

from .scans import MeasuredPattern, in_range, read_scan
from .scans.columns import read_columns
from .scans.xrdml import read_xrdml

read_measured = read_scan
"""Read a measured pattern from a file: :func:`.scans.read_scan`."""

__all__ = ["MeasuredPattern", "in_range", "read_columns", "read_measured", "read_scan", "read_xrdml"]
