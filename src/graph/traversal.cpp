#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "format/primitives.h"
#include "graph/walker.h"

namespace zelkor::graph {

using format::kMaxCount;

// ---------------------------------------------------------------- SeenTable

SeenTable::~SeenTable() {
    for (size_t i = 0; i < capacity_; ++i) Py_XDECREF(slots_[i].obj);
    std::free(slots_);
}

void SeenTable::insert(PyObject* obj, uint32_t index) {
    if ((size_ + 1) * 2 > capacity_) grow();
    Py_INCREF(obj);
    size_t i = bucket(obj);
    while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
    slots_[i] = Entry{obj, index};
    ++size_;
}

void SeenTable::grow() {
    size_t capacity = capacity_ ? capacity_ * 2 : 256;
    Entry* fresh = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    if (!fresh) throw std::bad_alloc();
    Entry* old = slots_;
    size_t old_capacity = capacity_;
    slots_ = fresh;
    capacity_ = capacity;
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(static_cast<uint64_t>(capacity)));
    for (size_t k = 0; k < old_capacity; ++k) {
        if (old[k].obj == nullptr) continue;
        size_t i = bucket(old[k].obj);
        while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        slots_[i] = old[k];
    }
    std::free(old);
}

// ---------------------------------------------------------------- helpers

namespace {

void append_utf8(std::string& out, uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // lone surrogates cannot be encoded
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool overflow(const char* message) {
    PyErr_SetString(PyExc_OverflowError, message);
    return false;
}

}  // namespace

bool type_name_text(PyTypeObject* type, std::string& out) {
    PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names.name));
    if (!name) return ensure_error(), false;
    if (!PyUnicode_Check(name.get())) {
        raise_conversion_error(name.get(), "PyString");
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8) {
        out.assign(utf8, static_cast<size_t>(size));
        return true;
    }
    // Lone surrogates: encode code point by code point.
    PyErr_Clear();
    Py_UCS4* cps = PyUnicode_AsUCS4Copy(name.get());
    if (!cps) return ensure_error(), false;
    Py_ssize_t n = PyUnicode_GetLength(name.get());
    out.clear();
    for (Py_ssize_t i = 0; i < n; ++i) append_utf8(out, cps[i]);
    PyMem_Free(cps);
    return true;
}

// ---------------------------------------------------------------- Walker

bool Walker::check_room_for_record() {
    if (graph.record_count >= kMaxCount) {
        return overflow("cannot serialise more than 4294967295 objects in one blob");
    }
    return true;
}

bool Walker::walk(PyObject* root) {
    if (!python_ran_) pause_collector();
    const bool ok = walk_all(root);
    resume_collector();
    if (!ok) note_path();
    return ok;
}

void Walker::note_path() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    PyRef add_note = value ? optional_attribute(value, names.add_note) : PyRef();
    if (add_note) {
        const std::string text = "at " + path_text();
        PyRef note = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyRef done = note ? PyRef::steal(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr)) : PyRef();
        if (!done) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

namespace {

// A short repr of a dict key for a path; never raises.
std::string key_text(PyObject* key) {
    PyRef repr = PyRef::steal(PyObject_Repr(key));
    Py_ssize_t size = 0;
    const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "...";
    }
    constexpr size_t kLimit = 60;
    std::string text(utf8, static_cast<size_t>(size));
    if (text.size() > kLimit) {
        size_t cut = kLimit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        text.resize(cut);
        text += "...";
    }
    return text;
}

}  // namespace

