"""Searches of a condition that holds or not (occultations, a target or a ray in a field of view) against spiceypy's
gfoclt, gftfov and gfrfov on the same kernels, step and tolerance; and the progress hook of every search."""

import math

import numpy as np
import pytest

import kernwerk
from kernwerk import conics, events

sp = pytest.importorskip("spiceypy")

DAY = 86400.0
T0 = 1e8
# 2024-01-01 00:00 TDB to 2025-01-01: the partial eclipses of the Sun seen from the Earth's centre.
Y2024 = (757339200.0, 757339200.0 + 366 * DAY)
DALLAS, ALBUQUERQUE = 765873669.0, 750573309.0  # the total eclipse of 2024-04-08, the annular one of 2023-10-14


def _load(files):
    sp.kclear()
    for f in files:
        sp.furnsh(f)


@pytest.fixture(scope="module")
def eclipse_files(de421_path, tmp_path_factory):
    """DE421, IAU constants with radii, two sites on the Earth as ephemerides (Dallas -399001, Albuquerque
    -399002; two days around their eclipses) and an orbiter 100 km above the Moon (-85) for a day."""
    from test_frames import TEXT_PCK
    from test_surface import RADII, SITES

    d = tmp_path_factory.mktemp("conditions")
    (d / "iau.tpc").write_text(TEXT_PCK + RADII)
    _load([de421_path, str(d / "iau.tpc")])
    w = kernwerk.SpkWriter()
    for code, lat, lon, et in SITES:
        r = sp.georec(math.radians(lon), math.radians(lat), 0.0, 6378.1366, (6378.1366 - 6356.7519) / 6378.1366)
        ets = np.arange(et - DAY, et + DAY + 1.0, 120.0)
        w.add_type9(code, 399, [sp.sxform("IAU_EARTH", "J2000", e) @ np.r_[r, 0, 0, 0] for e in ets], ets)
    ets = np.linspace(T0, T0 + DAY, 1441)
    w.add_type9(-85, 301, conics([1837.4, 0.001, math.radians(90.0), 0.3, 0.2, 0.0, T0, 4902.8], ets), ets,
                degree=7)
    w.write(str(d / "extra.bsp"))
    sp.kclear()
    return [de421_path, str(d / "iau.tpc"), str(d / "extra.bsp")]


@pytest.fixture(scope="module")
def fov_files(tmp_path_factory):
    """The camera kernels of test_fov: spacecraft -77 passing Mars at 40 km/s, its instruments -77101..."""
    from test_fov import FK, SPAN, ik_text

    d = tmp_path_factory.mktemp("conditions_fov")
    (d / "cam.tf").write_text(FK)
    (d / "cam.ti").write_text(ik_text())
    t = np.linspace(-10.0, 2010.0, 5)
    w = kernwerk.SpkWriter()
    w.add_type9(499, 0, np.column_stack([2.0e8 + 0 * t, 24.0 * t, 0 * t, 0 * t, 24.0 + 0 * t, 0 * t]), t, degree=1)
    p0, v = np.array([-20000.0, -40000.0, 500.0]), np.array([0.0, 40.0, 0.0])
    w.add_type9(-77, 499, np.array([np.r_[p0 + v * (ti - SPAN[0]), v] for ti in t]), t, degree=1)
    w.write(d / "sc.bsp")
    return [str(d / n) for n in ("sc.bsp", "cam.tf", "cam.ti")]


def _cell(rows):
    cell = sp.cell_double(2 * len(rows) + 2)
    for a, b in rows:
        sp.wninsd(a, b, cell)
    return cell


def _rows(cell):
    return np.array([sp.wnfetd(cell, i) for i in range(sp.wncard(cell))]).reshape(-1, 2)


def _occ(typ, front, back, obs, corr, span, step, back_shape="ELLIPSOID"):
    back_frame = "IAU_" + back if back_shape == "ELLIPSOID" else " "

    def theirs(files):
        return sp.gfoclt(typ, front, "ELLIPSOID", "IAU_" + front, back, back_shape, back_frame, corr, obs, step,
                         _cell([span]))

    def mine(k):
        b = int(back) if back.startswith("-") else back
        o = int(obs) if obs.startswith("-") else obs
        return events.find_occultation(k, typ, front, b, o, window=[span], step=step, back_shape=back_shape,
                                       correction=corr)
    return "eclipse", theirs, mine


