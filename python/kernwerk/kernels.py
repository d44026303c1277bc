"""Kernel sets: SPK files, binary PCK files and text kernels answering as one.

    >>> k = kernwerk.Kernels("de440.bsp", "sat.bsp", "earth_latest_high_prec.bpc", "names.tf")
    >>> k.state("MY SAT", "MOON", ets, frame="ITRF93")     # shape ets.shape + (6,)
    >>> states, lt = k.apparent_state("MARS BARYCENTER", "EARTH", ets, correction="LT+S")
    >>> az, el, rng = k.azel("MOON", kernwerk.Site.geodetic(19.8207, -155.4681, 4.207), ets)

Precedence is the NAIF toolkit's: a file loaded later wins over one loaded
earlier, a later segment in a file over an earlier one, and the first segment
(in that order) whose coverage holds the epoch, both ends included, answers.
A state is resolved as the toolkit resolves it: the target's chain of
segments and the center's chain meet at the first body they share, and only
the links below it are evaluated. Segments referred to ECLIPJ2000 or ITRF93
are rotated into J2000 before they are summed; ITRF93 needs a loaded Earth
orientation PCK that covers the epoch.

Epochs are TDB seconds past J2000 (ET), or dates: ISO or toolkit strings
(UTC unless they name their scale), datetime, date and datetime64 values and
arrays of any of them, converted with `kernwerk.to_et` and the set's own
leapseconds kernel when it holds one. Positions km, velocities km/s.
"""

from __future__ import annotations

import datetime as _dt
import math
import operator
import os
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, overload

from . import _ext
from . import attitude as _attitude
from . import surface as _surface
from .attitude import CkSegment, Pointing
from .bodies import BodyRegistry, default_registry
from .clocks import SpacecraftClock
from .errors import BodyNameError, CoverageError, FileFormatError, FrameError, MissingKernelError
from .sites import AzEl, AzElRates, Ellipsoid, Site
from .surface import CurvePoints, Illumination, Intercept, LocalSolarTime, SubPoint
from .timescales import LeapSeconds, _is_astropy_time, to_et

if TYPE_CHECKING:
    import numpy as np

__all__ = ["Kernels", "FrameInfo", "FieldOfView"]


class FrameInfo(NamedTuple):
    """What a kernel set knows of a frame. `frame_class` is the toolkit's
    class: 1 inertial, 2 PCK (body-fixed, from binary or text PCK data), 3 CK,
    4 TK (fixed offset), 5 dynamic, 6 switch. `source` is the path of the
    frame kernel that defined it, None for a built-in frame."""

    name: str
    code: int
    frame_class: int
    class_id: int
    center: int
    source: str | None


class FieldOfView(NamedTuple):
    """An instrument's field of view, as the toolkit's ``getfov`` gives it:
    `shape` (CIRCLE, ELLIPSE, RECTANGLE or POLYGON), the name of the `frame`
    its vectors are given in, the `boresight` (3,) and the boundary vectors
    `bounds` (n, 3)."""

    shape: str
    frame: str
    boresight: Any
    bounds: Any

# NumPy is imported on first use: importing the package must not import it.

_FRAMES = {"J2000": 1, "ECLIPJ2000": 17, "ITRF93": 13000}
_FRAME_NAMES = {code: name for name, code in _FRAMES.items()}
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def _encode_path(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bytes:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"a kernel path must be str, bytes or os.PathLike, not {type(path).__name__!r}")
    return os.fsencode(os.path.abspath(os.fspath(path)))


def _check_threads(threads: Any) -> int | None:
    if threads is None:
        return None
    if isinstance(threads, bool):
        raise TypeError("threads must be a positive int or None, not bool")
    value = operator.index(threads)
    if value < 1:
        raise ValueError(f"threads must be a positive int or None, not {value}")
    return value


def _frame_code(frame: str | int, kernel_set: Any = None) -> int:
    """The NAIF code of a frame given by name or code. J2000, ECLIPJ2000 and
    ITRF93 are known to every set; other names and codes are looked up in
    `kernel_set` (its built-in frames and the frames of its frame kernels)."""
    if frame == "J2000":
        return 1
    if isinstance(frame, str):
        code = _FRAMES.get(frame.strip().upper())
        if code is not None:
            return code
        if kernel_set is not None:
            found = kernel_set.frame_code(frame)
            if found is not None:
                return int(found)
            raise FrameError(f"unknown frame {frame!r}: neither a built-in frame nor one of the loaded frame kernels")
    elif isinstance(frame, int) and not isinstance(frame, bool):
        if frame in _FRAME_NAMES:
            return frame
        if kernel_set is not None and _INT32_MIN <= frame <= _INT32_MAX and kernel_set.frame_info(frame) is not None:
            return frame
        if kernel_set is not None:
            raise FrameError(f"unknown frame code {frame}: neither a built-in frame nor one of the loaded frame "
                             "kernels")
    raise FrameError(f"unsupported frame {frame!r} (supported: J2000, ECLIPJ2000, ITRF93)")


def _correction(correction: Any) -> str:
    if not isinstance(correction, str):
        raise TypeError(f"correction must be a str such as 'LT+S', not {type(correction).__name__!r}")
    return correction


