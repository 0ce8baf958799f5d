"""Regressions for faults an attacker or a careless caller could reach:
collector runs inside capture, threads, class bombs, sub-interpreters,
names of built-in kinds."""

import dataclasses
import gc
import importlib.util
import subprocess
import sys
import textwrap
import threading

import pytest

import zelkor
from zelkor import _reconstruct

from blob_builder import dataclass, int_, lst, none, typed_blob
from support import error


@dataclasses.dataclass
class Holder:
    v: object = 7


def test_collector_cannot_free_containers_captured_without_identity():
    # Where the collector runs inside allocations (3.10, 3.11), a finaliser
    # ran while a set was entered could free a list captured without an
    # identity entry, and a new list taking its address was saved as a Ref.
    class Trigger:
        def __del__(self):
            root[0] = None
            root[2].v = [9, 9]

    root = [[1, [2, 3]], {1, 2}, Holder()]
    old = gc.get_threshold()
    gc.collect()
    trigger = Trigger()
    trigger.self = trigger
    del trigger
    gc.set_threshold(1)
    try:
        blob = zelkor.dumps(root)
    finally:
        gc.set_threshold(*old)
    gc.collect()
    out = zelkor.loads(blob)
    assert out[:2] == [[1, [2, 3]], {1, 2}]
    assert out[2].v in (7, [9, 9]) and out[2].v is not out[0]
    assert gc.isenabled()


def test_collector_state_restored_on_every_exit():
    seen = []

    @dataclasses.dataclass
    class Probe:
        v: int = 1

        def __getattribute__(self, name):
            seen.append(gc.isenabled())
            return object.__getattribute__(self, name)

    for value, ok in (([[1], {2}], True), ([[1], Probe()], True), ([[1], object()], False)):
        try:
            zelkor.dumps(value)
        except TypeError:
            assert not ok
        assert gc.isenabled()
    assert seen and all(seen)  # Python code runs with the collector as the caller left it
    gc.disable()
    try:
        zelkor.dumps([[1], {2}])
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_generated_class_cache_is_safe_under_threads(monkeypatch, fresh_registries):
    # Four threads loading blobs of distinct unregistered types, with the
    # cache bounds small enough that nearly every build evicts.
    monkeypatch.setattr(_reconstruct, "_GENERATED_LIMIT", 8)
    monkeypatch.setattr(_reconstruct, "_GENERATED_FIELD_LIMIT", 24)
    blobs = [typed_blob([("T%d" % i, ["a", "b", "c"][: 1 + i % 3], 0)],
                        [dataclass(0, *[1] * (1 + i % 3)), none()]) for i in range(400)]
    errors = []

    def work(part):
        for data in blobs[part::4]:
            try:
                zelkor.loads(data)
            except Exception as exc:  # pragma: no cover - the fault
                errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    cached = _reconstruct._generated
    assert len(cached) <= 8
    assert _reconstruct._generated_fields == sum(len(k) - 1 for k in cached) <= 24


def _fresh_types(count, fields):
    names = ["f%d" % i for i in range(fields)]
    types = [("T%d" % i, names, 0) for i in range(count)]
    records = [lst(*range(1, count + 1))] + [dataclass(i, *[count + 1] * fields) for i in range(count)] + [none()]
    return typed_blob(types, records)


def test_class_bombs_are_refused_without_an_allowlist(fresh_registries):
    # Many fresh types, each named by one record: the classes built for
    # unregistered names are bounded in proportion to the blob's size.
    bomb = _fresh_types(520, 1)
    assert "register the classes or pass an allowlist" in error(ValueError, zelkor.loads, bomb)
    # An allowlist admits what the caller chose.
    assert len(zelkor.loads(bomb, allowlist={"T%d" % i for i in range(520)})) == 520
    assert len(zelkor.loads(_fresh_types(100, 12))) == 100  # ordinary blobs load


@pytest.mark.parametrize("name", ["tuple", "NoneType", "list", "int", "bool", "frozenset"])
def test_no_class_generated_under_a_built_in_kind(name, fresh_registries):
    data = typed_blob([(name, ["a"], 0)], [dataclass(0, 1), int_(7)])
    assert "built-in kind" in error(TypeError, zelkor.loads, data)


_SUBINTERPRETER = textwrap.dedent("""
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    def run(code):
        sub = interpreters.create()
        try:
            return interpreters.run_string(sub, code) is None
        except Exception:
            return False
        finally:
            interpreters.destroy(sub)
    first = sys.argv[1] == "sub"
    if first:
        assert not run("import _zelkor"), "a sub-interpreter imported the module"
    import _zelkor
    assert _zelkor.loads(_zelkor.dumps([1, (2,)])) == [1, (2,)]
    assert not run("import _zelkor"), "a sub-interpreter imported the module"
    print("ok")
""")


@pytest.mark.parametrize("first", ["sub", "main"])
def test_sub_interpreters_refused_and_main_always_imports(first):
    if importlib.util.find_spec("_interpreters") is None and importlib.util.find_spec("_xxsubinterpreters") is None:
        pytest.skip("no sub-interpreter module in this interpreter")
    proc = subprocess.run([sys.executable, "-c", _SUBINTERPRETER, first], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr
