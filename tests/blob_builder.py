"""Hand-crafted blobs for decoder and reconstruction tests.

Every helper returns plain ``bytes`` so pieces can be concatenated, cut short
or mixed with raw bytes to produce malformed input on purpose.

Typical use::

    blob(records=[lst(1, 2), int_(1), str_(0)], strings=["a"])
"""

import itertools
import struct

MAGIC = b"ZLKR"
LEGACY_MAGIC = b"TNDL"

TAG_NONE = 0x01
TAG_TRUE = 0x02
TAG_FALSE = 0x03
TAG_INT = 0x04
TAG_FLOAT = 0x05
TAG_STR = 0x06
TAG_BYTES = 0x07
TAG_LIST = 0x08
TAG_TUPLE = 0x09
TAG_DICT = 0x0A
TAG_SET = 0x0B
TAG_FROZENSET = 0x0C
TAG_DATACLASS = 0x0D
TAG_REF = 0x0E


# -- primitive fields ---------------------------------------------------------

def u8(n):
    return struct.pack("<B", n)


def u16(n):
    return struct.pack("<H", n)


def u32(n):
    return struct.pack("<I", n)


def zigzag(n):
    """Map a signed 64-bit integer to its unsigned zigzag form."""
    if not -(1 << 63) <= n < (1 << 63):
        raise OverflowError(n)
    return ((n << 1) ^ (n >> 63)) & 0xFFFFFFFFFFFFFFFF


def varint(z):
    """Minimal little-endian base-128 encoding of an unsigned value."""
    out = bytearray()
    while z >= 0x80:
        out.append((z & 0x7F) | 0x80)
        z >>= 7
    out.append(z)
    return bytes(out)


# -- sections -----------------------------------------------------------------

def header(magic=MAGIC, version=1, schema_version=0, flags=0):
    return magic + u16(version) + u32(schema_version) + u8(flags)


def _text(s):
    return s.encode("utf-8") if isinstance(s, str) else bytes(s)


def string_entry(s):
    """One string-table entry; ``s`` is a str (UTF-8 encoded) or raw bytes."""
    data = _text(s)
    return u32(len(data)) + data


def string_table(strings=(), count=None):
    strings = list(strings)
    n = len(strings) if count is None else count
    return u32(n) + b"".join(string_entry(s) for s in strings)


def type_entry(name_idx, field_idxs=(), version=0, type_id=0, field_count=None):
    field_idxs = list(field_idxs)
    fc = len(field_idxs) if field_count is None else field_count
    return (u16(type_id) + u32(name_idx) + u32(version) + u16(fc)
            + b"".join(u32(i) for i in field_idxs))


def type_table(entries=(), count=None):
    """``entries`` are bytes from :func:`type_entry` (or raw bytes)."""
    entries = list(entries)
    n = len(entries) if count is None else count
    return u32(n) + b"".join(entries)


def record_table(records=(), count=None):
    records = list(records)
    n = len(records) if count is None else count
    return u32(n) + b"".join(records)


def blob(records=(), strings=(), types=(), *, magic=MAGIC, record_count=None,
         string_count=None, type_count=None, trailer=b"", **header_fields):
    """A whole blob.  Counts default to the number of entries given."""
    return (header(magic, **header_fields)
            + string_table(strings, string_count)
            + type_table(types, type_count)
            + record_table(records, record_count)
            + trailer)


def typed_blob(types, records, strings=()):
    """A blob whose types are (name, field names, version) triples, type_id
    being the position; names are added to the string table (after
    ``strings``) as they are first met."""
    strings = list(strings)

    def idx(text):
        if text not in strings:
            strings.append(text)
        return strings.index(text)

    entries = [type_entry(idx(name), [idx(f) for f in fields], version, type_id=i)
               for i, (name, fields, version) in enumerate(types)]
    return blob(records, strings, entries)


def prefix(strings=(), types=()):
    """Header, string table and type table: everything before the records."""
    return header() + string_table(strings) + type_table(types)


# -- records ------------------------------------------------------------------

def none():
    return u8(TAG_NONE)


def true():
    return u8(TAG_TRUE)


def false():
    return u8(TAG_FALSE)


def bool_(v):
    return true() if v else false()


