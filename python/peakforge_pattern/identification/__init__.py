"""Search-match: the phases of a measured scan found in a pattern library
(a ``peakforge batch`` output), each confirmed by a whole-pattern fit::

    from peakforge_pattern.identification import identify
    result = identify("mixture.xy", "library/", elements=["Al", "Zn", "Ca", "O", "F"])

Needs pyarrow and SciPy (``pip install 'peakforge[identify]'``).
"""

from ..optional import require

require("pyarrow", "identify", "peakforge identify")
require("scipy", "identify", "peakforge identify")

from .result import Candidate, IdentificationResult, IdentifiedPhase, UnexplainedPeak  # noqa: E402
from .search import identify  # noqa: E402

__all__ = ["Candidate", "IdentificationResult", "IdentifiedPhase", "UnexplainedPeak", "identify"]
