"""State queries: DE421 against jplephem and the NAIF toolkit (spiceypy),
toolkit-written Type 3, 9 and 13 kernels, and the binding's checks and
messages.

Tolerances are in units of the double epsilon (eps = 2**-52) relative to the
scale at which the result is formed: resolution through the barycenter
rounds at the size of each body's distance from it, so a pair's position
error is judged against |r_target,ssb| + |r_center,ssb| (velocities likewise).
"""

import math
import os

import numpy as np
import pytest

from kernwerk import NaifSpk
from dafbuild import build_spk, cheb_type2, spk_segment

sp = pytest.importorskip("spiceypy")

EPS = np.finfo(float).eps
# Reached against the toolkit on DE421: 2.7 eps (position) and 3.4 eps
# (velocity) of the barycentric scale at the worst of ~30000 comparisons.
TOOLKIT_EPS = 8.0
# jplephem takes its epoch in days, which rounds ET at eps * |ET| seconds;
# on top of that its results agree to this many eps of the scale.
JPLEPHEM_EPS = 8.0


@pytest.fixture(scope="module")
def furnished():
    """Loads kernels into the toolkit for one test module; unloads them all."""
    loaded = []

    def load(path):
        sp.furnsh(path)
        loaded.append(path)

    yield load
    for path in loaded:
        sp.unload(path)


# ---------------------------------------------------------------------------
# DE421


@pytest.fixture(scope="module")
def de421(de421_path):
    jplephem_spk = pytest.importorskip("jplephem.spk")
    return NaifSpk(de421_path), jplephem_spk.SPK.open(de421_path)


