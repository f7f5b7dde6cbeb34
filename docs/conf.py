"""Sphinx configuration of the korvel documentation.

Build from the repository root with ``python -m sphinx -W --keep-going -n -b html docs
docs/_build/html`` after ``pip install ".[docs]"``. The source tree's ``korvel`` package is
documented (the built extension comes from the installed package), the configuration reference
and the kernels' page are generated from the package's own files, and the gallery's examples run.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
# The source tree first: its `korvel` extends its search path to the installed package, which
# holds the built extension.
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(DOCS / "_ext"))

import korvel  # noqa: E402

project = "korvel"
author = "the korvel developers"
copyright = "the korvel developers"
version = release = korvel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "korvel_docs",
]

exclude_patterns = ["_build", "examples/README.txt"]
templates_path: list[str] = []
html_static_path: list[str] = []
html_theme = "alabaster"
html_theme_options = {
    "description": "Hyperpolarized 13C metabolic MRI simulation with strict floating point",
    "fixed_sidebar": True,
    "page_width": "1180px",
    "sidebar_width": "240px",
}
html_title = f"korvel {release}"
pygments_style = "sphinx"
# Options, TOML values and quotes stay as typed ("--config" is not an en dash).
smartquotes = False

# The build fails on any warning (-W), unresolved references included (-n). NumPy and the
# standard library have no inventory offline, so their names stay plain text.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(np|numpy|numpy\.typing|npt)\..*"),
    (r"py:.*", r"(NDArray|ndarray|ArrayLike|Sequence|Callable|Any|Union)"),
    (r"py:.*", r"(optional|array_like|callable|scalar|sequence|default.*)"),
    (r"py:.*", r"(dask|distributed)\..*"),
    (r"py:.*", r"(os\.PathLike|collections\.abc\.\w+|typing\.\w+)"),
    (r"py:.*", r"matplotlib\..*"),
]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True}
autodoc_preserve_defaults = True
# Per-voxel maps keep their alias name in signatures (korvel.host.experiment.Map).
autodoc_type_aliases = {"Map": "korvel.host.experiment.Map"}

numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set[str] = set()

doctest_global_setup = """
import numpy as np
import korvel
"""

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    # korvel's figures are made without pyplot; korvel_docs shows those an example keeps.
    "image_scrapers": ("matplotlib", "korvel_docs"),
    "reset_modules": ("matplotlib",),
    "min_reported_time": 1,
    # An example that raises fails the build.
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "show_memory": False,
    # Only what an example prints is shown, not the value of its last expression.
    "capture_repr": (),
}

# Examples run headless and in one thread team each.
os.environ.setdefault("MPLBACKEND", "Agg")

maximum_signature_line_length = 96
