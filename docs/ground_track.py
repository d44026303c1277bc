"""A spacecraft's ground track: an orbit written as an SPK, read back
Earth-fixed.

Propagates a two-body orbit like the ISS's (420 km, 51.64 degrees) for four
hours from the 2026 March equinox, writes it as a Type 9 SPK segment of the
body "DEMOSAT" (named by a small text kernel), loads that file with the
Earth orientation kernel of the `naif-eop-high-prec` package and reads the
states back in ITRF93, whose longitudes and latitudes make the ground track.

    pip install "kernwerk[docs]"
    python docs/ground_track.py           # writes docs/ground_track.png
"""

from __future__ import annotations

import pathlib
import tempfile
from typing import Any

import numpy as np
import numpy.typing as npt

import kernwerk

GM_EARTH = 398600.435436  # km^3/s^2, as in DE440
RADIUS = 6378.137  # km
FloatArray = npt.NDArray[np.float64]


def kepler_states(ets: FloatArray, a: float, e: float, i: float, raan: float, argp: float,
                  m0: float) -> FloatArray:
    """Two-body states (km, km/s, J2000) at `ets` for the elements at ets[0]
    (angles in degrees), by `kernwerk.conics` (the toolkit's elements:
    perifocal distance, eccentricity, angles in radians, mean anomaly at an
    epoch, GM)."""
    elements = [a * (1 - e), e, np.radians(i), np.radians(raan), np.radians(argp), np.radians(m0), ets[0],
                GM_EARTH]
    states: FloatArray = kernwerk.conics(elements, ets)
    return states


def key_numbers(workdir: pathlib.Path, eop: str | None = None) -> dict[str, Any]:
    """Writes the orbit to workdir/demosat.bsp (with workdir/demosat.tf for
    its name) and returns the Earth-fixed track: longitudes and latitudes
    (geocentric, degrees) at every minute, the period (s), the highest
    latitude, and how far west each ascending node falls from the last."""
    if eop is None:
        import naif_eop_high_prec

        eop = naif_eop_high_prec.eop_high_prec
    names = workdir / "demosat.tf"
    names.write_text("KPL/FK\n\\begindata\nNAIF_BODY_NAME += 'DEMOSAT'\nNAIF_BODY_CODE += -990001\n\\begintext\n")
    ets = kernwerk.to_et(np.arange("2026-03-20T14:46", "2026-03-20T18:47", np.timedelta64(60, "s"),
                                   dtype="datetime64[s]"))
    states = kepler_states(ets, a=RADIUS + 420.0, e=0.0005, i=51.64, raan=120.0, argp=30.0, m0=0.0)

    writer = kernwerk.SpkWriter(names=kernwerk.Kernels(names).names)
    writer.add_type9("DEMOSAT", "earth", states, ets, degree=9, frame="J2000")
    spk = writer.write(workdir / "demosat.bsp")

    with kernwerk.Kernels(spk, eop, names) as k:
        fixed = k.state("DEMOSAT", "earth", ets, frame="ITRF93")
    x, y, z = fixed[:, 0], fixed[:, 1], fixed[:, 2]
    lon = np.degrees(np.arctan2(y, x))
    lat = np.degrees(np.arctan2(z, np.hypot(x, y)))
    # Ascending nodes: the inertial z crossing zero upwards, interpolated.
    up = np.nonzero((states[:-1, 2] < 0) & (states[1:, 2] >= 0))[0]
    frac = -states[up, 2] / (states[up + 1, 2] - states[up, 2])
    node_ets = ets[up] + frac * (ets[up + 1] - ets[up])
    node_lon = lon[up] + frac * (((lon[up + 1] - lon[up] + 180) % 360) - 180)
    return {"spk": spk, "ets": ets, "lon": lon, "lat": lat, "fixed": fixed,
            "period_s": float(np.mean(np.diff(node_ets))), "max_lat": float(np.max(np.abs(lat))),
            "node_shift_deg": float(np.mean(((np.diff(node_lon) + 180) % 360) - 180))}


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lon, lat = numbers["lon"], numbers["lat"]
    minutes = (numbers["ets"] - numbers["ets"][0]) / 60
    fig, ax = plt.subplots(figsize=(10, 5.2), dpi=110)
    # Break the line where it wraps from +180 to -180 degrees.
    breaks = np.nonzero(np.abs(np.diff(lon)) > 180)[0] + 1
    for seg_lon, seg_lat in zip(np.split(lon, breaks), np.split(lat, breaks)):
        ax.plot(seg_lon, seg_lat, color="#3b7dd8", lw=1)
    sc = ax.scatter(lon[::5], lat[::5], c=minutes[::5], cmap="viridis", s=10, zorder=3)
    fig.colorbar(sc, ax=ax, label="minutes after 2026-03-20 14:46 UTC", shrink=0.8)
    ax.plot(lon[0], lat[0], "o", color="#c1440e", markersize=8, label="start")
    ax.axhline(numbers["max_lat"], color="#888", lw=0.6, ls=":")
    ax.axhline(-numbers["max_lat"], color="#888", lw=0.6, ls=":")
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_xticks(range(-180, 181, 30))
    ax.set_yticks(range(-90, 91, 30))
    ax.set_xlabel("longitude (deg, ITRF93)")
    ax.set_ylabel("geocentric latitude (deg)")
    ax.set_title(f"Ground track of DEMOSAT, written as SPK Type 9 and read back Earth-fixed\n"
                 f"period {numbers['period_s'] / 60:.2f} min, nodes {-numbers['node_shift_deg']:.2f} deg "
                 f"further west each orbit")
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    with tempfile.TemporaryDirectory() as work:
        numbers = key_numbers(pathlib.Path(work))
    draw(numbers, out_dir / "ground_track.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    print(f"period {result['period_s']:.1f} s, highest latitude {result['max_lat']:.3f} deg, "
          f"ascending nodes move {result['node_shift_deg']:.3f} deg in longitude per orbit")
