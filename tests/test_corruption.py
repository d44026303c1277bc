"""Damaged kernels and kernels that change while open.

The sweep corrupts DE421 and the Earth orientation kernel in sampled ways
(truncations at record boundaries and inside data, byte flips and hostile
words in the file record, summaries, names, trailers and data) with a fixed
seed, and runs each damaged file through an open and a set of queries in a
worker process: every call must succeed or raise RuntimeError/ValueError with
one of the readers' own messages. A crash or a hang of the worker (it runs
under a timeout) fails the test and names the case.

The second part truncates or rewrites kernels in place under open readers:
the next query must raise "kernel file changed while open" and the process
must go on (a later open of the new file works).
"""

from __future__ import annotations

import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

RECORD = 1024

# Every message the readers raise for a damaged file or a query it cannot
# answer; anything else is a failure of the sweep.
DOCUMENTED = re.compile("|".join([
    r"I/O error: ", r"file too small \(\d+ bytes\) to contain a DAF header", r"unrecognized DAF identifier: ",
    r"unsupported binary format: ", r"malformed summary at record \d+: ", r"address range \[\d+,\d+\] out of file",
    r"no segment covers ", r"unsupported SPK data type -?\d+$", r"malformed Type -?\d+ segment: ",
    r"SPK segment '.*' \(target -?\d+, center -?\d+, data type -?\d+\) is referred to frame -?\d+; ",
    r"malformed PCK Type 2 segment: ", r"unsupported PCK data type -?\d+$", r"unsupported PCK reference frame -?\d+",
    r"kernel file changed while open: ",
]))


def eop_path():
    mod = pytest.importorskip("naif_eop_high_prec")
    return str(mod.eop_high_prec)


# ---------------------------------------------------------------------------
# The worker: one process runs many cases and reports each.

WORKER = textwrap.dedent(r"""
    import json, math, os, sys
    import numpy as np
    from kernwerk import NaifSpk, NaifPck

    kind, source, work, cases_file = sys.argv[1:5]
    original = open(source, "rb").read()
    cases = json.load(open(cases_file))
    flipped = os.path.join(work, "flipped")
    with open(flipped, "wb") as f:
        f.write(original)

    def call(fn):
        try:
            fn()
            return "ok"
        except (RuntimeError, ValueError) as e:
            return type(e).__name__ + ": " + str(e)

    def spk_queries(path):
        try:
            spk = NaifSpk(path)
        except (RuntimeError, ValueError) as e:
            return [type(e).__name__ + ": " + str(e)]
        out = [call(spk.segments)]
        ets = np.array([-1e20, -3e9, 0.0, 1.5e8, 4e8, 6.5e8, 3e9, math.nan])
        for t, c in ((301, 399), (399, 3), (10, 0), (5, 3), (199, 1), (3, 301)):
            out.append(call(lambda: spk.state(t, c, 2.5e8)))
            out.append(call(lambda: spk.state_batch(t, c, ets)))
        out.append(call(lambda: spk.state_batch_in_frame(301, 0, ets, "ECLIPJ2000")))
        return out

    def pck_queries(path):
        try:
            pck = NaifPck(path)
        except (RuntimeError, ValueError) as e:
            return [type(e).__name__ + ": " + str(e)]
        out = [call(pck.segments)]
        ets = np.array([-1e20, 0.0, 3e8, 6e8, 7.7e8, 8.2e8, 9e8, math.nan])
        states = np.ones((len(ets), 6))
        out.append(call(lambda: pck.euler_state(3000, 6e8)))
        out.append(call(lambda: pck.pxform("J2000", "ITRF93", 7.7e8)))
        out.append(call(lambda: pck.sxform_batch("ITRF93", "ECLIPJ2000", ets)))
        out.append(call(lambda: pck.rotate_state_batch("J2000", "ITRF93", ets, states)))
        return out

    queries = spk_queries if kind == "spk" else pck_queries
    for i, case in enumerate(cases):
        print("START", i, flush=True)
        if case["op"] == "truncate":
            path = os.path.join(work, "truncated")
            with open(path, "wb") as f:
                f.write(original[:case["at"]])
            outcome = queries(path)
        else:
            with open(flipped, "r+b") as f:
                f.seek(case["at"])
                f.write(bytes(case["bytes"]))
            outcome = queries(flipped)
            with open(flipped, "r+b") as f:
                f.seek(case["at"])
                f.write(original[case["at"]:case["at"] + len(case["bytes"])])
        print("DONE", i, json.dumps(outcome), flush=True)
""")


