"""The fit request on the command line: one argument group, derived from the
request's fields, shared by the commands that fit (fit, identify, series)."""

from __future__ import annotations

import argparse
from collections.abc import Collection
from typing import Any

from ..fitting.request import FitRequest, fit_options

_OFFERED = "fit_request_fields"
"""Where the parsed arguments keep which request fields their command offers."""


def add_fit_arguments(
    parser: argparse.ArgumentParser, *, exclude: Collection[str] = (), only: Collection[str] | None = None
) -> None:
    """Add the fit request's options to ``parser`` as the group "fit".

    Every option's default is None (not given), so that the request's own
    defaults (or a recipe's values) apply; ``exclude`` leaves fields out,
    ``only`` keeps just those.

    Parameters
    ----------
    parser : argparse.ArgumentParser
        The subcommand's parser.
    exclude : collection of str
        Request fields the subcommand does not offer.
    only : collection of str, optional
        The only request fields the subcommand offers.
    """
    group = parser.add_argument_group("fit")
    offered = [
        name
        for name, _, option in fit_options()
        if option.flags and name not in exclude and (only is None or name in only)
    ]
    parser.set_defaults(**{_OFFERED: tuple(offered)})
    for name, _, option in fit_options():
        if name not in offered:
            continue
        details: dict[str, Any] = {"dest": name, "default": None, "help": option.help}
        if option.action in ("store_const", "store_true"):
            details.update(action="store_const", const=option.const)
        else:
            details.update(type=option.type or str, nargs=option.nargs, metavar=option.metavar)
            if option.action is not None:
                details["action"] = option.action
            if option.const is not None:
                details["const"] = option.const
            if option.choices:
                details["choices"] = list(option.choices)
        group.add_argument(*option.flags, **details)


def given_fit_fields(args: argparse.Namespace) -> dict[str, Any]:
    """The request fields the command line gave, as the request takes them."""
    given = {}
    for name, _, option in fit_options():
        if name not in getattr(args, _OFFERED, ()):
            continue
        value = getattr(args, name)
        if value is not None:
            given[name] = option.parse(value) if option.parse is not None else value
    return given


def fit_request_from(args: argparse.Namespace, request: FitRequest | None = None, **fields: Any) -> FitRequest:
    """The request the options give (checked): ``request`` (or the defaults)
    with ``fields``, then with what the command line gave.

    Raises
    ------
    InputError
        A value no fit can use.
    """
    return FitRequest.from_fields(request, **{**fields, **given_fit_fields(args)})
