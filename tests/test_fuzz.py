"""Robustness of loading against damaged blobs, and a round-trip property
over generated values."""

import json
import os
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from _zelkor import dumps, loads

from zelkor import _reader as blob_reader
from blob_builder import (
    blob, bytes_, canonical, dict_, float_bits, fset, int_, int_raw, lst, none,
    ref, set_, str_, tup,
)
from support import ADDRESS_SANITISED

SEED = 0x5EED2024
MUTATIONS_PER_BLOB = 300
RANDOM_GRAPHS = 3000


def _values():
    shared = [1, "shared"]
    cyclic = [0, shared]
    cyclic.append(cyclic)
    d = {"self": None, "k": (1, 2.5, b"\x00\xff")}
    d["self"] = d
    t = ([], "tail")
    t[0].append(t)
    return [
        None,
        [1, -1, 2**63 - 1, -2**63, 300, 0.5, float("nan"), float("-inf"), -0.0],
        {"héllo": "wörld", "€": b"bytes", "😀": [None, True, False]},
        {(1, 2): frozenset({3, "x"}), "set": {1, 2, 3}, "tuple": (1, (2, (3,)))},
        [shared, shared, {"a": shared}, cyclic],
        d,
        t,
        [t, [[["deep"]]], (((),),)],
    ]


def _hand_built():
    return [
        blob([lst(1, 2, 3), str_(0), ref(1), str_(1)], strings=["aé", "€😀"]),
        blob([tup(1, 4), lst(2), ref(0), none(), fset(5, 6), int_(-7), float_bits(0x7FF8000000000123)]),
        blob([dict_((1, 2), (3, 0)), int_(2**40), set_(4, 5), bytes_(b"xyz"), int_raw(b"\x80\x00"),
              str_(0)], strings=["k"]),
        blob([ref(1), ref(2), lst(0, 2)]),
    ]


def _mutate(rng, data, lo):
    """A few random edits at or after offset ``lo``."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        op = rng.randrange(7)
        lo = min(lo, len(data))
        pos = rng.randint(lo, len(data))
        if op == 0 and pos < len(data):               # flip one bit
            data[pos] ^= 1 << rng.randrange(8)
        elif op == 1 and pos < len(data):             # set one byte
            data[pos] = rng.randrange(256)
        elif op == 2:                                 # truncate
            del data[pos:]
        elif op == 3:                                 # insert random bytes
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        elif op == 4:                                 # delete a slice
            del data[pos:pos + rng.randint(1, 8)]
        elif op == 5:                                 # write a telling uint32
            word = rng.choice([0, 1, 2, 3, 0x7FFFFFFF, 0xFFFFFFFF, len(data),
                               rng.randrange(16), rng.randrange(16)])
            data[pos:pos + 4] = word.to_bytes(4, "little")
        else:                                         # duplicate a slice
            data[pos:pos] = data[pos:pos + rng.randint(1, 16)]
    return bytes(data)


def _random_graph(rng):
    """A well-formed blob whose records point at one another at random:
    cycles through every container kind, Ref chains and loops, stray indices."""
    n = rng.randint(1, 8)
    index = lambda: rng.randrange(n + 1) if rng.random() < 0.95 else rng.randrange(1 << 32)
    kids = lambda: [index() for _ in range(rng.randint(0, 3))]
    makers = [
        lambda: none(),
        lambda: int_(rng.randrange(-2**63, 2**63)),
        lambda: float_bits(rng.randrange(1 << 64)),
        lambda: str_(rng.randrange(3)),
        lambda: bytes_(bytes(rng.randrange(256) for _ in range(rng.randrange(4)))),
        lambda: lst(*kids()),
        lambda: tup(*kids()),
        lambda: set_(*kids()),
        lambda: fset(*kids()),
        lambda: dict_(*[(index(), index()) for _ in range(rng.randint(0, 2))]),
        lambda: ref(index()),
    ]
    return blob([rng.choice(makers)() for _ in range(n)], strings=["a", "bé"])


def _cases():
    rng = random.Random(SEED)
    seeds = [dumps(v) for v in _values()] + _hand_built()
    cases = []
    for base in seeds:
        # half the edits anywhere, half inside the record table
        records = blob_reader.parse(base).records_offset
        cases.extend(_mutate(rng, base, 0 if i % 2 else records)
                     for i in range(MUTATIONS_PER_BLOB))
    cases.extend(_random_graph(rng) for _ in range(RANDOM_GRAPHS))
    return seeds, cases


def test_seed_blobs_load():
    seeds, _ = _cases()
    for data in seeds:
        loads(data)


# The mutated blobs are loaded in a child process so that a crash or a hang
# is reported with the blob that caused it instead of taking pytest down.
_CHILD = textwrap.dedent("""
    import json, resource, sys
    limit = 4 << 30
    if sys.argv[2] == "limit":
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    sys.path.insert(0, sys.argv[1])
    from _zelkor import dumps, loads
    from blob_builder import same_shape
    ordinary = (ValueError, TypeError, RecursionError, OverflowError, MemoryError)
    bad = []
    # every case is announced first, so a crash points at its blob
    for i, hexdata in enumerate(json.load(sys.stdin)):
        print(i, flush=True)
        stage = "loads"
        try:
            value = loads(bytes.fromhex(hexdata), allowlist=set())
            stage = "dumps of the loaded value"
            again = dumps(value)
            stage = "loads of the re-dumped value"
            if not same_shape(value, loads(again)):
                bad.append([i, "round trip of the loaded value", "mismatch", ""])
        except ordinary as exc:
            if stage != "loads":
                bad.append([i, stage, type(exc).__name__, str(exc)])
        except BaseException as exc:
            bad.append([i, stage, type(exc).__name__, str(exc)])
    print("RESULT", json.dumps(bad), flush=True)
