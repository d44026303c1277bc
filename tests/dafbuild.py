"""Builds small DAF/SPK images byte by byte for the tests.

Records are 1024 bytes numbered from 1; addresses are 8-byte words numbered
from 1 and inclusive at both ends.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field


class DafImage:
    # The transfer-protocol check bytes of the file record (offset 699): a
    # reader that checks them knows the file was not mangled by a text-mode
    # transfer.
    FTP = b"FTPSTR:\r:\n:\r\n:\r\x00:\x81:\x10\xce:ENDFTP"

    def __init__(self, nd=2, ni=6, fward=0, bward=0, nrecords=1,
                 idword=b"DAF/SPK ", fmt=b"LTL-IEEE", ftp=False):
        self.buf = bytearray(1024 * nrecords)
        self.buf[0:8] = idword                      # LOCIDW
        struct.pack_into("<I", self.buf, 8, nd)     # ND
        struct.pack_into("<I", self.buf, 12, ni)    # NI
        self.buf[16:76] = b" " * 60                 # LOCIFN
        struct.pack_into("<I", self.buf, 76, fward)  # FWARD
        struct.pack_into("<I", self.buf, 80, bward)  # BWARD
        struct.pack_into("<I", self.buf, 84, 0)     # FREE
        self.buf[88:96] = fmt                       # LOCFMT
        if ftp:
            self.buf[699:699 + len(self.FTP)] = self.FTP  # FTPSTR

    def ensure(self, size):
        if len(self.buf) < size:
            self.buf.extend(b"\0" * (-(-size // 1024) * 1024 - len(self.buf)))

    def put(self, offset, fmt, *values):
        self.ensure(offset + struct.calcsize(fmt))
        struct.pack_into(fmt, self.buf, offset, *values)

    def put_bytes(self, offset, data):
        self.ensure(offset + len(data))
        self.buf[offset:offset + len(data)] = data

    def put_words(self, addr, values):
        """Doubles from word address `addr` (from 1) onward."""
        for k, v in enumerate(values):
            self.put((addr - 1 + k) * 8, "<d", v)

    @staticmethod
    def record_offset(rec):
        return (rec - 1) * 1024

    def bytes(self):
        return bytes(self.buf)


@dataclass
class Segment:
    doubles: list            # ND values (start ET, end ET for SPK)
    ints: list               # NI values; begin/end (the last two) filled in when 0
    data: list = field(default_factory=list)
    name: bytes = b"SEG"


def spk_segment(target, center, data_type, start, end, data, name=b"SEG", frame=1):
    return Segment([start, end], [target, center, frame, data_type, 0, 0], list(data), name)


def build_daf(segments, nd=2, ni=6, idword=b"DAF/SPK ", ftp=False):
    """One summary record (2), its name record (3), data from address 385;
    `ftp` writes the transfer-protocol check bytes."""
    im = DafImage(nd, ni, 2, 2, 3, idword, ftp=ftp)
    sb = 8 * (nd + (ni + 1) // 2)
    rec2 = DafImage.record_offset(2)
    im.put(rec2, "<ddd", 0.0, 0.0, float(len(segments)))  # NEXT, PREV, NSUM
    addr = 385
    for i, s in enumerate(segments):
        ints = list(s.ints) + [0] * (ni - len(s.ints))
        if ni >= 2 and ints[-2] == 0 and ints[-1] == 0 and s.data:
            ints[-2], ints[-1] = addr, addr + len(s.data) - 1
        off = rec2 + 24 + i * sb
        for k in range(nd):
            im.put(off + 8 * k, "<d", s.doubles[k] if k < len(s.doubles) else 0.0)
        for k in range(ni):
            im.put(off + 8 * nd + 4 * k, "<i", ints[k])
        im.put_bytes(DafImage.record_offset(3) + i * sb, s.name.ljust(sb, b" ")[:sb])
        im.put_words(addr, s.data)
        addr += len(s.data)
    return im.bytes()


def build_spk(segments, ftp=False):
    return build_daf(segments, 2, 6, ftp=ftp)


def cheb_type2(init, intlen, records):
    """Type 2 data: records of [MID, RADIUS, X..., Y..., Z...] and the trailer."""
    rsize = len(records[0])
    out = [v for rec in records for v in rec]
    return out + [init, intlen, float(rsize), float(len(records))]


# ---------------------------------------------------------------------------
# Segment data of the SPK types the toolkit's Python wrapper cannot write.

def difference_line(tl, g, refpos, refvel, dt, kqmax1, kq):
    """One Type 1/21 record: TL, G[MAXDIM], X VX Y VY Z VZ, DT[MAXDIM][3]
    (one column of MAXDIM per axis), KQMAX1, KQ[3]; MAXDIM = len(g)."""
    ref = [v for i in range(3) for v in (refpos[i], refvel[i])]
    cols = [v for i in range(3) for v in dt[i]]
    return [tl] + list(g) + ref + cols + [float(kqmax1)] + [float(k) for k in kq]


def mda_data(records, epochs, maxdim=None, ndir=None):
    """Type 1 (maxdim None) or Type 21 data: records, final epochs, a
    directory of every 100th epoch, [MAXDIM,] N."""
    n = len(records)
    out = [v for r in records for v in r] + list(epochs)
    out += [epochs[100 * i - 1] for i in range(1, (n // 100 if ndir is None else ndir) + 1)]
    return out + ([] if maxdim is None else [float(maxdim)]) + [float(n)]


def packet_block(subtype, window, packets, epochs):
    """A Type 18 segment or Type 19 mini-segment: packets, epochs, directory
    ((N-1)/100), subtype, window size, N."""
    n = len(epochs)
    out = [v for p in packets for v in p] + list(epochs)
    out += [epochs[100 * i - 1] for i in range(1, (n - 1) // 100 + 1)]
    return out + [float(subtype), float(window), float(n)]


def type19_data(blocks, boundaries, select_last):
    """Type 19 data: mini-segments, N + 1 boundaries, directory, N + 1
    pointers (from 1), boundary flag, N."""
    n = len(blocks)
    assert len(boundaries) == n + 1
    out, pointers = [], []
    for b in blocks:
        pointers.append(float(len(out) + 1))
        out += list(b)
    pointers.append(float(len(out) + 1))
    out += list(boundaries) + [boundaries[100 * i - 1] for i in range(1, n // 100 + 1)]
    return out + pointers + [1.0 if select_last else 0.0, float(n)]


def to_big_endian(data):
    """The BIG-IEEE twin of a little-endian DAF: the file record's integers,
    each summary record's control words, doubles and integers, and every
    word of the arrays swapped; comments and names kept."""
    out = bytearray(data)
    nd, ni = struct.unpack_from("<ii", data, 8)
    fward, bward, free = struct.unpack_from("<iii", data, 76)
    struct.pack_into(">ii", out, 8, nd, ni)
    struct.pack_into(">iii", out, 76, fward, bward, free)
    out[88:96] = b"BIG-IEEE"
    summary_records = set()
    rec = fward
    ss = nd + (ni + 1) // 2
    while rec:
        summary_records.add(rec)
        base = (rec - 1) * 1024
        nxt, prv, nsum = struct.unpack_from("<3d", data, base)
        struct.pack_into(">3d", out, base, nxt, prv, nsum)
        for i in range(int(nsum)):
            at = base + 24 + 8 * ss * i
            struct.pack_into(f">{nd}d", out, at, *struct.unpack_from(f"<{nd}d", data, at))
            struct.pack_into(f">{ni}i", out, at + 8 * nd, *struct.unpack_from(f"<{ni}i", data, at + 8 * nd))
        rec = int(nxt)
    for rec in range(fward, len(data) // 1024 + 1):
        if rec in summary_records or rec - 1 in summary_records:
            continue
        base = (rec - 1) * 1024
        words = struct.unpack_from("<128d", data, base)
        struct.pack_into(">128d", out, base, *words)
    return bytes(out)


def to_old_word(data):
    """The file as written before the format word: "NAIF/DAF", blank LOCFMT."""
    out = bytearray(data)
    out[0:8] = b"NAIF/DAF"
    out[88:96] = b" " * 8
    return bytes(out)


def ck4_data(packets, refs=None, reference=3, fixed=False):
    """CK Type 4 data: a generic segment of (MID, RAD, seven coefficient
    lists) packets, each MID, RAD, the counts packed in base 128 (q0's the
    lowest digit), the series in turn; the references (each packet's start
    by default) and their directory of every 100th; with `fixed` packets of
    one size (PDRTYP 0), else the packet directory (addresses from 1 past
    PKTBAS, one past the last packet); the 17 metadata words."""
    words, addr, sizes = [], [1.0], []
    for mid, rad, series in packets:
        counts = sum(len(c) * 128 ** k for k, c in enumerate(series))
        packet = [mid, rad, float(counts)] + [float(x) for c in series for x in c]
        words += packet
        sizes.append(len(packet))
        addr.append(len(words) + 1.0)
    if fixed:
        assert len(set(sizes)) == 1
    n = len(packets)
    refs = [mid - rad for mid, rad, _ in packets] if refs is None else list(refs)
    refbas = len(words)
    words += refs
    rdrbas = len(words)
    words += [refs[100 * i - 1] for i in range(1, (n - 1) // 100 + 1)]
    pdrbas = len(words)
    if not fixed:
        words += addr
    meta = [0, 0, rdrbas, (n - 1) // 100, reference, refbas, n, pdrbas, 0 if fixed else n + 1, 0 if fixed else 1,
            0, n, len(words), 0, sizes[0] if fixed else 0, 0, 17]
    return words + [float(m) for m in meta]
