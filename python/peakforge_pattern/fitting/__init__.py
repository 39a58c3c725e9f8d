"""Fitting phases to a measured powder pattern: reading the measurement
(every scan format, :mod:`.scans`), the cell parameters a refinement may
move, and the least-squares fit (its picture is plotting.plot_fit)::

    from peakforge_pattern.fitting import fit_pattern, read_scan
"""

from .fit import fit_pattern
from .scans import MeasuredPattern, read_scan

__all__ = ["MeasuredPattern", "fit_pattern", "read_scan"]
