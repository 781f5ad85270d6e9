"""The installed package's version, for messages, reports and batch records."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("kavri")
except PackageNotFoundError:  # pragma: no cover - running from an uninstalled tree
    __version__ = "0.0.0"
