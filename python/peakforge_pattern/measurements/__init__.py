"""Measured powder scans from files: one reader per format, the format
recognised by the file's contents.

`read_scan` reads a file (`SCAN_FORMATS` lists the formats), `MeasuredPattern`
holds its points with their uncertainties, `in_range` keeps a 2θ range, and
`MAX_BYTES` and `MAX_POINTS` bound what a file may hold.

Examples
--------
>>> from peakforge_pattern.measurements import read_scan
>>> scan = read_scan("sample.rasx")  # doctest: +SKIP
"""

from .limits import MAX_BYTES, MAX_POINTS
from .measured_pattern import MeasuredPattern, in_range
from .read import SCAN_FORMATS, read_scan

__all__ = ["MAX_BYTES", "MAX_POINTS", "SCAN_FORMATS", "MeasuredPattern", "in_range", "read_scan"]
