// The state of one reconstruction, shared by the files that implement it:
// reconstruct.cpp (the main loop, the allowlist pass), reconstruct_scalars.cpp
// (texts and bytes made in more than a call, runs of scalars in a list),
// reconstruct_shapes.cpp (dicts copied from a row of the same keys),
// reconstruct_cycles.cpp (tuples and frozensets reached again while they are
// being built), reconstruct_dataclass.cpp (dataclass records and
// migrations) and reconstruct_forward.cpp (the one pass for blobs laid out
// as saved). Internal to reconstruction; the rest of
// the module uses reconstruct.h.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/decoder.h"
#include "format/kinds.h"
#include "format/reconstruct_budgets.h"
#include "format/reconstruct_memo.h"
#include "format/record.h"
#include "format/stream_copy.h"
#include "interpreter.h"
#include "pyref.h"

namespace zelkor::format {

// ValueError with the message of `error`.
void raise_decode_error(DecodeError error, uint64_t number = 0);

// Whether `obj` is of a kind that holds no other object: a text, number,
// bytes, None or a bool. It holds no shell, and its hash is not one a blob
// can give to many distinct values.
inline bool holds_nothing(PyObject* obj) {
    return Py_IS_TYPE(obj, &PyUnicode_Type) || Py_IS_TYPE(obj, &PyLong_Type) || Py_IS_TYPE(obj, &PyFloat_Type) ||
           Py_IS_TYPE(obj, &PyBytes_Type) || obj == Py_None || obj == Py_True || obj == Py_False;
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
    PyRef plan_class;            // the class `uses` was worked out for
    std::vector<FieldUse> uses;  // per stored field name; empty: all Keyword
    PyRef late, dropped;         // the class's names of each use (sets), or null
    // The class's __init__ needs an init-only variable, which no blob holds:
    // instances are made without it and get their stored fields set.
    bool without_init = false;
    bool counted = false;  // its class was counted against generated_classes_
    // A dict of every field name (each to None), made when first needed:
    // the keyword arguments of a record with a value for each of more than
    // kGrowingKeywords names start as a copy of it.
    PyRef keywords;
};

// Keyword dicts of up to this many names never grow while filled.
constexpr size_t kGrowingKeywords = 5;

// A large payload's bytes object, filled before anything else holds it.
PyObject* new_large_bytes(const uint8_t* data, size_t n);

// The bytes object of a Bytes record's payload.
ZELKOR_ALWAYS_INLINE PyObject* new_bytes(const uint8_t* data, size_t n) {
    if (n >= kStreamedPayload) return new_large_bytes(data, n);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(n));
}

// Copies `text` (shorter than 1 KiB) to `out` in words, the last one ending
// at its last byte.
ZELKOR_ALWAYS_INLINE void copy_short(char* out, std::string_view text) {
    const char* const in = text.data();
    const size_t n = text.size();
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8) std::memcpy(out + i, in + i, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else if (n) {
        out[0] = in[0];
        out[n / 2] = in[n / 2];
        out[n - 1] = in[n - 1];
    }
}

// Field values set on an instance after it is made, by name.
using LateFields = std::vector<std::pair<PyRef, PyRef>>;

class Reconstructor {
public:
    Reconstructor(const DecodedGraph& decoded, bool bound_generated);
    ~Reconstructor() {
        stack_.clear();
        lone_.extra.reset();
    }

    // The root value (a new reference), or NULL with an exception set, or
    // NULL without one when restart_needed().
    PyObject* run();
    // A record was asked for directly after a record at or past it had been
    // built without a memo entry: with only the targets of Refs marked
    // shared, it may have been built already. Only without dataclass
    // records (no Python code has run); the blob is then built again with
    // count_namings().
    bool restart_needed() const { return restart_; }
    // The root value (a new reference) built in one pass over the records
    // in their order, for blobs laid out as they are saved; or NULL, with
    // no exception set and nothing of it left, for any other blob, which
    // the general path (run(), on a Reconstructor of its own) then builds
    // or refuses. Only without dataclass records.
    PyObject* run_forward();

private:
    // What asking for a record gave. Ready: `out` holds the object.
    // Pushed: a frame now builds it. Deferred: it is a tuple or frozenset
    // still being built, and the requesting slot will receive it when it is
    // finished. Parked: the requesting frames were set aside until it is
    // finished.
    enum class Outcome { Error, Ready, Pushed, Deferred, Parked };
    // What the frameless path gave: the object, nothing (the record needs
    // the general path), or an error.
    enum class Quick { Built, NeedsFrame, Error };

