"""SPK files of every type for the tests and benchmarks, each with realistic
contents: the toolkit's writers (through spiceypy) for the types they write,
word-by-word layouts (dafbuild) for Types 1, 19 and 21.

Each builder takes a directory and returns (path, target, center, epochs):
random epochs in the coverage, every record or interval boundary (for
Types 9 and 13 every midpoint between states, where an odd window moves on)
and the coverage ends. CASES names them all.
"""

import math

import numpy as np
import spiceypy as sp

from dafbuild import build_spk, difference_line, mda_data, packet_block, spk_segment, type19_data

GM_SUN = 1.32712440041279419e11
GM_EARTH = 398600.435436
AU = 149597870.7
DAY = 86400.0
RNG_SEED = 20240615


def conic(elts, et):
    """State on a conic: [rp, ecc, inc, node, argp, m0, t0, gm]."""
    return np.array(sp.conics(list(elts), et))


def gravity(gm, state):
    r = state[:3]
    return -gm * r / np.linalg.norm(r) ** 3


ASTEROID = [2.1 * AU, 0.19, 0.21, 1.3, 0.8, 0.4, 0.0, GM_SUN]
MARS_LIKE = [1.38 * AU, 0.093, 0.032, 0.86, 5.0, 0.3, 0.0, GM_SUN]
SPACECRAFT = [6900.0, 0.012, 0.9, 0.5, 1.1, 0.0, 0.0, GM_EARTH]
HIGH_ORBIT = [9000.0, 0.35, 1.2, 2.0, 0.3, 1.0, 0.0, GM_EARTH]


def spice_file(path, write):
    handle = sp.spkopn(str(path), "kernwerk test", 0)
    try:
        write(handle)
    finally:
        sp.spkcls(handle)
    return str(path)


def epochs_for(lo, hi, marks, count=25):
    """Random epochs in [lo, hi], the marks (boundaries) and the ends."""
    rng = np.random.default_rng(RNG_SEED)
    inner = [m for m in marks if lo <= m <= hi]
    return np.array(sorted(set([lo, hi] + inner + list(rng.uniform(lo, hi, count)))))


# ---------------------------------------------------------------------------
# Builders: each returns (path, target, center, epochs).

def mda_file(tmp_path, maxdim, orders, nrec):
    """Heliocentric asteroid as difference lines: the acceleration at the
    record's nodes in modified divided differences, nodes TL - G(i)."""
    rng = np.random.default_rng(RNG_SEED)
    ends = 1.0e8 + np.cumsum(rng.uniform(5.0, 12.0, nrec)) * DAY
    m = max(orders)
    records = []
    for k, tl in enumerate(ends):
        h = tl - (ends[k - 1] if k else tl - 8.0 * DAY)
        g = [h * i / (m - 1) for i in range(1, maxdim + 1)]
        nodes = [0.0] + [-gi for gi in g[:m - 1]]
        acc = np.array([gravity(GM_SUN, conic(ASTEROID, tl + s)) for s in nodes])
        dd, dts = acc.copy(), [[0.0] * maxdim for _ in range(3)]
        for j in range(m):  # dd[0] = f[s_0..s_j]
            scale = np.prod(g[:j]) if j else 1.0
            for a in range(3):
                dts[a][j] = dd[0][a] * scale
            dd = np.array([(dd[i + 1] - dd[i]) / (nodes[i + j + 1] - nodes[i]) for i in range(len(dd) - 1)])
        st = conic(ASTEROID, tl)
        records.append(difference_line(tl, g, st[:3], st[3:], dts, m + 1, orders))
    data = mda_data(records, list(ends), None if maxdim == 15 else maxdim)
    start = ends[0] - 8.0 * DAY
    seg = spk_segment(2000433, 10, 1 if maxdim == 15 else 21, start, ends[-1], data)
    path = tmp_path / f"mda{maxdim}.bsp"
    path.write_bytes(build_spk([seg], ftp=True))
    return str(path), 2000433, 10, epochs_for(start, ends[-1], list(ends))


def type5_file(tmp_path):
    rng = np.random.default_rng(RNG_SEED)
    epochs = np.cumsum(rng.uniform(1800.0, 5400.0, 40))
    elts = list(SPACECRAFT)
    states = []
    for t in epochs:  # the node drifts, so neighbouring conics differ
        elts[3] = SPACECRAFT[3] - 1.0e-6 * t
        states.append(conic(elts, t))
    path = spice_file(tmp_path / "t5.bsp", lambda h: sp.spkw05(  # states in ECLIPJ2000
        h, -77, 399, "ECLIPJ2000", epochs[0], epochs[-1], "T5", GM_EARTH, len(epochs), states, epochs))
    return path, -77, 399, epochs_for(epochs[0], epochs[-1], list(epochs))


