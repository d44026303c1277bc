"""The frame system against spiceypy on the same files: built-in inertial and
IAU frames, text and binary PCK frames, TK frames of every kind (matrix, angles, quaternion) in nested
chains, the lunar frames of lunarsky's kernels, and the refusals."""

import itertools
import pathlib

import numpy as np
import pytest

from conftest import _data_file
from kernwerk import FrameError, FrameInfo, Kernels, MissingKernelError

sp = pytest.importorskip("spiceypy")

# IAU rotation constants (WGCCRE reports as the NAIF PCKs carry them).
TEXT_PCK = r"""KPL/PCK
\begindata
BODY10_POLE_RA = ( 286.13 0. 0. )
BODY10_POLE_DEC = ( 63.87 0. 0. )
BODY10_PM = ( 84.176 14.18440 0. )
BODY199_POLE_RA = ( 281.0097 -0.0328 0. )
BODY199_POLE_DEC = ( 61.4143 -0.0049 0. )
BODY199_PM = ( 329.5469 6.1385025 0. )
BODY199_NUT_PREC_RA = ( 0. 0. 0. 0. 0. )
BODY199_NUT_PREC_DEC = ( 0. 0. 0. 0. 0. )
BODY199_NUT_PREC_PM = ( 0.00993822 -0.00104581 -0.00010280 -0.00002364 -0.00000532 )
BODY1_NUT_PREC_ANGLES = ( 174.791086 149472.515250 349.582171 298945.030500 164.373257 448417.545750
                          339.164343 597890.061000 153.955429 747362.576250 )
BODY299_POLE_RA = ( 272.76 0. 0. )
BODY299_POLE_DEC = ( 67.16 0. 0. )
BODY299_PM = ( 160.20 -1.4813688 0. )
BODY399_POLE_RA = ( 0. -0.641 0. )
BODY399_POLE_DEC = ( 90. -0.557 0. )
BODY399_PM = ( 190.147 360.9856235 0. )
BODY499_POLE_RA = ( 317.68143 -0.1061 0. )
BODY499_POLE_DEC = ( 52.88650 -0.0609 0. )
BODY499_PM = ( 176.630 350.89198226 0. )
BODY401_POLE_RA = ( 317.68 -0.108 0. )
BODY401_POLE_DEC = ( 52.90 -0.061 0. )
BODY401_PM = ( 35.06 1128.8445850 8.864 )
BODY401_NUT_PREC_RA = ( 1.79 0. 0. 0. )
BODY401_NUT_PREC_DEC = ( -1.08 0. 0. 0. )
BODY401_NUT_PREC_PM = ( -1.42 -0.78 0. 0. )
BODY4_NUT_PREC_ANGLES = ( 169.51 -15916.2801 192.93 41215163.19675 53.47 -662.965275 79.41 -1.3398 )
BODY599_POLE_RA = ( 268.056595 -0.006499 0. )
BODY599_POLE_DEC = ( 64.495303 0.002413 0. )
BODY599_PM = ( 284.95 870.5360000 0. )
BODY599_NUT_PREC_RA = ( 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0.000117 0.000938 0.001432 0.000030 0.002150 )
BODY599_NUT_PREC_DEC = ( 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0.000050 0.000404 0.000617 -0.000013 0.000926 )
BODY599_NUT_PREC_PM = ( 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. )
BODY5_NUT_PREC_ANGLES = ( 73.32 91472.9 24.62 45137.2 283.90 4850.7 355.80 1191.3 119.90 262.1
                          229.80 64.3 352.25 2382.6 113.35 6070.0 146.64 182945.8 49.24 90274.4
                          99.360714 4850.4046 175.895369 1191.9605 300.323162 262.5475
                          114.012305 6070.2476 49.511251 64.3000 )
BODY501_POLE_RA = ( 268.05 -0.009 0. )
BODY501_POLE_DEC = ( 64.50 0.003 0. )
BODY501_PM = ( 200.39 203.4889538 0. )
BODY501_NUT_PREC_RA = ( 0. 0. 0.094 0.024 )
BODY501_NUT_PREC_DEC = ( 0. 0. 0.040 0.011 )
BODY501_NUT_PREC_PM = ( 0. 0. -0.085 -0.022 )
BODY502_POLE_RA = ( 268.08 -0.009 0. )
BODY502_POLE_DEC = ( 64.51 0.003 0. )
BODY502_PM = ( 36.022 101.3747235 0. )
BODY502_NUT_PREC_RA = ( 0. 0. 0. 1.086 0.060 0.015 0.009 )
BODY502_NUT_PREC_DEC = ( 0. 0. 0. 0.468 0.026 0.007 0.002 )
BODY502_NUT_PREC_PM = ( 0. 0. 0. -0.980 -0.054 -0.014 -0.008 )
BODY699_POLE_RA = ( 40.589 -0.036 0. )
BODY699_POLE_DEC = ( 83.537 -0.004 0. )
BODY699_PM = ( 38.90 810.7939024 0. )
BODY799_POLE_RA = ( 257.311 0. 0. )
BODY799_POLE_DEC = ( -15.175 0. 0. )
BODY799_PM = ( 203.81 -501.1600928 0. )
BODY899_POLE_RA = ( 299.36 0. 0. )
BODY899_POLE_DEC = ( 43.46 0. 0. )
BODY899_PM = ( 253.18 536.3128492 0. )
BODY899_NUT_PREC_RA = ( 0.70 0. 0. 0. 0. 0. 0. 0. )
BODY899_NUT_PREC_DEC = ( -0.51 0. 0. 0. 0. 0. 0. 0. )
BODY899_NUT_PREC_PM = ( -0.48 0. 0. 0. 0. 0. 0. 0. )
BODY8_NUT_PREC_ANGLES = ( 357.85 52.316 323.92 62606.6 220.51 55064.2 354.27 46564.5
                          75.31 26109.4 35.36 14325.4 142.61 2824.6 177.85 52.316 )
BODY301_POLE_RA = ( 269.9949 0.0031 0. )
BODY301_POLE_DEC = ( 66.5392 0.0130 0. )
BODY301_PM = ( 38.3213 13.17635815 -1.4E-12 )
BODY301_NUT_PREC_RA = ( -3.8787 -0.1204 0.0700 -0.0172 0. 0.0072 0. 0. 0. -0.0052 0. 0. 0.0043 )
BODY301_NUT_PREC_DEC = ( 1.5419 0.0239 -0.0278 0.0068 0. -0.0029 0.0009 0. 0. 0.0008 0. 0. -0.0009 )
BODY301_NUT_PREC_PM = ( 3.5610 0.1208 -0.0642 0.0158 0.0252 -0.0066 -0.0047 -0.0046 0.0028 0.0052 0.0040 0.0019
                        -0.0044 )
BODY3_NUT_PREC_ANGLES = ( 125.045 -1935.5364525000 250.089 -3871.0729050000 260.008 475263.3328725000
                          176.625 487269.6299850000 357.529 35999.0509575000 311.589 964468.4993100000
                          134.963 477198.8693250000 276.617 12006.3007650000 34.226 63863.5132425000
                          15.134 -5806.6093575000 119.743 131.8406400000 239.961 6003.1503825000
                          25.053 473327.7964200000 )
BODY2000433_POLE_RA = ( 11.35 0. 0. )
BODY2000433_POLE_DEC = ( 17.22 0. 0. )
BODY2000433_PM = ( 326.07 1639.38864745 0. )
BODY2000433_CONSTANTS_REF_FRAME = 18
BODY2000433_CONSTANTS_JED_EPOCH = 2433282.5
\begintext
"""

