"""Builds the C++ floors of floors.cpp at run time and calls them through ctypes.

The shared library is compiled with the system g++ and the flags of the
package's release build (-O3, no FMA contraction, no fast-math, no
-march=native) into a cache directory keyed by the source, the flags and the
compiler, so a second run loads it without compiling.
"""

from __future__ import annotations

import ctypes
import hashlib
import os
import pathlib
import shutil
import subprocess

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "floors.cpp"
FLAGS = ["-std=c++17", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared"]

MODE_CHAIN, MODE_DIRECT, MODE_REVERSED = 0, 1, 2


def cache_dir() -> pathlib.Path:
    root = os.environ.get("KERNWERK_BENCH_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kernwerk-bench")
    return pathlib.Path(root)


def build(compiler: str | None = None) -> pathlib.Path:
    """The path of the compiled library, compiling it when the cache has none."""
    cxx = compiler or os.environ.get("CXX") or shutil.which("g++") or "g++"
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True, check=True).stdout
    key = hashlib.sha256(SOURCE.read_bytes() + " ".join(FLAGS).encode() + version.encode()).hexdigest()[:16]
    out = cache_dir() / f"floors-{key}.so"
    if out.exists():
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    tmp = out.with_suffix(f".{os.getpid()}.tmp")
    subprocess.run([cxx, *FLAGS, str(SOURCE), "-o", str(tmp)], check=True)
    os.replace(tmp, out)
    return out


_I32P = ctypes.POINTER(ctypes.c_int32)
_F64P = ctypes.POINTER(ctypes.c_double)
_PLAN_ARGS = [ctypes.c_void_p, ctypes.c_int, _I32P, ctypes.c_int, _I32P, ctypes.c_int, _I32P, ctypes.c_int]
_BATCH_ARGS = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_long, ctypes.c_void_p]


class Floors:
    """The loaded library."""

    def __init__(self, path: pathlib.Path | None = None):
        self.path = path or build()
        lib = ctypes.CDLL(str(self.path))
        lib.kf_open.restype = ctypes.c_void_p
        lib.kf_open.argtypes = [ctypes.c_char_p]
        lib.kf_close.argtypes = [ctypes.c_void_p]
        lib.kf_nsegments.argtypes = [ctypes.c_void_p]
        lib.kf_segment.argtypes = [ctypes.c_void_p, ctypes.c_int, _I32P, _F64P]
        lib.kf_plan_new.restype = ctypes.c_void_p
        lib.kf_plan_new.argtypes = _PLAN_ARGS
        lib.kf_plan_free.argtypes = [ctypes.c_void_p]
        for name in ("kf_batch_scalar", "kf_batch_shared", "kf_batch_lanes", "kf_batch_prefetch"):
            getattr(lib, name).restype = ctypes.c_long
            getattr(lib, name).argtypes = _BATCH_ARGS
        lib.kf_write_fsync.restype = ctypes.c_int
        lib.kf_write_fsync.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
        self.lib = lib
        self.lanes_isa = "avx2" if lib.kf_lanes_isa() == 2 else "sse2"

    def open(self, path: str) -> "FloorKernel":
        return FloorKernel(self, path)

    def write_fsync(self, path: str, data: np.ndarray) -> None:
        buf = np.ascontiguousarray(data)
        err = self.lib.kf_write_fsync(os.fsencode(path), buf.ctypes.data, buf.nbytes)
        if err:
            raise OSError(err, os.strerror(err), path)


class FloorKernel:
    """One mapped SPK file and the plans of its queries."""

    def __init__(self, floors: Floors, path: str):
        self.lib = floors.lib
        self.handle = self.lib.kf_open(os.fsencode(path))
        if not self.handle:
            raise OSError(f"floors: cannot map or read {path}")
        self.segments = []  # (target, center, frame, type, usable)
        ints = (ctypes.c_int32 * 5)()
        bounds = (ctypes.c_double * 2)()
        for i in range(self.lib.kf_nsegments(self.handle)):
            self.lib.kf_segment(self.handle, i, ints, bounds)
            self.segments.append(tuple(ints))

    def close(self) -> None:
        if self.handle:
            self.lib.kf_close(self.handle)
            self.handle = None

    def plan(self, target: int, center: int) -> "Plan":
        """The query's plan, checked against this kernel by the library."""
        plan = plan_for([(s[0], s[1]) for s in self.segments], target, center)
        ptr = self.lib.kf_plan_new(self.handle, plan.mode, plan.segs_c, len(plan.segs), plan.tchain_c,
                                   len(plan.tchain), plan.cchain_c, len(plan.cchain))
        if not ptr:
            raise ValueError(f"floors: the plan of {target} wrt {center} does not fit the kernel")
        plan.native = ptr
        plan.free = self.lib.kf_plan_free
        return plan

    def batch(self, variant: str, plan: "Plan", ets: np.ndarray) -> np.ndarray:
        """Variant "scalar" (a), "shared" (b), "lanes" (c) or "prefetch" (e); a
        new (N, 6) array."""
        fn = getattr(self.lib, "kf_batch_" + variant)
        if ets.dtype != np.float64 or not ets.flags.c_contiguous:
            raise ValueError("floors: ets must be a contiguous float64 array")
        n = len(ets)
        out = np.empty((n, 6))
        done = fn(plan.native, ets.__array_interface__["data"][0], n, out.__array_interface__["data"][0])
        if done != n:
            raise RuntimeError(f"floor {variant}: stopped at epoch {done} of {n}")
        return out


def chain_to_ssb(pairs: list[tuple[int, int]], body: int) -> list[int]:
    """Segments (indices into `pairs` of (target, center)) from `body` to the
    barycenter, stepping as the landed code does: a segment of the body onto
    0 if there is one, else the body's first segment in file order. Every
    segment is taken to cover the epochs (true of the DE kernels)."""
    chain = []
    while body != 0:
        mine = [i for i, p in enumerate(pairs) if p[0] == body]
        if not mine or len(chain) > 32:
            raise ValueError(f"no chain from {body} to the barycenter")
        step = next((i for i in mine if pairs[i][1] == 0), mine[0])
        chain.append(step)
        body = pairs[step][1]
    return chain


def plan_for(pairs: list[tuple[int, int]], target: int, center: int) -> "Plan":
    """The segments of a query, resolved as NaifSpk.state resolves it: the
    pair's own segment, else the reversed pair's (negated), else both chains
    to the barycenter (target sum minus center sum)."""
    if (target, center) in pairs:
        return Plan(MODE_DIRECT, [pairs.index((target, center))], [], [])
    if (center, target) in pairs:
        return Plan(MODE_REVERSED, [pairs.index((center, target))], [], [])
    tchain, cchain = chain_to_ssb(pairs, target), chain_to_ssb(pairs, center)
    distinct = list(dict.fromkeys(tchain + cchain))
    return Plan(MODE_CHAIN, distinct, [distinct.index(s) for s in tchain], [distinct.index(s) for s in cchain])


class Plan:
    def __init__(self, mode: int, segs: list[int], tchain: list[int], cchain: list[int]):
        self.mode, self.segs, self.tchain, self.cchain = mode, segs, tchain, cchain
        # ctypes arrays kept alive with the plan (one element at least).
        self.segs_c = (ctypes.c_int32 * max(1, len(segs)))(*segs)
        self.tchain_c = (ctypes.c_int32 * max(1, len(tchain)))(*tchain)
        self.cchain_c = (ctypes.c_int32 * max(1, len(cchain)))(*cchain)
        self.native = None  # set by FloorKernel.plan
        self.free = None

    def __del__(self):
        if self.native and self.free:
            self.free(self.native)
