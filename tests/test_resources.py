"""No call keeps anything: after every success and every error path the arguments' buffer exports
and references are gone, and ten thousand calls leave the resident memory where it was.

A buffer export holds a reference to its array, so the reference counts show a forgotten
release; so does ``ndarray.resize`` with its reference check, which fails while any other
reference exists (with ``refcheck=False`` NumPy resizes even an array whose buffer is exported).
"""

from __future__ import annotations

import gc
import os
import resource
import sys

import numpy as np
import pytest

from calls import ALLOWED, BUILT, Damage, damaged_call
from korvel import pelorine
from signatures import parameters

SANITIZED = os.environ.get("KORVEL_SANITIZED") == "1"
SEED, N, NUM_THREADS = 7, 3, 2
CALLS_PER_CHECK = 20

# One damage of each kind that has an error path of its own, tried on the parameters in order
# until one makes the call fail: binding, conversion, acquisition, body checks, added checks.
ERROR_KINDS = [
    ("list", "array", range(1)), ("None", "array", range(1)), ("2**31", "i", range(1)),
    ("int 10**400", "d", range(1)), ("__float__ raises", "d", range(1)),
    ("__int__ raises", "i", range(1)), ("__bool__ raises", "b", range(1)),
    ("ndim", "array", range(1)), ("dtype", "array", range(1)), ("shape", "array", range(4)),
    ("fortran", "array", range(1)), ("flags raises", "array", range(1)),
    ("read-only", "array", range(1)), ("misaligned", "array", range(1)),
    ("entry", "index array", range(12)),
]


def outcome(function: str, damage: Damage | None) -> BaseException | None:
    call, _ = damaged_call(function, SEED, N, NUM_THREADS, damage)
    try:
        getattr(pelorine, function)(**call)
    except ALLOWED as error:
        return error
    return None


def first_failing(function: str, label: str, kind: str, choices) -> Damage | None:
    for param in parameters(function):
        if not param.is_array:
            if param.kind != kind:
                continue
        elif kind != "array" and not (kind == "index array" and param.kind in "lq"):
            continue
        if label == "None" and param.optional:
            continue
        for choice in choices:
            damage = Damage(param.name, label, True, choice)
            if outcome(function, damage) is not None:
                return damage
    return None


def cases() -> list:
    found = []
    for function in BUILT:
        found.append(pytest.param(function, None, id=f"{function}-success"))
        for label, kind, choices in ERROR_KINDS:
            damage = first_failing(function, label, kind, choices)
            if damage is not None:
                found.append(pytest.param(function, damage, id=f"{function}-{label}"))
    return found


CASES = cases()


def arguments(function: str, damage: Damage | None, num_threads: int = NUM_THREADS) -> dict:
    """A call whose undamaged arrays own their data, so that they can be resized."""
    call, _ = damaged_call(function, SEED, N, num_threads, damage, guarded=False)
    return call


def call_once(function, call) -> None:
    try:
        function(**call)
    except ALLOWED:
        pass


@pytest.mark.parametrize("function, damage", CASES)
def test_references_and_buffer_exports_are_released(function, damage):
    native = getattr(pelorine, function)
    call = arguments(function, damage)
    for _ in range(3):
        call_once(native, call)  # first-call caches, specialised bytecode
    # Small ints are shared by the whole interpreter; every other argument is the caller's own.
    values = [value for value in call.values() if not isinstance(value, int)]
    before = [sys.getrefcount(value) for value in values]
    none_before = sys.getrefcount(None)
    for _ in range(CALLS_PER_CHECK):
        call_once(native, call)
    assert [sys.getrefcount(value) for value in values] == before
    # The interpreter's own references to None move a little; a leak would move them by one
    # per call.
    assert abs(sys.getrefcount(None) - none_before) < CALLS_PER_CHECK // 2
    del values
    owners = [name for name, value in call.items()
              if isinstance(value, np.ndarray) and value.base is None and value.size]
    for name in owners:
        array = call.pop(name)
        array.resize((array.size + 1,))  # raises while anything else refers to the array


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator holds freed memory back")
@pytest.mark.parametrize("function, damage", CASES)
def test_ten_thousand_calls_keep_memory_flat(function, damage):
    native = getattr(pelorine, function)
    # A team of one: the calls run the same code apart from the runtime's thread team, and ten
    # thousand team wake-ups take long on a busy machine.
    call = arguments(function, damage, num_threads=1)
    for _ in range(300):
        call_once(native, call)
    gc.collect()
    start = resident_bytes()
    for _ in range(10_000):
        call_once(native, call)
    gc.collect()
    assert resident_bytes() - start < 64 * 1024