# TK frames given by matrix, angles and quaternion in nested chains (by code and by name), a
# topocentric station frame, a CK frame and a TK frame on it, a dynamic frame.
FRAME_KERNEL = r"""KPL/FK
\begindata
FRAME_MARS_OFFSET = -1001000
FRAME_-1001000_NAME = 'MARS_OFFSET'
FRAME_-1001000_CLASS = 4
FRAME_-1001000_CLASS_ID = -1001000
FRAME_-1001000_CENTER = 499
TKFRAME_-1001000_RELATIVE = 'IAU_MARS'
TKFRAME_-1001000_SPEC = 'ANGLES'
TKFRAME_-1001000_ANGLES = ( 10.5 -20.25 33.0 )
TKFRAME_-1001000_AXES = ( 3 1 2 )
TKFRAME_-1001000_UNITS = 'DEGREES'

FRAME_MARS_INSTR = -1001001
FRAME_-1001001_NAME = 'MARS_INSTR'
FRAME_-1001001_CLASS = 4
FRAME_-1001001_CLASS_ID = -1001001
FRAME_-1001001_CENTER = 499
TKFRAME_-1001001_RELATIVE = 'MARS_OFFSET'
TKFRAME_-1001001_SPEC = 'QUATERNION'
TKFRAME_-1001001_Q = ( 0.8 0.1 -0.3 0.2 )

FRAME_ECL_BOX = -1002000
FRAME_-1002000_NAME = 'ECL_BOX'
FRAME_-1002000_CLASS = 4
FRAME_-1002000_CLASS_ID = -1002000
FRAME_-1002000_CENTER = 10
TKFRAME_-1002000_RELATIVE = 'ECLIPJ2000'
TKFRAME_-1002000_SPEC = 'MATRIX'
TKFRAME_-1002000_MATRIX = ( 0.0 0.6 0.8  -1.0 0.0 0.0  0.0 -0.8 0.6 )

FRAME_ECL_BOX_ARCSEC = -1002001
FRAME_-1002001_NAME = 'ECL_BOX_ARCSEC'
FRAME_-1002001_CLASS = 4
FRAME_-1002001_CLASS_ID = -1002001
FRAME_-1002001_CENTER = 10
TKFRAME_ECL_BOX_ARCSEC_RELATIVE = 'ECL_BOX'
TKFRAME_ECL_BOX_ARCSEC_SPEC = 'ANGLES'
TKFRAME_ECL_BOX_ARCSEC_ANGLES = ( 3600.0 -7200.5 120.25 )
TKFRAME_ECL_BOX_ARCSEC_AXES = ( 1 2 3 )
TKFRAME_ECL_BOX_ARCSEC_UNITS = 'ARCSECONDS'

FRAME_STATION_TOPO = 1399099
FRAME_1399099_NAME = 'STATION_TOPO'
FRAME_1399099_CLASS = 4
FRAME_1399099_CLASS_ID = 1399099
FRAME_1399099_CENTER = 399
TKFRAME_1399099_RELATIVE = 'ITRF93'
TKFRAME_1399099_SPEC = 'ANGLES'
TKFRAME_1399099_ANGLES = ( -243.1105 -54.5736 180.0 )
TKFRAME_1399099_AXES = ( 3 2 3 )
TKFRAME_1399099_UNITS = 'DEGREES'

FRAME_SC_BUS = -99000
FRAME_-99000_NAME = 'SC_BUS'
FRAME_-99000_CLASS = 3
FRAME_-99000_CLASS_ID = -99000
FRAME_-99000_CENTER = -99
CK_-99000_SCLK = -99
CK_-99000_SPK = -99

FRAME_SC_CAMERA = -99100
FRAME_-99100_NAME = 'SC_CAMERA'
FRAME_-99100_CLASS = 4
FRAME_-99100_CLASS_ID = -99100
FRAME_-99100_CENTER = -99
TKFRAME_-99100_RELATIVE = 'SC_BUS'
TKFRAME_-99100_SPEC = 'ANGLES'
TKFRAME_-99100_ANGLES = ( 0.0 90.0 0.0 )
TKFRAME_-99100_AXES = ( 1 2 3 )
TKFRAME_-99100_UNITS = 'DEGREES'

TKFRAME_EARTH_FIXED_RELATIVE = 'ITRF93'
TKFRAME_EARTH_FIXED_SPEC = 'MATRIX'
TKFRAME_EARTH_FIXED_MATRIX = ( 1 0 0 0 1 0 0 0 1 )

FRAME_MY_DYNAMIC = -99200
FRAME_-99200_NAME = 'MY_DYNAMIC'
FRAME_-99200_CLASS = 5
FRAME_-99200_CLASS_ID = -99200
FRAME_-99200_CENTER = 399
\begintext
"""

