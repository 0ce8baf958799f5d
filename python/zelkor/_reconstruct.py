"""Class lookup for loading dataclass instances.

A blob names a dataclass only by its bare class name and its field names.
When ``_zelkor.loads`` meets a dataclass record it imports this module and
calls ``make_class(name, fields)`` once per instance:

* a name registered with :func:`register` gives the registered class;
* any other name gives a plain dataclass built from the stored field names,
  so the data survives a load even when the defining code is not at hand.
  Its instances hash by their field values, so they can be dict keys and
  set members, as the saved instances may have been.
  Such classes are built once per ``(name, fields)`` and cached.

Names and field names must be identifiers (and not keywords): they come
from the blob, and the dataclass machinery writes field names into the
source of the methods it generates.
"""

from __future__ import annotations

import dataclasses
import keyword
import threading
from typing import Any, Callable, Iterable, TypeVar, overload

__all__ = ["register", "make_class"]

# Bare class name -> class chosen by the application.
_registered: dict[str, type] = {}
# Registered class -> the name dumps stores it under (its first registered
# name). Read by the extension once per type and dumps call.
_registered_names: dict[type, str] = {}
# (name, *field names) -> dataclass built for a name nobody registered,
# oldest first. Bounded in classes and in their fields (a cached class holds
# about 600 bytes per field): blobs from elsewhere may name any number of
# types.
_generated: dict[tuple[str, ...], type] = {}
_generated_fields = 0
_GENERATED_LIMIT = 1024
_GENERATED_FIELD_LIMIT = 16384
# Guards the registry and the cache against threads. Reentrant: the
# collector may run a finaliser that loads while the lock is held.
_lock = threading.RLock()
# Building a class writes and compiles code for every field, so blobs may
# not ask for arbitrarily wide ones; a registered class has no such limit.
MAX_GENERATED_FIELDS = 4096
# Saving tells these kinds by their type's name: a class generated under one
# of them could not be saved again (or would be saved as something else).
_BUILTIN_KINDS = frozenset({"NoneType", "bool", "int", "float", "str", "bytes",
                            "list", "tuple", "dict", "set", "frozenset"})


_C = TypeVar("_C", bound=type)


def _is_identifier(value: object) -> bool:
    return (isinstance(value, str) and value.isidentifier()
            and not keyword.iskeyword(value))


def _check_name(name: object, what: str) -> None:
    if not _is_identifier(name):
        raise TypeError(
            f"{what} must be a str that is a Python identifier and not a "
            f"keyword, got {name!r}")


@overload
def register(cls: _C, *, name: str | None = None) -> _C: ...
@overload
def register(cls: None = None, *, name: str | None = None) -> Callable[[_C], _C]: ...


def register(cls: _C | None = None, *, name: str | None = None) -> _C | Callable[[_C], _C]:
    """Make ``cls`` the class that loads use for dataclass records named ``name``.

    ``name`` defaults to ``cls.__name__``. Works as ``@register``,
    ``@register(name="Point")``, ``register(Point)`` and
    ``register(Point, name="Point")``; returns the class unchanged.

    The registered name is also the name dumps stores instances under, so a
    renamed class registered under its old name keeps reading and writing
    blobs of that name. A class registered under several names (say its new
    name and, for old blobs, its old one) is stored under the first.

    Registering the same class again is a no-op; registering a different
    class under a name that is taken raises ValueError.
    """
    if cls is None:
        def decorator(cls: _C) -> _C:
            return register(cls, name=name)
        return decorator
    if not (isinstance(cls, type) and dataclasses.is_dataclass(cls)):
        raise TypeError(
            f"register() expects a dataclass class, got {cls!r}")
    if name is None:
        name = cls.__name__
    _check_name(name, "registered name")
    with _lock:
        current = _registered.setdefault(name, cls)
        if current is cls:
            _registered_names.setdefault(cls, name)
    if current is not cls:
        raise ValueError(
            f"name {name!r} is already registered for "
            f"{current.__module__}.{current.__qualname__}; cannot register "
            f"{cls.__module__}.{cls.__qualname__} under it")
    return cls


def make_class(name: str, fields: Iterable[str]) -> Callable[..., Any]:
    """Return the class to build instances of the stored type ``name``.

    ``fields`` is the sequence of stored field names. A registered class is
    returned as is, whatever the stored fields (migrations reconcile them);
    otherwise a dataclass with exactly these fields is returned.
    """
    # Called once per loaded instance: keep the common cases to one or two
    # dict lookups and leave every check to the first build of a class.
    try:
        cls = _registered.get(name)
    except TypeError:  # an unhashable name
        return _build_class(name, fields)
    if cls is not None:
        return cls
    key: tuple[str, ...] | None = None
    try:
        if fields.__class__ is not str:
            key = (name, *fields)
            cls = _generated.get(key)
            if cls is not None:
                return cls
    except TypeError:  # an unhashable field, non-iterable fields
        pass
    return _build_class(name, fields if key is None else key[1:])


def _build_class(name: str, fields: Iterable[str]) -> type:
    _check_name(name, "type name")
    if name in _BUILTIN_KINDS:
        raise TypeError(
            f"type name {name!r} is the name of a built-in kind; no class is "
            f"generated for it: register a class under that name instead")
    if isinstance(fields, (str, bytes)):
        raise TypeError(
            f"fields must be a sequence of field names, got {fields!r}")
    try:
        names = tuple(fields)
    except TypeError:
        raise TypeError(
            f"fields must be a sequence of field names, got {fields!r}") from None
    if len(names) > MAX_GENERATED_FIELDS:
        raise TypeError(
            f"type {name!r} has {len(names)} fields; classes are generated "
            f"for at most {MAX_GENERATED_FIELDS}: register the class instead")
    for field in names:
        _check_name(field, f"field name of {name!r}")
    # Hashable by field values: the saved class may have been hashable
    # (frozen, or eq=False) and its instances dict keys or set members.
    cls = dataclasses.make_dataclass(
        name, names, namespace={"__module__": __name__}, unsafe_hash=True)
    global _generated_fields
    key = (name, *names)
    with _lock:
        # Two threads may build the same class; the first one stored wins.
        current = _generated.get(key)
        if current is not None:
            return current
        if not _generated:
            _generated_fields = 0
        while _generated and (len(_generated) >= _GENERATED_LIMIT
                              or _generated_fields + len(names) > _GENERATED_FIELD_LIMIT):
            # The oldest entry goes; a later load of it builds the class anew.
            oldest = next(iter(_generated))
            del _generated[oldest]
            _generated_fields -= len(oldest) - 1
        _generated[key] = cls
        _generated_fields += len(names)
    return cls
