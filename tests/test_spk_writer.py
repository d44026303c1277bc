"""Writing SPK files with NaifSpkWriter: binding checks and messages, the
file layout, reading back with NaifSpk and with the NAIF toolkit, and the
atomicity of the write."""

import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pytest

from kernwerk import NaifSpk, NaifSpkWriter

needs_state = pytest.mark.skipif(not hasattr(NaifSpk, "state"), reason="NaifSpk has no state queries yet")


# ---------------------------------------------------------------------------
# Inputs

def type3_coeffs(records=3, n=4, init=0.0, intlen=100.0, seed=1):
    """Rows [mid, radius, x.., y.., z.., vx.., vy.., vz..]; record r covers
    [init + r*intlen, init + (r+1)*intlen]."""
    rng = np.random.default_rng(seed)
    rc = np.empty((records, 2 + 6 * n))
    for r in range(records):
        rc[r, 0] = init + (r + 0.5) * intlen
        rc[r, 1] = intlen / 2
        rc[r, 2:] = rng.normal(size=6 * n) * 1000.0
    return rc


def type9_data(n=7, seed=2):
    rng = np.random.default_rng(seed)
    epochs = np.cumsum(rng.uniform(5.0, 50.0, size=n))
    states = rng.normal(size=(n, 6)) * 1.0e4
    return states, epochs


def add3(w, rc, segment_id="T3", target=301, center=3, frame_id=1, init=0.0, intlen=100.0):
    w.add_type3(target, center, frame_id, init, init + intlen * len(rc), segment_id, init, intlen, rc)


def add9(w, states, epochs, segment_id="T9", target=399, center=3, frame_id=1, degree=3):
    w.add_type9(target, center, frame_id, float(epochs[0]) if len(epochs) else 0.0,
                float(epochs[-1]) if len(epochs) else 0.0, segment_id, degree, states, epochs)


def written(w, tmp_path, name="out.bsp"):
    path = str(tmp_path / name)
    w.write(path)
    with open(path, "rb") as f:
        return f.read()


def cheb_series(c, s):
    """Sum c[k] T_k(s) with the forward recurrence, in increasing k."""
    if len(c) == 1:
        return c[0]
    total = c[1] * s + c[0]
    t0, t1, tw = 1.0, s, s + s
    for k in range(2, len(c)):
        t2 = tw * t1 - t0
        total = total + c[k] * t2
        t0, t1 = t1, t2
    return total


def type3_state(rc, init, intlen, et):
    """The state that the Chebyshev series of the stored records give."""
    r = min(max(int(np.floor((et - init) / intlen)), 0), len(rc) - 1)
    row = [float(v) for v in rc[r]]
    n = (len(row) - 2) // 6
    s = (et - row[0]) / row[1]
    return [cheb_series(row[2 + c * n:2 + (c + 1) * n], s) for c in range(6)]


# ---------------------------------------------------------------------------
# Class, signatures, construction

def test_class_docstring_and_signatures():
    assert NaifSpkWriter.__doc__ == (
        "Pure-native SPK writer. Emits a DAF/SPK file with one or more Type 3\n"
        "(Chebyshev position+velocity) and/or Type 9 (Lagrange) segments. All\n"
        "bytes are assembled in memory and committed with an atomic rename,\n"
        "so partial files never survive a crash.")
    assert NaifSpkWriter.__text_signature__ == '(locifn="kernwerk")'
    assert NaifSpkWriter.add_type3.__text_signature__ == (
        "($self, target, center, frame_id, start_et, end_et, segment_id, init, intlen, records_coeffs)")
    assert NaifSpkWriter.add_type3.__doc__ == (
        "Append a Type 3 segment.\n\n"
        "`records_coeffs` is shape (n_records, 2 + 6*(degree+1)) where each\n"
        "row is [mid, radius, x[0..N], y[0..N], z[0..N], vx[0..N], vy[0..N], vz[0..N]].")
    assert NaifSpkWriter.add_type9.__text_signature__ == (
        "($self, target, center, frame_id, start_et, end_et, segment_id, degree, states, epochs)")
    assert NaifSpkWriter.add_type9.__doc__ == (
        "Append a Type 9 (Lagrange, unequal time steps) segment.\n\n"
        "`states` is shape (N, 6) [x, y, z, vx, vy, vz]; `epochs` is shape (N,).")
    assert NaifSpkWriter.write.__text_signature__ == "($self, path)"
    assert NaifSpkWriter.write.__doc__ == "Write the assembled SPK to `path` (atomic rename)."
    assert [m for m in ("add_type3", "add_type9", "write") if m in vars(NaifSpkWriter)] == [
        "add_type3", "add_type9", "write"]


