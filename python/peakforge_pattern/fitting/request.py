"""One fit request: every option a fit of phases to a scan takes, checked
once when the request is made.

`fit_pattern(scan, phases, request=...)` takes one (its keyword form builds
one), ``peakforge fit``, ``identify`` and ``series`` build it from one
argument group derived from its fields (``cli/fit_options.py``), and a
recipe stores it as TOML or JSON (``to_dict``/``from_dict``,
``fitting/recipe.py``).

How to add a fit option
-----------------------
Add one field to `FitRequest` below, with its default and its
``metadata=_fit_option(...)`` (the command-line flags, help, and argparse
details; ``parse`` turns what argparse gives into the field's value).  Check
and normalise its value in ``__post_init__`` (the ``normal`` dict: the
frozen field holds the normal form: tuples, not lists; floats, not
strings), and read it in `fit_pattern` as ``request.NAME``.  If its normal
form is not plain JSON (a tuple of pairs, say), say how in `to_dict` and
`from_dict`.  A field whose default is None must write as None (TOML has no
null: a recipe leaves it out and reading fills the default).  The command
line (``fit``, ``identify`` where offered, ``series``), recipe files and
``series`` follow from the field; a field without ``flags`` is API and recipe
only.  ``tests/test_fit_request.py`` round-trips every field: give the new
one a value other than its default in ``EVERY_FIELD`` (or ``WITHOUT_ATOMS``).
"""

from __future__ import annotations

import dataclasses
import math
import operator
import os
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Self

from ..diffraction.request import check_monochromator_angle, check_two_theta_range
from ..errors import InputError
from ..profiles.instrument import SHAPES, Instrument

BACKGROUND_TERMS = 6
"""Chebyshev terms of the background by default."""
MAX_BACKGROUND_TERMS = 30
CORRECTIONS: tuple[str, ...] = ("zero_shift", "displacement", "both")
"""The 2θ corrections a fit can refine (by default the displacement of a
reflection scan, the zero shift of a transmission scan)."""
DEFAULT_BOND_CUTOFF = 3.0  # Å
MAX_BOND_CUTOFF = 10.0  # Å
OTHER_PHASES = "*"
"""The phase name that stands for every phase not named (particle radii in a file)."""


@dataclass(frozen=True)
class FitOption:
    """How a fit request field is spelled on the command line.

    Attributes
    ----------
    flags : tuple of str
        The option strings (none: the field is not on the command line).
    help : str
        The option's help line (``argparse.SUPPRESS`` hides it).
    metavar, type, nargs, choices, action, const
        As argparse takes them; ``action`` None stores one value.
    parse : callable or None
        Turns the parsed value into the field's (``--orientation``'s
        PHASE:HKL texts into a mapping).
    """

    flags: tuple[str, ...]
    help: str
    metavar: str | tuple[str, ...] | None = None
    type: Callable[[str], Any] | None = None
    nargs: int | str | None = None
    choices: tuple[str, ...] | None = None
    action: str | None = None
    const: Any = None
    parse: Callable[[Any], Any] | None = None


def _fit_option(*flags: str, help: str, **details: Any) -> dict[str, FitOption]:
    return {"option": FitOption(tuple(flags), help, **details)}


def parse_orientation(text: str) -> tuple[str, tuple[int, int, int]]:
    """PHASE:HKL as a phase name and three Miller indices ("brucite:001", "x:1,0,-1").

    Raises
    ------
    InputError
        Not PHASE:HKL with three whole indices.
    """
    phase, separator, indices = text.rpartition(":")
    if not separator or not phase:
        raise InputError(f"--orientation takes PHASE:HKL (brucite:001), not {text!r}")
    fields = (
        re.split(r"[,\s]+", indices.strip()) if re.search(r"[,\s]", indices.strip()) else re.findall(r"-?\d", indices)
    )
    if (
        "".join(fields).replace("-", "") == ""
        or len(fields) != 3
        or not all(re.fullmatch(r"-?\d+", f) for f in fields)
        or (not re.search(r"[,\s]", indices.strip()) and "".join(fields) != indices.strip())
    ):
        raise InputError(f"--orientation {text!r}: HKL must be three whole Miller indices (001, or 1,0,-1)")
    h, k, l = (int(f) for f in fields)
    return phase, (h, k, l)


