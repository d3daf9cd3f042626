"""Tolmir Kenvor client core for Python.

The codecs live in the extension module ``_tolmirkenvor``; this package adds
the command-line tools (``python -m tolmirkenvor --help``).
"""
from importlib import metadata as _metadata


def _version() -> str:
    try:
        return _metadata.version("tolmirkenvor")
    except _metadata.PackageNotFoundError:
        # Run from a source tree: the extension knows the version it was built as.
        import _tolmirkenvor

        version: str = getattr(_tolmirkenvor, "__version__", "0+unknown")
        return version


__version__ = _version()

__all__ = ["__version__"]
