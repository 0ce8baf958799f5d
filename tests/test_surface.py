"""Module surface of _zelkor: members, argument binding and option conversion."""

import operator
import sys

import pytest

import _zelkor
from _zelkor import dump, dumps, load, loads

from support import BytesSub, Reader, Writer, error

FUNCTIONS = ["__version", "dumps", "loads", "dump", "load"]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def _index_error(value):
    """The interpreter's own message for converting value to an integer."""
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} converts to an integer")


class SetSub(set):
    pass


def _local_class():
    class K:
        pass

    return K


LocalK = _local_class()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _cannot(arg, qualname, target):
    return f"argument '{arg}': '{qualname}' object cannot be converted to '{target}'"


# --------------------------------------------------------------- members


def test_all_lists_members_in_order():
    assert _zelkor.__all__ == FUNCTIONS + ["__version__"]
    for name in _zelkor.__all__:
        assert hasattr(_zelkor, name)


def test_module_docstring_is_empty():
    assert _zelkor.__doc__ == ""


@pytest.mark.parametrize("name, signature", [
    ("__version", "()"),
    ("dumps", "(obj, *, protocol=5, schema_version=None, hmac_key=None)"),
    ("loads", "(data, *, allowlist=None)"),
    ("dump", "(obj, file, **kwargs)"),
    ("load", "(file, *, allowlist=None)"),
])
def test_function_signature_and_doc(name, signature):
    func = getattr(_zelkor, name)
    assert func.__text_signature__ == signature
    assert func.__doc__ and not func.__doc__.startswith(name)  # help() shows text, not the signature twice
    assert func.__name__ == name
    assert func.__module__ == "_zelkor"
    assert func.__self__ is _zelkor


def test_version():
    assert getattr(_zelkor, "__version")() == "1.1.0"
    assert _zelkor.__version__ == "1.1.0"
    assert type(_zelkor.__version__) is str


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_version_takes_no_arguments(args, kwargs):
    # the interpreter's own wording; it may qualify the name with the module
    with pytest.raises(TypeError, match=r"__version\(\) takes no"):
        getattr(_zelkor, "__version")(*args, **kwargs)


def test_package_reexports_the_extension():
    import zelkor

    for name in ("dumps", "loads", "dump", "load"):
        assert getattr(zelkor, name) is getattr(_zelkor, name)
    assert zelkor.__version__ == "1.1.0"


# --------------------------------------------------------------- refused calls


