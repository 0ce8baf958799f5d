// The walker's capture of values that need no frame, shared by the units
// of the walk (walker.cpp and walker_lane.cpp), so that each inlines it in
// its loops. Internal to the walker.
#pragma once

#include <Python.h>

#include <cstdint>

#include "format/primitives.h"
#include "graph/walker.h"

namespace zelkor::graph {

// Lists, tuples and dicts of at most this many items are first tried
// without a frame.
inline constexpr Py_ssize_t kSmallContainer = 32;

ZELKOR_ALWAYS_INLINE bool small_kind(PyObject* value) {
    const PyTypeObject* type = Py_TYPE(value);
    return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// The value of an exact int. PyLong_AsLongLong converts anything wider
// than one internal digit through the general byte-array path; the
// overflow-reporting form reads the digits in a short loop.
ZELKOR_ALWAYS_INLINE bool exact_int_value(PyObject* obj, long long& v) {
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v != -1 || (!overflow && !PyErr_Occurred())) return true;
    if (overflow) PyLong_AsLongLong(obj);  // raises the usual OverflowError
    return false;
}

// Values that need no frame and run no Python code: scalars of exact
// built-in types, and anything captured before. `held` is the number of
// references the caller holds besides its container's (0 for an item read
// in place, 1 for a new reference). Returns 1 when entered, 0 when the value
// needs the general path, -1 on error; with `small_containers`, 2 (nothing
// done) for a list, tuple or dict that only its container refers to, which
// the caller opens itself.
ZELKOR_ALWAYS_INLINE int Walker::enter_simple(PyObject* obj, Py_ssize_t held, uint32_t& index, bool small_containers) {
    if (graph.record_count >= format::kMaxCount) return 0;  // the general path refuses it
    PyTypeObject* type = Py_TYPE(obj);
    if (Py_REFCNT(obj) <= 1 + held) {
        // Nothing but its container refers to a str, float, int or small
        // bytes value like this, so it cannot be met again: it needs no
        // identity entry. This keeps the identity table to what can
        // actually be shared.
        if (type == &PyUnicode_Type) return enter_str(obj, index, false) ? 1 : -1;
        if (type == &PyFloat_Type) {
            index = graph.push_float(PyFloat_AsDouble(obj));
            return 1;
        }
        if (type == &PyLong_Type) {
            long long v;
            if (!exact_int_value(obj, v)) return -1;
            index = graph.push_int(v);
            return 1;
        }
        // A small bytes value is copied into the record bytes.
        if (type == &PyBytes_Type) {
            const Py_ssize_t size = PyBytes_Size(obj);
            if (size >= 0 && static_cast<size_t>(size) <= ObjectGraph::kInlineBytesLimit) {
                index = graph.push_bytes(reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj)),
                                         static_cast<size_t>(size));
                return 1;
            }
        }
        if (small_containers && small_kind(obj)) return 2;
    }
    // The singletons are met all the time; their first records are kept
    // apart from the identity table. An object of the exact type bool is
    // True or False.
    if (obj == Py_None || type == &PyBool_Type) {
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
    if (type == &PyUnicode_Type) {
        return enter_str(obj, index, true) ? 1 : -1;
    } else if (type == &PyLong_Type) {
        long long v;
        if (!exact_int_value(obj, v)) return -1;
        index = graph.push_int(v);
    } else if (type == &PyFloat_Type) {
        index = graph.push_float(PyFloat_AsDouble(obj));
    } else if (type == &PyBytes_Type) {
        Py_ssize_t size = PyBytes_Size(obj);
        if (static_cast<uint64_t>(size) > format::kMaxCount) {
            raise_overflow("cannot serialise a bytes value of 4 GiB or more");
            return -1;
        }
        index = graph.push_bytes(reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj)), static_cast<size_t>(size));
    } else {
        return 0;
    }
    remember(obj, index);
    return 1;
}

// The most record bytes a dict entry takes in a LaneOut: two Ints (tag and
// a varint of up to ten bytes each), the longest scalar record written there.
inline constexpr size_t kMaxEntryRecords = 2 * ObjectGraph::kMaxNumberRecord;

