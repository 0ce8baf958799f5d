"""Class registry, generated classes and migration chains, without the extension."""

import dataclasses

import pytest

from zelkor import _reconstruct
from zelkor._reconstruct import make_class, register
from zelkor.migrations import MigrationError, apply_migrations, migration

from support import V

pytestmark = pytest.mark.usefixtures("fresh_registries")


@dataclasses.dataclass
class Point:
    x: int
    y: int


# ---------------------------------------------------------------- registry

@pytest.mark.parametrize("form, name", [
    (register, "Point"),  # as a bare decorator
    (lambda c: register()(c), "Point"),
    (lambda c: register(c, name="P2"), "P2"),
    (lambda c: register(name="P3")(c), "P3"),
])
def test_register_forms_return_class_and_serve_make_class(form, name):
    assert form(Point) is Point
    assert make_class(name, ["a", "b", "c"]) is Point


def test_register_same_class_twice_is_noop_other_class_conflicts():
    register(Point)
    register(Point)

    @dataclasses.dataclass
    class Other:
        x: int

    with pytest.raises(ValueError, match="'Point' is already registered"):
        register(Other, name="Point")
    assert make_class("Point", ["x", "y"]) is Point


@pytest.mark.parametrize("args, kwargs, match", [
    *[((obj,), {}, "dataclass") for obj in (object, Point(1, 2), len, "Point")],
    *[((Point,), {"name": name}, "identifier") for name in ("", "a.b", "class", 3)],
])
def test_register_refuses_non_dataclasses_and_bad_names(args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        register(*args, **kwargs)


# --------------------------------------------------------- generated classes

def test_unregistered_name_gives_cached_plain_dataclass():
    cls = make_class("Pixel", ["x", "y", "colour"])
    assert dataclasses.is_dataclass(cls) and cls.__name__ == "Pixel"
    assert [f.name for f in dataclasses.fields(cls)] == ["x", "y", "colour"]
    p = cls(x=1, y=2, colour="red")
    assert p == cls(1, 2, "red") and "Pixel(x=1" in repr(p)
    # One class per (name, fields), whatever sequence type the fields come in.
    assert make_class("Pixel", ("x", "y", "colour")) is cls
    assert make_class("Pixel", iter(["x", "y", "colour"])) is cls
    assert make_class("Pixel", ["x", "y"]) is not cls
    assert make_class("Other", ["x", "y", "colour"]) is not cls


def test_generated_classes_are_bounded(monkeypatch):
    monkeypatch.setattr(_reconstruct, "_GENERATED_LIMIT", 3)
    first = make_class("T0", ["a"])
    for i in range(1, 5):
        make_class(f"T{i}", ["a"])
    assert len(_reconstruct._generated) == 3
    assert make_class("T4", ["a"]) is make_class("T4", ["a"])
    assert make_class("T0", ["a"]) is not first  # evicted, built anew


def test_generated_class_width_is_bounded():
    limit = _reconstruct.MAX_GENERATED_FIELDS
    assert len(dataclasses.fields(make_class("Wide", [f"f{i}" for i in range(limit)]))) == limit
    with pytest.raises(TypeError, match="register the class"):
        make_class("Wider", [f"f{i}" for i in range(limit + 1)])


def test_registration_takes_precedence_over_generated_class():
    generated = make_class("Point", ["x", "y"])
    assert generated is not Point
    register(Point)
    assert make_class("Point", ["x", "y"]) is Point


@pytest.mark.parametrize("name, fields", [
    ("class", ["a"]),
    ("1x", ["a"]),
    ("a-b", ["a"]),
    ("", []),
    (None, ["a"]),
    (["P"], ["a"]),
    ("P", ["ok", "def"]),
    ("P", ["x y"]),
    ("P", [1]),
    ("P", [["a"]]),
    ("P", "ab"),
    ("P", b"ab"),
    ("P", 5),
    ("P", None),
])
def test_make_class_refuses_non_identifiers(name, fields):
    with pytest.raises(TypeError, match="identifier|sequence of field names"):
        make_class(name, fields)


def test_make_class_duplicate_field_is_type_error():
    with pytest.raises(TypeError):
        make_class("P", ["a", "a"])


# --------------------------------------------------------------- migrations

def _versioned(data, version):
    return {**data, V[0]: version, V[1]: version}


def _register_chain(edges, seen):
    """Register steps that record their edge and tag the data with it."""
    for a, b in edges:
        def step(fields, a=a, b=b):
            seen.append((a, b, sorted(fields)))
            return {**fields, "path": fields.get("path", ()) + ((a, b),)}
        migration("Point", a, b)(step)


@pytest.mark.parametrize("edges, start, end, path", [
    ([(1, 2), (2, 3), (3, 4)], 1, 4, ((1, 2), (2, 3), (3, 4))),
    ([(4, 3), (3, 2), (2, 1)], 4, 1, ((4, 3), (3, 2), (2, 1))),
    ([(1, 2), (2, 3), (1, 3)], 1, 3, ((1, 3),)),
    ([(1, 2), (2, 3), (3, 4), (2, 4)], 1, 4, ((1, 2), (2, 4))),
    ([(1, 2), (2, 1), (2, 3), (3, 2)], 3, 1, ((3, 2), (2, 1))),
    ([(5, 10), (10, 20)], 5, 20, ((5, 10), (10, 20))),
])
def test_apply_migrations_takes_shortest_chain(edges, start, end, path):
    seen = []
    _register_chain(edges, seen)
    out = apply_migrations("Point", _versioned({"x": 1}, start), start, end)
    assert out == {"x": 1, "path": path}
    # Steps never see the version keys.
    assert all(not set(V) & set(keys) for _, _, keys in seen)


def test_apply_migrations_does_not_mutate_input():
    @migration("Point", 1, 2)
    def in_place(fields):
        fields["z"] = fields.pop("y") * 10
        return fields

    data = _versioned({"x": 1, "y": 2}, 1)
    before = dict(data)
    assert apply_migrations("Point", data, 1, 2) == {"x": 1, "z": 20}
    assert data == before


def test_new_step_is_used_after_path_was_cached():
    seen = []
    _register_chain([(1, 2), (2, 3)], seen)
    assert apply_migrations("Point", {}, 1, 3)["path"] == ((1, 2), (2, 3))
    _register_chain([(1, 3)], seen)
    assert apply_migrations("Point", {}, 1, 3)["path"] == ((1, 3),)


@pytest.mark.parametrize("edges, start, end, expected", [
    ([], 1, 2, "no migration steps are registered for 'Point'"),
    ([(1, 2)], 1, 3, "missing step 2 -> 3"),
    ([(1, 2), (2, 3)], 3, 1, "missing step 3 -> 1"),
    ([(1, 2), (3, 4)], 1, 4, "missing step 2 -> 4"),
])
def test_missing_step_message(edges, start, end, expected):
    _register_chain(edges, [])
    with pytest.raises(MigrationError) as info:
        apply_migrations("Point", {"x": 1}, start, end)
    text = str(info.value)
    assert isinstance(info.value, LookupError)
    assert f"'Point' from version {start} to version {end}" in text
    assert expected in text


def test_steps_of_other_types_do_not_apply():
    _register_chain([(1, 2)], [])
    with pytest.raises(MigrationError, match="'Line'"):
        apply_migrations("Line", {}, 1, 2)


@pytest.mark.parametrize("result", [None, [("x", 1)], "x"])
def test_step_returning_non_dict_names_the_step(result):
    @migration("Point", 1, 2)
    def broken_step(fields):
        return result

    with pytest.raises(TypeError, match=r"broken_step.*expected a dict"):
        apply_migrations("Point", {}, 1, 2)


def test_duplicate_edge_is_refused():
    def first(fields):
        return fields

    migration("Point", 1, 2)(first)
    migration("Point", 1, 2)(first)  # same function again: no-op
    migration("Point", 2, 1)(first)  # the opposite edge is another edge
    migration("Line", 1, 2)(first)
    with pytest.raises(ValueError, match="already registered"):
        migration("Point", 1, 2)(lambda fields: fields)


@pytest.mark.parametrize("args, exc", [
    (("Point", 1, 1), ValueError),
    (("Point", -1, 2), TypeError),
    (("Point", 1, 2.0), TypeError),
    (("Point", True, 2), TypeError),
    ((None, 1, 2), TypeError),
])
def test_migration_refuses_bad_edges(args, exc):
    with pytest.raises(exc):
        migration(*args)


def test_apply_migrations_requires_dict():
    with pytest.raises(TypeError, match="dict"):
        apply_migrations("Point", [("x", 1)], 1, 2)