def parse_particle_sizes(values: Sequence[str]) -> dict[str | None, float] | None:
    """[PHASE:]MICRONS texts as radii by phase (None: every other phase).

    Raises
    ------
    InputError
        A text that is not MICRONS or PHASE:MICRONS.
    """
    if not values:
        return None
    radii: dict[str | None, float] = {}
    for text in values:
        phase, separator, number = text.rpartition(":")
        try:
            radius = float(number)
        except ValueError:
            raise InputError(f"--particle-size takes MICRONS or PHASE:MICRONS, not {text!r}") from None
        radii[phase if separator else None] = radius
    return radii


def _orientations_given(texts: Sequence[str]) -> dict[str, tuple[int, int, int]] | None:
    return dict(parse_orientation(t) for t in texts) if texts else None


def _atoms_given(phases: Sequence[str]) -> bool | tuple[str, ...]:
    return tuple(phases) or True


@dataclass(frozen=True)
class FitRequest:
    """How to fit phases to a scan: every option of a fit, checked and normalised when made.

    Frozen: each parameter is an attribute of the same name holding its
    normal form (tuples for sequences, ``(name, value)`` pairs sorted by
    name for mappings, paths as text).  None leaves a choice to the fit
    (the instrument file's, the scan's or the usual default).  To add an
    option, see this module's docstring: one field, with its command-line
    spelling in its metadata.

    Parameters
    ----------
    wavelength : float, str, (float, float) or None
        Å or a line name; None takes the instrument file's, the scan's (an
        .xrdml names its lines) or CuKa.
    ka2_ratio : float or None
        Kα2/Kα1 of a Kα line (None: the instrument file's, the scan's or 0.5).
    shape : {"tch", "pseudo-voigt"} or None
        Peak shape (None: the instrument file's, else tch).
    radius, monochromator_angle : float or None
        Goniometer radius (mm; default the instrument file's, else the
        scan header's, else 240) and the monochromator's 2θ (degrees,
        default the instrument file's, else 0: none).
    instrument : str, Path, Instrument or None
        A standard's instrument file (``--save-instrument``), held as its
        path, or an `Instrument`: its widths, asymmetry and zero shift are
        held unless ``refine`` names them.
    two_theta_range : (float, float) or None
        Fit only these points.
    background_terms : int
        Chebyshev terms of the background (1–30).
    correction : {"zero_shift", "displacement", "both"} or None
        Which 2θ corrections to refine. None: the sample displacement of a
        reflection scan, with the zero shift held at 0 or at the instrument
        file's calibrated value (``refine=["zero"]`` frees it too: the two
        trade off against each other and the cells); the zero shift of a
        scan whose header says transmission.
    refine_cell, refine_b : bool or None
        False holds the cells, or the overall B (None, True: refined).
    fix, refine : tuple of str
        Parameters to hold or to move: names, kinds or PHASE:KIND.
    orientations : tuple of (str, (int, int, int))
        March–Dollase preferred orientation refined for these phases along
        these directions (a mapping is accepted).
    particle_radius : tuple of (str or None, float)
        Particle radii (µm) for Brindley's microabsorption correction by
        phase, None for every phase not named (a number, for all, or a
        mapping are accepted).
    anomalous : bool
        Anomalous dispersion f′, f″ at each emission line (default on).
    refine_atoms : bool or tuple of str
        Refine the structure of every phase (True) or of the phases named.
    le_bail, pawley : bool or tuple of str
        Fit every phase (True) or the phases named without their atoms, by
        Le Bail's partitioning or Pawley's least-squares intensities
        (`fitting.decomposition`); the fit then returns a
        `DecompositionResult`.
    bonds : float or None
        List the refined structures' bond lengths up to this many Å, and the angles between them.
    max_evaluations : int
        Most evaluations of the model before the fit stops.
    start : tuple of (str, float)
        Parameters' start values by name (a previous fit's, for
        ``--continue`` and sequential series); names this fit lacks are
        reported in its warnings, values beyond a bound start on it.
    staged : bool
        Refine in stages (positions, widths, sample terms, then every
        parameter together; default) or everything at once.
    retries : int
        Other starts (0–2) tried when the fit ends with a parameter at a
        bound or Rwp/Rexp above 1.5; the lowest χ² is kept and the
        warnings say so.

    Raises
    ------
    InputError
        A value no fit can use, naming it.

    Examples
    --------
    >>> from peakforge_pattern.fitting.request import FitRequest
    >>> request = FitRequest(monochromator_angle=26.6, fix=["cell"], orientations={"brucite": (0, 0, 1)})
    >>> request.fix, request.orientations
    (('cell',), (('brucite', (0, 0, 1)),))
    >>> FitRequest.from_dict(request.to_dict()) == request
    True
    """

    wavelength: float | str | tuple[float, float] | None = field(
        default=None,
        metadata=_fit_option(
            "-w",
            "--wavelength",
            help="wavelength in angstrom, a line name (CuKa, MoKa, ...) or a Ka1,Ka2 pair (1.5406,1.5444; "
            "default: the instrument file's, the scan file's, else CuKa)",
        ),
    )
    ka2_ratio: float | None = field(
        default=None,
        metadata=_fit_option(
            "--ka2-ratio", type=float, metavar="R", help="Ka2/Ka1 intensity of a Ka line (default 0.5)"
        ),
    )
    shape: str | None = field(
        default=None,
        metadata=_fit_option(
            "--shape",
            choices=SHAPES,
            help="peak shape (default tch, or the instrument file's): pseudo-Voigt with a refined eta, or "
            "Thompson-Cox-Hastings from the Gaussian and Lorentzian widths",
        ),
    )
    radius: float | None = field(
        default=None,
        metadata=_fit_option(
            "--radius",
            type=float,
            metavar="MM",
            help="goniometer radius for the sample displacement (default: the instrument file's, the scan "
            "header's, else 240)",
        ),
    )
    monochromator_angle: float | None = field(
        default=None,
        metadata=_fit_option(
            "--monochromator",
            type=float,
            metavar="DEG",
            help="2theta of the monochromator for the polarisation factor (graphite with Cu Ka: 26.6; default 0, none)",
        ),
    )
    instrument: str | Instrument | None = field(
        default=None,
        metadata=_fit_option(
            "--instrument",
            metavar="FILE",
            help="start from a standard's instrument (written by --save-instrument, or a GSAS .prm or GSAS-II "
            ".instprm): its widths, asymmetry and zero shift are held unless --refine names them",
        ),
    )
    two_theta_range: tuple[float, float] | None = field(
        default=None,
        metadata=_fit_option(
            "--two-theta",
            nargs=2,
            type=float,
            metavar=("MIN", "MAX"),
            help="fit only this 2theta range (default: the whole scan)",
        ),
    )
    background_terms: int = field(
        default=BACKGROUND_TERMS,
        metadata=_fit_option(
            "--background",
            type=int,
            metavar="N",
            help=f"Chebyshev background terms (default {BACKGROUND_TERMS})",
        ),
    )
    correction: str | None = field(
        default=None,
        metadata=_fit_option(
            "--displacement",
            action="store_const",
            const="displacement",
            help="refine the sample displacement without a zero shift (the default for reflection scans; "
            "--refine zero adds the zero shift)",
        ),
    )
    refine_cell: bool | None = field(
        default=None,
        metadata=_fit_option("--refine-cell", action="store_const", const=True, help="==SUPPRESS=="),
    )
    refine_b: bool | None = field(
        default=None,
        metadata=_fit_option("--refine-b", action="store_const", const=True, help="==SUPPRESS=="),
    )
    fix: tuple[str, ...] = field(
        default=(),
        metadata=_fit_option(
            "--fix",
            nargs="+",
            action="extend",
            metavar="NAME",
            help="hold these parameters at their start (see the list below)",
        ),
    )
    refine: tuple[str, ...] = field(
        default=(),
        metadata=_fit_option(
            "--refine",
            nargs="+",
            action="extend",
            metavar="NAME",
            help="refine these parameters too: size and strain per phase, or terms an --instrument file holds",
        ),
    )
    orientations: tuple[tuple[str, tuple[int, int, int]], ...] = field(
        default=(),
        metadata=_fit_option(
            "--orientation",
            action="append",
            metavar="PHASE:HKL",
            parse=_orientations_given,
            help="refine March-Dollase preferred orientation of PHASE along HKL (brucite:001, or zincite:1,0,-1)",
        ),
    )
    particle_radius: tuple[tuple[str | None, float], ...] = field(
        default=(),
        metadata=_fit_option(
            "--particle-size",
            action="append",
            metavar="[PHASE:]MICRONS",
            parse=parse_particle_sizes,
            help="particle radius in micrometres for Brindley's microabsorption correction, "
            "for every phase or PHASE:MICRONS for one",
        ),
    )
    anomalous: bool = field(
        default=True,
        metadata=_fit_option(
            "--no-anomalous",
            action="store_const",
            const=False,
            help="leave out anomalous dispersion (f', f'' at each emission line's energy)",
        ),
    )
    refine_atoms: bool | tuple[str, ...] = field(
        default=False,
        metadata=_fit_option(
            "--refine-atoms",
            nargs="*",
            metavar="PHASE",
            parse=_atoms_given,
            help="refine the structure of these phases (all if none named; put it after the "
            "files): the coordinates their site symmetry leaves free, with --refine b-sites "
            "or b-elements an isotropic B per site or element, with --refine occupancy the "
            "occupancies of partly occupied or shared sites",
        ),
    )
    bonds: float | None = field(
        default=None,
        metadata=_fit_option(
            "--bonds",
            nargs="?",
            type=float,
            const=DEFAULT_BOND_CUTOFF,
            metavar="ANGSTROM",
            help="list the refined structures' bond lengths and angles with uncertainties, bonds up to ANGSTROM "
            f"(default {DEFAULT_BOND_CUTOFF:g})",
        ),
    )
    le_bail: bool | tuple[str, ...] = field(
        default=False,
        metadata=_fit_option(
            "--le-bail",
            nargs="*",
            metavar="PHASE",
            parse=_atoms_given,
            help="fit these phases (all if none named) without their atoms, by Le Bail's iterative "
            "partitioning of the observed intensity: cell, 2theta corrections and widths refined, every "
            "reflection's |F|^2 extracted (--hkl-out); a phase may be a CIF, the JSON of peakforge index, "
            "or --phase-cell with --space-group",
        ),
    )
    pawley: bool | tuple[str, ...] = field(
        default=False,
        metadata=_fit_option(
            "--pawley",
            nargs="*",
            metavar="PHASE",
            parse=_atoms_given,
            help="as --le-bail, with every reflection's |F|^2 a least-squares parameter (kept >= 0, "
            "equivalent reflections tied)",
        ),
    )
    max_evaluations: int = field(
        default=400,
        metadata=_fit_option(
            "--max-evaluations",
            type=int,
            metavar="N",
            help="most evaluations of the model before the fit stops unconverged (default 400)",
        ),
    )
    staged: bool = field(
        default=True,
        metadata=_fit_option(
            "--all-at-once",
            action="store_const",
            const=False,
            help="refine every parameter together from the start, without the stages (positions, then "
            "widths, then sample terms, then everything)",
        ),
    )
    retries: int = field(
        default=2,
        metadata=_fit_option(
            "--retries",
            type=int,
            metavar="N",
            help="other starts to try when a fit ends with a parameter at a bound or Rwp/Rexp above 1.5 "
            "(0 to 2, default 2); the lowest chi2 is kept",
        ),
    )
    start: tuple[tuple[str, float], ...] = field(default=(), metadata=_fit_option(help=""))

    def __post_init__(self) -> None:
        normal = {
            "wavelength": _wavelength(self.wavelength),
            "ka2_ratio": _optional_number("the Ka2/Ka1 ratio (--ka2-ratio)", self.ka2_ratio, 0.0, 1.0),
            "shape": None if self.shape is None else _choice("the peak shape (--shape)", self.shape, SHAPES),
            "radius": _optional_number("the goniometer radius (--radius)", self.radius, 1.0, 10_000.0),
            "monochromator_angle": None
            if self.monochromator_angle is None
            else check_monochromator_angle(self.monochromator_angle),
            "instrument": _instrument(self.instrument),
            "two_theta_range": None if self.two_theta_range is None else check_two_theta_range(self.two_theta_range),
            "background_terms": _whole(
                "the background (--background)", self.background_terms, 1, MAX_BACKGROUND_TERMS, "Chebyshev terms"
            ),
            "correction": None
            if self.correction is None
            else _choice("the 2theta correction", self.correction, CORRECTIONS),
            "refine_cell": None if self.refine_cell is None else _flag("refine_cell", self.refine_cell),
            "refine_b": None if self.refine_b is None else _flag("refine_b", self.refine_b),
            "fix": _words("fix", self.fix),
            "refine": _words("refine", self.refine),
            "orientations": _orientations(self.orientations),
            "particle_radius": _radii(self.particle_radius),
            "anomalous": _flag("anomalous", self.anomalous),
            "refine_atoms": _refine_atoms(self.refine_atoms),
            "le_bail": _refine_atoms(self.le_bail),
            "pawley": _refine_atoms(self.pawley),
            "bonds": _optional_number("the bond cutoff (--bonds)", self.bonds, 0.0, MAX_BOND_CUTOFF, open_low=True),
            "max_evaluations": _whole(
                "the evaluations (--max-evaluations)", self.max_evaluations, 1, 10**7, "evaluations"
            ),
            "start": _start(self.start),
            "staged": _flag("staged", self.staged),
            "retries": _whole("the other starts (--retries)", self.retries, 0, 2, "starts"),
        }
        for name, value in normal.items():
            if value is not getattr(self, name):
                object.__setattr__(self, name, value)
        both = set(self.fix) & set(self.refine)
        if both:
            raise InputError(f"{min(both)!r} is both fixed and refined")
        if self.le_bail is not False and self.pawley is not False:
            raise InputError("a fit is either Le Bail (--le-bail) or Pawley (--pawley), not both")
        if (self.le_bail is not False or self.pawley is not False) and self.refine_atoms is not False:
            raise InputError("--refine-atoms refines structures: a Le Bail or Pawley fit has no atoms to refine")
        if self.bonds is not None and self.refine_atoms is False:
            raise InputError("--bonds lists the bond lengths of refined structures: add --refine-atoms")

    @classmethod
    def from_fields(cls, request: FitRequest | None = None, **fields: Any) -> Self:
        """A request from ``request`` (default: every field's default) with ``fields`` changed.

        Raises
        ------
        TypeError
            A field the request does not have.
        InputError
            A value no fit can use.
        """
        unknown = sorted(set(fields) - FIELD_NAMES)
        if unknown:
            raise TypeError(f"unknown fit option(s): {', '.join(unknown)}")
        if request is None:
            return cls(**fields)
        if not isinstance(request, cls):
            raise TypeError(f"request must be a {cls.__name__}, not {type(request).__name__}")
        return dataclasses.replace(request, **fields)

    def replace(self, **changes: Any) -> Self:
        """The same request with ``changes`` (checked like a new one)."""
        return dataclasses.replace(self, **changes)

    @property
    def orientation_map(self) -> dict[str, tuple[int, int, int]]:
        """The preferred directions by phase."""
        return dict(self.orientations)

    @property
    def particle_radius_map(self) -> dict[str | None, float] | None:
        """Particle radii by phase (None: every other phase), or None for no correction."""
        return dict(self.particle_radius) or None

    @property
    def start_values(self) -> dict[str, float]:
        """The start values by parameter name."""
        return dict(self.start)

    def to_dict(self) -> dict[str, Any]:
        """Every field as JSON (and TOML, leaving out the None values) takes it.

        Returns
        -------
        dict
            Field name to value: sequences as lists, the orientations and
            start values as tables by name, the particle radii by phase with
            ``"*"`` for every other phase; `from_dict` reads it back.

        Raises
        ------
        InputError
            An `Instrument` object given instead of its file: it has no text form.
        """
        if isinstance(self.instrument, Instrument):
            raise InputError("an Instrument object cannot be written: save it with --save-instrument and name its file")
        values: dict[str, Any] = {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            values[f.name] = list(value) if isinstance(value, tuple) else value
        values["orientations"] = {name: list(hkl) for name, hkl in self.orientations}
        values["particle_radius"] = {OTHER_PHASES if n is None else n: r for n, r in self.particle_radius}
        values["start"] = dict(self.start)
        return values

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        """The request `to_dict` wrote; fields it lacks take their defaults.

        Raises
        ------
        InputError
            A field this version does not know (written by a newer one), or a bad value.
        """
        if not isinstance(values, Mapping):
            raise InputError(f"a fit request must be a table of options, not {type(values).__name__}")
        unknown = sorted(set(values) - FIELD_NAMES)
        if unknown:
            raise InputError(f"unknown fit option(s) {', '.join(unknown)}: written by a newer peakforge?")
        fields = dict(values)
        radii = fields.get("particle_radius")
        if isinstance(radii, Mapping):
            fields["particle_radius"] = {None if n == OTHER_PHASES else n: r for n, r in radii.items()}
        return cls(**fields)


FIELD_NAMES = frozenset(f.name for f in dataclasses.fields(FitRequest))


def fit_options() -> list[tuple[str, Any, FitOption]]:
    """Each field's name, default and command-line spelling, in field order.

    Returns
    -------
    list of tuple
        ``(name, default, FitOption)`` for every field of `FitRequest`.
    """
    return [(f.name, f.default, f.metadata["option"]) for f in dataclasses.fields(FitRequest)]


def _flag(name: str, value: object) -> bool:
    if isinstance(value, bool) or (isinstance(value, int) and value in (0, 1)):
        return bool(value)
    raise InputError(f"{name} must be true or false, not {value!r}")


def _choice(name: str, value: object, choices: Sequence[str]) -> str:
    if value not in choices:
        raise InputError(f"{name} must be one of {', '.join(choices)}, not {value!r}")
    return str(value)


def _number(name: str, value: object) -> float:
    if isinstance(value, bool):
        raise InputError(f"{name} must be a number, not {value!r}")
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a number, not {value!r}") from None
    if not math.isfinite(number):
        raise InputError(f"{name} must be a finite number, not {value!r}")
    return number


def _optional_number(name: str, value: object, low: float, high: float, open_low: bool = False) -> float | None:
    if value is None:
        return None
    number = _number(name, value)
    if number > high or number < low or (open_low and number == low):
        raise InputError(f"{name} must lie {'above' if open_low else 'from'} {low:g} to {high:g}, not {number:g}")
    return number


def _whole(name: str, value: object, low: int, high: int, unit: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) and not (isinstance(value, float) and value.is_integer()):
        raise InputError(f"{name} must be a whole number of {unit}, not {value!r}")
    number = int(value)  # type: ignore[arg-type]
    if not low <= number <= high:
        raise InputError(f"{name} takes {low} to {high} {unit}, not {number}")
    return number


def _wavelength(value: object) -> float | str | tuple[float, float] | None:
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, (list, tuple)):
        if len(value) != 2:
            raise InputError(f"a wavelength pair must be two numbers (Ka1, Ka2 in angstrom), not {value!r}")
        first, second = (_number("a wavelength", v) for v in value)
        return first, second
    return _number("the wavelength", value)


