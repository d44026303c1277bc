"""Writes the small seed corpora of the fuzz targets into fuzz/corpus/.

    python fuzz/make_seeds.py

Every seed is built here from made-up numbers (no kernel data is copied):
SPK files of each type NaifSpk reads (2, 3, 9, 13), one of a type no reader
knows, files of the types kernel sets read besides (1, 5, 8, 12, 14, 15, 17,
18 and 19 in every subtype, 20, 21),
ECLIPJ2000 segments and a chain of summary records; binary PCK Type 2 files
(little- and big-endian, with the old identification word) and Types 3 and 20;
text kernels with body bindings, a leapseconds block and frame assignments;
C-kernels of Types 1 to 6 (little- and big-endian);
and byte strings for the writer target, which reads its input as choices.
"""

from __future__ import annotations

import math
import pathlib
import random
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from dafbuild import (DafImage, Segment, build_daf, build_spk, cheb_type2, ck4_data, difference_line,  # noqa: E402
                      mda_data, packet_block, spk_segment, to_big_endian, to_old_word, type19_data)


def epochs_tail(*ets):
    """Four query epochs appended to a seed (the targets read the last 32 bytes)."""
    return struct.pack("<4d", *(list(ets) + [0.0] * 4)[:4])


def cheb_records(n, ncoef, components, init, intlen, rng):
    recs = []
    for k in range(n):
        mid = init + (k + 0.5) * intlen
        recs.append([mid, intlen / 2] + [rng.uniform(-1e5, 1e5) / (j + 1) ** 2
                                         for _ in range(components) for j in range(ncoef)])
    return recs


