"""Rebuilding values: round trips, shared objects, cycles, invalid indices
and very deep nesting."""

import math
import struct

import pytest

from _zelkor import dumps, loads

from blob_builder import (
    blob, bool_, bytes_, canonical, dict_, float_, float_bits, fset, int_,
    lst, none, ref, set_, str_, tup,
)


def fresh(text):
    """An equal but newly allocated copy of ``text`` (never a cached object)."""
    return "".join(list(text))


# -- round trips -------------------------------------------------------------------

ROUND_TRIP = [
    None, True, False,
    0, 1, -1, 63, -64, 64, -65, 127, 128, -129, 300, 2**31, -2**31 - 1,
    2**62, 2**63 - 1, -2**63,
    0.0, -0.0, 1.5, -2.25, 1e300, 5e-324, 1.7976931348623157e308,
    float("inf"), float("-inf"), float("nan"),
    "", "a", "héllo wörld", "€😀\U0010ffff", "\x00", "a\x00b",
    b"", b"\x00", bytes(range(256)),
    [], (), {}, set(), frozenset(),
    [1, [2, [3, []]]], (1, (2,), ()), [(), [], {}, set(), frozenset()],
    {"a": 1, 2: "b", (1, 2): [3], None: None, frozenset({1}): {}, b"k": 1.5,
     True: False, -0.5: (), "": ""},
    {3: "c", 1: "a", 2: "b"},
    {1, "a", (2, 3), frozenset({4, (5,)}), None, b"x", 2.5, False},
    frozenset({1, 2.5, "x", (None,), frozenset()}),
    [True, 1, 1.0, "1", b"1"],
    list(range(-500, 500)),
    {"nested": [{"deep": ({"deeper": {frozenset({("x", 1)})}},)}]},
    ("tuple", ["with", {"mixed": (b"content", None)}]),
]


def _short(value):
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


@pytest.mark.parametrize("value", ROUND_TRIP, ids=_short)
def test_round_trip(value):
    assert canonical(loads(dumps(value))) == canonical(value)


def test_dict_order_is_kept():
    d = {k: k * 2 for k in (5, 3, 9, 1, 7)}
    assert list(loads(dumps(d)).items()) == list(d.items())


@pytest.mark.parametrize("value", [None, True, False])
def test_singletons(value):
    assert loads(dumps(value)) is value
    assert loads(dumps([value]))[0] is value


# -- identity -----------------------------------------------------------------------

SHARED = {
    "int": lambda: int("1000000000007"),
    "negative-int": lambda: -int("98765432109876"),
    "float": lambda: float("2.5e10"),
    "str": lambda: fresh("shared text"),
    "bytes": lambda: bytes(b"shared bytes"),
    "list": lambda: [1, 2],
    "tuple": lambda: (1, fresh("two")),
    "dict": lambda: {"k": 1},
    "set": lambda: {1, 2},
    "frozenset": lambda: frozenset({1, 2}),
}


@pytest.mark.parametrize("make", SHARED.values(), ids=SHARED.keys())
def test_shared_object_stays_one_object(make):
    v = make()
    result = loads(dumps([v, v, {"k": v}, (v,), [[v]]]))
    first = result[0]
    assert canonical(first) == canonical(v)
    for other in (result[1], result[2]["k"], result[3][0], result[4][0][0]):
        assert other is first


def test_shared_key_and_value():
    k = fresh("key text")
    result = loads(dumps({k: k}))
    (key, value), = result.items()
    assert key is value


RECORD_SAMPLES = {
    "str": (str_(0), "some text"),
    "int": (int_(10**15), 10**15),
    "float": (float_(2.5e10), 2.5e10),
    "bytes": (bytes_(b"xy"), b"xy"),
    "list": (lst(), []),
    "tuple": (tup(), ()),
    "dict": (dict_(), {}),
    "set": (set_(), set()),
    "frozenset": (fset(), frozenset()),
}


