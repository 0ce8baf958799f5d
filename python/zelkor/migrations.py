"""Schema migrations applied while loading dataclass instances.

A dataclass declares its schema version as the class attribute
``__zelkor_version__``. Each blob stores the version its types had when
they were dumped. When a loaded type's stored version differs from the
class's current one, ``_zelkor.loads`` calls :func:`apply_migrations`, which
rewrites the stored fields through the steps registered with
:func:`migration`::

    @zelkor.migration("Point", 1, 2)
    def add_z(fields):
        return {**fields, "z": 0}

Steps form a graph between versions; the shortest chain of steps from the
stored to the current version is used, in either direction, and a step may
skip versions.
"""

from __future__ import annotations

import threading
from collections import deque
from typing import Any, Callable, Optional, TypeVar

__all__ = ["migration", "apply_migrations", "MigrationError"]

VERSION_KEYS = ("__zelkor_version__", "__tandrel_version__")

Fields = dict[str, Any]
Step = Callable[[Fields], Fields]
_S = TypeVar("_S", bound=Step)
Path = tuple[tuple[int, int, Step], ...]

# type name -> {from_version: {to_version: step}}
_steps: dict[str, dict[int, dict[int, Step]]] = {}
# (type name, from, to) -> tuple of (from, to, step); cleared on registration.
_paths: dict[tuple[str, int, int], Path] = {}
_lock = threading.RLock()  # reentrant: a finaliser run by the collector may load


class MigrationError(LookupError):
    """No chain of registered steps leads from the stored to the current version."""


def _check_version(value: object, what: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise TypeError(f"{what} must be a non-negative int, got {value!r}")


def _step_name(type_name: str, source: int, target: int, step: object) -> str:
    label = getattr(step, "__qualname__", None) or repr(step)
    return f"{type_name!r} {source} -> {target} ({label})"


def migration(type_name: str, from_version: int, to_version: int) -> Callable[[_S], _S]:
    """Decorator registering ``step(fields) -> fields`` for one edge.

    ``step`` receives a dict of the stored fields (without the version keys)
    and returns the dict for ``to_version``; it may modify and return its
    argument. Registering a second, different step for the same type and edge
    raises ValueError.
    """
    if not isinstance(type_name, str):
        raise TypeError(f"type name must be a str, got {type_name!r}")
    _check_version(from_version, "from_version")
    _check_version(to_version, "to_version")
    if from_version == to_version:
        raise ValueError(
            f"a migration step for {type_name!r} must change the version, "
            f"got {from_version} -> {to_version}")

    def decorator(step: _S) -> _S:
        if not callable(step):
            raise TypeError(f"migration step must be callable, got {step!r}")
        with _lock:
            edges = _steps.setdefault(type_name, {}).setdefault(from_version, {})
            current = edges.setdefault(to_version, step)
            if current is step:
                _paths.clear()
        if current is not step:
            raise ValueError(
                f"a migration step is already registered for "
                f"{_step_name(type_name, from_version, to_version, current)}")
        return step
    return decorator


def _find_path(type_name: str, source: int, target: int) -> Optional[Path]:
    """Shortest chain of steps, as a tuple of (from, to, step), or None."""
    graph = _steps.get(type_name, {})
    previous: dict[int, Optional[tuple[int, Step]]] = {source: None}
    queue = deque([source])
    while queue:
        version = queue.popleft()
        if version == target:
            path: list[tuple[int, int, Step]] = []
            while (link := previous[version]) is not None:
                before, step = link
                path.append((before, version, step))
                version = before
            return tuple(reversed(path))
        # Among equally short chains prefer steps that land nearer the target.
        edges = graph.get(version, {})
        for nxt in sorted(edges, key=lambda v: (abs(v - target), v)):
            if nxt not in previous:
                previous[nxt] = (version, edges[nxt])
                queue.append(nxt)
    return None


def _missing_step_error(type_name: str, source: int, target: int) -> MigrationError:
    prefix = (f"cannot migrate {type_name!r} from version {source} to "
              f"version {target}: ")
    if type_name not in _steps:
        nearest = source
        detail = f"no migration steps are registered for {type_name!r}"
    else:
        # Name the step missing from the reachable version nearest the target.
        reachable, queue = {source}, [source]
        while queue:
            for nxt in _steps[type_name].get(queue.pop(), {}):
                if nxt not in reachable:
                    reachable.add(nxt)
                    queue.append(nxt)
        nearest = min(reachable, key=lambda v: (abs(v - target), v))
        detail = (f"missing step {nearest} -> {target} (versions reachable "
                  f"from {source}: {', '.join(map(str, sorted(reachable)))})")
    return MigrationError(
        f"{prefix}{detail}; register one with "
        f"@zelkor.migration({type_name!r}, {nearest}, {target})")


def apply_migrations(type_name: str, data: Fields, from_version: int, to_version: int) -> Fields:
    """Return the fields of ``data`` migrated from ``from_version`` to ``to_version``.

    ``data`` maps field names to stored values and may carry the version keys,
    which are not passed to the steps. The caller's dict is never modified.
    Raises MigrationError when no chain of registered steps connects the two
    versions and TypeError when a step returns something other than a dict.
    """
    if not isinstance(data, dict):
        raise TypeError(
            f"migration data must be a dict, got {type(data).__name__}")
    fields = {key: value for key, value in data.items() if key not in VERSION_KEYS}
    if from_version == to_version:
        return fields
    key = (type_name, from_version, to_version)
    path = _paths.get(key)
    if path is None:
        _check_version(from_version, "from_version")
        _check_version(to_version, "to_version")
        with _lock:
            path = _find_path(type_name, from_version, to_version)
            if path is None:
                raise _missing_step_error(type_name, from_version, to_version)
            _paths[key] = path
    for source, target, step in path:
        try:
            fields = step(fields)
        except BaseException as exc:
            if hasattr(exc, "add_note"):  # exception notes: 3.11 on
                overall = ("" if (source, target) == (from_version, to_version)
                           else f", on the way from {from_version} to {to_version}")
                exc.add_note(f"while migrating {type_name!r} from version "
                             f"{source} to {target}{overall}")
            raise
        if not isinstance(fields, dict):
            raise TypeError(
                f"migration step {_step_name(type_name, source, target, step)} "
                f"returned {type(fields).__name__}, expected a dict")
    return fields
