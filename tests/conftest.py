"""Shared helpers of the test suite: seeded random data and bit-for-bit comparison."""

from __future__ import annotations

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

from korvel.testing import same_bits  # noqa: E402,F401

THREAD_COUNTS = (1, 2, 3, 64)

SPECIAL_VALUES = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-310, -1e308, 1.0])


def sprinkle(rng: np.random.Generator, values: np.ndarray, fraction: float = 0.1) -> np.ndarray:
    """Replace a random fraction of the (float or complex) entries by NaN, infinities, signed zeros."""
    flat = values.reshape(-1).view(np.float64)
    count = max(1, int(flat.size * fraction)) if flat.size else 0
    where = rng.choice(flat.size, size=count, replace=False) if count else []
    flat[where] = rng.choice(SPECIAL_VALUES, size=count)
    return values


def run_python(source: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run Python source in a fresh interpreter that imports the installed package."""
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261208)
