"""The Python side of velkora: state shared across processes and hosts, the reference
service and the command-line tool, all built on the native ``velkora_core_rs`` module."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("velkora_core_rs")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = ["__version__"]
