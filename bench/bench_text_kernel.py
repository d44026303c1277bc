"""Parse time of a generated 50 MB text kernel.

The kernel mixes what real kernels hold: commentary blocks, frame
definitions with numeric lists and strings, body bindings, leapseconds
fields. The parser is one linear pass, so the time should be about a second
or less.

Usage: python bench/bench_text_kernel.py [size_MB]
"""

import os
import sys
import tempfile
import time

from kernwerk import _native

COMMENT = (
    "\\begintext\n\n"
    "   This frame kernel defines the reference frames of spacecraft {i}. The\n"
    "   rotation from the spacecraft frame to J2000 is given by a C-kernel; see\n"
    "   the mission's frames documentation for the axes.  Values in = (parens)\n"
    "   here are comments, @2000-JAN-1 too.\n\n"
)

DATA = (
    "\\begindata\n\n"
    "   FRAME_SC{i}_BUS           = {frame}\n"
    "   FRAME_{frame}_NAME        = 'SC{i}_BUS'\n"
    "   FRAME_{frame}_CLASS       = 3\n"
    "   FRAME_{frame}_CENTER      = {code}\n"
    "   TKFRAME_{frame}_RELATIVE  = 'J2000'\n"
    "   TKFRAME_{frame}_ANGLES    = ( 0.0D0, -90.5D0, 1.25E+2 )\n"
    "   TKFRAME_{frame}_AXES      = ( 3,     2,     1 )\n"
    "   TKFRAME_{frame}_UNITS     = 'DEGREES'\n"
    "   INS{code}_FOV_BOUNDARY    = ( -0.0123456789012345 0.0123456789012345 1.0\n"
    "                               0.0123456789012345 -0.0123456789012345 1.0 )\n"
    "   NAIF_BODY_NAME           += ( 'SC{i}', 'SPACECRAFT_{i}' )\n"
    "   NAIF_BODY_CODE           += ( {code}, {code} )\n\n"
)

LSK = (
    "\\begindata\n"
    "DELTET/DELTA_T_A = 32.184\nDELTET/K = 1.657D-3\nDELTET/EB = 1.671D-2\n"
    "DELTET/M = ( 6.239996D0 1.99096871D-7 )\n"
    "DELTET/DELTA_AT = ( 10, @1972-JAN-1 11, @1972-JUL-1 37, @2017-JAN-1 )\n"
)


def generate(path, size):
    written = 0
    i = 0
    with open(path, "w", encoding="utf-8") as f:
        f.write("KPL/FK\n")
        f.write(LSK)
        while written < size:
            chunk = COMMENT.format(i=i) + DATA.format(i=i, frame=-100000 - i, code=-1000000 - i)
            f.write(chunk)
            written += len(chunk)
            i += 1
    return i


# Worst cases for a scanner that backs up or rescans: each should take about
# as long as the realistic kernel of the same size.
def shapes(n):
    return {
        "bare words, no '='": "\\begindata\n" + "abc " * (n // 4),
        "one name, then blanks": "\\begindata\nfoo" + " " * n,
        "backslashes": "\\begindata\n" + "\\b" * (n // 2),
        "unclosed list": "\\begindata\nX = (" + "1.5D0 " * (n // 6),
        "doubled quotes": "\\begindata\nX = '" + "x''" * (n // 3) + "'",
        "empty assignments": "\\begindata\n" + "A=\n" * (n // 3),
    }


def timed(path):
    t0 = time.perf_counter()
    try:
        _native.naif_parse_text_kernel_bindings(path)
    except ValueError:
        pass
    return time.perf_counter() - t0


def main():
    size_mb = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.tf")
        blocks = generate(path, int(size_mb * 1e6))
        nbytes = os.path.getsize(path)
        _native.naif_parse_text_kernel_bindings(path)  # warm the page cache
        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            bindings = _native.naif_parse_text_kernel_bindings(path)
            times.append(time.perf_counter() - t0)
        assert len(bindings) == 2 * blocks
        best = min(times)
        print(f"text kernel: {nbytes / 1e6:.1f} MB, {len(bindings)} bindings: "
              f"best {best:.3f} s of {len(times)} ({nbytes / 1e6 / best:.0f} MB/s)")
        for name, text in shapes(int(size_mb * 1e6)).items():
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            print(f"  {name}: {len(text) / 1e6:.1f} MB in {timed(path):.3f} s")


if __name__ == "__main__":
    main()
