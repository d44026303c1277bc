"""Kernel sets: SPK files, binary PCK files and text kernels answering as one.

    >>> k = kernwerk.Kernels("de440.bsp", "sat.bsp", "earth_latest_high_prec.bpc", "names.tf")
    >>> k.state("MY SAT", "MOON", ets, frame="ITRF93")     # shape ets.shape + (6,)

Precedence is the NAIF toolkit's: a file loaded later wins over one loaded
earlier, a later segment in a file over an earlier one, and the first segment
(in that order) whose coverage holds the epoch, both ends included, answers.
A state is resolved as the toolkit resolves it: the target's chain of
segments and the center's chain meet at the first body they share, and only
the links below it are evaluated. Segments referred to ECLIPJ2000 or ITRF93
are rotated into J2000 before they are summed; ITRF93 needs a loaded Earth
orientation PCK that covers the epoch.

Epochs are TDB seconds past J2000; positions km, velocities km/s.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from . import _ext
from .bodies import BodyRegistry, default_registry
from .errors import BodyNameError, FrameError

if TYPE_CHECKING:
    import numpy as np

__all__ = ["Kernels"]

# NumPy is imported on first use: importing the package must not import it.

_FRAMES = {"J2000": 1, "ECLIPJ2000": 17, "ITRF93": 13000}
_FRAME_NAMES = {code: name for name, code in _FRAMES.items()}
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def _encode_path(path: str | bytes | os.PathLike) -> bytes:
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


def _frame_code(frame: str | int) -> int:
    if frame == "J2000":
        return 1
    if isinstance(frame, str):
        code = _FRAMES.get(frame.strip().upper())
        if code is not None:
            return code
    elif isinstance(frame, int) and not isinstance(frame, bool) and frame in _FRAME_NAMES:
        return frame
    raise FrameError(f"unsupported frame {frame!r} (supported: J2000, ECLIPJ2000, ITRF93)")


def _epochs(et: Any) -> np.ndarray:
    import numpy as np

    try:
        arr = np.asarray(et, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError("et must be a number or an array-like of numbers (TDB seconds past J2000)") from exc
    return arr


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
    paths, so worker processes reopen the files themselves.
    """

    def __init__(self, *paths: str | os.PathLike, threads: int | None = None) -> None:
        self._threads = _check_threads(threads)
        self._set = _ext.KernelSet()
        self._names = BodyRegistry(fallback=default_registry)
        self._name_cache: tuple[object, dict[str, int]] = (None, {})
        self._closed = False
        if paths:
            self.load(*paths)

    # ------------------------------------------------------------------
    # Files

    def load(self, *paths: str | os.PathLike) -> None:
        """Open the files and add them on top of the set, in order.

        SPK (DAF/SPK) and binary PCK (DAF/PCK) files are told from text
        kernels by their content; a DAF of any other kind raises
        FileFormatError, a missing file KernelFileError (errno and filename
        set). All or nothing: on an error no file is added. Loading a file
        that is already in the set moves it to the top."""
        self._check_open()
        encoded = [_encode_path(p) for p in paths]
        self._set.load(encoded)
        self._refresh_names()

    def unload(self, path: str | os.PathLike) -> None:
        """Remove a file from the set; what it shadowed answers again.
        ValueError when the file is not in the set."""
        self._check_open()
        if not self._set.unload(_encode_path(path)):
            raise ValueError(f"{os.fspath(path)!r} is not loaded in this set")
        self._refresh_names()

    @property
    def files(self) -> tuple[str, ...]:
        """The absolute paths of the loaded files, in load order (the last
        one has the highest precedence)."""
        return tuple(os.fsdecode(path) for path, _ in self._set.files())

    @property
    def names(self) -> BodyRegistry:
        """The body names of the set: bindings of its text kernels first,
        then the package's default registry and the built-in table."""
        return self._names

    @property
    def leapseconds(self) -> dict | None:
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
        args = [repr(p) for p in self.files]
        if self._threads is not None:
            args.append(f"threads={self._threads}")
        return f"Kernels({', '.join(args)})"

    def __reduce__(self) -> tuple:
        return (_restore, (self.files if not self._closed else (), self._threads))

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

        `target` and `center` are body names or NAIF codes; `et` is TDB
        seconds past J2000, a number or any array-like (lists, integer or
        float32 arrays, non-contiguous and N-d arrays; a contiguous float64
        array is read in place). `frame` is "J2000", "ECLIPJ2000" or "ITRF93"
        (any case). Returns float64 [x, y, z, vx, vy, vz] in km and km/s with
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
        t, c = self.body_code(target), self.body_code(center)
        f = _frame_code(frame)
        n_threads = self._threads if threads is None else _check_threads(threads)
        if type(et) is float or type(et) is int:  # the common scalar call, without an array
            return np.array(self._set.state_one(t, c, f, float(et)))
        arr = _epochs(et)
        if arr.ndim == 0:
            return np.array(self._set.state_one(t, c, f, float(arr)))
        out = np.empty(arr.shape + (6,))
        self._set.state(t, c, f, _flat(arr), out.reshape(-1, 6), n_threads or 0, list(arr.shape))
        return out

    def sxform(self, from_frame: str | int, to_frame: str | int, et: Any, *,
               threads: int | None = None) -> np.ndarray:
        """The 6x6 state transform from J2000 to ITRF93 or back at `et` (TDB
        seconds past J2000), from the highest-precedence Earth orientation
        segment that covers the epoch. Shape ``np.shape(et) + (6, 6)``;
        multiply a state (column vector) from the left."""
        import numpy as np

        self._check_open()
        pair = (_frame_code(from_frame), _frame_code(to_frame))
        if pair not in ((1, 13000), (13000, 1)):
            raise FrameError(f"transforms are available between J2000 and ITRF93, not {from_frame!r} -> {to_frame!r}")
        n_threads = self._threads if threads is None else _check_threads(threads)
        arr = _epochs(et)
        flat = _flat(arr) if arr.ndim else arr.reshape(1)
        out = np.empty(arr.shape + (6, 6))
        self._set.sxform(pair[0] == 13000, flat, out.reshape(-1, 6, 6), n_threads or 0, list(arr.shape))
        return out

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

    def segments_for(self, target: str | int, center: str | int, et: float) -> list[tuple]:
        """The segments that answer a query at one epoch: (target, center,
        frame code, data type, segment name, file path, index in the file
        from 0, subtracted) for each link, target side first."""
        self._check_open()
        links = self._set.resolve(self.body_code(target), self.body_code(center), float(et))
        return [link[:5] + (os.fsdecode(link[5]),) + link[6:] for link in links]

    # ------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed Kernels")

    def _code_of_name(self, name: str) -> int:
        try:
            return self._names.bodn2c(name)
        except ValueError:
            try:
                return int(name.strip())
            except ValueError:
                pass
        raise BodyNameError(f"unknown body name {name!r}")

    def _refresh_names(self) -> None:
        names = BodyRegistry(fallback=default_registry)
        names.add_bindings(self._set.body_bindings())
        self._names = names
        self._name_cache = (None, {})


def _restore(files: Iterable[str], threads: int | None) -> Kernels:
    return Kernels(*files, threads=threads)
