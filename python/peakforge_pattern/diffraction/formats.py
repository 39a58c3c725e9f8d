"""Peak tables as text, CSV and JSON, for one structure or several.

With several structures (``named``, by default when more than one pattern
is given) every row starts with the structure's name.
"""

from __future__ import annotations

import csv
import io
import json


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


def table(patterns, named=None) -> str:
    """Fixed-width table: 2theta (deg), d (A), I, (hkl), multiplicity, after a
    comment line naming the intensity scale."""
    named = _named(patterns, named)
    header = (["structure"] if named else []) + ["2theta", "d", "I", "hkl", "mult"]
    rows = []
    for pattern, i in _rows(patterns):
        row = [pattern.structure_name] if named else []
        row += [f"{pattern.two_theta[i]:.4f}", f"{pattern.d[i]:.5f}", f"{pattern.intensity[i]:.2f}",
                " ".join(hkl_label(h) for h in pattern.families[i]),
                " ".join(str(m) for m in pattern.multiplicities[i])]
        rows.append(row)
    widths = [max(len(r[c]) for r in [header] + rows) for c in range(len(header))]
    text_columns = {header.index("hkl")} | ({0} if named else set())
    lines = scale_header(patterns)
    for row in [header] + rows:
        cells = [cell.ljust(w) if c in text_columns else cell.rjust(w)
                 for c, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def csv_text(patterns, named=None) -> str:
    """CSV with full-precision numbers; a peak's families are separated by ';',
    and the last column names the intensity scale."""
    named = _named(patterns, named)
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow((["structure"] if named else [])
                    + ["two_theta", "d", "intensity", "absolute_intensity", "hkl", "multiplicity",
                       "intensity_scale"])
    for pattern, i in _rows(patterns):
        writer.writerow(([pattern.structure_name] if named else []) + [
            repr(float(pattern.two_theta[i])), repr(float(pattern.d[i])),
            repr(float(pattern.intensity[i])), repr(float(pattern.absolute_intensity[i])),
            ";".join(" ".join(str(x) for x in h) for h in pattern.families[i]),
            ";".join(str(m) for m in pattern.multiplicities[i]), pattern.scale])
    return out.getvalue()


def json_text(patterns, named=None) -> str:
    """One JSON object per structure; a list of them for several structures."""
    documents = [p.to_dict() for p in patterns]
    return json.dumps(documents if _named(patterns, named) else documents[0], indent=2) + "\n"
