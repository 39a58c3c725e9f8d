"""Reading a structure from a CIF file: cell, symmetry and atom sites.

Real files are often untidy; what can be read without guessing is read
with a warning (a tag written twice, stray non-UTF-8 bytes, labels standing
in for element symbols, '?' or '.' for unknown values), and what cannot is
refused with a message naming the tag or site.
"""

from __future__ import annotations

import gzip
import io
import math
import os
import re
import stat
import zlib
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

import gemmi
import numpy as np

from ..errors import InputError
from . import assembly, checks, displacements, symmetry
from .asymmetric_unit import ListedSites
from .cif_names import block_name
from .composition import composition_problems, parse_formula
from .elements import LAST_TABULATED_ELEMENT, is_tabulated
from .lattice import lattice_from_parameters

_GZIP_MAGIC = b"\x1f\x8b"
_NULL = ("?", ".")  # CIF's unknown and inapplicable values
MAX_CIF_BYTES = 256 * 2**20
"""The largest structure file read (also unpacked from gzip): the biggest
crystal structures take a few MB."""
_LEADING_LETTERS = re.compile(r"\s*([A-Za-z]{1,2})")

# Each CIF item under its DDL1 name and its DDLm (dotted) name; the first
# one present is read.
_OPERATIONS = ("_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz", "_space_group_symop.operation_xyz")
_HALL = ("_space_group_name_Hall", "_symmetry_space_group_name_Hall", "_space_group.name_Hall")
_HERMANN_MAUGUIN = (
    "_space_group_name_H-M_alt",
    "_symmetry_space_group_name_H-M",
    "_space_group.name_H-M_alt",
    "_space_group_name_H-M_ref",
)
_NUMBER = ("_space_group_IT_number", "_symmetry_Int_Tables_number", "_space_group.IT_number")
_ANISO_U = ("U_11", "U_22", "U_33", "U_12", "U_13", "U_23")
_ANISO_B = ("B_11", "B_22", "B_33", "B_12", "B_13", "B_23")


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _too_large(what: str) -> InputError:
    return InputError(f"cannot read: {what} more than {MAX_CIF_BYTES // 2**20} MB, more than any structure file")


def read_cif_bytes(stream: BinaryIO) -> bytes:
    """A structure file's bytes from an open stream (a file, a pipe, standard input).

    Refused as soon as it is plainly no CIF: a regular file larger than
    ``MAX_CIF_BYTES`` before reading it, binary data other than gzip from a
    device or pipe (``/dev/zero``) at its first block, anything else past
    ``MAX_CIF_BYTES``.
    """
    try:
        info: os.stat_result | None = os.fstat(stream.fileno())
    except (AttributeError, OSError, ValueError):  # no descriptor behind the stream
        info = None
    regular = info is not None and stat.S_ISREG(info.st_mode)
    if info is not None and regular and info.st_size > MAX_CIF_BYTES:
        raise _too_large(f"{info.st_size // 2**20} MB is")
    if regular and info is not None:
        # One read of the size the file has: asking for the limit would have
        # a 256 MB buffer allocated and returned to the system for every file.
        data = stream.read(info.st_size + 1)
        if len(data) > info.st_size:  # it grew since: read on, up to the limit
            data += _read_at_most(stream, MAX_CIF_BYTES + 1 - len(data))
    else:
        head = stream.read(65536)
        if b"\0" in head and not head.startswith(_GZIP_MAGIC):
            raise InputError("cannot read: binary data, not CIF text")
        data = head + _read_at_most(stream, MAX_CIF_BYTES + 1 - len(head))
    if len(data) > MAX_CIF_BYTES:
        raise _too_large("the file holds")
    return data


def _read_at_most(stream: BinaryIO, limit: int) -> bytes:
    """Up to ``limit`` bytes, read in blocks of a megabyte."""
    blocks = []
    while limit > 0:
        block = stream.read(min(limit, 2**20))
        if not block:
            break
        blocks.append(block)
        limit -= len(block)
    return b"".join(blocks)