def conic_file(tmp_path, ecc):
    """Type 5 with one state, propagated alone over many periods (or far
    out on an open orbit) each way: two-body motion on any conic."""
    state = conic([7000.0, ecc, 0.4, 1.1, 2.3, 0.3, 0.0, GM_EARTH], 0.0)
    path = spice_file(tmp_path / f"c5_{ecc}.bsp", lambda h: sp.spkw05(
        h, -90, 399, "J2000", -3.0e5, 3.0e5, "CONIC", GM_EARTH, 1, [state], [0.0]))
    return path, -90, 399, epochs_for(-3.0e5, 3.0e5, [-1.0, 0.0, 1.0], 60)


def equal_step_file(tmp_path, kind, degree):
    step, n, t0 = 240.0, 60, 5.0e5
    states = [conic(SPACECRAFT, t0 + i * step) for i in range(n)]
    first, last = t0, t0 + (n - 1) * step
    writer = sp.spkw08 if kind == 8 else sp.spkw12
    path = spice_file(tmp_path / f"t{kind}_{degree}.bsp", lambda h: writer(
        h, -78, 399, "J2000", first, last, "EQ", degree, n, states, t0, step))
    marks = [t0 + i * step for i in range(n)] + [t0 + (i + 0.5) * step for i in range(n - 1)]
    return path, -78, 399, epochs_for(first, last, marks)


def cheb_fit(f, lo, hi, degree):
    xs = np.cos(np.pi * (np.arange(degree + 1) + 0.5) / (degree + 1))
    mid, rad = (lo + hi) / 2, (hi - lo) / 2
    vals = np.array([f(mid + x * rad) for x in xs])
    return mid, rad, [np.polynomial.chebyshev.chebfit(xs, vals[:, c], degree) for c in range(vals.shape[1])]


def discrete_file(tmp_path, kind, window):
    """Types 9 and 13 at steps coarse enough that a window one state off
    moves the state far past the tolerance; epochs on a grid of 2 s, so that
    midpoints between states are exact."""
    rng = np.random.default_rng(RNG_SEED + window)
    ts = 6.0e5 + 2.0 * np.cumsum(rng.integers(150, 450, 40))
    writer, degree = (sp.spkw09, window - 1) if kind == 9 else (sp.spkw13, 2 * window - 1)
    path = spice_file(tmp_path / f"d{kind}_{window}.bsp", lambda h: writer(
        h, -83, 399, "J2000", ts[0], ts[-1], "DISCRETE", degree, len(ts), [conic(SPACECRAFT, t) for t in ts], ts))
    mids = (ts[1:] + ts[:-1]) / 2
    marks = list(ts) + list(mids) + list(np.nextafter(mids, -np.inf)) + list(np.nextafter(mids, np.inf))
    return path, -83, 399, epochs_for(ts[0], ts[-1], marks)


def type14_file(tmp_path):
    degree = 11
    rng = np.random.default_rng(RNG_SEED)
    starts = 2.0e8 + np.concatenate([[0.0], np.cumsum(rng.uniform(8.0, 20.0, 30))]) * DAY
    coeffs = []
    for lo, hi in zip(starts[:-1], starts[1:]):
        mid, rad, cs = cheb_fit(lambda t: conic(MARS_LIKE, t), lo, hi, degree)
        coeffs += [mid, rad] + [v for c in cs for v in c]

    def write(h):
        sp.spk14b(h, "T14", 499, 10, "J2000", starts[0], starts[-1], degree)
        sp.spk14a(h, len(starts) - 1, coeffs, list(starts[:-1]))
        sp.spk14e(h)
    return spice_file(tmp_path / "t14.bsp", write), 499, 10, epochs_for(starts[0], starts[-1], list(starts))


