"""kernwerk: fast readers and writers for NAIF SPICE kernels.

`Kernels` loads SPK ephemerides, binary PCK Earth orientation and text
kernels as one set, with the NAIF toolkit's precedence and chain resolution,
and evaluates states of bodies given by name or code at epochs given as ET
(TDB seconds past J2000) or as dates, singly or in NumPy batches; apparent
states and azimuth/elevation as seen from a `Site` on the Earth. `to_et`
and its companions convert between dates, time scales and ET. `SpkWriter`
writes SPK files; `read_segments` lists the segments of an SPK or PCK file.
`reclat`, `recgeo`, `recpgr` and their inverses convert body-fixed
coordinates over arrays. The errors raised are the classes of
`kernwerk.errors`.

The low-level classes `NaifSpk`, `NaifPck` and `NaifSpkWriter` (one file
each, NAIF codes, float64 arrays) remain for code written against them.
Positions are km, velocities km/s.
"""

__version__ = "0.1.0"

from ._native import NaifPck, NaifSpk, NaifSpkWriter, naif_bodc2n, naif_bodn2c, naif_parse_text_kernel_bindings
from .attitude import CkSegment, Pointing
from .bodies import BodyRegistry, bodc2n, bodn2c, clear_text_kernels, load_text_kernel
from .clocks import SpacecraftClock
from .coordinates import georec, latrec, pgrrec, radrec, recgeo, reclat, recpgr, recrad
from .excerpt import ExcerptSegment, excerpt
from .errors import (BodyNameError, CoverageError, EpochError, FileFormatError, FrameError, KernelChangedError,
                     KernelError, KernelFileError, MissingKernelError)
from .kernels import FieldOfView, FrameInfo, Kernels
from .orbits import conics, oscelt
from .segments import PckSegment, SpkSegment, kernel_kind, read_comments, read_segments
from .sites import WGS84, AzEl, AzElRates, Ellipsoid, Site
from .surface import CurvePoints, Illumination, Intercept, SubPoint
from .timescales import LeapSeconds, et2utc, from_et, from_jd, str2et, to_datetime64, to_et, to_iso, to_jd
from .writer import SpkWriter, WrittenSegment
from .ck_writer import CkWriter, WrittenCkSegment

# Event search and windows: kernwerk.events.
from . import events

__all__ = [
    # the low-level module
    "naif_bodn2c", "naif_bodc2n", "naif_parse_text_kernel_bindings", "NaifSpk", "NaifSpkWriter", "NaifPck",
    # body names
    "BodyRegistry", "bodn2c", "bodc2n", "load_text_kernel", "clear_text_kernels",
    # errors
    "KernelError", "KernelFileError", "FileFormatError", "CoverageError", "BodyNameError", "FrameError",
    "EpochError", "MissingKernelError", "KernelChangedError",
    # kernel sets, sites, files
    "Kernels", "FrameInfo", "Site", "AzEl", "AzElRates", "Ellipsoid", "WGS84", "SpkWriter", "WrittenSegment", "CkWriter", "WrittenCkSegment",
    "FieldOfView",
    "read_segments", "read_comments", "kernel_kind",
    # excerpts
    "excerpt", "ExcerptSegment",
    "SpkSegment", "PckSegment",
    # attitude and clocks
    "Pointing", "CkSegment", "SpacecraftClock",
    # surface geometry
    "SubPoint", "Intercept", "Illumination", "CurvePoints",
    # two-body orbits
    "conics", "oscelt",
    # body-fixed coordinates
    "reclat", "latrec", "recgeo", "georec", "recpgr", "pgrrec", "recrad", "radrec",
    # time
    "LeapSeconds", "to_et", "from_et", "to_jd", "from_jd", "to_iso", "to_datetime64", "str2et", "et2utc",
    # event search
    "events",
]
