# Sphinx configuration of the sylvanmap manual (make docs). The API reference
# is read from the built module, so the build needs it installed (make build);
# nothing is fetched at build time (no intersphinx).
import sylvanmap

project = "sylvanmap"
author = "the sylvanmap developers"
copyright = "2026, the sylvanmap developers"
release = version = sylvanmap.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
# _static/plots holds tables made by bench/plots.py, included by performance.md.
exclude_patterns = ["_build", "_static"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# The docstrings are written in the Google style; Complexity and Threads are
# sections of their own.
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_custom_sections = ["Complexity", "Threads"]
autodoc_member_order = "bysource"
# The type's C name is btree.SortedDict; the manual calls it by its import path.
add_module_names = False

html_theme = "furo"
html_title = f"sylvanmap {release}"
html_static_path = ["_static"]
pygments_style = "sphinx"
primary_domain = "py"
