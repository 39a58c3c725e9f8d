"""Per-reflection 2-theta and intensity."""

import math

import pytest
from conftest import index_message, panic_of

import peakforge

NAN, INF = float("nan"), float("inf")


def xrd(
    hkls,
    g_hkls,
    wavelength=1.0,
    x=(0.0,),
    y=(0.0,),
    z=(0.0,),
    z_numbers=(1,),
    coeffs=((),),
    occ=(1.0,),
    dw=(0.0,),
    parallel=False,
    num_threads=0,
    use_simd=False,
):
    return peakforge.calculate_xrd_intensities(
        hkls,
        g_hkls,
        wavelength,
        list(x),
        list(y),
        list(z),
        list(z_numbers),
        [[list(p) for p in c] for c in coeffs],
        list(occ),
        list(dw),
        parallel,
        num_threads,
        use_simd,
    )


def panic_message(*args, **kwargs):
    return str(panic_of(xrd, *args, **kwargs))


def test_worked_values():
    assert xrd([[1, 0, 0]], [0.5]) == [(28.95502437185985, 29.176474541429208)]
    ((two_theta, intensity),) = xrd([[1, 0, 0]], [0.5], z_numbers=[6], coeffs=[[[1.0, 2.0]]])
    f = 6 - 41.78214 * 0.0625 * math.exp(-0.125)
    assert two_theta == 28.95502437185985
    assert intensity == pytest.approx(398.44674101450704, rel=1e-14)
    assert intensity == pytest.approx(f * f * 29.176474541429208, rel=1e-14)
    # Debye-Waller damps the amplitude: exp(-B s^2) with s^2 = 0.0625.
    ((_, damped),) = xrd([[1, 0, 0]], [0.5], dw=[2.0])
    assert damped == pytest.approx(29.176474541429208 * math.exp(-0.125) ** 2, rel=1e-14)
    # Phases 0 and pi: cos cancels exactly, sin(pi) leaves a tiny residue.
    ((_, residue),) = xrd(
        [[1, 0, 0]], [0.5], x=[0.0, 0.5], y=[0, 0], z=[0, 0], z_numbers=[1, 1], coeffs=[[], []], occ=[1, 1], dw=[0, 0]
    )
    assert 0.0 < residue < 1e-29


def test_integers_and_extra_components_are_accepted():
    base = xrd([[1.0, 1.0, 0.0]], [0.4])
    assert xrd([[1, 1, 0, 99]], [0.4, 123.0]) == base
    assert xrd([[0.5, 0.25, 3]], [0.4]) != []


def test_early_exits_read_nothing_else():
    # g = 0 and sin(theta) > 1 give (0, 0) even with malformed atom data.
    malformed = dict(y=[], z=[], z_numbers=[1, 1], coeffs=[[]], occ=[], dw=[])
    assert xrd([[], [1]], [0.0, -0.0], **malformed) == [(0.0, 0.0), (0.0, 0.0)]
    assert xrd([[1, 0, 0]], [2.5], **malformed) == [(0.0, 0.0)]
    assert xrd([], [], **malformed) == []
    # Exactly 1.0 is computed: 2-theta = 180 and a huge finite intensity.
    ((two_theta, intensity),) = xrd([[1, 0, 0]], [2.0])
    assert two_theta == 180.0 and 1e15 < intensity < INF


@pytest.mark.parametrize("g, wavelength", [(NAN, 1.0), (0.5, NAN), (-2.5, 1.0)])
def test_nan_propagates(g, wavelength):
    ((two_theta, intensity),) = xrd([[1, 0, 0]], [g], wavelength)
    assert math.isnan(two_theta) and math.isnan(intensity)


def test_signs_zero_wavelength_and_no_atoms():
    ((tt, i),) = xrd([[1, 0, 0]], [-0.5])
    assert (tt, i) == (-28.95502437185985, 29.176474541429208)
    assert xrd([[1, 0, 0]], [0.5], 0.0) == [(0.0, INF)]
    # No atoms: intensity 0, but every atomic number still needs its coefficients.
    assert xrd([[1, 0, 0]], [0.5], x=[]) == [(28.95502437185985, 0.0)]
    assert xrd([[]], [0.5], x=[]) == [(28.95502437185985, 0.0)]
    assert panic_message([[1, 0, 0]], [0.5], x=[], coeffs=[]) == index_message(0, 0)


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(hkls=[[1, 0, 0]] * 2, g_hkls=[0.5]), index_message(1, 1)),
        (dict(coeffs=[]), index_message(0, 0)),
        (dict(coeffs=[[[1.0]]]), index_message(1, 1)),
        (dict(coeffs=[[[]]]), index_message(0, 0)),
        (dict(hkls=[[1, 0]]), index_message(2, 2)),
        (dict(x=[0.0, 0.0]), index_message(1, 1)),
        (dict(occ=[]), index_message(0, 0)),
        (dict(dw=[]), index_message(0, 0)),
        (dict(z_numbers=[], coeffs=[]), index_message(0, 0)),
    ],
)
def test_short_arrays(changes, message):
    args = dict(hkls=[[1, 0, 0]], g_hkls=[0.5])
    args.update(changes)
    hkls, g = args.pop("hkls"), args.pop("g_hkls")
    assert panic_message(hkls, g, **args) == message