    // A list item or dict value waiting for a tuple or frozenset on a cycle.
    struct Fixup {
        PyRef container;
        PyRef key;             // dict: the key whose value is waiting
        Py_ssize_t index = 0;  // list: the position of the waiting item
        PyRef placeholder;     // what stands in the slot until then
    };

    static constexpr size_t kNoChain = ~size_t{0};

    // The keys of a finished dict, in order: the shape that the records of
    // a table share. A dict of the same shape starts as a copy of it (its
    // keys table made in one step, at its final size) and has each value
    // replaced, instead of growing by insertion.
    struct DictShape {
        PyRef dict;                   // the finished dict
        std::vector<PyObject*> keys;  // its keys, borrowed from `dict`
        // Dicts copied from it that kept its keys, and that did not (or
        // that were of another shape with its slot): a shape that does not
        // pay gives its slot to another.
        uint32_t kept = 0, missed = 0;
    };

    // Tuple and frozenset frames: the items live in the first frame of the
    // record (the owner); a frame started on re-entry continues filling them.
    struct ImmutablePart {
        size_t owner = 0;
        uint32_t cursor = 0;  // owner only: items filled so far
        uint32_t previous_active = 0;
        std::vector<Fixup> fixups;  // owner only: slots to fill when finished
        // A frame brought back from a parked chain: the chain's bottom frame
        // records where its result goes (the parked chain's id), and frames
        // brought back on demand may not park again.
        size_t resumed_from = kNoChain;
        bool no_park = false;
    };

    struct DataclassPart {
        uint16_t type_id = 0;
        PyRef module;               // the companion module that makes the class
        PyRef field_names;          // the list handed to make_class
        PyRef cls;                  // set when the class was made early for a shell
        PyRef shell;                // the instance handed out before its fields were complete
        bool value_hashed = false;  // the shell's class hashes by value
    };

    // The part of a frame that only tuple, frozenset and dataclass frames
    // use, out of line: lists, dicts and sets, the bulk of frames, are made
    // and dropped without it.
    struct FrameExtra {
        std::vector<PyRef> items;  // tuple/frozenset items (owner), dataclass field values
        ImmutablePart immutable;
        DataclassPart dataclass;
    };

    // One record whose children are being built.
    struct Frame {
        uint32_t index = 0;
        Tag tag = Tag::None;
        uint64_t count = 0;  // children (u32 units for a dict)
        uint64_t pos = 0;    // next child to request (not for tuple and frozenset)
        const uint8_t* children = nullptr;
        PyRef obj;  // list, dict or set being filled
        PyRef key;  // dict key waiting for its value
        // Position of the nearest frame at or below this one that is not a
        // tuple or frozenset (-1 if none).
        long nearest_other = -1;
        DictShape* shape = nullptr;         // dict: the shape it was copied from
        std::unique_ptr<FrameExtra> extra;  // tuple, frozenset and dataclass frames
        // Set or dict filled while a shell of a class that hashes by value
        // is live: the members, or the pairs (position, key, value), taken
        // for equal to one already in (a list; see add_early()).
        PyRef aside;
        // Set or dict of many members: its members counted by hash.
        std::unique_ptr<SameHashes> same_hashes;

        std::vector<PyRef>& items() { return extra->items; }
        const std::vector<PyRef>& items() const { return extra->items; }
        ImmutablePart& immutable() { return extra->immutable; }
        const ImmutablePart& immutable() const { return extra->immutable; }
        DataclassPart& dataclass() { return extra->dataclass; }
        const DataclassPart& dataclass() const { return extra->dataclass; }
        // A frame brought back from a parked chain at its bottom: the chain.
        size_t resumed_from() const { return extra ? extra->immutable.resumed_from : kNoChain; }
        bool is_immutable() const { return tag == Tag::Tuple || tag == Tag::FrozenSet; }
        // Whether the child asked for now fills a list item or a dict value.
        bool fills_item_or_value() const { return tag == Tag::List || (tag == Tag::Dict && key); }
    };

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

