"""The installed type stubs and the self-check runner agree with what they describe, and the
built extension holds no fused multiply-add instruction."""

from __future__ import annotations

import ast
import io
import re
import shutil
import subprocess
import types
from pathlib import Path

import numpy as np
import pytest

from korvel import _selfcheck, pelorine
from signatures import parameters

ANNOTATIONS = {
    "d": "float", "i": "int", "b": "bool",
    "f": "_Float64Array", "c": "_Complex128Array", "q": "NDArray[np.int64]",
    "l": "NDArray[np.int32]", "y": "NDArray[np.int8]", "?": "_BoolArray",
}


def _stub_parameters() -> dict[str, ast.arguments]:
    stub = Path(pelorine.__file__).with_name("pelorine.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


STUBS = _stub_parameters()


def test_stubs_cover_exactly_the_exported_functions():
    exported = {name for name, value in vars(pelorine).items()
                if isinstance(value, types.BuiltinFunctionType)}
    assert set(STUBS) == exported
    assert len(exported) == 10


@pytest.mark.parametrize("name", sorted(STUBS))
def test_stub_annotations_follow_the_signature_table(name):
    stub = STUBS[name]
    expected = [(p.name, ANNOTATIONS[p.kind] + (" | None" if p.optional and p.is_array else ""))
                for p in parameters(name)]
    assert [(a.arg, ast.unparse(a.annotation)) for a in stub.args] == expected
    optional = [p.name for p in parameters(name) if p.optional]
    assert [a.arg for a in stub.args[len(stub.args) - len(stub.defaults):]] == optional


@pytest.mark.parametrize("name", sorted(STUBS))
def test_stub_parameters_match_the_binder(name):
    parameters = STUBS[name]
    names = [argument.arg for argument in parameters.args]
    required = len(names) - len(parameters.defaults)
    function = getattr(pelorine, name)
    with pytest.raises(TypeError) as excinfo:
        function()
    bound = "exactly" if required == len(names) else "at least"
    plural = "" if required == 1 else "s"
    assert str(excinfo.value) == (
        f"{name}() takes {bound} {required} positional argument{plural} (0 given)")
    # Splitting the stub's names between positions and keywords at every point binds all of
    # them only if names and order agree; the call then fails later, converting None.
    for split in range(len(names)):
        with pytest.raises(TypeError) as excinfo:
            function(*[None] * split, **dict.fromkeys(names[split:]))
        assert not re.search("unexpected keyword|multiple values|positional argument",
                             str(excinfo.value)), (split, str(excinfo.value))


def _scale(values, factor):
    values *= factor


def _scale_one_ulp_off(values, factor):
    values *= factor
    values[0] = np.nextafter(values[0], np.inf)


def _returns_scaled(values, factor):
    return values * factor


def _returns_negative_zero(values, factor):
    result = values * factor
    result[0] = -0.0  # the reference gives +0.0 here; equal as numbers, not as bits
    return result


def _not_built(values, factor):
    raise NotImplementedError("f is not built yet")


def _rejects(values, factor):
    raise ValueError("values must be positive")


@pytest.mark.parametrize("native, reference, status", [
    (_scale, _scale, "yes"),
    (_scale_one_ulp_off, _scale, "no"),
    (_returns_scaled, _returns_scaled, "yes"),
    (_returns_negative_zero, _returns_scaled, "no"),
    (_returns_scaled, _scale, "no"),  # a result the reference does not return
    (_not_built, _scale, "not built"),
    (_rejects, _scale, "error: ValueError: values must be positive"),
])
def test_self_check_compares_every_array_bit_for_bit(native, reference, status):
    case = _selfcheck.Case(
        "f", lambda rng, size: (np.concatenate(([0.0], rng.standard_normal(size - 1))), 3.0))
    row = _selfcheck.check_case(case, types.SimpleNamespace(f=native),
                                types.SimpleNamespace(f=reference), size=8, repeats=1, seed=1)
    assert row.status == status
    assert row.failed == (status not in ("yes", "not built"))


def test_self_check_passes_on_the_registered_functions():
    out = io.StringIO()
    assert _selfcheck.run(size=64, repeats=1, out=out) == 0, out.getvalue()
    for case in _selfcheck.CASES:
        assert re.search(rf"^{case.name}\s+(yes|not built)\s", out.getvalue(), re.M)


# vfmadd231pd, vfnmsub132sd, vfmaddsub213pd, ...: every x86 fused multiply-add form.
FUSED_INSTRUCTION = re.compile(r"\bvf(?:n?m(?:add|sub)|maddsub|msubadd)\d{3}[ps][dsh]\b")


def test_the_extension_holds_no_fused_multiply_add_instruction():
    """Every code path of every instruction-set variant, including ones no test reaches: the
    compiler must not fuse even where it recognises a pattern (a complex product, say)."""
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", pelorine.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert "mulpd" in listing  # the disassembly did list the kernels (any variant)
    assert sorted(set(FUSED_INSTRUCTION.findall(listing))) == []
    assert FUSED_INSTRUCTION.search("vfmaddsub132pd %xmm4,%xmm2,%xmm1")
    assert FUSED_INSTRUCTION.search("vfnmadd231sd %xmm1,%xmm2,%xmm3")
