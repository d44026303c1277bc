from typing import Any, Final

__all__: Final[list[str]]

class NaifSpk:
    """Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to
    clone internally) and evaluates states at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifSpk: ...
    def segments(self) -> list[tuple[int, int, int, int, float, float, str]]: ...

class NaifSpkWriter:
    """Pure-native SPK writer. Emits a DAF/SPK file with one or more Type 3
    (Chebyshev position+velocity) and/or Type 9 (Lagrange) segments. All
    bytes are assembled in memory and committed with an atomic rename,
    so partial files never survive a crash."""

    def __new__(cls, locifn: str = "kernwerk") -> NaifSpkWriter: ...
    def add_type3(self, target: int, center: int, frame_id: int, start_et: float, end_et: float,
                  segment_id: str, init: float, intlen: float, records_coeffs: Any) -> None: ...
    def add_type9(self, target: int, center: int, frame_id: int, start_et: float, end_et: float,
                  segment_id: str, degree: int, states: Any, epochs: Any) -> None: ...
    def write(self, path: str) -> None: ...
