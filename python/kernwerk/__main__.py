"""Command line: `python -m kernwerk segments FILE.bsp`."""

from __future__ import annotations

import argparse
import sys

from ._native import NaifSpk


def _segments(args: argparse.Namespace) -> int:
    spk = NaifSpk(args.path)
    rows = spk.segments()
    print(f"{'target':>8} {'center':>8} {'frame':>6} {'type':>5} {'start ET (s)':>22} {'end ET (s)':>22}  name")
    for target, center, frame, data_type, start, end, name in rows:
        print(f"{target:>8} {center:>8} {frame:>6} {data_type:>5} {start:>22.3f} {end:>22.3f}  {name}")
    print(f"{len(rows)} segments")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kernwerk", description="Inspect and evaluate NAIF SPICE kernels.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("segments", help="list the segments of an SPK file")
    p.add_argument("path", help="path of a binary SPK file")
    p.set_defaults(func=_segments)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (RuntimeError, ValueError) as exc:
        print(f"kernwerk: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
