"""Module surface of _zelkor: members, argument binding and option conversion."""

import dataclasses
import operator
import sys

import pytest

import _zelkor
from _zelkor import dumps, load, loads

FUNCTIONS = ["__version", "dumps", "loads", "dump", "load"]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def _message(exc_info):
    return str(exc_info.value)


def _index_error(value):
    """The interpreter's own message for converting value to an integer."""
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} converts to an integer")


class BytesSub(bytes):
    pass


class SetSub(set):
    pass


class Reader:
    def __init__(self, data):
        self.data = data

    def read(self):
        return self.data


def _local_class():
    class K:
        pass

    return K


LocalK = _local_class()


@dataclasses.dataclass
class Point:
    x: int
    y: int


# --------------------------------------------------------------- members


def test_all_lists_members_in_order():
    assert _zelkor.__all__ == FUNCTIONS + ["__version__"]
    for name in _zelkor.__all__:
        assert hasattr(_zelkor, name)


def test_module_docstring_is_empty():
    assert _zelkor.__doc__ == ""


@pytest.mark.parametrize(
    "name, signature",
    [
        ("__version", "()"),
        ("dumps", "(obj, *, protocol=5, schema_version=None, hmac_key=None)"),
        ("loads", "(data, *, allowlist=None)"),
        ("dump", "(obj, file, **kwargs)"),
        ("load", "(file, *, allowlist=None)"),
    ],
)
def test_function_signature_and_doc(name, signature):
    func = getattr(_zelkor, name)
    assert func.__text_signature__ == signature
    assert func.__doc__ is None
    assert func.__name__ == name
    assert func.__module__ == "_zelkor"
    assert func.__self__ is _zelkor


def test_version():
    assert getattr(_zelkor, "__version")() == "1.1.0"
    assert _zelkor.__version__ == "1.1.0"
    assert type(_zelkor.__version__) is str


@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})]
)
def test_version_takes_no_arguments(args, kwargs):
    # the interpreter's own wording; it may qualify the name with the module
    with pytest.raises(TypeError, match=r"__version\(\) takes no"):
        getattr(_zelkor, "__version")(*args, **kwargs)


def test_package_reexports_the_extension():
    import zelkor

    for name in ("dumps", "loads", "dump", "load"):
        assert getattr(zelkor, name) is getattr(_zelkor, name)
    assert zelkor.__version__ == "1.1.0"


# --------------------------------------------------------------- binder