# Broken definitions, each refused with the variable or frames it names.
BROKEN_KERNEL = r"""KPL/FK
\begindata
FRAME_LOOP_A = -1400
FRAME_-1400_NAME = 'LOOP_A'
FRAME_-1400_CLASS = 4
FRAME_-1400_CLASS_ID = -1400
FRAME_-1400_CENTER = 399
TKFRAME_-1400_RELATIVE = 'LOOP_B'
TKFRAME_-1400_SPEC = 'MATRIX'
TKFRAME_-1400_MATRIX = ( 1 0 0 0 1 0 0 0 1 )
FRAME_LOOP_B = -1401
FRAME_-1401_NAME = 'LOOP_B'
FRAME_-1401_CLASS = 4
FRAME_-1401_CLASS_ID = -1401
FRAME_-1401_CENTER = 399
TKFRAME_-1401_RELATIVE = 'LOOP_A'
TKFRAME_-1401_SPEC = 'MATRIX'
TKFRAME_-1401_MATRIX = ( 1 0 0 0 1 0 0 0 1 )
FRAME_SKEW = -1402
FRAME_-1402_NAME = 'SKEW'
FRAME_-1402_CLASS = 4
FRAME_-1402_CLASS_ID = -1402
FRAME_-1402_CENTER = 399
TKFRAME_-1402_RELATIVE = 'J2000'
TKFRAME_-1402_SPEC = 'MATRIX'
TKFRAME_-1402_MATRIX = ( 1 0 0 0 1 0 0 0.5 1 )
FRAME_NO_SPEC = -1403
FRAME_-1403_NAME = 'NO_SPEC'
FRAME_-1403_CLASS = 4
FRAME_-1403_CLASS_ID = -1403
FRAME_-1403_CENTER = 399
TKFRAME_-1403_RELATIVE = 'J2000'
BODY402_POLE_RA = ( 316.65 -0.108 0. )
BODY402_POLE_DEC = ( 53.52 -0.061 0. )
BODY402_PM = ( 79.41 285.1618970 0. )
BODY402_NUT_PREC_RA = ( 0. 0. 2.98 0. 0. )
\begintext
"""

