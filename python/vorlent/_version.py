"""The library version: written into every model file's header, read by the build."""

__version__ = "0.2.0"
