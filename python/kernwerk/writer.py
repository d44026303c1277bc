"""Writing SPK files: `SpkWriter`, the package's face of `NaifSpkWriter`.

    >>> w = kernwerk.SpkWriter()
    >>> w.add_type9("MY SAT", "earth", states, epochs, degree=7)   # names or codes
    >>> w.write(pathlib.Path("orbit.bsp"))

It takes bodies by name or code, frames by name or code, paths as str or
os.PathLike, states and epochs as any array-like (epochs may be dates, as
`kernwerk.to_et` reads them). A file holds any number of segments (its
summaries and names take as many chained records as they need) and may carry
a comment area (``comments=``), laid out as the toolkit's ``dafac`` lays it
out. The file is written to a staging file beside the target, synced and
renamed into place, so that a failed write leaves the old file, or none, and
never a partial one.
"""

from __future__ import annotations

import operator
import os
import re
from typing import Any, NamedTuple

from . import _ext
from .bodies import BodyRegistry, default_registry
from .errors import BodyNameError, FrameError, KernelFileError
from .kernels import _epochs
from .segments import _FRAME_NAMES

__all__ = ["SpkWriter", "WrittenSegment"]

# Frames by name: the built-in inertial frames and ITRF93.
_FRAME_CODES = {name: code for code, name in _FRAME_NAMES.items()}
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_OS_ERROR = re.compile(r"\(os error (\d+)\)")


class WrittenSegment(NamedTuple):
    """A segment added to a writer."""

    target: int
    center: int
    frame: int
    data_type: int
    start: float
    end: float
    name: str


def _no_leapseconds() -> None:
    return None


class SpkWriter:
    """An SPK file under construction: Type 3 (Chebyshev), Type 9
    (Lagrange) and Type 13 (Hermite) segments, written in the order added.

    ``SpkWriter(internal_name="kernwerk", names=None, comments=None)``:
    `internal_name` is the file's internal name (up to 60 characters);
    `names` (a `BodyRegistry`, such as `Kernels.names`) resolves body names,
    by default the package's registry. `comments` (a str, whose lines are
    split at line ends, or a list of lines) is kept in the file's comment
    area, where the toolkit's ``dafec`` and ``commnt`` read it; printable
    ASCII only (ValueError naming the line and column otherwise).

    The number of segments is not limited (the data as a whole must fit the
    format's 32-bit addresses, about 16 GiB; a segment that would not is
    refused when it is added).
    """

    def __init__(self, internal_name: str = "kernwerk", *, names: BodyRegistry | None = None,
                 comments: str | list[str] | None = None) -> None:
        if not isinstance(internal_name, str):
            raise TypeError(f"internal_name must be a str, not {type(internal_name).__name__!r}")
        self._writer = _ext.SpkWriter(internal_name)
        self._names = names if names is not None else default_registry
        self._segments: list[WrittenSegment] = []
        self._comments = _comment_lines(comments)
        self._writer.set_comments(self._comments)

    @property
    def comments(self) -> list[str]:
        """The lines of the comment area, as they will be written."""
        return list(self._comments)

    @property
    def segments(self) -> list[WrittenSegment]:
        """The segments added so far, in order."""
        return list(self._segments)

    def __len__(self) -> int:
        return len(self._segments)

    def __repr__(self) -> str:
        return f"<SpkWriter with {len(self._segments)} segments>"

    def add_type9(self, target: str | int, center: str | int, states: Any, epochs: Any, *, degree: int = 7,
                  frame: str | int = "J2000", name: str | None = None, start: Any = None,
                  end: Any = None) -> WrittenSegment:
        """Add a Type 9 segment: `states` (N, 6) [x, y, z, vx, vy, vz] in km
        and km/s at `epochs` (N, strictly increasing; ET or dates),
        interpolated by Lagrange polynomials of `degree` (1 to 27; N must be
        at least degree + 1). The segment covers `start` to `end`, by default
        the first and last epoch. `name` is the segment name (40 characters
        at most), by default "TARGET WRT CENTER"."""
        return self._add_states(9, target, center, states, epochs, degree, frame, name, start, end)

    def add_type13(self, target: str | int, center: str | int, states: Any, epochs: Any, *, degree: int = 7,
                   frame: str | int = "J2000", name: str | None = None, start: Any = None,
                   end: Any = None) -> WrittenSegment:
        """Add a Type 13 segment: `states` (N, 6) at `epochs` (N, strictly
        increasing, unequally spaced as they come; ET or dates), interpolated
        by Hermite polynomials of odd `degree` (3 to 27) over windows of
        (degree + 1) / 2 states, each state's velocity the derivative of its
        position: what the toolkit's ``spkw13`` writes, for spacecraft orbits
        from an integrator. N must be at least the window. Degree 1, which
        ``spkw13`` also writes, is refused: its one-state windows are not
        read back here. The other arguments are those of `add_type9`."""
        return self._add_states(13, target, center, states, epochs, degree, frame, name, start, end)

    def _add_states(self, kind: int, target: str | int, center: str | int, states: Any, epochs: Any, degree: int,
                    frame: str | int, name: str | None, start: Any, end: Any) -> WrittenSegment:
        import numpy as np

        t, c, f = self._body(target), self._body(center), _frame(frame)
        ets = np.ascontiguousarray(_epochs(epochs, _no_leapseconds), dtype=np.float64)
        if ets.ndim != 1:
            raise ValueError(f"epochs must be one-dimensional, not of shape {ets.shape}")
        rows = np.ascontiguousarray(states, dtype=np.float64)
        if rows.ndim != 2 or rows.shape[1] != 6:
            raise ValueError(f"states must have shape (N, 6), not {rows.shape}")
        if ets.size == 0:
            raise ValueError(f"a Type {kind} segment needs at least one state")
        s = float(ets[0]) if start is None else self._epoch(start)
        e = float(ets[-1]) if end is None else self._epoch(end)
        label = self._name(name, t, c)
        add = self._writer.add_type9 if kind == 9 else self._writer.add_type13
        add(t, c, f, s, e, label, operator.index(degree), rows, ets)
        return self._added(WrittenSegment(t, c, f, kind, s, e, label))

    def add_type3(self, target: str | int, center: str | int, records: Any, *, init: Any, intlen: float,
                  frame: str | int = "J2000", name: str | None = None, start: Any = None,
                  end: Any = None) -> WrittenSegment:
        """Add a Type 3 segment of Chebyshev records, each row
        [mid, radius, x0..xn, y0..yn, z0..zn, vx0..vxn, vy0..vyn, vz0..vzn]
        covering `intlen` seconds from `init` (ET or a date) on. The
        segment covers `start` to `end`, by default all the records."""
        import numpy as np

        t, c, f = self._body(target), self._body(center), _frame(frame)
        rows = np.ascontiguousarray(records, dtype=np.float64)
        if rows.ndim != 2:
            raise ValueError(f"records must be two-dimensional, not of shape {rows.shape}")
        if rows.shape[1] < 8 or (rows.shape[1] - 2) % 6 != 0:
            raise ValueError(f"records must have 2 + 6 n columns (mid, radius, then n coefficients of each of "
                             f"x, y, z, vx, vy, vz), not {rows.shape[1]}")
        first = self._epoch(init)
        step = float(intlen)
        s = first if start is None else self._epoch(start)
        e = first + rows.shape[0] * step if end is None else self._epoch(end)
        label = self._name(name, t, c)
        self._writer.add_type3(t, c, f, s, e, label, first, step, rows)
        return self._added(WrittenSegment(t, c, f, 3, s, e, label))

    def write(self, path: str | os.PathLike[str]) -> str:
        """Write the file to `path` (replacing a file there only once the
        new one is complete) and return its absolute path. KernelFileError
        (an OSError with errno and filename) when it cannot be written."""
        text_path = os.fsdecode(os.fspath(path))
        try:
            self._writer.write(text_path)
        except RuntimeError as exc:
            message = str(exc)
            found = _OS_ERROR.search(message)
            if message.startswith("I/O error"):
                code = int(found.group(1)) if found else 0
                raise KernelFileError(code, f"cannot write kernel {text_path}: {message}", text_path) from None
            raise
        return os.path.abspath(text_path)

    # ------------------------------------------------------------------

    def _added(self, segment: WrittenSegment) -> WrittenSegment:
        self._segments.append(segment)
        return segment

    def _body(self, body: str | int) -> int:
        if isinstance(body, str):
            try:
                return self._names.bodn2c(body)
            except BodyNameError:
                try:
                    code = int(body.strip())
                except ValueError:
                    raise BodyNameError(f"unknown body name {body!r}") from None
        elif isinstance(body, bool):
            raise TypeError("a body must be a name (str) or a NAIF code (int), not bool")
        else:
            code = operator.index(body)
        if not _INT32_MIN <= code <= _INT32_MAX:
            raise BodyNameError(f"body code {code} is outside the 32-bit range of NAIF codes")
        return code

    def _name(self, name: str | None, target: int, center: int) -> str:
        if name is not None:
            return name
        def label(code: int) -> str:
            try:
                return self._names.bodc2n(code)
            except BodyNameError:
                return str(code)
        return f"{label(target)} WRT {label(center)}"[:40]

    @staticmethod
    def _epoch(value: Any) -> float:
        arr = _epochs(value, _no_leapseconds)
        if arr.ndim != 0:
            raise TypeError("a segment bound must be one epoch, not an array")
        return float(arr)


