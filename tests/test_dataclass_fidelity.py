"""Dataclasses come back as they went in: pseudo-fields, init=False fields,
name clashes, registered names, error notes."""

import dataclasses
from dataclasses import InitVar, field
from typing import ClassVar

import pytest

import zelkor

from zelkor import _reader as blob_reader
from blob_builder import dataclass as dc, int_, typed_blob

pytestmark = pytest.mark.usefixtures("fresh_registries")


@dataclasses.dataclass
class Cfg:
    a: int
    DEFAULT: ClassVar[int] = 5


@dataclasses.dataclass
class Versioned:
    a: int
    __zelkor_version__: ClassVar[int] = 3


@dataclasses.dataclass
class Area:
    w: int
    scale: InitVar[int] = 2
    area: int = field(init=False)

    def __post_init__(self, scale):
        self.area = self.w * scale


@dataclasses.dataclass
class Secret:
    name: str
    secret: InitVar[str]
    digest: int = field(init=False)

    def __post_init__(self, secret):
        self.digest = len(secret)


@dataclasses.dataclass
class Counter:
    name: str
    hits: int = field(init=False, default=0)


@dataclasses.dataclass(frozen=True)
class FrozenDerived:
    a: int
    b: int = field(init=False)

    def __post_init__(self):
        object.__setattr__(self, "b", self.a * 2)


@dataclasses.dataclass(slots=True)
class SlottedLate:
    a: int
    b: list = field(init=False, default_factory=list)


@dataclasses.dataclass(eq=False)
class Tree:
    kids: list
    parent: object = field(init=False, default=None)


def _changed(obj, **values):
    for name, value in values.items():
        object.__setattr__(obj, name, value)
    return obj


def _tree():
    root, kid = Tree([]), Tree([])
    root.kids.append(kid)
    kid.parent = root
    return root


# value, stored (name, version, fields), check of the loaded value
CASES = {
    "classvar": (Cfg(1), ("Cfg", 0, ["a"]), None),
    "version-classvar": (Versioned(1), ("Versioned", 3, ["a"]), None),
    "initvar-default": (Area(3, 5), ("Area", 0, ["w", "area"]), None),
    "initvar-required": (Secret("n", "abc"), ("Secret", 0, ["name", "digest"]), None),
    "init-false-changed": (_changed(Counter("c"), hits=7), ("Counter", 0, ["name", "hits"]), None),
    "frozen-init-false": (_changed(FrozenDerived(1), b=99),
                          ("FrozenDerived", 0, ["a", "b"]), None),
    "slots-init-false": (_changed(SlottedLate(1), b=[2]), ("SlottedLate", 0, ["a", "b"]), None),
    "cycle-through-init-false": (_tree(), ("Tree", 0, ["kids", "parent"]),
                                 lambda t: t.kids[0].parent is t and t.parent is None),
}


@pytest.mark.parametrize("registered", [True, False])
@pytest.mark.parametrize("value, stored, check", CASES.values(), ids=CASES.keys())
def test_only_instance_fields_stored_and_restored(value, stored, check, registered):
    cls = type(value)
    blob = zelkor.dumps(value)
    assert blob_reader.parse(blob).types == [stored]
    saved = {f: getattr(value, f) for f in stored[2]}
    if registered:
        zelkor.register(cls)
    back = zelkor.loads(blob)
    if registered:
        assert type(back) is cls
        if check is None:
            assert back == value
    else:  # generated on load: only the stored, real fields
        assert [f.name for f in dataclasses.fields(back)] == stored[2]
    if check is not None:
        assert check(back)
    else:
        assert {f: getattr(back, f) for f in stored[2]} == saved


def test_stored_classvar_of_older_blobs_not_passed():
    zelkor.register(Cfg)
    blob = typed_blob([("Cfg", ["a", "DEFAULT"], 0)], [dc(0, 1, 2), int_(1), int_(6)])
    assert zelkor.loads(blob) == Cfg(1) and Cfg.DEFAULT == 5


