"""kernwerk: fast readers and writers for NAIF SPICE kernels.

SPK ephemerides (types 2, 3, 9, 13) are evaluated by `NaifSpk`; epochs are
TDB seconds past J2000, positions km, velocities km/s. Body names map to
codes through `bodn2c` / `bodc2n`, where the bindings of text kernels loaded
with `load_text_kernel` take precedence over NAIF's built-in table. `Kernels`
loads several SPK, binary PCK and text kernels as one set, with the NAIF
toolkit's precedence and chain resolution, frames honoured, in batches.
"""

from . import _native
from ._native import *  # noqa: F401,F403
from .bodies import BodyRegistry, bodc2n, bodn2c, clear_text_kernels, load_text_kernel
from .kernels import Kernels
from .errors import (BodyNameError, CoverageError, EpochError, FileFormatError, FrameError, KernelError,
                     KernelFileError, MissingKernelError)
from .timescales import LeapSeconds, et2utc, from_et, from_jd, str2et, to_datetime64, to_et, to_iso, to_jd

__all__ = list(_native.__all__) + [
    "BodyRegistry", "bodn2c", "bodc2n", "load_text_kernel", "clear_text_kernels",
    "KernelError", "KernelFileError", "FileFormatError", "CoverageError", "BodyNameError", "FrameError",
    "EpochError", "MissingKernelError", "Kernels",
    "LeapSeconds", "to_et", "from_et", "to_jd", "from_jd", "to_iso", "to_datetime64", "str2et", "et2utc",
]
__version__ = "0.1.0"
