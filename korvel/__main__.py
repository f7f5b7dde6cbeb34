"""``python -m korvel``: check every built native function against the NumPy reference.

``python -m korvel bench [options]`` runs the benchmark suite of a source checkout
(``benchmarks/suite.py``; ``python -m korvel bench --help`` lists its options).
``python -m korvel simulate`` simulates an experiment (``--config FILE.toml``; default: the
embedded phantom), prints its summary and writes its curves (``--output DIR``).
``python -m korvel fit FILE`` fits kinetic maps to the series in a .npz or .mat file
(``python -m korvel fit --help`` lists its options).
"""

from __future__ import annotations

import argparse
import runpy
import sys
from pathlib import Path


def _bench(argv: list[str]) -> int:
    """Runs benchmarks/suite.py (or the one in --benchmarks DIR) with the remaining options."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--benchmarks", type=Path, default=Path("benchmarks"))
    options, rest = parser.parse_known_args(argv)
    suite = options.benchmarks / "suite.py"
    if not suite.is_file():
        print("benchmarks: see benchmarks/ in a source checkout (run from its root, or pass "
              "--benchmarks DIR)")
        return 2
    return runpy.run_path(str(suite), run_name="korvel_bench")["main"](rest)


def main(argv: list[str] | None = None) -> int:
    from korvel._startup import restore_interrupt

    restore_interrupt()
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["bench"]:
        return _bench(argv[1:])
    if argv[:1] == ["fit"]:
        from korvel.cli import fit

        return fit.main(argv[1:])
    parser = argparse.ArgumentParser(prog="python -m korvel", description=__doc__.splitlines()[0])
    parser.add_argument("command", nargs="?", choices=("check", "bench", "simulate", "fit"),
                        default="check",
                        help="check (default); bench: the benchmark suite, with its own options; "
                             "simulate: an experiment; fit FILE: kinetic maps, with its own "
                             "options")
    parser.add_argument("--size", type=int, default=20_000, help="voxels per block (check)")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs per function (check)")
    parser.add_argument("--seed", type=int, default=20261208, help="random seed (check)")
    from korvel.cli import simulate as cli

    cli.add_arguments(parser)
    options = parser.parse_args(argv)
    if options.command == "simulate":
        return cli.run(options)
    from korvel._selfcheck import run

    return run(size=options.size, repeats=options.repeats, seed=options.seed)


if __name__ == "__main__":
    try:
        status = main()
    except KeyboardInterrupt:
        print("interrupted; no output was changed", file=sys.stderr)
        status = 130
    sys.exit(status)
