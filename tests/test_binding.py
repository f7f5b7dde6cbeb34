"""Argument binding and scalar conversion, driven by the table of the ten signatures."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

from korvel import pelorine
from signatures import SIGNATURES, parameters, valid_arguments

FUNCTIONS = sorted(SIGNATURES)
BUFFER_MESSAGES = ("Buffer ", "Item size", "Big-endian", "Unexpected format")


def call(function: str, *args, **kwargs):
    return getattr(pelorine, function)(*args, **kwargs)


def binds(function: str, *args, **kwargs) -> bool:
    """True when the call got past binding (its body may still reject the tiny arrays)."""
    try:
        call(function, *args, **kwargs)
    except (NotImplementedError, ValueError) as error:
        return not str(error).startswith(BUFFER_MESSAGES)
    return True


def counts(function: str) -> tuple[int, int]:
    params = parameters(function)
    return sum(not p.optional for p in params), len(params)


def raises(exception, message: str, function: str, *args, **kwargs) -> None:
    with pytest.raises(exception) as info:
        call(function, *args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("function", FUNCTIONS)
def test_valid_arguments_bind_by_position_and_by_keyword(function):
    args = valid_arguments(function)
    names = [p.name for p in parameters(function)]
    assert binds(function, *args)
    assert binds(function, **dict(reversed(list(zip(names, args)))))
    # Keyword names that are equal strings but not the interned ones still match.
    assert binds(function, **{"".join(list(n)): a for n, a in zip(names, args)})


@pytest.mark.parametrize("function", FUNCTIONS)
def test_positional_count_messages(function):
    required, total = counts(function)
    args = valid_arguments(function)
    few, many = ("exactly", "exactly") if required == total else ("at least", "at most")
    s = "" if required == 1 else "s"
    raises(TypeError, f"{function}() takes {few} {required} positional argument{s} "
           f"({required - 1} given)", function, *args[: required - 1])
    raises(TypeError, f"{function}() takes {many} {total} positional arguments ({total + 1} given)",
           function, *args, 0)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_missing_parameter_after_keywords_reports_its_index(function):
    required, total = counts(function)
    params, args = parameters(function), valid_arguments(function)
    keywords = {p.name: a for p, a in zip(params[2:], args[2:])}
    few = "exactly" if required == total else "at least"
    raises(TypeError, f"{function}() takes {few} {required} positional arguments (1 given)",
           function, args[0], **keywords)
    # A missing parameter is reported before an unexpected keyword is looked at.
    raises(TypeError, f"{function}() takes {few} {required} positional arguments "
           f"({required - 1} given)", function, *args[: required - 1], bogus=1)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_keyword_errors(function):
    params, args = parameters(function), valid_arguments(function)
    raises(TypeError, f"{function}() got multiple values for keyword argument '{params[0].name}'",
           function, *args, **{params[0].name: args[0]})
    raises(TypeError, f"{function}() got an unexpected keyword argument 'bogus'",
           function, *args, bogus=1)


class Raises:
    """Raises from every conversion hook."""

    def __float__(self):
        raise ZeroDivisionError("float hook")

    def __int__(self):
        raise ZeroDivisionError("int hook")

    def __bool__(self):
        raise ZeroDivisionError("bool hook")


class IntReturnsStr:
    def __int__(self):
        return "x"


class IntSubclass(int):
    pass


class IntReturnsSubclass:
    def __int__(self):
        return IntSubclass(3)


SCALAR_FAULTS = {
    # kind: [(value, exception, message or None to only check the type)]
    "d": [
        ("1.0", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (Raises(), ZeroDivisionError, "float hook"),
        (2**1100, OverflowError, "int too large to convert to float"),
    ],
    "i": [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**70, OverflowError, "value too large to convert to int"),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (Raises(), ZeroDivisionError, "int hook"),
        (IntReturnsStr(), TypeError, "__int__ returned non-int (type str)"),
    ],
    "b": [(Raises(), ZeroDivisionError, "bool hook")],
}
SCALAR_CASES = [
    pytest.param(function, index, value, exception, message,
                 id=f"{function}-{p.name}-{type(value).__name__}")
    for function in FUNCTIONS
    for index, p in enumerate(parameters(function))
    if not p.is_array
    for value, exception, message in SCALAR_FAULTS[p.kind]
]


@pytest.mark.parametrize("function, index, value, exception, message", SCALAR_CASES)
def test_scalar_conversion_errors(function, index, value, exception, message):
    args = valid_arguments(function)
    args[index] = value
    raises(exception, message, function, *args)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_scalars_convert_before_arrays_are_type_tested(function):
    params, args = parameters(function), valid_arguments(function)
    first_array = next(i for i, p in enumerate(params) if p.is_array)
    last_scalar = max(i for i, p in enumerate(params) if not p.is_array)
    args[first_array] = [1.0]
    args[last_scalar] = Raises()
    with pytest.raises(ZeroDivisionError):
        call(function, *args)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_integer_conversion_accepts_int_like_objects(function):
    params, args = parameters(function), valid_arguments(function)
    for index in (i for i, p in enumerate(params) if p.kind == "i" and not p.is_array):
        trial = list(args)
        trial[index] = 1.9  # truncated toward zero
        assert binds(function, *trial)
        trial[index] = np.int64(1)
        assert binds(function, *trial)
        trial[index] = IntReturnsSubclass()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert binds(function, *trial)
        assert any(issubclass(w.category, DeprecationWarning) for w in caught)


ARRAY_CASES = [
    pytest.param(function, index, id=f"{function}-{p.name}")
    for function in FUNCTIONS
    for index, p in enumerate(parameters(function))
    if p.is_array
]


@pytest.mark.parametrize("function, index", ARRAY_CASES)
def test_array_type_test_and_acquisition_messages(function, index):
    from signatures import DTYPES, ELEMENT_NAMES

    param = parameters(function)[index]
    args = valid_arguments(function)
    args[index] = [0.0]
    raises(TypeError, f"Argument '{param.name}' has incorrect type (expected numpy.ndarray, got list)",
           function, *args)
    args[index] = np.zeros((1,) * (param.ndim + 1), DTYPES[param.kind])
    raises(ValueError, f"Buffer has wrong number of dimensions (expected {param.ndim}, "
           f"got {param.ndim + 1})", function, *args)
    wrong, described = (np.float32, "'float'") if param.kind != "f" else (np.int32, "'int'")
    args[index] = np.zeros((1,) * param.ndim, wrong)
    raises(ValueError, f"Buffer dtype mismatch, expected '{ELEMENT_NAMES[param.kind]}' but got "
           f"{described}", function, *args)
    args[index] = None
    if param.optional:
        assert binds(function, *args)
    else:
        raises(TypeError, f"Argument '{param.name}' must not be None", function, *args)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_arrays_are_type_tested_before_any_is_acquired(function):
    params, args = parameters(function), valid_arguments(function)
    arrays = [i for i, p in enumerate(params) if p.is_array]
    args[arrays[0]] = np.zeros((1,) * params[arrays[0]].ndim, np.float32 if params[arrays[0]].kind != "f" else np.int32)
    args[arrays[-1]] = "not an array"
    with pytest.raises(TypeError, match=f"Argument '{params[arrays[-1]].name}' has incorrect type"):
        call(function, *args)
