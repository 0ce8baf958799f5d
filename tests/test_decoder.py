"""Blob parsing: every rejection message on hand-built input, and the
tolerances of the reader (legacy magic, header values, trailing bytes)."""

import functools
import json
import subprocess
import sys
import textwrap

import pytest

from _zelkor import loads

from blob_builder import (
    LEGACY_MAGIC, MAGIC, blob, bytes_, dataclass, dict_, float_, fset, header,
    int_, int_raw, lst, none, prefix, ref, set_, str_, string_table, tup,
    type_entry, u32,
)
from support import Kwargs, Recorder, error, install, needs_address_limit

# the message of the ValueError that loads(data, **kwargs) must raise
load_error = functools.partial(error, ValueError, loads)

# Rejected input by group, (data, message) pairs: test_rejected runs them all.
REJECTED = {}

# -- header --------------------------------------------------------------------

HEADER_LADDER = (
    [(n, "Invalid data: too short for header") for n in range(0, 4)]
    + [(n, "Invalid data: too short for version") for n in (4, 5)]
    + [(n, "Invalid data: too short for schema version") for n in range(6, 10)]
    + [(10, "Invalid data: too short for flags")]
    + [(n, "Invalid data: no string count") for n in range(11, 15)]
    + [(15, "Invalid data: no type count")]
)
REJECTED["header"] = [((header(magic) + u32(0))[:n], message)
                      for magic in (MAGIC, LEGACY_MAGIC) for n, message in HEADER_LADDER]

REJECTED["magic"] = [
    (magic + rest, "Invalid magic bytes")
    for magic in (b"ZLKX", b"zlkr", b"RKLZ", b"TNDM", b"ZLDL", b"\x00\x00\x00\x00",
                  b"\xffZLK", b" ZLK")
    # bare, with a version, up to the string count, a whole blob
    for rest in (b"", b"\x01\x00", bytes(11), bytes(7) + u32(0) * 3 + none())
] + [(b"XYZ", "Invalid data: too short for header")]  # length is checked first

# -- string table ----------------------------------------------------------------

REJECTED["string-table"] = [(header() + tail, message) for tail, message in [
    (u32(0) + b"\x00\x00\x00", "Invalid data: no type count"),
    (u32(1), "Invalid data: string length truncated"),
    (u32(1) + b"\x00", "Invalid data: string length truncated"),
    (u32(1) + b"\x00\x00\x00", "Invalid data: string length truncated"),
    (u32(1) + u32(1), "Invalid data: string data truncated"),
    (u32(1) + u32(5) + b"abcd", "Invalid data: string data truncated"),
    (u32(1) + u32(0xFFFFFFFF) + b"abc", "Invalid data: string data truncated"),
    (u32(2) + u32(1) + b"a", "Invalid data: string length truncated"),
    (u32(2) + u32(1) + b"a" + u32(3) + b"bc", "Invalid data: string data truncated"),
    (u32(0xFFFFFFFF), "Invalid data: string length truncated"),
    (u32(0xFFFFFFFF) + u32(0) * 5, "Invalid data: string length truncated"),
    (u32(0xFFFFFFFF) + u32(0) + b"\x00", "Invalid data: string length truncated"),
    # entries that fit exactly move on to the type count
    (u32(1) + u32(0), "Invalid data: no type count"),
    (u32(1) + u32(3) + b"abc", "Invalid data: no type count"),
    (u32(1) + u32(3) + b"abc" + b"\x00\x00", "Invalid data: no type count"),
]]

# -- type table ------------------------------------------------------------------

TYPE_PREFIX = header() + string_table(["A", "x"])
ENTRY = type_entry(0, [1], version=3)         # 16 bytes
TYPE_ENTRY_LADDER = (
    [(k, "Invalid data: type_id truncated") for k in (0, 1)]
    + [(k, "Invalid data: type name_idx truncated") for k in range(2, 6)]
    + [(k, "Invalid data: schema_version truncated") for k in range(6, 10)]
    + [(k, "Invalid data: field_count truncated") for k in (10, 11)]
    + [(k, "Invalid data: field index truncated") for k in range(12, 16)]
    + [(16, "Invalid data: no object count")]
)
REJECTED["type-entry"] = [(TYPE_PREFIX + u32(1) + ENTRY[:cut], message)
                          for cut, message in TYPE_ENTRY_LADDER]

