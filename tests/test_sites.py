"""Sites on any body against the toolkit (spiceypy spkcpo, spkcpt, azlcpo,
spkezr on the same files): a lander on Mars (IAU_MARS from a text PCK), a
station on the Moon (MOON_ME through lunarsky's frame kernels over the lunar
binary PCK) and a station kernel (an SPK object written by spkw08 with its
topocentric TK frame), with every correction: states within 1e-6 km and
1e-14 of the range, 1e-11 on the Moon (the lunar PCK's W, some 1e4 rad, is
evaluated to a few of its ulp, as test_frames notes)."""

import math
import pathlib
import pickle

import numpy as np
import pytest

from conftest import _data_file
from kernwerk import CoverageError, FrameError, Kernels, Site

sp = pytest.importorskip("spiceypy")

CORRECTIONS = ["NONE", "LT", "LT+S", "CN", "CN+S", "XLT", "XLT+S", "XCN", "XCN+S"]
PCK = r"""KPL/PCK
\begindata
BODY499_POLE_RA = ( 317.68143 -0.1061 0. )
BODY499_POLE_DEC = ( 52.88650 -0.0609 0. )
BODY499_PM = ( 176.630 350.89198226 0. )
BODY499_RADII = ( 3396.19 3396.19 3376.20 )
BODY301_RADII = ( 1737.4 1737.4 1737.4 )
NAIF_BODY_NAME += 'DSS-14'
NAIF_BODY_CODE += 399014
FRAME_DSS-14_TOPO = 1399014
FRAME_1399014_NAME = 'DSS-14_TOPO'
FRAME_1399014_CLASS = 4
FRAME_1399014_CLASS_ID = 1399014
FRAME_1399014_CENTER = 399014
TKFRAME_1399014_RELATIVE = 'ITRF93'
TKFRAME_1399014_SPEC = 'ANGLES'
TKFRAME_1399014_UNITS = 'DEGREES'
TKFRAME_1399014_AXES = ( 3, 2, 3 )
TKFRAME_1399014_ANGLES = ( -243.1104617 -54.5740 180.0 )
\begintext
"""


@pytest.fixture(scope="module")
def kernels(tmp_path_factory, de421_path):
    root = _data_file("lunarsky", "data")
    eop = _data_file("naif_eop_high_prec", "earth_latest_high_prec.bpc")
    if root is None or eop is None:
        pytest.skip("lunarsky and naif-eop-high-prec are needed")
    lunar = [str(sorted(pathlib.Path(root).rglob(n))[0])
             for n in ("moon_080317.tf", "moon_assoc_me.tf", "moon_pa_de421_1900-2050.bpc")]
    d = tmp_path_factory.mktemp("sites")
    (d / "sites.tpc").write_text(PCK)
    # DSS-14 relative to the Earth in ITRF93, drifting a few cm a year.
    pos, vel = np.array([-2353.6213, -4641.3414, 3677.0523]), np.array([-1.9e-11, 1.4e-11, 1.3e-12])
    handle = sp.spkopn(str(d / "stn.bsp"), "stations", 0)
    sp.spkw08(handle, 399014, 399, "ITRF93", 0.0, 1e9, "DSS-14", 1, 2,
              [list(pos) + list(vel), list(pos + 1e9 * vel) + list(vel)], 0.0, 1e9)
    sp.spkcls(handle)
    paths = [de421_path, str(eop), *lunar, str(d / "sites.tpc"), str(d / "stn.bsp")]
    sp.kclear()
    for p in paths:
        sp.furnsh(p)
    yield Kernels(*paths)
    sp.kclear()


def _worst(got, want, scale):
    return float(np.abs(got - want).max() / scale)


