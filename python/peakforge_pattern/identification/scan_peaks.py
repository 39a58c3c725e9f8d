"""A measured scan's peaks, found by the measurements layer (indexing uses
the same search); kept here under its old name for identification's callers."""

from ..measurements.scan_peaks import ScanPeaks, find_scan_peaks, snip_background

__all__ = ["ScanPeaks", "find_scan_peaks", "snip_background"]
