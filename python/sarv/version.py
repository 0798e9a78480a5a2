"""The companion package's version, written into every trace document."""

__version__ = "0.1.0"
