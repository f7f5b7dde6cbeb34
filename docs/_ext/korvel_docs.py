"""Pages of the korvel documentation generated from the package's own files at build time.

- ``.. korvel-config::`` renders the embedded experiment template (the text of
  ``python -m korvel simulate --print-config``) as a reference: one section per table, one row
  per key with its template value and its comment, then the whole template.
- ``.. korvel-kernels::`` renders the native extension's functions from its type stub
  (``korvel/pelorine.pyi``: names, order, parameters and their types) with the extension's own
  docstrings.

The text generators are plain functions of strings, so they can be tested without Sphinx.
"""

from __future__ import annotations

import ast
import dataclasses
import importlib
import inspect
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

# --------------------------------------------------------------------------------------------
# The configuration reference


@dataclass
class ConfigKey:
    name: str
    value: str  # the value as written in the template
    comment: list[str] = field(default_factory=list)  # the comment before it, then its own


@dataclass
class ConfigTable:
    name: str
    array: bool  # [[name]]: one table per entry
    comment: list[str] = field(default_factory=list)
    keys: dict[str, list[ConfigKey]] = field(default_factory=dict)  # one per entry
    entries: int = 0


@dataclass
class ConfigTemplate:
    preamble: list[str]
    tables: list[ConfigTable]


_HEADER = re.compile(r"^\s*(\[\[?)\s*([A-Za-z0-9_.\-]+)\s*(\]\]?)\s*(#.*)?$")


def _comment_text(line: str) -> str:
    return line.strip()[1:].strip()


def _split_value(text: str, where: str) -> tuple[str, str, str]:
    """``key = value  # comment`` as (key, value, comment); the value must parse as TOML."""
    # The shortest prefix that parses ends the value: a "#" inside a string does not parse.
    for match in [*re.finditer("#", text), None]:
        candidate = text if match is None else text[:match.start()]
        try:
            parsed = tomllib.loads(candidate)
        except tomllib.TOMLDecodeError:
            continue
        if len(parsed) != 1:
            break
        key, value = candidate.split("=", 1)
        comment = "" if match is None else text[match.start() + 1:].strip()
        return key.strip().strip('"'), value.strip(), comment
    raise ValueError(f"template line {where}: cannot read {text.strip()!r} as one TOML key")


def parse_config_template(text: str) -> ConfigTemplate:
    """The tables, keys, values and comments of a TOML template, in the order written.

    A comment block right above a table header describes the table; one right above a key (or on
    its line) describes the key. The whole text must be valid TOML.
    """
    tomllib.loads(text)  # a broken template is an error, not a half-rendered page
    preamble: list[str] = []
    tables: list[ConfigTable] = []
    by_name: dict[str, ConfigTable] = {}
    pending: list[str] = []  # comment lines not yet attached
    current: ConfigTable | None = None
    lines = text.splitlines()
    n = 0
    while n < len(lines):
        line = lines[n]
        stripped = line.strip()
        n += 1
        if not stripped:
            if current is None and pending:
                preamble += pending + [""]
                pending = []
            continue
        if stripped.startswith("#"):
            pending.append(_comment_text(stripped))
            continue
        header = _HEADER.match(line)
        if header:
            name, array = header.group(2), header.group(1) == "[["
            table = by_name.get(name)
            if table is None:
                table = by_name[name] = ConfigTable(name, array)
                tables.append(table)
            table.comment += pending
            if header.group(4):
                table.comment.append(_comment_text(header.group(4)))
            pending = []
            table.entries += 1
            current = table
            continue
        # A key, possibly continued on the following lines (a multi-line array).
        chunk, start = line, n
        while True:
            try:
                key, value, comment = _split_value(chunk, str(start))
                break
            except ValueError:
                if n >= len(lines):
                    raise
                chunk += "\n" + lines[n]
                n += 1
        if current is None:
            raise ValueError(f"template line {start}: key {key!r} outside any table")
        item = ConfigKey(key, " ".join(value.split()), pending + ([comment] if comment else []))
        pending = []
        current.keys.setdefault(key, []).append(item)
    while preamble and not preamble[-1]:
        preamble.pop()
    return ConfigTemplate(preamble, tables)