def _instrument(value: object) -> str | Instrument | None:
    if value is None or isinstance(value, (str, Instrument)):
        return value
    if isinstance(value, os.PathLike):
        return os.fspath(value)  # type: ignore[return-value]
    raise InputError(f"the instrument must be a file's path or an Instrument, not {type(value).__name__}")


def _words(name: str, value: object) -> tuple[str, ...]:
    if isinstance(value, str):
        value = (value,)
    if not isinstance(value, (list, tuple)) or not all(isinstance(w, str) for w in value):
        raise InputError(f"{name} takes parameter names, not {value!r}")
    return tuple(value)


def _orientations(value: object) -> tuple[tuple[str, tuple[int, int, int]], ...]:
    if value is None:
        return ()
    items = value.items() if isinstance(value, Mapping) else value
    found: dict[str, tuple[int, int, int]] = {}
    try:
        pairs = [(phase, hkl) for phase, hkl in items]  # type: ignore[union-attr]
    except (TypeError, ValueError):
        raise InputError(f"orientations must be a phase name and three Miller indices each, not {value!r}") from None
    for phase, hkl in pairs:
        if isinstance(hkl, str):
            phase, hkl = parse_orientation(f"{phase}:{hkl}")
        try:
            indices = tuple(operator.index(i) for i in hkl)
        except TypeError:
            indices = ()
        if len(indices) != 3 or indices == (0, 0, 0):
            raise InputError(
                f"the preferred direction of {phase} must be three whole Miller indices, not all zero: {hkl!r}"
            )
        found[str(phase)] = (indices[0], indices[1], indices[2])
    return tuple(sorted(found.items()))


