"""Fitting phases to a measured powder pattern: reading the measurement,
the cell parameters a refinement may move, the least-squares fit and its
picture::

    from peakforge_pattern.fitting import fit_pattern
"""

from .fit import fit_pattern

__all__ = ["fit_pattern"]
