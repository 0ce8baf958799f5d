#include "graph/types.h"

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

inline uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

uint64_t hash_text(std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(n) * 0xA0761D6478BD642Full);
    if (n >= 8) {
        while (n > 8) {
            h = (h ^ load64(p)) * 0xE7037ED1A0B428DBull;
            h ^= h >> 29;
            p += 8;
            n -= 8;
        }
        // The last 8 bytes, overlapping what came before when needed.
        h = (h ^ load64(p + n - 8)) * 0x8EBC6AF09C88C6E3ull;
    } else {
        uint64_t v = 0;
        if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            v = (static_cast<uint64_t>(a) << 32) | b;
        } else if (n > 0) {
            v = (static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16) |
                (static_cast<uint64_t>(static_cast<uint8_t>(p[n >> 1])) << 8) |
                static_cast<uint8_t>(p[n - 1]);
        }
        h = (h ^ v) * 0xE7037ED1A0B428DBull;
    }
    return mix64(h);
}

void IndexTable::insert(uint64_t hash, uint32_t index) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const uint32_t tag = tag_of(hash);
    size_t i = static_cast<size_t>(hash) & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = (static_cast<uint64_t>(tag) << 32) | (static_cast<uint64_t>(index) + 1);
    ++size_;
}

void IndexTable::grow() {
    size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<uint64_t> old;
    old.swap(slots_);
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (uint64_t s : old) {
        if (s == 0) continue;
        size_t i = static_cast<size_t>(s >> 32) & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = s;
    }
}

std::optional<uint32_t> TypeRegistry::find(std::string_view name, uint64_t hash) const {
    uint32_t id = type_ids_.find(hash, [&](uint32_t i) { return types[i].name == name; });
    if (id == IndexTable::kMissing) return std::nullopt;
    return id;
}

uint32_t TypeRegistry::add(std::string_view name, uint64_t hash, std::vector<std::string> fields,
                           uint32_t version) {
    uint32_t id = static_cast<uint32_t>(types.size());
    types.push_back(TypeInfo{std::string(name), std::move(fields), version});
    type_ids_.insert(hash, id);
    return id;
}

uint32_t TypeRegistry::register_type(std::string_view name, std::vector<std::string> fields,
                                     uint32_t version) {
    uint64_t hash = hash_text(name);
    if (auto id = find(name, hash)) return *id;
    return add(name, hash, std::move(fields), version);
}

}  // namespace zelkor::graph
