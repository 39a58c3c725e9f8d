"""Where a result came from: the software and its version, the command line,
the date, and each input file by the path the user gave and its SHA-256.

Every machine-readable output (a command's JSON, a batch's Parquet
metadata, a written CIF, a report) carries one `Provenance`, so that a
result can be traced to the exact files and the exact program that made it.
Paths are kept as given: a relative path stays relative, and nothing adds
an absolute path the user did not type.
"""

from __future__ import annotations

import datetime
import functools
import hashlib
import json
import os
import shlex
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

SOFTWARE = "peakforge"
"""The distribution's name, as installed and as cited."""

METADATA_KEY = b"peakforge.provenance"
"""Key of the provenance JSON in a Parquet dataset's schema metadata."""

_CHUNK = 1 << 20


__all__ = ["InputFile", "Provenance", "file_sha256", "software_version"]


@functools.cache
def software_version() -> str:
    """The installed distribution's version ("0.1.0"), or "unknown" when the
    package runs from a source tree that was never installed."""
    from importlib import metadata  # some 20 ms: only when a version is written

    try:
        return metadata.version(SOFTWARE)
    except metadata.PackageNotFoundError:
        return "unknown"


def file_sha256(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file's bytes, as 64 hexadecimal digits.

    A folder (a pattern library) is hashed as the list of its files, sorted
    by relative path, each with its own SHA-256: the same files give the
    same digest wherever the folder lies.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    str

    Raises
    ------
    OSError
        The file cannot be read.
    """
    target = Path(path)
    if target.is_dir():
        listing = hashlib.sha256()
        for member in sorted(p for p in target.rglob("*") if p.is_file() and not p.name.startswith(".")):
            relative = member.relative_to(target).as_posix()
            listing.update(f"{file_sha256(member)}  {relative}\n".encode("utf-8", "surrogateescape"))
        return listing.hexdigest()
    digest = hashlib.sha256()
    with open(target, "rb") as stream:
        while chunk := stream.read(_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


@dataclass(frozen=True)
class InputFile:
    """One input: its path exactly as given, and the SHA-256 of its contents."""

    path: str
    sha256: str

    def to_dict(self) -> dict[str, str]:
        return {"path": self.path, "sha256": self.sha256}


def _now() -> str:
    return datetime.datetime.now(datetime.UTC).replace(microsecond=0).isoformat().replace("+00:00", "Z")


@dataclass(frozen=True)
class Provenance:
    """What made a result.

    Attributes
    ----------
    command : str
        The command line, as a shell would take it ("peakforge fit scan.xy
        corundum.cif"); empty for a result made through the API.
    inputs : tuple of InputFile
        Every input file, by its path as given, with its SHA-256.
    created : str
        When, in UTC (ISO 8601, "2026-12-08T01:02:03Z").
    software, version : str
        The program and its version.
    """

    command: str = ""
    inputs: tuple[InputFile, ...] = ()
    created: str = field(default_factory=_now)
    software: str = SOFTWARE
    version: str = field(default_factory=software_version)

    @classmethod
    def of(
        cls,
        paths: Iterable[str | os.PathLike[str] | None],
        arguments: Sequence[str] | None = None,
        named: Mapping[str, str | os.PathLike[str]] | None = None,
        *,
        skip_missing: bool = False,
    ) -> Provenance:
        """The provenance of a run reading ``paths`` (None entries and
        standard input skipped, repeats counted once), started with
        ``arguments`` (the command's arguments after ``peakforge``).

        ``named`` adds inputs the user named otherwise than by a path (a
        bundled example: "example:silicon"), under that name. With
        ``skip_missing`` an input that no longer exists is left out (a
        command that went on without an unreadable file it reported).

        Raises
        ------
        OSError
            An input cannot be read.
        """
        seen: dict[str, InputFile] = {}
        for path in paths:
            if path is None:
                continue
            shown = os.fsdecode(path)
            if shown in seen or shown == "-" or (skip_missing and not os.path.exists(path)):
                continue
            seen[shown] = InputFile(shown, file_sha256(path))
        for label, path in (named or {}).items():
            seen.setdefault(label, InputFile(label, file_sha256(path)))
        command = "" if arguments is None else shlex.join([SOFTWARE, *arguments])
        return cls(command, tuple(seen.values()))

    def to_dict(self) -> dict[str, Any]:
        """The provenance as JSON takes it."""
        return {
            "software": self.software,
            "version": self.version,
            "command": self.command,
            "created": self.created,
            "inputs": [i.to_dict() for i in self.inputs],
        }

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), ensure_ascii=False)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Provenance:
        """The provenance `to_dict` wrote."""
        inputs = tuple(InputFile(str(i["path"]), str(i["sha256"])) for i in data.get("inputs", ()))
        return cls(
            str(data.get("command", "")),
            inputs,
            str(data.get("created", "")),
            str(data.get("software", SOFTWARE)),
            str(data.get("version", "unknown")),
        )

    def comment_lines(self) -> list[str]:
        """The provenance as lines for a text file's comments (a CIF's ``#``)."""
        lines = [f"written by {self.software} {self.version} on {self.created}"]
        if self.command:
            lines.append(f"command: {self.command}")
        lines += [f"input: {i.path} sha256 {i.sha256}" for i in self.inputs]
        return lines
