"""The named parameters of a fit: what each is called, where it starts, its
bounds, whether it is refined, and (optionally) how its derivative is
computed.

Every quantity a fit can move is a ``Parameter`` in one ``ParameterSet``.
Names are unique: instrument terms have plain names (``zero_shift``, ``U``,
``asymmetry``), a phase's terms carry the phase's name first (``corundum B``,
``corundum cell a=b``, ``zincite orientation``). Each parameter also has a
``kind``, the word by which users select it (``zero``, ``cell``, ``b``,
``size``...), so ``--fix cell`` holds every phase's cell and
``--refine corundum:size`` only one.

Scales and background coefficients are ``linear``: they are solved exactly
for every trial of the others and are never handed to the optimiser.

A new kind of parameter (atomic coordinates, site occupancies, ...) is
added by putting ``Parameter``s of a new ``kind`` into the set and reading
their values where the model is built (``FitModel.peaks`` for what changes
|F|², ``FitModel.sample`` and ``FitModel.instrument`` for the rest);
nothing here needs to change. A
parameter may carry an analytic ``derivative``: given every parameter's
value by name, it returns d(profile)/d(parameter) of each phase's
unit-scale profile, an array of shape (phases, points). Parameters without
one are differentiated numerically.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass

import numpy as np

from ..errors import InputError

Derivative = Callable[[Mapping[str, float]], np.ndarray]
"""Analytic derivative of every phase's unit-scale profile with respect to
one parameter, as an array (phases × points), at the given values."""

INSTRUMENT_KINDS: tuple[str, ...] = ("zero", "displacement", "U", "V", "W", "X", "Y", "eta", "asymmetry")
"""Kinds of the diffractometer's parameters (one each)."""

PHASE_KINDS: tuple[str, ...] = ("scale", "cell", "b", "size", "strain", "orientation")
"""Kinds of parameters every phase has its own of."""

LINEAR_KINDS: tuple[str, ...] = ("scale", "background")
"""Kinds solved exactly at every step rather than moved by the optimiser."""

KINDS: tuple[str, ...] = ("scale", "background") + INSTRUMENT_KINDS + PHASE_KINDS[1:]
"""Every kind a user can name with --fix and --refine."""


@dataclass(frozen=True)
class Parameter:
    """One named quantity of a fit.

    Parameters
    ----------
    name : str
        Unique name, as reported (``"zero_shift"``, ``"corundum B"``).
    value : float
        Current value (the start before a fit, the result after).
    lower, upper : float
        Bounds of the value (infinite for none).
    refined : bool
        Whether the fit moves it; a fixed parameter keeps ``value``.
    kind : str
        The word that selects it (one of ``KINDS``, or a new kind).
    phase : str or None
        The phase it belongs to, None for the instrument's and the background's.
    step : float
        Size of a meaningful change: the optimiser's scale and the basis of
        numerical derivatives.
    unit : str
        Unit of the value, for reports ("deg", "mm", "A^2", "nm", "").
    linear : bool
        Solved exactly at every step (scales and background).
    derivative : Derivative or None
        Analytic derivative of the phases' profiles; None: numerical.
    """

    name: str
    value: float
    lower: float = -math.inf
    upper: float = math.inf
    refined: bool = True
    kind: str = ""
    phase: str | None = None
    step: float = 1e-3
    unit: str = ""
    linear: bool = False
    derivative: Derivative | None = dataclasses.field(default=None, compare=False, repr=False)

    def __post_init__(self) -> None:
        if not self.lower <= self.upper:
            raise InputError(f"{self.name}: lower bound {self.lower:g} above upper bound {self.upper:g}")
        if not math.isfinite(self.value):
            raise InputError(f"{self.name} must start at a finite value, not {self.value!r}")
        if not self.lower <= self.value <= self.upper:
            raise InputError(f"{self.name} = {self.value:g} lies outside its bounds [{self.lower:g}, {self.upper:g}]")

    def at_bound(self, value: float | None = None, tolerance: float = 1e-6) -> str | None:
        """ "lower" or "upper" when ``value`` (default: its own) sits on that bound, else None."""
        v = self.value if value is None else value
        span = self.upper - self.lower
        margin = tolerance * (span if math.isfinite(span) else max(abs(v), self.step))
        if math.isfinite(self.lower) and v <= self.lower + margin:
            return "lower"
        if math.isfinite(self.upper) and v >= self.upper - margin:
            return "upper"
        return None