@pytest.mark.parametrize("make, locifn", [
    (lambda: NaifSpkWriter(), b"kernwerk" + b" " * 52),
    (lambda: NaifSpkWriter("mine"), b"mine" + b" " * 56),
    (lambda: NaifSpkWriter(locifn="x" * 70), b"x" * 60),
    (lambda: NaifSpkWriter(""), b" " * 60),
])
def test_internal_file_name(tmp_path, make, locifn):
    data = written(make(), tmp_path)
    assert len(data) == 3072
    assert data[16:76] == locifn


@pytest.mark.parametrize("call, exc, message", [
    (lambda: NaifSpkWriter(None), TypeError,
     "argument 'locifn': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: NaifSpkWriter(b"k"), TypeError, "argument 'locifn': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: NaifSpkWriter("a", "b"), TypeError,
     "NaifSpkWriter.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: NaifSpkWriter(name="a"), TypeError,
     "NaifSpkWriter.__new__() got an unexpected keyword argument 'name'"),
    (lambda: NaifSpkWriter().write(), TypeError,
     "NaifSpkWriter.write() missing 1 required positional argument: 'path'"),
    (lambda: NaifSpkWriter().add_type9(1, 2, 3, 0.0, 1.0, "x", 1), TypeError,
     "NaifSpkWriter.add_type9() missing 2 required positional arguments: 'states' and 'epochs'"),
    (lambda: NaifSpkWriter().add_type3(1, 2, 3, 0.0, 1.0, "x", 0.0, 1.0, type3_coeffs(), 5), TypeError,
     "NaifSpkWriter.add_type3() takes 9 positional arguments but 10 were given"),
    (lambda: NaifSpkWriter().add_type3(1, 2, 3, 0.0, 1.0, "x", 0.0, 1.0, type3_coeffs().tolist()), TypeError,
     "argument 'records_coeffs': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: NaifSpkWriter().add_type9(1, 2, 3, 0.0, 1.0, "x", 1, np.zeros((2, 6), np.float32), np.zeros(2)),
     TypeError, "argument 'states': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: NaifSpkWriter().add_type9(1, 2, 3, 0.0, 1.0, "x", 1, np.zeros((2, 6)), np.zeros((2, 1))),
     TypeError, "argument 'epochs': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: NaifSpkWriter().add_type9(2**31, 2, 3, 0.0, 1.0, "x", 1, np.zeros((2, 6)), np.zeros(2)),
     OverflowError, "out of range integral type conversion attempted"),
    (lambda: NaifSpkWriter().add_type3(1, 2, 3, 0.0, 1.0, 7, 0.0, 1.0, type3_coeffs()), TypeError,
     "argument 'segment_id': 'int' object cannot be converted to 'PyString'"),
])
def test_binding_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_float_given_for_degree_is_a_type_error():
    with pytest.raises(TypeError) as info:
        NaifSpkWriter().add_type9(1, 2, 3, 0.0, 1.0, "x", 1.0, np.zeros((2, 6)), np.zeros(2))
    assert str(info.value).startswith("argument 'degree': ")


def test_write_refuses_a_path_object(tmp_path):
    with pytest.raises(TypeError) as info:
        NaifSpkWriter().write(tmp_path / "x.bsp")
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------
# The binding's own checks and the core's messages

