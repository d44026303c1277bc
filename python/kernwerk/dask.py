"""Kernel-set queries over Dask arrays of epochs, for clusters.

    >>> import dask.array as da, kernwerk, kernwerk.dask
    >>> k = kernwerk.Kernels("de440.bsp", "earth_latest_high_prec.bpc")
    >>> ets = da.arange(0.0, 86400.0 * 365, 1.0, chunks=5_000_000)
    >>> states = kernwerk.dask.state(k, "moon", "earth", ets, frame="ITRF93")   # lazy, (n, 6)
    >>> states.compute()                  # on a distributed.Client's workers, if one is set up

Each block of epochs becomes one task that evaluates it with a single
batch call. The kernel set travels to the workers as its file paths (a
`Kernels` pickles by path), and each worker process opens the files itself,
once: it keeps the sets it opened for later tasks, for as long as the files
at those paths stay the same (device, inode, size, modification and change
times): a file replaced or rewritten is opened afresh by the next task, and
a set that finds a file changed under it is dropped and the task opened
afresh once. The files must
therefore be readable at the same paths on every worker (a shared or copied
directory). Bodies and frames are resolved once, on the caller's side.

Dask pays only when the work of a batch outweighs its scheduling: see
docs/dask.md for the sizes at which a cluster beats one process. Requires
the `dask` extra (``pip install "kernwerk[dask]"``).
"""

from __future__ import annotations

import functools
import os
from typing import TYPE_CHECKING, Any, Callable

from .errors import KernelChangedError
from .kernels import Kernels, _frame_code

if TYPE_CHECKING:
    import dask.array as da
    import numpy as np

__all__ = ["state", "sxform"]


_Identity = tuple[int, int, int, int, int] | None


def _identity(path: str) -> _Identity:
    # What a rewrite or a replacement of the file changes; the change time
    # cannot be set back. None for a file that cannot be seen: opening it
    # then raises the error that names why.
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


@functools.lru_cache(maxsize=8)
def _worker_set(files: tuple[str, ...], threads: int | None, identities: tuple[_Identity, ...]) -> Kernels:
    # One open set per distinct file list in each worker process, reused by
    # every task that process runs while the files stay the same.
    return Kernels(*files, threads=threads)


def _with_set(files: tuple[str, ...], threads: int | None, call: Callable[[Kernels], np.ndarray]) -> np.ndarray:
    try:
        return call(_worker_set(files, threads, tuple(_identity(f) for f in files)))
    except KernelChangedError:
        # A file changed under the cached set without changing what the
        # key shows (a rewrite within one tick of the file system's clock):
        # the set is dropped and the block runs once on the files as they
        # are now, as a set loaded now would answer.
        _worker_set.cache_clear()
        return call(_worker_set(files, threads, tuple(_identity(f) for f in files)))


def _state_block(ets: np.ndarray, files: tuple[str, ...], threads: int | None, target: int, center: int,
                 frame: int) -> np.ndarray:
    return _with_set(files, threads, lambda k: k.state(target, center, ets, frame))


def _sxform_block(ets: np.ndarray, files: tuple[str, ...], threads: int | None, pair: tuple[int, int]) -> np.ndarray:
    return _with_set(files, threads, lambda k: k.sxform(pair[0], pair[1], ets))


def _check(kernels: Kernels, ets: Any) -> tuple[tuple[str, ...], Any]:
    import dask.array as da
    import numpy as np

    if not isinstance(kernels, Kernels):
        raise TypeError(f"kernels must be a kernwerk.Kernels, not {type(kernels).__name__}")
    if not isinstance(ets, da.Array):
        ets = da.asarray(np.asarray(ets, dtype=np.float64))
    elif ets.dtype != np.float64:
        ets = ets.astype(np.float64)
    return kernels._loaded, ets


def state(kernels: Kernels, target: str | int, center: str | int, ets: da.Array | Any, frame: str | int = "J2000",
          *, threads: int | None = 1) -> da.Array:
    """`kernels.state(target, center, ets, frame)` as a lazy Dask array of
    shape ``ets.shape + (6,)``, float64, one task per block of `ets` (ET
    seconds; a NumPy array-like is wrapped as one block).

    `threads` is the thread count of each task's batch (default 1: a
    cluster's workers are its parallelism; None lets each set choose).
    Results are the same, bit for bit, as one `kernels.state` call."""
    files, arr = _check(kernels, ets)
    t, c, f = kernels.body_code(target), kernels.body_code(center), _frame_code(frame, kernels._set)
    return arr.map_blocks(_state_block, files, threads, t, c, f, dtype="float64", new_axis=arr.ndim,
                          chunks=arr.chunks + ((6,),), meta=_empty(arr.ndim + 1))


def sxform(kernels: Kernels, from_frame: str | int, to_frame: str | int, ets: da.Array | Any, *,
           threads: int | None = 1) -> da.Array:
    """`kernels.sxform(from_frame, to_frame, ets)` as a lazy Dask array of
    shape ``ets.shape + (6, 6)``."""
    files, arr = _check(kernels, ets)
    pair = (_frame_code(from_frame, kernels._set), _frame_code(to_frame, kernels._set))
    return arr.map_blocks(_sxform_block, files, threads, pair, dtype="float64", new_axis=[arr.ndim, arr.ndim + 1],
                          chunks=arr.chunks + ((6,), (6,)), meta=_empty(arr.ndim + 2))


def _empty(ndim: int) -> np.ndarray:
    import numpy as np

    return np.empty((0,) * ndim, dtype=np.float64)
