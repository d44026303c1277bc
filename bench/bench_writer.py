"""Writing SPK files: NaifSpkWriter.write against a plain write + fsync.

Builds a writer of 25 segments (Type 3 and Type 9 alternating) holding about
100 MB of doubles, then times

  * NaifSpkWriter.write: serialisation, write to the temporary sibling,
    fsync, rename, directory fsync;
  * a plain open/write/fsync/close of the same number of bytes;

and measures the peak resident memory of the write in a fresh process, as a
multiple of the file size (the writer's own copy of the data plus the image).

Usage: python bench/bench_writer.py [--mb 100] [--repeat 5] [--types 39|3|9] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

from kernwerk import NaifSpkWriter

SEGMENTS = 25


def build_writer(total_mb: float, types: str = "39") -> NaifSpkWriter:
    """25 segments of about total_mb / 25 MB each, cycling through the data
    types named in `types` ("39": Type 3 and Type 9 alternating)."""
    per_seg = total_mb * 1e6 / SEGMENTS / 8  # doubles per segment
    rng = np.random.default_rng(0)
    w = NaifSpkWriter("bench")
    for i in range(SEGMENTS):
        if types[i % len(types)] == "3":
            n = 13  # coefficients per component: rows of 80 doubles
            rows = max(1, int(per_seg // (2 + 6 * n)))
            rc = rng.normal(size=(rows, 2 + 6 * n))
            rc[:, 0] = (np.arange(rows) + 0.5) * 86400.0
            rc[:, 1] = 43200.0
            w.add_type3(1000 + i, 0, 1, 0.0, rows * 86400.0, f"T3 {i}", 0.0, 86400.0, rc)
        else:
            n = max(2, int(per_seg // 7))
            epochs = np.arange(n, dtype=float) * 60.0
            states = rng.normal(size=(n, 6))
            w.add_type9(1000 + i, 0, 1, epochs[0], epochs[-1], f"T9 {i}", 7, states, epochs)
    return w


def plain_write(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)


PEAK_CHILD = textwrap.dedent("""
    import gc, sys
    sys.path.insert(0, {bench_dir!r})
    from bench_writer import build_writer

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    base = status("VmRSS")
    w = build_writer({mb}, {types!r})
    gc.collect()
    held = status("VmRSS")
    # Reset the high-water mark so that it measures the write alone.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    w.write({path!r})
    print(base, held, status("VmHWM"))
""")


def peak_memory(total_mb: float, types: str, path: str) -> tuple[int, int, int]:
    code = PEAK_CHILD.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), mb=total_mb, types=types,
                             path=path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    base, held, peak = (int(v) for v in out.stdout.split())
    return base, held, peak


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=float, default=100.0, help="approximate data size in MB (default 100)")
    ap.add_argument("--repeat", type=int, default=5, help="timed repetitions of each variant (default 5)")
    ap.add_argument("--types", default="39", choices=["39", "3", "9"],
                    help="data types of the segments: alternating (39), all Type 3 or all Type 9")
    ap.add_argument("--dir", default=None, help="directory to write into (default: a temporary one)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir, prefix="kernwerk-bench-") as d:
        target = os.path.join(d, "bench.bsp")
        plain = os.path.join(d, "plain.bin")
        w = build_writer(args.mb, args.types)
        w.write(target)
        size = os.path.getsize(target)
        with open(target, "rb") as f:
            data = f.read()

        kern, ref = [], []
        for _ in range(args.repeat):
            os.remove(target)
            t0 = time.perf_counter()
            w.write(target)
            kern.append(time.perf_counter() - t0)
            if os.path.exists(plain):
                os.remove(plain)
            t0 = time.perf_counter()
            plain_write(plain, data)
            ref.append(time.perf_counter() - t0)
        del data
        os.remove(plain)

        base, held, peak = peak_memory(args.mb, args.types, os.path.join(d, "peak.bsp"))

    km, rm = statistics.median(kern), statistics.median(ref)
    print(f"file: {SEGMENTS} segments (types {'/'.join(args.types)}), {size / 1e6:.1f} MB")
    print(f"NaifSpkWriter.write      median {km * 1e3:8.1f} ms  (min {min(kern) * 1e3:.1f})")
    print(f"plain write + fsync      median {rm * 1e3:8.1f} ms  (min {min(ref) * 1e3:.1f})")
    print(f"ratio write / plain      {km / rm:.2f}")
    print(f"memory: writer holds {(held - base) / 1e6:.1f} MB; peak during write {(peak - base) / 1e6:.1f} MB "
          f"above the interpreter = {(peak - base) / size:.2f} x file size")
    return 0


if __name__ == "__main__":
    sys.exit(main())
