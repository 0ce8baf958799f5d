// Copies of large payloads and table stretches (into a blob when saving,
// into bytes objects when loading) with stores that bypass the cache, where
// the compiler offers them (every x86-64 processor has them); elsewhere a
// plain copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define ZELKOR_STREAMING_STORES 1
#endif

namespace zelkor::format {

// Payloads this large are larger than what stays in cache around them, and
// a plain copy would first read in every line it is about to overwrite.
inline constexpr size_t kStreamedPayload = size_t{256} << 10;

inline void copy_payload(uint8_t* out, const uint8_t* src, size_t n) {
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

}  // namespace zelkor::format
