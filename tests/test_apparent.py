"""Apparent states, sites and azimuth/elevation against the NAIF toolkit
(spiceypy spkezr, spkcpo, spkcpt, azlcpo; the same files loaded in the same
order): DE440, a toolkit-written spacecraft kernel and the Earth orientation
kernel; every correction, for the Moon, Mars, the Sun and the spacecraft,
seen from the Earth's center and from three sites.

Both sides sum the same segments relative to the barycenter and follow the
same light-time steps (the converged forms stop as the toolkit does), so the
differences are roundings of states some 1.5e8 km from the barycenter (up to 2.4e-7 km
over 10^4 epochs a case) and of light times of up to 1400 s (up to 9e-13 s).
Velocities with stellar aberration differ by about 1e-11 km/s, but by up to
9e-9 km/s where the line of sight lies within half a degree of the
observer's velocity: there the axis of the aberration rotation (u x v) is
ill-conditioned, and the rate of the shift is computed differently (here
from the shift written as |p| (w - (u.w) u) + p (cos phi - 1), which has no
axis). In ITRF93 (and for azimuth/elevation) the toolkit sums the Earth's
orientation series differently, by up to 1e-14 rad, some 1e-6 km at the
distance of the Sun or Mars.

KERNWERK_APPARENT_EPOCHS sets the epochs per case (default 100; the figures
of the report come from 10000); `pytest -s` prints the worst differences.
"""

import math
import os

import numpy as np
import pytest

import kernwerk
from kernwerk import BodyNameError, CoverageError, EpochError, Kernels, Site

sp = pytest.importorskip("spiceypy")

N = int(os.environ.get("KERNWERK_APPARENT_EPOCHS", "100"))
DAY = 86400.0
T0 = 6.3e8  # 2019-12-19
SC = -1001
CORRECTIONS = ["NONE", "LT", "LT+S", "CN", "CN+S", "XLT", "XLT+S", "XCN", "XCN+S"]
TARGETS = {"Moon": 301, "Mars": 4, "Sun": 10, "spacecraft": SC}
SITES = {"high latitude": (78.2232, 15.6267, 0.5), "equator": (0.0, 100.0, 0.0),
         "negative longitude": (-24.6272, -70.4042, 2.635)}
a, f = kernwerk.WGS84.a, kernwerk.WGS84.f


@pytest.fixture(scope="module")
def craft_path(tmp_path_factory):
    """A spacecraft in Earth orbit (Type 13, J2000) for two days from T0."""
    path = tmp_path_factory.mktemp("craft") / "craft.bsp"
    grid = T0 + np.arange(0.0, 2 * DAY + 1, 300.0)
    w = 2 * math.pi / 5600.0
    states = [[7000 * math.cos(w * (t - T0)), 6600 * math.sin(w * (t - T0)), 2300 * math.sin(w * (t - T0)),
               -7000 * w * math.sin(w * (t - T0)), 6600 * w * math.cos(w * (t - T0)),
               2300 * w * math.cos(w * (t - T0))] for t in grid]
    handle = sp.spkopn(str(path), "kernwerk test", 0)
    try:
        sp.spkw13(handle, SC, 399, "J2000", grid[0], grid[-1], "LEO", 7, len(grid), states, grid)
    finally:
        sp.spkcls(handle)
    return str(path)


@pytest.fixture(scope="module")
def both(de440_path, craft_path, tmp_path_factory):
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    # azlcpo takes the Earth's ellipsoid from the kernel pool: WGS84's here.
    radii = tmp_path_factory.mktemp("pck") / "wgs84.tpc"
    radii.write_text(f"\\begindata\nBODY399_RADII = ( {a!r} {a!r} {a * (1 - f)!r} )\n\\begintext\n")
    paths = [de440_path, craft_path, eop]
    for p in paths + [str(radii)]:
        sp.furnsh(p)
    yield Kernels(*paths)
    for p in paths + [str(radii)]:
        sp.unload(p)


def epochs(target):
    rng = np.random.default_rng(abs(target))
    if target == SC:  # inside the spacecraft's coverage, 2 s clear of its ends for the aberration's acceleration
        return np.sort(rng.uniform(T0 + 2, T0 + 2 * DAY - 2, N))
    return np.sort(rng.uniform(0.0, 8.5e8, N))  # 2000 to 2026, inside the Earth orientation kernel


WORST = {}


def record(kind, dp, dv, dl):
    prev = WORST.get(kind, (0.0, 0.0, 0.0))
    WORST[kind] = (max(prev[0], dp), max(prev[1], dv), max(prev[2], dl))


# (observer kind, target kind): the toolkit call for one epoch
def toolkit(target, observer, et, frame, corr):
    if isinstance(observer, Site):
        return sp.spkcpo(str(target), et, frame, "OBSERVER", corr, list(observer.position), "EARTH", "ITRF93")
    if isinstance(target, Site):
        return sp.spkcpt(list(target.position), "EARTH", "ITRF93", et, frame, "OBSERVER", corr, str(observer))
    return sp.spkezr(str(target), et, frame, corr, str(observer))


