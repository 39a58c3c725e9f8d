"""Fitting phases to a measured powder pattern: reading the measurement,
the cell parameters a refinement may move, and the least-squares fit
(its picture is plotting.plot_fit), and simulated patterns laid on a scan
by least-squares scales alone (its picture is plotting.plot_overlay)::

    from peakforge_pattern.fitting import fit_pattern, overlay_phases
"""

from .fit import fit_pattern
from .overlay import Overlay, overlay_phases

__all__ = ["Overlay", "fit_pattern", "overlay_phases"]
