"""Peak tables as text, CSV and JSON, for one structure or several.

With several structures (``named``, by default when more than one pattern
is given) every row starts with the structure's name.
"""

from __future__ import annotations

import csv
import io
import json
import math


def hkl_label(hkl) -> str:
    return "(" + " ".join(str(i) for i in hkl) + ")"


def _named(patterns, named):
    return len(patterns) > 1 if named is None else named


def _rows(patterns):
    for pattern in patterns:
        for i in range(len(pattern)):
            yield pattern, i


def scale_header(patterns) -> list[str]:
    """Comment lines saying what the intensities mean (one per distinct scale)."""
    return list(dict.fromkeys(f"# {p.scale_description}" for p in patterns))


def _position_columns(pattern, i, axis):
    """The peak's position columns on ``axis``: (2theta, d), (d, 2theta) or (Q, d)."""
    two_theta, d = f"{pattern.two_theta[i]:.4f}", f"{pattern.d[i]:.5f}"
    if axis == "d":
        return [d, two_theta]
    if axis == "q":
        return [f"{4 * math.pi / (2 * float(pattern.d[i])):.5f}", d]
    return [two_theta, d]


_POSITION_HEADERS = {"2theta": ["2theta", "d"], "d": ["d", "2theta"], "q": ["Q", "d"]}


def table(patterns, named=None, axis="2theta") -> str:
    """Fixed-width table: 2theta (deg), d (A), I, (hkl), multiplicity, after a
    comment line naming the intensity scale. With ``axis`` "d" the d column
    comes first; with "q" Q = 4π sin θ / λ (1/A) replaces 2theta."""
    named = _named(patterns, named)
    header = (["structure"] if named else []) + _POSITION_HEADERS[axis] + ["I", "hkl", "mult"]
    rows = []
    for pattern, i in _rows(patterns):
        row = [pattern.structure_name] if named else []
        row += _position_columns(pattern, i, axis) + [
            f"{pattern.intensity[i]:.2f}",
            " ".join(hkl_label(h) for h in pattern.families[i]),
            " ".join(str(m) for m in pattern.multiplicities[i]),
        ]
        rows.append(row)
    widths = [max(len(r[c]) for r in [header] + rows) for c in range(len(header))]
    text_columns = {header.index("hkl")} | ({0} if named else set())
    lines = scale_header(patterns)
    for row in [header] + rows:
        cells = [cell.ljust(w) if c in text_columns else cell.rjust(w) for c, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def csv_text(patterns, named=None, axis="2theta") -> str:
    """CSV with full-precision numbers; a peak's families are separated by ';',
    and the last column names the intensity scale. With ``axis`` "q" a
    column q (1/A) follows d."""
    named = _named(patterns, named)
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    with_q = axis == "q"
    writer.writerow(
        (["structure"] if named else [])
        + ["two_theta", "d"]
        + (["q"] if with_q else [])
        + ["intensity", "absolute_intensity", "hkl", "multiplicity", "intensity_scale"]
    )
    for pattern, i in _rows(patterns):
        q = [repr(4 * math.pi / (2 * float(pattern.d[i])))] if with_q else []
        writer.writerow(
            ([pattern.structure_name] if named else [])
            + [repr(float(pattern.two_theta[i])), repr(float(pattern.d[i]))]
            + q
            + [
                repr(float(pattern.intensity[i])),
                repr(float(pattern.absolute_intensity[i])),
                ";".join(" ".join(str(x) for x in h) for h in pattern.families[i]),
                ";".join(str(m) for m in pattern.multiplicities[i]),
                pattern.scale,
            ]
        )
    return out.getvalue()


def json_text(patterns, named=None, axis="2theta") -> str:
    """One JSON object per structure; a list of them for several structures.
    With ``axis`` "q" each peak carries its q (1/A) too."""
    documents = [p.to_dict() for p in patterns]
    if axis == "q":
        for document in documents:
            for peak in document["peaks"]:
                peak["q"] = 4 * math.pi / (2 * peak["d"])
    return json.dumps(documents if _named(patterns, named) else documents[0], indent=2) + "\n"
