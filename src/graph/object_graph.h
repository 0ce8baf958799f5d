// The captured object graph: an interned string table and the record table,
// kept as the record bytes themselves. A record is written when its value is
// entered; a container reserves room for its child indices first and fills
// them in as its children are captured, so records stay in pre-order.
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "format/kinds.h"
#include "format/primitives.h"
#include "graph/kept_block.h"
#include "graph/text_index.h"

namespace zelkor::graph {

// A growable byte buffer that does not zero what it hands out.
class ByteBuffer {
public:
    // `kept` holds the block kept between buffers of one kind (up to its
    // bound): the next such buffer starts from it.
    explicit ByteBuffer(KeptBlock& kept) : kept_(kept) {}
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() {
        if (data_) kept_.give_back(data_, capacity_);
    }

    uint8_t* extend(size_t n) {
        if (capacity_ - size_ < n) reserve_more(n);
        uint8_t* p = data_ + size_;
        size_ += n;
        return p;
    }
    // Room for `n` more bytes at the returned pointer, not yet counted as
    // used: the caller writes there and then calls set_end().
    uint8_t* room(size_t n) {
        if (capacity_ - size_ < n) reserve_more(n);
        return data_ + size_;
    }
    void set_end(const uint8_t* end) { size_ = static_cast<size_t>(end - data_); }
    void shrink_to(size_t n) { size_ = n; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void reserve_more(size_t n);

    KeptBlock& kept_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A byte payload that stays where it is (memory the capture keeps alive) and
// is copied into the blob only when the blob is written.
struct ExternalBytes {
    size_t offset;  // position in the record bytes where the payload belongs
    const uint8_t* data;
    size_t size;
};

// Room reserved in the record bytes for a container's child indices.
struct Reservation {
    size_t count_offset = 0;  // where the u32 count goes; the indices follow
    uint32_t capacity = 0;    // u32 slots reserved
    uint32_t filled = 0;      // u32 slots written so far
};

class ObjectGraph {
public:
    static constexpr size_t kInlineBytesLimit = 4096;

    // The string table as the blob stores it: each distinct text once, in
    // the order first met, as its u32 length and its UTF-8. A text is copied
    // in when it is first met (while it is still in the cache) unless it is
    // longer than kInlineBytesLimit: then only its length is, and the text
    // stays where it is until the blob is written, like a large bytes
    // payload.
    ByteBuffer texts{kept_texts_};
    std::vector<ExternalBytes> external_texts;
    TextIndex string_index{&kept_string_slots_};
    uint64_t string_bytes = 0;  // total text length, for sizing the blob

    ByteBuffer records{kept_records_};  // the record table's records, tag and payload each
    std::vector<ExternalBytes> external;
    uint64_t external_bytes = 0;
    uint64_t record_count = 0;

    size_t string_count() const { return text_refs_.size() / sizeof(uint64_t); }
    std::string_view text(uint32_t i) const {
        uint64_t ref;
        std::memcpy(&ref, text_refs_.data() + static_cast<size_t>(i) * sizeof ref, sizeof ref);
        if (ref & kExternalText) {
            const ExternalBytes& e = external_texts[static_cast<size_t>(ref & ~kExternalText)];
            return {reinterpret_cast<const char*>(e.data), e.size};
        }
        const uint8_t* p = texts.data() + ref;
        return {reinterpret_cast<const char*>(p + 4), format::load_u32(p)};
    }
    uint32_t find_string(std::string_view text) const {
        return string_index.find(text, [&](uint32_t i) { return this->text(i); });
    }
    // The index of `text` in the string table, adding it when it is new; a
    // new text longer than kInlineBytesLimit must stay alive until the blob
    // is written.
    ZELKOR_ALWAYS_INLINE uint32_t intern_string(std::string_view text) {
        const auto text_at = [&](uint32_t i) { return this->text(i); };
        const uint64_t hash = string_index.hash(text);
        uint32_t found = string_index.find(text, hash, text_at);
        if (found != IndexTable::kMissing) return found;
        uint32_t index = static_cast<uint32_t>(string_count());
        const size_t size = text.size();
        if (size <= kInlineBytesLimit) {
            uint8_t* p = texts.extend(4 + size);
            add_text_ref(static_cast<uint64_t>(p - texts.data()));
            format::write_u32(p, static_cast<uint32_t>(size));
            copy_text(p + 4, text.data(), size);
        } else {
            format::write_u32(texts.extend(4), static_cast<uint32_t>(size));
            add_text_ref(kExternalText | external_texts.size());
            external_texts.push_back(ExternalBytes{texts.size(), reinterpret_cast<const uint8_t*>(text.data()), size});
        }
        string_index.insert(text, hash, index, text_at);
        string_bytes += size;
        return index;
    }

    uint32_t next_index() const { return static_cast<uint32_t>(record_count); }

    uint32_t push_none() { return push_tag(format::Tag::None); }
    uint32_t push_bool(bool v) { return push_tag(v ? format::Tag::True : format::Tag::False); }
    ZELKOR_ALWAYS_INLINE uint32_t push_int(int64_t v) {
        records.set_end(write_int(records.room(kMaxNumberRecord), v));
        return count_record();
    }
    ZELKOR_ALWAYS_INLINE uint32_t push_float(double v) {
        records.set_end(write_float(records.room(kMaxNumberRecord), v));
        return count_record();
    }

    // Int and Float records written at `p` by a caller that appends many in
    // a row: number_room() gives room for `count` of them, the caller writes
    // them with write_int() and write_float() and ends with numbers_written().
    static constexpr size_t kMaxNumberRecord = 11;
    static uint8_t* write_int(uint8_t* p, int64_t v) {
        *p = format::tag_byte(format::Tag::Int);
        return format::write_varint(p + 1, format::zigzag_encode(v));
    }
    static uint8_t* write_float(uint8_t* p, double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        *p = format::tag_byte(format::Tag::Float);
        return format::write_u64(p + 1, bits);
    }
    uint8_t* number_room(size_t count) { return records.room(count * kMaxNumberRecord); }
    void numbers_written(const uint8_t* end, uint32_t count) {
        records.set_end(end);
        record_count += count;
    }
    // Where the next child index of `r` goes (valid until the records grow).
    uint8_t* next_child_slot(const Reservation& r) {
        return records.data() + r.count_offset + 4 + static_cast<size_t>(r.filled) * 4;
    }
    uint32_t push_str(uint32_t string_index) { return push_tag_u32(format::Tag::Str, string_index); }
    uint32_t push_ref(uint32_t target) { return push_tag_u32(format::Tag::Ref, target); }
    // Whether the records from byte `start` on are one Ref, and its target.
    bool ref_at(size_t start, uint32_t& target) const {
        if (records.size() - start != 5 || records.data()[start] != format::tag_byte(format::Tag::Ref)) return false;
        target = format::load_u32(records.data() + start + 1);
        return true;
    }

    // A bytes payload; large ones stay in place until the blob is written,
    // so the caller must keep `data` alive until then.
    uint32_t push_bytes(const uint8_t* data, size_t size) {
        uint8_t* p = records.extend(5);
        *p = format::tag_byte(format::Tag::Bytes);
        format::write_u32(p + 1, static_cast<uint32_t>(size));
        if (size <= kInlineBytesLimit) {
            if (size) std::memcpy(records.extend(size), data, size);
        } else {
            external.push_back(ExternalBytes{records.size(), data, size});
            external_bytes += size;
        }
        return count_record();
    }
    // A bytes payload written by the caller into the returned room.
    uint8_t* push_bytes_inline(size_t size) {
        uint8_t* p = records.extend(5 + size);
        *p = format::tag_byte(format::Tag::Bytes);
        format::write_u32(p + 1, static_cast<uint32_t>(size));
        count_record();
        return p + 5;
    }

    // List, tuple, set, frozenset (one u32 per child) and dict (two per
    // entry): the record is numbered now and its indices filled in later.
    uint32_t begin_container(format::Tag tag, uint32_t units, Reservation& r) {
        uint8_t* p = records.extend(5 + static_cast<size_t>(units) * 4);
        *p = format::tag_byte(tag);
        r.count_offset = records.size() - static_cast<size_t>(units) * 4 - 4;
        r.capacity = units;
        r.filled = 0;
        return count_record();
    }
    // Dataclass: type id and field count are known up front.
    uint32_t begin_dataclass(uint16_t type_id, uint16_t fields, Reservation& r) {
        uint8_t* p = records.extend(5 + static_cast<size_t>(fields) * 4);
        p[0] = format::tag_byte(format::Tag::Dataclass);
        format::write_u16(p + 1, type_id);
        format::write_u16(p + 3, fields);
        r.count_offset = static_cast<size_t>(p + 1 - records.data());
        r.capacity = fields;
        r.filled = 0;
        return count_record();
    }

    // Writes the next child index into room known to hold it (a container
    // whose children are counted as they are written, with no Python code
    // run to change it).
    void fill_child(Reservation& r, uint32_t index) {
        assert(r.filled < r.capacity);
        format::write_u32(records.data() + r.count_offset + 4 + static_cast<size_t>(r.filled) * 4, index);
        ++r.filled;
    }
    // Writes the next child index; false when the reserved room is full.
    bool put_child(Reservation& r, uint32_t index) {
        if (r.filled == r.capacity) return false;
        fill_child(r, index);
        return true;
    }

    // Completes a container whose children were `r.filled` reserved slots
    // plus `extra` overflow indices; `count` is what goes in the count field.
    void end_container(Reservation& r, const std::vector<uint32_t>& extra, uint32_t count) {
        if (r.filled != r.capacity || !extra.empty()) return move_children(r, extra, count);
        format::write_u32(records.data() + r.count_offset, count);
    }

private:
    // Each string table entry's place: the offset of its length in `texts`,
    // or kExternalText and its place in `external_texts`.
    // Listed in a buffer kept between captures (up to 4 MiB), so that a
    // capture of many texts neither grows nor copies it afresh.
    static constexpr uint64_t kExternalText = uint64_t{1} << 63;
    static KeptBlock kept_text_refs_;
    ByteBuffer text_refs_{kept_text_refs_};
    void add_text_ref(uint64_t ref) { std::memcpy(text_refs_.extend(sizeof ref), &ref, sizeof ref); }

    // Blocks kept for the next capture: the record bytes (up to 16 MiB), the
    // string table (up to 8 MiB) and the string index's slots (1 MiB).
    static KeptBlock kept_records_;
    static KeptBlock kept_texts_;
    static KeptBlock kept_string_slots_;

    void move_children(Reservation& r, const std::vector<uint32_t>& extra, uint32_t count);
    // Copies `n` bytes; those of up to 32 (most texts met) in a few word
    // moves that stay within both ends, instead of a library call.
    static ZELKOR_ALWAYS_INLINE void copy_text(uint8_t* to, const char* from, size_t n) {
        const auto move = [&](size_t at, auto word) {
            std::memcpy(&word, from + at, sizeof word);
            std::memcpy(to + at, &word, sizeof word);
        };
        if (n >= 8) {
            if (n > 32) return void(std::memcpy(to, from, n));
            move(0, uint64_t{}), move(n - 8, uint64_t{});
            if (n > 16) move(8, uint64_t{}), move(n - 16, uint64_t{});
        } else if (n >= 4) {
            move(0, uint32_t{}), move(n - 4, uint32_t{});
        } else if (n > 0) {
            to[0] = static_cast<uint8_t>(from[0]);
            to[n / 2] = static_cast<uint8_t>(from[n / 2]);
            to[n - 1] = static_cast<uint8_t>(from[n - 1]);
        }
    }
    uint32_t count_record() { return static_cast<uint32_t>(record_count++); }
    uint32_t push_tag(format::Tag tag) {
        *records.extend(1) = format::tag_byte(tag);
        return count_record();
    }
    uint32_t push_tag_u32(format::Tag tag, uint32_t v) {
        uint8_t* p = records.extend(5);
        *p = format::tag_byte(tag);
        format::write_u32(p + 1, v);
        return count_record();
    }
};

}  // namespace zelkor::graph