# (site, target, output frame); a site as target is seen from the target, in
# a turning frame taken when its centre is seen (spkcpt's CENTER).
CASES = [("mars", "EARTH", "IAU_MARS"), ("mars", "SUN", "J2000"), ("moon", "EARTH", "MOON_ME"),
         ("moon", "SUN", "ECLIPJ2000"), ("dss14", "MOON", "DSS-14_TOPO"), ("dss14", "SUN", "J2000")]


@pytest.mark.parametrize("corr", CORRECTIONS)
@pytest.mark.parametrize("where, target, frame", CASES)
def test_sites_on_any_body_against_the_toolkit(kernels, where, target, frame, corr):
    site = {"mars": lambda: kernels.site("MARS", 4.5024, 135.6234, -2.6),
            "moon": lambda: kernels.site("MOON", -43.3, -11.2, 0.5),
            "dss14": lambda: kernels.station("DSS-14")}[where]()
    ets = np.random.default_rng(len(where) + len(target)).uniform(1e8, 6e8, 40)
    rel = 1e-11 if where == "moon" else 1e-14
    got, lts = kernels.apparent_state(target, site, ets, frame, correction=corr, threads=2)
    az = kernels.azel(target, site, ets, correction=corr, rates=True)
    if site.station is not None:
        want = np.array([sp.spkezr(target, et, frame, corr, "DSS-14")[0] for et in ets])
        topo = np.array([sp.spkezr(target, et, "DSS-14_TOPO", corr, "DSS-14")[0] for et in ets])
        want_az = np.array([sp.recazl(s[:3], False, True) for s in topo])
        back = None
    else:
        at = (list(site.position), str(site.center), site.frame)
        want = np.array([sp.spkcpo(target, et, frame, "OBSERVER", corr, at[0], *at[1:])[0] for et in ets])
        want_az = np.array([sp.azlcpo("ELLIPSOID", target, et, corr, False, True, *at)[0][:3] for et in ets])
        back = np.array([sp.spkcpt(*at, et, frame, "CENTER", corr, target)[0] for et in ets])
        assert _worst(kernels.apparent_state(site, target, ets, frame, correction=corr)[0], back, 1.0) < \
            1e-6 + rel * np.linalg.norm(back[:, :3], axis=1).max()
    r, v = np.linalg.norm(want[:, :3], axis=1).max(), np.linalg.norm(want[:, 3:], axis=1).max()
    assert _worst(got[:, :3], want[:, :3], 1.0) < 1e-6 + rel * r
    assert _worst(got[:, 3:], want[:, 3:], 1.0) < (2e-8 if corr.endswith("+S") else 1e-9) + rel * v
    # Azimuth and elevation as distances across the line of sight.
    daz = np.abs((np.radians(az.azimuth) - want_az[:, 1] + math.pi) % (2 * math.pi) - math.pi)
    across = np.maximum(daz * np.cos(want_az[:, 2]), np.abs(np.radians(az.elevation) - want_az[:, 2])) * want_az[:, 0]
    assert across.max() < 1e-6 + rel * r and np.abs(az.range - want_az[:, 0]).max() < 1e-6 + rel * r
    assert got.shape == (40, 6) and lts.shape == (40,)


def test_site_and_station_errors(kernels):
    with pytest.raises(FrameError, match="NOWHERE"):
        kernels.site("MARS", 0, 0, frame="NOWHERE")
    with pytest.raises(FrameError, match="DSS-99_TOPO"):
        kernels.station(399014, frame="DSS-99_TOPO")
    with pytest.raises(CoverageError, match="no SPK segment"):
        kernels.station("PLUTO")
    lander = kernels.site("MARS", 10, 20)
    assert lander == Site.geodetic(10, 20, ellipsoid=lander.ellipsoid, center=499, frame="IAU_MARS")
    assert lander != Site.geodetic(10, 20, ellipsoid=lander.ellipsoid)
    for site in (lander, kernels.station("DSS-14")):
        again = pickle.loads(pickle.dumps(site))
        assert again == site and (again.center, again.frame, again.station) == (site.center, site.frame, site.station)
