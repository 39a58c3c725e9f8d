"""A refined phase's peaks: the same reflections for every trial structure,
with |F|²·multiplicity computed again by the pattern engine.

The peak list (2θ, families) depends only on the cell and the space group,
so it is computed once with no intensity threshold; each trial of the
structure parameters changes only the weights. Trials are cached by their
structure parameters, so the fit's other parameters cost no new
calculation.

The weights' derivatives by the structure parameters come from the same
engine call: the engine differentiates each peak's intensity by every atom's
coordinates, B and occupancy (from the phase-factor tables it builds for the
structure factors), and the chain rule through each image's operation and
the sites' constraints (``AtomModel.atom_matrix``) gives them by parameter.
"""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from ...diffraction.engine_route import engine_columns, lorentz_polarisation
from ...diffraction.peak_families import PeakFamilies
from ...diffraction.request import PatternRequest
from ...diffraction.work import reciprocal_shell
from ...errors import InputError
from ...profiles.profile import PhasePeaks
from ...structures.structure import Structure
from .atom_parameters import AtomModel

_CACHE_SIZE = 64


def _rotations(seitz: np.ndarray) -> np.ndarray | None:
    """The distinct rotations (direct space) of the sites' operations, None for P1, as a pattern's peaks hold them."""
    if len(seitz) <= 1:
        return None
    distinct = {tuple(np.rint(r).astype(int).reshape(-1)) for r in seitz[:, :3, :3]}
    return np.array(sorted(distinct), dtype=float).reshape(-1, 3, 3)


class StructurePeaks:
    """Peaks of a phase whose structure is refined.

    Parameters
    ----------
    model : AtomModel
        The phase's sites as functions of its structure parameters.
    wavelength : float
        Å, the first emission line (the others reuse |F|²).
    two_theta_range : (float, float)
        Degrees, the reflections to compute.
    request : PatternRequest, optional
        The calculation's options (radiation, anomalous dispersion); the
        wavelength and range are these, and the engine runs on one thread:
        a fit calls it thousands of times on small structures.
    """

    def __init__(
        self,
        model: AtomModel,
        wavelength: float,
        two_theta_range: tuple[float, float],
        request: PatternRequest | None = None,
    ) -> None:
        self.model, self.wavelength = model, float(wavelength)
        self.shell = reciprocal_shell(self.wavelength, two_theta_range)
        self.request = PatternRequest.from_fields(
            request, wavelength=self.wavelength, two_theta_range=two_theta_range, parallel=False
        )
        start = np.array([p.start for p in model.parameters])
        table = self._table(model.structure_for(start))
        families = PeakFamilies(table["family_hkl"], table["family_multiplicity"], table["family_offsets"])
        self.two_theta = np.asarray(table["two_theta"], dtype=float)
        self.base = PhasePeaks(
            d=np.asarray(table["d"], dtype=float),
            weight=self._weights(table),
            hkl=families.first().astype(float),
            families=families,
            wavelength=self.wavelength,
            reciprocal=model.structure.reciprocal,
            name=model.structure.name,
            radiation=self.request.radiation,
            monochromator_angle=0.0,
            rotations=_rotations(model.unit.seitz),
        )
        self._cache: dict[bytes, PhasePeaks] = {start.tobytes(): self.base}

    def _table(self, structure: Structure, derivatives: bool = False) -> dict:
        try:
            return engine_columns(structure, self.request, *self.shell, relative_threshold=0.0, derivatives=derivatives)
        except ValueError as exc:  # the engine's refusal of a trial structure, in one line
            raise InputError(f"{self.model.phase}: {exc}") from None

    def _checked_table(self, values: np.ndarray, derivatives: bool = False) -> dict:
        table = self._table(self.model.structure_for(values), derivatives)
        if table["d"].shape != self.base.d.shape or not np.array_equal(table["d"], self.base.d):
            # The moved sites changed the symmetry the engine finds: a site reached a special position.
            raise InputError(f"{self.model.phase}: the refined sites changed the structure's symmetry")
        return table

    def _keep(self, key: bytes, peaks: PhasePeaks) -> None:
        if len(self._cache) >= _CACHE_SIZE:
            self._cache.pop(next(iter(self._cache)))
        self._cache[key] = peaks

    def _lorentz_polarisation(self, table: dict) -> np.ndarray:
        factors = table.get("lorentz_polarisation")
        if factors is None:
            factors = lorentz_polarisation(table["two_theta"], self.request.radiation)
        return np.asarray(factors, dtype=float)

    def _weights(self, table: dict) -> np.ndarray:
        return np.asarray(table["absolute_intensity"], dtype=float) / self._lorentz_polarisation(table)

    def peaks(self, values: np.ndarray) -> PhasePeaks:
        """The peaks with |F|²·multiplicity of the structure at these parameter values."""
        values = np.asarray(values, dtype=float)
        key = values.tobytes()
        found = self._cache.get(key)
        if found is not None:
            return found
        peaks = replace(self.base, weight=self._weights(self._checked_table(values)))
        self._keep(key, peaks)
        return peaks

    def weight_derivatives(self, values: np.ndarray) -> np.ndarray:
        """∂(|F|²·multiplicity)/∂p of every peak by every structure parameter p: (peaks × parameters).

        One engine call gives the peaks' intensities and their derivatives
        by every atom of the cell; the peaks it gives are kept too.
        """
        values = np.asarray(values, dtype=float)
        table = self._checked_table(values, derivatives=True)
        key = values.tobytes()
        if key not in self._cache:
            self._keep(key, replace(self.base, weight=self._weights(table)))
        by_atom = np.concatenate(
            [table["d_frac"].reshape(len(table["d"]), -1), table["d_occupancy"], table["d_b"]], axis=1
        )
        return (by_atom @ self.model.atom_matrix) / self._lorentz_polarisation(table)[:, None]

    def reflections_between(self, low: float, high: float) -> int:
        """Sets of reflections with intensity between 2θ ``low`` and ``high`` (degrees)."""
        present = self.base.weight > 1e-9 * float(self.base.weight.max(initial=0.0))
        inside = (self.two_theta >= low) & (self.two_theta <= high)
        families_per_peak = np.diff(self.base.families.offsets)
        return int(families_per_peak[present & inside].sum())
