#include "format/encoder.h"

#include <cstring>

#include "format/primitives.h"
#include "format/stream_copy.h"

namespace zelkor::format {

std::vector<uint32_t> intern_type_vocabulary(graph::ObjectGraph& graph, const graph::TypeRegistry& registry) {
    std::vector<uint32_t> indices;
    for (const graph::TypeInfo& t : registry.types) {
        indices.push_back(graph.intern_string(t.name));
        for (const std::string& f : t.fields) indices.push_back(graph.intern_string(f));
    }
    // Given back before the blob is made, so that the two are not held at
    // once.
    graph.string_index.reset();
    return indices;
}

uint64_t encoded_size(const graph::ObjectGraph& graph, const graph::TypeRegistry& registry) {
    uint64_t size = kHeaderSize;
    size += 4 + 4 * static_cast<uint64_t>(graph.string_count()) + graph.string_bytes;
    size += 4;
    for (const graph::TypeInfo& t : registry.types) size += 12 + 4 * static_cast<uint64_t>(t.fields.size());
    size += 4 + graph.records.size() + graph.external_bytes;
    return size;
}

namespace {

// Copies `buffer` to `out` with each external payload at its offset. A
// large blob is written once and handed over, so its long stretches go by
// stores that bypass the cache, as large payloads do: a plain copy would
// first read in every line of it.
uint8_t* copy_with_external(uint8_t* out, const graph::ByteBuffer& buffer,
                            const std::vector<graph::ExternalBytes>& external) {
    const uint8_t* src = buffer.data();
    size_t done = 0;
    for (const graph::ExternalBytes& e : external) {
        copy_payload(out, src + done, e.offset - done);
        out += e.offset - done;
        done = e.offset;
        copy_payload(out, e.data, e.size);
        out += e.size;
    }
    if (buffer.size() > done) copy_payload(out, src + done, buffer.size() - done);
    return out + (buffer.size() - done);
}

}  // namespace

void encode_into(const graph::ObjectGraph& graph, const graph::TypeRegistry& registry,
                 const std::vector<uint32_t>& vocabulary, uint8_t* out) {
    std::memcpy(out, kMagic, 4);
    out = write_u16(out + 4, kFormatVersion);
    out = write_u32(out, 0);  // schema version
    out = write_u8(out, 0);   // flags

    out = write_u32(out, static_cast<uint32_t>(graph.string_count()));
    out = copy_with_external(out, graph.texts, graph.external_texts);

    out = write_u32(out, static_cast<uint32_t>(registry.types.size()));
    size_t v = 0;
    for (size_t id = 0; id < registry.types.size(); ++id) {
        const graph::TypeInfo& t = registry.types[id];
        out = write_u16(out, static_cast<uint16_t>(id));
        out = write_u32(out, vocabulary[v++]);
        out = write_u32(out, t.version);
        out = write_u16(out, static_cast<uint16_t>(t.fields.size()));
        for (size_t f = 0; f < t.fields.size(); ++f) out = write_u32(out, vocabulary[v++]);
    }

    out = write_u32(out, static_cast<uint32_t>(graph.record_count));
    copy_with_external(out, graph.records, graph.external);
}

std::vector<uint8_t> encode(graph::ObjectGraph& graph, const graph::TypeRegistry& registry) {
    std::vector<uint32_t> vocabulary = intern_type_vocabulary(graph, registry);
    std::vector<uint8_t> blob(encoded_size(graph, registry));
    encode_into(graph, registry, vocabulary, blob.data());
    return blob;
}

}  // namespace zelkor::format