def test_same_name_different_fields_refused():
    a = dataclasses.make_dataclass("Config", ["x"])
    b = dataclasses.make_dataclass("Config", ["y", "z"])
    with pytest.raises(TypeError) as info:
        zelkor.dumps([a(1), b("s", "t")])
    message = str(info.value)
    assert "'Config'" in message and "(x)" in message and "(y, z)" in message
    assert "zelkor.register(cls, name=...)" in message


@dataclasses.dataclass
class ItemV2:
    name: str


def test_registered_name_is_the_stored_name_both_ways():
    zelkor.register(ItemV2, name="Item")
    zelkor.register(ItemV2, name="ItemAlias")  # a later name only loads
    blob = zelkor.dumps(ItemV2("a"))
    assert [t[0] for t in blob_reader.parse(blob).types] == ["Item"]
    assert zelkor.loads(blob, allowlist={"Item"}) == ItemV2("a")
    # blobs of the class's old name, and of the alias, load as the class
    for old_name in ["Item", "ItemAlias"]:
        old = dataclasses.make_dataclass(old_name, ["name"])
        assert zelkor.loads(zelkor.dumps(old("b")), allowlist={old_name}) == ItemV2("b")
    # two classes of one __name__ live in one graph once one is renamed
    a = zelkor.register(dataclasses.make_dataclass("Config", ["x"]))
    b = zelkor.register(dataclasses.make_dataclass("Config", ["y", "z"]), name="ConfigB")
    back = zelkor.loads(zelkor.dumps([a(1), b("s", "t"), ItemV2("c")]))
    assert back == [a(1), b("s", "t"), ItemV2("c")] and type(back[1]) is b


@pytest.mark.parametrize("flags", [{"frozen": True}, {"eq": False}])
def test_unregistered_hashable_instances_load_as_keys_and_members(flags):
    key = dataclasses.make_dataclass("Key", ["k", "n"], **flags)
    back = zelkor.loads(zelkor.dumps({key("a", 1): {key("b", 2)}}))
    [(k, members)] = back.items()
    assert (k.k, k.n) == ("a", 1) and [(m.k, m.n) for m in members] == [("b", 2)]
    assert back[type(k)("a", 1)] is members  # hashed by field values


@dataclasses.dataclass
class User:
    name: str
    birthday: object


@pytest.mark.skipif(not hasattr(BaseException, "add_note"), reason="exception notes: 3.11 on")
@pytest.mark.parametrize("value, exc_type, note", [
    ({"users": [User("a", 1)] * 3 + [User("b", 1j)]}, TypeError, "at root['users'][3].birthday"),
    ([0, (1, 2**70)], OverflowError, "at root[1][1]"),
    ([0.5, 1, 2.5, 3, 2**70], OverflowError, "at root[4]"),
    ({"ok": {"s": ["\udc80"]}}, UnicodeEncodeError, "at root['ok']['s'][0]"),
    ({"k": {(1, 1j): 2}}, TypeError, "at root['k']<key>[1]"),
    ([{frozenset([1j])}], TypeError, "at root[0]<member><member>"),
    (1j, TypeError, "at root"),
])
def test_refusal_notes_the_path(value, exc_type, note):
    with pytest.raises(exc_type) as info:
        zelkor.dumps(value)
    assert info.value.__notes__ == [note]


@pytest.mark.skipif(not hasattr(BaseException, "add_note"), reason="exception notes: 3.11 on")
def test_failing_migration_step_notes_type_and_versions():
    @zelkor.register
    @dataclasses.dataclass
    class Doc:
        body: str
        __zelkor_version__: ClassVar[int] = 3

    zelkor.migration("Doc", 1, 2)(lambda fields: fields)

    @zelkor.migration("Doc", 2, 3)
    def broken(fields):
        raise KeyError("title")

    old = dataclasses.make_dataclass("Doc", ["body"], namespace={"__zelkor_version__": 1})
    with pytest.raises(KeyError) as info:
        zelkor.loads(zelkor.dumps(old("x")))
    assert info.value.__notes__ == ["while migrating 'Doc' from version 2 to 3, on the way from 1 to 3"]