def _decode(data: bytes) -> tuple[str, list[str]]:
    """Text of the file; bytes that are not UTF-8 are replaced, with a warning."""
    if data.startswith(_GZIP_MAGIC):
        try:
            with gzip.GzipFile(fileobj=io.BytesIO(data)) as unpacked:
                data = unpacked.read(MAX_CIF_BYTES + 1)  # bounded: a small file may unpack without end
        except (OSError, EOFError, zlib.error) as exc:
            raise InputError(f"cannot read: damaged gzip data ({_one_line(exc)})") from None
        if len(data) > MAX_CIF_BYTES:
            raise _too_large("the gzip data unpack to")
    try:
        return data.decode("utf-8-sig"), []
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        return (
            data.decode("utf-8-sig", errors="replace"),
            [f"line {line} is not UTF-8 text: its undecodable bytes were replaced"],
        )


def _structure_block(doc: gemmi.cif.Document) -> tuple[gemmi.cif.Block, list[str]]:
    """The first data block that lists atom sites (else the first block)."""
    if len(doc) == 0:
        raise InputError("no data block")
    with_sites = [block for block in doc if block.find_values("_atom_site_fract_x")]
    if not with_sites:
        return doc[0], []
    warnings = []
    if len(with_sites) > 1:
        warnings.append(f"the file holds {len(with_sites)} structures; the first, data_{with_sites[0].name}, is read")
    return with_sites[0], warnings


def _duplicate_tags(doc: gemmi.cif.Document, block: gemmi.cif.Block) -> list[str]:
    try:
        doc.check_for_duplicates()  # gemmi's own check, quick, on the whole file
        return []
    except RuntimeError:  # some block has a tag twice: counted in this one
        pass
    tags: list[str] = []
    for item in block:
        pair = item.pair  # a (tag, value) tuple, or None for a loop
        if isinstance(pair, tuple):
            tags.append(pair[0].lower())
        elif item.loop is not None:
            tags.extend(tag.lower() for tag in item.loop.tags)
    return [f"tag {tag} appears {n} times; the first value is used" for tag, n in Counter(tags).items() if n > 1]


def _as_string(raw: str) -> str:
    """gemmi.cif.as_string: quotes taken off here, gemmi called only for text
    fields (a call per operation costs more than the rest of their reading)."""
    first = raw[:1]
    if first in ("'", '"'):
        return raw[1:-1]
    return gemmi.cif.as_string(raw) if first == ";" else raw


def _value(block: gemmi.cif.Block, tags: tuple[str, ...]) -> str | None:
    """The first non-null value among ``tags``, as a plain string."""
    for tag in tags:
        raw = block.find_value(tag)
        if raw is not None and not gemmi.cif.is_null(raw):
            return gemmi.cif.as_string(raw).strip()
    return None


# A column of plain decimal numbers, each with an optional standard
# uncertainty in brackets, one per line: such a column is converted at once.
_PLAIN_NUMBERS = re.compile(r"(?:-?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?(?:\(\d+\))?\n)*")
_UNCERTAINTY = re.compile(r"\(\d+\)")
_SMALLEST_NORMAL = 2.2250738585072014e-308
_BULK_ROWS = 16


def _plain_numbers(values: list[str] | None) -> list[float] | None:
    """gemmi.cif.as_number of every value when all are plain finite numbers
    (one pass over the column instead of a call per value), else None.

    Both parse the digits to the nearest double, so the values are the same.
    """
    if values is None:
        return None
    joined = "\n".join(values) + "\n"
    if not _PLAIN_NUMBERS.fullmatch(joined):
        return None
    numbers = list(map(float, _UNCERTAINTY.sub("", joined).split()))
    if not all(map(math.isfinite, numbers)):
        return None
    # gemmi takes a value below the smallest normal double for no number:
    # zeros and tiny values are asked of gemmi itself.
    for value, text in zip(numbers, values):
        if abs(value) < _SMALLEST_NORMAL and not gemmi.cif.as_number(text) == value:
            return None
    return numbers


def _number(raw: str, what: str) -> float:
    value = gemmi.cif.as_number(raw)
    if not math.isfinite(value):
        raise InputError(f"cannot read {what} {raw!r} as a number")
    return value


