"""Notebook pictures of results, drawn by the plotting layer.

The types that compute (a fit, a mixture) never draw, and cannot import the
layer that does; so a type that shows a picture in a notebook asks this
registry for one, and the plotting layer's notebook module registers a
drawing function per type when imported. The registry imports that module
itself when the first picture is asked for, so that computing alone never loads it (it brings
the fitting layer, and SciPy with it).
Without matplotlib there is no picture, and the notebook shows the HTML view.

A notebook (and a notebook exported to HTML) shows the richest view an
object offers, the HTML one: so the picture goes inside that view, as an
inlined PNG, rather than beside it where it would never be seen.
"""

from __future__ import annotations

import base64
import html
import importlib
from collections.abc import Callable
from typing import Any

from .optional import MissingDependency

_DRAWERS: dict[type, Callable[[Any], bytes]] = {}

_DRAWING_LAYER = "peakforge_pattern.plotting.notebook"
"""The module whose import registers the drawers (named, not imported: it sits above every type drawn)."""


def register(kind: type, draw: Callable[[Any], bytes]) -> None:
    """Let ``draw(obj)`` (PNG bytes) picture every ``kind`` in notebooks."""
    _DRAWERS[kind] = draw


def png_of(obj: Any) -> bytes | None:
    """The PNG picture registered for the object's type, or None (nothing registered, or no matplotlib)."""
    if not _DRAWERS:
        importlib.import_module(_DRAWING_LAYER)
    for kind in type(obj).__mro__:
        draw = _DRAWERS.get(kind)
        if draw is not None:
            try:
                return draw(obj)
            except MissingDependency:
                return None
    return None


def with_picture(html_view: str, png: bytes | None, description: str) -> str:
    """An object's HTML view with its picture inlined above it (the view alone without a picture)."""
    if png is None:
        return html_view
    image = base64.b64encode(png).decode("ascii")
    alt = html.escape(description, quote=True)
    return f'<div><img src="data:image/png;base64,{image}" alt="{alt}"/>{html_view}</div>'


def mimebundle(obj: Any, html_view: str) -> dict[str, Any]:
    """The notebook views of an object with a picture, drawn once: text,
    HTML with the picture inside, and the PNG itself for front ends without HTML."""
    png = png_of(obj)
    bundle: dict[str, Any] = {"text/plain": repr(obj), "text/html": with_picture(html_view, png, repr(obj))}
    if png is not None:
        bundle["image/png"] = png
    return bundle
