"""Fitting phases to a measured powder pattern: reading the measurement,
the cell parameters a refinement may move, and the least-squares fit
(its picture is plotting.plot_fit)::

    from peakforge_pattern.fitting import fit_pattern
"""

from .fit import fit_pattern

__all__ = ["fit_pattern"]
