"""Places fixed on a body: observatories and ground stations on the Earth
(any point of the Earth-fixed frame ITRF93), landers on Mars, stations on
the Moon, and the stations of the toolkit's station kernels.

    >>> paranal = kernwerk.Site.geodetic(-24.6272, -70.4042, 2.635, name="Paranal")
    >>> az, el, rng = kernels.azel("MOON", paranal, ets)
    >>> lander = kernels.site("MARS", 4.5024, 135.6234, -2.6)   # on Mars's radii, in IAU_MARS
    >>> dss14 = kernels.station("DSS-14")                      # SPK position, DSS-14_TOPO frame

A site is a position in ITRF93 (km) relative to the Earth's center (NAIF
body 399). Geodetic coordinates refer to a reference ellipsoid, WGS84 unless
another is given: latitude is the angle between the equator and the
ellipsoid's normal through the point (degrees, north positive, -90 to 90),
longitude is measured east of the prime meridian (degrees, east positive),
height is along the normal (km). The same ellipsoid defines the site's local
east-north-up frame, in which `Kernels.azel` measures azimuth and elevation.
At epoch t the site's J2000 state is the Earth's state plus the site's
position rotated from ITRF93 by the loaded Earth orientation PCK at t, its
velocity including the Earth's rotation.

On any other body a site is a position fixed in that body's frame (`frame`,
IAU_MARS, MOON_ME, ...) relative to its center (`center`, a NAIF code), and
its geodetic (planetodetic) coordinates refer to the body's ellipsoid:
`Kernels.site` builds one from the body's RADII and frame in the set. A
station of a station kernel (`Kernels.station`) is an SPK object: its
position at each epoch is the SPK's, and its azimuth and elevation are
measured in its topocentric TK frame (x north, y west, z up, as the
toolkit's station kernels define them).
"""

from __future__ import annotations

import math
import operator
from typing import Any, NamedTuple

from . import _ext

__all__ = ["AzEl", "AzElRates", "Ellipsoid", "Site", "WGS84"]

# Heights a site on the Earth's surface can have, km: below the deepest
# trench, above the highest mountain, up to where aircraft and balloons fly.
# A height outside them is most likely metres given for km.
_MIN_HEIGHT_KM, _MAX_HEIGHT_KM = -15.0, 100.0


class AzEl(NamedTuple):
    """(azimuth, elevation, range): degrees from north toward east, degrees
    above the horizon, km. Unlike Skyfield's ``altaz`` (alt, az, distance)
    and the toolkit's ``azlcpo`` (range, az, el): read the fields by name."""

    azimuth: Any
    elevation: Any
    range: Any


class AzElRates(NamedTuple):
    """(azimuth, elevation, range, azimuth_rate, elevation_rate,
    range_rate): `AzEl` and the rates, degrees per second and km/s."""

    azimuth: Any
    elevation: Any
    range: Any
    azimuth_rate: Any
    elevation_rate: Any
    range_rate: Any


class Ellipsoid(NamedTuple):
    """An ellipsoid of revolution about the Earth's axis: equatorial radius `a`
    (km) and flattening `f` = (a - b) / a, b the polar radius."""

    a: float
    f: float
    name: str = ""

    @property
    def polar_radius(self) -> float:
        """b = a (1 - f), km."""
        return self.a * (1.0 - self.f)

    def to_geodetic(self, xyz: Any) -> tuple[Any, Any, Any]:
        """Geodetic (latitude, longitude, height) of body-fixed points `xyz`
        (..., 3), km: degrees (north and east positive) and km above this
        ellipsoid, each of shape ``xyz.shape[:-1]``; the order and units of
        `Site.geodetic`, over arrays (a ground track into latitudes). The
        same conversion as `kernwerk.recgeo`, which returns (longitude,
        latitude, altitude) in radians as the toolkit does."""
        from .coordinates import recgeo

        lon, lat, height = recgeo(xyz, self.a, self.f, degrees=True)
        return lat, lon, height

    def from_geodetic(self, latitude: Any, longitude: Any, height: Any = 0.0) -> Any:
        """Body-fixed points (..., 3), km, of geodetic `latitude` and
        `longitude` (degrees) and `height` (km above this ellipsoid), which
        broadcast against each other: `Site.geodetic`'s position over arrays
        (`kernwerk.georec` in degrees)."""
        from .coordinates import georec

        return georec(longitude, latitude, height, self.a, self.f, degrees=True)


