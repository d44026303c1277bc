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
