"""Batch Earth orientation against a per-epoch loop over the NAIF toolkit.

    python bench/bench_pck.py [N]

Times NaifPck.sxform_batch and NaifPck.rotate_state_batch (J2000 -> ITRF93)
over N epochs (default 100000) of the high-precision Earth orientation kernel
(PyPI package naif-eop-high-prec), and a Python loop over spiceypy's sxform
plus a NumPy matrix product on fewer epochs, scaled to N. Prints the times
and the ratios.
"""

import sys

import numpy as np

from benchutil import best_of



def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 100_000
    n_loop = min(n, 5_000)
    try:
        import spiceypy as sp
        from naif_eop_high_prec import eop_high_prec as path
    except ImportError as exc:
        sys.exit(f"needs spiceypy and naif-eop-high-prec: {exc}")
    from kernwerk import NaifPck

    pck = NaifPck(path)
    sp.kclear()
    sp.furnsh(path)
    segs = pck.segments()
    lo, hi = min(s[3] for s in segs), max(s[4] for s in segs)
    rng = np.random.default_rng(1)
    ets = np.sort(rng.uniform(lo, hi, n))
    states = np.hstack([rng.normal(size=(n, 3)) * 7000.0, rng.normal(size=(n, 3)) * 7.5])
    loop_ets = [float(e) for e in ets[:: max(1, n // n_loop)][:n_loop]]
    loop_states = states[: len(loop_ets)]

    t_sx = best_of(3, lambda: pck.sxform_batch("J2000", "ITRF93", ets))
    t_rot = best_of(3, lambda: pck.rotate_state_batch("J2000", "ITRF93", ets, states))

    def spice_sxform():
        for et in loop_ets:
            np.asarray(sp.sxform("J2000", "ITRF93", et))

    def spice_rotate():
        for et, s in zip(loop_ets, loop_states):
            np.asarray(sp.sxform("J2000", "ITRF93", et)) @ s

    scale = n / len(loop_ets)
    t_sp_sx = best_of(2, spice_sxform) * scale
    t_sp_rot = best_of(2, spice_rotate) * scale

    print(f"epochs: {n} (spiceypy loop: {len(loop_ets)} epochs, scaled x{scale:g})")
    print(f"sxform_batch        {t_sx * 1e3:9.2f} ms  {t_sx / n * 1e9:8.1f} ns/epoch")
    print(f"spiceypy sxform     {t_sp_sx * 1e3:9.2f} ms  {t_sp_sx / n * 1e9:8.1f} ns/epoch"
          f"   ratio {t_sp_sx / t_sx:7.1f}x")
    print(f"rotate_state_batch  {t_rot * 1e3:9.2f} ms  {t_rot / n * 1e9:8.1f} ns/epoch")
    print(f"spiceypy sxform @ s {t_sp_rot * 1e3:9.2f} ms  {t_sp_rot / n * 1e9:8.1f} ns/epoch"
          f"   ratio {t_sp_rot / t_rot:7.1f}x")


if __name__ == "__main__":
    main()
