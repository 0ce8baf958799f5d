// The dataclass types of one capture or one blob: name, field names and
// schema version, keyed by bare name. Plain C++: nothing here touches the
// interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/text_index.h"

namespace zelkor::graph {

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

    std::optional<uint32_t> find(std::string_view name) const;

    // Returns the id of `name`, appending a new entry when it is new.
    uint32_t register_type(std::string_view name, std::vector<std::string> fields, uint32_t version);
    // Appends an entry for a name known to be absent.
    uint32_t add(std::string_view name, std::vector<std::string> fields, uint32_t version);

private:
    std::string_view name_at(uint32_t id) const { return types[id].name; }
    TextIndex type_ids_;
};

}  // namespace zelkor::graph