REJECTED["type-table"] = [(TYPE_PREFIX + tail, message) for tail, message in [
    (b"", "Invalid data: no type count"),
    (b"\x01\x00\x00", "Invalid data: no type count"),
    (u32(2) + ENTRY, "Invalid data: type_id truncated"),
    (u32(0xFFFFFFFF), "Invalid data: type_id truncated"),
    (u32(0xFFFFFFFF) + ENTRY * 3 + b"\x00", "Invalid data: type_id truncated"),
    (u32(1) + type_entry(0, [1, 1, 1], field_count=4), "Invalid data: field index truncated"),
    (u32(1) + type_entry(0, [1], field_count=0xFFFF), "Invalid data: field index truncated"),
    (u32(2) + ENTRY + type_entry(0, [1])[:11], "Invalid data: field_count truncated"),
]]

# -- record table ----------------------------------------------------------------

REJECTED["record-table"] = [(prefix() + tail, message) for tail, message in [
    (b"", "Invalid data: no object count"),
    (b"\x01", "Invalid data: no object count"),
    (b"\x01\x00\x00", "Invalid data: no object count"),
    (u32(1), "Invalid data: tag truncated"),
    (u32(2) + none(), "Invalid data: tag truncated"),
    (u32(0xFFFFFFFF) + none() * 3, "Invalid data: tag truncated"),
    (u32(3) + lst(1, 2) + none(), "Invalid data: tag truncated"),
]]


@pytest.mark.parametrize("tag", [0x00] + list(range(0x0F, 0x100)), ids=lambda t: "0x%02X" % t)
def test_unknown_tag(tag):
    expected = "Unknown tag: 0x%02X" % tag    # two upper-case digits: 0x0F, 0xAB
    assert load_error(prefix() + u32(1) + bytes([tag])) == expected
    # after a complete record, and with payload-looking bytes behind it
    data = prefix() + u32(3) + none() + bytes([tag]) + u32(0) * 4
    assert load_error(data) == expected


@pytest.mark.parametrize("good,bad,tail,message", [
    (int_(-5), b"\x04" + b"\xff" * 9 + b"\x80" + b"\x01", bytes(32), "Invalid data: int truncated"),
    (float_(1.5), b"\x05" + bytes(5), b"", "Invalid data: float truncated"),
    (bytes_(b"abc"), bytes_(b"", length=33), bytes(32), "Invalid data: bytes data truncated"),
    (int_(-5), b"\x0f", bytes(32), "Unknown tag: 0x0F"),
    (float_(1.5), b"\x0f", bytes(32), "Unknown tag: 0x0F"),
    (bytes_(b"abc"), b"\x0f", bytes(32), "Unknown tag: 0x0F"),
], ids=["int", "float", "bytes", "int-tag", "float-tag", "bytes-tag"])
@pytest.mark.parametrize("at", [0, 5])
def test_fault_inside_a_run(good, bad, tail, message, at):
    # Ints, floats and Bytes that follow one another are taken in one loop:
    # a malformed one, one cut short by the end, or another tag stops it.
    data = prefix() + u32(at + 2) + lst() + good * at + bad + tail
    assert load_error(data) == message


def _cuts(record, message, start=1):
    """Every strict prefix of ``record`` from ``start`` bytes on."""
    return [(record[:k], message) for k in range(start, len(record))]


