"""Running a plan-block driver the ways its tests compare: native on a team size or in chunks of
parents, the NumPy path, and a call expected to fail.

Every function takes a ``Driver`` of ``korvel.plan_blocks`` and a block (the keyword arguments of
one call) and never changes the block: calls run on copies that keep each array's strides.
"""

from __future__ import annotations

import numpy as np
import pytest
from conftest import copy_arrays, same_bits

from korvel.plan_blocks import DRIVERS, Driver

DRIVER_KEYS = tuple(DRIVERS)


def run(driver: Driver, block: dict, num_threads: int | None = None, *, reference: bool = False,
        chunk_parents: int | None = None, **changes) -> dict:
    """A copy of ``block`` (with ``changes``) after one call: native with ``num_threads`` (None:
    the block's own), in chunks of ``chunk_parents`` parents on local threads, or the NumPy path."""
    call = copy_arrays(block)
    call.update(changes)
    if num_threads is not None:
        call["num_threads"] = num_threads
    if chunk_parents is not None:
        from korvel import distributed
        getattr(distributed, driver.function)(**call, chunk_parents=chunk_parents, task_threads=2)
    else:
        function = driver.reference() if reference else driver.native()
        assert function(**call) is None
    return call


def run_both(driver: Driver, block: dict, num_threads: int | None = None,
             **changes) -> tuple[dict, dict]:
    """The block after the native call on ``num_threads`` and after the NumPy path."""
    return (run(driver, block, num_threads, **changes),
            run(driver, block, num_threads, reference=True, **changes))


def assert_same(driver: Driver, got: dict, expected: dict, strict: bool = False,
                names: tuple[str, ...] | None = None) -> None:
    """The written arrays (those present) hold the same bits; ``strict`` for NaN signs and
    payloads too, where both results come from the same order of operations."""
    for name in driver.written if names is None else names:
        if got.get(name) is not None:
            assert same_bits(got[name], expected[name], strict=strict), name


def check(driver: Driver, block: dict, teams=(1,), chunks=()) -> dict:
    """Native on every team size, strictly alike, and in chunks of parents, and as the NumPy
    path; returns the native result of the first team.

    Chunks are compared NaN for any NaN, as against the NumPy path: a chunk boundary moves spins
    between whole tiles and the one-lane rest, which may order a NaN's operands otherwise."""
    expected = run(driver, block, reference=True)
    first = None
    for num_threads in teams:
        got = run(driver, block, num_threads)
        assert_same(driver, got, expected)
        if first is None:
            first = got
        else:
            assert_same(driver, got, first, strict=True)
    for chunk_parents in chunks:
        assert_same(driver, run(driver, block, chunk_parents=chunk_parents), first)
    return first


def call_failing(function, block: dict, written: tuple[str, ...]) -> str:
    """The message of the ValueError ``function`` raises on ``block``; it must write nothing."""
    before = copy_arrays(block)
    with pytest.raises(ValueError) as excinfo:
        function(**block)
    for name in written:
        if isinstance(before.get(name), np.ndarray):
            assert np.array_equal(np.ascontiguousarray(block[name]).view(np.uint8),
                                  np.ascontiguousarray(before[name]).view(np.uint8)), name
    return str(excinfo.value)


def implementations(driver: Driver):
    """The native function and the NumPy path, with test ids."""
    return [pytest.param(driver.native(), id="native"),
            pytest.param(driver.reference(), id="reference")]