#: WGS84: a = 6378.137 km, f = 1 / 298.257223563 (b = 6356.752314245 km).
WGS84 = Ellipsoid(6378.137, 1.0 / 298.257223563, "WGS84")


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or isinstance(value, str):
        raise TypeError(f"{what} must be a number, not {type(value).__name__!r}")
    try:
        return float(operator.index(value)) if isinstance(value, int) else float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a number, not {type(value).__name__!r}") from None


class Site:
    """A point fixed on a body, usable as the observer or the target of
    `Kernels.apparent_state` and `Kernels.state`, and as the place of
    `Kernels.azel`.

    Build one on the Earth with `Site.geodetic(latitude, longitude,
    height=0.0)` or `Site.itrf93((x, y, z))`; on any body of a kernel set
    with `Kernels.site(body, latitude, longitude, height)`, or with
    `Site.geodetic(..., center=code, frame=name, ellipsoid=...)`; a station
    of a station kernel with `Kernels.station(name)`. Attributes: `latitude`,
    `longitude` (degrees), `height` (km) on `ellipsoid`; `position`, (x, y,
    z) in `frame` relative to `center`, km; `name`; `station`, the NAIF code
    of a station kernel's SPK object (None otherwise; its geodetic
    coordinates and position are then NaN, as it moves with its SPK).
    """

    __slots__ = ("latitude", "longitude", "height", "position", "ellipsoid", "name", "center", "frame", "station")
    latitude: float
    longitude: float
    height: float
    position: tuple[float, ...]
    ellipsoid: Ellipsoid
    name: str | None
    center: int
    frame: str | int
    station: int | None

    def __init__(self) -> None:
        raise TypeError("build a Site with Site.geodetic(...), Site.itrf93(...), Kernels.site(...) or "
                        "Kernels.station(...)")

    @classmethod
    def _make(cls, lat: float, lon: float, height: float, xyz: Any, ellipsoid: Ellipsoid,
              name: str | None, center: int = 399, frame: str | int = "ITRF93", station: int | None = None) -> Site:
        site = object.__new__(cls)
        site.latitude, site.longitude, site.height = lat, lon, height
        site.position = tuple(xyz)
        site.ellipsoid = ellipsoid
        site.name = name
        site.center, site.frame, site.station = center, frame, station
        return site

    @classmethod
    def geodetic(cls, latitude: float, longitude: float, height: float = 0.0, *, ellipsoid: Ellipsoid = WGS84,
                 name: str | None = None, allow_any_height: bool = False, center: int = 399,
                 frame: str | int = "ITRF93") -> Site:
        """The site at geodetic `latitude` and `longitude` (degrees; north and
        east positive) and `height` (km above the ellipsoid). ValueError for a
        latitude outside [-90, 90], a non-finite value, or a height outside
        -15 to 100 km (a height in metres given for km, most likely), unless
        `allow_any_height` is true (a point fixed to the body far above it).
        `center` (a NAIF code) and `frame` (a frame name or code) place the
        site on another body than the Earth (ITRF93): planetodetic
        coordinates on `ellipsoid` in that body's frame; `Kernels.site` fills
        them in from a kernel set."""
        lat, lon, h = (_number(latitude, "latitude"), _number(longitude, "longitude"), _number(height, "height"))
        if not allow_any_height:
            _check_height(h, "height")
        ellipsoid = _check_ellipsoid(ellipsoid)
        center, frame = _check_place(center, frame)
        xyz = _ext.geodetic_to_itrf93(lat, lon, h, ellipsoid.a, ellipsoid.f)
        return cls._make(lat, lon, h, xyz, ellipsoid, name, center, frame)

    @classmethod
    def itrf93(cls, xyz: Any, *, ellipsoid: Ellipsoid = WGS84, name: str | None = None,
               allow_any_height: bool = False) -> Site:
        """The site at Earth-fixed position `xyz` (km, ITRF93); its geodetic
        coordinates (and east-north-up frame) are found on `ellipsoid`.
        ValueError for a non-finite position, or one whose height is outside
        -15 to 100 km (a position in metres given for km, most likely),
        unless `allow_any_height` is true."""
        try:
            values = [_number(v, "an ITRF93 coordinate") for v in xyz]
        except TypeError:
            if not hasattr(xyz, "__iter__"):
                raise TypeError("xyz must be a sequence of three numbers (km)") from None
            raise
        if len(values) != 3:
            raise ValueError(f"xyz must have three components (km), not {len(values)}")
        ellipsoid = _check_ellipsoid(ellipsoid)
        x, y, z = values
        lat, lon, h = _ext.itrf93_to_geodetic(x, y, z, ellipsoid.a, ellipsoid.f)
        if not allow_any_height:
            _check_height(h, "the position's height")
        return cls._make(lat, lon, h, values, ellipsoid, name)

    def __repr__(self) -> str:
        label = f"{self.name!r}, " if self.name else ""
        if self.station is not None:
            return f"Site({label}station={self.station!r}, center={self.center!r}, frame={self.frame!r})"
        ell = "" if self.ellipsoid == WGS84 else f", ellipsoid={self.ellipsoid!r}"
        place = "" if self._on_earth() else f", center={self.center!r}, frame={self.frame!r}"
        return (f"Site({label}latitude={self.latitude!r}, longitude={self.longitude!r}, height={self.height!r}"
                f"{ell}{place})")

    def _key(self) -> tuple[Any, ...]:
        if self.station is not None:
            return (self.station, self.frame)
        return (self.position, self.ellipsoid, self.center, self.frame)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Site):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self.latitude, self.longitude, self.height, self.position, self.ellipsoid, self.name,
                           self.center, self.frame, self.station))

    def _on_earth(self) -> bool:
        # Fixed in ITRF93 on the Earth: the Earth orientation path.
        return self.station is None and self.center == 399 and self.frame in ("ITRF93", 13000)

    def _lat_lon_radians(self) -> tuple[float, float]:
        return math.radians(self.latitude), math.radians(self.longitude)