PAYLOAD_CASES = (
    # Int
    [(b"\x04", "Invalid data: int truncated"),
     (b"\x04\x80", "Invalid data: int truncated"),
     (b"\x04" + b"\xff" * 9, "Invalid data: int truncated"),
     (b"\x04" + b"\xff" * 10, "Invalid data: int truncated"),
     (b"\x04" + b"\x80" * 10 + b"\x00" * 4, "Invalid data: int truncated"),
     (b"\x04" + b"\xff" * 9 + b"\x80" + b"\x01", "Invalid data: int truncated"),
     (b"\x04" + b"\x80" * 9 + b"\xfe" + b"\x01", "Invalid data: int truncated")]
    # Float
    + _cuts(b"\x05" + bytes(8), "Invalid data: float truncated")
    # Str
    + _cuts(str_(0), "Invalid data: string index truncated")
    # Bytes
    + _cuts(bytes_(b""), "Invalid data: bytes length truncated")
    + [(bytes_(b"", length=1), "Invalid data: bytes data truncated"),
       (bytes_(b"abc", length=4), "Invalid data: bytes data truncated"),
       (bytes_(b"abc", length=0xFFFFFFFF), "Invalid data: bytes data truncated")]
    # List and Tuple share their messages
    + _cuts(lst(), "Invalid data: list count truncated")
    + _cuts(tup(), "Invalid data: list count truncated")
    + _cuts(lst(0, 0), "Invalid data: list ref truncated", start=5)
    + _cuts(tup(0, 0), "Invalid data: list ref truncated", start=5)
    + [(lst(0, 0, 0, count=0xFFFFFFFF), "Invalid data: list ref truncated"),
       (tup(0, count=0xFFFFFFFF), "Invalid data: list ref truncated")]
    # Dict
    + _cuts(dict_(), "Invalid data: dict count truncated")
    + _cuts(dict_((0, 0))[:9], "Invalid data: dict key truncated", start=5)
    + _cuts(dict_((0, 0)), "Invalid data: dict value truncated", start=9)
    + [(dict_((0, 0), count=2), "Invalid data: dict key truncated"),
       (dict_((0, 0), (0, 0))[:17], "Invalid data: dict value truncated"),
       (dict_((0, 0), count=0xFFFFFFFF), "Invalid data: dict key truncated")]
    # Set and FrozenSet share their messages
    + _cuts(set_(), "Invalid data: set count truncated")
    + _cuts(fset(), "Invalid data: set count truncated")
    + _cuts(set_(0, 0), "Invalid data: set ref truncated", start=5)
    + _cuts(fset(0, 0), "Invalid data: set ref truncated", start=5)
    + [(set_(0, count=0xFFFFFFFF), "Invalid data: set ref truncated"),
       (fset(0, 0, count=0xFFFFFFFF), "Invalid data: set ref truncated")]
    # Dataclass
    + _cuts(dataclass(0)[:3], "Invalid data: dataclass type_id truncated")
    + _cuts(dataclass(0), "Invalid data: dataclass field_count truncated", start=3)
    + _cuts(dataclass(0, 0, 0), "Invalid data: dataclass field truncated", start=5)
    + [(dataclass(0, 0, count=0xFFFF), "Invalid data: dataclass field truncated")]
    # Ref
    + _cuts(ref(0), "Invalid data: reference truncated")
)


@pytest.mark.parametrize("record,message", PAYLOAD_CASES,
                         ids=[r.hex() for r, _ in PAYLOAD_CASES])
def test_payload_truncation(record, message):
    assert load_error(prefix() + u32(1) + record) == message
    # the same record as the last of several
    assert load_error(prefix() + u32(3) + lst(1, 2) + none() + record) == message


def test_all_sixteen_payload_messages_are_covered():
    assert len({m for _, m in PAYLOAD_CASES}) == 16


REJECTED["order"] = [
    # a bad string is reported although the records are broken too
    (header() + string_table([b"\xff"]) + u32(0) + u32(5),
     "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0"),
    # the whole record table is parsed before anything is built
    (prefix() + u32(2) + ref(99), "Invalid data: tag truncated"),
    (prefix() + u32(2) + lst(7) + b"\x10", "Unknown tag: 0x10"),
    (prefix() + u32(2) + str_(5) + b"\x04\x80", "Invalid data: int truncated"),
    # an unknown tag is reported before the payload of the record
    (prefix() + u32(1) + b"\x0f", "Unknown tag: 0x0F"),
    # a well-formed empty record table reaches reconstruction
    (blob([]), "Invalid reference: 0"),
]

# -- integers ------------------------------------------------------------------------

INT_CASES = [
    ("00", 0), ("01", -1), ("02", 1), ("7e", 63), ("7f", -64),
    ("8001", 64), ("8101", -65), ("d804", 300),
    ("ffffffff0f", -2147483648),
    ("feffffffffffffffff01", 9223372036854775807),
    ("ffffffffffffffffff01", -9223372036854775808),
    # longer than minimal forms
    ("8000", 0), ("80808000", 0), ("80808080808080808000", 0),
    # the tenth byte contributes only its lowest bit
    ("ffffffffffffffffff7f", -9223372036854775808),
    ("feffffffffffffffff7f", 9223372036854775807),
    ("80808080808080808002", 0),
    ("80808080808080808001", 4611686018427387904),
    ("81808080808080808001", -4611686018427387905),
]


