"""The almanac: risings, settings, twilight, transits, phases of the Moon,
oppositions and conjunctions, for people who think in dates, from the event
searches of `kernwerk.events`.

    >>> from kernwerk import Kernels, Site, almanac
    >>> k = Kernels("de440.bsp", "earth_latest_high_prec.bpc", "naif0012.tls")
    >>> greenwich = Site.geodetic(51.4769, -0.0005, 0.046)
    >>> sun = almanac.risings_settings(k, "SUN", greenwich, "2025-01-01", "2026-01-01")
    >>> sun.dates[:2], sun.kind[:2]        # ISO UTC strings; 1 rising, 0 setting

Every function returns an `Events`: `et` (ascending ET), `kind` (an integer
code per event, as Skyfield's almanac numbers them) and `dates` (ISO UTC
strings). `start` and `stop` are ET numbers or date strings. Each takes
`threads` and `progress` as the searches of `kernwerk.events` do.

Conventions:

* Positions are apparent ones (``"LT+S"``: light time and stellar
  aberration; gravitational deflection, below 0.01" away from the Sun's
  disc, and refraction are not modelled). Refraction enters through the
  horizon: the Sun's upper limb with standard refraction is the Sun's
  centre at -0.8333 degrees (16' of radius and 34' of refraction), the
  default of `risings_settings`.
* Elevations are those of `Kernels.azel`: on the Earth the site's WGS84
  horizon in ITRF93, which the loaded Earth orientation PCK (the binary
  high-precision one, with UT1 and polar motion) turns into J2000.
* Moon phases and oppositions are crossings of the difference of two
  geocentric ecliptic longitudes: in `frame`, ECLIPJ2000 (the mean ecliptic
  and equinox of J2000) unless another is given. The ecliptic of date moves
  by some 47" a century against it, which shifts a longitude difference by
  at most that times the tangent of the latitude: under 2" for the Moon
  within a century of 2000, a few seconds of time, and up to half a
  minute for an opposition of Mars, whose longitude less the Sun's moves
  slowly. Skyfield measures them in the ecliptic of date: load the frame
  kernel `ECLIPTIC_OF_DATE` (written to a file) and pass
  ``frame="ECLIPDATE"`` to measure them there too.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from . import events
from .kernels import Kernels, _frame_code
from .sites import Site

if TYPE_CHECKING:
    import numpy as np

__all__ = ["Events", "TWILIGHT", "ECLIPTIC_OF_DATE", "risings_settings", "twilight", "transits", "moon_phases",
           "oppositions_conjunctions", "MOON_PHASES"]

#: Altitudes of the Sun's centre (degrees) that begin and end twilight.
TWILIGHT = {"civil": -6.0, "nautical": -12.0, "astronomical": -18.0}
#: A frame kernel defining ECLIPDATE, the mean ecliptic and equinox of
#: date (IAU 1976 precession, IAU 1980 obliquity) as a dynamic frame: the
#: ecliptic plane of date, as Skyfield's almanac uses (the true equinox
#: differs by the nutation in longitude, common to both longitudes).
ECLIPTIC_OF_DATE = """KPL/FK
\\begindata
FRAME_ECLIPDATE = 1400000
FRAME_1400000_NAME = 'ECLIPDATE'
FRAME_1400000_CLASS = 5
FRAME_1400000_CLASS_ID = 1400000
FRAME_1400000_CENTER = 399
FRAME_1400000_RELATIVE = 'J2000'
FRAME_1400000_DEF_STYLE = 'PARAMETERIZED'
FRAME_1400000_FAMILY = 'MEAN_ECLIPTIC_AND_EQUINOX_OF_DATE'
FRAME_1400000_PREC_MODEL = 'EARTH_IAU_1976'
FRAME_1400000_OBLIQ_MODEL = 'EARTH_IAU_1980'
FRAME_1400000_ROTATION_STATE = 'ROTATING'
\\begintext
"""
#: Names of the `kind` codes of `moon_phases`.
MOON_PHASES = ("new moon", "first quarter", "full moon", "last quarter")


class Events:
    """Instants of an almanac: `et` (float64 array, ascending), `kind`
    (int64 array, the code of each event) and `dates` (ISO UTC strings with
    milliseconds, made on first use). Unpacks as ``et, kind = events``."""

    __slots__ = ("et", "kind", "_leapseconds", "_dates")

    def __init__(self, et: Any, kind: Any, leapseconds: Any = None) -> None:
        self.et, self.kind = et, kind
        self._leapseconds = leapseconds
        self._dates: list[str] | None = None

    @property
    def dates(self) -> list[str]:
        if self._dates is None:
            from .timescales import to_iso

            text = to_iso(self.et, "utc", 3, leapseconds=self._leapseconds) if len(self.et) else []
            self._dates = [str(s) for s in text]
        return self._dates

    def __len__(self) -> int:
        return len(self.et)

    def __iter__(self) -> Iterator[Any]:
        return iter((self.et, self.kind))

    def __repr__(self) -> str:
        return f"Events({len(self)} events: et={self.et!r}, kind={self.kind!r})"


def _span(kernels: Kernels, start: Any, stop: Any) -> np.ndarray:
    if not isinstance(kernels, Kernels):
        raise TypeError(f"the first argument must be a kernwerk.Kernels, not {type(kernels).__name__!r}")
    return events.window([(start, stop)], kernels)


def _events(kernels: Kernels, et: Any, kind: Any) -> Events:
    import numpy as np

    et = np.asarray(et, dtype=np.float64)
    order = np.argsort(et, kind="stable")
    return Events(et[order], np.asarray(kind, dtype=np.int64)[order], kernels._leapseconds_object())


def _edges(w: np.ndarray, span: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # The starts and ends of the windows inside the span: the span's own
    # ends are no crossings.
    lo, hi = span[0, 0], span[0, 1]
    return w[:, 0][w[:, 0] > lo], w[:, 1][w[:, 1] < hi]


def risings_settings(kernels: Kernels, body: str | int, site: Site, start: Any, stop: Any, *,
                     horizon: float = -0.8333, correction: str = "LT+S", step: float = 14400.0,
                     threads: int | None = None, progress: events.Progress = False) -> Events:
    """Risings (kind 1) and settings (kind 0) of `body` seen from `site`
    between `start` and `stop`: the instants its centre's elevation crosses
    `horizon` degrees upward and downward (-0.8333, the default, is the
    Sun's upper limb with standard refraction; -0.5667, refraction alone,
    suits a planet). Skyfield's ``find_risings`` and ``find_settings`` with
    ``horizon_degrees=horizon``. The elevation is sampled every `step`
    seconds (four hours: the elevation rises and falls between culminations
    some twelve hours apart, and the search finds every culmination, and
    so every crossing, when each step holds at most one; a culmination
    that only grazes the horizon between two samples is still found, its
    extremum refined until a point beyond the horizon shows the crossings).
    Four hours keeps a margin of three against the twelve, and samples half
    as often as two hours for the same events."""
    span = _span(kernels, start, stop)
    w = events.find_elevation(kernels, body, site, ">", horizon, window=span, step=step, correction=correction,
                              threads=threads, progress=progress)
    up, down = _edges(w, span)
    import numpy as np

    return _events(kernels, np.concatenate([up, down]), [1] * len(up) + [0] * len(down))


def twilight(kernels: Kernels, site: Site, start: Any, stop: Any, kind: str = "civil", *,
             correction: str = "LT+S", step: float = 14400.0, threads: int | None = None,
             progress: events.Progress = False) -> Events:
    """Dawns (kind 1) and dusks (kind 0) of `kind` ("civil", "nautical" or
    "astronomical"): the Sun's centre crossing -6, -12 or -18 degrees."""
    if kind not in TWILIGHT:
        raise ValueError(f"unknown twilight {kind!r} (accepted: {', '.join(TWILIGHT)})")
    return risings_settings(kernels, "SUN", site, start, stop, horizon=TWILIGHT[kind], correction=correction,
                            step=step, threads=threads, progress=progress)


