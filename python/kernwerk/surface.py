"""Surface geometry on a body's ellipsoid over arrays: sub-observer and
sub-solar points, ray intercepts, illumination angles, phase angles, angular
separations and local solar time, as the toolkit's subpnt, subslr, sincpt,
ilumin/illumf, phaseq, trgsep, et2lst and occult compute them.

    >>> sub = kernels.subpnt("MARS", "MRO", ets)                  # SubPoint of arrays
    >>> hit = kernels.sincpt("MARS", "MRO", et, rays, "J2000")    # rays (..., 3)
    >>> ill = kernels.ilumin("MARS", "MRO", et, hit.point, degrees=True)
    >>> code = kernels.occult("SUN", "ELLIPSOID", "IAU_SUN", "MOON", "ELLIPSOID", "IAU_MOON", "EARTH", ets)

A target's shape is the ellipsoid of its ``BODY<code>_RADII``, its surface
points are given in its body-fixed frame (by default the frame the toolkit
associates with the body, IAU_<body> or OBJECT_<code>_FRAME; any frame
centred on the body may be named). Corrections are the toolkit's: NONE, LT,
LT+S, CN, CN+S and the transmission forms XLT, XLT+S, XCN, XCN+S, the light
time being that to the surface point. The target epoch is et -/+ that light
time; vectors run from the observer to the point in the body-fixed frame at
the target epoch, km. Angles are radians unless ``degrees=True``.

Batches run in the core without the interpreter lock, on `threads` threads
(the set's default when None); every result is an array of shape
``np.broadcast_shapes(np.shape(et), rays_or_points.shape[:-1])`` (+ (3,) for
vectors), floats and bools for a single epoch and point.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _ext

if TYPE_CHECKING:
    import numpy as np

    from .kernels import Kernels

__all__ = ["CurvePoints", "Illumination", "Intercept", "LocalSolarTime", "SubPoint"]


class SubPoint(NamedTuple):
    """A sub-observer or sub-solar point: `point` on the ellipsoid (body-fixed,
    km, shape ``(..., 3)``), the target `epoch` (TDB seconds past J2000) and
    the observer-to-point `vector` (km, body-fixed at the target epoch):
    spiceypy's ``(spoint, trgepc, srfvec)``."""

    point: Any
    epoch: Any
    vector: Any


class Intercept(NamedTuple):
    """Where rays meet the ellipsoid: `point`, target `epoch` and `vector` as
    `SubPoint`, and `found`; rows of rays that miss are NaN with found False
    (spiceypy's ``sincpt`` raises NotFound or returns found=False instead)."""

    point: Any
    epoch: Any
    vector: Any
    found: Any


class Illumination(NamedTuple):
    """Angles at surface points: `phase` (between the directions to the
    observer and to the source), `incidence` (source and the outward normal),
    `emission` (observer and the normal); the target `epoch` and the
    observer-to-point `vector`; `visible` (emission below 90 degrees) and
    `lit` (incidence below 90 degrees): spiceypy's ``illumf`` (``ilumin``
    without the flags)."""

    phase: Any
    incidence: Any
    emission: Any
    epoch: Any
    vector: Any
    visible: Any
    lit: Any


class CurvePoints(NamedTuple):
    """Limb or terminator points, one per cutting half-plane: `point` on the
    ellipsoid (body-fixed, km, shape ``(..., cuts, 3)``), the target `epoch`
    (``(..., cuts)``) and the `tangent` vector from the observer to the point
    (km, body-fixed at the target epoch): spiceypy's ``limbpt``/``termpt``
    ``(points, epochs, tangts)``, whose ``npts`` is 1 per cut on an
    ellipsoid."""

    point: Any
    epoch: Any
    tangent: Any


class LocalSolarTime(NamedTuple):
    """Local solar time at a longitude: `hour`, `minute`, `second` (integers
    of the 24-hour clock whose noon is the source's meridian) and the
    `hours` as a float; spiceypy's ``et2lst`` returns the first three and
    two strings."""

    hour: Any
    minute: Any
    second: Any
    hours: Any


def _threads(k: Kernels, threads: int | None) -> int:
    from .kernels import _check_threads

    n = k._threads if threads is None else _check_threads(threads)
    return n or 0


def _fixed_frame(k: Kernels, target: str | int, frame: str | int | None) -> int:
    from .kernels import _frame_code

    if frame is None:
        return k.body_frame(target).code
    return _frame_code(frame, k._set)


