"""XML of scan files read as a stream of elements: a document is parsed as it
is read and each element let go once used, so that memory follows what is
kept (at most ``MAX_POINTS`` points), not the size of the document.

Every way the parser can refuse a document (malformed, an encoding it does
not know, entities past its amplification limit) ends in one line naming
the file.
"""

from __future__ import annotations

import io
from collections.abc import Iterator
from typing import BinaryIO, Literal
from xml.etree import ElementTree

from ..errors import InputError
from .limits import MAX_POINTS


def local(tag: str) -> str:
    """An XML tag without its namespace."""
    return tag.rsplit("}", 1)[-1]


def find(element: ElementTree.Element, *names: str) -> ElementTree.Element | None:
    """First descendant whose tag (without namespace) is the last name, under the others in order."""
    found: ElementTree.Element | None = element
    for wanted in names:
        if found is None:
            return None
        found = next((e for e in found.iter() if local(e.tag) == wanted and e is not found), None)
    return found


def text_of(element: ElementTree.Element | None) -> str:
    """An element's text, empty when the element or its text is missing."""
    return (element.text or "") if element is not None else ""


def parse_xml(data: bytes, name: str, what: str) -> ElementTree.Element:
    """The root of a small XML document (a scan's conditions), or one line saying why it is not one."""
    root = None
    for _, element in xml_events(data, name, what, ("start",)):
        root = element if root is None else root
    if root is None:
        raise InputError(f"{name}: not a readable {what} (no element)")
    return root


def xml_events(
    source: bytes | BinaryIO, name: str, what: str, events: tuple[Literal["start", "end"], ...] = ("start", "end")
) -> Iterator[tuple[str, ElementTree.Element]]:
    """``(event, element)`` pairs of the document in ``source`` as it is parsed.

    An element's children and text are complete at its "end" event; clear
    an element there (``element.clear()``) once its contents are used.

    Raises
    ------
    InputError
        The document is not readable XML (naming ``name`` and ``what`` it should be).
    """
    stream = io.BytesIO(source) if isinstance(source, bytes) else source
    try:
        yield from ElementTree.iterparse(stream, events)
    except InputError:
        raise
    except (ElementTree.ParseError, LookupError, ValueError) as exc:
        # LookupError: an encoding the parser does not know; ValueError: bytes it cannot decode.
        raise InputError(f"{name}: not a readable {what} ({' '.join(str(exc).split())})") from None


def bounded_numbers(text: str, name: str, what: str) -> list[float]:
    """The whitespace-separated numbers of ``text``; more than ``MAX_POINTS`` are refused
    before they are split out (a list of strings takes many times the text's memory)."""
    fields = text.split(maxsplit=MAX_POINTS)
    if len(fields) > MAX_POINTS:
        raise InputError(f"{name}: {what} holds more than {MAX_POINTS} values, more points than a scan holds")
    try:
        return [float(f) for f in fields]
    except ValueError:
        bad = next(f for f in fields if not _is_number(f))
        raise InputError(f"{name}: {what} holds {bad[:40]!r}, which is not a number") from None


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
