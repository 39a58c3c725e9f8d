"""A batch run's output folder: a Parquet dataset of parts named by chunk.

What keeps it sound: a part appears whole or not at all (written to a hidden
temporary name, renamed when complete); one driver works on a folder at a
time (a lock file); a run refuses a folder computed with other options; and
on a cluster a part is renamed into place only while its run is the current
one, so that tasks a killed driver left running cannot add rows twice.
"""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Collection, Iterator
from pathlib import Path
from types import ModuleType

import pyarrow as pa
import pyarrow.parquet as pq

from ..atomic_file import atomic_path
from ..errors import InputError
from ..optional import require
from ..provenance import METADATA_KEY as PROVENANCE_KEY
from ..provenance import Provenance
from .options import RunOptions
from .parts import METADATA_FILE, PART_PREFIX, PART_SUFFIX, RUN_KEY, Superseded, write_part

__all__ = ["LOCK_FILE", "OutputFolder", "Superseded", "write_part"]  # the parts' writing, named here too
from .rows import ERROR, OPTIONS_KEY, schema

LOCK_FILE = "_peakforge.lock"


# The dataset reader and compute functions serve the driver only; imported
# when first used, so that a worker process (which imports this package)
# starts without them: pyarrow.dataset brings pandas, most of a second.
def datasets() -> ModuleType:
    """pyarrow.dataset."""
    return require("pyarrow.dataset", "batch", "peakforge batch")


def compute_functions() -> ModuleType:
    """pyarrow.compute."""
    return require("pyarrow.compute", "batch", "peakforge batch")


REMOVE_ADVICE = "remove it, and peakforge batch computes its structures again"


def damaged_part(part: str | os.PathLike[str], exc: BaseException) -> InputError:
    """The one-line error for a part that cannot be read (truncated, overwritten, not Parquet)."""
    why = " ".join(str(exc).split()) or type(exc).__name__
    return InputError(f"{os.fspath(part)}: damaged part of a batch output ({why}): {REMOVE_ADVICE}")


def check_part(part: str | os.PathLike[str], found: pa.Schema, options: RunOptions) -> None:
    """Refuse, naming it, a part that no batch run with ``options`` wrote.

    ``found`` is the part's own schema: a part without the rows' key columns
    or the run's options, or computed with other options, would add rows
    that are not the folder's patterns (or nulls for every column).
    """
    metadata = found.metadata or {}
    if OPTIONS_KEY not in metadata or not {"id", "status"} <= set(found.names):
        raise InputError(f"{os.fspath(part)}: not a part of a peakforge batch output: {REMOVE_ADVICE}")
    try:
        theirs = RunOptions.from_json(metadata[OPTIONS_KEY])
    except (InputError, ValueError, TypeError, KeyError) as exc:
        raise damaged_part(part, exc) from None
    if not theirs.same_patterns(options):
        raise InputError(
            f"{os.fspath(part)}: computed with other options ({theirs.describe()}) than its folder's "
            f"({options.describe()}): {REMOVE_ADVICE}"
        )


def read_part_columns(part: str | os.PathLike[str], options: RunOptions, columns: list[str] | None) -> pa.Table:
    """``columns`` (None: all) of one part, checked; a damaged or foreign part is refused by name."""
    try:
        with pq.ParquetFile(part) as source:
            check_part(part, source.schema_arrow, options)
            return source.read(columns=columns, use_threads=False)
    except (OSError, pa.ArrowException) as exc:
        raise damaged_part(part, exc) from None


def refuse_damaged_parts(parts: list[Path] | list[str], options: RunOptions) -> None:
    """Read every part whole (after a dataset read failed), refusing the first that cannot be read by name."""
    for part in parts:
        read_part_columns(part, options, None)