def type14_reference_file(tmp_path, rdrtyp):
    """Type 14 word by word with reference type 2 (last reference before
    et) or 4 (nearest reference, at the records' middles); records of
    made-up coefficients that do not join, so that a record chosen other
    than as the toolkit chooses shows at once."""
    rng = np.random.default_rng(RNG_SEED + rdrtyp)
    nc, n = 4, 6
    starts = 1.0e5 * np.arange(n)
    packets = [v for k in range(n) for v in [starts[k] + 5.0e4, 5.0e4] + list(rng.uniform(-1e4, 1e4, 6 * nc))]
    refs = list(starts + (5.0e4 if rdrtyp == 4 else 0.0))
    body = [float(nc)] + packets + refs
    # CONBAS NCON RDRBAS NRDR RDRTYP REFBAS NREF PDRBAS NPDR PDRTYP PKTBAS NPKT RSVBAS NRSV PKTSZ PKTOFF NMETA
    meta = [0, 1, len(body), 0, rdrtyp, len(body) - n, n, 0, 0, 0, 1, n, 0, 0, 2 + 6 * nc, 0, 17]
    first = 1.0 if rdrtyp == 2 else 0.0  # the toolkit refuses epochs up to the first reference there
    last = starts[-1] + 1.0e5
    seg = spk_segment(-84, 399, 14, first, last, body + [float(m) for m in meta])
    path = tmp_path / f"t14_{rdrtyp}.bsp"
    path.write_bytes(build_spk([seg], ftp=True))
    marks = list(refs) + list(starts + 5.0e4) + list(np.nextafter(refs, np.inf))
    return str(path), -84, 399, epochs_for(first, last, marks)


def type20_file(tmp_path):
    degree, intlen, n = 13, 16.0, 40
    initjd, initfr = 2458000.0, 0.5
    t0 = (initjd - 2451545.0 + initfr) * DAY
    dscale, tscale = AU, DAY
    cdata = []
    for k in range(n):
        lo = t0 + k * intlen * DAY
        _, _, cs = cheb_fit(lambda t: conic(MARS_LIKE, t)[3:] / (dscale / tscale), lo, lo + intlen * DAY, degree)
        middle = conic(MARS_LIKE, lo + intlen * DAY / 2)[:3] / dscale
        cdata += [v for a in range(3) for v in list(cs[a]) + [middle[a]]]
    last = t0 + n * intlen * DAY
    path = spice_file(tmp_path / "t20.bsp", lambda h: sp.spkw20(
        h, 4, 10, "J2000", t0, last, "T20", intlen, n, degree, np.array(cdata), dscale, tscale, initjd, initfr))
    return path, 4, 10, epochs_for(t0, last, [t0 + k * intlen * DAY for k in range(n + 1)])


def type15_file(tmp_path, j2flag, ecc, near=7200.0):
    """`near`: the periapsis distance (km); the body's radius is 6378.137 km."""
    p = near * (1 + ecc)
    tp = np.array([0.1, -0.35, 0.93]) / np.linalg.norm([0.1, -0.35, 0.93])
    pa = np.cross(tp, [1.0, 0.0, 0.0])
    pa /= np.linalg.norm(pa)
    first, last = -4.0e4, 8.0e4
    path = spice_file(tmp_path / f"t15_{j2flag}_{ecc}_{near}.bsp", lambda h: sp.spkw15(
        h, -79, 399, "J2000", first, last, "T15", 1000.0, tp, pa, p, ecc, float(j2flag),
        [0.0, 0.02, 1.0], GM_EARTH, 1.08263e-3, 6378.137))
    return path, -79, 399, epochs_for(first, last, [1000.0])


def type17_file(tmp_path, a, e, inc):
    w, node, m0 = 0.3, 0.7, 0.2
    n = math.sqrt(GM_EARTH / a ** 3)
    dlp, dnode = 1.3e-7, -2.1e-7
    eqel = [a, e * math.sin(w + node), e * math.cos(w + node), m0 + w + node,
            math.tan(inc / 2) * math.sin(node), math.tan(inc / 2) * math.cos(node), dlp, n + dlp, dnode]
    first, last = -2.0e5, 3.0e5
    path = spice_file(tmp_path / f"t17_{a}.bsp", lambda h: sp.spkw17(
        h, -80, 399, "J2000", first, last, "T17", 1.0e4, eqel, 0.4, 1.2))
    return path, -80, 399, epochs_for(first, last, [1.0e4])


def packets(elts, subtype, ts):
    out = []
    for t in ts:
        s = conic(elts, t)
        if subtype == 0:
            out.append(list(s) + list(s[3:]) + list(gravity(elts[7], s)))
        else:
            out.append(list(s))
    return out


