"""Fitting phases to a measured pattern: reading the measurement (every
scan format, :mod:`.scans`), the cell parameters a refinement may move, the
least-squares fit and its picture::

    from peakforge_pattern.fitting import fit_pattern, read_scan
"""

from .fit import fit_pattern
from .scans import MeasuredPattern, read_scan

__all__ = ["MeasuredPattern", "fit_pattern", "read_scan"]
