"""Command line: `python -m kernwerk segments FILE.bsp` and
`python -m kernwerk state FILE.bsp TARGET CENTER ET [ET ...] [--frame F]`.

Bodies are given by NAIF code (301) or by name ("moon", "Earth Barycenter").
"""

from __future__ import annotations

import argparse
import os
import sys

from ._native import NaifSpk
from .bodies import bodc2n, bodn2c


def _body_code(text: str) -> int:
    """A NAIF body code given as an integer or as a body name."""
    try:
        return int(text)
    except ValueError:
        return bodn2c(text)


def _body_label(code: int) -> str:
    try:
        return f"{bodc2n(code)} ({code})"
    except ValueError:
        return str(code)


def _segments(args: argparse.Namespace) -> int:
    spk = NaifSpk(args.path)
    rows = spk.segments()
    print(f"{'target':>28} {'center':>28} {'frame':>6} {'type':>5} {'start ET (s)':>22} {'end ET (s)':>22}  name")
    for target, center, frame, data_type, start, end, name in rows:
        print(f"{_body_label(target):>28} {_body_label(center):>28} {frame:>6} {data_type:>5} "
              f"{start:>22.3f} {end:>22.3f}  {name}")
    print(f"{len(rows)} segments")
    return 0


def _state(args: argparse.Namespace) -> int:
    import numpy as np

    spk = NaifSpk(args.path)
    target, center = _body_code(args.target), _body_code(args.center)
    ets = np.array(args.et, dtype=np.float64)
    rows = spk.state_batch_in_frame(target, center, ets, args.frame)
    print(f"{'ET (s)':>16} {'x (km)':>20} {'y (km)':>20} {'z (km)':>20} "
          f"{'vx (km/s)':>14} {'vy (km/s)':>14} {'vz (km/s)':>14}")
    for et, row in zip(ets, rows):
        print(f"{et:>16.3f} " + " ".join(f"{v:>20.6f}" for v in row[:3]) + " "
              + " ".join(f"{v:>14.9f}" for v in row[3:]))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kernwerk", description="Inspect and evaluate NAIF SPICE kernels.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("segments", help="list the segments of an SPK file")
    p.add_argument("path", help="path of a binary SPK file")
    p.set_defaults(func=_segments)
    p = sub.add_parser("state", help="state of TARGET relative to CENTER at TDB seconds past J2000")
    p.add_argument("path", help="path of a binary SPK file")
    p.add_argument("target", help="target body: NAIF code or name (301, moon)")
    p.add_argument("center", help="center body: NAIF code or name (399, earth)")
    p.add_argument("et", type=float, nargs="+", help="epochs, TDB seconds past J2000")
    p.add_argument("--frame", default="J2000", help="J2000 (default) or ECLIPJ2000")
    p.set_defaults(func=_state)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (RuntimeError, ValueError) as exc:
        print(f"kernwerk: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
