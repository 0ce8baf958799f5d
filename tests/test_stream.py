"""dump and load against file-like objects."""

import dataclasses
import io
import sys

import pytest

from _zelkor import dump, dumps, load, loads

from blob_builder import same_shape
from support import BytesSub, Reader, Writer, error

VALUE = {"k": [1, 2.5, None, True], "b": b"\x00\xff", "t": ("x", frozenset({3}))}


class Untouchable:
    """A file whose every attribute lookup is recorded and refused."""

    def __init__(self):
        self.looked_up = []

    def __getattr__(self, name):
        self.looked_up.append(name)
        raise AttributeError(name)


# --------------------------------------------------------------- dump


@pytest.mark.parametrize("obj, result", [
    *[(obj, None) for obj in (None, VALUE, [1, "a"], "é" * 3, list(range(300)))],
    # what write returns is ignored
    *[(VALUE, result) for result in (0, 17, "text", object(), NotImplemented)],
])
def test_dump_writes_blob_once(obj, result):
    f = Writer(result)
    assert dump(obj, f) is None
    assert f.calls == [((dumps(obj),), {})]
    assert type(f.calls[0][0][0]) is bytes


@pytest.mark.parametrize(
    "call",
    [
        lambda f: dump(VALUE, file=f),
        lambda f: dump(obj=VALUE, file=f),
        lambda f: dump(file=f, obj=VALUE),
        # extra keywords are neither validated nor passed on
        lambda f: dump(VALUE, f, protocol=-1, hmac_key="k", anything=1),
        lambda f: dump(VALUE, f, schema_version="not a number", protocol=None),
        lambda f: dump(VALUE, file=f, **{"\ud800": 1}),
    ],
    ids=["file-kw", "both-kw", "reversed-kw", "ignored", "unvalidated", "surrogate"],
)
def test_dump_binding_accepts(call):
    f = Writer()
    assert call(f) is None
    assert f.calls == [((dumps(VALUE),), {})]


@pytest.mark.parametrize(
    "obj, exc_type, message",
    [
        (1j, TypeError, "Unsupported type: complex"),
        ([1, {"k": bytearray()}], TypeError, "Unsupported type: bytearray"),
        (2**64, OverflowError, None),
    ],
)
def test_dump_capture_error_before_write_lookup(obj, exc_type, message):
    f = Untouchable()
    with pytest.raises(exc_type) as info:
        dump(obj, f)
    if message is not None:
        assert str(info.value) == message
    assert f.looked_up == []


@pytest.mark.parametrize("file", [object(), None, 3, Untouchable()])
@pytest.mark.parametrize("call", [lambda f: dump(VALUE, f), load], ids=["dump", "load"])
def test_file_without_method(call, file):
    with pytest.raises(AttributeError):
        call(file)


@pytest.mark.parametrize("method, call, error", [
    ("write", lambda f: dump(VALUE, f), OSError("disk full")),
    ("read", load, OSError("gone")),
])
def test_file_error_passes_through(method, call, error):
    def fail(self, *args):
        raise error

    with pytest.raises(OSError) as info:
        call(type("Failing", (), {method: fail})())
    assert info.value is error


def test_dump_releases_extra_keywords():
    marker = object()
    before = sys.getrefcount(marker)
    for _ in range(3):
        dump(1, Writer(), extra=marker, more=[marker])
    assert sys.getrefcount(marker) == before


# --------------------------------------------------------------- load


@pytest.mark.parametrize("data", [dumps(VALUE), BytesSub(dumps(VALUE))], ids=["bytes", "subclass"])
def test_load_reads_once_without_arguments(data):
    f = Reader(data)
    assert load(f) == VALUE
    assert f.calls == [((), {})]


@pytest.mark.parametrize(
    "data",
    [dumps(VALUE).decode("latin-1"), bytearray(dumps(VALUE)),
     memoryview(dumps(VALUE)), None, 0, [dumps(VALUE)]],
    ids=["str", "bytearray", "memoryview", "None", "int", "list"],
)
def test_load_requires_bytes_from_read(data):
    assert error(TypeError, load, Reader(data)) == "file.read() did not return bytes"


@pytest.mark.parametrize("allowlist", [frozenset(), ["A"], "A"])
def test_load_checks_allowlist_before_touching_file(allowlist):
    f = Untouchable()
    message = error(TypeError, load, f, allowlist=allowlist)
    assert message.startswith("argument 'allowlist': ")
    assert message.endswith("object cannot be converted to 'PySet'")
    assert f.looked_up == []


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "Invalid data: too short for header"),
        (b"ZLK", "Invalid data: too short for header"),
        (b"JUNKJUNK", "Invalid magic bytes"),
        (dumps(None)[:15], "Invalid data: no type count"),
        (dumps(VALUE)[:15], "Invalid data: string length truncated"),
        (dumps([1, 2])[:-1], "Invalid data: int truncated"),
    ],
    ids=["empty", "short", "magic", "no-type-count", "strings", "int"],
)
def test_load_decoding_errors(data, message):
    assert error(ValueError, load, Reader(data)) == message


@dataclasses.dataclass
class Point:
    x: int
    y: int


def test_load_allowlist_applies():
    blob = dumps([Point(1, 2)])
    assert error(TypeError, load, Reader(blob), allowlist=set()) == (
        "Type 'Point' is not in the allowlist")
    assert load(Reader(dumps(VALUE)), allowlist=set()) == VALUE


def _shared():
    inner = [1, "x"]
    cyc = []
    cyc.append(cyc)
    return {"a": inner, "b": inner, "cyc": cyc, "s": {1, 2}, "f": -0.5}


@pytest.mark.parametrize(
    "make",
    [lambda: None, lambda: VALUE, lambda: [b"", "", 0, -(2**63), 2**63 - 1], _shared],
    ids=["none", "mixed", "edges", "shared"],
)
def test_round_trip_through_bytesio(make):
    obj = make()
    buf = io.BytesIO()
    assert dump(obj, buf) is None
    assert buf.getvalue() == dumps(obj)
    buf.seek(0)
    result = load(buf)
    assert repr(result) == repr(loads(dumps(obj)))
    assert same_shape(result, obj)


def test_dump_holds_its_arguments_while_the_walk_runs_python_code():
    # a partial passes its own keyword dict: code run by the walk empties it
    import functools

    class Emptier:  # taken for a dataclass: it has the fields attribute
        __dataclass_fields__ = {"value": None}

        @property
        def value(self):
            call.keywords.clear()
            return 1

    writer = Writer()
    call = functools.partial(dump, obj=[Emptier()], file=writer)
    assert call() is None
    assert call.keywords == {} and len(writer.calls) == 1
