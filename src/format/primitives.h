// Byte-level building blocks of the blob layout: magic, little-endian
// readers and writers, and the zigzag varint used for integers. The value
// kinds and their tags are in kinds.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

// Forces inlining of a hot helper where the compiler offers a way to ask.
#if defined(__GNUC__) || defined(__clang__)
#define ZELKOR_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define ZELKOR_ALWAYS_INLINE __forceinline
#else
#define ZELKOR_ALWAYS_INLINE inline
#endif

// Keeps a helper out of line: a cold path, or a loop whose layout should
// not depend on the code around its call.
#if defined(__GNUC__) || defined(__clang__)
#define ZELKOR_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define ZELKOR_NOINLINE __declspec(noinline)
#else
#define ZELKOR_NOINLINE
#endif

namespace zelkor::format {

inline constexpr char kMagic[4] = {'Z', 'L', 'K', 'R'};
inline constexpr char kLegacyMagic[4] = {'T', 'N', 'D', 'L'};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kHeaderSize = 11;

// Limits that the field widths put on what a blob can carry.
inline constexpr uint64_t kMaxCount = 0xFFFFFFFFull;  // u32 counts and lengths
inline constexpr uint64_t kMaxTypes = 0x10000ull;     // u16 type ids
inline constexpr uint64_t kMaxFields = 0xFFFFull;     // u16 field counts

inline uint64_t zigzag_encode(int64_t n) {
    return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}

inline int64_t zigzag_decode(uint64_t z) {
    return static_cast<int64_t>((z >> 1) ^ (0 - (z & 1)));
}

inline size_t varint_size(uint64_t z) {
    size_t n = 1;
    while (z >= 0x80) {
        z >>= 7;
        ++n;
    }
    return n;
}

// ---- writers: the caller guarantees room ----

inline uint8_t* write_u8(uint8_t* out, uint8_t v) {
    *out = v;
    return out + 1;
}

inline uint8_t* write_u16(uint8_t* out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    return out + 2;
}

inline uint8_t* write_u32(uint8_t* out, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, 4);
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return out + 4;
}

inline uint8_t* write_u64(uint8_t* out, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return out + 8;
}

inline uint8_t* write_varint(uint8_t* out, uint64_t z) {
    while (z >= 0x80) {
        *out++ = static_cast<uint8_t>(z) | 0x80;
        z >>= 7;
    }
    *out++ = static_cast<uint8_t>(z);
    return out;
}

// ---- readers: each checks bounds, advances `pos` only on success ----

inline uint16_t load_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, 4);
    } else {
        v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    return v;
}

inline uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, 8);
    } else {
        v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    }
    return v;
}

inline bool has_room(size_t len, size_t pos, size_t k) {
    return pos <= len && len - pos >= k;
}

inline std::optional<uint16_t> read_u16(const uint8_t* data, size_t len, size_t& pos) {
    if (!has_room(len, pos, 2)) return std::nullopt;
    uint16_t v = load_u16(data + pos);
    pos += 2;
    return v;
}

inline std::optional<uint32_t> read_u32(const uint8_t* data, size_t len, size_t& pos) {
    if (!has_room(len, pos, 4)) return std::nullopt;
    uint32_t v = load_u32(data + pos);
    pos += 4;
    return v;
}

// Length of the varint at `p` when its end lies within the 8 bytes there
// (0 if it does not): the first byte with the high bit clear ends it.
inline size_t short_varint_length(const uint8_t* p) {
    const uint64_t stops = ~load_u64(p) & 0x8080808080808080ull;
    if (!stops) return 0;
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<size_t>(std::countr_zero(stops) >> 3) + 1;
    } else {
        for (size_t i = 0; i < 8; ++i) {
            if (!(p[i] & 0x80)) return i + 1;
        }
        return 0;
    }
}

// Gathers the 7-bit groups of eight varint bytes (little-endian in `v`,
// high bits set or not) into one 56-bit number, without a loop.
inline uint64_t gather_varint_groups(uint64_t v) {
    v = ((v & 0x7F007F007F007F00ull) >> 1) | (v & 0x007F007F007F007Full);
    v = ((v & 0x3FFF00003FFF0000ull) >> 2) | (v & 0x00003FFF00003FFFull);
    return ((v & 0x0FFFFFFF00000000ull) >> 4) | (v & 0x000000000FFFFFFFull);
}

// Decodes a varint that was checked to be complete, at `p` with at least 8
// readable bytes there; returns its length with the value in `z`.
inline size_t read_checked_varint_fast(const uint8_t* p, uint64_t& z) {
    const uint64_t v = load_u64(p);
    const uint64_t stops = ~v & 0x8080808080808080ull;
    if (stops) {
        const unsigned bits = static_cast<unsigned>(std::countr_zero(stops)) + 1;  // 8 per byte taken
        z = gather_varint_groups(v & (~uint64_t{0} >> (64 - bits)));
        return bits / 8;
    }
    // Nine or ten bytes: of a tenth only bit 0 counts.
    z = gather_varint_groups(v) | static_cast<uint64_t>(p[8] & 0x7F) << 56;
    if (!(p[8] & 0x80)) return 9;
    z |= static_cast<uint64_t>(p[9] & 1) << 63;
    return 10;
}

// Reads a zigzag varint of 1 to 10 bytes. Non-minimal forms are accepted;
// of a tenth byte only bit 0 counts, and its high bit must be clear.
inline std::optional<int64_t> read_i64_zigzag(const uint8_t* data, size_t len, size_t& pos) {
    uint64_t z = 0;
    size_t p = pos;
    for (int k = 0; k < 10; ++k) {
        if (p >= len) return std::nullopt;
        uint8_t b = data[p++];
        if (k == 9) {
            if (b & 0x80) return std::nullopt;
            z |= static_cast<uint64_t>(b & 1) << 63;
            pos = p;
            return zigzag_decode(z);
        }
        z |= static_cast<uint64_t>(b & 0x7F) << (7 * k);
        if (!(b & 0x80)) {
            pos = p;
            return zigzag_decode(z);
        }
    }
    return std::nullopt;  // not reached
}

// Length of a varint that was checked to be complete (at most 10 bytes).
inline size_t checked_varint_length(const uint8_t* p) {
    size_t n = 1;
    while (n < 10 && (p[n - 1] & 0x80)) ++n;
    return n;
}

// Reads a zigzag varint that was checked to be complete; `length` receives
// the number of bytes it takes.
inline int64_t read_checked_zigzag(const uint8_t* p, size_t& length) {
    length = 0;
    return *read_i64_zigzag(p, 10, length);
}

}  // namespace zelkor::format
