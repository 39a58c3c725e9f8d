"""What a space-group operation is, in the words of a reflection condition:
"C-centring", "d-glide ⊥ [001]", "2₁ along b".

An operation x' = R x + t extinguishes a reflection h with h R = h when h·t
is not whole; since h R^k = h, h·t equals h·w for the intrinsic translation
w = (1/n) Σ R^k t of the operation of order n: the glide or screw part (or,
for R = 1, the centring vector). Only that part is named here; where the
element sits (the rest of t) does not matter to the condition.
"""

from __future__ import annotations

from fractions import Fraction
from math import gcd

import numpy as np

_SUBSCRIPTS = str.maketrans("0123456789", "₀₁₂₃₄₅₆₇₈₉")

# Centring vectors (sorted) of the named lattice types.
_CENTRINGS = {
    ((Fraction(0), Fraction(1, 2), Fraction(1, 2)),): "A",
    ((Fraction(1, 2), Fraction(0), Fraction(1, 2)),): "B",
    ((Fraction(1, 2), Fraction(1, 2), Fraction(0)),): "C",
    ((Fraction(1, 2), Fraction(1, 2), Fraction(1, 2)),): "I",
    (
        (Fraction(0), Fraction(1, 2), Fraction(1, 2)),
        (Fraction(1, 2), Fraction(0), Fraction(1, 2)),
        (Fraction(1, 2), Fraction(1, 2), Fraction(0)),
    ): "F",
    ((Fraction(1, 3), Fraction(2, 3), Fraction(2, 3)), (Fraction(2, 3), Fraction(1, 3), Fraction(1, 3))): "R",
    ((Fraction(1, 3), Fraction(2, 3), Fraction(1, 3)), (Fraction(2, 3), Fraction(1, 3), Fraction(2, 3))): "R (reverse)",
}


def fraction(x: float) -> Fraction:
    """A translation component as a fraction in [0, 1) (denominators up to 48)."""
    return Fraction(float(x)).limit_denominator(48) % 1


Translation = tuple[Fraction, Fraction, Fraction]


def _closure(generators: list[Translation], limit: int = 64) -> set[Translation] | None:
    """Every sum of the translations modulo whole cells (without the zero one), or None past ``limit``."""
    zero: Translation = (Fraction(0), Fraction(0), Fraction(0))
    members = {zero}
    frontier = [zero]
    while frontier:
        member = frontier.pop()
        for g in generators:
            total: Translation = ((member[0] + g[0]) % 1, (member[1] + g[1]) % 1, (member[2] + g[2]) % 1)
            if total not in members:
                if len(members) >= limit:
                    return None
                members.add(total)
                frontier.append(total)
    return members - {zero}


def describe_centring(vectors: np.ndarray) -> str:
    """The name of the cell's centring from its pure translations (any that
    generate them): "C-centring", "R-centring", or the generating translations
    themselves for a supercell's shifts."""
    generators: list[Translation] = sorted((fraction(v[0]), fraction(v[1]), fraction(v[2])) for v in vectors)
    closed = _closure(generators)
    name = None if closed is None else _CENTRINGS.get(tuple(sorted(closed)))
    if name is not None:
        return f"{name}-centring" if " " not in name else f"R-centring {name[2:]}"
    shown = ", ".join("(" + " ".join(str(x) for x in v) + ")" for v in generators)
    return f"lattice translations {shown}"


def _direction(v: np.ndarray) -> np.ndarray:
    """The shortest integer vector along v, its first non-zero entry positive."""
    scaled = np.rint(v / np.min(np.abs(v[np.abs(v) > 1e-9]))).astype(int) if np.any(np.abs(v) > 1e-9) else v
    divisor = 0
    for x in scaled:
        divisor = gcd(divisor, int(x))
    u = scaled // max(divisor, 1)
    first = next(x for x in u if x != 0)
    return u if first > 0 else -u


def _eigen_direction(matrix: np.ndarray) -> np.ndarray | None:
    """An integer vector spanning the null space of ``matrix`` when it is one-dimensional."""
    _, singular, vh = np.linalg.svd(matrix.astype(float))
    if np.sum(singular < 1e-9) != 1:
        return None
    v = vh[-1]
    v = v / np.max(np.abs(v))
    # Entries of these directions are small whole numbers once the smallest is 1.
    for scale in range(1, 7):
        candidate = v * scale / np.min(np.abs(v[np.abs(v) > 1e-9]))
        if np.allclose(candidate, np.rint(candidate), atol=1e-6):
            return _direction(np.rint(candidate))
    return None


def _axis_name(u: np.ndarray) -> str:
    names = {(1, 0, 0): "a", (0, 1, 0): "b", (0, 0, 1): "c"}
    key = (int(u[0]), int(u[1]), int(u[2]))
    return names.get(key, "[" + "".join(str(x) for x in key) + "]")


def _bracket(u: np.ndarray) -> str:
    return "[" + "".join(str(int(x)) for x in u) + "]"


