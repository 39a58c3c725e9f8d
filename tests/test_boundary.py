"""The call boundary: module attributes, argument matching and conversion."""

import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import PARAMETERS
from hypothesis import given, settings
from hypothesis import strategies as st

import peakforge

xrd = peakforge.calculate_xrd_intensities

# One Z = 1 atom at the origin and the (100) reflection with g = 0.5.
GOOD = dict(
    hkls=[[1, 0, 0]],
    g_hkls=[0.5],
    wavelength=1.0,
    frac_coords_x=[0.0],
    frac_coords_y=[0.0],
    frac_coords_z=[0.0],
    atomic_numbers=[1],
    scattering_coeffs=[[]],
    occupancies=[1.0],
    dw_factors=[0.0],
    parallel=False,
    num_threads=0,
    use_simd=False,
)
EXPECTED = [(28.95502437185985, 29.176474541429208)]


def call(**changes):
    return xrd(**{**GOOD, **changes})


# Arguments each function accepts, in declaration order.
EXAMPLES = {
    "get_unique_families_rust": ([[1, 0, 0], [0, -1, 0], [1, 1, 0]],),
    "generate_hkl_points": ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], 1.0, 0.0),
    "calculate_xrd_intensities": tuple(GOOD.values()),
    "merge_peaks": ([10.0, 10.2, 30.0], [1.0, 2.0, 5.0], [[1, 0, 0], [0, 1, 0], [1, 1, 1]], [4.0, 3.9, 2.0], 0.5),
    "normalize_intensities": ([1.0, 4.0], 2.0),
}


def test_module_attributes_and_reimport_identity():
    assert peakforge.__doc__ == ""
    assert peakforge.__all__ == list(PARAMETERS)
    public = {n for n in dir(peakforge) if not n.startswith("__")}
    assert public == set(PARAMETERS)
    for name, parameters in PARAMETERS.items():
        function = getattr(peakforge, name)
        assert function.__doc__ is None
        assert function.__text_signature__ == "(" + ", ".join(parameters) + ")"
        assert function.__self__ is peakforge and function.__module__ == "peakforge"

    del sys.modules["peakforge"]
    import peakforge as again

    sys.modules["peakforge"] = again
    assert again is peakforge and again.calculate_xrd_intensities is xrd


@pytest.mark.parametrize("name", PARAMETERS)
def test_every_parameter_can_be_given_by_keyword(name):
    # The names come from what the interpreter shows, so the doc string and the
    # matching are checked against each other; reversed, order cannot matter.
    function = getattr(peakforge, name)
    names = function.__text_signature__.strip("()").split(", ")
    args = EXAMPLES[name]
    keywords = dict(reversed(list(zip(names, args, strict=True))))
    assert function(**keywords) == function(*args)


def test_only_the_initialisation_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils)")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", peakforge.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_peakforge"]


