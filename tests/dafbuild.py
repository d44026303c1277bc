"""Builds small DAF/SPK images byte by byte for the tests.

Records are 1024 bytes numbered from 1; addresses are 8-byte words numbered
from 1 and inclusive at both ends.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field


class DafImage:
    def __init__(self, nd=2, ni=6, fward=0, bward=0, nrecords=1,
                 idword=b"DAF/SPK ", fmt=b"LTL-IEEE"):
        self.buf = bytearray(1024 * nrecords)
        self.buf[0:8] = idword                      # LOCIDW
        struct.pack_into("<I", self.buf, 8, nd)     # ND
        struct.pack_into("<I", self.buf, 12, ni)    # NI
        self.buf[16:76] = b" " * 60                 # LOCIFN
        struct.pack_into("<I", self.buf, 76, fward)  # FWARD
        struct.pack_into("<I", self.buf, 80, bward)  # BWARD
        struct.pack_into("<I", self.buf, 84, 0)     # FREE
        self.buf[88:96] = fmt                       # LOCFMT

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


def build_daf(segments, nd=2, ni=6, idword=b"DAF/SPK "):
    """One summary record (2), its name record (3), data from address 385."""
    im = DafImage(nd, ni, 2, 2, 3, idword)
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


def build_spk(segments):
    return build_daf(segments, 2, 6)


def cheb_type2(init, intlen, records):
    """Type 2 data: records of [MID, RADIUS, X..., Y..., Z...] and the trailer."""
    rsize = len(records[0])
    out = [v for rec in records for v in rec]
    return out + [init, intlen, float(rsize), float(len(records))]