def _inline(text: str) -> str:
    """Comment prose as reStructuredText: `code` becomes a literal, markup is escaped."""
    parts = re.split(r"(`[^`]+`)", text)
    out = []
    for part in parts:
        if len(part) > 1 and part.startswith("`") and part.endswith("`"):
            out.append(f"``{part[1:-1]}``")
        else:
            out.append(re.sub(r"([\\*|_`<>])", r"\\\1", part))
    return "".join(out)


def _paragraphs(lines: list[str]) -> list[str]:
    """Comment lines as paragraphs: blank lines separate them."""
    paragraphs, current = [], []
    for line in [*lines, ""]:
        if line:
            current.append(line)
        elif current:
            paragraphs.append(_inline(" ".join(current)))
            current = []
    return paragraphs


def _literal(value: str) -> str:
    return "``" + value.replace("``", "` `") + "``" if value else ""


def config_reference_rst(text: str) -> str:
    """reStructuredText of the reference of a TOML template (see ``parse_config_template``)."""
    template = parse_config_template(text)
    out: list[str] = []
    for paragraph in _paragraphs(template.preamble):
        out += [paragraph, ""]
    for table in template.tables:
        title = f"[[{table.name}]]" if table.array else f"[{table.name}]"
        heading = f"``{title}``"
        out += [heading, "-" * len(heading), ""]
        for paragraph in _paragraphs(table.comment):
            out += [paragraph, ""]
        if table.array:
            out += [f"One table per entry; the template has {table.entries}.", ""]
        out += [".. list-table::", "   :header-rows: 1", "   :widths: 22 30 48",
                "   :class: config-reference", ""]
        out += ["   * - Key", "     - Template value" + ("s" if table.array else ""),
                "     - Meaning", ""]
        for name, items in table.keys.items():
            values = ", ".join(_literal(item.value) for item in items)
            if table.array and len(items) < table.entries:
                values += f" (in {len(items)} of {table.entries})"
            comments = list(dict.fromkeys(" ".join(item.comment) for item in items
                                          if item.comment))
            meaning = " ".join(_inline(c) for c in comments)
            out += [f"   * - ``{name}``", f"     - {values}", f"     - {meaning}".rstrip(), ""]
    out += ["The whole template", "-" * len("The whole template"), "",
            ".. code:: toml", ""]
    out += [f"   {line}".rstrip() for line in text.splitlines()]
    out.append("")
    return "\n".join(out)


# --------------------------------------------------------------------------------------------
# The native kernels


@dataclass
class StubFunction:
    name: str
    signature: str  # "(a: T, b: U = 1) -> R" with the stub's private aliases expanded


def _expand_aliases(node: ast.AST, aliases: dict[str, ast.expr]) -> ast.AST:
    class Expand(ast.NodeTransformer):
        def visit_Name(self, name: ast.Name) -> ast.AST:
            if name.id in aliases:
                return self.visit(_copy(aliases[name.id]))
            return name

    return Expand().visit(_copy(node))


def _copy(node: ast.AST) -> ast.AST:
    return ast.parse(ast.unparse(node), mode="eval").body


def parse_stub(text: str) -> tuple[str, list[StubFunction]]:
    """The module docstring and the public functions of a type stub, in ``__all__`` order.

    Private type aliases (``_Name: TypeAlias = ...``) are written out in the signatures, since
    they are not part of the module a user imports.
    """
    module = ast.parse(text)
    docstring = ast.get_docstring(module) or ""
    aliases: dict[str, ast.expr] = {}
    exported: list[str] | None = None
    functions: dict[str, ast.FunctionDef] = {}
    for node in module.body:
        if (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                and node.target.id.startswith("_") and node.value is not None):
            aliases[node.target.id] = node.value
        elif (isinstance(node, ast.Assign) and len(node.targets) == 1
              and isinstance(node.targets[0], ast.Name) and node.targets[0].id == "__all__"):
            exported = [ast.literal_eval(element) for element in node.value.elts]
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            functions[node.name] = node
    order = [name for name in (exported or functions) if name in functions]
    result = []
    for name in order:
        node = functions[name]
        args = node.args
        defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
        parameters = []
        for arg, default in zip(args.args, defaults):
            text_ = arg.arg
            if arg.annotation is not None:
                text_ += ": " + ast.unparse(_expand_aliases(arg.annotation, aliases))
                if default is not None:
                    text_ += " = " + ast.unparse(default)
            elif default is not None:
                text_ += "=" + ast.unparse(default)
            parameters.append(text_)
        returns = "" if node.returns is None else \
            " -> " + ast.unparse(_expand_aliases(node.returns, aliases))
        result.append(StubFunction(name, f"({', '.join(parameters)}){returns}"))
    return docstring, result


