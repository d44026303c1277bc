"""Opening SPK files: container and catalogue errors, segment listing."""

import math
import os
import struct

import pytest

from kernwerk import NaifSpk
from dafbuild import DafImage, Segment, build_daf, build_spk, cheb_type2, spk_segment


def open_error(path):
    with pytest.raises(RuntimeError) as info:
        NaifSpk(path)
    return str(info.value)


def one_record(nsum, nd=2, ni=6, nrecords=3):
    im = DafImage(nd, ni, 2, 2, nrecords)
    im.put(DafImage.record_offset(2) + 16, "<d", nsum)
    return im


def looping_chain():
    im = DafImage(2, 6, 2, 4, 5)
    im.put(DafImage.record_offset(2), "<d", 4.0)
    im.put(DafImage.record_offset(4), "<d", 2.0)
    return im.bytes()


CONTAINER_ERRORS = [
    ("empty", b"", "file too small (0 bytes) to contain a DAF header"),
    ("1023 bytes", b"\0" * 1023, "file too small (1023 bytes) to contain a DAF header"),
    ("NAIF/DAF", DafImage(idword=b"NAIF/DAF").bytes(),
     "unrecognized DAF identifier: [78, 65, 73, 70, 47, 68, 65, 70]"),
    ("big-endian", DafImage(fmt=b"BIG-IEEE").bytes(),
     "unsupported binary format: [66, 73, 71, 45, 73, 69, 69, 69] (only LTL-IEEE is supported)"),
    ("FWARD past end", DafImage(fward=7).bytes(),
     "malformed summary at record 7: record extends past end of file"),
    ("name record missing", one_record(1.0, nrecords=2).bytes(),
     "malformed summary at record 3: record extends past end of file"),
    ("26 summaries", one_record(26.0).bytes(), "malformed summary at record 2: summary past end of record"),
    ("looping chain", looping_chain(), "malformed summary at record 2: summary chain revisits this record"),
    ("zero summary size", one_record(5.0, nd=0, ni=0).bytes(),
     "malformed summary at record 2: summary size is zero (ND = NI = 0)"),
]


@pytest.mark.parametrize("what, data, message", CONTAINER_ERRORS, ids=[c[0] for c in CONTAINER_ERRORS])
def test_container_errors(write_kernel, what, data, message):
    assert open_error(write_kernel(data)) == message


def test_system_errors(tmp_path):
    assert open_error(str(tmp_path / "missing.bsp")) == "I/O error: No such file or directory (os error 2)"
    assert open_error(str(tmp_path)) == "I/O error: Is a directory (os error 21)"
    assert open_error("bad\0name.bsp") == "I/O error: file name contained an unexpected NUL byte"


