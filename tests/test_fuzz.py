"""Every function, from a valid call damaged in one argument: it either succeeds bit for bit like
the NumPy path or raises TypeError, ValueError, OverflowError or the caller's own exception with
every array untouched, and the NumPy path agrees on which (same type and message).

Each array of a call lives inside a larger buffer of random guard bytes, so a write anywhere
outside an array's own elements shows up, whatever the call's outcome.

A bounded, repeatable set of examples runs by default; a long campaign draws fresh ones:
``KORVEL_FUZZ_EXAMPLES=20000 python -m pytest tests/test_fuzz.py``.

Where the two paths may legitimately disagree on success or on the error, the damage is marked
``mirrored=False`` (when both succeed they must still agree bit for bit):
- element types, numbers of dimensions and alignment are checked by the native buffer contract
  only; the NumPy path computes with whatever array it is given, or fails in its own way;
- scalars: the native module converts through the C API (32-bit range for integers, which it
  converts through ``__int__`` only; no strings), the NumPy path with ``float()`` and ``int()``,
  so out-of-range integers, strings, None, complex numbers and ``__index__``-only objects bind
  in one path only or fail there with other messages.
"""

from __future__ import annotations

import os
import warnings
from typing import Any, Callable

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from calls import ALLOWED, ARRAY_DAMAGES, BUILT, CALLS, SCALAR_DAMAGES, Damage, damaged_call
from conftest import same_bits
from korvel import pelorine, reference
from signatures import parameters

SANITIZED = os.environ.get("KORVEL_SANITIZED") == "1"
EXAMPLES = int(os.environ.get("KORVEL_FUZZ_EXAMPLES", "50" if SANITIZED else "200"))
settings.register_profile(
    "fuzz", max_examples=EXAMPLES, deadline=None,
    derandomize="KORVEL_FUZZ_EXAMPLES" not in os.environ,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def run(function: Callable, call: dict, positional: int) -> tuple[Any, BaseException | None]:
    """Calls with the first ``positional`` arguments by position and the rest by keyword."""
    names = [p.name for p in parameters(function.__name__)][:positional]
    names = names[:next((i for i, name in enumerate(names) if name not in call), len(names))]
    args = [call[name] for name in names]
    kwargs = {name: value for name, value in call.items() if name not in names}
    try:
        return function(*args, **kwargs), None
    except BaseException as error:  # noqa: BLE001 - anything else must reach the assertions
        return None, error


def describe(error: BaseException | None) -> str:
    return "success" if error is None else f"{type(error).__name__}: {error}"


def same_result(got, expected) -> bool:
    if isinstance(expected, tuple):
        return (isinstance(got, tuple) and len(got) == len(expected)
                and all(same_result(g, e) for g, e in zip(got, expected)))
    if isinstance(expected, np.ndarray):
        return type(got) is np.ndarray and got.flags.c_contiguous and same_bits(got, expected)
    return got is expected


def check_call(function: str, seed: int, n: int, num_threads: int, damage: Damage | None,
               positional: int) -> None:
    written = set(CALLS[function].written)
    call, arena = damaged_call(function, seed, n, num_threads, damage)
    before = arena.snapshot()
    result, error = run(getattr(pelorine, function), call, positional)
    what = f"{function} with {damage}: native {describe(error)}"

    if error is not None:
        assert isinstance(error, ALLOWED), what
        assert not arena.changed(before), f"{what}: changed {arena.changed(before)}"
    else:
        assert not arena.changed_outside(before), \
            f"{what}: wrote outside {arena.changed_outside(before)}"
        unwritten = {name for name, _, _ in arena.placed} - written
        assert not arena.changed(before, unwritten), \
            f"{what}: changed {arena.changed(before, unwritten)}"
    expected_call, expected_arena = damaged_call(function, seed, n, num_threads, damage)
    expected_before = expected_arena.snapshot()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected, expected_error = run(getattr(reference, function), expected_call, positional)
    what = f"{what}, NumPy {describe(expected_error)}"
    if damage is None or damage.mirrored:
        assert type(error) is type(expected_error) and str(error) == str(expected_error), what
        if error is not None:
            assert not expected_arena.changed(expected_before), f"{what}: the NumPy path wrote"
    # What the native module accepts, it computes as the NumPy path does.
    if error is None and expected_error is None:
        assert same_result(result, expected), what
        for name in written & call.keys():
            if isinstance(call[name], np.ndarray):
                assert same_bits(call[name], expected_call[name]), f"{what}: {name} differs"


@st.composite
def damages(draw, function: str) -> Damage | None:
    if draw(st.integers(0, 9)) == 0:
        return None  # the valid call itself
    indices = [p for p in parameters(function) if p.is_array and p.kind in "lqy"]
    if indices and draw(st.integers(0, 3)) == 0:  # group indices, offsets, kinds, payloads
        param = draw(st.sampled_from(indices))
        return Damage(param.name, "entry", True, draw(st.integers(0, 2**16)))
    param = draw(st.sampled_from(parameters(function)))
    if param.is_array:
        label, mirrored = draw(st.sampled_from(ARRAY_DAMAGES))
    else:
        label, _, mirrored = draw(st.sampled_from(SCALAR_DAMAGES[param.kind]))
    return Damage(param.name, label, mirrored, draw(st.integers(0, 2**16)))


@pytest.mark.parametrize("function", BUILT)
@settings(settings.get_profile("fuzz"))
@given(data=st.data())
def test_one_damaged_argument(function, data):
    check_call(
        function,
        seed=data.draw(st.integers(0, 2**32 - 1), label="seed"),
        n=data.draw(st.integers(0, 5), label="n"),
        num_threads=data.draw(st.sampled_from((1, 2, 3, 64)), label="num_threads"),
        damage=data.draw(damages(function), label="damage"),
        positional=data.draw(st.sampled_from((0, 3, 100)), label="positional"),
    )
