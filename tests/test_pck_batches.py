"""NaifPck batches, which evaluate four epochs side by side (records of
different segments and reference frames in one group) and keep the last
segment stretches found, against single calls: the same bits, or the first
failing epoch's error."""

import numpy as np
import pytest

from kernwerk import NaifPck
from test_pck import PAIRS, apply_in_order, build_pck, pck_segment, type2


def series(start, end, records, ref, seed, nc=4, radius_zero_at=None):
    """A Type 2 segment of `records` equal records over [start, end] with
    angles that vary within each record."""
    rng = np.random.default_rng(seed)
    step = (end - start) / records
    recs = []
    for k in range(records):
        mid = start + (k + 0.5) * step
        radius = 0.0 if k == radius_zero_at else step / 2
        coef = rng.normal(size=3 * nc) * np.tile([10.0 ** -i for i in range(nc)], 3)
        recs.append([mid, radius, *coef])
    return pck_segment(3000, ref, 2, start, end, type2(start, step, recs))


def one_coefficient(start, end, ref):
    return pck_segment(3000, ref, 2, start, end, type2(start, end - start, [[0.5 * (start + end), 0.5 * (end - start),
                                                                           0.3, -0.2, 1.1]]))


LAYOUTS = {
    # Adjacent segments in both reference frames, random epochs over them.
    "adjacent": [series(0, 100, 5, 1, 1), series(100, 200, 7, 17, 2), series(200, 300, 3, 1, 3)],
    # A later segment over the middle of an earlier one, a gap, a touching end.
    "overlap-gap": [series(0, 300, 9, 17, 4), series(120, 140, 2, 17, 5), series(350, 400, 4, 17, 6)],
    # One coefficient per angle (its rates go through 1/RADIUS) in the middle.
    "one-coefficient": [series(0, 100, 4, 1, 7), one_coefficient(100, 150, 1), series(150, 300, 4, 1, 8)],
    # A record with RADIUS 0.
    "radius-zero": [series(0, 100, 4, 1, 9), series(100, 300, 6, 17, 10, radius_zero_at=3)],
    # Later segments over parts of an earlier one: more stretches (47) than a
    # batch keeps, so that sorted epochs refill them.
    "many": [series(0, 300, 10, 17, 20)] + [series(12 * i + 2, 12 * i + 8, 1, 17, 21 + i) for i in range(23)],
    # Another type of segment over part of the body's coverage.
    "unsupported": [series(0, 300, 6, 17, 11), pck_segment(3000, 17, 3, 210, 220, [1.0, 2.0])],
}

EPOCHS = {
    "random": np.random.default_rng(3).uniform(-10, 410, 203),
    "sorted": np.sort(np.random.default_rng(4).uniform(0, 300, 101)),
    "edges": np.array([0, 100, 120, 140, 150, 200, 300, 350, 400, 99.99, 100.01, 139.5, 0.5, 200.0, 250.0, 260.0,
                       130.0, 60.0]),
    "nan": np.array([10.0, 20.0, 30.0, 40.0, np.nan, 50.0, 60.0, 70.0, 80.0]),
}


def single_or_error(fn, *args):
    try:
        return fn(*args), None
    except (RuntimeError, ValueError) as exc:
        return None, (type(exc), str(exc))


@pytest.mark.parametrize("epochs", EPOCHS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_batches_equal_single_calls(write_kernel, layout, epochs):
    pck = NaifPck(write_kernel(build_pck(LAYOUTS[layout])))
    ets = EPOCHS[epochs]
    states = np.random.default_rng(5).normal(size=(len(ets), 6)) * [7e3, 7e3, 7e3, 7.5, 7.5, 7.5]
    # Non-finite and signed-zero velocities, whose terms no sum may skip.
    states[1::7, 3] = np.inf
    states[2::7, 4] = -np.inf
    states[3::7, 5] = np.nan
    states[4::7, 3:] = -0.0
    states[5::7, :] = -0.0
    for frm, to in PAIRS:
        singles = [single_or_error(pck.sxform, frm, to, et) for et in ets]
        first_error = next((err for _, err in singles if err is not None), None)
        batches = {
            "sxform_batch": (lambda: pck.sxform_batch(frm, to, ets), lambda x: x),
            "pxform_batch": (lambda: pck.pxform_batch(frm, to, ets), lambda x: x[:3, :3]),
            "rotate_state_batch": (lambda: pck.rotate_state_batch(frm, to, ets, states), None),
        }
        for name, (call, part) in batches.items():
            got, err = single_or_error(call)
            assert err == first_error, (name, frm, to)
            if err is not None:
                continue
            for k, (x, _) in enumerate(singles):
                want = np.asarray(apply_in_order(x, states[k]) if part is None else part(x), dtype=float)
                # Python's arithmetic does not set a NaN's sign as the
                # compiled sums do: NaNs compare by place.
                nan = np.isnan(want)
                assert np.array_equal(np.isnan(got[k]), nan), (name, frm, to, k)
                assert got[k][~nan].tobytes() == want[~nan].tobytes(), (name, frm, to, k)
            if name == "pxform_batch":
                assert all(got[k].tobytes() == pck.pxform(frm, to, et).tobytes() for k, et in enumerate(ets))
