// Small lists, tuples and dicts captured without frames: the lane of a
// small container, and of the small containers that only it refers to.
#include "format/primitives.h"
#include "graph/walker.h"
#include "graph/walker_simple.h"

namespace zelkor::graph {

using format::kMaxCount;

// Dicts of this many entries or more are taken by wide_dict().
constexpr Py_ssize_t kWideDict = 8;

// A small list, tuple or dict is captured here, without a frame, when its
// items need none either; small containers among them that only it refers
// to are captured by enter_nested(). `held` is as for enter_simple(). Its
// index is added to `parent` at once, as walk_all() would. Returns 1 when
// it is captured, 0 when it is not such a container (nothing done), -1 on
// error, and 2 when an item needs the general path: the container (and
// every nested one still open) then gets the frame it would have had at
// that point, `child` holds the item and `parent` may no longer be valid.
// An item that is itself a list, tuple or dict is taken on here, under the
// frame just made; 3 when the last one taken was captured (frames were
// made, `child` is empty, and `parent` may no longer be valid).
int Walker::enter_small(Frame& parent, PyObject* value, Py_ssize_t held, PyRef& child) {
    Frame* into = &parent;
    for (bool first = true;; first = false, held = 0) {
        PyObject* next = nullptr;
        const int r = small_step(*into, value, held, child, next);
        if (!next) {
            // One it does not take goes to walk_all(), as it would have.
            if (first) return r;
            if (r == 0) {
                child = PyRef::borrow(value);
                small_refused_ = true;  // so that walk_all() enters it at once
                return 2;
            }
            return r == 1 ? 3 : r;
        }
        // The item that needs the general path is a list, tuple or dict,
        // read in place: it is taken here, as walk_all() would take it,
        // under the frame just made.
        into = &stack_.back();
        value = next;
    }
}

// One container of enter_small(). When the item that needs the general
// path is a list, tuple or dict, it is left in `next` instead of `child`.
ZELKOR_ALWAYS_INLINE int Walker::small_step(Frame& parent, PyObject* value, Py_ssize_t held, PyRef& child,
                                            PyObject*& next) {
    PyTypeObject* type = Py_TYPE(value);
    FrameKind kind;
    format::Tag tag;
    Py_ssize_t length;
    if (type == &PyDict_Type) {
        kind = FrameKind::Dict, tag = format::Tag::Dict, length = PyDict_Size(value);
    } else if (type == &PyList_Type) {
        kind = FrameKind::List, tag = format::Tag::List, length = PyList_Size(value);
    } else if (type == &PyTuple_Type) {
        kind = FrameKind::Tuple, tag = format::Tag::Tuple, length = PyTuple_Size(value);
    } else {
        return 0;
    }
    // Longer ones take the general path, where runs of numbers are taken.
    if (length < 0 || length > kSmallContainer || graph.record_count >= kMaxCount) return 0;
    // As in enter(): one that only its parent (and the caller) refers to
    // needs no identity entry while no Python code has run.
    const bool unshared = !python_ran_ && Py_REFCNT(value) <= 1 + held;
    uint32_t index;
    if (!unshared && !seen.known_absent(value)) {
        index = seen.find(value);
        if (index != SeenTable::kMissing) {
            add_child(parent, graph.push_ref(index));
            return 1;
        }
    }
    const bool dict = kind == FrameKind::Dict;
    Reservation room;
    index = graph.begin_container(tag, static_cast<uint32_t>(length * (dict ? 2 : 1)), room);
    if (unshared) {
        note_unentered(value, index);
    } else {
        remember(value, index);
    }
    add_child(parent, index);
    // No Python code runs in these loops, so the container cannot change.
    Py_ssize_t pos = 0, yielded = 0;
    PyObject* stop = nullptr;     // the item that needs the general path
    PyObject* pending = nullptr;  // its value, when `stop` is a key
    bool nested = false;          // whether `stop` lies in nested containers left open
    int r = 1;
    uint32_t item;
    if (dict && length >= kWideDict) {
        const WideDict wide = wide_dict(value, length, room);
        r = wide.r, pos = wide.pos, yielded = wide.yielded;
        stop = wide.stop, pending = wide.pending, nested = wide.nested;
    } else if (dict) {
        PyObject *key, *entry;
        // Its last entry ends the loop: no call is made to learn that.
        while (yielded < length && PyDict_Next(value, &pos, &key, &entry)) {
            if ((r = enter_key(key, key_memo_[key_memo_slot(length, yielded++)], item)) <= 0) {
                stop = key, pending = entry;
                break;
            }
            graph.fill_child(room, item);
            if ((r = enter_simple(entry, 0, item, true)) == 2) {
                if ((r = enter_nested(entry, room)) == 1) continue;
                nested = r != 0;
            }
            if (r <= 0 || nested) {
                stop = entry;
                break;
            }
            graph.fill_child(room, item);
        }
    } else {
        const bool list = kind == FrameKind::List;
        while (pos < length) {
            PyObject* x = list ? PyList_GetItem(value, pos) : PyTuple_GetItem(value, pos);
            ++pos;
            if ((r = enter_simple(x, 0, item, true)) == 2) {
                if ((r = enter_nested(x, room)) == 1) continue;
                nested = r != 0;
            }
            if (r <= 0 || nested) {
                stop = x;
                break;
            }
            graph.fill_child(room, item);
        }
    }
    if (!stop) {
        graph.end_container(room, {}, static_cast<uint32_t>(length));
        return 1;
    }
    // The frame the general path would have now, also for the note that
    // says where an error happened.
    stack_.emplace_back(kind, value, room, length, pos, yielded);
    if (nested) {
        push_lane_frames();
        stop = lane_stop_, pending = lane_pending_;
    }
    if (r < 0) return -1;
    if (pending) stack_.back().pending = PyRef::borrow(pending);
    if (small_kind(stop)) {
        next = stop;
    } else {
        child = PyRef::borrow(stop);
    }
    return 2;
}

// The entries of a dict of kWideDict or more entries, for enter_small():
// their scalars are written through a LaneOut. Returns the state of
// enter_small()'s loop at its end.
Walker::WideDict Walker::wide_dict(PyObject* value, Py_ssize_t length, Reservation& room) {
    PyObject *key, *entry;
    Py_ssize_t pos = 0, yielded = 0;
    PyObject* stop = nullptr;
    PyObject* pending = nullptr;
    bool nested = false;
    uint32_t item;
    int r = 1;
    LaneOut w;
    while (yielded < length) {
        // Keys and values that are scalars are written through `w`.
        if (!w.out) open_out(w, room, length - yielded);
        if (!PyDict_Next(value, &pos, &key, &entry)) break;
        KeyMemo& memo = key_memo_[key_memo_slot(length, yielded++)];
        int s = 0;
        if (w.out) {
            if (key == memo.key) {
                // As enter_simple() would: a Ref to its first record.
                w.ref(memo.first);
                s = 1;
            } else {
                const uint8_t* start = w.out;
                // A key written as a Ref was met before and is held.
                if ((s = take_scalar(key, w, false)) == 1 && w.out - start == 5 &&
                    *start == format::tag_byte(format::Tag::Ref)) {
                    memo = KeyMemo{key, format::load_u32(start + 1)};
                }
            }
            if (s != 1) close_out(w, room);
        }
        if (s == 0) {
            if (key == memo.key && graph.record_count < kMaxCount) {
                graph.fill_child(room, graph.push_ref(memo.first));
                s = 1;
            } else {
                const size_t start = graph.records.size();
                r = enter_simple(key, 0, item);
                if (r > 0) {
                    graph.fill_child(room, item);
                    uint32_t first;
                    if (graph.ref_at(start, first)) memo = KeyMemo{key, first};
                }
                s = r;
            }
        }
        if (s <= 0) {
            r = s, stop = key, pending = entry;
            break;
        }
        s = 0;
        if (w.out) {
            if ((s = take_scalar(entry, w, true)) == 1) continue;
            close_out(w, room);
        }
        if (s == 0) s = enter_simple(entry, 0, item, true);
        if (s == 2) {
            if ((s = enter_nested(entry, room)) == 1) continue;
            nested = s != 0;
        }
        if ((r = s) <= 0 || nested) {
            stop = entry;
            break;
        }
        graph.fill_child(room, item);
    }
    if (w.out) close_out(w, room);
    return WideDict{pos, yielded, stop, pending, r, nested};
}

// Opens a small list, tuple or dict met in the lane as `level`: its record
// is begun and its index returned in `index` (2), or it was captured
// before and a Ref to it is written instead (1). 0 when it is not such a
// container or is too long (nothing done).
ZELKOR_ALWAYS_INLINE int Walker::open_small(PyObject* value, LaneLevel& level, uint32_t& index) {
    PyTypeObject* type = Py_TYPE(value);
    format::Tag tag;
    Py_ssize_t length;
    if (type == &PyDict_Type) {
        level.kind = FrameKind::Dict, tag = format::Tag::Dict, length = PyDict_Size(value);
    } else if (type == &PyList_Type) {
        level.kind = FrameKind::List, tag = format::Tag::List, length = PyList_Size(value);
    } else if (type == &PyTuple_Type) {
        level.kind = FrameKind::Tuple, tag = format::Tag::Tuple, length = PyTuple_Size(value);
    } else {
        return 0;
    }
    if (graph.record_count >= kMaxCount) return 0;  // the general path refuses it
    // As in enter_small(), for an item read in place.
    const bool unshared = !python_ran_ && Py_REFCNT(value) <= 1;
    if (!unshared && !seen.known_absent(value)) {
        index = seen.find(value);
        if (index != SeenTable::kMissing) {
            index = graph.push_ref(index);
            return 1;
        }
    }
    if (length < 0 || length > kSmallContainer) return 0;
    const bool dict = level.kind == FrameKind::Dict;
    index = graph.begin_container(tag, static_cast<uint32_t>(length * (dict ? 2 : 1)), level.room);
    if (unshared) {
        note_unentered(value, index);
    } else {
        remember(value, index);
    }
    level.obj = value;
    level.length = length;
    level.pos = 0;
    level.yielded = 0;
    return 2;
}

// Captures a small list, tuple or dict met as an item in enter_small(), and
// the small ones within it, with the lane's own stack of levels; its index
// goes to `parent`. Returns 1 when it is captured, 0 when it is not such a
// container (nothing done), and, when an item needs the general path (2)
// or raised (-1), leaves the levels still open in `lane_` up to
// `lane_depth_` and the item in `lane_stop_` (its value in
// `lane_pending_` when it is a key), for push_lane_frames().
int Walker::enter_nested(PyObject* value, Reservation& parent) {
    uint32_t item;
    int r = open_small(value, lane_[0], item);
    if (r == 0) return 0;
    graph.fill_child(parent, item);
    if (r == 1) return 1;
    size_t depth = 0;
    PyObject* stop = nullptr;
    PyObject* pending = nullptr;
    for (;;) {
        LaneLevel& level = lane_[depth];
        bool deeper = false;
        if (level.kind == FrameKind::Dict) {
            PyObject *key, *entry;
            while (level.yielded < level.length && PyDict_Next(level.obj, &level.pos, &key, &entry)) {
                if ((r = enter_key(key, key_memo_[key_memo_slot(level.length, level.yielded++)], item)) <= 0) {
                    stop = key, pending = entry;
                    break;
                }
                graph.fill_child(level.room, item);
                if ((r = enter_simple(entry, 0, item, true)) == 2) {
                    r = depth + 1 < kLaneDepth ? open_small(entry, lane_[depth + 1], item) : 0;
                    deeper = r == 2;
                }
                if (r <= 0) {
                    stop = entry;
                    break;
                }
                graph.fill_child(level.room, item);
                if (deeper) break;
            }
        } else {
            const bool list = level.kind == FrameKind::List;
            while (level.pos < level.length) {
                PyObject* x = list ? PyList_GetItem(level.obj, level.pos) : PyTuple_GetItem(level.obj, level.pos);
                ++level.pos;
                if ((r = enter_simple(x, 0, item, true)) == 2) {
                    r = depth + 1 < kLaneDepth ? open_small(x, lane_[depth + 1], item) : 0;
                    deeper = r == 2;
                }
                if (r <= 0) {
                    stop = x;
                    break;
                }
                graph.fill_child(level.room, item);
                if (deeper) break;
            }
        }
        if (stop) break;
        if (deeper) {
            ++depth;
            continue;
        }
        graph.end_container(level.room, {}, static_cast<uint32_t>(level.length));
        if (depth == 0) return 1;
        --depth;
    }
    lane_depth_ = depth;
    lane_stop_ = stop;
    lane_pending_ = pending;
    return r < 0 ? -1 : 2;
}

// The frames the general path would have for the levels enter_nested()
// left open, outermost first.
void Walker::push_lane_frames() {
    for (size_t d = 0; d <= lane_depth_; ++d) {
        const LaneLevel& level = lane_[d];
        stack_.emplace_back(level.kind, level.obj, level.room, level.length, level.pos, level.yielded);
    }
}

}  // namespace zelkor::graph
