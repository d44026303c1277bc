"""Excerpts answer bit for bit like their sources over the span, in kernel
sets and in the toolkit (spiceypy), and refuse what they cannot write."""

import os

import numpy as np
import pytest
import spiceypy as sp

import kernwerk
from kernwerk import Kernels, SpkWriter
from kernwerk.__main__ import main
from kernwerk.errors import BodyNameError, CoverageError, FileFormatError
from spk_type_files import CASES

RNG = np.random.default_rng(7)


def toolkit(path, target, center, ets):
    sp.furnsh(path)
    try:
        return np.array([sp.spkgeo(target, float(et), "J2000", center)[0] for et in ets])
    finally:
        sp.unload(path)


def far_init_type3(d):
    """Type 3 records from INIT far before the span, as DE files have them:
    et - INIT rounds to 2**-19 s there, so that the epochs just before each
    boundary go to the next record. The records do not join, so that any
    other record choice shows."""
    init, intlen, n = -14200747200.0, 2764800.0, 5600
    recs = np.column_stack([init + (np.arange(n) + 0.5) * intlen, np.full(n, intlen / 2),
                            RNG.uniform(-1e8, 1e8, (n, 12))])
    w = SpkWriter()
    w.add_type3(-77, 399, recs, init=init, intlen=intlen)
    path = w.write(d / "far_init.bsp")
    lo, hi = 6.3e8, 6.6e8
    ulp = np.spacing(hi)
    bounds = init + np.arange(n) * intlen
    bounds = bounds[(bounds > lo) & (bounds < hi)]
    marks = (bounds[:, None] + np.arange(-24, 3) * ulp).ravel()
    return path, -77, 399, np.concatenate([[lo, hi], marks, RNG.uniform(lo, hi, 500)])


