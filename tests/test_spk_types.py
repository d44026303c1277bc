"""Every SPK type in kernel sets against the toolkit: Types 1, 5, 8, 12, 14,
15, 17, 18, 19, 20 and 21, and Types 9 and 13 with odd and even windows.

Files of the types the toolkit's Python wrapper writes are written with it;
Types 1, 19 and 21 are built word by word (dafbuild) from an integrated or
conic orbit, and the toolkit must read them and agree with us, so neither
reader is trusted alone. Epochs: random ones, every record or interval
boundary (and for Types 9 and 13 every midpoint between states, where an odd
window moves on), and the coverage ends. Each file alone, then all of them
over DE421 in one set, in two load orders: the toolkit's choice of segment,
chains through the planets, frames.
"""

import numpy as np
import pytest

sp = pytest.importorskip("spiceypy")

from kernwerk import Kernels, NaifSpk
from kernwerk.errors import FileFormatError
from dafbuild import build_spk, difference_line, mda_data, packet_block, spk_segment, type19_data
from spk_type_files import AU, CASES, DAY, GM_EARTH, RNG_SEED, discrete_file, equal_step_file


def relative_errors(ours, theirs):
    dp = np.linalg.norm(ours[:, :3] - theirs[:, :3], axis=1) / np.linalg.norm(theirs[:, :3], axis=1)
    dv = np.linalg.norm(ours[:, 3:] - theirs[:, 3:], axis=1) / np.linalg.norm(theirs[:, 3:], axis=1)
    return dp, dv


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    d = tmp_path_factory.mktemp("types")
    return {name: make(d) for name, make in CASES.items()}


def toolkit_states(target, center, ets, frame="J2000"):
    return np.array([sp.spkgeo(target, float(et), frame, center)[0] for et in ets])


def assert_close(ours, theirs, ets, what):
    dp, dv = relative_errors(ours, theirs)
    assert dp.max() <= 1e-9 and dv.max() <= 1e-9, (what, dp.max(), dv.max(), ets[np.argmax(np.maximum(dp, dv))])


@pytest.mark.parametrize("case", sorted(CASES))
def test_states_agree_with_the_toolkit(case, built):
    path, target, center, ets = built[case]
    k = Kernels(path)
    sp.furnsh(path)
    try:
        theirs = toolkit_states(target, center, ets)
        cover = sp.spkcov(path, target)
        window = [list(sp.wnfetd(cover, i)) for i in range(sp.wncard(cover))]
    finally:
        sp.unload(path)
    ours = k.state(target, center, ets)
    assert_close(ours, theirs, ets, case)
    assert k.coverage(target).tolist() == window
    # Batches split over threads and single epochs give the same bits.
    many = np.random.default_rng(RNG_SEED).uniform(ets[0], ets[-1], 20_000)
    assert np.array_equal(k.state(target, center, many, threads=1), k.state(target, center, many, threads=2))
    assert np.array_equal(k.state(target, center, float(ets[1])), ours[1])


# The interpolating types from a window of one state to the largest the
# toolkit's writers take (Types 8 and 12 by degree, 9 and 13 by window size),
# and Types 18 and 19: the same bits as the toolkit, positions and
# velocities, at random epochs, on every state and on both sides of every
# midpoint. The order of arithmetic of the interpolation shows at high
# degree, where another order of the same polynomial drifts by up to 1e-8
# relative, and the window chosen on a state's epoch in the last bits.
INTERPOLATION = [(8, 1), (8, 15), (12, 1), (12, 7), (12, 15), (9, 2), (9, 16), (9, 28),
                 (13, 1), (13, 2), (13, 9), (13, 14), "type18_hermite", "type18_lagrange", "type19_first"]


