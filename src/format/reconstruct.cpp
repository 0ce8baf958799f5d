#include "format/reconstruct.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/primitives.h"
#include "pyref.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ZELKOR_HAVE_MMAP 1
#endif

namespace zelkor::format {

namespace {

PyRef text_object(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

void raise_value_error(const std::string& message) {
    PyRef text = text_object(message);
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_invalid_reference(uint64_t index) {
    raise_value_error("Invalid reference: " + std::to_string(index));
}

bool is_version_key(PyObject* key) {
    return PyUnicode_Compare(key, names.version) == 0 || PyUnicode_Compare(key, names.legacy_version) == 0;
}

// Calls `fn(key, value)` for the items of a migrated field dict, in order,
// leaving out the version keys; every key must be a str. The items are held
// while `fn` runs, since hashing a key may run Python code that changes the
// dict.
template <class Fn>
bool for_each_field(PyObject* fields, Fn&& fn) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields, &pos, &key, &value)) {
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
        if (is_version_key(key)) continue;
        if (!fn(key, value)) return false;
    }
    return true;
}

// Calls `callable(*args, **kwargs)`; `args` is a new tuple built here.
PyRef call_with(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs = nullptr) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return tuple;
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SetItem(tuple.get(), i++, a);
    }
    PyRef result = PyRef::steal(PyObject_Call(callable, tuple.get(), kwargs));
    if (!result) ensure_error();
    return result;
}

// Imports the current module name, or the legacy one when that fails; only
// the legacy attempt's error reaches the caller.
PyRef import_with_legacy(PyObject* current, PyObject* legacy) {
    PyRef module = import_module(current);
    if (module) return module;
    PyErr_Clear();
    return import_module(legacy);
}

// Record index to the object built for it, holding one reference to each.
// Most records never get an entry, so a large table is taken from fresh
// zero pages (never written unless used) and only the entries made are
// visited when it is released.
class Memo {
public:
    explicit Memo(size_t n) : bytes_((n ? n : 1) * sizeof(PyObject*)) {
#ifdef ZELKOR_HAVE_MMAP
        if (bytes_ >= kMapThreshold) {
            void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            slots_ = static_cast<PyObject**>(p);
            mapped_ = true;
            return;
        }
#endif
        slots_ = static_cast<PyObject**>(std::calloc(1, bytes_));
        if (!slots_) throw std::bad_alloc();
    }
    Memo(const Memo&) = delete;
    Memo& operator=(const Memo&) = delete;
    ~Memo() {
        for (uint32_t i : filled_) Py_XDECREF(slots_[i]);
#ifdef ZELKOR_HAVE_MMAP
        if (mapped_) {
            munmap(slots_, bytes_);
            return;
        }
#endif
        std::free(slots_);
    }
    PyObject* get(uint32_t index) const { return slots_[index]; }
    // Enters or replaces the object for `index`, taking a new reference.
    void set(uint32_t index, PyObject* obj) {
        PyObject* old = slots_[index];
        if (!old) filled_.push_back(index);  // may throw: before any reference moves
        Py_INCREF(obj);
        slots_[index] = obj;
        Py_XDECREF(old);
    }

private:
    static constexpr size_t kMapThreshold = size_t{1} << 20;
    size_t bytes_;
    PyObject** slots_ = nullptr;
    bool mapped_ = false;
    std::vector<uint32_t> filled_;
};

// Size of a record (tag and payload) that decode has checked.
inline size_t record_size(const uint8_t* rec) {
    switch (rec[0]) {
        case kTagInt: {
            size_t i = 1;
            while (i < 10 && (rec[i] & 0x80)) ++i;
            return i + 1;
        }
        case kTagFloat:
            return 9;
        case kTagStr:
        case kTagRef:
            return 5;
        case kTagBytes:
            return 5 + static_cast<size_t>(load_u32(rec + 1));
        case kTagList:
        case kTagTuple:
        case kTagSet:
        case kTagFrozenSet:
            return 5 + 4 * static_cast<size_t>(load_u32(rec + 1));
        case kTagDict:
            return 5 + 8 * static_cast<size_t>(load_u32(rec + 1));
        case kTagDataclass:
            return 5 + 4 * static_cast<size_t>(load_u16(rec + 3));
        default:
            return 1;
    }
}

// What a stored value of a dataclass field becomes on load.
enum class FieldUse : uint8_t {
    Keyword,  // passed to the constructor
    Late,     // a field the constructor does not take (init=False): set afterwards
    Dropped,  // a class variable of the class (stored by older versions)
};

// Per-type Python objects made once per load: the type name and field names,
// and how the class the records get takes each stored field.
struct TypeObjects {
    PyRef name;
    std::vector<PyRef> fields;
    PyRef plan_class;             // the class `uses` was worked out for
    std::vector<FieldUse> uses;   // per stored field name; empty: all Keyword
    PyRef late, dropped;          // the class's names of each use (sets), or null
    // The class's __init__ needs an init-only variable, which no blob holds:
    // instances are made without it and get their stored fields set.
    bool without_init = false;
};

class Reconstructor {
public:
    explicit Reconstructor(const DecodedGraph& decoded)
        : g_(decoded), memo_(decoded.records.size()),
          type_objects_(decoded.types.types.size()),
          presize_lists_(!decoded.has_dataclass),
          placeholders_allowed_(!decoded.has_dataclass),
          continuation_budget_(64 * static_cast<uint64_t>(decoded.records.size()) + (1u << 20)),
          hash_budget_(64 * static_cast<uint64_t>(decoded.records.size()) + (uint64_t{1} << 28)),
          text_budget_(64 * static_cast<uint64_t>(decoded.size) + (uint64_t{1} << 26)),
          field_names_budget_(64 * static_cast<uint64_t>(decoded.records.size()) + (uint64_t{1} << 22)) {}

    ~Reconstructor() { stack_.clear(); }

    PyObject* run();

private:
    // Ready: `out` holds the object. Pushed: a frame now builds it.
    // Deferred: it is a tuple or frozenset still being built, and the
    // requesting slot will receive it when it is finished.
    // Parked: the requesting frames were set aside until it is finished.
    enum class Outcome { Error, Ready, Pushed, Deferred, Parked };

    // A list item or dict value waiting for a tuple or frozenset on a cycle.
    struct Fixup {
        PyRef container;
        PyRef key;             // dict: the key whose value is waiting
        Py_ssize_t index = 0;  // list: the position of the waiting item
        PyRef placeholder;     // what stands in the slot until then
    };

