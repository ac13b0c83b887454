"""Quick start: import the engine module and show what it exports."""

from quorvane_db import _native

print("quorvane_db", _native.__version__)
print("exports:", ", ".join(_native.__all__))
