"""Which arrays each element type accepts, and what every rejected buffer reports."""

from __future__ import annotations

import numpy as np
import pytest

from korvel import pelorine
from signatures import parameters, valid_arguments

# run_dynamic_plan_block_no_inflow declares every element type; one parameter of each kind.
FUNCTION = "run_dynamic_plan_block_no_inflow"
PARAM_OF_KIND = {"f": "exp_b_by_group", "c": "adc_demodulation", "q": "action_payloads",
                 "l": "action_offsets", "y": "action_kinds", "?": "regular_by_group"}
STRUCT = np.dtype([("a", np.float64)])

CASES = [
    # kind, dtype, message (None: accepted)
    ("f", np.float64, None),
    ("f", np.float32, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
    ("f", np.int64, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long'"),
    ("f", np.longdouble, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long double'"),
    ("f", np.complex128, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'complex double'"),
    ("f", np.bool_, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'bool'"),
    ("f", np.dtype(">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ("f", np.float16, "Unexpected format string character: 'e'"),
    ("f", np.dtype("S3"), "Buffer dtype mismatch, expected 'DTYPE_t' but got a string"),
    ("f", object, "Buffer dtype mismatch, expected 'DTYPE_t' but got Python object"),
    ("f", STRUCT, "Buffer dtype mismatch, expected 'DTYPE_t' but got a struct"),
    ("c", np.complex128, None),
    ("c", np.complex64, "Buffer dtype mismatch, expected 'double complex' but got 'complex float'"),
    ("c", np.float64, "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    ("q", np.int64, None),
    ("q", np.longlong, None),
    ("q", np.int32, "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ("q", np.uint64, "Buffer dtype mismatch, expected 'int64_t' but got 'unsigned long'"),
    ("l", np.int32, None),
    ("l", np.int64, "Buffer dtype mismatch, expected 'int32_t' but got 'long'"),
    ("l", np.int16, "Buffer dtype mismatch, expected 'int32_t' but got 'short'"),
    ("y", np.int8, None),
    ("y", np.uint8, "Buffer dtype mismatch, expected 'int8_t' but got 'unsigned char'"),
    ("?", np.bool_, None),
    ("?", np.uint8, None),
    ("?", np.int8, "Buffer dtype mismatch, expected 'BOOL_t' but got 'signed char'"),
    ("?", np.uint16, "Buffer dtype mismatch, expected 'BOOL_t' but got 'unsigned short'"),
]


def index_of(name: str) -> int:
    return [p.name for p in parameters(FUNCTION)].index(name)


def outcome(args) -> str | None:
    """The acquisition error of the call, or None when its buffers were all accepted."""
    try:
        getattr(pelorine, FUNCTION)(*args)
    except (ValueError, NotImplementedError) as error:
        message = str(error)
        return message if message.startswith(("Buffer", "Big-endian", "Unexpected")) else None
    return None


@pytest.mark.parametrize("kind, dtype, message", CASES,
                         ids=[f"{k}-{np.dtype(d).str}" for k, d, _ in CASES])
def test_element_types(kind, dtype, message):
    index = index_of(PARAM_OF_KIND[kind])
    args = valid_arguments(FUNCTION)
    args[index] = np.zeros(args[index].shape, dtype=dtype)
    assert outcome(args) == message


def test_exporter_errors_propagate():
    args = valid_arguments(FUNCTION)
    args[index_of("exp_b_by_group")] = np.zeros(1, dtype="datetime64[s]")
    with pytest.raises(ValueError, match="cannot include dtype"):
        getattr(pelorine, FUNCTION)(*args)


class Subclass(np.ndarray):
    pass


class BrokenFlags(np.ndarray):
    @property
    def flags(self):
        raise KeyError("no flags here")


def test_subclasses_read_only_arrays_and_flag_errors():
    state = np.zeros((2, 3, 3)).view(Subclass)
    transverse = np.zeros((2, 3), complex)
    pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 1, 0, 0, 1)
    # Read-only arrays that are only read are accepted.
    axis = np.zeros(3)
    axis.flags.writeable = False
    args = valid_arguments(FUNCTION)
    args[index_of("exp_b_by_group")] = axis[:1]
    assert outcome(args) is None
    # The contiguity test reads `flags`; its error reaches the caller.
    with pytest.raises(KeyError, match="no flags here"):
        pelorine.apply_rf_rotation_transverse_block(
            np.zeros((2, 3, 3)).view(BrokenFlags), transverse, 1, 0, 1, 0, 0, 1)


@pytest.mark.parametrize("fault", ["dtype", "ndim", "shape", "contiguity", "readonly", "ok"])
def test_buffers_are_released_on_every_path(fault):
    state = np.zeros((2, 4, 3))
    transverse = np.zeros((2, 4), complex)
    if fault == "dtype":
        transverse = np.zeros((2, 4), np.complex64)
    elif fault == "ndim":
        transverse = np.zeros((2, 4, 1), complex)
    elif fault == "shape":
        transverse = np.zeros((2, 5), complex)
    elif fault == "contiguity":
        transverse = np.zeros((2, 8), complex)[:, ::2]
    elif fault == "readonly":
        transverse.flags.writeable = False
    try:
        pelorine.apply_rf_rotation_transverse_block(state, transverse, 1, 0, 1, 0, 0, 2)
    except ValueError:
        assert fault != "ok"
    # resize fails while any buffer export of the array is alive.
    state.resize((2, 5, 3), refcheck=False)
    if transverse.base is None and transverse.flags.writeable:
        transverse.resize((2, 6), refcheck=False)


def test_misaligned_arrays_are_rejected():
    raw = np.zeros(2 * 3 * 3 * 8 + 1, np.uint8)
    state = raw[1:].view(np.float64).reshape(2, 3, 3)
    assert not state.flags.aligned
    with pytest.raises(ValueError) as info:
        pelorine.apply_rf_rotation_transverse_block(state, np.zeros((2, 3), complex),
                                                    1, 0, 1, 0, 0, 1)
    assert str(info.value) == "state must be aligned"
