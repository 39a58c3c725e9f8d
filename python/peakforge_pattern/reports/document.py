"""A report as one self-contained HTML page: sections of tables, text and
figures, and at the end where the result came from.

Everything the page needs is inside the file: the plotting library's script
(embedded once, however many figures), the stylesheet and the static
pictures (PNG as base64 data). Opening it makes no request to any server,
so it can be archived, mailed and opened years later without a network.
Each command builds its sections (`fit_sections`, `identification_sections`)
and adds them to one `Report`; a new command adds its own sections the same
way.
"""

from __future__ import annotations

import base64
import html
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..atomic_file import write_text_atomically
from ..errors import InputError
from ..optional import require
from ..provenance import Provenance
from .style import STYLESHEET


def escape(text: object) -> str:
    """Text as HTML shows it literally."""
    return html.escape(str(text), quote=True)


def table(
    header: Sequence[str], rows: Iterable[Sequence[object]], *, numeric: Iterable[int] | None = None, caption: str = ""
) -> str:
    """An HTML table; the ``numeric`` columns (default: all but the first)
    are right-aligned.

    Cells are escaped: pass text, not markup.
    """
    right = set(range(1, len(header)) if numeric is None else numeric)
    head = "".join(f"<th>{escape(h)}</th>" for h in header)
    body = "".join(
        "<tr>"
        + "".join(
            f"<td class='num'>{escape(cell)}</td>" if c in right else f"<td>{escape(cell)}</td>"
            for c, cell in enumerate(row)
        )
        + "</tr>"
        for row in rows
    )
    caption_html = f"<caption>{escape(caption)}</caption>" if caption else ""
    return f"<table>{caption_html}<thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def definitions(items: Iterable[tuple[str, object]]) -> str:
    """Name–value pairs as a definition list (values escaped)."""
    return "<dl>" + "".join(f"<dt>{escape(k)}</dt><dd>{escape(v)}</dd>" for k, v in items) + "</dl>"


def png_image(data: bytes, alt: str) -> str:
    """A PNG inside the page, as base64 data."""
    encoded = base64.b64encode(data).decode("ascii")
    return f"<img class='static' alt='{escape(alt)}' src='data:image/png;base64,{encoded}'>"


@dataclass
class Section:
    """One part of a report: a heading and its HTML body (already escaped)."""

    title: str
    body: str
    anchor: str = ""
    screen_only: bool = False


@dataclass
class Report:
    """A report being built: a title, sections in order, interactive figures.

    Attributes
    ----------
    title : str
        The page's title and first heading.
    summary : str
        One line under the title (escaped when rendered).
    sections : list of Section
        The sections, in order.
    """

    title: str
    summary: str = ""
    sections: list[Section] = field(default_factory=list)
    _figures: int = field(default=0, init=False, repr=False)

    def add(self, title: str, body: str, *, screen_only: bool = False) -> None:
        """Add a section whose ``body`` is HTML (escape text with `escape`)."""
        anchor = "".join(c if c.isalnum() else "-" for c in title.lower()).strip("-") or f"s{len(self.sections)}"
        self.sections.append(Section(title, body, anchor, screen_only))

    def figure(self, figure: Any, *, static_png: bytes | None = None, alt: str = "") -> str:
        """The HTML of an interactive Plotly figure (zoom, pan, values on
        hover), with a static picture shown instead when printed.

        Returns the markup to put into a section's body; the library's
        script is embedded once in the page, not with each figure.
        """
        pio = require("plotly.io", "report", "writing a report")
        self._figures += 1
        interactive = pio.to_html(
            figure,
            include_plotlyjs=False,
            full_html=False,
            include_mathjax=False,
            div_id=f"figure-{self._figures}",
            default_height="560px",
            config={"displaylogo": False, "responsive": True, "scrollZoom": True},
        )
        printed = "" if static_png is None else f"<div class='print-only'>{png_image(static_png, alt)}</div>"
        return f"<div class='figure screen-only'>{interactive}</div>{printed}"

    def render(self, provenance: Provenance, options: Mapping[str, object] | None = None) -> str:
        """The whole page.

        Parameters
        ----------
        provenance : Provenance
            The software, version, date, command line and input files, shown last.
        options : mapping, optional
            The options the run was given, by name.

        Returns
        -------
        str
            One HTML document with nothing to fetch.
        """
        script = ""
        if self._figures:
            plotly_offline = require("plotly.offline", "report", "writing a report")
            # "</script" inside the library's text would end the element early.
            script = "<script>" + plotly_offline.get_plotlyjs().replace("</script", "<\\/script") + "</script>"
        sections = list(self.sections)
        sections.append(Section("Provenance", provenance_html(provenance, options), "provenance"))
        contents = "".join(f"<li><a href='#{s.anchor}'>{escape(s.title)}</a></li>" for s in sections)
        body = "".join(
            f"<section id='{s.anchor}'{' class="screen-only"' if s.screen_only else ''}>"
            f"<h2>{escape(s.title)}</h2>{s.body}</section>"
            for s in sections
        )
        return (
            "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
            "<meta name='viewport' content='width=device-width, initial-scale=1'>"
            # Nothing may leave the page: no fetch, no frame, no form, no font from elsewhere.
            "<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; "
            "script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data: blob:; "
            'font-src data:">'
            f"<title>{escape(self.title)}</title><style>{STYLESHEET}</style>{script}</head><body>"
            f"<header><h1>{escape(self.title)}</h1><p class='summary'>{escape(self.summary)}</p>"
            f"<p class='made'>{escape(provenance.software)} {escape(provenance.version)}, {escape(provenance.created)}"
            f"</p><nav class='screen-only'><ul>{contents}</ul></nav></header>"
            f"<main>{body}</main></body></html>\n"
        )

    def write(
        self,
        path: str | os.PathLike[str],
        provenance: Provenance,
        options: Mapping[str, object] | None = None,
    ) -> None:
        """Write the page to ``path`` whole, or leave it as it was.

        Raises
        ------
        InputError
            ``path`` is one of the run's inputs.
        OSError
            The file cannot be written.
        """
        check_report_path(path, [i.path for i in provenance.inputs])
        write_text_atomically(path, self.render(provenance, options))


def check_report_path(path: str | os.PathLike[str], inputs: Iterable[str | os.PathLike[str] | None]) -> None:
    """Refuse a report path that would replace one of the run's inputs, or that is a folder.

    Raises
    ------
    InputError
    """
    target = Path(path)
    if target.is_dir():
        raise InputError(f"--report {path}: a folder, not a file")
    if target.suffix.lower() not in (".html", ".htm"):
        raise InputError(f"--report {path}: name the report .html")
    for given in inputs:
        if given is None or not os.path.exists(given) or not target.exists():
            continue
        if os.path.samefile(given, target):
            raise InputError(f"--report {path} is one of the inputs: it would be replaced")


def provenance_html(provenance: Provenance, options: Mapping[str, object] | None) -> str:
    """Software, version, date, command line, input files with SHA-256, and the options."""
    made = definitions(
        [
            ("software", f"{provenance.software} {provenance.version}"),
            ("date", provenance.created),
            ("command", provenance.command or "(through the Python interface)"),
        ]
    )
    files = table(["input file", "SHA-256"], [(i.path, i.sha256) for i in provenance.inputs], numeric=())
    shown = "" if not options else "<h3>Options</h3>" + definitions((k, _option_text(v)) for k, v in options.items())
    return made + (files if provenance.inputs else "") + shown


def _option_text(value: object) -> str:
    if isinstance(value, (list, tuple)):
        return " ".join(str(v) for v in value)
    return str(value)
