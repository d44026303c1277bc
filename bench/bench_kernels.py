"""Times kernwerk.Kernels batches on DE421 against NaifSpk, jplephem and spiceypy.

    python bench/bench_kernels.py [--repeat 5] [--epochs 1000000] [--spice-epochs 20000]

For MOON wrt EARTH (301 wrt 399) at --epochs random and sorted epochs over
DE421's coverage, each round runs every contender once, in turn, and the
best of --repeat rounds is kept (interleaving spreads the noise of a shared
machine over all contenders alike):
  * Kernels 1 thread / all threads: `Kernels.state(..., threads=n)`;
  * NaifSpk: `NaifSpk.state_batch`, the single-file reader (it sums both
    bodies' chains down to the barycenter);
  * jplephem: its vectorised compute_and_differentiate on the two segments
    relative to the Earth-Moon barycenter, Moon minus Earth;
  * spiceypy: a Python loop over spkgeo on --spice-epochs epochs, scaled to
    the batch size.
Ratios are contender time / Kernels 1-thread time (higher: Kernels faster),
and 1-thread / all-thread time. Memory: the peak of traced allocations
during one Kernels call (NumPy reports its arrays to tracemalloc) against
the size of the result array.

Then an orbiter 300 km above Mars, written with SpkWriter as 24 hourly
segments of Type 3 and, in another file, of Type 9 (relative to 499), over
DE421: `Kernels.state(orbiter, SSB / EARTH / MARS)` on one thread for
--epochs/10 random and sorted epochs of its day, against
`NaifSpk.state_batch` on the orbiter file alone (relative to 499).

The kernel comes from the PyPI data package skyfield-data; jplephem and
spiceypy are test dependencies only.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import time
import tracemalloc

import numpy as np

from kernwerk import Kernels, NaifSpk


def de421_path() -> str:
    import skyfield_data

    return str(pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp")


def interleaved_best(repeat: int, contenders: dict) -> tuple[dict, dict]:
    """Best wall-clock time of each contender over `repeat` rounds, every
    contender running once per round in turn, and the process CPU time of
    that best run (CPU time near wall time x threads means the threads ran
    side by side; near wall time alone, that the machine gave one core)."""
    best = {name: float("inf") for name in contenders}
    cpu = {}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            wall = time.perf_counter() - t0
            if wall < best[name]:
                best[name], cpu[name] = wall, time.process_time() - c0
    return best, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=1_000_000)
    parser.add_argument("--spice-epochs", type=int, default=20_000)
    args = parser.parse_args()

    path = de421_path()
    kernels = Kernels(path)
    spk = NaifSpk(path)
    start, end = kernels.coverage(301)[0]
    cores = len(os.sched_getaffinity(0))
    rng = np.random.default_rng(0)

    try:
        from jplephem.spk import SPK

        jpl = SPK.open(path)
    except ImportError:
        jpl = None
    try:
        import spiceypy as sp

        sp.furnsh(path)
    except ImportError:
        sp = None

    def jplephem_moon_earth(ets):
        days = ets / 86400.0
        pm, vm = jpl[3, 301].compute_and_differentiate(2451545.0, days)
        pe, ve = jpl[3, 399].compute_and_differentiate(2451545.0, days)
        return np.vstack([pm - pe, (vm - ve) / 86400.0])

    print(f"DE421: {path}; MOON wrt EARTH; {cores} usable cores; best of {args.repeat} interleaved rounds; "
          f"load average {os.getloadavg()[0]:.2f}")
    header = f"{'epochs':<16} {'contender':<22} {'seconds':>9} {'ns/epoch':>9} {'ratio':>7} {'cpu s':>8}"
    print(header)
    for order in ("random", "sorted"):
        ets = rng.uniform(start, end, args.epochs)
        if order == "sorted":
            ets.sort()
        n = len(ets)
        contenders = {
            "Kernels 1 thread": lambda: kernels.state(301, 399, ets, threads=1),
            f"Kernels {cores} threads": lambda: kernels.state(301, 399, ets, threads=cores),
            "NaifSpk.state_batch": lambda: spk.state_batch(301, 399, ets),
        }
        if jpl is not None:
            contenders["jplephem"] = lambda: jplephem_moon_earth(ets)
        best, cpu = interleaved_best(args.repeat, contenders)

        if sp is not None:
            sub = ets[:: max(1, n // args.spice_epochs)][: args.spice_epochs]
            t0 = time.perf_counter()
            for et in sub:
                sp.spkgeo(301, float(et), "J2000", 399)
            best["spiceypy spkgeo loop"] = (time.perf_counter() - t0) * n / len(sub)

        # The results agree before any figure is believed.
        ours = kernels.state(301, 399, ets[:10_000], threads=1)
        assert np.array_equal(ours, kernels.state(301, 399, ets[:10_000], threads=cores))
        assert np.allclose(ours, spk.state_batch(301, 399, ets[:10_000]), rtol=1e-12, atol=1e-6)
        if jpl is not None:
            assert np.allclose(ours, jplephem_moon_earth(ets[:10_000]).T, rtol=1e-9, atol=1e-6)

        one = best["Kernels 1 thread"]
        for name, t in best.items():
            cpu_s = f"{cpu[name]:>8.4f}" if name in cpu else f"{'-':>8}"
            print(f"{order + f' {n}':<16} {name:<22} {t:>9.4f} {t / n * 1e9:>9.1f} {t / one:>7.2f} {cpu_s}")
        print(f"{'':<16} {'1 thread / ' + str(cores) + ' threads':<22} {'':>9} {'':>9} "
              f"{one / best[f'Kernels {cores} threads']:>7.2f}")

        for threads in (1, cores):
            tracemalloc.start()
            kernels.state(301, 399, ets, threads=threads)
            _, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            out_bytes = n * 6 * 8
            print(f"{'':<16} peak traced memory, {threads} thread(s): {peak / 2**20:.2f} MiB = "
                  f"{peak / out_bytes:.4f} x the {out_bytes / 2**20:.1f} MiB result")
    orbiter(path, args, rng)
    print(f"ratio = contender time / Kernels 1-thread time (higher: Kernels faster); "
          f"load average at the end {os.getloadavg()[0]:.2f}")


def orbiter(de421: str, args, rng) -> None:
    import tempfile

    from bench_surface import ORBIT, T0, chebyshev_records
    from kernwerk import SpkWriter, conics

    tmp = pathlib.Path(tempfile.mkdtemp())
    w3, w9 = SpkWriter(), SpkWriter()
    for h in range(24):
        t = T0 + 3600.0 * h + np.linspace(0.0, 3600.0, 61)
        w9.add_type9(-74, 499, conics(ORBIT, t), t)
        w3.add_type3(-74, 499, chebyshev_records(ORBIT, t[0], 600.0, 6, 14), init=t[0], intlen=600.0)
    w3.write(str(tmp / "orbiter3.bsp"))
    w9.write(str(tmp / "orbiter9.bsp"))
    n = max(1, args.epochs // 10)
    print(f"orbiter -74 around MARS, 24 hourly segments, {n} epochs, 1 thread")
    for kind in ("3", "9"):
        f = str(tmp / f"orbiter{kind}.bsp")
        k, spk = Kernels(de421, f, threads=1), NaifSpk(f)
        for order in ("random", "sorted"):
            ets = rng.uniform(T0, T0 + 86400.0, n)
            if order == "sorted":
                ets.sort()
            contenders = {f"Kernels -74 wrt {c}": (lambda c=c: k.state(-74, c, ets)) for c in ("SSB", "EARTH", "MARS")}
            contenders["NaifSpk -74 wrt 499"] = lambda: spk.state_batch(-74, 499, ets)
            best, _ = interleaved_best(args.repeat, contenders)
            for name, t in best.items():
                print(f"{'Type ' + kind + ' ' + order:<16} {name:<22} {t:>9.4f} {t / n * 1e9:>9.1f}")


if __name__ == "__main__":
    main()
