"""A pure-Python reader of blobs, for looking at them without loading them.

``parse(blob)`` reads the four sections with the same checks and in the same
order as ``loads`` and raises ValueError with the message ``loads`` raises
for the first field that is missing or malformed. It builds no value: texts
become ``str`` and records become plain tuples that name other records by
index. ``reference_error(parsed)`` then walks the records from the root as
``loads`` does and returns the message ``loads`` raises for the first index
that points nowhere (record, string or type), or None.

Records, in record-index order::

    ("None",)  ("Bool", True)  ("Int", 5)  ("Float", 1.5)
    ("Str", string_index)  ("Bytes", b"..")
    ("List", [i, ...])  ("Tuple", [i, ...])  ("Set", [i, ...])
    ("FrozenSet", [i, ...])  ("Dict", [(key_i, value_i), ...])
    ("Dataclass", type_id, [i, ...])  ("Ref", target_i)

Type ids in dataclass records select entries of ``types``, the type table as
``loads`` registers it: by name, the first entry of a name wins, so ids are
the positions of distinct names. ``type_entries`` keeps the raw entries.
"""

from __future__ import annotations

import struct
from typing import Any, NamedTuple, Optional, Union

__all__ = [
    "MAGIC", "LEGACY_MAGIC", "HEADER_SIZE", "TAG_NAMES", "Blob", "TypeEntry",
    "TypeInfo", "Record", "parse", "children", "reference_error",
]

MAGIC = b"ZLKR"
LEGACY_MAGIC = b"TNDL"
HEADER_SIZE = 11

TAG_NAMES = {
    0x01: "None", 0x02: "Bool", 0x03: "Bool", 0x04: "Int", 0x05: "Float",
    0x06: "Str", 0x07: "Bytes", 0x08: "List", 0x09: "Tuple", 0x0A: "Dict",
    0x0B: "Set", 0x0C: "FrozenSet", 0x0D: "Dataclass", 0x0E: "Ref",
}

# A record: a kind name followed by its payload (see the module docstring).
Record = tuple[Any, ...]


class TypeEntry(NamedTuple):
    """One entry of the type table as stored."""
    type_id: int
    name_idx: int
    schema_version: int
    field_indices: list[int]
    registered_as: Optional[int]  # type id loads gives it; None: name seen before


class TypeInfo(NamedTuple):
    """One type as loads registers it."""
    name: str
    version: int
    fields: list[str]


class Blob(NamedTuple):
    magic: bytes
    version: int
    schema_version: int
    flags: int
    strings: list[str]
    types: list[TypeInfo]
    type_entries: list[TypeEntry]
    records: list[Record]
    record_offsets: list[int]  # offset of each record's tag byte
    types_offset: int          # where the type table starts
    records_offset: int        # where the first record starts
    size: int                  # bytes read; any bytes after that are ignored


def _fail(message: str) -> ValueError:
    return ValueError(message)


def _utf8_detail(raw: bytes) -> str:
    """Why ``raw`` is not UTF-8, in the words loads uses."""
    i, n = 0, len(raw)
    while i < n:
        lead = raw[i]
        if lead < 0x80:
            i += 1
            continue
        lo, hi = 0x80, 0xBF
        if 0xC2 <= lead <= 0xDF:
            width = 2
        elif 0xE0 <= lead <= 0xEF:
            width = 3
            lo = 0xA0 if lead == 0xE0 else lo
            hi = 0x9F if lead == 0xED else hi
        elif 0xF0 <= lead <= 0xF4:
            width = 4
            lo = 0x90 if lead == 0xF0 else lo
            hi = 0x8F if lead == 0xF4 else hi
        else:
            return f"invalid utf-8 sequence of 1 bytes from index {i}"
        if i + 1 >= n:
            return f"incomplete utf-8 byte sequence from index {i}"
        if not lo <= raw[i + 1] <= hi:
            return f"invalid utf-8 sequence of 1 bytes from index {i}"
        for k in range(2, width):
            if i + k >= n:
                return f"incomplete utf-8 byte sequence from index {i}"
            if raw[i + k] & 0xC0 != 0x80:
                return f"invalid utf-8 sequence of {k} bytes from index {i}"
        i += width
    raise AssertionError("valid UTF-8")  # pragma: no cover


