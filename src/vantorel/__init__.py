"""vantorel: chip-design toolkit.

The version is defined once, in the build description, and written into
``vantorel._version`` when the package is built.
"""

from vantorel._version import __version__

__all__ = ["__version__"]
