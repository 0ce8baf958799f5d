// The forward pass. Saved blobs lay their records out in the order they are
// built: each container's children follow it, so the child a container
// names next is the record laid out next (or a Ref to an object built
// before). Such a blob is built in one pass over its records, with the
// cursor in locals and an explicit stack of the containers open, instead of
// through the general machinery of frames, Ref chains and cycles.
//
// Anything else makes the pass give up: a child that is not the record laid
// out next, a Ref to a record not built yet (or not finished, or to another
// Ref), any error. No Python code runs during the pass, so nothing it built
// has been seen: it is dropped, and the general path builds the blob afresh
// (and refuses it, with its own error, where it must).
#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "format/reconstructor.h"

namespace zelkor::format {

// The object that a Ref to record `target` names: one built before (and
// finished, unless a list, dict or set), or NULL.
ZELKOR_ALWAYS_INLINE PyObject* Reconstructor::ref_target(const uint32_t target) {
    RefSlot& slot = ref_slots_[target & ref_mask_];
    if (slot.index == target) return slot.obj;
    if (target >= record_count_) return nullptr;
    PyObject* const built = memo_.get(target);  // NULL: not built, not finished yet, or a Ref
    if (built) slot = RefSlot{target, built};
    return built;
}

// The record at `rec`, record `index`, named next: an object (`out`, a new
// reference; `rec` moves past the record), or a container (`out`, empty,
// a new reference; `rec` stays for open_forward()).
ZELKOR_ALWAYS_INLINE Reconstructor::Taken Reconstructor::take_forward(const uint8_t*& rec, const uint32_t index,
                                                                      const uint8_t* varint_end, PyObject*& out) {
    const Tag tag = static_cast<Tag>(rec[0]);
    if (tag == Tag::Ref) {
        PyObject* const built = ref_target(load_u32(rec + 1));
        if (!built) return Taken::GiveUp;
        Py_INCREF(built);
        out = built;
        rec += 5;
        return Taken::Object;
    }
    // The common kinds first, by tests the compiler keeps cheaper than a
    // jump table.
    if (tag == Tag::Float) return made_forward(rec, index, PyFloat_FromDouble(RecordView(rec).float_value()), 9, out);
    if (tag == Tag::Int && rec < varint_end) {
        // The fast form reads 8 bytes: not past the end of the input.
        uint64_t z;
        const size_t length = read_checked_varint_fast(rec + 1, z);
        return made_forward(rec, index, PyLong_FromLongLong(zigzag_decode(z)), 1 + length, out);
    }
    if (tag == Tag::Str) return made_forward(rec, index, new_text(load_u32(rec + 1)), 5, out);
    if (tag == Tag::Bytes) {
        const uint32_t n = load_u32(rec + 1);
        return made_forward(rec, index, new_bytes(rec + 5, n), 5 + static_cast<size_t>(n), out);
    }
    switch (tag) {
        case Tag::Int: {
            size_t length;
            PyObject* const item = PyLong_FromLongLong(read_checked_zigzag(rec + 1, length));
            return made_forward(rec, index, item, 1 + length, out);
        }
        case Tag::None:
        case Tag::True:
        case Tag::False: {
            PyObject* const item = tag == Tag::None ? Py_None : tag == Tag::True ? Py_True : Py_False;
            Py_INCREF(item);
            return made_forward(rec, index, item, 1, out);
        }
        case Tag::List:
        case Tag::Dict:
        case Tag::Set:
        case Tag::Tuple:
        case Tag::FrozenSet: {
            // A tuple or frozenset gathers its items in a tuple, made into
            // the value when they are complete; no Ref may name it before.
            const uint32_t count = RecordView(rec).count();
            out = tag == Tag::List   ? PyList_New(count)
                  : tag == Tag::Dict ? PyDict_New()
                  : tag == Tag::Set  ? PySet_New(nullptr)
                                     : PyTuple_New(count);
            return out ? Taken::Opened : Taken::GiveUp;
        }
        case Tag::Float:
        case Tag::Str:
        case Tag::Bytes:  // taken above
        case Tag::Dataclass:
        case Tag::Ref:
            break;
    }
    return Taken::GiveUp;
}

// The scalar record at `rec`, record `index`, of `size` bytes, made into
// `item` (a new reference, or NULL): `out` takes it, `rec` moves past it.
ZELKOR_ALWAYS_INLINE Reconstructor::Taken Reconstructor::made_forward(const uint8_t*& rec, uint32_t index,
                                                                      PyObject* item, size_t size, PyObject*& out) {
    if (!item) return Taken::GiveUp;
    if (is_shared(index)) {
        PyRef held = PyRef::steal(item);
        remember(index, item);
        held.release();
    }
    out = item;
    rec += size;
    return Taken::Object;
}

// Opens the container record at `rec`, record `index`, whose empty object
// take_forward() made (`obj`, a new reference); both move past it.
ZELKOR_ALWAYS_INLINE void Reconstructor::open_forward(const uint8_t*& rec, uint32_t& index, PyObject* obj,
                                                      std::vector<Open>& open) {
    PyRef held = PyRef::steal(obj);
    const Tag tag = static_cast<Tag>(rec[0]);
    const uint32_t count = load_u32(rec + 1);
    // A list, dict or set on a cycle is named from within.
    if (tag != Tag::Tuple && tag != Tag::FrozenSet && is_shared(index)) remember(index, obj);
    open.emplace_back();
    Open& o = open.back();
    o.obj = std::move(held);
    o.children = rec + 5;
    o.count = tag == Tag::Dict ? 2 * uint64_t{count} : count;
    o.index = index;
    o.tag = tag;
    rec += 5 + 4 * static_cast<size_t>(o.count);
    ++index;
}

// Puts `item` (a new reference) into the open container `top`, of kind
// `kKind` and object `obj`, as its child `pos`.
template <Tag kKind>
ZELKOR_ALWAYS_INLINE bool Reconstructor::put_forward(Open& top, PyObject* obj, uint64_t pos, PyObject* item) {
    if constexpr (kKind == Tag::List) {
        PyList_SetItem(obj, static_cast<Py_ssize_t>(pos), item);
        return true;
    } else if constexpr (kKind == Tag::Tuple || kKind == Tag::FrozenSet) {
        if (kKind == Tag::Tuple) top.nested |= Py_IS_TYPE(item, &PyTuple_Type);
        PyTuple_SetItem(obj, static_cast<Py_ssize_t>(pos), item);
        return true;
    } else if constexpr (kKind == Tag::Set) {
        const PyRef member = PyRef::steal(item);
        return check_member(item, top.count, top.same_hashes) && PySet_Add(obj, item) == 0;
    } else {
        static_assert(kKind == Tag::Dict);
        if (!(pos & 1)) {
            top.key = PyRef::steal(item);
            return check_member(item, top.count / 2, top.same_hashes);
        }
        const PyRef value = PyRef::steal(item);
        return put_value(top, obj, pos, item);
    }
}

// Puts `item`, an object the memo holds (named by a Ref), into the open
// dict `top` (object `dict`) as its child `pos`, without a reference of
// our own: the dict takes one of its own.
ZELKOR_ALWAYS_INLINE bool Reconstructor::put_lent(Open& top, PyObject* dict, uint64_t pos, PyObject* item) {
    if (!(pos & 1)) {
        top.lent_key = item;
        return check_member(item, top.count / 2, top.same_hashes);
    }
    return put_value(top, dict, pos, item);
}

// Enters the pair of the open dict `top` (object `dict`) whose value,
// child `pos`, is `value` (taking no reference), and the key waiting.
ZELKOR_ALWAYS_INLINE bool Reconstructor::put_value(Open& top, PyObject* dict, uint64_t pos, PyObject* value) {
    if (PyObject* const lent = top.lent_key) {
        top.lent_key = nullptr;
        return set_pair(dict, top.count, top.shape, pos / 2, lent, value);
    }
    const PyRef key = std::move(top.key);
    return set_pair(dict, top.count, top.shape, pos / 2, key.get(), value);
}

// The open container `top`, of kind `kKind`, has all its children: its
// value (`out`, a new reference).
template <Tag kKind>
ZELKOR_ALWAYS_INLINE bool Reconstructor::close_forward(Open& top, PyObject*& out) {
    if constexpr (kKind == Tag::List || kKind == Tag::Set) {
        out = top.obj.release();
        return true;
    } else if constexpr (kKind == Tag::Dict) {
        dict_finished(top.obj.get(), top.count, top.shape);
        out = top.obj.release();
        return true;
    } else {
        PyRef value;
        if constexpr (kKind == Tag::Tuple) {
            if (top.nested) hash_costs_.note_tuple(top.obj.get());
            value = std::move(top.obj);
        } else {
            PyObject* const items = top.obj.get();
            for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(top.count); ++i) {
                if (!check_member(PyTuple_GetItem(items, i), top.count, top.same_hashes)) return false;
            }
            value = PyRef::steal(PyFrozenSet_New(items));
            if (!value) return false;
        }
        if (is_shared(top.index)) remember(top.index, value.get());
        out = value.release();
        return true;
    }
}