def _turns_clockwise(rotation: np.ndarray, axis: np.ndarray) -> bool:
    """Whether the proper rotation turns clockwise looking down ``axis`` (its
    sign of det[u, v, R v] for a v off the axis, the same in the fractional
    basis of a right-handed cell as in Cartesian axes)."""
    for v in np.eye(3):
        if abs(np.linalg.det(np.array([axis, v, v]))) < 1e-9 and np.allclose(np.cross(axis, v), 0):
            continue
        turned = rotation @ v
        volume = float(np.linalg.det(np.array([axis, v, turned], dtype=float)))
        if abs(volume) > 1e-9:
            return volume < 0
    return False


def _order(rotation: np.ndarray) -> int:
    power = np.eye(3, dtype=int)
    for n in range(1, 7):
        power = power @ rotation
        if np.array_equal(power, np.eye(3, dtype=int)):
            return n
    return 0


def intrinsic_translation(rotation: np.ndarray, translation: np.ndarray) -> np.ndarray:
    """w = (1/n) Σ_k R^k t, the glide or screw part of x' = R x + t."""
    n = _order(rotation)
    total = np.zeros(3)
    power = np.eye(3, dtype=int)
    for _ in range(n):
        total += power @ translation
        power = power @ rotation
    return total / max(n, 1)


def _centred(w: np.ndarray) -> np.ndarray:
    """Components moved into (-1/2, 1/2]."""
    return w - np.ceil(w - 0.5 - 1e-9)


def describe_operation(rotation: np.ndarray, translation: np.ndarray) -> str | None:
    """The symmetry element of x' = R x + t as a reflection condition names
    it ("2₁ along b", "c-glide ⊥ [010]", "d-glide ⊥ [001]"), or None for one
    without a glide or screw part (it extinguishes nothing)."""
    r = np.asarray(rotation, dtype=int)
    w = intrinsic_translation(r, np.asarray(translation, dtype=float))
    if np.array_equal(r, np.eye(3, dtype=int)):
        return None if np.allclose(_centred(w), 0, atol=1e-6) else describe_centring(np.array([w]))
    n = _order(r)
    det = round(np.linalg.det(r))
    if det == 1:
        axis = _eigen_direction(r - np.eye(3, dtype=int))
        if axis is None:
            return None
        big = int(np.argmax(np.abs(axis)))
        m = round(w[big] / axis[big] * n) % n
        # n_m turns anticlockwise looking down the axis while moving m/n along
        # it; a clockwise turn with m/n is the anticlockwise one with (n-m)/n.
        if n > 2 and _turns_clockwise(r, axis):
            m = (n - m) % n
        return None if m == 0 else f"{n}{str(m).translate(_SUBSCRIPTS)} along {_axis_name(axis)}"
    if n == 2 and not np.array_equal(r, -np.eye(3, dtype=int)):  # a mirror
        normal = _eigen_direction(r + np.eye(3, dtype=int))
        glide = _centred(w)
        nonzero = [abs(x) for x in glide if abs(x) > 1e-6]
        if normal is None or not nonzero:
            return None
        if len(nonzero) == 1 and abs(nonzero[0] - 0.5) < 1e-6:
            letter = "abc"[int(np.argmax(np.abs(glide)))]
        elif all(abs(x - 0.25) < 1e-6 for x in nonzero):
            letter = "d"
        elif all(abs(x - 0.5) < 1e-6 for x in nonzero):
            letter = "n"
        else:
            letter = "(" + " ".join(str(fraction(x)) for x in glide) + ")"
        return f"{letter}-glide ⊥ {_bracket(normal)}"
    return None


def _simplicity(rotation: np.ndarray, translation: np.ndarray) -> tuple[int, float]:
    """Glide or screw parts along fewer axes, then shorter ones, read more simply."""
    w = np.abs(_centred(intrinsic_translation(rotation, translation)))
    return int(np.sum(w > 1e-6)), float(np.sum(w))


def extinction_reasons(
    hkl: np.ndarray,
    rotations: np.ndarray,
    translations: np.ndarray,
    translation_known: np.ndarray,
    centring: np.ndarray,
) -> tuple[str, ...]:
    """Why the reflection ``hkl`` is systematically absent: the centring,
    if it alone extinguishes it, else every glide and screw (as named by
    describe_operation) whose operation fixes it with a phase that is not
    whole. Empty for a reflection the operations allow."""
    h = np.asarray(hkl, dtype=float)

    def fractional(t: np.ndarray) -> bool:
        p = float(h @ t)
        return abs(p - round(p)) > 1e-6

    if any(fractional(c) for c in centring):
        return (describe_centring(centring),)
    reasons = []
    shifts = [np.zeros(3), *centring]
    for r, t, known in zip(rotations, translations, translation_known):
        if not known or not np.array_equal(h @ r, h) or not fractional(t):
            continue
        # Of the operations R, t + c the cell's centring makes equivalent, the simplest glide or screw.
        r = np.asarray(r, dtype=int)
        best = min((t + c for c in shifts), key=lambda shifted: _simplicity(r, shifted))
        description = describe_operation(r, best)
        reasons.append(description or f"operation {r.tolist()} + {np.round(best, 4).tolist()}")
    return tuple(sorted(set(reasons), key=lambda text: (text[0].isdigit(), text)))
