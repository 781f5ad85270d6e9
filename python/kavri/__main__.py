"""The ``kavri`` command (``python -m kavri`` runs it too)."""

import sys


def run() -> int:
    """Loads the command line and runs it. A Ctrl-C while it loads, before its own handling
    is in place, ends it as one later would (a traceback of the import had been printed)."""
    try:
        from kavri.cli import main

        return main()
    except KeyboardInterrupt:
        sys.stderr.write("kavri: error: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(run())
