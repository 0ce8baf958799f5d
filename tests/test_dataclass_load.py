"""Loading dataclass instances: allowlist, companion modules, migrations, cycles."""

import dataclasses
import struct
import sys
import types
from collections import OrderedDict

import pytest

import _zelkor
import zelkor
from zelkor import _reconstruct, migrations

RECONSTRUCT = ("zelkor._reconstruct", "tandrel._reconstruct")
MIGRATIONS = ("zelkor.migrations", "tandrel.migrations")
V = ("__zelkor_version__", "__tandrel_version__")


@pytest.fixture(autouse=True)
def fresh_registries(monkeypatch):
    monkeypatch.setattr(_reconstruct, "_registered", {})
    monkeypatch.setattr(_reconstruct, "_generated", {})
    monkeypatch.setattr(migrations, "_steps", {})
    monkeypatch.setattr(migrations, "_paths", {})


# ----------------------------------------------------------------- helpers

def _u32(n):
    return struct.pack("<I", n)


def _int(n):
    z = ((n << 1) ^ (n >> 63)) & (2**64 - 1)
    out = bytearray()
    while z >= 0x80:
        out.append(z & 0x7F | 0x80)
        z >>= 7
    return b"\x04" + bytes(out + bytes([z]))


def _str(index):
    return b"\x06" + _u32(index)


def _list(*items):
    return b"\x08" + _u32(len(items)) + b"".join(map(_u32, items))


def _dc(type_id, *fields):
    return b"\x0d" + struct.pack("<HH", type_id, len(fields)) + b"".join(map(_u32, fields))


NONE = b"\x01"


def craft(types=(), records=(), strings=()):
    """A blob from (name, fields, version) type entries and encoded records."""
    strings = list(strings)

    def idx(text):
        if text not in strings:
            strings.append(text)
        return strings.index(text)

    type_table = b"".join(
        struct.pack("<HIIH", tid, idx(name), version, len(fields))
        + b"".join(_u32(idx(f)) for f in fields)
        for tid, (name, fields, version) in enumerate(types))
    string_table = b"".join(_u32(len(s.encode())) + s.encode() for s in strings)
    return (b"ZLKR" + struct.pack("<HIB", 1, 0, 0)
            + _u32(len(strings)) + string_table
            + _u32(len(types)) + type_table
            + _u32(len(records)) + b"".join(records))