@pytest.mark.parametrize("record,value", RECORD_SAMPLES.values(), ids=RECORD_SAMPLES.keys())
def test_ref_and_repeated_index_give_the_same_object(record, value):
    strings = ["some text"]
    via_ref = loads(blob([lst(1, 2), record, ref(1)], strings=strings))
    assert via_ref == [value, value]
    assert via_ref[0] is via_ref[1]
    # the same record index listed twice is built once as well
    twice = loads(blob([lst(1, 1), record], strings=strings))
    assert twice[0] is twice[1]
    # and so is a record reached twice through one Ref record or one chain
    one_ref = loads(blob([lst(1, 1), ref(2), record], strings=strings))
    assert one_ref[0] is one_ref[1]
    chain = loads(blob([lst(1, 2), ref(3), ref(3), ref(4), record], strings=strings))
    assert chain[0] is chain[1]


def test_distinct_str_records_give_distinct_equal_strings():
    result = loads(blob([lst(1, 2), str_(0), str_(0)], strings=["same text twice"]))
    assert result == ["same text twice", "same text twice"]
    assert result[0] is not result[1]


@pytest.mark.parametrize("records,expected", [
    ([ref(1), lst()], []),
    ([ref(1), int_(5)], 5),
    ([ref(1), ref(2), ref(3), str_(0)], "x"),
    ([ref(2), none(), dict_((1, 1))], {None: None}),
])
def test_root_ref_returns_its_target(records, expected):
    assert loads(blob(records, strings=["x"])) == expected


def test_forward_references():
    data = blob([lst(3, 2, 1), str_(0), int_(-7), bytes_(b"z")], strings=["s"])
    assert loads(data) == [b"z", -7, "s"]


# -- cycles ---------------------------------------------------------------------------

def test_list_containing_itself():
    a = []
    a.append(a)
    result = loads(dumps(a))
    assert type(result) is list and len(result) == 1
    assert result[0] is result


def test_dict_containing_itself():
    d = {"n": 1}
    d["self"] = d
    result = loads(dumps(d))
    assert result["self"] is result and result["n"] == 1


def test_cycle_through_list_and_dict():
    a = [0]
    b = {"a": a, "more": [a]}
    a.append(b)
    result = loads(dumps(a))
    assert result[0] == 0
    assert result[1]["a"] is result
    assert result[1]["more"][0] is result


def test_cycle_through_set_member_container():
    s = {1, 2}
    a = [s]
    d = {"list": a, "set": s}
    a.append(d)
    result = loads(dumps(d))
    assert result["list"][1] is result
    assert result["list"][0] is result["set"] == {1, 2}


def test_hand_built_self_reference_without_ref_record():
    # a container may list its own record index directly
    result = loads(blob([lst(0, 1), int_(3)]))
    assert result[0] is result and result[1] == 3


def _tuple_in_list_cycle():
    t = ([], "x")
    t[0].append(t)
    return t


def _tuple_with_two_lists():
    t = ([], [])
    t[0].append(t)
    t[1].append(t)
    return t


def _tuple_in_dict_cycle():
    d = {}
    t = (d, 1)
    d["t"] = t
    return t


def _nested_tuples_cycle():
    inner = ([],)
    outer = (inner, "o")
    inner[0].append(outer)
    return outer


def test_tuple_cycle_through_list_is_intact():
    result = loads(dumps(_tuple_in_list_cycle()))
    assert type(result) is tuple and result[1] == "x"
    assert result[0][0] is result


def test_tuple_cycle_through_two_lists_is_intact():
    result = loads(dumps(_tuple_with_two_lists()))
    assert result[0][0] is result
    assert result[1][0] is result


def test_tuple_cycle_through_dict_is_intact():
    result = loads(dumps(_tuple_in_dict_cycle()))
    assert result[0]["t"] is result and result[1] == 1


def test_nested_tuple_cycle_is_intact():
    result = loads(dumps(_nested_tuples_cycle()))
    assert result[1] == "o"
    assert result[0][0][0] is result


def test_list_rooted_tuple_cycle_is_intact():
    t = _tuple_in_list_cycle()
    root = [t, t[0], t]
    result = loads(dumps(root))
    assert result[0] is result[2]
    assert result[0][0] is result[1]
    assert result[1][0] is result[0]