# A ray fixed on Mars that crosses instrument -77101's field as Mars turns: the boresight at 1000 s, turned by
# 3 degrees about Mars's pole, in IAU_MARS.
def _ray(files):
    b = sp.pxform("SC_CAM", "IAU_MARS", 1000.0) @ [1.0, 0.0, 0.0]
    return sp.rotvec(b, math.radians(3.0), 3)


def _fov_target(inst, shape, corr, step, target_frame=" "):
    def theirs(files):
        return sp.gftfov(str(inst), "MARS", shape, target_frame, corr, "-77", step, _cell([(0.0, 2000.0)]))

    def mine(k):
        return events.find_target_in_fov(k, inst, "MARS", -77, window=[(0.0, 2000.0)], step=step, shape=shape,
                                         correction=corr)
    return "fov", theirs, mine


def _fov_ray(corr, step):
    def theirs(files):
        return sp.gfrfov("-77101", _ray(files), "IAU_MARS", corr, "-77", step, _cell([(0.0, 2000.0)]))

    def mine(k):
        _load(k.files)
        ray = _ray(k.files)
        return events.find_ray_in_fov(k, -77101, ray, -77, frame="IAU_MARS", window=[(0.0, 2000.0)], step=step,
                                      correction=corr)
    return "fov", theirs, mine


# (label, (files, spiceypy call, kernwerk call)): solar eclipses of a year from the Earth's centre (partial only),
# of a day from Dallas (total) and Albuquerque (annular), the Moon orbiter behind the Moon, Mars entering the
# camera's field as a point and as an ellipsoid, and a ray on Mars crossing it.
CASES = [
    ("partial eclipses of 2024 LT", _occ("PARTIAL", "MOON", "SUN", "EARTH", "LT", Y2024, 1800.0)),
    ("any eclipse of 2024 CN+S", _occ("ANY", "MOON", "SUN", "EARTH", "CN+S", Y2024, 1800.0)),
    ("no total eclipse from the centre", _occ("FULL", "MOON", "SUN", "EARTH", "XCN", Y2024, 1800.0)),
    ("total from Dallas CN+S", _occ("FULL", "MOON", "SUN", "-399001", "CN+S", (DALLAS - DAY, DALLAS + DAY), 60.0)),
    ("partial from Dallas LT", _occ("PARTIAL", "MOON", "SUN", "-399001", "LT", (DALLAS - DAY, DALLAS + DAY), 60.0)),
    ("annular from Albuquerque NONE", _occ("ANNULAR", "MOON", "SUN", "-399002", "NONE",
                                           (ALBUQUERQUE - DAY, ALBUQUERQUE + DAY), 60.0)),
    ("any from Albuquerque XLT+S", _occ("ANY", "MOON", "SUN", "-399002", "XLT+S",
                                        (ALBUQUERQUE - DAY, ALBUQUERQUE + DAY), 60.0)),
    ("orbiter behind the Moon CN", _occ("ANY", "MOON", "-85", "EARTH", "CN", (T0 + 600, T0 + DAY - 600), 60.0,
                                        back_shape="POINT")),
    ("orbiter behind the Moon NONE", _occ("ANY", "MOON", "-85", "EARTH", "NONE", (T0 + 600, T0 + DAY - 600), 60.0,
                                          back_shape="POINT")),
    ("Mars point in a circle", _fov_target(-77101, "POINT", "NONE", 10.0)),
    ("Mars point in a rectangle LT+S", _fov_target(-77105, "POINT", "LT+S", 10.0)),
    ("Mars ellipsoid in a polygon CN", _fov_target(-77107, "ELLIPSOID", "CN", 10.0, "IAU_MARS")),
    ("ray in a circle", _fov_ray("NONE", 10.0)),
    ("ray in a circle S", _fov_ray("S", 10.0)),
]
EMPTY = {"no total eclipse from the centre"}
# The toolkit's converged light time stops at its own tolerance, which moves a point target's transitions by up to
# 0.6 ms (as in test_surface's occultation codes).
LOOSE = {"orbiter behind the Moon CN": 1e-3}


