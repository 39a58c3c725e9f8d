"""How large a scan file may be: enough for any measurement, small enough to
refuse at once what cannot be one (a device, a disk image, a stray archive)."""

MAX_POINTS = 2_000_000
"""The most points a scan may hold: a 0.0001° step over 0-180° gives 1.8 million."""

MAX_BYTES = 256 * 1024 * 1024
"""The most bytes a scan file (or a member of its archive) may hold: two million
points of three columns take about 80 MB as text."""


def size_text(count: int) -> str:
    """A byte count the way people read it (MB, GB)."""
    for unit, size in (("GB", 1024**3), ("MB", 1024**2), ("kB", 1024)):
        if count >= size:
            return f"{count / size:.4g} {unit}"
    return f"{count} bytes"