// Whether records from `index` on may be built without a memo entry, up to
// `unshared_end` (past `index`; or false, when `index` is marked shared):
// the marks are read a word at a time.
ZELKOR_ALWAYS_INLINE bool Reconstructor::unshared_from(uint32_t index, uint64_t& unshared_end) const {
    const uint64_t marks = shared_words_[index >> 6] >> (index & 63);
    if (marks & 1) return false;
    unshared_end =
        marks ? index + uint64_t{static_cast<unsigned>(std::countr_zero(marks))} : (uint64_t{index} | 63) + 1;
    return true;
}

// An Int record takes at most this many bytes.
constexpr size_t kLongestIntRecord = 11;

// Items `pos` on of the list `list`, while they are records of kind `kTag`
// laid out next and not marked shared, in loops with the checks on their
// marks (and, for ints, on the room for the fast varint read) hoisted out;
// `unshared_end` as unshared_from() gives it, or below. Stops at any other
// item, for the step for one item to take; false when a Python call failed.
template <Tag kTag>
ZELKOR_ALWAYS_INLINE bool Reconstructor::scalar_run(PyObject* list, const uint8_t* children, uint64_t& pos,
                                                    const uint64_t stop, const uint32_t shift, const uint8_t*& rec,
                                                    const uint8_t* varint_end, uint64_t& unshared_end) {
    while (pos < stop) {
        const uint32_t index = static_cast<uint32_t>(pos) + shift;
        if (index >= unshared_end && !unshared_from(index, unshared_end)) return true;
        // Items up to `limit` are not marked shared (and, for ints, start
        // at least 8 bytes before the end of the input).
        uint64_t limit = std::min<uint64_t>(stop, unshared_end - shift);
        if constexpr (kTag == Tag::Int) {
            if (rec >= varint_end) return true;
            const auto room = static_cast<size_t>(varint_end - rec);
            limit = std::min<uint64_t>(limit, pos + (room + kLongestIntRecord - 1) / kLongestIntRecord);
        }
        for (; pos < limit; ++pos) {
            if (child_at(children, pos) != static_cast<uint32_t>(pos) + shift || rec[0] != tag_byte(kTag)) return true;
            PyObject* item;
            size_t size;
            if constexpr (kTag == Tag::Int) {
                uint64_t z;
                size = 1 + read_checked_varint_fast(rec + 1, z);
                item = PyLong_FromLongLong(zigzag_decode(z));
            } else if constexpr (kTag == Tag::Float) {
                item = PyFloat_FromDouble(RecordView(rec).float_value());
                size = 9;
            } else if constexpr (kTag == Tag::Str) {
                item = new_text(load_u32(rec + 1));
                size = 5;
            } else {
                static_assert(kTag == Tag::Bytes);
                const uint32_t n = load_u32(rec + 1);
                item = new_bytes(rec + 5, n);
                size = 5 + static_cast<size_t>(n);
            }
            if (!item) return false;  // the pass gives up
            PyList_SetItem(list, static_cast<Py_ssize_t>(pos), item);
            rec += size;
        }
    }
    return true;
}

