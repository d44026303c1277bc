"""The hot paths of issue-style profiles, one scenario per run, for perf or callgrind.

    python bench/profile_cases.py SCENARIO [--n N] [--repeat R]

Scenarios: batch-random, batch-sorted (Moon wrt Earth on DE440), single
(NaifSpk.state in a loop), open (NaifSpk on DE440), write9 (about 100 MB of
Type 9 through NaifSpkWriter), pxform (NaifPck.pxform_batch J2000 -> ITRF93).
Setup happens before the measured part; under callgrind collect the measured
part only, for example

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect='*spk_state_batch*' python bench/profile_cases.py batch-random --n 20000
    perf record -e cpu-clock -g python bench/profile_cases.py batch-random --repeat 20

(`perf stat -e instructions` needs hardware counters that a virtual machine
may not expose; cpu-clock sampling works without them.) The toggle names of
the measured parts: *spk_state_batch*, *spk_state(*, *spk_new*,
*writer_add_type9* with *writer_write*, *pck_batch<3ul>*. For symbols and
lines, build _native with -g (see the report of the profiling run).
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=["batch-random", "batch-sorted", "single", "open", "write9", "pxform"])
    ap.add_argument("--n", type=int, default=100_000, help="epochs (batches, pxform) or calls (single, open)")
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()
    from kernwerk import NaifPck, NaifSpk

    de440 = run.kernel_paths()["DE440"]
    t0 = time.perf_counter()
    if args.scenario.startswith("batch"):
        spk = NaifSpk(de440)
        ets = run.batch_epochs(de440, args.n, args.scenario.split("-")[1])
        t0 = time.perf_counter()
        for _ in range(args.repeat):
            spk.state_batch(301, 399, ets)
    elif args.scenario == "single":
        spk = NaifSpk(de440)
        ets = [float(e) for e in run.batch_epochs(de440, args.n, "random")]
        state = spk.state
        t0 = time.perf_counter()
        for _ in range(args.repeat):
            for et in ets:
                state(301, 399, et)
    elif args.scenario == "open":
        t0 = time.perf_counter()
        for _ in range(args.repeat * args.n // 100):
            NaifSpk(de440)
    elif args.scenario == "write9":
        segs = run.write_data("9", 100.0)
        with tempfile.TemporaryDirectory(prefix="kernwerk-profile-") as d:
            t0 = time.perf_counter()
            for _ in range(args.repeat):
                run.kernwerk_write("9", segs, os.path.join(d, "w.bsp"))
    else:
        path = run.eop_path()
        pck = NaifPck(path)
        segs = pck.segments()
        ets = np.random.default_rng(7).uniform(min(s[3] for s in segs), max(s[4] for s in segs), args.n)
        t0 = time.perf_counter()
        for _ in range(args.repeat):
            pck.pxform_batch("J2000", "ITRF93", ets)
    print(f"{args.scenario}: {time.perf_counter() - t0:.3f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