class ParameterSet:
    """An ordered, name-indexed collection of a fit's parameters.

    Examples
    --------
    >>> p = ParameterSet([Parameter("zero_shift", 0.0, -1, 1, kind="zero"),
    ...                   Parameter("si B", 0.0, 0, 10, kind="b", phase="si")])
    >>> p.fix(["b"]); [q.name for q in p.free]
    ['zero_shift']
    """

    def __init__(self, parameters: Iterable[Parameter] = ()) -> None:
        self._items: dict[str, Parameter] = {}
        for parameter in parameters:
            self.add(parameter)

    def add(self, parameter: Parameter) -> Parameter:
        if parameter.name in self._items:
            raise InputError(f"two parameters are named {parameter.name!r}")
        self._items[parameter.name] = parameter
        return parameter

    def __iter__(self) -> Iterator[Parameter]:
        return iter(self._items.values())

    def __len__(self) -> int:
        return len(self._items)

    def __contains__(self, name: object) -> bool:
        return name in self._items

    def __getitem__(self, name: str) -> Parameter:
        return self._items[name]

    @property
    def names(self) -> list[str]:
        return list(self._items)

    @property
    def free(self) -> list[Parameter]:
        """The refined parameters the optimiser moves (not the linear ones), in order."""
        return [p for p in self if p.refined and not p.linear]

    @property
    def linear(self) -> list[Parameter]:
        return [p for p in self if p.linear]

    def replace(self, name: str, **changes: object) -> Parameter:
        """Change fields of one parameter (its value, bounds, refined flag...)."""
        updated = dataclasses.replace(self._items[name], **changes)  # type: ignore[arg-type]
        self._items[name] = updated
        return updated

    def select(self, selector: str) -> list[Parameter]:
        """Parameters a user's word names: a parameter's name, a kind (``cell``),
        a phase's kind (``corundum:cell``) or a phase (``corundum:``, all of its).

        Raises
        ------
        InputError
            When the word names nothing, with the words that would.
        """
        word = selector.strip()
        if word in self._items:
            return [self._items[word]]
        phase, separator, kind = word.rpartition(":")
        kinds = {p.kind.lower(): p.kind for p in self}
        wanted = kinds.get(kind.lower(), kind)
        chosen = [p for p in self if (not separator or p.phase == phase) and (p.kind == wanted if kind else separator)]
        if not chosen:
            phases = sorted({p.phase for p in self if p.phase})
            present = [k for k in KINDS if any(p.kind == k for p in self)]
            raise InputError(
                f"{selector!r} names no parameter of this fit: use a kind ({', '.join(present)})"
                + (f", or PHASE:KIND with a phase of {', '.join(phases)}" if phases else "")
            )
        return chosen

    def fix(self, selectors: Iterable[str]) -> None:
        """Hold the selected parameters at their values."""
        for selector in selectors:
            for parameter in self.select(selector):
                if parameter.linear:
                    raise InputError(f"{parameter.name} is solved exactly at every step and cannot be held fixed")
                self.replace(parameter.name, refined=False)

    def refine(self, selectors: Iterable[str]) -> None:
        """Let the fit move the selected parameters."""
        for selector in selectors:
            for parameter in self.select(selector):
                self.replace(parameter.name, refined=True)

    # The optimiser's view: a vector of the free parameters.

    def start(self) -> np.ndarray:
        return np.array([p.value for p in self.free], dtype=float)

    def bounds(self) -> tuple[np.ndarray, np.ndarray]:
        free = self.free
        return np.array([p.lower for p in free], dtype=float), np.array([p.upper for p in free], dtype=float)

    def steps(self) -> np.ndarray:
        return np.array([p.step for p in self.free], dtype=float)

    def onto_bounds(self, free_values: np.ndarray) -> np.ndarray:
        """The free values with those within ``at_bound``'s margin of a bound set onto it.

        The optimiser approaches a bound to within its own tolerance, whose last bits
        differ between processors; a parameter that stopped there is reported at the
        bound's own value.
        """
        snapped = np.array(free_values, dtype=float)
        for i, parameter in enumerate(self.free):
            side = parameter.at_bound(float(snapped[i]))
            if side is not None:
                snapped[i] = parameter.lower if side == "lower" else parameter.upper
        return snapped

    def values(self, free_values: np.ndarray | None = None) -> dict[str, float]:
        """Every parameter's value by name, the free ones taken from ``free_values``."""
        named = {p.name: float(p.value) for p in self}
        if free_values is not None:
            named.update(zip((p.name for p in self.free), map(float, free_values)))
        return named

    def update(self, values: Mapping[str, float]) -> None:
        """Set the values of the named parameters (the others keep theirs)."""
        for name, value in values.items():
            if name in self._items:
                self._items[name] = dataclasses.replace(self._items[name], value=float(value))
