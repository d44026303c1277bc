"""Pointing from C-kernels: the toolkit's ckgp and ckgpav over arrays.

    >>> p = kernels.pointing("CASSINI_SC", ticks, tolerance=2.0, frame="J2000", angular_velocity=True)
    >>> p.rotation[p.found]     # (k, 3, 3): J2000 -> spacecraft frame
    >>> kernels.ck_orientation(-82000, ets).rotation   # at ET, through the spacecraft clock

A request no segment answers is not an error: its `found` is False and its
outputs are zero, so that a batch over a pointing gap returns whole.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

from . import _ext

if TYPE_CHECKING:
    import numpy as np

__all__ = ["Pointing", "CkSegment"]


class Pointing(NamedTuple):
    """Pointing at each request. `rotation` is the rotation from the
    reference frame to the instrument frame: matrices of shape ``shape +
    (3, 3)``, or quaternions ``shape + (4,)`` (cos first, the toolkit's
    m2q, non-negative cosine) when asked; `angular_velocity` (rad/s, in the
    reference frame, shape ``shape + (3,)``) or None when not asked; `clock`
    the encoded ticks each answer is given for (the request itself, or the
    record that answered within the tolerance); `found` a bool mask."""

    rotation: np.ndarray
    angular_velocity: np.ndarray | None
    clock: np.ndarray
    found: np.ndarray


class CkSegment(NamedTuple):
    """One segment of a C-kernel: bounds in encoded ticks."""

    path: str
    position: int  # the segment's index in its file
    name: str
    instrument: int
    frame: int
    data_type: int
    angular_velocity: bool
    start: float
    end: float


def pointing(kernel_set: Any, instrument: int, ticks: Any, tolerance: float, frame: int, angular_velocity: bool,
             quaternion: bool, threads: int) -> Pointing:
    import numpy as np

    arr = np.asarray(ticks, dtype=np.float64)
    flat = arr.reshape(-1)
    n = flat.shape[0]
    rot = np.empty((n, 4 if quaternion else 9))
    av = np.empty((n, 3)) if angular_velocity else None
    clock = np.empty(n)
    found = np.empty(n, dtype=np.uint8)
    _ext.ck_pointing(kernel_set, instrument, flat, float(tolerance), frame, angular_velocity, rot, av, clock, found,
                     threads, list(arr.shape))
    shape = arr.shape
    return Pointing(rot.reshape(shape + ((4,) if quaternion else (3, 3))),
                    None if av is None else av.reshape(shape + (3,)), clock.reshape(shape),
                    found.astype(bool).reshape(shape))


def segments(kernel_set: Any) -> list[CkSegment]:
    import os

    return [CkSegment(os.fsdecode(p), i, name, inst, frame, typ, bool(av), start, end)
            for p, i, name, inst, frame, typ, av, start, end in _ext.ck_segments(kernel_set)]
