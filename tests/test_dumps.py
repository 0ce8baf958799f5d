"""What dumps writes: exact bytes, record numbering, refusals, dataclass capture."""

import builtins
import collections
import dataclasses
import enum
import re
import struct
import sys
from typing import ClassVar

import pytest

from _zelkor import dumps

try:
    from . import blob_reader
except ImportError:
    import blob_reader

# header (11) + empty string table (4) + empty type table (4) + object count (4)
PLAIN_PREFIX = bytes.fromhex("5A4C4B52 0100 00000000 00 00000000 00000000 01000000")


def parse(obj):
    blob = dumps(obj)
    assert type(blob) is bytes
    parsed = blob_reader.parse(blob)
    assert parsed.size == len(blob), "blob has bytes after its record table"
    assert (parsed.magic, parsed.version, parsed.schema_version, parsed.flags) == (
        b"ZLKR", 1, 0, 0)
    return parsed


def probe(name="Probe", **getters):
    """A dataclass instance whose fields are properties calling the getters."""
    cls = dataclasses.make_dataclass(
        name, list(getters), init=False, repr=False, eq=False)
    for field_name, getter in getters.items():
        setattr(cls, field_name, property(getter))
    return cls()


@dataclasses.dataclass
class Point:
    x: int
    y: int
    __zelkor_version__ = 2


@dataclasses.dataclass
class Line:
    a: object
    b: object


@dataclasses.dataclass
class Node:
    next: object = None


# --------------------------------------------------------------- exact bytes

LINE_BLOB = bytes.fromhex(
    "5A4C4B52 0100 00000000 00"
    "06000000 04000000 4C696E65 01000000 61 01000000 62"
    "05000000 506F696E74 01000000 78 01000000 79"
    "02000000"
    "0000 00000000 00000000 0200 01000000 02000000"
    "0100 03000000 02000000 0200 04000000 05000000"
    "05000000"
    "0D 0000 0200 01000000 04000000"
    "0D 0100 0200 02000000 03000000"
    "0402 0404 0E01000000"
)


def _line():
    p = Point(1, 2)
    return Line(p, p)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: None, PLAIN_PREFIX + b"\x01"),
        (lambda: [1, "a"], bytes.fromhex(
            "5A4C4B52 0100 00000000 00"
            "01000000 01000000 61"
            "00000000"
            "03000000"
            "08 02000000 01000000 02000000"
            "0402"
            "06 00000000")),
        (_line, LINE_BLOB),
        (lambda: "é", bytes.fromhex(
            "5A4C4B52 0100 00000000 00 01000000 02000000 C3A9 00000000"
            "01000000 06 00000000")),
    ],
    ids=["None", "list", "line", "str"],
)
def test_exact_blobs(make, expected):
    assert dumps(make()) == expected


INT_ENCODINGS = [
    (0, "00"),
    (-1, "01"),
    (1, "02"),
    (63, "7E"),
    (-64, "7F"),
    (64, "8001"),
    (-65, "8101"),
    (300, "D804"),
    (2**31, "8080808010"),
    (2**63 - 1, "FEFFFFFFFFFFFFFFFF01"),
    (-(2**63), "FFFFFFFFFFFFFFFFFF01"),
]


@pytest.mark.parametrize("value, varint", INT_ENCODINGS)
def test_int_zigzag_varint(value, varint):
    assert dumps(value) == PLAIN_PREFIX + b"\x04" + bytes.fromhex(varint)


@pytest.mark.parametrize(
    "value",
    [1.5, -0.0, 0.0, float("inf"), float("-inf"), 5e-324, 1.7976931348623157e308,
     struct.unpack("<d", bytes.fromhex("2301000000 00F87F"))[0]],
)
def test_float_bits_kept(value):
    assert dumps(value) == PLAIN_PREFIX + b"\x05" + struct.pack("<d", value)


@pytest.mark.parametrize(
    "value, record",
    [
        (True, "02"),
        (False, "03"),
        (b"", "07 00000000"),
        (b"a\x00b", "07 03000000 610062"),
        ((), "09 00000000"),
        (frozenset(), "0C 00000000"),
    ],
)
def test_simple_records(value, record):
    assert dumps(value) == PLAIN_PREFIX + bytes.fromhex(record)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, 10**40, [1, {"k": -(2**70)}]])