BLOB = dumps([1, "a"])
BINDER_CASES = [
    # too many positional arguments (checked first, even with bad keywords)
    (dumps, (1, 5), {}, "dumps() takes 1 positional arguments but 2 were given"),
    (dumps, (1, 2, 3), {"level": 1},
     "dumps() takes 1 positional arguments but 3 were given"),
    (loads, (BLOB, None), {},
     "loads() takes 1 positional arguments but 2 were given"),
    (load, (Reader(BLOB), None), {},
     "load() takes 1 positional arguments but 2 were given"),
    # multiple values
    (dumps, (1,), {"obj": 2}, "dumps() got multiple values for argument 'obj'"),
    (loads, (BLOB,), {"data": BLOB},
     "loads() got multiple values for argument 'data'"),
    (load, (Reader(BLOB),), {"file": Reader(BLOB)},
     "load() got multiple values for argument 'file'"),
    # unexpected keyword
    (dumps, (1,), {"level": 1}, "dumps() got an unexpected keyword argument 'level'"),
    (dumps, (1,), {"Protocol": 1},
     "dumps() got an unexpected keyword argument 'Protocol'"),
    (dumps, (1,), {"obj_": 1}, "dumps() got an unexpected keyword argument 'obj_'"),
    (dumps, (1,), {"é": 1}, "dumps() got an unexpected keyword argument 'é'"),
    (dumps, (1,), {"\ud800": 1},
     "dumps() got an unexpected keyword argument '\ud800'"),
    (loads, (BLOB,), {"protocol": 5},
     "loads() got an unexpected keyword argument 'protocol'"),
    (load, (Reader(BLOB),), {"data": BLOB},
     "load() got an unexpected keyword argument 'data'"),
    # keywords are examined in call order
    (dumps, (1,), {"level": 1, "obj": 2},
     "dumps() got an unexpected keyword argument 'level'"),
    (dumps, (1,), {"obj": 2, "level": 1},
     "dumps() got multiple values for argument 'obj'"),
    # keyword errors come before the missing-argument check
    (dumps, (), {"level": 1}, "dumps() got an unexpected keyword argument 'level'"),
    # missing
    (dumps, (), {}, "dumps() missing 1 required positional argument: 'obj'"),
    (dumps, (), {"protocol": 5},
     "dumps() missing 1 required positional argument: 'obj'"),
    (loads, (), {}, "loads() missing 1 required positional argument: 'data'"),
    (loads, (), {"allowlist": None},
     "loads() missing 1 required positional argument: 'data'"),
    (load, (), {}, "load() missing 1 required positional argument: 'file'"),
]


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    BINDER_CASES,
    ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(BINDER_CASES)],
)
def test_binder_messages(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert _message(info) == message


def test_arguments_by_keyword():
    expected = dumps([1, "a"])
    assert dumps(obj=[1, "a"]) == expected
    # a keyword name built at run time (not interned) still matches
    assert dumps(**{"".join(["o", "bj"]): [1, "a"]}) == expected
    assert dumps([1, "a"], **{"".join(["proto", "col"]): 3}) == expected
    assert loads(data=expected) == [1, "a"]
    assert load(file=Reader(expected)) == [1, "a"]


# --------------------------------------------------------------- dumps options


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"protocol": 0},
        {"protocol": 5},
        {"protocol": 255},
        {"protocol": True},
        {"protocol": False},
        {"protocol": Index(7)},
        {"schema_version": None},
        {"schema_version": 0},
        {"schema_version": 7},
        {"schema_version": 4294967295},
        {"schema_version": Index(4294967295)},
        {"hmac_key": None},
        {"hmac_key": b""},
        {"hmac_key": b"k"},
        {"hmac_key": BytesSub(b"k")},
        {"protocol": 1, "schema_version": 2, "hmac_key": b"secret"},
    ],
)
def test_accepted_options_leave_blob_unchanged(kwargs):
    obj = {"a": [1, 2.5, None], "b": (True, b"x")}
    assert dumps(obj, **kwargs) == dumps(obj)


@pytest.mark.parametrize(
    "name, value",
    [
        ("protocol", None),
        ("protocol", 1.0),
        ("protocol", "5"),
        ("protocol", b"5"),
        ("protocol", [5]),
        ("schema_version", 7.0),
        ("schema_version", "7"),
        ("schema_version", LocalK()),
    ],
)
def test_non_integer_option_is_prefixed_type_error(name, value):
    with pytest.raises(TypeError) as info:
        dumps(1, **{name: value})
    assert type(info.value) is TypeError
    assert _message(info) == f"argument '{name}': {_index_error(value)}"


@pytest.mark.parametrize(
    "name, value",
    [
        ("protocol", 256),
        ("protocol", -1),
        ("protocol", 2**63 - 1),
        ("protocol", -(2**63)),
        ("protocol", Index(-1)),
        ("schema_version", 4294967296),
        ("schema_version", -1),
        ("schema_version", 2**63 - 1),
    ],
)
def test_option_out_of_range(name, value):
    with pytest.raises(OverflowError) as info:
        dumps(1, **{name: value})
    assert _message(info) == OUT_OF_RANGE


@pytest.mark.parametrize(
    "name, value",
    [
        ("protocol", 2**63),
        ("protocol", -(2**63) - 1),
        ("protocol", 2**200),
        ("schema_version", 2**64),
    ],
)
def test_option_beyond_int64_keeps_interpreter_overflow(name, value):
    with pytest.raises(OverflowError) as info:
        dumps(1, **{name: value})
    message = _message(info)
    assert message and not message.startswith("argument")
    assert message != OUT_OF_RANGE


@pytest.mark.parametrize(
    "value, qualname",
    [
        ("k", "str"),
        (bytearray(b"k"), "bytearray"),
        (memoryview(b"k"), "memoryview"),
        (1, "int"),
        ([b"k"], "list"),
        (LocalK(), "_local_class.<locals>.K"),
    ],
)
def test_hmac_key_must_be_bytes(value, qualname):
    with pytest.raises(TypeError) as info:
        dumps(1, hmac_key=value)
    assert type(info.value) is TypeError
    assert _message(info) == (
        f"argument 'hmac_key': '{qualname}' object cannot be converted to 'PyBytes'"
    )


