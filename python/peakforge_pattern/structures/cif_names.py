"""The name people use for a structure, from its CIF: the mineral name
(``_chemical_name_mineral``), else the common name (``_chemical_name_common``).

Files fill these fields loosely: "Corundum, alpha-Al2O3, hexagonal axes"
names corundum and then describes it, and some repeat the data block's code
("zincite_KD1985" in ``data_zincite_KD1985``), which is no name. The name
is the text before the first comma or semicolon; a code (a word with an
underscore), or a text too long to be a name, gives none. A capital that
only starts a sentence is dropped ("Corundum" is corundum, "Sodium
chloride" sodium chloride), while names with other capitals keep them
("LiFePO4", "ZSM-5").

``name_from_fields`` works on the fields' text, whoever read them (a
native CIF reader hands over the two values); ``block_name`` reads them
from a gemmi block.
"""

from __future__ import annotations

import re

import gemmi

MINERAL_TAGS = ("_chemical_name_mineral", "_chemical.name_mineral")
COMMON_TAGS = ("_chemical_name_common", "_chemical.name_common")
LONGEST_NAME = 40
"""Characters: a longer text is a description, not a name."""


def _cleaned(text: str | None) -> str:
    if text is None:
        return ""
    name = " ".join(re.split(r"[,;]", text, maxsplit=1)[0].split())
    # ":" separates a phase from a parameter kind on the command line (corundum:cell).
    name = name.replace(":", " ").strip(" -'\"")
    # An underscore marks a code (often the data block's), not a name people use.
    if not name or len(name) > LONGEST_NAME or "_" in name:
        return ""
    first, _, rest = name.partition(" ")
    if len(first) > 1 and first[0].isupper() and first[1:].islower() and (not rest or rest == rest.lower()):
        name = first[0].lower() + name[1:]
    return name


def name_from_fields(mineral: str | None, common: str | None) -> str:
    """The structure's name from its mineral and common name fields (None
    where absent); "" when neither gives one.

    Parameters
    ----------
    mineral, common : str or None
        The fields' values.

    Returns
    -------
    str

    Examples
    --------
    >>> name_from_fields("Brucite", None), name_from_fields(None, "Sodium chloride, rock-salt structure")
    ('brucite', 'sodium chloride')
    >>> name_from_fields(None, "zincite_KD1985"), name_from_fields(None, "LiFePO4")
    ('', 'LiFePO4')
    """
    return _cleaned(mineral) or _cleaned(common)


def _field(block: gemmi.cif.Block, tags: tuple[str, ...]) -> str | None:
    for tag in tags:
        raw = block.find_value(tag)
        if raw is not None and not gemmi.cif.is_null(raw):
            return gemmi.cif.as_string(raw)
    return None


def block_name(block: gemmi.cif.Block) -> str:
    """The name a CIF data block gives its structure ("" for none); see `name_from_fields`."""
    return name_from_fields(_field(block, MINERAL_TAGS), _field(block, COMMON_TAGS))
