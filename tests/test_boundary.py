"""The call boundary: module attributes, argument matching and conversion."""

import gc
import sys

import numpy as np
import pytest

import peakforge

xrd = peakforge.calculate_xrd_intensities

# One Z = 1 atom at the origin and the (100) reflection with g = 0.5.
GOOD = dict(
    hkls=[[1, 0, 0]], g_hkls=[0.5], wavelength=1.0,
    frac_coords_x=[0.0], frac_coords_y=[0.0], frac_coords_z=[0.0],
    atomic_numbers=[1], scattering_coeffs=[[]], occupancies=[1.0], dw_factors=[0.0],
    parallel=False, num_threads=0, use_simd=False,
)
EXPECTED = [(28.95502437185985, 29.176474541429208)]


def call(**changes):
    return xrd(**{**GOOD, **changes})


def test_module_attributes_and_reimport_identity():
    assert peakforge.__doc__ == ""
    assert peakforge.__all__[: len(peakforge.__all__)] == [
        name for name in ["get_unique_families_rust", "generate_hkl_points",
                          "calculate_xrd_intensities", "merge_peaks", "normalize_intensities"]
        if name in peakforge.__all__
    ]
    assert xrd.__doc__ is None
    assert xrd.__text_signature__ == (
        "(hkls, g_hkls, wavelength, frac_coords_x, frac_coords_y, frac_coords_z, "
        "atomic_numbers, scattering_coeffs, occupancies, dw_factors, parallel, "
        "num_threads, use_simd)")
    assert xrd.__self__ is peakforge and xrd.__module__ == "peakforge"
    public = {n for n in dir(peakforge) if not n.startswith("__")}
    assert public == set(peakforge.__all__)

    del sys.modules["peakforge"]
    import peakforge as again
    sys.modules["peakforge"] = again
    assert again is peakforge and again.calculate_xrd_intensities is xrd


def test_positional_keyword_and_mixed_calls_agree():
    values = list(GOOD.values())
    assert xrd(*values) == EXPECTED
    assert xrd(**GOOD) == EXPECTED
    assert xrd(*values[:5], **dict(list(GOOD.items())[5:])) == EXPECTED


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "calculate_xrd_intensities() missing 13 required positional arguments: 'hkls', "
     "'g_hkls', 'wavelength', 'frac_coords_x', 'frac_coords_y', 'frac_coords_z', "
     "'atomic_numbers', 'scattering_coeffs', 'occupancies', 'dw_factors', 'parallel', "
     "'num_threads', and 'use_simd'"),
    (list(GOOD.values())[:11], {}, "calculate_xrd_intensities() missing 2 required positional "
     "arguments: 'num_threads' and 'use_simd'"),
    (list(GOOD.values())[:12], {}, "calculate_xrd_intensities() missing 1 required positional "
     "argument: 'use_simd'"),
    (list(GOOD.values()) + [1], {}, "calculate_xrd_intensities() takes 13 positional arguments "
     "but 14 were given"),
    (list(GOOD.values()) + [1], {"bogus": 1}, "calculate_xrd_intensities() takes 13 positional "
     "arguments but 14 were given"),
    (list(GOOD.values())[:12], {"usesimd": True}, "calculate_xrd_intensities() got an "
     "unexpected keyword argument 'usesimd'"),
    (list(GOOD.values()), {"hkls": []}, "calculate_xrd_intensities() got multiple values for "
     "argument 'hkls'"),
])
def test_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        xrd(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("changes, exception, message", [
    ({"hkls": "100"}, TypeError, "argument 'hkls': Can't extract `str` to `Vec`"),
    ({"hkls": ["100"]}, TypeError, "argument 'hkls': Can't extract `str` to `Vec`"),
    ({"g_hkls": {1: 2}}, TypeError, "argument 'g_hkls': 'dict' object cannot be converted to "
     "'Sequence'"),
    ({"g_hkls": None}, TypeError, "argument 'g_hkls': 'NoneType' object cannot be converted "
     "to 'Sequence'"),
    ({"scattering_coeffs": [[1.0]]}, TypeError, "argument 'scattering_coeffs': 'float' object "
     "cannot be converted to 'Sequence'"),
    ({"wavelength": "1"}, TypeError, "argument 'wavelength': must be real number, not str"),
    ({"g_hkls": [0.5, None]}, TypeError, "argument 'g_hkls': must be real number, not NoneType"),
    ({"atomic_numbers": [1.0]}, TypeError, "argument 'atomic_numbers': 'float' object cannot "
     "be interpreted as an integer"),
    ({"atomic_numbers": [2**31]}, OverflowError, None),
    ({"atomic_numbers": [-2**31 - 1]}, OverflowError, None),
    ({"atomic_numbers": [2**64]}, OverflowError, None),
    ({"parallel": 1}, TypeError, "argument 'parallel': 'int' object cannot be converted to "
     "'PyBool'"),
    ({"use_simd": None}, TypeError, "argument 'use_simd': 'NoneType' object cannot be "
     "converted to 'PyBool'"),
    ({"num_threads": None}, TypeError, "argument 'num_threads': 'NoneType' object cannot be "
     "interpreted as an integer"),
    ({"num_threads": 1.0}, TypeError, "argument 'num_threads': 'float' object cannot be "
     "interpreted as an integer"),
    ({"num_threads": -1}, OverflowError, None),
    ({"num_threads": 2**64}, OverflowError, None),
    # Only the first bad parameter in declaration order is reported.
    ({"g_hkls": "x", "parallel": 1}, TypeError, "argument 'g_hkls': Can't extract `str` to `Vec`"),
])
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

    assert call(hkls=((1, 0, 0),), g_hkls=(0.5,), wavelength=1, atomic_numbers=[True],
                frac_coords_x=range(1), num_threads=True) == EXPECTED
    assert call(hkls=[[1, False, Index()]], atomic_numbers=[Index()], g_hkls=[np.float32(0.5)],
                num_threads=np.uint64(3), parallel=np.False_, use_simd=np.bool_(False)) == EXPECTED
    assert call(hkls=np.array([[1, 0, 0]]), g_hkls=np.array([0.5]), wavelength=np.float64(1.0),
                atomic_numbers=np.array([1], dtype=np.int32),
                frac_coords_x=np.zeros(1), frac_coords_y=b"\0", frac_coords_z=bytearray(1),
                scattering_coeffs=np.zeros((1, 0, 2))) == EXPECTED
    # A true -1.0 and subclasses of float are ordinary values.
    assert call(wavelength=-1.0)[0][0] == -EXPECTED[0][0]


def test_list_changed_during_conversion_behaves_like_iteration():
    values = [0.5, 7.0, 8.0]

    class Shrinker:
        def __float__(self):
            del values[1:]          # the list shrinks while it is converted
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
                grown.append(Grower())   # each converted item adds the next
            return 0.5

    grown.append(Grower())
    out = call(hkls=[[1, 0, 0]] * 5, g_hkls=grown)
    assert out == EXPECTED * 5 and len(grown) == 5


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


def test_reference_counts_and_memory_are_stable():
    args = {k: v for k, v in GOOD.items()}
    objects = list(args.values()) + [args["hkls"][0], args["g_hkls"][0]]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        call()
        try:
            call(g_hkls=[])
        except BaseException:
            pass
        try:
            call(parallel=1)
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in objects] == before

    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(100_000):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100


@pytest.mark.exhausts_memory
def test_running_out_of_memory_raises_memory_error():
    import subprocess
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
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["MemoryError", str(EXPECTED)]
