"""Connecting to a Dask cluster named on the command line (--scheduler, --scheduler-file).

Before the Dask client is made, the address is probed with a plain socket
and a deadline: a scheduler greets every new connection with a short
framed message, so a port that accepts and stays silent, or a server of
another kind (a web server), ends in one line naming the address instead
of a client waiting without end or reading a web page as a frame length.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import socket
import struct
import time
from typing import Any

from ..errors import InputError
from ..optional import require

CONNECT_SECONDS = 20.0
"""How long a scheduler may take to accept and greet a connection."""

_LARGEST_GREETING = 1 << 24  # a scheduler's greeting is some hundred bytes; a web page's first bytes read as far more


def add_cluster_arguments(group: Any) -> None:
    """--scheduler and --scheduler-file on ``group`` (a parser or a mutually exclusive group)."""
    group.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster at tcp://HOST:PORT")
    group.add_argument("--scheduler-file", metavar="FILE", help="run on the Dask cluster this file describes")


def scheduler_address(path: str) -> str:
    """The address a scheduler file (as ``dask scheduler --scheduler-file`` writes it) names."""
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such scheduler file")  # the client would wait for it
    try:
        with open(path, encoding="utf-8") as handle:
            described = json.loads(handle.read(1 << 20))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise InputError(f"{path}: not a Dask scheduler file ({' '.join(str(exc).split())})") from None
    address = described.get("address") if isinstance(described, dict) else None
    if not isinstance(address, str) or not address.strip():
        raise InputError(f"{path}: not a Dask scheduler file (it names no scheduler address)")
    return address.strip()


def probe_scheduler(address: str, seconds: float | None = None) -> None:
    """InputError unless a Dask scheduler at the TCP ``address`` accepts and greets within
    ``seconds`` (default ``CONNECT_SECONDS``).

    Other transports (tls://, ...) are left to the client: their servers speak first only after ours.
    """
    from distributed.comm.addressing import parse_address, parse_host_port

    seconds = CONNECT_SECONDS if seconds is None else seconds
    try:
        scheme, location = parse_address(address)
        if scheme != "tcp":
            return
        host, port = parse_host_port(location)
    except (ValueError, TypeError) as exc:
        raise InputError(f"{address}: not a scheduler address ({exc}); give tcp://HOST:PORT") from None
    deadline = time.monotonic() + seconds
    try:
        with socket.create_connection((host, port), timeout=seconds) as connection:
            greeting = b""
            while len(greeting) < 8:
                connection.settimeout(max(deadline - time.monotonic(), 0.001))
                received = connection.recv(8 - len(greeting))
                if not received:
                    raise InputError(f"{address}: the server there closed the connection; no Dask scheduler answered")
                greeting += received
    except TimeoutError:
        raise InputError(
            f"{address}: no Dask scheduler answered within {seconds:g} s (the port accepts but says nothing)"
        ) from None
    except OSError as exc:
        raise InputError(f"cannot reach the Dask scheduler at {address}: {exc.strerror or exc}") from None
    (length,) = struct.unpack("<Q", greeting)
    if not 0 < length <= _LARGEST_GREETING:
        shown = greeting.decode("ascii", "backslashreplace")
        raise InputError(f"{address}: the server there is not a Dask scheduler (it began with {shown!r})")


def connect(args: argparse.Namespace) -> Any:
    """A Dask client for --scheduler or --scheduler-file, else None."""
    if args.scheduler is None and args.scheduler_file is None:
        return None
    distributed = require("distributed", "distributed", "--scheduler")
    # Results lost with a dead worker are recomputed; the client's notes on that are noise here.
    logging.getLogger("distributed.client").setLevel(logging.ERROR)
    address = args.scheduler if args.scheduler is not None else scheduler_address(args.scheduler_file)
    where = address if args.scheduler is not None else f"{address} (from {args.scheduler_file})"
    probe_scheduler(address)
    try:
        return distributed.Client(address, timeout=f"{CONNECT_SECONDS:g}s")
    except (OSError, ValueError) as exc:
        raise InputError(f"cannot reach the Dask scheduler of {where}: {' '.join(str(exc).split())}") from None
