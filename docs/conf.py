"""The documentation site: Sphinx with MyST Markdown and the furo theme, built by `make docs`."""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "spatial-intent"
author = "the spatial-intent authors"
copyright = "2026, " + author

extensions = ["myst_parser", "sphinx.ext.autodoc", "spatial_docs"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# A link to a heading of another page (`runtimes.md#running-on-webxr`) resolves through
# the heading's slug; a link that resolves to nothing is a warning, and warnings fail the build.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]
suppress_warnings: list[str] = []

autodoc_default_options = {"members": True, "undoc-members": False, "show-inheritance": True}
autodoc_member_order = "bysource"
autodoc_typehints = "signature"

html_theme = "furo"
html_title = "spatial-intent"
html_static_path: list[str] = []
html_show_sourcelink = False
