"""Body-fixed coordinates: kernwerk's recgeo/georec/reclat/latrec against
spiceypy's vectorised cyice functions (recgeo_v, ...), a spiceypy loop and
ERFA's gc2gde/gd2gce (through pyerfa, astropy's), timed side by side in one
run and reported as ratios (other / kernwerk).

    python bench/bench_coordinates.py [N]      (N points, default 1_000_000)

kernwerk splits batches of 16384 points or more over every usable core;
`--one-thread` times it on a batch of 16000 (one thread) as well. ERFA's
gc2gde is a closed form for points outside the ellipsoid; it is timed on the
same points, its results inside are not comparable.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchutil import best_of  # noqa: E402

import kernwerk  # noqa: E402

RE, F = 6378.137, 1.0 / 298.257223563


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n = int(args[0]) if args else 1_000_000
    rng = np.random.default_rng(7)
    dirs = rng.normal(size=(n, 3))
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    pts = dirs * RE * rng.uniform(0.9, 1.5, n)[:, None]  # near the surface, a few inside
    lon, lat, alt = kernwerk.recgeo(pts, RE, F)
    r, clon, clat = kernwerk.reclat(pts)
    rows = []

    def timed(label, fn, reference, repeat=3):
        t, t_ref = best_of(repeat, fn), best_of(repeat, reference)  # interleaved, same run
        rows.append((label, t, t_ref))

    sizes = [(n, "all cores")] + ([(16_000, "one thread")] if "--one-thread" in sys.argv else [])
    try:
        from spiceypy import cyice
        for m, how in sizes:
            p, a, b, c = pts[:m], lon[:m], lat[:m], alt[:m]
            timed(f"recgeo {m} ({how})  vs  cyice.recgeo_v", lambda: kernwerk.recgeo(p, RE, F),
                  lambda: cyice.recgeo_v(p, RE, F))
            timed(f"georec {m} ({how})  vs  cyice.georec_v", lambda: kernwerk.georec(a, b, c, RE, F),
                  lambda: cyice.georec_v(a, b, c, RE, F))
            timed(f"reclat {m} ({how})  vs  cyice.reclat_v", lambda: kernwerk.reclat(p), lambda: cyice.reclat_v(p))
            timed(f"latrec {m} ({how})  vs  cyice.latrec_v", lambda: kernwerk.latrec(r[:m], clon[:m], clat[:m]),
                  lambda: cyice.latrec_v(r[:m], clon[:m], clat[:m]))
    except ImportError:
        print("spiceypy.cyice not available: skipped")
    try:
        import spiceypy as sp
        m = min(n, 20_000)
        sub = pts[:m]
        timed(f"recgeo on {m}  vs  spiceypy loop", lambda: kernwerk.recgeo(sub, RE, F),
              lambda: [sp.recgeo(q, RE, F) for q in sub], repeat=2)
    except ImportError:
        print("spiceypy not installed: skipped")
    try:
        import erfa
        for m, how in sizes:
            p, a, b, c = pts[:m], lon[:m], lat[:m], alt[:m]
            timed(f"recgeo {m} ({how})  vs  erfa.gc2gde", lambda: kernwerk.recgeo(p, RE, F),
                  lambda: erfa.gc2gde(RE, F, p))
            timed(f"georec {m} ({how})  vs  erfa.gd2gce", lambda: kernwerk.georec(a, b, c, RE, F),
                  lambda: erfa.gd2gce(RE, F, a, b, c))
    except ImportError:
        print("pyerfa not installed: skipped")

    print(f"{'benchmark':<60} {'kernwerk':>10} {'other':>10} {'other/kernwerk':>15}")
    for label, t, t_ref in rows:
        print(f"{label:<60} {t * 1e3:>8.2f}ms {t_ref * 1e3:>8.2f}ms {t_ref / t:>14.1f}x")


if __name__ == "__main__":
    main()
