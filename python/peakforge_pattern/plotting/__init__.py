"""Drawing what the layers below compute: patterns (sticks, profiles,
labels), mixtures, fits, identifications and series, into Matplotlib Axes or image files::

    from peakforge_pattern.plotting import plot_fit, plot_mixture, plot_overlay, plot_pattern

Needs matplotlib (``pip install '.[plot]'``), imported when first drawing.
"""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from .figures import check_image_path
    from .fits import draw_fit, plot_fit
    from .identifications import plot_identification
    from .overlays import plot_overlay
    from .patterns import draw, pattern_html, pattern_png, plot_mixture, plot_pattern, plot_patterns
    from .series import plot_series

__all__ = [
    "check_image_path",
    "draw",
    "draw_fit",
    "pattern_html",
    "pattern_png",
    "plot_fit",
    "plot_identification",
    "plot_mixture",
    "plot_overlay",
    "plot_pattern",
    "plot_patterns",
    "plot_series",
]

# Each imported on first use: drawing a pattern needs nothing of the fitting layer.
__getattr__ = lazy_exports(
    __name__,
    {
        "check_image_path": ".figures",
        "draw": ".patterns",
        "draw_fit": ".fits",
        "plot_series": ".series",
        "pattern_html": ".patterns",
        "pattern_png": ".patterns",
        "plot_fit": ".fits",
        "plot_identification": ".identifications",
        "plot_mixture": ".patterns",
        "plot_overlay": ".overlays",
        "plot_pattern": ".patterns",
        "plot_patterns": ".patterns",
    },
)
