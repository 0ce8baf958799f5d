#include "format/decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "format/primitives.h"
#include "format/record.h"

namespace zelkor::format {

namespace {

bool is_continuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

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

Utf8Fault invalid_sequence(size_t length, size_t index) {
    return Utf8Fault{static_cast<uint8_t>(length), index};
}

Utf8Fault incomplete_sequence(size_t index) {
    return Utf8Fault{0, index};
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(const uint8_t* p, size_t n) {
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
            return invalid_sequence(1, i);
        }
        if (i + 1 >= n) {
            return incomplete_sequence(i);
        }
        if (p[i + 1] < lo || p[i + 1] > hi) {
            return invalid_sequence(1, i);
        }
        for (size_t k = 2; k < width; ++k) {
            if (i + k >= n) {
                return incomplete_sequence(i);
            }
            if (!is_continuation(p[i + k])) {
                return invalid_sequence(k, i);
            }
        }
        i += width;
    }
    return std::nullopt;
}

namespace {

DecodeFailure failure(DecodeError error, uint64_t number = 0) {
    return DecodeFailure{error, number, {}};
}

std::string_view string_at(const std::vector<std::string_view>& strings, uint32_t index) {
    return index < strings.size() ? strings[index] : std::string_view();
}

}  // namespace

bool RecordOffsets::build() const {
    void* table = std::malloc((count_ ? count_ : 1) * (wide_ ? sizeof(uint64_t) : sizeof(uint32_t)));
    if (!table) return false;
    size_t offset = first_;
    for (size_t i = 0; i < count_; ++i) {
        if (wide_) {
            static_cast<uint64_t*>(table)[i] = offset;
        } else {
            static_cast<uint32_t*>(table)[i] = static_cast<uint32_t>(offset);
        }
        offset += RecordView(data_ + offset).size();
    }
    table_ = table;
    return true;
}

size_t RecordOffsets::find(size_t i) const {
    size_t offset = first_;
    for (size_t k = 0; k < i; ++k) offset += RecordView(data_ + offset).size();
    return offset;
}

void UseCounts::allocate(size_t n) {
    data_ = static_cast<uint8_t*>(std::calloc(n ? n : 1, 1));
    if (!data_) throw std::bad_alloc();
    size_ = n;
}

namespace {

// The 11-byte header and the string count; `pos` ends after the count.
std::optional<DecodeFailure> decode_header(const uint8_t* data, size_t len, size_t& pos, uint32_t& string_count) {
    if (len < 4) return failure(DecodeError::TooShortForHeader);
    if (std::memcmp(data, kMagic, 4) != 0 && std::memcmp(data, kLegacyMagic, 4) != 0) {
        return failure(DecodeError::InvalidMagic);
    }
    if (len < 6) return failure(DecodeError::TooShortForVersion);
    if (len < 10) return failure(DecodeError::TooShortForSchemaVersion);
    if (len == 10) return failure(DecodeError::TooShortForFlags);
    if (len < 15) return failure(DecodeError::NoStringCount);
    pos = kHeaderSize;
    string_count = *read_u32(data, len, pos);
    return std::nullopt;
}

std::optional<DecodeFailure> decode_strings(const uint8_t* data, size_t len, size_t& pos, uint32_t count,
                                            DecodedGraph& out) {
    // An entry takes at least its 4-byte length.
    out.strings.reserve(std::min<size_t>(count, (len - pos) / 4));
    for (uint32_t i = 0; i < count; ++i) {
        auto n = read_u32(data, len, pos);
        if (!n) return failure(DecodeError::StringLengthTruncated);
        if (!has_room(len, pos, *n)) return failure(DecodeError::StringDataTruncated);
        if (auto fault = find_utf8_fault(data + pos, *n)) return DecodeFailure{DecodeError::InvalidUtf8, 0, *fault};
        out.strings.emplace_back(reinterpret_cast<const char*>(data + pos), *n);
        pos += *n;
    }
    return std::nullopt;
}

std::optional<DecodeFailure> decode_types(const uint8_t* data, size_t len, size_t& pos, DecodedGraph& out) {
    auto type_count = read_u32(data, len, pos);
    if (!type_count) return failure(DecodeError::NoTypeCount);
    // A name index met before names a registered type: skipped at once,
    // without hashing the text again. Field texts are copied only for new
    // names, and their total is bounded: a field index names a text of any
    // length for four bytes.
    std::vector<bool> name_seen;
    uint64_t field_text = 0;
    const uint64_t field_text_budget = 4 * static_cast<uint64_t>(len) + (uint64_t{1} << 20);
    for (uint32_t t = 0; t < *type_count; ++t) {
        if (!read_u16(data, len, pos)) return failure(DecodeError::TypeIdTruncated);
        auto name_idx = read_u32(data, len, pos);
        if (!name_idx) return failure(DecodeError::TypeNameIdxTruncated);
        auto version = read_u32(data, len, pos);
        if (!version) return failure(DecodeError::SchemaVersionTruncated);
        auto field_count = read_u16(data, len, pos);
        if (!field_count) return failure(DecodeError::FieldCountTruncated);
        const size_t fields_at = pos;
        if ((len - pos) / 4 < *field_count) return failure(DecodeError::FieldIndexTruncated);
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
            if (field_text > field_text_budget) return failure(DecodeError::TypeFieldNamesTooLarge);
            fields.emplace_back(field);
        }
        out.types.add(name, std::move(fields), *version);
    }
    return std::nullopt;
}

// The record table's loop, with everything it writes held in locals: the
// use counts are bytes, which the compiler must otherwise assume may alias
// every field it would keep in a register.
std::optional<DecodeFailure> scan_records(const uint8_t* data, size_t len, size_t& pos, uint32_t count, uint8_t* uses,
                                          size_t use_count, bool& has_dataclass) {
    size_t p = pos;
    bool dataclass = false;
    for (uint32_t r = 0; r < count; ++r) {
        if (p >= len) return failure(DecodeError::TagTruncated);
        const uint8_t byte = data[p];
        if (!is_tag(byte)) return failure(DecodeError::UnknownTag, byte);
        const Tag tag = static_cast<Tag>(byte);
        dataclass |= tag == Tag::Dataclass;
        ++p;
        const PayloadCheck check = check_payload(shape_of(tag), data, len, p);
        if (!check.fits) return failure(kind_info(tag).truncated[check.short_field]);
        const uint8_t* children = data + check.children_at;
        for (size_t i = 0; i < check.child_units; ++i) {
            const uint32_t child = load_u32(children + 4 * i);
            if (child < use_count) uses[child] = UseCounts::bump(uses[child]);
        }
    }
    pos = p;
    has_dataclass = dataclass;
    return std::nullopt;
}

std::optional<DecodeFailure> decode_records(const uint8_t* data, size_t len, size_t& pos, DecodedGraph& out) {
    auto object_count = read_u32(data, len, pos);
    if (!object_count) return failure(DecodeError::NoObjectCount);
    // A record takes at least its tag byte: no room for more than what is left.
    const size_t capacity = std::min<size_t>(*object_count, len - pos);
    out.uses.allocate(capacity);
    out.uses.add(0);  // the root
    const size_t first = pos;
    if (auto failed =
            scan_records(data, len, pos, *object_count, out.uses.data(), out.uses.size(), out.has_dataclass)) {
        return failed;
    }
    out.records.describe(data, len, first, *object_count);
    return std::nullopt;
}

}  // namespace

std::optional<DecodeFailure> decode(const uint8_t* data, size_t len, DecodedGraph& out) {
    out.data = data;
    out.size = len;
    size_t pos = 0;
    uint32_t string_count = 0;
    if (auto f = decode_header(data, len, pos, string_count)) return f;
    if (auto f = decode_strings(data, len, pos, string_count, out)) return f;
    if (auto f = decode_types(data, len, pos, out)) return f;
    return decode_records(data, len, pos, out);
}

}  // namespace zelkor::format
