"""kernwerk: fast readers and writers for NAIF SPICE kernels.

SPK ephemerides (types 2, 3, 9, 13) are evaluated by `NaifSpk`; epochs are
TDB seconds past J2000, positions km, velocities km/s.
"""

from . import _native
from ._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__version__ = "0.1.0"
