"""A ``zelkor`` serialization family for Dask's ``distributed``.

``import zelkor.dask`` registers the family; a client and its workers then
use it for data where they are asked to::

    import zelkor.dask
    from distributed import Client, LocalCluster

    cluster = LocalCluster(preload=["zelkor.dask"],
                           serializers=["zelkor", "dask", "pickle"],
                           deserializers=["zelkor", "dask", "pickle"])
    client = Client(cluster, serializers=["zelkor", "dask", "pickle"],
                    deserializers=["zelkor", "dask", "pickle"])

Workers run in processes of their own: they need the family too, hence the
``preload`` (or ``import zelkor.dask`` in a preload module of your own, where
you also register your dataclasses). A value that zelkor cannot store (a
numpy array, a function) falls through to the next family in the list.

The family loads every dataclass type; to admit only some, call
:func:`register` with an allowlist in every process, for instance in a
worker preload module::

    zelkor.dask.register(allowlist={"Point", "Order"})
"""

from __future__ import annotations

from typing import Any, Callable, Sequence, Union, cast

from distributed.protocol.serialize import register_serialization_family

from _zelkor import dumps, loads

__all__ = ["register"]

Frame = Union[bytes, bytearray, memoryview]


def _dumps(obj: object) -> tuple[dict[str, Any], list[bytes]]:
    try:
        blob = dumps(obj)
    except (TypeError, ValueError, OverflowError):
        # Not a value zelkor stores: let the next family have it.
        raise NotImplementedError from None
    return {}, [blob]


def _join(frames: Sequence[Frame]) -> bytes:
    if len(frames) == 1:
        frame = frames[0]
        return frame if isinstance(frame, bytes) else bytes(frame)
    return b"".join(frames)


def register(allowlist: set[str] | None = None, *, name: str = "zelkor") -> None:
    """Register the family as ``name``, loading with ``allowlist`` (None: every dataclass type)."""
    admitted = None if allowlist is None else set(allowlist)

    def _loads(header: dict[str, Any], frames: Sequence[Frame]) -> Any:
        return loads(_join(frames), allowlist=admitted)

    add = cast(Callable[..., None], register_serialization_family)  # unannotated upstream
    add(name, _dumps, _loads)


register()
