"""The command line: ``kernwerk`` or ``python -m kernwerk``.

    kernwerk segments FILE [FILE ...] [--kind spk|pck]
    kernwerk state FILE [FILE ...] TARGET CENTER [EPOCH ...] [--start S --stop E --step D] [--frame F]
    kernwerk coverage FILE [FILE ...] BODY
    kernwerk comments FILE [FILE ...]
    kernwerk excerpt FILE [FILE ...] OUT --start S --stop E [--bodies B,B,...] [--inexact]
    kernwerk find FILE [FILE ...] QUANTITY BODIES ... RELATION [VALUE] --start S --stop E --step D
    kernwerk find FILE [FILE ...] occultation TYPE FRONT BACK OBSERVER --start S --stop E --step D
    kernwerk find FILE [FILE ...] fov INSTRUMENT TARGET OBSERVER --start S --stop E --step D
    kernwerk almanac FILE [FILE ...] EVENT [BODY] --start S --stop E [--site LAT LON [HEIGHT_KM]]
    kernwerk --version

Every command takes ``--format table|csv|json`` (`comments`: table, the
text as it is, or json). The files of `state` and
`coverage` load as one kernel set, in the order given (SPK, binary PCK and
text kernels alike, a meta-kernel with the files it lists; later files take
precedence): the leading arguments that
name files (existing ones, or names with a kernel extension or a directory
part) are the files, the rest the bodies and epochs. Bodies are NAIF codes
or names; epochs are ET (TDB seconds past J2000, negative numbers in any
notation included) or dates in ISO or toolkit forms, UTC unless the string
names its scale ("2026-01-01 12:00 TDB"). A range steps in the scale its
endpoints are given in (UTC seconds between UTC dates, so that the rows fall
on whole UTC steps whatever the leap seconds; TDB seconds between ET
numbers) and includes the stop when the steps meet it. Every error is one
line on stderr beginning "kernwerk: ", with exit status 1 (2 for a wrong
command line); output cut short by its reader (``| head``) ends quietly with
status 0.
"""

from __future__ import annotations

import argparse
import errno
import io
import json
import math
import os
import re
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from . import __version__, _ext
from .almanac import MOON_PHASES, TWILIGHT
from .errors import BodyNameError, CoverageError, KernelError, MissingKernelError
from .kernels import Kernels
from .segments import PckSegment, SpkSegment, read_comments, read_segments, tdb_dates
from .timescales import LeapSeconds, from_et, to_et, to_iso

if TYPE_CHECKING:
    import numpy as np

__all__ = ["build_parser", "main"]

# Extensions of SPICE kernels, binary and text, as NAIF names them.
_KERNEL_EXTENSIONS = (".bsp", ".bpc", ".bc", ".tpc", ".pck", ".tls", ".tf", ".tk", ".tm", ".ti", ".tsc", ".tpc",
                      ".ker", ".spk")
# A negative number in any notation ("-1", "-.5", "-1e5", "-1E+05"), or a
# negative step with a unit ("-1h"): argparse would take these for options,
# none of which begins with a digit.
_NEGATIVE_NUMBER = re.compile(r"^-\.?\d")
_INTEGER = re.compile(r"^[+-]?\d+$")
_STEP = re.compile(r"^\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)\s*([a-z]*)\s*$", re.IGNORECASE)
_STEP_UNITS = {"": 1.0, "s": 1.0, "sec": 1.0, "m": 60.0, "min": 60.0, "h": 3600.0, "d": 86400.0, "day": 86400.0}
# Epochs evaluated per batch call on long ranges (the progress bar's tick).
_CHUNK = 1 << 16
_PROGRESS_FROM = 200_000
_MAX_RANGE = 10**10


