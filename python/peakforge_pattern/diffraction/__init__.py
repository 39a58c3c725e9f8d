"""From a structure to its peak table: the radiation and its wavelength,
the scattering factors, the work a pattern takes, the native calculation,
intensity scales, and the table as text, CSV or JSON."""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from .absences import Absences, AbsentReflection, explain_absences
    from .compute import compute_pattern
    from .pattern import Pattern
    from .request import PatternRequest
    from .structure_factor import AtomContribution, ReflectionDetail, reflection_detail
    from .wavelengths import ANODE_LINES, electron_wavelength, photon_wavelength, resolve_wavelength
    from .work import DEFAULT_MAX_WORK, WorkEstimate, estimate_work

__all__ = [
    "ANODE_LINES",
    "DEFAULT_MAX_WORK",
    "Absences",
    "AbsentReflection",
    "AtomContribution",
    "Pattern",
    "PatternRequest",
    "ReflectionDetail",
    "WorkEstimate",
    "compute_pattern",
    "electron_wavelength",
    "estimate_work",
    "explain_absences",
    "photon_wavelength",
    "reflection_detail",
    "resolve_wavelength",
]

# Each imported on first use: the engine and gemmi load with the calculation,
# not with the request or the wavelengths.
__getattr__ = lazy_exports(
    __name__,
    {
        "ANODE_LINES": ".wavelengths",
        "DEFAULT_MAX_WORK": ".work",
        "Absences": ".absences",
        "AbsentReflection": ".absences",
        "AtomContribution": ".structure_factor",
        "Pattern": ".pattern",
        "PatternRequest": ".request",
        "ReflectionDetail": ".structure_factor",
        "WorkEstimate": ".work",
        "compute_pattern": ".compute",
        "electron_wavelength": ".wavelengths",
        "estimate_work": ".work",
        "explain_absences": ".absences",
        "photon_wavelength": ".wavelengths",
        "reflection_detail": ".structure_factor",
        "resolve_wavelength": ".wavelengths",
    },
)
