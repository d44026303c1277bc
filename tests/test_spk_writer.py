"""NaifSpkWriter: the binding's checks and messages, array layouts, reading
written files back with NaifSpk and with the NAIF toolkit (through spiceypy),
and the atomicity of the write. Byte layouts and the core's own checks are
tested in core/tests/spk/test_spk_writer.cpp."""

import os
import pathlib
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


def type3_coeffs(records=3, n=4, init=0.0, intlen=100.0, seed=1):
    """Rows [mid, radius, x.., y.., z.., vx.., vy.., vz..]; record r covers
    [init + r*intlen, init + (r+1)*intlen]."""
    rng = np.random.default_rng(seed)
    rc = rng.normal(size=(records, 2 + 6 * n)) * 1000.0
    rc[:, 0] = init + (np.arange(records) + 0.5) * intlen
    rc[:, 1] = intlen / 2
    return rc


def type9_data(n=7, seed=2):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, 6)) * 1.0e4, np.cumsum(rng.uniform(5.0, 50.0, size=n))


def add3(w, rc, segment_id="T3", target=301, center=3, init=0.0, intlen=100.0):
    w.add_type3(target, center, 1, init, init + intlen * len(rc), segment_id, init, intlen, rc)


def add9(w, states, epochs, segment_id="T9", target=399, center=3, frame_id=1, degree=3):
    first, last = (float(epochs[0]), float(epochs[-1])) if len(epochs) else (0.0, 0.0)
    w.add_type9(target, center, frame_id, first, last, segment_id, degree, states, epochs)


def written(w, tmp_path, name="out.bsp"):
    path = tmp_path / name
    w.write(str(path))
    return path.read_bytes()


def type3_state(rc, init, intlen, et):
    """The Chebyshev series of the covering record, summed in increasing order
    with the forward recurrence."""
    r = min(max(int(np.floor((et - init) / intlen)), 0), len(rc) - 1)
    row = [float(v) for v in rc[r]]
    n = (len(row) - 2) // 6
    s = (et - row[0]) / row[1]
    out = []
    for c in range(6):
        k = row[2 + c * n:2 + (c + 1) * n]
        total, t0, t1 = k[1] * s + k[0], 1.0, s
        for j in range(2, n):
            t0, t1 = t1, (s + s) * t1 - t0
            total = total + k[j] * t1
        out.append(total)
    return out


# ---------------------------------------------------------------------------
# Class and binding

def test_docstrings_and_signatures(tmp_path):
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
    assert written(NaifSpkWriter(), tmp_path)[16:76] == b"kernwerk" + b" " * 52
    assert written(NaifSpkWriter(locifn="x" * 70), tmp_path)[16:76] == b"x" * 60


