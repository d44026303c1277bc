"""Two-body orbits: `conics` (elements to states) and `oscelt` (states to
elements), the toolkit's functions over arrays.

    >>> elts = kernwerk.oscelt(state, et, gm)        # [rp, ecc, inc, lnode, argp, m0, t0, mu]
    >>> states = kernwerk.conics(elts, ets)          # shape ets.shape + (6,)

Elements are the toolkit's eight: perifocal distance rp (km), eccentricity,
inclination, longitude of the ascending node, argument of periapsis, mean
anomaly m0 (radians) at epoch t0 (TDB seconds past J2000), and mu (km^3/s^2),
angles in the frame of the state. The propagation is the one SPK Type 5
segments use.
"""

from __future__ import annotations

from typing import Any

from . import _ext

__all__ = ["conics", "oscelt"]


def conics(elements: Any, et: Any) -> Any:
    """The state at `et` of the two-body orbit of `elements`: elements of
    shape (8,) or (..., 8) and epochs (ET, numbers) broadcast against each
    other; the result has their broadcast shape + (6,), [x, y, z, vx, vy,
    vz] in km and km/s. ValueError naming the element that is not valid
    (rp and mu positive, ecc not negative, all finite)."""
    import numpy as np

    e = np.asarray(elements, dtype=np.float64)
    if e.ndim == 0 or e.shape[-1] != 8:
        raise ValueError(f"elements must have shape (8,) or (..., 8), not {e.shape}")
    t = np.asarray(et, dtype=np.float64)
    shape = np.broadcast_shapes(e.shape[:-1], t.shape)
    rows = np.ascontiguousarray(np.broadcast_to(e, shape + (8,)).reshape(-1, 8))
    ets = np.ascontiguousarray(np.broadcast_to(t, shape).reshape(-1))
    out = np.empty((ets.size, 6))
    _ext.conics(rows, ets, out)
    return out.reshape(shape + (6,))


def oscelt(state: Any, et: Any, gm: Any) -> Any:
    """The osculating elements of `state` ([x, y, z, vx, vy, vz], km and
    km/s, shape (6,) or (..., 6)) at `et` about a body of gravitational
    parameter `gm` (km^3/s^2); `et` and `gm` broadcast against the states.
    Returns shape (..., 8): [rp, ecc, inc, lnode, argp, m0, t0, mu]. An
    orbit in the x-y plane has lnode 0, a circular one argp 0; angles in
    [0, 2 pi), m0 of an ellipse too. ValueError for a state on a line
    through the center, a non-finite value or gm not positive."""
    import numpy as np

    s = np.asarray(state, dtype=np.float64)
    if s.ndim == 0 or s.shape[-1] != 6:
        raise ValueError(f"state must have shape (6,) or (..., 6), not {s.shape}")
    t, mu = np.asarray(et, dtype=np.float64), np.asarray(gm, dtype=np.float64)
    shape = np.broadcast_shapes(s.shape[:-1], t.shape, mu.shape)
    rows = np.ascontiguousarray(np.broadcast_to(s, shape + (6,)).reshape(-1, 6))
    ets = np.ascontiguousarray(np.broadcast_to(t, shape).reshape(-1))
    mus = np.ascontiguousarray(np.broadcast_to(mu, shape).reshape(-1))
    out = np.empty((ets.size, 8))
    _ext.oscelt(rows, ets, mus, out)
    return out.reshape(shape + (8,))