HAND_BUILT_TUPLE_CYCLES = {
    "tuple-list": ([tup(1), lst(0)], lambda r: r[0][0]),
    "tuple-list-ref": ([tup(1), lst(2), ref(0)], lambda r: r[0][0]),
    "tuple-dict": ([tup(1), dict_((2, 0)), str_(0)], lambda r: r[0]["k"]),
    "tuple-tuple-list": ([tup(1, 3), tup(2), lst(0), none()], lambda r: r[0][0][0]),
    "tuple-list-tuple": ([tup(1), lst(2), tup(0)], lambda r: r[0][0][0]),
    "tuple-dict-tuple": ([tup(1), dict_((3, 2)), tup(0), str_(0)], lambda r: r[0]["k"][0]),
}


@pytest.mark.parametrize("records,back", HAND_BUILT_TUPLE_CYCLES.values(),
                         ids=HAND_BUILT_TUPLE_CYCLES.keys())
def test_hand_built_tuple_cycles_are_intact(records, back):
    result = loads(blob(records, strings=["k"]))
    assert type(result) is tuple
    assert back(result) is result


def _tuple_chain_value(levels, target):
    """Tuple i holds a list and tuple i + 1; the list holds a one-item tuple
    that points back at tuple 0, at tuple i itself or at tuple i - 1."""
    lists = [[] for _ in range(levels)]
    chain = [None] * levels
    node = None
    for i in reversed(range(levels)):
        node = (lists[i], node)
        chain[i] = node
    pick = {"root": lambda i: 0, "own": lambda i: i, "parent": lambda i: max(0, i - 1)}[target]
    for i in range(levels):
        lists[i].append((chain[pick(i)],))
    return chain[0], pick


@pytest.mark.parametrize("target", ["root", "own", "parent"])
def test_tuple_chain_value_round_trips(target):
    levels = 150
    value, pick = _tuple_chain_value(levels, target)
    result = loads(dumps(value))
    chain = []
    while result is not None:
        chain.append(result)
        result = result[1]
    assert len(chain) == levels
    for i, node in enumerate(chain):
        back = node[0][0]
        assert type(back) is tuple and back[0] is chain[pick(i)]


@pytest.mark.parametrize("target", ["root", "own", "parent"])
def test_tuple_chain_with_back_references_at_every_level(target):
    # tuple i holds tuple i + 1 and a list that points back into the chain
    levels = 300
    records = []
    for i in range(levels):
        back = {"root": 0, "own": 2 * i, "parent": max(0, 2 * i - 2)}[target]
        records += [tup(2 * i + 2, 2 * i + 1), lst(back)]
    result = loads(blob(records + [none()]))
    chain = []
    node = result
    while node is not None:
        assert type(node) is tuple and type(node[1]) is list
        chain.append(node)
        node = node[0]
    assert len(chain) == levels
    for i, node in enumerate(chain):
        expected = {"root": chain[0], "own": node, "parent": chain[max(0, i - 1)]}[target]
        assert node[1][0] is expected


@pytest.mark.parametrize("records", [
    [tup(0)],
    [tup(1), ref(0)],
    [tup(1), tup(0)],
    [tup(1, 2), none(), tup(0)],
    [fset(0)],
    [fset(1), ref(0)],
    [fset(1), tup(0)],
    [tup(1), fset(2), tup(0)],
    [lst(1), tup(2), tup(1)],
    [dict_((1, 2)), none(), tup(3), tup(2)],
])
def test_cycle_of_only_tuples_and_frozensets_raises(records):
    with pytest.raises(ValueError):
        loads(blob(records))


def test_frozenset_cycle_through_list_is_unhashable():
    with pytest.raises(TypeError):
        loads(blob([fset(1), lst(0)]))


# -- invalid references --------------------------------------------------------------

@pytest.mark.parametrize("records,pattern", [
    ([ref(0)], "Invalid reference: 0"),
    ([ref(1), ref(0)], "Invalid reference: [01]"),
    ([lst(1), ref(1)], "Invalid reference: 1"),
    ([lst(1), ref(2), ref(3), ref(1)], "Invalid reference: [123]"),
    ([dict_((1, 2)), int_(1), ref(2)], "Invalid reference: 2"),
    ([none(), ref(1)], None),
])
def test_ref_loops_raise(records, pattern):
    if pattern is None:             # a loop nothing reaches is harmless
        assert loads(blob(records)) is None
        return
    with pytest.raises(ValueError, match="^%s$" % pattern):
        loads(blob(records))