@pytest.mark.parametrize("call, exc, message", [
    (lambda: NaifSpkWriter(None), TypeError,
     "argument 'locifn': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: NaifSpkWriter("a", "b"), TypeError,
     "NaifSpkWriter.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: NaifSpkWriter().add_type9(1, 2, 3, 0.0, 1.0, "x", 1), TypeError,
     "NaifSpkWriter.add_type9() missing 2 required positional arguments: 'states' and 'epochs'"),
    (lambda: NaifSpkWriter().add_type3(1, 2, 3, 0.0, 1.0, "x", 0.0, 1.0, [[0.0] * 8]), TypeError,
     "argument 'records_coeffs': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: NaifSpkWriter().add_type9(2**31, 2, 3, 0.0, 1.0, "x", 1, np.zeros((2, 6)), np.zeros(2)),
     OverflowError, "out of range integral type conversion attempted"),
    (lambda: NaifSpkWriter().write(b"x.bsp"), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: NaifSpkWriter().write(pathlib.PurePosixPath("x.bsp")), TypeError,
     "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


LONG_ID = "L" * 41
STATES, EPOCHS = type9_data(4)

# The binding's checks run before the core's, in this order; core messages
# arrive unchanged.
REJECTIONS = [
    ("7 columns", lambda w: add3(w, np.ones((2, 7)), LONG_ID), ValueError,
     "records_coeffs must have ≥ 2+6 columns (mid, radius, then ≥1 coef per component)"),
    ("9 columns", lambda w: add3(w, np.ones((2, 9)), LONG_ID), ValueError,
     "records_coeffs row length - 2 must be a multiple of 6"),
    ("13 columns", lambda w: add3(w, np.ones((2, 13))), ValueError,
     "records_coeffs row length - 2 must be a multiple of 6"),
    ("no rows", lambda w: add3(w, np.ones((0, 8))), RuntimeError, "invalid Type 3 segment: empty records"),
    ("7 state columns", lambda w: add9(w, np.ones((4, 7)), EPOCHS[::-1], LONG_ID), ValueError,
     "states must have shape (N, 6)"),
    ("strided epochs", lambda w: add9(w, np.ones((3, 6)), np.arange(8.0)[::2]), TypeError,
     "The given array is not contiguous"),
    ("rows differ", lambda w: add9(w, np.ones((3, 6)), EPOCHS, LONG_ID), ValueError,
     "states rows must match epochs length"),
    ("no epochs", lambda w: add9(w, np.ones((0, 6)), np.ones(0)), RuntimeError,
     "invalid Type 9 segment: no epochs"),
    ("long id", lambda w: add9(w, STATES, EPOCHS, LONG_ID), RuntimeError,
     f"segment id '{LONG_ID}' is longer than 40 bytes after UTF-8 encoding"),
    ("equal epochs", lambda w: add9(w, STATES, np.array([1.0, 2.0, 2.0, 3.0]), degree=1), RuntimeError,
     "invalid Type 9 segment: epochs must be strictly increasing"),
    # Non-finite data, refused after the checks above, naming the first bad value.
    ("NaN state", lambda w: add9(w, np.where(np.arange(24).reshape(4, 6) == 13, np.nan, STATES), EPOCHS),
     RuntimeError, "invalid Type 9 segment: states holds a non-finite value (NaN) at index 13 (row 2, column 1)"),
    ("inf state", lambda w: add9(w, np.where(np.arange(24).reshape(4, 6) == 0, -np.inf, STATES), EPOCHS),
     RuntimeError, "invalid Type 9 segment: states holds a non-finite value (-inf) at index 0 (row 0, column 0)"),
    ("inf last epoch", lambda w: add9(w, STATES, np.append(EPOCHS[:3], np.inf)), RuntimeError,
     "invalid Type 9 segment: epochs holds a non-finite value (inf) at index 3"),
    ("NaN end", lambda w: w.add_type9(399, 3, 1, EPOCHS[0], np.nan, "T9", 3, STATES, EPOCHS), RuntimeError,
     "invalid Type 9 segment: end_et is NaN, not a finite number"),
    ("NaN coefficient", lambda w: add3(w, np.where(np.arange(16).reshape(2, 8) == 11, np.nan, 1.0)), RuntimeError,
     "invalid Type 3 segment: records_coeffs holds a non-finite value (NaN) at index 11 (row 1, column 3)"),
    ("inf intlen", lambda w: add3(w, np.ones((2, 8)), intlen=np.inf), RuntimeError,
     "invalid Type 3 segment: intlen is inf, not a finite number"),
    ("NaN start", lambda w: w.add_type3(301, 3, 1, np.nan, 200.0, "T3", 0.0, 100.0, np.ones((2, 8))), RuntimeError,
     "invalid Type 3 segment: start_et is NaN, not a finite number"),
]


@pytest.mark.parametrize("what, call, exc, message", REJECTIONS, ids=[r[0] for r in REJECTIONS])
def test_rejected_segment_leaves_writer_unchanged(tmp_path, what, call, exc, message):
    w = NaifSpkWriter()
    add9(w, STATES, EPOCHS, "FIRST")
    before = written(w, tmp_path, "before.bsp")
    with pytest.raises(exc) as info:
        call(w)
    assert str(info.value) == message
    assert written(w, tmp_path, "after.bsp") == before


@pytest.mark.parametrize("cols", [8, 14, 20])
def test_columns_split_into_records(tmp_path, cols):
    rc = type3_coeffs(2, (cols - 2) // 6)
    w = NaifSpkWriter()
    add3(w, rc)
    data = written(w, tmp_path)
    words = struct.unpack_from(f"<{2 * cols + 4}d", data, 3072)
    assert list(words[:2 * cols]) == rc.ravel().tolist()
    assert words[2 * cols:] == (0.0, 100.0, float(cols), 2.0)


def views(a):
    """Non-contiguous views of the same logical content as `a`."""
    wide = np.zeros((a.shape[0] * 2, a.shape[1] + 3))
    wide[::2, 1:-2] = a
    return [np.asfortranarray(a), wide[::2, 1:-2], np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
            np.ascontiguousarray(a.T).T]


@pytest.mark.parametrize("kind", ["records_coeffs", "states"])
def test_strides_do_not_change_the_file(tmp_path, kind):
    rc, (states, epochs) = type3_coeffs(5, 3), type9_data(9)
    source = rc if kind == "records_coeffs" else states

    def build(array):
        w = NaifSpkWriter()
        if kind == "records_coeffs":
            add3(w, array)
        else:
            add9(w, array, epochs)
        return w

    expected = written(build(source), tmp_path, "ref.bsp")
    for i, view in enumerate(views(source)):
        assert not view.flags.c_contiguous
        assert written(build(view), tmp_path, f"{i}.bsp") == expected, i


def test_inputs_are_copied_and_writes_repeat(tmp_path):
    rc, (states, epochs) = type3_coeffs(), type9_data()
    w = NaifSpkWriter()
    add3(w, rc)
    add9(w, states, epochs)
    before = written(w, tmp_path)
    rc[:], states[:], epochs[:] = 0.0, 0.0, 0.0
    assert written(w, tmp_path) == before
    add9(w, *type9_data(seed=3), "THIRD")
    assert written(w, tmp_path) != before
    assert [s[6] for s in NaifSpk(str(tmp_path / "out.bsp")).segments()] == ["T3", "T9", "THIRD"]


def test_reentrant_calls_meet_the_borrow(tmp_path):
    w = NaifSpkWriter()

    class Calls:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 1

        __float__ = __index__

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.add_type9(Calls(lambda: w.write(str(tmp_path / "x.bsp"))), 3, 1, 0.0, 1.0, "x", 1, STATES, EPOCHS)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.add_type3(1, 3, 1, Calls(lambda: add9(w, STATES, EPOCHS)), 1.0, "x", 0.0, 1.0, type3_coeffs())
    add9(w, STATES, EPOCHS)  # both borrows were released
    w.write(str(tmp_path / "ok.bsp"))
    assert len(NaifSpk(str(tmp_path / "ok.bsp")).segments()) == 1


# ---------------------------------------------------------------------------
# Reading back

def mixed_writer():
    w = NaifSpkWriter("round trip")
    rc = type3_coeffs(4, 5, init=1000.0, intlen=3600.0)
    states, epochs = type9_data(230)
    add3(w, rc, "MOON WRT EMB", init=1000.0, intlen=3600.0)
    add9(w, states, epochs, "EARTH WRT EMB", degree=7)
    add9(w, *type9_data(25, seed=5), "PROBE", target=-82, center=399, frame_id=17, degree=1)
    return w, rc, states, epochs


def test_round_trip_segments(tmp_path):
    w, rc, states, epochs = mixed_writer()
    written(w, tmp_path)
    e25 = type9_data(25, seed=5)[1]
    assert NaifSpk(str(tmp_path / "out.bsp")).segments() == [
        (301, 3, 1, 3, 1000.0, 1000.0 + 4 * 3600.0, "MOON WRT EMB"),
        (399, 3, 1, 9, float(epochs[0]), float(epochs[-1]), "EARTH WRT EMB"),
        (-82, 399, 17, 9, float(e25[0]), float(e25[-1]), "PROBE"),
    ]


@needs_state
def test_round_trip_states(tmp_path):
    w, rc, states, epochs = mixed_writer()
    written(w, tmp_path)
    spk = NaifSpk(str(tmp_path / "out.bsp"))
    # Type 9 gives the stored states at stored epochs, bit for bit.
    for i in (0, 1, 99, 100, 229):
        assert list(spk.state(399, 3, float(epochs[i]))) == states[i].tolist()
    # Type 3 gives the Chebyshev series of its records, bit for bit.
    for et in (1000.0, 2000.0, 4600.0, 1000.0 + 3600.0 * 2.5, 1000.0 + 4 * 3600.0):
        assert list(spk.state(301, 3, et)) == type3_state(rc, 1000.0, 3600.0, et)


@pytest.fixture
def spice():
    sp = pytest.importorskip("spiceypy")
    sp.kclear()
    yield sp
    sp.kclear()


def test_toolkit_reads_the_file_record_and_summaries(tmp_path, spice):
    w, rc, states, epochs = mixed_writer()
    path = str(tmp_path / "out.bsp")
    w.write(path)
    handle = spice.dafopr(path)
    nd, ni, ifname, fward, bward, free = spice.dafrfr(handle)
    assert (nd, ni, ifname, fward, bward) == (2, 6, "round trip", 2, 2)
    spice.dafbfs(handle)
    found = []
    while spice.daffna():
        dc, ic = spice.dafus(spice.dafgs(), 2, 6)
        found.append((*(int(v) for v in ic[:4]), float(dc[0]), float(dc[1]), spice.dafgn()))
        end = int(ic[5])
    spice.dafcls(handle)
    assert found == NaifSpk(path).segments()
    assert free == end + 1
    assert sorted(spice.spkobj(path)) == [-82, 301, 399]
    assert spice.wnfetd(spice.spkcov(path, 301), 0) == (1000.0, 1000.0 + 4 * 3600.0)

    # The toolkit checks the FTP validation string where the writer puts it:
    # a copy whose first carriage return became a line feed is refused.
    data = bytearray(open(path, "rb").read())
    data[507] = 0x0A
    (tmp_path / "ascii.bsp").write_bytes(bytes(data))
    with pytest.raises(Exception, match="FTP"):
        spice.dafopr(str(tmp_path / "ascii.bsp"))


def test_toolkit_states_agree(tmp_path, spice):
    w, rc, states, epochs = mixed_writer()
    path = str(tmp_path / "out.bsp")
    w.write(path)
    spice.furnsh(path)
    spk = NaifSpk(path) if hasattr(NaifSpk, "state") else None
    # Tolerances: a few ulps of the largest stored value (Type 9) and of the
    # largest coefficient sum (Type 3); the toolkit sums in another order.
    tol9 = 1e-12 * np.abs(states).max()
    for i in (0, 1, 99, 100, 229):
        got, _ = spice.spkez(399, float(epochs[i]), "J2000", "NONE", 3)
        np.testing.assert_allclose(got, states[i], rtol=0, atol=tol9)
        if spk is not None:
            np.testing.assert_allclose(got, spk.state(399, 3, float(epochs[i])), rtol=0, atol=tol9)
    tol3 = 1e-13 * np.abs(rc[:, 2:]).sum(axis=1).max()
    for et in (1000.0, 2000.0, 4600.0, 1000.0 + 3600.0 * 2.5, 1000.0 + 4 * 3600.0 - 1.0):
        got, _ = spice.spkgeo(301, et, "J2000", 3)
        np.testing.assert_allclose(got, type3_state(rc, 1000.0, 3600.0, et), rtol=0, atol=tol3)
        if spk is not None:
            np.testing.assert_allclose(got, spk.state(301, 3, et), rtol=0, atol=tol3)


# ---------------------------------------------------------------------------
# Failures and crashes

@pytest.mark.parametrize("target, message, left", [
    ("missing/x.bsp", "I/O error: No such file or directory (os error 2)", {"plain"}),
    ("plain/x.bsp", "I/O error: Not a directory (os error 20)", {"plain"}),
    # The rename onto the directory fails; the staging file is removed too.
    ("adir.bsp", "I/O error: Is a directory (os error 21)", {"plain"}),
    ("adir.bsp/", "I/O error: Is a directory (os error 21)", {"plain"}),
    ("x\0.bsp", "I/O error: file name contained an unexpected NUL byte", {"plain"}),
])
def test_failed_write_leaves_nothing_under_the_target(tmp_path, target, message, left):
    (tmp_path / "plain").write_text("x")
    (tmp_path / "adir.bsp").mkdir()
    with pytest.raises(RuntimeError) as info:
        NaifSpkWriter().write(str(tmp_path) + "/" + target)
    assert str(info.value) == message
    assert {p.name for p in tmp_path.iterdir()} == left | {"adir.bsp"}
    assert not any((tmp_path / "adir.bsp").iterdir())
    assert (tmp_path / "plain").read_text() == "x"


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
    # Root ignores permission bits, so the write runs in a child that has
    # given up root (a non-root run keeps its own identity).
    base = tempfile.mkdtemp(prefix="kernwerk-ro-")
    ro = os.path.join(base, "ro")
    try:
        os.chmod(base, 0o755)
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
        assert os.listdir(ro) == ["x.bsp"]
        with open(os.path.join(ro, "x.bsp"), "rb") as f:
            assert f.read() == b"old"
    finally:
        os.chmod(ro, 0o755)
        for name in os.listdir(ro):
            os.remove(os.path.join(ro, name))
        os.rmdir(ro)
        os.rmdir(base)


CRASH_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    from kernwerk import NaifSpkWriter
    w = NaifSpkWriter("crash")
    rng = np.random.default_rng(7)
    for i in range(25):
        epochs = np.arange(1.0, 20001.0) * 60.0
        w.add_type9(1000 + i, 0, 1, epochs[0], epochs[-1], "S%d" % i, 7, rng.normal(size=(20000, 6)), epochs)
    print("ready", flush=True)
    w.write(sys.argv[1])
    print("done", flush=True)
""")


def test_killed_writer_leaves_old_or_complete_file(tmp_path):
    """A writer killed at any moment of a 28 MB write leaves the target
    absent, old or complete: never partial."""
    target = str(tmp_path / "big.bsp")

    def start():
        proc = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, target], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "ready\n"
        return proc

    proc = start()
    t0 = time.monotonic()
    assert proc.stdout.readline() == "done\n"
    duration = time.monotonic() - t0
    proc.wait()
    with open(target, "rb") as f:
        new = f.read()
    old_writer = NaifSpkWriter("old")
    add9(old_writer, STATES, EPOCHS)
    # Kill moments spread over the whole write and a little beyond, jittered.
    rng = random.Random(11)
    trials = 10
    for trial in range(trials):
        if os.path.exists(target):
            os.remove(target)
        old = None
        if trial % 2:
            old_writer.write(target)
            with open(target, "rb") as f:
                old = f.read()
        proc = start()
        time.sleep(duration * 1.5 * (trial + rng.random()) / trials)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        if not os.path.exists(target):
            assert old is None, f"trial {trial}: old file lost"
            continue
        with open(target, "rb") as f:
            got = f.read()
        assert got == new or got == old, f"trial {trial}: partial file of {len(got)} bytes"


# ---------------------------------------------------------------------------
# What the toolkit writes and reads

def toolkit_writes(spice, path, kind, degree, start, end, rc=None, states=None, epochs=None):
    """None when the toolkit's own writer accepts the segment, else its error."""
    handle = spice.spkopn(path, "oracle", 0)
    try:
        if kind == 3:
            spice.spkw03(handle, 1, 0, "J2000", start, end, "x", 100.0, len(rc), degree, rc.ravel().tolist(), 0.0)
        else:
            spice.spkw09(handle, 1, 0, "J2000", start, end, "x", degree, len(epochs), states.tolist(),
                         epochs.tolist())
        spice.spkcls(handle)
        return None
    except Exception as e:  # noqa: BLE001 - any toolkit error is a refusal
        spice.reset()
        spice.dafcls(handle)
        return e


# Degrees and coverage at and beyond the toolkit's limits. Type 3 records
# cover 0..200, Type 9 epochs 0..390 (40 states); coverage None means the
# data's own bounds.
WRITER_LIMITS = [
    (3, 27, None), (3, 28, None), (9, 27, None), (9, 28, None),
    (3, 2, (-1.0, 200.0)), (3, 2, (0.0, 200.5)), (3, 2, (150.0, 50.0)), (3, 2, (100.0, 100.0)), (3, 2, (20.0, 180.0)),
    (9, 3, (-1.0, 390.0)), (9, 3, (0.0, 391.0)), (9, 3, (50.0, 40.0)), (9, 3, (30.0, 30.0)), (9, 3, (5.0, 385.0)),
]


@pytest.mark.parametrize("kind, degree, coverage", WRITER_LIMITS)
def test_writer_accepts_what_the_toolkit_writes(tmp_path, spice, kind, degree, coverage):
    rng = np.random.default_rng(degree)
    w = NaifSpkWriter()
    if kind == 3:
        rc = type3_coeffs(2, degree + 1, seed=degree)
        start, end = coverage or (0.0, 200.0)
        ours = lambda: w.add_type3(1, 0, 1, start, end, "x", 0.0, 100.0, rc)  # noqa: E731
        refusal = toolkit_writes(spice, str(tmp_path / "tk.bsp"), 3, degree, start, end, rc=rc)
    else:
        states, epochs = rng.normal(size=(40, 6)), np.arange(40) * 10.0
        start, end = coverage or (0.0, 390.0)
        ours = lambda: w.add_type9(1, 0, 1, start, end, "x", degree, states, epochs)  # noqa: E731
        refusal = toolkit_writes(spice, str(tmp_path / "tk.bsp"), 9, degree, start, end, states=states, epochs=epochs)
    if refusal is not None:
        with pytest.raises(RuntimeError, match=f"^invalid Type {kind} segment: "):
            ours()
        return
    ours()
    path = str(tmp_path / "ours.bsp")
    w.write(path)
    spice.furnsh(path)
    spk = NaifSpk(path)
    for et in np.linspace(start, end, 7):
        got, _ = spice.spkez(1, float(et), "J2000", "NONE", 0)
        np.testing.assert_allclose(spk.state(1, 0, float(et)), got, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("frame_id", [1, 17, 2])
def test_segment_frames_against_the_toolkit(tmp_path, spice, frame_id):
    """States of an ECLIPJ2000 segment come back rotated into J2000 as the
    toolkit gives them; a segment in any other frame is refused by name."""
    states, epochs = type9_data(30, seed=4)
    w = NaifSpkWriter()
    add9(w, states, epochs, "PROBE", target=-82, center=399, frame_id=frame_id, degree=5)
    path = str(tmp_path / "frames.bsp")
    w.write(path)
    spice.furnsh(path)
    spk = NaifSpk(path)
    ets = np.linspace(epochs[0], epochs[-1], 9)
    if frame_id == 2:
        message = ("SPK segment 'PROBE' (target -82, center 399, data type 9) is referred to frame 2; "
                   "only J2000 (1) and ECLIPJ2000 (17) segments can be evaluated")
        for call in (lambda: spk.state(-82, 399, float(ets[1])), lambda: spk.state_batch(399, -82, ets)):
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == message
        return
    tol = 1e-12 * np.abs(states).max()
    for et in ets:
        got, _ = spice.spkez(-82, float(et), "J2000", "NONE", 399)
        np.testing.assert_allclose(spk.state(-82, 399, float(et)), got, rtol=0, atol=tol)
        eclip, _ = spice.spkez(-82, float(et), "ECLIPJ2000", "NONE", 399)
        np.testing.assert_allclose(spk.state_batch_in_frame(-82, 399, np.array([et]), "ECLIPJ2000")[0], eclip,
                                   rtol=0, atol=tol)


def _dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


# (name of a file beside the target, whether a new write removes it): only
# staging files of processes that no longer exist go.
STAGING_LEFTOVERS = [
    ("orbit.tmp.{dead}.AbCdEf012345", True),
    ("other.tmp.{dead}.ZZZZZZZZZZZZ", True),  # another target's, in the same folder
    ("orbit.tmp.{live}.AbCdEf012345", False),  # its writer still runs
    ("orbit.tmp.{dead}.AbCdEf01234", False),  # not a staging name: 11 letters
    ("orbit.tmp.{dead}.AbCdEf01234_", False),
    ("orbit.bsp.{dead}.AbCdEf012345", False),  # not a .tmp stem
    ("orbit.tmp.0{dead}.AbCdEf012345", False),
    ("orbit.tmp", False),
    ("orbit.tmp.AbCdEf012345", False),  # an older version's name, without a process id
]


@pytest.mark.parametrize("name, removed", STAGING_LEFTOVERS, ids=[r[0] for r in STAGING_LEFTOVERS])
def test_stale_staging_files_are_removed(tmp_path, name, removed):
    leftover = tmp_path / name.format(dead=_dead_pid(), live=os.getppid())
    leftover.write_bytes(b"half a kernel")
    w = NaifSpkWriter()
    add9(w, STATES, EPOCHS)
    w.write(str(tmp_path / "orbit.bsp"))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["orbit.bsp"] + ([] if removed else [leftover.name]))


KILLED_WRITER = """
import sys
import numpy as np
from kernwerk import NaifSpkWriter
w = NaifSpkWriter()
n = 400_000
w.add_type9(399, 3, 1, 0.0, float(n - 1), "BIG", 3, np.ones((n, 6)), np.arange(float(n)))
print("ready", flush=True)
while True:
    w.write(sys.argv[1])
"""


def test_writes_killed_by_sigkill_leave_nothing_after_the_next_write(tmp_path):
    """A SIGKILL in the middle of writes leaves staging files; the next
    write (of any process) removes them."""
    target = tmp_path / "big.bsp"
    for delay in (0.05, 0.1, 0.2):
        child = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(target)], stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
    w = NaifSpkWriter()
    add9(w, STATES, EPOCHS)
    w.write(str(target))
    assert [p.name for p in tmp_path.iterdir()] == ["big.bsp"]
