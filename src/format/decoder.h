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

// Where each record starts: 32-bit offsets unless the blob is 4 GiB or more.
// Room is allocated once, uninitialised, for every record the blob could
// hold; decode fills it in order.
class RecordOffsets {
public:
    RecordOffsets() = default;
    RecordOffsets(const RecordOffsets&) = delete;
    RecordOffsets& operator=(const RecordOffsets&) = delete;
    ~RecordOffsets() { std::free(data_); }

    void allocate(size_t capacity, bool wide);
    void push_back(size_t offset) {
        if (wide_) {
            static_cast<uint64_t*>(data_)[size_++] = offset;
        } else {
            static_cast<uint32_t*>(data_)[size_++] = static_cast<uint32_t>(offset);
        }
    }
    size_t size() const { return size_; }
    size_t operator[](size_t i) const {
        return wide_ ? static_cast<const uint64_t*>(data_)[i] : static_cast<const uint32_t*>(data_)[i];
    }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    bool wide_ = false;
};

// How often each record is named by a container, a Ref or as the root:
// 0, 1, or 2 for "more than once". Zeroed lazily by the allocator.
class UseCounts {
public:
    UseCounts() = default;
    UseCounts(const UseCounts&) = delete;
    UseCounts& operator=(const UseCounts&) = delete;
    ~UseCounts() { std::free(data_); }

    void allocate(size_t n);
    size_t size() const { return size_; }
    uint8_t operator[](size_t i) const { return data_[i]; }
    void add(size_t i) {
        if (i < size_ && data_[i] < 2) ++data_[i];
    }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The parsed blob. Texts and record payloads are views into the input, which
// the caller keeps alive (and unchanged) for as long as the graph is used.
struct DecodedGraph {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<std::string_view> strings;
    graph::TypeRegistry types;
    // Offset of each record's tag byte; every payload was checked to fit.
    RecordOffsets records;
    UseCounts uses;
    bool has_dataclass = false;  // any Dataclass record, reachable or not
};

// Fills `out`, or returns the first field that is missing or malformed.
[[nodiscard]] std::optional<DecodeFailure> decode(const uint8_t* data, size_t len, DecodedGraph& out);

// Where `n` bytes at `p` stop being well-formed UTF-8, if they do.
std::optional<Utf8Fault> find_utf8_fault(const uint8_t* p, size_t n);

}  // namespace zelkor::format
