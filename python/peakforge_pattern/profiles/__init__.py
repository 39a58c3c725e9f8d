"""From peaks to a powder profile: peak shapes, the instrument and the
sample, mixtures of phases and profile files::

    from peakforge_pattern.profiles import Instrument, Sample, compute_mixture, pattern_profile
"""

from .instrument import Instrument
from .mixture import Mixture, compute_mixture
from .profile import pattern_profile
from .sample import Sample

__all__ = ["Instrument", "Mixture", "Sample", "compute_mixture", "pattern_profile"]