def int_(n):
    return u8(TAG_INT) + varint(zigzag(n))


def int_raw(raw):
    """An Int record with an arbitrary (possibly non-minimal) varint body."""
    return u8(TAG_INT) + bytes(raw)


def float_(x):
    return u8(TAG_FLOAT) + struct.pack("<d", x)


def float_bits(bits):
    return u8(TAG_FLOAT) + struct.pack("<Q", bits)


def str_(idx):
    return u8(TAG_STR) + u32(idx)


def bytes_(data, length=None):
    n = len(data) if length is None else length
    return u8(TAG_BYTES) + u32(n) + bytes(data)


def _seq(tag, items, count):
    items = list(items)
    n = len(items) if count is None else count
    return u8(tag) + u32(n) + b"".join(u32(i) for i in items)


def lst(*items, count=None):
    return _seq(TAG_LIST, items, count)


def tup(*items, count=None):
    return _seq(TAG_TUPLE, items, count)


def set_(*items, count=None):
    return _seq(TAG_SET, items, count)


def fset(*items, count=None):
    return _seq(TAG_FROZENSET, items, count)


def dict_(*pairs, count=None):
    n = len(pairs) if count is None else count
    return (u8(TAG_DICT) + u32(n)
            + b"".join(u32(k) + u32(v) for k, v in pairs))


def dataclass(type_id, *fields, count=None):
    n = len(fields) if count is None else count
    return (u8(TAG_DATACLASS) + u16(type_id) + u16(n)
            + b"".join(u32(i) for i in fields))


def ref(target):
    return u8(TAG_REF) + u32(target)


def chain(depth, tag, *fields):
    """``depth`` records, record i being ``tag``, the u32 ``fields`` and the
    index i + 1: ``chain(n, TAG_LIST, 1)`` nests n one-item lists, and
    ``chain(n, TAG_REF)`` is a run of n Refs.  Fast enough for a million."""
    body = struct.Struct("<B" + "I" * (len(fields) + 1))
    constant = [itertools.repeat(v, depth) for v in (tag, *fields)]
    return b"".join(map(body.pack, *constant, range(1, depth + 1)))


# -- comparing loaded values ----------------------------------------------------

def canonical(value):
    """A type-exact, order-stable view of an acyclic built-in value.

    Floats compare by bit pattern (so NaN payloads and -0.0 count), bools
    are not ints, set members are sorted by their own canonical form and
    dict items keep their order.
    """
    kind = type(value)
    if value is None:
        return ("None",)
    if kind in (bool, int, str, bytes):
        return (kind.__name__, value)
    if kind is float:
        return ("float", struct.pack("<d", value).hex())
    if kind in (list, tuple):
        return (kind.__name__, tuple(canonical(v) for v in value))
    if kind is dict:
        return ("dict", tuple((canonical(k), canonical(v)) for k, v in value.items()))
    if kind in (set, frozenset):
        return (kind.__name__, tuple(sorted(canonical(v) for v in value)))
    raise TypeError("no canonical form for %r" % kind)


def same_shape(a, b, _pairs=None):
    """True if ``a`` and ``b`` are the same graph of built-in values: equal
    scalars (by :func:`canonical`), and containers matched one to one, so
    that sharing and cycles must agree as well.  Set members and dict keys
    are hashable, hence acyclic, and are compared canonically."""
    pairs = ({}, set()) if _pairs is None else _pairs
    forward, taken = pairs
    kind = type(a)
    if kind is not type(b):
        return False
    # containers are matched one to one (empty tuples and frozensets may be
    # shared singletons, so they are left out)
    if kind in (list, dict, set) or (kind in (tuple, frozenset) and len(a)):
        if id(a) in forward:
            return forward[id(a)] is b
        if id(b) in taken:
            return False
        forward[id(a)] = b
        taken.add(id(b))
    if kind in (list, tuple):
        return len(a) == len(b) and all(same_shape(x, y, pairs) for x, y in zip(a, b))
    if kind is dict:
        return (len(a) == len(b)
                and all(canonical(x) == canonical(y) and same_shape(a[x], b[y], pairs)
                        for x, y in zip(a, b)))
    return canonical(a) == canonical(b)
