"""Regressions for faults an attacker or a careless caller could reach:
collector runs inside capture, threads, class bombs, sub-interpreters,
names of built-in kinds."""

import dataclasses
import gc

import zelkor


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