@pytest.mark.parametrize("cols, error", [
    (7, "records_coeffs must have ≥ 2+6 columns (mid, radius, then ≥1 coef per component)"),
    (2, "records_coeffs must have ≥ 2+6 columns (mid, radius, then ≥1 coef per component)"),
    (0, "records_coeffs must have ≥ 2+6 columns (mid, radius, then ≥1 coef per component)"),
    (8, None), (14, None), (20, None),
] + [(c, "records_coeffs row length - 2 must be a multiple of 6") for c in (9, 10, 11, 12, 13, 15)])
def test_records_coeffs_columns(tmp_path, cols, error):
    w = NaifSpkWriter()
    rc = np.ones((2, cols))
    if error is None:
        w.add_type3(1, 0, 1, 0.0, 2.0, "S", 0.0, 1.0, rc)
        data = written(w, tmp_path)
        n = (cols - 2) // 6
        end = struct.unpack_from("<i", data, 1024 + 24 + 36)[0]
        rsize, nrec = struct.unpack_from("<dd", data, (end - 2) * 8)
        assert (rsize, nrec) == (2 + 6 * n, 2)
    else:
        with pytest.raises(ValueError) as info:
            w.add_type3(1, 0, 1, 0.0, 2.0, "S", 0.0, 1.0, rc)
        assert str(info.value) == error


LONG_ID = "L" * 41

# (description, call on a writer, exception, message)
REJECTIONS = [
    ("shape before long id", lambda w: w.add_type3(1, 0, 1, 0.0, 1.0, LONG_ID, 0.0, 1.0, np.ones((1, 9))),
     ValueError, "records_coeffs row length - 2 must be a multiple of 6"),
    ("type9 shape before long id", lambda w: add9(w, np.ones((3, 7)), np.arange(3.0), LONG_ID),
     ValueError, "states must have shape (N, 6)"),
    ("rows mismatch", lambda w: add9(w, np.ones((3, 6)), np.arange(4.0), degree=1),
     ValueError, "states rows must match epochs length"),
    ("shape before contiguity", lambda w: add9(w, np.ones((3, 7)), np.arange(6.0)[::2]),
     ValueError, "states must have shape (N, 6)"),
    ("contiguity before rows", lambda w: add9(w, np.ones((3, 6)), np.arange(8.0)[::2]),
     TypeError, "The given array is not contiguous"),
    ("strided epochs", lambda w: add9(w, np.ones((3, 6)), np.arange(6.0)[::2], degree=1),
     TypeError, "The given array is not contiguous"),
    ("reversed epochs view", lambda w: add9(w, np.ones((3, 6)), np.arange(3.0)[::-1], degree=1),
     TypeError, "The given array is not contiguous"),
    ("type3 long id", lambda w: add3(w, type3_coeffs(), LONG_ID),
     RuntimeError, f"segment id '{LONG_ID}' is longer than 40 bytes after UTF-8 encoding"),
    ("type3 14 three-byte characters", lambda w: add3(w, type3_coeffs(), "€" * 14),
     RuntimeError, f"segment id '{'€' * 14}' is longer than 40 bytes after UTF-8 encoding"),
    ("type9 long id", lambda w: add9(w, *type9_data(), LONG_ID),
     RuntimeError, f"segment id '{LONG_ID}' is longer than 40 bytes after UTF-8 encoding"),
    ("no rows", lambda w: add3(w, np.ones((0, 8))),
     RuntimeError, "invalid Type 3 segment: empty records"),
    ("intlen 0", lambda w: add3(w, type3_coeffs(), intlen=0.0),
     RuntimeError, "invalid Type 3 segment: INTLEN must be > 0"),
    ("intlen negative", lambda w: add3(w, type3_coeffs(), intlen=-1.0),
     RuntimeError, "invalid Type 3 segment: INTLEN must be > 0"),
    ("no epochs", lambda w: add9(w, np.ones((0, 6)), np.ones(0)),
     RuntimeError, "invalid Type 9 segment: no epochs"),
    ("degree 0", lambda w: add9(w, *type9_data(1), degree=0),
     RuntimeError, "invalid Type 9 segment: degree < 1"),
    ("window exceeds samples", lambda w: add9(w, *type9_data(5), degree=5),
     RuntimeError, "invalid Type 9 segment: window (degree+1) exceeds sample count"),
    ("largest degree", lambda w: add9(w, *type9_data(5), degree=2**31 - 1),
     RuntimeError, "invalid Type 9 segment: window (degree+1) exceeds sample count"),
    ("equal epochs", lambda w: add9(w, np.ones((3, 6)), np.array([1.0, 2.0, 2.0]), degree=1),
     RuntimeError, "invalid Type 9 segment: epochs must be strictly increasing"),
    ("NaN epoch", lambda w: add9(w, np.ones((3, 6)), np.array([1.0, np.nan, 3.0]), degree=1),
     RuntimeError, "invalid Type 9 segment: epochs must be strictly increasing"),
]


@pytest.mark.parametrize("what, call, exc, message", REJECTIONS, ids=[r[0] for r in REJECTIONS])
def test_rejected_segment_leaves_writer_unchanged(tmp_path, what, call, exc, message):
    w = NaifSpkWriter()
    add9(w, *type9_data(4), "FIRST", degree=1)
    before = written(w, tmp_path, "before.bsp")
    with pytest.raises(exc) as info:
        call(w)
    assert str(info.value) == message
    assert written(w, tmp_path, "after.bsp") == before
    add3(w, type3_coeffs())
    assert [s[6] for s in NaifSpk(str(tmp_path / "after.bsp")).segments()] == ["FIRST"]
    w.write(str(tmp_path / "more.bsp"))
    assert [s[6] for s in NaifSpk(str(tmp_path / "more.bsp")).segments()] == ["FIRST", "T3"]


def test_segment_id_of_40_bytes_and_empty_id_are_kept(tmp_path):
    w = NaifSpkWriter()
    add3(w, type3_coeffs(), "€" * 13 + "z")
    add9(w, *type9_data(), "")
    written(w, tmp_path)
    assert [s[6] for s in NaifSpk(str(tmp_path / "out.bsp")).segments()] == ["€" * 13 + "z", ""]


def test_too_many_segments_create_no_file(tmp_path):
    w = NaifSpkWriter()
    for i in range(26):
        add9(w, *type9_data(2), f"S{i}", degree=1)
    with pytest.raises(RuntimeError) as info:
        w.write(str(tmp_path / "x.bsp"))
    assert str(info.value) == "too many segments (26); single summary record holds at most 25"
    assert list(tmp_path.iterdir()) == []


def test_twenty_five_segments_are_written(tmp_path):
    w = NaifSpkWriter()
    for i in range(25):
        add9(w, *type9_data(3, seed=i), f"S{i}", target=1000 + i, degree=2)
    written(w, tmp_path)
    segs = NaifSpk(str(tmp_path / "out.bsp")).segments()
    assert [(s[0], s[6]) for s in segs] == [(1000 + i, f"S{i}") for i in range(25)]


# ---------------------------------------------------------------------------
# Array layouts

def layouts(a):
    """Views of `a` with other memory layouts and the same logical content."""
    fortran = np.asfortranarray(a)
    wide = np.zeros((a.shape[0] * 2, a.shape[1] + 3))
    wide[::2, 1:-2] = a
    flipped = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    transposed = np.ascontiguousarray(a.T).T
    return {"fortran": fortran, "sliced": wide[::2, 1:-2], "negative": flipped, "transposed": transposed}


def test_records_coeffs_strides_do_not_change_the_file(tmp_path):
    rc = type3_coeffs(5, 3)
    ref = NaifSpkWriter()
    add3(ref, rc)
    expected = written(ref, tmp_path, "ref.bsp")
    for name, view in layouts(rc).items():
        assert not view.flags.c_contiguous, name
        np.testing.assert_array_equal(view, rc)
        w = NaifSpkWriter()
        add3(w, view)
        assert written(w, tmp_path, name + ".bsp") == expected, name


