"""The structures a batch run computes, from files, folders and lists of paths.

Every structure gets an ``id``, the key of its row: for a file named on the
command line the path as given, for a file found in a folder its path
relative to that folder, for a line of a list file the line as written.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path, PurePath

from ..errors import InputError

LIST_SUFFIXES = (".txt", ".list", ".lst")
"""Files with these suffixes list structure paths, one a line; anything else is a structure."""

MAX_LIST_LINE = 16384
"""Longest line of a list of paths (four times the longest path Linux takes)."""


@dataclass(frozen=True, slots=True)  # a million of them fit in a few hundred MB
class Source:
    id: str
    path: str  # absolute, so that workers with another working folder find it
    size: int  # bytes: a cheap stand-in for the work the structure takes


def _id(text: str) -> str:
    """``text`` as valid UTF-8 (Parquet strings must be): undecodable bytes of
    a file name become backslash escapes, the same on every listing."""
    return os.fsencode(text).decode("utf-8", "backslashreplace")


FileKey = tuple[int, int] | None
"""A file's device and inode (links followed), None for one that cannot be reached."""


def _size(path: str) -> int:
    return _stat(path)[0]


def _stat(path: str) -> tuple[int, FileKey]:
    try:
        info = os.stat(path)
    except OSError:
        return 0, None  # the worker reports what is wrong with it as an error row
    return info.st_size, (info.st_dev, info.st_ino)


def _walk(folder: str, warnings: list[str]) -> Iterator[tuple[str, int, FileKey]]:
    """Paths, sizes and file keys of the .cif files under ``folder``, in sorted order.

    Links are followed, but each real folder is searched once: a link back
    to a folder being searched (a loop) or to one already searched is
    skipped with a warning, so that no file is listed twice or without end.
    """
    info = os.stat(folder)
    searched = {(info.st_dev, info.st_ino): folder}
    yield from _walk_below(folder, searched, [folder], warnings)


def _walk_below(
    folder: str, searched: dict[tuple[int, int], str], ancestors: list[str], warnings: list[str]
) -> Iterator[tuple[str, int, FileKey]]:
    with os.scandir(folder) as entries:
        found = sorted(entries, key=lambda entry: entry.name)
    for entry in found:
        try:
            is_folder = entry.is_dir()
            key = (entry.stat().st_dev, entry.stat().st_ino) if is_folder else None
        except OSError as exc:  # a link to itself, or to nothing
            if entry.is_symlink():
                warnings.append(f"{entry.path}: a link that cannot be followed ({exc.strerror or exc}), skipped")
                continue
            raise
        if key is not None:
            seen = searched.get(key)
            if seen is not None:
                why = "a loop back to" if seen in ancestors else "the same folder as"
                warnings.append(f"{entry.path}: {why} {seen}, skipped")
                continue
            searched[key] = entry.path
            yield from _walk_below(entry.path, searched, [*ancestors, entry.path], warnings)
        elif entry.name.lower().endswith(".cif") and entry.is_file():
            info = entry.stat()
            yield entry.path, info.st_size, (info.st_dev, info.st_ino)


def _from_folder(argument: str, warnings: list[str]) -> list[tuple[Source, FileKey]]:
    root = os.path.abspath(argument)
    try:
        found = [
            (Source(_id(PurePath(os.path.relpath(path, root)).as_posix()), path, size), key)
            for path, size, key in _walk(root, warnings)
        ]
    except OSError as exc:
        raise InputError(f"{exc.filename or argument}: cannot list: {exc.strerror or exc}") from None
    if not found:
        raise InputError(f"{argument}: no .cif files in this folder or below")
    return found


def _from_list(argument: str) -> list[tuple[Source, FileKey]]:
    base = os.path.dirname(os.path.abspath(argument))
    lines: list[str] = []
    try:
        with open(argument, encoding="utf-8") as listing:
            # Line by line with a bound, so that a list that is no text (/dev/zero) cannot fill memory.
            while line := listing.readline(MAX_LIST_LINE + 1):
                if len(line) > MAX_LIST_LINE or "\0" in line:
                    raise InputError(
                        f"{argument}: line {len(lines) + 1} is no path (binary data or longer than "
                        f"{MAX_LIST_LINE} characters): not a list of structure files"
                    )
                lines.append(line.strip())
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{argument}: cannot read the list: {getattr(exc, 'strerror', None) or exc}") from None
    found = []
    for line in lines:
        if line and not line.startswith("#"):
            path = os.path.normpath(os.path.join(base, line))
            size, key = _stat(path)
            found.append((Source(_id(line), path, size), key))
    if not found:
        raise InputError(f"{argument}: the list names no structures")
    return found


def list_sources(arguments: Iterable[str | os.PathLike[str]], warnings: list[str] | None = None) -> list[Source]:
    """Every structure the arguments name, each once.

    Parameters
    ----------
    arguments : iterable of path-like
        CIF files, folders (searched recursively, links followed once) and lists of paths.
    warnings : list of str, optional
        Receives one line for each link skipped in a folder (a loop, a folder reached twice,
        a link that cannot be followed) and for each file listed again (given twice, or
        reached again through a link), which is computed once.

    Returns
    -------
    list of Source

    Raises
    ------
    InputError
        An argument that does not exist, a folder without .cif files, an
        empty list, or two different files given the same id.
    """
    if warnings is None:
        warnings = []
    sources: dict[str, Source] = {}
    files: dict[tuple[int, int], Source] = {}
    for argument in (os.fspath(a) for a in arguments):
        if os.path.isdir(argument):
            found = _from_folder(argument, warnings)
        elif not os.path.exists(argument):
            raise InputError(f"{argument}: no such file or folder")
        elif Path(argument).suffix.lower() in LIST_SUFFIXES:
            found = _from_list(argument)
        else:
            path = os.path.abspath(argument)
            size, key = _stat(path)
            found = [(Source(_id(PurePath(argument).as_posix()), path, size), key)]
        for source, key in found:
            seen = sources.setdefault(source.id, source)
            if seen.path != source.path:
                raise InputError(
                    f"two structures have the id {source.id!r} ({seen.path} and {source.path}): "
                    "give their common folder instead"
                )
            same = None if key is None else files.setdefault(key, source)
            if same is not None and same is not source:
                # One real file, one row: the file again through a link, or given twice.
                if seen is source:
                    del sources[source.id]
                warnings.append(f"{source.path}: the same file as {same.path} (a link, or given twice), computed once")
    if not sources:
        raise InputError("no structures to compute")
    return list(sources.values())
