// Every way a blob can be refused, as one enum with one table of message
// texts. The decoder reports the structural faults; reconstruction reports
// the faults it meets while rebuilding (indices out of range, cycles that no
// value can form, work bounds). Plain C++: nothing here touches the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelkor::format {

enum class DecodeError : uint8_t {
    // Header.
    TooShortForHeader,
    InvalidMagic,
    TooShortForVersion,
    TooShortForSchemaVersion,
    TooShortForFlags,
    NoStringCount,
    // String table.
    StringLengthTruncated,
    StringDataTruncated,
    InvalidUtf8,
    // Type table.
    NoTypeCount,
    TypeIdTruncated,
    TypeNameIdxTruncated,
    SchemaVersionTruncated,
    FieldCountTruncated,
    FieldIndexTruncated,
    TypeFieldNamesTooLarge,
    // Record table.
    NoObjectCount,
    TagTruncated,
    UnknownTag,
    // Record payloads (see the kinds table for which kind uses which).
    IntTruncated,
    FloatTruncated,
    StringIndexTruncated,
    ReferenceTruncated,
    BytesLengthTruncated,
    BytesDataTruncated,
    ListCountTruncated,
    ListRefTruncated,
    SetCountTruncated,
    SetRefTruncated,
    DictCountTruncated,
    DictKeyTruncated,
    DictValueTruncated,
    DataclassTypeIdTruncated,
    DataclassFieldCountTruncated,
    DataclassFieldTruncated,
    // Met while rebuilding values.
    InvalidReference,
    InvalidStringIndex,
    InvalidTypeId,
    UnknownTypeId,
    ImmutableCycle,
    TooManyTupleCycles,
    HashingTooCostly,
    TooManyFieldNames,
    TooManyGeneratedClasses,
};

// What follows the fixed text of a message.
enum class Detail : uint8_t {
    Nothing,
    Decimal,    // the failure's number, in decimal
    HexByte,    // the failure's number as two upper-case hex digits
    Utf8Fault,  // the description of a malformed UTF-8 sequence
};

struct ErrorText {
    DecodeError error;
    std::string_view text;
    Detail detail;
};

// Where a string-table text stops being valid UTF-8: `index` is the offset
// of the faulty sequence; `length` is 1 to 3 for an invalid sequence of that
// many bytes and 0 for one that the text ends inside.
struct Utf8Fault {
    uint8_t length = 0;
    size_t index = 0;
};

// The first fault of a blob, with what its message names.
struct DecodeFailure {
    DecodeError error;
    uint64_t number = 0;  // a record, string or type index, or a tag byte
    Utf8Fault utf8{};

    std::string message() const;
};

