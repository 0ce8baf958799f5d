"""Rebuilding values: round trips, shared objects, cycles, invalid indices
and very deep nesting."""

import struct

import pytest

from _zelkor import dumps, loads

from blob_builder import (
    dataclass, type_entry, typed_blob, TAG_DICT, TAG_FROZENSET, TAG_LIST, TAG_REF, TAG_TUPLE, blob, bool_, bytes_,
    canonical, chain, dict_, float_, float_bits, fset, int_, lst, none, ref,
    same_shape, set_, str_, tup,
)


def fresh(text):
    """An equal but newly allocated copy of ``text`` (never a cached object)."""
    return "".join(list(text))


# -- round trips -------------------------------------------------------------------

def _self_list():
    a = []
    a.append(a)
    return a


def _self_dict():
    d = {"n": 1}
    d["self"] = d
    return d


def _set_member_cycle():
    s = {1, 2}
    a = [s]
    d = {"list": a, "set": s}
    a.append(d)
    return d


def _list_dict_cycle():
    a = [0]
    a.append({"a": a, "more": [a]})
    return a


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


def _list_rooted_tuple_cycle():
    t = _tuple_in_list_cycle()
    return [t, t[0], t]


def _tuple_chain(target, levels=150):
    """Tuple i holds a list and tuple i + 1; the list holds a one-item tuple
    that points back at tuple 0, at tuple i itself or at tuple i - 1."""
    lists = [[] for _ in range(levels)]
    nodes = [None] * levels
    node = None
    for i in reversed(range(levels)):
        node = (lists[i], node)
        nodes[i] = node
    pick = {"root": lambda i: 0, "own": lambda i: i, "parent": lambda i: max(0, i - 1)}[target]
    for i in range(levels):
        lists[i].append((nodes[pick(i)],))
    return nodes[0]


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
    {k: k * 2 for k in (5, 3, 9, 1, 7)},
    {1, "a", (2, 3), frozenset({4, (5,)}), None, b"x", 2.5, False},
    frozenset({1, 2.5, "x", (None,), frozenset()}),
    [True, 1, 1.0, "1", b"1"],
    list(range(-500, 500)), [2**63 - 1, -2**63],
    {"nested": [{"deep": ({"deeper": {frozenset({("x", 1)})}},)}]},
    ("tuple", ["with", {"mixed": (b"content", None)}]),
    # cycles, also through tuples
    _self_list(), _self_dict(), _list_dict_cycle(),
    _set_member_cycle(), _tuple_in_list_cycle(), _tuple_with_two_lists(),
    _tuple_in_dict_cycle(), _nested_tuples_cycle(), _list_rooted_tuple_cycle(),
    _tuple_chain("root"), _tuple_chain("own"), _tuple_chain("parent"),
]


def _short(value):
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


@pytest.mark.parametrize("value", ROUND_TRIP, ids=_short)
def test_round_trip(value):
    # same kinds, values (floats by bits, dicts in order) and sharing
    assert same_shape(loads(dumps(value)), value)


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
    # also with another record built in between, and when it is listed out of order
    apart = loads(blob([lst(1, 2, 1), record, int_(3)], strings=strings))
    assert apart[0] is apart[2]
    backwards = loads(blob([lst(2, 1, 2), int_(3), record], strings=strings))
    assert backwards[0] is backwards[2]
    # and when a list first names it, then a tuple
    in_tuple = loads(blob([tup(1, 2), lst(2), record], strings=strings))
    assert in_tuple[0][0] is in_tuple[1]
    # and so is a record reached twice through one Ref record or one chain
    one_ref = loads(blob([lst(1, 1), ref(2), record], strings=strings))
    assert one_ref[0] is one_ref[1]
    via_chain = loads(blob([lst(1, 2), ref(3), ref(3), ref(4), record], strings=strings))
    assert via_chain[0] is via_chain[1]


# How a blob of rows laid out as saved ends, its first record at `t`: (the
# root's last children, the records, the last item or None for the first row).
LATE_TAILS = {
    "saved": lambda t: ([t], [ref(1)], None),
    "ref-to-ref": lambda t: ([t], [ref(t + 1), ref(1)], None),
    "named-again": lambda t: ([1], [], None),
    "forward-ref": lambda t: ([t], [ref(t + 1), str_(6)], "late"),
    "out-of-order": lambda t: ([t + 1, t], [int_(1), int_(2)], 1),
}