class UsageError(Exception):
    """A command line that cannot be read: reported in one line, status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


# ----------------------------------------------------------------------
# Reading arguments


def _looks_like_file(arg: str) -> bool:
    return os.path.exists(arg) or os.sep in arg or arg.lower().endswith(_KERNEL_EXTENSIONS)


def _split_files(items: list[str], rest: int, what: str) -> tuple[list[str], list[str]]:
    """The leading items that name files, and the others: at least one file
    and at least `rest` other items. A missing file with a kernel's
    extension or a directory part counts as a file, to be reported by name
    when it is opened."""
    if len(items) < rest + 1:
        raise UsageError(f"expected FILE [FILE ...] {what}")
    if not _looks_like_file(items[0]):
        raise UsageError(f"{items[0].strip()!r} is not a file: the arguments begin with the kernel files "
                         f"(FILE [FILE ...] {what})")
    n = 1
    while n < len(items) - rest and _looks_like_file(items[n]):
        n += 1
    return items[:n], items[n:]


def _step_seconds(text: str) -> float:
    m = _STEP.match(text)
    unit = m.group(2).lower() if m else ""
    if not m or unit not in _STEP_UNITS:
        raise UsageError(f"argument --step: {text.strip()!r} is not a step such as 60, 30s, 10m, 1h or 1d")
    step = float(m.group(1)) * _STEP_UNITS[unit]
    if step == 0 or not math.isfinite(step):
        raise UsageError(f"argument --step: the step must be a non-zero finite duration, not {text.strip()!r}")
    return step


_SCALE_TOKEN = re.compile(r"(?:^|\s)(UTC|TAI|TT|TDT|TDB)\s*$", re.IGNORECASE)
_PLAIN_NUMBER = re.compile(r"^\s*[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\s*$")


def _endpoint_scale(text: str) -> str:
    """The time scale an endpoint of a range is given in: "tdb" for ET
    numbers, the scale a date names, else "utc" (a date's default)."""
    if _PLAIN_NUMBER.match(text):
        return "tdb"
    named = _SCALE_TOKEN.search(text)
    if named:
        return {"TDT": "tt"}.get(named.group(1).upper(), named.group(1).lower())
    return "utc"


def _check_files(files: Sequence[str]) -> None:
    """Files taken as kernels by their extension or directory part must
    exist: a mistyped body such as `moon.bsp` is named before it shifts the
    other arguments (an epoch read as the center, then "no epochs")."""
    for path in files:
        if not os.path.lexists(path):
            raise FileNotFoundError(errno.ENOENT, f"cannot read kernel {path}: No such file or directory (taken "
                                                  "as a kernel file by its name; bodies and epochs follow the files)")


def _files(items: list[str], rest: int, what: str) -> tuple[list[str], list[str]]:
    """The kernel files leading `items` (checked as `_check_files` does) and
    the other arguments: every command that loads a kernel set begins here."""
    files, others = _split_files(items, rest, what)
    _check_files(files)
    return files, others


def _open(files: Sequence[str]) -> Kernels:
    return Kernels(*files)


def _et(kernels: Kernels, text: str) -> float:
    """One epoch argument as ET: a number is ET, a date is UTC unless it
    names its scale (with the set's leapseconds, else the installed ones)."""
    return float(to_et(text.strip(), leapseconds=kernels._leapseconds_object()))


def _ets(kernels: Kernels, epochs: list[str]) -> np.ndarray:
    """Epoch arguments as a 1-d array of ET."""
    import numpy as np

    return np.atleast_1d(np.asarray(to_et(epochs, leapseconds=kernels._leapseconds_object()), dtype=float))


def _body_label(kernels: Kernels | None, code: int, name: str | None = None) -> str:
    if name is None:
        try:
            name = kernels.names.bodc2n(code) if kernels is not None else None
        except BodyNameError:
            name = None
    return f"{name} ({code})" if name else str(code)


def _leapseconds(kernels: Kernels) -> LeapSeconds | None:
    """The set's leapseconds, else the installed ones, else None."""
    own = kernels._leapseconds_object()
    if own is not None:
        return own
    try:
        return LeapSeconds.default()
    except MissingKernelError:
        return None


def _dates(ets: np.ndarray, leapseconds: LeapSeconds | None) -> tuple[list[str], str]:
    """ISO dates of `ets` in UTC when leapseconds data are at hand, else in
    TDB (exact, needing none), and the scale's name."""
    import numpy as np

    if leapseconds is not None:
        return np.atleast_1d(to_iso(ets, "utc", 3, leapseconds=leapseconds)).tolist(), "UTC"
    return np.atleast_1d(to_iso(ets, "tdb", 3)).tolist(), "TDB"


def _number(value: float) -> str:
    # Shortest text that reads back as the same double; JSON has no NaN.
    return repr(float(value))


# ----------------------------------------------------------------------
# Output


class _Writer:
    """Rows out in one of three formats; JSON is streamed as one document."""

    def __init__(self, out: TextIO, fmt: str, columns: list[str], widths: list[int], meta: dict[str, Any]) -> None:
        self.out, self.fmt, self.columns, self.widths, self.meta = out, fmt, columns, widths, meta
        self.rows = 0

    def begin(self) -> None:
        if self.fmt == "table":
            self.out.write(" ".join(f"{c:>{w}}" if w > 0 else f"{c:<{-w}}" for c, w in zip(self.columns, self.widths))
                           .rstrip() + "\n")
        elif self.fmt == "csv":
            self.out.write(",".join(self.columns) + "\n")
        else:
            head = json.dumps(self.meta)[:-1]
            self.out.write(head + (", " if self.meta else "") + '"rows": [')

    def row(self, cells: list[Any], json_row: dict[str, Any]) -> None:
        if self.fmt == "table":
            self.out.write(" ".join(f"{c:>{w}}" if w > 0 else f"{c:<{-w}}" for c, w in zip(cells, self.widths))
                           .rstrip() + "\n")
        elif self.fmt == "csv":
            self.out.write(",".join(_csv_cell(c) for c in cells) + "\n")
        else:
            self.out.write(("," if self.rows else "") + "\n  " + json.dumps(json_row))
        self.rows += 1

    def end(self, footer: str | None = None) -> None:
        if self.fmt == "table":
            if footer:
                self.out.write(footer + "\n")
        elif self.fmt == "json":
            self.out.write("\n]}\n")


def _writer(fmt: str, columns: list[str], csv_columns: list[str], widths: list[int], meta: dict[str, Any],
            scale: str = "") -> _Writer:
    """A writer to stdout with the table's column names, or the CSV's in
    CSV; "{scale}" in a name is the dates' scale ("UTC" or "TDB", lower case
    in CSV names)."""
    names = csv_columns if fmt == "csv" else columns
    return _Writer(sys.stdout, fmt, [n.replace("{scale}", scale.lower() if fmt == "csv" else scale) for n in names],
                   widths, meta)


def _emit(w: _Writer, rows: Iterable[tuple[list[Any], dict[str, Any]]], footer: str | None = None) -> None:
    """Writes the head, each (cells, JSON record) row and the end."""
    w.begin()
    for cells, record in rows:
        w.row(cells, record)
    w.end(footer)


def _csv_cell(value: Any) -> str:
    text = str(value)
    if any(c in text for c in ',"\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


# ----------------------------------------------------------------------
# Commands


def _segments(args: argparse.Namespace) -> int:
    if args.format == "json":
        sys.stdout.write("[")
    for index, path in enumerate(args.files):
        segments = read_segments(path, args.kind)
        if args.format == "table" and len(args.files) > 1:
            kind = "SPK" if segments and isinstance(segments[0], SpkSegment) else "binary PCK"
            sys.stdout.write(("\n" if index else "") + f"{path} ({kind}):\n")
        if args.format == "json" and index:
            sys.stdout.write(",")
        _print_segments(path, segments, args.format)
    if args.format == "json":
        sys.stdout.write("]\n")
    return 0


def _comments(args: argparse.Namespace) -> int:
    texts = [(path, read_comments(path)) for path in args.files]
    if args.format == "json":
        json.dump([{"file": path, "comments": text} for path, text in texts], sys.stdout)
        sys.stdout.write("\n")
        return 0
    for index, (path, text) in enumerate(texts):
        if len(texts) > 1:
            sys.stdout.write(("\n" if index else "") + f"{path}:\n")
        sys.stdout.write(text if not text or text.endswith("\n") else text + "\n")
    return 0


def _excerpt(args: argparse.Namespace) -> int:
    from .excerpt import excerpt
    if len(args.files) < 2:
        raise UsageError("excerpt needs one source SPK file at least, then the output file")
    *sources, out = args.files
    bodies = None
    if args.bodies is not None:
        bodies = [int(b) if _INTEGER.match(b.strip()) else b.strip() for b in args.bodies.split(",") if b.strip()]
    written = excerpt(sources, out, args.start.strip(), args.stop.strip(), bodies, exact=not args.inexact)
    if args.format == "json":
        json.dump({"file": out, "bytes": os.path.getsize(out), "segments": [s._asdict() for s in written]},
                  sys.stdout)
        sys.stdout.write("\n")
        return 0
    dates = tdb_dates([v for s in written for v in (s.start, s.end)])
    if args.format == "csv":
        sys.stdout.write("source,target,center,type,start_et,end_et,start_tdb,end_tdb,words,source_words\n")
    for k, s in enumerate(written):
        row = [s.source, s.target, s.center, s.data_type, repr(s.start), repr(s.end), dates[2 * k],
               dates[2 * k + 1], s.words, s.source_words]
        if args.format == "csv":
            sys.stdout.write(",".join(_csv_cell(v) for v in row) + "\n")
        else:
            sys.stdout.write(f"{s.target:>10} {s.center:>10} type {s.data_type:>2}  {dates[2 * k]} .. "
                             f"{dates[2 * k + 1]}  {s.words} of {s.source_words} words  {s.source}\n")
    if args.format == "table":
        sys.stdout.write(f"{out}: {len(written)} segments, {os.path.getsize(out)} bytes\n")
    return 0


def _print_segments(path: str, segments: list[SpkSegment] | list[PckSegment], fmt: str) -> None:
    spk = not segments or isinstance(segments[0], SpkSegment)
    if spk:
        columns = ["target", "center", "frame", "type", "start (TDB)", "end (TDB)", "start ET (s)", "end ET (s)",
                   "name"]
        widths = [28, 28, 14, 4, 23, 23, 18, 18, -40]
        csv_columns = ["file", "target", "target_name", "center", "center_name", "frame", "frame_name", "type",
                       "start_et", "end_et", "start_tdb", "end_tdb", "name"]
    else:
        columns = ["body frame", "frame", "type", "start (TDB)", "end (TDB)", "start ET (s)", "end ET (s)", "name"]
        widths = [20, 14, 4, 23, 23, 18, 18, -40]
        csv_columns = ["file", "body_frame", "body_frame_name", "frame", "frame_name", "type", "start_et", "end_et",
                       "start_tdb", "end_tdb", "name"]
    w = _writer(fmt, columns, csv_columns, widths, {"file": path, "kind": "spk" if spk else "pck"})
    w.begin()
    for s in segments:
        frame = f"{s.frame_name} ({s.frame})" if s.frame_name else str(s.frame)
        record: dict[str, Any]
        if isinstance(s, SpkSegment):
            record = {"target": s.target, "target_name": s.target_name, "center": s.center,
                      "center_name": s.center_name, "frame": s.frame, "frame_name": s.frame_name}
            table = [_body_label(None, s.target, s.target_name), _body_label(None, s.center, s.center_name), frame]
        else:
            record = {"body_frame": s.body_frame, "body_frame_name": s.body_frame_name, "frame": s.frame,
                      "frame_name": s.frame_name}
            body = f"{s.body_frame_name} ({s.body_frame})" if s.body_frame_name else str(s.body_frame)
            table = [body, frame]
        record.update({"type": s.data_type, "start_et": s.start, "end_et": s.end, "start_tdb": s.start_date,
                       "end_tdb": s.end_date, "name": s.name})
        if fmt == "table":
            cells = table + [s.data_type, s.start_date, s.end_date, f"{s.start:.3f}", f"{s.end:.3f}", s.name]
        else:
            cells = [path] + ["" if v is None else (_number(v) if isinstance(v, float) else v)
                              for v in record.values()]
        w.row(cells, record)
    w.end(f"{len(segments)} segment{'' if len(segments) == 1 else 's'}")


def _state(args: argparse.Namespace) -> int:
    import numpy as np

    files, rest = _files(args.items, 2, "TARGET CENTER [EPOCH ...]")
    target, center, epochs = rest[0].strip(), rest[1].strip(), [e.strip() for e in rest[2:]]
    ranged = [args.start, args.stop, args.step]
    if epochs and any(v is not None for v in ranged):
        raise UsageError("give epochs or --start/--stop/--step, not both")
    if not epochs and any(v is None for v in ranged):
        if any(v is not None for v in ranged):
            missing = [n for n, v in zip(("--start", "--stop", "--step"), ranged) if v is None]
            raise UsageError(f"a range needs --start, --stop and --step ({', '.join(missing)} missing)")
        raise UsageError("no epochs: give EPOCH ... or --start, --stop and --step")

    with _open(files) as kernels:
        t, c = kernels.body_code(target), kernels.body_code(center)
        lsk = _leapseconds(kernels)
        if epochs:
            ets = _ets(kernels, epochs)
            chunks: Iterator[np.ndarray] = iter([ets])
            count = ets.size
        else:
            start_et, stop_et = _et(kernels, args.start), _et(kernels, args.stop)
            step = _step_seconds(args.step)
            # Steps are taken in the endpoints' own scale (ET when they differ).
            scales = {_endpoint_scale(args.start), _endpoint_scale(args.stop)}
            step_scale = scales.pop() if len(scales) == 1 else "tdb"
            if step_scale == "tdb":
                start, stop = start_et, stop_et
            else:
                start = float(from_et(start_et, step_scale, leapseconds=lsk))
                stop = float(from_et(stop_et, step_scale, leapseconds=lsk))
            span = (stop - start) / step
            if not math.isfinite(span) or span < 0:
                raise UsageError(f"the range from {args.start.strip()!r} to {args.stop.strip()!r} by "
                                 f"{args.step.strip()!r} holds no epoch")
            if span >= _MAX_RANGE:
                raise UsageError(f"the range from {args.start.strip()!r} to {args.stop.strip()!r} by "
                                 f"{args.step.strip()!r} holds too many epochs (at most {_MAX_RANGE})")
            # The stop is included when the steps meet it to within rounding.
            count = int(math.floor(span * (1 + 1e-15) + 1e-9)) + 1
            chunks = (_range_chunk(start, step, i, min(i + _CHUNK, count), step_scale, lsk)
                      for i in range(0, count, _CHUNK))
        frame = args.frame.strip().upper()
        meta = {"target": {"code": t, "name": _name_or_none(kernels, t)},
                "center": {"code": c, "name": _name_or_none(kernels, c)}, "frame": frame,
                "units": {"position": "km", "velocity": "km/s"}}
        w = _writer(args.format,
                    ["date ({scale})", "ET (s)", "x (km)", "y (km)", "z (km)", "vx (km/s)", "vy (km/s)", "vz (km/s)"],
                    ["date_{scale}", "et", "x", "y", "z", "vx", "vy", "vz"], [-23, 18, 20, 20, 20, 14, 14, 14], meta,
                    "UTC" if lsk is not None else "TDB")
        bar = _progress(count) if count >= _PROGRESS_FROM and _progress_wanted() else None
        try:
            # Every chunk is evaluated before anything of it is written, so a
            # failing epoch leaves no half-written row.
            first = True
            for chunk in chunks:
                states = _with_hint(kernels, lambda: kernels.state(t, c, chunk, frame))
                if first:
                    w.begin()
                    first = False
                # A chunk's rows go out in one write (a terminal's stdout
                # is line-buffered: a write per row would be slow).
                if args.format == "csv":
                    _write_csv_states(chunk, states, lsk)
                else:
                    dates, _ = _dates(chunk, lsk)
                    w.out = io.StringIO()
                    _write_states(w, args.format, chunk, dates, states)
                    sys.stdout.write(w.out.getvalue())
                    w.out = sys.stdout
                if bar is not None:
                    bar(chunk.size)
        finally:
            if bar is not None:
                bar(-1)
        w.end()
    return 0


def _subpoint(args: argparse.Namespace) -> int:
    import numpy as np

    files, rest = _files(args.items, 3, "TARGET OBSERVER EPOCH [EPOCH ...]")
    target, observer, epochs = rest[0].strip(), rest[1].strip(), [e.strip() for e in rest[2:]]
    with _open(files) as kernels:
        lsk = _leapseconds(kernels)
        ets = _ets(kernels, epochs)
        method = "INTERCEPT/ELLIPSOID" if args.method == "intercept" else "NEAR POINT/ELLIPSOID"
        # Everything is computed before anything is written.
        sub = _with_hint(kernels, lambda: kernels.subpnt(target, observer, ets, method=method,
                                                         correction=args.correction))
        point, vector = np.asarray(sub.point), np.asarray(sub.vector)
        lon = np.degrees(np.arctan2(point[:, 1], point[:, 0]))
        lat = np.degrees(np.arctan2(point[:, 2], np.hypot(point[:, 0], point[:, 1])))
        dist = np.linalg.norm(vector, axis=1)
        dates, scale = _dates(ets, lsk)
        t, o = kernels.body_code(target), kernels.body_code(observer)
        meta = {"target": {"code": t, "name": _name_or_none(kernels, t)},
                "observer": {"code": o, "name": _name_or_none(kernels, o)}, "method": method,
                "correction": args.correction, "frame": kernels.body_frame(target).name,
                "units": {"position": "km", "angles": "deg (planetocentric)"}}
        w = _writer(args.format,
                    ["date ({scale})", "ET (s)", "x (km)", "y (km)", "z (km)", "lon (deg)", "lat (deg)", "range (km)"],
                    ["date_{scale}", "et", "x", "y", "z", "lon", "lat", "range"], [-23, 18, 16, 16, 16, 12, 12, 16],
                    meta, scale)

        def rows() -> Iterator[tuple[list[Any], dict[str, Any]]]:
            for i in range(ets.size):
                nums = [float(ets[i]), *map(float, point[i]), float(lon[i]), float(lat[i]), float(dist[i])]
                cells = [dates[i]] + ([repr(v) for v in nums] if args.format == "csv" else
                                      [f"{nums[0]:.6f}"] + [f"{v:.6f}" for v in nums[1:]])
                yield cells, {"date": dates[i], "et": nums[0], "point": nums[1:4], "lon": nums[4], "lat": nums[5],
                              "range": nums[6]}

        _emit(w, rows())
    return 0


def _range_chunk(start: float, step: float, first: int, end: int, scale: str,
                 lsk: LeapSeconds | None) -> np.ndarray:
    """ET of the range's epochs `first` to `end` (excluded): start + k step
    in `scale`, converted to ET."""
    import numpy as np

    stamps = start + step * np.arange(first, end, dtype=float)
    if scale == "tdb":
        return stamps
    return np.asarray(to_et(stamps, scale, leapseconds=lsk), dtype=float)


def _write_csv_states(ets: np.ndarray, states: np.ndarray, lsk: LeapSeconds | None) -> None:
    """CSV rows of a chunk, formatted in bulk: the dates by to_iso, the
    numbers as repr writes them (every digit), one write."""
    import numpy as np

    scale = "utc" if lsk is not None else "tdb"
    dates = np.atleast_1d(to_iso(ets, scale, 3, leapseconds=lsk))
    codes = dates.view(np.uint32).reshape(dates.size, -1)
    text = _ext.csv_rows(codes, np.ascontiguousarray(ets, dtype=float), np.ascontiguousarray(states, dtype=float))
    binary = getattr(sys.stdout, "buffer", None)
    if binary is None:  # a text-only stream put in place of stdout
        sys.stdout.write(text.decode("ascii"))
        return
    sys.stdout.flush()
    binary.write(text)


def _with_hint(kernels: Kernels, query: Any) -> Any:
    """Runs `query`; a CoverageError for a body no segment has as its target
    gets a hint naming the loaded bodies of the same system (MARS
    BARYCENTER (4) for Mars on DE440)."""
    try:
        return query()
    except CoverageError as exc:
        found = re.search(r"no loaded SPK segment has body (-?\d+) as its target", str(exc))
        if not found:
            raise
        hint = _system_hint(kernels, int(found.group(1)))
        if hint is None:
            raise
        raise CoverageError(f"{exc}; {hint}") from None


def _system_hint(kernels: Kernels, code: int) -> str | None:
    loaded = kernels.bodies()
    # A planet and its satellites (199, 299, 301 ...) belong to the system
    # of their barycenter (1, 2, 3 ...); a barycenter's planet is x99.
    if 100 <= code <= 999:
        related = [code // 100] + [code // 100 * 100 + 99]
    elif 1 <= code <= 9:
        related = [code * 100 + 99]
    else:
        return None
    have = [b for b in related if b in loaded and b != code]
    if not have:
        return None
    names = ", ".join(_body_label(kernels, b) for b in have)
    return f"{names} {'is' if len(have) == 1 else 'are'} loaded (ask for {'it' if len(have) == 1 else 'one of them'}" \
           " instead, or load a kernel that has the body itself)"


def _progress_wanted() -> bool:
    """A progress bar is drawn on stderr when stderr is a terminal and the
    rows go elsewhere (a file, a pipe): rows on the same terminal would be
    drawn through it and are their own progress."""
    try:
        return sys.stderr.isatty() and not sys.stdout.isatty()
    except (AttributeError, ValueError):
        return False


def _write_states(w: _Writer, fmt: str, ets: np.ndarray, dates: list[str], states: np.ndarray) -> None:
    for et, date, s in zip(ets.tolist(), dates, states.tolist()):
        if fmt == "table":
            cells = [date, f"{et:.3f}"] + [f"{v:.6f}" for v in s[:3]] + [f"{v:.9f}" for v in s[3:]]
        elif fmt == "csv":
            cells = [date, _number(et)] + [_number(v) for v in s]
        else:
            cells = []
        w.row(cells, {"date": date, "et": et, "position": s[:3], "velocity": s[3:]})


def _name_or_none(kernels: Kernels, code: int) -> str | None:
    try:
        return kernels.names.bodc2n(code)
    except BodyNameError:
        return None


def _coverage(args: argparse.Namespace) -> int:
    import numpy as np

    files, rest = _files(args.items, 1, "BODY")
    if len(rest) != 1:
        raise UsageError(f"expected FILE [FILE ...] BODY, got {len(rest)} arguments after the files: "
                         + " ".join(repr(r.strip()) for r in rest))
    body = rest[0].strip()
    name: str | None
    with _open(files) as kernels:
        if body.upper() == "ITRF93":
            intervals = np.array(kernels._set.pck_coverage(3000), dtype=float).reshape(-1, 2)
            label, code, name = "ITRF93 (Earth orientation)", 3000, "ITRF93"
        else:
            code = kernels.body_code(body)
            intervals = kernels.coverage(code)
            name = _name_or_none(kernels, code)
            label = _body_label(kernels, code, name)
        if intervals.shape[0] == 0:
            raise CoverageError(f"no segment for {label} in {', '.join(files)}")
        starts, ends = tdb_dates(intervals[:, 0]), tdb_dates(intervals[:, 1])
        w = _writer(args.format, ["start (TDB)", "end (TDB)", "start ET (s)", "end ET (s)", "days"],
                    ["start_tdb", "end_tdb", "start_et", "end_et", "days"], [-23, -23, 18, 18, 12],
                    {"body": {"code": code, "name": name}, "files": files})
        if args.format == "table":
            sys.stdout.write(f"{label}: {intervals.shape[0]} interval{'s' if intervals.shape[0] != 1 else ''}\n")

        def rows() -> Iterator[tuple[list[Any], dict[str, Any]]]:
            for (s, e), sd, ed in zip(intervals.tolist(), starts, ends):
                days = (e - s) / 86400.0
                if args.format == "table":
                    cells = [sd, ed, f"{s:.3f}", f"{e:.3f}", f"{days:.3f}"]
                else:
                    cells = [sd, ed, _number(s), _number(e), _number(days)]
                yield cells, {"start_tdb": sd, "end_tdb": ed, "start_et": s, "end_et": e, "days": days}

        _emit(w, rows())
    return 0


def _progress(total: int) -> Any:
    """A callable advancing a progress bar on stderr by n epochs (-1 closes
    it), from tqdm or rich when installed (the `progress` extra); None when
    neither is."""
    try:
        from tqdm import tqdm
    except ImportError:
        pass
    else:
        bar = tqdm(total=total, unit="epoch", unit_scale=True, file=sys.stderr, leave=False)

        def advance_tqdm(n: int) -> None:
            bar.close() if n < 0 else bar.update(n)

        return advance_tqdm
    try:
        from rich.progress import Progress
    except ImportError:
        return None
    progress = Progress(transient=True, console=None)
    progress.start()
    task = progress.add_task("epochs", total=total)

    def advance_rich(n: int) -> None:
        progress.stop() if n < 0 else progress.advance(task, n)

    return advance_rich


def _ck(args: argparse.Namespace) -> int:
    files = list(args.files)
    _check_files(files)
    with _open(files) as kernels:
        segments = kernels.ck_segments()
        if not segments:
            raise CoverageError(f"no CK segment in {', '.join(files)}")
        if args.coverage:
            _emit(_writer(args.format, ["instrument", "start (ticks)", "end (ticks)"], ["instrument", "start", "end"],
                          [11, 20, 20], {"files": files, "level": args.level}),
                  (([inst, _number(a), _number(b)], {"instrument": inst, "start": a, "end": b})
                   for inst in kernels.ck_objects() for a, b in kernels.ck_coverage(inst, level=args.level).tolist()))
            return 0
        columns = ["file", "index", "name", "instrument", "frame", "type", "av", "start", "end"]
        _emit(_writer(args.format, columns, columns, [-24, 5, -20, 11, 8, 4, 3, 20, 20], {"files": files}),
              (([os.path.basename(g.path) if args.format == "table" else g.path, g.position, g.name, g.instrument,
                 g.frame, g.data_type, "yes" if g.angular_velocity else "no", _number(g.start), _number(g.end)],
                {"file": g.path, "index": g.position, "name": g.name, "instrument": g.instrument, "frame": g.frame,
                 "type": g.data_type, "angular_velocity": g.angular_velocity, "start": g.start, "end": g.end})
               for g in segments))
    return 0


def _sclk(args: argparse.Namespace) -> int:
    import numpy as np

    files, rest = _files(args.items, 2, "CLOCK VALUE [VALUE ...]")
    with _open(files) as kernels:
        clock = kernels.sclk(rest[0].strip())
        values = [v.strip() for v in rest[1:]]
        if args.source == "string":
            ticks = np.atleast_1d(clock.encode(values))
        else:
            try:
                numbers = np.array([float(v) for v in values])
            except ValueError as exc:
                raise UsageError(f"--from {args.source}: {exc}") from None
            ticks = numbers if args.source == "ticks" else np.atleast_1d(clock.from_et(numbers))
        ets = np.atleast_1d(clock.to_et(ticks))
        strings = np.atleast_1d(clock.decode(ticks)).tolist()
        _emit(_writer(args.format, ["clock", "ticks", "ET (s)", "TDB"], ["clock", "ticks", "et", "tdb"],
                      [-24, 20, 20, -23], {"clock": clock.id}),
              (([text, _number(t), _number(et), date], {"clock": text, "ticks": t, "et": et, "tdb": date})
               for text, t, et, date in zip(strings, ticks.tolist(), ets.tolist(), tdb_dates(ets))))
    return 0


# ----------------------------------------------------------------------


# ----------------------------------------------------------------------
# find: event search

# The bodies each quantity of `find` takes, and the extra words after them.
_FIND_QUANTITIES = {"distance": ("TARGET OBSERVER", 2, 0), "range_rate": ("TARGET OBSERVER", 2, 0),
                    "coordinate": ("TARGET OBSERVER SYSTEM COORDINATE", 2, 2),
                    "separation": ("TARGET1 TARGET2 OBSERVER", 3, 0),
                    "phase_angle": ("TARGET ILLUMINATOR OBSERVER", 3, 0),
                    "elevation": ("TARGET LATITUDE LONGITUDE HEIGHT_KM", 1, 3)}
_RELATIONS = {"=", "<", ">", "LOCMIN", "LOCMAX", "ABSMIN", "ABSMAX"}
# The conditions of `find` that hold or not (no relation), and their words.
_FIND_CONDITIONS = {"occultation": "TYPE FRONT BACK OBSERVER", "fov": "INSTRUMENT TARGET OBSERVER"}


def _find(args: argparse.Namespace) -> int:
    from . import events

    files, rest = _files(args.items, 4, "QUANTITY BODIES ... RELATION [VALUE]")
    quantity = rest[0].strip().lower().replace("-", "_")
    if quantity in _FIND_CONDITIONS:
        return _find_condition(args, files, quantity, [w.strip() for w in rest[1:]])
    if quantity not in _FIND_QUANTITIES:
        raise UsageError(f"unknown quantity {rest[0].strip()!r} (accepted: "
                         f"{', '.join(list(_FIND_QUANTITIES) + list(_FIND_CONDITIONS))})")
    usage, n_bodies, n_words = _FIND_QUANTITIES[quantity]
    words = rest[1:]
    if len(words) < n_bodies + n_words + 1 or len(words) > n_bodies + n_words + 2:
        raise UsageError(f"expected {quantity} {usage} RELATION [VALUE]")
    bodies = [w.strip() for w in words[:n_bodies]]
    extra = [w.strip() for w in words[n_bodies:n_bodies + n_words]]
    relation = words[n_bodies + n_words].strip().upper()
    if relation not in _RELATIONS:
        raise UsageError(f"unknown relation {relation!r} (accepted: {', '.join(sorted(_RELATIONS))})")
    value_text = words[n_bodies + n_words + 1] if len(words) > n_bodies + n_words + 1 else None
    if value_text is None and relation in ("=", "<", ">"):
        raise UsageError(f"relation {relation} needs a VALUE")
    try:
        value = float(value_text) if value_text is not None else 0.0
    except ValueError:
        raise UsageError(f"VALUE {str(value_text).strip()!r} is not a number") from None
    step = _find_step(args)
    with _open(files) as kernels:
        start, stop = _find_span(args, kernels)
        common: dict[str, Any] = dict(window=[[start, stop]], step=step, correction=args.correction,
                                      adjust=args.adjust, tolerance=args.tolerance, progress=args.progress)
        if quantity == "distance":
            found = events.find_distance(kernels, bodies[0], bodies[1], relation, value, **common)
        elif quantity == "range_rate":
            found = events.find_range_rate(kernels, bodies[0], bodies[1], relation, value, **common)
        elif quantity == "coordinate":
            found = events.find_coordinate(kernels, bodies[0], bodies[1], extra[0], extra[1], relation, value,
                                           frame=args.frame, **common)
        elif quantity == "separation":
            found = events.find_separation(kernels, bodies[0], bodies[1], bodies[2], relation, value,
                                           shape1=args.shape1, shape2=args.shape2, **common)
        elif quantity == "elevation":
            from .sites import Site

            try:
                lat, lon, height = (float(x) for x in extra)
            except ValueError:
                raise UsageError(f"LATITUDE LONGITUDE HEIGHT_KM must be numbers (degrees, km), not {extra}") from None
            found = events.find_elevation(kernels, bodies[0], Site.geodetic(lat, lon, height), relation, value,
                                          **common)
        else:
            found = events.find_phase_angle(kernels, bodies[0], bodies[1], bodies[2], relation, value, **common)
        _print_windows(args, kernels, found, {"quantity": quantity, "bodies": bodies, "relation": relation,
                                              "value": value, "files": files})
    return 0


# ----------------------------------------------------------------------
# almanac: risings, settings, transits, twilight, Moon phases, oppositions

# Each event of `almanac`: whether it takes a BODY and a site, and the
# names of its kinds (the codes of `kernwerk.almanac`).
_ALMANAC = {"risings": (True, True, ("setting", "rising")), "transits": (True, True, ("", "transit")),
            "twilight": (False, True, ("dusk", "dawn")), "moon_phases": (False, False, MOON_PHASES),
            "oppositions": (True, False, ("conjunction", "opposition"))}
# Mercury and Venus have no oppositions: their kind 1 is the conjunction at
# which they pass the Sun eastward, the superior one.
_INNER = {1, 2, 199, 299}


def _almanac(args: argparse.Namespace) -> int:
    from . import almanac
    from .sites import Site

    files, rest = _files(args.items, 1, "EVENT [BODY]")
    event = rest[0].strip().lower().replace("-", "_")
    if event not in _ALMANAC:
        raise UsageError(f"unknown event {rest[0].strip()!r} (accepted: {', '.join(_ALMANAC)})")
    wants_body, wants_site, names = _ALMANAC[event]
    if len(rest) != 1 + wants_body:
        raise UsageError(f"expected FILE [FILE ...] {event}{' BODY' if wants_body else ''}, got "
                         + (" ".join(repr(r.strip()) for r in rest[1:]) or "no body") + " after it")
    site = None
    if wants_site:
        if args.site is None:
            raise UsageError(f"{event} needs --site LATITUDE LONGITUDE [HEIGHT_KM]")
        if len(args.site) not in (2, 3):
            raise UsageError(f"--site takes LATITUDE LONGITUDE [HEIGHT_KM], not {len(args.site)} values")
        try:
            lat, lon, height = (float(v) for v in [*args.site, "0"][:3])
        except ValueError:
            raise UsageError("--site LATITUDE LONGITUDE [HEIGHT_KM] must be numbers (degrees, km), not "
                             + " ".join(repr(v.strip()) for v in args.site)) from None
        site = Site.geodetic(lat, lon, height)
    elif args.site is not None:
        raise UsageError(f"{event} takes no --site")
    if args.horizon is not None and event != "risings":
        raise UsageError(f"--horizon is for risings, not {event}")
    body = rest[1].strip() if wants_body else "MOON" if event == "moon_phases" else "SUN"
    step = {} if args.step is None else {"step": abs(_step_seconds(args.step))}
    options: dict[str, Any] = {"correction": args.correction, **step}
    with _open(files) as kernels:
        start, stop = _et(kernels, args.start), _et(kernels, args.stop)
        if not stop > start:
            raise UsageError(f"--stop {args.stop.strip()!r} must come after --start {args.start.strip()!r}")
        def query() -> almanac.Events:
            if event == "moon_phases":
                return almanac.moon_phases(kernels, start, stop, frame=args.frame, **options)
            if event == "oppositions":
                return almanac.oppositions_conjunctions(kernels, body, start, stop, frame=args.frame, **options)
            assert site is not None  # checked above for the events from a site
            if event == "risings":
                return almanac.risings_settings(kernels, body, site, start, stop,
                                                horizon=-0.8333 if args.horizon is None else args.horizon, **options)
            if event == "transits":
                return almanac.transits(kernels, body, site, start, stop, **options)
            return almanac.twilight(kernels, site, start, stop, args.twilight, **options)

        found = _with_hint(kernels, query)
        code = kernels.body_code(body)
        if event == "oppositions" and code in _INNER:
            names = ("inferior conjunction", "superior conjunction")
        elif event == "twilight":
            names = tuple(f"{args.twilight} {n}" for n in names)
        ets, kinds = found.et, found.kind.tolist()
        dates, scale = _dates(ets, _leapseconds(kernels)) if len(ets) else ([], "UTC")
        label = _body_label(kernels, code)
        meta = {"event": event, "body": {"code": code, "name": _name_or_none(kernels, code)}, "files": files}
        if site is not None:
            meta["site"] = {"latitude": site.latitude, "longitude": site.longitude, "height": site.height}
        w = _writer(args.format, ["date ({scale})", "ET (s)", "event", "body"],
                    ["date_{scale}", "et", "event", "kind", "body"], [-23, 18, -24, -20], meta, scale)
        if args.format == "table":
            sys.stdout.write(f"{len(ets)} event{'s' if len(ets) != 1 else ''}\n")
        _emit(w, (([d, f"{et:.3f}" if args.format == "table" else _number(et), names[k]]
                   + ([] if args.format == "table" else [k]) + [label],
                   {"date": d, "et": et, "event": names[k], "kind": k})
                  for d, et, k in zip(dates, ets.tolist(), kinds)))
    return 0


def _find_step(args: argparse.Namespace) -> float:
    if args.start is None or args.stop is None or args.step is None:
        raise UsageError("find needs --start, --stop and --step")
    return _step_seconds(args.step)


def _find_span(args: argparse.Namespace, kernels: Any) -> tuple[float, float]:
    if _PLAIN_NUMBER.match(args.start) and _PLAIN_NUMBER.match(args.stop):
        return float(args.start), float(args.stop)
    start, stop = (float(x) for x in kernels._epochs([args.start.strip(), args.stop.strip()]))
    return start, stop


def _find_condition(args: argparse.Namespace, files: list[str], condition: str, words: list[str]) -> int:
    from . import events

    usage = _FIND_CONDITIONS[condition]
    if len(words) != len(usage.split()):
        raise UsageError(f"expected {condition} {usage}")
    step = _find_step(args)
    with _open(files) as kernels:
        start, stop = _find_span(args, kernels)
        common: dict[str, Any] = dict(window=[[start, stop]], step=step, correction=args.correction,
                                      tolerance=args.tolerance, progress=args.progress)
        if condition == "occultation":
            found = events.find_occultation(kernels, words[0], words[1], words[2], words[3],
                                            front_shape=args.front_shape, back_shape=args.back_shape,
                                            front_frame=args.front_frame, back_frame=args.back_frame, **common)
        else:
            found = events.find_target_in_fov(kernels, words[0], words[1], words[2], shape=args.target_shape,
                                              target_frame=args.target_frame, **common)
        _print_windows(args, kernels, found, {"quantity": condition, "bodies": words, "files": files})
    return 0


def _print_windows(args: argparse.Namespace, kernels: Any, found: Any, meta: dict[str, Any]) -> None:
    dates, scale = _dates(found.reshape(-1), _leapseconds(kernels)) if len(found) else ([], "UTC")
    columns = [f"start ({scale})", f"stop ({scale})", "start ET (s)", "stop ET (s)", "seconds"]
    if args.format == "csv":
        columns = [f"start_{scale.lower()}", f"stop_{scale.lower()}", "start_et", "stop_et", "seconds"]
    w = _Writer(sys.stdout, args.format, columns, [-23, -23, 18, 18, 14], meta)
    if args.format == "table":
        sys.stdout.write(f"{len(found)} interval{'s' if len(found) != 1 else ''}\n")
    w.begin()
    for i, (s, e) in enumerate(found.tolist()):
        sd, ed = dates[2 * i], dates[2 * i + 1]
        cells = [sd, ed, f"{s:.6f}", f"{e:.6f}", f"{e - s:.6f}"] if args.format == "table" else \
            [sd, ed, _number(s), _number(e), _number(e - s)]
        w.row(cells, {"start": sd, "stop": ed, "start_et": s, "stop_et": e, "seconds": e - s})
    w.end()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kernwerk", description="Inspect and evaluate NAIF SPICE kernels.")
    parser.add_argument("--version", action="version", version=f"kernwerk {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    fmt = {"choices": ["table", "csv", "json"], "default": "table", "help": "output format (default: table)"}

    p = sub.add_parser("segments", help="list the segments of SPK and binary PCK files",
                       description="List the segments of SPK and binary PCK files, with body and frame names and "
                                   "TDB dates.")
    p.add_argument("files", nargs="+", metavar="FILE", help="SPK or binary PCK file")
    p.add_argument("--kind", choices=["spk", "pck"], help="refuse files of the other kind")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_segments)

    p = sub.add_parser("state", help="state of TARGET relative to CENTER at epochs",
                       usage="kernwerk state [-h] FILE [FILE ...] TARGET CENTER [EPOCH ...] "
                             "[--start START --stop STOP --step STEP] [--frame FRAME] [--format {table,csv,json}]",
                       description="State of TARGET relative to CENTER at each EPOCH or over a range, from the "
                                   "kernel files loaded as one set (later files take precedence).")
    p.add_argument("items", nargs="+", metavar="FILE ... TARGET CENTER EPOCH ...",
                   help="kernel files, then the target and center (NAIF code or name), then epochs: ET seconds "
                        "or dates (UTC unless the date names its scale, e.g. '2026-01-01 12:00 TDB')")
    p.add_argument("--start", help="first epoch of a range")
    p.add_argument("--stop", help="last epoch of a range (included when the steps meet it)")
    p.add_argument("--step", help="step of a range: seconds, or with a unit: 30s, 10m, 1h, 1d")
    p.add_argument("--frame", default="J2000", help="any frame the files know: J2000 (default), ECLIPJ2000, "
                                                    "ITRF93 (needs an Earth orientation PCK among the files), "
                                                    "IAU_<body> (needs its PCK constants), a frame kernel's frames")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_state)

    p = sub.add_parser("coverage", help="the time intervals a body has data for",
                       usage="kernwerk coverage [-h] FILE [FILE ...] BODY [--format {table,csv,json}]",
                       description="The intervals over which the files give BODY's state (or ITRF93 orientation).")
    p.add_argument("items", nargs="+", metavar="FILE ... BODY", help="kernel files, then a body (code or name)")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_coverage)

    p = sub.add_parser("comments", help="the comment areas of DAF files",
                       description="Print the comment area of each DAF file (SPK, binary PCK or another kind), "
                                   "as the toolkit's dafec reads it.")
    p.add_argument("files", nargs="+", metavar="FILE", help="a DAF file")
    p.add_argument("--format", choices=["table", "json"], default="table",
                   help="table (the text as it is, the default) or json")
    p.set_defaults(func=_comments)

    p = sub.add_parser("excerpt", help="write a new SPK of a few bodies over a span of the files' data",
                       usage="kernwerk excerpt [-h] FILE [FILE ...] OUT --start START --stop STOP "
                             "[--bodies B,B,...] [--inexact] [--format {table,csv,json}]",
                       description="Write to OUT the data of the SPK files (later files take precedence) that "
                                   "the span START..STOP needs for the listed targets, answering as the files "
                                   "do over the span; list the segments written.")
    p.add_argument("files", nargs="+", metavar="FILE ... OUT", help="source SPK files, then the output file")
    p.add_argument("--start", required=True, help="first epoch: ET seconds or a date")
    p.add_argument("--stop", required=True, help="last epoch: ET seconds or a date")
    p.add_argument("--bodies", help="comma-separated targets (codes or names; default: every target)")
    p.add_argument("--inexact", action="store_true",
                   help="Chebyshev segments keep only the records serving the span (smaller; may differ in the "
                        "last bits within a microsecond before record boundaries)")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_excerpt)
    p = sub.add_parser("find", help="when a distance, coordinate, range rate or angle meets a condition",
                       usage="kernwerk find [-h] FILE [FILE ...] QUANTITY BODIES ... RELATION [VALUE] --start START "
                             "--stop STOP --step STEP [options]",
                       description="The windows in which a quantity meets a relation (the toolkit's gfdist, gfrr, "
                                   "gfposc, gfsep): distance TARGET OBSERVER, range_rate TARGET OBSERVER, "
                                   "coordinate TARGET OBSERVER SYSTEM COORDINATE (angles in degrees), separation "
                                   "TARGET1 TARGET2 OBSERVER (degrees), phase_angle TARGET ILLUMINATOR OBSERVER "
                                   "(degrees), elevation TARGET LATITUDE LONGITUDE HEIGHT_KM (degrees above the "
                                   "WGS84 horizon of that site on the Earth; risings with >, transits with "
                                   "LOCMAX). RELATION is =, <, >, LOCMIN, LOCMAX, "
                                   "ABSMIN or ABSMAX. Conditions without a relation: occultation TYPE FRONT BACK "
                                   "OBSERVER (gfoclt; TYPE FULL, ANNULAR, PARTIAL or ANY), fov INSTRUMENT TARGET "
                                   "OBSERVER (gftfov). Features shorter than the step may be missed.")
    p.add_argument("items", nargs="+", metavar="FILE ... QUANTITY BODIES ... RELATION [VALUE]",
                   help="kernel files, the quantity and its bodies, the relation and its reference value")
    p.add_argument("--start", help="start of the search (ET or a date)")
    p.add_argument("--stop", help="end of the search (ET or a date)")
    p.add_argument("--step", help="sampling step: seconds, or with a unit: 30s, 10m, 1h, 1d")
    p.add_argument("--correction", default="NONE", help="aberration correction (default NONE)")
    p.add_argument("--adjust", type=float, default=0.0, help="ABSMIN/ABSMAX: the window within this of the extreme")
    p.add_argument("--tolerance", type=float, default=1e-6, help="convergence tolerance in seconds (default 1e-6)")
    p.add_argument("--frame", default="J2000", help="frame of a coordinate (default J2000)")
    p.add_argument("--shape1", default="POINT", help="separation: POINT or SPHERE")
    p.add_argument("--shape2", default="POINT", help="separation: POINT or SPHERE")
    p.add_argument("--front-shape", default="ELLIPSOID", help="occultation: the front target's shape (ELLIPSOID)")
    p.add_argument("--back-shape", default="ELLIPSOID", help="occultation: ELLIPSOID or POINT")
    p.add_argument("--front-frame", help="occultation: the front target's body-fixed frame (default: its own)")
    p.add_argument("--back-frame", help="occultation: the back target's body-fixed frame (default: its own)")
    p.add_argument("--target-shape", default="POINT", help="fov: POINT or ELLIPSOID")
    p.add_argument("--target-frame", help="fov: an ELLIPSOID target's body-fixed frame (default: its own)")
    p.add_argument("--progress", action="store_true", help="draw a progress bar on stderr")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_find)
    p = sub.add_parser("ck", help="list the segments and coverage of C-kernels",
                       description="List the segments of C-kernels (bounds in encoded SCLK ticks), or with "
                                   "--coverage each instrument's merged coverage.")
    p.add_argument("files", nargs="+", metavar="FILE", help="CK files (and the text kernels they need)")
    p.add_argument("--coverage", action="store_true", help="each instrument's merged coverage instead")
    p.add_argument("--level", choices=["segment", "interval"], default="segment",
                   help="coverage of segment bounds (default) or of the intervals the segments answer")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_ck)

    p = sub.add_parser("sclk", help="convert spacecraft clock strings, ticks and ET",
                       usage="kernwerk sclk [-h] FILE [FILE ...] CLOCK VALUE [VALUE ...] [--from {string,ticks,et}]",
                       description="Convert values of a spacecraft clock (its SCLK kernel, and a leapseconds "
                                   "kernel for a TDT clock, among the files): each VALUE as a clock string, "
                                   "encoded ticks and ET.")
    p.add_argument("items", nargs="+", metavar="FILE ... CLOCK VALUE ...",
                   help="kernel files, then the clock (the spacecraft's code or name), then values")
    p.add_argument("--from", dest="source", choices=["string", "ticks", "et"], default="string",
                   help="what the values are (default: clock strings)")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_sclk)
    p = sub.add_parser("subpoint", help="the sub-observer point on TARGET seen from OBSERVER at epochs",
                       usage="kernwerk subpoint [-h] FILE [FILE ...] TARGET OBSERVER EPOCH [EPOCH ...] "
                             "[--method {near,intercept}] [--correction CORR] [--format {table,csv,json}]",
                       description="The sub-observer point on TARGET's ellipsoid (BODY<code>_RADII from the text "
                                   "PCK among the files) in its body-fixed frame, with planetocentric longitude and "
                                   "latitude and the range from OBSERVER.")
    p.add_argument("items", nargs="+", metavar="FILE ... TARGET OBSERVER EPOCH ...",
                   help="kernel files, then the target and observer (NAIF code or name), then epochs")
    p.add_argument("--method", choices=["near", "intercept"], default="near",
                   help="near: the nearest surface point (default); intercept: toward the target's centre")
    p.add_argument("--correction", default="LT+S", help="aberration correction (default LT+S)")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_subpoint)

    p = sub.add_parser("almanac", help="risings, settings, transits, twilight, Moon phases, oppositions",
                       usage="kernwerk almanac [-h] FILE [FILE ...] EVENT [BODY] --start START --stop STOP "
                             "[--site LAT LON [HEIGHT_KM]] [options]",
                       description="The instants of an almanac between START and STOP, dates in UTC: risings BODY "
                                   "(risings and settings from --site, the centre crossing --horizon degrees), "
                                   "transits BODY (highest elevation from --site), twilight (the Sun's centre "
                                   "crossing -6, -12 or -18 degrees from --site: dawns and dusks), moon_phases "
                                   "(the Moon's ecliptic longitude less the Sun's crossing 0, 90, 180, 270 "
                                   "degrees), oppositions BODY (oppositions and conjunctions with the Sun). "
                                   "Apparent positions (LT+S); a site is geodetic on the WGS84 ellipsoid in ITRF93 "
                                   "and needs an Earth orientation PCK among the files.")
    p.add_argument("items", nargs="+", metavar="FILE ... EVENT [BODY]",
                   help="kernel files, then the event (risings, transits, twilight, moon_phases, oppositions) and "
                        "its body (NAIF code or name)")
    p.add_argument("--start", required=True, help="start of the span (ET or a date, UTC unless it names its scale)")
    p.add_argument("--stop", required=True, help="end of the span (ET or a date)")
    p.add_argument("--site", nargs="+", metavar="LAT LON [HEIGHT_KM]",
                   help="geodetic latitude and east longitude (degrees) and height above the WGS84 ellipsoid (km, "
                        "default 0)")
    p.add_argument("--horizon", type=float, help="risings: the altitude of the horizon in degrees (default -0.8333, "
                                                 "the Sun's upper limb with standard refraction)")
    p.add_argument("--twilight", choices=list(TWILIGHT), default="civil",
                   help="twilight: civil (default), nautical or astronomical")
    p.add_argument("--frame", default="ECLIPJ2000",
                   help="moon_phases, oppositions: the ecliptic frame of the longitudes (default ECLIPJ2000)")
    p.add_argument("--correction", default="LT+S", help="aberration correction (default LT+S)")
    p.add_argument("--step", help="sampling step (default: the almanac's own, 4 hours to 1 day by event): seconds, "
                                  "or with a unit: 30s, 10m, 1h, 1d")
    p.add_argument("--format", **fmt)  # type: ignore[arg-type]
    p.set_defaults(func=_almanac)
    return parser


