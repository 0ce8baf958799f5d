#include "graph/type_registry.h"

namespace zelkor::graph {

std::optional<uint32_t> TypeRegistry::find(std::string_view name) const {
    uint32_t id = type_ids_.find(name, [&](uint32_t i) { return name_at(i); });
    if (id == IndexTable::kMissing) return std::nullopt;
    return id;
}

uint32_t TypeRegistry::add(std::string_view name, std::vector<std::string> fields, uint32_t version) {
    uint32_t id = static_cast<uint32_t>(types.size());
    types.push_back(TypeInfo{std::string(name), std::move(fields), version});
    type_ids_.insert(name, id, [&](uint32_t i) { return name_at(i); });
    return id;
}

uint32_t TypeRegistry::register_type(std::string_view name, std::vector<std::string> fields, uint32_t version) {
    if (auto id = find(name)) return *id;
    return add(name, std::move(fields), version);
}

}  // namespace zelkor::graph