    struct Frame {
        uint32_t index = 0;
        uint8_t tag = 0;
        uint64_t count = 0;  // children (u32 units for a dict)
        uint64_t pos = 0;    // next child to request (not for tuple and frozenset)
        const uint8_t* children = nullptr;
        PyRef obj;   // list, dict or set being filled; dataclass: companion module
        PyRef key;   // dict key waiting for its value
        // Tuple and frozenset: items live in the first frame of the record
        // (the owner); a frame started on re-entry continues filling them.
        size_t owner = 0;
        uint32_t cursor = 0;  // owner only: items filled so far
        uint32_t previous_active = 0;
        std::vector<PyRef> items;  // tuple/frozenset items, dataclass field values
        std::vector<Fixup> fixups;  // owner only: slots to fill when finished
        // Position of the nearest frame at or below this one that is not a
        // tuple or frozenset (-1 if none).
        long nearest_other = -1;
        // Dataclass.
        uint16_t type_id = 0;
        PyRef field_names;  // the list handed to make_class
        PyRef cls;          // set when the class was made early for a shell
        PyRef shell;        // the instance handed out before its fields were complete
        // A tuple or frozenset frame brought back from a parked chain: the
        // chain's bottom frame records where its result goes (the parked
        // chain's id), and frames brought back on demand may not park again.
        size_t resumed_from = kNoChain;
        bool no_park = false;
    };

    static constexpr size_t kNoChain = ~size_t{0};
    // Marks in active_ a record whose frame is parked.
    static constexpr uint32_t kParked = 0xFFFFFFFFu;

    // Tuple and frozenset frames taken off the stack while they wait for
    // another tuple or frozenset to be finished, because they need it as
    // an item. The bottom frame's own slot is a list item or dict value,
    // which holds a placeholder meanwhile.
    struct ParkedChain {
        std::vector<Frame> frames;  // bottom first
        Fixup slot;                 // where the bottom frame's result goes
        uint32_t awaits = 0;        // the record it waits for
        bool resumed = false;
    };

    uint32_t resolve_ref(uint32_t index, bool& ok);
    PyObject* build_scalar(uint8_t tag, const uint8_t* payload);
    PyObject* shared_text(uint32_t string_index);
    int quick(uint32_t index, PyObject*& out, bool shared);
    Outcome reconstruct_ref(uint32_t index, PyRef& out, bool deferrable, uint32_t& deferred);
    Outcome request_tuple(uint32_t index, uint8_t tag, const uint8_t* payload, bool deferrable);
    bool make_slot(Frame& parent, Fixup& fix);
    Frame& owner_of(uint32_t tuple_index);
    int park_requester(uint32_t awaited);
    void resume(size_t chain, bool on_demand);
    bool defer(Frame& f, uint32_t tuple_index);
    bool apply_fixups(std::vector<Fixup>& fixups, PyObject* value);
    Outcome request_dataclass(uint32_t index, const uint8_t* payload, PyRef& out);
    bool next_child(Frame& f, uint32_t& child);
    bool deliver(Frame& f, PyRef obj);
    bool finish(Frame& f, PyRef& out);
    bool finish_dataclass(Frame& f, PyRef& out);
    bool make_shell(Frame& f, PyRef& out);
    TypeObjects* type_objects(uint32_t type_id);
    bool make_class(Frame& f);
    bool plan_fields(Frame& f);
    PyRef construct(Frame& f, PyObject* kwargs);

    void remember(uint32_t index, PyObject* obj) { memo_.set(index, obj); }

    // Hashing a tuple visits its items, nested tuples included, with no
    // recursion check and no cached result: a deeply nested tuple used as a
    // set member or dict key could overflow the native stack, and a tuple
    // naming another one many times over could take exponential time. Each
    // tuple built here that holds tuples records its depth and how many
    // items such a visit touches, and hashing is refused beyond the bounds.
    struct TupleShape {
        uint32_t depth;
        uint64_t visits;
    };
    static constexpr uint32_t kMaxHashDepth = 10000;
    // Dataclass instances built here count as well: a hashable one
    // normally hashes a tuple of its fields.
    TupleShape shape_of(PyObject* obj) const {
        const bool tuple = PyTuple_Check(obj);
        if (tuple || tracks_instances_) {
            auto it = tuple_shapes_.find(obj);
            if (it != tuple_shapes_.end()) return it->second;
        }
        if (!tuple) return {0, 1};
        return {1, 1 + static_cast<uint64_t>(PyTuple_Size(obj))};
    }
    static uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t{0} : a + b; }
    // Records the shape of `obj` (a tuple, or an instance) from its items.
    void note_shape(PyObject* obj, const std::vector<PyRef>& items, bool always, uint64_t own_cost = 1) {
        TupleShape shape{1, own_cost};
        bool nested = false;
        for (const PyRef& item : items) {
            const TupleShape s = shape_of(item.get());
            nested |= s.depth > 0;
            shape.depth = std::max(shape.depth, s.depth + 1);
            shape.visits = saturating_add(shape.visits, s.visits);
        }
        if (nested || always) tuple_shapes_[obj] = shape;
    }
    // Every hashable instance is recorded: instances naming one another
    // many times over would otherwise hash in exponential time unseen.
    void note_instance(PyObject* instance, const std::vector<PyRef>& fields) {
        if (PyType_GetSlot(Py_TYPE(instance), Py_tp_hash) == reinterpret_cast<void*>(PyObject_HashNotImplemented)) {
            return;  // unhashable (a dataclass with eq and without frozen)
        }
        // Hashing an instance runs its Python __hash__: it costs about as
        // much as visiting a hundred tuple items.
        note_shape(instance, fields, true, 128);
        tracks_instances_ = true;
    }
    // Before `obj` is hashed as a set member, dict key or frozenset element.
    bool check_hash_cost(PyObject* obj) {
        if (!PyTuple_Check(obj) && !tracks_instances_) return true;
        const TupleShape shape = shape_of(obj);
        if (shape.depth == 0) return true;
        if (shape.depth > kMaxHashDepth) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while hashing a tuple");
            return false;
        }
        hash_work_ = saturating_add(hash_work_, shape.visits);
        if (hash_work_ > hash_budget_) {
            raise_value_error("Invalid data: hashing its tuples would take too long");
            return false;
        }
        return true;
    }

    // The record at `index`. Saved blobs are laid out in the order they are
    // built, so the record asked for is nearly always the one right after
    // the previous one: it is found from there, without the offset table.
    const uint8_t* locate(uint32_t index) {
        const uint8_t* rec = index == next_index_ ? g_.data + next_offset_ : g_.data + g_.records[index];
        next_index_ = index + 1;
        next_offset_ = static_cast<size_t>(rec - g_.data) + record_size(rec);
        return rec;
    }
    // Stores item `position` of a list frame, taking over the reference.
    bool put_item(Frame& f, uint64_t position, PyObject* item) {
        if (presize_lists_) {
            PyList_SetItem(f.obj.get(), static_cast<Py_ssize_t>(position), item);
            return true;
        }
        const int rc = PyList_Append(f.obj.get(), item);
        Py_DECREF(item);
        return rc == 0 || (ensure_error(), false);
    }
    Frame& push_frame(uint32_t index, uint8_t tag, uint64_t count, const uint8_t* children) {
        const long below = stack_.empty() ? -1 : stack_.back().nearest_other;
        stack_.emplace_back();
        Frame& f = stack_.back();
        f.nearest_other = tag == kTagTuple || tag == kTagFrozenSet ? below : static_cast<long>(stack_.size() - 1);
        f.index = index;
        f.tag = tag;
        f.count = count;
        f.children = children;
        return f;
    }

    const DecodedGraph& g_;
    uint32_t next_index_ = 0xFFFFFFFFu;  // no record has this index
    size_t next_offset_ = 0;
    Memo memo_;
    // Innermost frame (+1) of a tuple, frozenset or dataclass record being
    // built; allocated when the first such record is met.
    std::vector<uint32_t> active_;
    std::vector<uint32_t> resolved_;  // Ref chains already followed (+1)
    std::vector<TypeObjects> type_objects_;
    std::vector<Frame> stack_;
    std::vector<std::unique_ptr<ParkedChain>> parked_;
    std::unordered_map<uint32_t, std::pair<size_t, size_t>> parked_at_;  // record -> (chain, frame)
    std::unordered_map<uint32_t, std::vector<size_t>> waiting_for_;      // record -> chains
    std::vector<size_t> ready_;                                          // chains to bring back
    // Lists are created at their full length and filled in place when no
    // Python code can run during the build (no dataclass records): nothing
    // can then look at a list before it is complete. Otherwise they grow by
    // appending.
    const bool presize_lists_;
    // Whether slots waiting for a tuple or frozenset on a cycle may hold a
    // placeholder meanwhile; with dataclass records, Python code runs during
    // the build and could see (or copy) one, so the tuple is finished at
    // once instead.
    const bool placeholders_allowed_;
    // Work done by frames started on re-entry into a tuple or frozenset
    // (frames and the children they take); bounded so that a crafted blob
    // cannot make the rebuilding quadratic.
    uint64_t continuations_ = 0;
    uint64_t continuation_budget_ = 0;
    std::unordered_map<PyObject*, TupleShape> tuple_shapes_;  // tuples and instances holding tuples
    bool tracks_instances_ = false;
    uint64_t hash_work_ = 0;
    const uint64_t hash_budget_;
    // One Str record makes one new str object, so a long text named by many
    // short records could make a small blob fill the memory. Past a budget
    // far above what real data reaches, records of one text share one str.
    uint64_t text_made_ = 0;
    const uint64_t text_budget_;
    std::unordered_map<uint32_t, PyRef> shared_texts_;
    // Each dataclass record hands make_class a new list of its type's field
    // names: bounded for types whose records carry far fewer values.
    uint64_t field_names_made_ = 0;
    const uint64_t field_names_budget_;
    FieldKinds field_kinds_;
};

