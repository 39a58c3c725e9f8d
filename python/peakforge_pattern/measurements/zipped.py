"""Members of the zip archives some instruments write (.brml, .rasx), read
with a bound on their unpacked size so that a small hostile archive cannot
unpack into all of memory, and a damaged one ends in one line naming it."""

from __future__ import annotations

import io
import lzma
import zipfile
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from typing import BinaryIO

from ..errors import InputError
from .limits import MAX_BYTES, size_text

# What unpacking a damaged member raises: the zip module's own errors, and the
# decompressors' (a deflate stream that is not one is zlib.error).
_DAMAGED = (zipfile.BadZipFile, OSError, ValueError, NotImplementedError, EOFError, zlib.error, lzma.LZMAError)


def open_archive(data: bytes, name: str) -> zipfile.ZipFile:
    """The archive in ``data``, or one line saying it is not a readable one."""
    try:
        return zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, OSError, ValueError) as exc:
        raise InputError(f"{name}: not a readable zip archive ({exc})") from None


class _BoundedMember(io.RawIOBase):
    """A member's unpacked bytes as they are read, refused past ``MAX_BYTES``
    whatever its header claims, and a damaged stream refused by name."""

    def __init__(self, stream: BinaryIO, member: str, name: str) -> None:
        self._stream, self._member, self._name = stream, member, name
        self._count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        try:
            data = self._stream.read(len(buffer))
        except _DAMAGED as exc:
            raise InputError(f"{self._name}: cannot unpack {self._member} ({exc}): the archive is damaged") from None
        self._count += len(data)
        if self._count > MAX_BYTES:
            raise InputError(
                f"{self._name}: {self._member} unpacks to more than {size_text(MAX_BYTES)}, more than a scan holds"
            )
        buffer[: len(data)] = data
        return len(data)


@contextmanager
def open_member(archive: zipfile.ZipFile, member: str, name: str) -> Iterator[BinaryIO]:
    """One member as a stream of its unpacked bytes (bounded, damage refused by name)."""
    try:
        stream = archive.open(member)
    except KeyError:
        raise InputError(f"{name}: the archive has no {member}") from None
    except _DAMAGED as exc:
        raise InputError(f"{name}: cannot unpack {member} ({exc})") from None
    with stream:
        yield io.BufferedReader(_BoundedMember(stream, member, name))  # type: ignore[arg-type]


def read_member(archive: zipfile.ZipFile, member: str, name: str) -> bytes:
    """One member, unpacked, refused past ``MAX_BYTES`` whatever its header claims."""
    with open_member(archive, member, name) as stream:
        return stream.read()
