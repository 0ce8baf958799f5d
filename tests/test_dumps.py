"""What dumps writes: exact bytes, record numbering, refusals, dataclass capture."""

import builtins
import collections
import dataclasses
import enum
import functools
import random
import re
import struct
import sys
from typing import ClassVar

import pytest

from _zelkor import dumps, loads

from zelkor import _reader as blob_reader
from support import V, error

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
    ids=["list", "line", "str"],
)
def test_exact_blobs(make, expected):
    assert dumps(make()) == expected


@pytest.mark.parametrize("value, record", [
    (None, "01"), (True, "02"), (False, "03"),
    # ints: zigzag, then base-128 varint
    (0, "04 00"), (-1, "04 01"), (1, "04 02"), (63, "04 7E"), (-64, "04 7F"),
    (64, "04 8001"), (-65, "04 8101"), (300, "04 D804"), (2**31, "04 8080808010"),
    (2**63 - 1, "04 FEFFFFFFFFFFFFFFFF01"), (-(2**63), "04 FFFFFFFFFFFFFFFFFF01"),
    # floats keep their bits
    *[(x, "05" + struct.pack("<d", x).hex())
      for x in (1.5, -0.0, 0.0, float("inf"), float("-inf"), 5e-324, 1.7976931348623157e308,
                struct.unpack("<d", bytes.fromhex("2301000000 00F87F"))[0])],
    (b"", "07 00000000"), (b"a\x00b", "07 03000000 610062"),
    ((), "09 00000000"), (frozenset(), "0C 00000000"),
])
def test_single_record(value, record):
    assert dumps(value) == PLAIN_PREFIX + bytes.fromhex(record)


# --------------------------------------------------------------- records written

def _self_dict():
    d = {}
    d["self"] = d
    return d


def _self_list():
    a = []
    a.append(a)
    return a


def _tuple_cycle():
    inner = []
    t = (inner,)
    inner.append(t)
    return t


def _equal_texts():
    s1, s2 = "".join(["a", "b"]), "".join(["a", "b"])
    assert s1 is not s2
    return [s1, s2, s1, "", "é"]


def _self_node(via_list):
    n = Node()
    n.next = [n] if via_list else n
    return n


def _point_classes():
    first = dataclasses.make_dataclass("Point", ["x", "y"])
    first.__zelkor_version__ = 1
    second = dataclasses.make_dataclass("Point", ["x", "y"])
    second.__zelkor_version__ = 2
    return first, second


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
class Defaults:
    x: int = 1
    y: str = "s"
    __zelkor_version__ = 4


def _fields_attr(value):
    p = Point(1, 2)
    p.__dataclass_fields__ = value
    return p


def _pair(name, **flags):
    return dataclasses.make_dataclass(name, [("x", int), ("y", str)], **flags)(4, "four")


def _tail():
    return "tail"


def _shrinking_list():
    victim = [1, None, 2, 3]
    victim[1] = probe("Popper", value=lambda s: victim.clear() or 0, after=lambda s: _tail())
    return victim


def _growing_list():
    grower = [None, 1]
    grower[0] = probe(value=lambda s: grower.append(99) or 0, after=lambda s: _tail())
    return grower


def _fresh_objects():
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
    return [holder, holder]