// The message texts, in the order of the enum (checked at compile time).
inline constexpr ErrorText kErrorTexts[] = {
    {DecodeError::TooShortForHeader, "Invalid data: too short for header", Detail::Nothing},
    {DecodeError::InvalidMagic, "Invalid magic bytes", Detail::Nothing},
    {DecodeError::TooShortForVersion, "Invalid data: too short for version", Detail::Nothing},
    {DecodeError::TooShortForSchemaVersion, "Invalid data: too short for schema version", Detail::Nothing},
    {DecodeError::TooShortForFlags, "Invalid data: too short for flags", Detail::Nothing},
    {DecodeError::NoStringCount, "Invalid data: no string count", Detail::Nothing},
    {DecodeError::StringLengthTruncated, "Invalid data: string length truncated", Detail::Nothing},
    {DecodeError::StringDataTruncated, "Invalid data: string data truncated", Detail::Nothing},
    {DecodeError::InvalidUtf8, "Invalid UTF-8 in string table: ", Detail::Utf8Fault},
    {DecodeError::NoTypeCount, "Invalid data: no type count", Detail::Nothing},
    {DecodeError::TypeIdTruncated, "Invalid data: type_id truncated", Detail::Nothing},
    {DecodeError::TypeNameIdxTruncated, "Invalid data: type name_idx truncated", Detail::Nothing},
    {DecodeError::SchemaVersionTruncated, "Invalid data: schema_version truncated", Detail::Nothing},
    {DecodeError::FieldCountTruncated, "Invalid data: field_count truncated", Detail::Nothing},
    {DecodeError::FieldIndexTruncated, "Invalid data: field index truncated", Detail::Nothing},
    {DecodeError::TypeFieldNamesTooLarge, "Invalid data: type table field names too large", Detail::Nothing},
    {DecodeError::NoObjectCount, "Invalid data: no object count", Detail::Nothing},
    {DecodeError::TagTruncated, "Invalid data: tag truncated", Detail::Nothing},
    {DecodeError::UnknownTag, "Unknown tag: 0x", Detail::HexByte},
    {DecodeError::IntTruncated, "Invalid data: int truncated", Detail::Nothing},
    {DecodeError::FloatTruncated, "Invalid data: float truncated", Detail::Nothing},
    {DecodeError::StringIndexTruncated, "Invalid data: string index truncated", Detail::Nothing},
    {DecodeError::ReferenceTruncated, "Invalid data: reference truncated", Detail::Nothing},
    {DecodeError::BytesLengthTruncated, "Invalid data: bytes length truncated", Detail::Nothing},
    {DecodeError::BytesDataTruncated, "Invalid data: bytes data truncated", Detail::Nothing},
    {DecodeError::ListCountTruncated, "Invalid data: list count truncated", Detail::Nothing},
    {DecodeError::ListRefTruncated, "Invalid data: list ref truncated", Detail::Nothing},
    {DecodeError::SetCountTruncated, "Invalid data: set count truncated", Detail::Nothing},
    {DecodeError::SetRefTruncated, "Invalid data: set ref truncated", Detail::Nothing},
    {DecodeError::DictCountTruncated, "Invalid data: dict count truncated", Detail::Nothing},
    {DecodeError::DictKeyTruncated, "Invalid data: dict key truncated", Detail::Nothing},
    {DecodeError::DictValueTruncated, "Invalid data: dict value truncated", Detail::Nothing},
    {DecodeError::DataclassTypeIdTruncated, "Invalid data: dataclass type_id truncated", Detail::Nothing},
    {DecodeError::DataclassFieldCountTruncated, "Invalid data: dataclass field_count truncated", Detail::Nothing},
    {DecodeError::DataclassFieldTruncated, "Invalid data: dataclass field truncated", Detail::Nothing},
    {DecodeError::InvalidReference, "Invalid reference: ", Detail::Decimal},
    {DecodeError::InvalidStringIndex, "Invalid string index: ", Detail::Decimal},
    {DecodeError::InvalidTypeId, "Invalid type_id: ", Detail::Decimal},
    {DecodeError::UnknownTypeId, "Unknown type_id: ", Detail::Decimal},
    {DecodeError::ImmutableCycle, "Invalid data: cycle of immutable containers at record ", Detail::Decimal},
    {DecodeError::TooManyTupleCycles, "Invalid data: too many cycles through tuples at record ", Detail::Decimal},
    {DecodeError::HashingTooCostly, "Invalid data: hashing its tuples would take too long", Detail::Nothing},
    {DecodeError::TooManyFieldNames, "Invalid data: too many field names for the dataclass records at record ",
     Detail::Decimal},
    {DecodeError::TooManyGeneratedClasses,
     "Invalid data: too many classes to build for unregistered dataclass types for the blob's size; register the "
     "classes or pass an allowlist",
     Detail::Nothing},
};

constexpr bool error_texts_in_order() {
    for (size_t i = 0; i < std::size(kErrorTexts); ++i) {
        if (static_cast<size_t>(kErrorTexts[i].error) != i) return false;
    }
    return static_cast<size_t>(DecodeError::TooManyGeneratedClasses) + 1 == std::size(kErrorTexts);
}
static_assert(error_texts_in_order(), "kErrorTexts must list every DecodeError once, in enum order");

constexpr const ErrorText& error_text(DecodeError error) {
    return kErrorTexts[static_cast<size_t>(error)];
}

// The full message of an error that names `number` (or nothing).
std::string error_message(DecodeError error, uint64_t number = 0);

}  // namespace zelkor::format
