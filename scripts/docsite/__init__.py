"""Pages of the documentation site that are generated from the package at build time.

``gen_pages.py`` is the script mkdocs-gen-files runs during ``mkdocs build``; the modules
beside it turn the argument parser into the command reference and the man page
(:mod:`.cli_reference`, :mod:`.manpage`) and the effect catalogue into one page per effect
with its response plot and a before/after sound (:mod:`.effect_pages`).
"""
