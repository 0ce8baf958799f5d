// Parses a blob in place into a DecodedGraph, validating its structure.
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "format/decode_error.h"
#include "graph/type_registry.h"

namespace zelkor::format {

// Where each record starts. Saved blobs are read in the order they were
// written, record after record, so the table of offsets is only made (on
// first use, in one pass over the checked records) for blobs that are not:
// 32-bit offsets unless the blob is 4 GiB or more.
class RecordOffsets {
public:
    RecordOffsets() = default;
    RecordOffsets(const RecordOffsets&) = delete;
    RecordOffsets& operator=(const RecordOffsets&) = delete;
    ~RecordOffsets() { std::free(table_); }

    // The record table of `data` (`size` bytes): `count` checked records,
    // the first at offset `first`.
    void describe(const uint8_t* data, size_t size, size_t first, size_t count) {
        data_ = data;
        wide_ = size > 0xFFFFFFFFull;
        first_ = first;
        count_ = count;
    }
    size_t size() const { return count_; }
    size_t first() const { return first_; }
    size_t operator[](size_t i) const {
        if (!table_ && !build()) return find(i);
        return wide_ ? static_cast<const uint64_t*>(table_)[i] : static_cast<const uint32_t*>(table_)[i];
    }

private:
    bool build() const;           // false when no memory could be had for the table
    size_t find(size_t i) const;  // without the table: counted from the first record

    const uint8_t* data_ = nullptr;
    size_t first_ = 0;
    size_t count_ = 0;
    bool wide_ = false;
    mutable void* table_ = nullptr;
};

// Records that must come back as one object wherever they are named, one
// bit each. For blobs without dataclass records, decode() marks the targets
// of Refs: in saved blobs a container names each record once, in the order
// they are built, so those are all. With dataclass records, and after
// count_namings(), the marks are exact for any blob: every record named
// more than once (by containers, Refs or as the root). Zeroed by the
// allocator.
class SharedRecords {
public:
    SharedRecords() = default;
    SharedRecords(const SharedRecords&) = delete;
    SharedRecords& operator=(const SharedRecords&) = delete;
    ~SharedRecords() { std::free(words_); }

    void allocate(size_t n);
    size_t size() const { return size_; }
    bool operator[](size_t i) const { return words_[i >> 6] >> (i & 63) & 1; }
    uint64_t* words() { return words_; }
    const uint64_t* words() const { return words_; }
    static size_t word_count(size_t n) { return n / 64 + 1; }

private:
    uint64_t* words_ = nullptr;
    size_t size_ = 0;
};

// One entry of the string table: where the input holds the text, and for a
// short ASCII text, where it starts in the pool of them all (or kUnpooled).
struct TextSlot {
    static constexpr uint32_t kUnpooled = 0xFFFFFFFFu;
    const char* data;
    uint32_t size;
    uint32_t pool_at;
    std::string_view view() const { return {data, size}; }
};

// The string table.
class TextTable {
public:
    // Texts of this many bytes are pooled when ASCII, in tables of at
    // least kPooledTables texts (a small blob would pay more for the pool
    // than it saves); shorter ones are made as the interpreter's own strs
    // of one or no character.
    static constexpr size_t kShortestPooled = 2, kLongestPooled = 31, kPooledTables = 64;

    // Room for `n` texts, all that will be added.
    void reserve(size_t n) {
        slots_.reserve(n);
        pooling_ = n >= kPooledTables;
    }
    // The `n` bytes at `p`, all ASCII when `ascii`.
    void add(const uint8_t* p, size_t n, bool ascii) {
        uint32_t at = TextSlot::kUnpooled;
        if (pooling_ && ascii && n - kShortestPooled <= kLongestPooled - kShortestPooled && pool_size_ < kPoolLimit) {
            at = static_cast<uint32_t>(pool_size_);
            pool_size_ += n;
        }
        slots_.push_back(TextSlot{reinterpret_cast<const char*>(p), static_cast<uint32_t>(n), at});
    }
    size_t size() const { return slots_.size(); }
    std::string_view operator[](size_t i) const { return slots_[i].view(); }
    const TextSlot* data() const { return slots_.data(); }
    // The bytes of the pooled texts together: the pool holds them one
    // after another, in the order of the table.
    size_t pool_size() const { return pool_size_; }

private:
    static constexpr size_t kPoolLimit = 0xFFFFFFFFu - kLongestPooled - 1;
    std::vector<TextSlot> slots_;
    size_t pool_size_ = 0;
    bool pooling_ = false;
};

// The parsed blob. Texts and record payloads are views into the input, which
// the caller keeps alive (and unchanged) for as long as the graph is used.
struct DecodedGraph {
    const uint8_t* data = nullptr;
    size_t size = 0;
    TextTable strings;
    // One bit per string: a text that takes more than a plain copy to make
    // into a str (not ASCII, or of kLongText bytes or more).
    std::vector<uint64_t> costly_texts;
    static constexpr size_t kLongText = 1024;
    bool is_costly_text(uint32_t index) const { return costly_texts[index >> 6] >> (index & 63) & 1; }
    graph::TypeRegistry types;
    // Offset of each record's tag byte; every payload was checked to fit.
    RecordOffsets records;
    SharedRecords shared;
    bool shared_exact = false;   // the marks of `shared` are exact
    bool has_dataclass = false;  // any Dataclass record, reachable or not
};

// Fills `out`, or returns the first field that is missing or malformed.
[[nodiscard]] std::optional<DecodeFailure> decode(const uint8_t* data, size_t len, DecodedGraph& out);

// Marks in `graph.shared` every record named more than once, by walking
// the checked record table again.
void count_namings(DecodedGraph& graph);

// Where `n` bytes at `p` stop being well-formed UTF-8, if they do.
std::optional<Utf8Fault> find_utf8_fault(const uint8_t* p, size_t n);

}  // namespace zelkor::format