def _comment_lines(comments: str | list[str] | None) -> list[str]:
    """The comment area's lines: a str split at its line ends, a list
    taken line by line; each line printable ASCII."""
    if comments is None:
        return []
    if isinstance(comments, str):
        lines = comments.splitlines()
    elif isinstance(comments, (list, tuple)) and all(isinstance(line, str) for line in comments):
        lines = list(comments)
    else:
        raise TypeError("comments must be a str or a list of str lines")
    for number, line in enumerate(lines, 1):
        for column, char in enumerate(line, 1):
            if not " " <= char <= "~":
                raise ValueError(f"comment line {number}, column {column}: {char!r} is not printable ASCII "
                                 "(32 to 126), the only characters a comment area keeps"
                                 + ("; give lines as a list, or a str split at its line ends" if char in "\r\n"
                                    else ""))
    return lines


def _frame_by_name(name: str) -> int | None:
    """The NAIF code of a frame name the package knows, or None."""
    return _FRAME_CODES.get(name.strip().upper())


def _frame(frame: str | int) -> int:
    if isinstance(frame, str):
        code = _frame_by_name(frame)
        if code is None:
            raise FrameError(f"unknown frame {frame!r} for an SPK segment (known by name: "
                             f"{', '.join(_FRAME_CODES)}; any other frame by its NAIF code)")
        return code
    if isinstance(frame, bool):
        raise TypeError("a frame must be a name (str) or a NAIF frame code (int), not bool")
    code = operator.index(frame)
    if not _INT32_MIN <= code <= _INT32_MAX:
        raise FrameError(f"frame code {code} is outside the 32-bit range of NAIF codes")
    return code
