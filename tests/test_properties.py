"""Malformed input never crashes the interpreter.

Every function is called with arbitrary Python objects in every position:
edge-case numbers, strings, bytes, containers of mixed depth, dicts and
generators, NumPy values, and objects whose __float__, __index__, __len__ or
__iter__ raise, lie, or change the very list being converted. The outcome must
be a result of the right shape or one of the exceptions a caller is promised:
TypeError, OverflowError, ValueError, MemoryError, PanicException, or whatever
the caller's own object raised. Never SystemError, never a crash.

The example count comes from the profile named by PEAKFORGE_HYPOTHESIS_PROFILE:
"ci" (2000 per function, what the properties gate runs), "sanitizer" (200) or
"dev" (200, the default).
"""

import functools
import math
import os

import numpy as np
import pytest
from conftest import PARAMETERS, panic_type
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import peakforge

settings.register_profile("ci", max_examples=2000, deadline=None, suppress_health_check=list(HealthCheck))
settings.register_profile("sanitizer", max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
settings.register_profile("dev", max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
PROFILE = settings.get_profile(os.environ.get("PEAKFORGE_HYPOTHESIS_PROFILE") or "dev")
# Calling-convention checks are cheap per example but need fewer of them.
CALL_PROFILE = settings(PROFILE, max_examples=max(100, PROFILE.max_examples // 4))

PANIC = panic_type()


class UserError(Exception):
    """Raised by the test's own objects; must come back unchanged."""


class UserBaseError(BaseException):
    """Same, for an exception outside the Exception hierarchy."""


USER_ERRORS = (UserError, UserBaseError)
ALLOWED = (TypeError, OverflowError, ValueError, MemoryError, PANIC) + USER_ERRORS


# -- objects that misbehave ---------------------------------------------------


class Budget:
    """Bounds the side effects of the mutating objects below, so that an
    element that appends to its own list cannot make a conversion endless."""

    def __init__(self, uses):
        self.uses = uses

    def take(self):
        if self.uses <= 0:
            return False
        self.uses -= 1
        return True


class Number:
    """A number-like object whose __float__ and __index__ return, raise or
    mutate as told. `value` may be a lie (a str, a float from __index__...)."""

    def __init__(self, value, mode="return", target=None, action=None, budget=None):
        self.value, self.mode = value, mode
        self.target, self.action, self.budget = target, action, budget

    def _answer(self):
        if self.mode == "raise":
            raise UserError("from __float__/__index__")
        if self.mode == "raise_base":
            raise UserBaseError("from __float__/__index__")
        if self.mode == "panic":
            raise PANIC("re-raised by user code")
        if self.mode == "mutate" and self.budget.take():
            mutate(self.target, self.action)
        return self.value

    def __float__(self):
        return self._answer()

    def __index__(self):
        return self._answer()

    def __repr__(self):
        return f"Number({self.value!r}, {self.mode!r}, action={self.action!r})"


class Sequence:
    """A sequence by protocol (has __getitem__) whose __len__ and __iter__
    misbehave as told. Iteration always ends: items are finite."""

    def __init__(self, items, length="true", iteration="items"):
        self.items, self.length, self.iteration = list(items), length, iteration

    def __len__(self):
        if self.length == "raise":
            raise UserError("from __len__")
        if self.length == "huge":
            return 2**62  # claims far more than it yields
        if self.length == "negative":
            return -1  # the interpreter raises ValueError
        if self.length == "not_int":
            return "3"
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iteration == "raise":
            raise UserError("from __iter__")
        if self.iteration == "not_iterator":
            return 42
        if self.iteration == "raise_midway":
            return self._raise_midway()
        return iter(self.items)

    def _raise_midway(self):
        yield from self.items[:1]
        raise UserError("from __next__")

    def __repr__(self):
        return f"Sequence({self.items!r}, {self.length!r}, {self.iteration!r})"


def mutate(target, action):
    if action == "clear":
        target.clear()
    elif action == "append":
        target.append(1.5)
    elif action == "pop" and target:
        target.pop()
    elif action == "pop_front" and target:
        del target[0]
    elif action == "replace" and target:
        target[0] = "replaced"
    elif action == "extend":
        target.extend([[0, 1, 2], 2.5, None])


def with_mutator(items, element, budget_uses):
    """Puts into `items` an element that mutates `items` itself when converted."""
    return element.map(lambda spec: _plant(items, spec, budget_uses))


def _plant(items, spec, budget_uses):
    position, action, value = spec
    items.insert(min(position, len(items)), Number(value, "mutate", items, action, Budget(budget_uses)))
    return items


# -- strategies ------------------------------------------------------------------

EDGE_INTS = [
    0,
    1,
    -1,
    2,
    3,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64 - 1,
    2**64,
    -(2**64),
    10**40,
]
EDGE_FLOATS = [
    0.0,
    -0.0,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e308,
    -1.0,
    0.5,
    1.0,
    2.0,
]
ACTIONS = ["clear", "append", "pop", "pop_front", "replace", "extend"]


def numbers(big):
    """Plain numbers. With big=False they stay small, for the functions whose
    work grows with a value (generate_hkl_points walks a box sized by max_r)."""
    if big:
        floats = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats())
        ints = st.one_of(st.sampled_from(EDGE_INTS), st.integers())
    else:
        # Non-zero magnitudes stay at or above 1/4, so that a basis vector
        # built from them is never so short that the box explodes; inf and
        # 1e300 are far enough out that a max_r of theirs must be refused.
        floats = st.one_of(
            st.sampled_from([0.0, -0.0, math.nan, -math.inf, math.inf, 1e300, 5e-324, 0.5, 1.0]),
            st.floats(0.25, 4.0),
            st.floats(-4.0, -0.25),
        )
        ints = st.integers(-4, 4)
    return st.one_of(floats, ints, st.booleans())


def numpy_values(big):
    floats = st.sampled_from([np.float64(0.5), np.float32(1.5), np.float64(math.nan)])
    ints = st.sampled_from(
        [np.int32(3), np.int64(-2), np.uint8(7)] + ([np.int64(2**40), np.uint64(2**64 - 1)] if big else [])
    )
    bools = st.sampled_from([np.True_, np.False_, np.bool_(True)])
    return st.one_of(floats, ints, bools)


def misbehaving_numbers(big):
    lies = st.one_of(
        st.none(),
        st.text(max_size=2),
        st.just(2.5),
        st.just(1j),
        st.sampled_from(EDGE_INTS if big else [0, 1, -1]),
        st.sampled_from(EDGE_FLOATS if big else [0.0, math.nan]),
    )
    return st.one_of(
        st.builds(Number, lies, st.just("return")),
        st.builds(Number, st.just(1.0), st.sampled_from(["raise", "raise_base", "panic"])),
    )


def scalars(big=True):
    return st.one_of(
        st.none(),
        numbers(big),
        st.text(max_size=4),
        st.binary(max_size=4),
        st.builds(bytearray, st.binary(max_size=3)),
        st.just(Ellipsis),
        st.just(object()),
        st.just(1j),
        numpy_values(big),
        misbehaving_numbers(big),
    )


def generators(elements):
    return st.lists(elements, max_size=3).map(lambda xs: (x for x in xs))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.lists(children, max_size=3).flatmap(
            lambda xs: with_mutator(xs, st.tuples(st.integers(0, 3), st.sampled_from(ACTIONS), children), 2)
        ),
        st.builds(
            Sequence,
            st.lists(children, max_size=3),
            st.sampled_from(["true", "raise", "huge", "negative", "not_int"]),
            st.sampled_from(["items", "raise", "not_iterator", "raise_midway"]),
        ),
        st.dictionaries(st.integers(0, 3), children, max_size=2),
        st.frozensets(st.integers(0, 3), max_size=2),
        generators(children),
        st.builds(range, st.integers(-2, 4)),
    )


def anything(big=True):
    """Arbitrary objects, nested up to a few levels."""
    return st.recursive(scalars(big), containers, max_leaves=10)


def element(kind, big):
    """Elements that usually convert under `kind`, sometimes not."""
    good = {"float": numbers(big), "int32": st.sampled_from(EDGE_INTS) if big else st.integers(-3, 3)}[kind]
    return st.one_of(good, good, good, scalars(big))


def sequence_of(elements, depth):
    """A sequence kind nested `depth` levels, with the occasional odd element,
    container type or mutating element along the way."""
    inner = elements if depth == 1 else sequence_of(elements, depth - 1)
    lists = st.lists(inner, max_size=4)
    return st.one_of(
        lists,
        lists,
        lists,
        lists.map(tuple),
        lists.flatmap(
            lambda xs: with_mutator(xs, st.tuples(st.integers(0, 3), st.sampled_from(ACTIONS), st.just(0.5)), 2)
        ),
        st.builds(
            Sequence,
            st.lists(inner, max_size=3),
            st.sampled_from(["true", "raise", "huge", "negative", "not_int"]),
            st.sampled_from(["items", "raise", "not_iterator", "raise_midway"]),
        ),
        anything(big=False),
    )


def float_array_like():
    return st.lists(st.floats(-3, 3), max_size=4).map(np.array)


INT32_EDGES = [0, 1, -1, 7, 2**31 - 1, -(2**31)]


def valid_sequence(elements, depth):
    inner = elements if depth == 1 else valid_sequence(elements, depth - 1)
    lists = st.lists(inner, max_size=4)
    return st.one_of(lists, lists, lists.map(tuple))


# Values that convert under each value kind ...
VALID = {
    "float": lambda big: st.one_of(numbers(big), numpy_values(big)),
    "floats": lambda big: st.one_of(valid_sequence(numbers(big), 1), float_array_like()),
    "floats2": lambda big: valid_sequence(numbers(big), 2),
    "floats3": lambda big: valid_sequence(numbers(big), 3),
    # Mostly full 3x3 (or larger) matrices, so that the walk is reached.
    "matrix": lambda big: st.one_of(
        st.lists(st.lists(numbers(big), min_size=3, max_size=4), min_size=3, max_size=4),
        st.lists(st.lists(numbers(big), min_size=3, max_size=4), min_size=3, max_size=4),
        valid_sequence(numbers(big), 2),
    ),
    "int32s": lambda big: valid_sequence(st.sampled_from(INT32_EDGES), 1),
    "int32s2": lambda big: valid_sequence(st.sampled_from(INT32_EDGES), 2),
    "bool": lambda big: st.one_of(st.booleans(), st.sampled_from([np.True_, np.False_])),
    "count": lambda big: st.one_of(st.integers(0, 4), st.just(True)),
}

# ... and values that often do not.
WILD = {
    "float": lambda big: st.one_of(numbers(big), scalars(big)),
    "floats": lambda big: sequence_of(element("float", big), 1),
    "floats2": lambda big: sequence_of(element("float", big), 2),
    "floats3": lambda big: sequence_of(element("float", big), 3),
    "matrix": lambda big: sequence_of(element("float", big), 2),
    "int32s": lambda big: sequence_of(element("int32", big), 1),
    "int32s2": lambda big: sequence_of(element("int32", big), 2),
    "bool": lambda big: st.one_of(numpy_values(big), scalars(big)),
    # Worker counts stay small: a huge valid count would start 65535 threads
    # per call. Values that fail conversion are still drawn freely.
    "count": lambda big: st.one_of(
        st.sampled_from([-1, -(2**63), 2**64, 2**70]),
        st.builds(Number, st.sampled_from([0, 2, -1, 2**64, 1.5, None]), st.just("return")),
        misbehaving_numbers(False),
        st.none(),
        st.floats(0, 4),
        st.text(max_size=2),
    ),
}

# Value kind of each parameter; big=False where a value sizes the work.
SIGNATURES = {
    "get_unique_families_rust": [("int32s2", True)],
    "generate_hkl_points": [("matrix", False), ("float", False), ("float", False)],
    "calculate_xrd_intensities": [
        ("floats2", True),
        ("floats", True),
        ("float", True),
        ("floats", True),
        ("floats", True),
        ("floats", True),
        ("int32s", True),
        ("floats3", True),
        ("floats", True),
        ("floats", True),
        ("bool", True),
        ("count", True),
        ("bool", True),
    ],
    "merge_peaks": [("floats", True), ("floats", True), ("int32s2", True), ("floats", True), ("float", True)],
    "normalize_intensities": [("floats", True), ("float", True)],
}


@functools.cache
def strategy(table, kind, big):
    """Strategies are built once: building them is far dearer than drawing."""
    return {"valid": VALID, "wild": WILD}[table][kind](big)


@st.composite
def arguments(draw, name):
    """Arguments that convert, with up to two of them replaced by wild values,
    so that both the conversions and the computations behind them are reached."""
    signature = SIGNATURES[name]
    args = [draw(strategy("valid", kind, big)) for kind, big in signature]
    for i in draw(st.sets(st.integers(0, len(signature) - 1), max_size=2)):
        kind, big = signature[i]
        args[i] = draw(strategy("wild", kind, big))
    return tuple(args)


# -- shape of a successful result ---------------------------------------------------


def is_float_list(value):
    return type(value) is list and all(type(x) is float for x in value)


def is_int_tuple(value):
    return type(value) is tuple and all(type(x) is int for x in value)


def check_shape(name, result):
    if name == "calculate_xrd_intensities":
        assert type(result) is list
        for pair in result:
            assert type(pair) is tuple and len(pair) == 2
            assert all(type(x) is float for x in pair)
    elif name == "generate_hkl_points":
        assert type(result) is list
        for point in result:
            assert type(point) is tuple and len(point) == 2
            hkl, g = point
            assert is_float_list(hkl) and len(hkl) == 3 and type(g) is float
    elif name == "get_unique_families_rust":
        assert type(result) is dict
        for key, count in result.items():
            assert is_int_tuple(key) and type(count) is int and count >= 1
    elif name == "merge_peaks":
        assert type(result) is tuple and len(result) == 4
        angles, intensities, members, spacings = result
        assert is_float_list(angles) and is_float_list(intensities) and is_float_list(spacings)
        assert type(members) is list
        assert len(angles) == len(intensities) == len(members) == len(spacings)
        for group in members:
            assert type(group) is list and group
            assert all(type(m) is list and all(type(x) is int for x in m) for m in group)
    elif name == "normalize_intensities":
        assert is_float_list(result)


def call_and_check(name, function, *args, **kwargs):
    try:
        result = function(*args, **kwargs)
    except ALLOWED as e:
        event(f"raised {type(e).__name__}")  # shown by --hypothesis-show-statistics
        return
    except BaseException as e:  # noqa: B036
        raise AssertionError(f"{name} raised {type(e).__module__}.{type(e).__qualname__}: {e}")
    event("returned a result")
    check_shape(name, result)


@pytest.mark.parametrize("name", PARAMETERS)
def test_arbitrary_arguments_give_a_result_or_an_allowed_exception(name):
    function = getattr(peakforge, name)

    @PROFILE
    @given(args=arguments(name))
    def check(args):
        call_and_check(name, function, *args)

    check()


@pytest.mark.parametrize("name", PARAMETERS)
def test_arbitrary_argument_counts_and_keywords(name):
    """Too many or too few positionals, duplicates, unknown keywords (also
    ones without UTF-8 text), in any mix."""
    function = getattr(peakforge, name)
    parameters = PARAMETERS[name]
    values = arguments(name)
    keyword_names = st.sampled_from(list(parameters) + ["bogus", "", "HKLS", parameters[0] + " ", "\ud800", "é"])

    # A parameter given by keyword gets a value drawn for that parameter (so
    # num_threads never receives a huge count); unknown names get any value.
    def value_for(key, args, i):
        return args[parameters.index(key)] if key in parameters else args[i]

    @CALL_PROFILE
    @given(
        args=values,
        positional=st.integers(0, len(parameters) + 2),
        keywords=st.lists(
            st.tuples(keyword_names, st.integers(0, len(parameters) - 1)),
            max_size=len(parameters) + 1,
            unique_by=lambda kv: kv[0],
        ),
        extra=st.lists(scalars(big=False), max_size=3),
    )
    def check(args, positional, keywords, extra):
        pool = list(args) + list(extra)
        call_and_check(name, function, *pool[:positional], **{key: value_for(key, args, i) for key, i in keywords})

    check()
