"""Event search: when a quantity of the geometry meets a condition, as the
NAIF toolkit's geometry finder (``gfdist``, ``gfposc``, ``gfrr``,
``gfsep``) answers it, and windows, the sets of time it returns.

    >>> from kernwerk import Kernels, events
    >>> k = Kernels("de440.bsp")
    >>> year = events.window([("2025-01-01", "2026-01-01")], k)
    >>> near = events.find_distance(k, "MOON", "EARTH", "<", 370000.0, window=year, step=3600.0)
    >>> events.to_dates(near, k)          # [start, stop] rows as ISO UTC strings

A window is a float64 array of shape (n, 2): [start, stop] rows of ET (TDB
seconds past J2000), sorted and disjoint, an instant being a row [t, t].
The window functions (`union`, `intersect`, `difference`, `complement`,
`expand`, `contract`, `filter_short`, `measure`, `summary`) give the
toolkit's results (wnunid, wnintd, wndifd, wncomd, wnexpd, wncond, wnfltd,
wnsumd) and raise ValueError for an array that is not a window (unsorted,
overlapping, touching or inverted rows, NaN); `window` builds one from
intervals in any order, or from dates.

Searches (`find_distance`, `find_range_rate`, `find_coordinate`,
`find_separation`, `find_phase_angle`, `find_elevation`, `find_azimuth`,
`find_illumination_angle`) take the kernel set, the geometry, a relation and a
reference value, and keywords (risings, settings, twilight, transits, Moon
phases and oppositions as dates: `kernwerk.almanac`). The searches of a
condition that holds or not (`find_occultation`, `find_target_in_fov`,
`find_ray_in_fov`, as the toolkit's gfoclt, gftfov and gfrfov) take the
same keywords but no relation: the condition is sampled every `step`
seconds and each change of state bisected to the tolerance, so an
occultation or a passage through the field shorter than the step may be
missed. Keywords:

* `window`: the confinement window, searched interval by interval;
* `step` (s): the quantity's derivative is sampled every `step` seconds and
  assumed to change sign at most once between two samples. Features shorter
  than the step (two extrema, or an excursion across the reference value,
  closer together than `step`) may be missed: choose a step shorter than
  the shortest stretch in which the quantity rises or falls;
* `tolerance` (s, default 1e-6 as the toolkit): each event time is refined
  until its bracket is no wider than this;
* `correction`: the aberration correction of the apparent positions
  ("NONE", "LT", "LT+S", "CN", "CN+S" and the X forms);
* `adjust`: for ABSMIN and ABSMAX, the window in which the quantity is
  within `adjust` of its extreme value instead of the extreme's instant;
* `threads`: threads of the sampling batches (results do not depend on it);
* `progress`: False (the default), True for a one-line text bar on
  stderr, or a callable receiving ``(done, total)`` in grid samples, called
  between chunks of samples and once at the end; an exception it raises
  (or Ctrl-C) stops the search and propagates.

Relations: ``"="`` (instants of crossing), ``"<"``, ``">"``, ``"LOCMIN"``,
``"LOCMAX"`` (interior local extrema, as instants), ``"ABSMIN"``,
``"ABSMAX"`` (over the whole window, its ends included). Every search
returns a window. Angles (coordinates, separations, their reference values
and adjustments) are in degrees; distances km, rates km/s.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Union

from . import _ext
from .kernels import Kernels, _check_threads, _correction, _frame_code
from .sites import Site

if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "window", "union", "intersect", "difference", "complement", "expand", "contract", "filter_short", "measure",
    "summary", "to_dates", "find_distance", "find_range_rate", "find_coordinate", "find_separation",
    "find_phase_angle", "find_elevation", "find_azimuth", "find_illumination_angle", "find_occultation",
    "find_target_in_fov", "find_ray_in_fov", "DEFAULT_TOLERANCE",
]

DEFAULT_TOLERANCE = 1e-6

#: What the `progress` keyword takes: a flag or a callable of (done, total).
Progress = Union[bool, Callable[[int, int], Any]]


class _Bar:
    """A one-line text bar on stderr, redrawn when its percentage changes."""

    def __init__(self, label: str) -> None:
        self._label = label
        self._shown = -1
        self._open = False

    def __call__(self, done: int, total: int) -> None:
        frac = done / total if total > 0 else 1.0
        pct = int(100 * frac)
        if pct == self._shown:
            return
        self._shown = pct
        fill = int(30 * frac)
        sys.stderr.write(f"\r{self._label} [{'#' * fill}{'.' * (30 - fill)}] {pct:3d}%")
        self._open = done < total
        if not self._open:
            sys.stderr.write("\n")
        sys.stderr.flush()

    def close(self) -> None:
        """Ends the line of a bar a failed search left open."""
        if self._open:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self._open = False


def _progress_hook(progress: Any, label: str) -> Any:
    if progress is False or progress is None:
        return None
    if progress is True:
        return _Bar(label)
    if callable(progress):
        return progress
    raise TypeError(f"progress must be True, False or a callable of (done, total), not {type(progress).__name__!r}")


def _run(call: Callable[..., np.ndarray], progress: Any, label: str, *args: Any) -> np.ndarray:
    hook = _progress_hook(progress, label)
    try:
        return call(*args, hook)
    finally:
        if isinstance(hook, _Bar):
            hook.close()
_ANGLES = {"LATITUDE", "DECLINATION", "COLATITUDE", "LONGITUDE", "RIGHT ASCENSION"}


def _rows(w: Any, what: str, kernels: Kernels | None = None) -> np.ndarray:
    import numpy as np

    if kernels is not None:
        arr = kernels._epochs(w)
    else:
        try:
            arr = np.asarray(w, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{what} must be an array of [start, stop] rows of ET (pass the kernel set to read "
                            f"dates): {exc}") from None
    if arr.size == 0:
        return np.empty((0, 2))
    if arr.ndim == 1 and arr.shape[0] == 2:
        arr = arr.reshape(1, 2)
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(f"{what} must have shape (n, 2) of [start, stop] rows, not {arr.shape}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def _window(w: Any, what: str) -> np.ndarray:
    arr = _rows(w, what)
    _ext.window_check(arr, what)
    return arr


def window(intervals: Any, kernels: Kernels | None = None) -> np.ndarray:
    """The window covering `intervals`: [start, stop] rows in any order,
    overlapping or touching rows merged. Rows of ET numbers, or of dates
    when the kernel set is given (its leapseconds convert them). A single
    pair is one interval. ValueError for an inverted or NaN row."""
    return _ext.window_normalize(_rows(intervals, "intervals", kernels))


def union(a: Any, b: Any) -> np.ndarray:
    """Every instant in `a` or in `b` (the toolkit's wnunid)."""
    return _ext.window_union(_window(a, "a"), _window(b, "b"))


def intersect(a: Any, b: Any) -> np.ndarray:
    """Every instant in both (wnintd); intervals that touch meet in an
    instant [t, t]."""
    return _ext.window_intersect(_window(a, "a"), _window(b, "b"))


def difference(a: Any, b: Any) -> np.ndarray:
    """`a` without `b`, closed (wndifd): ends stay in, so removing an
    instant or an end point leaves `a` as it was."""
    return _ext.window_difference(_window(a, "a"), _window(b, "b"))


def complement(w: Any, left: float, right: float) -> np.ndarray:
    """[left, right] without `w`, closed (wncomd). ValueError when left >
    right."""
    return _ext.window_complement(_window(w, "window"), float(left), float(right))


def expand(w: Any, left: float, right: float) -> np.ndarray:
    """Every interval [a, b] becomes [a - left, b + right] (wnexpd);
    negative amounts shrink, intervals that end up inverted are dropped and
    those that meet are merged."""
    return _ext.window_expand(_window(w, "window"), float(left), float(right))


def contract(w: Any, left: float, right: float) -> np.ndarray:
    """Every interval [a, b] becomes [a + left, b - right] (wncond); one
    whose ends cross is removed, one whose ends meet becomes an instant."""
    return _ext.window_contract(_window(w, "window"), float(left), float(right))


def filter_short(w: Any, shortest: float) -> np.ndarray:
    """`w` without its intervals of measure at most `shortest` (wnfltd):
    ``filter_short(w, 0)`` removes the instants."""
    return _ext.window_filter(_window(w, "window"), float(shortest))


def measure(w: Any) -> float:
    """The total measure of `w` (s)."""
    return float(_ext.window_summary(_window(w, "window"))[0])


def summary(w: Any) -> tuple[float, float, float, int, int]:
    """(measure, average, standard deviation, index of the shortest
    interval, index of the longest) as the toolkit's wnsumd, with indices of
    rows (-1 for an empty window; the first row on ties); the deviation is
    that of the population."""
    m, avg, sd, short, long = _ext.window_summary(_window(w, "window"))
    return float(m), float(avg), float(sd), int(short), int(long)


def to_dates(w: Any, kernels: Kernels | None = None, digits: int = 3) -> list[tuple[str, str]]:
    """The rows of `w` as pairs of ISO UTC strings with `digits` decimals
    (with the set's leapseconds when given, else the installed ones)."""
    from .timescales import to_iso

    arr = _window(w, "window")
    lsk = kernels._leapseconds_object() if kernels is not None else None
    if arr.shape[0] == 0:
        return []
    text = to_iso(arr.reshape(-1), "utc", digits, leapseconds=lsk)
    flat = [str(s) for s in text]
    return list(zip(flat[0::2], flat[1::2]))


# ---------------------------------------------------------------------------
# Searches


def _search(kernels: Kernels, kind: str, target: Any, observer: Any, relation: str, value: float, *,
            window: Any, step: float, correction: str, adjust: float, tolerance: float, threads: int | None,
            frame: int = 1, system: str = "", coordinate: str = "", target2: Any = None, radii: tuple[float, float]
            = (0.0, 0.0), scale: float = 1.0, site: tuple[float, float, bool] = (0.0, 0.0, False),
            period: float = 0.0, surface: tuple[list[float], list[float], int] = ([], [], 0),
            progress: Progress = False) -> np.ndarray:
    if not isinstance(kernels, Kernels):
        raise TypeError(f"the first argument must be a kernwerk.Kernels, not {type(kernels).__name__!r}")
    kernels._check_open()
    if not isinstance(relation, str):
        raise TypeError(f"relation must be a str such as '<' or 'LOCMIN', not {type(relation).__name__!r}")
    cnf = _rows(window, "window", kernels)
    n_threads = kernels._threads if threads is None else _check_threads(threads)
    return _run(_ext.find, progress, kind.replace("_", " "), kernels._set, kind, kernels._endpoint(target),
                kernels._endpoint(observer), _correction(correction), frame, system, coordinate, target2, radii[0],
                radii[1], cnf, relation, float(value) * scale, float(adjust) * scale, float(step), float(tolerance),
                n_threads or 0, site[0], site[1], site[2], period, surface[0], surface[1], surface[2])


def find_distance(kernels: Kernels, target: str | int | Site, observer: str | int | Site, relation: str,
                  value: float = 0.0, *, window: Any, step: float, correction: str = "NONE", adjust: float = 0.0,
                  tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                  progress: Progress = False) -> np.ndarray:
    """When the distance (km) of `target` from `observer` meets `relation`
    against `value`: spiceypy's ``gfdist(target, correction, observer,
    relation, value, adjust, step, n, window)``. See the module for the
    keywords."""
    return _search(kernels, "distance", target, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress)


def find_range_rate(kernels: Kernels, target: str | int | Site, observer: str | int | Site, relation: str,
                    value: float = 0.0, *, window: Any, step: float, correction: str = "NONE",
                    adjust: float = 0.0, tolerance: float = DEFAULT_TOLERANCE,
                    threads: int | None = None, progress: Progress = False) -> np.ndarray:
    """When the range rate (km/s) of `target` relative to `observer` meets
    `relation` against `value`: spiceypy's ``gfrr``. Its extrema are found
    from the central difference of the range rate over +/- 1 s."""
    return _search(kernels, "range_rate", target, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress)


def find_coordinate(kernels: Kernels, target: str | int | Site, observer: str | int | Site, system: str,
                    coordinate: str, relation: str, value: float = 0.0, *, window: Any, step: float,
                    frame: str | int = "J2000", correction: str = "NONE", adjust: float = 0.0,
                    tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                    progress: Progress = False) -> np.ndarray:
    """When a coordinate of the position of `target` seen from `observer` in
    `frame` meets `relation` against `value`: spiceypy's ``gfposc(target,
    frame, correction, observer, system, coordinate, ...)``. Systems and
    coordinates by the toolkit's names: RECTANGULAR (X, Y, Z), LATITUDINAL
    (RADIUS, LONGITUDE, LATITUDE), RA/DEC (RANGE, RIGHT ASCENSION,
    DECLINATION), SPHERICAL (RADIUS, COLATITUDE, LONGITUDE), CYLINDRICAL
    (RADIUS, LONGITUDE, Z), GEODETIC and PLANETOGRAPHIC (LONGITUDE,
    LATITUDE, ALTITUDE; on the ellipsoid of the frame's center, from its
    BODY<code>_RADII, planetographic longitude positive west or east as the
    toolkit decides). Angles in degrees, lengths in km.

    Longitudes lie in (-180, 180], right ascension, the cylindrical and the
    planetographic longitude in [0, 360), as the toolkit gives them: a "<" or ">" window
    ends where the angle wraps, "=" finds the crossings of the value on
    either side of the wrap; ABSMIN and ABSMAX of these angles are refused
    (ValueError)."""
    if not isinstance(system, str) or not isinstance(coordinate, str):
        raise TypeError("system and coordinate must be str, such as 'LATITUDINAL' and 'LATITUDE'")
    scale = math.radians(1.0) if coordinate.strip().upper() in _ANGLES else 1.0
    return _search(kernels, "coordinate", target, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress,
                   frame=_frame_code(frame, kernels._set), system=system, coordinate=coordinate, scale=scale)


def _shape_radius(kernels: Kernels, body: Any, shape: str, what: str) -> float:
    if not isinstance(shape, str):
        raise TypeError(f"{what} must be 'POINT' or 'SPHERE', not {type(shape).__name__!r}")
    s = shape.strip().upper()
    if s == "POINT":
        return 0.0
    if s != "SPHERE":
        raise ValueError(f"unknown {what} {shape!r} (accepted: POINT, SPHERE)")
    code = kernels._endpoint(body)
    if not isinstance(code, int):
        raise ValueError(f"a site cannot be a SPHERE ({what})")
    return float(_ext.sphere_radius(kernels._set, code))


def find_separation(kernels: Kernels, target1: str | int | Site, target2: str | int | Site,
                    observer: str | int | Site, relation: str, value: float = 0.0, *, window: Any, step: float,
                    shape1: str = "POINT", shape2: str = "POINT", correction: str = "NONE", adjust: float = 0.0,
                    tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                    progress: Progress = False) -> np.ndarray:
    """When the angular separation (degrees) of `target1` and `target2` seen
    from `observer` meets `relation` against `value`: spiceypy's
    ``gfsep(target1, shape1, frame1, target2, shape2, frame2, correction,
    observer, ...)``. A target of shape "SPHERE" counts from its limb: its
    angular radius, asin(r / distance) with r the largest of its
    BODY<code>_RADII (from a loaded text PCK), is subtracted."""
    r1 = _shape_radius(kernels, target1, shape1, "shape1")
    r2 = _shape_radius(kernels, target2, shape2, "shape2")
    return _search(kernels, "separation", target1, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress,
                   target2=kernels._endpoint(target2), radii=(r1, r2), scale=math.radians(1.0))


def find_phase_angle(kernels: Kernels, target: str | int | Site, illuminator: str | int | Site,
                     observer: str | int | Site, relation: str, value: float = 0.0, *, window: Any, step: float,
                     correction: str = "NONE", adjust: float = 0.0, tolerance: float = DEFAULT_TOLERANCE,
                     threads: int | None = None, progress: Progress = False) -> np.ndarray:
    """When the phase angle (degrees) of `target` lit by `illuminator` and
    seen from `observer` meets `relation` against `value`: spiceypy's
    ``gfpa(target, illuminator, correction, observer, ...)``. The angle at
    the target between the directions to the observer and to the
    illuminator; with a light-time correction the target is taken where the
    observer sees it, at et - lt, and the illuminator as the target sees it
    then. Reception corrections only."""
    return _search(kernels, "phase_angle", target, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress,
                   target2=kernels._endpoint(illuminator), scale=math.radians(1.0))


def _site_search(kernels: Kernels, kind: str, target: Any, site: Any, relation: str, value: float, *, window: Any,
                 step: float, correction: str, adjust: float, tolerance: float, threads: int | None,
                 progress: Progress = False) -> np.ndarray:
    if not isinstance(site, Site):
        raise TypeError(f"site must be a kernwerk.Site, not {type(site).__name__!r}")
    if not isinstance(kernels, Kernels):
        raise TypeError(f"the first argument must be a kernwerk.Kernels, not {type(kernels).__name__!r}")
    # The frames of Kernels.azel: ITRF93 and the site's east-north-up on the
    # Earth, its body's frame elsewhere, a station's topocentric frame.
    topocentric = site.station is not None
    lat, lon = (0.0, 0.0) if topocentric else site._lat_lon_radians()
    frame = 13000 if site._on_earth() else _frame_code(site.frame, kernels._set)
    return _search(kernels, kind, target, site, relation, value, window=window, step=step, correction=correction,
                   adjust=adjust, tolerance=tolerance, threads=threads, frame=frame, scale=math.radians(1.0),
                   site=(lat, lon, topocentric), progress=progress)


def find_elevation(kernels: Kernels, target: str | int | Site, site: Site, relation: str, value: float = 0.0, *,
                   window: Any, step: float, correction: str = "NONE", adjust: float = 0.0,
                   tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                   progress: Progress = False) -> np.ndarray:
    """When the elevation (degrees) of `target` seen from `site` meets
    `relation` against `value`, the elevation of `Kernels.azel` (above the
    site's ellipsoid horizon, or a station's topocentric xy plane;
    refraction is not modelled): ``">"`` the windows above an altitude, whose
    starts are risings and ends settings; ``"LOCMAX"`` the transits (the
    highest points, which for a moving target such as the Moon are a few
    seconds off the meridian). The toolkit's ``gfposc(target, topo_frame,
    correction, station, "LATITUDINAL", "LATITUDE", ...)`` for a station
    with a topocentric frame. A step of an hour or less finds every rising
    of the Sun, the Moon and the planets away from the poles."""
    return _site_search(kernels, "elevation", target, site, relation, value, window=window, step=step,
                        correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress)


def find_azimuth(kernels: Kernels, target: str | int | Site, site: Site, relation: str, value: float = 0.0, *,
                 window: Any, step: float, correction: str = "NONE", adjust: float = 0.0,
                 tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                 progress: Progress = False) -> np.ndarray:
    """When the azimuth (degrees from north toward east, [0, 360)) of
    `target` seen from `site` meets `relation` against `value`; an angle
    that wraps, as longitudes in `find_coordinate` (ABSMIN and ABSMAX are
    refused)."""
    return _site_search(kernels, "azimuth", target, site, relation, value, window=window, step=step,
                        correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, progress=progress)


_ILLUMINATION_ANGLES = {"PHASE": 0, "INCIDENCE": 1, "EMISSION": 2}


def find_illumination_angle(kernels: Kernels, angle: str, target: str | int, point: Any, observer: str | int,
                            relation: str, value: float = 0.0, *, window: Any, step: float,
                            illuminator: str | int = "SUN", frame: str | int | None = None,
                            correction: str = "NONE", adjust: float = 0.0, tolerance: float = DEFAULT_TOLERANCE,
                            threads: int | None = None, progress: Progress = False) -> np.ndarray:
    """When an illumination angle (degrees: "PHASE", "INCIDENCE" or
    "EMISSION") at `point` (body-fixed x, y, z, km) on `target`'s ellipsoid
    seen from `observer` meets `relation` against `value`: spiceypy's
    ``gfilum("ELLIPSOID", angle, target, illuminator, frame, correction,
    observer, point, ...)``; the angles of `Kernels.ilumin` (`frame` the
    target's body-fixed frame, by default the one `Kernels.ilumin` takes).
    The angle's rate, which places LOCMIN and LOCMAX, is the central
    difference of the angle over +/- 1 s. Reception corrections only."""
    from .surface import _fixed_frame

    if not isinstance(angle, str) or angle.strip().upper() not in _ILLUMINATION_ANGLES:
        raise ValueError(f"unknown illumination angle {angle!r} (accepted: {', '.join(_ILLUMINATION_ANGLES)})")
    if not isinstance(kernels, Kernels):
        raise TypeError(f"the first argument must be a kernwerk.Kernels, not {type(kernels).__name__!r}")
    kernels._check_open()
    try:
        xyz = [float(v) for v in point]
    except (TypeError, ValueError):
        raise TypeError("point must be three numbers (km, body-fixed)") from None
    code = _fixed_frame(kernels, target, frame)
    radii = [float(r) for r in kernels.radii(target)]
    return _search(kernels, "illumination", target, observer, relation, value, window=window, step=step,
                   correction=correction, adjust=adjust, tolerance=tolerance, threads=threads, frame=code,
                   target2=kernels._endpoint(illuminator), scale=math.radians(1.0),
                   surface=(xyz, radii, _ILLUMINATION_ANGLES[angle.strip().upper()]), progress=progress)


# ---------------------------------------------------------------------------
# Searches of a condition that holds or not


def _state_args(kernels: Kernels, window: Any, step: float, tolerance: float,
                threads: int | None) -> tuple[np.ndarray, float, float, int]:
    if not isinstance(kernels, Kernels):
        raise TypeError(f"the first argument must be a kernwerk.Kernels, not {type(kernels).__name__!r}")
    kernels._check_open()
    cnf = _rows(window, "window", kernels)
    n_threads = kernels._threads if threads is None else _check_threads(threads)
    return cnf, float(step), float(tolerance), n_threads or 0


def _occult_body(kernels: Kernels, body: Any, shape: Any, frame: Any,
                 what: str) -> tuple[int, str, int, list[float]]:
    from .surface import _occult_shape

    if not isinstance(shape, str):
        raise TypeError(f"{what}_shape must be 'ELLIPSOID' or 'POINT', not {type(shape).__name__!r}")
    if shape.strip().upper() not in ("ELLIPSOID", "POINT"):
        raise ValueError(f"unknown {what}_shape {shape!r} (accepted: ELLIPSOID, POINT)")
    code = kernels.body_code(body)
    s, f, radii = _occult_shape(kernels, body, shape, frame)
    return code, s, f, [float(r) for r in radii]


def find_occultation(kernels: Kernels, occultation_type: str, front: str | int, back: str | int,
                     observer: str | int, *, window: Any, step: float, front_shape: str = "ELLIPSOID",
                     front_frame: str | int | None = None, back_shape: str = "ELLIPSOID",
                     back_frame: str | int | None = None, correction: str = "NONE",
                     tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                     progress: Progress = False) -> np.ndarray:
    """When `back` is occulted by `front` as `observer` sees them: spiceypy's
    ``gfoclt(occultation_type, front, front_shape, front_frame, back,
    back_shape, back_frame, correction, observer, step, window)``.

    Types: ``"FULL"`` (back wholly hidden behind front: a total eclipse of
    the Sun by the Moon), ``"ANNULAR"`` (front wholly inside back's disk),
    ``"PARTIAL"`` (neither), ``"ANY"``. Shapes: ``"ELLIPSOID"`` (the body's
    ``BODY<code>_RADII`` in its body-fixed frame, by default the one
    `Kernels.occult` takes) or ``"POINT"`` for the back target (a spacecraft
    behind a moon: ANY only, as the toolkit). The front target must be an ellipsoid.
    The codes are `Kernels.occult`'s with any of the toolkit's corrections
    (stellar aberration accepted and left out, as the toolkit does)."""
    if not isinstance(occultation_type, str):
        raise TypeError(f"occultation_type must be a str, not {type(occultation_type).__name__!r}")
    cnf, st, tol, n = _state_args(kernels, window, step, tolerance, threads)
    f = _occult_body(kernels, front, front_shape, front_frame, "front")
    b = _occult_body(kernels, back, back_shape, back_frame, "back")
    return _run(_ext.find_occultation, progress, "occultation", kernels._set, occultation_type, *f, *b,
                kernels.body_code(observer), _correction(correction), cnf, st, tol, n)


def find_target_in_fov(kernels: Kernels, instrument: str | int, target: str | int, observer: str | int, *,
                       window: Any, step: float, shape: str = "POINT", target_frame: str | int | None = None,
                       correction: str = "NONE", tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                       progress: Progress = False) -> np.ndarray:
    """When `target` is in the field of view of `instrument` carried by
    `observer`: spiceypy's ``gftfov(instrument, target, shape, target_frame,
    correction, observer, step, window)``, the condition of `Kernels.in_fov`
    (`shape` ``"POINT"`` or ``"ELLIPSOID"``, `target_frame` by default the
    body's own frame)."""
    cnf, st, tol, n = _state_args(kernels, window, step, tolerance, threads)
    kind = shape.strip().upper() if isinstance(shape, str) else shape
    if kind not in ("POINT", "ELLIPSOID"):
        raise ValueError(f"shape must be 'POINT' or 'ELLIPSOID', not {shape!r}")
    inst, t, obs = kernels.body_code(instrument), kernels.body_code(target), kernels.body_code(observer)
    kernels.fov(inst)  # a missing or malformed field of view is named before the search
    tf = 0
    if kind == "ELLIPSOID":
        tf = kernels.body_frame(target).code if target_frame is None else _frame_code(target_frame, kernels._set)
    return _run(_ext.find_target_in_fov, progress, "target in view", kernels._set, inst, t, kind == "ELLIPSOID", tf,
                _correction(correction), obs, cnf, st, tol, n)


def find_ray_in_fov(kernels: Kernels, instrument: str | int, ray: Any, observer: str | int, *, window: Any,
                    step: float, frame: str | int = "J2000", correction: str = "NONE",
                    tolerance: float = DEFAULT_TOLERANCE, threads: int | None = None,
                    progress: Progress = False) -> np.ndarray:
    """When the direction `ray` (three numbers in `frame`, say a star's unit
    vector in J2000) is in the field of view of `instrument` carried by
    `observer`: spiceypy's ``gfrfov(instrument, ray, frame, correction,
    observer, step, window)``, the condition of `Kernels.fov_ray`
    (`correction` ``"NONE"``, ``"S"`` or ``"XS"``)."""
    cnf, st, tol, n = _state_args(kernels, window, step, tolerance, threads)
    try:
        direction = [float(v) for v in ray]
    except (TypeError, ValueError):
        raise TypeError("ray must be three numbers") from None
    inst, obs = kernels.body_code(instrument), kernels.body_code(observer)
    kernels.fov(inst)
    if not isinstance(correction, str):
        raise TypeError(f"correction must be a str ('NONE', 'S' or 'XS'), not {type(correction).__name__!r}")
    return _run(_ext.find_ray_in_fov, progress, "ray in view", kernels._set, inst, direction,
                _frame_code(frame, kernels._set), correction, obs, cnf, st, tol, n)
