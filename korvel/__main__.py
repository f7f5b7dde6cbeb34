"""``python -m korvel``: check every built native function against the NumPy reference.

``python -m korvel bench`` runs the benchmarks of a source checkout (``benchmarks/bench_*.py``).
``python -m korvel simulate`` simulates an experiment (``--config FILE.toml``; default: the
embedded phantom), prints its summary and writes its curves (``--output DIR``).
"""

from __future__ import annotations

import argparse
import runpy
import sys
from pathlib import Path


def _bench(directory: Path) -> int:
    scripts = sorted(directory.glob("bench_*.py"))
    if not scripts:
        print("benchmarks: see benchmarks/ in a source checkout (run from its root)")
        return 0
    for script in scripts:
        runpy.run_path(str(script), run_name="__main__")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m korvel", description=__doc__.splitlines()[0])
    parser.add_argument("command", nargs="?", choices=("check", "bench", "simulate"),
                        default="check")
    parser.add_argument("--size", type=int, default=20_000, help="voxels per block (check)")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs per function (check)")
    parser.add_argument("--seed", type=int, default=20261208, help="random seed (check)")
    parser.add_argument("--benchmarks", type=Path, default=Path("benchmarks"),
                        help="folder of bench_*.py scripts (bench)")
    from korvel import cli

    cli.add_arguments(parser)
    options = parser.parse_args(argv)
    if options.command == "simulate":
        return cli.run(options)
    if options.command == "bench":
        return _bench(options.benchmarks)
    from korvel._selfcheck import run

    return run(size=options.size, repeats=options.repeats, seed=options.seed)


if __name__ == "__main__":
    sys.exit(main())
