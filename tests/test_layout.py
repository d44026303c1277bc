"""The core's folders are layers: a folder includes only itself and the folders below it."""

import pathlib
import re

import pytest

CORE = pathlib.Path(__file__).resolve().parent.parent / "core" / "src"

# Lowest first. Two folders on one line are peers and may not include each other.
LAYERS = [["base"], ["math"], ["daf"], ["text"], ["time"], ["sclk"], ["spk", "pck", "ck"], ["frames"], ["sets"], ["geometry"], ["events"]]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}


@pytest.mark.skipif(not CORE.is_dir(), reason="needs the source tree")
def test_no_folder_includes_a_higher_one() -> None:
    folders = {p.name for p in CORE.iterdir() if p.is_dir()}
    assert folders == set(RANK), "a new folder of core/src needs its place in LAYERS"
    wrong = []
    for path in sorted(CORE.rglob("*.[ch]pp")):
        own = path.relative_to(CORE).parts[0]
        for used in re.findall(r'^#include "([a-z_]+)/', path.read_text(), flags=re.M):
            if used != own and (used not in RANK or RANK[used] >= RANK[own]):
                wrong.append(f"{path.relative_to(CORE)} includes {used}/")
    assert not wrong
