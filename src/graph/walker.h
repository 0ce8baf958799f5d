// Captures one Python value into an ObjectGraph and a TypeRegistry: an
// explicit stack of frames, one per container whose children are being
// captured. walker.cpp holds the walk and the built-in kinds,
// walker_dataclass.cpp dataclass instances, walker_paths.cpp the notes
// that say where a refused value sits.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/object_graph.h"
#include "graph/seen_table.h"
#include "graph/type_registry.h"
#include "interpreter.h"

namespace zelkor::graph {

class Walker {
public:
    Walker() = default;
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;
    ~Walker() { resume_collector(); }

    ObjectGraph graph;
    TypeRegistry registry;
    SeenTable seen;

    // Captures `root` (which becomes record 0). Returns false with a Python
    // exception set when the walk fails.
    bool walk(PyObject* root);

private:
    bool walk_all(PyObject* root);
    // After a failed walk: notes on the exception where the refused value
    // sits, e.g. "at root['users'][3].birthday" (interpreters with
    // exception notes only). Built from the frames left on the stack.
    void note_path();
    std::string path_text();

    enum class FrameKind : uint8_t { List, Tuple, Dict, Set, Dataclass };

    // A container whose children are being captured.
    struct Frame {
        Frame() = default;
        // The frame of a lane's container, `at` its children so far.
        Frame(FrameKind k, PyObject* container, const Reservation& at, Py_ssize_t len, Py_ssize_t p, Py_ssize_t y)
            : kind(k), obj(PyRef::borrow(container)), room(at), pos(p), length(len), yielded(y) {}
        FrameKind kind;
        PyRef obj;
        Reservation room;
        std::vector<uint32_t> extra;  // children beyond the reserved room
        Py_ssize_t pos = 0;
        Py_ssize_t length = 0;   // starting length (list, tuple, dict) or field count
        Py_ssize_t yielded = 0;  // dict entries read so far
        PyRef pending;           // dict value whose key is being captured
        PyRef iter;              // set iterator
        PyRef fields;            // dataclass field names (a list of str)
    };

