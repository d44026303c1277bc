"""Times NaifSpk.state_batch on DE421 against jplephem and spiceypy.

    python bench/bench_spk.py [--repeat 3] [--spice-epochs 20000]

For MOON wrt EARTH (301 wrt 399) and EARTH wrt SUN (399 wrt 10), at 1e5 and
1e6 epochs spread over DE421's coverage, it prints the best of --repeat
runs of
  * kernwerk: NaifSpk.state_batch (position and velocity, km and km/s);
  * jplephem: the same quantity from its vectorised compute_and_differentiate
    summed along the segment chain;
  * spiceypy: a Python loop over spkgeo, run on --spice-epochs epochs and
    scaled linearly to the batch size;
and the ratios, plus the peak of traced Python/NumPy allocations during each
kernwerk call (tracemalloc) and the process's peak resident size.

The kernels come from the PyPI data package skyfield-data; jplephem and
spiceypy are test dependencies only.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import tracemalloc

import numpy as np
from benchutil import best_of

from kernwerk import NaifSpk

PAIRS = [("MOON wrt EARTH", 301, 399), ("EARTH wrt SUN", 399, 10)]
SIZES = [100_000, 1_000_000]


def de421_path() -> str:
    import skyfield_data

    return str(pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp")



def jplephem_state(kernel, chains, ets):
    """State of the first chain's end minus the second's, km and km/s."""
    days = ets / 86400.0
    out = np.zeros((6, len(ets)))
    for sign, chain in ((1.0, chains[0]), (-1.0, chains[1])):
        for center, target in chain:
            pos, vel = kernel[center, target].compute_and_differentiate(2451545.0, days)
            out[:3] += sign * pos
            out[3:] += sign * vel / 86400.0
    return out


# Segment chains (center, target) from each body to the barycenter in DE421.
CHAINS = {301: [(3, 301), (0, 3)], 399: [(3, 399), (0, 3)], 10: [(0, 10)]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--spice-epochs", type=int, default=20_000)
    args = parser.parse_args()

    path = de421_path()
    spk = NaifSpk(path)
    start, end = spk.segments()[0][4], spk.segments()[0][5]
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

    print(f"DE421: {path}")
    print(f"{'query':<16} {'epochs':>9} {'kernwerk s':>11} {'jplephem s':>11} {'ratio':>7} "
          f"{'spkgeo s':>10} {'ratio':>8} {'traced peak':>12}")
    for label, target, center in PAIRS:
        for n in SIZES:
            ets = np.sort(rng.uniform(start, end, n))
            t_ours = best_of(args.repeat, lambda: spk.state_batch(target, center, ets))

            tracemalloc.start()
            spk.state_batch(target, center, ets)
            _, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()

            t_jpl = ratio_jpl = None
            if jpl is not None:
                chains = (CHAINS[target], CHAINS[center])
                t_jpl = best_of(args.repeat, lambda: jplephem_state(jpl, chains, ets))
                ratio_jpl = t_jpl / t_ours
                check = jplephem_state(jpl, chains, ets[:1000]).T
                assert np.allclose(check, spk.state_batch(target, center, ets[:1000]), rtol=1e-9, atol=1e-6)

            t_sp = ratio_sp = None
            if sp is not None:
                m = min(n, args.spice_epochs)
                sub = ets[:: max(1, n // m)][:m]
                t_sub = best_of(1, lambda: [sp.spkgeo(target, float(et), "J2000", center) for et in sub])
                t_sp = t_sub * n / len(sub)
                ratio_sp = t_sp / t_ours

            def fmt(v, spec):
                return format(v, spec) if v is not None else "-"

            print(f"{label:<16} {n:>9} {t_ours:>11.4f} {fmt(t_jpl, '>11.4f')} {fmt(ratio_jpl, '>7.1f')} "
                  f"{fmt(t_sp, '>10.3f')} {fmt(ratio_sp, '>8.1f')} {peak / 2**20:>10.1f} MiB")
            print(f"{'':<16} {'':>9} {n * 6 * 8 / 2**20:>11.1f} MiB result array; "
                  f"{t_ours / n * 1e9:.0f} ns per epoch")

    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"process peak resident size: {rss / 1024:.1f} MiB")
    print("ratio = peer time / kernwerk time (higher is faster for kernwerk)")


if __name__ == "__main__":
    main()