uint32_t Reconstructor::resolve_ref(uint32_t index, bool& ok) {
    // Follows a chain of Ref records iteratively. Each chain is walked once:
    // every Ref on it then points straight at the end, so hostile blobs with
    // many long chains stay linear, and a loop is caught after at most as
    // many hops as there are records.
    const size_t n = g_.records.size();
    if (resolved_.empty()) resolved_.assign(n, 0);
    uint32_t current = index;
    size_t hops = 0;
    while (current < n && g_.data[g_.records[current]] == kTagRef) {
        if (resolved_[current]) {
            current = resolved_[current] - 1;
            break;
        }
        if (++hops > n) {
            ok = false;
            raise_invalid_reference(index);
            return 0;
        }
        current = load_u32(g_.data + g_.records[current] + 1);
    }
    if (current < n) {
        for (uint32_t i = index; i < n && g_.data[g_.records[i]] == kTagRef && !resolved_[i];) {
            uint32_t next = load_u32(g_.data + g_.records[i] + 1);
            resolved_[i] = current + 1;
            i = next;
        }
    }
    ok = true;
    return current;
}

// A new reference to the value of a scalar record (tags None to Bytes).
inline PyObject* Reconstructor::build_scalar(uint8_t tag, const uint8_t* p) {
    switch (tag) {
        case kTagNone:
            Py_INCREF(Py_None);
            return Py_None;
        case kTagTrue:
            Py_INCREF(Py_True);
            return Py_True;
        case kTagFalse:
            Py_INCREF(Py_False);
            return Py_False;
        case kTagInt: {
            size_t pos = 0;
            return PyLong_FromLongLong(*read_i64_zigzag(p, 10, pos));
        }
        case kTagFloat: {
            uint64_t bits = load_u64(p);
            double v;
            std::memcpy(&v, &bits, 8);
            return PyFloat_FromDouble(v);
        }
        case kTagStr: {
            uint32_t s = load_u32(p);
            if (s >= g_.strings.size()) {
                raise_value_error("Invalid string index: " + std::to_string(s));
                return nullptr;
            }
            std::string_view text = g_.strings[s];
            text_made_ += text.size();
            if (text_made_ > text_budget_) return shared_text(s);
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        }
        default:  // kTagBytes
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p + 4), load_u32(p));
    }
}

PyObject* Reconstructor::shared_text(uint32_t s) {
    PyRef& text = shared_texts_[s];
    if (!text) {
        text = text_object(g_.strings[s]);
        if (!text) return nullptr;
    }
    return text.copy().release();
}

// The common case, without frames: a record already built, or a scalar.
// Returns 1 with a new reference in `out`, 0 when the record needs the
// general path (a Ref, a container not built yet, an invalid index), or -1
// with an exception set.
inline int Reconstructor::quick(uint32_t index, PyObject*& out, bool shared) {
    if (index >= g_.records.size()) return 0;
    const uint8_t* rec = locate(index);
    uint8_t tag = rec[0];
    if (tag == kTagRef) {
        // A Ref straight to a record that is not a Ref itself (as every
        // saved blob has them); chains and bad targets take the general path.
        const uint32_t target = load_u32(rec + 1);
        if (target >= g_.records.size()) return 0;
        if (PyObject* built = memo_.get(target)) {
            Py_INCREF(built);
            out = built;
            return 1;
        }
        rec = g_.data + g_.records[target];
        tag = rec[0];
        if (tag == kTagRef) return 0;
        index = target;
        shared = true;
    }
    if (tag > kTagBytes) {
        PyObject* built = memo_.get(index);
        if (!built) return 0;
        Py_INCREF(built);
        out = built;
        return 1;
    }
    // A scalar named only once, and not through a Ref, is asked for only
    // once: it needs no memo entry.
    if (!shared && g_.uses[index] <= 1) {
        out = build_scalar(tag, rec + 1);
        return out ? 1 : (ensure_error(), -1);
    }
    if (PyObject* built = memo_.get(index)) {
        Py_INCREF(built);
        out = built;
        return 1;
    }
    out = build_scalar(tag, rec + 1);
    if (!out) return ensure_error(), -1;
    remember(index, out);
    return 1;
}

