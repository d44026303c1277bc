"""Old and foreign DAFs as the toolkit reads them: the old identification
word NAIF/DAF with a blank format word, and BIG-IEEE files. Each file is
built here from a little-endian original (a small SPK, an excerpt of DE421,
the EOP kernel), by a converter that knows the DAF layout independently of
the reader; spiceypy reads each built file too, and must answer from it
exactly as from the original, as must we."""

import struct
import subprocess
import sys

import numpy as np
import pytest

import kernwerk
from dafbuild import Segment, build_daf, spk_segment, to_big_endian, to_old_word

sp = pytest.importorskip("spiceypy")


def de421_excerpt(path, bodies=(1, 3, 301, 399, 10), records=6):
    """The first `records` Chebyshev records of some DE421 segments, as a new
    Type 2 SPK (its own summaries and directories)."""
    with open(path, "rb") as f:
        raw = f.read()
    fward = struct.unpack_from("<i", raw, 76)[0]
    base = (fward - 1) * 1024
    nsum = int(struct.unpack_from("<d", raw, base + 16)[0])
    segments = []
    for i in range(nsum):
        at = base + 24 + 40 * i
        start, _ = struct.unpack_from("<2d", raw, at)
        target, center, frame, dtype, first, last = struct.unpack_from("<6i", raw, at + 16)
        if target not in bodies:
            continue
        init, intlen, rsize, n = struct.unpack_from("<4d", raw, (last - 4) * 8)
        words = struct.unpack_from(f"<{int(rsize) * records}d", raw, (first - 1) * 8)
        segments.append(spk_segment(target, center, dtype, init, init + records * intlen,
                                    [*words, init, intlen, rsize, float(records)],
                                    name=f"DE421 {target}".encode(), frame=frame))
    return build_daf(segments)


@pytest.fixture(scope="module")
def built(tmp_path_factory, de421_path):
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    d = tmp_path_factory.mktemp("foreign")
    # One record each: MID, RADIUS, three coefficients per coordinate;
    # then INIT, INTLEN, RSIZE, N.
    small = build_daf([spk_segment(301, 399, 2, -1e6, 1e6,
                                   [0.0, 1e6, 1.0, 2.0, 3.0, 0.5, -1.0, 0.25, 0.125, 0.5, -0.25, -1e6, 2e6, 11.0, 1.0]),
                       spk_segment(399, 3, 2, -1e6, 1e6,
                                   [0.0, 1e6, -7.0, 0.5, 2.0, 0.75, 4.0, -0.5, -0.125, 3.0, 1.5, -1e6, 2e6, 11.0, 1.0])])
    excerpt = de421_excerpt(de421_path)
    files = {}
    for name, data, make in [("small", small, to_old_word), ("de421", excerpt, to_big_endian),
                             ("eop", pathlib_bytes(eop), to_big_endian)]:
        (d / f"{name}.le").write_bytes(data)
        (d / f"{name}.built").write_bytes(make(data))
        files[name] = (str(d / f"{name}.le"), str(d / f"{name}.built"))
    return files


def pathlib_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def spice_answers(path, kind, ets):
    sp.kclear()
    try:
        sp.furnsh(path)
        if kind == "pck":
            return np.array([sp.sxform("J2000", "ITRF93", et) for et in ets])
        pairs = [(301, 399), (399, 3)] if "small" in path else [(301, 399), (3, 0), (1, 10), (399, 0)]
        return np.array([[sp.spkez(t, et, "J2000", "NONE", c)[0] for et in ets] for t, c in pairs])
    finally:
        sp.kclear()


def our_answers(path, kind, ets):
    with kernwerk.Kernels(path) as k:
        if kind == "pck":
            return k.sxform("J2000", "ITRF93", ets)
        pairs = [(301, 399), (399, 3)] if "small" in path else [(301, 399), (3, 0), (1, 10), (399, 0)]
        return np.array([k.state(t, c, ets) for t, c in pairs])


EPOCHS = {
    "small": np.linspace(-9e5, 9e5, 7),
    "de421": np.linspace(-3.1e9 + 1e5, -3.1e9 + 5e6, 11),
    "eop": np.linspace(0.0, 7e8, 13),
}


@pytest.mark.parametrize("name", ["small", "de421", "eop"])
def test_built_files_answer_like_their_originals(built, name):
    le, other = built[name]
    kind = "pck" if name == "eop" else "spk"
    ets = EPOCHS[name]
    if name == "de421":
        # The excerpt's first records: from DE421's first epoch on.
        ets = kernwerk.read_segments(le)[0].start + np.linspace(1e5, 6e5, 11)
    ours, theirs = our_answers(le, kind, ets), spice_answers(le, kind, ets)
    assert our_answers(other, kind, ets).tobytes() == ours.tobytes()
    assert spice_answers(other, kind, ets).tobytes() == theirs.tobytes()
    scale = np.maximum(np.abs(theirs), 1.0)
    assert np.max(np.abs(ours - theirs) / scale) < 1e-13
    assert kernwerk.read_segments(other) == kernwerk.read_segments(le)
    assert sp.getfat(other) == sp.getfat(le) == ("DAF", kind.upper())
    assert kernwerk.kernel_kind(other) == kind
    out = subprocess.run([sys.executable, "-m", "kernwerk", "segments", other], capture_output=True, text=True)
    ref = subprocess.run([sys.executable, "-m", "kernwerk", "segments", le], capture_output=True, text=True)
    assert out.returncode == 0 and out.stdout.replace(other, le) == ref.stdout


# The old word tells the kind by ND and NI as getfat does: only (2, 6) is an SPK.
@pytest.mark.parametrize("nd, ni", [(2, 6), (2, 5), (1, 5), (3, 6)])
def test_old_word_kind_as_getfat_tells_it(write_kernel, nd, ni):
    ints = [399, 3, 1, 2, 0, 0, 0][:ni]
    record = [0.0, 1e6, 1.0, 2.0, 3.0, 0.5, -1.0, 0.25, 0.125, 0.5, -0.25, -1e6, 2e6, 11.0, 1.0]
    path = write_kernel(to_old_word(build_daf([Segment([-1e6, 1e6, 0.0][:nd], ints, record)], nd=nd, ni=ni)))
    _, kind = sp.getfat(path)
    if kind == "SPK":
        assert kernwerk.kernel_kind(path) == "spk"
    else:
        assert kind == "?"
        with pytest.raises(kernwerk.FileFormatError,
                           match=rf"NAIF/DAF and ND = {nd}, NI = {ni}, whose kind the toolkit does not tell"):
            kernwerk.kernel_kind(path)


def test_native_reader_keeps_refusing(built):
    # The low-level reader keeps its documented formats.
    with pytest.raises(RuntimeError, match="unrecognized DAF identifier"):
        kernwerk.NaifSpk(built["small"][1])
    with pytest.raises(RuntimeError, match=r"unsupported binary format: .* \(only LTL-IEEE is supported\)"):
        kernwerk.NaifPck(built["eop"][1])
