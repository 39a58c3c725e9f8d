"""Output files that appear whole or not at all.

Everything the package writes goes first to a temporary file beside its
destination and is renamed over it only once complete, so a full disk, a
killed process or an error half-way leaves an existing file untouched and
never a truncated one.
"""

from __future__ import annotations

import contextlib
import contextvars
import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path

from .errors import InputError

# The files a command reads, by (device, inode): while it runs, no output replaces one of them.
_inputs: contextvars.ContextVar[frozenset[tuple[int, int]]] = contextvars.ContextVar("inputs", default=frozenset())


def file_identity(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """(device, inode) of the regular file at ``path`` (links followed), None if there is none."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


@contextlib.contextmanager
def inputs_kept(paths: Iterable[str | os.PathLike[str]]) -> Iterator[None]:
    """While the block runs, writing over any of these files is refused (an InputError)."""
    kept = {identity for path in paths if (identity := file_identity(path)) is not None}
    token = _inputs.set(_inputs.get() | kept)
    try:
        yield
    finally:
        _inputs.reset(token)


def refuse_replacing_input(path: str | os.PathLike[str]) -> None:
    """Raise InputError if ``path`` is a file kept by ``inputs_kept``."""
    identity = file_identity(path)
    if identity is not None and identity in _inputs.get():
        raise InputError(f"{os.fspath(path)}: is an input of this run; an output never replaces it (write elsewhere)")


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Yield a temporary path in the destination's folder, with its suffix.

    Write the file there; when the block ends without an exception it is
    renamed to ``path`` (replacing any file of that name), otherwise it is
    removed and the exception goes on. A file the running command reads
    (``inputs_kept``) is not replaced: InputError.
    """
    target = Path(path)
    refuse_replacing_input(target)
    folder = target.parent
    fd, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=f".partial{target.suffix}", dir=folder)
    os.close(fd)
    temporary = Path(name)
    try:
        yield temporary
        # mkstemp makes the file private; give it the mode a plain open() would.
        os.chmod(temporary, 0o666 & ~_current_umask())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            temporary.unlink()
        raise


def write_text_atomically(path: str | os.PathLike[str], text: str, encoding: str = "utf-8") -> None:
    """Write ``text`` to ``path`` whole, or leave ``path`` as it was."""
    with atomic_path(path) as temporary:
        with open(temporary, "w", encoding=encoding, newline="") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())


def write_bytes_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    """Write ``data`` to ``path`` whole, or leave ``path`` as it was."""
    with atomic_path(path) as temporary:
        with open(temporary, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
