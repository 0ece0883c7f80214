"""Sphinx configuration of the tanvo documentation (built by scripts/build-docs)."""
import os
from importlib.metadata import version as _version

# Examples draw their figures off screen, in the process that builds the pages.
os.environ.setdefault("MPLBACKEND", "Agg")

project = "tanvo"
author = "The tanvo developers"
copyright = "the tanvo developers"
release = _version("tanvo")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "examples"]
templates_path = ["_templates"]
default_role = "py:obj"

# API pages: one page per object of tanvo_lie, generated from its docstrings at build time.
autosummary_generate = True
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

html_theme = "pydata_sphinx_theme"
html_title = f"tanvo {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 6,
    "secondary_sidebar_items": ["page-toc"],
}
html_show_sourcelink = False

sphinx_gallery_conf = {
    "examples_dirs": ["examples"],
    "gallery_dirs": ["auto_examples"],
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "remove_config_comments": True,
    "download_all_examples": False,
    "show_memory": False,
    "promote_jupyter_magic": False,
    # The examples document how long they take: a slow one is a regression of the library or
    # of the example, so the page says so.
    "min_reported_time": 0,
}