class OutputFolder:
    def __init__(self, out: str | os.PathLike[str]) -> None:
        self.path = Path(os.path.abspath(out))

    @property
    def cluster_lock(self) -> str:
        """Name of the Dask lock that orders part renames against a new run's start."""
        return f"peakforge-batch:{self.path}"

    def parts(self) -> list[Path]:
        return sorted(p for p in self.path.glob(f"{PART_PREFIX}*{PART_SUFFIX}") if p.is_file())

    def size(self) -> int:
        return sum(p.stat().st_size for p in self.parts())

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """Create the folder and hold it against a second driver.

        Refuses a folder holding files other than a batch output's (before
        leaving anything in it).
        """
        if self.path.is_dir():
            foreign = sorted(
                p.name
                for p in self.path.iterdir()
                if not (
                    p.name.startswith((".", "_")) or p.name.startswith(PART_PREFIX) and p.name.endswith(PART_SUFFIX)
                )
            )
            if foreign:
                raise InputError(
                    f"{self.path}: holds files that are not part of a batch output "
                    f"({', '.join(foreign[:3])}): choose another output folder"
                )
        try:
            self.path.mkdir(parents=True, exist_ok=True)
            handle = open(self.path / LOCK_FILE, "a+b")
        except OSError as exc:
            raise InputError(f"{self.path}: cannot write here: {exc.strerror or exc}") from None
        with handle:
            try:
                import fcntl
            except ImportError:  # no advisory locks on this system
                yield
                return
            try:
                fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise InputError(f"{self.path}: another batch run is writing here") from None
            yield

    def options(self) -> RunOptions | None:
        """Options of the run that wrote the folder, if any."""
        sources = [self.path / METADATA_FILE] if (self.path / METADATA_FILE).exists() else self.parts()[:1]
        for source in sources:
            try:
                metadata = pq.read_schema(source).metadata or {}
                return RunOptions.from_json(metadata[OPTIONS_KEY])
            except (OSError, pa.ArrowException, KeyError, ValueError) as exc:
                raise InputError(f"{source}: not a batch output ({exc})") from None
        return None

    def start(self, options: RunOptions, token: str, resume: bool, provenance: Provenance | None = None) -> None:
        """Make ``token``'s run the folder's owner, emptied first unless resuming.

        Refuses a folder computed with other options (unless it is emptied).
        The run's ``provenance`` goes into the dataset's metadata.
        """
        if not resume:
            for part in self.parts():
                part.unlink()
            (self.path / METADATA_FILE).unlink(missing_ok=True)
        existing = self.options()
        if existing is not None and not existing.same_patterns(options):
            raise InputError(
                f"{self.path} holds patterns computed with other options "
                f"({existing.describe()}; asked for {options.describe()}): "
                "use the same options, --overwrite, or another output folder"
            )
        metadata_schema = schema(options)
        metadata = {**metadata_schema.metadata, RUN_KEY: token.encode()}
        if provenance is not None:
            metadata[PROVENANCE_KEY] = provenance.to_json().encode()
        metadata_schema = metadata_schema.with_metadata(metadata)
        with atomic_path(self.path / METADATA_FILE) as temporary:
            pq.write_metadata(metadata_schema, temporary)

    def provenance(self) -> Provenance | None:
        """The provenance of the run that wrote the folder last, if it kept one."""
        try:
            metadata = pq.read_schema(self.path / METADATA_FILE).metadata or {}
        except (OSError, pa.ArrowException):
            return None
        text = metadata.get(PROVENANCE_KEY)
        return None if text is None else Provenance.from_dict(json.loads(text))

    def remove_temporaries(self) -> None:
        """Partial files that killed workers or drivers left behind."""
        for stale in self.path.glob(".*.partial*"):
            stale.unlink(missing_ok=True)

    def statuses(self, options: RunOptions) -> dict[str, str]:
        """Status of every row written so far, by id (reads two small columns only)."""
        found: dict[str, str] = {}
        for part in self.parts():  # part by part, so that a damaged one is named
            table = read_part_columns(part, options, ["id", "status"])
            found.update(zip(table.column("id").to_pylist(), table.column("status").to_pylist()))
        return found

    def drop_error_rows(self, options: RunOptions, ids: Collection[str]) -> int:
        """Remove the error rows of ``ids``, so that those structures count as not done.

        Each part is rewritten whole, so an interruption leaves every row
        either in place or dropped, never half a part.
        """
        pc = compute_functions()
        wanted = pa.array(list(ids), pa.string())
        dropped = 0
        for part in self.parts():
            marks = read_part_columns(part, options, ["id", "status"])
            redo = pc.and_(pc.equal(marks.column("status"), ERROR), pc.is_in(marks.column("id"), wanted))
            if not pc.any(redo).as_py():
                continue
            try:
                table = pq.read_table(part, schema=schema(options)).filter(pc.invert(redo))
            except (OSError, pa.ArrowException) as exc:
                raise damaged_part(part, exc) from None
            dropped += marks.num_rows - table.num_rows
            if table.num_rows:
                write_part(self.path, part.name[: -len(PART_SUFFIX)], table.schema, table.to_batches())
            else:
                part.unlink()
        return dropped