def test_positional_keyword_and_mixed_calls_agree():
    values = list(GOOD.values())
    assert xrd(*values) == EXPECTED
    assert xrd(**GOOD) == EXPECTED
    assert xrd(*values[:5], **dict(list(GOOD.items())[5:])) == EXPECTED


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (),
            {},
            "calculate_xrd_intensities() missing 13 required positional arguments: 'hkls', "
            "'g_hkls', 'wavelength', 'frac_coords_x', 'frac_coords_y', 'frac_coords_z', "
            "'atomic_numbers', 'scattering_coeffs', 'occupancies', 'dw_factors', 'parallel', "
            "'num_threads', and 'use_simd'",
        ),
        (
            list(GOOD.values())[:11],
            {},
            "calculate_xrd_intensities() missing 2 required positional arguments: 'num_threads' and 'use_simd'",
        ),
        (
            list(GOOD.values())[:12],
            {},
            "calculate_xrd_intensities() missing 1 required positional argument: 'use_simd'",
        ),
        (list(GOOD.values()) + [1], {}, "calculate_xrd_intensities() takes 13 positional arguments but 14 were given"),
        (
            list(GOOD.values()) + [1],
            {"bogus": 1},
            "calculate_xrd_intensities() takes 13 positional arguments but 14 were given",
        ),
        (
            list(GOOD.values())[:12],
            {"usesimd": True},
            "calculate_xrd_intensities() got an unexpected keyword argument 'usesimd'",
        ),
        (list(GOOD.values()), {"hkls": []}, "calculate_xrd_intensities() got multiple values for argument 'hkls'"),
    ],
)
def test_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        xrd(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "changes, exception, message",
    [
        ({"hkls": "100"}, TypeError, "argument 'hkls': Can't extract `str` to `Vec`"),
        ({"hkls": ["100"]}, TypeError, "argument 'hkls': Can't extract `str` to `Vec`"),
        ({"g_hkls": {1: 2}}, TypeError, "argument 'g_hkls': 'dict' object cannot be converted to 'Sequence'"),
        ({"g_hkls": None}, TypeError, "argument 'g_hkls': 'NoneType' object cannot be converted to 'Sequence'"),
        (
            {"scattering_coeffs": [[1.0]]},
            TypeError,
            "argument 'scattering_coeffs': 'float' object cannot be converted to 'Sequence'",
        ),
        ({"wavelength": "1"}, TypeError, "argument 'wavelength': must be real number, not str"),
        ({"g_hkls": [0.5, None]}, TypeError, "argument 'g_hkls': must be real number, not NoneType"),
        (
            {"atomic_numbers": [1.0]},
            TypeError,
            "argument 'atomic_numbers': 'float' object cannot be interpreted as an integer",
        ),
        ({"atomic_numbers": [2**31]}, OverflowError, None),
        ({"atomic_numbers": [-(2**31) - 1]}, OverflowError, None),
        ({"atomic_numbers": [2**64]}, OverflowError, None),
        ({"parallel": 1}, TypeError, "argument 'parallel': 'int' object cannot be converted to 'PyBool'"),
        ({"use_simd": None}, TypeError, "argument 'use_simd': 'NoneType' object cannot be converted to 'PyBool'"),
        (
            {"num_threads": None},
            TypeError,
            "argument 'num_threads': 'NoneType' object cannot be interpreted as an integer",
        ),
        ({"num_threads": 1.0}, TypeError, "argument 'num_threads': 'float' object cannot be interpreted as an integer"),
        ({"num_threads": -1}, OverflowError, None),
        ({"num_threads": 2**64}, OverflowError, None),
        # Only the first bad parameter in declaration order is reported.
        ({"g_hkls": "x", "parallel": 1}, TypeError, "argument 'g_hkls': Can't extract `str` to `Vec`"),
    ],
)
def test_conversion_failures(changes, exception, message):
    with pytest.raises(exception) as info:
        call(**changes)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    if exception is TypeError:
        assert info.value.__cause__ is None and info.value.__suppress_context__
    else:
        assert "argument" not in str(info.value)


def test_prefix_rule_keeps_cause_and_leaves_other_types_alone():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("custom") from e

    class BadValue:
        def __float__(self):
            raise ValueError("no float")

    class MyTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise MyTypeError("sub")

    with pytest.raises(TypeError) as info:
        call(wavelength=Bad())
    assert str(info.value) == "argument 'wavelength': custom"
    assert isinstance(info.value.__cause__, KeyError) and info.value.__suppress_context__
    with pytest.raises(ValueError, match="^no float$"):
        call(g_hkls=[BadValue()])
    with pytest.raises(MyTypeError, match="^sub$"):
        call(wavelength=Sub())


def test_accepted_value_kinds():
    class Index:
        def __index__(self):
            return 1

    assert (
        call(
            hkls=((1, 0, 0),),
            g_hkls=(0.5,),
            wavelength=1,
            atomic_numbers=[True],
            frac_coords_x=range(1),
            num_threads=True,
        )
        == EXPECTED
    )
    assert (
        call(
            hkls=[[1, False, Index()]],
            atomic_numbers=[Index()],
            g_hkls=[np.float32(0.5)],
            num_threads=np.uint64(3),
            parallel=np.False_,
            use_simd=np.bool_(False),
        )
        == EXPECTED
    )
    assert (
        call(
            hkls=np.array([[1, 0, 0]]),
            g_hkls=np.array([0.5]),
            wavelength=np.float64(1.0),
            atomic_numbers=np.array([1], dtype=np.int32),
            frac_coords_x=np.zeros(1),
            frac_coords_y=b"\0",
            frac_coords_z=bytearray(1),
            scattering_coeffs=np.zeros((1, 0, 2)),
        )
        == EXPECTED
    )
    # A true -1.0 and subclasses of float are ordinary values.
    assert call(wavelength=-1.0)[0][0] == -EXPECTED[0][0]