@pytest.mark.parametrize("tail", LATE_TAILS.values(), ids=LATE_TAILS.keys())
def test_rows_then_a_layout_not_as_saved_load_whole(tail):
    # Fifty rows of six pairs with shared keys, as saved, then records not
    # laid out as saved: what was built is dropped and the whole blob built
    # again, to the same value, identity and keys.
    records, rows = [None], []
    for r in range(50):
        rows.append(len(records))
        first = len(records) + 1
        records.append(dict_(*[(first + 2 * k, first + 2 * k + 1) for k in range(6)]))
        for k in range(6):
            records += [str_(k) if r == 0 else ref(2 + 2 * k), int_(r)]
    named, more, last = tail(len(records))
    records[0] = lst(*rows, *named)
    result = loads(blob(records + more, strings=["a", "b", "c", "d", "e", "f", "late"]))
    assert same_shape(result[:50], [dict(zip("abcdef", [r] * 6)) for r in range(50)])
    assert all(all(a is b for a, b in zip(row, result[0])) for row in result[:50])
    if last is None:
        assert result[50] is result[0]
    else:
        assert result[-1] == last and len(result) == 50 + len(named)


def test_records_named_through_colliding_memo_slots_keep_their_identity():
    # Ref targets spread thinly over many records get memo slots of their own;
    # the few other entries (tuples here) go to an open-addressing table. These
    # tuples all share one home slot there, past the longest run it probes, which
    # moves every entry, the Ref targets' too, into a table of one slot per record.
    def home(index):
        return (index * 0x9E3779B97F4A7C15) % 2**64 >> 54

    n = 200_000
    colliding = [i for i in range(1, n - 1) if home(i) == home(1)]
    targets, tuples = colliding[:90], colliding[90:180]
    assert len(tuples) == 90 and not set(targets) & {t + 1 for t in tuples}
    refs = [n + k for k in range(2 * len(targets))]
    records = [lst(*refs, *tuples, *refs)] + [int_(10**12 + i) for i in range(1, n)]
    for t in tuples:
        records[t] = tup(t + 1)
    records += [ref(t) for t in targets for _ in range(2)]
    result = loads(blob(records))
    shared = [10**12 + t for t in targets for _ in range(2)]
    assert result == shared + [(10**12 + t + 1,) for t in tuples] + shared
    first, again = result[: len(shared)], result[-len(shared):]
    assert all(first[k] is first[k + 1] is again[k] is again[k + 1] for k in range(0, len(shared), 2))


@pytest.mark.parametrize("place", ["key", "value", "item"])
def test_many_objects_named_again_in_turn_keep_their_identity(place):
    # Two thousand shared texts, each named again after all of them, every
    # third one at a time: Refs whose targets share the low bits of their
    # record index follow each other.
    texts = [fresh("t%d" % i) for i in range(2000)]
    order = list(range(2000)) + [i for k in range(3) for i in range(k, 2000, 3)][::-1]
    wrap = {"key": lambda t: {t: 0}, "value": lambda t: {"k": t}, "item": lambda t: [t]}[place]
    out = loads(dumps([wrap(texts[i]) for i in order]))
    got = [next(iter(v)) if place == "key" else v["k"] if place == "value" else v[0] for v in out]
    assert got == [texts[i] for i in order]
    first = got[:2000]
    assert all(g is first[i] for g, i in zip(got, order))


def _rows(change):
    keys = ["k%d" % i for i in range(8)]
    first = {k: i for i, k in enumerate(keys)}
    second = dict(first)
    change(second, keys)
    second["k0" if "k0" in second else next(iter(second))] = second  # a cycle through a row
    second[keys[-1]] = (second, [first])
    return [first, second, dict(second), {k: -1 for k in first}]


@pytest.mark.parametrize("change", [
    lambda d, keys: None,
    lambda d, keys: d.update({fresh("k3"): d.pop("k3")}),  # an equal key, another object
    lambda d, keys: d.update({"other": d.pop("k5")}),
    lambda d, keys: d.update({"k2": d.pop("k2")}),  # another order
    lambda d, keys: d.update({"k8": 8}),
    lambda d, keys: d.pop("k7"),
    lambda d, keys: d.update({fresh("k0"): d.pop("k0")}),
], ids=["same", "equal-key", "other-key", "order", "longer", "shorter", "equal-first-key"])
def test_rows_of_dicts_with_shared_keys_keep_their_keys(change):
    rows = _rows(change)
    out = loads(dumps(rows))
    assert same_shape(out, rows)
    for got, want in zip(out, rows):
        assert list(got) == list(want)
    # every key object comes back shared exactly where the saved ones were
    ids = {}
    for got, want in zip(out, rows):
        for g, w in zip(got, want):
            assert ids.setdefault(id(w), g) is g
    assert len({id(k) for row in out for k in row}) == len(ids)