OBSERVERS = {"Earth's center": 399, **{name: Site.geodetic(*v) for name, v in SITES.items()}}
CASES = [(t, o, "J2000") for t in TARGETS for o in OBSERVERS]
CASES += [("Moon", "Earth's center", "ECLIPJ2000"), ("Mars", "Earth's center", "ITRF93"),
          ("Moon", "high latitude", "ITRF93")]
# Sites as targets (spkcpt): a ground station seen from the spacecraft and the Moon.
CASES += [(site, seen_from, "J2000") for site in SITES for seen_from in ("spacecraft", "Moon")]


@pytest.mark.parametrize("corr", CORRECTIONS)
@pytest.mark.parametrize("target_name, observer_name, frame", CASES)
def test_against_the_toolkit(both, target_name, observer_name, frame, corr):
    if target_name in SITES:
        target, observer = OBSERVERS[target_name], TARGETS[observer_name]
        ets = epochs(observer)
    else:
        target, observer = TARGETS[target_name], OBSERVERS[observer_name]
        ets = epochs(target)
    got, lts = both.apparent_state(target, observer, ets, frame, correction=corr, threads=2)
    want = [toolkit(target, observer, et, frame, corr) for et in ets]
    ws, wl = np.array([w[0] for w in want]), np.array([w[1] for w in want])
    dp = np.abs(got[:, :3] - ws[:, :3]).max()
    dv = np.abs(got[:, 3:] - ws[:, 3:]).max()
    dl = np.abs(lts - wl).max()
    kind = f"{'site' if target_name in SITES else target_name} from " \
           f"{'a site' if observer_name in SITES else observer_name}, {corr}, {frame}"
    record(kind, dp, dv, dl)
    # ITRF93: the Earth's angles differ by a few 1e-15 rad (see above).
    pos_tol = 1e-6 if frame != "ITRF93" else max(1e-6, 1e-14 * np.linalg.norm(ws[:, :3], axis=1).max())
    vel_tol = 2e-8 if corr.endswith("+S") else 1e-9
    assert dp <= pos_tol and dl <= 1e-12 and dv <= vel_tol, (dp, dv, dl)
    assert got.shape == ets.shape + (6,) and lts.shape == ets.shape


@pytest.mark.parametrize("corr", ["NONE", "LT+S", "CN+S", "XLT"])
@pytest.mark.parametrize("site_name", list(SITES))
def test_azel_against_azlcpo(both, site_name, corr):
    site = OBSERVERS[site_name]
    for name, target in TARGETS.items():
        ets = epochs(target)
        az, el, rng, daz, delev, drng = both.azel(target, site, ets, correction=corr, rates=True)
        # azccw=False, elplsz=True: azimuth from north toward east, elevation up.
        want = np.array([sp.azlcpo("ELLIPSOID", str(target), et, corr, False, True, list(site.position), "EARTH",
                                   "ITRF93")[0] for et in ets])
        dd = np.degrees
        # Angles as the distances across the line of sight they make at the
        # target's range (the azimuth's on the sky, as it is ill-conditioned
        # near the zenith), held to the positions' bound in ITRF93.
        daz_rad = np.abs((np.radians(az) - want[:, 1] + math.pi) % (2 * math.pi) - math.pi)
        across = max((daz_rad * np.cos(np.radians(el)) * rng).max(), (np.abs(np.radians(el) - want[:, 2]) * rng).max())
        record(f"azel {name} from a site, {corr}", across, np.abs(drng - want[:, 3]).max(),
               np.abs(rng - want[:, 0]).max())
        assert across < max(1e-6, 1e-14 * rng.max()) and np.abs(rng - want[:, 0]).max() < 1e-6
        np.testing.assert_allclose(daz, dd(want[:, 4]), rtol=1e-6, atol=1e-12)
        np.testing.assert_allclose(delev, dd(want[:, 5]), rtol=1e-6, atol=1e-12)
        np.testing.assert_allclose(drng, want[:, 3], rtol=0, atol=2e-8 if corr.endswith("+S") else 1e-9)
        assert ((az >= 0) & (az < 360)).all()


def test_worst_disagreement_report():
    # Printed with `pytest -s`: position km (azel: across the line of sight, km), velocity km/s (azel: range
    # rate), light time s (azel: range km).
    for kind, (p, v, l) in sorted(WORST.items()):
        print(f"\n{kind:45s} {p:9.2e} {v:9.2e} {l:9.2e}")