def transits(kernels: Kernels, body: str | int, site: Site, start: Any, stop: Any, *, correction: str = "LT+S",
             step: float = 14400.0, threads: int | None = None, progress: events.Progress = False) -> Events:
    """Upper transits (kind 1): the instants of highest elevation of `body`
    seen from `site` (the toolkit's LOCMAX of the elevation). For a body
    whose declination changes (the Moon) they lie seconds off the meridian
    crossing that Skyfield's ``meridian_transits`` reports. Sampled every
    four hours by default, as `risings_settings` (every maximum is refined
    in full; only the maxima are)."""
    import numpy as np

    span = _span(kernels, start, stop)
    w = events.find_elevation(kernels, body, site, "LOCMAX", window=span, step=step, correction=correction,
                              threads=threads, progress=progress)
    return _events(kernels, w[:, 0], np.ones(len(w), dtype=np.int64))


def _longitude_crossings(kernels: Kernels, body: str | int, start: Any, stop: Any, period: float, frame: str | int,
                         correction: str, step: float, threads: int | None,
                         progress: events.Progress) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    # Instants where lon(body) - lon(Sun), geocentric in `frame`, is a
    # multiple of `period` degrees, that difference there (degrees in [0,
    # 360)) and its rate.
    import numpy as np

    span = _span(kernels, start, stop)
    code = _frame_code(frame, kernels._set)
    w = events._search(kernels, "longitude_difference", body, "EARTH", "=", 0.0, window=span, step=step,
                       correction=correction, adjust=0.0, tolerance=events.DEFAULT_TOLERANCE, threads=threads,
                       frame=code, target2=kernels._endpoint("SUN"), period=math.radians(period),
                       progress=progress)
    t = w[:, 0]
    if not len(t):
        return t, t, t
    lon, rate = [], []
    for which in (body, "SUN"):
        s, _ = kernels.apparent_state(which, "EARTH", t, code, correction=correction)
        lon.append(np.arctan2(s[:, 1], s[:, 0]))
        rate.append((s[:, 0] * s[:, 4] - s[:, 1] * s[:, 3]) / (s[:, 0] ** 2 + s[:, 1] ** 2))
    return t, np.mod(np.degrees(lon[0] - lon[1]), 360.0), rate[0] - rate[1]


