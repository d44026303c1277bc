"""Writing CK (pointing) files: `CkWriter`.

    >>> with kernwerk.CkWriter("attitude.bc") as w:          # written on leaving
    ...     w.add_type3(-82000, "J2000", ticks, quaternions, angular_velocity=av)

Quaternions are the toolkit's (scalar first, rotating the reference frame
into the instrument frame, as the C-matrix `ckgp` returns); times are
encoded spacecraft clock ticks (floats). Each quaternion must have unit norm
within 1e-8 (ValueError naming it otherwise: they are stored as given, never
normalised). The file is written to a staging file beside the target,
synced and renamed into place, as `SpkWriter` does.
"""

from __future__ import annotations

import operator
import os
import re
from types import TracebackType
from typing import Any, NamedTuple

from . import _ext
from .errors import KernelFileError
from .writer import _comment_lines, _frame

__all__ = ["CkWriter", "WrittenCkSegment"]

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_OS_ERROR = re.compile(r"\(os error (\d+)\)")


class WrittenCkSegment(NamedTuple):
    """A segment added to a CK writer."""

    instrument: int
    frame: int
    data_type: int
    angular_velocity: bool
    start: float
    end: float
    name: str


class CkWriter:
    """A CK file under construction: Type 2 (constant angular velocity over
    intervals) and Type 3 (interpolated pointing instances) segments, written
    in the order added.

    ``CkWriter(path=None, internal_name="kernwerk", comments=None)``: with a
    `path`, the writer is a context manager that writes the file when the
    block ends without an exception (and writes nothing otherwise);
    `write(path)` writes it at any time. `comments` (a str or a list of
    lines, printable ASCII) fills the comment area, where ``dafec`` reads it.
    """

    def __init__(self, path: str | os.PathLike[str] | None = None, *, internal_name: str = "kernwerk",
                 comments: str | list[str] | None = None) -> None:
        if not isinstance(internal_name, str):
            raise TypeError(f"internal_name must be a str, not {type(internal_name).__name__!r}")
        self._path = None if path is None else os.fsdecode(os.fspath(path))
        self._writer = _ext.CkWriter(internal_name)
        self._segments: list[WrittenCkSegment] = []
        self._comments = _comment_lines(comments)
        self._writer.set_comments(self._comments)

    def __enter__(self) -> CkWriter:
        if self._path is None:
            raise TypeError("CkWriter needs a path to be used in a with block: CkWriter(path)")
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if kind is None and self._path is not None:
            self.write(self._path)

    @property
    def segments(self) -> list[WrittenCkSegment]:
        """The segments added so far, in order."""
        return list(self._segments)

    def __len__(self) -> int:
        return len(self._segments)

    def __repr__(self) -> str:
        return f"<CkWriter with {len(self._segments)} segments>"

    def add_type2(self, instrument: int, frame: str | int, starts: Any, stops: Any, quaternions: Any,
                  angular_velocity: Any, rates: Any, *, start: float | None = None, end: float | None = None,
                  name: str | None = None) -> WrittenCkSegment:
        """Add a Type 2 segment of N intervals [starts[i], stops[i]] (ticks,
        sorted, not overlapping), each with its quaternion (N, 4) at its
        start, its constant angular velocity (N, 3; rad/s in the reference
        frame) and its seconds per tick `rates` (N, or one value). The
        segment covers `start` to `end` (ticks), by default the first start
        and the last stop; `name` is its id (40 characters at most), by
        default "INSTRUMENT <code>"."""
        import numpy as np

        code, f = _instrument(instrument), _frame(frame)
        s = _column(starts, "starts")
        e = _column(stops, "stops")
        q = _rows(quaternions, 4, "quaternions")
        av = _rows(angular_velocity, 3, "angular_velocity")
        r = np.asarray(rates, dtype=np.float64)
        if r.ndim == 0:
            r = np.full(s.shape, float(r))
        if s.size == 0:
            raise ValueError("a Type 2 segment needs at least one interval")
        first = float(s[0]) if start is None else float(start)
        last = float(e[-1]) if end is None else float(end)
        label = _label(name, code)
        self._writer.add_type2(code, f, first, last, label, s, e, q, av, _column(r, "rates"))
        return self._added(WrittenCkSegment(code, f, 2, True, first, last, label))

    def add_type3(self, instrument: int, frame: str | int, ticks: Any, quaternions: Any,
                  angular_velocity: Any = None, *, intervals: Any = None, start: float | None = None,
                  end: float | None = None, name: str | None = None) -> WrittenCkSegment:
        """Add a Type 3 segment: pointing instances at `ticks` (N, strictly
        increasing), quaternions (N, 4) and optionally angular velocity
        (N, 3; rad/s in the reference frame). Readers interpolate between
        neighbouring instances inside an interpolation interval; `intervals`
        lists the ticks at which intervals start (each one of `ticks`, the
        first ticks[0]), by default one interval over all the instances.
        `start` and `end` (ticks) default to the first and last tick."""
        import numpy as np

        code, f = _instrument(instrument), _frame(frame)
        t = _column(ticks, "ticks")
        q = _rows(quaternions, 4, "quaternions")
        av = None if angular_velocity is None else _rows(angular_velocity, 3, "angular_velocity")
        if t.size == 0:
            raise ValueError("a Type 3 segment needs at least one pointing instance")
        starts = t[:1].copy() if intervals is None else _column(intervals, "intervals")
        first = float(t[0]) if start is None else float(start)
        last = float(t[-1]) if end is None else float(end)
        label = _label(name, code)
        self._writer.add_type3(code, f, first, last, label, t, q, av, np.ascontiguousarray(starts))
        return self._added(WrittenCkSegment(code, f, 3, av is not None, first, last, label))

    def write(self, path: str | os.PathLike[str]) -> str:
        """Write the file to `path` (replacing a file there only once the
        new one is complete) and return its absolute path. KernelFileError
        (an OSError with errno and filename) when it cannot be written."""
        text_path = os.fsdecode(os.fspath(path))
        try:
            self._writer.write(text_path)
        except RuntimeError as exc:
            message = str(exc)
            if not message.startswith("I/O error"):
                raise
            found = _OS_ERROR.search(message)
            code = int(found.group(1)) if found else 0
            raise KernelFileError(code, f"cannot write kernel {text_path}: {message}", text_path) from None
        return os.path.abspath(text_path)

    def _added(self, segment: WrittenCkSegment) -> WrittenCkSegment:
        self._segments.append(segment)
        return segment


def _instrument(code: int) -> int:
    if isinstance(code, bool) or isinstance(code, str):
        raise TypeError("an instrument is its NAIF code (int)")
    value = operator.index(code)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"instrument code {value} is outside the 32-bit range of NAIF codes")
    return value


def _label(name: str | None, code: int) -> str:
    if name is None:
        return f"INSTRUMENT {code}"
    if not isinstance(name, str):
        raise TypeError("name must be a str")
    return name


def _column(values: Any, what: str) -> Any:
    import numpy as np

    arr = np.ascontiguousarray(values, dtype=np.float64)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, not of shape {arr.shape}")
    return arr


def _rows(values: Any, width: int, what: str) -> Any:
    import numpy as np

    arr = np.ascontiguousarray(values, dtype=np.float64)
    if arr.ndim != 2 or arr.shape[1] != width:
        raise ValueError(f"{what} must have shape (N, {width}), not {arr.shape}")
    return arr