@pytest.mark.parametrize("case", INTERPOLATION, ids=str)
def test_interpolation_bit_for_bit(case, tmp_path):
    if isinstance(case, str):
        path, target, center, ets = CASES[case](tmp_path)
    else:
        kind, size = case
        make = equal_step_file if kind in (8, 12) else discrete_file
        path, target, center, ets = make(tmp_path, kind, size)
    sp.furnsh(path)
    try:
        theirs = toolkit_states(target, center, ets)
    finally:
        sp.unload(path)
    ours = Kernels(path).state(target, center, ets)
    differing = np.flatnonzero(np.any(ours != theirs, axis=1))
    assert differing.size == 0, (np.abs(ours - theirs).max(), ets[differing[:5]])
    if case == (13, 1):  # NaifSpk's documented rule refuses a window of one state
        with pytest.raises(RuntimeError, match="window size < 2"):
            NaifSpk(path)


@pytest.mark.parametrize("order", ["forward", "reversed"])
def test_every_type_in_one_set(order, built, de421_path):
    """DE421 and every file above in one set: bodies sharing a code shadow
    each other by load order, Types 14 and 20 shadow DE421's Mars, and each
    target is asked relative to the Moon in ECLIPJ2000, through the planets'
    segments."""
    cases = sorted(CASES) if order == "forward" else sorted(CASES, reverse=True)
    paths = [de421_path] + [built[c][0] for c in cases]
    k = Kernels(*paths)
    for p in paths:
        sp.furnsh(p)
    try:
        file_of = {sp.kinfo(p)[2]: p for p in paths}
        for case in cases:
            _, target, _, ets = built[case]
            for et in ets[::7]:  # the segment the toolkit picks
                handle, _, ident = sp.spksfs(target, float(et), 41)
                link = k.segments_for(target, 301, et)[0]
                assert (link[4], link[5]) == (ident, file_of[handle]), (case, et)
            theirs = toolkit_states(target, 301, ets, "ECLIPJ2000")
            assert_close(k.state(target, "MOON", ets, "ECLIPJ2000"), theirs, ets, case)
    finally:
        for p in paths:
            sp.unload(p)


CUT_CHILD = """
import os, sys
import numpy as np
from kernwerk import Kernels
from kernwerk.errors import KernelChangedError
for path, target, center, lo, hi in eval(sys.argv[1]):
    k = Kernels(path)
    ets = np.linspace(lo, hi, 500)
    k.state(target, center, ets)
    os.truncate(path, 0)  # every page of the mapping now reads as zeros
    try:
        k.state(target, center, ets)
        print("answered", path)
    except KernelChangedError:
        print("changed")
"""


