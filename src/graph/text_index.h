// Hashing of texts and the open-addressing index tables built on it: text
// to index over a list the caller owns (the string table, the type names).
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zelkor::graph {

// A fast, well-mixed 64-bit hash for short texts (names, keys, words),
// seeded per process.
uint64_t hash_text(std::string_view text);
// SipHash-1-3 under a per-process secret key: slower, but nobody can make
// texts collide on purpose.
uint64_t hash_text_keyed(std::string_view text);

// Open-addressing table from a 64-bit hash to a u32 index into some
// caller-owned list; the caller supplies the equality test, so the table
// never stores keys and never dangles when the list reallocates.
class IndexTable {
public:
    static constexpr uint32_t kMissing = 0xFFFFFFFFu;

    // Probe runs longer than this do not happen by chance at this load.
    static constexpr size_t kLongProbe = 96;

    template <class Eq>
    uint32_t find(uint64_t hash, Eq&& eq) const {
        if (slots_.empty()) return kMissing;
        const uint32_t tag = tag_of(hash);
        size_t i = static_cast<size_t>(hash) & mask_;
        for (size_t probes = 0;; ++probes) {
            uint64_t s = slots_[i];
            if (s == 0) {
                if (probes > kLongProbe) crowded_ = true;
                return kMissing;
            }
            if (static_cast<uint32_t>(s >> 32) == tag) {
                uint32_t index = static_cast<uint32_t>(s) - 1;
                if (eq(index)) return index;
            }
            i = (i + 1) & mask_;
        }
    }

    // Adds an entry known to be absent.
    void insert(uint64_t hash, uint32_t index);
    size_t size() const { return size_; }
    void clear() {
        slots_.clear();
        mask_ = size_ = 0;
        crowded_ = false;
    }
    // Whether some probe ran long: the hashes collide more than chance allows.
    bool crowded() const { return crowded_; }

private:
    // The stored tag doubles as the bucket hash when the table grows.
    static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash); }
    void grow();

    std::vector<uint64_t> slots_;  // (tag << 32) | (index + 1); 0 is empty
    size_t mask_ = 0;
    size_t size_ = 0;
    mutable bool crowded_ = false;
};

// Text to index over a caller-owned list of texts. Hashing is fast until
// the table sees more collisions than chance allows (texts made to collide),
// then the table is rebuilt once with the keyed hash.
class TextIndex {
public:
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
        return table_.find(text_hash, [&](uint32_t i) { return text_at(i) == text; });
    }
    template <class TextAt>
    void insert(std::string_view, uint64_t text_hash, uint32_t index, TextAt&& text_at) {
        table_.insert(text_hash, index);
        if (table_.crowded() && !keyed_) {
            keyed_ = true;
            const size_t n = table_.size();
            table_.clear();
            for (size_t i = 0; i < n; ++i)
                table_.insert(hash(text_at(static_cast<uint32_t>(i))), static_cast<uint32_t>(i));
        }
    }

private:
    IndexTable table_;
    bool keyed_ = false;
};

}  // namespace zelkor::graph