std::string Walker::path_text() {
    // Each frame below the top is inside the child it added last (the frame
    // above it); the top frame is inside the child it handed out, if that
    // child has not been added yet.
    std::vector<std::string> parts;
    for (size_t i = 0; i < stack_.size(); ++i) {
        const Frame& f = stack_[i];
        const uint64_t added = static_cast<uint64_t>(f.room.filled) + f.extra.size();
        uint64_t unit;
        if (i + 1 < stack_.size()) {
            if (added == 0) continue;
            unit = added - 1;
        } else {
            const uint64_t handed = f.kind == FrameKind::Dict ? 2 * static_cast<uint64_t>(f.yielded)
                                                              : static_cast<uint64_t>(f.pos);
            if (added >= handed) break;  // the container itself failed
            unit = added;
        }
        switch (f.kind) {
            case FrameKind::List:
            case FrameKind::Tuple:
                // Appended rather than "[" + text: GCC 12 warns (-Wrestrict)
                // about the insertion at the front that operator+ inlines.
                parts.emplace_back("[").append(std::to_string(unit)).append("]");
                break;
            case FrameKind::Set:
                parts.push_back("<member>");
                break;
            case FrameKind::Dataclass: {
                Py_ssize_t size = 0;
                PyObject* name = PyList_GetItem(f.fields.get(), static_cast<Py_ssize_t>(unit));
                const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
                if (!utf8) PyErr_Clear();
                parts.emplace_back(".").append(utf8 ? std::string_view(utf8, static_cast<size_t>(size)) : "?");
                break;
            }
            case FrameKind::Dict: {
                if (unit % 2 == 0) {
                    parts.push_back("<key>");
                    break;
                }
                // The key of entry unit / 2, in the order the walk reads them.
                Py_ssize_t pos = 0;
                PyObject *key = nullptr, *value;
                for (uint64_t entry = 0; entry <= unit / 2; ++entry) {
                    if (!PyDict_Next(f.obj.get(), &pos, &key, &value)) {
                        key = nullptr;
                        break;
                    }
                }
                parts.emplace_back("[")
                    .append(key ? key_text(PyRef::borrow(key).get()) : std::string("..."))
                    .append("]");
                break;
            }
        }
    }
    // Very deep paths keep their two ends.
    constexpr size_t kHead = 10, kTail = 30;
    std::string text = "root";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts.size() > kHead + kTail && i == kHead) {
            text += "...";
            i = parts.size() - kTail;
        }
        text += parts[i];
    }
    return text;
}

bool Walker::walk_all(PyObject* root) {
    uint32_t index;
    if (!enter(PyRef::borrow(root), index)) return false;
    while (!stack_.empty()) {
        PyRef child;
        bool done = false;
        if (!next_child(stack_.back(), child, done)) return false;
        if (done) {
            if (!finish(stack_.back())) return false;
            stack_.pop_back();
            continue;
        }
        // Entering may push a frame, so the parent is found again after.
        size_t parent = stack_.size() - 1;
        if (!enter(std::move(child), index)) return false;
        add_child(stack_[parent], index);
    }
    return true;
}

// Values that need no frame and run no Python code: scalars of exact
// built-in types, and anything captured before. `held` is the number of
// references the caller holds besides its container's (0 for an item read
// in place, 1 for a new reference). Returns 1 when entered, 0 when the value
// needs the general path, -1 on error.
inline int Walker::enter_simple(PyObject* obj, Py_ssize_t held, uint32_t& index) {
    if (graph.record_count >= kMaxCount) return 0;  // the general path refuses it
    PyTypeObject* type = Py_TYPE(obj);
    const bool number = type == &PyLong_Type || type == &PyFloat_Type;
    if ((number || type == &PyUnicode_Type) && Py_REFCNT(obj) <= 1 + held) {
        // Nothing but its container refers to it, so it cannot be met
        // again: it needs no identity entry. This keeps the identity table
        // to what can actually be shared.
        if (type == &PyFloat_Type) {
            index = graph.push_float(PyFloat_AsDouble(obj));
        } else if (type == &PyUnicode_Type) {
            return enter_str(obj, index, false) ? 1 : -1;
        } else {
            long long v = PyLong_AsLongLong(obj);
            if (v == -1 && PyErr_Occurred()) return -1;
            index = graph.push_int(v);
        }
        return 1;
    }
    // The singletons are met all the time; their first records are kept
    // apart from the identity table.
    if (obj == Py_None || obj == Py_True || obj == Py_False) {
        uint32_t& first = obj == Py_None ? first_none_ : obj == Py_True ? first_true_ : first_false_;
        if (first != SeenTable::kMissing) {
            index = graph.push_ref(first);
        } else {
            first = index = obj == Py_None ? graph.push_none() : graph.push_bool(obj == Py_True);
        }
        return 1;
    }
    const uint32_t first = seen.find(obj);
    if (first != SeenTable::kMissing) {
        index = graph.push_ref(first);
        return 1;
    }
    // Exact built-in types are known by their type object; their names
    // cannot change, so this is the same dispatch as by name, only faster.
    if (number) {
        if (type == &PyFloat_Type) {
            index = graph.push_float(PyFloat_AsDouble(obj));
        } else {
            long long v = PyLong_AsLongLong(obj);
            if (v == -1 && PyErr_Occurred()) return -1;
            index = graph.push_int(v);
        }
    } else if (type == &PyUnicode_Type) {
        return enter_str(obj, index, true) ? 1 : -1;
    } else if (type == &PyBytes_Type) {
        Py_ssize_t size = PyBytes_Size(obj);
        if (static_cast<uint64_t>(size) > kMaxCount) {
            overflow("cannot serialise a bytes value of 4 GiB or more");
            return -1;
        }
        index = graph.push_bytes(reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj)), static_cast<size_t>(size));
    } else {
        return 0;
    }
    remember(obj, index);
    return 1;
}