// The object for record `index`: at once (a Ref followed, a record already
// built, a scalar), or as a frame pushed to build it, or as a wait.
Reconstructor::Outcome Reconstructor::reconstruct_ref(uint32_t index, PyRef& out, bool deferrable,
                                                      uint32_t& deferred) {
    if (index >= g_.records.size()) {
        raise_invalid_reference(index);
        return Outcome::Error;
    }
    const bool via_ref = g_.data[g_.records[index]] == kTagRef;
    if (via_ref) {
        bool ok;
        index = resolve_ref(index, ok);
        if (!ok) return Outcome::Error;
        if (index >= g_.records.size()) {
            raise_invalid_reference(index);
            return Outcome::Error;
        }
    }
    PyObject* obj;
    switch (quick(index, obj, via_ref)) {
        case -1:
            return Outcome::Error;
        case 1:
            out = PyRef::steal(obj);
            return Outcome::Ready;
    }
    const uint8_t* rec = locate(index);
    const uint8_t tag = rec[0];
    const uint8_t* p = rec + 1;
    switch (tag) {
        case kTagList:
        case kTagDict:
        case kTagSet: {
            const uint32_t count = load_u32(p);
            PyRef container = PyRef::steal(tag == kTagList  ? PyList_New(presize_lists_ ? count : 0)
                                           : tag == kTagDict ? PyDict_New()
                                                             : PySet_New(nullptr));
            if (!container) return ensure_error(), Outcome::Error;
            remember(index, container.get());
            Frame& f = push_frame(index, tag, tag == kTagDict ? uint64_t{count} * 2 : count, p + 4);
            f.obj = std::move(container);
            return Outcome::Pushed;
        }
        case kTagTuple:
        case kTagFrozenSet: {
            Outcome r = request_tuple(index, tag, p, deferrable);
            if (r == Outcome::Deferred) deferred = index;
            return r;
        }
        case kTagDataclass:
            return request_dataclass(index, p, out);
    }
    PyErr_SetString(PyExc_SystemError, "zelkor: corrupt decoded record");
    return Outcome::Error;
}

Reconstructor::Outcome Reconstructor::request_tuple(uint32_t index, uint8_t tag, const uint8_t* p,
                                                    bool deferrable) {
    const uint32_t count = load_u32(p);
    if (active_.empty()) active_.assign(g_.records.size(), 0);
    if (active_[index]) {
        // Reached again through a cycle while its items are being built.
        // A list item or dict value simply waits for the finished object.
        if (deferrable) return Outcome::Deferred;
        // So does a tuple or frozenset whose own slot (perhaps through
        // more of them) is a list item or dict value: it is parked.
        const int parked = park_requester(index);
        if (parked < 0) return Outcome::Error;
        if (parked > 0) return Outcome::Parked;
        if (active_[index] == kParked) {
            // Needed now, and it waits itself: bring its frames back and
            // finish them here; the requesting frame asks again afterwards.
            resume(parked_at_[index].first, true);
            return Outcome::Pushed;
        }
        // Anything else needs it now: finish its items in a nested frame,
        // which meets the rest of the cycle already built (or as a dataclass
        // shell) and so completes. Without any other kind of frame on the
        // way back to it, the cycle holds nothing but tuples and frozensets,
        // which no value can form.
        const size_t latest = active_[index] - 1;
        if (stack_.back().nearest_other <= static_cast<long>(latest)) {
            raise_value_error("Invalid data: cycle of immutable containers at record " + std::to_string(index));
            return Outcome::Error;
        }
        // Bounded in work, and in frames alive at once: without these
        // frames there is at most one per record.
        if (++continuations_ > continuation_budget_ || stack_.size() > g_.records.size() + 65536) {
            raise_value_error("Invalid data: too many cycles through tuples at record " + std::to_string(index));
            return Outcome::Error;
        }
        const size_t owner = stack_[latest].owner;
        Frame& f = push_frame(index, tag, count, p + 4);
        f.owner = owner;
        f.previous_active = active_[index];
        active_[index] = static_cast<uint32_t>(stack_.size());
        return Outcome::Pushed;
    }
    Frame& f = push_frame(index, tag, count, p + 4);
    f.owner = stack_.size() - 1;
    f.items.resize(count);
    active_[index] = static_cast<uint32_t>(stack_.size());
    return Outcome::Pushed;
}

// Puts a placeholder into the slot a list or dict frame is filling now (the
// item just asked for, or the value of the waiting key) and describes it.
bool Reconstructor::make_slot(Frame& f, Fixup& fix) {
    // A placeholder of its own, so that a later pair with an equal key
    // (which replaces this one) is never overwritten by this fixup.
    fix.placeholder = PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!fix.placeholder) return ensure_error(), false;
    fix.container = f.obj.copy();
    if (f.tag == kTagList) {
        fix.index = presize_lists_ ? static_cast<Py_ssize_t>(f.pos - 1) : PyList_Size(f.obj.get());
        return put_item(f, f.pos - 1, fix.placeholder.copy().release());
    }
    fix.key = std::move(f.key);
    return PyDict_SetItem(f.obj.get(), fix.key.get(), fix.placeholder.get()) == 0 || (ensure_error(), false);
}

// The frame holding the items of a tuple or frozenset being built, on the
// stack or parked.
Reconstructor::Frame& Reconstructor::owner_of(uint32_t tuple_index) {
    if (active_[tuple_index] == kParked) {
        const auto [chain, frame] = parked_at_[tuple_index];
        return parked_[chain]->frames[frame];
    }
    return stack_[stack_[active_[tuple_index] - 1].owner];
}

bool Reconstructor::defer(Frame& f, uint32_t tuple_index) {
    Fixup fix;
    if (!make_slot(f, fix)) return false;
    owner_of(tuple_index).fixups.push_back(std::move(fix));
    return true;
}

