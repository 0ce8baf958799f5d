"""Types of the extension module ``_zelkor`` (re-exported by ``zelkor``)."""

from typing import Any, Final, Protocol, type_check_only

__all__ = ["__version", "dumps", "loads", "dump", "load", "__version__"]

@type_check_only
class SupportsWrite(Protocol):
    """A file whose ``write`` takes the whole blob in one call."""
    def write(self, data: bytes, /) -> object: ...

@type_check_only
class SupportsRead(Protocol):
    """A file whose ``read()`` returns the whole blob."""
    def read(self) -> bytes: ...

__version__: Final[str]

def __version() -> str: ...
def dumps(
    obj: object,
    *,
    protocol: int = 5,
    schema_version: int | None = None,
    hmac_key: bytes | None = None,
) -> bytes: ...
def loads(data: bytes, *, allowlist: set[str] | None = None) -> Any: ...
def dump(obj: object, file: SupportsWrite, **kwargs: object) -> None: ...
def load(file: SupportsRead, *, allowlist: set[str] | None = None) -> Any: ...