""")


def test_mutated_blobs_load_or_raise_ordinary_errors():
    _, cases = _cases()
    payload = json.dumps([c.hex() for c in cases])
    try:
        proc = subprocess.run([sys.executable, "-c", _CHILD, os.path.dirname(__file__),
                               "none" if ADDRESS_SANITISED else "limit"],
                              input=payload,
                              capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout or b""
        lines = (out.decode() if isinstance(out, bytes) else out).split()
        last = int(lines[-1]) if lines else 0
        pytest.fail("loading hung on blob %s" % cases[last].hex())
    lines = proc.stdout.splitlines()
    if proc.returncode != 0 or not lines or not lines[-1].startswith("RESULT "):
        last = int(lines[-1]) if lines and lines[-1].isdigit() else 0
        pytest.fail("child died (exit %s) on blob %s\n%s"
                    % (proc.returncode, cases[last].hex(), proc.stderr[-2000:]))
    bad = json.loads(lines[-1][len("RESULT "):])
    report = ["%s: %s %s: %s" % (cases[i].hex(), stage, kind, msg)
              for i, stage, kind, msg in bad[:10]]
    assert not bad, "\n".join(report)


# -- round-trip property ------------------------------------------------------

INT64 = st.integers(min_value=-2**63, max_value=2**63 - 1)

HASHABLE = st.recursive(
    st.none() | st.booleans() | INT64 | st.floats(allow_nan=False)
    | st.text(max_size=8) | st.binary(max_size=8),
    lambda inner: st.lists(inner, max_size=3).map(tuple) | st.frozensets(inner, max_size=3),
    max_leaves=8,
)

VALUES = st.recursive(
    st.none() | st.booleans() | INT64 | st.floats() | st.text(max_size=12)
    | st.binary(max_size=12),
    lambda inner: (st.lists(inner, max_size=4)
                   | st.lists(inner, max_size=4).map(tuple)
                   | st.dictionaries(HASHABLE, inner, max_size=4)
                   | st.sets(HASHABLE, max_size=4)
                   | st.frozensets(HASHABLE, max_size=4)),
    max_leaves=25,
)


@settings(max_examples=200, deadline=None)
@given(VALUES)
def test_round_trip_property(value):
    assert canonical(loads(dumps(value))) == canonical(value)
    pair = loads(dumps([value, value]))
    assert pair[0] is pair[1]