    // ---- the main loop (reconstruct.cpp)
    bool resolve_ref(uint32_t& index);
    PyObject* build_scalar(RecordView rec);
    PyObject* shared_text(uint32_t string_index);
    // A new str for a Str record naming `string_index` (one str shared by
    // all such records once texts made are past their budget), or NULL
    // with an exception set.
    ZELKOR_ALWAYS_INLINE PyObject* new_text(uint32_t string_index) {
        if (string_index >= string_count_) {
            raise_decode_error(DecodeError::InvalidStringIndex, string_index);
            return nullptr;
        }
        const TextSlot& slot = strings_[string_index];
        if (!text_made_.spend(slot.size)) return shared_text(string_index);
        if (slot.pool_at != TextSlot::kUnpooled && (text_pool_ || pooled_again(string_index))) {
            // Copied out of the pool, which the interpreter then need not
            // scan for the widest character; made once a pooled text is
            // named again (for texts named once it would only cost).
            if (!text_pool_ && !make_text_pool()) return nullptr;
            return PyUnicode_Substring(text_pool_.get(), static_cast<Py_ssize_t>(slot.pool_at),
                                       static_cast<Py_ssize_t>(slot.pool_at) + static_cast<Py_ssize_t>(slot.size));
        }
        const std::string_view text = slot.view();
        if (costly_texts_[string_index >> 6] >> (string_index & 63) & 1) return costly_text(string_index);
        // ASCII: its bytes are its code points, which a plain copy makes.
        // The interpreter scans them for the widest character first, a word
        // at a time only from a word boundary on: they are copied to one.
        alignas(8) char aligned[DecodedGraph::kLongText];
        if (text.size() <= kWholeCopy && static_cast<size_t>(blob_end_ - text.data()) >= kWholeCopy) {
            // Most texts are short: copied whole in words, with no test of
            // their length (the bytes after them are the blob's).
            std::memcpy(aligned, text.data(), kWholeCopy);
        } else {
            copy_short(aligned, text);
        }
        return PyUnicode_DecodeLatin1(aligned, static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    ZELKOR_NOINLINE PyObject* costly_text(uint32_t string_index);
    ZELKOR_NOINLINE uint32_t& ranked_uses(uint32_t string_index);
    ZELKOR_NOINLINE bool make_text_pool();
    // Whether the pooled text `string_index` was named before; marks it.
    bool pooled_again(uint32_t string_index) {
        if (pooled_seen_.empty()) pooled_seen_.resize(string_count_ / 64 + 1);
        uint64_t& word = pooled_seen_[string_index >> 6];
        const uint64_t bit = uint64_t{1} << (string_index & 63);
        if (word & bit) return true;
        word |= bit;
        return false;
    }
    Quick quick(uint32_t index, PyObject*& out, bool shared);
    Outcome reconstruct_ref(uint32_t index, PyRef& out, bool deferrable, uint32_t& deferred, bool needs_frame = false);
    Outcome request_container(uint32_t index, RecordView rec, bool via_ref, PyRef& out, bool deferrable,
                              uint32_t& deferred);
    // Whether `obj` may be hashed as a set member, dict key or frozenset
    // element (with an exception set when not). Hashing a text visits
    // nothing else.
    ZELKOR_ALWAYS_INLINE bool check_hash_cost(PyObject* obj) {
        return Py_IS_TYPE(obj, &PyUnicode_Type) || check_hash_cost_of(obj);
    }
    bool check_hash_cost_of(PyObject* obj);
    // The same for a member of a container of `members` members, counted by
    // hash in `same` (made when first needed) when there are many.
    ZELKOR_ALWAYS_INLINE bool check_member(PyObject* obj, uint64_t members, std::unique_ptr<SameHashes>& same) {
        if (Py_IS_TYPE(obj, &PyUnicode_Type)) return true;
        return check_hash_cost_of(obj) && (members < SameHashes::kCountedMembers || count_same_hash(same, obj));
    }
    ZELKOR_NOINLINE bool count_same_hash(std::unique_ptr<SameHashes>& same, PyObject* obj);
    bool inline_record(uint32_t index, PyObject*& item);
    Quick child_at_hand(uint32_t index, PyObject*& item);
    // Whether the record laid out next is an int, float, str or bytes.
    bool scalar_next() const {
        if (next_index_ >= record_count_) return false;
        const uint8_t tag = data_[next_offset_];
        return tag == tag_byte(Tag::Int) || tag == tag_byte(Tag::Float) || tag == tag_byte(Tag::Str) ||
               tag == tag_byte(Tag::Bytes);
    }
    bool fill_scalars(Frame& top);
    bool fill_list(Frame& top, bool& needs_frame, bool& pushed);
    bool fill_dict(Frame& top, bool& needs_frame);
    Quick take_fields(Frame& f);
    // Enters pair `pair` of a dict of `count` u32 units (pairs are entered
    // in order), taking no reference; `shape`: the shape it was copied from.
    ZELKOR_ALWAYS_INLINE bool set_pair(PyObject* dict, uint64_t count, DictShape*& shape, uint64_t pair, PyObject* key,
                                       PyObject* value) {
        if (shape ? shape->keys[pair] != key : pair == 0 && may_take_shape(count)) {
            if (!change_shape(dict, count, shape, pair, key)) return false;
        }
        return PyDict_SetItem(dict, key, value) == 0;
    }
    ZELKOR_ALWAYS_INLINE bool set_pair(Frame& f, uint64_t pair, PyObject* key, PyObject* value) {
        if (value_shells_) return add_early(f, key, value, pair);  // only with dataclass records: no shapes
        return set_pair(f.obj.get(), f.count, f.shape, pair, key, value);
    }
    ZELKOR_NOINLINE bool change_shape(PyObject* dict, uint64_t count, DictShape*& shape, uint64_t pair, PyObject* key);
    // A dict of `count` u32 units is finished: its shape counts as kept, or
    // its keys may become a shape.
    void dict_finished(PyObject* dict, uint64_t count, DictShape* shape) {
        if (shape) {
            ++shape->kept;
        } else if (may_take_shape(count)) {
            remember_shape(dict, count);
        }
    }
    ZELKOR_NOINLINE void remember_shape(PyObject* dict, uint64_t count);
    bool step(Frame& top, uint32_t child, bool needs_frame);
    bool complete_top(PyRef& root);
    void recycle_top();
    bool next_child(Frame& f, uint32_t& child);
    bool deliver(Frame& f, PyRef obj);
    bool finish(Frame& f, PyRef& out);

    // ---- the forward pass (reconstruct_forward.cpp)
    // A container whose children are being built by the forward pass.
    struct Open {
        PyRef obj;  // list, dict or set; for a tuple or frozenset, a tuple of its items
        PyRef key;  // dict: the key waiting for its value, when made for it
        // Or that key, when a Ref named it: the memo holds it until the pass ends.
        PyObject* lent_key = nullptr;
        const uint8_t* children = nullptr;
        uint64_t count = 0;  // children (u32 units for a dict)
        uint64_t pos = 0;    // children built
        DictShape* shape = nullptr;
        std::unique_ptr<SameHashes> same_hashes;  // set or dict of many members
        uint32_t index = 0;
        Tag tag = Tag::None;
        bool nested = false;  // tuple: holds a tuple
    };
    // What the forward pass met: an object made, a container to open, or
    // a record it gives up on. For a container being filled: finished, a
    // child container to open, or giving up.
    enum class Taken { Object, Opened, GiveUp };
    Taken take_forward(const uint8_t*& rec, uint32_t index, const uint8_t* varint_end, PyObject*& out);
    Taken made_forward(const uint8_t*& rec, uint32_t index, PyObject* item, size_t size, PyObject*& out);
    void open_forward(const uint8_t*& rec, uint32_t& index, PyObject* obj, std::vector<Open>& open);
    template <Tag kKind>
    bool put_forward(Open& top, PyObject* obj, uint64_t pos, PyObject* item);
    bool put_lent(Open& top, PyObject* dict, uint64_t pos, PyObject* item);
    bool put_value(Open& top, PyObject* dict, uint64_t pos, PyObject* value);
    PyObject* ref_target(uint32_t target);
    template <Tag kKind>
    bool close_forward(Open& top, PyObject*& out);
    bool unshared_from(uint32_t index, uint64_t& unshared_end) const;
    template <Tag kTag>
    bool scalar_run(PyObject* list, const uint8_t* children, uint64_t& pos, uint64_t stop, uint32_t shift,
                    const uint8_t*& rec, const uint8_t* varint_end, uint64_t& unshared_end);
    template <Tag kKind>
    Taken fill_forward(Open& top, const uint8_t*& rec, uint32_t& index, const uint8_t* varint_end, PyObject*& io,
                       uint64_t& unshared_end);

    // ---- tuples and frozensets on cycles (reconstruct_cycles.cpp)
    Outcome request_immutable(uint32_t index, RecordView rec, bool deferrable);
    Outcome reenter_immutable(uint32_t index, RecordView rec, bool deferrable);
    bool make_slot(Frame& parent, Fixup& fix);
    Frame& owner_of(uint32_t tuple_index);
    enum class Park { Parked, NotPossible, Error };
    Park park_requester(uint32_t awaited);
    void resume(size_t chain, bool on_demand);
    bool defer(Frame& f, uint32_t tuple_index);
    bool apply_fixups(std::vector<Fixup>& fixups, PyObject* value);
    bool finish_immutable(Frame& f, PyRef& out);
    bool resume_ready_chains();
    bool check_no_chain_left();

    // ---- dataclass records (reconstruct_dataclass.cpp)
    Outcome request_dataclass(uint32_t index, RecordView rec, PyRef& out);
    bool finish_dataclass(Frame& f, PyRef& out);
    bool make_shell(Frame& f, PyRef& out);
    TypeObjects* type_objects(uint32_t type_id);
    PyRef companion_module();
    bool make_class(Frame& f);
    bool count_generated(Frame& f);
    bool plan_fields(Frame& f);
    PyRef construct(Frame& f, PyObject* kwargs);
    PyRef keyword_arguments(const Frame& f, LateFields* late);
    PyRef migrated_arguments(const TypeObjects& t, PyObject* migrated, LateFields& late);
    bool migrate(Frame& f, PyRef first, uint32_t stored, uint32_t current, PyRef& out);
    bool attach_extra_fields(PyObject* instance, PyObject* migrated, PyObject* declared_from);
    bool complete_instance(Frame& f, PyRef instance, PyRef& out);
    bool shell_initialised();
    bool add_early(Frame& f, PyObject* key, PyObject* value, uint64_t pair = 0);
    struct HashedEarly;
    bool rehash_members(const HashedEarly& early);
    bool frozenset_kept_all(const HashedEarly& early);
    void frozenset_not_made();

    // ---- small shared pieces
    void remember(uint32_t index, PyObject* obj) { memo_.set(index, obj); }

    // Whether record `index`, named directly and not marked shared, may be
    // built without a memo entry: when the marks are exact, or when no
    // record at or past it was built so. Saved blobs name such records in
    // increasing order.
    bool is_shared(uint32_t index) const { return shared_words_[index >> 6] >> (index & 63) & 1; }
    // A record named directly, not built yet and not marked shared, below
    // the last one built without a memo entry: it may be that very record,
    // named again (saved blobs never do this), unless it is a tuple or
    // frozenset still being built.
    bool may_be_named_again(uint32_t index) const {
        return !g_.shared_exact && index < unshared_from_ && !is_shared(index) && (active_.empty() || !active_[index]);
    }
    ZELKOR_ALWAYS_INLINE bool first_naming(uint32_t index) {
        if (index < unshared_from_ && !g_.shared_exact) {
            restart_ = true;
            return false;
        }
        unshared_from_ = index + 1;
        return true;
    }

    // The record at `index`. Saved blobs are laid out in the order they are
    // built, so the record asked for is nearly always the one right after
    // the previous one (or that one again): it is found from there, without
    // the offset table.
    RecordView locate(uint32_t index) {
        const uint8_t* rec = data_ + offset_of(index);
        last_offset_ = static_cast<size_t>(rec - data_);
        next_index_ = index + 1;
        next_offset_ = last_offset_ + RecordView(rec).size();
        return RecordView(rec);
    }
    // The record at `index`, without moving the cursor of locate().
    RecordView record_at(uint32_t index) const { return RecordView(data_ + offset_of(index)); }
    size_t offset_of(uint32_t index) const {
        if (index == next_index_) return next_offset_;
        if (uint64_t{index} + 1 == next_index_) return last_offset_;
        return g_.records[index];
    }

    // Stores item `position` of a list frame, taking over the reference.
    bool put_item(Frame& f, uint64_t position, PyObject* item) {
        if (presize_lists_) {
            PyList_SetItem(f.obj.get(), static_cast<Py_ssize_t>(position), item);
            return true;
        }
        const int rc = PyList_Append(f.obj.get(), item);
        Py_DECREF(item);
        return rc == 0;
    }
    Frame& push_frame(uint32_t index, Tag tag, uint64_t count, const uint8_t* children) {
        const long below = stack_.empty() ? -1 : stack_.back().nearest_other;
        stack_.emplace_back();
        Frame& f = stack_.back();
        f.nearest_other = tag == Tag::Tuple || tag == Tag::FrozenSet ? below : static_cast<long>(stack_.size() - 1);
        f.index = index;
        f.tag = tag;
        f.count = count;
        f.children = children;
        if (tag == Tag::Tuple || tag == Tag::FrozenSet || tag == Tag::Dataclass) {
            if (spare_extra_) {
                f.extra = std::move(spare_extra_);
            } else {
                f.extra = std::make_unique<FrameExtra>();
            }
        }
        return f;
    }
    // Innermost frame (+1) of a tuple, frozenset or dataclass record being
    // built; allocated when the first such record is met.
    uint32_t& active(uint32_t index) {
        if (active_.empty()) active_.assign(record_count_, 0);
        return active_[index];
    }

    const DecodedGraph& g_;
    // g_.data and the record count, at hand for the hot paths.
    const uint8_t* const data_;
    const uint32_t record_count_;
    // g_.strings and the costly texts' marks, at hand for new_text().
    const TextSlot* const strings_;
    const size_t string_count_;
    const uint64_t* const costly_texts_;
    // Texts up to this long are copied in one block of this size, when the
    // blob (ending at `blob_end_`) holds that many bytes from their start.
    static constexpr size_t kWholeCopy = 32;
    const char* const blob_end_ = reinterpret_cast<const char*>(g_.data) + g_.size;
    // The record after the one read last, and where it and the last one
    // start (no record was read yet: the last offset is never used).
    uint32_t next_index_ = 0;
    size_t next_offset_ = 0;
    size_t last_offset_ = 0;
    Memo memo_;
    // The forward pass's Refs: the objects of the Ref targets met last, by
    // the low bits of their index (`ref_mask_ + 1` slots, on the pass's
    // stack), which the memo holds. Saved documents name a few key objects
    // again and again.
    struct RefSlot {
        uint32_t index;
        PyObject* obj;
    };
    static constexpr size_t kRefSlots = 256;
    RefSlot* ref_slots_ = nullptr;
    uint32_t ref_mask_ = 0;
    const uint64_t* shared_words_;  // g_.shared
    // Above the last record built without a memo entry.
    uint32_t unshared_from_ = 0;
    bool restart_ = false;
    std::vector<uint32_t> active_;
    std::vector<uint32_t> resolved_;  // Ref chains already followed (+1)
    std::vector<TypeObjects> type_objects_;
    PyRef companion_;      // the companion module as last imported by this load
    PyRef companion_key_;  // its name, to look it up in sys.modules
    std::vector<Frame> stack_;
    // The frame of a dataclass record whose fields were all at hand, made
    // without one on the stack (request_dataclass()).
    Frame lone_;
    // The extra part of the last tuple, frozenset or dataclass frame
    // finished, emptied, for the next one: records of one type follow
    // each other.
    std::unique_ptr<FrameExtra> spare_extra_;
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
    // Shells of classes that hash by value, handed out and not initialised
    // yet (the class of the first of them, to name in an error), and the
    // sets, frozensets and dicts finished meanwhile: a member or key that
    // holds such a shell was hashed before the shell had its fields. Each
    // is looked at once the last of them is initialised (see
    // shell_initialised()).
    struct HashedEarly {
        PyRef container;
        // A set's or dict's aside list, if any; a frozenset's items, if
        // they made fewer members than there are of them.
        PyRef aside;
    };
    uint32_t value_shells_ = 0;
    PyRef value_shell_class_;
    std::vector<HashedEarly> hashed_early_;
    // The bounds on work and memory that a crafted blob could otherwise
    // blow up (reconstruct_budgets.h).
    HashCosts hash_costs_;
    WorkBudget continuations_;
    WorkBudget text_made_;
    WorkBudget field_names_made_;
    // Building a class for an unregistered name (the companion module's
    // generated classes) takes time and memory for the class and for each
    // of its fields, more per field the wider the class, and a blob from
    // elsewhere may name any number of them. Without an allowlist their cost
    // (in units of about one narrow field's) is bounded in proportion to the
    // blob's size, far above what blobs of real data need: about a second of
    // building for a blob of 2 MB.
    static constexpr uint64_t kGeneratedClassCost = 16;
    static constexpr uint64_t kGeneratedWideFields = 2048;
    static constexpr uint64_t kGeneratedBase = 8192;
    static constexpr uint64_t kBytesPerGeneratedUnit = 256;
    WorkBudget generated_classes_;
    std::unordered_map<uint32_t, PyRef> shared_texts_;
    // The short ASCII texts as one str and one character more (so that no
    // text is the whole of it), made when a pooled text is named a second
    // time: a str copied out of it is made without a scan of its text.
    PyRef text_pool_;
    std::vector<uint64_t> pooled_seen_;  // until then, the pooled texts named, one bit each
    // Costly texts (not ASCII, or long) that Str records name more than
    // once: from the second one on, each str is copied out of a str of the
    // text and one more character, which skips decoding the text again.
    // (Not out of the text's own str: a copy of a whole str is that str.)
    // Texts of one character are always decoded: the interpreter keeps one
    // str of some of them.
    struct TextCopy {
        PyRef longer;       // the text and a NUL
        Py_ssize_t length;  // of the text, in code points
    };
    static constexpr uint32_t kUnseen = 0, kSeenOnce = 1, kFirstCopy = 2, kDecodeAlways = ~uint32_t{0};
    // Once a costly text is met, per string, or per costly text (by its
    // rank among them) when they are few in a large table: kUnseen,
    // kSeenOnce, kDecodeAlways, or kFirstCopy + its copy's position.
    std::vector<uint32_t> text_uses_;
    uint32_t* uses_by_text_ = nullptr;     // text_uses_, when per string
    std::vector<uint32_t> costly_before_;  // otherwise: per word of the costly marks, the costly texts before it
    static constexpr size_t kRankedUses = 16384;
    std::vector<TextCopy> text_copies_;
    std::string text_buffer_;
    // Dict shapes met, by their pair count and first key: dicts of 6 to 64
    // pairs, the rows of tables. A dict of fewer pairs gains nothing from a
    // copy (its keys table never grows); larger ones are seldom repeated.
    // Only without dataclass records: a copy holds the values of the dict
    // it was made from until each is replaced, which no Python code may see.
    static constexpr uint64_t kShapedPairs = 6;
    static constexpr uint64_t kShapedSpan = 64 - kShapedPairs;
    // Whether a dict of `count` u32 units (two a pair) is of a shaped size.
    static bool may_take_shape(uint64_t count) { return count - 2 * kShapedPairs <= 2 * kShapedSpan; }
    static constexpr size_t kShapeSlots = 64;
    static size_t shape_slot(PyObject* first_key, uint64_t pairs) {
        const uint64_t h = (reinterpret_cast<uintptr_t>(first_key) ^ pairs) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 58);
    }
    std::array<DictShape*, kShapeSlots> shape_slots_{};
    std::vector<std::unique_ptr<DictShape>> shapes_;
    FieldKinds field_kinds_;
};

}  // namespace zelkor::format
