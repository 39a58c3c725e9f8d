"""A fit as a recipe: its request with the phases (and scan) by path and by
SHA-256 content hash, saved as TOML or JSON, run again on the same scan or
another, exactly.

``peakforge fit --save-recipe FILE`` writes one, a fit's JSON holds one
(``"recipe"``), and ``--recipe`` reads either; a fit's JSON also gives its
refined values as start values (``--continue``).  A file a recipe names that
has changed since (another hash) is refused: the rerun would not be the
fit the recipe describes.  A file moved together with the recipe is found
beside it by its name and hash.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Self

from ..errors import InputError
from ..provenance import file_sha256 as provenance_sha256
from .documents import read_document, write_document
from .request import FitRequest, instrument_path

FORMAT = "peakforge fit recipe"
VERSION = 1


def file_sha256(path: str | os.PathLike[str]) -> str:
    """The SHA-256 of a file's contents, in hex (the provenance module's digest).

    Raises
    ------
    InputError
        The file cannot be read.
    """
    try:
        return provenance_sha256(path)
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None


@dataclass(frozen=True)
class RecipeFile:
    """A file a recipe names: its absolute path and the SHA-256 of its contents."""

    path: str
    sha256: str

    @classmethod
    def of(cls, path: str | os.PathLike[str]) -> Self:
        """The file at ``path`` as it is now."""
        return cls(os.path.abspath(os.fspath(path)), file_sha256(path))

    def located(self, beside: Path | None, what: str) -> str:
        """The file's path now: where it was, else beside the recipe; refused if changed.

        Raises
        ------
        InputError
            Not found, or its contents differ from the recipe's.
        """
        candidates = [self.path]
        if beside is not None:
            candidates.append(str(beside / Path(self.path).name))
        for candidate in candidates:
            if os.path.isfile(candidate):
                if file_sha256(candidate) != self.sha256:
                    raise InputError(
                        f"{candidate}: the {what} has changed since the recipe was written (its SHA-256 differs), "
                        "so the fit would not be the recipe's: write the recipe again"
                    )
                return candidate
        raise InputError(f"{self.path}: the recipe's {what} is not there (nor beside the recipe)")

    def to_dict(self) -> dict[str, str]:
        return {"path": self.path, "sha256": self.sha256}

    @classmethod
    def from_dict(cls, values: object, what: str) -> Self:
        if (
            not isinstance(values, Mapping)
            or not isinstance(values.get("path"), str)
            or not isinstance(values.get("sha256"), str)
        ):
            raise InputError(f"the recipe's {what} must be a table with a path and a sha256, not {values!r}")
        return cls(values["path"], values["sha256"])


@dataclass(frozen=True)
class Recipe:
    """A fit to repeat: its request, its phases and (optionally) its scan.

    Attributes
    ----------
    request : FitRequest
        Every option of the fit.
    phases : tuple of RecipeFile
        The phases' CIF files.
    scan : RecipeFile or None
        The scan it was made on (a rerun without a scan fits this one).
    instrument : RecipeFile or None
        The instrument file the request names.
    source : Path or None
        The folder of the file the recipe was read from (files moved with
        it are looked for there).
    """

    request: FitRequest
    phases: tuple[RecipeFile, ...]
    scan: RecipeFile | None = None
    instrument: RecipeFile | None = None
    source: Path | None = field(default=None, compare=False)

    @classmethod
    def make(
        cls,
        request: FitRequest,
        phases: list[str | os.PathLike[str]],
        scan: str | os.PathLike[str] | None = None,
    ) -> Self:
        """The recipe of a fit of these files (hashed now).

        Raises
        ------
        InputError
            A file cannot be read, or the request holds an Instrument object
            rather than its file.
        """
        request.to_dict()  # refuses what cannot be written, before hashing anything
        if not phases:
            raise InputError("a recipe needs at least one phase")
        named = instrument_path(request)
        return cls(
            request.replace(instrument=None if named is None else os.path.abspath(named)),
            tuple(RecipeFile.of(p) for p in phases),
            None if scan is None else RecipeFile.of(scan),
            None if named is None else RecipeFile.of(named),
        )

    def phase_paths(self) -> list[str]:
        """The phases' files now (checked against their hashes)."""
        return [phase.located(self.source, "phase") for phase in self.phases]

    def scan_path(self) -> str:
        """The recipe's scan now (checked against its hash).

        Raises
        ------
        InputError
            The recipe names no scan, or it is missing or changed.
        """
        if self.scan is None:
            raise InputError("the recipe names no scan: give one")
        return self.scan.located(self.source, "scan")

    def checked_request(self) -> FitRequest:
        """The request, its instrument file found and checked against its hash."""
        if self.instrument is None:
            return self.request
        return self.request.replace(instrument=self.instrument.located(self.source, "instrument file"))

    def to_dict(self) -> dict[str, Any]:
        """The recipe as JSON and TOML take it (`from_dict` reads it back)."""
        document: dict[str, Any] = {"format": FORMAT, "version": VERSION}
        if self.scan is not None:
            document["scan"] = self.scan.to_dict()
        if self.instrument is not None:
            document["instrument"] = self.instrument.to_dict()
        document["phases"] = [p.to_dict() for p in self.phases]
        document["request"] = self.request.to_dict()
        return document

    @classmethod
    def from_dict(cls, values: Mapping[str, Any], source: Path | None = None) -> Self:
        """The recipe `to_dict` wrote.

        Raises
        ------
        InputError
            Not a recipe, a newer version's, or a bad value in it.
        """
        if values.get("format") != FORMAT:
            raise InputError("not a peakforge fit recipe (nor a fit's JSON holding one)")
        version = values.get("version")
        if not isinstance(version, int) or version > VERSION:
            raise InputError(f"a recipe of version {version!r}: written by a newer peakforge?")
        phases = values.get("phases")
        if not isinstance(phases, list) or not phases:
            raise InputError("the recipe names no phases")
        return cls(
            FitRequest.from_dict(values.get("request", {})),
            tuple(RecipeFile.from_dict(p, "phase") for p in phases),
            None if values.get("scan") is None else RecipeFile.from_dict(values["scan"], "scan"),
            None if values.get("instrument") is None else RecipeFile.from_dict(values["instrument"], "instrument"),
            source,
        )


