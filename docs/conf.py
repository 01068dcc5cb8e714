# Sphinx configuration of pelmora's documentation site (Markdown sources through MyST).
# Builds offline: no intersphinx, no inventories, nothing fetched; tools/build-docs runs it
# with -W, so any warning fails the build.
from pelmora import __version__

project = "pelmora"
author = "pelmora's developers"
release = __version__
version = __version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

# Docstrings are read from the imported modules, the compiled ones included.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True}

html_theme = "furo"
html_title = f"pelmora {__version__}"
html_static_path: list[str] = []
