#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "format/primitives.h"
#include "graph/walker.h"
#include "graph/walker_simple.h"

namespace zelkor::graph {

using format::kMaxCount;

namespace {

// Runs of numbers in a list or tuple: tried where this many items are
// left, taken this many at a time.
constexpr Py_ssize_t kShortestRun = 4;
constexpr uint64_t kRunChunk = 4096;

// Whether the first item is a float or an int.
ZELKOR_ALWAYS_INLINE bool number_run_starts(PyObject* sequence, bool list) {
    PyObject* item = list ? PyList_GetItem(sequence, 0) : PyTuple_GetItem(sequence, 0);
    const PyTypeObject* type = Py_TYPE(item);
    return type == &PyFloat_Type || type == &PyLong_Type;
}

}  // namespace

// ---------------------------------------------------------------- Walker

KeptBlock Walker::kept_unentered_{size_t{4} << 20};

bool Walker::check_room_for_record() {
    if (graph.record_count >= kMaxCount) {
        return raise_overflow("cannot serialise more than 4294967295 objects in one blob");
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
        if (!child) continue;  // the frames it made come next
        for (;;) {
            // Entering may push a frame, so the parent is found again after.
            size_t parent = stack_.size() - 1;
            PyRef deeper;
            const bool refused = small_refused_;
            small_refused_ = false;
            const int r = refused ? 0 : enter_small(stack_[parent], child.get(), 1, deeper);
            if (r < 0) return false;
            if (r == 2) {
                child = std::move(deeper);  // for the frame it pushed
                continue;
            }
            if (r == 0) {
                if (!enter(std::move(child), index)) return false;
                add_child(stack_[parent], index);
            }
            break;
        }
    }
    return true;
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
    const Py_ssize_t length = kind == FrameKind::List    ? PyList_Size(obj)
                              : kind == FrameKind::Dict  ? PyDict_Size(obj)
                              : kind == FrameKind::Tuple ? PyTuple_Size(obj)
                                                         : PySet_Size(obj);
    if (!enter_container(value, kind, tag, length, index, !unshared)) return false;
    if (unshared) note_unentered(obj, index);
    return true;
}

bool Walker::enter_str(PyObject* value, uint32_t& index, bool shared) {
    // Only exact str objects reach this point and run no Python code.
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) return false;
    if (static_cast<uint64_t>(size) > kMaxCount) return raise_overflow("cannot serialise a str of 4 GiB or more");
    std::string_view text(utf8, static_cast<size_t>(size));
    if (graph.string_count() >= kMaxCount && graph.find_string(text) == IndexTable::kMissing) {
        return raise_overflow("cannot serialise more than 4294967295 distinct strings");
    }
    // A new table entry is a copy of the text, or a view into this str's
    // UTF-8 form when it is long: the str is then held until the blob is
    // written, by `seen` when it is shared, else by `keep_alive_`. Equal
    // texts met later reuse the entry.
    const size_t known = graph.string_count();
    index = graph.push_str(graph.intern_string(text));
    if (shared) {
        remember(value, index);
    } else if (text.size() > ObjectGraph::kInlineBytesLimit && graph.string_count() != known) {
        keep_alive_.push_back(PyRef::borrow(value));
    }
    return true;
}

bool Walker::enter_bytes_sequence(PyObject* value, uint32_t& index) {
    // Anything else named bytes is read through the sequence protocol, since
    // a subclass may override it.
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) return false;
    if (static_cast<uint64_t>(size) > kMaxCount)
        return raise_overflow("cannot serialise a bytes value of 4 GiB or more");
    // Grown as items arrive: the length is only the object's word.
    std::vector<uint8_t> content;
    content.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 1 << 20)));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(value, i));
        if (!item) return false;
        long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) return raise_overflow("out of range integral type conversion attempted");
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
    if (length < 0) return false;
    if (static_cast<uint64_t>(length) > kMaxCount) {
        return raise_overflow("cannot serialise a container of more than 4294967295 items");
    }
    uint64_t units = static_cast<uint64_t>(length) * (kind == FrameKind::Dict ? 2 : 1);
    PyRef iter;
    if (kind == FrameKind::Set) {
        iter = PyRef::steal(PyObject_GetIter(value.get()));
        if (!iter) return false;
    }
    // The frame is made in place: containers are most of what a walk pushes.
    Frame& frame = stack_.emplace_back();
    frame.kind = kind;
    frame.iter = std::move(iter);
    // Reserve at most what fits a u32 count; more children go to `extra`.
    index = graph.begin_container(tag, static_cast<uint32_t>(std::min<uint64_t>(units, kMaxCount)), frame.room);
    if (identity) remember(value.get(), index);
    frame.length = length;
    frame.obj = std::move(value);
    return true;
}

