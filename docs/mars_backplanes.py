"""Backplanes of a Mars image: where each pixel's ray meets the planet, and the
phase, solar incidence and emission angles there.

Writes the orbit of a spacecraft 6000 km above Mars (two-body, as an SPK
Type 9 segment of body -990499) and a text PCK with Mars's IAU rotation and
radii, loads them with DE421 (the `skyfield-data` package; it holds Mars
itself, body 499, where DE440's distribution holds only its barycenter) and points a camera
at Mars's centre: 400 x 400 rays over a 70-degree field. `Kernels.sincpt`
finds where every ray meets the ellipsoid (rays past the limb: found False,
NaN), `Kernels.ilumin` the angles there, each one call over the whole image
with light time and stellar aberration corrected (LT+S).

    pip install "kernwerk[docs]"
    python docs/mars_backplanes.py           # writes docs/mars_backplanes.png
"""

from __future__ import annotations

import pathlib
import tempfile
from typing import Any

import numpy as np

import kernwerk

GM_MARS = 42828.375816  # km^3/s^2
MARS_PCK = """KPL/PCK
\\begindata
BODY499_POLE_RA = ( 317.68143 -0.1061 0. )
BODY499_POLE_DEC = ( 52.88650 -0.0609 0. )
BODY499_PM = ( 176.630 350.89198226 0. )
BODY499_RADII = ( 3396.19 3396.19 3376.20 )
\\begintext
"""
CAMERA = -990499
PIXELS = 400
FIELD_DEG = 70.0


def key_numbers(workdir: pathlib.Path, ephemeris: str | None = None) -> dict[str, Any]:
    """Writes the kernels into `workdir` and returns the image epoch, the
    rays (PIXELS x PIXELS x 3, J2000), the intercepts and the angles
    (degrees), and the files."""
    if ephemeris is None:
        import skyfield_data

        ephemeris = str(pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp")
    pck = workdir / "mars.tpc"
    pck.write_text(MARS_PCK)
    et0 = float(kernwerk.to_et("2026-06-01T12:00"))
    ets = np.linspace(et0 - 3600.0, et0 + 3600.0, 241)
    elements = [3396.19 + 6000.0, 0.0, np.radians(75.0), np.radians(40.0), 0.0, np.radians(200.0), et0, GM_MARS]
    writer = kernwerk.SpkWriter()
    writer.add_type9(CAMERA, "MARS", kernwerk.conics(elements, ets), ets, degree=9)
    spk = writer.write(workdir / "camera.bsp")

    with kernwerk.Kernels(ephemeris, pck, spk) as k:
        # The camera frame: boresight at Mars's centre, "up" toward J2000 +z.
        boresight = -k.state(CAMERA, "MARS", et0)[:3]
        boresight /= np.linalg.norm(boresight)
        right = np.cross(boresight, [0.0, 0.0, 1.0])
        right /= np.linalg.norm(right)
        up = np.cross(right, boresight)
        t = np.tan(np.radians(FIELD_DEG / 2)) * np.linspace(-1.0, 1.0, PIXELS)
        rays = boresight + t[None, :, None] * right - t[:, None, None] * up
        hit = k.sincpt("MARS", CAMERA, et0, rays, "J2000", correction="LT+S")
        ill = k.ilumin("MARS", CAMERA, et0, hit.point, correction="LT+S", degrees=True)
        sub = k.subpnt("MARS", CAMERA, et0, correction="LT+S")
        solar = k.subslr("MARS", CAMERA, et0, correction="LT+S")
    return {"et": et0, "rays": rays, "hit": hit, "ill": ill, "files": [ephemeris, str(pck), spk],
            "sub": sub, "solar": solar}


def draw(numbers: dict[str, Any], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ill = numbers["ill"]
    fig, axes = plt.subplots(1, 3, figsize=(13, 4.6), dpi=100)
    extent = [-FIELD_DEG / 2, FIELD_DEG / 2, -FIELD_DEG / 2, FIELD_DEG / 2]
    for ax, name, cmap in zip(axes, ("phase", "incidence", "emission"), ("magma", "cividis", "viridis")):
        im = ax.imshow(getattr(ill, name), extent=extent, cmap=cmap, vmin=0, vmax=180 if name == "phase" else 90)
        if name == "incidence":
            ax.contour(np.where(np.isnan(ill.incidence), 180.0, ill.incidence), levels=[90.0], colors="w",
                       linewidths=0.8, extent=extent, origin="upper")
        ax.set_title(f"{name} angle (deg)")
        ax.set_xlabel("deg right of boresight")
        fig.colorbar(im, ax=ax, shrink=0.8)
    axes[0].set_ylabel("deg above boresight")
    fig.suptitle("Backplanes of a 400 x 400 image of Mars from 6000 km (sincpt + ilumin, LT+S; "
                 "white line: the terminator)")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def run(out_dir: pathlib.Path) -> dict[str, Any]:
    with tempfile.TemporaryDirectory() as work:
        numbers = key_numbers(pathlib.Path(work))
    draw(numbers, out_dir / "mars_backplanes.png")
    return numbers


if __name__ == "__main__":
    result = run(pathlib.Path(__file__).parent)
    found = result["hit"].found
    print(f"{found.sum()} of {found.size} rays meet Mars; "
          f"{np.count_nonzero(result['ill'].lit & found)} of them lit; "
          f"sub-spacecraft point {np.round(result['sub'].point, 1)} km")
