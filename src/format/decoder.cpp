#include "format/decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "format/primitives.h"

namespace zelkor::format {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the leading run of ASCII bytes.
size_t ascii_prefix(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        if (v & 0x8080808080808080ull) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

std::string invalid_sequence(size_t len, size_t index) {
    return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(index);
}

std::string incomplete_sequence(size_t index) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}

}  // namespace

bool validate_utf8(const uint8_t* p, size_t n, std::string& detail) {
    size_t i = 0;
    while (i < n) {
        i += ascii_prefix(p + i, n - i);
        if (i >= n) break;
        const uint8_t lead = p[i];
        size_t width;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            detail = invalid_sequence(1, i);
            return false;
        }
        if (i + 1 >= n) {
            detail = incomplete_sequence(i);
            return false;
        }
        if (p[i + 1] < lo || p[i + 1] > hi) {
            detail = invalid_sequence(1, i);
            return false;
        }
        for (size_t k = 2; k < width; ++k) {
            if (i + k >= n) {
                detail = incomplete_sequence(i);
                return false;
            }
            if (!is_continuation(p[i + k])) {
                detail = invalid_sequence(k, i);
                return false;
            }
        }
        i += width;
    }
    return true;
}

namespace {

// Reads one record's payload starting after its tag; returns the message of
// the first field that does not fit, or nullptr.
inline void count_uses(UseCounts& uses, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) uses.add(load_u32(p + 4 * i));
}

ZELKOR_ALWAYS_INLINE const char* skip_payload(uint8_t tag, const uint8_t* data, size_t len, size_t& pos,
                                              UseCounts& uses) {
    switch (tag) {
        case kTagNone:
        case kTagTrue:
        case kTagFalse:
            return nullptr;
        case kTagInt:
            if (has_room(len, pos, 8)) {
                if (size_t n = short_varint_length(data + pos)) {
                    pos += n;
                    return nullptr;
                }
            }
            return read_i64_zigzag(data, len, pos) ? nullptr : "Invalid data: int truncated";
        case kTagFloat:
            if (!has_room(len, pos, 8)) return "Invalid data: float truncated";
            pos += 8;
            return nullptr;
        case kTagStr:
            return read_u32(data, len, pos) ? nullptr : "Invalid data: string index truncated";
        case kTagRef:
            if (!has_room(len, pos, 4)) return "Invalid data: reference truncated";
            count_uses(uses, data + pos, 1);
            pos += 4;
            return nullptr;
        case kTagBytes: {
            auto n = read_u32(data, len, pos);
            if (!n) return "Invalid data: bytes length truncated";
            if (!has_room(len, pos, *n)) return "Invalid data: bytes data truncated";
            pos += *n;
            return nullptr;
        }
        case kTagList:
        case kTagTuple:
        case kTagSet:
        case kTagFrozenSet: {
            const bool list = tag == kTagList || tag == kTagTuple;
            auto k = read_u32(data, len, pos);
            if (!k) return list ? "Invalid data: list count truncated" : "Invalid data: set count truncated";
            if ((len - pos) / 4 < *k) return list ? "Invalid data: list ref truncated" : "Invalid data: set ref truncated";
            count_uses(uses, data + pos, *k);
            pos += static_cast<size_t>(*k) * 4;
            return nullptr;
        }
        case kTagDict: {
            auto k = read_u32(data, len, pos);
            if (!k) return "Invalid data: dict count truncated";
            const size_t left = len - pos;
            if (left / 8 < *k) {
                return left % 8 >= 4 ? "Invalid data: dict value truncated" : "Invalid data: dict key truncated";
            }
            count_uses(uses, data + pos, static_cast<size_t>(*k) * 2);
            pos += static_cast<size_t>(*k) * 8;
            return nullptr;
        }
        case kTagDataclass: {
            if (!read_u16(data, len, pos)) return "Invalid data: dataclass type_id truncated";
            auto k = read_u16(data, len, pos);
            if (!k) return "Invalid data: dataclass field_count truncated";
            if ((len - pos) / 4 < *k) return "Invalid data: dataclass field truncated";
            count_uses(uses, data + pos, *k);
            pos += static_cast<size_t>(*k) * 4;
            return nullptr;
        }
        default:
            return nullptr;  // unknown tags are rejected before this is called
    }
}

std::string unknown_tag(uint8_t tag) {
    static const char digits[] = "0123456789ABCDEF";
    std::string msg = "Unknown tag: 0x";
    msg += digits[tag >> 4];
    msg += digits[tag & 0xF];
    return msg;
}

std::string_view string_at(const std::vector<std::string_view>& strings, uint32_t index) {
    return index < strings.size() ? strings[index] : std::string_view();
}

}  // namespace