def _cell(block: gemmi.cif.Block) -> tuple[float, ...]:
    lengths = [_value(block, (f"_cell_length_{axis}", f"_cell.length_{axis}")) for axis in "abc"]
    given = [value for value in lengths if value is not None]
    if len(given) < 3:
        raise InputError("no unit cell (_cell_length_a, _cell_length_b, _cell_length_c)")
    angles = [_value(block, (f"_cell_angle_{name}", f"_cell.angle_{name}")) for name in ("alpha", "beta", "gamma")]
    return (
        *(_number(v, f"_cell_length_{axis}") for v, axis in zip(given, "abc")),
        *(
            90.0 if v is None else _number(v, f"_cell_angle_{name}")
            for v, name in zip(angles, ("alpha", "beta", "gamma"))
        ),
    )


def _raw_values(column: gemmi.cif.Column) -> list[str]:
    """The column's values as written, taken from its loop in one call when it
    has one (walking the column asks gemmi for each value)."""
    loop = column.get_loop()
    if loop is None:
        return list(column)
    tags = [tag.lower() for tag in loop.tags]
    values: list[str] = loop.values
    return values[tags.index(column.tag.lower()) :: len(tags)]


def _symmetry_statement(block: gemmi.cif.Block) -> tuple[symmetry.SymmetryStatement, list[str]]:
    operations: tuple[str, ...] = ()
    for tag in _OPERATIONS:
        column = block.find_values(tag)
        if column:
            operations = tuple([_as_string(v) for v in _raw_values(column) if v not in _NULL])
            break
    warnings = []
    number = 0
    number_text = _value(block, _NUMBER)
    if number_text is not None:
        try:
            number = gemmi.cif.as_int(number_text)
        except (RuntimeError, ValueError):
            warnings.append(f"cannot read the space-group number {number_text!r}; it is ignored")
    return symmetry.SymmetryStatement(
        operations, _value(block, _HALL) or "", _value(block, _HERMANN_MAUGUIN) or "", number
    ), warnings


def _element(symbol: str, in_formula: set[int]) -> tuple[int, bool]:
    """Atomic number from a type symbol or label ("Si4+", "O2-", "Fe+3", "OW1", "CA1"),
    and whether the reading was a guess.

    A label in capitals such as "CA1" reads as calcium or carbon: the
    element in the file's formula wins, else the two-letter one.
    """
    match = _LEADING_LETTERS.match(symbol)
    if not match:
        return 0, False
    letters = match.group(1)
    readings = [letters.capitalize()] if len(letters) == 2 else []
    readings.append(letters[0].upper())
    numbers = [z for z in (gemmi.Element(r).atomic_number for r in readings) if z]
    if not numbers:
        return 0, False
    preferred = [z for z in numbers if z in in_formula]
    guessed = len(numbers) == 2 and letters[1].isupper()
    return (preferred or numbers)[0], guessed


@dataclass
class _Sites:
    labels: list[str]
    numbers: list[int]
    coords: list[tuple[float, float, float]]
    occupancies: list[float]
    b_factors: list[float]
    given_as_u: list[bool]
    # Rows that repeat an earlier row exactly, dropped before expansion: (the
    # number of sites read before it, its label).
    copies: list[tuple[int, str]]


def _aniso_u(block: gemmi.cif.Block, lattice: np.ndarray) -> dict[str, float]:
    """U_eq (Å²) per label, from the anisotropic U_ij or B_ij loop."""
    result: dict[str, float] = {}
    for columns, scale in ((_ANISO_U, 1.0), (_ANISO_B, 1.0 / checks.EIGHT_PI_SQUARED)):
        table = block.find("_atom_site_aniso_", ["label", *columns])
        if not table:
            continue
        # U_cart = A N U_cif N Aᵀ with A the lattice vectors as columns and N
        # the reciprocal lengths; U_eq is a third of its trace.
        n = np.diag(np.linalg.norm(np.linalg.inv(lattice), axis=0))
        columns_matrix = lattice.T
        for row in table:
            label = gemmi.cif.as_string(row[0])
            values = [gemmi.cif.as_number(row[k]) for k in range(1, 7)]
            if label in result or not all(math.isfinite(v) for v in values):
                continue
            u11, u22, u33, u12, u13, u23 = (v * scale for v in values)
            u_cif = np.array([[u11, u12, u13], [u12, u22, u23], [u13, u23, u33]])
            u_cart = columns_matrix @ n @ u_cif @ n @ columns_matrix.T
            result[label] = float(np.trace(u_cart)) / 3.0
        break
    return result