// The top frame, a tuple or frozenset, needs `awaited`, which is being
// built. If the top frames are tuples and frozensets (their own first
// frames) down to one whose slot is a list item or dict value, they are set
// aside until `awaited` is finished. Returns 1 when parked, 0 when not
// possible, -1 on error.
int Reconstructor::park_requester(uint32_t awaited) {
    if (!placeholders_allowed_) return 0;
    size_t bottom = stack_.size() - 1;
    for (;;) {
        const Frame& f = stack_[bottom];
        if ((f.tag != kTagTuple && f.tag != kTagFrozenSet) || f.owner != bottom || f.no_park) return 0;
        if (f.resumed_from != kNoChain) break;  // its slot is known already
        if (bottom == 0) return 0;
        const Frame& below = stack_[bottom - 1];
        if (below.tag == kTagList || (below.tag == kTagDict && below.key)) break;
        --bottom;
    }
    // Waiting for a record among the frames set aside would never end: that
    // is a cycle of tuples and frozensets alone, which the caller reports.
    if (active_[awaited] != kParked && active_[awaited] - 1 >= bottom) return 0;

    auto chain = std::make_unique<ParkedChain>();
    const size_t id = parked_.size();
    Frame& first = stack_[bottom];
    if (first.resumed_from != kNoChain) {
        chain->slot = std::move(parked_[first.resumed_from]->slot);
        first.resumed_from = kNoChain;
    } else if (!make_slot(stack_[bottom - 1], chain->slot)) {
        return -1;
    }
    chain->awaits = awaited;
    for (size_t i = bottom; i < stack_.size(); ++i) {
        active_[stack_[i].index] = kParked;
        parked_at_[stack_[i].index] = {id, i - bottom};
        chain->frames.push_back(std::move(stack_[i]));
    }
    stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(bottom), stack_.end());
    waiting_for_[awaited].push_back(id);
    parked_.push_back(std::move(chain));
    return 1;
}

// Puts a parked chain back on the stack. `on_demand`: brought back because
// something needs one of its records now; it then finishes here without
// parking again.
void Reconstructor::resume(size_t id, bool on_demand) {
    ParkedChain& chain = *parked_[id];
    chain.resumed = true;
    for (size_t i = 0; i < chain.frames.size(); ++i) {
        Frame& f = chain.frames[i];
        const long below = stack_.empty() ? -1 : stack_.back().nearest_other;
        f.owner = stack_.size();
        f.nearest_other = below;
        f.resumed_from = i == 0 ? id : kNoChain;
        f.no_park = on_demand;
        active_[f.index] = static_cast<uint32_t>(stack_.size() + 1);
        parked_at_.erase(f.index);
        stack_.push_back(std::move(f));
    }
    chain.frames.clear();
}

bool Reconstructor::apply_fixups(std::vector<Fixup>& fixups, PyObject* value) {
    for (Fixup& fix : fixups) {
        PyObject* c = fix.container.get();
        if (!fix.key) {
            // Python code run meanwhile may have moved the item; only the
            // placeholder itself is replaced.
            if (fix.index < PyList_Size(c) && PyList_GetItem(c, fix.index) == fix.placeholder.get()) {
                Py_INCREF(value);
                if (PyList_SetItem(c, fix.index, value) < 0) return ensure_error(), false;
            }
        } else {
            PyObject* current = PyDict_GetItemWithError(c, fix.key.get());
            if (!current && PyErr_Occurred()) return false;
            if (current == fix.placeholder.get() && PyDict_SetItem(c, fix.key.get(), value) < 0) {
                return ensure_error(), false;
            }
        }
    }
    fixups.clear();
    return true;
}

TypeObjects* Reconstructor::type_objects(uint32_t type_id) {
    TypeObjects& t = type_objects_[type_id];
    if (!t.name) {
        const graph::TypeInfo& info = g_.types.types[type_id];
        PyRef name = text_object(info.name);
        if (!name) return nullptr;
        std::vector<PyRef> fields;
        fields.reserve(info.fields.size());
        for (const std::string& f : info.fields) {
            PyObject* s = text_object(f).release();
            if (!s) return nullptr;
            PyUnicode_InternInPlace(&s);  // keyword matching compares pointers first
            fields.push_back(PyRef::steal(s));
        }
        t.fields = std::move(fields);
        t.name = std::move(name);
    }
    return &t;
}

Reconstructor::Outcome Reconstructor::request_dataclass(uint32_t index, const uint8_t* p, PyRef& out) {
    if (active_.empty()) active_.assign(g_.records.size(), 0);
    if (active_[index]) {
        // Reached again through a cycle while its fields are being built:
        // hand out the instance now, uninitialised, and initialise it when
        // the fields are complete.
        return make_shell(stack_[active_[index] - 1], out) ? Outcome::Ready : Outcome::Error;
    }
    const uint16_t type_id = load_u16(p);
    const uint16_t count = load_u16(p + 2);
    if (type_id >= g_.types.types.size()) {
        raise_value_error("Invalid type_id: " + std::to_string(type_id));
        return Outcome::Error;
    }
    PyRef module = import_with_legacy(names.reconstruct_module, names.legacy_reconstruct_module);
    if (!module) return ensure_error(), Outcome::Error;
    TypeObjects* t = type_objects(type_id);
    if (!t) return ensure_error(), Outcome::Error;
    field_names_made_ += t->fields.size();
    if (field_names_made_ > field_names_budget_) {
        raise_value_error("Invalid data: too many field names for the dataclass records at record " +
                          std::to_string(index));
        return Outcome::Error;
    }
    PyRef field_names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(t->fields.size())));
    if (!field_names) return ensure_error(), Outcome::Error;
    for (size_t i = 0; i < t->fields.size(); ++i) {
        PyList_SetItem(field_names.get(), static_cast<Py_ssize_t>(i), t->fields[i].copy().release());
    }
    Frame& f = push_frame(index, kTagDataclass, count, p + 4);
    f.type_id = type_id;
    f.obj = std::move(module);
    f.field_names = std::move(field_names);
    f.items.reserve(count);
    active_[index] = static_cast<uint32_t>(stack_.size());
    return Outcome::Pushed;
}

bool Reconstructor::make_class(Frame& f) {
    if (f.cls) return true;
    PyRef factory = PyRef::steal(PyObject_GetAttr(f.obj.get(), names.make_class));
    if (!factory) return ensure_error(), false;
    f.cls = call_with(factory.get(), {type_objects_[f.type_id].name.get(), f.field_names.get()});
    return static_cast<bool>(f.cls);
}