bool Walker::push_dataclass(PyRef& value, const DataclassType& type, uint32_t& index) {
    if (!check_room_for_record()) return false;
    const Py_ssize_t count = PyList_Size(type.fields.get());
    Frame& frame = stack_.emplace_back();
    frame.kind = FrameKind::Dataclass;
    index = graph.begin_dataclass(type.type_id, static_cast<uint16_t>(count), frame.room);
    remember(value.get(), index);
    frame.length = count;
    frame.fields = type.fields.copy();
    frame.obj = std::move(value);
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
            if (!module) return false;
            if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
                raise_conversion_error(obj, "PyBool");
                return false;
            }
            int t = PyObject_IsTrue(obj);
            if (t < 0) return false;
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
    for (size_t at = 0; at < unentered_.size(); at += kUnenteredEntry) {
        PyObject* obj;
        uint32_t index;
        std::memcpy(&obj, unentered_.data() + at, sizeof obj);
        std::memcpy(&index, unentered_.data() + at + sizeof obj, 4);
        remember(obj, index);
    }
    unentered_.shrink_to(0);
    resume_collector();
}

// Captures the frame's children that need neither a frame nor Python code
// of their own, and stops at the first child that does (handed out in
// `child`, held strongly) or when the frame has no children left (`done`);
// or with neither, when the lane of a small container made frames of its
// own (see enter_small()), which come next. Items read in place are only
// borrowed while no Python code can run.
ZELKOR_ALWAYS_INLINE bool Walker::next_child(Frame& f, PyRef& child, bool& done) {
    PyObject* obj = f.obj.get();
    uint32_t index;
    switch (f.kind) {
        case FrameKind::List:
        case FrameKind::Tuple: {
            // A list that shrinks is cut short; one that grows is not
            // followed. Its length can only change while Python code runs,
            // which happens only outside this loop.
            const bool list = f.kind == FrameKind::List;
            const Py_ssize_t end = list && python_ran_ ? std::min(f.length, PyList_Size(obj)) : f.length;
            // Items that start with a number are first taken as a run.
            if (f.pos == 0 && end >= kShortestRun && number_run_starts(obj, list) && !capture_numbers(f, end)) {
                return false;
            }
            // The position is held here, and stored in the frame before
            // anything that may read it (a lane's frames, an error's note);
            // the items are read through the one accessor their kind needs.
            PyObject* (*const item_at)(PyObject*, Py_ssize_t) = list ? PyList_GetItem : PyTuple_GetItem;
            for (Py_ssize_t pos = f.pos;;) {
                if (pos >= end) {
                    f.pos = pos;
                    done = true;
                    return true;
                }
                PyObject* item = item_at(obj, pos);
                ++pos;
                const int r = enter_simple(item, 0, index, true);
                if (r != 1) {
                    f.pos = pos;
                    if (r < 0) return false;
                    const int s = r == 2 || small_kind(item) ? enter_small(f, item, 0, child) : 0;
                    if (s == 1) continue;
                    if (s == 0) child = PyRef::borrow(item), small_refused_ = true;
                    return s >= 0;  // on 2 and 3, `f` may be gone
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
            if (python_ran_ && PyDict_Size(obj) != f.length) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
            for (;;) {
                PyObject *key, *value;
                // While no Python code has run, the dict is as it was when
                // its frame was made: it ends after as many entries.
                if ((f.yielded == f.length && !python_ran_) || !PyDict_Next(obj, &f.pos, &key, &value)) {
                    done = true;
                    return true;
                }
                if (f.yielded++ >= f.length) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                    return false;
                }
                // The keys of a small dict go through the key memo, as in
                // enter_small().
                int r = f.length <= kSmallContainer
                            ? enter_key(key, key_memo_[key_memo_slot(f.length, f.yielded - 1)], index)
                            : enter_simple(key, 0, index);
                if (r < 0) return false;
                if (r == 0) {
                    f.pending = PyRef::borrow(value);
                    child = PyRef::borrow(key);
                    return true;
                }
                add_child(f, index);
                r = enter_simple(value, 0, index, true);
                if (r < 0) return false;
                if (r != 1) {
                    const int s = r == 2 || small_kind(value) ? enter_small(f, value, 0, child) : 0;
                    if (s == 1) continue;
                    if (s == 0) child = PyRef::borrow(value), small_refused_ = true;
                    return s >= 0;  // on 2 and 3, `f` may be gone
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
                    if (!item) return false;
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

// Captures the list or tuple items from f.pos on that are exact floats and
// ints, in a tight loop that keeps the record cursor local; stops at the
// first other item (left to the general path) or at `end`. A number that
// may be met again goes through the identity table as usual. False on error.
bool Walker::capture_numbers(Frame& f, Py_ssize_t end) {
    PyObject* obj = f.obj.get();
    const bool list = f.kind == FrameKind::List;
    while (f.pos < end) {
        // A chunk at a time: room for its records is made once, and the
        // child slots are those the reservation holds (never `extra`).
        const uint64_t limit = std::min<uint64_t>({static_cast<uint64_t>(end - f.pos), f.room.capacity - f.room.filled,
                                                   kMaxCount - graph.record_count, kRunChunk});
        const Py_ssize_t count = static_cast<Py_ssize_t>(limit);
        if (count == 0) return true;
        uint8_t* out = graph.number_room(static_cast<size_t>(count));
        uint8_t* slot = graph.next_child_slot(f.room);
        uint32_t index = graph.next_index();
        Py_ssize_t k = 0;
        PyObject* item = nullptr;
        for (; k < count; ++k) {
            item = list ? PyList_GetItem(obj, f.pos + k) : PyTuple_GetItem(obj, f.pos + k);
            PyTypeObject* type = Py_TYPE(item);
            if (Py_REFCNT(item) > 1) break;
            if (type == &PyFloat_Type) {
                out = ObjectGraph::write_float(out, PyFloat_AsDouble(item));
            } else if (type == &PyLong_Type) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
                if (overflow) break;  // the general path raises the error
                out = ObjectGraph::write_int(out, v);
            } else {
                break;
            }
            slot = format::write_u32(slot, index++);
        }
        graph.numbers_written(out, static_cast<uint32_t>(k));
        f.room.filled += static_cast<uint32_t>(k);
        f.pos += k;
        if (k == count) continue;
        // A number that may be met again (a shared one, or a small int the
        // interpreter caches) is looked up and the run goes on after it.
        const PyTypeObject* type = Py_TYPE(item);
        if ((type != &PyFloat_Type && type != &PyLong_Type) || Py_REFCNT(item) <= 1) return true;
        uint32_t entered;
        ++f.pos;  // handed out, as the note on an error expects
        const int r = enter_simple(item, 0, entered);
        if (r <= 0) {
            if (r == 0) --f.pos;  // left to the general path
            return r == 0;
        }
        add_child(f, entered);
    }
    return true;
}

bool Walker::finish(Frame& f) {
    if (f.kind == FrameKind::Dataclass) return true;
    const uint64_t units = static_cast<uint64_t>(f.room.filled) + f.extra.size();
    const uint64_t count = f.kind == FrameKind::Dict ? units / 2 : units;
    if (count > kMaxCount) return raise_overflow("cannot serialise a container of more than 4294967295 items");
    graph.end_container(f.room, f.extra, static_cast<uint32_t>(count));
    return true;
}

}  // namespace zelkor::graph
