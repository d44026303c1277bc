"""Times frame transforms between IAU_MARS and J2000 against spiceypy.

    python bench/bench_frames.py [--repeat 7] [--epochs 100000] [--spice-epochs 3000]

Cases, on a text PCK holding the IAU constants of Mars, at --epochs epochs
over 2000-2030:
  * Kernels.pxform and Kernels.sxform, IAU_MARS -> J2000, on one thread and
    on two, against spiceypy.cyice.pxform_v / sxform_v (the vectorised
    Cython calls) and a spiceypy pxform / sxform loop;
  * the first call in a new frame: a fresh set's first pxform of one epoch
    (the chain is planned in that call).
Timing through bench/harness.py (rounds in rotated order; the best of
--repeat samples per call is shown). cyice and the spiceypy loop run over
--spice-epochs epochs and are scaled to the batch.
Ratios: contender time / kernwerk time on one thread (higher: kernwerk
faster); "2 threads" is kernwerk's one-thread time over its two-thread time.
Results are checked against cyice's.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Contender, measure  # noqa: E402
from kernwerk import Kernels  # noqa: E402

MARS = """KPL/PCK
\\begindata
BODY499_POLE_RA = ( 317.269202 -0.10927547 0. )
BODY499_POLE_DEC = ( 54.432516 -0.05827105 0. )
BODY499_PM = ( 176.049863 350.891982443297 0. )
\\begintext
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--spice-epochs", type=int, default=3000)
    args = parser.parse_args()

    import spiceypy as sp
    from spiceypy import cyice

    tpc = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "kernwerk_bench_mars.tpc"
    tpc.write_text(MARS)
    sp.furnsh(str(tpc))
    k = Kernels(str(tpc))
    ets = np.random.default_rng(0).uniform(0.0, 9.5e8, args.epochs)
    loop = ets[: args.spice_epochs]
    scale = args.epochs / len(loop)

    print(f"IAU_MARS -> J2000, {args.epochs} epochs, best of {args.repeat}; load average {os.getloadavg()[0]:.2f}")
    print(f"{'call':8} {'kernwerk 1 thread':>18} {'2 threads':>10} {'cyice':>8} {'spiceypy loop':>14}")
    small = np.ascontiguousarray(loop)
    for call, vec, one in (("pxform", cyice.pxform_v, sp.pxform), ("sxform", cyice.sxform_v, sp.sxform)):
        ours = getattr(k, call)
        cs = [Contender("1", lambda: ours("IAU_MARS", "J2000", ets, threads=1)),
              Contender("2", lambda: ours("IAU_MARS", "J2000", ets, threads=2)),
              Contender("cyice", lambda: vec("IAU_MARS", "J2000", small), scale=scale),
              Contender("loop", lambda: [one("IAU_MARS", "J2000", et) for et in loop], scale=scale)]
        measure(cs, repeats=args.repeat)
        best = {c.label: c.best for c in cs}
        got, want = ours("IAU_MARS", "J2000", loop), np.asarray(vec("IAU_MARS", "J2000", small))
        worst = float(np.abs(got - want).max())
        print(f"{call:8} {best['1'] / args.epochs * 1e9:15.1f} ns {best['1'] / best['2']:10.2f} "
              f"{best['cyice'] / best['1']:8.1f} {best['loop'] / best['1']:14.1f}   (worst |diff| {worst:.1e})")

    firsts = []
    for _ in range(args.repeat):
        fresh = Kernels(str(tpc))
        t0 = time.perf_counter()
        fresh.pxform("IAU_MARS", "J2000", 0.0)
        firsts.append(time.perf_counter() - t0)
    print(f"first pxform in a new set and frame: {min(firsts) * 1e6:.1f} us")


if __name__ == "__main__":
    main()