# id: (make the value, its records, its string table, its types)
WRITTEN = {
    "shared-list": (lambda: [(a := ["x", 1.5]), a, None], [
        ("List", [1, 4, 5]), ("List", [2, 3]), ("Str", 0), ("Float", 1.5),
        ("Ref", 1), ("None",)], ["x"], []),
    "self-dict": (_self_dict, [("Dict", [(1, 2)]), ("Str", 0), ("Ref", 0)], ["self"], []),
    "self-list": (_self_list, [("List", [1]), ("Ref", 0)], [], []),
    "tuple-cycle": (_tuple_cycle, [("Tuple", [1]), ("List", [2]), ("Ref", 0)], [], []),
    "thrice": (lambda: [(a := []), a, a],
               [("List", [1, 2, 3]), ("List", []), ("Ref", 1), ("Ref", 1)], [], []),
    "shared-tuple": (lambda: [(t := tuple([1, 2])), t], [
        ("List", [1, 4]), ("Tuple", [2, 3]), ("Int", 1), ("Int", 2), ("Ref", 1)], [], []),
    "dict-order": (lambda: {"b": [2], "a": 1}, [
        ("Dict", [(1, 2), (4, 5)]), ("Str", 0), ("List", [3]), ("Int", 2),
        ("Str", 1), ("Int", 1)], ["b", "a"], []),
    "preorder": (lambda: [[1, [2]], 3], [
        ("List", [1, 5]), ("List", [2, 3]), ("Int", 1), ("List", [4]), ("Int", 2),
        ("Int", 3)], [], []),
    "empties": (lambda: [[], (), {}, set(), frozenset()], [
        ("List", [1, 2, 3, 4, 5]), ("List", []), ("Tuple", []), ("Dict", []),
        ("Set", []), ("FrozenSet", [])], [], []),
    "bool-int": (lambda: [True, 1, False, 0, True], [
        ("List", [1, 2, 3, 4, 5]), ("Bool", True), ("Int", 1), ("Bool", False),
        ("Int", 0), ("Ref", 1)], [], []),
    "none-twice": (lambda: [None, None], [("List", [1, 2]), ("None",), ("Ref", 1)], [], []),
    "key-is-value": (lambda: {"a": "a"}, [("Dict", [(1, 2)]), ("Str", 0), ("Ref", 1)],
                     ["a"], []),
    # equal values are shared only where they are the same object
    "equal-texts": (_equal_texts, [
        ("List", [1, 2, 3, 4, 5]), ("Str", 0), ("Str", 0), ("Ref", 1), ("Str", 1),
        ("Str", 2)], ["ab", "", "é"], []),
    # long texts (left in place until the blob is written) between short ones
    "long-texts": (lambda: ["a", "x" * 5000, "b", "x" * 5000, "é" * 3000, "a"], [
        ("List", [1, 2, 3, 4, 5, 6]), ("Str", 0), ("Str", 1), ("Str", 2), ("Str", 1), ("Str", 3),
        ("Ref", 1)], ["a", "x" * 5000, "b", "é" * 3000], []),
    "equal-floats": (lambda: [(f := float("2.5")), float("2.5"), f], [
        ("List", [1, 2, 3]), ("Float", 2.5), ("Float", 2.5), ("Ref", 1)], [], []),
    "equal-big-ints": (lambda: [int("123456789012"), (i := int("123456789012")), i], [
        ("List", [1, 2, 3]), ("Int", 123456789012), ("Int", 123456789012),
        ("Ref", 2)], [], []),
    "small-ints-cached": (lambda: [5, 5, -5, -5], [
        ("List", [1, 2, 3, 4]), ("Int", 5), ("Ref", 1), ("Int", -5), ("Ref", 3)], [], []),
    # runs of numbers: shared ones in between, then a container
    "number-run": (lambda: [(f := float("0.5")), 2, f, int("123456789012"), 3, [4], 5.5, 6, 7], [
        ("List", [1, 2, 3, 4, 5, 6, 8, 9, 10]), ("Float", 0.5), ("Int", 2), ("Ref", 1),
        ("Int", 123456789012), ("Int", 3), ("List", [7]), ("Int", 4), ("Float", 5.5), ("Int", 6),
        ("Int", 7)], [], []),
    "number-run-tuple": (lambda: (float("1.5"), -(2**63), (i := int("-77777777777")), i, "t"), [
        ("Tuple", [1, 2, 3, 4, 5]), ("Float", 1.5), ("Int", -(2**63)), ("Int", -77777777777),
        ("Ref", 3), ("Str", 0)], ["t"], []),
    # small containers in containers: shared ones, one as a key, nested ones
    "small-containers": (lambda: [(t := (1, (2.5,))), {t: [t, [], "x"], "k": (None, [7, [8]])}, {"a": 1}], [
        ("List", [1, 5, 18]), ("Tuple", [2, 3]), ("Int", 1), ("Tuple", [4]), ("Float", 2.5),
        ("Dict", [(6, 7), (11, 12)]), ("Ref", 1), ("List", [8, 9, 10]), ("Ref", 1), ("List", []),
        ("Str", 0), ("Str", 1), ("Tuple", [13, 14]), ("None",), ("List", [15, 16]), ("Int", 7),
        ("List", [17]), ("Int", 8), ("Dict", [(19, 20)]), ("Str", 2), ("Ref", 2)], ["x", "k", "a"], []),
    # dicts of one shape, then the same keys in another order
    "dict-shapes": (lambda: [{"a": 1, None: 2}, {"a": 3, None: 4}, {None: 5, "a": 6}, {"a": 7, None: 8}], [
        ("List", [1, 6, 11, 16]), ("Dict", [(2, 3), (4, 5)]), ("Str", 0), ("Int", 1), ("None",), ("Int", 2),
        ("Dict", [(7, 8), (9, 10)]), ("Ref", 2), ("Int", 3), ("Ref", 4), ("Int", 4),
        ("Dict", [(12, 13), (14, 15)]), ("Ref", 4), ("Int", 5), ("Ref", 2), ("Int", 6),
        ("Dict", [(17, 18), (19, 20)]), ("Ref", 2), ("Int", 7), ("Ref", 4), ("Int", 8)], ["a"], []),
    # wide dicts: the widest ints as keys and values, first and shared scalars,
    # and items that leave the dict's fast loop (bytes, containers) between them
    "wide-dicts": (lambda: [
        {(big := 2**63 - 1): -big, -(2**62): 2.5, (k := "shared"): None, 3: True, "s": "t" * 20, 4: b"xy",
         5: [1, {}], 6: (k, 7.0), None: k},
        {big: 0, -(2**62): None, k: False, 3: True, "s": "u", 4: 1, 5: 2, 6: 3, None: 4}], [
        ("List", [1, 24]),
        ("Dict", [(2, 3), (4, 5), (6, 7), (8, 9), (10, 11), (12, 13), (14, 15), (18, 19), (22, 23)]),
        ("Int", 2**63 - 1), ("Int", 1 - 2**63), ("Int", -(2**62)), ("Float", 2.5), ("Str", 0), ("None",),
        ("Int", 3), ("Bool", True), ("Str", 1), ("Str", 2), ("Int", 4), ("Bytes", b"xy"), ("Int", 5),
        ("List", [16, 17]), ("Int", 1), ("Dict", []), ("Int", 6), ("Tuple", [20, 21]), ("Ref", 6),
        ("Float", 7.0), ("Ref", 7), ("Ref", 6),
        ("Dict", [(25, 26), (27, 28), (29, 30), (31, 32), (33, 34), (35, 36), (37, 38), (39, 40), (41, 42)]),
        ("Ref", 2), ("Int", 0), ("Ref", 4), ("Ref", 7), ("Ref", 6), ("Bool", False), ("Ref", 8), ("Ref", 9),
        ("Ref", 10), ("Str", 3), ("Ref", 12), ("Ref", 16), ("Ref", 14), ("Int", 2), ("Ref", 18), ("Ref", 8),
        ("Ref", 7), ("Ref", 12)], ["shared", "s", "t" * 20, "u"], []),
    "equal-bytes": (lambda: [(b := bytes([1, 2])), bytes([1, 2]), b], [
        ("List", [1, 2, 3]), ("Bytes", b"\x01\x02"), ("Bytes", b"\x01\x02"),
        ("Ref", 1)], [], []),
    # dataclasses: type and field names follow the walk's texts
    "self-node": (lambda: _self_node(False), [("Dataclass", 0, [1]), ("Ref", 0)],
                  ["Node", "next"], [("Node", 0, ["next"])]),
    "self-node-list": (lambda: _self_node(True),
                       [("Dataclass", 0, [1]), ("List", [2]), ("Ref", 0)],
                       ["Node", "next"], [("Node", 0, ["next"])]),
    "empty-dataclass": (lambda: dataclasses.make_dataclass("Empty", [])(),
                        [("Dataclass", 0, [])], ["Empty"], [("Empty", 0, [])]),
    "field-named-like-type": (lambda: dataclasses.make_dataclass("Node", ["Node"])("Node"),
                              [("Dataclass", 0, [1]), ("Str", 0)], ["Node"],
                              [("Node", 0, ["Node"])]),
    "names-after-texts": (lambda: [Point(1, 2), "z"], [
        ("List", [1, 4]), ("Dataclass", 0, [2, 3]), ("Int", 1), ("Int", 2), ("Str", 0)],
        ["z", "Point", "x", "y"], [("Point", 2, ["x", "y"])]),
    # a text equal to a name shares its entry
    "field-name-is-text": (lambda: ["y", Point(1, 2)], [
        ("List", [1, 2]), ("Str", 0), ("Dataclass", 0, [3, 4]), ("Int", 1), ("Int", 2)],
        ["y", "Point", "x"], [("Point", 2, ["x", "y"])]),
    "type-name-is-text": (lambda: [Point(1, 2), "Point"], [
        ("List", [1, 4]), ("Dataclass", 0, [2, 3]), ("Int", 1), ("Int", 2), ("Str", 0)],
        ["Point", "x", "y"], [("Point", 2, ["x", "y"])]),
    # a second class of the same name and fields shares the first one's entry
    "shared-name": (lambda: [(c := _point_classes())[0](1, 2), c[1](3, 4)], [
        ("List", [1, 4]),
        ("Dataclass", 0, [2, 3]), ("Int", 1), ("Int", 2),
        ("Dataclass", 0, [5, 6]), ("Int", 3), ("Int", 4)],
        ["Point", "x", "y"], [("Point", 1, ["x", "y"])]),
    # pseudo-fields hold no instance data and are not stored
    "classvar": (lambda: WithClassVar(1), [("Dataclass", 0, [1]), ("Int", 1)],
                 ["WithClassVar", "x"], [("WithClassVar", 0, ["x"])]),
    "initvar-default": (lambda: WithInitVarDefault(1), [("Dataclass", 0, [1]), ("Int", 1)],
                        ["WithInitVarDefault", "x"], [("WithInitVarDefault", 0, ["x"])]),
    **{name: (functools.partial(_pair, name, **flags),
              [("Dataclass", 0, [1, 2]), ("Int", 4), ("Str", 0)],
              ["four", name, "x", "y"], [(name, 0, ["x", "y"])])
       for name, flags in [("FrozenPair", {"frozen": True}), ("SlottedPair", {"slots": True}),
                           ("FrozenSlottedPair", {"frozen": True, "slots": True})]},
    "fields-dict-subclass": (
        lambda: _fields_attr(collections.OrderedDict([("y", None), ("x", None)])),
        [("Dataclass", 0, [1, 2]), ("Int", 2), ("Int", 1)], ["Point", "y", "x"],
        [("Point", 2, ["y", "x"])]),
    # changes made while the walk runs: a list cut short, a list that grows
    "list-shrinking": (_shrinking_list, [
        ("List", [1, 2]), ("Int", 1), ("Dataclass", 0, [3, 4]), ("Int", 0), ("Str", 0)],
        ["tail", "Popper", "value", "after"], [("Popper", 0, ["value", "after"])]),
    "list-growing": (_growing_list, [
        ("List", [1, 4]), ("Dataclass", 0, [2, 3]), ("Int", 0), ("Str", 0), ("Int", 1)],
        ["tail", "Probe", "value", "after"], [("Probe", 0, ["value", "after"])]),
    "fresh-objects": (_fresh_objects, [
        ("List", [1, 10]),
        ("Dataclass", 0, [2, 4, 6, 7, 8, 9]),
        ("List", [3]), ("Int", 1),
        ("List", [5]), ("Int", 2),
        ("Float", 0.5), ("Float", 0.5),
        ("Str", 0), ("Str", 0),
        ("Ref", 1)],
        ["tx", "Fresh", "a", "b", "c", "d", "e", "f"],
        [("Fresh", 0, ["a", "b", "c", "d", "e", "f"])]),
}