def discrete(n, size_value, n_in_trailer=None):
    data = [0.0] * (6 * n) + [float(j) for j in range(n)]
    data += [100.0 * (k + 1) for k in range((n - 1) // 100)]
    return data + [float(size_value), float(n if n_in_trailer is None else n_in_trailer)]


CATALOGUE_ERRORS = [
    (2, [0.0, 10.0, 2.0, 1.0], "malformed Type 2 segment: degree < 0"),
    (2, [0.0, 10.0, 4.0, 1.0], "malformed Type 2 segment: RSIZE not 2 + 3N"),
    (2, [0.0, 0.0, 5.0, 1.0], "malformed Type 2 segment: INTLEN <= 0"),
    (2, [0.0, 10.0, 5.0, 0.0], "malformed Type 2 segment: N = 0 (segment has no records)"),
    (2, [0.0, 10.0, 2.0 + 3 * 2.0**32, 1.0], "malformed Type 2 segment: records do not fit 32-bit addresses"),
    (3, [0.0, 10.0, 2.0, 1.0], "malformed Type 2 segment: degree<0 or INTLEN<=0"),
    (3, [0.0, 10.0, 9.0, 1.0], "malformed Type 2 segment: RSIZE not 2 + 6N"),
    (9, [0.0, 0.0, 3.0, 0.0], "malformed Type 2 segment: empty discrete-state segment"),
    (9, discrete(3, 2, n_in_trailer=4), "malformed Type 2 segment: segment size does not match trailer"),
    (13, discrete(3, 0), "malformed Type 2 segment: Type 13 window size < 2"),
]


@pytest.mark.parametrize("data_type, data, message", CATALOGUE_ERRORS)
def test_catalogue_errors(write_kernel, data_type, data, message):
    path = write_kernel(build_spk([spk_segment(301, 399, data_type, 0.0, 10.0, data)]))
    assert open_error(path) == message


def test_trailer_beyond_file(write_kernel):
    seg = spk_segment(301, 399, 2, 0.0, 10.0, [])
    seg.ints[4:6] = [385, 5000]
    assert open_error(write_kernel(build_spk([seg]))) == \
        "address range [4997,5000] out of file (file has 384 doubles; the file looks truncated)"


def test_segments_listing(write_kernel):
    segs = [
        spk_segment(3, 0, 2, -100.0, 100.0, cheb_type2(-100.0, 200.0, [[0.0, 100.0, 1, 2, 3]]), b"EMB  "),
        spk_segment(301, 3, 5, -1.5, 2.5, [1.0], b"MOON  ".ljust(40, b"\0"), frame=17),
        spk_segment(-77, 399, 13, 0.0, 10.0, discrete(4, 3), b"\xffBAD"),
        spk_segment(399, 3, 9, 0.0, 1e-7, discrete(2, 1), "ERDE \u00df".encode() + b"  \0"),
    ]
    spk = NaifSpk(write_kernel(build_spk(segs)))
    expected = [
        (3, 0, 1, 2, -100.0, 100.0, "EMB"),
        (301, 3, 17, 5, -1.5, 2.5, "MOON"),
        (-77, 399, 1, 13, 0.0, 10.0, ""),
        (399, 3, 1, 9, 0.0, 1e-7, "ERDE \u00df  \0"),
    ]
    assert spk.segments() == expected
    first, second = spk.segments(), spk.segments()
    assert first == second and first[0] is not second[0]


def test_empty_and_short_summary_files(write_kernel):
    assert NaifSpk(write_kernel(DafImage().bytes())).segments() == []
    pck_like = build_daf([Segment([0.0, 1.0], [3000, 1, 2, 0, 0], [1.0])], nd=2, ni=5, idword=b"DAF/PCK ")
    assert NaifSpk(write_kernel(pck_like)).segments() == []


def _open_fds():
    return len(os.listdir("/proc/self/fd"))


def _maps_of(path):
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if line.rstrip().endswith(path))


def test_no_descriptor_or_mapping_leaks(write_kernel, tmp_path):
    # A Type 2 payload keeps the mapping alive (an unsupported one would not).
    good = write_kernel(build_spk([spk_segment(3, 0, 2, 0.0, 1.0,
                                               cheb_type2(0.0, 1.0, [[0.5, 0.5, 1.0, 2.0, 3.0]]))]), "good.bsp")
    bad = write_kernel(build_spk([spk_segment(3, 0, 2, 0.0, 1.0, [0.0, 10.0, 4.0, 1.0])]), "bad.bsp")
    before = _open_fds()
    for _ in range(50):
        with pytest.raises(RuntimeError):
            NaifSpk(bad)
        with pytest.raises(RuntimeError):
            NaifSpk(str(tmp_path))
        with pytest.raises(RuntimeError):
            NaifSpk(str(tmp_path / "missing"))
    spk = NaifSpk(good)
    assert _open_fds() == before, "descriptors stay closed once a file is mapped"
    assert _maps_of(good) == 1 and _maps_of(bad) == 0
    del spk
    assert _maps_of(good) == 0


@pytest.mark.parametrize("kernel_fixture, count", [("de421_path", 15), ("de440_path", 14)])
def test_real_segment_listings_match_jplephem(request, kernel_fixture, count):
    jpl = pytest.importorskip("jplephem.spk")
    path = request.getfixturevalue(kernel_fixture)
    kernel = jpl.SPK.open(path)
    try:
        expected = [(s.target, s.center, s.frame, s.data_type, s.start_second, s.end_second,
                     s.source.decode("ascii")) for s in kernel.segments]
    finally:
        kernel.close()
    got = NaifSpk(path).segments()
    assert got == expected
    assert len(got) == count
