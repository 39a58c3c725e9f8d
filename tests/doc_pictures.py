"""Makes the pictures of README.md and docs/, and checks them.

Each picture is one entry of `PICTURES`: the file it writes and the commands
that make it, run from the checkout with ``{out}`` standing for the file and
``{tmp}`` for a scratch folder; to add one (a report, say), add an entry and
run ``scripts/pictures PATH``. ``scripts/pictures`` writes them all (or those
named) and records what each picture says in tests/doc_pictures.json;
``scripts/pictures --check`` (a step of scripts/test) checks that

- every picture a page shows (``![...](file)``) is made here, and every
  file made here is in the repository;
- each command still runs and writes its file;
- a picture, drawn again as SVG, says what it said when it was made: the
  same texts (title, axis labels and ticks, legend, peak labels), which do
  not depend on the matplotlib version or the processor as pixels do. A
  picture whose curves change without any text changing is not caught;
  the numbers behind it are (the doc-test step compares them).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RECORD = ROOT / "tests" / "doc_pictures.json"
# Text kept as text in an SVG (matplotlib draws it as paths by default).
SVG_RC = "svg.fonttype: none\n"


@dataclass(frozen=True)
class Picture:
    """A picture of the docs (path relative to the checkout) and the commands that make it."""

    path: str
    commands: tuple[str, ...]


M = "examples/measured/"
PHASES_1E = f"{M}corundum_Al2O3_bilbao.cif {M}zincite_ZnO.cif {M}fluorite_CaF2.cif"

PICTURES = (
    Picture("docs/silicon.png", ("peakforge pattern --plot {out} --fwhm 0.3",)),
    Picture(
        "docs/corundum_q.png",
        ("peakforge pattern --example corundum --axis q --plot {out} --labels 12 --fwhm 0.15",),
    ),
    Picture(
        "docs/mixture.png",
        (
            "peakforge pattern --example corundum --example silicon --mix 0.7 0.3 --two-theta 20 80"
            " --shape tch --caglioti 0.004 -0.002 0.003 --lorentzian 0.02 0.02 --plot {out}",
        ),
    ),
    Picture(
        "docs/overlay_1e.png",
        (f"peakforge pattern {PHASES_1E} --measured {M}qarr_cpd-1e.prn --two-theta 20 80 --labels 6 --plot {{out}}",),
    ),
    Picture(
        "docs/fit_corundum.png",
        (
            f"peakforge fit {M}qarr_corundum.prn {M}corundum_Al2O3_bilbao.cif --radius 173 --monochromator 26.6"
            " --plot {out}",
        ),
    ),
    Picture(
        "docs/quantification-1e.png",
        (f"peakforge fit {M}qarr_cpd-1e.prn {PHASES_1E} --monochromator 26.6 --radius 173 --plot {{out}}",),
    ),
    Picture(
        "docs/guide/identify_1e.png",
        (
            f"peakforge batch {M} --out {{tmp}}/library --two-theta 0 90 --no-progress",
            f"peakforge identify {M}qarr_cpd-1e.prn --library {{tmp}}/library --elements Al,Zn,Ca,O,F"
            " --monochromator 26.6 --radius 173 --no-progress --plot {out}",
        ),
    ),
    Picture(
        "docs/guide/series.png",
        (
            "python examples/series/make_temperature_series.py {tmp}/heating --scans 12",
            "peakforge fit {tmp}/heating/run000.xy python/peakforge_pattern/data/corundum.cif --no-anomalous"
            " --fix asymmetry --save-recipe {tmp}/corundum.toml --no-progress",
            "peakforge series {tmp}/heating --recipe {tmp}/corundum.toml --sequential --order-by temperature"
            " --out {tmp}/heating-series --plot {out} --plot-params corundum.a corundum.c --no-progress",
        ),
    ),
)

IMAGE = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")


def shown_pictures(root=ROOT):
    """Every local picture README.md and the pages of docs/ show, relative to the checkout."""
    shown = set()
    for page in [root / "README.md", *(root / "docs").rglob("*.md")]:
        for target in IMAGE.findall(page.read_text(encoding="utf-8")):
            if "://" not in target:
                shown.add(str((page.parent / target).resolve().relative_to(root)))
    return shown


def make(picture, out, tmp, env):
    """Runs a picture's commands; the error output of the first that fails, else None."""
    for command in picture.commands:
        argv = [part.format(out=out, tmp=tmp) for part in shlex.split(command)]
        done = subprocess.run(argv, cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
        if done.returncode not in (0,):
            return f"'{' '.join(argv)}' exited {done.returncode}: {done.stderr.strip()[-2000:]}"
    if not Path(out).is_file():
        return "no file was written"
    return None


def svg_texts(path):
    """The texts of an SVG that matplotlib wrote with its texts as text, in order."""
    import xml.etree.ElementTree as ET

    texts = []
    for element in ET.parse(path).getroot().iter():
        if element.tag.rsplit("}", 1)[-1] == "text":
            text = " ".join("".join(element.itertext()).split())
            if text:
                texts.append(text)
    return texts


def drawn_texts(picture, tmp, env):
    """What a picture says, drawn again as SVG; (texts, None) or (None, why not)."""
    out = Path(tmp) / "drawn.svg"
    error = make(picture, str(out), tmp, env)
    return (None, error) if error else (svg_texts(out), None)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="scripts/pictures", description=__doc__.splitlines()[0])
    parser.add_argument("pictures", nargs="*", help="pictures to make (default: all), as paths in the checkout")
    parser.add_argument("--check", action="store_true", help="check the pictures instead of making them")
    parser.add_argument("--python", default=os.environ.get("PEAKFORGE_PYTHON", str(ROOT / ".venv/bin/python")))
    args = parser.parse_args(argv)

    unknown = set(args.pictures) - {p.path for p in PICTURES}
    if unknown:
        print(f"pictures: not made here: {', '.join(sorted(unknown))}", file=sys.stderr)
        return 2
    chosen = [p for p in PICTURES if not args.pictures or p.path in args.pictures]
    record = json.loads(RECORD.read_text(encoding="utf-8")) if RECORD.exists() else {}

    scratch = Path(tempfile.mkdtemp(prefix="peakforge-pictures-"))
    (scratch / "matplotlibrc").write_text(SVG_RC, encoding="utf-8")
    env = dict(os.environ, MPLBACKEND="Agg", MATPLOTLIBRC=str(scratch / "matplotlibrc"))
    if os.sep in args.python:
        env["PATH"] = f"{Path(args.python).absolute().parent}{os.pathsep}{env.get('PATH', '')}"
    problems = []
    if args.check:
        made_here = {p.path for p in PICTURES}
        problems += [
            f"{path}: shown by the docs but not made by tests/doc_pictures.py"
            for path in sorted(shown_pictures() - made_here)
        ]
        problems += [
            f"{path}: not in the repository (make it: scripts/pictures {path})"
            for path in sorted(made_here)
            if not (ROOT / path).is_file()
        ]
    try:
        for n, picture in enumerate(chosen):
            tmp = scratch / f"work{n}"
            tmp.mkdir()
            is_image = picture.path.endswith(".png")
            if args.check:
                if is_image:
                    texts, error = drawn_texts(picture, str(tmp), env)
                    if error:
                        problems.append(f"{picture.path}: {error}")
                    elif texts != record.get(picture.path):
                        shown = sorted(set(record.get(picture.path) or ()) ^ set(texts))
                        problems.append(
                            f"{picture.path}: says something else now ({', '.join(map(repr, shown[:8])) or 'order'}"
                            f" differ); remake it: scripts/pictures {picture.path}"
                        )
                else:
                    error = make(picture, str(tmp / Path(picture.path).name), str(tmp), env)
                    if error:
                        problems.append(f"{picture.path}: {error}")
                continue
            error = make(picture, str(ROOT / picture.path), str(tmp), env)
            if not error and is_image:
                texts, error = drawn_texts(picture, str(tmp), env)
                record[picture.path] = texts
            if error:
                problems.append(f"{picture.path}: {error}")
            else:
                print(f"wrote {picture.path}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if not args.check:
        RECORD.write_text(json.dumps(record, indent=1, ensure_ascii=False, sort_keys=True) + "\n", encoding="utf-8")
    for problem in problems:
        print(f"pictures: {problem}", file=sys.stderr)
    if args.check and not problems:
        print(f"pictures: {len(chosen)} pictures made again and checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
