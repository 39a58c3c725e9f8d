"""Figures without pyplot (no global backend, no display needed), and image
files written whole or not at all, in formats Matplotlib writes by itself."""

from __future__ import annotations

import io
import os
from pathlib import Path
from typing import Any

from ..atomic_file import write_bytes_atomically
from ..errors import InputError
from ..optional import require

IMAGE_FORMATS: tuple[str, ...] = ("png", "svg", "svgz", "pdf", "eps", "ps", "jpg", "jpeg", "tif", "tiff", "webp")
"""Suffixes Matplotlib writes without an external program (no LaTeX)."""

DEFAULT_DPI = 120
"""Resolution of raster images (PNG, JPEG, TIFF, WebP) unless asked otherwise."""

LAYOUTS = ("stacked", "overlaid")
"""How several patterns share a figure: one panel each, or one panel for all."""


def check_image_path(path: str | os.PathLike[str]) -> str:
    """The image format a path's suffix names.

    Parameters
    ----------
    path : str or os.PathLike
        Where an image is to be written.

    Returns
    -------
    str
        The suffix without its dot, lower case ("png", "svg", ...).

    Raises
    ------
    InputError
        A suffix Matplotlib cannot write by itself.
    MissingDependency
        Without matplotlib (the ``plot`` extra), which draws it.
    """
    _matplotlib_figure()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in IMAGE_FORMATS:
        raise InputError(
            f"{path}: cannot draw a '{suffix or 'suffix-less'}' image: name the file .{', .'.join(IMAGE_FORMATS)}"
        )
    return suffix


def check_dpi(dpi: float) -> float:
    """A resolution in dots per inch that Matplotlib can rasterise at."""
    try:
        value = float(dpi)
    except (TypeError, ValueError):
        raise InputError(f"the resolution must be a number of dots per inch, not {dpi!r}") from None
    if not 10.0 <= value <= 2400.0:
        raise InputError(f"the resolution must lie between 10 and 2400 dots per inch, not {dpi!r}")
    return value


def save_figure(figure: Any, path: str | os.PathLike[str], dpi: float = DEFAULT_DPI) -> None:
    """Write the figure to ``path`` whole, or leave what was there untouched.

    The image is rendered in memory first: a backend that fails half-way
    through its own writes (the PDF writer, on a full disk or past a file-size
    limit) can leave its state broken and raise again while closing, which
    would hide the OSError that says what went wrong.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
        The figure.
    path : str or os.PathLike
        The image file; its suffix names the format.
    dpi : float
        Dots per inch of raster formats (10 to 2400).

    Raises
    ------
    InputError
        A format Matplotlib cannot write, or a resolution outside that range.
    OSError
        The file cannot be written (nothing is left behind).
    """
    image_format = check_image_path(path)
    dpi = check_dpi(dpi)
    rendered = io.BytesIO()
    figure.savefig(rendered, format=image_format, dpi=dpi)
    write_bytes_atomically(path, rendered.getvalue())


def _matplotlib_figure() -> Any:
    return require("matplotlib.figure", "plot", "drawing a pattern")


def new_figure(width: float, height: float) -> Any:
    """A Matplotlib Figure of ``width`` × ``height`` inches, laid out as constrained."""
    Figure = _matplotlib_figure().Figure  # no pyplot: no global backend, no display needed
    return Figure(figsize=(width, height), layout="constrained")