def kernels_rst(stub_text: str, docstrings: dict[str, str], module: str) -> str:
    """reStructuredText of ``module``'s functions from its stub, with the given docstrings."""
    _, functions = parse_stub(stub_text)
    out = [f".. py:currentmodule:: {module}", ""]
    for function in functions:
        out += [f".. py:function:: {function.name}{function.signature}", ""]
        doc = inspect.cleandoc(docstrings.get(function.name) or "")
        if not doc:
            raise ValueError(f"{module}.{function.name} has no docstring")
        out += [f"   {line}".rstrip() for line in doc.splitlines()]
        out += ["", f"   Pure-NumPy counterpart, with the same bits: "
                    f":func:`korvel.reference.{function.name}`.", ""]
    return "\n".join(out)


# --------------------------------------------------------------------------------------------
# Signatures


def lazy_target(obj):
    """The function that a lazy wrapper (docstring ``"``module.name`` (imports ...)."``, which
    keeps an optional dependency out of ``import korvel``) stands for, or None."""
    match = re.fullmatch(r"``(korvel\.[\w.]+)`` \(imports \w+\)\.",
                         (getattr(obj, "__doc__", None) or "").strip())
    if not (match and callable(obj)):
        return None
    module, _, name = match.group(1).rpartition(".")
    return getattr(importlib.import_module(module), name, None)


def default_factories(signature: str, obj) -> str:
    """A dataclass's signature with each field's default factory written as its call (autodoc
    writes ``<factory>``, which the signature parser rejects)."""
    if not dataclasses.is_dataclass(obj):
        return signature
    for item in dataclasses.fields(obj):
        factory = item.default_factory
        if factory is not dataclasses.MISSING:
            # An annotation holds no "=" but may hold commas (Mapping[str, float]).
            signature = re.sub(rf"(\b{item.name}: [^=]*?= )<factory>",
                               rf"\g<1>{getattr(factory, '__name__', 'factory')}()", signature)
    return signature


# --------------------------------------------------------------------------------------------
# The gallery's figures


def figure_scraper(block, block_vars, gallery_conf, **kwargs):
    """The figures that korvel's plotting functions return (drawn without pyplot, so the
    gallery's matplotlib scraper does not see them) and that an example keeps in a variable:
    each shown once, after the block that made it."""
    from matplotlib.figure import Figure
    from sphinx_gallery.scrapers import figure_rst

    paths = []
    for value in list(block_vars["example_globals"].values()):
        if not isinstance(value, Figure) or getattr(value, "_korvel_gallery_shown", False):
            continue
        if hasattr(value, "number"):
            continue  # pyplot numbers its figures; the matplotlib scraper shows those
        value._korvel_gallery_shown = True
        path = next(block_vars["image_path_iterator"])
        value.savefig(path)
        paths.append(path)
    return figure_rst(paths, gallery_conf["src_dir"]) if paths else ""


def _get_sg_image_scraper():
    return figure_scraper


# --------------------------------------------------------------------------------------------
# The Sphinx side


