"""SPK excerpts: a small kernel of a few bodies over a few years, cut from
one or several SPK files."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

from . import _ext
from .bodies import BodyRegistry, default_registry
from .timescales import to_et, to_iso

__all__ = ["ExcerptSegment", "excerpt"]


class ExcerptSegment(NamedTuple):
    """One segment written to an excerpt: the source it came from (a path of
    `paths`), its target, centre, SPK data type, coverage (ET), and the
    doubles of its data in the excerpt and in the source."""
    source: str
    target: int
    center: int
    data_type: int
    start: float
    end: float
    words: int
    source_words: int


def _code(body: str | int, names: BodyRegistry) -> int:
    if isinstance(body, str):
        return names.bodn2c(body)
    if isinstance(body, bool):
        raise TypeError("a body must be a name (str) or a NAIF code (int), not bool")
    return operator.index(body)


def _epoch(value: Any, what: str) -> float:
    et = to_et(value)
    if not isinstance(et, float):
        raise TypeError(f"{what} must be one epoch (ET or a date), not an array")
    return et


def excerpt(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], out: str | os.PathLike[str],
            start: Any, stop: Any, bodies: Iterable[str | int] | None = None, *,
            names: BodyRegistry | None = None, exact: bool = True) -> list[ExcerptSegment]:
    """Write to `out` a new SPK holding only the data of the SPK file(s)
    `paths` that the span `start` .. `stop` (ET or dates, as `to_et` reads
    them) needs for the targets `bodies` (names or NAIF codes; None: every
    target). Returns the segments written.

    The files are taken with a kernel set's precedence (later files over
    earlier ones, later segments over earlier ones), and the excerpt answers
    every query of those targets over the span bit for bit as a set of the
    sources does:

    * a segment is kept when its target is listed and its coverage meets
      the span, unless segments of its target that take precedence cover its
      part of the span (it is never read there);
    * Types 2 and 3 keep the records from the one serving `start` to the
      one serving `stop`, and earlier ones where needed: a source computes
      the record of an epoch from et - INIT rounded at the magnitude of its
      own far INIT (about 2e-6 s for DE440 in this century), so that the
      epochs just before a record's end go to the next record. Every record
      boundary in the span is checked to fall on the same double as in the
      source, and the excerpt starts as far back as that needs (DE440 for
      2020-2030: from 1748, 18 % of its size). With `exact=False` only the
      records serving the span are kept (DE440 2020-2030: under 2 %); the
      excerpt may then answer from the other of two adjoining records, in
      their last bits, within about a microsecond before a boundary;
    * Types 9 and 13 keep the states of every interpolation window the span
      uses, and one window more on each side;
    * every other type is copied whole.

    Note that a body is reached through its centres: for Earth states
    relative to the Sun list the Earth, the Earth-Moon barycentre and the
    Sun. The file is written atomically (a staging file renamed over `out`),
    with a comment naming its sources and span.

    ValueError for an empty span or an `out` that is one of `paths`;
    BodyNameError for a body no source holds as a target; CoverageError for a
    listed body with no data in the span; KernelFileError / FileFormatError
    for unreadable or non-SPK sources. Nothing is written then."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    sources = [os.path.abspath(os.fspath(p)) for p in paths]
    registry = names if names is not None else default_registry
    if isinstance(bodies, (str, int)):
        bodies = [bodies]
    codes = None if bodies is None else [_code(b, registry) for b in bodies]
    t0, t1 = _epoch(start, "start"), _epoch(stop, "stop")
    lines = [f"Span: {to_iso(t0, 'tdb')} TDB to {to_iso(t1, 'tdb')} TDB."] if t0 < t1 else []
    rows, _ = _ext.excerpt_spk([os.fsencode(p) for p in sources], os.fsencode(os.path.abspath(os.fspath(out))),
                               t0, t1, codes, lines, bool(exact))
    return [ExcerptSegment(os.fsdecode(sources[r[0]]), *r[1:]) for r in rows]
