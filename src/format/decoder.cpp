#include "format/decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "format/primitives.h"
#include "format/record.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define ZELKOR_SSE2_ASCII 1
#endif

namespace zelkor::format {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

bool is_continuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

// Length of the leading run of ASCII bytes.
size_t ascii_prefix(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        if (v & kHighBits) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// Whether the `n` bytes at `p` are all ASCII. Each chunk is read whole: the
// last one ends at the last byte and overlaps the one before it. With SSE2,
// long texts are given up at their first 64 bytes that are not all ASCII.
ZELKOR_ALWAYS_INLINE bool is_ascii(const uint8_t* p, size_t n) {
    size_t i = 0;
#ifdef ZELKOR_SSE2_ASCII
    if (n >= 16) {
        const auto load = [p](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
        for (; i + 64 <= n; i += 64) {
            const __m128i v =
                _mm_or_si128(_mm_or_si128(load(i), load(i + 16)), _mm_or_si128(load(i + 32), load(i + 48)));
            if (_mm_movemask_epi8(v)) return false;
        }
        __m128i v = load(n - 16);
        for (; i + 16 < n; i += 16) v = _mm_or_si128(v, load(i));
        return !_mm_movemask_epi8(v);
    }
#endif
    if (n >= 8) {
        uint64_t v = load_u64(p + n - 8);
        for (; i + 8 < n; i += 8) v |= load_u64(p + i);
        return !(v & kHighBits);
    }
    if (n >= 4) return !((load_u32(p) | load_u32(p + n - 4)) & 0x80808080u);
    return !n || !((p[0] | p[n / 2] | p[n - 1]) & 0x80);
}

Utf8Fault invalid_sequence(size_t length, size_t index) {
    return Utf8Fault{static_cast<uint8_t>(length), index};
}

Utf8Fault incomplete_sequence(size_t index) {
    return Utf8Fault{0, index};
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        i += ascii_prefix(p + i, n - i);
        if (i >= n) break;
        const uint8_t lead = p[i];
        size_t width;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            return invalid_sequence(1, i);
        }
        if (i + 1 >= n) {
            return incomplete_sequence(i);
        }
        if (p[i + 1] < lo || p[i + 1] > hi) {
            return invalid_sequence(1, i);
        }
        for (size_t k = 2; k < width; ++k) {
            if (i + k >= n) {
                return incomplete_sequence(i);
            }
            if (!is_continuation(p[i + k])) {
                return invalid_sequence(k, i);
            }
        }
        i += width;
    }
    return std::nullopt;
}

namespace {

DecodeFailure failure(DecodeError error, uint64_t number = 0) {
    return DecodeFailure{error, number, {}};
}

std::string_view string_at(const TextTable& strings, uint32_t index) {
    return index < strings.size() ? strings[index] : std::string_view();
}

}  // namespace

bool RecordOffsets::build() const {
    void* table = std::malloc((count_ ? count_ : 1) * (wide_ ? sizeof(uint64_t) : sizeof(uint32_t)));
    if (!table) return false;
    size_t offset = first_;
    for (size_t i = 0; i < count_; ++i) {
        if (wide_) {
            static_cast<uint64_t*>(table)[i] = offset;
        } else {
            static_cast<uint32_t*>(table)[i] = static_cast<uint32_t>(offset);
        }
        offset += RecordView(data_ + offset).size();
    }
    table_ = table;
    return true;
}

size_t RecordOffsets::find(size_t i) const {
    size_t offset = first_;
    for (size_t k = 0; k < i; ++k) offset += RecordView(data_ + offset).size();
    return offset;
}

void SharedRecords::allocate(size_t n) {
    words_ = static_cast<uint64_t*>(std::calloc(word_count(n), sizeof(uint64_t)));
    if (!words_) throw std::bad_alloc();
    size_ = n;
}

namespace {

// The 11-byte header and the string count; `pos` ends after the count.
std::optional<DecodeFailure> decode_header(const uint8_t* data, size_t len, size_t& pos, uint32_t& string_count) {
    if (len < 4) return failure(DecodeError::TooShortForHeader);
    if (std::memcmp(data, kMagic, 4) != 0 && std::memcmp(data, kLegacyMagic, 4) != 0) {
        return failure(DecodeError::InvalidMagic);
    }
    if (len < 6) return failure(DecodeError::TooShortForVersion);
    if (len < 10) return failure(DecodeError::TooShortForSchemaVersion);
    if (len == 10) return failure(DecodeError::TooShortForFlags);
    if (len < 15) return failure(DecodeError::NoStringCount);
    pos = kHeaderSize;
    string_count = *read_u32(data, len, pos);
    return std::nullopt;
}

std::optional<DecodeFailure> decode_strings(const uint8_t* data, size_t len, size_t& pos, uint32_t count,
                                            DecodedGraph& out) {
    // An entry takes at least its 4-byte length.
    const size_t room = std::min<size_t>(count, (len - pos) / 4);
    out.strings.reserve(room);
    out.costly_texts.assign(room / 64 + 1, 0);
    for (uint32_t i = 0; i < count; ++i) {
        auto n = read_u32(data, len, pos);
        if (!n) return failure(DecodeError::StringLengthTruncated);
        if (!has_room(len, pos, *n)) return failure(DecodeError::StringDataTruncated);
        const bool ascii = is_ascii(data + pos, *n);
        if (!ascii) {
            const size_t prefix = ascii_prefix(data + pos, *n);
            if (auto fault = find_utf8_fault(data + pos + prefix, *n - prefix)) {
                fault->index += prefix;
                return DecodeFailure{DecodeError::InvalidUtf8, 0, *fault};
            }
        }
        if (!ascii || *n >= DecodedGraph::kLongText) out.costly_texts[i >> 6] |= uint64_t{1} << (i & 63);
        out.strings.add(data + pos, *n, ascii);
        pos += *n;
    }
    return std::nullopt;
}

std::optional<DecodeFailure> decode_types(const uint8_t* data, size_t len, size_t& pos, DecodedGraph& out) {
    auto type_count = read_u32(data, len, pos);
    if (!type_count) return failure(DecodeError::NoTypeCount);
    // A name index met before names a registered type: skipped at once,
    // without hashing the text again. Field texts are copied only for new
    // names, and their total is bounded: a field index names a text of any
    // length for four bytes.
    std::vector<bool> name_seen;
    uint64_t field_text = 0;
    const uint64_t field_text_budget = 4 * static_cast<uint64_t>(len) + (uint64_t{1} << 20);
    for (uint32_t t = 0; t < *type_count; ++t) {
        if (!read_u16(data, len, pos)) return failure(DecodeError::TypeIdTruncated);
        auto name_idx = read_u32(data, len, pos);
        if (!name_idx) return failure(DecodeError::TypeNameIdxTruncated);
        auto version = read_u32(data, len, pos);
        if (!version) return failure(DecodeError::SchemaVersionTruncated);
        auto field_count = read_u16(data, len, pos);
        if (!field_count) return failure(DecodeError::FieldCountTruncated);
        const size_t fields_at = pos;
        if ((len - pos) / 4 < *field_count) return failure(DecodeError::FieldIndexTruncated);
        pos += static_cast<size_t>(*field_count) * 4;
        if (*name_idx < out.strings.size()) {
            if (name_seen.empty()) name_seen.resize(out.strings.size());
            if (name_seen[*name_idx]) continue;
            name_seen[*name_idx] = true;
        }
        std::string_view name = string_at(out.strings, *name_idx);
        if (out.types.find(name)) continue;  // the first entry of a name wins
        std::vector<std::string> fields;
        fields.reserve(*field_count);
        for (uint32_t f = 0; f < *field_count; ++f) {
            std::string_view field = string_at(out.strings, load_u32(data + fields_at + 4 * f));
            field_text += field.size() + 1;
            if (field_text > field_text_budget) return failure(DecodeError::TypeFieldNamesTooLarge);
            fields.emplace_back(field);
        }
        out.types.add(name, std::move(fields), *version);
    }
    return std::nullopt;
}

// Counts the namings of each record (0, 1, 3, 7, ... up to 255, which
// stays), then marks in `shared` those named more than once.
class Namings {
public:
    Namings(uint64_t* shared, size_t n) : shared_(shared), n_(n), storage_(n ? n : 1), counts_(storage_.data()) {
        name(0);  // the root
    }
    void name(uint32_t index) {
        if (index < n_) counts_[index] = static_cast<uint8_t>((counts_[index] << 1) | 1);
    }
    // Every record index a checked record names.
    void name_all(RecordView rec) {
        if (rec.tag() == Tag::Ref) {
            name(rec.target());
            return;
        }
        const uint64_t units = rec.child_units();
        for (uint64_t i = 0; i < units; ++i) name(child_at(rec.children(), static_cast<size_t>(i)));
    }
    // Every record index that `count` checked records, the first at
    // `offset` in `data`, name.
    void name_all(const uint8_t* data, size_t offset, size_t count) {
        for (size_t r = 0; r < count; ++r) {
            const RecordView rec(data + offset);
            offset += rec.size();
            name_all(rec);
        }
    }
    void mark_shared() {
        std::fill(shared_, shared_ + SharedRecords::word_count(n_), uint64_t{0});
        size_t i = 0;
        // Eight counts at a time: bit 1 of each byte, gathered into a byte
        // (the first count in its lowest bit).
        for (; i + 8 <= n_; i += 8) {
            const uint64_t twice = (load_u64(counts_ + i) >> 1) & 0x0101010101010101ull;
            shared_[i >> 6] |= ((twice * 0x0102040810204080ull) >> 56) << (i & 63);
        }
        for (; i < n_; ++i) shared_[i >> 6] |= uint64_t{counts_[i] >> 1 & 1u} << (i & 63);
    }

private:
    uint64_t* shared_;
    size_t n_;
    std::vector<uint8_t> storage_;
    uint8_t* counts_;
};

// Checks one record at `p`, moving `p` past it; false when it is cut short
// or its tag is unknown (`failed` then says how).
ZELKOR_ALWAYS_INLINE bool check_record(const uint8_t* data, size_t len, size_t& p, Tag& tag, PayloadCheck& check,
                                       DecodeFailure& failed) {
    if (p >= len) return failed = failure(DecodeError::TagTruncated), false;
    const uint8_t byte = data[p];
    if (!is_tag(byte)) return failed = failure(DecodeError::UnknownTag, byte), false;
    tag = static_cast<Tag>(byte);
    ++p;
    check = check_payload(shape_of(tag), data, len, p);
    if (!check.fits) return failed = failure(kind_info(tag).truncated[check.short_field]), false;
    return true;
}

// Readable bytes that make any scalar or Ref record complete but Bytes (a
// tag and at most ten bytes of payload, read as one u64 and two bytes).
constexpr size_t kRoomForScalar = 16;

// The size of the Int record at `rec`, or 0 when the checking path must
// decide (a tenth varint byte with its high bit set). At least
// kRoomForScalar bytes must be readable at `rec`.
ZELKOR_ALWAYS_INLINE size_t int_record_size(const uint8_t* rec) {
    if (const size_t n = short_varint_length(rec + 1)) return 1 + n;
    if (!(rec[9] & 0x80)) return 10;
    return rec[10] & 0x80 ? 0 : 11;
}
constexpr size_t kLongestInt = 11;

// The size of each record whose tag byte alone gives it (no payload, a
// string index or a Ref), by tag byte; 0 for the others (floats are taken
// in runs).
constexpr auto kFixedSizeByByte = [] {
    std::array<uint8_t, 256> size{};
    for (const KindInfo& kind : kKinds) {
        switch (kind.shape) {
            case Shape::Empty:
                size[tag_byte(kind.tag)] = 1;
                break;
            case Shape::StringIndex:
            case Shape::RecordIndex:
                size[tag_byte(kind.tag)] = 5;
                break;
            case Shape::Varint:
            case Shape::Float64:
            case Shape::Bytes:
            case Shape::Items:
            case Shape::Pairs:
            case Shape::Fields:
                break;
        }
    }
    return size;
}();

// The one bit the tag bytes of Str and Ref records differ by, which no
// other tag has clear where a Ref's is set.
constexpr uint8_t kStrOrRef = tag_byte(Tag::Str) ^ tag_byte(Tag::Ref);
static_assert([] {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool str_or_ref = byte == tag_byte(Tag::Str) || byte == tag_byte(Tag::Ref);
        if (((byte | kStrOrRef) == tag_byte(Tag::Ref)) != str_or_ref) return false;
    }
    return kFixedSizeByByte[tag_byte(Tag::Str)] == 5 && kFixedSizeByByte[tag_byte(Tag::Ref)] == 5;
}());

// The floats from `rec` on (the first at `rec`, at most `stop`), at most
// `left`, counted off it: where the first record that is not one starts.
// Out of line, so that its loop is laid out compactly, whatever the code
// around the call.
ZELKOR_NOINLINE const uint8_t* float_run(const uint8_t* rec, uint32_t& left, const uint8_t* stop) {
    const uint8_t byte = *rec;
    size_t run = std::min<size_t>(left, static_cast<size_t>(stop - rec) / 9 + 1);
    left -= static_cast<uint32_t>(run);
    // Four at a time while the four after `rec` are floats too (then all
    // five are at most `stop`), then one at a time.
    while (run > 4 && rec[9] == byte && rec[18] == byte && rec[27] == byte && rec[36] == byte) {
        rec += 36;
        run -= 4;
    }
    do {
        rec += 9;
    } while (--run && *rec == byte);
    left += static_cast<uint32_t>(run);
    return rec;
}

// Takes the record at `rec`, at most `stop`, when it is None, True, False,
// a float, an int, Bytes or a List, Tuple, Set, FrozenSet or Dict whose
// payload fits before `end`: moves `rec` past it (and past the floats,
// ints or Bytes that follow it) and counts them off `left`, at least 1.
// False when the checking path must take it: another kind, or cut short
// (that path then names the field).
ZELKOR_ALWAYS_INLINE bool take_record(const uint8_t*& rec, uint32_t& left, const uint8_t* stop, const uint8_t* end) {
    const uint8_t byte = *rec;
    const size_t room = static_cast<size_t>(end - rec) - 5;  // past a u32 count
    const size_t count = load_u32(rec + 1);
    switch (kShapeByByte[byte]) {
        case Shape::Empty:  // and every byte that is no tag
            if (!is_tag(byte)) return false;
            ++rec;
            break;
        case Shape::Float64:
            rec += 9;
            if (--left && rec <= stop && *rec == byte) rec = float_run(rec, left, stop);
            return true;
        case Shape::Varint: {
            size_t size = int_record_size(rec);
            if (!size) return false;
            rec += size;
            if (--left && rec <= stop && *rec == byte) {
                size_t run = std::min<size_t>(left, static_cast<size_t>(stop - rec) / kLongestInt + 1);
                left -= static_cast<uint32_t>(run);
                while ((size = int_record_size(rec)) != 0) {
                    rec += size;
                    if (!--run || *rec != byte) break;
                }
                left += static_cast<uint32_t>(run);
            }
            return true;
        }
        case Shape::Bytes:
            // And the Bytes records that follow it (a list of them).
            if (count > room) return false;
            rec += 5 + count;
            while (--left && rec <= stop && *rec == byte) {
                const size_t n = load_u32(rec + 1);
                if (n > static_cast<size_t>(end - rec) - 5) break;
                rec += 5 + n;
            }
            return true;
        case Shape::Items:
            if (count > room / 4) return false;
            rec += 5 + 4 * count;
            break;
        case Shape::Pairs:
            if (count > room / 8) return false;
            rec += 5 + 8 * count;
            break;
        case Shape::StringIndex:  // taken before
        case Shape::RecordIndex:
        case Shape::Fields:
            return false;
    }
    --left;
    return true;
}

// The record table's loop, with everything it writes held in locals. Until
// a dataclass record is met, only the targets of Refs are marked shared;
// from then on every naming is counted, and the records before it are
// walked again at the end, so that the marks are exact.
std::optional<DecodeFailure> scan_records(const uint8_t* data, size_t len, size_t& pos, uint32_t count,
                                          DecodedGraph& out) {
    size_t p = pos;
    uint64_t* shared = out.shared.words();
    const size_t shared_count = out.shared.size();
    const auto mark_ref_target = [shared, shared_count](uint32_t target) {
        if (target < shared_count) shared[target >> 6] |= uint64_t{1} << (target & 63);
    };
    // While `rec` is at most `stop`, any record but Bytes and containers is
    // whole with room to spare and needs no bounds check of its own. (The
    // record table starts past the header, so `rec` is never `data` here.)
    const uint8_t* const stop = data + (len >= kRoomForScalar ? len - kRoomForScalar : 0);
    const uint8_t* rec = data + p;
    DecodeFailure failed{};
    Tag tag = Tag::None;
    PayloadCheck check;
    uint32_t left = count;
    while (left) {
        while (rec <= stop) {
            const uint8_t byte = *rec;
            // The bulk of most blobs: Str and Refs, five bytes each. Sized
            // by a test the processor predicts, not by a table, so that
            // finding the next record does not wait for this one's tag.
            if ((byte | kStrOrRef) == tag_byte(Tag::Ref)) {
                if (byte == tag_byte(Tag::Ref)) mark_ref_target(load_u32(rec + 1));
                rec += 5;
                if (!--left) break;
                continue;
            }
            if (!take_record(rec, left, stop, data + len)) break;
            if (!left) break;
        }
        if (!left) break;
        // Anything else: cut short, an unknown tag, a dataclass, near the end.
        p = static_cast<size_t>(rec - data);
        if (!check_record(data, len, p, tag, check, failed)) return failed;
        if (tag == Tag::Dataclass) break;
        if (tag == Tag::Ref) mark_ref_target(load_u32(data + check.children_at));
        rec = data + p;
        --left;
    }
    p = static_cast<size_t>(rec - data);
    uint32_t r = count - left;
    if (r < count) {
        const uint32_t exact_from = r;
        Namings namings(shared, shared_count);
        const size_t fast_limit = static_cast<size_t>(stop - data);
        for (; r < count; ++r) {
            // As in the loop above: scalars name nothing, and a Ref its
            // target.
            if (p <= fast_limit) {
                const uint8_t byte = data[p];
                size_t size = kFixedSizeByByte[byte];
                if (size) {
                    if (byte == tag_byte(Tag::Ref)) namings.name(load_u32(data + p + 1));
                } else if (byte == tag_byte(Tag::Float)) {
                    size = 9;
                } else if (byte == tag_byte(Tag::Int)) {
                    size = int_record_size(data + p);
                }
                if (size) {
                    p += size;
                    continue;
                }
            }
            if (!check_record(data, len, p, tag, check, failed)) return failed;
            const uint8_t* children = data + check.children_at;  // a Ref's target too
            for (size_t i = 0; i < check.child_units; ++i) namings.name(load_u32(children + 4 * i));
        }
        namings.name_all(data, pos, exact_from);
        namings.mark_shared();
        out.has_dataclass = true;
        out.shared_exact = true;
    }
    pos = p;
    return std::nullopt;
}

std::optional<DecodeFailure> decode_records(const uint8_t* data, size_t len, size_t& pos, DecodedGraph& out) {
    auto object_count = read_u32(data, len, pos);
    if (!object_count) return failure(DecodeError::NoObjectCount);
    // A record takes at least its tag byte: no room for more than what is left.
    const size_t capacity = std::min<size_t>(*object_count, len - pos);
    out.shared.allocate(capacity);
    const size_t first = pos;
    if (auto failed = scan_records(data, len, pos, *object_count, out)) return failed;
    out.records.describe(data, len, first, *object_count);
    return std::nullopt;
}

}  // namespace

void count_namings(DecodedGraph& graph) {
    Namings namings(graph.shared.words(), graph.shared.size());
    namings.name_all(graph.data, graph.records.first(), graph.records.size());
    namings.mark_shared();
    graph.shared_exact = true;
}

std::optional<DecodeFailure> decode(const uint8_t* data, size_t len, DecodedGraph& out) {
    out.data = data;
    out.size = len;
    size_t pos = 0;
    uint32_t string_count = 0;
    if (auto f = decode_header(data, len, pos, string_count)) return f;
    if (auto f = decode_strings(data, len, pos, string_count, out)) return f;
    if (auto f = decode_types(data, len, pos, out)) return f;
    return decode_records(data, len, pos, out);
}

}  // namespace zelkor::format