def test_states_strides_do_not_change_the_file(tmp_path):
    states, epochs = type9_data(9)
    ref = NaifSpkWriter()
    add9(ref, states, epochs)
    expected = written(ref, tmp_path, "ref.bsp")
    for name, view in layouts(states).items():
        np.testing.assert_array_equal(view, states)
        w = NaifSpkWriter()
        add9(w, view, epochs)
        assert written(w, tmp_path, name + ".bsp") == expected, name


def test_single_row_and_subclass_inputs(tmp_path):
    states, epochs = type9_data(2)
    ref = NaifSpkWriter()
    add9(ref, states, epochs, degree=1)
    expected = written(ref, tmp_path, "ref.bsp")

    class Sub(np.ndarray):
        pass
    w = NaifSpkWriter()
    add9(w, states.view(Sub), epochs.view(Sub), degree=1)
    assert written(w, tmp_path, "sub.bsp") == expected


def test_inputs_are_copied_at_add(tmp_path):
    rc = type3_coeffs()
    states, epochs = type9_data()
    w = NaifSpkWriter()
    add3(w, rc)
    add9(w, states, epochs)
    before = written(w, tmp_path, "a.bsp")
    rc[:] = 0.0
    states[:] = 0.0
    epochs[:] = 0.0
    assert written(w, tmp_path, "b.bsp") == before


def test_write_twice_and_grow(tmp_path):
    w = NaifSpkWriter()
    add3(w, type3_coeffs())
    first = written(w, tmp_path)
    assert written(w, tmp_path) == first
    add9(w, *type9_data())
    second = written(w, tmp_path)
    assert second != first
    assert len(NaifSpk(str(tmp_path / "out.bsp")).segments()) == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.bsp"]


# ---------------------------------------------------------------------------
# Layout as read back

def test_layout_of_one_type3_segment(tmp_path):
    rc = type3_coeffs(2, 3)
    w = NaifSpkWriter()
    add3(w, rc, "MOON")
    data = written(w, tmp_path)
    assert len(data) == 4096
    assert data[:8] == b"DAF/SPK " and data[88:96] == b"LTL-IEEE"
    assert struct.unpack_from("<ii", data, 8) == (2, 6)
    assert data[16:76] == b"kernwerk".ljust(60)
    assert struct.unpack_from("<iii", data, 76) == (2, 2, 429)
    assert data[500:528] == bytes.fromhex("4654505354523A0D3A0A3A0D0A3A0D003A813A10CE3A454E44465450")
    assert struct.unpack_from("<ddd", data, 1024) == (0.0, 0.0, 1.0)
    assert struct.unpack_from("<ddiiiiii", data, 1048) == (0.0, 200.0, 301, 3, 1, 3, 385, 428)
    assert data[2048:3072] == b"MOON".ljust(1024)
    words = struct.unpack_from("<44d", data, 3072)
    assert list(words[:40]) == rc.ravel().tolist()
    assert words[40:] == (0.0, 100.0, 20.0, 2.0)


def test_layout_of_type9_with_directory(tmp_path):
    states, epochs = type9_data(128)
    w = NaifSpkWriter()
    add9(w, states, epochs, "EARTH", degree=5)
    data = written(w, tmp_path)
    assert len(data) == 3072 + 8 * 1024
    words = struct.unpack_from("<899d", data, 3072)
    assert list(words[:768]) == states.ravel().tolist()
    assert list(words[768:896]) == epochs.tolist()
    assert words[896:] == (epochs[99], 5.0, 128.0)
    assert struct.unpack_from("<ii", data, 1048 + 32) == (385, 385 + 898)


# ---------------------------------------------------------------------------
# Round trip with NaifSpk

def mixed_writer():
    w = NaifSpkWriter("round trip")
    rc = type3_coeffs(4, 5, init=1000.0, intlen=3600.0)
    states, epochs = type9_data(230)
    add3(w, rc, "MOON WRT EMB", target=301, center=3, init=1000.0, intlen=3600.0)
    add9(w, states, epochs, "EARTH WRT EMB", target=399, center=3, degree=7)
    add9(w, *type9_data(100, seed=5), "N100", target=-82, center=399, frame_id=17, degree=1)
    return w, rc, states, epochs


