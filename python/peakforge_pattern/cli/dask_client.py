"""Connecting to a Dask cluster named on the command line (--scheduler, --scheduler-file)."""

from __future__ import annotations

import argparse
import logging
import os
from typing import Any

from ..errors import InputError
from ..optional import require


def add_cluster_arguments(group: Any) -> None:
    """--scheduler and --scheduler-file on ``group`` (a parser or a mutually exclusive group)."""
    group.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster at tcp://HOST:PORT")
    group.add_argument("--scheduler-file", metavar="FILE", help="run on the Dask cluster this file describes")


def connect(args: argparse.Namespace) -> Any:
    """A Dask client for --scheduler or --scheduler-file, else None."""
    if args.scheduler is None and args.scheduler_file is None:
        return None
    distributed = require("distributed", "distributed", "--scheduler")
    where = args.scheduler or args.scheduler_file
    # Results lost with a dead worker are recomputed; the client's notes on that are noise here.
    logging.getLogger("distributed.client").setLevel(logging.ERROR)
    if args.scheduler_file is not None and not os.path.isfile(args.scheduler_file):
        raise InputError(f"{args.scheduler_file}: no such scheduler file")  # the client would wait for it
    try:
        if args.scheduler is not None:
            return distributed.Client(args.scheduler, timeout="20s")
        return distributed.Client(scheduler_file=args.scheduler_file, timeout="20s")
    except (OSError, ValueError) as exc:
        raise InputError(f"cannot reach the Dask scheduler of {where}: {' '.join(str(exc).split())}") from None