bool Walker::enter(PyRef value, uint32_t& index) {
    PyObject* obj = value.get();
    PyTypeObject* type = Py_TYPE(obj);
    FrameKind kind;
    format::Tag tag;
    if (type == &PyList_Type) {
        kind = FrameKind::List, tag = format::Tag::List;
    } else if (type == &PyDict_Type) {
        kind = FrameKind::Dict, tag = format::Tag::Dict;
    } else if (type == &PyTuple_Type) {
        kind = FrameKind::Tuple, tag = format::Tag::Tuple;
    } else if (type == &PySet_Type) {
        kind = FrameKind::Set, tag = format::Tag::Set;
    } else if (type == &PyFrozenSet_Type) {
        kind = FrameKind::Set, tag = format::Tag::FrozenSet;
    } else {
        if (int r = enter_simple(obj, 1, index)) return r > 0;
        if (!check_room_for_record()) return false;
        return enter_by_name(value, index);
    }
    // A container that only its parent and the walk refer to is on no cycle
    // and cannot be met again while no Python code runs: it needs no
    // identity entry until then (see python_starts).
    const bool unshared = !python_ran_ && Py_REFCNT(obj) <= 2;
    if (!unshared) {
        if (int r = enter_simple(obj, 1, index)) return r > 0;  // met before: a Ref
    }
    if (!check_room_for_record()) return false;
    const Py_ssize_t length = kind == FrameKind::List   ? PyList_Size(obj)
                              : kind == FrameKind::Dict  ? PyDict_Size(obj)
                              : kind == FrameKind::Tuple ? PyTuple_Size(obj)
                                                         : PySet_Size(obj);
    if (!enter_container(value, kind, tag, length, index, !unshared)) return false;
    if (unshared) unentered_.emplace_back(obj, index);
    return true;
}

bool Walker::enter_str(PyObject* value, uint32_t& index, bool shared) {
    // Only exact str objects reach this point and run no Python code.
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) return ensure_error(), false;
    if (static_cast<uint64_t>(size) > kMaxCount) return overflow("cannot serialise a str of 4 GiB or more");
    std::string_view text(utf8, static_cast<size_t>(size));
    if (graph.strings.size() >= kMaxCount && graph.find_string(text) == IndexTable::kMissing) {
        return overflow("cannot serialise more than 4294967295 distinct strings");
    }
    // A new table entry is a view into this str's UTF-8 form, so the str is
    // held until the blob is written: by `seen` when it is shared, else by
    // `keep_alive_`. Equal texts met later reuse the entry.
    const size_t known = graph.strings.size();
    index = graph.push_str(graph.intern_string(text));
    if (shared) {
        remember(value, index);
    } else if (graph.strings.size() != known) {
        keep_alive_.push_back(PyRef::borrow(value));
    }
    return true;
}

