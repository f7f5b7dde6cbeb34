"""Shared helpers of the test suite: seeded random data and bit-for-bit comparison."""

from __future__ import annotations

import ctypes
import mmap
import os
import subprocess
import sys
import textwrap

# Test the installed package: `python -m pytest` puts the source folder first on sys.path, and
# the `korvel` folder there has no compiled extension.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

import numpy as np  # noqa: E402
import pytest  # noqa: E402

from korvel.testing import SPECIAL_VALUES, same_bits, sprinkle  # noqa: E402,F401

THREAD_COUNTS = (1, 2, 3, 64)


def run_python(source: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run Python source in a fresh interpreter that imports the installed package."""
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=timeout)


_libc = ctypes.CDLL(None, use_errno=True)
_PROT_NONE = 0


def fenced(array: np.ndarray) -> np.ndarray:
    """A C-ordered copy of ``array`` that ends where an inaccessible page begins: a kernel that
    reads or writes past its end faults (pytest's fault handler names the test) instead of
    quietly using whatever lies beyond."""
    array = np.ascontiguousarray(array)
    page = mmap.PAGESIZE
    pages = max(1, -(-array.nbytes // page))
    region = mmap.mmap(-1, (pages + 1) * page)
    address = ctypes.addressof(ctypes.c_char.from_buffer(region))
    if _libc.mprotect(ctypes.c_void_p(address + pages * page), ctypes.c_size_t(page),
                      _PROT_NONE) != 0:
        raise OSError(ctypes.get_errno(), "mprotect failed")
    copy = np.frombuffer(region, dtype=array.dtype, count=array.size,
                         offset=pages * page - array.nbytes).reshape(array.shape)
    copy[...] = array
    return copy


def copy_keeping_strides(array: np.ndarray) -> np.ndarray:
    """A copy of ``array`` laid out with its strides, gaps and zero strides included, so that a
    strided or broadcast view reaches the function under test as such (``array.copy()`` would
    make it contiguous)."""
    strides = array.strides
    if array.size == 0 or array.flags.c_contiguous or any(s < 0 for s in strides):
        return array.copy()
    span = sum((n - 1) * s for n, s in zip(array.shape, strides)) + array.itemsize
    storage = np.zeros(-(-span // array.itemsize), array.dtype)
    copy = np.lib.stride_tricks.as_strided(storage, array.shape, strides)
    copy[...] = array
    return copy


def copy_arrays(arguments: dict) -> dict:
    """The arguments with every array copied (keeping its strides), other values as they are."""
    return {k: copy_keeping_strides(v) if isinstance(v, np.ndarray) else v
            for k, v in arguments.items()}


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261208)
