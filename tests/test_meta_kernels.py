"""Meta-kernels: the files a meta-kernel loads, and their order, against the
toolkit (spiceypy furnsh, ktotal, kdata) with the working directory set as
the toolkit resolves relative names against it; then failures that leave
the set as it was, unload, pickling and the command line."""

import os
import pickle

import pytest

from kernwerk import FileFormatError, KernelFileError, Kernels
from kernwerk.__main__ import main

sp = pytest.importorskip("spiceypy")
SpiceyError = sp.utils.exceptions.SpiceyError


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """Text kernels under tmp_path/data, the working directory tmp_path."""
    monkeypatch.chdir(tmp_path)
    for rel, body in {"data/a.tpc": "X = 1", "data/b.tpc": "X += 2", "data/long_folder_name/c.tpc": "X += 3",
                      "data/d.tpc": "Y = 'd'"}.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(f"KPL/PCK\n\\begindata\n{body}\n")
    sp.kclear()
    yield tmp_path
    sp.kclear()


def meta(path, body):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as f:
        f.write(f"KPL/MK\n\\begindata\n{body}\n\\begintext\n")
    return path


def toolkit_files():
    """(absolute path, kind, listing meta-kernel or None) as kdata reports them."""
    out = []
    for i in range(sp.ktotal("ALL")):
        name, kind, source, _ = sp.kdata(i, "ALL")
        out.append((os.path.abspath(name), "meta" if kind == "META" else kind.lower(),
                    os.path.abspath(source) if source else None))
    return out


def our_files(k):
    return [(os.fsdecode(p), kind, os.fsdecode(m) if m else None) for p, kind, m in k._set.files()]


CASES = {
    "symbols, continued paths and values, longest symbol":
        ("m.tm", "PATH_SYMBOLS = ( 'D' 'DL' )\nPATH_VALUES = ( 'data' 'data/long_fol+' 'der_name' )\n"
                 "KERNELS_TO_LOAD = ( '$D/a.tpc' '$D/b.+' 'tpc' '$DL/c.tpc' )"),
    "relative to the working directory, not the meta-kernel's folder":
        ("data/sub/m.tm", "KERNELS_TO_LOAD = ( 'data/a.tpc', './data/../data/d.tpc' )"),
    "+= on KERNELS_TO_LOAD, other variables kept":
        ("m.tm", "KERNELS_TO_LOAD = 'data/a.tpc'\nKERNELS_TO_LOAD += 'data/b.tpc'\nZ = 5"),
    "absolute names": ("m.tm", "KERNELS_TO_LOAD = '{root}/data/d.tpc'"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_loaded_files_and_order_match_the_toolkit(tree, case):
    name, body = CASES[case]
    path = meta(name, body.format(root=tree))
    for extra in ([], ["data/d.tpc"]):  # alone, then after a file loaded by itself
        sp.kclear()
        for p in extra + [path]:
            sp.furnsh(p)
        k = Kernels(*extra, path)
        assert our_files(k) == toolkit_files()
        assert k.files == tuple(f for f, _, _ in toolkit_files())
        assert k._loaded == tuple(os.path.abspath(p) for p in extra + [path])


BAD = {
    "a listed file is missing": ("KERNELS_TO_LOAD = ( 'data/a.tpc' 'data/none.bsp' )", KernelFileError,
                                 r"data/none\.bsp.*listed as 'data/none\.bsp' in KERNELS_TO_LOAD of meta-kernel .*bad\.tm"),
    "an unknown symbol stays": ("PATH_SYMBOLS = 'D'\nPATH_VALUES = 'data'\nKERNELS_TO_LOAD = '$d/a.tpc'",
                                KernelFileError, r"listed as '\$d/a\.tpc'"),
    "symbols and values differ in number": ("PATH_SYMBOLS = ( 'A' 'B' )\nPATH_VALUES = 'data'\nKERNELS_TO_LOAD = 'x'",
                                            FileFormatError, "PATH_SYMBOLS has 2 entries but PATH_VALUES has 1"),
    "meta-kernels do not nest": ("KERNELS_TO_LOAD = ( 'data/a.tpc' 'inner.tm' )", FileFormatError,
                                 "lists the meta-kernel .*inner\\.tm .*cannot be nested"),
}


@pytest.mark.parametrize("case", list(BAD))
def test_a_bad_meta_kernel_loads_nothing(tree, case):
    body, error, message = BAD[case]
    meta("inner.tm", "KERNELS_TO_LOAD = 'data/b.tpc'")
    path = meta("bad.tm", body)
    with pytest.raises(SpiceyError):
        sp.furnsh(path)
    k = Kernels("data/d.tpc")
    with pytest.raises(error, match=message):
        k.load("data/a.tpc", path)
    assert k.files == (str(tree / "data/d.tpc"),)


def test_unload_pickle_and_command_line(tree, de421_path):
    path = meta("m.tm", "KERNELS_TO_LOAD = ( 'data/a.tpc' 'data/b.tpc' )")
    k = Kernels("data/a.tpc", path)
    clone = pickle.loads(pickle.dumps(k))
    assert clone.files == k.files and repr(clone) == repr(k) == f"Kernels({str(tree / 'data/a.tpc')!r}, {str(tree / path)!r})"
    a, b, m = str(tree / "data/a.tpc"), str(tree / "data/b.tpc"), str(tree / path)
    k.load(path, "data/a.tpc")  # both move to the top, the meta-kernel with its files
    assert our_files(k) == [(m, "meta", None), (a, "text", m), (b, "text", m), (a, "text", None)]
    k.unload(b)  # a listed file alone
    k.unload(path)  # the meta-kernel goes with what it listed; the file loaded by itself stays
    assert k.files == (a,)
    with pytest.raises(ValueError, match="not loaded"):
        k.unload(path)
    mission = meta("mission.tm", f"PATH_VALUES = '{os.path.dirname(de421_path)}'\nPATH_SYMBOLS = 'E'\n"
                                 "KERNELS_TO_LOAD = '$E/de421.bsp'")
    assert main(["coverage", mission, "moon", "--format", "json"]) == 0
