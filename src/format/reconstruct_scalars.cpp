// Scalars made in more than a call: strs of costly texts named again, the
// one str of texts past their budget and large bytes payloads; and the list
// lane, runs of scalars laid out next in a list, built with the loop's state
// in locals (out of line, and in a file of its own, so that the main loop in
// reconstruct.cpp keeps its registers).
#include <algorithm>

#include "format/reconstructor.h"

namespace zelkor::format {

PyObject* new_large_bytes(const uint8_t* data, size_t n) {
    // A bytes object made empty may be written until it is handed out.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (bytes) copy_payload(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes)), data, n);
    return bytes;
}

// The use entry of costly text `s` while there is no entry per text: the
// entries made at the first costly text met, and then the one of `s` by its
// rank among the costly texts.
uint32_t& Reconstructor::ranked_uses(uint32_t s) {
    const uint64_t* const marks = g_.costly_texts.data();
    if (text_uses_.empty()) {
        // Counts the costly texts before each word of their marks.
        const size_t words = g_.costly_texts.size();
        std::vector<uint32_t> before(words);
        size_t costly = 0;
        for (size_t w = 0; w < words; ++w) {
            before[w] = static_cast<uint32_t>(costly);
            costly += static_cast<size_t>(std::popcount(marks[w]));
        }
        // An entry per text while that takes little memory, or when most
        // are costly; otherwise one per costly text.
        if (g_.strings.size() < kRankedUses || 4 * costly > g_.strings.size()) {
            text_uses_.resize(g_.strings.size());
            uses_by_text_ = text_uses_.data();
            return uses_by_text_[s];
        }
        text_uses_.resize(costly);
        costly_before_ = std::move(before);
    }
    const uint64_t below = marks[s >> 6] & ((uint64_t{1} << (s & 63)) - 1);
    return text_uses_[costly_before_[s >> 6] + static_cast<size_t>(std::popcount(below))];
}

// The str of a Str record naming a costly text.
PyObject* Reconstructor::costly_text(uint32_t s) {
    const std::string_view text = g_.strings[s];
    uint32_t& uses = uses_by_text_ ? uses_by_text_[s] : ranked_uses(s);
    if (uses - kFirstCopy < kDecodeAlways - kFirstCopy) {
        const TextCopy& copy = text_copies_[uses - kFirstCopy];
        return PyUnicode_Substring(copy.longer.get(), 0, copy.length);
    }
    if (uses != kSeenOnce) {
        if (uses == kUnseen) uses = kSeenOnce;
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    text_buffer_.assign(text);
    text_buffer_.push_back('\0');
    PyRef longer =
        PyRef::steal(PyUnicode_DecodeUTF8(text_buffer_.data(), static_cast<Py_ssize_t>(text_buffer_.size()), nullptr));
    if (!longer) return nullptr;
    const Py_ssize_t length = PyUnicode_GetLength(longer.get()) - 1;
    if (length < 2 || text_copies_.size() >= kDecodeAlways - kFirstCopy) {
        uses = kDecodeAlways;
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    text_copies_.push_back(TextCopy{std::move(longer), length});
    uses = kFirstCopy + static_cast<uint32_t>(text_copies_.size() - 1);
    return PyUnicode_Substring(text_copies_.back().longer.get(), 0, length);
}

bool Reconstructor::make_text_pool() {
    // The pooled texts in the order of the table, and one character more.
    std::string pool;
    pool.reserve(g_.strings.pool_size() + 1);
    for (size_t s = 0; s < string_count_; ++s) {
        if (strings_[s].pool_at != TextSlot::kUnpooled) pool.append(strings_[s].data, strings_[s].size);
    }
    pool.push_back('\0');
    text_pool_ = PyRef::steal(PyUnicode_DecodeLatin1(pool.data(), static_cast<Py_ssize_t>(pool.size()), nullptr));
    return static_cast<bool>(text_pool_);
}

PyObject* Reconstructor::shared_text(uint32_t s) {
    PyRef& text = shared_texts_[s];
    if (!text) {
        text = text_object(g_.strings[s]);
        if (!text) return nullptr;
    }
    return text.copy().release();
}

// The items of a list of scalars: ints, floats, texts and bytes laid out
// next and named only here, and Refs to objects already built (repeated
// small ints), with the loop's state in locals rather than in members that
// every call into the interpreter makes the compiler read again. Entered
// only when such a scalar is laid out next, and then usually for a run.
ZELKOR_NOINLINE bool Reconstructor::fill_scalars(Frame& top) {
    uint32_t index = next_index_;
    const uint32_t records = record_count_;
    if (!presize_lists_ || index < unshared_from_ || index >= records) return true;
    const uint8_t* const base = data_;
    // Where fewer than the 8 bytes that the fast varint reads are left.
    const uint8_t* const varint_end = base + g_.size - 8;
    const uint8_t* rec = base + next_offset_;
    uint32_t alone_end = unshared_from_;
    const uint8_t* const children = top.children;
    PyObject* const list = top.obj.get();
    const uint64_t first = top.pos;
    uint64_t pos = first;
    // As many items as the list and the record table both have left.
    const uint64_t stop = pos + std::min<uint64_t>(top.count - pos, records - index);
    size_t size = 0;  // of the record taken last
    // Each item names the record after the one before: its index is the
    // item's position and a constant.
    const uint32_t shift = index - static_cast<uint32_t>(pos);
    for (; pos < stop && child_at(children, pos) == static_cast<uint32_t>(pos) + shift; ++pos) {
        index = static_cast<uint32_t>(pos) + shift;
        PyObject* item;
        if (rec[0] == tag_byte(Tag::Ref)) {
            const uint32_t target = load_u32(rec + 1);
            if (target >= records) break;
            item = memo_.get(target);
            if (!item) break;
            Py_INCREF(item);
            size = 5;
        } else {
            if (is_shared(index)) break;
            if (rec[0] == tag_byte(Tag::Float)) {
                item = PyFloat_FromDouble(RecordView(rec).float_value());
                size = 9;
            } else if (rec[0] == tag_byte(Tag::Int) && rec < varint_end) {
                uint64_t z;
                size = 1 + read_checked_varint_fast(rec + 1, z);
                item = PyLong_FromLongLong(zigzag_decode(z));
            } else if (rec[0] == tag_byte(Tag::Str)) {
                item = new_text(load_u32(rec + 1));
                size = 5;
            } else if (rec[0] == tag_byte(Tag::Bytes)) {
                const uint32_t n = load_u32(rec + 1);
                item = new_bytes(rec + 5, n);
                size = 5 + static_cast<size_t>(n);
            } else {
                break;
            }
            if (!item) return false;  // the build stops here
            alone_end = index + 1;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(pos), item);
        rec += size;
    }
    top.pos = pos;
    if (pos != first) {
        next_index_ = static_cast<uint32_t>(pos) + shift;
        unshared_from_ = alone_end;
        last_offset_ = static_cast<size_t>(rec - size - base);
        next_offset_ = static_cast<size_t>(rec - base);
    }
    return true;
}

}  // namespace zelkor::format
