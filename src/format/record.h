// Reading one record of the record table: its tag and its payload, in the
// layout that the kinds table gives each kind. check_payload() is the
// decoder's bounds check of a payload; RecordView reads records that passed
// it, without checking again. Plain C++: nothing here touches the
// interpreter.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/kinds.h"
#include "format/primitives.h"

namespace zelkor::format {

// The result of checking one payload against the input that is left.
struct PayloadCheck {
    bool fits = true;
    uint8_t short_field = 0;  // when it does not fit: the field cut short (index into KindInfo::truncated)
    size_t children_at = 0;   // offset of the payload's u32 record indices
    size_t child_units = 0;   // how many u32 record indices it holds
};

namespace payload_detail {

inline PayloadCheck cut_short(uint8_t field) {
    return PayloadCheck{false, field, 0, 0};
}

// `count` u32 units of `unit_bytes` each, starting at `pos`.
ZELKOR_ALWAYS_INLINE PayloadCheck indices(size_t len, size_t& pos, uint64_t count, size_t unit_bytes, uint8_t field) {
    if ((len - pos) / unit_bytes < count) return cut_short(field);
    PayloadCheck fits{true, 0, pos, static_cast<size_t>(count) * (unit_bytes / 4)};
    pos += static_cast<size_t>(count) * unit_bytes;
    return fits;
}

}  // namespace payload_detail

// Checks that a payload of `shape` fits in `len` bytes from `pos` (just past
// the tag byte) and moves `pos` past it; on failure `pos` is left anywhere.
ZELKOR_ALWAYS_INLINE PayloadCheck check_payload(Shape shape, const uint8_t* data, size_t len, size_t& pos) {
    using payload_detail::cut_short;
    using payload_detail::indices;
    switch (shape) {
        case Shape::Empty:
            return {};
        case Shape::Varint:
            if (has_room(len, pos, 8)) {
                if (size_t n = short_varint_length(data + pos)) {
                    pos += n;
                    return {};
                }
            }
            return read_i64_zigzag(data, len, pos) ? PayloadCheck{} : cut_short(0);
        case Shape::Float64:
            if (!has_room(len, pos, 8)) return cut_short(0);
            pos += 8;
            return {};
        case Shape::StringIndex:
            return read_u32(data, len, pos) ? PayloadCheck{} : cut_short(0);
        case Shape::RecordIndex:
            return indices(len, pos, 1, 4, 0);
        case Shape::Bytes: {
            auto n = read_u32(data, len, pos);
            if (!n) return cut_short(0);
            if (!has_room(len, pos, *n)) return cut_short(1);
            pos += *n;
            return {};
        }
        case Shape::Items: {
            auto k = read_u32(data, len, pos);
            if (!k) return cut_short(0);
            return indices(len, pos, *k, 4, 1);
        }
        case Shape::Pairs: {
            auto k = read_u32(data, len, pos);
            if (!k) return cut_short(0);
            // A pair cut short names its key or its value.
            if ((len - pos) / 8 < *k) return cut_short((len - pos) % 8 >= 4 ? 2 : 1);
            return indices(len, pos, *k, 8, 1);
        }
        case Shape::Fields: {
            if (!read_u16(data, len, pos)) return cut_short(0);
            auto k = read_u16(data, len, pos);
            if (!k) return cut_short(1);
            return indices(len, pos, *k, 4, 2);
        }
    }
    return {};
}

// A record that decode() has checked: `rec` points at its tag byte. Each
// accessor belongs to the shapes named beside it.
class RecordView {
public:
    explicit RecordView(const uint8_t* rec) : rec_(rec) {}

    Tag tag() const { return static_cast<Tag>(rec_[0]); }
    const KindInfo& kind() const { return kind_info(tag()); }
    const uint8_t* payload() const { return rec_ + 1; }

    // Size of the whole record, tag included.
    ZELKOR_ALWAYS_INLINE size_t size() const {
        switch (shape_of(tag())) {
            case Shape::Empty:
                return 1;
            case Shape::Varint:
                return 1 + checked_varint_length(rec_ + 1);
            case Shape::Float64:
                return 9;
            case Shape::StringIndex:
            case Shape::RecordIndex:
                return 5;
            case Shape::Bytes:
                return 5 + static_cast<size_t>(count());
            case Shape::Items:
                return 5 + 4 * static_cast<size_t>(count());
            case Shape::Pairs:
                return 5 + 8 * static_cast<size_t>(count());
            case Shape::Fields:
                return 5 + 4 * static_cast<size_t>(field_count());
        }
        return 1;
    }

    // Varint.
    int64_t int_value() const {
        assert(is(Shape::Varint));
        size_t length;
        return read_checked_zigzag(rec_ + 1, length);
    }
    // Float64.
    double float_value() const {
        assert(is(Shape::Float64));
        const uint64_t bits = load_u64(rec_ + 1);
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    // StringIndex.
    uint32_t string_index() const {
        assert(is(Shape::StringIndex));
        return load_u32(rec_ + 1);
    }
    // RecordIndex.
    uint32_t target() const {
        assert(is(Shape::RecordIndex));
        return load_u32(rec_ + 1);
    }
    // Bytes: the length; Items: the item count; Pairs: the pair count.
    uint32_t count() const {
        assert(is(Shape::Bytes) || is(Shape::Items) || is(Shape::Pairs));
        return load_u32(rec_ + 1);
    }
    // Bytes.
    const uint8_t* bytes() const {
        assert(is(Shape::Bytes));
        return rec_ + 5;
    }
    // Fields.
    uint16_t type_id() const {
        assert(is(Shape::Fields));
        return load_u16(rec_ + 1);
    }
    uint16_t field_count() const {
        assert(is(Shape::Fields));
        return load_u16(rec_ + 3);
    }

    // Items, Pairs, Fields: the record indices the payload names, as u32
    // units (two per pair).
    const uint8_t* children() const {
        assert(is(Shape::Items) || is(Shape::Pairs) || is(Shape::Fields));
        return rec_ + 5;
    }
    uint64_t child_units() const {
        switch (shape_of(tag())) {
            case Shape::Items:
                return count();
            case Shape::Pairs:
                return uint64_t{count()} * 2;
            case Shape::Fields:
                return field_count();
            case Shape::Empty:
            case Shape::Varint:
            case Shape::Float64:
            case Shape::StringIndex:
            case Shape::RecordIndex:
            case Shape::Bytes:
                return 0;
        }
        return 0;
    }

private:
    bool is(Shape shape) const { return shape_of(tag()) == shape; }

    const uint8_t* rec_;
};

// The u32 record index at position `i` of a run of child indices.
inline uint32_t child_at(const uint8_t* children, size_t i) {
    return load_u32(children + 4 * i);
}

}  // namespace zelkor::format
