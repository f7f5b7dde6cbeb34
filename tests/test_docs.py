"""The documentation's generated pages: the configuration reference and the kernels' page."""

from __future__ import annotations

import dataclasses
import importlib.util
import io
import sys
import tomllib
from pathlib import Path
from typing import Mapping

import pytest

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("korvel_docs", ROOT / "docs/_ext/korvel_docs.py")
docs = sys.modules["korvel_docs"] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(docs)


def _template() -> str:
    from korvel.host.config import default_config_text

    return default_config_text()


def test_reference_lists_every_table_and_key_of_the_template():
    text = _template()
    parsed = tomllib.loads(text)
    template = docs.parse_config_template(text)
    names = [t.name for t in template.tables]
    assert list(dict.fromkeys(name.split(".")[0] for name in names)) == list(parsed)
    for table in template.tables:
        entries = parsed
        for part in table.name.split("."):
            entries = entries[part]
        # A nested table ([[phantom.regions]]) is a section of its own, not a key.
        nested = {name.rpartition(".")[2] for name in names
                  if name.rpartition(".")[0] == table.name}
        if table.array:
            assert table.entries == len(entries)
            assert set(table.keys) == set().union(*entries) - nested
        else:
            assert list(table.keys) == [key for key in entries if key not in nested]


@pytest.mark.parametrize("text, table, key, value, comment", [
    ("[a]\nx = 1  # inline\n", "a", "x", "1", ["inline"]),
    ("[a]\n# above\n# two lines\nx = 1\n", "a", "x", "1", ["above", "two lines"]),
    ("[a]\n# above\nx = 1 # and inline\n", "a", "x", "1", ["above", "and inline"]),
    # a "#" inside a string is part of the value
    ('[a]\nx = "b#c"  # real\n', "a", "x", '"b#c"', ["real"]),
    ('[a]\nx = { k = "#" }\n', "a", "x", '{ k = "#" }', []),
    # a value over several lines
    ("[a]\nx = [\n  1,\n  2,\n]  # list\n", "a", "x", "[ 1, 2, ]", ["list"]),
])
def test_key_values_and_comments(text, table, key, value, comment):
    parsed = docs.parse_config_template(text)
    (only,) = [t for t in parsed.tables if t.name == table]
    (item,) = only.keys[key]
    assert (item.value, item.comment) == (value, comment)


def test_comment_above_a_header_describes_the_table():
    parsed = docs.parse_config_template(
        "# preamble\n\n# first\n[[m]]\nx = 1\n\n[[m]]\nx = 2\ny = 3\n\n# about b\n[b]\n")
    assert parsed.preamble == ["preamble"]
    m, b = parsed.tables
    assert (m.comment, m.entries, [i.value for i in m.keys["x"]]) == (["first"], 2, ["1", "2"])
    assert b.comment == ["about b"]


@pytest.mark.parametrize("text", ["[a]\nx = \n", "[a\n", "x = 1\n"])
def test_broken_template_is_an_error(text):
    with pytest.raises((ValueError, tomllib.TOMLDecodeError)):
        docs.parse_config_template(text)


MARKUP = """# Preamble with `code`, a*b, x_ and |y|.
[t]
k = "a``b"   # star * pipe | end_ <angle> back\\slash `lit`
"""


@pytest.mark.parametrize("text", [None, MARKUP], ids=["template", "markup"])
def test_reference_is_clean_restructuredtext(text):
    core = pytest.importorskip("docutils.core")
    rst = docs.config_reference_rst(_template() if text is None else text)
    # Markup in the comments is escaped or turned into literals.
    assert ("``python -m korvel simulate``" if text is None else "``code``") in rst
    warnings = io.StringIO()
    core.publish_doctree(rst, settings_overrides={
        "report_level": 2, "halt_level": 5, "syntax_highlight": "none",
        "warning_stream": warnings})
    assert warnings.getvalue() == ""


