"""Binary PCK Types 3 (angles and rates, each its own Chebyshev series) and
20 (Chebyshev series of the rates, the angles their integrals) in kernel
sets, on files built byte by byte, against the toolkit (spiceypy's sxform
for J2000 -> ITRF93, body frame 3000); and the checks of their directories."""

import numpy as np
import pytest

import kernwerk
from test_pck import build_pck, pck_segment, type2

sp = pytest.importorskip("spiceypy")

J2000_JD = 2451545.0


def type3(init, intlen, nc, seed, records, rdrtyp=3, refs=None, scales=(0.01, 0.4, 3.0, 1e-9, 1e-9, 7.29e-5)):
    """A generic segment of `records` packets over records of `intlen`
    seconds from `init`: MID, RADIUS and six random series of `nc`
    coefficients (RA, DEC, W, then their rates), angles of a few radians,
    rates near the Earth's; the reference epochs are the records' starts
    unless given; then the metadata."""
    rng = np.random.default_rng(seed)
    packets = []
    scales = np.array(scales)
    for k in range(records):
        packets += [init + (k + 0.5) * intlen, intlen / 2]
        for a in range(6):
            c = rng.normal(size=nc) * scales[a] * 0.1 ** np.arange(nc)
            c[0] = scales[a] * (1.0 + 0.1 * rng.normal())
            packets.extend(c)
    refs = list(refs if refs is not None else init + intlen * np.arange(records))
    body = [float(nc)] + packets + refs
    # CONBAS NCON RDRBAS NRDR RDRTYP REFBAS NREF PDRBAS NPDR PDRTYP PKTBAS NPKT RSVBAS NRSV PKTSZ PKTOFF NMETA
    meta = [0, 1, len(body), 0, rdrtyp, len(body) - records, records, 0, 0, 0, 1, records, 0, 0, 2 + 6 * nc, 0, 17]
    return body + [float(m) for m in meta]