def moon_phases(kernels: Kernels, start: Any, stop: Any, *, frame: str | int = "ECLIPJ2000",
                correction: str = "LT+S", step: float = 21600.0, threads: int | None = None,
                progress: events.Progress = False) -> Events:
    """The phases of the Moon: new moon (kind 0), first quarter (1), full
    moon (2) and last quarter (3), where the geocentric ecliptic longitude of
    the Moon less that of the Sun is 0, 90, 180 and 270 degrees (see the
    module for the ecliptic). Skyfield's ``moon_phases``."""
    import numpy as np

    t, diff, _ = _longitude_crossings(kernels, "MOON", start, stop, 90.0, frame, correction, step, threads,
                                      progress)
    return _events(kernels, t, np.mod(np.rint(diff / 90.0), 4).astype(np.int64))


def oppositions_conjunctions(kernels: Kernels, body: str | int, start: Any, stop: Any, *,
                             frame: str | int = "ECLIPJ2000", correction: str = "LT+S", step: float = 86400.0,
                             threads: int | None = None, progress: events.Progress = False) -> Events:
    """Oppositions (kind 1) and conjunctions (kind 0) of `body` with the
    Sun: its geocentric ecliptic longitude less the Sun's is 180 or 0
    degrees. Numbered as Skyfield's ``oppositions_conjunctions`` numbers
    them, 1 when the Sun's longitude less the body's enters [180, 360): for
    Mercury and Venus, which have no oppositions, the conjunctions at which
    the body passes the Sun eastward are kind 1, the others kind 0."""
    import numpy as np

    t, diff, rate = _longitude_crossings(kernels, body, start, stop, 180.0, frame, correction, step, threads,
                                         progress)
    opposite = np.abs(diff - 180.0) < 90.0
    return _events(kernels, t, np.where(opposite, rate < 0, rate > 0).astype(np.int64))
