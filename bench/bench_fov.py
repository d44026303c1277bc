"""Times field-of-view tests and CK writing against spiceypy.

    python bench/bench_fov.py [--repeat 5] [--epochs 100000] [--spice-epochs 2000]

Cases, on a spacecraft passing Mars (SPK written here, a TK camera frame,
an instrument kernel with a circular and a rectangular field, Mars's IAU
constants), at --epochs epochs:
  * Kernels.fov_ray (one ray in IAU_MARS, stellar aberration) against
    spiceypy.cyice.fovray_v and a spiceypy fovray loop;
  * Kernels.in_fov for Mars as a POINT and as an ELLIPSOID (LT+S) against
    cyice.fovtrg_v and a fovtrg loop;
  * writing a Type 3 CK of --epochs pointing instances with angular velocity:
    CkWriter against spiceypy ckopn / ckw03 / ckcls.
Each round runs every contender once, in turn, and the best of --repeat
rounds is kept; the spiceypy loops run over --spice-epochs epochs and are
scaled to the batch. Ratios: contender time / kernwerk time on one thread
(higher: kernwerk faster); "2 threads" is kernwerk's one-thread time over its
two-thread time. Flags are checked against cyice's.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import tempfile
import time

import numpy as np

import kernwerk

FK = """\\begindata
FRAME_BENCH_CAM = -77000
FRAME_-77000_NAME = 'BENCH_CAM'
FRAME_-77000_CLASS = 4
FRAME_-77000_CLASS_ID = -77000
FRAME_-77000_CENTER = -77
TKFRAME_-77000_RELATIVE = 'J2000'
TKFRAME_-77000_SPEC = 'ANGLES'
TKFRAME_-77000_ANGLES = ( 0.3 -0.2 0.1 )
TKFRAME_-77000_AXES = ( 3 1 2 )
TKFRAME_-77000_UNITS = 'DEGREES'
BODY499_RADII = ( 3396.19 3396.19 3376.20 )
BODY499_POLE_RA = ( 317.68 -0.1061 0.0 )
BODY499_POLE_DEC = ( 52.88 -0.0609 0.0 )
BODY499_PM = ( 176.63 350.89198226 0.0 )
INS-77001_FOV_SHAPE = 'CIRCLE'
INS-77001_FOV_FRAME = 'BENCH_CAM'
INS-77001_BORESIGHT = ( 1.0 0.0 0.0 )
INS-77001_FOV_CLASS_SPEC = 'ANGLES'
INS-77001_FOV_REF_VECTOR = ( 0.0 1.0 0.0 )
INS-77001_FOV_REF_ANGLE = 5.0
INS-77001_FOV_ANGLE_UNITS = 'DEGREES'
INS-77002_FOV_SHAPE = 'RECTANGLE'
INS-77002_FOV_FRAME = 'BENCH_CAM'
INS-77002_BORESIGHT = ( 1.0 0.0 0.0 )
INS-77002_FOV_BOUNDARY_CORNERS = ( 1.0 0.1 0.05  1.0 -0.1 0.05  1.0 -0.1 -0.05  1.0 0.1 -0.05 )
\\begintext
"""


def interleaved_best(repeat: int, contenders: dict) -> dict:
    best = {name: math.inf for name in contenders}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def build(directory: pathlib.Path) -> list[str]:
    (directory / "bench_cam.tk").write_text(FK)
    t = np.linspace(-10.0, 2010.0, 5)
    w = kernwerk.SpkWriter()
    w.add_type9(499, 0, np.column_stack([2.0e8 + 0 * t, 24.0 * t, 0 * t, 0 * t, 24.0 + 0 * t, 0 * t]), t, degree=1)
    p0, v = np.array([-20000.0, -40000.0, 500.0]), np.array([0.0, 40.0, 0.0])
    w.add_type9(-77, 499, np.array([np.concatenate([p0 + v * ti, v]) for ti in t]), t, degree=1)
    w.write(directory / "bench_sc.bsp")
    return [str(directory / "bench_sc.bsp"), str(directory / "bench_cam.tk")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--spice-epochs", type=int, default=2000)
    args = parser.parse_args()
    run(args.repeat, args.epochs, args.spice_epochs)


def run(repeat: int, epochs: int, spice_epochs: int) -> None:
    import spiceypy as sp
    from spiceypy import cyice

    directory = pathlib.Path(tempfile.mkdtemp(prefix="kernwerk_bench_fov_"))
    files = build(directory)
    sp.kclear()
    for f in files:
        sp.furnsh(f)
    k = kernwerk.Kernels(*files)
    ets = np.linspace(0.0, 2000.0, epochs)
    loop = ets[:: max(1, epochs // spice_epochs)]
    ray = np.array([1.0, 0.02, 0.01])
    print(f"fields of view, {epochs} epochs, best of {repeat}")
    print(f"{'case':24} {'kernwerk 1 thread':>18} {'2 threads':>10} {'cyice':>8} {'spiceypy loop':>14}")
    cases = [
        ("fovray S, IAU_MARS", lambda e, n: k.fov_ray(-77001, ray, e, "IAU_MARS", observer=-77, correction="S",
                                                      threads=n),
         lambda e: cyice.fovray_v("-77001", ray, "IAU_MARS", "S", "-77", e),
         lambda t: sp.fovray("-77001", ray, "IAU_MARS", "S", "-77", t)),
    ]
    for inst in (-77001, -77002):
        for shape in ("POINT", "ELLIPSOID"):
            cases.append((f"fovtrg {shape.lower()} {'circle' if inst == -77001 else 'rect'}",
                          lambda e, n, i=inst, s=shape: k.in_fov(i, 499, e, observer=-77, shape=s,
                                                                 target_frame="IAU_MARS", threads=n),
                          lambda e, i=inst, s=shape: cyice.fovtrg_v(str(i), "MARS", s, "IAU_MARS", "LT+S", "-77", e),
                          lambda t, i=inst, s=shape: sp.fovtrg(str(i), "MARS", s, "IAU_MARS", "LT+S", "-77", t)))
    for name, ours, vec, one in cases:
        best = interleaved_best(repeat, {
            "1": lambda: ours(ets, 1),
            "2": lambda: ours(ets, 2),
            "cyice": lambda: vec(ets),
            "loop": lambda: [one(t) for t in loop],
        })
        best["loop"] *= len(ets) / len(loop)
        same = np.array_equal(ours(ets, 1), np.asarray(vec(ets), dtype=bool))
        print(f"{name:24} {best['1'] / epochs * 1e9:15.1f} ns {best['1'] / best['2']:10.2f} "
              f"{best['cyice'] / best['1']:8.1f} {best['loop'] / best['1']:14.1f}   "
              f"({'flags equal' if same else 'FLAGS DIFFER'})")

    # Writing a Type 3 CK.
    rng = np.random.default_rng(1)
    ticks = np.cumsum(rng.uniform(0.5, 1.5, epochs))
    q = rng.normal(size=(epochs, 4))
    q /= np.linalg.norm(q, axis=1)[:, None]
    av = rng.normal(size=(epochs, 3)) * 1e-3
    starts = ticks[::1000].copy()
    ours_path, theirs_path = directory / "ours.bc", directory / "theirs.bc"

    def write_ours():
        w = kernwerk.CkWriter()
        w.add_type3(-77000, "J2000", ticks, q, av, intervals=starts)
        w.write(ours_path)

    def write_theirs():
        if theirs_path.exists():
            theirs_path.unlink()
        h = sp.ckopn(str(theirs_path), "bench", 0)
        sp.ckw03(h, ticks[0], ticks[-1], -77000, "J2000", True, "INSTRUMENT -77000", epochs, ticks, q, av,
                 len(starts), starts)
        sp.ckcls(h)

    best = interleaved_best(repeat, {"ours": write_ours, "theirs": write_theirs})
    print(f"Type 3 CK of {epochs} records: kernwerk {best['ours'] * 1e3:.1f} ms, spiceypy ckw03 "
          f"{best['theirs'] * 1e3:.1f} ms, ratio {best['theirs'] / best['ours']:.1f}")
    sp.kclear()
    for p in directory.iterdir():
        p.unlink()
    os.rmdir(directory)


if __name__ == "__main__":
    main()
