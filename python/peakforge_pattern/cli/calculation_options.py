"""The calculation request on the command line: one argument group, derived
from the request's fields, shared by the commands that compute patterns."""

from __future__ import annotations

import argparse
from collections.abc import Collection

from ..diffraction.request import PatternRequest, request_options

_OFFERED = "request_fields"
"""Where the parsed arguments keep which request fields their command offers."""

EXECUTION = frozenset({"parallel", "num_threads", "use_simd"})
"""Fields that choose how a pattern is computed on this process's threads."""


def add_request_arguments(
    parser: argparse.ArgumentParser, *, exclude: Collection[str] = (), only: Collection[str] | None = None
) -> None:
    """Add the request's options to ``parser`` as the group "calculation".

    Every option's default is None (not given), so that the request's own
    defaults apply; ``exclude`` leaves fields out, ``only`` keeps just those.

    Parameters
    ----------
    parser : argparse.ArgumentParser
        The subcommand's parser.
    exclude : collection of str
        Request fields the subcommand does not offer.
    only : collection of str, optional
        The only request fields the subcommand offers.
    """
    group = parser.add_argument_group("calculation")
    offered = [name for name, _, _ in request_options() if name not in exclude and (only is None or name in only)]
    parser.set_defaults(**{_OFFERED: tuple(offered)})
    for name, default, option in request_options():
        if name not in offered:
            continue
        if option.toggle:
            group.add_argument(
                *option.flags, dest=name, default=None, help=option.help, action=argparse.BooleanOptionalAction
            )
        elif isinstance(default, bool):
            group.add_argument(
                *option.flags,
                dest=name,
                default=None,
                help=option.help,
                action="store_false" if option.negated else "store_true",
            )
        else:
            group.add_argument(
                *option.flags,
                dest=name,
                default=None,
                help=option.help,
                type=option.type or str,
                nargs=option.nargs,
                metavar=option.metavar,
                choices=list(option.choices) if option.choices else None,
            )


def request_from(args: argparse.Namespace, **fields: object) -> PatternRequest:
    """The request the options give (checked), with ``fields`` for those not given.

    Raises
    ------
    InputError
        A value no pattern can be computed with.
    """
    given = {name: getattr(args, name) for name in getattr(args, _OFFERED) if getattr(args, name) is not None}
    return PatternRequest.from_fields(**{**fields, **given})