BLOB = dumps([1, "a"])
REFUSED_CALLS = [
    # too many positional arguments (checked first, even with bad keywords)
    (dumps, (1, 5), {}, "dumps() takes 1 positional arguments but 2 were given"),
    (dumps, (1, 2, 3), {"level": 1}, "dumps() takes 1 positional arguments but 3 were given"),
    (loads, (BLOB, None), {}, "loads() takes 1 positional arguments but 2 were given"),
    (load, (Reader(BLOB), None), {}, "load() takes 1 positional arguments but 2 were given"),
    # multiple values
    (dumps, (1,), {"obj": 2}, "dumps() got multiple values for argument 'obj'"),
    (loads, (BLOB,), {"data": BLOB}, "loads() got multiple values for argument 'data'"),
    (load, (Reader(BLOB),), {"file": Reader(BLOB)},
     "load() got multiple values for argument 'file'"),
    # unexpected keyword
    (dumps, (1,), {"level": 1}, "dumps() got an unexpected keyword argument 'level'"),
    (dumps, (1,), {"Protocol": 1}, "dumps() got an unexpected keyword argument 'Protocol'"),
    (dumps, (1,), {"obj_": 1}, "dumps() got an unexpected keyword argument 'obj_'"),
    (dumps, (1,), {"é": 1}, "dumps() got an unexpected keyword argument 'é'"),
    (dumps, (1,), {"\ud800": 1}, "dumps() got an unexpected keyword argument '\ud800'"),
    (loads, (BLOB,), {"protocol": 5}, "loads() got an unexpected keyword argument 'protocol'"),
    (load, (Reader(BLOB),), {"data": BLOB}, "load() got an unexpected keyword argument 'data'"),
    # keywords are examined in call order
    (dumps, (1,), {"level": 1, "obj": 2}, "dumps() got an unexpected keyword argument 'level'"),
    (dumps, (1,), {"obj": 2, "level": 1}, "dumps() got multiple values for argument 'obj'"),
    # keyword errors come before the missing-argument check
    (dumps, (), {"level": 1}, "dumps() got an unexpected keyword argument 'level'"),
    # missing
    (dumps, (), {}, "dumps() missing 1 required positional argument: 'obj'"),
    (dumps, (), {"protocol": 5}, "dumps() missing 1 required positional argument: 'obj'"),
    (loads, (), {}, "loads() missing 1 required positional argument: 'data'"),
    (loads, (), {"allowlist": None}, "loads() missing 1 required positional argument: 'data'"),
    (load, (), {}, "load() missing 1 required positional argument: 'file'"),
    # dump(obj, file, **kwargs)
    (dump, (1, Writer(), 3), {}, "dump() takes 2 positional arguments but 3 were given"),
    (dump, (1, Writer(), 3, 4), {"obj": 1},
     "dump() takes 2 positional arguments but 4 were given"),
    (dump, (), {}, "dump() missing 2 required positional arguments: 'obj' and 'file'"),
    (dump, (), {"protocol": 5},
     "dump() missing 2 required positional arguments: 'obj' and 'file'"),
    (dump, (1,), {}, "dump() missing 1 required positional argument: 'file'"),
    (dump, (), {"obj": 1}, "dump() missing 1 required positional argument: 'file'"),
    (dump, (), {"file": Writer()}, "dump() missing 1 required positional argument: 'obj'"),
    (dump, (1, Writer()), {"obj": 2}, "dump() got multiple values for argument 'obj'"),
    (dump, (1, Writer()), {"file": 2}, "dump() got multiple values for argument 'file'"),
    # keyword items are examined in call order
    (dump, (1, Writer()), {"file": 2, "obj": 3}, "dump() got multiple values for argument 'file'"),
    (dump, (1,), {"extra": 0, "obj": 3}, "dump() got multiple values for argument 'obj'"),
    # options that are not integers, with the interpreter's own message
    *[(dumps, (1,), {name: value}, f"argument '{name}': {_index_error(value)}")
      for name, value in [("protocol", None), ("protocol", 1.0), ("protocol", "5"),
                          ("protocol", b"5"), ("protocol", [5]), ("schema_version", 7.0),
                          ("schema_version", "7"), ("schema_version", LocalK())]],
    *[(dumps, (1,), {"hmac_key": value}, _cannot("hmac_key", qualname, "PyBytes"))
      for value, qualname in [("k", "str"), (bytearray(b"k"), "bytearray"),
                              (memoryview(b"k"), "memoryview"), (1, "int"), ([b"k"], "list"),
                              (LocalK(), "_local_class.<locals>.K")]],
    *[(loads, (data,), {}, _cannot("data", qualname, "PyBytes"))
      for data, qualname in [(bytearray(BLOB), "bytearray"), (memoryview(BLOB), "memoryview"),
                             (BLOB.decode("latin-1"), "str"), (None, "NoneType"),
                             (list(BLOB), "list"), (LocalK(), "_local_class.<locals>.K")]],
    # data is checked before the allowlist
    (loads, (bytearray(),), {"allowlist": []}, _cannot("data", "bytearray", "PyBytes")),
    *[(func, (source,), {"allowlist": allowlist}, _cannot("allowlist", qualname, "PySet"))
      for func, source in [(loads, BLOB), (load, Reader(BLOB))]
      for allowlist, qualname in [
          (frozenset(), "frozenset"), (["A"], "list"), (("A",), "tuple"), ({"A": 1}, "dict"),
          ("A", "str"), ({"A": 1}.keys(), "dict_keys"), (LocalK(), "_local_class.<locals>.K")]],
]


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    REFUSED_CALLS,
    ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(REFUSED_CALLS)],
)
def test_refused_arguments(func, args, kwargs, message):
    assert error(TypeError, func, *args, **kwargs) == message


def test_arguments_by_keyword():
    expected = dumps([1, "a"])
    assert dumps(obj=[1, "a"]) == expected
    # a keyword name built at run time (not interned) still matches
    assert dumps(**{"".join(["o", "bj"]): [1, "a"]}) == expected
    assert dumps([1, "a"], **{"".join(["proto", "col"]): 3}) == expected
    assert loads(data=expected) == [1, "a"]
    assert load(file=Reader(expected)) == [1, "a"]