def discrete(n, size_value, rng, step=60.0):
    states = [rng.uniform(-1e6, 1e6) for _ in range(6 * n)]
    epochs = [step * j + rng.uniform(0, step / 4) for j in range(n)]
    directory = [epochs[100 * k - 1] for k in range(1, (n - 1) // 100 + 1)]
    return states + epochs + directory + [float(size_value), float(n)], epochs


def spk_seeds(rng):
    seeds = {}
    recs2 = cheb_records(3, 5, 3, 0.0, 86400.0, rng)
    seeds["type2"] = build_spk([spk_segment(301, 3, 2, 0.0, 3 * 86400.0, cheb_type2(0.0, 86400.0, recs2), b"T2")])
    recs3 = cheb_records(2, 4, 6, -3600.0, 3600.0, rng)
    data3 = [v for r in recs3 for v in r] + [-3600.0, 3600.0, float(len(recs3[0])), 2.0]
    seeds["type3_ecliptic"] = build_spk([spk_segment(-82, 399, 3, -3600.0, 3600.0, data3, b"T3", frame=17)])
    data9, ep9 = discrete(130, 7, rng)
    data13, ep13 = discrete(20, 3, rng)
    seeds["type9_type13"] = build_spk([
        spk_segment(399, 3, 9, ep9[0], ep9[-1], data9, b"T9"),
        spk_segment(3, 0, 13, ep13[0], ep13[-1], data13, b"T13"),
        spk_segment(10, 0, 5, -1.0, 1.0, [1.0, 2.0, 3.0], b"TYPE 5"),
    ])
    # A chain 301 -> 3 -> 0 and 399 -> 3, two summary records.
    im = DafImage(2, 6, 2, 4, 5)
    addr = 5 * 128 + 1
    chain = [(301, 3, 2, recs2), (3, 0, 2, cheb_records(2, 3, 3, 0.0, 2e5, rng)),
             (399, 3, 2, cheb_records(1, 2, 3, 0.0, 4e5, rng))]
    for i, (t, c, ty, recs) in enumerate(chain):
        rec = 2 if i < 2 else 4
        slot = i if i < 2 else 0
        data = cheb_type2(recs[0][0] - recs[0][1], 2 * recs[0][1], recs)
        off = DafImage.record_offset(rec) + 24 + 40 * slot
        lo = recs[0][0] - recs[0][1]
        im.put(off, "<dd6i", lo, lo + 2 * recs[0][1] * len(recs), t, c, 1, ty, addr, addr + len(data) - 1)
        im.put_bytes(DafImage.record_offset(rec + 1) + 40 * slot, b"SEG%d" % i + b" " * 36)
        im.put_words(addr, data)
        addr += len(data)
    im.put(DafImage.record_offset(2), "<ddd", 4.0, 0.0, 2.0)
    im.put(DafImage.record_offset(4), "<ddd", 0.0, 2.0, 1.0)
    seeds["chained"] = im.bytes()
    return {k: v + epochs_tail(1e3, -1e9, 4e5, math.nan) for k, v in seeds.items()}


def circle(t, radius=7000.0, period=5400.0):
    """A state on a circular orbit at t: position, velocity, acceleration."""
    w = 2 * math.pi / period
    c, s = math.cos(w * t), math.sin(w * t)
    return ([radius * c, radius * s, 0.0], [-radius * w * s, radius * w * c, 0.0],
            [-radius * w * w * c, -radius * w * w * s, 0.0])


def more_type_seeds():
    """Valid segments of the types kernel sets read besides 2, 3, 9 and 13,
    grouped by family; an own random source keeps the other seeds as they
    were."""
    rng = random.Random(1521)
    gm = 398600.0
    seeds = {}

    def line(tl, maxdim, kq):
        p, v, a = circle(tl)
        dt = [[a[i] / 2] + [rng.uniform(-1e-9, 1e-9) for _ in range(maxdim - 1)] for i in range(3)]
        return difference_line(tl, [60.0 * (j + 1) for j in range(maxdim)], p, v, dt, kq + 1, (kq, kq, kq - 1))

    seeds["type1_type21"] = build_spk([
        spk_segment(-101, 399, 1, 0.0, 180.0, mda_data([line(60.0 * (k + 1), 15, 4) for k in range(3)],
                                                       [60.0, 120.0, 180.0]), b"T1"),
        spk_segment(-121, 399, 21, 0.0, 120.0, mda_data([line(60.0, 5, 3), line(120.0, 5, 5)], [60.0, 120.0], 5),
                    b"T21"),
    ])

    ts = [0.0, 400.0, 900.0, 1300.0]
    states = [sum(circle(t)[:2], []) for t in ts]
    flat = [v for st in states for v in st]
    records15 = [100.0, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 7200.0, 0.1, 0.0, 0.1, 0.0, 1.0, gm, 1.08e-3, 6378.0]
    records17 = [100.0, 7000.0, 0.01, 0.02, 0.3, 0.1, 0.05, 1e-7, 1.1e-3, -1e-7, 0.2, 1.3]
    seeds["type5_type15_type17"] = build_spk([
        spk_segment(-105, 399, 5, -1e3, 2e3, flat + ts + [gm, 4.0], b"T5"),
        spk_segment(-115, 399, 15, -1e4, 1e4, records15, b"T15"),
        spk_segment(-117, 399, 17, -1e4, 1e4, records17, b"T17"),
    ])

    grid = [sum(circle(60.0 * k)[:2], []) for k in range(9)]
    grid_flat = [v for st in grid for v in st]
    seeds["type8_type12"] = build_spk([
        spk_segment(-108, 399, 8, 0.0, 480.0, grid_flat + [0.0, 60.0, 4.0, 9.0], b"T8"),
        spk_segment(-112, 399, 12, 0.0, 480.0, grid_flat + [0.0, 60.0, 2.0, 9.0], b"T12"),
    ])

    nc = 3
    packets14 = []
    for k in range(2):
        packets14 += [500.0 + 1000.0 * k, 500.0] + [rng.uniform(-10.0, 10.0) / (j + 1) for j in range(6 * nc)]
    body = [float(nc)] + packets14 + [0.0, 1000.0]
    # CONBAS NCON RDRBAS NRDR RDRTYP REFBAS NREF PDRBAS NPDR PDRTYP PKTBAS NPKT RSVBAS NRSV PKTSZ PKTOFF NMETA
    meta = [0, 1, len(body), 0, 3, len(body) - 2, 2, 0, 0, 0, 1, 2, 0, 0, 2 + 6 * nc, 0, 17]
    coeffs20 = []
    for k in range(3):
        for axis in range(3):
            coeffs20 += [rng.uniform(-1e-3, 1e-3) for _ in range(4)] + [rng.uniform(-1.0, 1.0)]
    seeds["type14_type20"] = build_spk([
        spk_segment(-114, 399, 14, 0.0, 2000.0, body + [float(m) for m in meta], b"T14"),
        spk_segment(-120, 10, 20, 0.0, 3 * 86400.0,
                    coeffs20 + [1.5e8, 86400.0, 2451545.0, 0.0, 1.0, 15.0, 3.0], b"T20"),
    ])

    ts18 = [0.0, 100.0, 250.0, 330.0, 500.0, 640.0]
    hermite = [sum(circle(t), []) for t in ts18]
    hermite = [p[:6] + p[3:] for p in hermite]  # position, velocity, velocity, acceleration
    lagrange = [sum(circle(t)[:2], []) for t in ts18]
    blocks = [packet_block(0, 4, hermite[:4], ts18[:4]), packet_block(1, 2, lagrange[2:5], ts18[2:5]),
              packet_block(2, 4, lagrange[3:], ts18[3:])]
    seeds["type18_type19"] = build_spk([
        spk_segment(-118, 399, 18, 0.0, 640.0, packet_block(0, 4, hermite, ts18), b"T18 HERMITE"),
        spk_segment(-119, 399, 18, 0.0, 640.0, packet_block(1, 6, lagrange, ts18), b"T18 LAGRANGE"),
        spk_segment(-129, 399, 19, 0.0, 640.0, type19_data(blocks, [0.0, 250.0, 500.0, 640.0], True), b"T19"),
    ])
    return {k: v + epochs_tail(250.0, -1e9, 86400.0, math.nan) for k, v in seeds.items()}


def pck_seeds(rng):
    seeds = {}
    for name, (n, ncoef, ref) in {"itrf93_j2000": (3, 4, 1), "itrf93_ecliptic": (2, 1, 17)}.items():
        recs = cheb_records(n, ncoef, 3, 0.0, 86400.0, rng)
        data = [v for r in recs for v in r] + [0.0, 86400.0, float(len(recs[0])), float(n)]
        seg = Segment([0.0, n * 86400.0], [3000, ref, 2, 0, 0], data, b"EARTH")
        seeds[name] = build_daf([seg, Segment([0.0, 1.0], [3001, 1, 3, 0, 0], [1.0], b"TYPE 3")], nd=2, ni=5,
                                idword=b"DAF/PCK ") + epochs_tail(4e4, 2e5, -1.0, 0.0)
    # Read under the toolkit's rules: the same file big-endian and with the
    # old identification word, and Types 3 and 20 (no random numbers, so
    # that the seeds after these stay as they were).
    nc = 2
    packets = [v for k in range(2) for v in [(k + 0.5) * 86400.0, 43200.0] + [0.1 * (j + 1) for j in range(6 * nc)]]
    body = [float(nc)] + packets + [0.0, 86400.0]
    meta = [0, 1, len(body), 0, 3, len(body) - 2, 2, 0, 0, 0, 1, 2, 0, 0, 2 + 6 * nc, 0, 17]
    rates = [1e-9, 2e-10, 0.3, 2e-9, -1e-10, 1.1, 7.29e-5, 1e-8, 4.0]
    type20 = rates + rates + [1.0, 1.0, 2451545.0, 0.0, 1.0, 9.0, 2.0]
    plain = build_daf([Segment([0.0, 172800.0], [3000, 1, 3, 0, 0], body + [float(m) for m in meta], b"TYPE 3"),
                       Segment([172800.0, 345600.0], [3000, 17, 20, 0, 0], type20, b"TYPE 20")],
                      nd=2, ni=5, idword=b"DAF/PCK ")
    tail = epochs_tail(4e4, 2e5, 3e5, 1e6)
    seeds["types_3_and_20"] = plain + tail
    seeds["types_3_and_20_big_endian"] = to_big_endian(plain) + tail
    seeds["types_3_and_20_old_word"] = to_old_word(plain) + tail
    return seeds


TEXT_SEEDS = {
    "bodies.tk": """KPL/FK

    Made-up body bindings.

    \\begindata
    NAIF_BODY_NAME += ( 'MY PROBE', 'Other ''quoted'' name' )
    NAIF_BODY_CODE += ( -1234, 2000001 )
    OBJECT_EARTH_FRAME = 'ITRF93'
    SOME_OTHER_NAME = ( 1.5D3, -2.E-4, @2020-FEB-29, 'x', bare )
    \\begintext
    Text after the data.
    """,
    "leapseconds.tls": """KPL/LSK

    \\begindata
    DELTET/DELTA_T_A = 32.184
    DELTET/K         = 1.657D-3
    DELTET/EB        = 1.671D-2
    DELTET/M         = ( 6.239996D0 1.99096871D-7 )
    DELTET/DELTA_AT  = ( 10, @1972-JAN-1
                         11, @1972-JUL-1
                         37, @2017-JAN-1 )
    \\begintext
    """,
    "crlf_unicode.tk": "\ufeffKPL\r\n\\BeginData\r\nNAIF_BODY_NAME = 'Caf\u00e9 \u00df'\r\nNAIF_BODY_CODE = 7\r\n",
}


# Date texts of every accepted form, for the time parser (its input is a
# selector byte and eight bytes of an ET before the text).
TIME_SEEDS = {
    "iso": (0x03, 8.0e8, "2026-12-07T12:30:00.125"),
    "iso_doy_z": (0x49, -1.0e9, "2026-341T12:30:00Z"),
    "leap_second": (0x0C, 5.367e8, "2016-12-31T23:59:60.5 UTC"),
    "month_name": (0x06, 0.0, "7 Dec 2026 12:30 TDB"),
    "month_first": (0x11, 3.2e10, "Dec 7, 2026 TAI"),
    "julian": (0x8A, -3.1e11, "JD 2461381.5 TDT"),
    "number": (0x20, 2.5e11, "-1.5e3"),
    "year_one": (0x05, -6.3e10, "0001-01-01T00:00:00 TT"),
}

# Leapseconds kernels for their target: the published form (made-up steps),
# a negative and a two-second step, and terms at the edges of what the model
# accepts; epochs to convert in the last 32 bytes.
LEAPSECONDS_SEEDS = {
    "published_form.tls": TEXT_SEEDS["leapseconds.tls"],
    "odd_steps.tls": TEXT_SEEDS["leapseconds.tls"].replace("11, @1972-JUL-1", "9, @1972-JUL-1\n    11, @1973-JAN-1"),
    "edge_terms.tls": TEXT_SEEDS["leapseconds.tls"].replace("1.657D-3", "1.0D0").replace("1.671D-2", "0.99")
                                                   .replace("1.99096871D-7", "1.0D-5"),
}

# fuzz_windows: bounds and reference of the search (left, right, value,
# rate), then [start, stop] rows dealt in pairs to two lists.
WINDOWS_SEEDS = {
    "touching": [0.0, 10.0, 0.5, 0.01, 1, 3, 3, 5, 2, 2, 4, 8, 6, 6, 7, 9],
    "instants": [-1.0, 2.0, -0.2, 0.3, 5, 5, 5, 5, 0, 100, 50, 60],
    "wide": [1e6, 2e6, 0.99, 1e-4, 0, 8.64e4, 1e5, 2e5, 3e5, 3.1e5, 4e4, 5e4],
}


def ck_seeds():
    """C-kernels of Types 1, 2, 3 and 4 (with and without angular velocity), 5
    and 6 (each subtype), little- and big-endian, with four requests appended."""
    rng = random.Random(22)
    n = 5
    times = [100.0 + 10 * k for k in range(n)]

    def quat():
        q = [rng.uniform(-1, 1) for _ in range(4)]
        norm = math.sqrt(sum(x * x for x in q))
        return [x / norm for x in q]

    def seg(data_type, av, data, start=times[0], end=times[-1]):
        return Segment([start, end], [-9001, 1, data_type, int(av), 0, 0], data, b"CK SEED")

    seeds = {}
    for av in (0, 1):
        recs = [x for _ in range(n) for x in quat() + ([rng.uniform(-1e-3, 1e-3) for _ in range(3)] if av else [])]
        seeds[f"type1_av{av}"] = [seg(1, av, recs + times + [float(n)])]
        seeds[f"type3_av{av}"] = [seg(3, av, recs + times + [times[0], times[3]] + [2.0, float(n)])]
    rec2 = [x for _ in range(n) for x in quat() + [1e-3, -2e-3, 5e-4, 0.5]]
    seeds["type2"] = [seg(2, 1, rec2 + times + [t + 6 for t in times], end=times[-1] + 6)]
    for sub, size in ((0, 8), (1, 4), (2, 14), (3, 7)):
        pk = [x for _ in range(n) for x in quat() + [rng.uniform(-1e-3, 1e-3) for _ in range(size - 4)]]
        seeds[f"type5_sub{sub}"] = [seg(5, 1, pk + times + [times[0]] + [0.01, float(sub), 4.0, 1.0, float(n)])]
        # Type 6: two mini-segments (packets at times 0..2 and 1..4) split at
        # 115, then bounds, pointers, the boundary flag and the count.
        minis = [pk[:3 * size] + times[:3] + [0.01, float(sub), 2.0, 3.0],
                 pk[size:] + times[1:] + [0.01, float(sub), 4.0, float(n - 1)]]
        body = minis[0] + minis[1] + [times[0], 115.0, times[-1]]
        ptrs = [1.0, len(minis[0]) + 1.0, len(minis[0]) + len(minis[1]) + 1.0]
        seeds[f"type6_sub{sub}"] = [seg(6, 1, body + ptrs + [float(sub % 2), 2.0])]
    # Type 4: three packets with a gap (series of 1 to 3 coefficients), by
    # each reference type, and packets of one size placed without a directory.
    for av in (0, 1):
        packets = [(105.0 + 10 * k, 5.0 - (k == 1), [[c] + [rng.uniform(-0.1, 0.1) for _ in range(k % 3)] for c in quat()] +
                    ([[rng.uniform(-1e-3, 1e-3)] * (1 + k % 2) for _ in range(3)] if av else [[], [], []]))
                   for k in range(3)]
        for ref in (2, 3, 4):
            seeds[f"type4_av{av}_ref{ref}"] = [seg(4, av, ck4_data(packets, reference=ref), end=times[3])]
    fixed = [(105.0 + 10 * k, 5.0, [[c, 0.01] for c in quat()] + [[1e-3], [2e-3], [-1e-3]]) for k in range(3)]
    seeds["type4_fixed"] = [seg(4, 1, ck4_data(fixed, fixed=True), end=times[3])]
    out = {}
    for name, segments in seeds.items():
        data = build_daf(segments, 2, 6, idword=b"DAF/CK  ")
        tail = epochs_tail(times[1], times[1] + 3, 1e300, -5.0)
        out[name + ".bc"] = data + tail
        out[name + "_big.bc"] = to_big_endian(data) + tail
    return out


def main():
    rng = random.Random(20261207)
    out = HERE / "corpus"
    spk = spk_seeds(rng)
    spk.update(more_type_seeds())
    for sub, seeds in (("spk", spk), ("pck", pck_seeds(rng)), ("ck", ck_seeds())):
        (out / sub).mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (out / sub / name).write_bytes(data)
    (out / "text_kernel").mkdir(parents=True, exist_ok=True)
    for name, text in TEXT_SEEDS.items():
        (out / "text_kernel" / name).write_bytes(text.encode("utf-8"))
    (out / "time_parse").mkdir(parents=True, exist_ok=True)
    for name, (selector, et, text) in TIME_SEEDS.items():
        (out / "time_parse" / name).write_bytes(bytes([selector]) + struct.pack("<d", et) + text.encode("ascii"))
    (out / "leapseconds").mkdir(parents=True, exist_ok=True)
    for name, text in LEAPSECONDS_SEEDS.items():
        (out / "leapseconds" / name).write_bytes(text.encode("utf-8") + epochs_tail(0.0, 5.367e8, -3.2e10, 2.5e11))
    (out / "writer").mkdir(parents=True, exist_ok=True)
    for k in range(6):
        (out / "writer" / f"choices{k}").write_bytes(bytes(rng.randrange(256) for _ in range(64 + 96 * k)))
    (out / "windows").mkdir(parents=True, exist_ok=True)
    for name, values in WINDOWS_SEEDS.items():
        (out / "windows" / name).write_bytes(struct.pack(f"<{len(values)}d", *values))


if __name__ == "__main__":
    main()