// Works out, once per type and class, which stored fields the class's
// constructor takes: init=False fields are set on the instance afterwards,
// and names of class variables (which older versions stored) are dropped.
bool Reconstructor::plan_fields(Frame& f) {
    TypeObjects& t = type_objects_[f.type_id];
    if (t.plan_class.get() == f.cls.get()) return true;
    t.uses.clear();
    t.late.reset();
    t.dropped.reset();
    t.without_init = false;
    t.plan_class = f.cls.copy();
    PyRef declared = optional_attribute(f.cls.get(), names.dataclass_fields);
    if (!declared || !PyDict_Check(declared.get())) return true;  // not a dataclass: all keywords
    if (!field_kinds_.load()) return false;
    PyRef items = PyRef::steal(PyDict_Items(declared.get()));
    if (!items) return ensure_error(), false;
    for (Py_ssize_t i = 0, n = PyList_Size(items.get()); i < n; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        PyObject* key = PyTuple_GetItem(item, 0);
        PyObject* field = PyTuple_GetItem(item, 1);
        if (!PyUnicode_Check(key)) continue;
        PyRef* into = nullptr;
        const FieldKind kind = field_kinds_.of(field);
        if (kind == FieldKind::ClassVar) {
            into = &t.dropped;
        } else if (kind == FieldKind::InitVar) {
            t.without_init = t.without_init || field_kinds_.required(field);
        } else {
            PyRef init = optional_attribute(field, names.field_init);
            const int takes = init ? PyObject_IsTrue(init.get()) : 1;
            if (takes < 0) return ensure_error(), false;
            if (!takes) into = &t.late;
        }
        if (!into) continue;
        if (!*into) {
            *into = PyRef::steal(PySet_New(nullptr));
            if (!*into) return ensure_error(), false;
        }
        if (PySet_Add(into->get(), key) < 0) return ensure_error(), false;
    }
    if (!t.late && !t.dropped) return true;
    t.uses.reserve(t.fields.size());
    for (const PyRef& name : t.fields) {
        const int late = t.late ? PySet_Contains(t.late.get(), name.get()) : 0;
        const int dropped = t.dropped ? PySet_Contains(t.dropped.get(), name.get()) : 0;
        if (late < 0 || dropped < 0) return ensure_error(), false;
        t.uses.push_back(dropped ? FieldUse::Dropped : late ? FieldUse::Late : FieldUse::Keyword);
    }
    return true;
}

// Sets fields the constructor does not take, as object.__setattr__ does, so
// frozen classes take them too.
using LateFields = std::vector<std::pair<PyRef, PyRef>>;

bool set_late_fields(PyObject* instance, const LateFields& late) {
    for (const auto& [name, value] : late) {
        if (PyObject_GenericSetAttr(instance, name.get(), value.get()) < 0) return ensure_error(), false;
    }
    return true;
}

bool Reconstructor::make_shell(Frame& f, PyRef& out) {
    if (!make_class(f)) return false;
    PyRef new_ = PyRef::steal(PyObject_GetAttr(f.cls.get(), names.new_));
    if (!new_) return ensure_error(), false;
    f.shell = call_with(new_.get(), {f.cls.get()});
    if (!f.shell) return false;
    remember(f.index, f.shell.get());
    out = f.shell.copy();
    return true;
}

// Builds an instance from keyword arguments: calls the class, or, when the
// instance was already handed out as a shell, runs __init__ on it. A class
// whose __init__ cannot be called without an init-only variable gets a new
// instance with the arguments set as attributes instead.
PyRef Reconstructor::construct(Frame& f, PyObject* kwargs) {
    if (type_objects_[f.type_id].without_init) {
        PyRef instance = f.shell.copy();
        if (!instance) {
            PyRef new_ = PyRef::steal(PyObject_GetAttr(f.cls.get(), names.new_));
            if (!new_) return ensure_error(), PyRef();
            instance = call_with(new_.get(), {f.cls.get()});
            if (!instance) return instance;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (PyObject_GenericSetAttr(instance.get(), key, value) < 0) return ensure_error(), PyRef();
        }
        return instance;
    }
    if (!f.shell) {
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!empty) return empty;
        PyRef result = PyRef::steal(PyObject_Call(f.cls.get(), empty.get(), kwargs));
        if (!result) ensure_error();
        return result;
    }
    PyRef init = PyRef::steal(PyObject_GetAttr(f.cls.get(), names.init));
    if (!init) return ensure_error(), PyRef();
    PyRef done = call_with(init.get(), {f.shell.get()}, kwargs);
    if (!done) return done;
    return f.shell.copy();
}