def _sites(block: gemmi.cif.Block, lattice: np.ndarray, in_formula: set[int]) -> tuple[_Sites, list[str]]:
    table = block.find(
        "_atom_site_",
        [
            "fract_x",
            "fract_y",
            "fract_z",
            "?label",
            "?type_symbol",
            "?occupancy",
            "?U_iso_or_equiv",
            "?B_iso_or_equiv",
            "?calc_flag",
        ],
    )
    if not table or len(table) == 0:
        raise InputError("no atom sites (_atom_site_fract_x, _atom_site_fract_y, _atom_site_fract_z)")
    aniso = _aniso_u(block, lattice)
    sites = _Sites([], [], [], [], [], [], [])
    guesses, above_one, unread_symbols = [], [], []
    seen_rows: set[tuple[str, ...]] = set()

    # The columns as plain strings, read once: per-value calls into the
    # table cost more than the rest of the reading.
    columns = [_raw_values(table.column(k)) if table.has_column(k) else None for k in range(9)]
    rows = len(table)
    elements: dict[str, tuple[int, bool]] = {}  # each distinct symbol or label read once

    def present(k: int, index: int) -> str | None:
        column = columns[k]
        value = None if column is None else column[index]
        return None if value is None or value in _NULL else value

    # A few rows are read value by value: one pass pays off only for longer columns.
    bulk = (0, 1, 2, 5, 6, 7) if rows >= _BULK_ROWS else ()
    numbers = [_plain_numbers(column) if k in bulk else None for k, column in enumerate(columns)]

    def element(text: str) -> tuple[int, bool]:
        if text not in elements:
            elements[text] = _element(text, in_formula)
        return elements[text]

    for index in range(rows):
        label = _as_string(present(3, index) or "") or f"site {index + 1}"
        if _as_string(present(8, index) or "").lower() == "dum":
            continue  # a dummy atom marks a point, it does not scatter
        # A row written again word for word is the same atom: dropped here,
        # before its images would pile up on the first copy's.
        raw = tuple("" if column is None else column[index] for column in columns)
        if raw in seen_rows:
            sites.copies.append((len(sites.labels), label))
            continue
        seen_rows.add(raw)
        xyz = []
        for k, axis in enumerate("xyz"):
            column = numbers[k]
            if column is not None:
                xyz.append(column[index])
                continue
            text = present(k, index)
            value = gemmi.cif.as_number(text) if text is not None else math.nan
            if not math.isfinite(value):
                raise InputError(f"site {label}: no fractional {axis} coordinate ({raw[k]!r})")
            xyz.append(value)
        symbol = present(4, index)
        z, guessed = element(_as_string(symbol)) if symbol is not None else (0, False)
        if z == 0:
            z, guessed = element(label)
            if symbol is not None and is_tabulated(z):
                unread_symbols.append(f"{label} {gemmi.cif.as_string(symbol)!r} (read as {gemmi.Element(z).name})")
        if guessed:
            guesses.append(f"{label} = {gemmi.Element(z).name}")
        if not is_tabulated(z):
            shown = gemmi.cif.as_string(symbol) if symbol is not None else label
            raise InputError(
                f"unknown element {shown!r} at site {label} (elements 1 to {LAST_TABULATED_ELEMENT} are covered)"
            )
        occupancy_text = present(5, index)
        if numbers[5] is not None:
            occupancy = numbers[5][index]
        else:
            occupancy = 1.0 if occupancy_text is None else _number(occupancy_text, f"the occupancy of {label}")
        if occupancy < 0.0:
            raise InputError(f"negative occupancy {occupancy:g} at site {label}")
        if occupancy > 1.0 + 1e-3:
            above_one.append(f"{label} {occupancy:g}")
        u_text, b_text = present(6, index), present(7, index)
        given_as_u = b_text is None or u_text is not None
        if u_text is not None:
            u = numbers[6][index] if numbers[6] is not None else _number(u_text, f"U of {label}")
        elif b_text is not None:
            b = numbers[7][index] if numbers[7] is not None else _number(b_text, f"B of {label}")
            u = b / checks.EIGHT_PI_SQUARED
        else:
            u = aniso.get(label, 0.0)
        sites.labels.append(label)
        sites.numbers.append(z)
        sites.coords.append((xyz[0], xyz[1], xyz[2]))
        sites.occupancies.append(occupancy)
        if not math.isfinite(checks.EIGHT_PI_SQUARED * u):  # a U near the largest double: B overflows
            shown = u_text or b_text or "U_ij"
            raise InputError(f"site {label}: displacement {shown} is too large to be a B (8 pi^2 U)")
        sites.b_factors.append(checks.EIGHT_PI_SQUARED * u)
        sites.given_as_u.append(given_as_u)
    if not sites.labels:
        raise InputError("no atom sites other than dummy atoms")
    warnings = []
    if guesses:
        warnings.append(f"element symbols that could name two elements read as {checks.listed(guesses)}")
    if unread_symbols:
        warnings.append(
            f"type symbols that name no element, so the element comes from the site label, at "
            f"{len(unread_symbols)} site(s): {checks.listed(unread_symbols)}"
        )
    if above_one:
        warnings.append(f"occupancy above 1 at {len(above_one)} site(s): {checks.listed(above_one)}")
    return sites, warnings


