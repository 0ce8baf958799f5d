"""Minimal pure-Python reader of zelkor blobs, for inspecting what dumps wrote.

parse(blob) returns a Blob with:
  magic, version, schema_version, flags  -- header fields
  strings   -- list of str, in string-index order
  types     -- list of (name, version, [field names]), in type-id order
  type_entries -- the raw entries: (type_id, name_idx, version, [field idx])
  records   -- list of tuples, in record-index order:
                 ("None",)  ("Bool", True)  ("Int", 5)  ("Float", 1.5)
                 ("Str", string_index)  ("Bytes", b"..")
                 ("List", [i, ...])  ("Tuple", [i, ...])
                 ("Dict", [(key_i, value_i), ...])
                 ("Set", [i, ...])  ("FrozenSet", [i, ...])
                 ("Dataclass", type_id, [i, ...])  ("Ref", target_i)
  records_offset -- where the first record starts
  size      -- number of bytes consumed (trailing bytes are not part of it)

The reader is strict: any truncation or unknown tag raises ValueError.
"""

import struct
from typing import NamedTuple

MAGIC = b"ZLKR"
LEGACY_MAGIC = b"TNDL"


class Blob(NamedTuple):
    magic: bytes
    version: int
    schema_version: int
    flags: int
    strings: list
    types: list
    type_entries: list
    records: list
    records_offset: int
    size: int


class _Cursor:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def take(self, n, what):
        end = self.pos + n
        if end > len(self.data):
            raise ValueError(f"truncated {what} at offset {self.pos}")
        chunk = self.data[self.pos:end]
        self.pos = end
        return chunk

    def u8(self, what):
        return self.take(1, what)[0]

    def u16(self, what):
        return struct.unpack("<H", self.take(2, what))[0]

    def u32(self, what):
        return struct.unpack("<I", self.take(4, what))[0]

    def indices(self, count, what):
        return list(struct.unpack(f"<{count}I", self.take(4 * count, what)))

    def varint_i64(self):
        z = 0
        for k in range(10):
            byte = self.u8("int")
            if k == 9:
                if byte & 0x80:
                    raise ValueError("int: tenth byte has its high bit set")
                z |= (byte & 1) << 63
                break
            z |= (byte & 0x7F) << (7 * k)
            if not byte & 0x80:
                break
        n = (z >> 1) ^ -(z & 1)
        return n


_SEQUENCE_TAGS = {0x08: "List", 0x09: "Tuple", 0x0B: "Set", 0x0C: "FrozenSet"}


def _record(cur):
    tag = cur.u8("tag")
    if tag == 0x01:
        return ("None",)
    if tag in (0x02, 0x03):
        return ("Bool", tag == 0x02)
    if tag == 0x04:
        return ("Int", cur.varint_i64())
    if tag == 0x05:
        return ("Float", struct.unpack("<d", cur.take(8, "float"))[0])
    if tag == 0x06:
        return ("Str", cur.u32("string index"))
    if tag == 0x07:
        return ("Bytes", cur.take(cur.u32("bytes length"), "bytes data"))
    if tag in _SEQUENCE_TAGS:
        count = cur.u32("count")
        return (_SEQUENCE_TAGS[tag], cur.indices(count, "item"))
    if tag == 0x0A:
        count = cur.u32("dict count")
        flat = cur.indices(2 * count, "dict pair")
        return ("Dict", list(zip(flat[0::2], flat[1::2])))
    if tag == 0x0D:
        type_id = cur.u16("dataclass type_id")
        count = cur.u16("dataclass field_count")
        return ("Dataclass", type_id, cur.indices(count, "dataclass field"))
    if tag == 0x0E:
        return ("Ref", cur.u32("reference"))
    raise ValueError(f"unknown tag 0x{tag:02X} at offset {cur.pos - 1}")


def parse(blob):
    cur = _Cursor(blob)
    magic = cur.take(4, "magic")
    if magic not in (MAGIC, LEGACY_MAGIC):
        raise ValueError(f"bad magic {magic!r}")
    version = cur.u16("version")
    schema_version = cur.u32("schema version")
    flags = cur.u8("flags")

    strings = []
    for _ in range(cur.u32("string count")):
        raw = cur.take(cur.u32("string length"), "string data")
        strings.append(raw.decode("utf-8"))

    types, entries = [], []
    for _ in range(cur.u32("type count")):
        type_id = cur.u16("type_id")
        name_idx = cur.u32("name_idx")
        type_version = cur.u32("schema_version")
        field_idx = cur.indices(cur.u16("field_count"), "field index")
        entries.append((type_id, name_idx, type_version, field_idx))
        types.append(
            (strings[name_idx], type_version, [strings[i] for i in field_idx])
        )

    count = cur.u32("object count")
    offset = cur.pos
    records = [_record(cur) for _ in range(count)]
    return Blob(magic, version, schema_version, flags, strings, types, entries,
                records, offset, cur.pos)