def type20(start_et, intlen_days, nc, seed, records, ascale=1.0, tscale=1.0):
    """Rate series (ASCALE/TSCALE units) and mid-interval angles (ASCALE),
    the first record's start as a Julian date in two parts."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(records):
        for a, (angle, rate) in enumerate([(0.01, 1e-9), (0.4, 1e-9), (3.0, 7.29e-5)]):
            c = rng.normal(size=nc) * rate * tscale / ascale * 0.1 ** np.arange(nc)
            c[0] = rate * tscale / ascale
            out.extend([*c, angle / ascale * (1.0 + 0.1 * rng.normal())])
    days = start_et / 86400.0
    initjd = J2000_JD + np.floor(days)
    return out + [ascale, tscale, initjd, days - np.floor(days), intlen_days, 3.0 * (nc + 1), float(records)]


DAY = 86400.0
FILES = {
    # ref frame 1 (J2000) or 17 (ECLIPJ2000), several records, odd and even degrees
    "type3-j2000": [pck_segment(3000, 1, 3, 0.0, 4 * DAY, type3(0.0, DAY, 7, 1, 4))],
    # the Earth's pole near +Z (DEC about 89.9 degrees), W turning once a day
    "type3-earthlike": [pck_segment(3000, 1, 3, 0.0, 2 * DAY,
                                    type3(0.0, DAY, 5, 10, 2, scales=(0.1, 89.9, 190.0, 1e-7, 1e-7, 360.9856 / DAY)))],
    "type3-eclip-one-coef": [pck_segment(3000, 17, 3, -2 * DAY, 0.0, type3(-2 * DAY, DAY, 1, 2, 2)),
                             pck_segment(3000, 17, 3, 0.0, 3 * DAY, type3(0.0, 1.5 * DAY, 2, 3, 2))],
    # references before each record's start (type 2) and at its middle (type 4, nearest)
    "type3-before": [pck_segment(3000, 1, 3, 1.0, 3 * DAY, type3(0.0, DAY, 4, 8, 3, rdrtyp=2))],
    "type3-nearest": [pck_segment(3000, 1, 3, 0.0, 3 * DAY,
                                  type3(0.0, DAY, 4, 9, 3, rdrtyp=4, refs=DAY * np.array([0.5, 1.5, 2.5])))],
    "type20-j2000": [pck_segment(3000, 1, 20, 1e7, 1e7 + 6 * DAY, type20(1e7, 1.5, 9, 4, 4))],
    "type20-scaled": [pck_segment(3000, 17, 20, -5e6, -5e6 + 4 * DAY, type20(-5e6, 2.0, 4, 5, 2, 0.5, 86400.0))],
    # Types 2, 3 and 20 one after the other
    "mixed": [pck_segment(3000, 1, 2, -DAY, 0.0, type2(-DAY, DAY, [[-DAY / 2, DAY / 2, 0.1, 0.01, 0.4, 0.02,
                                                                     1.0, 7e-5 * DAY / 2]])),
              pck_segment(3000, 1, 3, 0.0, 4 * DAY, type3(0.0, DAY, 5, 6, 4)),
              pck_segment(3000, 1, 20, 4 * DAY, 8 * DAY, type20(4 * DAY, 2.0, 6, 7, 2))],
}


@pytest.mark.parametrize("name", sorted(FILES))
def test_against_spiceypy(write_kernel, name):
    path = write_kernel(build_pck(FILES[name]))
    lo = min(s.doubles[0] for s in FILES[name])
    hi = max(s.doubles[1] for s in FILES[name])
    ets = np.linspace(lo, hi, 41)
    with kernwerk.Kernels(path) as k:
        ours = k.sxform("J2000", "ITRF93", ets)
    sp.kclear()
    try:
        sp.furnsh(path)
        theirs = np.array([sp.sxform("J2000", "ITRF93", et) for et in ets])
    finally:
        sp.kclear()
    assert np.max(np.abs(ours - theirs)) < 1e-14


def meta_changed(index, value, **kw):
    """A Type 3 segment with metadata word `index` (CONBAS 0 .. NMETA 16) set."""
    data = type3(0.0, DAY, 3, 1, 2, **kw)
    data[len(data) - 17 + index] = float(value)
    return data


@pytest.mark.parametrize("data_type, data, message", [
    (3, meta_changed(14, 21), "packet size not 2 \\+ 6 coefficient counts"),
    (3, meta_changed(11, 0), "no packets"),
    (3, meta_changed(11, 3), "reference count differs from packet count"),
    (3, meta_changed(4, 1), "reference type not 2, 3 or 4"),
    (3, meta_changed(16, 9), "NMETA outside 17..segment length"),
    (3, meta_changed(0, 1e9), "metadata value outside the segment"),
    (3, type3(0.0, DAY, 3, 1, 2, refs=[DAY, 0.0]), "epochs not in increasing order"),
    (20, type20(0.0, 1.0, 3, 1, 2)[:-1] + [3.0], "segment length does not match N records"),
    (20, type20(0.0, 1.0, 3, 1, 2)[:-2] + [7.0, 2.0], r"RSIZE not 3 \(NC \+ 1\)"),
    (20, [1.0] * 6, "segment shorter than its trailer"),
    (20, type20(0.0, 1.0, 3, 1, 2)[:-7] + [0.0, 1.0, J2000_JD, 0.0, 1.0, 12.0, 2.0], "ASCALE or TSCALE not positive"),
])
def test_malformed_directories(write_kernel, data_type, data, message):
    path = write_kernel(build_pck([pck_segment(3000, 1, data_type, 0.0, DAY, data)]))
    with pytest.raises(kernwerk.FileFormatError, match=rf"malformed PCK Type {data_type} segment: {message}"):
        kernwerk.Kernels(path)
    # NaifPck lists the segment and evaluates Type 2 alone, as documented.
    assert kernwerk.NaifPck(path).segments()[0][2] == data_type


# A frame kernel's PCK frame over each file's segments (class id 31337): the
# frame system evaluates every binary PCK type the set reads.
PCK_FRAME_KERNEL = """KPL/FK
\\begindata
FRAME_SPINNER = 1431337
FRAME_1431337_NAME = 'SPINNER'
FRAME_1431337_CLASS = 2
FRAME_1431337_CLASS_ID = 31337
FRAME_1431337_CENTER = 399
\\begintext
"""


@pytest.mark.parametrize("name", sorted(FILES))
def test_frame_kernel_pck_frames_against_spiceypy(write_kernel, name):
    segments = [pck_segment(31337, s.ints[1], s.ints[2], *s.doubles, s.data) for s in FILES[name]]
    path, fk = write_kernel(build_pck(segments)), write_kernel(PCK_FRAME_KERNEL.encode(), "spinner.tf")
    ets = np.linspace(min(s.doubles[0] for s in segments), max(s.doubles[1] for s in segments), 41)
    pairs = [("J2000", "SPINNER"), ("SPINNER", "ECLIPJ2000")]
    with kernwerk.Kernels(path, fk) as k:
        ours = [(k.pxform(a, b, ets), k.sxform(a, b, ets)) for a, b in pairs]
    sp.kclear()
    try:
        sp.furnsh(path)
        sp.furnsh(fk)
        theirs = [(np.array([sp.pxform(a, b, et) for et in ets]), np.array([sp.sxform(a, b, et) for et in ets]))
                  for a, b in pairs]
    finally:
        sp.kclear()
    for (p, x), (tp, tx) in zip(ours, theirs):
        assert np.max(np.abs(p - tp)) < 1e-14 and np.max(np.abs(x - tx)) < 1e-14
        assert np.array_equal(p, x[:, :3, :3])
