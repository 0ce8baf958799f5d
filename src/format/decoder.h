// Parses a blob in place into a DecodedGraph, validating its structure.
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/types.h"

namespace zelkor::format {

// The parsed blob. Texts and record payloads are views into the input, which
// the caller keeps alive (and unchanged) for as long as the graph is used.
struct DecodedGraph {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<std::string_view> strings;
    graph::TypeRegistry types;
    // Offset of each record's tag byte; every payload was checked to fit.
    std::vector<size_t> records;
};

// Fills `out` and returns true, or returns false with the message of the
// first field that is missing or malformed in `error`.
bool decode(const uint8_t* data, size_t len, DecodedGraph& out, std::string& error);

// Checks UTF-8; on failure returns false and fills the detail text.
bool validate_utf8(const uint8_t* p, size_t n, std::string& detail);

}  // namespace zelkor::format