INERTIAL = ["J2000", "B1950", "FK4", "DE-118", "DE-96", "DE-102", "DE-108", "DE-111", "DE-114", "DE-122", "DE-125",
            "DE-130", "GALACTIC", "DE-200", "DE-202", "MARSIAU", "ECLIPJ2000", "ECLIPB1950", "DE-140", "DE-142",
            "DE-143"]
BODY_FIXED = ["IAU_SUN", "IAU_MERCURY", "IAU_VENUS", "IAU_EARTH", "IAU_MARS", "IAU_PHOBOS", "IAU_JUPITER", "IAU_IO",
              "IAU_EUROPA", "IAU_SATURN", "IAU_URANUS", "IAU_NEPTUNE", "IAU_MOON", "IAU_EROS", "ITRF93", "MOON_PA_DE421"]
TK = ["MARS_OFFSET", "MARS_INSTR", "ECL_BOX", "ECL_BOX_ARCSEC", "STATION_TOPO", "MOON_ME_DE421", "MOON_PA",
      "MOON_ME", "EARTH_FIXED"]


def _lunarsky(name):
    root = _data_file("lunarsky", "data")
    if root is None:
        pytest.skip("lunarsky (its Moon kernels) is not installed")
    found = sorted(pathlib.Path(root).rglob(name))
    if not found:
        pytest.skip(f"lunarsky has no {name}")
    return str(found[0])