// Fills the open container `top`, of kind `kKind`, with `io` (a child
// container just finished, a new reference, or NULL) and then its children
// laid out next, with the loop's state in locals. Gives back: Object, when
// all are in (its value in `io`); Opened, at a child container (its empty
// object in `io`); or GiveUp.
template <Tag kKind>
ZELKOR_ALWAYS_INLINE Reconstructor::Taken Reconstructor::fill_forward(Open& top, const uint8_t*& rec, uint32_t& index,
                                                                      const uint8_t* varint_end, PyObject*& io,
                                                                      uint64_t& unshared_end) {
    const uint8_t* const children = top.children;
    PyObject* const obj = top.obj.get();
    const uint64_t count = top.count;
    uint64_t pos = top.pos;
    if (io) {
        PyObject* const done = io;
        io = nullptr;
        if (!put_forward<kKind>(top, obj, pos++, done)) return Taken::GiveUp;
    }
    // Each child taken here names the record after the one before: its
    // index is its position and a constant. As many as the container and
    // the record table both have left.
    const uint32_t shift = index - static_cast<uint32_t>(pos);
    const uint64_t stop = pos + std::min<uint64_t>(count - pos, record_count_ - index);
    for (; pos < stop; ++pos) {
        if (child_at(children, pos) != static_cast<uint32_t>(pos) + shift) return Taken::GiveUp;
        const uint8_t tag = rec[0];
        if constexpr (kKind == Tag::Dict) {
            // Most keys of saved documents: a Ref to a key object met
            // before, which the dict is given without a reference of ours.
            if (tag == tag_byte(Tag::Ref)) {
                PyObject* const built = ref_target(load_u32(rec + 1));
                if (!built) return Taken::GiveUp;
                rec += 5;
                if (!put_lent(top, obj, pos, built)) return Taken::GiveUp;
                continue;
            }
        }
        PyObject* item = nullptr;
        const Taken taken = take_forward(rec, static_cast<uint32_t>(pos) + shift, varint_end, item);
        if (taken != Taken::Object) {
            index = static_cast<uint32_t>(pos) + shift;
            top.pos = pos;
            io = item;
            return taken;
        }
        if (!put_forward<kKind>(top, obj, pos, item)) return Taken::GiveUp;
        if constexpr (kKind == Tag::List) {
            // A scalar followed by another of its kind, or a Ref (a repeated
            // number) followed by a scalar: the run of them.
            static_assert(tag_byte(Tag::Float) == tag_byte(Tag::Int) + 1 &&
                          tag_byte(Tag::Str) == tag_byte(Tag::Int) + 2 &&
                          tag_byte(Tag::Bytes) == tag_byte(Tag::Int) + 3);
            if (pos + 1 < stop && static_cast<uint8_t>(rec[0] - tag_byte(Tag::Int)) < 4 &&
                (rec[0] == tag || tag == tag_byte(Tag::Ref))) {
                bool made = true;
                ++pos;
                switch (static_cast<Tag>(rec[0])) {
                    case Tag::Int:
                        made = scalar_run<Tag::Int>(obj, children, pos, stop, shift, rec, varint_end, unshared_end);
                        break;
                    case Tag::Float:
                        made = scalar_run<Tag::Float>(obj, children, pos, stop, shift, rec, varint_end, unshared_end);
                        break;
                    case Tag::Str:
                        made = scalar_run<Tag::Str>(obj, children, pos, stop, shift, rec, varint_end, unshared_end);
                        break;
                    case Tag::Bytes:
                        made = scalar_run<Tag::Bytes>(obj, children, pos, stop, shift, rec, varint_end, unshared_end);
                        break;
                    default:  // a container, never here
                        break;
                }
                if (!made) return Taken::GiveUp;
                --pos;  // the item the run stopped at is taken next
            }
        }
    }
    if (pos < count) return Taken::GiveUp;  // a child past the record table
    index = static_cast<uint32_t>(pos) + shift;
    return close_forward<kKind>(top, io) ? Taken::Object : Taken::GiveUp;
}

