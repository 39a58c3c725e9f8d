"""The CIF reader gives the same structures, warnings and refusals as the
reader it replaced, on every CIF of the tests and examples and on variants
of them written differently (quotes, text fields, the case of tags,
duplicated tags, more blocks).

tests/data/cif_reader_outcomes.json holds the earlier reader's outcomes;
`python tests/test_cif_reader_outcomes.py` rewrites it with the reader it
runs against (only ever from a reader known to be right).
"""

from __future__ import annotations

import hashlib
import json
import random
import re
import sys
from pathlib import Path

import gemmi
import numpy as np
import pytest

from peakforge_pattern import InputError, parse_cif
from peakforge_pattern.structures import cif

ROOT = Path(__file__).resolve().parents[1]
OUTCOMES = ROOT / "tests" / "data" / "cif_reader_outcomes.json"
SOURCES = sorted(
    [*(ROOT / "tests" / "data" / "cif").glob("*.cif"), *(ROOT / "python" / "peakforge_pattern" / "data").glob("*.cif")]
    + sorted((ROOT / "examples" / "measured").glob("*.cif"))
)
_QUOTED = re.compile(r"'([^'\n]*)'")


def _double_quotes(text: str, rng: random.Random) -> str:
    return _QUOTED.sub(lambda m: f'"{m.group(1)}"' if '"' not in m.group(1) else m.group(0), text)


def _text_fields(text: str, rng: random.Random) -> str:
    # Quoted operations (and any other quoted loop value on its own line) as text fields.
    return re.sub(r"(?m)^\s*'([^'\n]*)'\s*$", lambda m: f";{m.group(1)}\n;", text)


def _tag_case(text: str, rng: random.Random) -> str:
    return re.sub(
        r"(?m)^(\s*)(_\S+)",
        lambda m: m.group(1) + "".join(c.upper() if rng.random() < 0.3 else c for c in m.group(2)),
        text,
    )


def _repeated_tag(text: str, rng: random.Random) -> str:
    lines = text.splitlines()
    pairs = [i for i, line in enumerate(lines) if re.match(r"_\S+\s+\S", line)]
    if not pairs:
        return text
    i = rng.choice(pairs)
    return "\n".join(lines[: i + 1] + [lines[i].upper() if rng.random() < 0.5 else lines[i]] + lines[i + 1 :]) + "\n"


def _second_block(text: str, rng: random.Random) -> str:
    # A later block with a repeated tag of its own: the first block is read, without that block's warning.
    return text + "\ndata_extra\n_cell_length_a 1\n_cell_length_a 2\n"


def _unquoted_operations(text: str, rng: random.Random) -> str:
    return re.sub(r"(?m)^(\s*)'([^'\s]*)'\s*$", r"\1\2", text)


def _uncertainties(text: str, rng: random.Random) -> str:
    # Decimal numbers given with a standard uncertainty, as most files give them.
    return re.sub(r"(?m)(?<=[ \t])(-?\d*\.\d+)(?=[ \t]|$)", lambda m: f"{m.group(1)}({rng.randint(1, 99)})", text)


VARIANTS = {
    "as written": lambda text, rng: text,
    "double quotes": _double_quotes,
    "text fields": _text_fields,
    "tag case": _tag_case,
    "repeated tag": _repeated_tag,
    "second block": _second_block,
    "unquoted operations": _unquoted_operations,
    "uncertainties": _uncertainties,
}


def _digest(*arrays) -> str:
    found = hashlib.sha256()
    for array in arrays:
        found.update(np.ascontiguousarray(array).tobytes() if array is not None else b"none")
    return found.hexdigest()[:20]


def outcome(text: str) -> dict:
    """What the reader makes of ``text``: the structure's numbers (as a
    digest of their bits), operations, names and warnings, or the refusal."""
    try:
        s = parse_cif(text.encode("utf-8"), "x")
    except InputError as exc:
        return {"refused": str(exc)}
    listed = s.listed_sites
    return {
        "atoms": int(s.atomic_numbers.size),
        "numbers": _digest(s.lattice, s.atomic_numbers, s.frac_coords, s.occupancies, s.b_factors, s.u_aniso),
        "listed": None
        if listed is None
        else [
            list(listed.labels),
            _digest(
                listed.atomic_numbers,
                listed.frac_coords,
                listed.occupancies,
                listed.b_factors,
                listed.image_counts,
                listed.u_sites,
            ),
        ],
        "operations": hashlib.sha256("\n".join(s.symmetry_operations).encode()).hexdigest()[:20],
        "warnings": list(s.warnings),
    }


