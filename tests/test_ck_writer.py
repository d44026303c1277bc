"""CkWriter: files read back by the toolkit (through spiceypy) exactly as
the data were given, compared with the files spiceypy's own writers make
from the same data, and the refusals (each naming the fault, nothing
written)."""

import numpy as np
import pytest

import kernwerk

sp = pytest.importorskip("spiceypy")

INST, REF = -77001, "J2000"


def unit_quaternions(n, seed):
    q = np.random.default_rng(seed).normal(size=(n, 4))
    return q / np.linalg.norm(q, axis=1)[:, None]


def type2_data(n=250, seed=3):
    rng = np.random.default_rng(seed)
    starts = np.cumsum(rng.uniform(10.0, 20.0, n)) + 1000.0
    stops = starts + rng.uniform(1.0, 9.0, n)
    stops[n // 2] = starts[n // 2 + 1]  # touching intervals are allowed
    return starts, stops, unit_quaternions(n, seed), rng.normal(size=(n, 3)) * 1e-3, rng.uniform(1e-3, 1e-2, n)


def type3_data(n=333, seed=4, every=None):
    rng = np.random.default_rng(seed)
    ticks = np.cumsum(rng.uniform(1.0, 5.0, n)) + 500.0
    picked = np.unique([0, min(7, n - 1), n // 2, min(n // 2 + 1, n - 1), max(n - 3, 0)])
    starts = ticks[picked] if every is None else ticks[::every].copy()
    return ticks, unit_quaternions(n, seed), rng.normal(size=(n, 3)) * 1e-3, starts


def toolkit_file(path, kind, data, av=True):
    h = sp.ckopn(str(path), "ck", 0)
    try:
        if kind == 2:
            s, e, q, w, r = data
            sp.ckw02(h, s[0], e[-1], INST, REF, "SEG", len(s), s, e, q, w, r)
        else:
            t, q, w, starts = data
            sp.ckw03(h, t[0], t[-1], INST, REF, av, "SEG", len(t), t, q, w, len(starts), starts)
    finally:
        sp.ckcls(h)


def own_file(path, kind, data, av=True):
    with kernwerk.CkWriter(path, comments=["pointing of test instrument", "line 2"]) as w:
        if kind == 2:
            w.add_type2(INST, REF, *data, name="SEG")
        else:
            t, q, w3, starts = data
            w.add_type3(INST, REF, t, q, w3 if av else None, intervals=starts, name="SEG")


def daf_arrays(path):
    """(summary, name, data) of every array, through the toolkit's DAF reader."""
    out = []
    h = sp.dafopr(str(path))
    try:
        sp.dafbfs(h)
        while sp.daffna():
            dc, ic = sp.dafus(sp.dafgs(2), 2, 6)
            out.append((tuple(dc), tuple(ic[:4]), sp.dafgn(), np.asarray(sp.dafgda(h, int(ic[4]), int(ic[5])))))
    finally:
        sp.dafcls(h)
    return out


@pytest.fixture(autouse=True)
def _clear():
    yield
    sp.kclear()


@pytest.mark.parametrize("kind,av,every", [(2, True, None), (3, True, None), (3, False, None), (3, True, 2)])
def test_read_back_by_the_toolkit_as_its_own_writer_makes_it(tmp_path, kind, av, every):
    data = type2_data() if kind == 2 else type3_data(every=every)
    mine, theirs = tmp_path / "mine.bc", tmp_path / "theirs.bc"
    own_file(mine, kind, data, av)
    toolkit_file(theirs, kind, data, av)
    a, b = daf_arrays(mine), daf_arrays(theirs)
    assert len(a) == len(b) == 1
    assert a[0][:3] == b[0][:3]
    np.testing.assert_array_equal(a[0][3], b[0][3])
    assert sp.ckobj(str(mine)).__iter__ and list(sp.ckobj(str(mine))) == [INST]
    for level in ("SEGMENT", "INTERVAL"):
        cov = [list(sp.ckcov(str(p), INST, av, level, 0.0, "SCLK")) for p in (mine, theirs)]
        assert cov[0] == cov[1]
    times = data[0]
    probes = np.concatenate([times, times[:-1] + np.diff(times) / 3, (data[1] if kind == 2 else times) - 1e-6])
    for p in (mine, theirs):
        sp.furnsh(str(p))
        with sp.no_found_check():
            got = [sp.ckgpav(INST, t, 0.0, REF) if av else sp.ckgp(INST, t, 0.0, REF) for t in probes]
        sp.kclear()
        if p == mine:
            ours = got
    for x, y in zip(ours, got):
        assert x[-1] == y[-1]
        if x[-1]:
            for u, v in zip(x[:-1], y[:-1]):
                np.testing.assert_array_equal(u, v)
    # At the given instants the toolkit returns the stored quaternion's matrix.
    sp.furnsh(str(mine))
    q = data[2] if kind == 2 else data[1]
    for i in (0, 17, len(times) - 1):
        cmat = sp.ckgp(INST, times[i], 0.0, REF)[0]
        np.testing.assert_allclose(cmat, sp.q2m(q[i]), rtol=0, atol=2e-16)
    sp.kclear()
    h = sp.dafopr(str(mine))
    count, lines, _ = sp.dafec(h, 10, 100)
    sp.dafcls(h)
    assert lines[:count] == ["pointing of test instrument", "line 2"]


def shifted(data, index, value):
    out = [np.array(a, dtype=float, copy=True) for a in data]
    out[index][np.unravel_index(0 if out[index].ndim == 1 else 5, out[index].shape)] = value
    return out


REFUSALS = [
    (2, lambda d: [d[1], d[0], *d[2:]], "not before its stop"),
    (2, lambda d: [d[0][::-1].copy(), d[1][::-1].copy(), *d[2:]], "sorted and not overlap"),
    (2, lambda d: [d[0], d[1] + 20.0, *d[2:]], "not overlap"),
    (2, lambda d: [*d[:2], d[2] * 1.001, *d[3:]], "norm"),
    (2, lambda d: [*d[:4], -d[4]], "positive"),
    (2, lambda d: shifted(d, 2, np.nan), "not finite"),
    (3, lambda d: [d[0][::-1].copy(), *d[1:]], "strictly increase"),
    (3, lambda d: [*d[:3], d[3][1:]], "not at the first tick"),
    (3, lambda d: [*d[:3], d[3] + 0.5], "not one of the ticks"),
    (3, lambda d: shifted(d, 0, -1.0), "not negative"),
    (3, lambda d: shifted(d, 1, 0.0), "norm"),
    (3, lambda d: shifted(d, 2, np.inf), "angular velocity"),
]


@pytest.mark.parametrize("kind,change,message", REFUSALS)
def test_refusals_name_the_fault_and_write_nothing(tmp_path, kind, change, message):
    data = change(type2_data(20) if kind == 2 else type3_data(20))
    path = tmp_path / "x.bc"
    with pytest.raises(ValueError, match=message):
        own_file(path, kind, data)
    assert not path.exists() and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kwargs,message", [
    (dict(name="N" * 41), "longer than 40"),
    (dict(name="caf\u00e9"), "printable ASCII"),
    (dict(start=600.0), "after the first tick"),
    (dict(end=501.0), "before the last tick"),
])
def test_segment_bounds_and_names(tmp_path, kwargs, message):
    t, q, w, _ = type3_data(20)
    writer = kernwerk.CkWriter()
    with pytest.raises(ValueError, match=message):
        writer.add_type3(INST, REF, t, q, w, **kwargs)
    with pytest.raises(ValueError, match="at least one segment"):
        writer.write(tmp_path / "empty.bc")
    assert list(tmp_path.iterdir()) == []


def test_many_segments_chain_their_summaries(tmp_path):
    """60 segments take three summary records; the toolkit finds each, in
    order, and the last one added wins where they overlap."""
    path = tmp_path / "many.bc"
    with kernwerk.CkWriter(path) as w:
        for i in range(60):
            if i % 2:
                w.add_type2(INST - i % 3, REF, *type2_data(3, seed=i), name=f"S{i}")
            else:
                t, q, av, _ = type3_data(5, seed=i)
                w.add_type3(INST - i % 3, REF, t, q, av, name=f"S{i}")
    arrays = daf_arrays(path)
    assert [a[2] for a in arrays] == [f"S{i}" for i in range(60)]
    assert [a[1][0] for a in arrays] == [INST - i % 3 for i in range(60)]
    assert [a[1][2] for a in arrays] == [3 if i % 2 == 0 else 2 for i in range(60)]
    assert sorted(sp.ckobj(str(path))) == [INST - 2, INST - 1, INST]
    sp.furnsh(str(path))
    t, q, _, _ = type3_data(5, seed=54)
    np.testing.assert_array_equal(sp.ckgp(INST, t[1], 0.0, REF)[0], sp.q2m(q[1]))


def test_a_failed_write_leaves_the_old_file(tmp_path):
    path = tmp_path / "keep.bc"
    path.write_bytes(b"old")
    w = kernwerk.CkWriter()
    w.add_type3(INST, REF, *type3_data(5)[:3])
    with pytest.raises(kernwerk.KernelFileError):
        w.write(tmp_path / "missing" / "x.bc")
    with pytest.raises(ZeroDivisionError), kernwerk.CkWriter(path) as failing:
        failing.add_type3(INST, REF, *type3_data(5)[:3])
        1 / 0
    assert path.read_bytes() == b"old" and sorted(p.name for p in tmp_path.iterdir()) == ["keep.bc"]
