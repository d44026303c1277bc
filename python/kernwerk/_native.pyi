# The low-level module, hand-written: the extension is plain CPython C API,
# which no stub generator can read types from.
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
    "naif_bodn2c",
    "naif_bodc2n",
    "naif_parse_text_kernel_bindings",
    "NaifSpk",
    "NaifSpkWriter",
    "NaifPck",
]

def naif_bodn2c(name: str) -> int:
    """Look up a NAIF body ID by name in the built-in body-code table
    (CSpice's full 692-entry zzidmap). Raises `ValueError` when the name
    is not present; kernel-supplied bindings are handled separately on
    the Python side and take precedence over this table."""

def naif_bodc2n(code: int) -> str:
    """Reverse: NAIF ID → canonical built-in body name. Raises `ValueError`
    for IDs outside the built-in table."""

def naif_parse_text_kernel_bindings(path: str) -> list[tuple[str, int]]:
    """Parse a SPICE text kernel (.tk/.tf/.tpc/.ti) and return the ordered
    list of `NAIF_BODY_NAME` ↔ `NAIF_BODY_CODE` bindings it declares, as
    `[(name, code), ...]`. Non-body assignments are ignored. Returns an
    empty list if the file contains no `\\begindata` blocks with body
    bindings. Raises `ValueError` on parse errors or mismatched array
    lengths."""

@final
class NaifSpk:
    """Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to
    clone internally) and evaluates states at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifSpk: ...
    def state(self, target: int, center: int, et: float) -> tuple[float, float, float, float, float, float]: ...
    def state_batch(self, target: int, center: int, ets: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def state_batch_in_frame(
        self, target: int, center: int, ets: npt.NDArray[np.float64], frame: str
    ) -> npt.NDArray[np.float64]: ...
    def segments(self) -> list[tuple[int, int, int, int, float, float, str]]: ...

@final
class NaifSpkWriter:
    """Pure-native SPK writer. Emits a DAF/SPK file with one or more Type 3
    (Chebyshev position+velocity) and/or Type 9 (Lagrange) segments. All
    bytes are assembled in memory and committed with an atomic rename,
    so partial files never survive a crash."""

    def __new__(cls, locifn: str = "kernwerk") -> NaifSpkWriter: ...
    def add_type3(self, target: int, center: int, frame_id: int, start_et: float, end_et: float,
                  segment_id: str, init: float, intlen: float, records_coeffs: npt.NDArray[np.float64]) -> None: ...
    def add_type9(self, target: int, center: int, frame_id: int, start_et: float, end_et: float,
                  segment_id: str, degree: int, states: npt.NDArray[np.float64], epochs: npt.NDArray[np.float64]) -> None: ...
    def write(self, path: str) -> None: ...

@final
class NaifPck:
    """Pure-native binary PCK reader. Opens a DAF/PCK once (mmap-backed,
    cheap to clone internally) and evaluates Euler angles / state
    transforms at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifPck: ...
    def euler_state(self, body_frame: int, et: float) -> tuple[float, float, float, float, float, float]: ...
    # The frame-pair methods name their first parameter `from` (a Python
    # keyword): pass it positionally or as **{"from": ...}.
    def sxform(self, from_: str, /, to: str, et: float) -> npt.NDArray[np.float64]: ...
    def pxform(self, from_: str, /, to: str, et: float) -> npt.NDArray[np.float64]: ...
    def pxform_batch(self, from_: str, /, to: str, ets: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def sxform_batch(self, from_: str, /, to: str, ets: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def rotate_state_batch(
        self, from_: str, /, to: str, ets: npt.NDArray[np.float64], states: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]: ...
    def segments(self) -> list[tuple[int, int, int, float, float, str]]: ...