def cases() -> dict[str, str]:
    """Every source under every variant, by name."""
    found = {}
    for path in SOURCES:
        text = path.read_bytes().decode("utf-8", "replace")
        for variant, change in VARIANTS.items():
            found[f"{path.relative_to(ROOT)} / {variant}"] = change(text, random.Random(path.name + variant))
    return found


CASES = cases()
RECORDED = json.loads(OUTCOMES.read_text()) if OUTCOMES.exists() else {}


# Files added after the recording are read by the other tests; these compare
# with the earlier reader only.
@pytest.mark.parametrize("name", sorted(set(CASES) & set(RECORDED)))
def test_the_reader_keeps_every_outcome(name):
    assert outcome(CASES[name]) == RECORDED[name]


@pytest.mark.parametrize(
    "name", sorted(name for name in set(CASES) & set(RECORDED) if name.endswith(("as written", "uncertainties")))
)
def test_columns_read_in_one_pass_give_the_same_outcomes(name, monkeypatch):
    # Short tables are read value by value; here every table takes the one pass of long ones.
    monkeypatch.setattr(cif, "_BULK_ROWS", 1)
    assert outcome(CASES[name]) == RECORDED[name]


@pytest.mark.parametrize(
    "value", ["x,y,z", "'-x, y, z'", '"x+1/2,y,z"', ";x,y,z\n;", ";\nx, y\n;", "''", "'it''s'", "a'b"]
)
def test_values_lose_their_quotes_as_gemmi_takes_them_off(value):
    assert cif._as_string(value) == gemmi.cif.as_string(value)


def test_files_are_read_whole_from_files_and_pipes(tmp_path, monkeypatch):
    import subprocess

    text = (ROOT / "python" / "peakforge_pattern" / "data" / "silicon.cif").read_bytes() * 3
    path = tmp_path / "x.cif"
    path.write_bytes(text)
    with open(path, "rb") as stream:
        assert cif.read_cif_bytes(stream) == text
    pipe = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
    assert cif.read_cif_bytes(pipe.stdout) == text
    pipe.wait()
    monkeypatch.setattr(cif, "MAX_CIF_BYTES", len(text) - 1)
    for opened in (
        lambda: open(path, "rb"),
        lambda: subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE).stdout,
    ):
        with opened() as stream, pytest.raises(InputError, match="more than"):
            cif.read_cif_bytes(stream)


if __name__ == "__main__":
    OUTCOMES.write_text(
        json.dumps({name: outcome(text) for name, text in sorted(CASES.items())}, indent=0, sort_keys=True) + "\n"
    )
    print(f"{len(CASES)} outcomes written to {OUTCOMES}", file=sys.stderr)


def _number_texts(count: int, seed: int) -> list[str]:
    """Plain and odd numbers as files write them: uncertainties, exponents
    out of range, signs, stray characters."""
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        text = f"{rng.uniform(-2, 2):.{rng.randint(0, 8)}f}"[: rng.randint(1, 10)]
        if rng.random() < 0.3:
            text += f"({rng.randint(0, 99)})"
        if rng.random() < 0.2:
            text = (
                text.split("(")[0]
                + rng.choice(["e-3", "e3", "E+", "e-31", "e99", "e-330", "e400"])
                + rng.choice(["", "0", "9"])
            )
        if rng.random() < 0.1:
            text = text.replace(rng.choice("0123456789.-"), rng.choice(["+", "_", ",", " ", "(", "x", ""]), 1)
        texts.append(text)
    return texts


def test_columns_of_numbers_read_as_gemmi_reads_each_value():
    texts = _number_texts(4000, 3)
    taken = 0
    for text in texts:
        bulk = cif._plain_numbers([text])
        if bulk is not None:
            taken += 1
            assert np.array([bulk[0]]).tobytes() == np.array([gemmi.cif.as_number(text)]).tobytes(), text
    assert taken > 3000  # the plain ones do take the quick way
    # A column is taken whole or not at all.
    assert cif._plain_numbers(["0.5", "0.25(3)", "?"]) is None
    assert cif._plain_numbers(["0.5", "0.25(3)", "1e-2"]) == [0.5, 0.25, 0.01]