@pytest.mark.parametrize("trailer", [b"", b"\xff" * 16], ids=["at-end", "bytes-after"])
@pytest.mark.parametrize("raw,value", INT_CASES)
def test_int_varint(raw, value, trailer):
    # the int sits between two other records so over- or under-reading shows;
    # ignored bytes after the records (high bits set) let an int be read
    # several bytes at a time
    data = blob([lst(1, 2, 3), none(), int_raw(bytes.fromhex(raw)), none()], trailer=trailer)
    result = loads(data)
    assert result == [None, value, None]
    assert type(result[1]) is int


# -- UTF-8 validation ----------------------------------------------------------------

def _utf8_blob(*texts):
    return blob([none()], strings=texts)


def _bad(n, i):
    return "Invalid UTF-8 in string table: invalid utf-8 sequence of %d bytes from index %d" % (n, i)


def _incomplete(i):
    return "Invalid UTF-8 in string table: incomplete utf-8 byte sequence from index %d" % i


@pytest.mark.parametrize("lead", list(range(0x80, 0xC2)) + list(range(0xF5, 0x100)),
                         ids=lambda b: "%02X" % b)
def test_utf8_impossible_lead_byte(lead):
    text = b"ok" + bytes([lead]) + b"\x80\x80\x80"
    assert load_error(_utf8_blob(text)) == _bad(1, 2)
    assert load_error(_utf8_blob(bytes([lead]))) == _bad(1, 0)


REJECTED["utf8"] = [(_utf8_blob(b"x" + bytes.fromhex(tail)), message) for tail, message in [
    # second byte outside the range its lead allows
    ("E080", _bad(1, 1)), ("E09F", _bad(1, 1)), ("E0C0", _bad(1, 1)),
    ("EDA0", _bad(1, 1)), ("EDBF", _bad(1, 1)), ("ED7F", _bad(1, 1)),
    ("F080", _bad(1, 1)), ("F08F", _bad(1, 1)), ("F0C0", _bad(1, 1)),
    ("F490", _bad(1, 1)), ("F4BF", _bad(1, 1)), ("F47F", _bad(1, 1)),
    ("C241", _bad(1, 1)), ("DFC0", _bad(1, 1)), ("E100", _bad(1, 1)),
    ("ECFF", _bad(1, 1)), ("EE41", _bad(1, 1)), ("F1C2", _bad(1, 1)),
    ("F37F", _bad(1, 1)),
    # the same, followed by more bytes
    ("E08080", _bad(1, 1)), ("EDA080", _bad(1, 1)), ("F0808080", _bad(1, 1)),
    ("F4908080", _bad(1, 1)),
    # bad third byte of a three- or four-byte sequence
    ("E0A041", _bad(2, 1)), ("E180C0", _bad(2, 1)), ("ED9F7F", _bad(2, 1)),
    ("EFBFFF", _bad(2, 1)), ("F0904180", _bad(2, 1)), ("F48F0080", _bad(2, 1)),
    ("F180E080", _bad(2, 1)),
    # bad fourth byte
    ("F0908041", _bad(3, 1)), ("F3BFBFC0", _bad(3, 1)), ("F48FBFFF", _bad(3, 1)),
    ("F1808000", _bad(3, 1)),
    # input ends inside a sequence that is valid so far
    ("C2", _incomplete(1)), ("DF", _incomplete(1)), ("E0", _incomplete(1)),
    ("E0A0", _incomplete(1)), ("E180", _incomplete(1)), ("ED9F", _incomplete(1)),
    ("F0", _incomplete(1)), ("F090", _incomplete(1)), ("F09080", _incomplete(1)),
    ("F48FBF", _incomplete(1)), ("F1", _incomplete(1)),
]]