@pytest.fixture(scope="module")
def files(tmp_path_factory, de421_path):
    eop = _data_file("naif_eop_high_prec", "earth_latest_high_prec.bpc")
    assoc = _data_file("naif_earth_itrf93", "earth_assoc_itrf93.tf")
    if eop is None or assoc is None:
        pytest.skip("naif-eop-high-prec and naif-earth-itrf93 are needed")
    d = tmp_path_factory.mktemp("frames")
    (d / "iau.tpc").write_text(TEXT_PCK)
    (d / "frames.tf").write_text(FRAME_KERNEL)
    (d / "broken.tf").write_text(BROKEN_KERNEL)
    # EARTH_FIXED is the toolkit's built-in TK frame; the association kernel
    # ties it to ITRF93.
    paths = [de421_path, str(eop), str(assoc), str(d / "iau.tpc"), str(d / "frames.tf"),
             _lunarsky("moon_080317.tf"), _lunarsky("moon_assoc_me.tf"), _lunarsky("moon_pa_de421_1900-2050.bpc")]
    return {"paths": paths, "broken": str(d / "broken.tf"), "eop": str(eop)}


@pytest.fixture(scope="module")
def oracle(files):
    sp.kclear()
    for p in files["paths"]:
        sp.furnsh(p)
    yield sp
    sp.kclear()


@pytest.fixture(scope="module")
def kernels(files):
    return Kernels(*files["paths"])