def _rows(arr: Any, what: str) -> np.ndarray:
    import numpy as np

    try:
        a = np.asarray(arr, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be an array-like of numbers with a last axis of 3") from exc
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"{what} must have a last axis of length 3, not shape {a.shape}")
    return a


def _broadcast(k: Kernels, et: Any, rows: np.ndarray | None) -> tuple[tuple[int, ...], np.ndarray, np.ndarray | None]:
    # The epochs and rows broadcast together; rows come back (n, 3)
    # contiguous, epochs (n,) (a stride-0 view when one epoch serves many rows).
    import numpy as np

    ets = k._epochs(et)
    if rows is None:
        shape = ets.shape
        return shape, np.ascontiguousarray(ets.reshape(-1)), None
    try:
        shape = np.broadcast_shapes(ets.shape, rows.shape[:-1])
    except ValueError:
        raise ValueError(f"epochs of shape {ets.shape} and rows of shape {rows.shape} do not broadcast") from None
    flat_et = np.broadcast_to(ets, shape).reshape(-1) if ets.shape != shape else ets.reshape(-1)
    flat_rows = np.ascontiguousarray(np.broadcast_to(rows, shape + (3,)).reshape(-1, 3))
    return shape, flat_et, flat_rows


def _out(shape: tuple[int, ...], arr: np.ndarray, width: int = 0) -> Any:
    if not shape:
        return arr.reshape(-1)[:width].copy() if width else arr.reshape(-1)[0].item()
    return arr.reshape(shape + ((width,) if width else ()))


def subpoint(k: Kernels, target: str | int, observer: str | int, et: Any, *, method: str, frame: str | int | None,
             correction: str, solar: bool, threads: int | None) -> SubPoint:
    import numpy as np

    from .kernels import _correction

    k._check_open()
    t, o = k.body_code(target), k.body_code(observer)
    f = _fixed_frame(k, target, frame)
    radii = list(k.radii(target))
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__!r}")
    source = k.body_code("SUN")
    shape, ets, _ = _broadcast(k, et, None)
    n = ets.shape[0]
    points, epochs, vectors = np.empty((n, 3)), np.empty(n), np.empty((n, 3))
    _ext.subpoint(k._set, t, o, f, radii, method, _correction(correction), solar, source, ets, points, epochs,
                  vectors, _threads(k, threads), list(shape))
    return SubPoint(_out(shape, points, 3), _out(shape, epochs), _out(shape, vectors, 3))


def sincpt(k: Kernels, target: str | int, observer: str | int, et: Any, direction: Any,
           direction_frame: str | int, *, method: str, frame: str | int | None, correction: str,
           threads: int | None) -> Intercept:
    import numpy as np

    from .kernels import _correction, _frame_code

    k._check_open()
    t, o = k.body_code(target), k.body_code(observer)
    f = _fixed_frame(k, target, frame)
    d = _frame_code(direction_frame, k._set)
    radii = list(k.radii(target))
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__!r}")
    shape, ets, rays = _broadcast(k, et, _rows(direction, "direction"))
    assert rays is not None
    n = rays.shape[0]
    points, epochs, vectors = np.empty((n, 3)), np.empty(n), np.empty((n, 3))
    found = np.empty(n, dtype=np.uint8)
    _ext.intercept(k._set, t, o, f, radii, method, d, _correction(correction), ets, rays, points, epochs, vectors,
                   found, _threads(k, threads), list(shape))
    hit = found.astype(bool)
    return Intercept(_out(shape, points, 3), _out(shape, epochs), _out(shape, vectors, 3), _out(shape, hit))


def ilumin(k: Kernels, target: str | int, observer: str | int, et: Any, point: Any, *, method: str,
           frame: str | int | None, correction: str, source: str | int, degrees: bool,
           threads: int | None) -> Illumination:
    import numpy as np

    from .kernels import _correction

    k._check_open()
    t, o, s = k.body_code(target), k.body_code(observer), k.body_code(source)
    f = _fixed_frame(k, target, frame)
    radii = list(k.radii(target))
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__!r}")
    shape, ets, points = _broadcast(k, et, _rows(point, "point"))
    assert points is not None
    n = points.shape[0]
    epochs, vectors, angles = np.empty(n), np.empty((n, 3)), np.empty((n, 3))
    visible, lit = np.empty(n, dtype=np.uint8), np.empty(n, dtype=np.uint8)
    _ext.illumination(k._set, t, o, s, f, radii, method, _correction(correction), ets, points, epochs, vectors,
                      angles, visible, lit, _threads(k, threads), list(shape))
    if degrees:
        np.degrees(angles, out=angles)
    cols = [_out(shape, np.ascontiguousarray(angles[:, c])) for c in range(3)]
    return Illumination(cols[0], cols[1], cols[2], _out(shape, epochs), _out(shape, vectors, 3),
                        _out(shape, visible.astype(bool)), _out(shape, lit.astype(bool)))