def _check_height(km: float, what: str) -> None:
    # NaN passes here, to be refused with the other non-finite values.
    if km < _MIN_HEIGHT_KM or km > _MAX_HEIGHT_KM:
        raise ValueError(f"{what} {km!r} km is outside {_MIN_HEIGHT_KM:g} to {_MAX_HEIGHT_KM:g} km, the heights of a "
                         f"site on a body's surface: heights and positions are in km, not metres "
                         f"({km!r} m would be {km / 1000.0!r} km); for a point fixed to the Earth outside that "
                         "range, pass allow_any_height=True")


def _check_ellipsoid(e: Any) -> Ellipsoid:
    if isinstance(e, Ellipsoid):
        return e
    try:
        a, f = e
    except (TypeError, ValueError):
        raise TypeError("ellipsoid must be an Ellipsoid or an (a km, flattening) pair") from None
    return Ellipsoid(_number(a, "the ellipsoid's radius"), _number(f, "the ellipsoid's flattening"))


def _check_place(center: Any, frame: Any) -> tuple[int, str | int]:
    if isinstance(center, bool) or not isinstance(center, int):
        raise TypeError(f"center must be a NAIF body code (int), not {type(center).__name__!r}")
    if not -(2**31) <= center < 2**31:
        raise ValueError(f"center {center} is outside the 32-bit range of NAIF codes")
    if isinstance(frame, str):
        name = frame.strip().upper()
        if not name:
            raise ValueError("frame must name a frame, not an empty string")
        return center, name
    if isinstance(frame, bool) or not isinstance(frame, int):
        raise TypeError(f"frame must be a frame name (str) or code (int), not {type(frame).__name__!r}")
    return center, frame


def _restore(lat: float, lon: float, height: float, xyz: Any, ellipsoid: Ellipsoid, name: str | None,
             center: int = 399, frame: str | int = "ITRF93", station: int | None = None) -> Site:
    return Site._make(lat, lon, height, xyz, ellipsoid, name, center, frame, station)