@dataclass(frozen=True)
class _Expansion:
    choice: symmetry.SpaceGroupChoice
    atoms: assembly.Assembly
    site_check: checks.SiteCheck
    composition_warnings: list[str]

    @property
    def faults(self) -> int:
        return self.site_check.clashes + len(self.composition_warnings)


def _earlier_repeats(sites: _Sites) -> list[tuple[float, str, str]]:
    """Exact copies of rows, as the site check reports repeats: placed just
    before the site that follows them, each naming the first row of its label."""
    return [(position - 0.5, label, label) for position, label in sites.copies]


def _expanded(
    sites: _Sites,
    lattice: np.ndarray,
    choices: list[symmetry.SpaceGroupChoice],
    formula_sum: str | None,
    formula_units: float | None,
) -> tuple[_Expansion, list[str]]:
    """Sites expanded by the first choice of group under which they neither
    collide nor contradict the formula."""
    numbers = np.array(sites.numbers, dtype=np.int32)
    occupancies = np.array(sites.occupancies)
    coords = np.array(sites.coords, dtype=float)
    best: _Expansion | None = None
    for choice in choices:
        atoms = assembly.assemble(
            lattice,
            coords,
            numbers,
            occupancies,
            choice.rotations,
            choice.translations,
            same_position=checks.SAME_POSITION,
            close=checks.CLOSE_SITES,
        )
        site_check = checks.site_check(atoms.close_sites, sites.labels, _earlier_repeats(sites))
        kept = atoms.site_of[site_check.keep]
        composition = (
            composition_problems(numbers[kept], occupancies[kept], formula_sum, formula_units) if formula_sum else []
        )
        expansion = _Expansion(choice, atoms, site_check, composition)
        if best is None or expansion.faults < best.faults:
            best = expansion
        if expansion.faults == 0:
            break
    if best is None:  # space_group_choices gives at least one choice or raises
        raise ValueError("no space group to expand the sites with")
    warnings = []
    if best.choice is not choices[0]:
        warnings.append(
            f"{best.choice.description} is used: {choices[0].description}, the other origin "
            "choice of the group named, puts sites on top of each other or "
            "contradicts the formula"
        )
    return best, warnings


@dataclass(frozen=True, eq=False)
class CifContents:
    """Every atom of the cell a CIF file describes, checked, as the structure
    type assembles it (see structures.structure.assemble_structure)."""

    lattice: np.ndarray
    atomic_numbers: np.ndarray
    frac_coords: np.ndarray
    occupancies: np.ndarray
    b_factors: np.ndarray
    name: str
    symmetry_operations: tuple[str, ...]
    warnings: list[str]
    site_names: list[str]
    site_of: np.ndarray
    site_check: checks.SiteCheck
    u_aniso: np.ndarray | None
    listed_sites: ListedSites | None = None
    common_name: str = ""


