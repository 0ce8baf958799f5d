"""python -m zelkor inspect and demo: listings, the same refusals as loads,
and no value built while inspecting."""

import dataclasses
import json
import random
import subprocess
import sys

import pytest

from _zelkor import dumps, loads
from zelkor import _listing, _reader, _reconstruct
from zelkor.__main__ import main

from blob_builder import (
    LEGACY_MAGIC, blob, dataclass, lst, none, prefix, ref, str_, tup, type_entry, typed_blob, u32,
)
from test_decoder import PAYLOAD_CASES, REJECTED

# loads refuses these only while building values; the inspector, which
# builds none, lists such blobs.
BUILD_TIME_ONLY = ("Invalid data: cycle of immutable containers", "Invalid data: too many cycles",
                   "Invalid data: hashing", "Invalid data: too many field names",
                   "Invalid data: too many classes")


def _outcome(func, data):
    try:
        func(data)
    except ValueError as exc:
        return str(exc)
    except Exception as exc:  # refusals that are no blob fault (make_class, hashing)
        return type(exc).__name__
    return None


def _rich():
    shared = ["s", 1.5, b"\x00"]
    cyclic = [shared, shared, {"k": (shared, frozenset({2}))}, {3}, None, True, -7]
    cyclic.append(cyclic)
    return dumps(cyclic)


def _corpus():
    cases = [data for group in REJECTED.values() for data, _ in group]
    cases += [prefix() + u32(1) + record for record, _ in PAYLOAD_CASES]
    rich = _rich()
    cases += [rich[:n] for n in range(len(rich))]
    cases += [
        blob([]),                                   # no root record
        blob([lst(1, 7)] + [str_(0)]),              # item beyond the records
        blob([lst(1, 2), str_(5), ref(9)], strings=["a"]),  # first fault met wins
        blob([ref(1), ref(0)]),                     # chain of refs that loops
        blob([lst(2), str_(4), str_(3)], strings=["a"]),    # unreached fault
        typed_blob([("A", ["x"], 0)], [dataclass(3, 1), str_(0)]),
        typed_blob([("A", ["x"], 0), ("A", ["y"], 1)], [dataclass(1, 1), str_(0)]),
        blob([tup(0)]),                             # a tuple that holds itself
        # field names copied from the type table beyond what the blob's size allows
        blob([none()], strings=["A", "x" * 100_000], types=[type_entry(0, [1] * 100)]),
    ]
    rng = random.Random(20261207)
    for _ in range(400):
        data = bytearray(rich)
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        cases.append(bytes(data))
    return cases


@pytest.mark.usefixtures("fresh_registries")
def test_listing_refuses_what_loads_refuses_with_the_same_message():
    for data in _corpus():
        expected, got = _outcome(loads, data), _outcome(_listing.listing, data)
        if got is not None or (expected is not None and "Invalid" in expected
                               and not expected.startswith(BUILD_TIME_ONLY)):
            assert got == expected, data
        assert _outcome(_listing.describe, data) == got


def test_each_chain_of_refs_is_followed_once():
    # Every item of the list starts a walk down the same chain of n Refs:
    # followed again from each, a blob of a few MB would take hours.
    n = 2000
    data = blob([lst(*range(1, n + 1))] + [ref(i + 2) for i in range(n)] + [none()])

    class Counted(list):
        reads = 0

        def __getitem__(self, i):
            Counted.reads += 1
            return super().__getitem__(i)

    parsed = _reader.parse(data)
    assert _reader.reference_error(parsed._replace(records=Counted(parsed.records))) is None
    assert Counted.reads < 10 * n


def test_json_gives_each_long_text_whole_only_once():
    # Type entries naming one long text many times must not multiply it.
    text = "x" * 100_000
    data = blob([none()], strings=[text], types=[type_entry(0, [0] * 3)] * 50)
    described = _listing.describe(data)
    assert described["strings"][0]["text"] == text
    assert described["types"][0]["fields"][0] == text[:60] + "..."
    assert len(json.dumps(described)) < 2 * len(data)


def test_listing_clips_long_names_of_dataclass_records():
    # Many small records of a type whose name and field name are one long
    # text must not each repeat it whole.
    text = "x" * 100_000
    n = 200
    data = blob([lst(*range(1, n + 1))] + [dataclass(0, n + 1)] * n + [none()],
                strings=[text], types=[type_entry(0, [0])])
    text_listing = _listing.listing(data)
    assert f"{text[:60]}... (type 0) {{{text[:60]}...=@{n + 1}}}" in text_listing
    assert len(text_listing) < 2 * len(data)


@_reconstruct.register
@dataclasses.dataclass(eq=False)
class Duo:
    left: object
    right: object


def _valid():
    pair = Duo("left", None)
    pair.right = [pair, pair.left]
    return dumps({"pair": pair, "again": pair})


@pytest.mark.parametrize("data, status, expect", [
    (_valid(), 0, ["magic ZLKR", "#0     'pair'", "entry 0     #", "Duo (type 0) {left=@", "Ref       -> @",
                   "summary  ", "1 Dataclass"]),
    (LEGACY_MAGIC + dumps([1, "a"])[4:], 0, ["magic TNDL", "@0     List      2 [@1, @2]", "@2     Str       #0 'a'"]),
    (dumps(["x", 2**40])[:-3], 1, None),
    (b"ZLKQ" + bytes(20), 1, None),
    (blob([lst(1, 5), str_(0)], strings=["a"]), 1, None),
], ids=["valid", "legacy-magic", "truncated", "bad-magic", "bad-reference"])
def test_inspect_command(tmp_path, capsys, monkeypatch, data, status, expect):
    def refuse(*args):
        raise AssertionError("the inspector built a class")
    monkeypatch.setattr(_reconstruct, "make_class", refuse)
    path = tmp_path / "blob.zk"
    path.write_bytes(data)
    assert main(["inspect", str(path)]) == status
    out, err = capsys.readouterr()
    if status:
        message = _outcome(loads, data)
        assert (out, err) == ("", message + "\n")
        assert main(["inspect", "--json", str(path)]) == 1
        assert json.loads(capsys.readouterr().out) == {"error": message}
        return
    assert err == ""
    for text in expect:
        assert text in out
    listing = out.splitlines()
    described = json.loads(subprocess.run(
        [sys.executable, "-m", "zelkor", "inspect", "--json", "-"], input=data,
        capture_output=True, check=True).stdout)
    records = described["records"]
    assert len(records) == sum(line.startswith("  @") for line in listing)
    sizes = described["summary"]["sizes"]
    assert sum(sizes[k] for k in ("header", "strings", "types", "records", "trailing")) == sizes["total"] == len(data)
    assert [r["kind"] for r in records] == [line.split()[1] for line in listing if line.startswith("  @")]


def test_demo_runs():
    result = subprocess.run([sys.executable, "-m", "zelkor", "demo"], capture_output=True, text=True,
                            check=True)
    out = result.stdout
    assert "False" not in out
    assert out.count("True") == 6
    for text in ("Dataclass Team (type 0)", "summary  ", "pickle 5", "zelkor  "):
        assert text in out