bool Walker::enter_bytes_sequence(PyObject* value, uint32_t& index) {
    // Anything else named bytes is read through the sequence protocol, since
    // a subclass may override it.
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) return ensure_error(), false;
    if (static_cast<uint64_t>(size) > kMaxCount) return overflow("cannot serialise a bytes value of 4 GiB or more");
    // Grown as items arrive: the length is only the object's word.
    std::vector<uint8_t> content;
    content.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 1 << 20)));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(value, i));
        if (!item) return ensure_error(), false;
        long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) return overflow("out of range integral type conversion attempted");
        content.push_back(static_cast<uint8_t>(v));
    }
    uint8_t* room = graph.push_bytes_inline(content.size());
    if (!content.empty()) std::memcpy(room, content.data(), content.size());
    index = graph.next_index() - 1;
    remember(value, index);
    return true;
}

bool Walker::enter_container(PyRef& value, FrameKind kind, format::Tag tag, Py_ssize_t length, uint32_t& index,
                             bool identity) {
    if (length < 0) return ensure_error(), false;
    if (static_cast<uint64_t>(length) > kMaxCount) {
        return overflow("cannot serialise a container of more than 4294967295 items");
    }
    uint64_t units = static_cast<uint64_t>(length) * (kind == FrameKind::Dict ? 2 : 1);
    Frame frame{};
    frame.kind = kind;
    if (kind == FrameKind::Set) {
        frame.iter = PyRef::steal(PyObject_GetIter(value.get()));
        if (!frame.iter) return ensure_error(), false;
    }
    // Reserve at most what fits a u32 count; more children go to `extra`.
    index = graph.begin_container(tag, static_cast<uint32_t>(std::min<uint64_t>(units, kMaxCount)), frame.room);
    if (identity) remember(value.get(), index);
    frame.length = length;
    frame.obj = std::move(value);
    stack_.push_back(std::move(frame));
    return true;
}

bool Walker::enter_by_name(PyRef& value, uint32_t& index) {
    // From here on, Python code may run (a metaclass's __name__, conversion
    // hooks, attribute lookups of dataclass fields).
    python_starts();
    PyObject* obj = value.get();
    if (!dataclass_types_.empty()) {
        // Later instances of a dataclass type skip the name and the test.
        auto known = dataclass_types_.find(Py_TYPE(obj));
        if (known != dataclass_types_.end()) return push_dataclass(value, known->second, index);
    }
    std::string name;
    if (!type_name_text(Py_TYPE(obj), name)) return false;

    if (name == "NoneType") {
        index = graph.push_none();
    } else if (name == "bool") {
        bool truth;
        if (PyBool_Check(obj)) {
            truth = obj == Py_True;
        } else {
            // Only NumPy's boolean scalar is accepted under this name.
            PyRef module = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names.module));
            if (!module) return ensure_error(), false;
            if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
                raise_conversion_error(obj, "PyBool");
                return false;
            }
            int t = PyObject_IsTrue(obj);
            if (t < 0) return ensure_error(), false;
            truth = t != 0;
        }
        index = graph.push_bool(truth);
    } else if (name == "int") {
        long long v = PyLong_AsLongLong(obj);
        if (v == -1 && PyErr_Occurred()) return false;
        index = graph.push_int(v);
    } else if (name == "float") {
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return false;
        index = graph.push_float(v);
    } else if (name == "str") {
        if (!PyUnicode_Check(obj)) {
            raise_conversion_error(obj, "PyString");
            return false;
        }
        return enter_str(obj, index, true);
    } else if (name == "bytes") {
        return enter_bytes_sequence(obj, index);
    } else if (name == "list") {
        if (!PyList_Check(obj)) return raise_conversion_error(obj, "PyList"), false;
        return enter_container(value, FrameKind::List, format::Tag::List, PyList_Size(obj), index, true);
    } else if (name == "tuple") {
        if (!PyTuple_Check(obj)) return raise_conversion_error(obj, "PyTuple"), false;
        return enter_container(value, FrameKind::Tuple, format::Tag::Tuple, PyTuple_Size(obj), index, true);
    } else if (name == "dict") {
        if (!PyDict_Check(obj)) return raise_conversion_error(obj, "PyDict"), false;
        return enter_container(value, FrameKind::Dict, format::Tag::Dict, PyDict_Size(obj), index, true);
    } else if (name == "set") {
        if (!PySet_Check(obj)) return raise_conversion_error(obj, "PySet"), false;
        return enter_container(value, FrameKind::Set, format::Tag::Set, PySet_Size(obj), index, true);
    } else if (name == "frozenset") {
        if (!PyFrozenSet_Check(obj)) return raise_conversion_error(obj, "PyFrozenSet"), false;
        return enter_container(value, FrameKind::Set, format::Tag::FrozenSet, PySet_Size(obj), index, true);
    } else {
        bool dataclass = false;
        // A class object is no instance, even when the class is a dataclass.
        if (!PyType_Check(obj) && !is_dataclass(obj, dataclass)) return false;
        if (!dataclass) {
            PyErr_Format(PyExc_TypeError, "Unsupported type: %s", name.c_str());
            return false;
        }
        return walk_dataclass(value, name, index);
    }
    remember(obj, index);
    return true;
}

