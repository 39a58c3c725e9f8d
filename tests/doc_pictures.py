"""Makes the pictures of README.md and docs/, and checks them.

Each picture is one entry of `PICTURES`: the file it writes and the commands
that make it, run from the checkout with ``{out}`` standing for the file and
``{tmp}`` for a scratch folder. ``scripts/pictures`` writes them all (or
those named); ``scripts/pictures --check`` (a step of scripts/test) makes
them in a scratch folder and checks that

- every picture a page shows (``![...](file)``) is made here, and every
  picture made here is in the repository;
- each command still runs and writes its file;
- a new PNG has the size of the committed one and looks like it: both
  reduced to 48 × 48 grey levels differ by less than 4 % of full scale on
  average (what a changed curve, phase or axis moves; fonts and
  antialiasing of another matplotlib stay well below). Other files (HTML
  reports) are checked for being written.
"""

from __future__ import annotations

import argparse
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
SIDE = 48
TOLERANCE = 0.04


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


def reduced(path):
    """A PNG as SIDE × SIDE grey levels in 0..1 (block means), and its size in pixels."""
    import matplotlib.image
    import numpy as np

    image = np.asarray(matplotlib.image.imread(path), dtype=float)
    grey = image[..., :3].mean(axis=2) if image.ndim == 3 else image
    if image.ndim == 3 and image.shape[2] == 4:  # transparent parts read as white
        grey = grey * image[..., 3] + (1.0 - image[..., 3])
    h, w = grey.shape
    rows = np.array_split(np.arange(h), SIDE)
    cols = np.array_split(np.arange(w), SIDE)
    small = np.array([[grey[np.ix_(r, c)].mean() for c in cols] for r in rows])
    return small, (w, h)


def compare(committed, made):
    """Why a newly made PNG differs from the committed one, or None."""
    import numpy as np

    old, old_size = reduced(committed)
    new, new_size = reduced(made)
    if old_size != new_size:
        return f"{new_size[0]}x{new_size[1]} pixels, the committed picture {old_size[0]}x{old_size[1]}"
    difference = float(np.mean(np.abs(old - new)))
    if difference > TOLERANCE:
        return f"differs from the committed picture by {difference:.1%} on average (more than {TOLERANCE:.0%})"
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(prog="scripts/pictures", description=__doc__.splitlines()[0])
    parser.add_argument("pictures", nargs="*", help="pictures to make (default: all), as paths in the checkout")
    parser.add_argument("--check", action="store_true", help="make them in a scratch folder and compare")
    parser.add_argument("--python", default=os.environ.get("PEAKFORGE_PYTHON", str(ROOT / ".venv/bin/python")))
    args = parser.parse_args(argv)

    env = dict(os.environ, MPLBACKEND="Agg")
    bin_dir = str(Path(args.python).absolute().parent) if os.sep in args.python else None
    if bin_dir:
        env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '')}"
    chosen = [p for p in PICTURES if not args.pictures or p.path in {str(Path(a)) for a in args.pictures}]
    unknown = set(args.pictures) - {p.path for p in PICTURES}
    if unknown:
        print(f"pictures: not made here: {', '.join(sorted(unknown))}", file=sys.stderr)
        return 2

    problems = []
    if args.check:
        made_here = {p.path for p in PICTURES}
        problems += [
            f"{path}: shown by the docs but not made by tests/doc_pictures.py"
            for path in sorted(shown_pictures() - made_here)
        ]
        problems += [
            f"{path}: made here but not in the repository" for path in sorted(made_here) if not (ROOT / path).is_file()
        ]
    scratch = Path(tempfile.mkdtemp(prefix="peakforge-pictures-"))
    try:
        for n, picture in enumerate(chosen):
            tmp = scratch / f"work{n}"
            tmp.mkdir()
            out = scratch / f"{n}{Path(picture.path).suffix}" if args.check else ROOT / picture.path
            error = make(picture, str(out), str(tmp), env)
            if error:
                problems.append(f"{picture.path}: {error}")
            elif args.check and out.suffix == ".png" and (ROOT / picture.path).is_file():
                difference = compare(ROOT / picture.path, out)
                if difference:
                    problems.append(f"{picture.path}: {difference}; remake it with scripts/pictures {picture.path}")
            elif not args.check:
                print(f"wrote {picture.path}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for problem in problems:
        print(f"pictures: {problem}", file=sys.stderr)
    if args.check and not problems:
        print(f"pictures: {len(chosen)} pictures made and compared")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