def _to_float64(et: Any) -> np.ndarray:
    import numpy as np

    try:
        arr = np.asarray(et, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError("et must be a number, a date or an array-like of them (numbers are TDB seconds past J2000)") \
            from exc
    return arr


def _epochs(et: Any, leapseconds: Callable[[], LeapSeconds | None]) -> np.ndarray:
    """`et` as float64 ET with its shape. Numbers are ET already and pass
    through (a contiguous float64 array is returned as it is, without a
    copy); dates (str in ISO or the toolkit's forms, datetime, date,
    datetime64, and arrays or lists of them) are converted by one call of
    `to_et`, with the leapseconds that `leapseconds()` returns (None: the
    installed ones), asked for only when dates are given."""
    import numpy as np

    if isinstance(et, np.ndarray):
        arr = et
    elif isinstance(et, (str, _dt.date, np.datetime64)) or _is_astropy_time(et):
        return np.asarray(to_et(et, leapseconds=leapseconds()), dtype=np.float64)
    elif isinstance(et, (list, tuple)) and et and isinstance(et[0], str):
        try:  # straight from the str objects, without a NumPy copy
            return np.asarray(to_et(et, leapseconds=leapseconds()), dtype=np.float64)
        except TypeError:
            arr = np.asarray(et)  # numbers among the strings: read through a str array
    else:
        try:
            arr = np.asarray(et)
        except ValueError as exc:  # ragged nesting
            raise TypeError(f"et cannot be read as an array of epochs: {exc}") from None
    kind = arr.dtype.kind
    if kind in "fiub":
        return _to_float64(arr)
    if kind == "O":
        try:  # numbers held as objects
            return np.asarray(arr, dtype=np.float64)
        except (TypeError, ValueError):
            pass
    if kind in "USMO":
        return np.asarray(to_et(arr, leapseconds=leapseconds()), dtype=np.float64)
    raise TypeError(f"cannot read epochs from an array of dtype {arr.dtype}; give numbers (ET) or dates")


def _variable_name(name: Any, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, not {type(name).__name__!r}")
    return name


def _flat(arr: np.ndarray) -> np.ndarray:
    # A 1-d array goes in as it is, strides and all; others are flattened,
    # which copies only when they are not contiguous.
    return arr if arr.ndim == 1 else arr.reshape(-1)


class Kernels:
    """An ordered set of kernel files: SPK ephemerides, binary PCK Earth
    orientation and text kernels (body names and codes, leapseconds).

    ``Kernels(*paths, threads=None)`` loads the files in order (later files
    take precedence). A file's kind is found from its content. `threads` is
    the default thread count of batches: None lets the set choose (all usable
    cores for large batches, one for small ones); results never depend on it.

    Each file is opened and mapped once per process, however many sets hold
    it. A set is safe to query from several threads, and loading or unloading
    never disturbs a batch running on another thread. Sets pickle as their
    paths and the body names bound process-wide (`kernwerk.load_text_kernel`)
    at that moment, so worker processes, spawned ones included, reopen the
    files themselves and resolve the same names; a text kernel among the
    set's own files travels as one of its paths, a meta-kernel as its own
    path (relative names in it are resolved again where it is unpickled,
    against that process's working directory). A closed set refuses to
    pickle.
    """

    def __init__(self, *paths: str | os.PathLike[str], threads: int | None = None) -> None:
        self._threads = _check_threads(threads)
        self._set = _ext.KernelSet()
        self._names = BodyRegistry(fallback=default_registry)
        self._name_cache: tuple[object, dict[str, int]] = (None, {})
        self._closed = False
        self._lsk: LeapSeconds | None | bool = False  # False: not read yet
        # Process-wide bindings carried from the process that pickled the set.
        self._carried: list[tuple[str, int]] = []
        if paths:
            self.load(*paths)

    # ------------------------------------------------------------------
    # Files

    def load(self, *paths: str | os.PathLike[str]) -> None:
        """Open the files and add them on top of the set, in order.

        SPK (DAF/SPK) and binary PCK (DAF/PCK) files are told from text
        kernels by their content; a DAF of any other kind, or a file that is
        no kernel at all (text with neither a KPL/ word on its first line
        nor a "begindata" marker, an empty file), raises FileFormatError,
        a missing file KernelFileError (errno and filename set). All or
        nothing: on an error no file is added. Loading a file that is
        already in the set moves it to the top.

        A meta-kernel (a text kernel that assigns KERNELS_TO_LOAD) loads the
        files it lists after itself, as the toolkit's furnsh does: "$SYMBOL"
        replaced from PATH_SYMBOLS/PATH_VALUES, an element ending in "+"
        continued by the next, and relative names resolved against the
        current directory at load time (not the meta-kernel's folder). A
        listed file that is missing or malformed fails the whole load,
        naming it and the meta-kernel; meta-kernels do not nest."""
        self._check_open()
        encoded = [_encode_path(p) for p in paths]
        self._set.load(encoded)
        self._refresh_names()

    def unload(self, path: str | os.PathLike[str]) -> None:
        """Remove a file from the set; what it shadowed answers again, and
        the kernel pool is rebuilt from the remaining text kernels. A
        meta-kernel is removed with the files it listed. ValueError when the
        file is not in the set; FileFormatError, leaving the set as it was,
        when a remaining kernel's "+=" would then append strings to numbers
        (or the reverse)."""
        self._check_open()
        if not self._set.unload(_encode_path(path)):
            raise ValueError(f"{os.fspath(path)!r} is not loaded in this set")
        self._refresh_names()

    @property
    def files(self) -> tuple[str, ...]:
        """The absolute paths of the loaded files, in load order (the last
        one has the highest precedence): a meta-kernel is followed by the
        files it listed."""
        return tuple(os.fsdecode(path) for path, _, _ in self._set.files())

    @property
    def _loaded(self) -> tuple[str, ...]:
        # The files loaded by name (meta-kernels without what they listed):
        # loading them again in order rebuilds the set.
        return tuple(os.fsdecode(path) for path, _, meta in self._set.files() if meta is None)

    @property
    def names(self) -> BodyRegistry:
        """The body names of the set: bindings of its text kernels first,
        then the package's default registry and the built-in table."""
        return self._names

    @property
    def leapseconds(self) -> dict[str, Any] | None:
        """The leapseconds fields (DELTA_T_A, K, EB, M, DELTA_AT) of the last
        loaded text kernel that defines them, or None. DELTA_AT is a list of
        (seconds, (year, month, day))."""
        return self._set.leapseconds()

    def close(self) -> None:
        """Release every file. The set can no longer be used; closing twice
        does nothing."""
        self._set.clear()
        self._closed = True

    def __enter__(self) -> Kernels:
        self._check_open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._closed:
            return "<Kernels (closed)>"
        args = [repr(p) for p in self._loaded]
        if self._threads is not None:
            args.append(f"threads={self._threads}")
        return f"Kernels({', '.join(args)})"

    def __reduce__(self) -> tuple[Any, ...]:
        if self._closed:
            raise ValueError("cannot pickle a closed Kernels: it holds no files; pickle it before closing it")
        return (_restore, (self._loaded, self._threads, self._carried + default_registry.bindings))

    # ------------------------------------------------------------------
    # Queries

    def body_code(self, body: str | int) -> int:
        """The NAIF code of a body given by name or code. Names go through
        the set's text kernels, then the default registry and the built-in
        table; BodyNameError when none knows the name."""
        if type(body) is int and _INT32_MIN <= body <= _INT32_MAX:
            return body
        if isinstance(body, str):
            # Names seen before, while neither the set's nor the default
            # registry's bindings have changed (each change replaces the
            # registry's maps, which the cache is keyed on).
            key, cache = self._name_cache
            if key is not default_registry._maps:
                self._name_cache = key, cache = default_registry._maps, {}
            code = cache.get(body)
            if code is None:
                code = self._code_of_name(body)
                if len(cache) >= 4096:
                    cache.clear()
                cache[body] = code
            return code
        if isinstance(body, bool):
            raise TypeError("a body must be a name (str) or a NAIF code (int), not bool")
        try:
            code = operator.index(body)
        except TypeError:
            raise TypeError(f"a body must be a name (str) or a NAIF code (int), not {type(body).__name__!r}") \
                from None
        if not _INT32_MIN <= code <= _INT32_MAX:
            raise BodyNameError(f"body code {code} is outside the 32-bit range of NAIF codes")
        return code

    def state(self, target: str | int, center: str | int, et: Any, frame: str | int = "J2000", *,
              threads: int | None = None) -> np.ndarray:
        """The state of `target` relative to `center` at `et`, in `frame`.

        `target` and `center` are body names, NAIF codes or `Site`s; `et` is TDB
        seconds past J2000, a number or any array-like (lists, integer or
        float32 arrays, non-contiguous and N-d arrays; a contiguous float64
        array is read in place), or dates in any form `kernwerk.to_et`
        reads ("2026-01-01T12:00", "2026 JAN 01 12:00 TDB", datetime,
        datetime64, and arrays or lists of them). `frame` is "J2000",
        "ECLIPJ2000", "ITRF93" or any other frame the set knows, by name (any
        case) or code (see `frame_info`). Returns float64 [x, y, z, vx, vy, vz] in km and km/s with
        shape ``np.shape(et) + (6,)``; (6,) for a scalar epoch.

        Raises CoverageError when no loaded data connects the bodies at an
        epoch (naming the body whose chain broke and its coverage),
        EpochError for a NaN epoch, MissingKernelError for ITRF93 without a
        loaded Earth orientation PCK, FrameError for a segment in a frame the
        set cannot rotate; a failing batch names the first failing epoch by
        its index (from 0)."""
        import numpy as np

        if self._closed:
            self._check_open()
        if isinstance(target, Site) or isinstance(center, Site):
            return self.apparent_state(target, center, et, frame, correction="NONE", threads=threads)[0]
        t, c = self.body_code(target), self.body_code(center)
        f = _frame_code(frame, self._set)
        n_threads = self._threads if threads is None else _check_threads(threads)
        if type(et) is float or type(et) is int:  # the common scalar call, without an array
            return np.array(self._set.state_one(t, c, f, float(et)))
        arr = self._epochs(et)
        if arr.ndim == 0:
            return np.array(self._set.state_one(t, c, f, float(arr)))
        out = np.empty(arr.shape + (6,))
        self._set.state(t, c, f, _flat(arr), out.reshape(-1, 6), n_threads or 0, list(arr.shape))
        return out

    def apparent_state(self, target: str | int | Site, observer: str | int | Site, et: Any,
                       frame: str | int = "J2000", *, correction: str = "LT+S",
                       threads: int | None = None) -> tuple[np.ndarray, Any]:
        """The state of `target` as `observer` sees it at `et`, and the
        one-way light time: spiceypy's ``spkezr(target, et, frame,
        correction, observer)`` (``spkcpo`` for an observer that is a `Site`,
        ``spkcpt`` for a target that is one), for every epoch at once.

        `target` and `observer` are body names, NAIF codes or `Site`s. `et`
        is TDB seconds past J2000 (a number or any array-like). `correction`
        is the toolkit's (case and blanks do not matter):

        * ``"NONE"``: the geometric state;
        * ``"LT"``: the target where it was when the light now reaching the
          observer left it (one step of the light-time equation from the
          geometric distance), ``"CN"`` the same converged;
        * ``"LT+S"``, ``"CN+S"``: plus stellar aberration, the shift due to
          the observer's velocity relative to the solar-system barycenter
          (the astrometric direction becomes the apparent one);
        * ``"XLT"``, ``"XCN"``, ``"XLT+S"``, ``"XCN+S"``: transmission, the
          target where light sent now by the observer will reach it.

        Velocities are the time derivatives of the corrected positions (the
        light-time rate and the rate of the aberration shift included), as
        the toolkit gives them. `frame` is any frame the set knows (name or
        code); a frame that turns (ITRF93, IAU_<body>, ...) is taken when its
        center is seen (at et minus the center's light time, as spkezr does),
        or at `et` for an observer that is a `Site` (its own frame at the
        instant of observation); a fixed one at `et`.

        Returns ``(states, light_times)``: float64 [x, y, z, vx, vy, vz] (km,
        km/s) of shape ``np.shape(et) + (6,)`` and seconds of shape
        ``np.shape(et)`` (a float for a scalar epoch). The light time is the
        corrected distance over c = 299792.458 km/s, before aberration.

        Raises ValueError for an unknown correction (listing the accepted
        ones) or a non-finite site; CoverageError when the set cannot
        resolve the target or observer at an epoch or at its light-time
        corrected epoch (a site needs the Earth and an Earth orientation
        PCK covering the epoch); EpochError for NaN epochs. A failing batch
        names the first failing epoch by its index."""
        import numpy as np

        self._check_open()
        t, o = self._endpoint(target), self._endpoint(observer)
        f = _frame_code(frame, self._set)
        corr = _correction(correction)
        n_threads = self._threads if threads is None else _check_threads(threads)
        if type(et) is float or type(et) is int:
            state, lt = _ext.apparent_one(self._set, t, o, f, corr, float(et))
            return np.array(state), lt
        arr = self._epochs(et)
        if arr.ndim == 0:
            state, lt = _ext.apparent_one(self._set, t, o, f, corr, float(arr))
            return np.array(state), lt
        out = np.empty(arr.shape + (6,))
        lts = np.empty(arr.shape)
        _ext.apparent(self._set, t, o, f, corr, _flat(arr), out.reshape(-1, 6), lts.reshape(-1), n_threads or 0,
                      list(arr.shape))
        return out, lts

    @overload
    def azel(self, target: str | int | Site, site: Site, et: Any, *, correction: str = ...,
             rates: Literal[False] = ..., threads: int | None = ...) -> AzEl: ...
    @overload
    def azel(self, target: str | int | Site, site: Site, et: Any, *, correction: str = ...,
             rates: Literal[True], threads: int | None = ...) -> AzElRates: ...
    @overload
    def azel(self, target: str | int | Site, site: Site, et: Any, *, correction: str = ...,
             rates: bool = ..., threads: int | None = ...) -> AzEl | AzElRates: ...
    def azel(self, target: str | int | Site, site: Site, et: Any, *, correction: str = "LT+S", rates: bool = False,
             threads: int | None = None) -> AzEl | AzElRates:
        """(azimuth, elevation, range) of `target` seen from `site` at `et`, a named tuple: read
        ``r.azimuth``, ``r.elevation``, ``r.range``.

        Conventions: azimuth in degrees from north toward east, in [0, 360)
        (0 at the zenith and nadir, where it is undefined); elevation in
        degrees, positive above the horizon; both in the site's east-north-up
        frame, whose up is the normal of the site's ellipsoid (the toolkit's
        ``azlcpo`` with method ELLIPSOID, azccw=False and elplsz=True, with
        that ellipsoid's radii as BODY399_RADII). Range in km. The direction
        is the apparent one for `correction` (default ``"LT+S"``: light time
        and stellar aberration, where the target appears; refraction is not
        modelled), in ITRF93 at `et`. From a site on another body (see
        `site`) the frame is the site's body frame at `et` and the
        east-north-up frame that of its planetodetic coordinates on the
        body's ellipsoid (azlcpo with that body and frame); from a station of
        a station kernel (see `station`) it is the station's topocentric
        frame at `et` (x north, y west, z up).

        Returns an `AzEl` (azimuth, elevation, range) of arrays shaped like
        `et` (floats for a scalar epoch); with ``rates=True`` an `AzElRates`
        that adds azimuth_rate, elevation_rate and range_rate (degrees per
        second, degrees per second, km/s), the azimuth rate NaN at the
        zenith and nadir. Errors as `apparent_state`."""
        import numpy as np

        self._check_open()
        if not isinstance(site, Site):
            raise TypeError(f"site must be a kernwerk.Site, not {type(site).__name__!r}")
        t = self._endpoint(target)
        corr = _correction(correction)
        n_threads = self._threads if threads is None else _check_threads(threads)
        arr = self._epochs(et)
        flat = _flat(arr) if arr.ndim else arr.reshape(1)
        out = np.empty((flat.shape[0], 6))
        lts = np.empty(flat.shape[0])
        if site._on_earth():
            lat, lon = site._lat_lon_radians()
            _ext.azel(self._set, t, list(site.position), lat, lon, corr, flat, out, lts, n_threads or 0,
                      list(arr.shape))
        else:
            # The site's own frame at et: its body's frame (east-north-up on
            # its ellipsoid), or a station's topocentric frame.
            frame = _frame_code(site.frame, self._set)
            topocentric = site.station is not None
            lat, lon = (0.0, 0.0) if topocentric else site._lat_lon_radians()
            _ext.azel(self._set, t, self._endpoint(site), lat, lon, corr, flat, out, lts, n_threads or 0,
                      list(arr.shape), frame, topocentric)
        out[:, [0, 1, 3, 4]] = np.degrees(out[:, [0, 1, 3, 4]])
        # The azimuth in degrees may round up to 360 just below 2 pi.
        out[:, 0] = np.where(out[:, 0] >= 360.0, 0.0, out[:, 0])
        kind = AzElRates if rates else AzEl
        columns = range(len(kind._fields))
        if arr.ndim == 0:
            return kind(*(float(out[0, c]) for c in columns))
        return kind(*(out[:, c].reshape(arr.shape) for c in columns))

    def pxform(self, from_frame: str | int, to_frame: str | int, et: Any, *,
               threads: int | None = None) -> np.ndarray:
        """The 3x3 rotation from `from_frame` to `to_frame` at `et` (TDB
        seconds past J2000 or dates, as `state` takes them): spiceypy's
        ``pxform`` for every epoch at once. Frames are names or codes of
        any frame the set knows (see `frame_info`). Shape
        ``np.shape(et) + (3, 3)``; multiply a position (column vector) from
        the left.

        Raises FrameError for an unknown frame or one the set cannot evaluate
        (CK, dynamic and switch frames, broken or circular TK definitions),
        MissingKernelError when a body-fixed frame has neither binary PCK
        data covering the epoch nor text PCK constants, EpochError for NaN."""
        return self._transform(from_frame, to_frame, et, False, threads)

    def sxform(self, from_frame: str | int, to_frame: str | int, et: Any, *,
               threads: int | None = None) -> np.ndarray:
        """The 6x6 state transform from `from_frame` to `to_frame` at `et`:
        spiceypy's ``sxform`` for every epoch at once, between any two frames
        the set knows. Between J2000 and ITRF93 it comes from the
        highest-precedence Earth orientation segment that covers the epoch,
        as before. Shape ``np.shape(et) + (6, 6)``; multiply a state (column
        vector) from the left. Errors as `pxform`."""
        return self._transform(from_frame, to_frame, et, True, threads)

    def frame_info(self, frame: str | int) -> FrameInfo:
        """Name, code, class, class id, centre and defining kernel of a frame
        given by name or code; FrameError when the set knows no such frame."""
        self._check_open()
        code = _frame_code(frame, self._set)
        info = self._set.frame_info(code)
        if info is None:  # pragma: no cover - _frame_code checked it
            raise FrameError(f"unknown frame {frame!r}")
        name, code, cls, class_id, center, source = info
        return FrameInfo(name, code, cls, class_id, center, os.fsdecode(source) if source else None)

    def body_frame(self, body: str | int) -> FrameInfo:
        """The frame a body's body-fixed quantities are given in, as the
        toolkit chooses it: OBJECT_<code>_FRAME, then OBJECT_<name>_FRAME of
        the loaded frame kernels, then the built-in body-fixed frame centred
        on the body (IAU_<body>). FrameError when none applies."""
        self._check_open()
        code = self.body_code(body)
        try:
            name = self._names.bodc2n(code)
        except ValueError:
            name = ""
        frame = self._set.body_frame(code, name)
        if frame is None:
            raise FrameError(f"body {body!r} (code {code}) has no frame: no OBJECT_{code}_FRAME assignment and no "
                             "built-in body-fixed frame")
        return self.frame_info(frame)

    def _transform(self, from_frame: str | int, to_frame: str | int, et: Any, six: bool,
                   threads: int | None) -> np.ndarray:
        import numpy as np

        self._check_open()
        pair = (_frame_code(from_frame, self._set), _frame_code(to_frame, self._set))
        n_threads = self._threads if threads is None else _check_threads(threads)
        arr = self._epochs(et)
        flat = _flat(arr) if arr.ndim else arr.reshape(1)
        width = 6 if six else 3
        out = np.empty(arr.shape + (width, width))
        if six and pair in ((1, 13000), (13000, 1)):
            # The Earth orientation path of its own, fixed bit for bit.
            self._set.sxform(pair[0] == 13000, flat, out.reshape(-1, 6, 6), n_threads or 0, list(arr.shape))
        else:
            self._set.frame_transform(pair[0], pair[1], six, flat, out.reshape(-1, width, width), n_threads or 0,
                                      list(arr.shape))
        return out

    # --- attitude and clocks (attitude.py, clocks.py) -------------------

    def sclk(self, clock: str | int) -> SpacecraftClock:
        """The type 1 spacecraft clock `clock` (a spacecraft's name or code,
        as the toolkit's sc argument) from the set's SCLK kernels, with
        conversions over arrays (see `kernwerk.clocks`). MissingKernelError
        when no loaded kernel defines it."""
        self._check_open()
        return SpacecraftClock(self._set, self.body_code(clock), self._threads)

    def pointing(self, instrument: str | int, ticks: Any, *, tolerance: float = 0.0, frame: str | int = "J2000",
                 angular_velocity: bool = False, quaternion: bool = False,
                 threads: int | None = None) -> Pointing:
        """Pointing of `instrument` (a CK's instrument or structure code, or
        a name bound to it) at encoded SCLK `ticks`, within `tolerance`
        ticks, relative to `frame`: spiceypy's ``ckgp`` (``ckgpav`` with
        `angular_velocity`) for every request at once, with the toolkit's
        precedence (later files and later segments win; with
        `angular_velocity` only segments that hold it answer). `frame` is
        any frame the set knows: one that turns relative to a segment's
        frame is evaluated at the ET of each answer, by the instrument's
        clock (CK_<instrument>_SCLK, else the code divided by 1000). Returns
        a `Pointing` (rotation, angular_velocity, clock, found)."""
        self._check_open()
        n_threads = self._threads if threads is None else _check_threads(threads)
        return _attitude.pointing(self._set, self.body_code(instrument), ticks, tolerance,
                                  _frame_code(frame, self._set), angular_velocity, quaternion, n_threads or 0)

    def ck_orientation(self, instrument: str | int, et: Any, *, clock: str | int | None = None,
                       tolerance: float = 0.0, frame: str | int = "J2000", angular_velocity: bool = False,
                       quaternion: bool = False, threads: int | None = None) -> Pointing:
        """`pointing` at epochs (ET or dates), converted to ticks by the
        instrument's clock: `clock` when given, else CK_<instrument>_SCLK
        of the loaded frame kernels, else the spacecraft of the instrument
        (its code divided by 1000, as the toolkit's convention for
        instrument codes; codes above -1000 are the spacecraft's own)."""
        self._check_open()
        code = self.body_code(instrument)
        if clock is None:
            try:
                _, values = self._set.pool(f"CK_{code}_SCLK")
                clock_code = int(values[0])
            except (MissingKernelError, FileFormatError, IndexError, TypeError, ValueError):
                clock_code = int(code / 1000) if code <= -1000 else code
        else:
            clock_code = self.body_code(clock)
        ticks = self.sclk(clock_code).from_et(self._epochs(et), threads=threads)
        return self.pointing(code, ticks, tolerance=tolerance, frame=frame, angular_velocity=angular_velocity,
                             quaternion=quaternion, threads=threads)

    def ck_coverage(self, instrument: str | int, *, level: Literal["segment", "interval"] = "segment",
                    tolerance: float = 0.0, angular_velocity: bool = False) -> np.ndarray:
        """The toolkit's ``ckcov`` in ticks: the merged coverage of an
        instrument's segments ('segment': their bounds; 'interval': the
        intervals they answer at zero tolerance, widened by `tolerance`), as
        a (k, 2) float64 array of closed intervals."""
        import numpy as np

        self._check_open()
        if level not in ("segment", "interval"):
            raise ValueError(f"level must be 'segment' or 'interval', not {level!r}")
        ivs = _ext.ck_coverage(self._set, self.body_code(instrument), level == "interval", float(tolerance),
                               angular_velocity)
        return np.array(ivs, dtype=np.float64).reshape(-1, 2)

    def ck_objects(self) -> list[int]:
        """The instruments of the loaded C-kernels, ascending (``ckobj``)."""
        self._check_open()
        return list(_ext.ck_objects(self._set))

    def ck_segments(self) -> list[CkSegment]:
        """Every segment of the loaded C-kernels, in load order."""
        self._check_open()
        return _attitude.segments(self._set)

    def coverage(self, body: str | int) -> np.ndarray:
        """The epochs at which the set has a segment for `body`: sorted,
        disjoint closed intervals [start, end] (TDB seconds past J2000,
        touching intervals merged) as a (k, 2) float64 array; (0, 2) when
        there is none."""
        import numpy as np

        self._check_open()
        return np.array(self._set.coverage(self.body_code(body)), dtype=np.float64).reshape(-1, 2)

    def bodies(self) -> list[int]:
        """The NAIF codes of the bodies that are the target of a segment in
        the set, ascending."""
        self._check_open()
        return self._set.bodies()

    def segments_for(self, target: str | int, center: str | int, et: Any) -> list[tuple[Any, ...]]:
        """The segments that answer a query at one epoch (ET or a date):
        (target, center,
        frame code, data type, segment name, file path, index in the file
        from 0, subtracted) for each link, target side first."""
        self._check_open()
        epoch = self._epochs(et)
        if epoch.ndim != 0:
            raise TypeError("segments_for takes one epoch, not an array")
        links = self._set.resolve(self.body_code(target), self.body_code(center), float(epoch))
        return [link[:5] + (os.fsdecode(link[5]),) + link[6:] for link in links]

    # ------------------------------------------------------------------
    # The kernel pool and body constants

    def pool(self, name: str) -> list[str] | np.ndarray:
        """The values of a kernel pool variable: every assignment of the
        set's text kernels, applied in load order as the toolkit applies
        them ("=" replaces, "+=" appends). Strings as a list of str (one per
        quoted element, as the toolkit's gcpool gives them), numbers as a
        float64 array (@dates as seconds past J2000 in days of 86400 s, as
        gdpool gives them). The name is case-sensitive, as the toolkit's
        are. MissingKernelError when no loaded text kernel assigns it."""
        import numpy as np

        self._check_open()
        is_text, values = self._set.pool(_variable_name(name, "name"))
        if is_text:
            return [str(v) for v in values]
        return np.array(values, dtype=np.float64)

    def pool_names(self, prefix: str = "") -> list[str]:
        """The names of the pool variables that start with `prefix`
        (case-sensitive), sorted; every name when `prefix` is empty."""
        self._check_open()
        return self._set.pool_names(_variable_name(prefix, "prefix"))

    def body_constant(self, body: str | int, item: str) -> np.ndarray:
        """The numbers of the pool variable ``BODY<code>_<item>`` for a body
        given by name or code (item as written in PCKs, case-sensitive:
        "RADII", "GM", "POLE_RA", "PM", ...), as a float64 array: the
        toolkit's bodvrd/bodvcd. MissingKernelError, naming the variable and
        the body, when no loaded text kernel gives it; FileFormatError when
        it holds strings."""
        import numpy as np

        self._check_open()
        code = self.body_code(body)
        item = _variable_name(item, "item")
        return np.array(self._set.body_constant(code, item, self._body_label(body, code)), dtype=np.float64)

    def radii(self, body: str | int) -> tuple[float, float, float]:
        """The three radii of a body's triaxial ellipsoid (``BODY<code>_RADII``,
        km): the two equatorial radii, then the polar one."""
        values = self.body_constant(body, "RADII")
        if values.shape != (3,):
            code = self.body_code(body)
            raise FileFormatError(f"RADII of {self._body_label(body, code)}: BODY{code}_RADII has "
                                  f"{values.size} numbers, not the 3 radii")
        return float(values[0]), float(values[1]), float(values[2])

    def longitude_positive_west(self, body: str | int) -> bool:
        """Whether planetographic longitude increases westward on a body, as
        the toolkit's recpgr/pgrrec decide it: ``BODY<code>_PGR_POSITIVE_LON``
        ('EAST' or 'WEST') when a kernel assigns it; else east for the Earth,
        the Moon and the Sun; else west for a body whose prime meridian
        advances (positive rate in ``BODY<code>_PM``), east otherwise.
        MissingKernelError when the PM rate is needed and not loaded."""
        self._check_open()
        code = self.body_code(body)
        return self._set.longitude_positive_west(code, self._body_label(body, code))

    # -- instrument fields of view -------------------------------------

    def fov(self, instrument: str | int) -> FieldOfView:
        """The field of view of `instrument` (name or NAIF code) from the
        loaded instrument kernels: spiceypy's ``getfov``. Fields given by
        ANGLES are turned into boundary vectors as
        the toolkit turns them. MissingKernelError names a variable that is not loaded,
        FileFormatError one that is malformed."""
        import numpy as np

        self._check_open()
        shape, frame, boresight, bounds = _ext.fov(self._set, self.body_code(instrument))
        return FieldOfView(shape, frame, np.array(boresight), np.array(bounds).reshape(-1, 3))

    def ck_frame_object(self, frame: str | int) -> int | None:
        """The ephemeris object a frame kernel ties to the CK frame that
        carries `frame` (the frame itself when it is a CK frame, else the
        first CK frame up its TK frames): its ``CK_<class id>_SPK``. None
        when no CK frame carries `frame` or the variable is absent."""
        self._check_open()
        tied = _ext.ck_frame_object(self._set, _frame_code(frame, self._set))
        return None if tied is None else tied[2]

    def _observer_of(self, instrument: int, observer: str | int | None) -> int:
        # The observer given, else the object tied to the CK frame that
        # carries the instrument's field of view.
        if observer is not None:
            return self.body_code(observer)
        frame = self.fov(instrument).frame
        tied = _ext.ck_frame_object(self._set, _frame_code(frame, self._set))
        if tied is None or tied[2] is None:
            what = ("no CK frame carries it" if tied is None else
                    f"its CK frame {tied[0]} has no CK_{tied[1]}_SPK in the loaded frame kernels")
            raise ValueError(f"give the observer of instrument {instrument}: its field of view is in frame "
                             f"{frame!r} and {what}")
        return int(tied[2])

    def fov_ray(self, instrument: str | int, ray: Any, et: Any, frame: str | int = "J2000", *,
                observer: str | int | None = None, correction: str = "NONE", threads: int | None = None) -> Any:
        """Whether the direction `ray` (given in `frame` at `et`) lies in the
        field of view of `instrument` seen from `observer` (by default the
        object tied to the CK frame carrying the field of view, see
        `ck_frame_object`): spiceypy's ``fovray``. `ray` is (3,) or (..., 3) and broadcasts against `et`;
        `correction` is ``"NONE"``, ``"S"`` (stellar aberration of the
        observer's velocity) or ``"XS"``. Returns a bool, or a bool array of
        the broadcast shape. Boundary directions count as inside."""
        import numpy as np

        self._check_open()
        inst = self.body_code(instrument)
        f = _frame_code(frame, self._set)
        obs = self._observer_of(inst, observer)
        n_threads = self._threads if threads is None else _check_threads(threads)
        rays = np.asarray(ray, dtype=np.float64)
        if rays.ndim == 0 or rays.shape[-1] != 3:
            raise ValueError(f"ray must have shape (3,) or (..., 3), not {rays.shape}")
        ets = self._epochs(et)
        shape = np.broadcast_shapes(ets.shape, rays.shape[:-1])
        flat_et = np.ascontiguousarray(np.broadcast_to(ets, shape)).reshape(-1)
        flat_rays = (rays.reshape(1, 3) if rays.ndim == 1 else
                     np.ascontiguousarray(np.broadcast_to(rays, shape + (3,))).reshape(-1, 3))
        out = np.empty(flat_et.shape, dtype=np.uint8)
        _ext.fov_ray(self._set, inst, f, flat_rays, _correction(correction), obs, flat_et, out, n_threads or 0,
                     list(shape))
        result = out.reshape(shape).view(np.bool_)
        return bool(result) if result.ndim == 0 else result

    def in_fov(self, instrument: str | int, target: str | int, et: Any, *, observer: str | int | None = None,
               shape: str = "POINT", target_frame: str | int | None = None, correction: str = "LT+S",
               threads: int | None = None) -> Any:
        """Whether `target` is in the field of view of `instrument` carried
        by `observer` (by default the object tied to the CK frame carrying
        the field of view, see `ck_frame_object`) at each `et`: spiceypy's
        ``fovtrg``. `shape` is
        ``"POINT"`` (the target's center) or ``"ELLIPSOID"`` (its
        ``BODY<code>_RADII`` ellipsoid, oriented by `target_frame`, by
        default the body's own frame, at the light-time corrected epoch; in
        view when any part of it meets the field's cone; an observer inside
        it raises ValueError, as the toolkit fails there). `correction` is
        one of the toolkit's (as `apparent_state`). Returns a bool, or a
        bool array of shape ``np.shape(et)``."""
        import numpy as np

        self._check_open()
        kind = shape.strip().upper() if isinstance(shape, str) else shape
        if kind not in ("POINT", "ELLIPSOID"):
            raise ValueError(f"shape must be 'POINT' or 'ELLIPSOID', not {shape!r}")
        inst, t = self.body_code(instrument), self.body_code(target)
        obs = self._observer_of(inst, observer)
        tf = 0
        if kind == "ELLIPSOID":
            tf = (self.body_frame(target).code if target_frame is None else _frame_code(target_frame, self._set))
        n_threads = self._threads if threads is None else _check_threads(threads)
        ets = self._epochs(et)
        flat = _flat(ets) if ets.ndim else ets.reshape(1)
        out = np.empty(flat.shape, dtype=np.uint8)
        _ext.fov_target(self._set, inst, t, kind == "ELLIPSOID", tf, _correction(correction), obs, flat, out,
                        n_threads or 0, list(ets.shape))
        result = out.reshape(ets.shape).view(np.bool_)
        return bool(result) if result.ndim == 0 else result
    # ------------------------------------------------------------------
    # Sites on any body, and stations of station kernels

    def site(self, body: str | int, latitude: float, longitude: float, height: float = 0.0, *,
             frame: str | int | None = None, name: str | None = None, allow_any_height: bool = False) -> Site:
        """A `Site` fixed on `body` (name or code) at planetodetic `latitude`
        and `longitude` (degrees, north and east positive) and `height` (km
        above the body's ellipsoid): a lander on Mars, a station on the Moon.
        The ellipsoid is the body's ``BODY<code>_RADII`` of the set (equatorial
        radius the first, flattening (first - third) / first, as the
        toolkit's azlcpo takes them); the frame is `frame` or else the body's
        frame as `body_frame` chooses it (IAU_MARS; MOON_ME through lunarsky's
        association kernel; ITRF93 on the Earth through naif-earth-itrf93's).
        The site's azimuth and elevation are measured in that frame, on that
        ellipsoid. MissingKernelError when the set has no radii for the body,
        FrameError when it has no frame for it; heights as `Site.geodetic`."""
        self._check_open()
        code = self.body_code(body)
        radii = self.radii(body)
        a, c = radii[0], radii[2]
        if not (a > 0 and 0 < c <= a):
            raise FileFormatError(f"RADII of {self._body_label(body, code)}: BODY{code}_RADII = {radii} is no "
                                  "oblate ellipsoid (the first radius must be at least the third, both positive)")
        info = self.body_frame(body) if frame is None else self.frame_info(frame)
        return Site.geodetic(latitude, longitude, height, ellipsoid=Ellipsoid(a, (a - c) / a), name=name,
                             allow_any_height=allow_any_height, center=code, frame=info.name)

    def station(self, station: str | int, frame: str | int | None = None, *, name: str | None = None) -> Site:
        """A `Site` for a station of a station kernel, as the toolkit's
        station kernels ship one: its position is the SPK object `station`
        (a name bound through NAIF_BODY_NAME/NAIF_BODY_CODE, or a code such
        as 399014), its topocentric frame a TK frame (x north, y west, z up)
        named `frame`, by default ``<station name>_TOPO`` (DSS-14_TOPO).
        `azel` measures azimuth and elevation in that frame at et; as an
        observer or target it is the SPK object (the toolkit's spkezr).
        CoverageError when the set has no segment for the station,
        FrameError when the frame is unknown."""
        self._check_open()
        code = self.body_code(station)
        cover = self.coverage(code)
        if cover.shape[0] == 0:
            raise CoverageError(f"station {station!r} (code {code}) has no SPK segment in this set")
        if frame is None:
            try:
                label = station if isinstance(station, str) else self._names.bodc2n(code)
            except ValueError:
                label = str(code)
            frame = f"{label.strip().upper()}_TOPO"
            if self._set.frame_code(frame) is None:
                raise FrameError(f"station {station!r}: the set knows no frame {frame!r} (the toolkit's station "
                                 "kernels name a station's topocentric frame <station>_TOPO); pass frame=")
        info = self.frame_info(frame)
        mid = 0.5 * (float(cover[0, 0]) + float(cover[0, 1]))
        if not math.isfinite(mid):
            mid = float(cover[0, 0]) if math.isfinite(cover[0, 0]) else 0.0
        center = self._station_center(code, mid)
        nan = math.nan
        return Site._make(nan, nan, nan, (nan, nan, nan), Ellipsoid(nan, nan), name or info.name.removesuffix("_TOPO"),
                          center, info.name, code)

    def _station_center(self, code: int, et: float) -> int:
        # The center of the segment that answers for the station.
        links = self._set.resolve(code, 0, et)
        return int(links[0][1]) if links else 0

    def _body_label(self, body: str | int, code: int) -> str:
        return f"{body} ({code})" if isinstance(body, str) else f"body {code}"

    # -- surface geometry (surface.py) ----------------------------------

    def subpnt(self, target: str | int, observer: str | int, et: Any, *, method: str = "NEAR POINT/ELLIPSOID",
               frame: str | int | None = None, correction: str = "LT+S", threads: int | None = None) -> SubPoint:
        """The sub-observer point on `target`'s ellipsoid seen from `observer`
        at `et`: spiceypy's ``subpnt(method, target, et, frame, correction,
        observer)`` for every epoch. `method` "NEAR POINT/ELLIPSOID" (the
        nearest surface point) or "INTERCEPT/ELLIPSOID" (where the line to
        the centre meets the surface); `frame` the target's body-fixed frame
        (default: its body frame). Returns a `SubPoint` (point, epoch, vector)
        of shape ``np.shape(et) + (3,)`` and ``np.shape(et)``. ValueError for
        an observer inside the ellipsoid, naming the epoch."""
        return _surface.subpoint(self, target, observer, et, method=method, frame=frame, correction=correction,
                                 solar=False, threads=threads)

    def subslr(self, target: str | int, observer: str | int, et: Any, *, method: str = "NEAR POINT/ELLIPSOID",
               frame: str | int | None = None, correction: str = "LT+S", threads: int | None = None) -> SubPoint:
        """The sub-solar point on `target` as `observer` sees it: spiceypy's
        ``subslr``; reception corrections only. As `subpnt`."""
        return _surface.subpoint(self, target, observer, et, method=method, frame=frame, correction=correction,
                                 solar=True, threads=threads)

    def sincpt(self, target: str | int, observer: str | int, et: Any, direction: Any,
               direction_frame: str | int = "J2000", *, method: str = "ELLIPSOID", frame: str | int | None = None,
               correction: str = "LT+S", threads: int | None = None) -> Intercept:
        """Where rays from `observer` along `direction` (``(..., 3)``, given in
        `direction_frame`) meet `target`'s ellipsoid: spiceypy's ``sincpt``
        over arrays of epochs and rays, broadcast together. Rays that miss
        give found False and NaN rows. Returns an `Intercept`."""
        return _surface.sincpt(self, target, observer, et, direction, direction_frame, method=method, frame=frame,
                               correction=correction, threads=threads)

    def ilumin(self, target: str | int, observer: str | int, et: Any, point: Any, *, method: str = "ELLIPSOID",
               frame: str | int | None = None, correction: str = "LT+S", source: str | int = "SUN",
               degrees: bool = False, threads: int | None = None) -> Illumination:
        """Phase, incidence and emission angles at surface points `point`
        (``(..., 3)`` body-fixed km) of `target` seen from `observer`, lit by
        `source` (the Sun by default), with the target epoch, the
        observer-to-point vector and the visible and lit flags: spiceypy's
        ``illumf`` (``ilumin`` for the Sun) over arrays of epochs and points,
        broadcast together. Returns an `Illumination`."""
        return _surface.ilumin(self, target, observer, et, point, method=method, frame=frame, correction=correction,
                               source=source, degrees=degrees, threads=threads)

    illumf = ilumin

    def limbpt(self, target: str | int, observer: str | int, et: Any, cuts: int, *,
               method: str = "TANGENT/ELLIPSOID", frame: str | int | None = None, correction: str = "LT+S",
               locus: str = "CENTER", reference: Any = (0.0, 0.0, 1.0), roll_step: float | None = None,
               threads: int | None = None) -> CurvePoints:
        """Points of `target`'s limb seen from `observer` in `cuts`
        half-planes bounded by the line from the target's centre to the
        observer, the first holding `reference` (body-fixed), each turned
        from the last by `roll_step` radians (default ``2 pi / cuts``)
        right-handed about that line: spiceypy's ``limbpt(method, target, et,
        frame, correction, locus, observer, reference, roll_step, cuts, ...)``
        for every epoch. `method` "TANGENT/ELLIPSOID" or "GUIDED/ELLIPSOID"
        (the same points on an ellipsoid, found in closed form); `locus`
        "CENTER" (the corrections of the target's centre). Returns
        `CurvePoints` of shape ``np.shape(et) + (cuts, 3)``; ValueError for
        an observer inside the ellipsoid, naming the epoch."""
        return _surface.curve(self, target, observer, et, cuts, limb=True, method=method, source="SUN", frame=frame,
                              correction=correction, locus=locus, reference=reference, roll_step=roll_step,
                              threads=threads)

    def termpt(self, target: str | int, observer: str | int, et: Any, cuts: int, *,
               method: str = "UMBRAL/TANGENT/ELLIPSOID", source: str | int = "SUN", frame: str | int | None = None,
               correction: str = "LT+S", locus: str = "CENTER", reference: Any = (0.0, 0.0, 1.0),
               roll_step: float | None = None, threads: int | None = None) -> CurvePoints:
        """Points of `target`'s terminator lit by `source` (a sphere of its
        largest radius) in `cuts` half-planes bounded by the line from the
        target's centre to the source, as `limbpt`: spiceypy's
        ``termpt(method, source, target, et, frame, correction, locus,
        observer, reference, roll_step, cuts, ...)``. `method`
        "UMBRAL/TANGENT/ELLIPSOID" (the edge of total shadow) or
        "PENUMBRAL/..." (the edge of full light), TANGENT or GUIDED alike;
        reception corrections only. Tangent vectors run from the observer
        (anywhere but the target's centre: a lander on the surface too)."""
        return _surface.curve(self, target, observer, et, cuts, limb=False, method=method, source=source,
                              frame=frame, correction=correction, locus=locus, reference=reference,
                              roll_step=roll_step, threads=threads)

    def phaseq(self, et: Any, target: str | int, illuminator: str | int = "SUN", observer: str | int = "EARTH",
               correction: str = "LT+S", *, degrees: bool = False, threads: int | None = None) -> Any:
        """The phase angle at `target`'s centre between `observer` and
        `illuminator`: spiceypy's ``phaseq(et, target, illmn, obsrvr,
        abcorr)`` for every epoch (reception corrections)."""
        return _surface.phaseq(self, et, target, illuminator, observer, correction, degrees, threads)

    def trgsep(self, et: Any, first: str | int, second: str | int, observer: str | int, correction: str = "LT+S", *,
               degrees: bool = False, threads: int | None = None, shape1: str = "POINT",
               shape2: str = "POINT") -> Any:
        """The angle between two targets seen from `observer` for every epoch:
        spiceypy's ``trgsep``. A "POINT" shape is the body's centre, a
        "SPHERE" the sphere of its largest radius, whose angular radius is
        subtracted (negative when the disks overlap)."""
        return _surface.trgsep(self, et, first, second, observer, correction, degrees, threads, shape1, shape2)

    def et2lst(self, et: Any, body: str | int, longitude: Any, kind: str = "PLANETOCENTRIC", *,
               degrees: bool = False, threads: int | None = None) -> LocalSolarTime:
        """Local solar time on `body` at `longitude` (radians, or degrees with
        ``degrees=True``; planetocentric, or planetographic with
        ``kind="PLANETOGRAPHIC"``) for every epoch: spiceypy's ``et2lst``
        hour, minute and second, and the hours as a float. Noon is the
        longitude of the Sun seen from the body's centre (LT+S)."""
        return _surface.et2lst(self, et, body, longitude, kind, degrees, threads)

    def occult(self, first: str | int, shape1: str, frame1: str | int | None, second: str | int, shape2: str,
               frame2: str | int | None, observer: str | int, et: Any, *, correction: str = "LT+S",
               threads: int | None = None) -> Any:
        """The occultation code of `first` and `second` seen from `observer`
        for every epoch: spiceypy's ``occult(first, shape1, frame1, second,
        shape2, frame2, correction, observer, et)``. Shapes "ELLIPSOID" (in
        the body-fixed frame given, None or "" for the body frame) or "POINT"
        (at most one). Codes (int8): -3 / -2 / -1 `first` totally / annularly
        / partially occulted by `second`, 0 neither, 3 / 2 / 1 the reverse."""
        return _surface.occult(self, first, shape1, frame1, second, shape2, frame2, observer, et,
                               correction=correction, threads=threads)

    # ------------------------------------------------------------------

    def _epochs(self, et: Any) -> np.ndarray:
        # Every query's epochs go through here (see `_epochs` below).
        return _epochs(et, self._leapseconds_object)

    def _leapseconds_object(self) -> LeapSeconds | None:
        # The set's own leapseconds kernel, read once per change of the set;
        # None lets to_et use the installed one.
        if self._lsk is False:
            fields = self._set.leapseconds()
            self._lsk = None if fields is None else LeapSeconds.from_fields(
                fields["DELTA_T_A"], fields["K"], fields["EB"], fields["M"], fields["DELTA_AT"])
        return self._lsk  # type: ignore[return-value]

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed Kernels")

    def _endpoint(self, body: str | int | Site) -> int | list[float]:
        # A site on the Earth crosses as its ITRF93 position, one on another
        # body as [x, y, z, center, frame code], a station and a body as its
        # code.
        if isinstance(body, Site):
            if body.station is not None:
                return body.station
            if body._on_earth():
                return list(body.position)
            return list(body.position) + [float(body.center), float(_frame_code(body.frame, self._set))]
        return self.body_code(body)

    def _code_of_name(self, name: str) -> int:
        try:
            return self._names.bodn2c(name)
        except ValueError:
            try:
                code = int(name.strip())
            except ValueError:
                pass
            else:
                if _INT32_MIN <= code <= _INT32_MAX:
                    return code
                raise BodyNameError(f"body code {code} is outside the 32-bit range of NAIF codes") from None
        raise BodyNameError(f"unknown body name {name!r}: neither a loaded text kernel nor NAIF's built-in table names it")

    def _refresh_names(self) -> None:
        base = default_registry
        if self._carried:
            base = BodyRegistry(fallback=default_registry)
            base.add_bindings(self._carried)
        names = BodyRegistry(fallback=base)
        names.add_bindings(self._set.body_bindings())
        self._names = names
        self._name_cache = (None, {})
        self._lsk = False


def _restore(files: Iterable[str], threads: int | None, carried: list[tuple[str, int]] | None = None) -> Kernels:
    # The carried bindings answer below the set's own text kernels and above
    # this process's own process-wide bindings, as they did where pickled.
    kernels = Kernels(threads=threads)
    kernels._carried = list(carried or ())
    paths = list(files)
    if paths:
        kernels.load(*paths)
    else:
        kernels._refresh_names()
    return kernels