def _radii(value: object) -> tuple[tuple[str | None, float], ...]:
    if value is None:
        return ()
    if not isinstance(value, (Mapping, list, tuple)):
        value = {None: value}
    items = value.items() if isinstance(value, Mapping) else value
    try:
        pairs = [(phase, radius) for phase, radius in items]  # type: ignore[union-attr]
    except (TypeError, ValueError):
        raise InputError(f"particle radii must be a number or numbers by phase, not {value!r}") from None
    found: dict[str | None, float] = {}
    for phase, radius in pairs:
        number = _number("a particle radius", radius)
        if number < 0.0:
            raise InputError(f"particle radii must be finite numbers of micrometres, at least 0, not {number:g}")
        found[None if phase is None else str(phase)] = number
    return tuple(sorted(found.items(), key=lambda item: (item[0] is not None, item[0] or "")))


def _refine_atoms(value: object) -> bool | tuple[str, ...]:
    if value is None or value is False:
        return False
    if value is True:
        return True
    if isinstance(value, str):
        return (value,)
    if isinstance(value, (list, tuple)) and all(isinstance(n, str) for n in value):
        return tuple(value) or True
    raise InputError(f"refine_atoms takes true, false or phase names, not {value!r}")


def _start(value: object) -> tuple[tuple[str, float], ...]:
    if value is None:
        return ()
    items = value.items() if isinstance(value, Mapping) else value
    try:
        pairs = [(str(name), v) for name, v in items]  # type: ignore[union-attr]
    except (TypeError, ValueError):
        raise InputError(f"start values must be numbers by parameter name, not {value!r}") from None
    found = {name: _number(f"the start of {name}", v) for name, v in pairs}
    return tuple(sorted(found.items()))


def instrument_path(request: FitRequest) -> Path | None:
    """The instrument file a request names, or None (none, or an `Instrument` object)."""
    return Path(request.instrument) if isinstance(request.instrument, str) else None
