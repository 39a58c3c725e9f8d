"""Fitting phases to a measured powder pattern: reading the measurement
(every scan format, read by :mod:`peakforge_pattern.measurements`), the cell parameters a refinement may
move, and the least-squares fit (its picture is plotting.plot_fit); and
simulated patterns laid on a scan by least-squares scales alone (its picture
is plotting.plot_overlay)::

    from peakforge_pattern.fitting import FitRequest, FitResult, fit_pattern, overlay_phases, read_scan
"""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from ..measurements import MeasuredPattern, read_scan
    from .decomposition import CellPhase, DecompositionResult, decompose
    from .fit import fit_pattern
    from .overlay import Overlay, overlay_phases
    from .recipe import Recipe, load_recipe, save_recipe
    from .request import FitRequest
    from .result import FitResult

__all__ = [
    "CellPhase",
    "DecompositionResult",
    "FitRequest",
    "FitResult",
    "MeasuredPattern",
    "Overlay",
    "Recipe",
    "fit_pattern",
    "decompose",
    "load_recipe",
    "overlay_phases",
    "read_scan",
    "save_recipe",
]

# Each imported on first use: the fit brings SciPy, and a reader of scans needs none of it.
__getattr__ = lazy_exports(
    __name__,
    {
        "CellPhase": ".decomposition",
        "DecompositionResult": ".decomposition",
        "decompose": ".decomposition",
        "FitRequest": ".request",
        "FitResult": ".result",
        "MeasuredPattern": "..measurements",
        "Overlay": ".overlay",
        "fit_pattern": ".fit",
        "overlay_phases": ".overlay",
        "Recipe": ".recipe",
        "load_recipe": ".recipe",
        "save_recipe": ".recipe",
        "read_scan": "..measurements",
    },
)