# --------------------------------------------------------------- dumps options


@pytest.mark.parametrize("kwargs", [
    {}, {"protocol": 0}, {"protocol": 5}, {"protocol": 255}, {"protocol": True},
    {"protocol": False}, {"protocol": Index(7)},
    {"schema_version": None}, {"schema_version": 0}, {"schema_version": 7},
    {"schema_version": 4294967295}, {"schema_version": Index(4294967295)},
    {"hmac_key": None}, {"hmac_key": b""}, {"hmac_key": b"k"}, {"hmac_key": BytesSub(b"k")},
    {"protocol": 1, "schema_version": 2, "hmac_key": b"secret"},
])
def test_accepted_options_leave_blob_unchanged(kwargs):
    obj = {"a": [1, 2.5, None], "b": (True, b"x")}
    assert dumps(obj, **kwargs) == dumps(obj)


@pytest.mark.parametrize("name, value, ours", [
    *[(name, value, True) for name, value in [
        ("protocol", 256), ("protocol", -1), ("protocol", 2**63 - 1), ("protocol", -(2**63)),
        ("protocol", Index(-1)), ("schema_version", 4294967296), ("schema_version", -1),
        ("schema_version", 2**63 - 1)]],
    # beyond 64 bits the interpreter's own OverflowError comes through
    *[(name, value, False) for name, value in [
        ("protocol", 2**63), ("protocol", -(2**63) - 1), ("protocol", 2**200),
        ("schema_version", 2**64)]],
    ])
def test_option_out_of_range(name, value, ours):
    message = error(OverflowError, dumps, 1, **{name: value})
    if ours:
        assert message == OUT_OF_RANGE
    else:
        assert message and not message.startswith("argument")
        assert message != OUT_OF_RANGE


@pytest.mark.parametrize("obj, kwargs, exc_type, prefix", [
    # protocol is checked first, whatever the keyword order of the call
    (1, {"hmac_key": "k", "protocol": -1}, OverflowError, OUT_OF_RANGE),
    (1, {"schema_version": -1, "protocol": None}, TypeError, "argument 'protocol'"),
    (1, {"hmac_key": "k", "schema_version": "x"}, TypeError, "argument 'schema_version'"),
    (1, {"hmac_key": "k", "schema_version": None}, TypeError, "argument 'hmac_key'"),
    # options are checked before the value is captured
    (1j, {"protocol": -1}, OverflowError, OUT_OF_RANGE),
    (1j, {"protocol": None}, TypeError, "argument 'protocol'"),
    (1j, {"schema_version": 2**32}, OverflowError, OUT_OF_RANGE),
    (1j, {"hmac_key": "k"}, TypeError, "argument 'hmac_key'"),
])
def test_option_check_order(obj, kwargs, exc_type, prefix):
    message = error(exc_type, dumps, obj, **kwargs)
    assert message.startswith(prefix) and "Unsupported type" not in message


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_prefixed_type_error_keeps_cause():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        dumps(1, protocol=IndexRaises(inner))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'protocol': inner"
    assert info.value.__cause__ is root


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize("exc", [ValueError("bad index"), TypeErrorSub("sub"),
                                 ZeroDivisionError("zero")])
@pytest.mark.parametrize("name", ["protocol", "schema_version"])
def test_other_conversion_errors_pass_through(name, exc):
    with pytest.raises(type(exc)) as info:
        dumps(1, **{name: IndexRaises(exc)})
    assert info.value is exc


# --------------------------------------------------------------- loads arguments


@pytest.mark.parametrize("data, allowlist", [
    (BLOB, None), (BLOB, set()), (BLOB, {"Point"}), (BLOB, SetSub()),
    (BytesSub(BLOB), None), (BytesSub(BLOB), SetSub({"x"})),
])
def test_loads_accepts_bytes_and_set_subclasses(data, allowlist):
    assert loads(data, allowlist=allowlist) == [1, "a"]


def test_refused_call_leaves_arguments_alone():
    key = BytesSub(b"k")
    before = sys.getrefcount(key)
    for _ in range(3):
        with pytest.raises(OverflowError):
            dumps(1, protocol=-1, hmac_key=key)
        dumps(1, hmac_key=key)
    assert sys.getrefcount(key) == before