# the index counts the bytes of the failing string before the fault
REJECTED["utf8-index"] = [(_utf8_blob(*texts), message) for texts, message in [
    ((b"\xff\xfe",), _bad(1, 0)),
    (("é".encode() + b"\xff",), _bad(1, 2)),
    (("€a".encode() + b"\xff",), _bad(1, 4)),
    (("😀".encode() + b"\xc2",), _incomplete(4)),
    (("aé€😀".encode() + b"\xc0",), _bad(1, 10)),
    (("aé€😀".encode() + b"\xe0\xa0",), _incomplete(10)),
    (("aé€😀".encode() + b"\xf0\x90\x80\x41",), _bad(3, 10)),
    # a surrogate encoded as UTF-8 and an overlong slash
    ((b"ab\xed\xa0\x80",), _bad(1, 2)),
    ((b"\xc0\xaf",), _bad(1, 0)),
    ((b"\xe0\x80\xaf",), _bad(1, 0)),
    # above U+10FFFF
    ((b"\xf4\x90\x80\x80",), _bad(1, 0)),
    # after good strings; strings nothing refers to are checked too
    (("fine", "also fine", b"ab\xffcd"), _bad(1, 2)),
    (("ok", b"\x80"), _bad(1, 0)),
]]


@pytest.mark.parametrize("length", [3, 7, 8, 16, 17, 65, 130])
def test_utf8_fault_found_at_every_position(length):
    # Texts are checked a chunk at a time: a stray byte anywhere in one,
    # the last chunk (read overlapping the one before) included, is found.
    for i in range(length):
        text = bytearray(b"a" * length)
        text[i] = 0xFF
        assert load_error(_utf8_blob(b"ok", bytes(text))) == _bad(1, i)
    assert loads(blob([str_(1)], strings=["ok", "a" * length])) == "a" * length


@pytest.mark.parametrize("text", [
    "", "\x00", "a\x00b", "\x7f", "\x80", "\u07ff", "\u0800", "\ud7ff",
    "\ue000", "\uffff", "\U00010000", "\U0010ffff", "aé€😀",
])
def test_utf8_boundaries_accepted(text):
    assert loads(blob([str_(0)], strings=[text])) == text


# -- tolerances -------------------------------------------------------------------------

SAMPLE_RECORDS = [lst(1, 2, 3, 4), str_(0), int_raw(b"\xd8\x04"), bytes_(b"\x00\xff"),
                  dict_((1, 5)), none()]


@pytest.mark.parametrize("kwargs", [
    # header values are not examined, with either magic
    *[dict(magic=magic, version=version, schema_version=schema_version, flags=flags)
      for version, schema_version, flags in [
          (1, 0, 0), (0, 0, 0), (2, 0, 0), (1, 7, 0), (1, 0, 1), (0xFFFF, 0xFFFFFFFF, 0xFF)]
      for magic in (MAGIC, LEGACY_MAGIC)],
    # bytes after the record table are ignored
    *[dict(trailer=trailer) for trailer in
      (b"\x00", b"\xff", b"\x0f", b"junk" * 10, u32(0xFFFFFFFF), blob([none()]))],
])
def test_tolerated_blobs(kwargs):
    data = blob(SAMPLE_RECORDS, strings=["héllo"], **kwargs)
    assert loads(data) == ["héllo", 300, b"\x00\xff", {"héllo": None}]


def test_object_count_limits_what_is_read():
    # one record declared; what follows is trailing data, even a bad tag
    assert loads(prefix() + u32(1) + none() + b"\xff\x04") is None


def test_duplicate_string_texts_are_both_usable():
    assert loads(blob([lst(1, 2), str_(0), str_(1)], strings=["ab", "ab"])) == ["ab", "ab"]


# -- type table contents -----------------------------------------------------------------

@pytest.fixture
def recorder(monkeypatch):
    """make_class stand-in: records its calls, makes a Kwargs class per call."""
    rec = Recorder(lambda name, fields: type(name, (Kwargs,), {}))
    install(monkeypatch, "zelkor._reconstruct", make_class=rec)
    return rec


@pytest.mark.parametrize("name_idx", [2, 1000, 0xFFFFFFFF])
def test_out_of_range_type_name_reads_as_empty_text(name_idx):
    data = blob([none(), dataclass(0)], strings=["A", "x"],
                types=[type_entry(name_idx, [1])])
    assert error(TypeError, loads, data, allowlist={"A"}) == "Type '' is not in the allowlist"
    assert loads(data, allowlist={""}) is None


def test_out_of_range_field_index_reads_as_empty_text(recorder):
    data = blob([dataclass(0, 1, 2, 3), none(), none(), none()], strings=["P", "x"],
                types=[type_entry(0, [1, 7, 0xFFFFFFFF], type_id=0xBEEF)])
    obj = loads(data)
    assert recorder.calls == [("P", ["x", "", ""])]
    assert type(obj).__name__ == "P"