def built(name):
    def make(d):
        path, target, center, ets = CASES[name](d)
        lo, hi = ets[len(ets) // 3], ets[2 * len(ets) // 3]
        return path, target, center, np.concatenate([ets[(ets >= lo) & (ets <= hi)], RNG.uniform(lo, hi, 500)])
    return make


# name, builder, whether the excerpt holds fewer words than the source
EXCERPTS = [
    ("type03_far_init", far_init_type3, True),
    ("type09_w3", built("type09_w3"), True),
    ("type09_w4", built("type09_w4"), True),
    ("type13_w4", built("type13_w4"), True),
    ("type13_w5", built("type13_w5"), True),
    ("type14_copied", built("type14"), False),
    ("type20_copied", built("type20"), False),
]


@pytest.mark.parametrize("name, make, cut", EXCERPTS, ids=[e[0] for e in EXCERPTS])
def test_excerpts_answer_like_their_sources(name, make, cut, tmp_path):
    path, target, center, ets = make(tmp_path)
    out = str(tmp_path / "excerpt.bsp")
    written = kernwerk.excerpt(path, out, ets.min(), ets.max(), [target])
    assert [s.target for s in written] == [target]
    assert (written[0].words < written[0].source_words) == cut
    assert np.array_equal(Kernels(out).state(target, center, ets), Kernels(path).state(target, center, ets))
    some = ets[:: max(1, len(ets) // 60)]
    assert np.array_equal(toolkit(out, target, center, some), toolkit(path, target, center, some))
    assert path in kernwerk.read_comments(out)


def test_de440_excerpt(de440_path, tmp_path):
    from jplephem.spk import SPK
    out = str(tmp_path / "de440_2020s.bsp")
    bodies = ["sun", "earth barycenter", "earth", "moon", "mars barycenter"]
    start, stop = kernwerk.to_et("2020-01-01"), kernwerk.to_et("2030-01-01")
    kernwerk.excerpt(de440_path, out, "2020-01-01", "2030-01-01", bodies)
    assert os.path.getsize(out) < 0.2 * os.path.getsize(de440_path)
    # Epochs on both sides of every record boundary in the span, where the
    # record choice rounds, and the span's ends.
    marks = []
    for seg in SPK.open(de440_path).segments:
        if seg.target in (3, 4, 10, 301, 399):
            init, intlen = seg.daf.read_array(seg.end_i - 3, seg.end_i)[:2]
            b = init + np.arange(np.ceil((start - init) / intlen), (stop - init) // intlen + 1) * intlen
            marks.append((b[:, None] + np.arange(-24, 3) * np.spacing(b)[:, None]).ravel())
    ets = np.concatenate([[start, stop], np.linspace(start, stop, 200_001)] + marks)
    ets = ets[(ets >= start) & (ets <= stop)]
    ours, theirs = Kernels(out), Kernels(de440_path)
    for target, center in [("earth", "sun"), ("moon", "earth"), ("mars barycenter", "ssb"), ("sun", "moon")]:
        assert np.array_equal(ours.state(target, center, ets), theirs.state(target, center, ets)), target
    some = np.concatenate([[start, stop], RNG.uniform(start, stop, 100)])
    for target, center in [(301, 399), (4, 10)]:
        assert np.array_equal(toolkit(out, target, center, some), toolkit(de440_path, target, center, some))
    small = str(tmp_path / "small.bsp")
    kernwerk.excerpt(de440_path, small, start, stop, bodies, exact=False)
    assert os.path.getsize(small) < 0.01 * os.path.getsize(de440_path)


def test_precedence_and_hidden_segments(tmp_path):
    """Later files win; a segment that later ones cover over the span is
    left out."""
    ts = np.arange(0.0, 1001.0, 10.0)

    def file(name, parts):
        w = SpkWriter()
        for lo, hi in parts:
            sel = (ts >= lo) & (ts <= hi)
            w.add_type9(-5, 399, RNG.uniform(-1e4, 1e4, (sel.sum(), 6)), ts[sel], degree=3)
        return w.write(tmp_path / name)

    low, high = file("low.bsp", [(0, 1000)]), file("high.bsp", [(0, 500), (400, 1000)])
    part = file("part.bsp", [(0, 500)])
    out = str(tmp_path / "out.bsp")
    ets = np.concatenate([np.linspace(100, 900, 4001), [500.0, 400.0]])
    for files, kept in [([low, high], [high, high]), ([high, low], [low]), ([low, part], [low, part])]:
        written = kernwerk.excerpt(files, out, 100.0, 900.0)
        assert [s.source for s in written] == kept
        assert np.array_equal(Kernels(out).state(-5, 399, ets), Kernels(*files).state(-5, 399, ets))


ERRORS = [
    ("empty span", dict(start=500.0, stop=500.0), ValueError, "empty span"),
    ("no bodies", dict(bodies=[]), ValueError, "no bodies listed"),
    ("outside the coverage", dict(start=2000.0, stop=3000.0), CoverageError, "covers any epoch"),
    ("unknown body", dict(bodies=[-999]), BodyNameError, "body -999"),
    ("output is a source", dict(out="source"), ValueError, "is its source"),
    ("text kernel source", dict(paths="text"), FileFormatError, "not an SPK"),
]


@pytest.mark.parametrize("what, change, error, message", ERRORS, ids=[e[0] for e in ERRORS])
def test_refusals_write_nothing(what, change, error, message, tmp_path):
    w = SpkWriter()
    w.add_type9(-5, 399, np.ones((11, 6)), np.arange(0.0, 1001.0, 100.0), degree=3)
    source = w.write(tmp_path / "source.bsp")
    (tmp_path / "text.tpc").write_text("\\begindata\nBODY399_GM = 1.0\n\\begintext\n")
    args = dict(paths=source, out=str(tmp_path / "out.bsp"), start=100.0, stop=900.0, bodies=None) | change
    args = {k: str(tmp_path / ("source.bsp" if v == "source" else "text.tpc")) if v in ("source", "text") else v
            for k, v in args.items()}
    before = open(source, "rb").read()
    with pytest.raises(error, match=message):
        kernwerk.excerpt(**args)
    assert sorted(os.listdir(tmp_path)) == ["source.bsp", "text.tpc"]
    assert open(source, "rb").read() == before


def test_command_line(tmp_path, capsys):
    path, target, center, ets = built("type09_w4")(tmp_path)
    out = str(tmp_path / "cli.bsp")
    assert main(["excerpt", path, out, "--start", repr(float(ets.min())), "--stop", repr(float(ets.max())),
                 "--bodies", str(target)]) == 0
    assert f"{out}: 1 segments" in capsys.readouterr().out
    assert np.array_equal(Kernels(out).state(target, center, ets), Kernels(path).state(target, center, ets))
