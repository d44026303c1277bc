from typing import Final

import numpy as np
from numpy.typing import NDArray

__all__: Final[list[str]]

class NaifSpk:
    """Pure-native SPK reader. Opens a DAF/SPK once (mmap-backed, cheap to
    clone internally) and evaluates states at TDB ephemeris-time seconds."""

    def __new__(cls, path: str) -> NaifSpk: ...
    def state(self, target: int, center: int, et: float) -> tuple[float, float, float, float, float, float]: ...
    def state_batch(self, target: int, center: int, ets: NDArray[np.float64]) -> NDArray[np.float64]: ...
    def state_batch_in_frame(
        self, target: int, center: int, ets: NDArray[np.float64], frame: str
    ) -> NDArray[np.float64]: ...
    def segments(self) -> list[tuple[int, int, int, int, float, float, str]]: ...
