"""Small documents of plain values (requests, recipes) as TOML or JSON files,
chosen by the file's suffix: ``.toml`` is TOML, anything else JSON.

TOML is read with the standard library's ``tomllib`` and written here: the
documents hold only tables, strings, numbers, booleans and lists of them.
TOML has no null, so a None value is left out (its field's default is None),
and so is an empty table (its field's default is empty).
"""

from __future__ import annotations

import json
import math
import os
import re
import tomllib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ..atomic_file import write_text_atomically
from ..errors import InputError

MAX_DOCUMENT_BYTES = 64 * 1024 * 1024
"""Largest request or recipe file read (a fit's JSON with its curves fits easily)."""

_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")


def is_toml(path: str | os.PathLike[str]) -> bool:
    """Whether a file is TOML (by its suffix)."""
    return Path(path).suffix.lower() == ".toml"


def read_document(path: str | os.PathLike[str], what: str) -> dict[str, Any]:
    """A TOML or JSON file's top-level table.

    Parameters
    ----------
    path : path
        The file.
    what : str
        What the file holds, for messages ("recipe").

    Raises
    ------
    InputError
        Unreadable, too large, not TOML/JSON, or not a table at the top.
    """
    try:
        with open(path, "rb") as stream:
            data = stream.read(MAX_DOCUMENT_BYTES + 1)
    except OSError as exc:
        raise InputError(f"{path}: cannot read the {what}: {exc.strerror or exc}") from None
    if len(data) > MAX_DOCUMENT_BYTES:
        raise InputError(f"{path}: larger than {MAX_DOCUMENT_BYTES // 2**20} MiB, too large for a {what}")
    try:
        text = data.decode("utf-8")
        document = tomllib.loads(text) if is_toml(path) else json.loads(text)
    except (UnicodeDecodeError, tomllib.TOMLDecodeError, json.JSONDecodeError, RecursionError) as exc:
        kind = "TOML" if is_toml(path) else "JSON"
        raise InputError(f"{path}: not a {what} ({kind}): {str(exc).splitlines()[0] if str(exc) else exc}") from None
    if not isinstance(document, dict):
        raise InputError(f"{path}: not a {what}: the file holds no table of values")
    return document


def write_document(path: str | os.PathLike[str], document: Mapping[str, Any]) -> None:
    """Write a document as TOML or JSON (by the suffix), whole or not at all."""
    text = toml_text(document) if is_toml(path) else json.dumps(document, indent=2) + "\n"
    write_text_atomically(path, text)


def toml_text(document: Mapping[str, Any]) -> str:
    """A document as TOML text: values first, then each table and list of tables.

    None values are left out (TOML has no null).

    Raises
    ------
    TypeError
        A value TOML cannot hold.
    """
    lines: list[str] = []
    _table(lines, document, ())
    return "\n".join(lines).strip("\n") + "\n"


def _is_table_list(value: object) -> bool:
    return isinstance(value, (list, tuple)) and bool(value) and all(isinstance(v, Mapping) for v in value)


def _table(lines: list[str], table: Mapping[str, Any], path: tuple[str, ...]) -> None:
    nested = []
    for key, value in table.items():
        if value is None or (isinstance(value, Mapping) and not value):
            continue  # an empty table reads back as its default, as a missing one does
        if isinstance(value, Mapping) or _is_table_list(value):
            nested.append((key, value))
        else:
            lines.append(f"{_key(key)} = {_value(value)}")
    for key, value in nested:
        inner = (*path, _key(key))
        if isinstance(value, Mapping):
            lines += ["", f"[{'.'.join(inner)}]"]
            _table(lines, value, inner)
        else:
            for item in value:
                lines += ["", f"[[{'.'.join(inner)}]]"]
                _table(lines, item, inner)


def _key(key: object) -> str:
    text = str(key)
    return text if _BARE_KEY.fullmatch(text) else _string(text)


def _string(text: str) -> str:
    # JSON's escapes are TOML's; DEL is the one control character JSON leaves raw.
    return json.dumps(text, ensure_ascii=False).replace("\x7f", "\\u007f")


def _value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return _string(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_value(v) for v in value if v is not None) + "]"
    if isinstance(value, Mapping):
        return "{" + ", ".join(f"{_key(k)} = {_value(v)}" for k, v in value.items() if v is not None) + "}"
    raise TypeError(f"TOML cannot hold {type(value).__name__} {value!r}")
