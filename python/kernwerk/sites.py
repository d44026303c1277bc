"""Places fixed on the Earth: observatories, ground stations, any point of the
Earth-fixed frame ITRF93.

    >>> paranal = kernwerk.Site.geodetic(-24.6272, -70.4042, 2.635, name="Paranal")
    >>> az, el, rng = kernels.azel("MOON", paranal, ets)

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
"""

from __future__ import annotations

import math
import operator
from typing import Any, NamedTuple

from . import _ext

__all__ = ["Ellipsoid", "Site", "WGS84"]


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
    """A point fixed on the Earth (in ITRF93), usable as the observer or the
    target of `Kernels.apparent_state` and `Kernels.state`, and as the place
    of `Kernels.azel`.

    Build one with `Site.geodetic(latitude, longitude, height=0.0)` or
    `Site.itrf93((x, y, z))`. Attributes: `latitude`, `longitude` (degrees),
    `height` (km) on `ellipsoid`; `position`, (x, y, z) in ITRF93, km; `name`.
    """

    __slots__ = ("latitude", "longitude", "height", "position", "ellipsoid", "name")
    latitude: float
    longitude: float
    height: float
    position: tuple[float, ...]
    ellipsoid: Ellipsoid
    name: str | None

    def __init__(self) -> None:
        raise TypeError("build a Site with Site.geodetic(...) or Site.itrf93(...)")

    @classmethod
    def _make(cls, lat: float, lon: float, height: float, xyz: Any, ellipsoid: Ellipsoid,
              name: str | None) -> Site:
        site = object.__new__(cls)
        site.latitude, site.longitude, site.height = lat, lon, height
        site.position = tuple(xyz)
        site.ellipsoid = ellipsoid
        site.name = name
        return site

    @classmethod
    def geodetic(cls, latitude: float, longitude: float, height: float = 0.0, *, ellipsoid: Ellipsoid = WGS84,
                 name: str | None = None) -> Site:
        """The site at geodetic `latitude` and `longitude` (degrees; north and
        east positive) and `height` (km above the ellipsoid). ValueError for a
        latitude outside [-90, 90] or a non-finite value."""
        lat, lon, h = (_number(latitude, "latitude"), _number(longitude, "longitude"), _number(height, "height"))
        ellipsoid = _check_ellipsoid(ellipsoid)
        xyz = _ext.geodetic_to_itrf93(lat, lon, h, ellipsoid.a, ellipsoid.f)
        return cls._make(lat, lon, h, xyz, ellipsoid, name)

    @classmethod
    def itrf93(cls, xyz: Any, *, ellipsoid: Ellipsoid = WGS84, name: str | None = None) -> Site:
        """The site at Earth-fixed position `xyz` (km, ITRF93); its geodetic
        coordinates (and east-north-up frame) are found on `ellipsoid`.
        ValueError for a non-finite position."""
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
        return cls._make(lat, lon, h, values, ellipsoid, name)

    def __repr__(self) -> str:
        label = f"{self.name!r}, " if self.name else ""
        ell = "" if self.ellipsoid == WGS84 else f", ellipsoid={self.ellipsoid!r}"
        return f"Site({label}latitude={self.latitude!r}, longitude={self.longitude!r}, height={self.height!r}{ell})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Site):
            return NotImplemented
        return self.position == other.position and self.ellipsoid == other.ellipsoid

    def __hash__(self) -> int:
        return hash((self.position, self.ellipsoid))

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self.latitude, self.longitude, self.height, self.position, self.ellipsoid, self.name))

    def _lat_lon_radians(self) -> tuple[float, float]:
        return math.radians(self.latitude), math.radians(self.longitude)


def _check_ellipsoid(e: Any) -> Ellipsoid:
    if isinstance(e, Ellipsoid):
        return e
    try:
        a, f = e
    except (TypeError, ValueError):
        raise TypeError("ellipsoid must be an Ellipsoid or an (a km, flattening) pair") from None
    return Ellipsoid(_number(a, "the ellipsoid's radius"), _number(f, "the ellipsoid's flattening"))


def _restore(lat: float, lon: float, height: float, xyz: Any, ellipsoid: Ellipsoid, name: str | None) -> Site:
    return Site._make(lat, lon, height, xyz, ellipsoid, name)
