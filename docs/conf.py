"""Sphinx configuration: MyST Markdown pages, the API reference from the
docstrings through autodoc and numpydoc."""

from importlib.metadata import version as _version

# The compiled module itself, imported before autodoc looks for it: autodoc
# would otherwise read its typing stub (accurate.pyi), which has no docstrings.
import distribution.accurate  # noqa: F401

project = "distribution"
author = "distribution developers"
release = _version("distribution")
extensions = ["myst_parser", "sphinx.ext.autodoc", "numpydoc"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Links to the headings of a page, as #which-layout.
myst_heading_anchors = 3
# The methods are listed by autodoc itself.
numpydoc_show_class_members = False
autodoc_member_order = "bysource"
html_theme = "alabaster"


def _escape_bars(app, what, name, obj, options, lines):
    """The compiled functions' docstrings write absolute values as |x - loc|,
    which reStructuredText would read as substitutions."""
    if name.startswith("distribution.accurate."):
        lines[:] = [line.replace("|", "\\|") for line in lines]


def setup(app):
    app.connect("autodoc-process-docstring", _escape_bars, priority=100)