// Opens `w` for the next `entries` dict entries (two records each) of the
// container whose children go to `room`; left closed (null) when that many
// records could reach the count limit, so that the general path refuses it.
ZELKOR_ALWAYS_INLINE void Walker::open_out(LaneOut& w, const Reservation& room, Py_ssize_t entries) {
    const uint64_t n = static_cast<uint64_t>(entries);
    if (format::kMaxCount - graph.record_count <= 2 * n) return;
    w.out = graph.records.room(static_cast<size_t>(n) * kMaxEntryRecords);
    w.slot = graph.next_child_slot(room);
    w.next = static_cast<uint32_t>(graph.record_count);
}

// Hands what `w` wrote back to the graph and closes it.
ZELKOR_ALWAYS_INLINE void Walker::close_out(LaneOut& w, Reservation& room) {
    graph.records.set_end(w.out);
    room.filled = static_cast<uint32_t>((w.slot - graph.next_child_slot(room)) / 4) + room.filled;
    graph.record_count = w.next;
    w.out = nullptr;
}

// enter_str() for an item taken through `w`: the graph is brought up to
// `w` for it, and its Str record (which fits the room made) is passed over.
ZELKOR_ALWAYS_INLINE bool Walker::str_through(PyObject* obj, LaneOut& w, bool shared) {
    graph.records.set_end(w.out);
    graph.record_count = w.next;
    uint32_t index;
    if (!enter_str(obj, index, shared)) return false;
    w.out += 5;
    return true;
}

// A small dict's key, as enter_simple() enters it, through the key memo of
// its place: a key met there in the last dict of this shape is a Ref to its
// first record, written without a lookup, and a key written as a Ref (met
// before, and held) is remembered there.
ZELKOR_ALWAYS_INLINE int Walker::enter_key(PyObject* key, KeyMemo& memo, uint32_t& index) {
    if (key == memo.key && graph.record_count < format::kMaxCount) {
        index = graph.push_ref(memo.first);
        return 1;
    }
    const size_t start = graph.records.size();
    const int r = enter_simple(key, 0, index);
    uint32_t first;
    if (r > 0 && graph.ref_at(start, first)) memo = KeyMemo{key, first};
    return r;
}

// What enter_simple() does for an item read in place (`held` 0), for the
// scalars most items are, written through `w`: 1 when entered, -1 on
// error, 2 as enter_simple() with `small_containers`, 0 (nothing done)
// when the item takes enter_simple() itself.
ZELKOR_ALWAYS_INLINE int Walker::take_scalar(PyObject* obj, LaneOut& w, bool small_containers) {
    PyTypeObject* type = Py_TYPE(obj);
    long long v;
    if (Py_REFCNT(obj) <= 1) {
        if (type == &PyUnicode_Type) {
            if (!str_through(obj, w, false)) return -1;
        } else if (type == &PyFloat_Type) {
            w.out = ObjectGraph::write_float(w.out, PyFloat_AsDouble(obj));
        } else if (type == &PyLong_Type) {
            if (!exact_int_value(obj, v)) return -1;
            w.out = ObjectGraph::write_int(w.out, v);
        } else {
            return small_containers && small_kind(obj) ? 2 : 0;
        }
    } else if (obj == Py_None || type == &PyBool_Type) {
        uint32_t& first = obj == Py_None ? first_none_ : obj == Py_True ? first_true_ : first_false_;
        if (first != SeenTable::kMissing) return w.ref(first), 1;
        first = w.next;
        *w.out++ = format::tag_byte(obj == Py_None   ? format::Tag::None
                                    : obj == Py_True ? format::Tag::True
                                                     : format::Tag::False);
    } else if (const uint32_t first = seen.find(obj); first != SeenTable::kMissing) {
        return w.ref(first), 1;
    } else {
        if (type == &PyUnicode_Type) {
            if (!str_through(obj, w, true)) return -1;
        } else {
            if (type == &PyFloat_Type) {
                w.out = ObjectGraph::write_float(w.out, PyFloat_AsDouble(obj));
            } else if (type == &PyLong_Type) {
                if (!exact_int_value(obj, v)) return -1;
                w.out = ObjectGraph::write_int(w.out, v);
            } else {
                return 0;
            }
            remember(obj, w.next);
        }
    }
    w.child();
    return 1;
}

}  // namespace zelkor::graph
