"""Indexing: unit cells from the positions of a phase's peaks, ranked by de
Wolff's M20 and Smith and Snyder's F_N, with space-group candidates from the
reflection conditions.

`index_lines` searches cells for a list of observed lines (`select_lines`
makes one from positions and intensities; `read_peak_list` reads a file of
them); `rank_space_groups` ranks a lattice's space groups by what was seen.
"""

from .indexer import DEFAULT_MAX_TIME, SYSTEMS, index_lines
from .observed import ObservedLines, read_peak_list, select_lines
from .result import IndexResult, IndexSolution
from .space_groups import SpaceGroupClass, evidence_from_intensities, evidence_from_lines, rank_space_groups

__all__ = [
    "DEFAULT_MAX_TIME",
    "SYSTEMS",
    "IndexResult",
    "IndexSolution",
    "ObservedLines",
    "SpaceGroupClass",
    "evidence_from_intensities",
    "evidence_from_lines",
    "index_lines",
    "rank_space_groups",
    "read_peak_list",
    "select_lines",
]