@pytest.mark.parametrize(
    "kwargs, exc_type, prefix",
    [
        # protocol is checked first, whatever the keyword order of the call
        ({"hmac_key": "k", "protocol": -1}, OverflowError, OUT_OF_RANGE),
        ({"schema_version": -1, "protocol": None}, TypeError, "argument 'protocol'"),
        ({"hmac_key": "k", "schema_version": "x"}, TypeError,
         "argument 'schema_version'"),
        ({"hmac_key": "k", "schema_version": None}, TypeError, "argument 'hmac_key'"),
    ],
)
def test_option_check_order(kwargs, exc_type, prefix):
    with pytest.raises(exc_type) as info:
        dumps(1, **kwargs)
    assert _message(info).startswith(prefix)


@pytest.mark.parametrize(
    "kwargs, exc_type",
    [
        ({"protocol": -1}, OverflowError),
        ({"protocol": None}, TypeError),
        ({"schema_version": 2**32}, OverflowError),
        ({"hmac_key": "k"}, TypeError),
    ],
)
def test_options_are_checked_before_capture(kwargs, exc_type):
    with pytest.raises(exc_type) as info:
        dumps(1j, **kwargs)
    assert "Unsupported type" not in _message(info)


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
    assert _message(info) == "argument 'protocol': inner"
    assert info.value.__cause__ is root


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [ValueError("bad index"), TypeErrorSub("sub"), ZeroDivisionError("zero")],
)
@pytest.mark.parametrize("name", ["protocol", "schema_version"])
def test_other_conversion_errors_pass_through(name, exc):
    with pytest.raises(type(exc)) as info:
        dumps(1, **{name: IndexRaises(exc)})
    assert info.value is exc


# --------------------------------------------------------------- loads arguments


@pytest.mark.parametrize(
    "data, qualname",
    [
        (bytearray(BLOB), "bytearray"),
        (memoryview(BLOB), "memoryview"),
        (BLOB.decode("latin-1"), "str"),
        (None, "NoneType"),
        (list(BLOB), "list"),
        (LocalK(), "_local_class.<locals>.K"),
    ],
)
def test_loads_data_must_be_bytes(data, qualname):
    with pytest.raises(TypeError) as info:
        loads(data)
    assert type(info.value) is TypeError
    assert _message(info) == (
        f"argument 'data': '{qualname}' object cannot be converted to 'PyBytes'"
    )


@pytest.mark.parametrize(
    "allowlist, qualname",
    [
        (frozenset(), "frozenset"),
        (["A"], "list"),
        (("A",), "tuple"),
        ({"A": 1}, "dict"),
        ("A", "str"),
        ({"A": 1}.keys(), "dict_keys"),
        (LocalK(), "_local_class.<locals>.K"),
    ],
)
@pytest.mark.parametrize("func", [loads, load])
def test_allowlist_must_be_a_set(func, allowlist, qualname):
    source = BLOB if func is loads else Reader(BLOB)
    with pytest.raises(TypeError) as info:
        func(source, allowlist=allowlist)
    assert type(info.value) is TypeError
    assert _message(info) == (
        f"argument 'allowlist': '{qualname}' object cannot be converted to 'PySet'"
    )


def test_loads_checks_data_before_allowlist():
    with pytest.raises(TypeError) as info:
        loads(bytearray(), allowlist=[])
    assert _message(info).startswith("argument 'data': 'bytearray'")


@pytest.mark.parametrize(
    "data, allowlist",
    [
        (BLOB, None),
        (BLOB, set()),
        (BLOB, {"Point"}),
        (BLOB, SetSub()),
        (BytesSub(BLOB), None),
        (BytesSub(BLOB), SetSub({"x"})),
    ],
)
def test_loads_accepts_bytes_and_set_subclasses(data, allowlist):
    assert loads(data, allowlist=allowlist) == [1, "a"]


def test_empty_allowlist_refuses_dataclass_blob():
    blob = dumps([Point(1, 2)])
    with pytest.raises(TypeError) as info:
        loads(blob, allowlist=set())
    assert _message(info) == "Type 'Point' is not in the allowlist"


def test_refused_call_leaves_arguments_alone():
    key = BytesSub(b"k")
    before = sys.getrefcount(key)
    for _ in range(3):
        with pytest.raises(OverflowError):
            dumps(1, protocol=-1, hmac_key=key)
        dumps(1, hmac_key=key)
    assert sys.getrefcount(key) == before
