// Dataclass instances: the type is registered under its registered name (or
// its bare __name__) with its fields, and the fields are captured in order.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/primitives.h"
#include "graph/walker.h"

namespace zelkor::graph {

bool Walker::is_dataclass(PyObject* value, bool& result) {
    if (!is_dataclass_) {
        PyRef module = import_module(names.dataclasses);
        if (!module) return false;
        is_dataclass_ = PyRef::steal(PyObject_GetAttr(module.get(), names.is_dataclass));
        if (!is_dataclass_) return false;
    }
    PyRef verdict = PyRef::steal(PyObject_CallFunctionObjArgs(is_dataclass_.get(), value, nullptr));
    if (!verdict) return false;
    if (!PyBool_Check(verdict.get())) {
        raise_conversion_error(verdict.get(), "PyBool");
        return false;
    }
    result = verdict.get() == Py_True;
    return true;
}

bool Walker::walk_dataclass(PyRef& value, std::string_view type_name, uint32_t& index) {
    // The first instance of its type in this walk: the type's stored field
    // names, version and entry are settled here, once.
    PyObject* obj = value.get();
    PyRef fields_map = PyRef::steal(PyObject_GetAttr(obj, names.dataclass_fields));
    if (!fields_map) return false;
    if (!PyDict_Check(fields_map.get())) return raise_conversion_error(fields_map.get(), "PyDict"), false;
    PyRef keys = PyRef::steal(PyDict_Keys(fields_map.get()));
    if (!keys) return false;
    if (!field_kinds_.load()) return false;
    // Class variables and init-only variables hold no instance data.
    PyRef fields = PyRef::steal(PyList_New(0));
    if (!fields) return false;
    const Py_ssize_t key_count = PyList_Size(keys.get());
    for (Py_ssize_t i = 0; i < key_count; ++i) {
        PyObject* key = PyList_GetItem(keys.get(), i);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
        if (!PyUnicode_AsUTF8AndSize(key, nullptr)) return false;
        PyRef field = PyRef::borrow(PyDict_GetItemWithError(fields_map.get(), key));
        if (!field && PyErr_Occurred()) return false;
        if (field && field_kinds_.of(field.get()) != FieldKind::Field) continue;
        if (PyList_Append(fields.get(), key) < 0) return false;
    }
    const Py_ssize_t count = PyList_Size(fields.get());
    if (static_cast<uint64_t>(count) > format::kMaxFields) {
        return raise_overflow("cannot serialise a dataclass with more than 65535 fields");
    }
    // A class registered under another name is stored under that name.
    std::string name(type_name);
    if (!registered_name(Py_TYPE(obj), name)) return false;
    // Another class stored under the same name shares its entry when the
    // fields agree; otherwise its records could not be told apart on load.
    // The version only matters when the name is registered.
    uint32_t type_id;
    if (auto found = registry.find(name)) {
        type_id = *found;
        const std::vector<std::string>& first = registry.types[type_id].fields;
        bool same = first.size() == static_cast<size_t>(count);
        for (Py_ssize_t i = 0; same && i < count; ++i) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GetItem(fields.get(), i), &size);
            same = first[static_cast<size_t>(i)] == std::string_view(utf8, static_cast<size_t>(size));
        }
        if (!same) return raise_name_clash(name, type_id, Py_TYPE(obj), fields.get()), false;
    } else {
        const uint32_t version = declared_version(obj);
        if (registry.types.size() >= format::kMaxTypes) {
            return raise_overflow("cannot serialise more than 65536 dataclass types in one blob");
        }
        std::vector<std::string> field_names;
        field_names.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GetItem(fields.get(), i), &size);
            field_names.emplace_back(utf8, static_cast<size_t>(size));
        }
        type_id = registry.add(name, std::move(field_names), version);
    }
    PyTypeObject* type = Py_TYPE(obj);
    DataclassType& known = dataclass_types_[type];
    known.type = PyRef::borrow(reinterpret_cast<PyObject*>(type));
    known.fields = std::move(fields);
    known.type_id = static_cast<uint16_t>(type_id);
    return push_dataclass(value, known, index);
}

bool Walker::registered_name(PyTypeObject* type, std::string& name) {
    if (!registered_names_read_) {
        // Classes can only be registered once the companion module is
        // imported; it is not imported here.
        registered_names_read_ = true;
        PyRef module;
        if (!imported_either(package.reconstruct_module, module)) return false;
        if (module) {
            PyRef map = optional_attribute(module.get(), names.registered_names);
            if (map && PyDict_Check(map.get())) registered_names_ = std::move(map);
        }
    }
    if (!registered_names_) return true;
    PyRef stored = PyRef::borrow(PyDict_GetItemWithError(registered_names_.get(), reinterpret_cast<PyObject*>(type)));
    if (!stored) return !PyErr_Occurred();
    if (!PyUnicode_Check(stored.get())) return raise_conversion_error(stored.get(), "PyString"), false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(stored.get(), &size);
    if (!utf8) return false;
    name.assign(utf8, static_cast<size_t>(size));
    return true;
}

namespace {

// "module.qualname" of a class, for messages.
PyRef class_label(PyObject* cls) {
    PyRef module = optional_attribute(cls, names.module);
    PyRef qualname = optional_attribute(cls, names.qualname);
    if (!qualname || !PyUnicode_Check(qualname.get())) qualname = PyRef::steal(PyUnicode_FromString("?"));
    if (!qualname) return qualname;
    if (!module || !PyUnicode_Check(module.get())) return qualname;
    return PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += ", ";
        out += part;
    }
    return out;
}

}  // namespace

void Walker::raise_name_clash(std::string_view name, uint32_t type_id, PyTypeObject* type, PyObject* fields) {
    PyObject* first_class = nullptr;
    for (const auto& [known, info] : dataclass_types_) {
        if (info.type_id == type_id) first_class = info.type.get();
    }
    std::vector<std::string> second_fields;
    for (Py_ssize_t i = 0, n = PyList_Size(fields); i < n; ++i) {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(PyList_GetItem(fields, i), &size);
        second_fields.emplace_back(utf8, static_cast<size_t>(size));
    }
    PyRef first_label = first_class ? class_label(first_class) : PyRef::steal(PyUnicode_FromString("a class"));
    PyRef second_label = class_label(reinterpret_cast<PyObject*>(type));
    if (!first_label || !second_label) return;
    const std::string stored(name);
    const std::string first = joined(registry.types[type_id].fields), second = joined(second_fields);
    PyErr_Format(PyExc_TypeError,
                 "two different dataclasses are stored under the name '%s' with different fields: %U (%s) and "
                 "%U (%s); give one of them another stored name with zelkor.register(cls, name=...)",
                 stored.c_str(), first_label.get(), first.c_str(), second_label.get(), second.c_str());
}

}  // namespace zelkor::graph
