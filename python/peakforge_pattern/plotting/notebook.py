"""Pictures for notebooks: a mixture's pattern and a fit's plot as PNG,
registered for their types when this module is imported (the picture
registry imports it when the first picture is asked for)."""

from __future__ import annotations

import io
from typing import Any

from .. import pictures
from ..fitting.fit import FitResult
from ..profiles.mixture import Mixture
from .figures import new_figure
from .fits import plot_fit
from .patterns import plot_mixture

NOTEBOOK_DPI = 90


def _png(figure: Any) -> bytes:
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=NOTEBOOK_DPI)
    return out.getvalue()


def mixture_png(mixture: Mixture) -> bytes:
    """The mixture's sticks and summed profile as a PNG image."""
    figure = new_figure(7.0, 3.0)
    plot_mixture(mixture, figure.subplots())
    return _png(figure)


def fit_png(result: FitResult) -> bytes:
    """The fit's plot (measured, calculated, difference, ticks) as a PNG image."""
    figure = new_figure(8.0, 4.5)
    plot_fit(result, figure.subplots())
    return _png(figure)


def register() -> None:
    """Let mixtures and fits show these pictures in notebooks."""
    pictures.register(Mixture, mixture_png)
    pictures.register(FitResult, fit_png)


register()
