from typing import Final

__all__: Final[list[str]]

class NaifSpk:
    """Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to
    clone internally) and evaluates states at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifSpk: ...
    def segments(self) -> list[tuple[int, int, int, int, float, float, str]]: ...