class _Cursor:
    __slots__ = ("data", "pos", "len")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = HEADER_SIZE
        self.len = len(data)

    def left(self) -> int:
        return self.len - self.pos

    def u16(self, message: str) -> int:
        if self.left() < 2:
            raise _fail(message)
        self.pos += 2
        return int.from_bytes(self.data[self.pos - 2:self.pos], "little")

    def u32(self, message: str) -> int:
        if self.left() < 4:
            raise _fail(message)
        self.pos += 4
        return int.from_bytes(self.data[self.pos - 4:self.pos], "little")

    def indices(self, count: int, message: str) -> list[int]:
        if self.left() // 4 < count:
            raise _fail(message)
        start = self.pos
        self.pos += 4 * count
        return list(struct.unpack_from(f"<{count}I", self.data, start))

    def take(self, count: int, message: str) -> bytes:
        if self.left() < count:
            raise _fail(message)
        self.pos += count
        return self.data[self.pos - count:self.pos]

    def varint(self) -> int:
        z = 0
        for k in range(10):
            if self.pos >= self.len:
                raise _fail("Invalid data: int truncated")
            byte = self.data[self.pos]
            if k == 9:
                if byte & 0x80:
                    raise _fail("Invalid data: int truncated")
                self.pos += 1
                z |= (byte & 1) << 63
                break
            self.pos += 1
            z |= (byte & 0x7F) << (7 * k)
            if not byte & 0x80:
                break
        return (z >> 1) ^ -(z & 1)


_SEQUENCES = {0x08: "List", 0x09: "Tuple", 0x0B: "Set", 0x0C: "FrozenSet"}


def _record(cur: _Cursor, tag: int) -> Record:
    if tag == 0x01:
        return ("None",)
    if tag == 0x02 or tag == 0x03:
        return ("Bool", tag == 0x02)
    if tag == 0x04:
        return ("Int", cur.varint())
    if tag == 0x05:
        return ("Float", struct.unpack("<d", cur.take(8, "Invalid data: float truncated"))[0])
    if tag == 0x06:
        return ("Str", cur.u32("Invalid data: string index truncated"))
    if tag == 0x07:
        length = cur.u32("Invalid data: bytes length truncated")
        return ("Bytes", cur.take(length, "Invalid data: bytes data truncated"))
    if tag in _SEQUENCES:
        what = "list" if tag in (0x08, 0x09) else "set"
        count = cur.u32(f"Invalid data: {what} count truncated")
        return (_SEQUENCES[tag], cur.indices(count, f"Invalid data: {what} ref truncated"))
    if tag == 0x0A:
        count = cur.u32("Invalid data: dict count truncated")
        left = cur.left()
        if left // 8 < count:
            part = "value" if left % 8 >= 4 else "key"
            raise _fail(f"Invalid data: dict {part} truncated")
        flat = cur.indices(2 * count, "")
        return ("Dict", list(zip(flat[0::2], flat[1::2])))
    if tag == 0x0D:
        type_id = cur.u16("Invalid data: dataclass type_id truncated")
        count = cur.u16("Invalid data: dataclass field_count truncated")
        return ("Dataclass", type_id, cur.indices(count, "Invalid data: dataclass field truncated"))
    return ("Ref", cur.u32("Invalid data: reference truncated"))


def _header(data: bytes) -> None:
    size = len(data)
    if size < 4:
        raise _fail("Invalid data: too short for header")
    if data[:4] not in (MAGIC, LEGACY_MAGIC):
        raise _fail("Invalid magic bytes")
    if size < 6:
        raise _fail("Invalid data: too short for version")
    if size < 10:
        raise _fail("Invalid data: too short for schema version")
    if size == 10:
        raise _fail("Invalid data: too short for flags")
    if size < 15:
        raise _fail("Invalid data: no string count")