def setup(app):
    from docutils.parsers.rst import directives
    from sphinx.util.docutils import SphinxDirective

    import korvel

    package = Path(korvel.__file__).resolve().parent

    class ConfigReference(SphinxDirective):
        """The reference of the embedded experiment template."""

        def run(self):
            from korvel.host.config import default_config_text

            template = package / "host" / "default_experiment.toml"
            if template.is_file():
                self.env.note_dependency(str(template))
            return self.parse_text_to_nodes(config_reference_rst(default_config_text()),
                                            allow_section_headings=True)

    class Kernels(SphinxDirective):
        """The native extension's functions, from its stub."""

        def run(self):
            from korvel import pelorine

            stub = package / "pelorine.pyi"
            self.env.note_dependency(str(stub))
            text = stub.read_text(encoding="utf-8")
            _, functions = parse_stub(text)
            docstrings = {f.name: getattr(pelorine, f.name).__doc__ for f in functions}
            return self.parse_text_to_nodes(kernels_rst(text, docstrings, "korvel.pelorine"),
                                            allow_section_headings=True)

    class StubDocstring(SphinxDirective):
        """The module docstring of the native extension's stub."""

        def run(self):
            stub = package / "pelorine.pyi"
            self.env.note_dependency(str(stub))
            docstring, _ = parse_stub(stub.read_text(encoding="utf-8"))
            # The summary line names the stub file itself; the page has its own title.
            body = docstring.partition("\n\n")[2]
            return self.parse_text_to_nodes(body)

    def public_name(app, env, node, contnode):
        """A reference to ``korvel.host.x.Name`` resolves to ``korvel.Name``, where the API
        pages document it (signatures name the defining module)."""
        target = node.get("reftarget", "")
        if node.get("refdomain") != "py":
            return None
        if target == "Map":  # older Sphinx leaves the type alias unqualified
            public = "korvel.host.experiment.Map"
        elif target.startswith("korvel.host."):
            public = "korvel." + target.rpartition(".")[2]
        else:
            return None
        domain = env.get_domain("py")
        # "obj": the alias is documented as data but referred to as a class.
        return domain.resolve_xref(env, node["refdoc"], app.builder, "obj", public, node,
                                   contnode)

    def clean_signature(app, what, name, obj, options, signature, return_annotation):
        """A type alias inside a generic shows as its name (autodoc writes it as a forward
        reference object there), and a dataclass field's default factory as its call (autodoc
        writes ``<factory>``, which the signature parser rejects)."""
        if signature is None:
            return None
        signature = re.sub(r"TypeAliasForwardRef\('([^']+)'\)", r"\1", signature)
        return default_factories(signature, obj), return_annotation

    def lazy_signature(app, what, name, obj, options, signature, return_annotation):
        target = lazy_target(obj)
        if target is None:
            return None
        from sphinx.util.inspect import signature, stringify_signature

        # Annotations evaluated and shown by their last name, as autodoc shows them.
        text = stringify_signature(signature(target), unqualified_typehints=True)
        arrow = text.rfind(" -> ")
        return (text, None) if arrow < 0 else (text[:arrow], text[arrow + 4:])

    def lazy_docstring(app, what, name, obj, options, lines):
        target = lazy_target(obj)
        if target is not None:
            lines[:] = inspect.cleandoc(target.__doc__ or "").splitlines()

    app.connect("missing-reference", public_name)
    app.connect("autodoc-process-signature", lazy_signature)
    app.connect("autodoc-process-signature", clean_signature)
    app.connect("autodoc-process-docstring", lazy_docstring)
    class Remaining(SphinxDirective):
        """Every name of a module's ``__all__`` not documented above it on the page (modules
        aside, which have pages of their own), so that a new public name is never missing."""

        required_arguments = 1

        def run(self):
            module_name = self.arguments[0]
            module = importlib.import_module(module_name)
            documented = self.env.get_domain("py").objects
            lines = []
            elsewhere = [importlib.import_module(m) for m in
                         self.options.get("skip-from", "").split()]
            for name in getattr(module, "__all__", ()):
                value = getattr(module, name)
                if inspect.ismodule(value) or f"{module_name}.{name}" in documented:
                    continue
                if any(getattr(other, name, None) is value for other in elsewhere):
                    continue  # documented under the other module's name
                if inspect.isclass(value) and issubclass(value, BaseException):
                    lines += [f".. autoexception:: {module_name}.{name}", ""]
                elif inspect.isclass(value):
                    lines += [f".. autoclass:: {module_name}.{name}", "   :members:", ""]
                elif callable(value):
                    lines += [f".. autofunction:: {module_name}.{name}", ""]
                else:
                    lines += [f".. autodata:: {module_name}.{name}", ""]
            if not lines:
                return []
            title = self.options.get("title", "More")
            text = "\n".join([title, "-" * len(title), "", *lines])
            return self.parse_text_to_nodes(text, allow_section_headings=True)

    Remaining.option_spec = {"title": directives.unchanged, "skip-from": directives.unchanged}

    app.add_directive("korvel-remaining", Remaining)
    app.add_directive("korvel-config", ConfigReference)
    app.add_directive("korvel-kernels", Kernels)
    app.add_directive("korvel-stub-docstring", StubDocstring)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
