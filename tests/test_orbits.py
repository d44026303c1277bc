"""conics and oscelt over arrays against spiceypy's conics and oscelt."""

import numpy as np
import pytest

import kernwerk

spice = pytest.importorskip("spiceypy")

MU = 398600.4418
RNG = np.random.default_rng(11)


def _states(kind, n=40):
    r = RNG.uniform(6600.0, 42000.0, n)
    u = RNG.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1)[:, None]
    w = np.cross(u, RNG.normal(size=(n, 3)))
    w /= np.linalg.norm(w, axis=1)[:, None]
    vc = np.sqrt(MU / r)
    factor = {"ellipse": RNG.uniform(0.3, 1.35, n), "hyperbola": RNG.uniform(1.5, 3.0, n),
              "near parabola": np.full(n, np.sqrt(2.0) * (1 + 1e-9))}[kind]
    radial = RNG.uniform(-0.3, 0.3, n)[:, None]
    v = (w + radial * u) * (factor * vc)[:, None]
    return np.hstack([u * r[:, None], v])


# (kind of orbit, extra states): random orbits of each kind, and the
# degenerate ones the toolkit resolves by convention.
CASES = [
    ("ellipse", []),
    ("hyperbola", []),
    ("near parabola", []),
    ("ellipse", [[7000.0, 0, 0, 0, 7.5, 0], [-7000.0, 10, 0, 0.3, -9, 0], [7000.0, 0, 0, 0, -7.5, 0]]),  # equatorial
    ("ellipse", [[7000.0, 0, 0, 0, 0, 7.546], [0, 7000.0, 0, -5, 0, 5.8]]),  # polar, nearly circular
]


@pytest.mark.parametrize("kind, extra", CASES, ids=[f"{k}{' + fixed' if e else ''}" for k, e in CASES])
def test_against_the_toolkit(kind, extra):
    states = np.vstack([_states(kind)] + ([np.array(extra, dtype=float)] if extra else []))
    et0 = 1e8
    got = kernwerk.oscelt(states, et0, MU)
    want = np.array([spice.oscelt(s, et0, MU) for s in states])
    assert got.shape == (len(states), 8)
    np.testing.assert_allclose(got[:, :2], want[:, :2], rtol=1e-12, atol=1e-13)
    # Angles: the same to 1e-9 rad (m0 of nearly circular orbits is ill-conditioned in both).
    d = np.abs((got[:, 2:6] - want[:, 2:6] + np.pi) % (2 * np.pi) - np.pi)
    assert d.max() < 1e-9, d.max()
    # From the toolkit's elements, over many periods both ways.
    ets = et0 + RNG.uniform(-3e6, 3e6, len(states))
    ours = kernwerk.conics(want, ets)
    theirs = np.array([spice.conics(e, t) for e, t in zip(want, ets)])
    scale = np.linalg.norm(theirs[:, :3], axis=1).max()
    assert np.abs(ours[:, :3] - theirs[:, :3]).max() < 1e-9 * scale
    assert np.abs(ours[:, 3:] - theirs[:, 3:]).max() < 1e-9 * np.linalg.norm(theirs[:, 3:], axis=1).max()
    # And back: the state at t0 from our own elements.
    np.testing.assert_allclose(kernwerk.conics(got, et0), states, rtol=0, atol=1e-7 * scale)


def test_broadcasting_shapes():
    elts = spice.oscelt([7000.0, 0, 0, 0, 7.5, 1.0], 0.0, MU)
    assert kernwerk.conics(elts, 10.0).shape == (6,)
    assert kernwerk.conics(elts, np.zeros((3, 4))).shape == (3, 4, 6)
    assert kernwerk.conics([elts, elts], np.zeros((5, 2))).shape == (5, 2, 6)
    assert kernwerk.oscelt(np.zeros((2, 6)) + [7000.0, 0, 0, 0, 7.5, 1.0], 0.0, [MU, 2 * MU]).shape == (2, 8)


BAD = [
    (lambda: kernwerk.conics([7000.0, 0.1, 0, 0, 0, 0, 0, -1.0], 0.0), r"mu must be positive"),
    (lambda: kernwerk.conics([0.0, 0.1, 0, 0, 0, 0, 0, MU], 0.0), r"rp must be positive"),
    (lambda: kernwerk.conics([[7000.0, 0.1, 0, 0, 0, 0, 0, MU], [7000.0, -0.1, 0, 0, 0, 0, 0, MU]], 0.0),
     r"elements 1: the eccentricity ecc must not be negative"),
    (lambda: kernwerk.conics([7000.0, 0.1, np.nan, 0, 0, 0, 0, MU], 0.0), r"element inc is NaN"),
    (lambda: kernwerk.conics([7000.0, 0.1], 0.0), r"shape \(8,\)"),
    (lambda: kernwerk.oscelt([7000.0, 0, 0, 1.0, 0, 0], 0.0, MU), r"parallel to the position"),
    (lambda: kernwerk.oscelt([0.0, 0, 0, 1.0, 0, 0], 0.0, MU), r"position is zero"),
    (lambda: kernwerk.oscelt([7000.0, 0, 0, 0, 7.5, 0], 0.0, 0.0), r"mu must be positive"),
]


@pytest.mark.parametrize("call, pattern", BAD, ids=range(len(BAD)))
def test_invalid_input_is_named(call, pattern):
    with pytest.raises(ValueError, match=pattern):
        call()
