"""Times kernwerk.Kernels batches of every SPK data type against a spiceypy loop and calcephpy.

    python bench/bench_spk_types.py [--epochs 100000] [--loop-epochs 2000] [--repeats 5] [--only CASE,...]

The files are those of the tests (tests/spk_type_files.py): the toolkit's
writers for the types they write, word-by-word layouts for Types 1, 19 and
21, written into a temporary directory. For each file, --epochs epochs drawn
uniformly over its coverage, in random order and sorted, and its target
relative to its center in J2000:
  * Kernels: `Kernels.state(..., threads=1)`, the reference of the ratios;
  * spiceypy*: a loop over spkgeo on the first --loop-epochs epochs, scaled
    to the batch;
  * calcephpy: its vectorised compute_unit (time as J2000 + days), where it
    reads the type: it is tried first, and a reader that refuses the file or
    disagrees with Kernels beyond 1e-9 relative is reported, not timed.
Timing is bench/harness.py's: every contender is calibrated, then sampled
in rounds in rotated order, so that the drifts of a shared machine fall on all
alike. Each ratio is the contender's median time over Kernels' median time
(higher: Kernels faster); the issue's target is 20 against spiceypy.

spiceypy and calcephpy are test and benchmark dependencies only.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from harness import Contender, fmt_ratio, fmt_time, measure  # noqa: E402

J2000_JD = 2451545.0
DAY = 86400.0
TARGET_RATIO = 20.0


def relative_check(ref: np.ndarray, rows) -> str | None:
    """None when `rows` (the first k states) agree with `ref` within 1e-9
    relative (position and velocity norms), else the disagreement."""
    got = np.asarray(rows, dtype=float)
    want = ref[: len(got)]
    dp = np.linalg.norm(got[:, :3] - want[:, :3], axis=1) / np.linalg.norm(want[:, :3], axis=1)
    dv = np.linalg.norm(got[:, 3:] - want[:, 3:], axis=1) / np.linalg.norm(want[:, 3:], axis=1)
    if not (dp.max() <= 1e-9 and dv.max() <= 1e-9):
        return f"MISMATCH: {dp.max():.2g} in position, {dv.max():.2g} in velocity (relative)"
    return None


_CALCEPH_MESSAGES: list[str] = []


def calceph_reader(path: str):
    """calcephpy's reader of `path` and its unit flags, or None and the
    reason when it is not installed or cannot read the file. Its error
    messages are collected rather than printed."""
    try:
        import calcephpy
    except ImportError:
        return None, "calcephpy is not installed"
    calcephpy.seterrorhandler(3, _CALCEPH_MESSAGES.append)
    _CALCEPH_MESSAGES.clear()
    try:
        f = calcephpy.CalcephBin.open(path)
    except Exception as exc:
        _CALCEPH_MESSAGES.append(str(exc).strip() or type(exc).__name__)
    if _CALCEPH_MESSAGES:
        return None, f"cannot read the file ({_CALCEPH_MESSAGES[0].strip()})"
    c = calcephpy.Constants
    return f, c.UNIT_KM + c.UNIT_SEC + c.USE_NAIFID


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=100_000)
    parser.add_argument("--loop-epochs", type=int, default=2_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default="", help="comma-separated case names (default: all)")
    args = parser.parse_args()

    import spiceypy as sp
    from kernwerk import Kernels
    from spk_type_files import CASES

    names = [n for n in sorted(CASES) if not args.only or n in args.only.split(",")]
    print(f"{args.epochs} epochs per batch; spiceypy* loops over {args.loop_epochs} epochs, scaled; "
          f"medians of {args.repeats} interleaved rounds; load average {os.getloadavg()[0]:.2f}")
    print(f"{'case':<18} {'order':<7} {'Kernels':>10} {'ns/epoch':>9} {'spiceypy*':>10} {'calcephpy':>10}  notes")
    worst = float("inf")
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            path, target, center, _ = CASES[name](pathlib.Path(tmp))
            kernels = Kernels(path)
            (lo, hi), = kernels.coverage(target)
            sp.furnsh(path)
            cal, unit_or_reason = calceph_reader(path)
            try:
                for order in ("random", "sorted"):
                    ets = rng.uniform(lo, hi, args.epochs)
                    if order == "sorted":
                        ets.sort()
                    m = min(args.loop_epochs, len(ets))
                    prefix = [float(e) for e in ets[:m]]
                    spkgeo = sp.spkgeo
                    contenders = [
                        Contender("Kernels", lambda: kernels.state(target, center, ets, threads=1)),
                        Contender("spiceypy*", lambda: [spkgeo(target, et, "J2000", center)[0] for et in prefix],
                                  scale=len(ets) / m, check=relative_check),
                    ]
                    if cal is not None:
                        jd0, days = np.full(len(ets), J2000_JD), ets / DAY
                        contenders.append(Contender(
                            "calcephpy", lambda: cal.compute_unit(jd0, days, target, center, unit_or_reason),
                            check=lambda ref, res: relative_check(ref, np.array(res).T)))
                    measure(contenders, repeats=args.repeats)
                    ours = contenders[0].median
                    cells, notes = [], []
                    for c in contenders[1:]:
                        if c.problem:
                            notes.append(f"{c.label}: {c.problem}")
                        cells.append(fmt_ratio(c.median / ours) if c.samples else "-")
                        if c.label == "spiceypy*" and c.samples:
                            worst = min(worst, c.median / ours)
                    if cal is None:
                        cells.append("-")
                        if order == "random":
                            notes.append(f"calcephpy: {unit_or_reason}")
                    print(f"{name:<18} {order:<7} {fmt_time(ours):>10} {ours / len(ets) * 1e9:>9.1f} "
                          f"{cells[0]:>10} {cells[1]:>10}  {'; '.join(notes)}")
            finally:
                sp.unload(path)
                if cal is not None:
                    cal.close()
    print(f"ratio = contender median / Kernels median (higher: Kernels faster); * = loop over a prefix, scaled; "
          f"lowest spiceypy ratio {fmt_ratio(worst)} (target {TARGET_RATIO:.0f}); "
          f"load average at the end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