def test_round_trip_segments(tmp_path):
    w, rc, states, epochs = mixed_writer()
    written(w, tmp_path)
    segs = NaifSpk(str(tmp_path / "out.bsp")).segments()
    e100 = type9_data(100, seed=5)[1]
    assert segs == [
        (301, 3, 1, 3, 1000.0, 1000.0 + 4 * 3600.0, "MOON WRT EMB"),
        (399, 3, 1, 9, float(epochs[0]), float(epochs[-1]), "EARTH WRT EMB"),
        (-82, 399, 17, 9, float(e100[0]), float(e100[-1]), "N100"),
    ]


@needs_state
def test_round_trip_states(tmp_path):
    w, rc, states, epochs = mixed_writer()
    written(w, tmp_path)
    spk = NaifSpk(str(tmp_path / "out.bsp"))
    # Type 9 returns the stored states at stored epochs, bit for bit.
    for i in (0, 1, 57, 99, 100, 101, 229):
        assert list(spk.state(399, 3, float(epochs[i]))) == states[i].tolist()
    # Type 3 reproduces the Chebyshev series of its records.
    for et in (1000.0, 2000.0, 4600.0, 1000.0 + 3600.0 * 2.5, 1000.0 + 4 * 3600.0):
        assert list(spk.state(301, 3, et)) == type3_state(rc, 1000.0, 3600.0, et)


# ---------------------------------------------------------------------------
# The NAIF toolkit as a reader

@pytest.fixture
def spice():
    sp = pytest.importorskip("spiceypy")
    sp.kclear()
    yield sp
    sp.kclear()


def test_toolkit_reads_the_summaries(tmp_path, spice):
    w, rc, states, epochs = mixed_writer()
    path = str(tmp_path / "out.bsp")
    w.write(path)
    nd, ni, ifname, fward, bward, free = spice.dafrfr(h := spice.dafopr(path))
    assert (nd, ni, ifname, fward, bward) == (2, 6, "round trip", 2, 2)
    spice.dafbfs(h)
    found = []
    while spice.daffna():
        dc, ic = spice.dafus(spice.dafgs(), 2, 6)
        found.append((int(ic[0]), int(ic[1]), int(ic[2]), int(ic[3]), float(dc[0]), float(dc[1]), spice.dafgn()))
        last_end = int(ic[5])
    spice.dafcls(h)
    assert found == NaifSpk(path).segments()
    assert free == last_end + 1
    assert sorted(spice.spkobj(path)) == [-82, 301, 399]
    cov = spice.spkcov(path, 301)
    assert spice.wnfetd(cov, 0) == (1000.0, 1000.0 + 4 * 3600.0)


def test_toolkit_checks_the_ftp_string(tmp_path, spice):
    w = NaifSpkWriter()
    add9(w, *type9_data())
    data = bytearray(written(w, tmp_path))
    # A copy whose carriage returns were turned into line feeds, as an ASCII
    # transfer does, is refused; the original is accepted, so the toolkit
    # found the validation string and judged it intact.
    data[507] = 0x0A
    bad = tmp_path / "bad.bsp"
    bad.write_bytes(bytes(data))
    with pytest.raises(Exception, match="FTP"):
        spice.dafopr(str(bad))
    spice.dafcls(spice.dafopr(str(tmp_path / "out.bsp")))


