"""Traps that gave wrong answers without an error: heights in metres, the
order of azimuth and elevation, pickled sets that were closed or lost the
process-wide names."""

import math
import pickle
import subprocess
import sys

import numpy as np
import pytest

import kernwerk
from kernwerk import AzEl, AzElRates, Kernels, Site

# (build, accepted?) Heights in km on the Earth: -15 to 100; metres are refused
# with a message that names them, whether given as a height or as a position.
HEIGHTS = [
    (lambda: Site.geodetic(28.76, -17.88, 2.396), True),
    (lambda: Site.geodetic(28.76, -17.88, 2396), False),
    (lambda: Site.geodetic(31.5, 35.4, -0.43), True),  # the Dead Sea shore
    (lambda: Site.geodetic(0.0, 0.0, -15.5), False),
    (lambda: Site.geodetic(0.0, 0.0, 99.0), True),
    (lambda: Site.itrf93((6378.137, 0.0, 0.0)), True),
    (lambda: Site.itrf93((6378137.0, 0.0, 0.0)), False),  # metres
    (lambda: Site.itrf93((0.0, 0.0, 0.0)), False),
    (lambda: Site.geodetic(0.0, 0.0, 35786.0, allow_any_height=True), True),  # geostationary, on purpose
]


@pytest.mark.parametrize("build, ok", HEIGHTS, ids=range(len(HEIGHTS)))
def test_site_heights_in_metres_are_refused(build, ok):
    if ok:
        assert -15 <= build().height <= 100 or build().height == 35786.0
    else:
        with pytest.raises(ValueError, match=r"outside -15 to 100 km.*not metres"):
            build()


def test_azel_fields_by_name_match_the_toolkits_order(de421_path):
    sp = pytest.importorskip("spiceypy")
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    k = Kernels(de421_path, eop)
    site = Site.geodetic(-24.6272, -70.4042, 2.635)
    ets = np.array([8.2e8, 8.2e8 + 3600.0])
    sp.furnsh([de421_path, str(eop)])
    sp.pdpool("BODY399_RADII", [6378.137, 6378.137, 6378.137 * (1 - 1 / 298.257223563)])
    try:
        for rates, kind in ((False, AzEl), (True, AzElRates)):
            for et in (ets, float(ets[0])):
                got = k.azel("MOON", site, et, rates=rates)
                assert type(got) is kind and got._fields[:3] == ("azimuth", "elevation", "range")
                for i, e in enumerate(np.atleast_1d(et)):
                    # azlcpo: (range, az, el, range rate, az rate, el rate), radians
                    want = sp.azlcpo("ELLIPSOID", "MOON", e, "LT+S", False, True, list(site.position), "EARTH",
                                     "ITRF93")[0]
                    pick = lambda v: np.atleast_1d(v)[i]  # noqa: E731
                    assert pick(got.range) == pytest.approx(want[0], rel=1e-12)
                    assert pick(got.azimuth) == pytest.approx(math.degrees(want[1]), abs=1e-9)
                    assert pick(got.elevation) == pytest.approx(math.degrees(want[2]), abs=1e-9)
                    if rates:
                        assert pick(got.range_rate) == pytest.approx(want[3], rel=1e-9)
                        assert pick(got.elevation_rate) == pytest.approx(math.degrees(want[5]), rel=1e-6)
    finally:
        sp.kclear()


CHILD = ("import pickle, sys; k = pickle.loads(sys.stdin.buffer.read()); "
         "print(k.body_code('MY ALIAS'), k.body_code('OWN NAME'), k.state('MY ALIAS', 399, 0.0)[0])")


def test_pickles_carry_global_names_and_refuse_when_closed(de421_path, tmp_path):
    (tmp_path / "alias.tk").write_text("KPL/FK\n\\begindata\nNAIF_BODY_NAME += 'MY ALIAS'\nNAIF_BODY_CODE += 301\n")
    (tmp_path / "own.tk").write_text("KPL/FK\n\\begindata\nNAIF_BODY_NAME += 'OWN NAME'\nNAIF_BODY_CODE += 399\n")
    kernwerk.load_text_kernel(tmp_path / "alias.tk")
    try:
        k = Kernels(de421_path, tmp_path / "own.tk")
        blob = pickle.dumps(k)
    finally:
        kernwerk.clear_text_kernels()
    # A fresh interpreter, as a spawned worker is: the names resolve there.
    out = subprocess.run([sys.executable, "-c", CHILD], input=blob, capture_output=True, check=True).stdout.split()
    assert out[:2] == [b"301", b"399"]
    assert float(out[2]) == k.state(301, 399, 0.0)[0]
    # ... and in this process, with the global binding gone, through the clone.
    assert pickle.loads(blob).body_code("my alias") == 301
    k.close()
    with pytest.raises(ValueError, match="cannot pickle a closed Kernels"):
        pickle.dumps(k)