def test_geodetic_sites_against_the_toolkit():
    rng = np.random.default_rng(5)
    for lat, lon, h in zip(rng.uniform(-90, 90, 200), rng.uniform(-540, 540, 200), rng.uniform(-5, 40000, 200)):
        s = Site.geodetic(lat, lon, h, allow_any_height=True)
        want = sp.georec(math.radians(lon), math.radians(lat), h, a, f)
        assert np.abs(np.array(s.position) - want).max() < 1e-11 * max(1.0, np.linalg.norm(want))
        back = Site.itrf93(s.position, allow_any_height=True)
        assert abs(back.latitude - lat) < 1e-12 and abs(back.height - h) < 1e-8
        assert abs((back.longitude - lon + 180) % 360 - 180) < 1e-12 or abs(lat) > 90 - 1e-9
    pole = Site.geodetic(90, 10, 1.0)
    assert pole.position[:2] == (0.0, 0.0) and pole.position[2] == pytest.approx(a * (1 - f) + 1.0, abs=1e-12)
    other = Site.geodetic(10, 20, ellipsoid=(6378.1366, 1 / 298.25))
    np.testing.assert_allclose(other.position, sp.georec(math.radians(20), math.radians(10), 0, 6378.1366,
                                                         1 / 298.25), rtol=0, atol=1e-10)


def test_threads_give_identical_bits(both):
    site = OBSERVERS["negative longitude"]
    ets = np.random.default_rng(3).uniform(0, 8e8, 20_000)
    one = both.apparent_state("MOON", site, ets, correction="CN+S", threads=1)
    for threads in (2, 3, None):
        other = both.apparent_state("MOON", site, ets, correction="CN+S", threads=threads)
        assert np.array_equal(one[0], other[0]) and np.array_equal(one[1], other[1])
    assert np.array_equal(one[0][::-3], both.apparent_state("MOON", site, ets[::-3], correction="CN+S")[0])
    az = both.azel("MOON", site, ets, threads=1)
    assert all(np.array_equal(x, y) for x, y in zip(az, both.azel("MOON", site, ets, threads=3)))
    # Scalars give the batch's numbers.
    s, lt = both.apparent_state("MOON", site, float(ets[7]), correction="CN+S")
    assert np.array_equal(s, one[0][7]) and lt == one[1][7]
    assert np.array_equal(both.state("MOON", site, ets[:5]), both.apparent_state("MOON", site, ets[:5], correction="NONE")[0])


BAD = [
    (lambda k: k.apparent_state(301, 399, T0, correction="LT+X"), ValueError, r"'LT\+X' \(accepted: NONE, LT, LT\+S"),
    (lambda k: k.apparent_state(301, 399, T0, correction="S"), ValueError, "accepted"),
    (lambda k: k.apparent_state(301, 399, T0, correction=None), TypeError, "correction"),
    (lambda k: Site.geodetic(90.5, 0), ValueError, r"latitude must lie in \[-90, 90\] degrees, not 90.5"),
    (lambda k: Site.geodetic(-91, 0), ValueError, "latitude"),
    (lambda k: Site.geodetic(0, math.inf), ValueError, "longitude must be finite"),
    (lambda k: Site.geodetic(0, 0, math.nan), ValueError, "height must be finite"),
    (lambda k: Site.geodetic(0, 0, ellipsoid=(-1.0, 0.0)), ValueError, "radius"),
    (lambda k: Site.itrf93([6000.0, math.nan, 0.0]), ValueError, "must be finite"),
    (lambda k: Site.itrf93([6000.0, 0.0]), ValueError, "three components"),
    (lambda k: Site.geodetic("north", 0), TypeError, "latitude"),
    (lambda k: k.apparent_state("NOT A BODY", 399, T0), BodyNameError, "NOT A BODY"),
    (lambda k: k.apparent_state(301, 499, T0), CoverageError, r"seen from body 499 .*body 499"),
    (lambda k: k.apparent_state(SC, OBSERVERS["equator"], T0 - DAY), CoverageError, "body -1001"),
    # 1990: DE440 covers it, the Earth orientation kernel does not.
    (lambda k: k.azel(301, OBSERVERS["equator"], [T0, -3e8]), CoverageError,
     r"ITRF93 .*covers et -300000000.*\(epoch index 1\)"),
    (lambda k: k.apparent_state(301, 399, [T0, math.nan], correction="CN"), EpochError, r"NaN \(epoch index 1\)"),
    (lambda k: k.azel(301, 399, T0), TypeError, "Site"),
]


@pytest.mark.parametrize("call, exc, match", BAD)
def test_bad_inputs(both, call, exc, match):
    with pytest.raises(exc, match=match):
        call(both)


@pytest.mark.parametrize("target, observer", [(301, "equator"), (10, "equator"), (4, "high latitude"),
                                              ("equator", 301)])
def test_blocks_that_repeat_give_the_single_epoch_bits(both, target, observer):
    # Links the site's body shares with the other end (the Earth-Moon
    # barycenter's) are kept by their epochs: blocks of 64 that repeat, and
    # that differ from one before them in one epoch only, must not mix.
    base = np.random.default_rng(5).uniform(0, 8e8, 64)
    near = base.copy()
    near[-1] += 1.0
    ets = np.concatenate([base, base, near, base, near[:40], base[:40]])
    target, observer = OBSERVERS.get(target, target), OBSERVERS.get(observer, observer)
    got, lts = both.apparent_state(target, observer, ets, correction="LT+S", threads=1)
    for i in range(len(ets)):
        s, lt = both.apparent_state(target, observer, float(ets[i]), correction="LT+S")
        assert np.array_equal(s, got[i]) and lt == lts[i], i
