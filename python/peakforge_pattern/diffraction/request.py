"""One calculation request: every option a pattern calculation takes, checked
once when the request is made.

The API builds it (``compute_pattern(structure, request=..., **fields)``),
every subcommand builds it from one argument group derived from its fields
(``cli/calculation_options.py``), a batch stores it with its results as
JSON, and the engine route hands its fields to the core's own request
(``src/core/pattern/pattern_request.hpp``).  A new option is one field here,
with its command-line spelling in the field's ``option``.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Self

import numpy as np

from ..errors import InputError
from .radiation import RADIATIONS
from .scales import SCALES, check_scale
from .wavelengths import ANODE_LINES, resolve_wavelength
from .work import DEFAULT_MAX_WORK

MAX_THREADS = 65535
"""Most worker threads a calculation may ask for."""

EXACT_ROUTE_RULE = "the exact route computes X-rays without anomalous dispersion or monochromator only"


@dataclass(frozen=True)
class Option:
    """How a request field is spelled on the command line.

    Attributes
    ----------
    flags : tuple of str
        The option strings; a boolean field is a flag that sets it True, or
        False when ``negated`` (``--serial`` sets ``parallel`` False).
    help : str
        The option's help line.
    metavar, type, nargs, choices
        As argparse takes them.
    negated : bool
        The flag sets a boolean field False.
    toggle : bool
        A field that may also be left unset (None): ``--flag`` sets it
        True and ``--no-flag`` False.
    changes_result : bool
        False for what changes no number of the pattern (how it is
        computed, or whether it is attempted): two requests that differ
        only there give the same pattern.
    """

    flags: tuple[str, ...]
    help: str
    metavar: str | tuple[str, ...] | None = None
    type: type | None = None
    nargs: int | None = None
    choices: tuple[str, ...] | None = None
    negated: bool = False
    toggle: bool = False
    changes_result: bool = True


def _option(*flags: str, help: str, **details: Any) -> dict[str, Option]:
    return {"option": Option(tuple(flags), help, **details)}


DEFAULT_WAVELENGTH = ANODE_LINES["CuKa"]

DEFAULT_TWO_THETA_RANGE = (0.0, 90.0)
"""The 2θ range of X-rays and neutrons when none is given, degrees."""

ELECTRON_D_MIN = 0.5
"""The smallest d (Å) an electron pattern reaches when no 2θ range is given."""

_ANODE_WAVELENGTHS = frozenset(ANODE_LINES.values())


def default_two_theta_range(radiation: str, wavelength: float) -> tuple[float, float]:
    """The 2θ range a request takes when none is given (degrees).

    0–90° for X-rays and neutrons; electrons, whose wavelengths are some
    hundredths of an ångström, from 0 to the angle of d = `ELECTRON_D_MIN`
    (rounded up to a tenth of a degree): 0–90° would reach d of a few
    hundredths of an ångström.
    """
    if radiation != "electron":
        return DEFAULT_TWO_THETA_RANGE
    ratio = wavelength / (2.0 * ELECTRON_D_MIN)
    if ratio >= 1.0:
        return DEFAULT_TWO_THETA_RANGE
    return 0.0, min(math.ceil(math.degrees(2.0 * math.asin(ratio)) * 10.0) / 10.0, 180.0)


@dataclass(frozen=True)
class PatternRequest:
    """What to compute, and how: checked and normalised when made.

    Frozen; each parameter is an attribute of the same name holding the
    normal form (the wavelength in Å, the 2θ range as a tuple of floats, no
    work limit as None).  `compute_pattern`, `compute_mixture` and
    `run_batch` take one, or its fields as keywords.

    Parameters
    ----------
    wavelength : float or str
        Wavelength in Å, an anode line ("CuKa", "MoKa1", ...), a photon
        energy ("8.04keV") or, with electrons, an accelerating voltage
        ("200kV", relativistic); held in Å.
        A Kα name (or its mean wavelength) stands for the Kα1/Kα2 doublet
        where a profile is drawn.
    two_theta_range : pair of float or None
        Lowest and highest 2θ, degrees, within 0–180. None (the default):
        0–90° for X-rays and neutrons, for electrons 0 to the angle of
        d = 0.5 Å (`default_two_theta_range`).
    radiation : {"xray", "neutron", "electron"}
        Mott–Bethe X-ray form factors, coherent neutron scattering lengths
        (no polarisation), or electron scattering factors (kinematic, no
        polarisation).
    anomalous : bool or None
        X-rays with the dispersion f′ + i f″ at the beam's energy (Friedel
        mates then differ). None (the default): with it for X-rays on the
        engine route, as a measurement has it; the exact route and other
        radiations have none. `dispersion` gives what is computed.
    monochromator_angle : float
        2θ (degrees, in [0, 180)) of a monochromator crystal in the beam, 0
        for none; the polarisation is then
        2 (1 + cos²2θ_M cos²2θ) / (1 + cos²2θ_M) instead of 1 + cos²2θ.
    exact : bool
        The exhaustive route through the module's five calls (every
        reflection computed, families by permutations and sign changes);
        X-rays without dispersion or monochromator only.
    hkil : bool
        Four-index (h k i l) labels for cells with hexagonal axes.
    as_given : bool
        Atoms given in P1 (the identity their only operation) stay in P1;
        by default they are computed with the space group they follow.
    scale : {"max", "full", "absolute"}
        Strongest peak in the range 100, strongest from 0 to 180° 100, or
        |F|² × multiplicity × LP per unit cell.
    strict : bool
        Raise any warning (the structure's or the pattern's) as an InputError.
    max_work : float or None
        Largest calculation started, in reflection-atom terms (None or inf:
        no limit).
    parallel, num_threads, use_simd : bool, int, bool
        A worker pool (of ``num_threads``; 0 chooses), and the vectorised
        structure-factor sum; neither changes the result.

    Raises
    ------
    InputError
        A value no pattern can be computed with, naming it.

    Examples
    --------
    >>> from peakforge_pattern.diffraction.request import PatternRequest
    >>> request = PatternRequest(wavelength="MoKa", two_theta_range=(5, 60))
    >>> request.replace(radiation="neutron").to_dict()["radiation"]
    'neutron'
    >>> PatternRequest.from_dict(request.to_dict()) == request
    True
    """

    wavelength: float = field(
        default=DEFAULT_WAVELENGTH,
        metadata=_option(
            "-w",
            "--wavelength",
            type=str,
            help="wavelength in angstrom, a photon energy (8.04keV), an electron accelerating voltage (200kV, with "
            "--radiation electron) or a line name: " + ", ".join(ANODE_LINES) + " (default CuKa); for a profile "
            "also a Ka1,Ka2 pair in angstrom (1.5406,1.5444)",
        ),
    )
    two_theta_range: tuple[float, float] = field(
        default=None,  # type: ignore[assignment]  # the wavelength's default, set when made
        metadata=_option(
            "--two-theta",
            nargs=2,
            type=float,
            metavar=("MIN", "MAX"),
            help=f"2theta range in degrees (default 0 90; for electrons 0 to d = {ELECTRON_D_MIN:g} A)",
        ),
    )
    radiation: str = field(
        default="xray",
        metadata=_option(
            "--radiation",
            choices=RADIATIONS,
            help="xray (default), neutron (coherent scattering lengths, no polarisation) or electron (kinematic, "
            "electron scattering factors, no polarisation)",
        ),
    )
    anomalous: bool | None = field(
        default=None,
        metadata=_option(
            "--anomalous",
            toggle=True,
            help="X-rays with anomalous dispersion f' + i f'' at the beam's energy (default: with it, except on "
            "the exact route; --no-anomalous leaves it out)",
        ),
    )
    monochromator_angle: float = field(
        default=0.0,
        metadata=_option(
            "--monochromator",
            type=float,
            metavar="DEG",
            help="2theta of the monochromator for the polarisation factor (graphite with Cu Ka: 26.6; default 0, none)",
        ),
    )
    exact: bool = field(
        default=False,
        metadata=_option(
            "--exact",
            help="the exhaustive route: every reflection computed, families by permutations and sign "
            "changes (X-rays without dispersion or monochromator only)",
        ),
    )
    hkil: bool = field(
        default=False, metadata=_option("--hkil", help="four-index (h k i l) labels for cells with hexagonal axes")
    )
    as_given: bool = field(
        default=False,
        metadata=_option("--as-given", help="keep a P1 file in P1 instead of the space group its atoms follow"),
    )
    scale: str = field(
        default="max",
        metadata=_option(
            "--scale",
            choices=SCALES,
            help="intensities: strongest peak in the range 100 (max, default), strongest from 0 to 180 100 (full), "
            "or |F|^2 x multiplicity x LP per cell (absolute)",
        ),
    )
    strict: bool = field(
        default=False, metadata=_option("--strict", help="treat warnings about implausible structures as errors")
    )
    max_work: float | None = field(
        default=DEFAULT_MAX_WORK,
        metadata=_option(
            "--max-work",
            type=float,
            metavar="TERMS",
            changes_result=False,
            help=f"largest calculation to start, in reflections x atoms (default {DEFAULT_MAX_WORK:.2g}, "
            "about a minute; inf for no limit)",
        ),
    )
    parallel: bool = field(
        default=True,
        metadata=_option("--serial", negated=True, changes_result=False, help="compute on the calling thread only"),
    )
    num_threads: int = field(
        default=0,
        metadata=_option(
            "--threads",
            type=int,
            metavar="N",
            changes_result=False,
            help="worker threads of the parallel calculation (default 0: automatic)",
        ),
    )
    use_simd: bool = field(
        default=True,
        metadata=_option("--no-simd", negated=True, changes_result=False, help="use the scalar structure-factor sum"),
    )

    def __post_init__(self) -> None:
        radiation = _choice("radiation", self.radiation, RADIATIONS)
        wavelength = resolve_wavelength(self.wavelength, radiation)
        if radiation == "electron" and wavelength in _ANODE_WAVELENGTHS:
            raise InputError(
                f"electron radiation needs an electron wavelength, not the X-ray line of {wavelength:g} A: "
                "give the accelerating voltage (-w 200kV) or its wavelength in angstrom"
            )
        two_theta_range = (
            default_two_theta_range(radiation, wavelength) if self.two_theta_range is None else self.two_theta_range
        )
        normal = {
            "wavelength": wavelength,
            "two_theta_range": check_two_theta_range(two_theta_range),
            "radiation": radiation,
            "anomalous": None if self.anomalous is None else _flag("anomalous", self.anomalous),
            "monochromator_angle": check_monochromator_angle(self.monochromator_angle),
            "exact": _flag("exact", self.exact),
            "hkil": _flag("hkil", self.hkil),
            "as_given": _flag("as_given", self.as_given),
            "scale": check_scale(self.scale),
            "strict": _flag("strict", self.strict),
            "max_work": _work_limit(self.max_work),
            "parallel": _flag("parallel", self.parallel),
            "num_threads": _threads(self.num_threads),
            "use_simd": _flag("use_simd", self.use_simd),
        }
        for name, value in normal.items():
            if value is not getattr(self, name):  # most values arrive in their final form
                object.__setattr__(self, name, value)
        if self.anomalous and self.radiation != "xray":
            raise InputError("anomalous dispersion applies to X-rays only")
        if self.exact and (self.radiation != "xray" or self.anomalous or self.monochromator_angle != 0.0):
            raise InputError(EXACT_ROUTE_RULE)

    @property
    def dispersion(self) -> bool:
        """Whether f′ + i f″ enter the calculation: as asked, or when not
        asked (None), for X-rays off the exact route."""
        if self.anomalous is not None:
            return self.anomalous
        return self.radiation == "xray" and not self.exact

    @classmethod
    def from_fields(cls, request: PatternRequest | None = None, **fields: Any) -> Self:
        """A request from ``request`` (default: every field's default) with ``fields`` changed.

        Parameters
        ----------
        request : PatternRequest, optional
            The request to start from.
        **fields
            Fields to change, by name.

        Returns
        -------
        PatternRequest
            A new, checked request.

        Raises
        ------
        TypeError
            A field the request does not have.
        InputError
            A value no pattern can be computed with.
        """
        unknown = sorted(set(fields) - _FIELD_NAMES)
        if unknown:
            raise TypeError(f"unknown calculation option(s): {', '.join(unknown)}")
        if request is None:
            return cls(**fields)
        if not isinstance(request, cls):
            raise TypeError(f"request must be a {cls.__name__}, not {type(request).__name__}")
        return dataclasses.replace(request, **fields)

    @classmethod
    def from_call(cls, request: PatternRequest | None, wavelength: Any, two_theta_range: Any, **fields: Any) -> Self:
        """The request of a call that takes the wavelength and 2θ range positionally.

        ``wavelength`` and ``two_theta_range`` change the request unless they
        are None; ``fields`` as in `from_fields`.
        """
        if wavelength is not None:
            fields["wavelength"] = wavelength
        if two_theta_range is not None:
            fields["two_theta_range"] = two_theta_range
        return cls.from_fields(request, **fields)

    def replace(self, **changes: Any) -> Self:
        """The same request with ``changes`` (checked like a new one).

        Parameters
        ----------
        **changes
            Fields to change, by name.

        Returns
        -------
        PatternRequest
            A new request; this one is unchanged.

        Raises
        ------
        TypeError
            A field the request does not have.
        InputError
            A value no pattern can be computed with.
        """
        return dataclasses.replace(self, **changes)

    def to_dict(self) -> dict[str, Any]:
        """Every field as JSON takes it.

        Returns
        -------
        dict
            Field name to value: the 2θ range as a list, no work limit as
            None; `from_dict` reads it back.
        """
        values = dataclasses.asdict(self)
        values["two_theta_range"] = list(self.two_theta_range)
        return values

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> Self:
        """The request ``to_dict`` wrote; fields it lacks take their defaults.

        Parameters
        ----------
        values : mapping
            Field name to value, as `to_dict` gives them (from JSON).

        Returns
        -------
        PatternRequest
            The checked request.

        Raises
        ------
        InputError
            A field this version does not know (written by a newer one), or a bad value.
        """
        unknown = sorted(set(values) - _FIELD_NAMES)
        if unknown:
            raise InputError(f"unknown calculation option(s) {', '.join(unknown)}: written by a newer peakforge?")
        return cls(**{name: value for name, value in values.items()})

    def result_fields(self) -> dict[str, Any]:
        """The fields that change the pattern's numbers (see `Option.changes_result`).

        Returns
        -------
        dict
            Those fields' names and values, as `to_dict` gives them, with
            the dispersion as computed (unset and off give the same neutron
            pattern).
        """
        values = {**self.to_dict(), "anomalous": self.dispersion}
        return {f.name: values[f.name] for f in dataclasses.fields(self) if f.metadata["option"].changes_result}

    def describe(self) -> str:
        """The fields that change the pattern, in a few words (for messages).

        Returns
        -------
        str
            For example "wavelength 1.54184 A, 2theta 0 to 90, xray".
        """
        lo, hi = self.two_theta_range
        extras = [
            name
            for name, on in (
                ("no anomalous dispersion", self.radiation == "xray" and not self.dispersion),
                ("exact route", self.exact),
                ("hkil", self.hkil),
                ("as given", self.as_given),
                ("strict", self.strict),
            )
            if on
        ]
        if self.monochromator_angle:
            extras.append(f"monochromator {self.monochromator_angle:g}")
        if self.scale != "max":
            extras.append(f"scale {self.scale}")
        return f"wavelength {self.wavelength:g} A, 2theta {lo:g} to {hi:g}, {self.radiation}" + "".join(
            f", {extra}" for extra in extras
        )


_FIELD_NAMES = frozenset(f.name for f in dataclasses.fields(PatternRequest))


def request_options() -> list[tuple[str, Any, Option]]:
    """Each field's name, default and command-line spelling, in field order.

    Returns
    -------
    list of tuple
        ``(name, default, Option)`` for every field of `PatternRequest`.
    """
    return [(f.name, f.default, f.metadata["option"]) for f in dataclasses.fields(PatternRequest)]


def _flag(name: str, value: object) -> bool:
    if isinstance(value, (bool, int, np.bool_, np.integer)):
        return bool(value)
    raise InputError(f"{name} must be True or False, not {value!r}")


def _choice(name: str, value: object, choices: Sequence[str]) -> str:
    if value not in choices:
        raise InputError(f"{name} must be one of {', '.join(choices)}, not {value!r}")
    return str(value)


def check_two_theta_range(two_theta_range: object) -> tuple[float, float]:
    """A 2θ range as two floats (degrees).

    Parameters
    ----------
    two_theta_range : pair of float
        Lowest and highest 2θ.

    Returns
    -------
    tuple of float
        ``(lo, hi)``.

    Raises
    ------
    InputError
        Not two numbers, not within 0–180°, or empty.
    """
    try:
        lo, hi = (float(x) for x in two_theta_range)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        raise InputError(f"the 2theta range must be two numbers, not {two_theta_range!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi)) or lo < 0.0 or hi > 180.0:
        raise InputError(f"the 2theta range must lie within 0 to 180 degrees, not {lo:g} to {hi:g}")
    if not lo < hi:
        raise InputError(f"empty 2theta range: {lo:g} to {hi:g}")
    return lo, hi


def check_monochromator_angle(angle: object) -> float:
    """A monochromator's 2θ as a float (degrees, 0 for none).

    Parameters
    ----------
    angle : float
        The monochromator's 2θ.

    Returns
    -------
    float
        The angle.

    Raises
    ------
    InputError
        Not a number in [0, 180).
    """
    try:
        value = float(angle)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise InputError(f"the monochromator angle must be a number, not {angle!r}") from None
    if not (math.isfinite(value) and 0.0 <= value < 180.0):
        raise InputError(f"the monochromator angle (its 2theta) must lie in [0, 180) degrees, not {angle!r}")
    return value


def _work_limit(max_work: object) -> float | None:
    if max_work is None:
        return None
    try:
        value = float(max_work)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise InputError(
            f"the work limit (--max-work, max_work=) must be a number of terms, not {max_work!r}"
        ) from None
    if not value > 0.0:
        raise InputError(f"the work limit (--max-work, max_work=) must be a positive number of terms, not {value:g}")
    return None if math.isinf(value) else value


def _threads(num_threads: object) -> int:
    if isinstance(num_threads, (bool, np.bool_)) or not isinstance(num_threads, (int, np.integer)):
        raise InputError(f"the number of threads (--threads, num_threads=) must be a whole number, not {num_threads!r}")
    value = int(num_threads)
    if not 0 <= value <= MAX_THREADS:
        raise InputError(
            f"the number of threads (--threads, num_threads=) must lie between 0 and {MAX_THREADS}, not {value}"
        )
    return value
