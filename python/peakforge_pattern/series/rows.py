"""One row of a series table from a fit (or from its failure).

Columns: ``index`` (the scan's place in the series), ``scan``, the
``--order-by`` value under its key's name, ``status`` (``ok``/``error``),
``error``, ``rwp``, ``rexp``, ``chi2``, ``converged``, ``warnings``, every
refined parameter and each phase's scale as ``NAME`` with ``NAME_esd``
(empty where the fit gives none: a parameter at a bound), and per phase
``{phase}.weight_fraction`` and ``_esd``, ``{phase}.a`` … ``{phase}.gamma``
with ``_esd``, and ``{phase}.volume``.  ``_parameters`` keeps every
parameter's value (JSON) for the next scan of a sequential chain.
"""

from __future__ import annotations

import json
from typing import Any

from ..fitting.result import FitResult

OK = "ok"
ERROR = "error"
CELL = ("a", "b", "c", "alpha", "beta", "gamma")
PARAMETERS_COLUMN = "_parameters"
"""The column of every refined value (JSON), read to continue a chain; not shown by read_series."""


def base_row(index: int, scan: str, order_key: str | None, order_value: float | None) -> dict[str, Any]:
    row: dict[str, Any] = {"index": index, "scan": scan}
    if order_key is not None:
        row[order_key] = order_value
    return row


def error_row(base: dict[str, Any], message: str) -> dict[str, Any]:
    """The row of a scan whose fit failed."""
    return {**base, "status": ERROR, "error": " ".join(message.split())}


def fit_row(base: dict[str, Any], result: FitResult) -> dict[str, Any]:
    """The row of a fitted scan."""
    row: dict[str, Any] = {
        **base,
        "status": OK,
        "error": None,
        "rwp": result.rwp,
        "rexp": result.rexp,
        "chi2": result.chi2,
        "converged": result.converged,
        "warnings": list(result.warnings),
    }
    esd = result.uncertainties
    values = dict(result.parameters)
    for phase in result.phases:
        values[f"{phase.name} scale"] = phase.scale
    names = [n for n in result.refined if n in values] + [f"{p.name} scale" for p in result.phases]
    for name in names:
        row[name] = float(values[name])
        row[f"{name}_esd"] = esd.get(name)
    for phase in result.phases:
        row[f"{phase.name}.weight_fraction"] = phase.weight_fraction
        row[f"{phase.name}.weight_fraction_esd"] = phase.weight_fraction_esd
        for label, value, error in zip(CELL, phase.cell, phase.cell_esd):
            row[f"{phase.name}.{label}"] = float(value)
            row[f"{phase.name}.{label}_esd"] = float(error)
        row[f"{phase.name}.volume"] = float(phase.volume)
    row[PARAMETERS_COLUMN] = json.dumps(result.parameters)
    return row


def refined_values(row: dict[str, Any]) -> dict[str, float] | None:
    """The refined values a row keeps for the next scan of its chain (None: an error row)."""
    text = row.get(PARAMETERS_COLUMN)
    return None if row.get("status") != OK or not text else json.loads(text)