@pytest.mark.parametrize("records,index", [
    ([], 0),
    ([ref(1)], 1),
    ([ref(0xFFFFFFFF)], 4294967295),
    ([ref(1), ref(50)], 50),
    ([lst(1, 5), none()], 5),
    ([lst(1), ref(6)], 6),
    ([tup(7)], 7),
    ([set_(8)], 8),
    ([fset(9)], 9),
    ([dict_((10, 1)), none()], 10),
    ([dict_((1, 11)), none()], 11),
    ([lst(1), lst(2), tup(0xFFFFFFFE)], 4294967294),
])
def test_out_of_range_index(records, index):
    with pytest.raises(ValueError) as info:
        loads(blob(records))
    assert str(info.value) == "Invalid reference: %d" % index


@pytest.mark.parametrize("records,index", [
    ([str_(1)], 1),
    ([str_(0xFFFFFFFF)], 4294967295),
    ([lst(2, 1), str_(3), str_(0)], 3),
    ([dict_((1, 2)), str_(0), str_(2)], 2),
])
def test_invalid_string_index(records, index):
    with pytest.raises(ValueError) as info:
        loads(blob(records, strings=["s"]))
    assert str(info.value) == "Invalid string index: %d" % index


def test_invalid_string_index_without_strings():
    with pytest.raises(ValueError, match="^Invalid string index: 0$"):
        loads(blob([str_(0)]))


def test_invalid_indices_only_matter_when_reached():
    data = blob([lst(4), lst(99), ref(99), str_(99), none(), set_(2, 3)], strings=["s"])
    assert loads(data) == [None]


def test_first_error_in_stored_order_wins():
    data = blob([lst(1, 2), str_(9), ref(9)], strings=["s"])
    with pytest.raises(ValueError, match="^Invalid string index: 9$"):
        loads(data)


# -- dicts and sets ---------------------------------------------------------------------

def test_duplicate_dict_keys_keep_the_later_value():
    records = [dict_((1, 2), (3, 4), (5, 6)), int_(1), str_(0), int_(2), none(),
               int_(1), str_(1)]
    result = loads(blob(records, strings=["first", "second"]))
    assert result == {1: "second", 2: None}
    assert list(result) == [1, 2]


def test_duplicate_keys_waiting_for_tuples_keep_the_later_value():
    # 0 = (1,), 1 = (2,), 2 = {"k": 1, "k": 0}: both values are tuples still
    # being built when the dict is filled; the later pair wins
    result = loads(blob([tup(1), tup(2), dict_((3, 1), (3, 0)), str_(0)], strings=["k"]))
    inner = result[0]
    assert inner[0]["k"] is result
    assert list(inner[0]) == ["k"]


def test_equal_keys_of_different_kinds_collapse():
    records = [dict_((1, 2), (3, 4)), int_(1), str_(0), bool_(True), str_(1)]
    result = loads(blob(records, strings=["int", "bool"]))
    assert result == {1: "bool"}
    assert type(next(iter(result))) is int


@pytest.mark.parametrize("records", [
    [set_(1), lst()],
    [set_(1), dict_()],
    [fset(1), lst()],
    [set_(1), set_()],
    [set_(1), tup(2), lst()],
    [dict_((1, 2)), lst(), none()],
    [dict_((1, 2)), tup(3), none(), dict_()],
    [set_(0)],
])
def test_unhashable_member_or_key_raises_type_error(records):
    with pytest.raises(TypeError, match="unhashable"):
        loads(blob(records))


def test_members_are_complete_before_insertion():
    result = loads(blob([set_(1), tup(2, 3), int_(1), fset(4), int_(2)]))
    assert result == {(1, frozenset({2}))}


def test_set_and_frozenset_deduplicate_equal_members():
    result = loads(blob([lst(1, 2), set_(3, 4, 5), fset(3, 4), int_(1), bool_(True), float_(1.0)]))
    assert result == [{1}, frozenset({1})]