def curve(k: Kernels, target: str | int, observer: str | int, et: Any, cuts: int, *, limb: bool, method: str,
          source: str | int, frame: str | int | None, correction: str, locus: str, reference: Any,
          roll_step: float | None, threads: int | None) -> CurvePoints:
    import numpy as np

    from .kernels import _correction

    k._check_open()
    if isinstance(cuts, bool) or not isinstance(cuts, (int, np.integer)):
        raise TypeError(f"cuts must be an int, not {type(cuts).__name__!r}")
    if cuts < 1:
        raise ValueError(f"cuts must be at least 1, not {cuts}")
    cuts = int(cuts)
    for name, value in (("method", method), ("locus", locus)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__!r}")
    ref = _rows(reference, "reference")
    if ref.shape != (3,):
        raise ValueError(f"reference must be one vector of 3 numbers, not shape {ref.shape}")
    step = 2.0 * math.pi / cuts if roll_step is None else float(roll_step)
    t, o = k.body_code(target), k.body_code(observer)
    f = _fixed_frame(k, target, frame)
    radii = list(k.radii(target))
    s, s_radius = 0, 0.0
    if not limb:
        s = k.body_code(source)
        s_radius = max(k.radii(source))
    shape, ets, _ = _broadcast(k, et, None)
    n = ets.shape[0] * cuts
    points, epochs, tangents = np.empty((n, 3)), np.empty(n), np.empty((n, 3))
    _ext.curve(k._set, limb, t, o, s, s_radius, f, radii, method, _correction(correction), locus,
               [float(v) for v in ref], step, cuts, ets, points, epochs, tangents, _threads(k, threads), list(shape))
    full = shape + (cuts,)
    return CurvePoints(points.reshape(full + (3,)), epochs.reshape(full), tangents.reshape(full + (3,)))


def _positions(k: Kernels, target: str | int, observer: str | int, et: Any, correction: str,
               threads: int | None) -> tuple[np.ndarray, np.ndarray]:
    import numpy as np

    states, lts = k.apparent_state(target, observer, et, "J2000", correction=correction, threads=threads)
    return np.asarray(states)[..., :3], np.asarray(lts)