def test_toolkit_states_agree(tmp_path, spice):
    w, rc, states, epochs = mixed_writer()
    path = str(tmp_path / "out.bsp")
    w.write(path)
    spice.furnsh(path)
    spk = NaifSpk(path) if hasattr(NaifSpk, "state") else None
    for i in (0, 1, 57, 99, 100, 101, 229):
        got, _ = spice.spkez(399, float(epochs[i]), "J2000", "NONE", 3)
        np.testing.assert_allclose(got, states[i], rtol=0, atol=1e-12 * np.abs(states).max())
        if spk is not None:
            np.testing.assert_allclose(got, spk.state(399, 3, float(epochs[i])), rtol=0,
                                       atol=1e-12 * np.abs(states).max())
    scale = np.abs(rc[:, 2:]).sum(axis=1).max()
    for et in (1000.0, 2000.0, 4600.0, 1000.0 + 3600.0 * 2.5, 1000.0 + 4 * 3600.0 - 1.0):
        got, _ = spice.spkgeo(301, et, "J2000", 3)
        np.testing.assert_allclose(got, type3_state(rc, 1000.0, 3600.0, et), rtol=0, atol=1e-13 * scale)
        if spk is not None:
            np.testing.assert_allclose(got, spk.state(301, 3, et), rtol=0, atol=1e-13 * scale)


# ---------------------------------------------------------------------------
# Failures of the write

def test_write_into_missing_directory(tmp_path):
    w = NaifSpkWriter()
    with pytest.raises(RuntimeError) as info:
        w.write(str(tmp_path / "missing" / "x.bsp"))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert list(tmp_path.iterdir()) == []


def test_write_below_a_file(tmp_path):
    (tmp_path / "plain").write_text("x")
    with pytest.raises(RuntimeError) as info:
        NaifSpkWriter().write(str(tmp_path / "plain" / "x.bsp"))
    assert str(info.value) == "I/O error: Not a directory (os error 20)"
    assert (tmp_path / "plain").read_text() == "x"


def test_write_onto_a_directory(tmp_path):
    (tmp_path / "adir.bsp").mkdir()
    w = NaifSpkWriter()
    with pytest.raises(RuntimeError) as info:
        w.write(str(tmp_path / "adir.bsp"))
    assert str(info.value) == "I/O error: Is a directory (os error 21)"
    assert (tmp_path / "adir.bsp").is_dir() and list((tmp_path / "adir.bsp").iterdir()) == []
    # The complete temporary file is left beside it.
    w.write(str(tmp_path / "ref.bsp"))
    assert (tmp_path / "adir.tmp").read_bytes() == (tmp_path / "ref.bsp").read_bytes()


@pytest.mark.parametrize("suffix, message", [
    ("/", "I/O error: Is a directory (os error 21)"),
    ("/.", "I/O error: Is a directory (os error 21)"),
    ("/x\0.bsp", "I/O error: file name contained an unexpected NUL byte"),
])
def test_write_to_a_path_without_file_name(tmp_path, suffix, message):
    with pytest.raises(RuntimeError) as info:
        NaifSpkWriter().write(str(tmp_path) + suffix)
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


def test_tmp_target_is_not_its_own_temporary(tmp_path):
    target = tmp_path / "x.tmp"
    target.write_bytes(b"old content")
    (tmp_path / "x.tmp.tmp").mkdir()  # makes the write fail at its temporary
    w = NaifSpkWriter()
    with pytest.raises(RuntimeError):
        w.write(str(target))
    assert target.read_bytes() == b"old content"
    (tmp_path / "x.tmp.tmp").rmdir()
    w.write(str(target))
    assert target.read_bytes()[:8] == b"DAF/SPK "
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.tmp"]


READ_ONLY_CHILD = textwrap.dedent("""
    import os, sys
    try:
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
        from kernwerk import NaifSpkWriter
    except Exception as e:
        print("SKIP", type(e).__name__, e)
        sys.exit(0)
    try:
        NaifSpkWriter().write(sys.argv[1])
    except RuntimeError as e:
        print(e)
""")