@pytest.fixture(scope="module")
def de421_epochs(de421, de421_path):
    """Random epochs over the coverage, its ends, and record boundaries of
    every segment with the neighbouring doubles on either side."""
    spk, jpl = de421
    start, end = spk.segments()[0][4], spk.segments()[0][5]
    words = np.memmap(de421_path, dtype="<f8", mode="r")
    rng = np.random.default_rng(421)
    ets = [start, end, 0.0]
    for seg in jpl.segments:
        init, intlen, _rsize, n = words[seg.end_i - 4:seg.end_i]  # trailer at end-3 .. end (from 1)
        n = int(n)
        ks = {0, 1, 2, n // 3, n // 2, n - 2, n - 1, n} | set(rng.integers(0, n, 12).tolist())
        for k in sorted(ks):
            b = init + k * intlen
            ets += [b, np.nextafter(b, -np.inf), np.nextafter(b, np.inf)]
    ets = [e for e in ets if start <= e <= end]
    ets += list(rng.uniform(start, end, 2000))
    return np.array(ets)


def de421_bodies(spk):
    return sorted({s[0] for s in spk.segments()} | {s[1] for s in spk.segments()})


def scales(spk, body, ets):
    """|r| and |v| of `body` relative to the barycenter."""
    s = spk.state_batch(body, 0, ets)
    return np.linalg.norm(s[:, :3], axis=1), np.linalg.norm(s[:, 3:], axis=1)


def test_de421_reversed_pairs_are_exact_negations(de421, de421_epochs):
    spk, _ = de421
    bodies = de421_bodies(spk)
    for i, t in enumerate(bodies):
        for c in bodies[i + 1:]:
            np.testing.assert_array_equal(spk.state_batch(c, t, de421_epochs), -spk.state_batch(t, c, de421_epochs))


def test_de421_every_pair_against_jplephem(de421, de421_epochs):
    spk, jpl = de421
    ets = de421_epochs
    parent = {s.target: s.center for s in jpl.segments}

    def jpl_wrt_ssb(body):
        out = np.zeros((len(ets), 6))
        while body != 0:
            center = parent[body]
            pos, vel = jpl[center, body].compute_and_differentiate(2451545.0, ets / 86400.0)
            out[:, :3] += pos.T
            out[:, 3:] += vel.T / 86400.0  # km/day -> km/s
            body = center
        return out

    bodies = de421_bodies(spk)
    theirs = {b: jpl_wrt_ssb(b) for b in bodies}
    r, v = {}, {}
    start, end = spk.segments()[0][4], spk.segments()[0][5]
    hi, lo = np.minimum(ets + 1.0, end), np.maximum(ets - 1.0, start)
    for b in bodies:
        r[b], v[b] = scales(spk, b, ets)
        # Acceleration scale for the velocity's share of the time rounding.
        ahead, behind = spk.state_batch(b, 0, hi), spk.state_batch(b, 0, lo)
        r[b, "a"] = np.linalg.norm(ahead[:, 3:] - behind[:, 3:], axis=1) / (hi - lo)
    dt = EPS * np.abs(ets)  # jplephem's epoch rounding, seconds
    worst = 0.0
    for i, t in enumerate(bodies):
        for c in bodies[i + 1:]:
            ours = spk.state_batch(t, c, ets)
            diff = np.abs(ours - (theirs[t] - theirs[c]))
            pos_tol = JPLEPHEM_EPS * EPS * (r[t] + r[c]) + 2 * dt * (v[t] + v[c])
            vel_tol = JPLEPHEM_EPS * EPS * (v[t] + v[c]) + 2 * dt * (r[t, "a"] + r[c, "a"])
            bad = (diff[:, :3].max(axis=1) > pos_tol) | (diff[:, 3:].max(axis=1) > vel_tol)
            assert not bad.any(), (t, c, ets[bad][:5])
            worst = max(worst, (diff[:, :3].max(axis=1) / pos_tol).max(), (diff[:, 3:].max(axis=1) / vel_tol).max())
    print(f"jplephem worst: {worst:.2f} of the tolerance")


def test_de421_every_pair_against_the_toolkit(de421, de421_epochs, de421_path, furnished):
    spk, _ = de421
    furnished(de421_path)
    ets = np.ascontiguousarray(de421_epochs[::2])
    bodies = de421_bodies(spk)
    sc = {b: scales(spk, b, ets) for b in bodies}
    worst_pos = worst_vel = 0.0
    for i, t in enumerate(bodies):
        for c in bodies[i + 1:]:
            ours = spk.state_batch(t, c, ets)
            theirs = np.array([sp.spkgeo(t, et, "J2000", c)[0] for et in ets])
            diff = np.abs(ours - theirs)
            worst_pos = max(worst_pos, (diff[:, :3].max(axis=1) / (sc[t][0] + sc[c][0])).max() / EPS)
            worst_vel = max(worst_vel, (diff[:, 3:].max(axis=1) / (sc[t][1] + sc[c][1])).max() / EPS)
    print(f"toolkit worst: position {worst_pos:.2f} eps, velocity {worst_vel:.2f} eps of the barycentric scale")
    assert worst_pos <= TOOLKIT_EPS and worst_vel <= TOOLKIT_EPS, (worst_pos, worst_vel)


@pytest.mark.parametrize("target, center", [(301, 399), (399, 10), (5, 0), (499, 3), (199, 299)])
def test_de421_ecliptic_frame_against_the_toolkit(de421, de421_epochs, de421_path, furnished, target, center):
    spk, _ = de421
    furnished(de421_path)
    ets = np.ascontiguousarray(de421_epochs[::10])
    ours = spk.state_batch_in_frame(target, center, ets, "ECLIPJ2000")
    theirs = np.array([sp.spkgeo(target, et, "ECLIPJ2000", center)[0] for et in ets])
    (rt, vt), (rc, vc) = scales(spk, target, ets), scales(spk, center, ets)
    diff = np.abs(ours - theirs)
    assert (diff[:, :3].max(axis=1) <= TOOLKIT_EPS * EPS * (rt + rc)).all()
    assert (diff[:, 3:].max(axis=1) <= TOOLKIT_EPS * EPS * (vt + vc)).all()


def test_de421_batches_equal_single_queries_bit_for_bit(de421, de421_epochs):
    spk, _ = de421
    ets = np.ascontiguousarray(de421_epochs[::25])
    for t, c in [(301, 399), (399, 10), (3, 0), (0, 499), (199, 301)]:
        batch = spk.state_batch(t, c, ets)
        assert batch.shape == (len(ets), 6) and batch.dtype == np.float64
        for i, et in enumerate(ets):
            assert tuple(batch[i]) == spk.state(t, c, float(et))
        np.testing.assert_array_equal(spk.state_batch_in_frame(t, c, ets, "J2000"), batch)
        # ECLIPJ2000 is the fixed rotation about x by the J2000 obliquity.
        cos, sin = 0.9174820620691818, 0.3977771559319137
        ecl = spk.state_batch_in_frame(t, c, ets, "ECLIPJ2000")
        want = batch.copy()
        for k in (1, 4):
            want[:, k] = cos * batch[:, k] + sin * batch[:, k + 1]
            want[:, k + 1] = -sin * batch[:, k] + cos * batch[:, k + 1]
        np.testing.assert_array_equal(ecl, want)


def test_de440_moon_against_the_toolkit(de440_path, furnished):
    spk = NaifSpk(de440_path)
    furnished(de440_path)
    seg = [s for s in spk.segments() if s[0] == 301][0]
    ets = np.linspace(max(seg[4], -3e9), min(seg[5], 3e9), 200)
    ours = spk.state_batch(301, 399, ets)
    theirs = np.array([sp.spkgeo(301, et, "J2000", 399)[0] for et in ets])
    r3 = scales(spk, 3, ets)
    assert (np.abs(ours - theirs)[:, :3].max(axis=1) <= TOOLKIT_EPS * EPS * 2 * r3[0]).all()


# ---------------------------------------------------------------------------
# Toolkit-written Types 3, 9 and 13


def orbit(t):
    """A smooth test trajectory: a circle of 7000 km with a wobble in z."""
    w = 2 * math.pi / 5000.0
    return np.array([7000 * math.cos(w * t), 7000 * math.sin(w * t), 100 * math.sin(3 * w * t),
                     -7000 * w * math.sin(w * t), 7000 * w * math.cos(w * t), 300 * w * math.cos(3 * w * t)])


def write_kernel(path, *writers):
    handle = sp.spkopn(str(path), "kernwerk test", 0)
    try:
        for w in writers:
            w(handle)
    finally:
        sp.spkcls(handle)
    return str(path)


def close(ours, theirs, k=64):
    """Position within k eps of 7000 km, velocity within k eps of 9 km/s
    (the orbit's scales), component by component."""
    ours, theirs = np.asarray(ours), np.asarray(theirs)
    return (np.abs(ours[:3] - theirs[:3]) <= k * EPS * 7000).all() and \
        (np.abs(ours[3:] - theirs[3:]) <= k * EPS * 9).all()


def cheb_fit_records(f, btime, intlen, n, degree):
    """Type 3 coefficient sets fitted to f at Chebyshev nodes, one record per interval."""
    xs = np.cos(np.pi * (np.arange(degree + 1) + 0.5) / (degree + 1))
    recs = []
    for r in range(n):
        ts = btime + r * intlen + intlen / 2 + xs * intlen / 2
        vals = np.array([f(t) for t in ts])
        recs.append(np.concatenate([np.polynomial.chebyshev.chebfit(xs, vals[:, c], degree) for c in range(6)]))
    return np.array(recs).ravel()


def test_type3_against_the_toolkit(tmp_path, furnished):
    btime, intlen, n = 1000.0, 400.0, 6
    smooth = cheb_fit_records(orbit, btime, intlen, n, 12)
    # Degree 0 and a different constant per record: shows which record answers.
    steps = np.array([[k, 10 * k, 100 * k, -k, -10 * k, -100 * k] for k in range(n)], dtype=float).ravel()
    path = write_kernel(
        tmp_path / "t3.bsp",
        lambda h: sp.spkw03(h, 1001, 399, "J2000", btime, btime + n * intlen, "SMOOTH", intlen, n, 12, smooth, btime),
        lambda h: sp.spkw03(h, 1002, 399, "J2000", btime, btime + n * intlen, "STEPS", intlen, n, 0, steps, btime))
    furnished(path)
    spk = NaifSpk(path)
    assert [s[3] for s in spk.segments()] == [3, 3]
    bounds = [btime + k * intlen for k in range(n + 1)]
    ets = bounds + [b + 0.37 * intlen for b in bounds[:-1]] + [np.nextafter(b, -np.inf) for b in bounds[1:]]
    ets += list(np.linspace(btime, btime + n * intlen, 101))
    for et in ets:
        assert close(spk.state(1001, 399, et), sp.spkgeo(1001, et, "J2000", 399)[0]), et
        # Record k answers from INIT + k*INTLEN on; the last one also at the end.
        assert spk.state(1002, 399, et) == tuple(sp.spkgeo(1002, et, "J2000", 399)[0]), et
    assert spk.state(1002, 399, bounds[2])[0] == 2.0
    assert spk.state(1002, 399, bounds[-1])[0] == n - 1


UNEVEN = np.cumsum(np.random.default_rng(3).uniform(50, 150, 20))
UNEVEN = UNEVEN - UNEVEN[0] + 1000.0


def interpolation_window(epochs, t, et):
    """First index of the t states that interpolate at `et`: centred on the
    last epoch not after `et` (one more after it than before for even t),
    pushed inside the list."""
    n = len(epochs)
    t = min(t, n)
    i = int(np.searchsorted(epochs, et, side="right"))
    anchor = max(i - 1, 0)
    first = max(anchor - (t - 1) // 2, 0)
    return min(first, n - t)


def discrete_epochs(epochs):
    mids = (epochs[:-1] + epochs[1:]) / 2
    early = epochs[:-1] * 0.7 + epochs[1:] * 0.3
    late = epochs[:-1] * 0.3 + epochs[1:] * 0.7
    return list(epochs) + list(mids) + list(early) + list(late)


# (data type, toolkit degree, window size t)
DISCRETE = [(9, 1, 2), (9, 2, 3), (9, 3, 4), (9, 4, 5), (9, 5, 6), (9, 7, 8),
            (13, 3, 2), (13, 5, 3), (13, 7, 4), (13, 9, 5)]


@pytest.mark.parametrize("data_type, degree, t", DISCRETE)
def test_discrete_against_the_toolkit(tmp_path, furnished, data_type, degree, t):
    epochs = UNEVEN
    states = np.array([orbit(e) for e in epochs])
    writer = sp.spkw09 if data_type == 9 else sp.spkw13

    # Body 1000 holds all states; body 2000 + f only the t states from f on,
    # so that the toolkit has no window to choose there.
    def full(h):
        writer(h, 1000, 399, "J2000", epochs[0], epochs[-1], "FULL", degree, len(epochs), states, epochs)

    def windows(h):
        for f in range(len(epochs) - t + 1):
            writer(h, 2000 + f, 399, "J2000", epochs[f], epochs[f + t - 1], f"W{f}", degree, t,
                   states[f:f + t], epochs[f:f + t])

    path = write_kernel(tmp_path / f"t{data_type}_{degree}.bsp", full, windows)
    furnished(path)
    spk = NaifSpk(path)
    for et in discrete_epochs(epochs):
        ours = spk.state(1000, 399, et)
        f = interpolation_window(epochs, t, et)
        assert close(ours, sp.spkgeo(2000 + f, et, "J2000", 399)[0]), (et, f)
        # On the full segment the toolkit picks the same window except for
        # odd t when `et` lies in the later half of its interval: there it
        # centres on the nearer, later epoch, where ours
        # centres on the last epoch not after `et`.
        anchor = max(int(np.searchsorted(epochs, et, side="right")) - 1, 0)
        later_half = anchor + 1 < len(epochs) and \
            et - epochs[anchor] >= (epochs[anchor + 1] - epochs[anchor]) / 2
        if t % 2 == 0 or not later_half:
            assert close(ours, sp.spkgeo(1000, et, "J2000", 399)[0]), et
    # Type 9 returns a stored state exactly.
    if data_type == 9:
        for j, e in enumerate(epochs):
            assert spk.state(1000, 399, e) == tuple(states[j])


# ---------------------------------------------------------------------------
# Binding: results, checks and messages


@pytest.fixture
def small(write_kernel):
    """301 wrt 399 on [0, 100] (Type 2, three coefficients per component)."""
    rec = [50.0, 50.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]
    return NaifSpk(write_kernel(build_spk([spk_segment(301, 399, 2, 0.0, 100.0, cheb_type2(0.0, 100.0, [rec]))])))


def test_state_result_and_same_body(small):
    s = small.state(301, 399, 25.0)
    assert type(s) is tuple and len(s) == 6 and all(type(v) is float for v in s)
    assert small.state(target=399, center=301, et=25.0) == tuple(-v for v in s)
    for et in (0.0, math.nan, math.inf, 1e300):
        assert small.state(5, 5, et) == (0.0,) * 6
    with pytest.raises(RuntimeError) as info:
        small.state(True, 399, 25)  # True is body 1
    assert str(info.value) == "no segment covers target 1 wrt center 0 at et 25"


def test_batch_output_array(small):
    ets = np.array([0.0, 12.5, 100.0])
    ets.flags.writeable = False
    out = small.state_batch(301, 399, ets)
    assert out.shape == (3, 6) and out.dtype == np.float64
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert ets.tolist() == [0.0, 12.5, 100.0]
    out[:] = 0.0  # writeable, owned: the next call is unaffected
    assert tuple(small.state_batch(301, 399, ets)[1]) == small.state(301, 399, 12.5)


def test_empty_batches(small):
    empty = np.empty(0)
    assert small.state_batch(301, 399, empty).shape == (0, 6)
    assert small.state_batch_in_frame(301, 399, empty, "ECLIPJ2000").shape == (0, 6)
    with pytest.raises(ValueError) as info:
        small.state_batch_in_frame(301, 399, empty, "j2000")
    assert str(info.value) == "unsupported NAIF frame: j2000 (supported: J2000, ECLIPJ2000)"


@pytest.mark.parametrize("frame", ["j2000", " J2000", "J2000 ", "1", "17", "", "eclipj2000", "ECLIPJ2000\0", "B1950"])
def test_unsupported_frame_names(small, frame):
    with pytest.raises(ValueError) as info:
        small.state_batch_in_frame(301, 399, np.array([1.0]), frame)
    assert str(info.value) == f"unsupported NAIF frame: {frame} (supported: J2000, ECLIPJ2000)"


def test_frame_name_is_checked_before_contiguity(small):
    strided = np.arange(10.0)[::2]
    with pytest.raises(ValueError):
        small.state_batch_in_frame(301, 399, strided, "j2000")
    with pytest.raises(TypeError) as info:
        small.state_batch_in_frame(301, 399, strided, "J2000")
    assert str(info.value) == "The given array is not contiguous"


def array_message(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


BAD_ETS = [
    ("list", [0.0, 1.0], TypeError, array_message("ets", "list")),
    ("tuple", (0.0,), TypeError, array_message("ets", "tuple")),
    ("float", 1.0, TypeError, array_message("ets", "float")),
    ("float32", np.zeros(3, dtype=np.float32), TypeError, array_message("ets", "ndarray")),
    ("int64", np.zeros(3, dtype=np.int64), TypeError, array_message("ets", "ndarray")),
    ("big-endian", np.zeros(3, dtype=">f8"), TypeError, array_message("ets", "ndarray")),
    ("2-D", np.zeros((2, 3)), TypeError, array_message("ets", "ndarray")),
    ("0-D", np.array(1.0), TypeError, array_message("ets", "ndarray")),
    ("strided", np.arange(10.0)[::2], TypeError, "The given array is not contiguous"),
    ("reversed", np.arange(10.0)[::-1], TypeError, "The given array is not contiguous"),
    ("column", np.zeros((4, 2))[:, 0], TypeError, "The given array is not contiguous"),
]


@pytest.mark.parametrize("what, ets, exc, message", BAD_ETS, ids=[b[0] for b in BAD_ETS])
def test_bad_ets(small, what, ets, exc, message):
    for call in (lambda: small.state_batch(301, 399, ets),
                 lambda: small.state_batch_in_frame(301, 399, ets, "J2000")):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message


def test_contiguous_views_and_unaligned_buffers_are_read_in_place(small):
    base = np.linspace(0.0, 100.0, 11)
    want = small.state_batch(301, 399, base)
    np.testing.assert_array_equal(small.state_batch(301, 399, base[3:7]), want[3:7])
    raw = bytearray(8 * 11 + 1)
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=11)
    assert not unaligned.flags.aligned
    raw[1:] = base.tobytes()
    np.testing.assert_array_equal(small.state_batch(301, 399, unaligned), want)
    # One element is contiguous whatever its stride.
    np.testing.assert_array_equal(small.state_batch(301, 399, base[::5][1:2]), want[5:6])


BAD_CODES = [
    (2**31, OverflowError, "out of range integral type conversion attempted"),
    (-2**31 - 1, OverflowError, "out of range integral type conversion attempted"),
    (10**30, OverflowError, "out of range integral type conversion attempted"),
    (1.0, TypeError, "argument '{name}': 'float' object cannot be interpreted as an integer"),
    ("301", TypeError, "argument '{name}': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument '{name}': 'NoneType' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("code, exc, message", BAD_CODES)
@pytest.mark.parametrize("position, name", [(0, "target"), (1, "center")])
def test_bad_body_codes(small, code, exc, message, position, name):
    ets = np.array([1.0])
    for method, extra in ((small.state, (1.0,)), (small.state_batch, (ets,)),
                          (small.state_batch_in_frame, (ets, "J2000"))):
        args = [301, 399]
        args[position] = code
        with pytest.raises(exc) as info:
            method(*args, *extra)
        assert str(info.value) == message.format(name=name)


def test_extreme_codes_in_range_reach_the_resolution(small):
    with pytest.raises(RuntimeError) as info:
        small.state(-2**31, 2**31 - 1, 0.0)
    assert str(info.value) == "no segment covers target -2147483648 wrt center 0 at et 0"


def test_bad_epoch_argument(small):
    with pytest.raises(TypeError) as info:
        small.state(301, 399, "0")
    assert str(info.value) == "argument 'et': must be real number, not str"
    assert small.state(301, 399, 10) == small.state(301, 399, 10.0)
    assert small.state(301, 399, np.float32(0.5)) == small.state(301, 399, 0.5)


def test_non_finite_epochs(small, write_kernel):
    for et, text in ((math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN")):
        # 301 is reached only by the chain (the coverage test fails); its
        # step accepts NaN and then 399 has nothing.
        target = 399 if text == "NaN" else 301
        with pytest.raises(RuntimeError) as info:
            small.state(301, 399, et)
        assert str(info.value) == f"no segment covers target {target} wrt center 0 at et {text}"
    rec = [50.0, 50.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]
    chain = NaifSpk(write_kernel(build_spk([
        spk_segment(301, 399, 2, 0.0, 100.0, cheb_type2(0.0, 100.0, [rec])),
        spk_segment(399, 0, 2, 0.0, 100.0, cheb_type2(0.0, 100.0, [rec]))])))
    assert all(math.isnan(v) for v in chain.state(301, 399, math.nan))
    out = chain.state_batch(301, 399, np.array([10.0, math.nan, 20.0]))
    assert np.isnan(out[1]).all() and np.isfinite(out[[0, 2]]).all()


def test_failed_batch_names_the_first_failing_epoch(small):
    ets = np.array([10.0, 20.0, 150.5, 300.0])
    for call in (lambda: small.state_batch(301, 399, ets),
                 lambda: small.state_batch_in_frame(301, 399, ets, "ECLIPJ2000")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "no segment covers target 301 wrt center 0 at et 150.5"
    # The instance is unchanged and usable.
    assert small.state_batch(301, 399, ets[:2]).shape == (2, 6)


def cheb_record(radius):
    return [50.0, radius, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]


def discrete(epochs, states, size_value):
    data = [v for s in states for v in s] + list(epochs)
    data += [epochs[k - 1] for k in range(100, len(epochs), 100)]
    return data + [float(size_value), float(len(epochs))]


SEGMENT_ERRORS = [
    ("Type 2 RADIUS 0", 2, cheb_type2(0.0, 100.0, [cheb_record(0.0)]), 10.0,
     "malformed Type 2 segment: RADIUS == 0"),
    ("Type 2 RADIUS -0", 2, cheb_type2(0.0, 100.0, [cheb_record(-0.0)]), 10.0,
     "malformed Type 2 segment: RADIUS == 0"),
    ("Type 3 RADIUS 0", 3, cheb_type2(0.0, 100.0, [[50.0, 0.0] + [1.0] * 12]), 10.0,
     "malformed Type 2 segment: RADIUS == 0"),
    # Refused when the file is opened: the segment's length must be
    # N x RSIZE + 4, and a Type 9 degree at most 27.
    ("record past the file", 2, cheb_type2(0.0, 1.0, [cheb_record(50.0)])[:-1] + [1000.0], 99.5,
     "malformed Type 2 segment: segment holds 15 words, but N x RSIZE + 4 = 1000 x 11 + 4"),
    ("Type 9 window 0", 9, discrete([0.0, 100.0], [[1.0] * 6] * 2, 1e30), 10.0,
     "malformed Type 9 segment: degree 18446744073709551615 is above 27, the largest the SPICE toolkit reads"),
    ("Type 9 equal epochs", 9, discrete([0.0, 50.0, 50.0, 100.0], [[1.0] * 6] * 4, 3), 10.0,
     "malformed Type 2 segment: equal epochs in window"),
    ("Type 13 equal epochs", 13, discrete([0.0, 50.0, 50.0, 100.0], [[1.0] * 6] * 4, 3), 10.0,
     "malformed Type 2 segment: equal epochs in window"),
    ("Type 5", 5, [0.0] * 4, 10.0, "unsupported SPK data type 5"),
]


@pytest.mark.parametrize("what, data_type, data, et, message", SEGMENT_ERRORS, ids=[e[0] for e in SEGMENT_ERRORS])
def test_segment_errors_raise_runtime_error(write_kernel, what, data_type, data, et, message):
    path = write_kernel(build_spk([spk_segment(301, 399, data_type, 0.0, 100.0, data)]))
    if what in ("record past the file", "Type 9 window 0"):
        with pytest.raises(RuntimeError) as info:
            NaifSpk(path)
        assert str(info.value) == message
        return
    spk = NaifSpk(path)
    for call in (lambda: spk.state(301, 399, et), lambda: spk.state(399, 301, et),
                 lambda: spk.state_batch(301, 399, np.array([et])),
                 lambda: spk.state_batch_in_frame(301, 399, np.array([et]), "ECLIPJ2000")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message


def test_method_docstrings_and_order():
    assert NaifSpk.state.__text_signature__ == "($self, target, center, et)"
    assert NaifSpk.state_batch.__text_signature__ == "($self, target, center, ets)"
    assert NaifSpk.state_batch_in_frame.__text_signature__ == "($self, target, center, ets, frame)"
    assert NaifSpk.state_batch_in_frame.__doc__ == (
        "Batched state lookup with an explicit NAIF output frame. Accepts\n"
        "\"J2000\" or \"ECLIPJ2000\" (case-sensitive to match CSPICE).")
    assert NaifSpk.state.__doc__ is None and NaifSpk.state_batch.__doc__ is None
    names = [n for n in vars(NaifSpk) if not n.startswith("__")]
    assert names == ["state", "state_batch", "state_batch_in_frame", "segments"]


BINDING = [
    (lambda s: s.state(), "NaifSpk.state() missing 3 required positional arguments: 'target', 'center', and 'et'"),
    (lambda s: s.state(1, 2, 3.0, 4), "NaifSpk.state() takes 3 positional arguments but 4 were given"),
    (lambda s: s.state(1, 2, ets=3.0), "NaifSpk.state() got an unexpected keyword argument 'ets'"),
    (lambda s: s.state(1, 2, 3.0, et=3.0), "NaifSpk.state() got multiple values for argument 'et'"),
    (lambda s: s.state_batch(1), "NaifSpk.state_batch() missing 2 required positional arguments: 'center' and 'ets'"),
    (lambda s: s.state_batch_in_frame(1, 2, np.zeros(1)),
     "NaifSpk.state_batch_in_frame() missing 1 required positional argument: 'frame'"),
    (lambda s: s.state_batch_in_frame(1, 2, np.zeros(1), b"J2000"),
     "argument 'frame': 'bytes' object cannot be converted to 'PyString'"),
    (lambda s: s.segments(1), "NaifSpk.segments() takes 0 positional arguments but 1 was given"),
    (lambda s: s.segments(1, 2), "NaifSpk.segments() takes 0 positional arguments but 2 were given"),
    (lambda s: s.segments(target=1), "NaifSpk.segments() got an unexpected keyword argument 'target'"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_messages(small, call, message):
    with pytest.raises(TypeError) as info:
        call(small)
    assert str(info.value) == message


def test_keyword_arguments(small):
    ets = np.array([5.0, 6.0])
    np.testing.assert_array_equal(small.state_batch_in_frame(frame="J2000", ets=ets, center=399, target=301),
                                  small.state_batch(301, 399, ets))


def test_command_line_state(de421_path, capsys):
    from kernwerk.__main__ import main

    assert main(["state", de421_path, "301", "399", "0", "820540800", "--frame", "ECLIPJ2000"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and lines[0].split()[:4] == ["date", "(UTC)", "ET", "(s)"]
    want = NaifSpk(de421_path).state_batch_in_frame(301, 399, np.array([0.0, 820540800.0]), "ECLIPJ2000")
    for line, row in zip(lines[1:], want):
        np.testing.assert_allclose([float(v) for v in line.split()[2:]], row, rtol=0, atol=1e-6)
    assert main(["state", de421_path, "301", "399", "1e12"]) == 1
    assert capsys.readouterr().err.startswith("kernwerk: state of target 301 wrt center 399 in J2000 at et "
                                              "1000000000000: no segment covers body 301")


# (epochs, the epoch a batch reports, None: no failure) over 20 segments of
# body 1000 of 20 s each: epochs out of order that many segments serve are
# evaluated in time order and put back in place.
_ETS = np.random.default_rng(11).uniform(0.0, 400.0, 3000)
ORDER_CASES = [
    (np.sort(_ETS), None),
    (_ETS, None),
    (_ETS[::-1].copy(), None),
    (_ETS[:1100] / 20.0, None),  # unsorted, one segment
    (np.random.default_rng(12).permutation(np.concatenate([_ETS[:2000], 20.0 * np.arange(21)] * 2)), None),
    (np.concatenate([_ETS[:1500], [400.5], _ETS[1500:2500], [-1.0]]), "400.5"),
    (np.concatenate([_ETS[:1500], [-1.0], _ETS[1500:2500], [400.5]]), "-1"),
]


@pytest.mark.parametrize("ets, fails", ORDER_CASES)
def test_batches_of_epochs_in_any_order(write_kernel, ets, fails):
    segs = [spk_segment(1000, 0, 2, 20 * v, 20 * v + 20, cheb_type2(20 * v, 20, [[20 * v + 10, 10, float(v), 0, 0]]),
                        b"V", 1) for v in range(20)]
    spk = NaifSpk(write_kernel(build_spk(segs + [spk_segment(1001, 1000, 2, 0, 400, cheb_type2(
        0, 400, [[200, 200, 1.0, 0, 0]]), b"C", 1)])))
    for t, c in ((1001, 0), (1000, 0), (0, 1001)):
        if fails is not None:
            with pytest.raises(RuntimeError, match=f"at et {fails}"):
                spk.state_batch(t, c, ets)
            continue
        assert np.array_equal(spk.state_batch(t, c, ets), np.array([spk.state(t, c, float(e)) for e in ets]))
