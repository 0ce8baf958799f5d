// Hashing of texts and the open-addressing index tables built on it: text
// to index over a list the caller owns (the string table, the type names).
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "format/primitives.h"
#include "graph/kept_block.h"

namespace zelkor::graph {

// A fast, well-mixed 64-bit hash for short texts (names, keys, words),
// seeded per process.
uint64_t hash_text(std::string_view text);
// SipHash-1-3 under a per-process secret key: slower, but nobody can make
// texts collide on purpose.
uint64_t hash_text_keyed(std::string_view text);

// Whether two texts are equal; those of up to 32 bytes are compared in a
// few word loads instead of a library call (most texts met are short).
inline bool same_text(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    const auto word = [](const char* at) {
        uint64_t v;
        std::memcpy(&v, at, 8);
        return v;
    };
    if (n >= 8) {
        if (n > 32) return std::memcmp(p, q, n) == 0;
        uint64_t diff = (word(p) ^ word(q)) | (word(p + n - 8) ^ word(q + n - 8));
        if (n > 16) diff |= (word(p + 8) ^ word(q + 8)) | (word(p + n - 16) ^ word(q + n - 16));
        return diff == 0;
    }
    if (n >= 4) {
        uint32_t a0, a1, b0, b1;
        std::memcpy(&a0, p, 4);
        std::memcpy(&b0, q, 4);
        std::memcpy(&a1, p + n - 4, 4);
        std::memcpy(&b1, q + n - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return false;
    }
    return true;
}

// Open-addressing table from a 64-bit hash to a u32 index into some
// caller-owned list; the caller supplies the equality test, so the table
// never stores keys and never dangles when the list reallocates. Indices
// are handed out in order, 0 first. A table given a KeptBlock starts from
// the slots the last such table left there (emptied) and leaves its own
// there when done.
class IndexTable {
public:
    static constexpr uint32_t kMissing = 0xFFFFFFFFu;

    // Probe runs longer than this do not happen by chance at this load
    // (the longest in tables of up to 2^24 random hashes filled to the
    // brim is about 100).
    static constexpr size_t kLongProbe = 256;

    IndexTable() = default;
    explicit IndexTable(KeptBlock* kept) : kept_(kept) {}
    IndexTable(IndexTable&& other) noexcept { swap(other); }
    IndexTable& operator=(IndexTable&& other) noexcept {
        swap(other);
        return *this;
    }
    ~IndexTable() { release(); }

    template <class Eq>
    uint32_t find(uint64_t hash, Eq&& eq) const {
        if (size_ == 0) return kMissing;
        // Held in locals: the equality test may call out, and the members
        // would be read again after every call.
        const Slot* const slots = slots_;
        const size_t mask = mask_;
        const uint32_t tag_mask = tag_mask_;
        const uint32_t tag = static_cast<uint32_t>(hash) & tag_mask;
        size_t i = static_cast<size_t>(hash) & mask;
        for (size_t probes = 0;; ++probes) {
            const uint32_t s = slots[i];
            if (s == 0) {
                if (probes > kLongProbe) crowded_ = true;
                missed_ = Missed{hash, i};
                return kMissing;
            }
            if ((s & tag_mask) == tag) {
                const uint32_t index = (s & ~tag_mask) - 1;
                if (eq(index)) return index;
            }
            i = (i + 1) & mask;
        }
    }

    // Adds an entry known to be absent, whose index is the number of
    // entries before it. The table grows when five eighths full: with the
    // tag in the slot, the longer probe runs mostly stay in one cache line,
    // and a smaller table is more often in cache.
    ZELKOR_ALWAYS_INLINE void insert(uint64_t hash, uint32_t index) {
        if ((size_ + 1) * 8 > capacity_ * 5) grow();
        if (((index + 1) & tag_mask_) != 0) untag();
        hashes_.push_back(static_cast<uint32_t>(hash));
        // The empty slot where a lookup of this hash just ended, with
        // nothing added since, is where a probe would end again.
        size_t i = missed_.slot;
        if (missed_.hash != hash || i == kNoSlot) {
            i = static_cast<size_t>(hash) & mask_;
            while (slots_[i] != 0) i = (i + 1) & mask_;
        }
        used_.note(i, capacity_);
        slots_[i] = (static_cast<uint32_t>(hash) & tag_mask_) | (index + 1);
        missed_.slot = kNoSlot;
        ++size_;
    }
    size_t size() const { return size_; }
    // Empties the table; its slots stay for what is inserted next.
    void clear();
    // Empties the table and gives back its memory (its slots to the kept
    // block, if it has one), as a table never used.
    void reset();
    // Whether some probe ran long: the hashes collide more than chance allows.
    bool crowded() const { return crowded_; }

    using Slot = uint32_t;
    // Kept tables have at most this many slots (1 MiB): enough for a capture
    // of some 160,000 distinct texts to start from the table the last one
    // grew, instead of growing from sixteen slots through a dozen rehashes.
    static constexpr size_t kMaxKeptSlots = size_t{1} << 18;

private:
    // A slot holds the entry's index plus one in its low bits and, above
    // them, that many of the hash's low 32 bits as a tag, so that a probe
    // seldom asks for the text of an entry that is not the one sought. With
    // four bytes a slot the table takes half the cache lines it would with
    // the whole hash beside the index. Tables of more entries than the
    // narrow index holds drop the tag.
    static constexpr uint32_t kTagMask = 0xFF000000u;
    static constexpr size_t kNoSlot = ~size_t{0};
    struct Missed {
        uint64_t hash = 0;
        size_t slot = kNoSlot;
    };
    void grow();
    void untag();
    void release();
    void swap(IndexTable& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(mask_, other.mask_);
        std::swap(size_, other.size_);
        std::swap(tag_mask_, other.tag_mask_);
        std::swap(crowded_, other.crowded_);
        std::swap(missed_, other.missed_);
        hashes_.swap(other.hashes_);
        used_.swap(other.used_);
        std::swap(kept_, other.kept_);
    }

    Slot* slots_ = nullptr;  // tag | (index + 1); 0 is empty
    size_t capacity_ = 0;
    size_t mask_ = 0;
    size_t size_ = 0;
    uint32_t tag_mask_ = kTagMask;
    mutable bool crowded_ = false;
    mutable Missed missed_;  // where the last lookup that missed ended
    // Each entry's hash (its low 32 bits), by index: a table that grows
    // places them afresh in the order they came.
    std::vector<uint32_t> hashes_;
    UsedSlots used_;
    KeptBlock* kept_ = nullptr;
};

// Text to index over a caller-owned list of texts. Hashing is fast until
// the table sees more collisions than chance allows (texts made to collide),
// then the table is rebuilt once with the keyed hash.
class TextIndex {
public:
    TextIndex() = default;
    explicit TextIndex(KeptBlock* kept) : table_(kept) {}

    // `text_at(i)` gives the text of entry i, for the equality test and for
    // rebuilding.
    template <class TextAt>
    uint32_t find(std::string_view text, TextAt&& text_at) const {
        return find(text, hash(text), text_at);
    }
    template <class TextAt>
    void insert(std::string_view text, uint32_t index, TextAt&& text_at) {
        insert(text, hash(text), index, text_at);
    }
    // The same with the text's hash(), so that a text looked up and then
    // added is hashed once.
    uint64_t hash(std::string_view text) const { return keyed_ ? hash_text_keyed(text) : hash_text(text); }
    template <class TextAt>
    uint32_t find(std::string_view text, uint64_t text_hash, TextAt&& text_at) const {
        return table_.find(text_hash, [&](uint32_t i) { return same_text(text_at(i), text); });
    }
    template <class TextAt>
    void insert(std::string_view, uint64_t text_hash, uint32_t index, TextAt&& text_at) {
        table_.insert(text_hash, index);
        if (table_.crowded() && !keyed_) rebuild_keyed(text_at);
    }
    // Forgets every text and gives back the table's memory.
    void reset() { table_.reset(); }

private:
    template <class TextAt>
    ZELKOR_NOINLINE void rebuild_keyed(TextAt&& text_at) {
        keyed_ = true;
        const size_t n = table_.size();
        table_.clear();
        for (size_t i = 0; i < n; ++i) table_.insert(hash(text_at(static_cast<uint32_t>(i))), static_cast<uint32_t>(i));
    }

    IndexTable table_;
    bool keyed_ = false;
};

}  // namespace zelkor::graph
