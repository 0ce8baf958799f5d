"""A readable listing of a blob, as text or as JSON-ready data.

Nothing here builds the stored values: the blob is read by ``_reader``,
which checks it as ``loads`` does, and each record is shown with its kind,
its payload and the records it names.
"""

from __future__ import annotations

from collections import Counter
from typing import Any, Optional

from . import _reader

__all__ = ["describe", "listing"]

_PREVIEW = 60  # characters of a text or bytes value shown in the listing


def _clip(text: str) -> str:
    return text if len(text) <= _PREVIEW else text[:_PREVIEW] + "..."


def _float_json(value: float) -> Any:
    # JSON has no NaN or infinities: those are given as text.
    return value if value == value and value not in (float("inf"), float("-inf")) else repr(value)


def _record_table(blob: _reader.Blob) -> int:
    """Where the record table starts: at its count, before the first record."""
    return blob.records_offset - 4


def _sections(blob: _reader.Blob, total: int) -> dict[str, int]:
    return {
        "header": _reader.HEADER_SIZE,
        "strings": blob.types_offset - _reader.HEADER_SIZE,
        "types": _record_table(blob) - blob.types_offset,
        "records": blob.size - _record_table(blob),
        "trailing": total - blob.size,
        "total": total,
    }


def _record_json(blob: _reader.Blob, index: int) -> dict[str, Any]:
    record = blob.records[index]
    kind = record[0]
    out: dict[str, Any] = {"index": index, "offset": blob.record_offsets[index], "kind": kind}
    if kind in ("Bool", "Int"):
        out["value"] = record[1]
    elif kind == "Float":
        out["value"] = _float_json(record[1])
    elif kind == "Str":
        out["string"] = record[1]
    elif kind == "Bytes":
        out["length"] = len(record[1])
        out["hex"] = record[1].hex()
    elif kind == "Dict":
        out["items"] = [list(pair) for pair in record[1]]
    elif kind == "Dataclass":
        out["type"] = record[1]
        out["fields"] = record[2]
    elif kind == "Ref":
        out["target"] = record[1]
    elif kind != "None":
        out["items"] = record[1]
    return out


def _name(blob: _reader.Blob, index: int) -> str:
    # Clipped as in the listing: an entry may name one long text many times,
    # and the string table holds every text whole once.
    return _clip(blob.strings[index]) if index < len(blob.strings) else ""


def describe(data: bytes) -> dict[str, Any]:
    """The blob's sections as JSON-ready data; ValueError as ``loads`` raises it."""
    blob = _reader.parse(data)
    problem = _reader.reference_error(blob)
    if problem is not None:
        raise ValueError(problem)
    counts = Counter(record[0] for record in blob.records)
    return {
        "header": {
            "magic": blob.magic.decode("latin-1"),
            "version": blob.version,
            "schema_version": blob.schema_version,
            "flags": blob.flags,
        },
        "strings": [{"index": i, "text": text} for i, text in enumerate(blob.strings)],
        "types": [
            {
                "type_id": entry.type_id,
                "name": _name(blob, entry.name_idx),
                "name_index": entry.name_idx,
                "version": entry.schema_version,
                "field_indices": entry.field_indices,
                "fields": [_name(blob, i) for i in entry.field_indices],
                "registered_as": entry.registered_as,
            }
            for entry in blob.type_entries
        ],
        "records": [_record_json(blob, i) for i in range(len(blob.records))],
        "summary": {
            "records": len(blob.records),
            "kinds": dict(sorted(counts.items())),
            "sizes": _sections(blob, len(data)),
        },
    }


def _ref(blob: _reader.Blob, index: int) -> str:
    return f"@{index}" if index < len(blob.records) else f"@{index}(missing)"


def _string(blob: _reader.Blob, index: int) -> str:
    if index < len(blob.strings):
        return f"#{index} {_clip(blob.strings[index])!r}"
    return f"#{index}(missing)"


def _payload(blob: _reader.Blob, record: _reader.Record) -> str:
    kind = record[0]
    if kind == "None":
        return ""
    if kind in ("Bool", "Int", "Float"):
        return repr(record[1])
    if kind == "Str":
        return _string(blob, record[1])
    if kind == "Bytes":
        preview = record[1][:_PREVIEW // 2]
        more = "..." if len(record[1]) > len(preview) else ""
        return f"{len(record[1])} bytes {preview.hex()}{more}"
    if kind == "Ref":
        return "-> " + _ref(blob, record[1])
    if kind == "Dict":
        pairs = ", ".join(f"{_ref(blob, k)}: {_ref(blob, v)}" for k, v in record[1])
        return f"{len(record[1])} {{{pairs}}}"
    if kind == "Dataclass":
        type_id, fields = record[1], record[2]
        if type_id < len(blob.types):
            info = blob.types[type_id]
            names = info.fields  # a type's names are not copied for each of its records
            # Clipped, as everywhere else: each of many small records may
            # name one long text.
            body = ", ".join(f"{_clip(names[k]) if k < len(names) else f'?{k}'}={_ref(blob, i)}"
                             for k, i in enumerate(fields))
            return f"{_clip(info.name)} (type {type_id}) {{{body}}}"
        return f"type {type_id}(missing) [{', '.join(_ref(blob, i) for i in fields)}]"
    items = record[1]
    return f"{len(items)} [{', '.join(_ref(blob, i) for i in items)}]"


def listing(data: bytes) -> str:
    """The readable listing of a blob; ValueError as ``loads`` raises it."""
    blob = _reader.parse(data)
    problem: Optional[str] = _reader.reference_error(blob)
    if problem is not None:
        raise ValueError(problem)
    sizes = _sections(blob, len(data))
    lines = [
        f"header   magic {blob.magic.decode('latin-1')}  version {blob.version}  "
        f"schema version {blob.schema_version}  flags 0x{blob.flags:02X}",
        f"strings  {len(blob.strings)} at offset {_reader.HEADER_SIZE}, {sizes['strings']} bytes",
    ]
    lines += [f"  #{i:<5} {_clip(text)!r}" for i, text in enumerate(blob.strings)]
    lines.append(f"types    {len(blob.type_entries)} at offset {blob.types_offset}, {sizes['types']} bytes")
    for entry in blob.type_entries:
        name = _string(blob, entry.name_idx)
        fields = ", ".join(_string(blob, i) for i in entry.field_indices) or "no fields"
        note = (f"type {entry.registered_as}" if entry.registered_as is not None
                else "ignored: its name came earlier")
        lines.append(f"  entry {entry.type_id:<5} {name}  version {entry.schema_version}  "
                     f"fields: {fields}  ({note})")
    lines.append(f"records  {len(blob.records)} at offset {_record_table(blob)}, {sizes['records']} bytes")
    width = max((len(k) for k in _reader.TAG_NAMES.values()))
    for i, record in enumerate(blob.records):
        lines.append(f"  @{i:<5} {record[0]:<{width}} {_payload(blob, record)}".rstrip())
    counts = Counter(record[0] for record in blob.records)
    kinds = ", ".join(f"{n} {kind}" for kind, n in sorted(counts.items())) or "none"
    trailing = f", {sizes['trailing']} trailing (ignored)" if sizes["trailing"] else ""
    lines.append(
        f"summary  {len(blob.records)} records ({kinds}); {len(blob.strings)} strings, "
        f"{len(blob.types)} types; bytes: header {sizes['header']}, strings {sizes['strings']}, "
        f"types {sizes['types']}, records {sizes['records']}{trailing}; total {len(data)}")
    return "\n".join(lines)