def test_write_into_read_only_directory():
    # Root ignores permission bits, so the write runs in a child process that
    # has given up root; a non-root run uses its own identity.
    base = tempfile.mkdtemp(prefix="kernwerk-ro-")
    try:
        os.chmod(base, 0o755)
        ro = os.path.join(base, "ro")
        os.mkdir(ro)
        with open(os.path.join(ro, "x.bsp"), "wb") as f:
            f.write(b"old")
        os.chmod(ro, 0o555)
        proc = subprocess.run([sys.executable, "-c", READ_ONLY_CHILD, os.path.join(ro, "x.bsp")],
                              capture_output=True, text=True, cwd="/")
        if proc.stdout.startswith("SKIP"):
            pytest.skip("no unprivileged identity can run the package here: " + proc.stdout.strip())
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "I/O error: Permission denied (os error 13)"
        assert sorted(os.listdir(ro)) == ["x.bsp"]
        with open(os.path.join(ro, "x.bsp"), "rb") as f:
            assert f.read() == b"old"
    finally:
        os.chmod(os.path.join(base, "ro"), 0o755)
        for name in os.listdir(os.path.join(base, "ro")):
            os.remove(os.path.join(base, "ro", name))
        os.rmdir(os.path.join(base, "ro"))
        os.rmdir(base)


# ---------------------------------------------------------------------------
# Borrows

def test_reentrant_calls_meet_the_borrow(tmp_path):
    w = NaifSpkWriter()
    states, epochs = type9_data(3)

    class Calls:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 1

        def __float__(self):
            self.action()
            return 0.0

    with pytest.raises(RuntimeError) as info:
        w.add_type9(Calls(lambda: w.write(str(tmp_path / "x.bsp"))), 3, 1, 0.0, 1.0, "x", 1, states, epochs)
    assert str(info.value) == "Already mutably borrowed"
    with pytest.raises(RuntimeError) as info:
        w.add_type3(1, 3, 1, Calls(lambda: add9(w, states, epochs)), 1.0, "x", 0.0, 1.0, type3_coeffs())
    assert str(info.value) == "Already borrowed"
    # Both borrows were released.
    add9(w, states, epochs, degree=1)
    w.write(str(tmp_path / "ok.bsp"))
    assert len(NaifSpk(str(tmp_path / "ok.bsp")).segments()) == 1


# ---------------------------------------------------------------------------
# Crash safety

CRASH_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    from kernwerk import NaifSpkWriter
    target = sys.argv[1]
    w = NaifSpkWriter("crash")
    rng = np.random.default_rng(7)
    for i in range(25):
        n = 20000
        epochs = np.arange(1.0, n + 1.0) * 60.0
        states = rng.normal(size=(n, 6))
        w.add_type9(1000 + i, 0, 1, epochs[0], epochs[-1], "S%d" % i, 7, states, epochs)
    sys.stdout.write("ready\\n")
    sys.stdout.flush()
    w.write(target)
    sys.stdout.write("done\\n")
    sys.stdout.flush()
""")


def run_child(target):
    proc = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, target], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n"
    return proc


def test_killed_writer_leaves_old_or_complete_file(tmp_path):
    target = str(tmp_path / "big.bsp")
    # The complete new file, and how long its write takes.
    proc = run_child(target)
    t0 = time.monotonic()
    assert proc.stdout.readline() == "done\n"
    duration = time.monotonic() - t0
    proc.wait()
    with open(target, "rb") as f:
        new = f.read()
    assert len(new) > 25 * 20000 * 7 * 8
    old_writer = NaifSpkWriter("old")
    add9(old_writer, *type9_data())
    # Kill moments spread over the whole write and a little beyond, jittered.
    rng = random.Random(11)
    trials = 10
    outcomes = []
    for trial in range(trials):
        if os.path.exists(target):
            os.remove(target)
        old = None
        if trial % 2:
            old_writer.write(target)
            with open(target, "rb") as f:
                old = f.read()
        proc = run_child(target)
        time.sleep(duration * 1.5 * (trial + rng.random()) / trials)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        if os.path.exists(target):
            with open(target, "rb") as f:
                got = f.read()
            assert got == new or got == old, f"trial {trial}: partial file of {len(got)} bytes"
            outcomes.append("new" if got == new else "old")
            if got == new:
                assert len(NaifSpk(target).segments()) == 25
        else:
            assert old is None
            outcomes.append("absent")
    assert len(outcomes) == trials