@pytest.mark.parametrize("make, records, strings, types", WRITTEN.values(), ids=WRITTEN.keys())
def test_records_written(make, records, strings, types):
    parsed = parse(make())
    assert parsed.records == records
    assert parsed.strings == strings
    assert parsed.types == types
    assert [entry[0] for entry in parsed.type_entries] == list(range(len(types)))


@pytest.mark.parametrize("kind, tag", [(set, "Set"), (frozenset, "FrozenSet")])
def test_set_members_in_iteration_order(kind, tag):
    s = kind([3, 1, 200, -7, 2**40])
    parsed = parse(s)
    assert parsed.records[0][0] == tag
    assert [parsed.records[i] for i in parsed.records[0][1]] == [
        ("Int", v) for v in s]


def test_type_ids_follow_preorder():
    inner = dataclasses.make_dataclass("Inner", ["v"])
    outer = dataclasses.make_dataclass("Outer", ["i", "j"])
    parsed = parse([outer(inner(1), outer(None, inner(2)))])
    assert [t[0] for t in parsed.types] == ["Outer", "Inner"]
    assert [r[1] for r in parsed.records if r[0] == "Dataclass"] == [0, 1, 0, 1]


# --------------------------------------------------------------- refusals


class Color(enum.IntEnum):
    RED = 1