def test_files_cut_under_open_sets(built, tmp_path):
    """Every file truncated while a set holds it: the next query reports the
    change. The readers re-read structure (orders, trailers) from the map at
    evaluation only within bounds, so zeros there cannot send a read outside
    the segment or past a stack array (which ends the process)."""
    import shutil
    import subprocess
    import sys
    jobs = []
    for case in sorted(CASES):
        path, target, center, ets = built[case]
        copy = str(tmp_path / f"{case}.bsp")
        shutil.copyfile(path, copy)
        jobs.append((copy, target, center, float(ets[0]), float(ets[-1])))
    proc = subprocess.run([sys.executable, "-c", CUT_CHILD, repr(jobs)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["changed"] * len(jobs)


# ---------------------------------------------------------------------------
# Malformed segments: a small valid segment of each type, one word changed.

def _t1():
    rec = difference_line(0.0, [1.0] * 15, [1.0, 2.0, 3.0], [0.1, 0.2, 0.3], [[0.0] * 15] * 3, 2, (1, 1, 1))
    return mda_data([rec, rec], [10.0, 20.0])


def _t14():
    meta = [0, 1, 12, 0, 3, 11, 1, 0, 0, 0, 1, 1, 0, 0, 8, 1, 17]
    return [1.0, 0.0, 5.0, 5.0] + [1.0] * 6 + [0.0] + [0.0] + [float(m) for m in meta]


_STATE = [7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]
VALID = {
    1: _t1(),
    5: [v for _ in range(2) for v in _STATE] + [0.0, 10.0, GM_EARTH, 2.0],
    8: _STATE * 3 + [0.0, 10.0, 1.0, 3.0],
    12: _STATE * 3 + [0.0, 10.0, 1.0, 3.0],
    14: _t14(),
    15: [0.0, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 7000.0, 0.1, 0.0, 0.0, 0.0, 1.0, GM_EARTH, 1e-3, 6378.0],
    17: [0.0, 7000.0, 0.1, 0.1, 0.0, 0.0, 0.0, 0.0, 1e-3, 0.0, 0.0, 1.5],
    18: packet_block(1, 2, [_STATE, _STATE], [0.0, 10.0]),
    19: type19_data([packet_block(1, 2, [_STATE, _STATE], [0.0, 10.0])], [0.0, 10.0], False),
    20: [1.0, 7000.0, 1.0, 0.0, 1.0, 0.0, AU, DAY, 2451545.0, 0.0, 1.0, 6.0, 1.0],
    21: mda_data([difference_line(0.0, [1.0] * 3, [1.0, 2.0, 3.0], [0.1, 0.2, 0.3], [[0.0] * 3] * 3, 2, (1, 1, 1))],
                 [10.0], 3),
}

# (type, word index (negative from the end), new value or None to drop the
# word, the reason in the error message)
MALFORMED = [
    (1, -1, 1e9, "N outside 1..segment length"),
    (1, -1, 1.0, "segment length does not match N difference lines"),
    (1, -2, 5.0, "epochs not in increasing order"),
    (1, 67, 40.0, "KQMAX1 outside 2..MAXDIM+1"),
    (1, 68, -1.0, "KQ outside 0..KQMAX1-1"),
    (21, -2, 0.0, "MAXDIM outside 1..25"),
    (21, -2, 26.0, "MAXDIM outside 1..25"),
    (5, -1, 0.0, "N outside 1..segment length"),
    (5, -2, -1.0, "GM not positive"),
    (5, -3, 0.0, "epochs not strictly increasing"),
    (5, 0, None, "segment length does not match N states"),
    (8, -2, 0.0, "window size outside 2..32"),
    (8, -3, 0.0, "STEP not positive"),
    (12, -2, -1.0, "window size outside 1..32"),
    (12, -1, float("nan"), "N outside 1..segment length"),
    (14, -1, 3.0, "NMETA outside 17..segment length"),
    (14, -3, 9.0, "packet size not 2 + 6 coefficient counts"),
    (14, 3, 0.0, "RADIUS not positive"),
    (14, -14, 5.0, "packets or references past the segment"),
    (14, -13, 1.0, "reference type not 2, 3 or 4"),
    (15, 0, None, "segment length is not 16"),
    (15, 13, 0.0, "GM not positive"),
    (17, 2, 1.0, "eccentricity not below 1"),
    (18, -3, 2.0, "subtype not 0 or 1"),
    (18, -2, 3.0, "window size not even in 2..32"),
    (18, -5, 10.0, "epochs not strictly increasing"),
    (19, -2, 2.0, "boundary flag not 0 or 1"),
    (19, -4, 2.0, "mini-segment pointers not increasing from 1"),
    (19, -5, 0.0, "interval boundaries not strictly increasing"),
    (19, 15, 3.0, "window size not even in 2..32"),
    (20, -2, 7.0, "RSIZE not 3 (NC + 1) with NC >= 1"),
    (20, -3, 0.0, "INTLEN not positive"),
    (20, -1, 2.0, "segment length does not match N records"),
]


# Degenerate elements and states of finite words, which would give NaN
# states: refused at load. (type, {word index: new value}, reason)
DEGENERATE = [
    (5, {0: 0.0}, "state 0 has a zero or non-finite position"),
    (5, {6: 0.0, 7: 0.0}, "state 1 has a zero or non-finite position"),
    (5, {1: 1e200}, "state 0 is too large to propagate"),
    (5, {10: 1e160}, "state 1 is too large to propagate"),
    (15, {4: 0.0, 6: 1.0}, "trajectory pole parallel to the periapsis vector"),
    (15, {4: 0.0, 6: -3.0}, "trajectory pole parallel to the periapsis vector"),
    (15, {14: 1e308, 15: 6000.0}, "J2 precession rates overflow (J2 1" + "0" * 308 + ", radius 6000)"),
]


@pytest.mark.parametrize("data_type, edits, reason", DEGENERATE)
def test_degenerate_elements_are_refused(data_type, edits, reason, write_kernel):
    data = list(VALID[data_type])
    for index, value in edits.items():
        data[index] = value
    path = write_kernel(build_spk([spk_segment(-5, 399, data_type, 0.0, 10.0, data)]))
    with pytest.raises(FileFormatError) as info:
        Kernels(path)
    assert str(info.value) == f"kernel {path}: malformed Type {data_type} segment: {reason}"


def test_type15_far_body_radius_gives_finite_states(write_kernel):
    """A radius of 1e200 puts the periapsis inside the body: no precession,
    so the squared ratio that would overflow is never formed."""
    data = list(VALID[15])
    data[15] = 1e200
    path = write_kernel(build_spk([spk_segment(-5, 399, 15, 0.0, 10.0, data)]))
    data[9] = 3.0  # the same orbit without J2
    plain = write_kernel(build_spk([spk_segment(-5, 399, 15, 0.0, 10.0, data)]))
    ets = [0.0, 5.0, 10.0]
    assert np.array_equal(Kernels(path).state(-5, 399, ets), Kernels(plain).state(-5, 399, ets))


@pytest.mark.parametrize("data_type, index, value, reason", MALFORMED)
def test_malformed_segments_are_refused(data_type, index, value, reason, write_kernel):
    data = list(VALID[data_type])
    if value is None:
        del data[index]
    else:
        data[index] = value
    path = write_kernel(build_spk([spk_segment(-5, 399, data_type, 0.0, 10.0, data)]))
    with pytest.raises(FileFormatError) as info:
        Kernels(path)
    assert str(info.value) == f"kernel {path}: malformed Type {data_type} segment: {reason}"
    # NaifSpk reads Types 2, 3, 9 and 13 only: it opens the file as it always
    # did and names the type when a query needs the segment.
    spk = NaifSpk(path)
    assert [s[3] for s in spk.segments()] == [data_type]
    with pytest.raises(RuntimeError, match=f"^unsupported SPK data type {data_type}$"):
        spk.state(-5, 399, 5.0)


@pytest.mark.parametrize("data_type", sorted(VALID))
def test_valid_small_segments_evaluate(data_type, write_kernel):
    """The base of the table above is itself accepted (so each row tests its one word)."""
    path = write_kernel(build_spk([spk_segment(-5, 399, data_type, 0.0, 10.0, VALID[data_type])]))
    assert np.isfinite(Kernels(path).state(-5, 399, [0.0, 5.0, 10.0])).all()


@pytest.mark.parametrize("data_type", sorted(VALID))
def test_any_single_word_change_is_refused_or_evaluated(data_type, tmp_path):
    """Every word of the small segments set to NaN, -1, 0 and 1e300 in turn,
    the coverage stretched far past the data: a FileFormatError at load or
    states, never a crash or a hang."""
    for index in range(len(VALID[data_type])):
        for j, value in enumerate((float("nan"), -1.0, 0.0, 1e300)):
            data = list(VALID[data_type])
            data[index] = value
            path = tmp_path / f"k{index}_{j}.bsp"  # a new file each: open files are shared by identity
            path.write_bytes(build_spk([spk_segment(-5, 399, data_type, -1e9, 1e9, data)]))
            try:
                k = Kernels(path)
            except FileFormatError as e:
                assert str(e).startswith(f"kernel {path}: malformed Type {data_type} segment: ")
                continue
            k.state(-5, 399, [-1e9, 0.0, 5.0, 10.0, 1e9])
