// Reconstruction's main loop: an explicit stack of frames, one per container
// whose children are being built, with frameless fast paths for the records
// that need no frame (scalars, records already built). Also the entry
// point.
#include "format/reconstruct.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "format/reconstructor.h"

namespace zelkor::format {

void raise_decode_error(DecodeError error, uint64_t number) {
    raise_value_error(error_message(error, number));
}

namespace {

// Whether the records marked shared (nearly all that will get a memo entry)
// lie so thinly over the record table that a memo of one slot per record
// would be touched on many pages for few entries, and an open-addressing
// memo sized to them takes far less memory.
bool sparse_memo(const DecodedGraph& g) {
    const uint64_t* words = g.shared.words();
    const size_t count = SharedRecords::word_count(g.shared.size());
    constexpr size_t kWordsPerPage = 4096 / sizeof(PyObject*) / 64;  // slots of one 4 KiB page
    uint64_t marked = 0, pages = 0;
    for (size_t page = 0; page < count; page += kWordsPerPage) {
        uint64_t any = 0;
        for (size_t w = page; w < std::min(count, page + kWordsPerPage); ++w) {
            any |= words[w];
            marked += static_cast<uint64_t>(std::popcount(words[w]));
        }
        pages += any != 0;
    }
    const uint64_t flat_bytes = 4096 * pages;
    const uint64_t open_bytes = 24 * marked;  // 12 bytes a slot, at most two thirds full
    return flat_bytes > std::max<uint64_t>(2 * open_bytes, uint64_t{1} << 18);
}

}  // namespace

Reconstructor::Reconstructor(const DecodedGraph& decoded, bool bound_generated)
    : g_(decoded), data_(decoded.data), record_count_(static_cast<uint32_t>(decoded.records.size())),
      strings_(decoded.strings.data()), string_count_(decoded.strings.size()),
      costly_texts_(decoded.costly_texts.data()), next_offset_(decoded.records.first()),
      memo_(decoded.records.size(), sparse_memo(decoded), decoded.shared.words()),
      shared_words_(decoded.shared.words()), type_objects_(decoded.types.types.size()),
      presize_lists_(!decoded.has_dataclass), placeholders_allowed_(!decoded.has_dataclass),
      hash_costs_(64 * static_cast<uint64_t>(decoded.records.size()) + (uint64_t{1} << 28)),
      continuations_(64 * static_cast<uint64_t>(decoded.records.size()) + (1u << 20)),
      // One Str record makes one new str object, so a long text named by
      // many short records could make a small blob fill the memory. Past a
      // budget far above what real data reaches, records of one text share
      // one str.
      text_made_(64 * static_cast<uint64_t>(decoded.size) + (uint64_t{1} << 26)),
      // Each dataclass record hands make_class a new list of its type's
      // field names: bounded for types whose records carry far fewer values.
      field_names_made_(64 * static_cast<uint64_t>(decoded.records.size()) + (uint64_t{1} << 22)),
      generated_classes_(bound_generated ? kGeneratedBase + decoded.size / kBytesPerGeneratedUnit : ~uint64_t{0}) {}

bool Reconstructor::resolve_ref(uint32_t& index) {
    // Follows a chain of Ref records iteratively. Each chain is walked once:
    // every Ref on it then points straight at the end, so hostile blobs with
    // many long chains stay linear, and a loop is caught after at most as
    // many hops as there are records.
    const size_t n = g_.records.size();
    if (resolved_.empty()) resolved_.assign(n, 0);
    uint32_t current = index;
    size_t hops = 0;
    while (current < n && record_at(current).tag() == Tag::Ref) {
        if (resolved_[current]) {
            current = resolved_[current] - 1;
            break;
        }
        if (++hops > n) {
            raise_decode_error(DecodeError::InvalidReference, index);
            return false;
        }
        current = record_at(current).target();
    }
    if (current < n) {
        for (uint32_t i = index; i < n && record_at(i).tag() == Tag::Ref && !resolved_[i];) {
            const uint32_t next = record_at(i).target();
            resolved_[i] = current + 1;
            i = next;
        }
    }
    index = current;
    return true;
}

// A new reference to the value of a scalar record.
inline PyObject* Reconstructor::build_scalar(RecordView rec) {
    switch (rec.tag()) {
        case Tag::None:
            Py_INCREF(Py_None);
            return Py_None;
        case Tag::True:
            Py_INCREF(Py_True);
            return Py_True;
        case Tag::False:
            Py_INCREF(Py_False);
            return Py_False;
        case Tag::Int:
            return PyLong_FromLongLong(rec.int_value());
        case Tag::Float:
            return PyFloat_FromDouble(rec.float_value());
        case Tag::Str:
            return new_text(rec.string_index());
        case Tag::Bytes:
            return new_bytes(rec.bytes(), rec.count());
        case Tag::List:
        case Tag::Tuple:
        case Tag::Dict:
        case Tag::Set:
        case Tag::FrozenSet:
        case Tag::Dataclass:
        case Tag::Ref:
            break;
    }
    assert(false && "build_scalar called for a record that is not a scalar");
    return nullptr;
}

// The common case, without frames: a record already built, or a scalar. A
// Ref, a container not built yet or an invalid index need the general path.
ZELKOR_ALWAYS_INLINE Reconstructor::Quick Reconstructor::quick(uint32_t index, PyObject*& out, bool shared) {
    if (index >= record_count_) return Quick::NeedsFrame;
    RecordView rec = locate(index);
    if (rec.tag() == Tag::Ref) {
        // A Ref straight to a record that is not a Ref itself (as every
        // saved blob has them); chains and bad targets take the general path.
        const uint32_t target = rec.target();
        if (target >= record_count_) return Quick::NeedsFrame;
        if (PyObject* built = memo_.get(target)) {
            Py_INCREF(built);
            out = built;
            return Quick::Built;
        }
        rec = record_at(target);
        if (rec.tag() == Tag::Ref) return Quick::NeedsFrame;
        index = target;
        shared = true;
    }
    if (!is_scalar(rec.tag())) {
        PyObject* built = memo_.get(index);
        if (!built) return Quick::NeedsFrame;
        Py_INCREF(built);
        out = built;
        return Quick::Built;
    }
    // A scalar named only once, and not through a Ref, is asked for only
    // once: it needs no memo entry.
    if (!shared && !is_shared(index)) {
        if (!first_naming(index)) return Quick::Error;
        out = build_scalar(rec);
        return out ? Quick::Built : Quick::Error;
    }
    if (PyObject* built = memo_.get(index)) {
        Py_INCREF(built);
        out = built;
        return Quick::Built;
    }
    out = build_scalar(rec);
    if (!out) return Quick::Error;
    remember(index, out);
    return Quick::Built;
}

// The object for record `index`: at once (a Ref followed, a record already
// built, a scalar), or as a frame pushed to build it, or as a wait.
// `needs_frame`: quick() just gave NeedsFrame for `index`, which it gives
// again for a record that is not a Ref.
Reconstructor::Outcome Reconstructor::reconstruct_ref(uint32_t index, PyRef& out, bool deferrable, uint32_t& deferred,
                                                      bool needs_frame) {
    if (index >= record_count_) {
        raise_decode_error(DecodeError::InvalidReference, index);
        return Outcome::Error;
    }
    const bool via_ref = record_at(index).tag() == Tag::Ref;
    if (via_ref) {
        if (!resolve_ref(index)) return Outcome::Error;
        if (index >= record_count_) {
            raise_decode_error(DecodeError::InvalidReference, index);
            return Outcome::Error;
        }
    }
    if (via_ref || !needs_frame) {
        PyObject* obj;
        switch (quick(index, obj, via_ref)) {
            case Quick::Error:
                return Outcome::Error;
            case Quick::Built:
                out = PyRef::steal(obj);
                return Outcome::Ready;
            case Quick::NeedsFrame:
                break;
        }
    }
    if (!via_ref && may_be_named_again(index)) {
        restart_ = true;
        return Outcome::Error;
    }
    return request_container(index, locate(index), via_ref, out, deferrable, deferred);
}

// Starts building a container record that is not built yet.
Reconstructor::Outcome Reconstructor::request_container(uint32_t index, RecordView rec, bool via_ref, PyRef& out,
                                                        bool deferrable, uint32_t& deferred) {
    switch (rec.tag()) {
        case Tag::List:
        case Tag::Dict:
        case Tag::Set: {
            const uint32_t count = rec.count();
            PyRef container = PyRef::steal(rec.tag() == Tag::List   ? PyList_New(presize_lists_ ? count : 0)
                                           : rec.tag() == Tag::Dict ? PyDict_New()
                                                                    : PySet_New(nullptr));
            if (!container) return Outcome::Error;
            // Named once, not through a Ref, and as the root or by a list,
            // dict or set: nothing asks for it again, so it needs no memo
            // entry (nor the page of the table it would touch). A tuple,
            // frozenset or instance met again through a cycle while its items
            // are built asks again for the item it was building.
            const bool asked_once = !via_ref && !is_shared(index) &&
                                    (stack_.empty() || stack_.back().tag == Tag::List ||
                                     stack_.back().tag == Tag::Dict || stack_.back().tag == Tag::Set);
            if (!asked_once) {
                remember(index, container.get());
            } else if (!first_naming(index)) {
                return Outcome::Error;
            }
            Frame& f = push_frame(index, rec.tag(), rec.child_units(), rec.children());
            f.obj = std::move(container);
            return Outcome::Pushed;
        }
        case Tag::Tuple:
        case Tag::FrozenSet: {
            const Outcome r = request_immutable(index, rec, deferrable);
            if (r == Outcome::Deferred) deferred = index;
            return r;
        }
        case Tag::Dataclass:
            return request_dataclass(index, rec, out);
        case Tag::None:
        case Tag::True:
        case Tag::False:
        case Tag::Int:
        case Tag::Float:
        case Tag::Str:
        case Tag::Bytes:
        case Tag::Ref:
            break;  // scalars are built by quick(), Ref chains resolved before
    }
    assert(false && "request_container called for a record that is not a container");
    return Outcome::Error;
}

bool Reconstructor::check_hash_cost_of(PyObject* obj) {
    switch (hash_costs_.check(obj)) {
        case HashCosts::Verdict::Affordable:
            return true;
        case HashCosts::Verdict::TooDeep:
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while hashing a tuple");
            return false;
        case HashCosts::Verdict::TooCostly:
            raise_decode_error(DecodeError::HashingTooCostly);
            return false;
    }
    return false;
}

bool Reconstructor::count_same_hash(std::unique_ptr<SameHashes>& same, PyObject* obj) {
    if (holds_nothing(obj) || !SameHashes::sampled(obj)) return true;
    const Py_hash_t hash = PyObject_Hash(obj);
    if (hash == -1) {
        // The container's own hashing raises the same; a shell that cannot
        // be hashed yet is left to add_early().
        if (value_shells_ && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (!same) same = std::make_unique<SameHashes>();
    // Each sampled member stands for kSampling members: those of its hash
    // before it, for kSampling times as many as were sampled.
    const uint64_t before = same->take(hash);
    constexpr uint64_t kScale = SameHashes::kSampling * SameHashes::kSampling;
    if (before == 0 || hash_costs_.charge_comparisons(obj, kScale * before)) return true;
    raise_decode_error(DecodeError::HashingTooCostly);
    return false;
}

ZELKOR_ALWAYS_INLINE bool Reconstructor::next_child(Frame& f, uint32_t& child) {
    if (f.is_immutable()) {
        if (memo_.get(f.index)) return false;  // finished by a nested frame
        const Frame& owner = stack_[f.immutable().owner];
        if (owner.immutable().cursor >= f.count) return false;
        if (&owner != &f) continuations_.spend(1);  // checked where the next one starts
        child = child_at(f.children, owner.immutable().cursor);
        return true;
    }
    if (f.pos >= f.count) return false;
    child = child_at(f.children, f.pos++);
    return true;
}

bool Reconstructor::deliver(Frame& f, PyRef obj) {
    switch (f.tag) {
        case Tag::List:
            return put_item(f, f.pos - 1, obj.release());
        case Tag::Set:
            if (!check_member(obj.get(), f.count, f.same_hashes)) return false;
            if (value_shells_) return add_early(f, obj.get(), nullptr);
            return PySet_Add(f.obj.get(), obj.get()) == 0;
        case Tag::Dict:
            if (!f.key) {
                if (!check_member(obj.get(), f.count / 2, f.same_hashes)) return false;
                f.key = std::move(obj);
                return true;
            } else {
                PyRef key = std::move(f.key);
                return set_pair(f, (f.pos - 1) / 2, key.get(), obj.get());
            }
        case Tag::Tuple:
        case Tag::FrozenSet: {
            if (memo_.get(f.index)) return true;  // finished meanwhile; this frame's items are discarded
            Frame& owner = stack_[f.immutable().owner];
            owner.items()[owner.immutable().cursor++] = std::move(obj);
            return true;
        }
        case Tag::Dataclass:
            f.items().push_back(std::move(obj));
            return true;
        case Tag::None:
        case Tag::True:
        case Tag::False:
        case Tag::Int:
        case Tag::Float:
        case Tag::Str:
        case Tag::Bytes:
        case Tag::Ref:
            break;  // no frame is made for these
    }
    assert(false && "a frame of a kind that has no children");
    return true;
}

bool Reconstructor::finish(Frame& f, PyRef& out) {
    switch (f.tag) {
        case Tag::Dict:
            dict_finished(f.obj.get(), f.count, f.shape);
            [[fallthrough]];
        case Tag::Set:
            if (value_shells_) {
                hashed_early_.push_back({f.obj.copy(), std::move(f.aside)});
            }
            [[fallthrough]];
        case Tag::List:
            out = std::move(f.obj);
            return true;
        case Tag::Tuple:
        case Tag::FrozenSet:
            return finish_immutable(f, out);
        case Tag::Dataclass:
            active(f.index) = 0;
            return finish_dataclass(f, out);
        case Tag::None:
        case Tag::True:
        case Tag::False:
        case Tag::Int:
        case Tag::Float:
        case Tag::Str:
        case Tag::Bytes:
        case Tag::Ref:
            break;  // no frame is made for these
    }
    assert(false && "a frame of a kind that has no children");
    return false;
}

// The record right after the previous one, when it needs no frame: a
// scalar named only here, or a Ref to an object already built (saved blobs
// lay records out in the order they are built, so this is the bulk of most
// blobs). True when it was such a record: `item` then holds it (NULL with an
// exception set when it could not be made).
ZELKOR_ALWAYS_INLINE bool Reconstructor::inline_record(uint32_t index, PyObject*& item) {
    if (index != next_index_ || index >= record_count_) return false;
    const uint8_t* rec = data_ + next_offset_;
    const Tag tag = static_cast<Tag>(rec[0]);
    // Refs first: the bulk of blobs with shared parts and of tables (their
    // keys and repeated values).
    if (tag == Tag::Ref) {
        const uint32_t target = load_u32(rec + 1);
        if (target >= record_count_) return false;
        PyObject* built = memo_.get(target);
        if (!built) return false;
        Py_INCREF(built);
        item = built;
        next_index_ = index + 1;
        last_offset_ = next_offset_;
        next_offset_ += 5;
        return true;
    }
    // Built without a memo entry: named once, as far as is known here.
    if (index < unshared_from_ || is_shared(index)) return false;
    size_t size;
    if (tag == Tag::Int) {
        size_t length;
        // The fast form reads 8 bytes: not past the end of the input.
        if (g_.size - next_offset_ > 8) {
            uint64_t z;
            length = read_checked_varint_fast(rec + 1, z);
            item = PyLong_FromLongLong(zigzag_decode(z));
        } else {
            item = PyLong_FromLongLong(read_checked_zigzag(rec + 1, length));
        }
        size = 1 + length;
    } else if (tag == Tag::Float) {
        item = PyFloat_FromDouble(RecordView(rec).float_value());
        size = 9;
    } else if (tag == Tag::Str) {
        item = new_text(load_u32(rec + 1));
        size = 5;
    } else if (tag == Tag::None || tag == Tag::True || tag == Tag::False) {
        item = tag == Tag::None ? Py_None : tag == Tag::True ? Py_True : Py_False;
        Py_INCREF(item);
        size = 1;
    } else if (tag == Tag::Bytes) {
        item = new_bytes(rec + 5, load_u32(rec + 1));
        size = 5 + static_cast<size_t>(load_u32(rec + 1));
    } else {
        return false;
    }
    unshared_from_ = index + 1;
    next_index_ = index + 1;
    last_offset_ = next_offset_;
    next_offset_ += size;
    return true;
}

// A child at hand: laid out next, a scalar, or built before.
ZELKOR_ALWAYS_INLINE Reconstructor::Quick Reconstructor::child_at_hand(uint32_t index, PyObject*& item) {
    if (inline_record(index, item)) return item ? Quick::Built : Quick::Error;
    return quick(index, item, false);
}

// Fast lane for the bulk of most blobs: scalars and objects already built go
// straight into the list, until a child needs a frame.
ZELKOR_ALWAYS_INLINE bool Reconstructor::fill_list(Frame& top, bool& needs_frame, bool& pushed) {
    // The scalar lane is tried first, and again after a scalar it left to
    // this one (a shared int, whose first record needs a memo entry).
    bool scalars = true;
    while (top.pos < top.count) {
        if (scalars && scalar_next()) {
            if (!fill_scalars(top)) return false;
            if (top.pos >= top.count) break;
        }
        PyObject* item;
        const uint32_t child = child_at(top.children, top.pos);
        Quick q = Quick::NeedsFrame;
        if (inline_record(child, item)) {
            q = item ? Quick::Built : Quick::Error;
        } else if (!(child == next_index_ && child < record_count_ && data_[next_offset_] == tag_byte(Tag::Dataclass) &&
                     !is_shared(child))) {
            // (A dataclass record laid out next and named once is not built
            // yet: it needs no look in the memo.)
            q = quick(child, item, false);
        }
        if (q == Quick::Error) return false;
        if (q == Quick::NeedsFrame) {
            if (child >= record_count_ || record_at(child).tag() != Tag::Dataclass || may_be_named_again(child)) {
                needs_frame = true;
                return true;
            }
            // A dataclass record, as lists of instances name them: made at
            // once when its fields are at hand, without a frame. Otherwise
            // it gets one, and `top` may have moved.
            ++top.pos;
            PyRef obj;
            const Outcome made = request_dataclass(child, locate(child), obj);
            if (made == Outcome::Pushed) {
                pushed = true;
                return true;
            }
            if (made != Outcome::Ready || !put_item(top, top.pos - 1, obj.release())) return false;
            scalars = false;
            continue;
        }
        scalars = Py_IS_TYPE(item, &PyLong_Type) || Py_IS_TYPE(item, &PyFloat_Type) ||
                  Py_IS_TYPE(item, &PyUnicode_Type) || Py_IS_TYPE(item, &PyBytes_Type);
        if (!put_item(top, top.pos++, item)) return false;
    }
    return true;
}

// The same for dict entries whose key and value are both at hand.
ZELKOR_ALWAYS_INLINE bool Reconstructor::fill_dict(Frame& top, bool& needs_frame) {
    while (top.pos + 1 < top.count) {
        PyObject *key, *value;
        const Quick qk = child_at_hand(child_at(top.children, top.pos), key);
        if (qk == Quick::Error) return false;
        if (qk == Quick::NeedsFrame) {
            needs_frame = true;
            return true;
        }
        if (!check_member(key, top.count / 2, top.same_hashes)) {
            Py_DECREF(key);
            return false;
        }
        const Quick qv = child_at_hand(child_at(top.children, top.pos + 1), value);
        if (qv == Quick::Error) {
            Py_DECREF(key);
            return false;
        }
        if (qv == Quick::NeedsFrame) {
            // Only the key is at hand: it waits in the frame.
            top.key = PyRef::steal(key);
            ++top.pos;
            needs_frame = true;
            return true;
        }
        const uint64_t pair = top.pos / 2;
        top.pos += 2;
        const bool ok = set_pair(top, pair, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
        if (!ok) return false;
    }
    return true;
}

// The same for the fields of a dataclass record: Built when all were
// taken, NeedsFrame when one needs the main loop.
Reconstructor::Quick Reconstructor::take_fields(Frame& f) {
    while (f.pos < f.count) {
        PyObject* item;
        if (!inline_record(child_at(f.children, f.pos), item)) return Quick::NeedsFrame;
        if (!item) return Quick::Error;
        f.items().push_back(PyRef::steal(item));
        ++f.pos;
    }
    return Quick::Built;
}

// Asks for the next child of the top frame and hands it over, or starts
// what builds it. `needs_frame`: quick() just gave NeedsFrame for it.
ZELKOR_ALWAYS_INLINE bool Reconstructor::step(Frame& top, uint32_t child, bool needs_frame) {
    if (!needs_frame) {
        PyObject* quick_obj;
        switch (quick(child, quick_obj, false)) {
            case Quick::Error:
                return false;
            case Quick::Built:
                return deliver(top, PyRef::steal(quick_obj));
            case Quick::NeedsFrame:
                break;
        }
    }
    PyRef obj;
    // Waiting slots hold placeholders, which only no Python code may see:
    // without dataclass records none runs during the build.
    const bool deferrable = placeholders_allowed_ && top.fills_item_or_value();
    const size_t requester = stack_.size() - 1;
    uint32_t deferred = 0;
    // `top` may move from here on: frames are pushed.
    switch (reconstruct_ref(child, obj, deferrable, deferred, true)) {
        case Outcome::Error:
            return false;
        case Outcome::Parked:
            return true;
        case Outcome::Pushed:
            // A parked chain brought back to finish the child first: the
            // requester asks for the child again once it is done.
            if (stack_.size() > requester + 1 && stack_[requester + 1].resumed_from() != kNoChain) {
                Frame& f = stack_[requester];
                if (!f.is_immutable()) --f.pos;
            }
            return true;
        case Outcome::Deferred:
            return defer(stack_.back(), deferred);
        case Outcome::Ready:
            return deliver(stack_.back(), std::move(obj));
    }
    return false;
}

// Drops the top frame, keeping its extra part for the next frame that
// needs one.
void Reconstructor::recycle_top() {
    Frame& top = stack_.back();
    if (top.extra) {
        FrameExtra& extra = *top.extra;
        extra.items.clear();
        extra.immutable = ImmutablePart();
        extra.dataclass = DataclassPart();
        spare_extra_ = std::move(top.extra);
    }
    stack_.pop_back();
}

// The top frame has no children left: finishes its object and hands it to
// where it belongs.
inline bool Reconstructor::complete_top(PyRef& root) {
    Frame& top = stack_.back();
    PyRef done;
    if (!finish(top, done)) return false;
    const size_t chain = top.resumed_from();
    recycle_top();
    if (chain != kNoChain) {
        // The bottom of a chain that was parked: its slot waits for it.
        std::vector<Fixup> slot;
        slot.push_back(std::move(parked_[chain]->slot));
        if (!apply_fixups(slot, done.get())) return false;
    } else if (!stack_.empty()) {
        if (!deliver(stack_.back(), std::move(done))) return false;
    } else {
        root = std::move(done);
    }
    return ready_.empty() || resume_ready_chains();
}

PyObject* Reconstructor::run() {
    PyRef root;
    uint32_t deferred = 0;
    switch (reconstruct_ref(0, root, false, deferred)) {
        case Outcome::Error:
            return nullptr;
        case Outcome::Ready:
            return root.release();
        case Outcome::Pushed:
        case Outcome::Deferred:
        case Outcome::Parked:
            break;
    }
    // The stack can run empty before the end: after the root is done, a
    // chain brought back may park again (waiting for itself).
    while (!stack_.empty()) {
        Frame& top = stack_.back();
        bool needs_frame = false, pushed = false;
        if (top.tag == Tag::List) {
            if (!fill_list(top, needs_frame, pushed)) return nullptr;
            if (pushed) continue;
        } else if (top.tag == Tag::Dict && !top.key) {
            if (!fill_dict(top, needs_frame)) return nullptr;
        }
        uint32_t child;
        if (next_child(top, child)) {
            if (!step(top, child, needs_frame)) return nullptr;
        } else if (!complete_top(root)) {
            return nullptr;
        }
    }
    if (!check_no_chain_left()) return nullptr;
    return root.release();
}

PyObject* reconstruct_root(DecodedGraph& decoded, bool bound_generated) {
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
    // Blobs laid out as they are saved are built in one pass; any other
    // is built by the general path.
    if (!decoded.has_dataclass) {
        Reconstructor r(decoded, bound_generated);
        if (PyObject* root = r.run_forward()) return root;
    }
    // With dataclass records (where Python code runs, so that nothing
    // built can be built again) the decoder made the marks exact.
    {
        Reconstructor r(decoded, bound_generated);
        PyObject* root = r.run();
        if (root || !r.restart_needed()) return root;
    }
    count_namings(decoded);
    Reconstructor r(decoded, bound_generated);
    return r.run();
}

}  // namespace zelkor::format
