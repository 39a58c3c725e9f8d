"""Electron scattering-factor coefficients per element.

The intensity kernel turns them into X-ray form factors with the Mott–Bethe
relation f = Z − 8π²a₀ s² Σ aᵢ exp(−bᵢ s²), s = sin θ / λ.  The five-Gaussian
electron fits are those of International Tables vol. C, table 4.3.2.2.
"""

from __future__ import annotations

import functools

import gemmi
import numpy as np


@functools.cache
def electron_coefficients(atomic_number: int) -> tuple[tuple[float, float], ...]:
    """Return the element's (a, b) pairs, a in Å and b in Å².

    The table stores single-precision numbers; each is read back as the
    shortest decimal that names it, which is the printed table value.
    """
    table = gemmi.Element(atomic_number).c4322
    if table is None:
        raise KeyError(atomic_number)
    coefs = table.get_coefs()
    half = len(coefs) // 2
    published = [float(str(np.float32(value))) for value in coefs]
    return tuple(zip(published[:half], published[half:]))
