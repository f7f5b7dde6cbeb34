"""Self-check of the native module: every built function against ``korvel.reference``, timed.

Each entry of ``CASES`` names a function and builds the arguments of one call from a seeded
generator. The runner calls the native function and its reference namesake on separate copies of
those arguments, compares every array afterwards (and every returned array) bit for bit, and times
both. To register a function, append one ``Case`` whose builder returns fresh arrays and scalars.
"""

from __future__ import annotations

import os
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from korvel.examples import EXAMPLES
from korvel.testing import same_bits

Args = tuple[Any, ...] | dict[str, Any]  # positional or keyword arguments of one call


@dataclass(frozen=True)
class Case:
    name: str
    build: Callable[[np.random.Generator, int], Args]


def _team() -> int:
    return os.cpu_count() or 1


CASES: list[Case] = [Case(name, builder) for name, builder in EXAMPLES.items()]


@dataclass
class Row:
    name: str
    status: str  # "yes", "no", "not built", or "error: ..."
    native_seconds: float | None = None
    reference_seconds: float | None = None

    @property
    def failed(self) -> bool:
        return self.status not in ("yes", "not built")


def _fresh(args: Args) -> Args:
    if isinstance(args, dict):
        return {k: a.copy() if isinstance(a, np.ndarray) else a for k, a in args.items()}
    return tuple(a.copy() if isinstance(a, np.ndarray) else a for a in args)


def _call(function: Callable[..., Any], args: Args) -> Any:
    return function(**args) if isinstance(args, dict) else function(*args)


def _arrays(value: Any) -> list[np.ndarray]:
    """The arrays of a call's arguments or result, in order (a result may be a tuple)."""
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, (tuple, list)):
        return [a for item in value for a in _arrays(item)]
    return []


def _median_seconds(function: Callable[..., Any], args: Args, repeats: int) -> float:
    samples = []
    for _ in range(repeats):
        call_args = _fresh(args)  # in-place functions get unmodified inputs every time
        start = time.perf_counter()
        _call(function, call_args)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def check_case(case: Case, native: Any, reference: Any, size: int, repeats: int,
               seed: int) -> Row:
    native_function = getattr(native, case.name)
    reference_function = getattr(reference, case.name, None)
    args = case.build(np.random.default_rng(seed), size)
    native_args, reference_args = _fresh(args), _fresh(args)
    try:
        native_result = _call(native_function, native_args)
    except NotImplementedError:
        return Row(case.name, "not built")
    except Exception as error:  # a builder or kernel fault is reported, not raised
        return Row(case.name, f"error: {type(error).__name__}: {error}")
    if reference_function is None:
        return Row(case.name, "error: no reference function")
    try:
        reference_result = _call(reference_function, reference_args)
    except Exception as error:
        return Row(case.name, f"error: reference {type(error).__name__}: {error}")

    native_arrays = _arrays(native_args) + _arrays(native_result)
    reference_arrays = _arrays(reference_args) + _arrays(reference_result)
    identical = len(native_arrays) == len(reference_arrays) and all(
        same_bits(a, b) for a, b in zip(native_arrays, reference_arrays))
    return Row(case.name, "yes" if identical else "no",
               _median_seconds(native_function, args, repeats),
               _median_seconds(reference_function, args, repeats))


def _milliseconds(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:.3f} ms"


def format_table(rows: list[Row]) -> str:
    header = ("function", "bit-identical", "native", "reference", "ratio")
    lines = [header]
    for row in rows:
        ratio = "-"
        if row.native_seconds and row.reference_seconds is not None:
            ratio = f"{row.reference_seconds / row.native_seconds:.1f}x"
        lines.append((row.name, row.status, _milliseconds(row.native_seconds),
                      _milliseconds(row.reference_seconds), ratio))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join(
        "  ".join(cell.ljust(width) if i < 2 else cell.rjust(width)
                  for i, (cell, width) in enumerate(zip(line, widths))).rstrip()
        for line in lines)


def run(size: int = 20_000, repeats: int = 5, seed: int = 20261208,
        cases: list[Case] | None = None, out: Any = None) -> int:
    """Check and time every case; print the table. Returns 1 if a built function differs."""
    from korvel import pelorine, reference

    out = sys.stdout if out is None else out
    print(f"korvel self-check: {size} voxels, seed {seed}, median of {repeats} runs, "
          f"{_team()} threads, numpy {np.__version__}", file=out)
    rows = [check_case(case, pelorine, reference, size, repeats, seed)
            for case in (CASES if cases is None else cases)]
    print(format_table(rows), file=out)
    failed = [row.name for row in rows if row.failed]
    if failed:
        print(f"FAILED: {', '.join(failed)}", file=out)
        return 1
    return 0
