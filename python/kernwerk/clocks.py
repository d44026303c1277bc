"""Spacecraft clocks (type 1 SCLK kernels) of a kernel set.

    >>> clock = kernels.sclk(-82)                # the clock of spacecraft -82
    >>> et = clock.parse("1/1465644281.165")     # scs2e
    >>> clock.format(et)                         # sce2s: '1/1465644281.165'
    >>> ticks = clock.from_et(ets)               # sce2c (rounded=True: sce2t)
    >>> clock.to_et(ticks)                       # sct2e
    >>> clock.encode("1/1465644281.165"), clock.decode(ticks)   # scencd, scdecd

Ticks are encoded SCLK: the clock's counts in its smallest unit, counted
across partitions from 0 at the start of the first, as float64. Every
method takes a scalar or an array (strings: str or an array-like of str) and
returns the input's shape: float64 arrays for ticks and ET (a NumPy scalar
for a scalar), str arrays (a str for a scalar) for clock strings.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _ext

if TYPE_CHECKING:
    import numpy as np

__all__ = ["SpacecraftClock"]


class SpacecraftClock:
    """A type 1 spacecraft clock read from a kernel set's pool when it was
    made (use `Kernels.sclk`); later loads into the set do not change it."""

    def __init__(self, kernel_set: Any, clock: int, threads: int | None = None) -> None:
        self._clock = _ext.SclkClock(kernel_set, clock)
        self._threads = threads

    @property
    def id(self) -> int:
        """The clock's NAIF code (the spacecraft's)."""
        return int(self._clock.id)

    @property
    def partitions(self) -> int:
        return int(self._clock.partitions)

    @property
    def time_system(self) -> str:
        """The clock's parallel time system: 'TDB' or 'TDT'."""
        return "TDT" if self._clock.tt else "TDB"

    def __repr__(self) -> str:
        return f"SpacecraftClock({self.id}, partitions={self.partitions}, time_system={self.time_system!r})"

    def to_et(self, ticks: Any, *, threads: int | None = None) -> Any:
        """ET of encoded ticks (sct2e)."""
        return self._numbers(ticks, True, False, threads)

    def from_et(self, et: Any, *, rounded: bool = False, threads: int | None = None) -> Any:
        """Encoded ticks at ET, with their fraction (sce2c), or rounded to the
        nearest tick with `rounded` (sce2t)."""
        return self._numbers(et, False, rounded, threads)

    def encode(self, text: Any) -> Any:
        """Encoded ticks of clock strings (scencd)."""
        return self._strings_in(text, False)

    def parse(self, text: Any) -> Any:
        """ET of clock strings (scs2e)."""
        return self._strings_in(text, True)

    def decode(self, ticks: Any) -> Any:
        """Clock strings of encoded ticks, rounded to the nearest tick (scdecd)."""
        return self._strings_out(ticks, False)

    def format(self, et: Any) -> Any:
        """Clock strings at ET (sce2s)."""
        return self._strings_out(et, True)

    def _numbers(self, values: Any, to_et: bool, rounded: bool, threads: int | None) -> Any:
        import numpy as np

        arr = np.asarray(values, dtype=np.float64)
        flat = np.ascontiguousarray(arr.reshape(-1))
        out = np.empty(flat.shape)
        n_threads = threads if threads is not None else self._threads
        if n_threads is not None and (isinstance(n_threads, bool) or not isinstance(n_threads, int) or n_threads < 1):
            raise ValueError(f"threads must be a positive int or None, not {n_threads!r}")
        self._clock.convert(to_et, rounded, flat, out, n_threads or 0, list(arr.shape))
        return out.reshape(arr.shape) if arr.ndim else out[0]

    def _strings_in(self, text: Any, to_et: bool) -> Any:
        import numpy as np

        if isinstance(text, str):
            out = np.empty(1)
            self._clock.encode([text], to_et, out)
            return out[0]
        if isinstance(text, list) and (not text or isinstance(text[0], str)):
            # A flat list goes in as it is (the binding checks each item).
            out = np.empty(len(text))
            self._clock.encode(text, to_et, out, [len(text)])
            return out
        arr = np.asarray(text)
        if arr.dtype.kind not in "UO":
            raise TypeError("clock strings must be a str or an array-like of str")
        items = [str(x) if isinstance(x, str) else _not_str(x) for x in arr.reshape(-1).tolist()]
        out = np.empty(len(items))
        self._clock.encode(items, to_et, out, list(arr.shape))
        return out.reshape(arr.shape)

    def _strings_out(self, values: Any, from_et: bool) -> Any:
        import numpy as np

        arr = np.asarray(values, dtype=np.float64)
        flat = np.ascontiguousarray(arr.reshape(-1))
        texts = self._clock.decode(flat, from_et, list(arr.shape) if arr.ndim else [])
        if not arr.ndim:
            return texts[0]
        return np.array(texts, dtype=str).reshape(arr.shape)


def _not_str(value: Any) -> str:
    raise TypeError(f"clock strings must be str, not {type(value).__name__!r}")