@pytest.mark.parametrize("label, case", CASES, ids=[c[0] for c in CASES])
def test_condition_searches_match_the_toolkit(eclipse_files, fov_files, label, case):
    which, theirs, mine = case
    files = eclipse_files if which == "eclipse" else fov_files
    _load(files)
    expected = _rows(theirs(files))
    got = mine(kernwerk.Kernels(*files))
    assert got.shape == expected.shape, (got, expected)
    assert (len(got) == 0) == (label in EMPTY)
    if len(got):
        assert np.abs(got - expected).max() <= LOOSE.get(label, 1e-5)
    sp.kclear()


def test_condition_search_refusals(eclipse_files, fov_files):
    k = kernwerk.Kernels(*eclipse_files)
    span = [(T0, T0 + DAY)]
    good = dict(window=span, step=60.0)
    calls = [
        (dict(step=0.0), ValueError, "step must be a positive"),
        (dict(step=-1.0), ValueError, "step must be a positive"),
        (dict(window=[(T0 + 10, T0)]), ValueError, "inverted"),
        (dict(window=np.empty((0, 2))), ValueError, "confinement window is empty"),
        (dict(correction="LT+X"), ValueError, "unknown aberration correction"),
        (dict(front_shape="POINT"), ValueError, "front target .* must be an ELLIPSOID"),
        (dict(back_shape="DISK"), ValueError, "unknown back_shape"),
        (dict(window=[(-5e9, -4.9e9)]), kernwerk.CoverageError, "searching at ET"),
    ]
    for change, error, message in calls:
        args = dict(good, **change)
        with pytest.raises(error, match=message):
            events.find_occultation(k, "ANY", "MOON", "SUN", "EARTH", **args)
    with pytest.raises(ValueError, match="unknown occultation type 'TOTAL'"):
        events.find_occultation(k, "TOTAL", "MOON", "SUN", "EARTH", **good)
    with pytest.raises(ValueError, match="only the occultation type ANY applies"):
        events.find_occultation(k, "FULL", "MOON", -85, "EARTH", back_shape="POINT", **good)
    with pytest.raises(ValueError, match="observer is target body 301"):
        events.find_occultation(k, "ANY", "MOON", "SUN", "MOON", **good)
    f = kernwerk.Kernels(*fov_files)
    near = dict(window=[(0.0, 2000.0)], step=10.0)
    with pytest.raises(kernwerk.MissingKernelError, match="INS-77999"):
        events.find_target_in_fov(f, -77999, "MARS", -77, **near)
    with pytest.raises(ValueError, match="shape must be 'POINT' or 'ELLIPSOID'"):
        events.find_target_in_fov(f, -77101, "MARS", -77, shape="SPHERE", **near)
    with pytest.raises(ValueError, match="for a ray"):
        events.find_ray_in_fov(f, -77101, [1.0, 0.0, 0.0], -77, correction="LT", **near)
    with pytest.raises(ValueError, match="not all zero"):
        events.find_ray_in_fov(f, -77101, [0.0, 0.0, 0.0], -77, **near)


@pytest.mark.parametrize("call", [
    lambda k, ets: k.occult("MOON", "ELLIPSOID", None, "SUN", "ELLIPSOID", None, "EARTH", ets, correction="LT"),
    lambda k, ets: k.occult("MOON", "ELLIPSOID", None, -85, "POINT", None, "EARTH", ets, correction="NONE"),
    lambda k, ets: events.find_occultation(k, "ANY", "MOON", "SUN", "EARTH", window=[(ets[0], ets[-1])],
                                           step=3600.0),
], ids=["ellipsoids", "point", "search"])
def test_a_frame_without_rotation_fails_even_where_the_bodies_are_apart(eclipse_files, tmp_path, call):
    # Radii but no pole constants: IAU_MOON and IAU_SUN have no rotation at any epoch. The codes decided from the bounding
    # spheres alone (the Moon far from the Sun and the orbiter) must not hide that.
    from test_surface import RADII

    (tmp_path / "radii.tpc").write_text(RADII)
    k = kernwerk.Kernels(eclipse_files[0], str(tmp_path / "radii.tpc"), eclipse_files[2])
    ets = np.linspace(T0, T0 + DAY, 25)
    with pytest.raises(kernwerk.MissingKernelError, match="no text PCK constants are loaded for body"):
        call(k, ets)