PyObject* Reconstructor::run_forward() {
    std::vector<Open> open;
    RefSlot ref_slots[kRefSlots];
    if (record_count_ != 0) {
        // As many slots as records, up to kRefSlots; no record has the
        // index they start with.
        const size_t slots = std::min<size_t>(kRefSlots, std::bit_ceil(size_t{record_count_}));
        std::fill_n(ref_slots, slots, RefSlot{~uint32_t{0}, nullptr});
        ref_slots_ = ref_slots;
        ref_mask_ = static_cast<uint32_t>(slots - 1);
        const uint8_t* rec = data_ + g_.records.first();
        const uint8_t* const varint_end = data_ + g_.size - 8;
        uint32_t index = 0;
        // No record from the one taken next up to this one is marked shared.
        uint64_t unshared_end = 0;
        PyObject* item = nullptr;
        Taken taken = take_forward(rec, index, varint_end, item);
        if (taken == Taken::Object) return item;
        while (taken == Taken::Opened) {
            open_forward(rec, index, item, open);
            item = nullptr;
            // Fills the top container, and each below it that the one
            // finished completes, until one opens a child or all are done.
            for (;;) {
                Open& top = open.back();
                switch (top.tag) {
                    case Tag::List:
                        taken = fill_forward<Tag::List>(top, rec, index, varint_end, item, unshared_end);
                        break;
                    case Tag::Dict:
                        taken = fill_forward<Tag::Dict>(top, rec, index, varint_end, item, unshared_end);
                        break;
                    case Tag::Set:
                        taken = fill_forward<Tag::Set>(top, rec, index, varint_end, item, unshared_end);
                        break;
                    case Tag::Tuple:
                        taken = fill_forward<Tag::Tuple>(top, rec, index, varint_end, item, unshared_end);
                        break;
                    default:
                        taken = fill_forward<Tag::FrozenSet>(top, rec, index, varint_end, item, unshared_end);
                        break;
                }
                if (taken != Taken::Object) break;
                open.pop_back();
                if (open.empty()) return item;
            }
        }
    }
    // Given up: what was built goes, and so does any error raised here.
    open.clear();
    if (PyErr_Occurred()) PyErr_Clear();
    return nullptr;
}

}  // namespace zelkor::format