def _angle(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    # The angle between rows from the chord of their unit vectors, as vsep.
    import numpy as np

    a = u / np.linalg.norm(u, axis=-1, keepdims=True)
    b = v / np.linalg.norm(v, axis=-1, keepdims=True)
    near = 2.0 * np.arcsin(0.5 * np.linalg.norm(a - b, axis=-1))
    far = math.pi - 2.0 * np.arcsin(0.5 * np.linalg.norm(a + b, axis=-1))
    out: np.ndarray = np.where(np.sum(a * b, axis=-1) >= 0.0, near, far)
    return out


def phaseq(k: Kernels, et: Any, target: str | int, illuminator: str | int, observer: str | int, correction: str,
           degrees: bool, threads: int | None) -> Any:
    import numpy as np

    from .kernels import _correction

    corr = _correction(correction).replace(" ", "").upper()
    if corr.startswith("X"):
        raise ValueError(f"phaseq takes reception corrections only (NONE, LT, LT+S, CN, CN+S), not {correction!r}")
    ets = k._epochs(et)
    to_target, lt = _positions(k, target, observer, ets, corr, threads)
    # The illuminator seen from the target at the target epoch.
    epoch = ets - lt if corr != "NONE" else ets
    to_source, _ = _positions(k, illuminator, target, epoch, corr, threads)
    phase = _angle(-to_target, to_source)
    phase = np.degrees(phase) if degrees else phase
    return float(phase) if np.ndim(phase) == 0 else phase


def _sphere_radius(k: Kernels, body: str | int, shape: str, position: np.ndarray) -> Any:
    # A SPHERE's angular radius from the largest of the body's radii, as the
    # toolkit takes it; a POINT has none.
    import numpy as np

    if not isinstance(shape, str) or shape.strip().upper() not in ("POINT", "SPHERE"):
        raise ValueError(f"shape must be 'POINT' or 'SPHERE', not {shape!r}")
    if shape.strip().upper() == "POINT":
        return 0.0
    r = max(k.radii(body))
    d = np.linalg.norm(position, axis=-1)
    if np.any(d <= r):
        raise ValueError(f"the observer is inside the sphere of {body!r} (radius {r} km)")
    return np.arcsin(r / d)


def trgsep(k: Kernels, et: Any, first: str | int, second: str | int, observer: str | int, correction: str,
           degrees: bool, threads: int | None, shape1: str = "POINT", shape2: str = "POINT") -> Any:
    import numpy as np

    ets = k._epochs(et)
    a, _ = _positions(k, first, observer, ets, correction, threads)
    b, _ = _positions(k, second, observer, ets, correction, threads)
    r1, r2 = _sphere_radius(k, first, shape1, a), _sphere_radius(k, second, shape2, b)
    sep = _angle(a, b) - r1 - r2
    sep = np.degrees(sep) if degrees else sep
    return float(sep) if np.ndim(sep) == 0 else sep


def et2lst(k: Kernels, et: Any, body: str | int, longitude: Any, kind: str, degrees: bool,
           threads: int | None) -> LocalSolarTime:
    import numpy as np

    if not isinstance(kind, str) or kind.strip().upper() not in ("PLANETOCENTRIC", "PLANETOGRAPHIC"):
        raise ValueError(f"kind must be 'PLANETOCENTRIC' or 'PLANETOGRAPHIC', not {kind!r}")
    lon = np.asarray(longitude, dtype=np.float64)
    if degrees:
        lon = np.radians(lon)
    if kind.strip().upper() == "PLANETOGRAPHIC" and k.longitude_positive_west(body):
        lon = -lon
    ets = k._epochs(et)
    frame = k.body_frame(body).code
    # The Sun seen from the body's centre, light time and aberration
    # corrected, in the body frame: its longitude is local noon.
    sun, _ = k.apparent_state("SUN", body, ets, frame, correction="LT+S", threads=threads)
    sun = np.asarray(sun)
    sun_lon = np.arctan2(sun[..., 1], sun[..., 0])
    angle = np.mod(lon - sun_lon + math.pi, 2.0 * math.pi)
    seconds = angle * (86400.0 / (2.0 * math.pi))
    hours = seconds / 3600.0
    whole = np.floor(seconds)
    hr = (whole // 3600).astype(np.int64)
    mn = ((whole - 3600 * hr) // 60).astype(np.int64)
    sc = (whole - 3600 * hr - 60 * mn).astype(np.int64)
    if np.ndim(hours) == 0:
        return LocalSolarTime(int(hr), int(mn), int(sc), float(hours))
    return LocalSolarTime(hr, mn, sc, hours)


def _occult_shape(k: Kernels, target: str | int, shape: str, frame: str | int | None) -> tuple[str, int, list[float]]:
    if not isinstance(shape, str):
        raise TypeError(f"shape must be a str ('ELLIPSOID' or 'POINT'), not {type(shape).__name__!r}")
    if shape.strip().upper() == "POINT":
        return shape, 0, []
    frame = None if isinstance(frame, str) and not frame.strip() else frame
    return shape, _fixed_frame(k, target, frame), list(k.radii(target))


def occult(k: Kernels, first: str | int, shape1: str, frame1: str | int | None, second: str | int, shape2: str,
           frame2: str | int | None, observer: str | int, et: Any, *, correction: str, threads: int | None) -> Any:
    import numpy as np

    from .kernels import _correction

    k._check_open()
    a, b, o = k.body_code(first), k.body_code(second), k.body_code(observer)
    s1, f1, r1 = _occult_shape(k, first, shape1, frame1)
    s2, f2, r2 = _occult_shape(k, second, shape2, frame2)
    shape, ets, _ = _broadcast(k, et, None)
    codes = np.empty(ets.shape[0], dtype=np.int8)
    _ext.occult(k._set, a, s1, f1, r1, b, s2, f2, r2, o, _correction(correction), ets, codes, _threads(k, threads),
                list(shape))
    return _out(shape, codes)