void RecordOffsets::allocate(size_t capacity, bool wide) {
    wide_ = wide;
    data_ = std::malloc((capacity ? capacity : 1) * (wide ? sizeof(uint64_t) : sizeof(uint32_t)));
    if (!data_) throw std::bad_alloc();
}

void UseCounts::allocate(size_t n) {
    data_ = static_cast<uint8_t*>(std::calloc(n ? n : 1, 1));
    if (!data_) throw std::bad_alloc();
    size_ = n;
}

bool decode(const uint8_t* data, size_t len, DecodedGraph& out, std::string& error) {
    out.data = data;
    out.size = len;

    // Header.
    if (len < 4) return error = "Invalid data: too short for header", false;
    if (std::memcmp(data, kMagic, 4) != 0 && std::memcmp(data, kLegacyMagic, 4) != 0) {
        return error = "Invalid magic bytes", false;
    }
    if (len < 6) return error = "Invalid data: too short for version", false;
    if (len < 10) return error = "Invalid data: too short for schema version", false;
    if (len == 10) return error = "Invalid data: too short for flags", false;
    if (len < 15) return error = "Invalid data: no string count", false;
    size_t pos = kHeaderSize;
    const uint32_t string_count = *read_u32(data, len, pos);

    // String table: an entry takes at least its 4-byte length.
    out.strings.reserve(std::min<size_t>(string_count, (len - pos) / 4));
    for (uint32_t i = 0; i < string_count; ++i) {
        auto n = read_u32(data, len, pos);
        if (!n) return error = "Invalid data: string length truncated", false;
        if (!has_room(len, pos, *n)) return error = "Invalid data: string data truncated", false;
        std::string detail;
        if (!validate_utf8(data + pos, *n, detail)) {
            return error = "Invalid UTF-8 in string table: " + detail, false;
        }
        out.strings.emplace_back(reinterpret_cast<const char*>(data + pos), *n);
        pos += *n;
    }

    // Type table.
    auto type_count = read_u32(data, len, pos);
    if (!type_count) return error = "Invalid data: no type count", false;
    // A name index met before names a registered type: skipped at once,
    // without hashing the text again. Field texts are copied only for new
    // names, and their total is bounded: a field index names a text of any
    // length for four bytes.
    std::vector<bool> name_seen;
    uint64_t field_text = 0;
    const uint64_t field_text_budget = 4 * static_cast<uint64_t>(len) + (uint64_t{1} << 20);
    for (uint32_t t = 0; t < *type_count; ++t) {
        if (!read_u16(data, len, pos)) return error = "Invalid data: type_id truncated", false;
        auto name_idx = read_u32(data, len, pos);
        if (!name_idx) return error = "Invalid data: type name_idx truncated", false;
        auto version = read_u32(data, len, pos);
        if (!version) return error = "Invalid data: schema_version truncated", false;
        auto field_count = read_u16(data, len, pos);
        if (!field_count) return error = "Invalid data: field_count truncated", false;
        const size_t fields_at = pos;
        if ((len - pos) / 4 < *field_count) {
            return error = "Invalid data: field index truncated", false;
        }
        pos += static_cast<size_t>(*field_count) * 4;
        if (*name_idx < out.strings.size()) {
            if (name_seen.empty()) name_seen.resize(out.strings.size());
            if (name_seen[*name_idx]) continue;
            name_seen[*name_idx] = true;
        }
        std::string_view name = string_at(out.strings, *name_idx);
        if (out.types.find(name)) continue;  // the first entry of a name wins
        std::vector<std::string> fields;
        fields.reserve(*field_count);
        for (uint32_t f = 0; f < *field_count; ++f) {
            std::string_view field = string_at(out.strings, load_u32(data + fields_at + 4 * f));
            field_text += field.size() + 1;
            if (field_text > field_text_budget) return error = "Invalid data: type table field names too large", false;
            fields.emplace_back(field);
        }
        out.types.add(name, std::move(fields), *version);
    }

    // Record table: a record takes at least its tag byte.
    auto object_count = read_u32(data, len, pos);
    if (!object_count) return error = "Invalid data: no object count", false;
    // A record takes at least one byte: no room for more than what is left.
    const size_t capacity = std::min<size_t>(*object_count, len - pos);
    out.records.allocate(capacity, len > 0xFFFFFFFFull);
    out.uses.allocate(capacity);
    out.uses.add(0);  // the root
    for (uint32_t r = 0; r < *object_count; ++r) {
        if (pos >= len) return error = "Invalid data: tag truncated", false;
        const uint8_t tag = data[pos];
        if (tag == 0 || tag > kTagRef) return error = unknown_tag(tag), false;
        out.records.push_back(pos);
        if (tag == kTagDataclass) out.has_dataclass = true;
        ++pos;
        if (const char* msg = skip_payload(tag, data, len, pos, out.uses)) return error = msg, false;
    }
    return true;
}

}  // namespace zelkor::format