DUPLICATE_TYPES = [
    type_entry(0, [1]),
    type_entry(0, [2], version=9, type_id=1),
    type_entry(3, [], type_id=2),
]


def test_duplicate_type_names_register_once(recorder):
    data = blob([lst(1, 2), dataclass(0, 3), dataclass(1), none()],
                strings=["A", "x", "y", "B"], types=DUPLICATE_TYPES)
    a, b = loads(data)
    # the first entry's fields win; the second position names the next distinct type
    assert recorder.calls == [("A", ["x"]), ("B", [])]
    assert (type(a).__name__, a.kwargs) == ("A", {"x": None})
    assert (type(b).__name__, b.kwargs) == ("B", {})


def test_duplicate_type_names_leave_fewer_type_ids():
    data = blob([lst(1), dataclass(2)], strings=["A", "x", "y", "B"], types=DUPLICATE_TYPES)
    assert load_error(data) == "Invalid type_id: 2"
    assert load_error(data, allowlist={"A", "B"}) == "Unknown type_id: 2"
    named = blob([none(), dataclass(0), dataclass(1)], strings=["A", "x", "y", "B"],
                 types=DUPLICATE_TYPES)
    assert error(TypeError, loads, named, allowlist={"A"}) == "Type 'B' is not in the allowlist"


def test_unreached_bad_type_id_decodes():
    assert loads(blob([none(), dataclass(40)])) is None


# -- huge declared counts ------------------------------------------------------------------

REJECTED["huge-count"] = [
    (header() + u32(0xFFFFFFFF) + u32(0) + b"\x00", "Invalid data: string length truncated"),
    (header() + u32(1) + u32(0xFFFFFFFF) + b"abcd", "Invalid data: string data truncated"),
    (header() + u32(0) + u32(0xFFFFFFFF) + b"\x00", "Invalid data: type_id truncated"),
    (header() + u32(0) + u32(1) + type_entry(0, [], field_count=0xFFFF),
     "Invalid data: field index truncated"),
    (prefix() + u32(0xFFFFFFFF) + none(), "Invalid data: tag truncated"),
    (prefix() + u32(1) + bytes_(b"ab", length=0xFFFFFFFF), "Invalid data: bytes data truncated"),
    (prefix() + u32(1) + lst(0, count=0xFFFFFFFF), "Invalid data: list ref truncated"),
    (prefix() + u32(1) + tup(0, count=0xFFFFFFFF), "Invalid data: list ref truncated"),
    (prefix() + u32(1) + set_(0, count=0xFFFFFFFF), "Invalid data: set ref truncated"),
    (prefix() + u32(1) + fset(0, count=0xFFFFFFFF), "Invalid data: set ref truncated"),
    (prefix() + u32(1) + dict_((0, 0), count=0xFFFFFFFF), "Invalid data: dict key truncated"),
    (prefix() + u32(1) + dataclass(0, 0, count=0xFFFF), "Invalid data: dataclass field truncated"),
    (prefix() + u32(3) + lst(1, 2) + lst(0, count=0xFFFFFFFF), "Invalid data: list ref truncated"),
]

_CHILD = textwrap.dedent("""
    import json, resource, sys
    limit = 1 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    from _zelkor import loads
    out = []
    for hexdata in json.load(sys.stdin):
        try:
            loads(bytes.fromhex(hexdata))
            out.append(["ok", ""])
        except Exception as exc:
            out.append([type(exc).__name__, str(exc)])
    print(json.dumps(out))
""")


@needs_address_limit
def test_huge_counts_fail_with_truncation_under_memory_limit():
    """Declared counts never reserve more than the input could hold: with the
    address space capped at 1 GiB every case still reports its truncation."""
    cases = REJECTED["huge-count"]
    proc = subprocess.run([sys.executable, "-c", _CHILD], capture_output=True, text=True,
                          input=json.dumps([d.hex() for d, _ in cases]))
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [["ValueError", m] for _, m in cases]


# -- every rejected input above ------------------------------------------------------------

@pytest.mark.parametrize("data, message", [c for cases in REJECTED.values() for c in cases],
                         ids=[f"{g}-{i}" for g, cases in REJECTED.items() for i in range(len(cases))])
def test_rejected(data, message):
    assert load_error(data) == message
