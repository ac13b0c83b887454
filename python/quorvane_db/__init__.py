"""Persistent memory of attention key/value caches for LLM agents."""

from quorvane_db import _native
from quorvane_db._native import *  # noqa: F401,F403

__version__ = _native.__version__
__all__ = list(_native.__all__)
