// The value kinds a blob holds, each described once: its tag byte, its name,
// the layout of its payload, how loading builds it, and the error for each
// payload field that a blob cuts short. The decoder, the record view and
// reconstruction take these facts from here; switches over `Tag` carry no
// `default:`, so the compiler names every switch a new kind must join.
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/decode_error.h"

namespace zelkor::format {

// The layout of the payload that follows a tag byte.
enum class Shape : uint8_t {
    Empty,        // nothing
    Varint,       // zigzag varint of 1 to 10 bytes
    Float64,      // 8 bytes: an IEEE-754 double, little-endian
    StringIndex,  // u32 string index
    RecordIndex,  // u32 record index
    Bytes,        // u32 length L, then L bytes
    Items,        // u32 count K, then K u32 record indices
    Pairs,        // u32 count K, then K (key, value) pairs of u32 record indices
    Fields,       // u16 type id, u16 count K, then K u32 record indices
};

// How loading treats a kind.
enum class Role : uint8_t {
    Scalar,     // built from its payload alone
    Container,  // built from the records its payload names
    Reference,  // stands for the record it names
};

// X(Name, tag byte, Shape, Role, errors for the payload's fields in order...)
#define ZELKOR_KINDS(X)                                                                           \
    X(None, 0x01, Empty, Scalar)                                                                  \
    X(True, 0x02, Empty, Scalar)                                                                  \
    X(False, 0x03, Empty, Scalar)                                                                 \
    X(Int, 0x04, Varint, Scalar, IntTruncated)                                                    \
    X(Float, 0x05, Float64, Scalar, FloatTruncated)                                               \
    X(Str, 0x06, StringIndex, Scalar, StringIndexTruncated)                                       \
    X(Bytes, 0x07, Bytes, Scalar, BytesLengthTruncated, BytesDataTruncated)                       \
    X(List, 0x08, Items, Container, ListCountTruncated, ListRefTruncated)                         \
    X(Tuple, 0x09, Items, Container, ListCountTruncated, ListRefTruncated)                        \
    X(Dict, 0x0A, Pairs, Container, DictCountTruncated, DictKeyTruncated, DictValueTruncated)     \
    X(Set, 0x0B, Items, Container, SetCountTruncated, SetRefTruncated)                            \
    X(FrozenSet, 0x0C, Items, Container, SetCountTruncated, SetRefTruncated)                      \
    X(Dataclass, 0x0D, Fields, Container, DataclassTypeIdTruncated, DataclassFieldCountTruncated, \
      DataclassFieldTruncated)                                                                    \
    X(Ref, 0x0E, RecordIndex, Reference, ReferenceTruncated)

enum class Tag : uint8_t {
#define ZELKOR_TAG_ENUM(name, byte, ...) name = byte,
    ZELKOR_KINDS(ZELKOR_TAG_ENUM)
#undef ZELKOR_TAG_ENUM
};

struct KindInfo {
    Tag tag;
    std::string_view name;
    Shape shape;
    Role role;
    // The error for each field of the payload, in payload order, when the
    // blob ends inside it.
    std::array<DecodeError, 3> truncated;
};

namespace kinds_detail {
using enum DecodeError;
inline constexpr KindInfo kTable[] = {
#define ZELKOR_KIND_INFO(name, byte, shape, role, ...) {Tag::name, #name, Shape::shape, Role::role, {__VA_ARGS__}},
    ZELKOR_KINDS(ZELKOR_KIND_INFO)
#undef ZELKOR_KIND_INFO
};
}  // namespace kinds_detail

inline constexpr const auto& kKinds = kinds_detail::kTable;

inline constexpr size_t kKindCount = std::size(kKinds);
inline constexpr uint8_t kFirstTag = static_cast<uint8_t>(kKinds[0].tag);
inline constexpr uint8_t kLastTag = static_cast<uint8_t>(kKinds[kKindCount - 1].tag);

// Tags run without gaps from the first to the last, so a tag byte is
// checked with two comparisons and finds its entry by subtraction.
constexpr bool tags_are_contiguous() {
    for (size_t i = 0; i < kKindCount; ++i) {
        if (static_cast<size_t>(kKinds[i].tag) != kFirstTag + i) return false;
    }
    return true;
}
static_assert(kFirstTag == 0x01 && tags_are_contiguous(), "tags must run 0x01, 0x02, ... in table order");

constexpr bool is_tag(uint8_t byte) {
    return byte >= kFirstTag && byte <= kLastTag;
}

constexpr const KindInfo& kind_info(Tag tag) {
    return kKinds[static_cast<uint8_t>(tag) - kFirstTag];
}

constexpr uint8_t tag_byte(Tag tag) {
    return static_cast<uint8_t>(tag);
}

// One column of the table laid out by tag byte, for the hot paths: a
// lookup is then a single byte load.
template <class Column>
constexpr auto column_by_byte(Column column) {
    std::array<decltype(column(kKinds[0])), 256> by_byte{};
    for (const KindInfo& kind : kKinds) by_byte[tag_byte(kind.tag)] = column(kind);
    return by_byte;
}
inline constexpr auto kShapeByByte = column_by_byte([](const KindInfo& k) { return k.shape; });
inline constexpr auto kRoleByByte = column_by_byte([](const KindInfo& k) { return k.role; });

constexpr Shape shape_of(Tag tag) {
    return kShapeByByte[tag_byte(tag)];
}
constexpr bool is_scalar(Tag tag) {
    return kRoleByByte[tag_byte(tag)] == Role::Scalar;
}

}  // namespace zelkor::format