def parse_cif_contents(data: bytes | str, name: str = "") -> CifContents:
    """Read the first structure of CIF text, expanded to the full unit cell.

    Parameters
    ----------
    data : bytes or str
        The file's content; bytes may be gzipped and need not be UTF-8.
    name : str
        The structure's name.

    Returns
    -------
    CifContents
        Every atom of the cell, with the warnings met on the way.

    Raises
    ------
    InputError
        Text that cannot be parsed, that has no cell or no atom sites, whose
        symmetry cannot be applied, that holds an element outside the
        scattering table or an implausible value that cannot give a pattern
        (a flat cell, a negative displacement).
    """
    warnings: list[str] = []
    if isinstance(data, bytes):
        text, decode_warnings = _decode(data)
        warnings += decode_warnings
    else:
        text = data
    try:
        doc = gemmi.cif.read_string(text, 0)  # level 0: a tag written twice is not fatal
    except (RuntimeError, ValueError) as exc:
        raise InputError(f"cannot read: {_one_line(exc)}") from None
    block, block_warnings = _structure_block(doc)
    warnings += block_warnings + _duplicate_tags(doc, block)

    a, b, c, alpha, beta, gamma = _cell(block)
    lattice = lattice_from_parameters(a, b, c, alpha, beta, gamma)
    warnings += checks.cell_problems(lattice)
    formula_text = _value(block, ("_chemical_formula_sum", "_chemical_formula.sum"))
    formula = parse_formula(formula_text) if formula_text else None
    sites, site_warnings = _sites(block, lattice, set(formula or ()))
    warnings += site_warnings
    warnings += checks.displacement_problems(np.array(sites.b_factors), sites.labels, sites.given_as_u)

    statement, statement_warnings = _symmetry_statement(block)
    warnings += statement_warnings
    choices = symmetry.space_group_choices(statement, alpha, gamma)
    z_text = _value(block, ("_cell_formula_units_Z", "_cell.formula_units_Z"))
    formula_units = gemmi.cif.as_number(z_text) if z_text else math.nan
    expansion, origin_warnings = _expanded(
        sites,
        lattice,
        choices,
        formula_text,
        formula_units if math.isfinite(formula_units) and formula_units > 0 else None,
    )
    warnings += list(expansion.choice.warnings) + origin_warnings
    warnings += symmetry.check_cell_against_group(lattice, expansion.choice)

    atoms = expansion.atoms
    site_of = atoms.site_of
    u_sites = displacements.site_tensors(block, sites.labels)
    u_aniso = (
        None
        if u_sites is None
        else assembly.image_tensors(u_sites, atoms.operation_of, site_of, expansion.choice.rotations, lattice)
    )
    image_counts = np.bincount(site_of[expansion.site_check.keep], minlength=len(sites.labels))
    listed = ListedSites(
        tuple(sites.labels),
        np.array(sites.numbers, dtype=np.int64),
        np.array(sites.coords, dtype=float),
        np.array(sites.occupancies),
        np.array(sites.b_factors),
        tuple(expansion.choice.triplets),
        image_counts,
        u_sites,
    )
    return CifContents(
        lattice,
        np.array(sites.numbers)[site_of],
        atoms.positions,
        np.array(sites.occupancies)[site_of],
        np.array(sites.b_factors)[site_of],
        name=name,
        symmetry_operations=tuple(expansion.choice.triplets),
        warnings=warnings + expansion.composition_warnings,
        site_names=sites.labels,
        site_of=site_of,
        site_check=expansion.site_check,
        u_aniso=u_aniso,
        listed_sites=listed,
        common_name=block_name(block),
    )


def _display_name(path: Path) -> str:
    # File names that are not valid UTF-8 keep their bytes as escapes
    # rather than break the output.
    return path.stem.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def read_cif_contents(path: str | os.PathLike[str]) -> CifContents:
    """Read the first structure of a CIF file (plain or gzipped).

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    CifContents
        Every atom of the cell, named after the file.

    Raises
    ------
    InputError
        A file that cannot be read, or whose content parse_cif_contents refuses.
    """
    path = Path(path)
    try:
        with open(path, "rb") as stream:
            data = read_cif_bytes(stream)
    except IsADirectoryError:
        raise InputError("cannot read: it is a folder, not a file") from None
    except OSError as exc:
        raise InputError(f"cannot read: {exc.strerror or _one_line(exc)}") from None
    return parse_cif_contents(data, name=_display_name(path))