def test_int_beyond_64_bits_overflows(value):
    with pytest.raises(OverflowError):
        dumps(value)


# --------------------------------------------------------------- numbering


def _shared_list():
    a = ["x", 1.5]
    return [a, a, None], [
        ("List", [1, 4, 5]), ("List", [2, 3]), ("Str", 0), ("Float", 1.5),
        ("Ref", 1), ("None",)], ["x"]


def _self_dict():
    d = {}
    d["self"] = d
    return d, [("Dict", [(1, 2)]), ("Str", 0), ("Ref", 0)], ["self"]


def _self_list():
    lst = []
    lst.append(lst)
    return lst, [("List", [1]), ("Ref", 0)], []


def _tuple_cycle():
    inner = []
    t = (inner,)
    inner.append(t)
    return t, [("Tuple", [1]), ("List", [2]), ("Ref", 0)], []


def _thrice():
    a = []
    return [a, a, a], [("List", [1, 2, 3]), ("List", []), ("Ref", 1), ("Ref", 1)], []


def _shared_tuple():
    t = tuple([1, 2])
    return [t, t], [
        ("List", [1, 4]), ("Tuple", [2, 3]), ("Int", 1), ("Int", 2), ("Ref", 1)], []


def _dict_order():
    return {"b": [2], "a": 1}, [
        ("Dict", [(1, 2), (4, 5)]), ("Str", 0), ("List", [3]), ("Int", 2),
        ("Str", 1), ("Int", 1)], ["b", "a"]


def _preorder():
    return [[1, [2]], 3], [
        ("List", [1, 5]), ("List", [2, 3]), ("Int", 1), ("List", [4]), ("Int", 2),
        ("Int", 3)], []


def _empties():
    return [[], (), {}, set(), frozenset()], [
        ("List", [1, 2, 3, 4, 5]), ("List", []), ("Tuple", []), ("Dict", []),
        ("Set", []), ("FrozenSet", [])], []


def _bool_int():
    return [True, 1, False, 0, True], [
        ("List", [1, 2, 3, 4, 5]), ("Bool", True), ("Int", 1), ("Bool", False),
        ("Int", 0), ("Ref", 1)], []


def _none_twice():
    return [None, None], [("List", [1, 2]), ("None",), ("Ref", 1)], []


def _key_is_value():
    return {"a": "a"}, [("Dict", [(1, 2)]), ("Str", 0), ("Ref", 1)], ["a"]


def _equal_texts():
    s1, s2 = "".join(["a", "b"]), "".join(["a", "b"])
    assert s1 is not s2
    return [s1, s2, s1, "", "é"], [
        ("List", [1, 2, 3, 4, 5]), ("Str", 0), ("Str", 0), ("Ref", 1), ("Str", 1),
        ("Str", 2)], ["ab", "", "é"]


def _equal_floats():
    f1, f2 = float("2.5"), float("2.5")
    return [f1, f2, f1], [
        ("List", [1, 2, 3]), ("Float", 2.5), ("Float", 2.5), ("Ref", 1)], []


def _equal_big_ints():
    i1, i2 = int("123456789012"), int("123456789012")
    return [i1, i2, i2], [
        ("List", [1, 2, 3]), ("Int", 123456789012), ("Int", 123456789012),
        ("Ref", 2)], []


def _small_ints_cached():
    return [5, 5, -5, -5], [
        ("List", [1, 2, 3, 4]), ("Int", 5), ("Ref", 1), ("Int", -5), ("Ref", 3)], []


def _equal_bytes():
    b1, b2 = bytes([1, 2]), bytes([1, 2])
    return [b1, b2, b1], [
        ("List", [1, 2, 3]), ("Bytes", b"\x01\x02"), ("Bytes", b"\x01\x02"),
        ("Ref", 1)], []


NUMBERING = [_shared_list, _self_dict, _self_list, _tuple_cycle, _thrice,
             _shared_tuple, _dict_order, _preorder, _empties, _bool_int, _none_twice,
             _key_is_value, _equal_texts, _equal_floats, _equal_big_ints,
             _small_ints_cached, _equal_bytes]


