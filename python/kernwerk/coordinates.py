"""Body-fixed coordinates, over NumPy arrays: planetocentric (`reclat`,
`latrec`), planetodetic (`recgeo`, `georec`) and planetographic (`recpgr`,
`pgrrec`), with the NAIF toolkit's names, argument order and conventions.

    >>> lon, lat, alt = kernwerk.recgeo(points, re=3396.19, f=0.005886)
    >>> points = kernwerk.georec(lon, lat, alt, re=3396.19, f=0.005886)

Points are arrays of shape (..., 3) (x, y, z in the body-fixed frame, any
length unit); coordinates come back as a tuple of three arrays of shape
(...), and go in as three arrays that broadcast together. Angles are
radians, as in the toolkit, unless `degrees=True`. A single point gives
NumPy scalars.

* Planetocentric: radius, longitude in [-pi, pi] from the x axis toward y,
  latitude from the equatorial plane; longitude and latitude 0 at the origin
  and longitude 0 on the z axis.
* Planetodetic, on a spheroid of equatorial radius `re` (> 0) and flattening
  `f` = (re - rp) / re (< 1; 0 a sphere, negative a prolate spheroid):
  latitude of the surface normal at the nearest point of the surface,
  altitude the signed distance to it (negative inside). Where the nearest
  point is not unique (inside, on the axis or in the equatorial plane) the
  one with z >= 0 is taken: the center of an oblate body has latitude pi/2
  and altitude -rp.
* Planetographic: planetodetic latitude and altitude, longitude in
  [0, 2 pi] positive west or east as `positive_west` says; the toolkit's rule
  for a body (west for prograde rotators, east for the Earth, the Moon, the
  Sun and retrograde rotators) is `Kernels.longitude_positive_west(body)` when
  the body's constants are loaded.

NaN coordinates give NaN results. The conversions run in the compiled core
without the interpreter lock.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _ext

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    FloatArray = npt.NDArray[np.float64]

__all__ = ["reclat", "latrec", "recgeo", "georec", "recpgr", "pgrrec", "recrad", "radrec"]

Coordinates = tuple[Any, Any, Any]


def _points(points: npt.ArrayLike, name: str = "points") -> tuple[FloatArray, tuple[int, ...]]:
    import numpy as np

    try:
        a = np.asarray(points, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be an array of numbers of shape (..., 3): {exc}") from None
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"{name} must have shape (..., 3), not {a.shape}")
    shape = a.shape[:-1]
    return np.ascontiguousarray(a.reshape(-1, 3)), shape


def _columns(values: tuple[npt.ArrayLike, ...], names: tuple[str, ...]) -> tuple[list[FloatArray], tuple[int, ...]]:
    import numpy as np

    arrays = []
    for v, name in zip(values, names):
        try:
            arrays.append(np.asarray(v, dtype=np.float64))
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{name} must be a number or an array of numbers: {exc}") from None
    try:
        b = np.broadcast_arrays(*arrays)
    except ValueError:
        shapes = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
        raise ValueError(f"the coordinates do not broadcast together: {shapes}") from None
    shape = b[0].shape
    return [np.ascontiguousarray(x.reshape(-1)) for x in b], shape


def _shaped(a: FloatArray, shape: tuple[int, ...]) -> Any:
    a = a.reshape(shape)
    return a[()] if a.ndim == 0 else a


def _degrees_in(lon: FloatArray, lat: FloatArray, degrees: bool) -> tuple[FloatArray, FloatArray]:
    import numpy as np

    if degrees:
        return np.deg2rad(lon), np.deg2rad(lat)
    return lon, lat


def _angles_out(lon: FloatArray, lat: FloatArray, degrees: bool) -> None:
    import numpy as np

    if degrees:
        np.rad2deg(lon, out=lon)
        np.rad2deg(lat, out=lat)


def _spheroid(re: float, f: float) -> tuple[float, float]:
    import numpy as np

    for value, name in ((re, "re"), (f, "f")):
        if isinstance(value, (bool, str)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name} must be a number, not {type(value).__name__!r}")
    return float(re), float(f)


def _sense(positive_west: Any) -> bool:
    import numpy as np

    if not isinstance(positive_west, (bool, np.bool_)):
        raise TypeError(f"positive_west must be True or False, not {type(positive_west).__name__!r}")
    return bool(positive_west)


def reclat(points: npt.ArrayLike, *, degrees: bool = False) -> Coordinates:
    """Rectangular points (..., 3) -> planetocentric (radius, longitude,
    latitude); angles in radians (degrees with `degrees=True`)."""
    import numpy as np

    xyz, shape = _points(points)
    n = xyz.shape[0]
    radius, lon, lat = np.empty(n), np.empty(n), np.empty(n)
    _ext.coords_reclat(xyz, radius, lon, lat)
    _angles_out(lon, lat, degrees)
    return _shaped(radius, shape), _shaped(lon, shape), _shaped(lat, shape)


def latrec(radius: npt.ArrayLike, lon: npt.ArrayLike, lat: npt.ArrayLike, *, degrees: bool = False) -> Any:
    """Planetocentric (radius, longitude, latitude) -> rectangular points
    (..., 3); angles in radians (degrees with `degrees=True`)."""
    import numpy as np

    (r, lo, la), shape = _columns((radius, lon, lat), ("radius", "lon", "lat"))
    lo, la = _degrees_in(lo, la, degrees)
    out = np.empty((r.shape[0], 3))
    _ext.coords_latrec(r, np.ascontiguousarray(lo), np.ascontiguousarray(la), out)
    return out.reshape(shape + (3,))


def recgeo(points: npt.ArrayLike, re: float, f: float, *, degrees: bool = False) -> Coordinates:
    """Rectangular points (..., 3) -> planetodetic (longitude, latitude,
    altitude) on the spheroid of equatorial radius `re` and flattening `f`;
    angles in radians (degrees with `degrees=True`), altitude in the unit of
    `re`. ValueError for re <= 0, f >= 1 or a value that is not finite."""
    import numpy as np

    re, f = _spheroid(re, f)
    xyz, shape = _points(points)
    n = xyz.shape[0]
    lon, lat, alt = np.empty(n), np.empty(n), np.empty(n)
    _ext.coords_recgeo(xyz, re, f, lon, lat, alt)
    _angles_out(lon, lat, degrees)
    return _shaped(lon, shape), _shaped(lat, shape), _shaped(alt, shape)


def georec(lon: npt.ArrayLike, lat: npt.ArrayLike, alt: npt.ArrayLike, re: float, f: float, *,
           degrees: bool = False) -> Any:
    """Planetodetic (longitude, latitude, altitude) on the spheroid `re`, `f`
    -> rectangular points (..., 3); angles in radians (degrees with
    `degrees=True`)."""
    import numpy as np

    re, f = _spheroid(re, f)
    (lo, la, al), shape = _columns((lon, lat, alt), ("lon", "lat", "alt"))
    lo, la = _degrees_in(lo, la, degrees)
    out = np.empty((al.shape[0], 3))
    _ext.coords_georec(np.ascontiguousarray(lo), np.ascontiguousarray(la), al, re, f, out)
    return out.reshape(shape + (3,))


def recpgr(points: npt.ArrayLike, re: float, f: float, *, positive_west: bool, degrees: bool = False) -> Coordinates:
    """Rectangular points (..., 3) -> planetographic (longitude, latitude,
    altitude) on the spheroid `re`, `f`: longitude in [0, 2 pi], increasing
    westward when `positive_west` (the toolkit's sense for a body:
    `Kernels.longitude_positive_west(body)`); angles in radians (degrees with
    `degrees=True`)."""
    import numpy as np

    re, f = _spheroid(re, f)
    xyz, shape = _points(points)
    n = xyz.shape[0]
    lon, lat, alt = np.empty(n), np.empty(n), np.empty(n)
    _ext.coords_recpgr(xyz, re, f, _sense(positive_west), lon, lat, alt)
    _angles_out(lon, lat, degrees)
    return _shaped(lon, shape), _shaped(lat, shape), _shaped(alt, shape)


def pgrrec(lon: npt.ArrayLike, lat: npt.ArrayLike, alt: npt.ArrayLike, re: float, f: float, *,
           positive_west: bool, degrees: bool = False) -> Any:
    """Planetographic (longitude, latitude, altitude) on the spheroid `re`,
    `f`, longitude positive west when `positive_west` -> rectangular points
    (..., 3); angles in radians (degrees with `degrees=True`)."""
    import numpy as np

    re, f = _spheroid(re, f)
    (lo, la, al), shape = _columns((lon, lat, alt), ("lon", "lat", "alt"))
    lo, la = _degrees_in(lo, la, degrees)
    out = np.empty((al.shape[0], 3))
    _ext.coords_pgrrec(np.ascontiguousarray(lo), np.ascontiguousarray(la), al, re, f, _sense(positive_west), out)
    return out.reshape(shape + (3,))


# Right ascension and declination -----------------------------------------


def recrad(vectors: npt.ArrayLike, *, degrees: bool = False) -> Coordinates:
    """Vectors (..., 3) in an equatorial frame (J2000, a frame of date, ...)
    -> (range, right ascension, declination), as the toolkit's recrad gives
    them: right ascension in [0, 2 pi) from the x axis toward y, declination
    in [-pi/2, pi/2]; both 0 for the zero vector. Radians, or degrees (right
    ascension in [0, 360)) with `degrees=True`."""
    import numpy as np

    rng, ra, dec = reclat(vectors)
    ra = np.asarray(ra, dtype=np.float64)
    dec = np.asarray(dec, dtype=np.float64)
    full = 360.0 if degrees else 2 * np.pi
    ra = np.where(ra < 0, ra + 2 * np.pi, ra)
    if degrees:
        ra, dec = np.rad2deg(ra), np.rad2deg(dec)
    # A tiny negative angle plus a full turn rounds to the full turn.
    ra = np.where(ra >= full, 0.0, ra)
    return rng, (ra[()] if ra.ndim == 0 else ra), (dec[()] if dec.ndim == 0 else dec)


def radrec(range: npt.ArrayLike, ra: npt.ArrayLike, dec: npt.ArrayLike, *, degrees: bool = False) -> Any:
    """(range, right ascension, declination) -> vectors (..., 3), the inverse
    of `recrad` (the toolkit's radrec); angles in radians unless `degrees`."""
    return latrec(range, ra, dec, degrees=degrees)
