"""The segments of one SPK or binary PCK file, with names and dates.

    >>> for s in kernwerk.read_segments("de421.bsp"):
    ...     print(s.target_name, s.center_name, s.frame_name, s.start_date, s.end_date)

`read_segments` reads the file as a kernel set does (old "NAIF/DAF" and
big-endian files too), tells its kind from its content, and refuses a file of
another kind than the one asked for by name (FileFormatError), a text kernel
(which has no segments) too. Dates are TDB calendar dates, exact and without
leapseconds data, as the segment bounds are TDB seconds past J2000 (ET).
`read_comments` reads the comment area of a DAF.
"""

from __future__ import annotations

import os
from typing import Any, Literal, NamedTuple, overload

from . import _ext
from .bodies import BodyRegistry, default_registry
from .errors import BodyNameError, EpochError, FileFormatError

__all__ = ["PckSegment", "SpkSegment", "frame_name", "read_comments", "read_segments"]

# NAIF's built-in inertial frames (codes 1 to 21), ITRF93, and the body frame
# class of the Earth orientation PCKs, by code.
_FRAME_NAMES = {
    1: "J2000", 2: "B1950", 3: "FK4", 4: "DE-118", 5: "DE-96", 6: "DE-102", 7: "DE-108", 8: "DE-111",
    9: "DE-114", 10: "DE-122", 11: "DE-125", 12: "DE-130", 13: "GALACTIC", 14: "DE-200", 15: "DE-202",
    16: "MARSIAU", 17: "ECLIPJ2000", 18: "ECLIPB1950", 19: "DE-140", 20: "DE-142", 21: "DE-143",
    13000: "ITRF93",
}
_PCK_BODY_FRAMES = {3000: "ITRF93"}
_KIND_NAMES = {"spk": "an SPK file", "pck": "a binary PCK file", "text": "a text kernel",
               "ck": "a C-kernel (list its segments with Kernels.ck_segments)"}


def frame_name(code: int) -> str | None:
    """The name of a NAIF frame code among the built-in inertial frames and
    ITRF93, or None."""
    return _FRAME_NAMES.get(code)


def tdb_dates(ets: Any) -> list[str]:
    """TDB calendar dates of the ETs `ets` (3 decimals), for listings: an
    epoch outside the years that dates are written for (-99999 to 99999),
    or not finite, shows as "ET <value>" instead of failing the listing."""
    import numpy as np

    from .timescales import to_iso

    values = np.atleast_1d(np.asarray(ets, dtype=np.float64)).ravel()
    try:
        return [str(d) for d in np.atleast_1d(to_iso(values, "tdb", 3)).tolist()]
    except EpochError:
        out: list[str] = []
        for et in values.tolist():
            try:
                out.append(str(to_iso(et, "tdb", 3)))
            except EpochError:
                out.append(f"ET {et!r}")
        return out


def _date(et: float) -> str:
    return tdb_dates(et)[0]


def _body_name(code: int, names: BodyRegistry) -> str | None:
    try:
        return names.bodc2n(code)
    except BodyNameError:
        return None


class SpkSegment(NamedTuple):
    """One SPK segment: the fields of its summary, in file order."""

    target: int
    center: int
    frame: int
    data_type: int
    start: float  # ET, TDB seconds past J2000
    end: float
    name: str
    target_name: str | None
    center_name: str | None

    @property
    def frame_name(self) -> str | None:
        return frame_name(self.frame)

    @property
    def start_date(self) -> str:
        """The start as a TDB calendar date, "2000-01-01T12:00:00.000"."""
        return _date(self.start)

    @property
    def end_date(self) -> str:
        return _date(self.end)


class PckSegment(NamedTuple):
    """One binary PCK segment: the orientation of `body_frame` (for
    example 3000, the Earth's ITRF93) relative to `frame`."""

    body_frame: int
    frame: int
    data_type: int
    start: float
    end: float
    name: str

    @property
    def body_frame_name(self) -> str | None:
        return _PCK_BODY_FRAMES.get(self.body_frame)

    @property
    def frame_name(self) -> str | None:
        return frame_name(self.frame)

    @property
    def start_date(self) -> str:
        return _date(self.start)

    @property
    def end_date(self) -> str:
        return _date(self.end)


def kernel_kind(path: str | os.PathLike[str]) -> Literal["spk", "pck", "ck", "text"]:
    """The kind of a kernel file, from its content: "spk", "pck", "ck" or "text".

    KernelFileError when it is missing or unreadable, FileFormatError when
    it is no kernel, or a malformed one."""
    probe = _ext.KernelSet()
    probe.load([os.fsencode(os.path.abspath(os.fspath(path)))])
    kind = probe.files()[0][1]
    probe.clear()
    if kind == "meta":
        kind = "text"
    if kind not in ("spk", "pck", "ck", "text"):  # pragma: no cover - the set knows no other kind
        raise FileFormatError(f"kernel {os.fspath(path)}: unknown kind {kind!r}")
    return kind  # type: ignore[return-value]


@overload
def read_segments(path: str | os.PathLike[str], kind: Literal["spk"], *,
                  names: BodyRegistry | None = None) -> list[SpkSegment]: ...
@overload
def read_segments(path: str | os.PathLike[str], kind: Literal["pck"], *,
                  names: BodyRegistry | None = None) -> list[PckSegment]: ...
@overload
def read_segments(path: str | os.PathLike[str], kind: None = None, *,
                  names: BodyRegistry | None = None) -> list[SpkSegment] | list[PckSegment]: ...
def read_segments(path: str | os.PathLike[str], kind: Literal["spk", "pck"] | None = None, *,
                  names: BodyRegistry | None = None) -> list[SpkSegment] | list[PckSegment]:
    """The segments of the SPK or binary PCK file at `path`, in file order.

    `kind` ("spk" or "pck") is the kind expected: a file of another kind
    raises FileFormatError saying what it is; None accepts either. With a
    `kind`, type checkers see a list of one segment type (`list[SpkSegment]`
    for "spk"). Body
    names come from `names` (a `BodyRegistry`, such as `Kernels.names`),
    by default the package's registry; a code without a name gets None."""
    if kind not in (None, "spk", "pck"):
        raise ValueError(f"kind must be 'spk', 'pck' or None, not {kind!r}")
    text_path = os.fsdecode(os.fspath(path))
    found, spk_rows, pck_rows = _ext.file_segments(os.fsencode(os.path.abspath(os.fspath(path))))
    if found in ("text", "ck") or (kind is not None and found != kind):
        wanted = {"spk": "an SPK file", "pck": "a binary PCK file", None: "an SPK or binary PCK file"}[kind]
        raise FileFormatError(f"kernel {text_path}: {_KIND_NAMES[found]}, not {wanted}")
    if found == "spk":
        registry = names if names is not None else default_registry
        return [SpkSegment(t, c, f, d, s, e, n, _body_name(t, registry), _body_name(c, registry))
                for t, c, f, d, s, e, n in spk_rows]
    return [PckSegment(*row) for row in pck_rows]


def read_comments(path: str | os.PathLike[str]) -> str:
    """The comment area of the DAF (SPK, binary PCK or any other kind) at
    `path`, as the toolkit's `dafec` reads it: its lines joined by "\\n",
    each line that the file ends with a NUL followed by "\\n". Bytes that are
    not UTF-8 read as U+FFFD. An empty string when the file has none.

    KernelFileError when the file is missing or unreadable,
    FileFormatError when it is no DAF."""
    data = _ext.file_comments(os.fsencode(os.path.abspath(os.fspath(path))))
    return data.decode("utf-8", errors="replace")