def _message(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
        if exc.filename and os.fsdecode(exc.filename) not in text:
            text += f": {os.fsdecode(exc.filename)}"
    else:
        text = str(exc) or type(exc).__name__
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def main(argv: list[str] | None = None) -> int:
    """Run the command line on `argv` (default: sys.argv[1:]); returns the
    exit status."""
    raw = sys.argv[1:] if argv is None else list(argv)
    # Negative numbers are epochs and codes, not options: a leading blank
    # keeps argparse from reading them as option names.
    protected = [" " + a if _NEGATIVE_NUMBER.match(a) else a for a in raw]
    try:
        args = build_parser().parse_args(protected)
        status = int(args.func(args))
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except UsageError as exc:
        print(f"kernwerk: {_message(exc)}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`| head`): it has what it wanted. Stop
        # quietly with success, so that `set -o pipefail` scripts go on;
        # stdout goes to /dev/null so that the flush at exit says nothing.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 0
    except KeyboardInterrupt:
        print("kernwerk: interrupted", file=sys.stderr)
        return 130
    except (KernelError, OSError, ValueError, RuntimeError, TypeError, OverflowError, MemoryError) as exc:
        print(f"kernwerk: {_message(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # a fault of ours: still one line, never a traceback
        print(f"kernwerk: internal error ({type(exc).__name__}): {_message(exc)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
