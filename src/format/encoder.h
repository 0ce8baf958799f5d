// Writes a captured graph and its dataclass types as one blob.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/object_graph.h"
#include "graph/type_registry.h"

namespace zelkor::format {

// Interns every type name and field name into the graph's string table, in
// registry order, so the table is final, and gives back the memory of its
// index, which the blob does not need. Returns the string index of each
// name, type by type: name first, then its fields.
std::vector<uint32_t> intern_type_vocabulary(graph::ObjectGraph& graph, const graph::TypeRegistry& registry);

// Exact size of the blob for a graph whose vocabulary is interned.
uint64_t encoded_size(const graph::ObjectGraph& graph, const graph::TypeRegistry& registry);

// Writes the blob into `out`, which has room for encoded_size() bytes.
void encode_into(const graph::ObjectGraph& graph, const graph::TypeRegistry& registry,
                 const std::vector<uint32_t>& vocabulary, uint8_t* out);

// Both steps into a fresh buffer.
std::vector<uint8_t> encode(graph::ObjectGraph& graph, const graph::TypeRegistry& registry);

}  // namespace zelkor::format