bool Reconstructor::finish_dataclass(Frame& f, PyRef& out) {
    if (!make_class(f) || !plan_fields(f)) return false;
    const TypeObjects& t = type_objects_[f.type_id];
    PyObject* type_name = t.name.get();
    const std::vector<PyRef>& field_names = t.fields;
    const size_t paired = std::min(field_names.size(), f.items.size());

    // Stored values of fields the constructor does not take, set once the
    // instance exists.
    LateFields late;
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return ensure_error(), false;
    for (size_t i = 0; i < paired; ++i) {
        const FieldUse use = t.uses.empty() ? FieldUse::Keyword : t.uses[i];
        if (use == FieldUse::Late) late.emplace_back(field_names[i].copy(), f.items[i].copy());
        if (use != FieldUse::Keyword) continue;
        if (PyDict_SetItem(kwargs.get(), field_names[i].get(), f.items[i].get()) < 0) return ensure_error(), false;
    }

    const uint32_t stored = g_.types.types[f.type_id].version;
    PyRef first;
    uint32_t current;
    if (f.shell) {
        // The instance was handed out before its fields existed; it is
        // initialised exactly once, with the final arguments, so its
        // version comes from the class.
        current = declared_version(f.cls.get());
    } else {
        first = construct(f, kwargs.get());
        if (first) {
            current = declared_version(first.get());
        } else {
            // Fields stored under an older schema may not fit the current
            // class at all (a renamed or removed field). When the class
            // declares a version that calls for a migration, migrate
            // without the first instance instead of failing; otherwise the
            // error stands.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            current = declared_version(f.cls.get());
            if (current == stored || stored == 0 || current == 0) {
                PyErr_Restore(type, value, traceback);
                return false;
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
    }
    if (current == stored || stored == 0 || current == 0) {
        out = f.shell ? construct(f, kwargs.get()) : std::move(first);
        if (!out || !set_late_fields(out.get(), late)) return false;
        note_instance(out.get(), f.items);
        remember(f.index, out.get());
        return true;
    }

    PyRef migrations = import_with_legacy(names.migrations_module, names.legacy_migrations_module);
    if (!migrations) return ensure_error(), false;

    PyRef input = PyRef::steal(PyDict_New());
    if (!input) return ensure_error(), false;
    for (size_t i = 0; i < paired; ++i) {
        if (PyDict_SetItem(input.get(), field_names[i].get(), f.items[i].get()) < 0) return ensure_error(), false;
    }
    PyRef stored_obj = PyRef::steal(PyLong_FromUnsignedLong(stored));
    PyRef current_obj = PyRef::steal(PyLong_FromUnsignedLong(current));
    if (!stored_obj || !current_obj) return ensure_error(), false;
    if (PyDict_SetItem(input.get(), names.version, stored_obj.get()) < 0 ||
        PyDict_SetItem(input.get(), names.legacy_version, stored_obj.get()) < 0) {
        return ensure_error(), false;
    }

    PyRef apply = PyRef::steal(PyObject_GetAttr(migrations.get(), names.apply_migrations));
    if (!apply) return ensure_error(), false;
    PyRef migrated = call_with(apply.get(), {type_name, input.get(), stored_obj.get(), current_obj.get()});
    if (!migrated) return false;
    if (!PyDict_Check(migrated.get())) {
        PyErr_SetString(PyExc_TypeError, "Migration function must return a dict");
        return false;
    }

    PyRef migrated_kwargs = PyRef::steal(PyDict_New());
    if (!migrated_kwargs) return ensure_error(), false;
    late.clear();
    const bool copied = for_each_field(migrated.get(), [&](PyObject* key, PyObject* value) {
        const int is_late = t.late ? PySet_Contains(t.late.get(), key) : 0;
        const int dropped = t.dropped ? PySet_Contains(t.dropped.get(), key) : 0;
        if (is_late < 0 || dropped < 0) return ensure_error(), false;
        if (dropped) return true;
        if (is_late) {
            late.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
            return true;
        }
        return PyDict_SetItem(migrated_kwargs.get(), key, value) == 0 || (ensure_error(), false);
    });
    if (!copied) return false;
    PyRef instance = construct(f, migrated_kwargs.get());
    if (!instance || !set_late_fields(instance.get(), late)) return false;

    // Declared fields: from the first instance, or the class when there is none.
    PyRef declared_map = PyRef::steal(PyObject_GetAttr(first ? first.get() : f.cls.get(), names.dataclass_fields));
    if (!declared_map) return ensure_error(), false;
    if (!PyDict_Check(declared_map.get())) {
        PyErr_SetString(PyExc_TypeError, "__dataclass_fields__ is not a dict");
        return false;
    }
    PyRef declared = PyRef::steal(PyDict_Keys(declared_map.get()));
    if (!declared) return ensure_error(), false;
    const Py_ssize_t declared_count = PyList_Size(declared.get());
    for (Py_ssize_t i = 0; i < declared_count; ++i) {
        PyObject* key = PyList_GetItem(declared.get(), i);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
    }

    PyRef extra = PyRef::steal(PyDict_New());
    if (!extra) return ensure_error(), false;
    const bool collected = for_each_field(migrated.get(), [&](PyObject* key, PyObject* value) {
        bool is_declared = false;
        for (Py_ssize_t i = 0; i < declared_count && !is_declared; ++i) {
            is_declared = PyUnicode_Compare(key, PyList_GetItem(declared.get(), i)) == 0;
        }
        if (PyErr_Occurred()) return false;
        return is_declared || PyDict_SetItem(extra.get(), key, value) == 0 || (ensure_error(), false);
    });
    if (!collected) return false;
    if (PyDict_Size(extra.get()) > 0) {
        // Classes that refuse new attributes (frozen, slotted) simply go without.
        if (PyObject_SetAttr(instance.get(), names.extra, extra.get()) < 0) PyErr_Clear();
        if (PyObject_SetAttr(instance.get(), names.legacy_extra, extra.get()) < 0) PyErr_Clear();
    }
    out = std::move(instance);
    note_instance(out.get(), f.items);
    remember(f.index, out.get());
    return true;
}

bool Reconstructor::next_child(Frame& f, uint32_t& child) {
    if (f.tag == kTagTuple || f.tag == kTagFrozenSet) {
        if (memo_.get(f.index)) return false;  // finished by a nested frame
        const Frame& owner = stack_[f.owner];
        if (owner.cursor >= f.count) return false;
        if (&owner != &f) ++continuations_;  // checked where the next one starts
        child = load_u32(f.children + 4 * static_cast<size_t>(owner.cursor));
        return true;
    }
    if (f.pos >= f.count) return false;
    child = load_u32(f.children + 4 * static_cast<size_t>(f.pos++));
    return true;
}

bool Reconstructor::deliver(Frame& f, PyRef obj) {
    switch (f.tag) {
        case kTagList:
            return put_item(f, f.pos - 1, obj.release());
        case kTagSet:
            if (!check_hash_cost(obj.get())) return false;
            return PySet_Add(f.obj.get(), obj.get()) == 0 || (ensure_error(), false);
        case kTagDict:
            if (!f.key) {
                if (!check_hash_cost(obj.get())) return false;
                f.key = std::move(obj);
                return true;
            } else {
                PyRef key = std::move(f.key);
                return PyDict_SetItem(f.obj.get(), key.get(), obj.get()) == 0 || (ensure_error(), false);
            }
        case kTagTuple:
        case kTagFrozenSet: {
            if (memo_.get(f.index)) return true;  // finished meanwhile; this frame's items are discarded
            Frame& owner = stack_[f.owner];
            owner.items[owner.cursor++] = std::move(obj);
            return true;
        }
        case kTagDataclass:
            f.items.push_back(std::move(obj));
            return true;
    }
    return true;
}

bool Reconstructor::finish(Frame& f, PyRef& out) {
    switch (f.tag) {
        case kTagList:
        case kTagDict:
        case kTagSet:
            out = std::move(f.obj);
            return true;
        case kTagTuple:
        case kTagFrozenSet: {
            active_[f.index] = f.previous_active;
            if (memo_.get(f.index)) {
                out = PyRef::borrow(memo_.get(f.index));
                return true;
            }
            std::vector<PyRef>& items = stack_[f.owner].items;
            const Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
            if (f.tag == kTagFrozenSet) {
                for (const PyRef& item : items) {
                    if (!check_hash_cost(item.get())) return false;
                }
            }
            PyRef tuple = PyRef::steal(PyTuple_New(n));
            if (!tuple) return ensure_error(), false;
            if (f.tag == kTagTuple) note_shape(tuple.get(), items, false);
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SetItem(tuple.get(), i, items[static_cast<size_t>(i)].release());
            if (f.tag == kTagTuple) {
                out = std::move(tuple);
            } else {
                out = PyRef::steal(PyFrozenSet_New(tuple.get()));
                if (!out) return ensure_error(), false;
            }
            remember(f.index, out.get());
            auto waiting = waiting_for_.find(f.index);
            if (waiting != waiting_for_.end()) {
                ready_.insert(ready_.end(), waiting->second.begin(), waiting->second.end());
                waiting_for_.erase(waiting);
            }
            return apply_fixups(stack_[f.owner].fixups, out.get());
        }
        case kTagDataclass: {
            active_[f.index] = 0;
            return finish_dataclass(f, out);
        }
    }
    return false;
}

PyObject* Reconstructor::run() {
    PyRef root;
    PyRef out;
    uint32_t deferred = 0;
    Outcome first = reconstruct_ref(0, out, false, deferred);
    if (first == Outcome::Error) return nullptr;
    if (first == Outcome::Ready) return out.release();
    // The stack can run empty before the end: after the root is done, a
    // chain brought back may park again (waiting for itself, see below).
    while (!stack_.empty()) {
        uint32_t child;
        Frame& top = stack_.back();
        if (top.tag == kTagList) {
            // Fast lane for the bulk of most blobs: scalars and objects
            // already built go straight into the list.
            while (top.pos < top.count) {
                PyObject* item;
                const uint32_t index = load_u32(top.children + 4 * top.pos);
                // Numbers laid out right after the previous record, named
                // only here: the bulk of numeric lists, decoded on the spot.
                if (index == next_index_ && index < g_.records.size() && g_.uses[index] <= 1) {
                    const uint8_t* rec = g_.data + next_offset_;
                    if (rec[0] == kTagFloat) {
                        double v;
                        std::memcpy(&v, rec + 1, 8);
                        item = PyFloat_FromDouble(v);
                        next_offset_ += 9;
                    } else if (rec[0] == kTagInt) {
                        size_t end = 1;
                        const int64_t v = *read_i64_zigzag(rec, 11, end);
                        item = PyLong_FromLongLong(v);
                        next_offset_ += end;
                    } else {
                        goto general;
                    }
                    if (!item) return ensure_error(), nullptr;
                    ++next_index_;
                    if (!put_item(top, top.pos++, item)) return nullptr;
                    continue;
                }
            general:
                const int q = quick(index, item, false);
                if (q < 0) return nullptr;
                if (q == 0) break;
                if (!put_item(top, top.pos++, item)) return nullptr;
            }
        }
        else if (top.tag == kTagDict && !top.key) {
            // The same for dict entries whose key and value are both at hand.
            while (top.pos + 1 < top.count) {
                PyObject *key, *value;
                const int qk = quick(load_u32(top.children + 4 * top.pos), key, false);
                if (qk < 0) return nullptr;
                if (qk == 0) break;
                if (!check_hash_cost(key)) {
                    Py_DECREF(key);
                    return nullptr;
                }
                const int qv = quick(load_u32(top.children + 4 * top.pos + 4), value, false);
                if (qv <= 0) {
                    // Only the key is at hand: it waits in the frame.
                    if (qv < 0) {
                        Py_DECREF(key);
                        return nullptr;
                    }
                    top.key = PyRef::steal(key);
                    ++top.pos;
                    break;
                }
                top.pos += 2;
                const int rc = PyDict_SetItem(top.obj.get(), key, value);
                Py_DECREF(key);
                Py_DECREF(value);
                if (rc < 0) return ensure_error(), nullptr;
            }
        }
        if (next_child(top, child)) {
            PyObject* quick_obj;
            const int q = quick(child, quick_obj, false);
            if (q < 0) return nullptr;
            if (q > 0) {
                if (!deliver(top, PyRef::steal(quick_obj))) return nullptr;
                continue;
            }
            PyRef obj;
            // Waiting slots hold placeholders, which only no Python code may
            // see: without dataclass records none runs during the build.
            const bool deferrable = placeholders_allowed_ && (top.tag == kTagList || (top.tag == kTagDict && top.key));
            const size_t requester = stack_.size() - 1;
            Outcome r = reconstruct_ref(child, obj, deferrable, deferred);
            if (r == Outcome::Error) return nullptr;
            if (r == Outcome::Parked) continue;
            if (r == Outcome::Pushed) {
                // A parked chain brought back to finish the child first: the
                // requester asks for the child again once it is done.
                if (stack_.size() > requester + 1 && stack_[requester + 1].resumed_from != kNoChain) {
                    Frame& f = stack_[requester];
                    if (f.tag != kTagTuple && f.tag != kTagFrozenSet) --f.pos;
                }
                continue;
            }
            if (r == Outcome::Deferred) {
                if (!defer(stack_.back(), deferred)) return nullptr;
                continue;
            }
            if (!deliver(stack_.back(), std::move(obj))) return nullptr;
            continue;
        }
        PyRef done;
        if (!finish(top, done)) return nullptr;
        const size_t chain = top.resumed_from;
        stack_.pop_back();
        if (chain != kNoChain) {
            // The bottom of a chain that was parked: its slot waits for it.
            std::vector<Fixup> slot;
            slot.push_back(std::move(parked_[chain]->slot));
            if (!apply_fixups(slot, done.get())) return nullptr;
        } else if (!stack_.empty()) {
            if (!deliver(stack_.back(), std::move(done))) return nullptr;
        } else {
            root = std::move(done);
        }
        // Chains whose awaited record is now finished go back on the stack,
        // each handed that record as the item it asked for.
        while (!ready_.empty()) {
            const size_t id = ready_.back();
            ready_.pop_back();
            if (parked_[id]->resumed) continue;
            const uint32_t awaited = parked_[id]->awaits;
            resume(id, false);
            if (!deliver(stack_.back(), PyRef::borrow(memo_.get(awaited)))) return nullptr;
        }
    }
    // A chain still parked waits, directly or through others, for itself.
    for (const auto& chain : parked_) {
        if (!chain->resumed) {
            raise_value_error("Invalid data: cycle of immutable containers at record " +
                              std::to_string(chain->frames.front().index));
            return nullptr;
        }
    }
    return root.release();
}

}  // namespace

bool check_allowlist(const DecodedGraph& decoded, PyObject* allowlist) {
    std::vector<PyRef> names_by_type(decoded.types.types.size());
    for (size_t r = 0; r < decoded.records.size(); ++r) {
        const size_t offset = decoded.records[r];
        if (decoded.data[offset] != kTagDataclass) continue;
        const uint16_t type_id = load_u16(decoded.data + offset + 1);
        if (type_id >= decoded.types.types.size()) {
            raise_value_error("Unknown type_id: " + std::to_string(type_id));
            return false;
        }
        PyRef& name = names_by_type[type_id];
        if (!name) {
            name = text_object(decoded.types.types[type_id].name);
            if (!name) return ensure_error(), false;
        }
        int contained = PySet_Contains(allowlist, name.get());
        if (contained < 0) return ensure_error(), false;
        if (!contained) {
            PyRef message = text_object("Type '" + decoded.types.types[type_id].name + "' is not in the allowlist");
            if (message) PyErr_SetObject(PyExc_TypeError, message.get());
            return false;
        }
    }
    return true;
}

PyObject* reconstruct_root(const DecodedGraph& decoded) {
    // Everything built here stays reachable from the memo until the call
    // ends, so the cyclic collector could find nothing to free; it is paused
    // meanwhile. Only without dataclass records, where no Python code of any
    // kind runs during the build and the pause cannot be observed.
    struct CollectorPause {
        const bool paused;
        explicit CollectorPause(bool pause) : paused(pause && PyGC_IsEnabled()) {
            if (paused) PyGC_Disable();
        }
        ~CollectorPause() {
            if (paused) PyGC_Enable();  // on every way out, C++ exceptions included
        }
    } pause(!decoded.has_dataclass);
    Reconstructor r(decoded);
    PyObject* result = r.run();
    if (!result) ensure_error();
    return result;
}

}  // namespace zelkor::format