def test_a_row_naming_a_key_twice_after_a_row_of_its_keys():
    strings = ["k%d" % i for i in range(7)]
    first = dict_(*[(2 + i, 9 + i) for i in range(7)])
    second = dict_(*[(17 + i, 24 + i) for i in range(7)])
    records = ([lst(1, 16), first] + [str_(i) for i in range(7)] + [int_(i) for i in range(7)]
               + [second] + [ref(2 + k) for k in (0, 1, 1, 2, 3, 4, 5)] + [int_(100 + i) for i in range(7)])
    rows = loads(blob(records, strings=strings))
    assert list(rows[1].items()) == [("k0", 100), ("k1", 102), ("k2", 103), ("k3", 104), ("k4", 105), ("k5", 106)]
    assert all(a is b for a, b in zip(rows[0], rows[1]))


@pytest.mark.parametrize("text", ["same text twice", "naïve", "東京", "ελληνικά 𝄞", "é", "x" * 2000, "ü" * 600])
def test_distinct_str_records_give_distinct_equal_strings(text):
    result = loads(blob([lst(*range(1, 6)), str_(0), str_(0), int_(1), str_(0), str_(0)], strings=[text]))
    assert result == [text, text, 1, text, text]
    texts = [result[i] for i in (0, 1, 3, 4)]
    assert all(type(t) is str for t in texts)
    if len(text) > 1:  # (the interpreter may keep one str of a character)
        assert len({id(t) for t in texts}) == 4


def test_costly_texts_among_many_keep_their_own_uses():
    # A large table with few costly texts (not ASCII, or long): each is
    # named three times, the others between, and keeps its own copy.
    strings = ["f%d" % i for i in range(20000)]
    at = [3, 64, 127, 128, 9000, 19999]
    for i, text in zip(at, ["naïve", "東京", "ελληνικά 𝄞", "é", "x" * 2000, "ü" * 600]):
        strings[i] = text
    names = at + at[::-1] + at
    result = loads(blob([lst(*range(1, len(names) + 1))] + [str_(i) for i in names], strings=strings))
    assert result == [strings[i] for i in names]


# (records, strings, value): what hand-built blobs load as, compared with same_shape
HAND_BUILT = [
    # a Ref at the root stands for its target
    ([ref(1), lst()], ["x"], []),
    ([ref(1), int_(5)], ["x"], 5),
    ([ref(1), ref(2), ref(3), str_(0)], ["x"], "x"),
    ([ref(2), none(), dict_((1, 1))], ["x"], {None: None}),
    ([lst(3, 2, 1), str_(0), int_(-7), bytes_(b"z")], ["s"], [b"z", -7, "s"]),  # forward
    ([int_(-2**63)], [], -2**63),
    # bad indices and Ref loops only matter when reached
    ([lst(4), lst(99), ref(99), str_(99), none(), set_(2, 3)], ["s"], [None]),
    ([none(), ref(1)], [], None),
    # a duplicate dict key keeps its first place and its later value
    ([dict_((1, 2), (3, 4), (5, 6)), int_(1), str_(0), int_(2), none(), int_(1), str_(1)],
     ["first", "second"], {1: "second", 2: None}),
    # equal keys or members of different kinds collapse onto the first
    ([dict_((1, 2), (3, 4)), int_(1), str_(0), bool_(True), str_(1)], ["int", "bool"],
     {1: "bool"}),
    ([lst(1, 2), set_(3, 4, 5), fset(3, 4), int_(1), bool_(True), float_(1.0)], [],
     [{1}, frozenset({1})]),
    # members are complete before they are inserted
    ([set_(1), tup(2, 3), int_(1), fset(4), int_(2)], [], {(1, frozenset({2}))}),
]


@pytest.mark.parametrize("records, strings, value", HAND_BUILT)
def test_hand_built(records, strings, value):
    assert same_shape(loads(blob(records, strings=strings)), value)


# -- cycles ---------------------------------------------------------------------------

def test_hand_built_self_reference_without_ref_record():
    # a container may list its own record index directly
    result = loads(blob([lst(0, 1), int_(3)]))
    assert result[0] is result and result[1] == 3


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


