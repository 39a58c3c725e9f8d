"""Fitting phases to a measured powder pattern: reading the measurement
(every scan format, :mod:`.scans`), the cell parameters a refinement may
move, and the least-squares fit (its picture is plotting.plot_fit); and
simulated patterns laid on a scan by least-squares scales alone (its picture
is plotting.plot_overlay)::

    from peakforge_pattern.fitting import fit_pattern, overlay_phases, read_scan
"""

from .fit import fit_pattern
from .overlay import Overlay, overlay_phases
from .scans import MeasuredPattern, read_scan

__all__ = ["MeasuredPattern", "Overlay", "fit_pattern", "overlay_phases", "read_scan"]
