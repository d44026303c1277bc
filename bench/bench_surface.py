"""Times surface geometry against spiceypy: ray intercepts over an image grid,
sub-observer points and illumination angles over many epochs.

    python bench/bench_surface.py [--repeat 5] [--grid 1000] [--epochs 100000] [--spice-rows 5000]

Files: DE421 (skyfield-data), a text PCK with the IAU constants and radii of
Mars, and an orbiter 300 km above Mars written as SPK Type 9 for a day.
Cases:
  * sincpt: a --grid x --grid grid of rays of a camera looking at Mars's
    centre at one epoch (the limb in the frame: some rays miss), LT+S;
    spiceypy.cyice has no call vectorised over rays, so the contenders are
    cyice.sincpt and spiceypy.sincpt in a loop;
  * subpnt and ilumin over --epochs epochs of the orbit (sorted), LT+S,
    against cyice.subpnt_v (cyice.ilumin in a loop: ilumin_v allocates an
    n x n array for n points) and a spiceypy loop;
  * limbpt and termpt (umbral, by the Sun) in 36 cuts over a tenth of
    --epochs epochs, GUIDED/ELLIPSOID, CENTER locus, LT+S, against
    cyice.limbpt_v / termpt_v and a spiceypy loop (times per point);
  * occult: the orbiter (a point) behind Mars seen from the Earth over
    --epochs epochs, CN, against cyice.occult_v and a spiceypy loop.
Loops of the toolkit run over --spice-rows rows and are scaled to the batch.
Each round runs every contender once, in turn, and the best of --repeat
rounds is kept. Ratios: contender time / kernwerk time on one thread (higher:
kernwerk faster); "2 threads" is kernwerk's one-thread time over its
two-thread time. Memory: the peak allocated by kernwerk's call over the size
of its outputs (bench/harness.py peak_of).
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import time

import numpy as np

import harness
from kernwerk import Kernels, SpkWriter, conics

MARS = """KPL/PCK
\\begindata
BODY499_POLE_RA = ( 317.68143 -0.1061 0. )
BODY499_POLE_DEC = ( 52.88650 -0.0609 0. )
BODY499_PM = ( 176.630 350.89198226 0. )
BODY499_RADII = ( 3396.19 3396.19 3376.20 )
BODY10_RADII = ( 696000. 696000. 696000. )
\\begintext
"""
T0 = 1e8
ORBIT = [3696.19, 0.01, np.radians(93.0), 0.3, 0.2, 0.0, T0, 42828.37]


def chebyshev_records(elements, init: float, intlen: float, count: int, degree: int) -> np.ndarray:
    # Type 3 records fitted to the two-body orbit at Chebyshev nodes: the
    # orbiter read as fast as the planets (a Chebyshev type, as most mission
    # ephemerides of orbiters are).
    from numpy.polynomial import chebyshev as C

    nodes = np.cos(np.pi * (np.arange(degree + 1) + 0.5) / (degree + 1))
    rows = []
    for i in range(count):
        mid, radius = init + (i + 0.5) * intlen, 0.5 * intlen
        states = conics(elements, mid + radius * nodes)
        rows.append(np.concatenate([[mid, radius]] + [C.chebfit(nodes, states[:, c], degree) for c in range(6)]))
    return np.array(rows)


def interleaved_best(repeat: int, contenders: dict) -> dict:
    best = {name: math.inf for name in contenders}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def files() -> list[str]:
    import skyfield_data

    de421 = pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp"
    tmp = pathlib.Path(os.environ.get("TMPDIR", "/tmp"))
    tpc = tmp / "kernwerk_bench_surface.tpc"
    tpc.write_text(MARS)
    orbit = tmp / "kernwerk_bench_orbiter.bsp"
    w = SpkWriter()
    w.add_type3(-74, 499, chebyshev_records(ORBIT, T0, 600.0, 144, 14), init=T0, intlen=600.0)
    w.write(str(orbit))
    return [str(de421), str(tpc), str(orbit)]


def camera_rays(k: Kernels, et: float, n: int) -> np.ndarray:
    # A square field of 150 degrees centred on Mars: the disk (134 degrees
    # across from 300 km) with space around it.
    boresight = -np.asarray(k.state(-74, "MARS", et)[:3])
    boresight /= np.linalg.norm(boresight)
    right = np.cross(boresight, [0.0, 0.0, 1.0])
    right /= np.linalg.norm(right)
    up = np.cross(right, boresight)
    t = np.tan(np.radians(75.0)) * np.linspace(-1.0, 1.0, n)
    return (boresight + t[None, :, None] * right + t[:, None, None] * up).reshape(n, n, 3)


def row(name: str, n: int, best: dict, worst: float, peak: float, out_bytes: int) -> None:
    print(f"{name:8} {best['1'] / n * 1e9:11.1f} ns {best['1'] / best['2']:10.2f} "
          f"{best['cy'] / best['1']:8.1f} {best['loop'] / best['1']:10.1f} {peak / out_bytes:9.2f}"
          f"   (worst |diff| {worst:.1e})")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--grid", type=int, default=1000)
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--spice-rows", type=int, default=5000)
    args = parser.parse_args(argv)

    import spiceypy as sp
    from spiceypy import cyice

    paths = files()
    for p in paths:
        sp.furnsh(p)
    k = Kernels(*paths)
    m = args.spice_rows
    print(f"Mars orbiter at 300 km, LT+S, best of {args.repeat}; the machine is shared (figures from a loaded "
          f"machine: load average {os.getloadavg()[0]:.2f})")
    print(f"{'call':8} {'kernwerk 1 thread':>14} {'2 threads':>10} {'cyice':>8} {'sp loop':>10} {'mem/out':>9}")

    et = T0 + 3600.0
    rays = camera_rays(k, et, args.grid)
    flat = rays.reshape(-1, 3)
    some = flat[:: max(1, len(flat) // m)][:m]

    def sp_sincpt(fn):
        out = []
        for r in some:
            with sp.no_found_check():
                out.append(fn("ELLIPSOID", "MARS", et, "IAU_MARS", "LT+S", "-74", "J2000", r))
        return out

    def cy_sincpt():
        with sp.no_found_check():
            return [cyice.sincpt("ELLIPSOID", "MARS", et, "IAU_MARS", "LT+S", "-74", "J2000", r) for r in some]

    n = len(flat)
    best = interleaved_best(args.repeat, {
        "1": lambda: k.sincpt("MARS", -74, et, rays, "J2000", correction="LT+S", threads=1),
        "2": lambda: k.sincpt("MARS", -74, et, rays, "J2000", correction="LT+S", threads=2),
        "cy": cy_sincpt,
        "loop": lambda: sp_sincpt(sp.sincpt),
    })
    best["cy"] *= n / len(some)
    best["loop"] *= n / len(some)
    got = k.sincpt("MARS", -74, et, some, "J2000", correction="LT+S")
    want = sp_sincpt(sp.sincpt)
    hit = np.array([w[3] for w in want], dtype=bool)
    worst = float(np.abs(got.point[hit] - np.array([w[0] for w in want])[hit]).max())
    assert (got.found == hit).all()
    peak = harness.peak_of(lambda: k.sincpt("MARS", -74, et, rays, "J2000", correction="LT+S"))["peak"]
    row("sincpt", n, best, worst, peak, n * (3 + 1 + 3) * 8 + n)

    # A time series (sorted epochs), as ground tracks and observation plans are.
    ets = np.sort(np.random.default_rng(0).uniform(T0 + 100.0, T0 + 86000.0, args.epochs))
    few = ets[:m]
    best = interleaved_best(args.repeat, {
        "1": lambda: k.subpnt("MARS", -74, ets, frame="IAU_MARS", correction="LT+S", threads=1),
        "2": lambda: k.subpnt("MARS", -74, ets, frame="IAU_MARS", correction="LT+S", threads=2),
        "cy": lambda: cyice.subpnt_v("NEAR POINT/ELLIPSOID", "MARS", ets, "IAU_MARS", "LT+S", "-74"),
        "loop": lambda: [sp.subpnt("NEAR POINT/ELLIPSOID", "MARS", e, "IAU_MARS", "LT+S", "-74") for e in few],
    })
    best["loop"] *= len(ets) / len(few)
    sub = k.subpnt("MARS", -74, ets, frame="IAU_MARS", correction="LT+S")
    want = cyice.subpnt_v("NEAR POINT/ELLIPSOID", "MARS", ets, "IAU_MARS", "LT+S", "-74")
    worst = float(np.abs(sub.point - np.asarray(want[0])).max())
    peak = harness.peak_of(lambda: k.subpnt("MARS", -74, ets, frame="IAU_MARS", correction="LT+S"))["peak"]
    row("subpnt", len(ets), best, worst, peak, len(ets) * 7 * 8)

    pts = np.ascontiguousarray(sub.point)
    best = interleaved_best(args.repeat, {
        "1": lambda: k.ilumin("MARS", -74, ets, pts, frame="IAU_MARS", correction="LT+S", threads=1),
        "2": lambda: k.ilumin("MARS", -74, ets, pts, frame="IAU_MARS", correction="LT+S", threads=2),
        # cyice.ilumin_v allocates an (n, n) array for n points: its
        # scalar call in a loop instead.
        "cy": lambda: [cyice.ilumin("ELLIPSOID", "MARS", e, "IAU_MARS", "LT+S", "-74", p) for e, p in zip(few, pts)],
        "loop": lambda: [sp.ilumin("ELLIPSOID", "MARS", e, "IAU_MARS", "LT+S", "-74", p) for e, p in zip(few, pts)],
    })
    best["loop"] *= len(ets) / len(few)
    best["cy"] *= len(ets) / len(few)
    ill = k.ilumin("MARS", -74, ets, pts, frame="IAU_MARS", correction="LT+S")
    want = [sp.ilumin("ELLIPSOID", "MARS", e, "IAU_MARS", "LT+S", "-74", p) for e, p in zip(few, pts)]
    worst = float(np.abs(ill.incidence[: len(few)] - np.array([w[3] for w in want])).max())
    peak = harness.peak_of(lambda: k.ilumin("MARS", -74, ets, pts, frame="IAU_MARS", correction="LT+S"))["peak"]
    row("ilumin", len(ets), best, worst, peak, len(ets) * (1 + 3 + 3) * 8 + 2 * len(ets))


    # Limb and terminator points in 36 cuts at a tenth of the epochs (the
    # outputs are 36 rows per epoch), GUIDED (TANGENT gives the same points
    # on an ellipsoid; the toolkit's search makes it slower).
    cuts, cets = 36, ets[: max(1, len(ets) // 10)]
    cfew = cets[: max(1, m // 10)]
    zref = np.array([0.0, 0.0, 1.0])
    step = 2.0 * math.pi / cuts
    for name, method, head in (("limbpt", "GUIDED/ELLIPSOID", ()), ("termpt", "UMBRAL/GUIDED/ELLIPSOID", ("SUN",))):
        fn = getattr(k, name)
        sp_fn, cy_v = getattr(sp, name), getattr(cyice, name + "_v")
        tail = ("IAU_MARS", "LT+S", "CENTER", "-74")
        best = interleaved_best(args.repeat, {
            "1": lambda: fn("MARS", -74, cets, cuts, method=method, frame="IAU_MARS", correction="LT+S", threads=1),
            "2": lambda: fn("MARS", -74, cets, cuts, method=method, frame="IAU_MARS", correction="LT+S", threads=2),
            "cy": lambda: cy_v(method, *head, "MARS", cets, *tail, zref, step, cuts, 1e-4, 1e-12, cuts),
            "loop": lambda: [sp_fn(method, *head, "MARS", e, *tail, zref, step, cuts, 1e-4, 1e-12, cuts)
                             for e in cfew],
        })
        best["loop"] *= len(cets) / len(cfew)
        got = fn("MARS", -74, cfew, cuts, method=method, frame="IAU_MARS", correction="LT+S")
        want = [sp_fn(method, *head, "MARS", e, *tail, zref, step, cuts, 1e-4, 1e-12, cuts)[1] for e in cfew]
        worst = float(np.abs(got.point - np.array(want)).max())
        peak = harness.peak_of(lambda: fn("MARS", -74, cets, cuts, method=method, frame="IAU_MARS",
                                          correction="LT+S"))["peak"]
        row(name, len(cets) * cuts, best, worst, peak, len(cets) * cuts * 7 * 8)

    # Light time from the Earth reaches 1000 s back: epochs from T0 + 2000 s.
    oets = np.sort(np.random.default_rng(1).uniform(T0 + 2000.0, T0 + 86000.0, args.epochs))
    ofew = oets[:m]
    occ = ("-74", "POINT", " ", "MARS", "ELLIPSOID", "IAU_MARS", "CN", "EARTH")
    best = interleaved_best(args.repeat, {
        "1": lambda: k.occult(-74, "POINT", None, "MARS", "ELLIPSOID", "IAU_MARS", "EARTH", oets, correction="CN",
                              threads=1),
        "2": lambda: k.occult(-74, "POINT", None, "MARS", "ELLIPSOID", "IAU_MARS", "EARTH", oets, correction="CN",
                              threads=2),
        "cy": lambda: cyice.occult_v(*occ, oets),
        "loop": lambda: [sp.occult(*occ[:6], occ[6], occ[7], e) for e in ofew],
    })
    best["loop"] *= len(oets) / len(ofew)
    codes = k.occult(-74, "POINT", None, "MARS", "ELLIPSOID", "IAU_MARS", "EARTH", oets, correction="CN")
    worst = float(np.count_nonzero(codes != np.asarray(cyice.occult_v(*occ, oets))))
    peak = harness.peak_of(lambda: k.occult(-74, "POINT", None, "MARS", "ELLIPSOID", "IAU_MARS", "EARTH", oets,
                                            correction="CN"))["peak"]
    row("occult", len(oets), best, worst, peak, len(oets))


if __name__ == "__main__":
    main()