    // Enters one value: appends its record (or a Ref) and, for a container,
    // pushes a frame for its children. False on error.
    bool enter(PyRef value, uint32_t& index);
    int enter_simple(PyObject* obj, Py_ssize_t held, uint32_t& index, bool small_containers = false);
    void add_child(Frame& f, uint32_t index) {
        if (!graph.put_child(f.room, index)) f.extra.push_back(index);
    }
    bool enter_by_name(PyRef& value, uint32_t& index);
    bool enter_container(PyRef& value, FrameKind kind, format::Tag tag, Py_ssize_t length, uint32_t& index,
                         bool identity);
    bool enter_str(PyObject* value, uint32_t& index, bool shared);
    bool enter_bytes_sequence(PyObject* value, uint32_t& index);
    // A dataclass type met in this walk, with what its later instances need.
    struct DataclassType {
        PyRef type;    // held, so that its address stays its own
        PyRef fields;  // the stored field names (a list of str)
        uint16_t type_id = 0;
    };
    bool walk_dataclass(PyRef& value, std::string_view type_name, uint32_t& index);
    bool push_dataclass(PyRef& value, const DataclassType& type, uint32_t& index);
    bool registered_name(PyTypeObject* type, std::string& name);
    void raise_name_clash(std::string_view name, uint32_t type_id, PyTypeObject* type, PyObject* fields);
    bool is_dataclass(PyObject* value, bool& result);
    bool next_child(Frame& frame, PyRef& child, bool& done);
    int enter_small(Frame& parent, PyObject* value, Py_ssize_t held, PyRef& child);
    int small_step(Frame& parent, PyObject* value, Py_ssize_t held, PyRef& child, PyObject*& next);
    // The record bytes a lane loop writes while its items are scalars: the
    // cursor, the next child slot and the next record number, held by the
    // loop instead of the graph (where each byte stored could alias them),
    // with room made once for the most its items can take. `out` is null
    // while the graph's own state is current.
    struct LaneOut {
        uint8_t* out = nullptr;
        uint8_t* slot = nullptr;
        uint32_t next = 0;
        void tagged(format::Tag tag, uint32_t v) {
            *out = format::tag_byte(tag);
            out = format::write_u32(out + 1, v);
        }
        void ref(uint32_t target) {
            tagged(format::Tag::Ref, target);
            child();
        }
        void child() { slot = format::write_u32(slot, next++); }
    };
    // Where enter_small()'s loop over a dict's entries ended.
    struct WideDict {
        Py_ssize_t pos, yielded;
        PyObject* stop;
        PyObject* pending;
        int r;
        bool nested;
    };
    WideDict wide_dict(PyObject* value, Py_ssize_t length, Reservation& room);
    void open_out(LaneOut& w, const Reservation& room, Py_ssize_t entries);
    void close_out(LaneOut& w, Reservation& room);
    int take_scalar(PyObject* obj, LaneOut& w, bool small_containers);
    bool str_through(PyObject* obj, LaneOut& w, bool shared);
    // A small container open in enter_nested(): what its frame would hold.
    struct LaneLevel {
        PyObject* obj;
        Reservation room;
        Py_ssize_t length;
        Py_ssize_t pos;
        Py_ssize_t yielded;
        FrameKind kind;
    };
    static constexpr size_t kLaneDepth = 8;
    LaneLevel lane_[kLaneDepth];
    size_t lane_depth_ = 0;
    PyObject* lane_stop_ = nullptr;
    PyObject* lane_pending_ = nullptr;
    int open_small(PyObject* value, LaneLevel& level, uint32_t& index);
    int enter_nested(PyObject* value, Reservation& parent);
    void push_lane_frames();
    bool small_refused_ = false;  // the child next_child() handed out was refused by enter_small()
    // The keys of the last small dicts, by length and position: a key met
    // again there (dicts of one shape) is known to be in `seen`, which holds
    // it, so its Ref is written without a lookup. Dicts of different lengths
    // (an inner one met in each outer one) mostly keep apart.
    struct KeyMemo {
        PyObject* key = nullptr;
        uint32_t first = 0;
    };
    static constexpr size_t kKeyMemos = 64;
    static size_t key_memo_slot(Py_ssize_t length, Py_ssize_t position) {
        return static_cast<size_t>(length * 7 + position) & (kKeyMemos - 1);
    }
    KeyMemo key_memo_[kKeyMemos];
    int enter_key(PyObject* key, KeyMemo& memo, uint32_t& index);
    bool capture_numbers(Frame& frame, Py_ssize_t end);
    bool finish(Frame& frame);
    bool check_room_for_record();
    void remember(PyObject* obj, uint32_t index) { seen.insert(obj, index); }

    std::vector<Frame> stack_;
    // Unshared str objects whose UTF-8 the string table points into.
    std::vector<PyRef> keep_alive_;
    uint32_t first_none_ = SeenTable::kMissing;
    uint32_t first_true_ = SeenTable::kMissing;
    uint32_t first_false_ = SeenTable::kMissing;
    PyRef is_dataclass_;  // dataclasses.is_dataclass, looked up once per walk
    FieldKinds field_kinds_;
    std::unordered_map<PyTypeObject*, DataclassType> dataclass_types_;
    PyRef registered_names_;  // registered class -> stored name, read once per walk
    bool registered_names_read_ = false;
    bool python_ran_ = false;
    // Containers captured without an identity entry, while no Python code
    // ran: the address and record index of each, in a buffer kept between
    // captures (up to 4 MiB), so that a large capture neither grows nor
    // copies it afresh.
    static KeptBlock kept_unentered_;
    static constexpr size_t kUnenteredEntry = sizeof(PyObject*) + 4;
    ByteBuffer unentered_{kept_unentered_};
    void note_unentered(PyObject* obj, uint32_t index) {
        uint8_t* p = unentered_.extend(kUnenteredEntry);
        std::memcpy(p, &obj, sizeof obj);
        std::memcpy(p + sizeof obj, &index, 4);
    }
    void python_starts();
    // Until Python code first runs, the cyclic collector is paused: on
    // interpreters where it runs inside allocations, a finaliser or weakref
    // callback could otherwise run unseen, drop a container captured without
    // an identity entry and let a new object take its address.
    bool collector_paused_ = false;
    void pause_collector() {
        if (!collector_paused_ && PyGC_IsEnabled()) collector_paused_ = (PyGC_Disable(), true);
    }
    void resume_collector() {
        if (collector_paused_) PyGC_Enable();
        collector_paused_ = false;
    }
};

}  // namespace zelkor::graph
