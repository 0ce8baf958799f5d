"""dump and load against file-like objects."""

import dataclasses
import io
import sys

import pytest

from _zelkor import dump, dumps, load, loads

VALUE = {"k": [1, 2.5, None, True], "b": b"\x00\xff", "t": ("x", frozenset({3}))}


class Writer:
    """Records every call of write and every attribute looked up on it."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def write(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class Reader:
    def __init__(self, data):
        self.data = data
        self.calls = []

    def read(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.data


class Untouchable:
    """A file whose every attribute lookup is recorded and refused."""

    def __init__(self):
        self.looked_up = []

    def __getattr__(self, name):
        self.looked_up.append(name)
        raise AttributeError(name)


class BytesSub(bytes):
    pass


# --------------------------------------------------------------- dump


@pytest.mark.parametrize(
    "obj", [None, VALUE, [1, "a"], "é" * 3, list(range(300))],
    ids=["none", "mixed", "list", "str", "long"])
def test_dump_writes_blob_once(obj):
    f = Writer()
    assert dump(obj, f) is None
    assert len(f.calls) == 1
    (args, kwargs), = f.calls
    assert kwargs == {}
    assert len(args) == 1
    assert type(args[0]) is bytes
    assert args[0] == dumps(obj)


@pytest.mark.parametrize("result", [None, 0, 17, "text", object(), NotImplemented])
def test_dump_ignores_write_result(result):
    f = Writer(result)
    assert dump(VALUE, f) is None
    assert len(f.calls) == 1


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
    "args, kwargs, message",
    [
        ((1, Writer(), 3), {}, "dump() takes 2 positional arguments but 3 were given"),
        ((1, Writer(), 3, 4), {"obj": 1},
         "dump() takes 2 positional arguments but 4 were given"),
        ((), {}, "dump() missing 2 required positional arguments: 'obj' and 'file'"),
        ((), {"protocol": 5},
         "dump() missing 2 required positional arguments: 'obj' and 'file'"),
        ((1,), {}, "dump() missing 1 required positional argument: 'file'"),
        ((), {"obj": 1}, "dump() missing 1 required positional argument: 'file'"),
        ((), {"file": Writer()}, "dump() missing 1 required positional argument: 'obj'"),
        ((1, Writer()), {"obj": 2}, "dump() got multiple values for argument 'obj'"),
        ((1, Writer()), {"file": 2}, "dump() got multiple values for argument 'file'"),
        # keyword items are examined in call order
        ((1, Writer()), {"file": 2, "obj": 3},
         "dump() got multiple values for argument 'file'"),
        ((1,), {"extra": 0, "obj": 3}, "dump() got multiple values for argument 'obj'"),
    ],
)
def test_dump_binder_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        dump(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


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
def test_dump_file_without_write(file):
    with pytest.raises(AttributeError):
        dump(VALUE, file)


def test_dump_write_error_passes_through():
    error = OSError("disk full")

    class Failing:
        def write(self, data):
            raise error

    with pytest.raises(OSError) as info:
        dump(VALUE, Failing())
    assert info.value is error


def test_dump_releases_extra_keywords():
    marker = object()
    before = sys.getrefcount(marker)
    for _ in range(3):
        dump(1, Writer(), extra=marker, more=[marker])
    assert sys.getrefcount(marker) == before


# --------------------------------------------------------------- load


def test_load_reads_once_without_arguments():
    f = Reader(dumps(VALUE))
    assert load(f) == VALUE
    assert f.calls == [((), {})]


@pytest.mark.parametrize(
    "data",
    [dumps(VALUE).decode("latin-1"), bytearray(dumps(VALUE)),
     memoryview(dumps(VALUE)), None, 0, [dumps(VALUE)]],
    ids=["str", "bytearray", "memoryview", "None", "int", "list"],
)
def test_load_requires_bytes_from_read(data):
    with pytest.raises(TypeError) as info:
        load(Reader(data))
    assert type(info.value) is TypeError
    assert str(info.value) == "file.read() did not return bytes"


def test_load_accepts_bytes_subclass():
    assert load(Reader(BytesSub(dumps(VALUE)))) == VALUE


@pytest.mark.parametrize("allowlist", [frozenset(), ["A"], "A"])
def test_load_checks_allowlist_before_touching_file(allowlist):
    f = Untouchable()
    with pytest.raises(TypeError) as info:
        load(f, allowlist=allowlist)
    assert str(info.value).startswith("argument 'allowlist': ")
    assert str(info.value).endswith("object cannot be converted to 'PySet'")
    assert f.looked_up == []


@pytest.mark.parametrize("file", [object(), None, Untouchable()])
def test_load_file_without_read(file):
    with pytest.raises(AttributeError):
        load(file)


def test_load_read_error_passes_through():
    error = OSError("gone")

    class Failing:
        def read(self):
            raise error

    with pytest.raises(OSError) as info:
        load(Failing())
    assert info.value is error


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
    with pytest.raises(ValueError) as info:
        load(Reader(data))
    assert str(info.value) == message


@dataclasses.dataclass
class Point:
    x: int
    y: int


def test_load_allowlist_applies():
    blob = dumps([Point(1, 2)])
    with pytest.raises(TypeError) as info:
        load(Reader(blob), allowlist=set())
    assert str(info.value) == "Type 'Point' is not in the allowlist"
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
    if isinstance(obj, dict) and "a" in obj:
        assert result["a"] is result["b"]
        assert result["cyc"][0] is result["cyc"]
    else:
        assert result == obj
