#include "graph/text_index.h"

#include <bit>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>

namespace zelkor::graph {

namespace {

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

// A per-process secret key, so that nobody can prepare texts whose hashes
// collide (type names in a blob, strings handed to dumps) to make the
// tables degrade.
struct HashKey {
    uint64_t k0, k1;
};

HashKey make_key() {
    uint64_t a = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    uint64_t b = reinterpret_cast<uintptr_t>(&a);
    try {
        std::random_device device;
        a ^= (static_cast<uint64_t>(device()) << 32) ^ device();
        b ^= (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        // No entropy source: the clock and the stack address will do.
    }
    return {mix64(a), mix64(b ^ 0x9E3779B97F4A7C15ull)};
}

const HashKey kKey = make_key();

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
}

inline uint64_t load_le64(const unsigned char* p) {
    uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, 8);
    } else {
        for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    }
    return v;
}

inline uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Both halves of the 128-bit product, folded into 64 bits.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 r = static_cast<u128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
#else
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
    const uint64_t lo = (cross << 32) | (lo_lo & 0xFFFFFFFFu);
    const uint64_t hi = hi_hi + (hi_lo >> 32) + (cross >> 32);
    return lo ^ hi;
#endif
}

}  // namespace

uint64_t hash_text(std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    if (n <= 16) {
        // Short texts: their first and last words, two multiplications.
        uint64_t a = 0, b = 0;
        if (n >= 8) {
            a = load64(p);
            b = load64(p + n - 8);
        } else if (n >= 4) {
            uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else if (n > 0) {
            a = (static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16) |
                (static_cast<uint64_t>(static_cast<uint8_t>(p[n >> 1])) << 8) | static_cast<uint8_t>(p[n - 1]);
        }
        const uint64_t h = fold_multiply(a ^ kKey.k1, b ^ kKey.k0);
        return fold_multiply(h ^ (static_cast<uint64_t>(n) * 0xA0761D6478BD642Full), 0xE7037ED1A0B428DBull);
    }
    // Longer texts go sixteen bytes a step, one multiplication each.
    uint64_t h = kKey.k0 ^ (static_cast<uint64_t>(n) * 0xA0761D6478BD642Full);
    while (n > 16) {
        h = fold_multiply(load64(p) ^ kKey.k1, load64(p + 8) ^ h);
        p += 16;
        n -= 16;
    }
    // The last sixteen bytes, overlapping what came before.
    h = fold_multiply(load64(p + n - 16) ^ 0x8EBC6AF09C88C6E3ull, load64(p + n - 8) ^ h);
    return fold_multiply(h ^ kKey.k1, 0xE7037ED1A0B428DBull);
}

uint64_t hash_text_keyed(std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    uint64_t v0 = kKey.k0 ^ 0x736f6d6570736575ull;
    uint64_t v1 = kKey.k1 ^ 0x646f72616e646f6dull;
    uint64_t v2 = kKey.k0 ^ 0x6c7967656e657261ull;
    uint64_t v3 = kKey.k1 ^ 0x7465646279746573ull;
    const size_t whole = n & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        const uint64_t m = load_le64(p + i);
        v3 ^= m;
        sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(n) << 56;
    for (size_t i = 0; i < (n & 7); ++i) last |= static_cast<uint64_t>(p[whole + i]) << (8 * i);
    v3 ^= last;
    sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

void IndexTable::grow() {
    if (!slots_ && kept_) {
        size_t bytes = 0;
        if (void* kept = kept_->take(bytes)) {
            slots_ = static_cast<Slot*>(kept);
            capacity_ = bytes / sizeof(Slot);
            mask_ = capacity_ - 1;
            missed_.slot = kNoSlot;
            return;
        }
    }
    const size_t capacity = capacity_ ? capacity_ * 2 : 16;
    // Slot numbers are listed in 32 bits: a table that large (16 GiB) is
    // refused like any allocation that fails.
    if (capacity > (size_t{1} << 32)) throw std::bad_alloc();
    Slot* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!fresh) throw std::bad_alloc();
    std::free(slots_);
    slots_ = fresh;
    capacity_ = capacity;
    mask_ = capacity - 1;
    // A table grows when five eighths full, so the new one is over an
    // eighth full: all its slots are visited when it is emptied. The
    // entries are placed in the order they came, which reads their hashes
    // in a row instead of the old slots.
    used_.restart(size_ > 0);
    missed_.slot = kNoSlot;
    hashes_.reserve(capacity * 5 / 8 + 1);
    for (size_t k = 0; k < size_; ++k) {
        const uint32_t hash = hashes_[k];
        size_t i = hash & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = (hash & tag_mask_) | static_cast<uint32_t>(k + 1);
    }
}

// More entries than the tagged slot's index holds: every slot keeps just
// its index from here on, and each probe that meets an entry compares.
void IndexTable::untag() {
    const uint32_t keep = ~tag_mask_;
    used_.for_each(capacity_, [&](size_t k) { slots_[k] &= keep; });
    tag_mask_ = 0;
}

void IndexTable::clear() {
    if (used_.all()) {
        if (slots_) std::memset(slots_, 0, capacity_ * sizeof(Slot));
    } else {
        used_.for_each(capacity_, [this](size_t slot) { slots_[slot] = 0; });
    }
    used_.clear();
    missed_.slot = kNoSlot;
    hashes_.clear();
    size_ = 0;
    tag_mask_ = kTagMask;
    crowded_ = false;
}

void IndexTable::reset() {
    // The table's state goes to a temporary, which gives its memory back as
    // it goes; this one takes the state of a table never used.
    *this = IndexTable(kept_);
}

void IndexTable::release() {
    if (!slots_) return;
    if (kept_ && capacity_ <= kMaxKeptSlots) {
        clear();
        kept_->give_back(slots_, capacity_ * sizeof(Slot));
    } else {
        std::free(slots_);
    }
    slots_ = nullptr;
}

}  // namespace zelkor::graph
