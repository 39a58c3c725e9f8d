"""Drawing an identification: the final whole-pattern fit of the phases
found, each with its row of reflection ticks."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from ..errors import InputError
from .fits import plot_fit

if TYPE_CHECKING:  # the identification package needs pyarrow and SciPy; drawing needs neither
    from ..identification.result import IdentificationResult


def plot_identification(result: IdentificationResult, target: Any = None) -> Any:
    """Draw the fit of the phases an identification found.

    Parameters
    ----------
    result : IdentificationResult
        What ``identify`` returned.
    target : matplotlib.axes.Axes or str or os.PathLike, optional
        The Axes to draw into, a new pyplot figure when None, or an image
        file to write (whole or not at all).

    Returns
    -------
    matplotlib.axes.Axes or None
        The Axes drawn into; None when a file was written.

    Raises
    ------
    InputError
        When no phase was found (there is no fit to draw), or for an image
        format Matplotlib cannot write.
    """
    if result.fit is None:
        raise InputError("no phase was found, so there is no fit to draw")
    if isinstance(target, (str, os.PathLike)):
        plot_fit(result.fit, target)
        return None
    ax = plot_fit(result.fit, target)
    found = ", ".join(f"{p.name} {100 * p.weight_fraction:.1f} %" for p in result.phases)
    ax.set_title(f"{os.path.basename(result.scan)}: {found}; Rwp {100 * result.fit.rwp:.2f} %", fontsize=10, loc="left")
    return ax
