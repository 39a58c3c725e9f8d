"""Members of the zip archives some instruments write (.brml, .rasx), read
with a bound on their unpacked size so that a small hostile archive cannot
unpack into all of memory."""

from __future__ import annotations

import io
import zipfile

from ..errors import InputError
from .limits import MAX_BYTES, size_text


def open_archive(data: bytes, name: str) -> zipfile.ZipFile:
    """The archive in ``data``, or one line saying it is not a readable one."""
    try:
        return zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, OSError, ValueError) as exc:
        raise InputError(f"{name}: not a readable zip archive ({exc})") from None


def read_member(archive: zipfile.ZipFile, member: str, name: str) -> bytes:
    """One member, unpacked, refused past ``MAX_BYTES`` whatever its header claims."""
    try:
        with archive.open(member) as stream:
            data = stream.read(MAX_BYTES + 1)
    except KeyError:
        raise InputError(f"{name}: the archive has no {member}") from None
    except (zipfile.BadZipFile, OSError, ValueError, NotImplementedError, EOFError) as exc:
        raise InputError(f"{name}: cannot unpack {member} ({exc})") from None
    if len(data) > MAX_BYTES:
        raise InputError(f"{name}: {member} unpacks to more than {size_text(MAX_BYTES)}, more than a scan holds")
    return data