def install(monkeypatch, name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    monkeypatch.setitem(sys.modules, name, module)
    return module


def block(monkeypatch, *names):
    for name in names:
        monkeypatch.setitem(sys.modules, name, None)


class RefusingFinder:
    """Makes importing the given names raise the given exceptions."""

    def __init__(self, errors):
        self.errors = errors

    def find_spec(self, name, path=None, target=None):
        if name in self.errors:
            raise self.errors[name]
        return None


def refuse_imports(monkeypatch, errors):
    for name in errors:
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(sys, "meta_path", [RefusingFinder(errors), *sys.meta_path])


class Recorder:
    """A fake make_class that always answers with one class."""

    def __init__(self, cls):
        self.cls = cls
        self.calls = []

    def __call__(self, name, fields):
        self.calls.append((name, fields))
        return self.cls


def fake_reconstruct(monkeypatch, cls, name="zelkor._reconstruct"):
    recorder = Recorder(cls)
    install(monkeypatch, name, make_class=recorder)
    return recorder


def exception_chain(exc):
    while exc is not None:
        yield exc
        exc = exc.__context__ or exc.__cause__


@dataclasses.dataclass
class Point:
    x: object
    y: object


def dump_as(version, name, fields, values):
    """A blob of an instance of a class ``name`` declaring ``version``."""
    cls = dataclasses.make_dataclass(name, fields)
    cls.__zelkor_version__ = version
    return _zelkor.dumps(cls(*values))


class Kwargs:
    """Records how it is called; takes any keyword argument as an attribute."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        for key, value in kwargs.items():
            setattr(self, key, value)


# ------------------------------------------------------------- allowlist

def test_allowlist_checks_unreachable_records_before_building(monkeypatch):
    recorder = fake_reconstruct(monkeypatch, Point)
    blob = craft(types=[("Point", ["x", "y"], 0), ("Secret", [], 0)],
                 records=[_dc(0, 2, 2), _dc(1), NONE])
    assert isinstance(_zelkor.loads(blob), Point)
    with pytest.raises(TypeError, match=r"^Type 'Secret' is not in the allowlist$"):
        _zelkor.loads(blob, allowlist={"Point"})
    assert len(recorder.calls) == 1  # only from the load without an allowlist


@pytest.mark.parametrize("allowlist, refused", [
    (set(), "Point"),
    ({"test_dataclass_load.Point", "tests.test_dataclass_load.Point"}, "Point"),
    ({"point"}, "Point"),
    ({"Point"}, None),
])
def test_allowlist_holds_bare_names(allowlist, refused):
    blob = _zelkor.dumps([Point(1, 2)])
    if refused:
        with pytest.raises(TypeError, match=f"^Type '{refused}' is not in the allowlist$"):
            _zelkor.loads(blob, allowlist=allowlist)
    else:
        [p] = _zelkor.loads(blob, allowlist=allowlist)
        assert (p.x, p.y) == (1, 2)


def test_empty_allowlist_admits_blob_without_dataclasses():
    value = {"a": [1, (2.5, b"x")], "b": {3}}
    assert _zelkor.loads(_zelkor.dumps(value), allowlist=set()) == value


def test_allowlist_names_first_refused_record():
    blob = craft(types=[("A", [], 0), ("B", [], 0)],
                 records=[_list(1, 2), _dc(1), _dc(0)])
    with pytest.raises(TypeError, match="^Type 'B' is not"):
        _zelkor.loads(blob, allowlist=set())


@pytest.mark.parametrize("reached", [True, False])
def test_type_id_out_of_range(reached):
    root = _dc(5) if reached else _list()
    blob = craft(types=[("A", [], 0)], records=[root, _dc(5)])
    with pytest.raises(ValueError, match=r"^Unknown type_id: 5$"):
        _zelkor.loads(blob, allowlist={"A"})
    if reached:
        with pytest.raises(ValueError, match=r"^Invalid type_id: 5$"):
            _zelkor.loads(blob)
    else:
        assert _zelkor.loads(blob) == []


# ------------------------------------------------ calls into make_class

def test_make_class_arguments_and_call_count(monkeypatch):
    recorder = fake_reconstruct(monkeypatch, Point)
    shared = Point(1, 2)
    out = _zelkor.loads(_zelkor.dumps([shared, Point("a", None), shared]))
    assert out[0] is out[2] and out[0] is not out[1]
    assert [(p.x, p.y) for p in out] == [(1, 2), ("a", None), (1, 2)]
    assert recorder.calls == [("Point", ["x", "y"])] * 2
    for name, fields in recorder.calls:
        assert type(name) is str and type(fields) is list
        assert all(type(f) is str for f in fields)


@pytest.mark.parametrize("names, values, expected", [
    (["y", "x"], [1, 2], {"y": 1, "x": 2}),
    (["x", "y", "z"], [1, 2], {"x": 1, "y": 2}),
    (["x"], [1, 2, 3], {"x": 1}),
    ([], [1], {}),
])
def test_surplus_names_and_values(monkeypatch, names, values, expected):
    fake_reconstruct(monkeypatch, Kwargs)
    records = [_dc(0, *range(1, len(values) + 1))] + [_int(v) for v in values]
    obj = _zelkor.loads(craft(types=[("K", names, 0)], records=records))
    assert obj.args == ()  # keyword arguments only, in stored order
    assert list(obj.kwargs.items()) == list(expected.items())


def test_surplus_values_are_still_reconstructed(monkeypatch):
    fake_reconstruct(monkeypatch, Kwargs)
    blob = craft(types=[("K", ["x"], 0)], records=[_dc(0, 1, 2), _int(1), _str(99)])
    with pytest.raises(ValueError, match="^Invalid string index: 99$"):
        _zelkor.loads(blob)


@pytest.mark.parametrize("current", [None, ZeroDivisionError("current")])
def test_legacy_reconstruct_module_is_used(monkeypatch, current):
    # Whatever importing the current name raises, the legacy name is tried.
    if current is None:
        block(monkeypatch, "zelkor._reconstruct")
    else:
        refuse_imports(monkeypatch, {"zelkor._reconstruct": current})
    recorder = fake_reconstruct(monkeypatch, Point, name="tandrel._reconstruct")
    assert _zelkor.loads(_zelkor.dumps(Point(1, 2))) == Point(1, 2)
    assert recorder.calls == [("Point", ["x", "y"])]


@pytest.mark.parametrize("current", [None, KeyError("current failed")])
def test_only_legacy_import_error_reaches_caller(monkeypatch, current):
    if current is None:
        block(monkeypatch, "zelkor._reconstruct")
    else:
        refuse_imports(monkeypatch, {"zelkor._reconstruct": current})
    legacy = ImportError("legacy failed")
    refuse_imports(monkeypatch, {"tandrel": legacy, "tandrel._reconstruct": legacy})
    with pytest.raises(ImportError) as info:
        _zelkor.loads(_zelkor.dumps(Point(1, 2)))
    assert info.value is legacy
    chain = list(exception_chain(info.value))
    assert all(e is not current and "zelkor._reconstruct" not in str(e) for e in chain)


@pytest.mark.parametrize("attrs, exc", [
    ({}, AttributeError),
    ({"make_class": lambda name, fields: 1 / 0}, ZeroDivisionError),
])
def test_make_class_failures_do_not_fall_back(monkeypatch, attrs, exc):
    install(monkeypatch, "zelkor._reconstruct", **attrs)
    legacy = fake_reconstruct(monkeypatch, Point, name="tandrel._reconstruct")
    with pytest.raises(exc):
        _zelkor.loads(_zelkor.dumps(Point(1, 2)))
    assert legacy.calls == []


# ------------------------------------------------- migration decision

class Created:
    """Base for classes that remember every instance they initialise."""

    created = []

    def __post_init__(self):
        Created.created.append(self)


def current_class(**attrs):
    cls = dataclasses.make_dataclass("Point", ["x", "y"], bases=(Created,))
    for key, value in attrs.items():
        setattr(cls, key, value)
    return cls


class MigrationRecorder:
    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, name, data, stored, current):
        self.calls.append((name, data, stored, current))
        if self.result is None:
            return {k: v for k, v in data.items() if k not in V}
        return self.result


def fake_migrations(monkeypatch, result=None, name="zelkor.migrations"):
    recorder = MigrationRecorder(result)
    install(monkeypatch, name, apply_migrations=recorder)
    return recorder


def stored_blob(version, x=1, y=2):
    return dump_as(version, "Point", ["x", "y"], [x, y])


class _Raises:
    def __get__(self, obj, owner):
        raise RuntimeError("no version here")


@pytest.mark.parametrize("stored, attrs", [
    (2, {}),
    (2, {V[0]: 0}),
    (2, {V[0]: 2}),
    (2, {V[0]: -1}),
    (2, {V[0]: 2**32}),
    (2, {V[0]: "1"}),
    (2, {V[0]: 1.0}),
    (0, {V[0]: 1}),
    (2, {V[0]: 2, V[1]: 1}),
    (2, {V[0]: "1", V[1]: 1}),
])
def test_no_migration_and_no_migrations_import(monkeypatch, stored, attrs):
    cls = current_class(**attrs)
    fake_reconstruct(monkeypatch, cls)
    block(monkeypatch, *MIGRATIONS)
    obj = _zelkor.loads(stored_blob(stored))
    assert type(obj) is cls and (obj.x, obj.y) == (1, 2)


@pytest.mark.parametrize("stored, attrs, current", [
    (2, {V[0]: 1}, 1),
    (1, {V[0]: 2**32 - 1}, 2**32 - 1),
    (2, {V[1]: 1}, 1),
    (2, {V[0]: _Raises(), V[1]: 3}, 3),
])
def test_migration_input_and_arguments(monkeypatch, stored, attrs, current):
    Created.created = []
    cls = current_class(**attrs)
    fake_reconstruct(monkeypatch, cls)
    recorder = fake_migrations(monkeypatch)
    obj = _zelkor.loads(stored_blob(stored, x=[1], y="s"))
    [(name, data, got_stored, got_current)] = recorder.calls
    assert (name, got_stored, got_current) == ("Point", stored, current)
    assert type(name) is str and type(got_stored) is int and type(got_current) is int
    assert type(data) is dict
    assert list(data.items()) == [("x", [1]), ("y", "s"), (V[0], stored), (V[1], stored)]
    # The migration sees the very values given to the first instance.
    assert data["x"] is Created.created[0].x
    assert type(obj) is cls and obj.x == [1] and obj.y == "s"
    assert obj is Created.created[-1]


def test_legacy_migrations_module_is_used(monkeypatch):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    block(monkeypatch, "zelkor.migrations")
    recorder = fake_migrations(monkeypatch, name="tandrel.migrations")
    _zelkor.loads(stored_blob(2))
    assert len(recorder.calls) == 1


def test_only_legacy_migrations_import_error_reaches_caller(monkeypatch):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    legacy = ImportError("legacy migrations")
    refuse_imports(monkeypatch, {"zelkor.migrations": LookupError("current"),
                                 "tandrel": legacy, "tandrel.migrations": legacy})
    with pytest.raises(ImportError) as info:
        _zelkor.loads(stored_blob(2))
    assert info.value is legacy
    assert not any(isinstance(e, LookupError) for e in exception_chain(info.value))


def test_migrations_module_failures_do_not_fall_back(monkeypatch):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    install(monkeypatch, "zelkor.migrations")
    legacy = fake_migrations(monkeypatch, name="tandrel.migrations")
    with pytest.raises(AttributeError):
        _zelkor.loads(stored_blob(2))
    install(monkeypatch, "zelkor.migrations", apply_migrations=lambda *a: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        _zelkor.loads(stored_blob(2))
    assert legacy.calls == []


@pytest.mark.parametrize("result", [[("x", 1)], None, "x", types.MappingProxyType({"x": 1})])
def test_migration_must_return_dict(monkeypatch, result):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    install(monkeypatch, "zelkor.migrations", apply_migrations=lambda *a: result)
    with pytest.raises(TypeError, match="^Migration function must return a dict$"):
        _zelkor.loads(stored_blob(2))


def test_migrated_dict_subclass_accepted_and_version_keys_dropped(monkeypatch):
    @dataclasses.dataclass(init=False)
    class Loose(Kwargs):
        x: object = None
        __zelkor_version__ = 1

    fake_reconstruct(monkeypatch, Loose)
    result = OrderedDict([(V[0], 7), ("y", 9), ("x", 8), (V[1], 7)])
    fake_migrations(monkeypatch, result=result)
    obj = _zelkor.loads(stored_blob(2))
    assert obj.args == () and list(obj.kwargs.items()) == [("y", 9), ("x", 8)]
    # y is not a declared field of Loose: it comes back as an extra field.
    assert obj.__zelkor_extra__ == {"y": 9}
    assert obj.__tandrel_extra__ is obj.__zelkor_extra__


def test_no_extra_attributes_when_nothing_is_extra(monkeypatch):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    fake_migrations(monkeypatch, result={"x": 5, "y": 6, V[0]: 1})
    obj = _zelkor.loads(stored_blob(2))
    assert (obj.x, obj.y) == (5, 6)
    assert not hasattr(obj, "__zelkor_extra__") and not hasattr(obj, "__tandrel_extra__")


def test_non_str_key_in_migrated_dict(monkeypatch):
    fake_reconstruct(monkeypatch, current_class(__zelkor_version__=1))
    fake_migrations(monkeypatch, result={"x": 1, 5: 2})
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        _zelkor.loads(stored_blob(2))


@pytest.mark.parametrize("fields_attr, exc, message", [
    (("x", "y"), TypeError, "^__dataclass_fields__ is not a dict$"),
    (None, AttributeError, None),
])
def test_declared_fields_must_be_a_dict(monkeypatch, fields_attr, exc, message):
    class Plain(Kwargs):
        __zelkor_version__ = 1

    if fields_attr is not None:
        Plain.__dataclass_fields__ = fields_attr
    fake_reconstruct(monkeypatch, Plain)
    fake_migrations(monkeypatch)
    with pytest.raises(exc, match=message):
        _zelkor.loads(stored_blob(2))


def _accepting_init(self, x=None, y=None, **extra):
    object.__setattr__(self, "x", x)
    object.__setattr__(self, "y", y)


class RefusesZelkorExtra(Kwargs):
    __zelkor_version__ = 1
    __dataclass_fields__ = {"x": None, "y": None}

    def __setattr__(self, name, value):
        if name == "__zelkor_extra__":
            raise AttributeError(name)
        object.__setattr__(self, name, value)


@pytest.mark.parametrize("kind", ["frozen", "slots", "partial"])
def test_refused_extra_assignment_is_ignored(monkeypatch, kind):
    if kind == "partial":
        cls = RefusesZelkorExtra
    else:
        cls = dataclasses.make_dataclass(
            "Point", [("x", object, None), ("y", object, None)],
            namespace={"__init__": _accepting_init, "__zelkor_version__": 1},
            init=False, frozen=(kind == "frozen"), slots=(kind == "slots"))
    fake_reconstruct(monkeypatch, cls)
    fake_migrations(monkeypatch, result={"x": 1, "y": 2, "w": 3})
    obj = _zelkor.loads(stored_blob(2))
    assert type(obj) is cls and obj.x == 1
    assert not hasattr(obj, "__zelkor_extra__")
    if kind == "partial":
        assert obj.__tandrel_extra__ == {"w": 3}
    else:
        assert not hasattr(obj, "__tandrel_extra__")


# ----------------------------------------------- through the real modules

@dataclasses.dataclass
class Pair:
    left: object
    right: object = None


@dataclasses.dataclass(frozen=True)
class Frozen:
    a: int
    b: tuple


@dataclasses.dataclass(slots=True)
class Slotted:
    a: int
    b: list


@pytest.mark.parametrize("value", [
    Pair(1, Pair("x", [1.5, b"z", {3: None}])),
    Frozen(1, (2, "three")),
    Slotted(1, [Frozen(2, ())]),
])
def test_registered_round_trip(value):
    for cls in {type(value), Frozen}:
        zelkor.register(cls)
    allowlist = {"Pair", "Frozen", "Slotted"}
    loaded = _zelkor.loads(_zelkor.dumps(value), allowlist=allowlist)
    assert type(loaded) is type(value) and loaded == value


def test_unregistered_round_trip_builds_one_class(monkeypatch):
    calls = []
    real = _reconstruct.make_class
    monkeypatch.setattr(_reconstruct, "make_class", lambda *a: calls.append(a) or real(*a))
    loaded = _zelkor.loads(_zelkor.dumps([Point(i, -i) for i in range(5)]))
    classes = {type(p) for p in loaded}
    assert len(classes) == 1 and len(calls) == 5
    [cls] = classes
    assert cls is not Point and cls.__name__ == "Point"
    assert [(p.x, p.y) for p in loaded] == [(i, -i) for i in range(5)]


def test_real_migration_up_adds_field():
    @zelkor.register
    @dataclasses.dataclass
    class Account:
        owner: str
        balance: int
        currency: str = "EUR"
        __zelkor_version__ = 3

    zelkor.migration("Account", 1, 2)(lambda f: {**f, "balance": f["balance"] * 100})
    zelkor.migration("Account", 2, 3)(lambda f: {**f, "currency": "USD"})
    blob = dump_as(1, "Account", ["owner", "balance"], ["ann", 5])
    loaded = _zelkor.loads(blob, allowlist={"Account"})
    assert loaded == Account("ann", 500, "USD")
    assert not hasattr(loaded, "__zelkor_extra__")


def test_real_migration_down_drops_field():
    # The stored fields (with 'kind') cannot construct the current class, so
    # the current version is read from the class itself.
    @zelkor.register
    @dataclasses.dataclass
    class Shape:
        size: int
        __zelkor_version__ = 1

    zelkor.migration("Shape", 3, 2)(lambda f: {**f, "size": f["size"] * 2})
    zelkor.migration("Shape", 2, 1)(lambda f: {k: v for k, v in f.items() if k != "kind"})
    blob = dump_as(3, "Shape", ["size", "kind"], [4, "square"])
    assert _zelkor.loads(blob) == Shape(8)


def test_real_missing_migration_raises():
    @zelkor.register
    @dataclasses.dataclass
    class Gadget:
        a: int
        __zelkor_version__ = 5

    with pytest.raises(zelkor.MigrationError, match="'Gadget' from version 4 to version 5"):
        _zelkor.loads(dump_as(4, "Gadget", ["a"], [1]))


# ------------------------------------------------------------------ cycles

def node_class(kind):
    inits = []

    def post_init(self):
        inits.append(self)

    cls = dataclasses.make_dataclass(
        "Node", [("name", str), ("link", object, None)],
        namespace={"__post_init__": post_init},
        frozen=(kind == "frozen"), slots=(kind == "slots"))
    zelkor.register(cls)
    return cls, inits


def set_link(obj, value):
    object.__setattr__(obj, "link", value)


@pytest.fixture
def count_make_class(monkeypatch):
    calls = []
    real = _reconstruct.make_class
    monkeypatch.setattr(_reconstruct, "make_class", lambda *a: calls.append(a) or real(*a))
    return calls


def check_inits(inits, *loaded):
    # __post_init__ ran exactly once on each loaded instance, never twice on one.
    assert len({id(o) for o in inits}) == len(inits)
    for obj in loaded:
        assert sum(o is obj for o in inits) == 1


KINDS = ["plain", "frozen", "slots"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("wrap", [lambda n: [n], lambda n: (n,), lambda n: {"me": n}])
def test_cycle_through_container_keeps_one_instance(count_make_class, kind, wrap):
    cls, inits = node_class(kind)
    x = cls("x")
    set_link(x, wrap(x))
    blob = _zelkor.dumps(x)
    del inits[:]
    loaded = _zelkor.loads(blob, allowlist={"Node"})
    inner = loaded.link["me"] if isinstance(loaded.link, dict) else loaded.link[0]
    assert inner is loaded and type(loaded) is cls and loaded.name == "x"
    assert len(count_make_class) == 1
    check_inits(inits, loaded)


@pytest.mark.parametrize("kind", KINDS)
def test_instance_whose_field_is_itself(count_make_class, kind):
    cls, inits = node_class(kind)
    x = cls("x")
    set_link(x, x)
    blob = _zelkor.dumps(x)
    del inits[:]
    loaded = _zelkor.loads(blob)
    assert loaded.link is loaded and loaded.name == "x"
    assert len(count_make_class) == 1
    check_inits(inits, loaded)
    if kind == "frozen":
        with pytest.raises(dataclasses.FrozenInstanceError):
            loaded.name = "y"


@pytest.mark.parametrize("kind", KINDS)
def test_doubly_linked_instances(count_make_class, kind):
    cls, inits = node_class(kind)
    first, second, third = cls("a"), cls("b"), cls("c")
    # The two instances refer to each other with no container in between.
    set_link(first, second)
    set_link(second, first)
    blob = _zelkor.dumps([first, third, second])
    del inits[:]
    a, c, b = _zelkor.loads(blob)
    assert a.link is b and b.link is a and c.link is None
    assert (a.name, b.name, c.name) == ("a", "b", "c")
    assert len(count_make_class) == 3
    check_inits(inits, a, b, c)


@pytest.mark.parametrize("wrap", [lambda n: n, lambda n: [n]])
def test_cycle_with_migration_keeps_identity(wrap):
    inits = []

    @dataclasses.dataclass
    class Node:
        name: str
        link: object = None
        tag: str = "new"
        __zelkor_version__ = 2

        def __post_init__(self):
            inits.append(self)

    zelkor.register(Node)
    zelkor.migration("Node", 1, 2)(lambda f: {**f, "name": f["name"].upper(), "tag": "old"})
    Old = dataclasses.make_dataclass("Node", ["name", ("link", object, None)])
    Old.__zelkor_version__ = 1
    x = Old("x")
    x.link = wrap(x)
    loaded = _zelkor.loads(_zelkor.dumps(x))
    assert type(loaded) is Node
    assert (loaded.link if isinstance(loaded.link, Node) else loaded.link[0]) is loaded
    assert (loaded.name, loaded.tag) == ("X", "old")
    check_inits(inits, loaded)
