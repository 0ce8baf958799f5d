#include "format/encoder.h"

#include <cstdint>
#include <cstring>

#include "format/primitives.h"

// Stores that bypass the cache, where the compiler offers them (every
// x86-64 processor has them); elsewhere large payloads take a plain copy.
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define ZELKOR_STREAMING_STORES 1
#endif

namespace zelkor::format {

std::vector<uint32_t> intern_type_vocabulary(graph::ObjectGraph& graph, const graph::TypeRegistry& registry) {
    std::vector<uint32_t> indices;
    for (const graph::TypeInfo& t : registry.types) {
        indices.push_back(graph.intern_string(t.name));
        for (const std::string& f : t.fields) indices.push_back(graph.intern_string(f));
    }
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

// Payloads this large are copied with stores that bypass the cache: the
// blob is larger than they are, so it does not stay in cache anyway, and a
// plain copy would first read in every line it is about to overwrite.
constexpr size_t kStreamedPayload = size_t{256} << 10;

void copy_payload(uint8_t* out, const uint8_t* src, size_t n) {
#ifdef ZELKOR_STREAMING_STORES
    if (n >= kStreamedPayload) {
        const size_t head = (16 - (reinterpret_cast<uintptr_t>(out) & 15)) & 15;
        std::memcpy(out, src, head);
        out += head, src += head, n -= head;
        for (; n >= 64; out += 64, src += 64, n -= 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(out), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + 48), d);
        }
        _mm_sfence();  // ordered before the stores that follow, as a plain copy is
    }
#endif
    std::memcpy(out, src, n);
}

// Copies `buffer` to `out` with each external payload at its offset.
uint8_t* copy_with_external(uint8_t* out, const graph::ByteBuffer& buffer,
                            const std::vector<graph::ExternalBytes>& external) {
    const uint8_t* src = buffer.data();
    size_t done = 0;
    for (const graph::ExternalBytes& e : external) {
        std::memcpy(out, src + done, e.offset - done);
        out += e.offset - done;
        done = e.offset;
        copy_payload(out, e.data, e.size);
        out += e.size;
    }
    if (buffer.size() > done) std::memcpy(out, src + done, buffer.size() - done);
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