class Name(str):
    pass


class Raw(bytes):
    pass


def _impostor(name, bases=()):
    """A class named like a container that is not one."""
    return type(name, bases, {"__qualname__": f"fake.<locals>.{name}"})


class NamedByMeta(type):
    """A metaclass whose classes report a __name__ of its choosing."""

    @property
    def __name__(cls):
        return cls.reported()


def _odd(reported):
    return NamedByMeta("Odd", (), {"reported": staticmethod(reported)})()


def _no_name():
    raise LookupError("no name")


def _deleted_field():
    p = Point(1, 2)
    del p.y
    return p


def _wide(name, count):
    cls = type(name, (), {"__getattr__": lambda self, attr: 0})
    cls.__dataclass_fields__ = dict.fromkeys(f"f{i}" for i in range(count))
    return cls()


# (value, exception type, message: the whole text, a pattern to search, or None)
REFUSED = [
    *[(value, TypeError, f"Unsupported type: {name}") for value, name in [
        (1j, "complex"), (bytearray(b"x"), "bytearray"),
        (collections.OrderedDict(), "OrderedDict"),
        (collections.defaultdict(int), "defaultdict"), (Color.RED, "Color"),
        (int, "type"), (Name, "type"), (object(), "object"), (range(2), "range"),
        (Ellipsis, "ellipsis"), (Name("n"), "Name"), (Raw(b"r"), "Raw"),
        (memoryview(b"m"), "memoryview"), ([1, {"k": (2, 1j)}], "complex"),
        ({1j: 1}, "complex"),
    ]],
    # classes named like a container or a scalar that are not one
    *[([cls()], TypeError, f"'{cls.__qualname__}' object cannot be converted to '{target}'")
      for cls, target in [
          (_impostor("list"), "PyList"), (_impostor("tuple"), "PyTuple"),
          (_impostor("dict"), "PyDict"), (_impostor("set"), "PySet"),
          (_impostor("frozenset"), "PyFrozenSet"), (_impostor("tuple", (list,)), "PyTuple"),
          (_impostor("frozenset", (set,)), "PyFrozenSet"), (_impostor("list", (dict,)), "PyList"),
      ]],
    *[(type(name, (), {})(), TypeError, None) for name in ["int", "float", "str", "bool", "bytes"]],
    # ints beyond 64 bits, and text that cannot be encoded
    *[(value, OverflowError, None)
      for value in [2**63, -(2**63) - 1, 2**64, 10**40, [1, {"k": -(2**70)}],
                    [0.5, 1, 2.5, 3, 2**70], (0.5, 1.5, 2.5, 3.5, int("9" * 30), 4.5)]],
    ({"ok": ["\udc80"]}, UnicodeEncodeError, None),
    # the type's name: the lookup raises, is not a str, or cannot be encoded
    # (each unencodable part becomes U+FFFD, how many of them is not fixed)
    ([_odd(_no_name)], LookupError, "no name"),
    ([_odd(lambda: 42)], TypeError, None),
    ([_odd(lambda: "bad\ud800name")], TypeError, re.compile("^Unsupported type: bad\ufffd+name$")),
    # dataclass capture
    ([_deleted_field()], AttributeError, None),
    ([_fields_attr([])], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ([_fields_attr({"x": None, 1: None})], TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ([_fields_attr({"\ud800": None})], UnicodeEncodeError, None),
    ([Point(1, 1j)], TypeError, "Unsupported type: complex"),
    # a dataclass class is no instance
    *[(value, TypeError, "Unsupported type: type") for value in [Point, [Defaults]]],
    # more fields than a type or a record can hold
    (_wide("Wide", 65536), OverflowError, re.compile("65,?535")),
    ([_wide("Wide", 1), _wide("Wide", 65536)], OverflowError, re.compile("65,?535")),
]


@pytest.mark.parametrize("value, exc_type, message", REFUSED)
def test_refused(value, exc_type, message):
    text = error(exc_type, dumps, value)
    if isinstance(message, re.Pattern):
        assert message.search(text), text
    elif message is not None:
        assert text == message


def test_type_named_nonetype_is_none():
    assert dumps(type("NoneType", (), {})()) == dumps(None)


def test_widest_dataclass_fits():
    parsed = parse(_wide("Wide", 65535))
    assert len(parsed.types[0][2]) == 65535
    assert len(parsed.records[0][2]) == 65535


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
    assert error(RuntimeError, dumps, d) == message


def test_set_mutated_during_walk():
    s = set([1, 2, 3])
    s.add(probe(value=lambda s_: s.update(range(10, 40)) or 0))
    with pytest.raises(RuntimeError):
        dumps(s)


# --------------------------------------------------------------- schema versions


def _boom(self):
    raise ZeroDivisionError("no version")


@pytest.mark.parametrize("class_attrs, instance_attrs, version", [
    *[(attrs, {}, version) for attrs, version in [
        ({}, 0),
        ({V[0]: 7}, 7),
        ({V[0]: True}, 1),
        ({V[0]: False}, 0),
        ({V[0]: 0}, 0),
        ({V[0]: 4294967295}, 4294967295),
        ({V[0]: -1}, 0),
        ({V[0]: 2**32}, 0),
        ({V[0]: 2**64}, 0),
        ({V[0]: 3.0}, 0),
        ({V[0]: "3"}, 0),
        ({V[0]: None}, 0),
        ({V[1]: 5}, 5),
        ({V[1]: "5"}, 0),
        ({V[0]: 3, V[1]: 5}, 3),
        ({V[0]: "x", V[1]: 5}, 0),
        ({V[0]: -1, V[1]: 5}, 0),
        ({V[0]: property(_boom), V[1]: 5}, 5),
        ({V[0]: property(_boom), V[1]: property(_boom)}, 0),
    ]],
    # an instance attribute overrides the class's
    ({V[0]: 1}, {V[0]: 9}, 9),
    ({V[0]: 1}, {V[0]: "bad"}, 0),
    ({V[1]: 1}, {V[1]: 4}, 4),
    ({}, {V[0]: 6}, 6),
])
def test_schema_version_attribute(class_attrs, instance_attrs, version):
    cls = dataclasses.make_dataclass("V", ["x"])
    for key, value in class_attrs.items():
        setattr(cls, key, value)
    obj = cls(1)
    for key, value in instance_attrs.items():
        setattr(obj, key, value)
    parsed = parse(obj)
    assert parsed.types == [("V", version, ["x"])]
    assert parsed.records == [("Dataclass", 0, [1]), ("Int", 1)]


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


@pytest.mark.parametrize("after_large", [False, True])
@pytest.mark.parametrize("through", ["list", "dict"])
def test_container_handed_out_again_by_a_property_stays_one_object(through, after_large):
    # the container is walked before any Python code runs, and only its
    # parent refers to it; then a field read returns it once more: it must
    # come back as one object (also when a large capture before listed many
    # such containers in the buffer this one starts from)
    if after_large:
        dumps([[i] for i in range(50_000)])
    class Field:
        __dataclass_fields__ = {"x": None}

        def __init__(self, source, key):
            self.source, self.key = source, key

        @property
        def x(self):
            return self.source[self.key]

    if through == "list":
        root = [[1, 2]]
        root.append(Field(root, 0))
        out = loads(dumps(root))
        first, second = out[0], out[1]
    else:
        root = {"a": [1, 2]}
        root["b"] = Field(root, "a")
        out = loads(dumps(root))
        first, second = out["a"], out["b"]
    assert first == [1, 2] and second.x is first


@pytest.mark.parametrize("skew", [0, 1, 7, 15])
def test_large_payloads_land_whole_at_any_alignment(skew):
    # Payloads of 256 KiB and more take another copy than small ones, into
    # the blob and out of it: every byte must land where it belongs, whatever
    # the payload's length and its offset.
    rng = random.Random(skew)
    big = [rng.randbytes((256 << 10) + extra) for extra in (-1, 0, 1, 63, 64, 4097)]
    value = ["x" * skew, *big, "é" * ((128 << 10) + skew), big[1], {"k": big[3]}, (big[4], 1)]
    out = loads(dumps(value))
    assert out == value and out[-3] is out[2]
    assert loads(dumps(big[skew % 6])) == big[skew % 6]


def test_captures_inside_and_after_a_large_one_are_independent():
    # Working memory is kept from one capture for the next: a capture made
    # while another runs, and one made after it, must see none of its state.
    small = [(s := [1.5]), s, "t", {"t": s}]
    expected = dumps(small)

    @dataclasses.dataclass
    class Nested:
        x: object

        def __getattribute__(self, name):
            return dumps(small) if name == "x" else object.__getattribute__(self, name)

    shared = [[i] for i in range(5000)]
    records = parse([shared, shared, Nested(0), shared]).records
    assert [r for r in records if r[0] == "Bytes"] == [("Bytes", expected)]
    assert dumps(small) == expected
    # New objects may take the addresses of those the last capture held.
    del shared, records
    again = [[i] for i in range(5000)]
    assert all(r[0] != "Ref" for r in parse(again).records)