def test_list_changed_during_conversion_behaves_like_iteration():
    values = [0.5, 7.0, 8.0]

    class Shrinker:
        def __float__(self):
            del values[1:]  # the list shrinks while it is converted
            return 0.5

    values.insert(0, Shrinker())
    # Items are taken exactly as iteration would: the shrunk list ends early,
    # so the second reflection finds no g.
    with pytest.raises(BaseException, match="the len is 1 but the index is 1"):
        call(hkls=[[1, 0, 0], [1, 0, 0]], g_hkls=values)
    assert len(values) == 1

    grown = []

    class Grower:
        def __float__(self):
            if len(grown) < 5:
                grown.append(Grower())  # each converted item adds the next
            return 0.5

    grown.append(Grower())
    out = call(hkls=[[1, 0, 0]] * 5, g_hkls=grown)
    assert out == EXPECTED * 5 and len(grown) == 5


class Real(float):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Mutating:
    """A number whose first conversion changes a list: its own index list or
    the list of all of them."""

    def __init__(self, value, target, action, new_item):
        self.value, self.target, self.action, self.new_item = value, target, action, new_item

    def __float__(self):
        target, self.target = self.target, None
        if target is not None and (target or self.action == "append"):
            if self.action == "append":
                target.append(self.new_item)
            elif self.action == "pop":
                target.pop()
            elif self.action == "drop_first":
                del target[0]
            else:
                target.clear()
        return self.value


ELEMENTS = st.tuples(
    st.sampled_from(["float", "int", "big_int", "bool", "float_subclass", "float64", "float32", "index", "mutating"]),
    st.floats(-4, 4),
    st.booleans(),
    st.sampled_from(["append", "pop", "drop_first", "clear"]),
)
REFLECTIONS = st.lists(
    st.tuples(st.sampled_from([list, list, tuple, np.array]), st.lists(ELEMENTS, min_size=2, max_size=5)), max_size=6
)


def build_hkls(recipe):
    """Fresh index lists from `recipe`: every kind of number, in lists,
    tuples and arrays, some changing the lists while they are converted."""
    outer = []
    for container, elements in recipe:
        row = []
        for kind, v, in_row, action in elements:
            row.append(
                {
                    "float": v,
                    "int": int(v * 4),
                    "big_int": int(v * 2**70),
                    "bool": v > 0,
                    "float_subclass": Real(v),
                    "float64": np.float64(v),
                    "float32": np.float32(v),
                    "index": Index(int(v)),
                    "mutating": Mutating(v, *((row, action, 0.5) if in_row else (outer, action, [0.5, 1, 2]))),
                }[kind]
            )
        outer.append(
            row if container is list else np.array([e[1] for e in elements]) if container is np.array else tuple(row)
        )
    return outer


@settings(max_examples=300, deadline=None)
@given(recipe=REFLECTIONS)
def test_index_lists_convert_as_plain_iteration_does(recipe):
    # Two atoms, so that the intensity depends on every index; the model
    # converts the same fresh objects the way Python iteration does.
    def outcome(hkls):
        try:
            return repr(
                call(
                    hkls=hkls,
                    g_hkls=[0.3] * 16,
                    frac_coords_x=[0.1, 0.7],
                    frac_coords_y=[0.2, 0.3],
                    frac_coords_z=[0.3, 0.9],
                    atomic_numbers=[1, 1],
                    scattering_coeffs=[[], []],
                    occupancies=[1.0, 1.0],
                    dw_factors=[0.0, 0.0],
                )
            )
        except BaseException as e:  # noqa: B036 -- PanicException included
            return type(e), str(e)

    model = [[float(x) for x in row] for row in build_hkls(recipe)]
    assert outcome(build_hkls(recipe)) == outcome(model)


def test_size_hint_is_only_a_hint():
    class Liar:
        def __init__(self, items, length):
            self.items, self.length = items, length

        def __len__(self):
            if isinstance(self.length, Exception):
                raise self.length
            return self.length

        def __getitem__(self, i):
            return self.items[i]

    for length in (2**40, 0, sys.maxsize, ValueError("no len")):
        liar = Liar([0.5, 0.5, 0.5], length)
        assert call(hkls=[[1, 0, 0]] * 3, g_hkls=liar) == EXPECTED * 3


@pytest.mark.exhausts_memory
def test_running_out_of_memory_raises_memory_error():
    import textwrap

    code = textwrap.dedent("""
        import resource
        import peakforge
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            peakforge.calculate_xrd_intensities(
                [], range(10**10), 1.0, [], [], [], [], [], [], [], False, 0, False)
        except MemoryError:
            print("MemoryError")
        print(peakforge.calculate_xrd_intensities(
            [[1, 0, 0]], [0.5], 1.0, [0.0], [0.0], [0.0], [1], [[]], [1.0], [0.0],
            False, 0, False))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["MemoryError", str(EXPECTED)]
