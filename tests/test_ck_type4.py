"""CK Type 4 (Chebyshev quaternions in a generic segment) against spiceypy:
segments built byte by byte (no writer of the type exists in either), read
by each side."""

import numpy as np
import pytest

from dafbuild import Segment, build_daf, ck4_data, to_big_endian
from kernwerk import FileFormatError, Kernels

sp = pytest.importorskip("spiceypy")

LO, HI = 1000.0, 1800.0


def packets(rng, n, av=True, gaps=True, degrees=8, fixed=False):
    """n packets over LO..HI, every fourth followed by a gap; a smooth base quaternion with random series of 1 to
    `degrees` coefficients per component (all of `degrees` with `fixed`), angular velocity series likewise."""
    b = np.sort(np.concatenate([[LO, HI], rng.uniform(LO, HI, n - 1)]))
    out = []
    for k in range(n):
        a, e = b[k], b[k + 1]
        if gaps and k % 4 == 3:
            e -= 0.3 * (e - a)
        base = np.array([np.cos(k / 7), 0.3 * np.sin(k / 7), -0.5, 0.8 * np.sin(k / 5)])

        def series(c0, scale):
            deg = degrees if fixed else int(rng.integers(1, degrees + 1))
            return [c0] + list(rng.normal(size=deg - 1) * scale / np.arange(1, deg))

        q = [series(c, 0.05) for c in base]
        w = [series(rng.normal() * 1e-3, 1e-4) for _ in range(3)] if av else [[], [], []]
        out.append(((a + e) / 2, (e - a) / 2, q + w))
    return out


# instrument: (reference type, angular velocity, packets, references inside the packets, fixed size, segment cut)
CASES = {-9040: (3, True, 25, False, False, True), -9041: (2, False, 25, False, False, False),
         -9042: (4, True, 25, False, False, False), -9043: (3, True, 150, False, False, False),
         -9044: (3, True, 20, False, True, False), -9045: (3, True, 25, True, False, False),
         -9046: (2, True, 25, True, False, True)}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("ck4")
    rng = np.random.default_rng(4)
    segs, edges = [], []
    for inst, (ref, av, n, inside, fixed, cut) in CASES.items():
        pk = packets(rng, n, av=av, gaps=not fixed, degrees=6 if fixed else 8, fixed=fixed)
        starts = np.array([m - r for m, r, _ in pk])
        ends = np.array([m + r for m, r, _ in pk])
        refs = starts + 0.3 * (ends - starts) if inside else None
        span = [starts[0] + 7.0, ends[-1] - 5.0] if cut else [starts[0], ends[-1]]
        segs.append(Segment(span, [inst, 1, 4, int(av), 0, 0], ck4_data(pk, refs, ref, fixed), b"t4 %d" % inst))
        edges += [starts, ends, (ends[:-1] + starts[1:]) / 2, span] + ([refs] if inside else [])
    path = d / "t4.bc"
    path.write_bytes(build_daf(segs, idword=b"DAF/CK  "))
    return {"path": str(path), "edges": np.unique(np.concatenate(edges))}


@pytest.fixture(scope="module")
def oracle(files):
    sp.kclear()
    sp.furnsh(files["path"])
    sp.found_check_off()
    yield sp
    sp.found_check_on()
    sp.kclear()


@pytest.mark.parametrize("instrument", CASES)
@pytest.mark.parametrize("tol", [0.0, 3.0])
@pytest.mark.parametrize("frame, need_av", [("J2000", False), ("J2000", True), ("ECLIPJ2000", True)])
def test_type4_pointing_matches_ckgp(files, oracle, instrument, tol, frame, need_av):
    e = files["edges"]
    ts = np.concatenate([np.random.default_rng(-instrument).uniform(LO - 10, HI + 10, 800), e, e + 1e-7, e - 1e-7,
                         e + tol, e - tol, e + tol * (1 + 1e-9), e - tol * (1 + 1e-9)])
    k = Kernels(files["path"])
    p = k.pointing(instrument, ts, tolerance=tol, frame=frame, angular_velocity=need_av, threads=2)
    q = k.pointing(instrument, ts, tolerance=tol, frame=frame, angular_velocity=need_av, quaternion=True)
    worst_c = worst_av = 0.0
    for i, t in enumerate(ts):
        if need_av:
            cmat, av, clock, found = oracle.ckgpav(instrument, t, tol, frame)
        else:
            cmat, clock, found = oracle.ckgp(instrument, t, tol, frame)
        assert bool(found) == p.found[i], (t, found)
        if found:
            assert clock == p.clock[i], t
            worst_c = max(worst_c, np.abs(p.rotation[i] - cmat).max(), np.abs(q.rotation[i] - oracle.m2q(cmat)).max())
            if need_av:
                worst_av = max(worst_av, np.abs(p.angular_velocity[i] - av).max() / np.linalg.norm(av))
    assert worst_c <= 1e-14 and worst_av <= 1e-12
    # A segment without angular velocity answers no ckgpav.
    assert (p.found.sum() > 500 and not p.found.all()) if CASES[instrument][1] or not need_av else not p.found.any()