class Stop(Exception):
    pass


def test_progress_reaches_the_total_and_an_exception_stops_the_search(eclipse_files, capsys):
    k = kernwerk.Kernels(*eclipse_files)
    calls = []
    span = [(T0, T0 + DAY), (T0 + 2 * DAY, T0 + 2 * DAY)]
    want = events.find_distance(k, "MOON", "EARTH", "<", 4e5, window=span, step=1.0)
    got = events.find_distance(k, "MOON", "EARTH", "<", 4e5, window=span, step=1.0,
                               progress=lambda done, total: calls.append((done, total)))
    assert np.array_equal(got, want)
    assert calls[-1] == (86402, 86402) and len(calls) > 3
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:]))

    def stop(done, total):
        if done > total // 2:
            raise Stop(done)
    for search in (lambda p: events.find_distance(k, "MOON", "EARTH", "<", 4e5, window=span, step=1.0, progress=p),
                   lambda p: events.find_occultation(k, "ANY", "MOON", -85, "EARTH", back_shape="POINT",
                                                     window=span[:1], step=1.0, progress=p)):
        with pytest.raises(Stop):
            search(stop)
        search(True)
        err = capsys.readouterr().err
        assert err.endswith("100%\n") and err.count("\n") == 1
    with pytest.raises(TypeError, match="progress must be True, False or a callable"):
        events.find_distance(k, "MOON", "EARTH", "<", 4e5, window=span, step=1.0, progress="yes")


@pytest.mark.parametrize("words, options, search", [
    (["occultation", "ANY", "MOON", "-85", "EARTH"], ["--back-shape", "POINT", "--correction", "CN"],
     lambda k, w: events.find_occultation(k, "ANY", "MOON", -85, "EARTH", back_shape="POINT", correction="CN",
                                          window=w, step=60.0)),
    (["fov", "-77101", "MARS", "-77"], ["--target-shape", "ELLIPSOID", "--progress"],
     lambda k, w: events.find_target_in_fov(k, -77101, "MARS", -77, shape="ELLIPSOID", window=w, step=60.0)),
])
def test_find_command_conditions(eclipse_files, fov_files, capsys, words, options, search):
    from kernwerk.__main__ import main

    files = eclipse_files if words[0] == "occultation" else fov_files
    span = (T0 + 600, T0 + DAY - 600) if words[0] == "occultation" else (0.0, 2000.0)
    argv = ["find", *files, *words, "--start", str(span[0]), "--stop", str(span[1]), "--step", "60",
            "--format", "csv", *options]
    assert main(argv) == 0, capsys.readouterr().err
    out = capsys.readouterr()
    rows = [line.split(",") for line in out.out.splitlines()[1:]]
    want = search(kernwerk.Kernels(*files), [span])
    assert len(want) and [[float(r[2]), float(r[3])] for r in rows] == want.tolist()
    assert ("100%" in out.err) == ("--progress" in options)
    assert main(["find", *files, *words, "EXTRA", "--start", "0", "--stop", "1", "--step", "1"]) == 2
    assert "expected " + words[0] in capsys.readouterr().err


def test_ctrl_c_stops_a_search_without_a_progress_callable(eclipse_files):
    import os
    import subprocess
    import time

    k = kernwerk.Kernels(*eclipse_files)
    # The signal comes from another process: a thread of this one would need
    # the interpreter lock to send it, which the search takes only briefly.
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    t0 = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt):
            # Some 3e7 samples: tens of seconds unless stopped.
            events.find_distance(k, "MOON", "EARTH", "<", 4e5, window=[(0.0, 3e7)], step=1.0, threads=1)
    finally:
        killer.wait()
    assert time.perf_counter() - t0 < 10.0
