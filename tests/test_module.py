"""Module attributes, docstrings, and what importing does in unusual processes."""

from __future__ import annotations

import importlib
import sys
import textwrap

import numpy as np
import pytest

from korvel import pelorine
from conftest import run_python
from signatures import SIGNATURES

FIRST_DOC_LINES = {
    "prepare_spatial_rf_rotation_coefficients":
        "Prepare spatial-B1 coefficients with chunk-stable scalar libm calls.",
    "prepare_transverse_factors_coefficients":
        "Prepare complex free-evolution factors in a chunk-stable order.",
    "run_dynamic_plan_block_no_inflow":
        "Execute complete two-pool plan intervals and observations natively.",
    "run_dynamic_plan_block_multi_pool":
        "Execute a bounded multi-pool precursor-to-products plan block.",
    "apply_rf_rotation_transverse_block":
        "Rotate one RF interval across the complete two-pool voxel block.",
    "apply_spatial_rf_rotation_transverse_block":
        "Rotate one RF interval using precomputed per-spin Float64 B1 data.",
    "apply_longitudinal_step_no_inflow":
        "Apply one longitudinal half-step without evaluating exponentials.",
    "apply_longitudinal_step_with_concentration_inflow":
        "Advance magnetization and concentration in one voxel-parallel pass.",
    "apply_dynamic_rf_block_with_concentration_inflow":
        "Execute two-pool source intervals in one persistent parallel region.",
    "apply_longitudinal_block_no_inflow":
        "Apply many longitudinal half-steps in one voxel-parallel region.",
}


def test_module_attributes():
    assert pelorine.__name__ == "korvel.pelorine"
    assert pelorine.np is np
    assert pelorine.__test__ == {}
    assert sys.modules["korvel.pelorine"] is pelorine
    doc = pelorine.__doc__.splitlines()
    assert doc[0] == "Strict floating-point primitives for the dynamic two-pool pilot kernel."
    assert doc[1] == "" and all(len(line) < 80 for line in doc)
    paragraph = " ".join(doc[2:])
    assert paragraph.endswith(
        "This module only applies those already-rounded values in the same operation order as "
        "the optimized Python implementation. Complex free evolution stays in NumPy; the RF "
        "block reads and writes its complex Mx/My storage as two unchanged doubles.")
    functions = [name for name, value in vars(pelorine).items() if callable(value)]
    assert functions == list(FIRST_DOC_LINES)  # registered in table order


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_attributes(name):
    function = getattr(pelorine, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "korvel.pelorine"
    assert function.__doc__.splitlines()[0] == FIRST_DOC_LINES[name]


def test_multi_line_docstrings_end_with_an_indented_empty_line():
    for name in ("apply_rf_rotation_transverse_block",
                 "apply_longitudinal_step_with_concentration_inflow",
                 "apply_dynamic_rf_block_with_concentration_inflow"):
        lines = getattr(pelorine, name).__doc__.split("\n")
        assert lines[1] == "" and lines[-1] == "    "
        assert all(line.startswith("    ") and len(line) < 80 for line in lines[2:])
    assert pelorine.apply_rf_rotation_transverse_block.__doc__.split("\n")[2:5] == [
        "    The optimized dynamic driver stores Mx/My in a compact complex array. This",
        "    primitive reads and writes that representation directly, avoiding two full",
        "    state synchronizations and all temporary ``numpy.cross`` arrays.",
    ]


def test_reload_keeps_the_one_module():
    assert importlib.reload(pelorine) is pelorine
    assert pelorine.apply_rf_rotation_transverse_block.__module__ == "korvel.pelorine"


def test_an_unusable_numpy_c_api_gives_one_import_error():
    result = run_python("""
        import sys, types
        import numpy
        for name in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"):
            sys.modules[name] = types.ModuleType(name)  # no _ARRAY_API capsule
        try:
            import korvel.pelorine
        except ImportError as error:
            print(type(error).__name__, str(error))
        """)
    assert result.stdout.startswith("ImportError numpy.core.multiarray failed to import ("), result


def test_a_second_interpreter_is_refused():
    result = run_python("""
        import korvel.pelorine
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import korvel.pelorine")
        except Exception as error:
            print(error)
        """)
    assert "Interpreter change detected - this module can only be loaded into one interpreter " \
           "per process." in result.stdout + result.stderr, result
