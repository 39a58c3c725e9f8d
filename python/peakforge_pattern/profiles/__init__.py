"""From peaks to a powder profile: peak shapes, the instrument and the
sample, mixtures of phases, profile files and pictures::

    from peakforge_pattern.profiles import Instrument, Sample, compute_mixture
"""

from .instrument import Instrument
from .mixture import compute_mixture
from .sample import Sample

__all__ = ["Instrument", "Sample", "compute_mixture"]
