"""A ``zelkor`` serializer for kombu, and so for Celery.

Installing zelkor registers it through kombu's ``kombu.serializers`` entry
point (content type ``application/x-zelkor``, binary), so a Celery app needs
no import of its own::

    app.conf.task_serializer = "zelkor"
    app.conf.result_serializer = "zelkor"
    app.conf.accept_content = ["zelkor"]

Task arguments and results then keep their types, shared references and
cycles, and loading them runs no code a message names. The registered
serializer loads every dataclass type; to admit only some, call
:func:`register` with an allowlist in every process that loads messages
(the worker too, for instance where the app is defined)::

    zelkor.kombu.register(allowlist={"Point", "Order"})

This module imports nothing from kombu until :func:`register` is called.
"""

from __future__ import annotations

from typing import Any, Callable, Union, cast

from _zelkor import dumps, loads

__all__ = ["CONTENT_TYPE", "CONTENT_ENCODING", "encode", "decode", "make_decoder", "register", "register_args"]

CONTENT_TYPE = "application/x-zelkor"
CONTENT_ENCODING = "binary"


def encode(obj: object) -> bytes:
    """The blob of ``obj``: kombu's encoder for the ``zelkor`` serializer."""
    return dumps(obj)


def _as_bytes(data: Union[bytes, bytearray, memoryview, str]) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):  # a transport that handed the body back as text
        return data.encode("utf-8", "surrogateescape")
    return bytes(data)


def make_decoder(allowlist: set[str] | None = None) -> Callable[[Union[bytes, bytearray, memoryview, str]], Any]:
    """A kombu decoder that loads message bodies with ``allowlist``."""
    admitted = None if allowlist is None else set(allowlist)

    def decoder(data: Union[bytes, bytearray, memoryview, str]) -> Any:
        return loads(_as_bytes(data), allowlist=admitted)

    return decoder


def decode(data: Union[bytes, bytearray, memoryview, str]) -> Any:
    """The value of a message body, every dataclass type admitted."""
    return loads(_as_bytes(data))


# What the ``kombu.serializers`` entry point hands to kombu's register().
register_args = (encode, decode, CONTENT_TYPE, CONTENT_ENCODING)


def register(allowlist: set[str] | None = None, *, name: str = "zelkor") -> None:
    """Register the serializer with kombu as ``name``, loading with ``allowlist``.

    Replaces the registration made through the entry point, so a later
    message of content type ``application/x-zelkor`` is loaded with this
    allowlist (None: every dataclass type).
    """
    from kombu import serialization

    add = cast(Callable[..., None], serialization.register)  # kombu leaves it unannotated
    add(name, encode, make_decoder(allowlist), CONTENT_TYPE, CONTENT_ENCODING)