STUB = '''"""Doc."""
from typing import TypeAlias
import numpy as np
from numpy.typing import NDArray
_F: TypeAlias = NDArray[np.float64]
__all__ = ["second", "first", "np"]
def first(a: _F, b: int, c: _F | None = None) -> None: ...
def second(x: float) -> tuple[_F, _F]: ...
def _hidden(y: int) -> None: ...
def unlisted(z: int) -> None: ...
'''


def test_stub_functions_in_export_order_with_aliases_written_out():
    docstring, functions = docs.parse_stub(STUB)
    assert docstring == "Doc."
    assert [(f.name, f.signature) for f in functions] == [
        ("second", "(x: float) -> tuple[NDArray[np.float64], NDArray[np.float64]]"),
        ("first", "(a: NDArray[np.float64], b: int, c: NDArray[np.float64] | None = None)"
                  " -> None"),
    ]


def test_kernels_page_needs_every_docstring():
    rst = docs.kernels_rst(STUB, {"first": "One.\n\n    More.", "second": "Two."}, "m")
    assert ".. py:function:: first(a: NDArray[np.float64]" in rst
    assert "   One.\n\n   More." in rst
    with pytest.raises(ValueError, match="m.first has no docstring"):
        docs.kernels_rst(STUB, {"second": "Two."}, "m")


def test_stub_matches_the_extension():
    from korvel import pelorine

    _, functions = docs.parse_stub((ROOT / "korvel/pelorine.pyi").read_text())
    public = sorted(name for name in dir(pelorine)
                    if callable(getattr(pelorine, name)) and not name.startswith("_"))
    assert sorted(f.name for f in functions) == public
    docs.kernels_rst((ROOT / "korvel/pelorine.pyi").read_text(),
                     {f.name: getattr(pelorine, f.name).__doc__ for f in functions},
                     "korvel.pelorine")


@dataclasses.dataclass
class _Fields:
    label: int | tuple[int, ...] | None = None
    rates: Mapping[str, float] = dataclasses.field(default_factory=dict)
    names: list[str] = dataclasses.field(default_factory=list)


@pytest.mark.parametrize("signature, expected", [
    # a comma inside the annotation (a generic) before the factory
    ("(label: int | tuple[int, ...] | None = None, rates: Mapping[str, float] = <factory>, "
     "names: list[str] = <factory>)",
     "(label: int | tuple[int, ...] | None = None, rates: Mapping[str, float] = dict(), "
     "names: list[str] = list())"),
    ("(rates: dict = <factory>)", "(rates: dict = dict())"),
])
def test_default_factories_become_calls(signature, expected):
    assert docs.default_factories(signature, _Fields) == expected
    assert docs.default_factories(signature, object()) == signature  # not a dataclass


def test_lazy_wrappers_stand_for_their_function():
    import korvel
    from korvel.analysis import figures

    assert docs.lazy_target(korvel.plot_result) is figures.plot_result
    assert docs.lazy_target(korvel.plot_sweep) is figures.plot_sweep
    assert docs.lazy_target(korvel.simulate) is None


def test_gallery_shows_each_korvel_figure_once_and_leaves_pyplot_figures(tmp_path):
    pytest.importorskip("sphinx_gallery")
    plt = pytest.importorskip("matplotlib.pyplot")
    from matplotlib.figure import Figure

    tmp = tmp_path
    paths = iter(tmp / f"image_{n}.png" for n in range(10))
    korvel_figure, pyplot_figure = Figure(), plt.figure()
    try:
        block_vars = {"example_globals": {"a": korvel_figure, "b": pyplot_figure, "c": 1},
                      "image_path_iterator": paths}
        conf = {"src_dir": str(tmp)}
        first = docs.figure_scraper(None, block_vars, conf)
        again = docs.figure_scraper(None, block_vars, conf)  # the next block
    finally:
        plt.close(pyplot_figure)
    assert "image_0.png" in first and (tmp / "image_0.png").is_file()
    assert again == "" and not (tmp / "image_1.png").exists()