HOSTILE_WORDS = [0.0, -0.0, 1.0, -1.0, 2.0**31, 2.0**32 + 1, 2.0**53, 1e300, -1e300,
                 float("inf"), float("-inf"), float("nan"), 28.0, 1e9]


def layout(data):
    """Byte ranges of the file record, summary and name records, and the
    segments' trailers (last four words), read from the file itself."""
    nd, ni = struct.unpack_from("<ii", data, 8)
    fward = struct.unpack_from("<i", data, 76)[0]
    ss = nd + (ni + 1) // 2
    summaries, names, trailers = [], [], []
    rec = fward
    while rec > 0:
        base = (rec - 1) * RECORD
        nxt, _, nsum = struct.unpack_from("<ddd", data, base)
        summaries.append((base, base + 24 + int(nsum) * 8 * ss))
        names.append((base + RECORD, base + RECORD + int(nsum) * 8 * ss))
        for k in range(int(nsum)):
            ints = struct.unpack_from(f"<{ni}i", data, base + 24 + k * 8 * ss + 8 * nd)
            end = ints[-1]
            trailers.append(((end - 4) * 8, end * 8))
        rec = int(nxt)
    return summaries, names, trailers


def sweep_cases(data, seed, truncations, flips):
    rng = random.Random(seed)
    size = len(data)
    nrec = size // RECORD
    cases = []
    boundaries = sorted({0, 1, 2, 3, nrec - 1} | {rng.randrange(nrec) for _ in range(truncations // 2)})
    cases += [{"op": "truncate", "at": r * RECORD} for r in boundaries]
    cases += [{"op": "truncate", "at": rng.randrange(RECORD, size)} for _ in range(truncations - len(boundaries))]
    summaries, names, trailers = layout(data)
    regions = {
        "file record": [(0, 96), (0, RECORD)],
        "summaries": summaries,
        "names": names,
        "trailers": trailers,
        "data": [(3 * RECORD, size)],
    }
    per_region = flips // len(regions)
    for name, ranges in regions.items():
        for _ in range(per_region):
            lo, hi = rng.choice(ranges)
            if hi - lo < 8:
                continue
            if rng.random() < 0.5:
                # A byte flipped to another value.
                at = rng.randrange(lo, hi)
                cases.append({"op": "flip", "at": at, "bytes": [data[at] ^ rng.randrange(1, 256)]})
            else:
                # A whole word replaced by a hostile value (as a double, or as
                # two 32-bit integers where summaries hold them).
                at = lo + 8 * rng.randrange((hi - lo) // 8)
                if rng.random() < 0.7:
                    word = struct.pack("<d", rng.choice(HOSTILE_WORDS))
                else:
                    word = struct.pack("<ii", rng.choice([0, -1, 1, 2**31 - 1, -2**31, 1000, 385]),
                                       rng.choice([0, -1, 17, 13, 9, 3, 2**31 - 1]))
                cases.append({"op": "flip", "at": at, "bytes": list(word)})
    return cases


def run_sweep(kind, source, tmp_path, cases, timeout):
    work = tmp_path / kind
    work.mkdir()
    cases_file = work / "cases.json"
    cases_file.write_text(json.dumps(cases))
    proc = subprocess.Popen([sys.executable, "-c", WORKER, kind, source, str(work), str(cases_file)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        started = [line for line in out.splitlines() if line.startswith("START")]
        last = int(started[-1].split()[1]) if started else -1
        pytest.fail(f"{kind} sweep hung on case {last}: {cases[last] if last >= 0 else None}")
    done = {}
    last_started = None
    for line in out.splitlines():
        word, i, *rest = line.split(" ", 2)
        if word == "START":
            last_started = int(i)
        elif word == "DONE":
            done[int(i)] = json.loads(rest[0])
    if proc.returncode != 0:
        pytest.fail(f"{kind} sweep worker ended with {proc.returncode} on case {last_started}: "
                    f"{cases[last_started] if last_started is not None else None}\n{err[-3000:]}")
    assert len(done) == len(cases)
    bad = []
    for i, outcome in done.items():
        for result in outcome:
            if result == "ok":
                continue
            kind_, _, message = result.partition(": ")
            if kind_ not in ("RuntimeError", "ValueError") or not DOCUMENTED.match(message):
                bad.append((cases[i], result))
    assert not bad, f"{len(bad)} undocumented outcomes, first: {bad[:3]}"
    return done


# Sampled with a fixed seed; KERNWERK_SWEEP_SCALE multiplies the sample for
# a longer run by hand.
SCALE = float(os.environ.get("KERNWERK_SWEEP_SCALE", "1"))


@pytest.mark.parametrize("kind, truncations, flips", [("spk", 300, 3000), ("pck", 200, 2000)])
def test_corruption_sweep(tmp_path, de421_path, kind, truncations, flips):
    source = eop_path() if kind == "pck" else de421_path
    with open(source, "rb") as f:
        data = f.read()
    cases = sweep_cases(data, 20261207 + len(kind), int(truncations * SCALE), int(flips * SCALE))
    done = run_sweep(kind, source, tmp_path, cases, timeout=600)
    # The sample reaches every outcome: clean files, refused opens and queries.
    outcomes = [o for outcome in done.values() for o in outcome]
    assert "ok" in outcomes
    assert any(o.startswith("RuntimeError") for o in outcomes)


# ---------------------------------------------------------------------------
# Kernels changed while open

CHANGE_CHILD = textwrap.dedent(r"""
    import os, shutil, sys
    import numpy as np
    from kernwerk import Kernels, NaifSpk, NaifPck

    kind, source, path, action = sys.argv[1:5]
    shutil.copyfile(source, path)
    opener = {"spk": NaifSpk, "pck": NaifPck, "set": Kernels}[kind]
    if kind == "spk":
        reader = NaifSpk(path)
        ets = np.linspace(-3.1e9, 1.6e9, 2000)
        query = lambda r: r.state_batch(301, 0, ets)
    elif kind == "set":
        reader = Kernels(path)
        ets = np.linspace(-3.1e9, 1.6e9, 2000)
        query = lambda r: r.state(301, 0, ets)
    else:
        reader = NaifPck(path)
        first, last = reader.segments()[0][3], reader.segments()[-1][4]
        ets = np.linspace(first, last, 2000)
        query = lambda r: r.pxform_batch("J2000", "ITRF93", ets)
    before = query(reader)
    size = os.path.getsize(path)
    if action == "truncate to half":
        os.truncate(path, size // 2)
    elif action == "truncate to zero":
        os.truncate(path, 0)
    elif action == "rewritten in place":
        # What curl -o and wget -O do: truncate, then write the new bytes.
        with open(path, "wb") as f:
            f.write(open(source, "rb").read()[: size // 3])
    elif action == "replaced by rename":
        shutil.copyfile(source, path + ".new")
        os.rename(path + ".new", path)
    for attempt in range(2):
        try:
            after = query(reader)
            print("same" if np.array_equal(after, before) else "different")
        except RuntimeError as e:
            print("error", e)
    # A new open of the complete file works.
    shutil.copyfile(source, path + ".new")
    os.rename(path + ".new", path)
    print("reopened", np.array_equal(query(opener(path)), before))
""")


@pytest.mark.parametrize("kind", ["spk", "pck", "set"])
@pytest.mark.parametrize("action", ["truncate to half", "truncate to zero", "rewritten in place",
                                    "replaced by rename"])
def test_kernel_changed_while_open(tmp_path, de421_path, kind, action):
    source = eop_path() if kind == "pck" else de421_path
    path = str(tmp_path / "kernel")
    proc = subprocess.run([sys.executable, "-c", CHANGE_CHILD, kind, source, path, action],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    lines = proc.stdout.splitlines()
    if action == "replaced by rename":
        # The open reader keeps the old file's pages; nothing changed for it.
        assert lines == ["same", "same", "reopened True"]
    else:
        message = (f"error kernel file changed while open: {path} (it was truncated or rewritten in place by "
                   "another process; open it again, and update kernels by writing a new file and renaming it "
                   "over the old one)")
        assert lines == [message, message, "reopened True"]


FOREIGN_CHILD = textwrap.dedent(r"""
    import mmap, os, sys
    from kernwerk import NaifSpk
    NaifSpk(sys.argv[1])  # installs the guard
    with open(sys.argv[2], "wb") as f:
        f.write(b"x" * 3 * mmap.PAGESIZE)
    f = open(sys.argv[2], "rb")
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    os.truncate(sys.argv[2], 0)
    print("reading", flush=True)
    m[2 * mmap.PAGESIZE]
    print("survived", flush=True)
""")


def test_fault_outside_kernels_still_ends_the_process(tmp_path, de421_path):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", FOREIGN_CHILD, de421_path,
                           str(tmp_path / "other")], capture_output=True, text=True, timeout=120)
    assert proc.stdout.splitlines() == ["reading"]
    # The default action (or a sanitizer's report when one is preloaded).
    assert proc.returncode == -signal.SIGBUS or (proc.returncode == 1 and "BUS" in proc.stderr), proc.returncode
    assert "Bus error" in proc.stderr or "BUS" in proc.stderr


# ---------------------------------------------------------------------------
# Kernels rewritten in place without a fault: same size, or cut inside the
# last page. A set loaded before raises KernelChangedError; a set loaded
# after reads the file as it is now, however its times were set back.

def _shift_coverage(data, shift):
    """The same file with the start of every segment of the first summary
    record moved by `shift` seconds: the same size, another coverage."""
    b = bytearray(data)
    nd, ni = struct.unpack_from("<ii", b, 8)
    rec = (struct.unpack_from("<i", b, 76)[0] - 1) * RECORD
    words = nd + (ni + 1) // 2
    for i in range(int(struct.unpack_from("<d", b, rec + 16)[0])):
        at = rec + 24 + 8 * words * i
        struct.pack_into("<d", b, at, struct.unpack_from("<d", b, at)[0] + shift)
    return bytes(b)


def _small_type9():
    import numpy as np
    from kernwerk import SpkWriter

    w = SpkWriter()
    epochs = np.arange(10) * 100.0
    w.add_type9(-5, 399, np.column_stack([7000.0 + epochs, epochs, -epochs] + [np.ones(10)] * 3), epochs, degree=3)
    return w


def _outcome(call, path):
    try:
        return ("ok", call().tobytes())
    except Exception as e:  # the outcome, compared between two files
        return (type(e).__name__, str(e).replace(str(path), "PATH"))


REWRITES = [
    # (what, source, new bytes from old, times set back, query)
    ("cp of a same-size kernel", "de421", lambda d: _shift_coverage(d, 3.0e9), False, "spk"),
    ("cp -p of a same-size kernel", "de421", lambda d: _shift_coverage(d, 3.0e9), True, "spk"),
    ("cut by 900 bytes", "de421", lambda d: d[:-900], False, "spk"),
    ("cut by 900 bytes, times set back", "de421", lambda d: d[:-900], True, "spk"),
    ("small Type 9 file cut to 1 KiB", "type9", lambda d: d[:1024], False, "type9"),
    ("cp -p of a same-size orientation kernel", "eop", lambda d: _shift_coverage(d, 1.0e8), True, "pck"),
]


@pytest.mark.parametrize("what, source, change, set_back, query", REWRITES, ids=[r[0] for r in REWRITES])
def test_rewritten_in_place(tmp_path, de421_path, what, source, change, set_back, query):
    import numpy as np
    from kernwerk import KernelChangedError, Kernels

    path, copy = tmp_path / "kernel.bsp", tmp_path / "copy.bsp"
    if source == "type9":
        _small_type9().write(path)
        data = path.read_bytes()
        assert len(data) == 4096
    else:
        data = open(eop_path() if source == "eop" else de421_path, "rb").read()
        path.write_bytes(data)
    ets = {"spk": np.linspace(-3.1e9, 1.6e9, 300), "type9": np.linspace(0.0, 900.0, 50),
           "pck": np.linspace(0.0, 7.0e8, 300)}[query]
    run = {"spk": lambda k: k.state(399, 3, ets), "type9": lambda k: k.state(-5, 399, ets),
           "pck": lambda k: k.sxform("J2000", "ITRF93", ets)}[query]
    before = Kernels(path)
    run(before)
    new = change(data)
    st = os.stat(path)
    with open(path, "r+b") as f:  # as cp does: truncate, then write
        f.truncate(0)
        f.write(new)
    if set_back:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    for _ in range(2):
        with pytest.raises(KernelChangedError, match="kernel file changed while open: "):
            run(before)
    copy.write_bytes(new)
    assert _outcome(lambda: run(Kernels(path)), path) == _outcome(lambda: run(Kernels(copy)), copy)


LATE_HANDLER_CHILD = textwrap.dedent(r"""
    import faulthandler, os, shutil, signal, sys, time
    import numpy as np
    from kernwerk import KernelChangedError, Kernels

    source, path, how = sys.argv[1:4]
    shutil.copyfile(source, path)
    k = Kernels(path)
    ets = np.linspace(-3.1e9, 1.6e9, 2000)
    k.state(301, 0, ets)
    if how == "faulthandler":
        faulthandler.enable()
    else:
        signal.signal(signal.SIGBUS, lambda *args: None)
    time.sleep(0.3)  # the guard's owner looks again at most every 0.1 s
    os.truncate(path, os.path.getsize(path) // 2)
    for call in (lambda: k.state(301, 0, ets), lambda: k.state(301, 0, 1.0e9)):
        try:
            call()
            print("answered")
        except KernelChangedError:
            print("changed")
""")


@pytest.mark.parametrize("how", ["faulthandler", "signal.signal"])
def test_handler_installed_after_the_first_load(tmp_path, de421_path, how):
    """A SIGBUS handler installed after the first kernel was opened replaces
    the guard: a read of a truncated file would then end the process
    (faulthandler) or fault for ever (a Python handler). Queries notice the
    replaced guard and the shorter file before they read."""
    proc = subprocess.run([sys.executable, "-c", LATE_HANDLER_CHILD, de421_path, str(tmp_path / "kernel"), how],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["changed", "changed"]


# A query checks the files it can read: the SPK files up its bodies' chains
# and every orientation kernel. (query, whether it reads the file rewritten
# in place, which holds body -6 relative to -5)
CHANGE_REACH = [
    ("state of -6", lambda k, ets: k.state(-6, 399, ets), True),
    ("segments for -6", lambda k, ets: k.segments_for(-6, 399, 450.0), True),
    ("state of -5", lambda k, ets: k.state(-5, 399, ets), False),
    ("pxform", lambda k, ets: k.pxform("J2000", "ECLIPJ2000", ets), False),
]


@pytest.mark.parametrize("what, query, reads", CHANGE_REACH, ids=[r[0] for r in CHANGE_REACH])
def test_change_checks_reach_the_files_a_query_reads(tmp_path, what, query, reads):
    import numpy as np
    from kernwerk import KernelChangedError, Kernels, SpkWriter

    epochs = np.arange(10) * 100.0
    other = SpkWriter()
    other.add_type9(-6, -5, np.ones((10, 6)), epochs, degree=3)
    base, changing = _small_type9().write(tmp_path / "base.bsp"), other.write(tmp_path / "changing.bsp")
    k = Kernels(base, changing)
    query(k, epochs)
    data = open(changing, "rb").read()
    with open(changing, "r+b") as f:
        f.write(_shift_coverage(data, 50.0))
    if reads:
        with pytest.raises(KernelChangedError, match="changing.bsp"):
            query(k, epochs)
    else:
        query(k, epochs)
