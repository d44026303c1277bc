"""Side-by-side timing and peak-memory measurement for the benchmark suite.

Timing: every contender of a case is called once to warm up (and to check
its result), then calibrated to a loop count whose sample lasts about
`target` seconds; each of the `repeats` rounds then times one sample of every
contender, in an order rotated by one per round, so that drifts of the shared
machine fall on all contenders alike. Reported per contender: the median and
the minimum of its samples, per call.

Memory: one case and one contender in a fresh interpreter; the peak resident
size of the call above the resident size just before it (VmHWM after a reset
through /proc/self/clear_refs), less the pages of memory-mapped files that the
call brought in and that stay mapped (RssFile after minus before): what the
call allocates, not the kernel pages it reads.
"""

from __future__ import annotations

import gc
import json
import math
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass
class Contender:
    label: str
    call: Callable[[], Any]
    # Sampled time is multiplied by `scale`: a per-epoch loop run over a
    # prefix of the epochs and scaled to the whole batch.
    scale: float = 1.0
    # Compares the contender's result with the reference result; returns an
    # error text, or None when they agree.
    check: Callable[[Any, Any], str | None] | None = None
    # Run before each sample, untimed (e.g. removing the file a write made).
    setup: Callable[[], Any] | None = None
    samples: list[float] = field(default_factory=list)
    loops: int = 1
    problem: str | None = None

    @property
    def median(self) -> float:
        return statistics.median(self.samples) if self.samples else math.nan

    @property
    def best(self) -> float:
        return min(self.samples) if self.samples else math.nan


def timed(fn: Callable[[], Any], loops: int) -> float:
    gc_was = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        return time.perf_counter() - t0
    finally:
        if gc_was:
            gc.enable()


def interleaved_best(repeat: int, contenders: dict[str, Callable[[], Any]]) -> dict[str, float]:
    """The best of `repeat` rounds of one call of each contender (seconds),
    the contenders taken in turn within each round, so that the machine's
    drifts fall on all of them alike: the loop of the scripts that time
    whole batches (bench_apparent.py, bench_frames.py)."""
    best = {name: math.inf for name in contenders}
    for _ in range(repeat):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def measure(contenders: list[Contender], repeats: int = 5, target: float = 0.05) -> None:
    """Fills each contender's samples (seconds per call, scaled). The first
    contender is the reference of the checks."""
    reference = None
    for i, c in enumerate(contenders):
        try:
            if c.setup:
                c.setup()
            t0 = time.perf_counter()
            result = c.call()
            first = time.perf_counter() - t0
        except Exception as exc:  # a contender that cannot run is reported, not fatal
            c.problem = f"{type(exc).__name__}: {exc}"
            continue
        if i == 0:
            reference = result
        elif c.check is not None and reference is not None:
            c.problem = c.check(reference, result)
        del result
        # Calibrate on a second, warm call when the first was short.
        if first < target:
            if c.setup:
                c.setup()
            first = timed(c.call, 1)
        c.loops = max(1, int(target / max(first, 1e-9)))
    live = [c for c in contenders if c.problem is None or c.problem.startswith("MISMATCH")]
    for r in range(repeats):
        k = r % len(live) if live else 0
        for c in live[k:] + live[:k]:
            if c.setup:
                c.setup()
            c.samples.append(timed(c.call, c.loops) / c.loops * c.scale)


# ---------------------------------------------------------------------------
# Memory

def _status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "RssFile", "RssAnon", "RssShmem"):
                out[key] = int(rest.split()[0]) * 1024
    return out


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_of(call: Callable[[], Any]) -> dict[str, int]:
    """Runs `call` once in this process and returns its allocation peak
    (bytes) as described in the module docstring, with the raw figures."""
    gc.collect()
    before = _status()
    if not reset_peak():
        raise OSError("cannot reset the peak resident size (/proc/self/clear_refs)")
    result = call()
    after = _status()
    del result
    file_pages = max(0, after.get("RssFile", 0) - before.get("RssFile", 0))
    peak = max(0, after["VmHWM"] - before["VmRSS"] - file_pages)
    return {"peak": peak, "rss_before": before["VmRSS"], "hwm": after["VmHWM"], "file_pages": file_pages}


def in_child(job: dict, timeout: float = 900) -> dict:
    """Runs `python run.py --child JOB` and returns the JSON it prints."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.py")
    proc = subprocess.run([sys.executable, script, "--child", json.dumps(job)], capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or ["no output"]
        return {"error": f"child exited {proc.returncode}: {tail[0]}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Formatting

def fmt_time(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "-"
    if seconds >= 1.0:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"


def fmt_ratio(x: float) -> str:
    if not math.isfinite(x):
        return "-"
    return f"{x:.2f}" if x < 10 else f"{x:.1f}" if x < 100 else f"{x:.0f}"


def fmt_bytes(n: float) -> str:
    if n is None or not math.isfinite(n):
        return "-"
    return f"{n / 1e6:.1f} MB" if n >= 1e6 else f"{n / 1e3:.0f} kB"