@dataclass(frozen=True)
class LoadedRecipe:
    """A recipe as read, with the refined values of the fit it came from (a fit's JSON), if any."""

    recipe: Recipe
    refined: dict[str, float] | None = None

    def continued(self) -> Recipe:
        """The recipe starting from the fit's refined values (``--continue``).

        Raises
        ------
        InputError
            The file was a recipe, not a fit's result.
        """
        if self.refined is None:
            raise InputError("--continue starts from a fit's refined values: give a fit's JSON (-f json) as --recipe")
        recipe = self.recipe
        return Recipe(
            recipe.request.replace(start=self.refined), recipe.phases, recipe.scan, recipe.instrument, recipe.source
        )


def save_recipe(path: str | os.PathLike[str], recipe: Recipe) -> None:
    """Write the recipe as TOML (``.toml``) or JSON, whole or not at all."""
    write_document(path, recipe.to_dict())


def load_recipe(path: str | os.PathLike[str]) -> LoadedRecipe:
    """A recipe file, or a fit's JSON (its recipe and refined values).

    Raises
    ------
    InputError
        Unreadable, not a recipe, or a bad value in it.
    """
    document = read_document(path, "recipe")
    folder = Path(path).resolve().parent
    try:
        if "recipe" in document and isinstance(document["recipe"], Mapping):
            refined = document.get("parameters")
            if not isinstance(refined, Mapping):
                raise InputError("the fit's JSON holds no refined parameters")
            values = {str(k): v for k, v in refined.items() if isinstance(v, (int, float)) and not isinstance(v, bool)}
            return LoadedRecipe(Recipe.from_dict(document["recipe"], folder), values)
        return LoadedRecipe(Recipe.from_dict(document, folder))
    except InputError as exc:
        raise InputError(f"{path}: {exc}") from None