def parse(blob: Union[bytes, bytearray, memoryview]) -> Blob:
    """Read ``blob``; raises ValueError with the message loads would raise."""
    data = bytes(blob)
    _header(data)
    cur = _Cursor(data)

    strings: list[str] = []
    sizes: list[int] = []  # UTF-8 length of each text
    for _ in range(cur.u32("Invalid data: no string count")):
        length = cur.u32("Invalid data: string length truncated")
        raw = cur.take(length, "Invalid data: string data truncated")
        try:
            strings.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            raise _fail("Invalid UTF-8 in string table: " + _utf8_detail(raw)) from None
        sizes.append(length)

    def text(index: int) -> tuple[str, int]:
        return (strings[index], sizes[index]) if index < len(strings) else ("", 0)

    types_offset = cur.pos
    types: list[TypeInfo] = []
    entries: list[TypeEntry] = []
    registered: dict[str, int] = {}
    # Field names copied for the types loads registers are bounded by the
    # blob's size, as loads bounds them.
    field_text, budget = 0, 4 * len(data) + (1 << 20)
    for _ in range(cur.u32("Invalid data: no type count")):
        type_id = cur.u16("Invalid data: type_id truncated")
        name_idx = cur.u32("Invalid data: type name_idx truncated")
        version = cur.u32("Invalid data: schema_version truncated")
        field_count = cur.u16("Invalid data: field_count truncated")
        field_idx = cur.indices(field_count, "Invalid data: field index truncated")
        name = text(name_idx)[0]
        new_id: Optional[int] = None
        if name not in registered:
            fields = []
            for index in field_idx:
                field, size = text(index)
                field_text += size + 1
                if field_text > budget:
                    raise _fail("Invalid data: type table field names too large")
                fields.append(field)
            new_id = registered[name] = len(types)
            types.append(TypeInfo(name, version, fields))
        entries.append(TypeEntry(type_id, name_idx, version, field_idx, new_id))

    count = cur.u32("Invalid data: no object count")
    records_offset = cur.pos
    records: list[Record] = []
    offsets: list[int] = []
    for _ in range(count):
        if cur.pos >= cur.len:
            raise _fail("Invalid data: tag truncated")
        tag = data[cur.pos]
        if tag == 0 or tag > 0x0E:
            raise _fail(f"Unknown tag: 0x{tag:02X}")
        offsets.append(cur.pos)
        cur.pos += 1
        records.append(_record(cur, tag))
    return Blob(data[:4], int.from_bytes(data[4:6], "little"),
                int.from_bytes(data[6:10], "little"), data[10], strings, types,
                entries, records, offsets, types_offset, records_offset, cur.pos)


def children(record: Record) -> list[int]:
    """The record indices ``record`` names, in the order loads builds them."""
    kind = record[0]
    if kind in ("List", "Tuple", "Set", "FrozenSet"):
        return list(record[1])
    if kind == "Dict":
        return [i for pair in record[1] for i in pair]
    if kind == "Dataclass":
        return list(record[2])
    if kind == "Ref":
        return [record[1]]
    return []


def reference_error(blob: Blob) -> Optional[str]:
    """The message loads raises for the first index, met from the root in
    loads' order, that names no record, string or type; None if all do.

    Only records reachable from the root are looked at, as loads does.
    """
    records = blob.records
    n = len(records)
    seen = bytearray(n)
    # Ref record -> the record its chain ends at, for chains followed before:
    # many Refs into one long chain are then each followed once.
    ends: dict[int, int] = {}
    stack = [0]
    while stack:
        index = stack.pop()
        if index >= n:
            return f"Invalid reference: {index}"
        if records[index][0] == "Ref":
            # Follow the chain of Refs to the record it ends at.
            current, hops, chain = index, 0, []
            while current < n and records[current][0] == "Ref":
                if current in ends:
                    current = ends[current]
                    break
                hops += 1
                if hops > n:
                    return f"Invalid reference: {index}"
                chain.append(current)
                current = records[current][1]
            if current >= n:
                return f"Invalid reference: {current}"
            for ref in chain:
                ends[ref] = current
            index = current
        if seen[index]:
            continue
        seen[index] = 1
        record = records[index]
        kind = record[0]
        if kind == "Str" and record[1] >= len(blob.strings):
            return f"Invalid string index: {record[1]}"
        if kind == "Dataclass" and record[1] >= len(blob.types):
            return f"Invalid type_id: {record[1]}"
        stack.extend(reversed(children(record)))
    return None