@pytest.mark.parametrize("case", NUMBERING, ids=[f.__name__[1:] for f in NUMBERING])
def test_record_numbering(case):
    obj, records, strings = case()
    parsed = parse(obj)
    assert parsed.records == records
    assert parsed.strings == strings
    assert parsed.types == []


@pytest.mark.parametrize("kind, tag", [(set, "Set"), (frozenset, "FrozenSet")])
def test_set_members_in_iteration_order(kind, tag):
    s = kind([3, 1, 200, -7, 2**40])
    parsed = parse(s)
    assert parsed.records[0][0] == tag
    assert [parsed.records[i] for i in parsed.records[0][1]] == [
        ("Int", v) for v in s]


# --------------------------------------------------------------- refusals


class Color(enum.IntEnum):
    RED = 1


class Name(str):
    pass


class Raw(bytes):
    pass


@pytest.mark.parametrize(
    "value, type_name",
    [
        (1j, "complex"),
        (bytearray(b"x"), "bytearray"),
        (collections.OrderedDict(), "OrderedDict"),
        (collections.defaultdict(int), "defaultdict"),
        (Color.RED, "Color"),
        (int, "type"),
        (Name, "type"),
        (object(), "object"),
        (range(2), "range"),
        (Ellipsis, "ellipsis"),
        (Name("n"), "Name"),
        (Raw(b"r"), "Raw"),
        (memoryview(b"m"), "memoryview"),
        ([1, {"k": (2, 1j)}], "complex"),
        ({1j: 1}, "complex"),
    ],
)
def test_unsupported_types(value, type_name):
    with pytest.raises(TypeError) as info:
        dumps(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"Unsupported type: {type_name}"


def _impostor(name, bases=()):
    return type(name, bases, {"__qualname__": f"fake.<locals>.{name}"})


@pytest.mark.parametrize(
    "cls, target",
    [
        (_impostor("list"), "PyList"),
        (_impostor("tuple"), "PyTuple"),
        (_impostor("dict"), "PyDict"),
        (_impostor("set"), "PySet"),
        (_impostor("frozenset"), "PyFrozenSet"),
        (_impostor("tuple", (list,)), "PyTuple"),
        (_impostor("frozenset", (set,)), "PyFrozenSet"),
        (_impostor("list", (dict,)), "PyList"),
    ],
)
def test_container_name_without_container(cls, target):
    with pytest.raises(TypeError) as info:
        dumps([cls()])
    assert str(info.value) == (
        f"'{cls.__qualname__}' object cannot be converted to '{target}'")


@pytest.mark.parametrize("name", ["int", "float", "str", "bool", "bytes"])
def test_scalar_name_without_scalar(name):
    with pytest.raises(TypeError):
        dumps(type(name, (), {})())


def test_type_named_nonetype_is_none():
    assert dumps(type("NoneType", (), {})()) == dumps(None)


def _no_name():
    raise LookupError("no name")


class NamedByMeta(type):
    """A metaclass whose classes report a __name__ of its choosing."""

    @property
    def __name__(cls):
        return cls.reported()


@pytest.mark.parametrize(
    "reported, exc_type, message",
    [
        (_no_name, LookupError, "^no name$"),
        (lambda: 42, TypeError, None),
        # each unencodable part becomes U+FFFD (how many of them is not fixed)
        (lambda: "bad\ud800name", TypeError, "^Unsupported type: bad\ufffd+name$"),
    ],
    ids=["raises", "not-str", "surrogate"],
)
def test_type_name_lookup(reported, exc_type, message):
    cls = NamedByMeta("Odd", (), {"reported": staticmethod(reported)})
    with pytest.raises(exc_type) as info:
        dumps([cls()])
    if message is not None:
        assert re.match(message, str(info.value))


def test_unencodable_str_fails():
    with pytest.raises(UnicodeEncodeError):
        dumps({"ok": ["\udc80"]})


# --------------------------------------------------------------- named subclasses


class Lookalike:
    """Subclasses of built-ins that keep the built-in's name."""

    class list(builtins.list):
        def __iter__(self):
            return iter([99])

        def __len__(self):
            return 1

        def __getitem__(self, index):
            return 99

    class dict(builtins.dict):
        def __iter__(self):
            return iter(["zz"])

        def items(self):
            return [("zz", 0)]

    class tuple(builtins.tuple):
        def __getitem__(self, index):
            return 99

    class set(builtins.set):
        def __iter__(self):
            return iter([7])

    class bytes(builtins.bytes):
        def __getitem__(self, index):
            return 0x7A

    class str(builtins.str):
        pass

    class int(builtins.int):
        pass

    class float(builtins.float):
        pass


class FakeBytes:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        if not 0 <= index < 3:
            raise IndexError(index)
        return 0x41 + index


FakeBytes.__name__ = "bytes"


@pytest.mark.parametrize(
    "value, expected",
    [
        # containers: storage order, the subclass's own methods are ignored
        (Lookalike.list([1, 2]), [1, 2]),
        (Lookalike.dict({"a": 1, "b": 2}), {"a": 1, "b": 2}),
        (Lookalike.tuple([1, 2]), (1, 2)),
        (Lookalike.int(2**40), 2**40),
        (Lookalike.float(0.25), 0.25),
        (Lookalike.str("text"), "text"),
        # sets go through the iteration protocol, so the override counts
        (Lookalike.set([1, 2]), {7}),
        # bytes bearing the name are read item by item
        (Lookalike.bytes(b"abc"), b"zzz"),
        (FakeBytes(), b"ABC"),
    ],
    ids=["list", "dict", "tuple", "int", "float", "str", "set", "bytes-subclass",
         "bytes-lookalike"],
)
def test_subclass_named_like_builtin(value, expected):
    assert dumps(value) == dumps(expected)


# --------------------------------------------------------------- walk-time mutation


def _tail():
    return "tail"


def test_list_shrinking_during_walk_is_cut_short():
    victim = [1, None, 2, 3]
    victim[1] = probe("Popper", value=lambda s: victim.clear() or 0,
                      after=lambda s: _tail())
    parsed = parse(victim)
    assert parsed.records == [
        ("List", [1, 2]), ("Int", 1), ("Dataclass", 0, [3, 4]), ("Int", 0),
        ("Str", 0)]
    assert parsed.strings == ["tail", "Popper", "value", "after"]


def test_list_growing_during_walk_is_not_followed():
    grower = [None, 1]
    grower[0] = probe(value=lambda s: grower.append(99) or 0, after=lambda s: _tail())
    parsed = parse(grower)
    assert parsed.records == [
        ("List", [1, 4]), ("Dataclass", 0, [2, 3]), ("Int", 0), ("Str", 0),
        ("Int", 1)]


def _grow(d):
    d["new"] = 1


def _shrink(d):
    del d["z"]


def _swap(d):
    del d["a"]
    d["b"] = 1


@pytest.mark.parametrize(
    "entries, mutate, message",
    [
        (["a", "z"], _grow, "dictionary changed size during iteration"),
        (["a", "z"], _shrink, "dictionary changed size during iteration"),
        (["a"], _swap, "dictionary keys changed during iteration"),
    ],
)
def test_dict_mutated_during_walk(entries, mutate, message):
    d = dict.fromkeys(entries, 2)
    d["a"] = probe(value=lambda s: mutate(d) or 0, after=lambda s: _tail())
    with pytest.raises(RuntimeError) as info:
        dumps(d)
    assert str(info.value) == message


def test_set_mutated_during_walk():
    s = set([1, 2, 3])
    s.add(probe(value=lambda s_: s.update(range(10, 40)) or 0))
    with pytest.raises(RuntimeError):
        dumps(s)


def test_fresh_objects_from_properties_are_not_confused():
    # Each access builds a new object that nothing else keeps alive; a later
    # object may reuse the address of an earlier one, which must not make it a Ref.
    holder = probe(
        "Fresh",
        a=lambda s: [int("1")],
        b=lambda s: [int("2")],
        c=lambda s: float("0.5"),
        d=lambda s: float("0.5"),
        e=lambda s: "".join(["t", "x"]),
        f=lambda s: "".join(["t", "x"]),
    )
    parsed = parse([holder, holder])
    assert parsed.records == [
        ("List", [1, 10]),
        ("Dataclass", 0, [2, 4, 6, 7, 8, 9]),
        ("List", [3]), ("Int", 1),
        ("List", [5]), ("Int", 2),
        ("Float", 0.5), ("Float", 0.5),
        ("Str", 0), ("Str", 0),
        ("Ref", 1),
    ]
    assert parsed.strings == ["tx", "Fresh", "a", "b", "c", "d", "e", "f"]


# --------------------------------------------------------------- dataclasses


def _versioned(**attrs):
    cls = dataclasses.make_dataclass("V", ["x"])
    for key, value in attrs.items():
        setattr(cls, key, value)
    return cls(1)


def _boom(self):
    raise ZeroDivisionError("no version")


@pytest.mark.parametrize(
    "attrs, version",
    [
        ({}, 0),
        ({"__zelkor_version__": 7}, 7),
        ({"__zelkor_version__": True}, 1),
        ({"__zelkor_version__": False}, 0),
        ({"__zelkor_version__": 0}, 0),
        ({"__zelkor_version__": 4294967295}, 4294967295),
        ({"__zelkor_version__": -1}, 0),
        ({"__zelkor_version__": 2**32}, 0),
        ({"__zelkor_version__": 2**64}, 0),
        ({"__zelkor_version__": 3.0}, 0),
        ({"__zelkor_version__": "3"}, 0),
        ({"__zelkor_version__": None}, 0),
        ({"__tandrel_version__": 5}, 5),
        ({"__tandrel_version__": "5"}, 0),
        ({"__zelkor_version__": 3, "__tandrel_version__": 5}, 3),
        ({"__zelkor_version__": "x", "__tandrel_version__": 5}, 0),
        ({"__zelkor_version__": -1, "__tandrel_version__": 5}, 0),
        ({"__zelkor_version__": property(_boom), "__tandrel_version__": 5}, 5),
        ({"__zelkor_version__": property(_boom),
          "__tandrel_version__": property(_boom)}, 0),
    ],
)
def test_schema_version_attribute(attrs, version):
    parsed = parse(_versioned(**attrs))
    assert parsed.types == [("V", version, ["x"])]
    assert parsed.records == [("Dataclass", 0, [1]), ("Int", 1)]


@pytest.mark.parametrize(
    "class_attrs, instance_attrs, version",
    [
        ({"__zelkor_version__": 1}, {"__zelkor_version__": 9}, 9),
        ({"__zelkor_version__": 1}, {"__zelkor_version__": "bad"}, 0),
        ({"__tandrel_version__": 1}, {"__tandrel_version__": 4}, 4),
        ({}, {"__zelkor_version__": 6}, 6),
    ],
)
def test_instance_version_overrides_class(class_attrs, instance_attrs, version):
    obj = _versioned(**class_attrs)
    for key, value in instance_attrs.items():
        setattr(obj, key, value)
    assert parse(obj).types == [("V", version, ["x"])]


def _point_classes():
    first = dataclasses.make_dataclass("Point", ["x", "y"])
    first.__zelkor_version__ = 1
    second = dataclasses.make_dataclass("Point", ["x", "y", "z"])
    second.__zelkor_version__ = 2
    return first, second


def test_shared_name_keeps_first_registration():
    first, second = _point_classes()
    parsed = parse([first(1, 2), second(3, 4, 5)])
    assert parsed.types == [("Point", 1, ["x", "y"])]
    assert parsed.strings == ["Point", "x", "y"]
    assert parsed.records == [
        ("List", [1, 4]),
        ("Dataclass", 0, [2, 3]), ("Int", 1), ("Int", 2),
        ("Dataclass", 0, [5, 6, 7]), ("Int", 3), ("Int", 4), ("Int", 5)]

    parsed = parse([second(3, 4, 5), first(1, 2)])
    assert parsed.types == [("Point", 2, ["x", "y", "z"])]


def test_type_ids_follow_preorder():
    inner = dataclasses.make_dataclass("Inner", ["v"])
    outer = dataclasses.make_dataclass("Outer", ["i", "j"])
    parsed = parse([outer(inner(1), outer(None, inner(2)))])
    assert [t[0] for t in parsed.types] == ["Outer", "Inner"]
    assert [r[1] for r in parsed.records if r[0] == "Dataclass"] == [0, 1, 0, 1]


@pytest.mark.parametrize(
    "obj, strings, type_entries",
    [
        # type and field names are appended after the walk's texts
        (lambda p: [p, "z"], ["z", "Point", "x", "y"], [(0, 1, 2, [2, 3])]),
        # a text equal to a name shares its entry
        (lambda p: ["y", p], ["y", "Point", "x"], [(0, 1, 2, [2, 0])]),
        (lambda p: [p, "Point"], ["Point", "x", "y"], [(0, 0, 2, [1, 2])]),
    ],
)
def test_names_interned_by_encoder(obj, strings, type_entries):
    parsed = parse(obj(Point(1, 2)))
    assert parsed.strings == strings
    assert parsed.type_entries == type_entries


def test_field_named_like_its_type():
    cls = dataclasses.make_dataclass("Node", ["Node"])
    parsed = parse(cls("Node"))
    assert parsed.strings == ["Node"]
    assert parsed.type_entries == [(0, 0, 0, [0])]
    assert parsed.records == [("Dataclass", 0, [1]), ("Str", 0)]


def test_empty_dataclass():
    cls = dataclasses.make_dataclass("Empty", [])
    parsed = parse(cls())
    assert parsed.types == [("Empty", 0, [])]
    assert parsed.records == [("Dataclass", 0, [])]


@pytest.mark.parametrize("via_list", [False, True])
def test_self_referring_instance(via_list):
    n = Node()
    n.next = [n] if via_list else n
    expected = ([("Dataclass", 0, [1]), ("List", [2]), ("Ref", 0)] if via_list
                else [("Dataclass", 0, [1]), ("Ref", 0)])
    assert parse(n).records == expected


@dataclasses.dataclass
class WithClassVar:
    x: int
    kind: ClassVar[str] = "k"


@dataclasses.dataclass
class WithInitVarDefault:
    x: int
    scale: dataclasses.InitVar[int] = 3

    def __post_init__(self, scale):
        pass


@dataclasses.dataclass
class WithInitVar:
    x: int
    scale: dataclasses.InitVar[int]

    def __post_init__(self, scale):
        pass


@pytest.mark.parametrize(
    "obj, fields, tail",
    [
        (WithClassVar(1), ["x", "kind"], [("Int", 1), ("Str", 0)]),
        (WithInitVarDefault(1), ["x", "scale"], [("Int", 1), ("Int", 3)]),
    ],
)
def test_pseudo_fields_are_captured(obj, fields, tail):
    parsed = parse(obj)
    assert parsed.types == [(type(obj).__name__, 0, fields)]
    assert parsed.records == [("Dataclass", 0, [1, 2])] + tail


def _deleted_field():
    p = Point(1, 2)
    del p.y
    return p


def _fields_attr(value):
    p = Point(1, 2)
    p.__dataclass_fields__ = value
    return p


@pytest.mark.parametrize(
    "make, exc_type, message",
    [
        (lambda: WithInitVar(1, 2), AttributeError, None),
        (_deleted_field, AttributeError, None),
        (lambda: _fields_attr([]), TypeError,
         "'list' object cannot be converted to 'PyDict'"),
        (lambda: _fields_attr({"x": None, 1: None}), TypeError,
         "'int' object cannot be converted to 'PyString'"),
        (lambda: _fields_attr({"\ud800": None}), UnicodeEncodeError, None),
        (lambda: Point(1, 1j), TypeError, "Unsupported type: complex"),
        (lambda: Point, AttributeError, None),
    ],
    ids=["initvar", "deleted", "fields-list", "fields-key", "fields-surrogate",
         "value", "class-without-defaults"],
)
def test_dataclass_capture_failures(make, exc_type, message):
    with pytest.raises(exc_type) as info:
        dumps([make()])
    if message is not None:
        assert str(info.value) == message


def test_fields_mapping_may_be_a_dict_subclass():
    obj = _fields_attr(collections.OrderedDict([("y", None), ("x", None)]))
    parsed = parse(obj)
    assert parsed.types == [("Point", 2, ["y", "x"])]
    assert parsed.records == [("Dataclass", 0, [1, 2]), ("Int", 2), ("Int", 1)]


@dataclasses.dataclass(frozen=True)
class FrozenPair:
    x: int
    y: str


@dataclasses.dataclass(slots=True)
class SlottedPair:
    x: int
    y: str


@dataclasses.dataclass(frozen=True, slots=True)
class FrozenSlottedPair:
    x: int
    y: str


@pytest.mark.parametrize("cls", [FrozenPair, SlottedPair, FrozenSlottedPair])
def test_frozen_and_slotted(cls):
    parsed = parse(cls(4, "four"))
    assert parsed.types == [(cls.__name__, 0, ["x", "y"])]
    assert parsed.records == [("Dataclass", 0, [1, 2]), ("Int", 4), ("Str", 0)]


@dataclasses.dataclass
class Defaults:
    x: int = 1
    y: str = "s"
    __zelkor_version__ = 4


def test_dataclass_class_object_is_captured_as_type():
    parsed = parse(Defaults)
    assert parsed.types == [("type", 4, ["x", "y"])]
    assert parsed.strings == ["s", "type", "x", "y"]
    assert parsed.records == [("Dataclass", 0, [1, 2]), ("Int", 1), ("Str", 0)]


def _wide(name, count):
    cls = type(name, (), {"__getattr__": lambda self, attr: 0})
    cls.__dataclass_fields__ = dict.fromkeys(f"f{i}" for i in range(count))
    return cls()


def test_widest_dataclass_fits():
    parsed = parse(_wide("Wide", 65535))
    assert len(parsed.types[0][2]) == 65535
    assert len(parsed.records[0][2]) == 65535


@pytest.mark.parametrize(
    "make",
    [lambda: _wide("Wide", 65536), lambda: [_wide("Wide", 1), _wide("Wide", 65536)]],
    ids=["type", "record"],
)
def test_too_many_fields_overflow(make):
    with pytest.raises(OverflowError) as info:
        dumps(make())
    assert "65535" in str(info.value) or "65,535" in str(info.value)


# --------------------------------------------------------------- deep nesting

DEPTH = 200_000


def _deep(kind):
    leaf = ["leaf"]
    value = leaf
    for _ in range(DEPTH):
        if kind == "list":
            value = [value]
        elif kind == "tuple":
            value = (value,)
        elif kind == "dict":
            value = {0: value}
        else:
            value = Node(value)
    return [value, leaf]


@pytest.mark.parametrize("kind", ["list", "tuple", "dict", "dataclass"])
def test_deep_nesting(kind):
    parsed = parse(_deep(kind))
    per_level = 2 if kind == "dict" else 1  # dict levels add a key record
    leaf = 1 + DEPTH * per_level
    assert len(parsed.records) == leaf + 3
    assert parsed.records[0] == ("List", [1, leaf + 2])
    assert parsed.records[leaf] == ("List", [leaf + 1])
    assert parsed.records[leaf + 1] == ("Str", 0)
    assert parsed.records[leaf + 2] == ("Ref", leaf)
    tag = {"list": "List", "tuple": "Tuple", "dict": "Dict", "dataclass": "Dataclass"}[kind]
    chain = parsed.records[1:leaf]
    assert all(r[0] in (tag, "Int", "Ref") for r in chain)
    assert sum(r[0] == tag for r in chain) == DEPTH


# --------------------------------------------------------------- determinism


def _mixed():
    p = Point(1, 2)
    shared = [p, "s", 2.5]
    cyc = {}
    cyc["me"] = cyc
    return {"line": Line(p, shared), "shared": shared, "cyc": cyc,
            "fs": frozenset({1, 2}), "t": (b"b", None, True)}


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"protocol": 0}, {"schema_version": 7}, {"hmac_key": b"k"},
     {"protocol": 255, "schema_version": 2**32 - 1, "hmac_key": b""}],
)
def test_dumps_is_deterministic(kwargs):
    obj = _mixed()
    first = dumps(obj)
    assert dumps(obj, **kwargs) == first
    assert dumps(_mixed(), **kwargs) == first


@pytest.mark.parametrize("fails", [False, True])
def test_no_references_leak(fails):
    items = [Node(), "".join(["x", "y"]), float("3.5"), [1, 2], (None,)]
    value = items + ([1j] if fails else [])
    before = [sys.getrefcount(x) for x in items]
    for _ in range(3):
        if fails:
            with pytest.raises(TypeError):
                dumps(value)
        else:
            dumps(value)
    assert [sys.getrefcount(x) for x in items] == before
