"""Profiles written as column files: '#' header lines, then 2θ and intensity
(.xy), with a third column of standard uncertainties in .xye."""

from __future__ import annotations

import io
import os
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from ..atomic_file import write_text_atomically
from ..errors import InputError

PROFILE_SUFFIXES: tuple[str, ...] = (".xy", ".xye")


def check_profile_path(path: str | os.PathLike[str]) -> bool:
    """Whether the file gets an uncertainty column (.xye).

    Parameters
    ----------
    path : str or os.PathLike
        The profile file to write.

    Returns
    -------
    bool
        True for .xye, False for .xy.

    Raises
    ------
    InputError
        Any other suffix.
    """
    suffix = Path(path).suffix.lower()
    if suffix not in PROFILE_SUFFIXES:
        raise InputError(
            f"{path}: a profile is written as .xy (2theta, intensity) "
            f"or .xye (with uncertainties), not '{suffix or 'no suffix'}'"
        )
    return suffix == ".xye"


def profile_text(
    two_theta: np.ndarray, intensity: np.ndarray, header: Sequence[str], uncertainty: np.ndarray | None = None
) -> str:
    """A profile as column text.

    Parameters
    ----------
    two_theta, intensity : numpy.ndarray
        The points.
    header : sequence of str
        Lines written first, each after "# ".
    uncertainty : numpy.ndarray, optional
        A third column.

    Returns
    -------
    str
        The header, then one line per point.
    """
    out = io.StringIO()
    for line in header:
        out.write(f"# {line}\n")
    columns = [two_theta, intensity] if uncertainty is None else [two_theta, intensity, uncertainty]
    np.savetxt(out, np.column_stack(columns), fmt=["%.6f"] + ["%.9g"] * (len(columns) - 1))
    return out.getvalue()


def write_profile(
    path: str | os.PathLike[str], two_theta: np.ndarray, intensity: np.ndarray, header: Sequence[str]
) -> None:
    """Write the profile whole (or not at all); .xye adds √I as counting uncertainty.

    Parameters
    ----------
    path : str or os.PathLike
        A .xy or .xye file.
    two_theta, intensity : numpy.ndarray
        The points.
    header : sequence of str
        Lines written first, each after "# ".

    Raises
    ------
    InputError
        Another suffix.
    OSError
        The file cannot be written (it is left as it was).
    """
    with_errors = check_profile_path(path)
    uncertainty = np.sqrt(np.maximum(intensity, 0.0)) if with_errors else None
    if with_errors:
        header = [*header, "uncertainty column: square root of the intensity (counting statistics)"]
    write_text_atomically(path, profile_text(two_theta, intensity, header, uncertainty))