def type18_file(tmp_path, subtype):
    rng = np.random.default_rng(RNG_SEED)
    ts = 3.0e5 + np.cumsum(rng.uniform(120.0, 420.0, 80))
    path = spice_file(tmp_path / f"t18_{subtype}.bsp", lambda h: sp.spkw18(
        h, subtype, -81, 399, "J2000", ts[0], ts[-1], "T18", 7, packets(SPACECRAFT, subtype, ts), list(ts)))
    return path, -81, 399, epochs_for(ts[0], ts[-1], list(ts) + list((ts[1:] + ts[:-1]) / 2))


def type19_file(tmp_path, select_last):
    """Four intervals, each its own conic (a manoeuvre at every boundary),
    subtypes 0, 1, 2 and 1 again with the smallest window."""
    rng = np.random.default_rng(RNG_SEED)
    bounds = [4.0e5, 4.2e5, 4.35e5, 4.6e5, 4.8e5]
    layout = [(0, 4), (1, 8), (2, 6), (1, 2)]
    blocks, marks = [], list(bounds)
    for k, (subtype, window) in enumerate(layout):
        elts = list(HIGH_ORBIT)
        elts[0] += 15.0 * k
        ts = bounds[k] - 600.0 + np.cumsum(rng.uniform(150.0, 400.0, 200))
        ts = ts[ts <= bounds[k + 1] + 600.0]
        blocks.append(packet_block(subtype, window, packets(elts, subtype, ts), list(ts)))
        marks += list(ts) + list((ts[1:] + ts[:-1]) / 2)
    seg = spk_segment(-82, 399, 19, bounds[0], bounds[-1], type19_data(blocks, bounds, select_last))
    path = tmp_path / f"t19_{int(select_last)}.bsp"
    path.write_bytes(build_spk([seg], ftp=True))
    return str(path), -82, 399, epochs_for(bounds[0], bounds[-1], marks)


CASES = {
    "type01": lambda d: mda_file(d, 15, (12, 11, 12), 230),
    "type21": lambda d: mda_file(d, 20, (17, 16, 18), 120),
    "type05": type5_file,
    "type05_circle": lambda d: conic_file(d, 0.0),
    "type05_ellipse": lambda d: conic_file(d, 0.7),
    "type05_eccentric": lambda d: conic_file(d, 0.97),
    "type05_parabola": lambda d: conic_file(d, 1.0),
    "type05_hyperbola": lambda d: conic_file(d, 3.0),
    "type08_even": lambda d: equal_step_file(d, 8, 7),
    "type08_odd": lambda d: equal_step_file(d, 8, 6),
    "type12_even": lambda d: equal_step_file(d, 12, 7),
    "type12_odd": lambda d: equal_step_file(d, 12, 5),
    "type14": type14_file,
    "type14_before": lambda d: type14_reference_file(d, 2),
    "type14_nearest": lambda d: type14_reference_file(d, 4),
    "type15_both": lambda d: type15_file(d, 0, 0.2),
    "type15_nodes": lambda d: type15_file(d, 1, 0.2),
    "type15_apsides": lambda d: type15_file(d, 2, 0.2),
    "type15_none": lambda d: type15_file(d, 3, 0.2),
    "type15_hyperbola": lambda d: type15_file(d, 0, 1.4),
    # Periapsis inside, on and just above the surface: no precession for the
    # first two (impact and re-entry orbits), as the toolkit does.
    "type15_impact": lambda d: type15_file(d, 0, 0.2, 0.999 * 6378.137),
    "type15_surface": lambda d: type15_file(d, 0, 0.2, 6378.137),
    "type15_skimming": lambda d: type15_file(d, 0, 0.2, 1.001 * 6378.137),
    "type17_leo": lambda d: type17_file(d, 7000.0, 0.1, 0.5),
    "type17_eccentric": lambda d: type17_file(d, 26000.0, 0.7, 1.1),
    "type18_hermite": lambda d: type18_file(d, 0),
    "type18_lagrange": lambda d: type18_file(d, 1),
    "type19_first": lambda d: type19_file(d, False),
    "type19_last": lambda d: type19_file(d, True),
    "type20": type20_file,
    "type09_w3": lambda d: discrete_file(d, 9, 3),
    "type09_w4": lambda d: discrete_file(d, 9, 4),
    "type09_w9": lambda d: discrete_file(d, 9, 9),
    "type13_w3": lambda d: discrete_file(d, 13, 3),
    "type13_w4": lambda d: discrete_file(d, 13, 4),
    "type13_w5": lambda d: discrete_file(d, 13, 5),
}
