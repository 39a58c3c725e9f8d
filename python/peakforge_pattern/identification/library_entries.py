"""Library rows as identification needs them: ids, names, element sets and
peaks as flat arrays, streamed a chunk at a time, the element filter applied
with Arrow compute (no Python loop over rows).

Libraries written before the identification columns existed still serve:
elements come from the formula, and |F|²·multiplicity from the absolute
intensity divided by the Lorentz–polarisation factor it was computed with.
"""

from __future__ import annotations

import math
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from ..batch.library import Library
from ..batch.rows import OK
from ..diffraction.engine_route import lorentz_polarisation
from ..errors import InputError
from ..structures.structure import atomic_number_of
from .scoring import EntryPeaks

CHUNK_ROWS = 1024
"""Library rows held at once while scoring: memory is bounded by this many entries' peaks."""


@dataclass(frozen=True, eq=False)
class EntryChunk:
    """Some library entries: row ids, names (the CIF's mineral or common
    name, else the file's stem), cell formulas (None where unknown), paths
    of their structures (None where unknown), a number naming each entry's
    set of elements (the same in every process) and their peaks."""

    ids: list[str]
    names: list[str]
    formulas: list[str | None]
    paths: list[str | None]
    element_keys: np.ndarray
    peaks: EntryPeaks

    def __len__(self) -> int:
        return len(self.ids)


def check_elements(symbols: Sequence[str] | None, what: str) -> list[str] | None:
    """Element symbols as the library writes them ("Zn", not "zn"); InputError for an unknown one."""
    if symbols is None:
        return None
    import gemmi

    checked = []
    for symbol in symbols:
        text = str(symbol).strip()
        if not text:
            continue
        try:
            checked.append(gemmi.Element(atomic_number_of(text[:1].upper() + text[1:].lower())).name)
        except InputError:
            raise InputError(f"{what}: {text!r} is not an element symbol") from None
    return checked


def library_d_range(library: Library) -> tuple[float, float]:
    """The spacings (Å) the library's patterns cover: from its wavelength and 2θ range."""
    lam = library.options.request.wavelength
    lo, hi = library.options.request.two_theta_range
    d_min = lam / (2.0 * math.sin(math.radians(min(hi, 179.999)) / 2.0))
    d_max = lam / (2.0 * math.sin(math.radians(lo) / 2.0)) if lo > 0.0 else math.inf
    return d_min, d_max


def _elements_column(batch: pa.RecordBatch) -> pa.Array:
    """Each row's element symbols: the elements column, or split from the formula."""
    names = batch.schema.names
    if "elements" in names:
        return batch.column("elements")
    words = pc.split_pattern(batch.column("formula"), " ")
    return pa.ListArray.from_arrays(words.offsets, pc.replace_substring_regex(words.flatten(), r"[0-9.]+$", ""))


def element_keys(elements: pa.Array) -> np.ndarray:
    """A stable 32-bit checksum of each row's element symbols (only the distinct sets are hashed)."""
    joined = np.asarray(pc.fill_null(pc.binary_join(elements, " "), "").to_numpy(zero_copy_only=False), dtype=object)
    distinct, inverse = np.unique(joined.astype(str), return_inverse=True)
    return np.array([zlib.crc32(text.encode()) for text in distinct], dtype=np.int64)[inverse]


def element_mask(elements: pa.Array, allowed: Sequence[str] | None, excluded: Sequence[str] | None) -> np.ndarray:
    """Rows whose elements are all allowed (when ``allowed`` is given) and none excluded."""
    count = len(elements)
    keep = np.ones(count, dtype=bool)
    if count == 0 or (allowed is None and not excluded):
        return keep
    flat = elements.flatten()
    owners = np.asarray(pc.list_parent_indices(elements))
    bad = np.zeros(len(flat), dtype=bool)
    if allowed is not None:
        bad |= ~np.asarray(pc.fill_null(pc.is_in(flat, pa.array(list(allowed), pa.string())), False))
    if excluded:
        bad |= np.asarray(pc.fill_null(pc.is_in(flat, pa.array(list(excluded), pa.string())), False))
    keep[np.unique(owners[bad])] = False
    keep &= np.asarray(pc.is_valid(elements))
    return keep


def _flat(column: pa.Array) -> tuple[np.ndarray, np.ndarray]:
    """Offsets (from 0) and values of a list column, nulls as empty lists."""
    column = pc.fill_null(column, pa.scalar([], column.type))
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    offsets = np.asarray(column.offsets, dtype=np.int64)
    values = np.asarray(column.flatten(), dtype=float)
    return offsets - offsets[0], values


def _entry_peaks(batch: pa.RecordBatch, library: Library) -> EntryPeaks:
    offsets, d = _flat(batch.column("d"))
    if "structure_intensity" in batch.schema.names:
        weight = _flat(batch.column("structure_intensity"))[1]
    else:
        two_theta = _flat(batch.column("two_theta"))[1]
        absolute = _flat(batch.column("absolute_intensity"))[1]
        request = library.options.request
        factor = lorentz_polarisation(two_theta, request.radiation, request.monochromator_angle)
        weight = absolute / factor
    return EntryPeaks(offsets, d, weight)


def needed_columns(library: Library) -> list[str]:
    """Columns scoring reads: only those, whatever else the library holds."""
    columns = ["id", "d"]
    columns += ["structure_intensity"] if library.has("structure_intensity") else ["two_theta", "absolute_intensity"]
    columns += ["elements"] if library.has("elements") else ["formula"]
    columns += [c for c in ("formula", "path", "name") if library.has(c) and c not in columns]
    library.check_columns(columns)
    return columns


def stream_entries(
    library: Library,
    *,
    allowed: Sequence[str] | None = None,
    excluded: Sequence[str] | None = None,
    rows: int = CHUNK_ROWS,
    parts: Sequence[str] | None = None,
) -> Iterator[EntryChunk]:
    """The library's ok rows passing the element filter, ``rows`` at a time."""
    columns = needed_columns(library)
    for batch in library.batches(["status", *columns], None, rows, parts):
        # One filter for status and elements: filtering copies every list column.
        keep = element_mask(_elements_column(batch), allowed, excluded)
        keep &= np.asarray(pc.fill_null(pc.equal(batch.column("status"), OK), False))
        if not keep.any():
            continue
        if not keep.all():
            batch = batch.filter(pa.array(keep))
        ids = batch.column("id").to_pylist()
        formulas = batch.column("formula").to_pylist() if "formula" in batch.schema.names else [None] * len(ids)
        paths = batch.column("path").to_pylist() if "path" in batch.schema.names else [None] * len(ids)
        given = batch.column("name").to_pylist() if "name" in batch.schema.names else [None] * len(ids)
        names = [n or entry_stem(i) for n, i in zip(given, ids)]
        yield EntryChunk(
            ids, names, formulas, paths, element_keys(_elements_column(batch)), _entry_peaks(batch, library)
        )


def entry_stem(entry_id: str) -> str:
    """An entry's file name without folders and suffix ("cod/1010942.cif" -> "1010942")."""
    name = entry_id.replace("\\", "/").rsplit("/", 1)[-1]
    for suffix in (".gz", ".cif"):
        if name.lower().endswith(suffix) and len(name) > len(suffix):
            name = name[: -len(suffix)]
    return name