# -- scalars --------------------------------------------------------------------------------

def test_most_negative_int64():
    assert loads(blob([int_(-2**63)])) == -2**63
    assert loads(dumps(-2**63)) == -2**63
    assert loads(dumps([2**63 - 1, -2**63])) == [2**63 - 1, -2**63]


FLOAT_BITS = [
    0x7FF8000000000000,     # nan
    0x7FF8000000000123,     # nan with a payload
    0xFFF8000000000000,     # negative nan
    0x7FF0000000000000,     # inf
    0xFFF0000000000000,     # -inf
    0x8000000000000000,     # -0.0
    0x0000000000000000,
    0x0000000000000001,     # smallest subnormal
    0x800FFFFFFFFFFFFF,     # largest negative subnormal
    0x7FEFFFFFFFFFFFFF,     # largest finite
    0x3FF0000000000000,     # 1.0
]


@pytest.mark.parametrize("bits", FLOAT_BITS, ids=hex)
def test_float_bit_patterns(bits):
    result = loads(blob([float_bits(bits)]))
    assert type(result) is float
    assert struct.unpack("<Q", struct.pack("<d", result))[0] == bits
    value = struct.unpack("<d", struct.pack("<Q", bits))[0]
    again = loads(dumps(value))
    assert struct.unpack("<Q", struct.pack("<d", again))[0] == bits


def test_negative_zero_keeps_its_sign():
    assert math.copysign(1.0, loads(dumps(-0.0))) == -1.0


# -- depth ------------------------------------------------------------------------------------

DEEP = 1_000_000


def _chain_blob(tag, depth):
    """``depth`` containers of kind ``tag``, each holding the next; None at the end."""
    body = struct.Struct("<BII")
    records = b"".join(body.pack(tag, 1, i + 1) for i in range(depth))
    return blob([records + none()], record_count=depth + 1)


def _depth(value, step):
    n = 0
    while value is not None:
        value = step(value)
        n += 1
    return n


def _only(container):
    assert len(container) == 1
    return next(iter(container))


@pytest.mark.parametrize("tag,kind,depth", [
    (0x08, list, DEEP),
    (0x09, tuple, DEEP),
    (0x0C, frozenset, 200_000),
])
def test_deeply_nested_blob_loads(tag, kind, depth):
    data = _chain_blob(tag, depth)
    result = loads(data)
    assert type(result) is kind
    assert _depth(result, _only) == depth


def test_deeply_nested_dicts_load():
    depth = 200_000
    body = struct.Struct("<BIII")
    # record i is {"k": record i + 1}; record depth is the key text
    records = b"".join(body.pack(0x0A, 1, depth, i + 1) for i in range(depth))
    data = blob([records + str_(0)], strings=["k"], record_count=depth + 1)
    result = loads(data)
    n = 0
    while type(result) is dict:
        result = result["k"]
        n += 1
    assert n == depth and result == "k"


def test_long_ref_chain():
    body = struct.Struct("<BI")
    records = b"".join(body.pack(0x0E, i + 1) for i in range(DEEP))
    assert loads(blob([records + int_(42)], record_count=DEEP + 1)) == 42


def test_deeply_nested_list_round_trips():
    depth = 200_000
    value = None
    for _ in range(depth):
        value = [value]
    try:
        data = dumps(value)
    except RecursionError:
        pytest.skip("capture refuses this depth with RecursionError")
    result = loads(data)
    assert _depth(result, _only) == depth


def test_deep_tuple_chain_closed_through_a_list_and_a_tuple():
    # tuples 0 .. DEEP-1 each hold the next; the last holds a list whose only
    # item is a tuple holding tuple 0, so every tuple on the chain is re-entered
    body = struct.Struct("<BII")
    records = b"".join(body.pack(0x09, 1, i + 1) for i in range(DEEP))
    data = blob([records + lst(DEEP + 1) + tup(0)], record_count=DEEP + 2)
    result = loads(data)
    node, depth = result, 0
    while type(node) is tuple:
        node = node[0]
        depth += 1
    assert depth == DEEP and type(node) is list
    assert node[0][0] is result
