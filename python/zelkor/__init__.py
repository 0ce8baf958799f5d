"""zelkor: a safe binary serialiser for Python object graphs.

``dumps``/``loads`` (and the file variants ``dump``/``load``) store None,
bools, 64-bit ints, floats, str, bytes, lists, tuples, dicts, sets,
frozensets and dataclass instances, keeping shared references and cycles.
A blob never names code to run: dataclasses are found on load through
``register`` (or rebuilt from their field names), only for the type names an
``allowlist`` admits, and ``migration`` steps bring fields stored under an
older schema version up to date.

``python -m zelkor demo`` shows it at work; ``python -m zelkor inspect FILE``
lists what a blob holds without loading it. ``zelkor.kombu`` (registered
with kombu on installation) and ``zelkor.dask`` plug it into Celery and Dask.
"""

from _zelkor import __version__, dump, dumps, load, loads

from ._reconstruct import make_class, register
from .migrations import MigrationError, apply_migrations, migration

__all__ = [
    "dumps",
    "loads",
    "dump",
    "load",
    "register",
    "make_class",
    "migration",
    "apply_migrations",
    "MigrationError",
    "__version__",
]