// Python code about to run could hand out a new reference to a container
// captured without an identity entry; every such container is still alive
// (no Python code has run to drop one), so all are entered now.
void Walker::python_starts() {
    if (python_ran_) return;
    python_ran_ = true;
    for (const auto& [obj, index] : unentered_) remember(obj, index);
    unentered_.clear();
    unentered_.shrink_to_fit();
    resume_collector();
}

bool Walker::is_dataclass(PyObject* value, bool& result) {
    if (!is_dataclass_) {
        PyRef module = import_module(names.dataclasses);
        if (!module) return false;
        is_dataclass_ = PyRef::steal(PyObject_GetAttr(module.get(), names.is_dataclass));
        if (!is_dataclass_) return ensure_error(), false;
    }
    PyRef verdict = PyRef::steal(PyObject_CallFunctionObjArgs(is_dataclass_.get(), value, nullptr));
    if (!verdict) return ensure_error(), false;
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
    if (!fields_map) return ensure_error(), false;
    if (!PyDict_Check(fields_map.get())) return raise_conversion_error(fields_map.get(), "PyDict"), false;
    PyRef keys = PyRef::steal(PyDict_Keys(fields_map.get()));
    if (!keys) return ensure_error(), false;
    if (!field_kinds_.load()) return false;
    // Class variables and init-only variables hold no instance data.
    PyRef fields = PyRef::steal(PyList_New(0));
    if (!fields) return ensure_error(), false;
    const Py_ssize_t key_count = PyList_Size(keys.get());
    for (Py_ssize_t i = 0; i < key_count; ++i) {
        PyObject* key = PyList_GetItem(keys.get(), i);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
        if (!PyUnicode_AsUTF8AndSize(key, nullptr)) return ensure_error(), false;
        PyRef field = PyRef::borrow(PyDict_GetItemWithError(fields_map.get(), key));
        if (!field && PyErr_Occurred()) return false;
        if (field && field_kinds_.of(field.get()) != FieldKind::Field) continue;
        if (PyList_Append(fields.get(), key) < 0) return ensure_error(), false;
    }
    const Py_ssize_t count = PyList_Size(fields.get());
    if (static_cast<uint64_t>(count) > format::kMaxFields) {
        return overflow("cannot serialise a dataclass with more than 65535 fields");
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
            return overflow("cannot serialise more than 65536 dataclass types in one blob");
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
    if (!utf8) return ensure_error(), false;
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
    if (!first_label || !second_label) return ensure_error();
    const std::string stored(name);
    const std::string first = joined(registry.types[type_id].fields), second = joined(second_fields);
    PyErr_Format(PyExc_TypeError,
                 "two different dataclasses are stored under the name '%s' with different fields: %U (%s) and "
                 "%U (%s); give one of them another stored name with zelkor.register(cls, name=...)",
                 stored.c_str(), first_label.get(), first.c_str(), second_label.get(), second.c_str());
}

bool Walker::push_dataclass(PyRef& value, const DataclassType& type, uint32_t& index) {
    if (!check_room_for_record()) return false;
    const Py_ssize_t count = PyList_Size(type.fields.get());
    Frame frame{};
    frame.kind = FrameKind::Dataclass;
    index = graph.begin_dataclass(type.type_id, static_cast<uint16_t>(count), frame.room);
    remember(value.get(), index);
    frame.length = count;
    frame.fields = type.fields.copy();
    frame.obj = std::move(value);
    stack_.push_back(std::move(frame));
    return true;
}

// Captures the frame's children that need neither a frame nor Python code
// of their own, and stops at the first child that does (handed out in
// `child`, held strongly) or when the frame has no children left (`done`).
// Items read in place are only borrowed while no Python code can run.
bool Walker::next_child(Frame& f, PyRef& child, bool& done) {
    PyObject* obj = f.obj.get();
    uint32_t index;
    switch (f.kind) {
        case FrameKind::List:
        case FrameKind::Tuple: {
            // A list that shrinks is cut short; one that grows is not
            // followed. Its length can only change while Python code runs,
            // which happens only outside this loop.
            const bool list = f.kind == FrameKind::List;
            const Py_ssize_t end = list ? std::min(f.length, PyList_Size(obj)) : f.length;
            for (;;) {
                if (f.pos >= end) {
                    done = true;
                    return true;
                }
                PyObject* item = list ? PyList_GetItem(obj, f.pos++) : PyTuple_GetItem(obj, f.pos++);
                const int r = enter_simple(item, 0, index);
                if (r < 0) return false;
                if (r == 0) {
                    child = PyRef::borrow(item);
                    return true;
                }
                add_child(f, index);
            }
        }
        case FrameKind::Dict:
            if (f.pending) {
                child = std::move(f.pending);
                return true;
            }
            // The size is compared before the first entry read here; the
            // dict cannot change inside this loop, where no Python code runs.
            if (PyDict_Size(obj) != f.length) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
            for (;;) {
                PyObject *key, *value;
                if (!PyDict_Next(obj, &f.pos, &key, &value)) {
                    done = true;
                    return true;
                }
                if (f.yielded++ >= f.length) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                    return false;
                }
                int r = enter_simple(key, 0, index);
                if (r < 0) return false;
                if (r == 0) {
                    f.pending = PyRef::borrow(value);
                    child = PyRef::borrow(key);
                    return true;
                }
                add_child(f, index);
                r = enter_simple(value, 0, index);
                if (r < 0) return false;
                if (r == 0) {
                    child = PyRef::borrow(value);
                    return true;
                }
                add_child(f, index);
            }
        case FrameKind::Set:
        case FrameKind::Dataclass:
            for (;;) {
                PyRef item;
                if (f.kind == FrameKind::Set) {
                    item = PyRef::steal(PyIter_Next(f.iter.get()));
                    if (!item) {
                        if (PyErr_Occurred()) return false;
                        done = true;
                        return true;
                    }
                    ++f.pos;  // members handed out, for error paths
                } else {
                    if (f.pos >= f.length) {
                        done = true;
                        return true;
                    }
                    item = PyRef::steal(PyObject_GetAttr(obj, PyList_GetItem(f.fields.get(), f.pos++)));
                    if (!item) return ensure_error(), false;
                }
                const int r = enter_simple(item.get(), 1, index);
                if (r < 0) return false;
                if (r == 0) {
                    child = std::move(item);
                    return true;
                }
                add_child(f, index);
            }
    }
    return true;
}

bool Walker::finish(Frame& f) {
    if (f.kind == FrameKind::Dataclass) return true;
    const uint64_t units = static_cast<uint64_t>(f.room.filled) + f.extra.size();
    const uint64_t count = f.kind == FrameKind::Dict ? units / 2 : units;
    if (count > kMaxCount) return overflow("cannot serialise a container of more than 4294967295 items");
    graph.end_container(f.room, f.extra, static_cast<uint32_t>(count));
    return true;
}

}  // namespace zelkor::graph