@pytest.mark.parametrize("instrument", [-9040, -9041, -9045])
@pytest.mark.parametrize("level", ["SEGMENT", "INTERVAL"])
def test_type4_coverage_matches_ckcov(files, oracle, instrument, level):
    cover = oracle.stypes.SPICEDOUBLE_CELL(2000)
    oracle.ckcov(files["path"], instrument, False, level, 0.0, "SCLK", cover)
    theirs = np.array([oracle.wnfetd(cover, i) for i in range(oracle.wncard(cover))]).reshape(-1, 2)
    np.testing.assert_array_equal(Kernels(files["path"]).ck_coverage(instrument, level=level.lower()), theirs)


def test_big_endian_type4_reads_alike(files, tmp_path):
    big = tmp_path / "t4_big.bc"
    big.write_bytes(to_big_endian(open(files["path"], "rb").read()))
    ts = np.random.default_rng(1).uniform(LO, HI, 500)
    for inst in CASES:
        want = Kernels(files["path"]).pointing(inst, ts, tolerance=1.0, angular_velocity=CASES[inst][1])
        got = Kernels(str(big)).pointing(inst, ts, tolerance=1.0, angular_velocity=CASES[inst][1])
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)


# Two packets of 2 coefficients per component (17 words each, from word 0), references at 34, 35, the packet
# directory at 36..38, then the 17 metadata words at 39..55; each case breaks one word.
@pytest.mark.parametrize("word, value, words", [
    (55, 16.0, "NMETA 16"), (43, 1.0, "reference type 1; kernwerk reads"), (43, 5.0, "metadata RDRTYP is 5|reference type 5"),
    (45, 1.0, "1 references for 2 packets"), (50, 0.0, "no packets"), (35, -1e300, "reference 2"),
    (37, 20.0, "packet 1: 17 words .* in its 19 words"), (37, 3.0, "packet address 2 is 3"), (36, 2.0, "packet address 1"), (47, 2.0, "packet directory of 2 words"),
    (1, 0.0, "packet 1: midpoint 1 and radius 0"), (19, 1.0e20, "packet 2: coefficient counts packed"),
    (2, 2.0 + 2 * 128 + 2 * 128 ** 2 + 2 * 128 ** 3 + 2 * 128 ** 4 + 2 * 128 ** 5,
     "packet 1: no coefficients for angular velocity component 3"),
    (2, 3.0 + 2 * 128 + 2 * 128 ** 2 + 2 * 128 ** 3 + 2 * 128 ** 4 + 2 * 128 ** 5 + 2 * 128 ** 6, "18 words"),
    (54, 3.0, "PKTOFF 3"), (39, 60.0, "metadata CONBAS is 60")])
def test_malformed_type4_segment_is_refused_at_load(tmp_path, word, value, words):
    pk = [(1.0 + 2 * k, 1.0, [[1.0, 0.1], [0.0, 0.2], [0.0, 0.0], [0.0, 0.1]] + [[1e-3, 0.0]] * 3) for k in range(2)]
    data = ck4_data(pk)
    assert len(data) == 56
    data[word] = value
    (tmp_path / "bad4.bc").write_bytes(build_daf([Segment([0.0, 4.0], [-9049, 1, 4, 1, 0, 0], data, b"t4")],
                                                 idword=b"DAF/CK  "))
    with pytest.raises(FileFormatError, match=r"malformed CK Type 4 segment \"t4\" \(instrument -9049\): .*(" + words + ")"):
        Kernels(str(tmp_path / "bad4.bc"))
