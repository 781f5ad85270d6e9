#!/usr/bin/env sh
# Prints the path of a CPython 3.12 interpreter: python3.12 on PATH, else pyenv's 3.12.
for candidate in python3.12 "$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 \
                 "$HOME"/.pyenv/versions/3.12*/bin/python3.12; do
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
        # The interpreter itself, not a virtual environment's link to it (.venv/bin comes
        # first on make's PATH, and a broken .venv is removed before it is made again).
        "$candidate" -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))'
        exit 0
    fi
done
echo "CPython 3.12 not found: install python3.12 or pyenv's 3.12" >&2
exit 1