def _epochs(files):
    # Random epochs inside the Earth orientation data and the lunar PCK, and
    # the two ends of a few Earth orientation segments (where one segment
    # hands over to the next).
    from kernwerk import read_segments

    segs = read_segments(files["eop"])
    rng = np.random.default_rng(7)
    ets = list(rng.uniform(segs[0].start, min(segs[-1].end, 1.5e9), 6))
    for s in segs[: len(segs) // 2: max(1, len(segs) // 6)][:3]:
        ets += [s.start, s.end]
    return np.array(ets)


ALL = INERTIAL + BODY_FIXED + TK


def test_names_codes_and_info_match_the_toolkit(kernels, oracle):
    for name in ALL + ["IAU_GANYMEDE", "IAU_ARROKOTH", "SC_BUS", "SC_CAMERA", "MY_DYNAMIC"]:
        code = oracle.namfrm(name)
        info = kernels.frame_info(name)
        center, cls, class_id = oracle.frinfo(code)
        assert (info.name, info.code, info.frame_class, info.class_id, info.center) == \
               (oracle.frmnam(code), code, cls, class_id, center), name
        assert kernels.frame_info(code) == info
    assert isinstance(kernels.frame_info("iau_mars"), FrameInfo)
    assert kernels.frame_info("J2000").source is None
    assert kernels.frame_info("MARS_OFFSET").source.endswith("frames.tf")


# Text PCK frames (IAU_*, and the TK frames on IAU_MARS) are evaluated in the
# toolkit's order (W reduced in radians, the nutation-precession series summed
# apart), so they agree to a few ulp of 1 like the fixed frames.
# The lunar orientation PCK carries W as one continuous angle from its start
# in 1900: some 1e4 radians, evaluated to a few of its ulp.
LUNAR_PCK = {"MOON_PA_DE421", "MOON_ME_DE421", "MOON_PA", "MOON_ME"}


def _tolerance(a, b, ets):
    w = sum(f in LUNAR_PCK for f in (a, b)) * 13.18 * (ets + 3155716800.0) / 86400.0 * np.pi / 180.0
    return 1e-14 + 4 * np.finfo(float).eps * w


@pytest.mark.parametrize("body", ["MOON", "EARTH", "MARS", "PHOBOS", "SUN", "JUPITER BARYCENTER", 301])
def test_a_bodys_frame_is_the_toolkits(kernels, oracle, body):
    code, name = oracle.cidfrm(oracle.bods2c(str(body)))
    assert kernels.body_frame(body)[:2] == (name, code)


def test_rotations_and_state_transforms_of_every_pair(files, kernels, oracle):
    ets = _epochs(files)
    worst = 0.0
    rate_scale = {f: np.abs(np.array([oracle.sxform("J2000", f, et)[3:, :3] for et in ets])).max(axis=(1, 2))
                  for f in ALL}
    for a, b in itertools.product(ALL, ALL):
        r = kernels.pxform(a, b, ets)
        x = kernels.sxform(a, b, ets)
        assert x.shape == ets.shape + (6, 6) and r.shape == ets.shape + (3, 3)
        want_r = np.array([oracle.pxform(a, b, et) for et in ets])
        want_x = np.array([oracle.sxform(a, b, et) for et in ets])
        tol = _tolerance(a, b, ets)[:, None, None]
        for got, want in ((r, want_r), (x[:, :3, :3], want_x[:, :3, :3]), (x[:, 3:, 3:], want_x[:, :3, :3])):
            assert np.all(np.abs(got - want) <= tol), f"{a} -> {b}: {np.abs(got - want).max()}"
        worst = max(worst, float((np.abs(r - want_r) / tol).max()))
        # Rates relative to the largest rate of either frame: between two
        # frames that turn alike the rates nearly cancel.
        scale = np.maximum(rate_scale[a], rate_scale[b])[:, None, None]
        err = np.abs(x[:, 3:, :3] - want_x[:, 3:, :3])
        assert np.all(err <= 1e-12 * scale + tol * scale + 1e-300), f"{a} -> {b} rates: {(err / scale).max()}"
        assert np.all(x[:, :3, 3:] == 0.0)


@pytest.mark.parametrize("target, observer, frame", [
    ("EARTH", "MOON", "MOON_ME"), ("EARTH", "MOON", "MOON_PA"), ("SUN", "MOON", "MOON_ME_DE421"),
    ("MOON", "EARTH", "IAU_EARTH"), ("MOON", "EARTH", "ITRF93"), ("SUN", "MARS BARYCENTER", "IAU_MARS"),
    ("MOON", "EARTH", "STATION_TOPO"), ("SUN", "EARTH", "GALACTIC"), ("MARS BARYCENTER", "SUN", "MARS_INSTR"),
])
def test_states_in_any_frame(files, kernels, oracle, target, observer, frame):
    ets = _epochs(files)[:6]
    got = kernels.state(target, observer, ets, frame)
    want = np.array([oracle.spkezr(target, et, frame, "NONE", observer)[0] for et in ets])
    # A few ulp of the largest term, on top of the rotation's own agreement.
    rot = 2 * _tolerance(frame, "J2000", ets)[:, None]
    scale = np.abs(want[:, :3]).max(axis=1, keepdims=True)
    assert np.all(np.abs(got[:, :3] - want[:, :3]) <= 8 * np.finfo(float).eps * scale + rot * scale)
    vscale = np.abs(want[:, 3:]).max(axis=1, keepdims=True) + 1e-4 * scale
    assert np.all(np.abs(got[:, 3:] - want[:, 3:]) <= 1e-12 * vscale + rot * vscale)


@pytest.mark.parametrize("target, observer, frame, correction", [
    ("EARTH", "MOON", "MOON_ME", "LT+S"), ("SUN", "MARS BARYCENTER", "IAU_MARS", "CN+S"),
    ("MARS BARYCENTER", "EARTH", "IAU_MARS", "LT"), ("MOON", "EARTH", "IAU_EARTH", "XLT+S"),
    ("SUN", "EARTH", "GALACTIC", "LT+S"), ("MOON", "EARTH", "ECL_BOX_ARCSEC", "CN"),
])
def test_apparent_states_in_any_frame(files, kernels, oracle, target, observer, frame, correction):
    # A frame that turns is taken when its centre is seen, as spkezr does.
    ets = _epochs(files)[:6]
    got, lt = kernels.apparent_state(target, observer, ets, frame, correction=correction)
    want = [oracle.spkezr(target, et, frame, correction, observer) for et in ets]
    states = np.array([w[0] for w in want])
    scale = np.abs(states[:, :3]).max(axis=1, keepdims=True)
    rot = 2 * _tolerance(frame, "J2000", ets)[:, None]
    assert np.all(np.abs(got[:, :3] - states[:, :3]) <= 1e-12 * scale + rot * scale)
    vscale = np.abs(states[:, 3:]).max(axis=1, keepdims=True) + 1e-4 * scale
    assert np.all(np.abs(got[:, 3:] - states[:, 3:]) <= 1e-10 * vscale + rot * vscale)
    np.testing.assert_allclose(lt, [w[1] for w in want], rtol=1e-13)


@pytest.mark.parametrize("call, frame, error, match", [
    # CK frames are evaluated: without the spacecraft's clock, they fail naming the frame and what is missing.
    ("pxform", "SC_CAMERA", MissingKernelError, r"CK frame SC_BUS \(-99000, class id -99000\) at ET 0: .*SCLK_DATA_TYPE_99"),
    ("sxform", "SC_BUS", MissingKernelError, r"CK frame SC_BUS .*load its SCLK kernel"),
    ("pxform", "MY_DYNAMIC", FrameError, r"MY_DYNAMIC .*class 5 dynamic.*FRAME_-99200_RELATIVE is not set"),
    ("pxform", "LOOP_A", FrameError, r"LOOP_A -> LOOP_B -> LOOP_A .*cycle"),
    ("pxform", "SKEW", FrameError, r"TKFRAME_-1402_MATRIX is not a rotation matrix"),
    ("sxform", "NO_SPEC", FrameError, r"the kernel variable TKFRAME_-1403_SPEC is not set"),
    ("pxform", "IAU_DEIMOS", FrameError, r"BODY402_NUT_PREC_RA .*BODY4_NUT_PREC_ANGLES"),
    ("pxform", "IAU_GANYMEDE", MissingKernelError, r"no text PCK constants are loaded for body 503"),
    ("pxform", "NO_SUCH_FRAME", FrameError, r"unknown frame 'NO_SUCH_FRAME'"),
    ("pxform", 123456789, FrameError, r"unknown frame code 123456789"),
])
def test_frames_that_cannot_be_evaluated_are_refused(files, call, frame, error, match):
    k = Kernels(*files["paths"], files["broken"])
    with pytest.raises(error, match=match):
        getattr(k, call)("J2000", frame, [0.0, 1.0])
    if call == "pxform" and isinstance(frame, str) and frame.startswith(("SC_", "MY_")):
        with pytest.raises(error, match=match):
            k.state("MOON", "EARTH", 0.0, frame)


def test_spk_segments_in_body_fixed_frames_are_rotated(files, kernels, tmp_path, oracle):
    from kernwerk import SpkWriter

    ets = np.linspace(0.0, 86400.0, 5)
    moon = kernels.state("MOON", "EARTH", ets, "IAU_EARTH")
    w = SpkWriter()
    w.add_type9(-77, 399, moon, ets, frame=oracle.namfrm("IAU_EARTH"), degree=3)
    path = tmp_path / "fixed.bsp"
    w.write(str(path))
    k = Kernels(*files["paths"], str(path))
    got = k.state(-77, "EARTH", ets, "J2000")
    want = kernels.state("MOON", "EARTH", ets, "J2000")
    np.testing.assert_allclose(got[:, :3], want[:, :3], rtol=0, atol=1e-7)


def test_batches_do_not_depend_on_threads(kernels):
    ets = np.linspace(-1e8, 1e8, 10001)
    one = kernels.sxform("IAU_MARS", "MARS_INSTR", ets, threads=1)
    two = kernels.sxform("IAU_MARS", "MARS_INSTR", ets, threads=2)
    assert np.array_equal(one, two)
    with pytest.raises(Exception, match=r"epoch is NaN.*epoch index 3"):
        kernels.pxform("J2000", "IAU_MARS", [0.0, 1.0, 2.0, np.nan])



# Batches whose output passes 4 MiB are stored past the caches: the rows
# must be those of small batches, bit for bit, on the text PCK path in both
# directions and on a general chain, with an odd epoch count (3x3 rows then
# start at every other 16-byte boundary) and from a strided view.
@pytest.mark.parametrize("call, pair", [("pxform", ("IAU_MARS", "J2000")), ("pxform", ("J2000", "IAU_MARS")),
                                        ("sxform", ("IAU_MARS", "J2000")), ("sxform", ("J2000", "IAU_MARS")),
                                        ("sxform", ("IAU_MARS", "MARS_INSTR")), ("pxform", ("MARS_INSTR", "ECLIPJ2000"))])
def test_large_batches_are_the_rows_of_small_ones(kernels, call, pair):
    ets = np.linspace(-3e9, 3e9, 2 * 70001)[::2]
    fn = getattr(kernels, call)
    big = fn(*pair, ets, threads=2)
    small = np.concatenate([fn(*pair, ets[i:i + 999]) for i in range(0, len(ets), 999)])
    assert big.nbytes >= 4 << 20
    assert np.array_equal(big.view(np.uint64), small.view(np.uint64))

def _tk_frame(name, code, center=499):
    return (f"FRAME_{name} = {code}\nFRAME_{code}_NAME = '{name}'\nFRAME_{code}_CLASS = 4\n"
            f"FRAME_{code}_CLASS_ID = {code}\nFRAME_{code}_CENTER = {center}\nTKFRAME_{code}_RELATIVE = 'J2000'\n"
            f"TKFRAME_{code}_SPEC = 'ANGLES'\nTKFRAME_{code}_ANGLES = ( 10 20 30 )\nTKFRAME_{code}_AXES = ( 3 1 3 )\n"
            f"TKFRAME_{code}_UNITS = 'DEGREES'\n")


# Frame kernels reusing a built-in frame's name or code: the built-in frame
# keeps both, as in the toolkit; a reused name leaves the kernel's frame known
# by its code, a reused code makes the kernel's name another name of the
# built-in frame. (frame kernel, names and codes asked)
BUILTIN_REUSE = [
    (_tk_frame("IAU_MARS", 1499999), ["IAU_MARS"], [10014, 1499999]),
    (_tk_frame("ECLIPJ2000", 1400017, 0), ["ECLIPJ2000"], [17, 1400017]),
    (_tk_frame("MY_EARTH", 10013, 399), ["MY_EARTH", "IAU_EARTH"], [10013]),
    (_tk_frame("IAU_EARTH", 10013, 399), ["IAU_EARTH"], [10013]),
]


@pytest.mark.parametrize("kernel, names, codes", BUILTIN_REUSE)
def test_kernel_frames_never_replace_builtin_ones(kernel, names, codes, tmp_path):
    tpc, fk = tmp_path / "iau.tpc", tmp_path / "reuse.tf"
    tpc.write_text(TEXT_PCK)
    fk.write_text("KPL/FK\n\\begindata\n" + kernel + "\\begintext\n")
    k = Kernels(str(tpc), str(fk))
    sp.kclear()
    try:
        sp.furnsh(str(tpc))
        sp.furnsh(str(fk))
        for name in names:
            assert k.frame_info(name).code == sp.namfrm(name)
            assert np.max(np.abs(k.pxform("J2000", name, 1e3) - sp.pxform("J2000", name, 1e3))) < 1e-14
        for code in codes:
            info = k.frame_info(code)
            assert (info.name, (info.center, info.frame_class, info.class_id)) == (sp.frmnam(code), sp.frinfo(code))
    finally:
        sp.kclear()