@pytest.mark.parametrize("target", ["root", "own", "parent"])
def test_tuple_chain_with_back_references_at_every_level(target):
    # tuple i holds tuple i + 1 and a list that points back into the chain
    levels = 300
    records = []
    for i in range(levels):
        back = {"root": 0, "own": 2 * i, "parent": max(0, 2 * i - 2)}[target]
        records += [tup(2 * i + 2, 2 * i + 1), lst(back)]
    result = loads(blob(records + [none()]))
    nodes = []
    node = result
    while node is not None:
        assert type(node) is tuple and type(node[1]) is list
        nodes.append(node)
        node = node[0]
    assert len(nodes) == levels
    for i, node in enumerate(nodes):
        expected = {"root": nodes[0], "own": node, "parent": nodes[max(0, i - 1)]}[target]
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


# -- invalid references --------------------------------------------------------------

@pytest.mark.parametrize("records, strings, message", [
    # Ref loops
    ([ref(0)], [], "Invalid reference: 0"),
    ([ref(1), ref(0)], [], "Invalid reference: [01]"),
    ([lst(1), ref(1)], [], "Invalid reference: 1"),
    ([lst(1), ref(2), ref(3), ref(1)], [], "Invalid reference: [123]"),
    ([dict_((1, 2)), int_(1), ref(2)], [], "Invalid reference: 2"),
    # indices past the record table
    ([], [], "Invalid reference: 0"),
    ([ref(1)], [], "Invalid reference: 1"),
    ([ref(0xFFFFFFFF)], [], "Invalid reference: 4294967295"),
    ([ref(1), ref(50)], [], "Invalid reference: 50"),
    ([lst(1, 5), none()], [], "Invalid reference: 5"),
    ([lst(1), ref(6)], [], "Invalid reference: 6"),
    ([tup(7)], [], "Invalid reference: 7"),
    ([set_(8)], [], "Invalid reference: 8"),
    ([fset(9)], [], "Invalid reference: 9"),
    ([dict_((10, 1)), none()], [], "Invalid reference: 10"),
    ([dict_((1, 11)), none()], [], "Invalid reference: 11"),
    ([lst(1), lst(2), tup(0xFFFFFFFE)], [], "Invalid reference: 4294967294"),
    # string indices past the string table
    ([str_(0)], [], "Invalid string index: 0"),
    ([str_(1)], ["s"], "Invalid string index: 1"),
    ([str_(0xFFFFFFFF)], ["s"], "Invalid string index: 4294967295"),
    ([lst(2, 1), str_(3), str_(0)], ["s"], "Invalid string index: 3"),
    ([dict_((1, 2)), str_(0), str_(2)], ["s"], "Invalid string index: 2"),
    # the first error in stored order wins
    ([lst(1, 2), str_(9), ref(9)], ["s"], "Invalid string index: 9"),
])
def test_invalid_index(records, strings, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        loads(blob(records, strings=strings))


# -- dicts and sets ---------------------------------------------------------------------

def test_duplicate_keys_waiting_for_tuples_keep_the_later_value():
    # 0 = (1,), 1 = (2,), 2 = {"k": 1, "k": 0}: both values are tuples still
    # being built when the dict is filled; the later pair wins
    result = loads(blob([tup(1), tup(2), dict_((3, 1), (3, 0)), str_(0)], strings=["k"]))
    inner = result[0]
    assert inner[0]["k"] is result
    assert list(inner[0]) == ["k"]


@pytest.mark.parametrize("records", [
    [set_(1), lst()],
    [set_(1), dict_()],
    [fset(1), lst()],
    [set_(1), set_()],
    [set_(1), tup(2), lst()],
    [dict_((1, 2)), lst(), none()],
    [dict_((1, 2)), tup(3), none(), dict_()],
    [set_(0)],
    [fset(1), lst(0)],  # a frozenset cycle through a list
])
def test_unhashable_member_or_key_raises_type_error(records):
    with pytest.raises(TypeError, match="unhashable"):
        loads(blob(records))


def _holder(kind, item):
    return {"set": set_(item), "key": dict_((item, item)), "frozenset": fset(item)}[kind]


def _tuple_chain_under(kind, depth):
    # record 0 hashes record 1; records 1..depth are one-item tuples nested in turn
    return blob([_holder(kind, 1)] + [tup(k + 1) for k in range(1, depth + 1)] + [int_(7)])


@pytest.mark.parametrize("kind", ["set", "key", "frozenset"])
def test_hashing_a_very_deep_tuple_is_refused(kind):
    # hashing recurses once per level on the native stack, unchecked
    with pytest.raises(RecursionError, match="hashing a tuple"):
        loads(_tuple_chain_under(kind, 20_000))
    assert loads(_tuple_chain_under(kind, 100))


@pytest.mark.parametrize("kind", ["set", "key", "frozenset"])
def test_hashing_that_would_take_exponential_time_is_refused(kind):
    # tuple i names tuple i + 1 twice: one hash would visit 2**60 items
    records = [_holder(kind, 1)] + [tup(i + 1, i + 1) for i in range(1, 61)] + [int_(0)]
    with pytest.raises(ValueError, match="hashing its tuples would take too long"):
        loads(blob(records))


def test_hashing_one_big_tuple_in_many_sets_is_bounded():
    # one tuple of n items is the only member of n sets: n * n item hashes
    n = 20_000
    records = [lst(*range(1, n + 1))] + [set_(2 * n + 2 + j) for j in range(n)]
    records += [tup(*range(n + 2, 2 * n + 2))] + [int_(i) for i in range(n)] + [ref(n + 1)] * n
    with pytest.raises(ValueError, match="hashing its tuples would take too long"):
        loads(blob(records))


def _pairs_of_one_hash(n):
    """``n`` distinct tuples (a, b) of ints that all hash alike: a tuple's
    hash mixes its items' hashes in a way that can be solved for b."""
    mask, p1, p2, p5 = (1 << 64) - 1, 11400714785074694791, 14029467366897019727, 2870177450012600261
    mersenne = (1 << 61) - 1

    def rot(x, r):
        return ((x << r) | (x >> (64 - r))) & mask

    final = (0x123456789ABCDEF - (2 ^ p5 ^ 3527539)) & mask
    want = rot((final * pow(p1, -1, 1 << 64)) & mask, 33)
    pairs, a = [], 0
    while len(pairs) < n:
        a += 1
        lane = ((want - rot((p5 + a * p2) & mask, 31) * p1) * pow(p2, -1, 1 << 64)) & mask
        b = lane - (1 << 64) if lane >> 63 else lane
        if -mersenne < b < -1 or 0 <= b < mersenne:
            pairs.append((a, b))
    return pairs


@pytest.mark.parametrize("kind", ["set", "key", "frozenset", "key named by a Ref"])
def test_many_distinct_members_of_one_hash_are_refused(kind):
    # each member is compared with every one of its hash before it: filling
    # the container would take time quadratic in the blob's size
    pairs = _pairs_of_one_hash(8000)
    if len({hash(pair) for pair in pairs[:2]}) != 1:
        pytest.skip("this interpreter hashes tuples otherwise")
    first = 2 if kind == "key named by a Ref" else 1  # [[tuples], {Ref to a tuple: None, ...}]
    members = [first + 3 * k for k in range(len(pairs))]
    tuples = []
    for m, (a, b) in zip(members, pairs):
        tuples += [tup(m + 1, m + 2), int_(a), int_(b)]
    if kind == "key named by a Ref":
        at = first + len(tuples)
        refs = [r for m in members for r in (ref(m), none())]
        records = [lst(1, at), lst(*members)] + tuples + [dict_(*[(at + 1 + 2 * k, at + 2 + 2 * k)
                                                                  for k in range(len(members))])] + refs
    else:
        records = [{"set": set_(*members), "key": dict_(*[(m, 1) for m in members]),
                    "frozenset": fset(*members)}[kind]] + tuples
    with pytest.raises(ValueError, match="hashing its tuples would take too long"):
        loads(blob(records))
    assert len(loads(blob([set_(*members[:64]), *records[1:]]))) == 64


def test_parked_tuples_waiting_for_a_tuple_only_cycle_raise():
    # 0 (1,)  1 {6: 4, 6: 3}  3 (4,)  4 (0, 3): records 3 and 4 form a
    # cycle of tuples alone, reached through a dict whose pairs share a key
    records = [tup(1), dict_((6, 4), (6, 3)), none(), tup(4), tup(0, 3), none(), none()]
    with pytest.raises(ValueError, match="cycle of immutable containers"):
        loads(blob(records))


def test_one_long_text_named_by_many_records_stays_bounded():
    text = "x" * 100_000
    count = 10_000  # a gigabyte if every record made its own str
    data = blob([lst(*range(1, count + 1))] + [str_(0)] * count, strings=[text])
    loaded = loads(data)
    assert len(loaded) == count and all(s == text for s in loaded)
    few = loads(blob([lst(1, 2), str_(0), str_(0)], strings=[text]))
    assert few[0] == few[1] and few[0] is not few[1]


def test_wide_type_named_by_many_empty_records_is_refused(monkeypatch):
    import zelkor

    class Wide:
        pass

    monkeypatch.setitem(zelkor._reconstruct._registered, "Wide", Wide)
    width = 60_000
    strings = ["Wide"] + ["f%d" % i for i in range(width)]
    types = [type_entry(0, range(1, width + 1))]
    records = [lst(*range(1, 2001))] + [dataclass(0)] * 2000
    with pytest.raises(ValueError, match="too many field names"):
        loads(blob(records, strings, types))


def test_hashable_instance_holding_a_very_deep_tuple_is_not_hashed(monkeypatch):
    import dataclasses
    import zelkor

    @dataclasses.dataclass(frozen=True)
    class Key:
        parts: tuple

    monkeypatch.setitem(zelkor._reconstruct._registered, "Key", Key)
    depth = 20_000
    records = [set_(1), dataclass(0, 2)] + [tup(k + 1) for k in range(2, depth + 2)] + [int_(0)]
    with pytest.raises(RecursionError, match="hashing a tuple"):
        loads(typed_blob([("Key", ["parts"], 0)], records))


def test_hashable_instances_naming_one_another_twice_are_not_hashed(monkeypatch):
    import dataclasses
    import zelkor

    @dataclasses.dataclass(frozen=True)
    class Pair:
        a: object = None
        b: object = None

    monkeypatch.setitem(zelkor._reconstruct._registered, "Pair", Pair)
    # a set holding P1; P_i = Pair(P_i+1, P_i+1): hashing P1 would visit 2**40 instances
    records = [set_(1)] + [dataclass(0, i + 1, i + 1) for i in range(1, 40)] + [none()]
    with pytest.raises(ValueError, match="would take too long"):
        loads(typed_blob([("Pair", ["a", "b"], 0)], records))


def test_field_names_copied_from_the_type_table_are_bounded():
    # 65,535 field indices naming one long text: four bytes each in the blob
    strings = ["T", "x" * 100_000]
    types = [type_entry(0, [1] * 65_535)]
    with pytest.raises(ValueError, match="type table field names too large"):
        loads(blob([none()], strings, types))


# -- scalars --------------------------------------------------------------------------------

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


# -- depth ------------------------------------------------------------------------------------

DEEP = 1_000_000


def _depth(value, kind):
    """How many one-item containers of ``kind`` are nested, and what is innermost."""
    n = 0
    while type(value) is kind:
        assert len(value) == 1
        value = value["k"] if kind is dict else next(iter(value))
        n += 1
    return n, value


@pytest.mark.parametrize("tag, fields, kind, depth, tail, strings, end", [
    (TAG_LIST, (1,), list, DEEP, none(), [], None),
    (TAG_TUPLE, (1,), tuple, DEEP, none(), [], None),
    (TAG_FROZENSET, (1,), frozenset, 200_000, none(), [], None),
    # record i is {"k": record i + 1}; the last record is the key text
    (TAG_DICT, (1, 200_000), dict, 200_000, str_(0), ["k"], "k"),
])
def test_deeply_nested_blob_loads(tag, fields, kind, depth, tail, strings, end):
    data = blob([chain(depth, tag, *fields) + tail], strings=strings, record_count=depth + 1)
    assert _depth(loads(data), kind) == (depth, end)


def test_long_ref_chain():
    assert loads(blob([chain(DEEP, TAG_REF) + int_(42)], record_count=DEEP + 1)) == 42


def test_deeply_nested_list_round_trips():
    depth = 200_000
    value = None
    for _ in range(depth):
        value = [value]
    try:
        data = dumps(value)
    except RecursionError:
        pytest.skip("capture refuses this depth with RecursionError")
    assert _depth(loads(data), list) == (depth, None)


def test_deep_tuple_chain_closed_through_a_list_and_a_tuple():
    # tuples 0 .. DEEP-1 each hold the next; the last holds a list whose only
    # item is a tuple holding tuple 0, so every tuple on the chain is re-entered
    data = blob([chain(DEEP, TAG_TUPLE, 1) + lst(DEEP + 1) + tup(0)], record_count=DEEP + 2)
    result = loads(data)
    depth, node = _depth(result, tuple)
    assert depth == DEEP and type(node) is list
    assert node[0][0] is result
