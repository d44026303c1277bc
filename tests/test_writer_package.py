"""The package SpkWriter at scale: chained summary records, comment areas
and frames, read back by spiceypy (the toolkit) and by kernwerk."""

import numpy as np
import pytest

import kernwerk
from kernwerk import FrameError, Kernels, SpkWriter, read_segments

spice = pytest.importorskip("spiceypy")

ETS = np.linspace(0.0, 1000.0, 11)


def _states(i):
    s = np.zeros((ETS.size, 6))
    s[:, 0], s[:, 1], s[:, 4] = 1000.0 + i, ETS * 0.5, 0.5
    return s


# Segment counts around the summary record's 25, up to the thousands the
# toolkit's own files hold, with and without a comment area.
LAYOUTS = [
    (1, None),
    (25, None),
    (26, "one line"),
    (51, ["first", "", "third ~ with every printable: " + "".join(map(chr, range(32, 127)))]),
    (1000, "a long comment\n" + "x" * 2500 + "\n\nend"),
]


@pytest.mark.parametrize("count, comments", LAYOUTS, ids=[str(n) for n, _ in LAYOUTS])
def test_spiceypy_reads_every_segment_and_the_comments(tmp_path, count, comments):
    w = SpkWriter("many", comments=comments)
    for i in range(count):
        w.add_type9(-1000 - i, 399, _states(i), ETS, degree=3, name=f"S{i}")
    path = w.write(tmp_path / "many.bsp")
    assert len(w) == count
    assert sorted(spice.spkobj(path, spice.cell_int(count + 1))) == sorted(-1000 - i for i in range(count))
    assert [s.name for s in read_segments(path)] == [f"S{i}" for i in range(count)]
    handle = spice.dafopr(path)
    try:
        want = w.comments
        n, got, done = spice.dafec(handle, len(want) + 5, 3000)
        assert got[:n] == want and done
    finally:
        spice.dafcls(handle)
    spice.furnsh(path)
    try:
        bodies = sorted({0, count // 2, count - 1})
        k = Kernels(path)
        for i in bodies:
            ref = spice.spkgeo(-1000 - i, 512.5, "J2000", 399)[0]
            np.testing.assert_allclose(k.state(-1000 - i, 399, 512.5), ref, rtol=1e-15, atol=1e-12)
            assert ref[0] == 1000.0 + i
    finally:
        spice.kclear()


# Frames by name (any case) and by code, written into the summary as given.
FRAMES = [("J2000", 1), ("eclipj2000", 17), ("ITRF93", 13000), (" b1950 ", 2), (13000, 13000), (10013, 10013),
          (-82000, -82000)]


@pytest.mark.parametrize("frame, code", FRAMES, ids=[str(f) for f, _ in FRAMES])
def test_frames_by_name_and_code(tmp_path, frame, code):
    w = SpkWriter()
    w.add_type9(399001, 399, _states(0), ETS, frame=frame)
    path = w.write(tmp_path / "station.bsp")
    assert read_segments(path)[0].frame == code
    handle = spice.dafopr(path)
    try:
        spice.dafbfs(handle)
        assert spice.daffna()
        assert spice.dafus(spice.dafgs(), 2, 6)[1][2] == code
    finally:
        spice.dafcls(handle)


BAD = [
    (dict(comments="caf\u00e9"), ValueError, r"comment line 1, column 4: 'é' is not printable ASCII"),
    (dict(comments=["ok", "tab\there"]), ValueError, r"comment line 2, column 4: '\\t'"),
    (dict(comments=["two\nlines"]), ValueError, r"column 4: '\\n' .*give lines as a list"),
    (dict(comments=3), TypeError, r"comments must be a str or a list of str lines"),
]


@pytest.mark.parametrize("kwargs, kind, pattern", BAD, ids=range(len(BAD)))
def test_bad_comments_are_refused_at_construction(kwargs, kind, pattern):
    with pytest.raises(kind, match=pattern):
        SpkWriter(**kwargs)


def test_unknown_frame_names_the_known_ones():
    with pytest.raises(FrameError, match=r"'IAU_MARS'.*ITRF93.*NAIF code"):
        SpkWriter().add_type9(-5, 399, _states(0), ETS, frame="IAU_MARS")


# Type 13 against the toolkit's spkw13 on the same unequally spaced states
# of an orbit: (degree, N, coverage; None: the epochs' bounds). Where spkw13
# refuses (even degree, beyond 27, fewer states than the window, coverage
# outside the epochs or empty), ours refuses, and degree 1 too (windows of
# one state, which kernwerk does not read); else both files hold the same DAF
# array and the toolkit answers the same from both.
TYPE13 = [(1, 2, None), (3, 2, None), (3, 40, None), (7, 150, None), (15, 301, (100.0, 2000.0)), (27, 14, None), (2, 40, None),
          (28, 60, None), (29, 60, None), (7, 3, None), (3, 40, (-1.0, None)), (3, 40, (None, 1e9)),
          (3, 40, (100.0, 100.0))]


@pytest.mark.parametrize("degree, n, span", TYPE13, ids=[f"{d}-{n}-{s}" for d, n, s in TYPE13])
def test_type13_as_spkw13_writes_it(tmp_path, degree, n, span):
    from test_ck_writer import daf_arrays

    rng = np.random.default_rng(degree * 1000 + n)
    epochs = np.cumsum(rng.uniform(5.0, 50.0, n))
    w0, r = 2 * np.pi / 5400.0, 7000.0
    states = np.column_stack([r * np.cos(w0 * epochs), r * np.sin(w0 * epochs), 0.1 * r * np.sin(w0 * epochs),
                              -r * w0 * np.sin(w0 * epochs), r * w0 * np.cos(w0 * epochs),
                              0.1 * r * w0 * np.cos(w0 * epochs)])
    start, end = [float(b if b is not None else e) for b, e in zip(span or (None, None), (epochs[0], epochs[-1]))]
    theirs, ours = str(tmp_path / "tk.bsp"), str(tmp_path / "ours.bsp")
    handle = spice.spkopn(theirs, "tk", 0)
    try:
        spice.spkw13(handle, -77, 399, "J2000", start, end, "ORBIT", degree, n, states, epochs)
        spice.spkcls(handle)
        refused = None
    except Exception as exc:  # noqa: BLE001 - any toolkit error is a refusal
        refused = exc
        spice.reset()
        spice.dafcls(handle)
    w = SpkWriter()
    if refused is not None or degree == 1:
        with pytest.raises(RuntimeError, match="^invalid Type 13 segment: "):
            w.add_type13(-77, 399, states, epochs, degree=degree, name="ORBIT", start=start, end=end)
        assert len(w) == 0
        return
    w.add_type13(-77, 399, states, epochs, degree=degree, name="ORBIT", start=start, end=end)
    w.write(ours)
    assert daf_arrays(ours)[0][:3] == daf_arrays(theirs)[0][:3]
    assert daf_arrays(ours)[0][3].tobytes() == daf_arrays(theirs)[0][3].tobytes()
    ets = np.concatenate([rng.uniform(start, end, 200), epochs[(epochs >= start) & (epochs <= end)], [start, end]])
    answers = []
    for path in (theirs, ours):
        spice.furnsh(path)
        answers.append(np.array([spice.spkgeo(-77, float(t), "J2000", 399)[0] for t in ets]))
        spice.kclear()
    assert answers[0].tobytes() == answers[1].tobytes()
    if degree <= 7:  # high degrees amplify rounding: readers' orders of summation part by 1e-8 km at 15
        np.testing.assert_allclose(Kernels(ours).state(-77, 399, ets), answers[1], rtol=1e-12, atol=1e-8)
