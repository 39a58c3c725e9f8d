"""A synthetic corpus of CIF files for the batch benchmark, written with gemmi.

The mix: the bundled examples with their symmetry, scaled and with elements
substituted; supercells of them written in P1; random P1 and P-1 cells of
4 to 200 atoms; and a few malformed files (0.5 %). The same seed gives the
same corpus.

    python bench/make_corpus.py DIR --count 2000 [--seed 1]
"""

from __future__ import annotations

import argparse
import math
import random
from pathlib import Path

import gemmi

from peakforge_pattern import EXAMPLES, example_path

# Elements that can stand in for each other in the examples.
SUBSTITUTES = {
    "Si": ["Si", "Ge", "Sn", "C"],
    "Na": ["Na", "K", "Li", "Rb"],
    "Cl": ["Cl", "Br", "F", "I"],
    "Cs": ["Cs", "Rb", "Tl"],
    "W": ["W", "Mo", "Cr", "Ta", "Nb", "V", "Fe"],
    "Al": ["Al", "Ga", "In", "Fe", "Cr"],
    "O": ["O", "S", "Se"],
}
RANDOM_ELEMENTS = [
    "H",
    "C",
    "N",
    "O",
    "F",
    "Na",
    "Mg",
    "Al",
    "Si",
    "P",
    "S",
    "Cl",
    "K",
    "Ca",
    "Ti",
    "Fe",
    "Co",
    "Ni",
    "Cu",
    "Zn",
    "Ga",
    "Ge",
    "Se",
    "Br",
    "Sr",
    "Zr",
    "Mo",
    "Ag",
    "Sn",
    "I",
    "Ba",
    "La",
    "W",
    "Pt",
    "Au",
    "Pb",
    "Bi",
    "U",
]
MALFORMED = [
    "data_truncated\n_cell_length_a 5.0\n_cell_length_b 5.0\n",
    "this is not a CIF file {\n",
    "data_nosites\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
    "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n",
    "data_badelement\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_label\n"
    "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nQ1 Qq 0 0 0\n",
]


def _site(symbol: str, xyz: tuple[float, float, float], label: str, u_iso: float) -> gemmi.SmallStructure.Site:
    site = gemmi.SmallStructure.Site()
    site.label = label
    site.type_symbol = symbol
    site.element = gemmi.Element(symbol)
    site.fract = gemmi.Fractional(*xyz)
    site.occ = 1.0
    site.u_iso = u_iso
    return site


def _structure(name: str, cell: gemmi.UnitCell, group: str) -> gemmi.SmallStructure:
    small = gemmi.SmallStructure()
    small.name = name
    small.cell = cell
    small.spacegroup_hm = group
    return small


def substituted_example(rng: random.Random, name: str) -> gemmi.SmallStructure:
    """An example with its symmetry, the cell scaled by up to ±8 % and its elements swapped."""
    base = gemmi.read_small_structure(str(example_path(rng.choice(list(EXAMPLES)))))
    scale = rng.uniform(0.92, 1.08)
    c = base.cell
    small = _structure(
        name,
        gemmi.UnitCell(c.a * scale, c.b * scale, c.c * scale, c.alpha, c.beta, c.gamma),
        base.spacegroup.xhm() if base.spacegroup else "P 1",
    )
    swap = {old: rng.choice(new) for old, new in SUBSTITUTES.items()}
    for i, site in enumerate(base.sites):
        symbol = swap.get(site.element.name, site.element.name)
        small.add_site(
            _site(symbol, (site.fract.x, site.fract.y, site.fract.z), f"{symbol}{i + 1}", rng.uniform(0.003, 0.02))
        )
    return small


def supercell(rng: random.Random, name: str) -> gemmi.SmallStructure:
    """An example's full cell repeated 2 to 8 times, written in P1."""
    base = gemmi.read_small_structure(str(example_path(rng.choice(list(EXAMPLES)))))
    repeats = rng.choice([(2, 1, 1), (2, 2, 1), (2, 2, 2), (3, 1, 1), (3, 2, 1)])
    c = base.cell
    small = _structure(
        name, gemmi.UnitCell(c.a * repeats[0], c.b * repeats[1], c.c * repeats[2], c.alpha, c.beta, c.gamma), "P 1"
    )
    count = 0
    for site in base.get_all_unit_cell_sites():
        for i in range(repeats[0]):
            for j in range(repeats[1]):
                for k in range(repeats[2]):
                    count += 1
                    xyz = (
                        (site.fract.x + i) / repeats[0],
                        (site.fract.y + j) / repeats[1],
                        (site.fract.z + k) / repeats[2],
                    )
                    small.add_site(_site(site.element.name, xyz, f"{site.element.name}{count}", 0.01))
    return small


def random_cell(rng: random.Random, name: str) -> gemmi.SmallStructure:
    """A triclinic or monoclinic-looking cell of 4 to 200 atoms (log-uniform), P1 or P-1."""
    atoms = int(round(math.exp(rng.uniform(math.log(4), math.log(200)))))
    centric = atoms % 2 == 0 and rng.random() < 0.5
    volume = atoms * rng.uniform(12.0, 22.0)
    ratios = [rng.uniform(0.7, 1.4) for _ in range(3)]
    angles = [rng.uniform(75, 105), rng.uniform(75, 115), rng.uniform(75, 105)]
    edge = (volume / (ratios[0] * ratios[1] * ratios[2])) ** (1 / 3)
    cell = gemmi.UnitCell(*(edge * r for r in ratios), *angles)
    edge *= (volume / cell.volume) ** (1 / 3)  # the angles shrink the volume; restore it
    small = _structure(name, gemmi.UnitCell(*(edge * r for r in ratios), *angles), "P -1" if centric else "P 1")
    species = rng.sample(RANDOM_ELEMENTS, rng.randint(1, 4))
    for i in range(atoms // 2 if centric else atoms):
        symbol = rng.choice(species)
        small.add_site(
            _site(symbol, (rng.random(), rng.random(), rng.random()), f"{symbol}{i + 1}", rng.uniform(0.005, 0.03))
        )
    return small


def make_corpus(folder: Path, count: int, seed: int = 1) -> list[Path]:
    """Write ``count`` CIF files into ``folder``; returns their paths."""
    rng = random.Random(seed)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for index in range(count):
        name = f"s{index:06d}"
        path = folder / f"{name}.cif"
        kind = rng.random()
        if kind < 0.005:
            path.write_text(rng.choice(MALFORMED))
        else:
            maker = substituted_example if kind < 0.35 else supercell if kind < 0.5 else random_cell
            maker(rng, name).make_cif_block().write_file(str(path))
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    make_corpus(args.folder, args.count, args.seed)
    print(f"{args.count} files in {args.folder}")


if __name__ == "__main__":
    main()
