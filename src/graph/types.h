// Dataclass type registry and the small hashing pieces shared by the graph.
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelkor::graph {

// A fast, well-mixed 64-bit hash for short texts (names, keys, words).
uint64_t hash_text(std::string_view text);

// Open-addressing table from a 64-bit hash to a u32 index into some
// caller-owned list; the caller supplies the equality test, so the table
// never stores keys and never dangles when the list reallocates.
class IndexTable {
public:
    static constexpr uint32_t kMissing = 0xFFFFFFFFu;

    template <class Eq>
    uint32_t find(uint64_t hash, Eq&& eq) const {
        if (slots_.empty()) return kMissing;
        const uint32_t tag = tag_of(hash);
        size_t i = static_cast<size_t>(hash) & mask_;
        for (;;) {
            uint64_t s = slots_[i];
            if (s == 0) return kMissing;
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

private:
    // The stored tag doubles as the bucket hash when the table grows.
    static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash); }
    void grow();

    std::vector<uint64_t> slots_;  // (tag << 32) | (index + 1); 0 is empty
    size_t mask_ = 0;
    size_t size_ = 0;
};

struct TypeInfo {
    std::string name;
    std::vector<std::string> fields;
    uint32_t version = 0;
};

// The dataclass types of one capture or one blob, keyed by bare name; the
// first registration of a name fixes its fields and version.
class TypeRegistry {
public:
    std::vector<TypeInfo> types;

    std::optional<uint32_t> find(std::string_view name, uint64_t hash) const;
    std::optional<uint32_t> find(std::string_view name) const { return find(name, hash_text(name)); }

    // Returns the id of `name`, appending a new entry when it is new.
    uint32_t register_type(std::string_view name, std::vector<std::string> fields, uint32_t version);
    // Appends an entry for a name known to be absent (hash precomputed).
    uint32_t add(std::string_view name, uint64_t hash, std::vector<std::string> fields, uint32_t version);

private:
    IndexTable type_ids_;
};

}  // namespace zelkor::graph
