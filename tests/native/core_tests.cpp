// Tests of the pure C++ core (no interpreter): the kinds table, the varint,
// decoding of malformed input, and the text index. Each group is one ctest
// test: `zelkor_core_tests GROUP`.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "format/decoder.h"
#include "format/encoder.h"
#include "format/kinds.h"
#include "format/record.h"
#include "graph/object_graph.h"
#include "graph/type_registry.h"

using namespace zelkor;
using namespace zelkor::format;

namespace {

int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

using Bytes = std::vector<uint8_t>;

// The message decode() gives for `blob`, or "" when it decodes.
std::string decode_message(const Bytes& blob) {
    DecodedGraph g;
    auto failure = decode(blob.data(), blob.size(), g);
    return failure ? failure->message() : std::string();
}

// A blob with no strings, no types and the given records.
Bytes blob_of(uint32_t count, const Bytes& records) {
    Bytes b = {'Z', 'L', 'K', 'R', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(count >> (8 * i)));
    b.insert(b.end(), records.begin(), records.end());
    return b;
}

// One record of each kind, as the capture writes it.
Bytes one_of_each(uint32_t& count) {
    graph::ObjectGraph g;
    graph::Reservation r;
    g.push_none();
    g.push_bool(true);
    g.push_bool(false);
    g.push_int(-300);
    g.push_float(2.5);
    g.push_str(g.intern_string("a"));
    const uint8_t raw[] = {1, 2, 3};
    g.push_bytes(raw, 3);
    for (Tag tag : {Tag::List, Tag::Tuple, Tag::Set, Tag::FrozenSet}) {
        g.begin_container(tag, 1, r);
        g.put_child(r, 0);
        g.end_container(r, {}, 1);
    }
    g.begin_container(Tag::Dict, 2, r);
    g.put_child(r, 0);
    g.put_child(r, 1);
    g.end_container(r, {}, 1);
    g.begin_dataclass(0, 1, r);
    g.put_child(r, 0);
    g.push_ref(0);
    count = static_cast<uint32_t>(g.record_count);
    return Bytes(g.records.data(), g.records.data() + g.records.size());
}

void test_kinds() {
    std::set<std::string_view> names;
    for (size_t i = 0; i < kKindCount; ++i) {
        const KindInfo& k = kKinds[i];
        CHECK(tag_byte(k.tag) == kFirstTag + i);
        CHECK(is_tag(tag_byte(k.tag)));
        CHECK(&kind_info(k.tag) == &k);
        CHECK(shape_of(k.tag) == k.shape);
        names.insert(k.name);
    }
    CHECK(names.size() == kKindCount);
    CHECK(!is_tag(0x00) && !is_tag(kLastTag + 1) && !is_tag(0xFF));
    // Exactly the scalars are built from their payload alone.
    for (Tag t : {Tag::None, Tag::True, Tag::False, Tag::Int, Tag::Float, Tag::Str, Tag::Bytes}) CHECK(is_scalar(t));
    for (Tag t : {Tag::List, Tag::Tuple, Tag::Dict, Tag::Set, Tag::FrozenSet, Tag::Dataclass, Tag::Ref}) {
        CHECK(!is_scalar(t));
    }
    // The record view measures every record the capture writes exactly as
    // the decoder's check does.
    uint32_t count = 0;
    const Bytes records = one_of_each(count);
    CHECK(count == kKindCount);
    size_t pos = 0;
    std::set<Tag> seen;
    while (pos < records.size()) {
        const RecordView rec(records.data() + pos);
        seen.insert(rec.tag());
        size_t after = pos + 1;
        const PayloadCheck check = check_payload(shape_of(rec.tag()), records.data(), records.size(), after);
        CHECK(check.fits);
        CHECK(after - pos == rec.size());
        // The record indices it names: a Ref's target, a container's children.
        CHECK(check.child_units == (rec.tag() == Tag::Ref ? 1 : rec.child_units()));
        pos += rec.size();
    }
    CHECK(pos == records.size() && seen.size() == kKindCount);
}

void test_varint() {
    struct Case {
        int64_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {63, {0x7E}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {-65, {0x81, 0x01}},
        {300, {0xD8, 0x04}},
        {INT64_MAX, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {INT64_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const Case& c : cases) {
        uint8_t out[10];
        const size_t n = static_cast<size_t>(write_varint(out, zigzag_encode(c.value)) - out);
        CHECK(Bytes(out, out + n) == c.bytes);
        size_t pos = 0;
        CHECK(read_i64_zigzag(c.bytes.data(), c.bytes.size(), pos) == c.value && pos == n);
        CHECK(checked_varint_length(c.bytes.data()) == n);
    }
    // A tenth byte counts with its lowest bit only, and may not continue.
    Bytes ten(9, 0x80);
    ten.push_back(0x7F);
    size_t pos = 0;
    CHECK(read_i64_zigzag(ten.data(), ten.size(), pos) == zigzag_decode(uint64_t{1} << 63));
    ten.back() = 0x80;
    pos = 0;
    CHECK(!read_i64_zigzag(ten.data(), ten.size(), pos) && pos == 0);
    // Longer than minimal is accepted.
    const Bytes padded = {0x80, 0x00};
    pos = 0;
    CHECK(read_i64_zigzag(padded.data(), padded.size(), pos) == 0 && pos == 2);
}

void test_decode_malformed() {
    const Bytes magic = {'Z', 'L', 'K', 'R'};
    const char* header_messages[] = {
        "Invalid data: too short for header",
        "Invalid data: too short for header",
        "Invalid data: too short for header",
        "Invalid data: too short for header",
        "Invalid data: too short for version",
        "Invalid data: too short for version",
        "Invalid data: too short for schema version",
        "Invalid data: too short for schema version",
        "Invalid data: too short for schema version",
        "Invalid data: too short for schema version",
        "Invalid data: too short for flags",
        "Invalid data: no string count",
        "Invalid data: no string count",
        "Invalid data: no string count",
        "Invalid data: no string count",
    };
    for (size_t len = 0; len < std::size(header_messages); ++len) {
        Bytes b = magic;
        b.resize(len, 0);
        CHECK(decode_message(b) == header_messages[len]);
    }
    CHECK(decode_message({'X', 'L', 'K', 'R'}) == "Invalid magic bytes");
    Bytes huge = blob_of(0, {});
    huge.resize(11);
    huge.insert(huge.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    CHECK(decode_message(huge) == "Invalid data: string length truncated");
    CHECK(decode_message(blob_of(1, {0x0F})) == "Unknown tag: 0x0F");
    CHECK(decode_message(blob_of(1, {0x00})) == "Unknown tag: 0x00");
    CHECK(decode_message(blob_of(2, {0x01})) == "Invalid data: tag truncated");

    // Every prefix of every kind's record ends in the message of the field
    // it cuts short.
    uint32_t count = 0;
    const Bytes records = one_of_each(count);
    size_t pos = 0;
    while (pos < records.size()) {
        const RecordView rec(records.data() + pos);
        const KindInfo& kind = rec.kind();
        for (size_t cut = pos + 1; cut < pos + rec.size(); ++cut) {
            const std::string message = decode_message(blob_of(1, Bytes(records.begin() + pos, records.begin() + cut)));
            bool named = false;
            for (DecodeError e : kind.truncated) named |= message == error_text(e).text;
            CHECK(named);
        }
        CHECK(decode_message(blob_of(1, Bytes(records.begin() + pos, records.begin() + pos + rec.size()))).empty());
        pos += rec.size();
    }

    // UTF-8 faults name the sequence and where it starts.
    auto utf8_message = [](const Bytes& text) {
        Bytes b = {'Z', 'L', 'K', 'R', 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        b.push_back(static_cast<uint8_t>(text.size()));
        b.insert(b.end(), {0, 0, 0});
        b.insert(b.end(), text.begin(), text.end());
        b.insert(b.end(), {0, 0, 0, 0, 0, 0, 0, 0});
        return decode_message(b);
    };
    CHECK(utf8_message({0xFF}) == "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0");
    CHECK(utf8_message({'a', 0xE2, 0x82}) ==
          "Invalid UTF-8 in string table: incomplete utf-8 byte sequence from index 1");
    CHECK(utf8_message({0xF0, 0x9F, 0x98, 'x'}) ==
          "Invalid UTF-8 in string table: invalid utf-8 sequence of 3 bytes from index 0");
    CHECK(utf8_message({0xED, 0xA0, 0x80}) ==
          "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0");
    CHECK(utf8_message({'o', 'k', 0xC3, 0xA9}).empty());
}

void test_text_index() {
    graph::ObjectGraph g;
    CHECK(g.intern_string("x") == 0);
    CHECK(g.intern_string("") == 1);
    CHECK(g.intern_string("x") == 0);
    CHECK(g.intern_string("") == 1);
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i) texts.push_back("text-" + std::to_string(i * 7919));
    for (size_t i = 0; i < texts.size(); ++i) CHECK(g.intern_string(texts[i]) == i + 2);
    for (size_t i = 0; i < texts.size(); ++i) CHECK(g.find_string(texts[i]) == i + 2);
    CHECK(g.find_string("absent") == graph::IndexTable::kMissing);
    CHECK(g.string_count() == texts.size() + 2);
    {
        // Texts of an earlier capture, whose emptied slots a later one takes
        // over, are not found there.
        {
            graph::ObjectGraph earlier;
            for (const auto& t : texts) earlier.intern_string(t);
        }
        graph::ObjectGraph later;
        CHECK(later.find_string(texts[0]) == graph::IndexTable::kMissing);
        CHECK(later.intern_string(texts[1]) == 0 && later.find_string(texts[2]) == graph::IndexTable::kMissing);
        for (size_t i = 0; i < 300; ++i) CHECK(later.intern_string(texts[i + 1]) == i);
    }
    {
        // Hashes that collide on purpose are found all the same, and a probe
        // run as long as they make is noticed (the string index then moves
        // to the keyed hash); one made by chance is not.
        graph::IndexTable table;
        const size_t colliding = graph::IndexTable::kLongProbe + 8;
        for (uint32_t i = 0; i < colliding; ++i) table.insert(42, i);
        for (uint32_t i = 0; i < colliding; i += 37) CHECK(table.find(42, [&](uint32_t k) { return k == i; }) == i);
        CHECK(!table.crowded());
        CHECK(table.find(42, [](uint32_t) { return false; }) == graph::IndexTable::kMissing && table.crowded());
        table.clear();
        for (uint32_t i = 0; i < 5000; ++i) table.insert(uint64_t{i} * 0x9E3779B97F4A7C15ull, i);
        for (uint32_t i = 0; i < 5000; ++i)
            table.find(~uint64_t{i} * 0xC2B2AE3D27D4EB4Full, [](uint32_t) { return false; });
        CHECK(!table.crowded());
    }
    // Texts of every length up to past those compared a word at a time:
    // equal in separate buffers, unequal when one byte differs.
    for (size_t n = 0; n <= 40; ++n) {
        const std::string text(n, 'a');
        std::string other = text;
        CHECK(graph::same_text(text, other));
        for (size_t k = 0; k < n; ++k) {
            other[k] = 'b';
            CHECK(!graph::same_text(text, other) && !graph::same_text(other, text));
            other[k] = 'a';
        }
        CHECK(!graph::same_text(text, text + "a"));
    }

    // The first registration of a name fixes its fields and version.
    graph::TypeRegistry r;
    CHECK(r.register_type("Point", {"x", "y"}, 1) == 0);
    CHECK(r.register_type("Line", {}, 0) == 1);
    CHECK(r.register_type("Point", {"x", "y", "z"}, 2) == 0);
    CHECK(r.types.size() == 2 && r.types[0].fields.size() == 2 && r.types[0].version == 1);
    CHECK(r.find("Line") == 1u && !r.find("Nope"));
}

struct Group {
    const char* name;
    void (*run)();
};

const Group kGroups[] = {
    {"kinds", test_kinds},
    {"varint", test_varint},
    {"decode_malformed", test_decode_malformed},
    {"text_index", test_text_index},
};

}  // namespace

int main(int argc, char** argv) {
    int ran = 0;
    for (const Group& group : kGroups) {
        if (argc > 1 && std::strcmp(argv[1], group.name) != 0) continue;
        const int before = failures;
        group.run();
        std::printf("%s: %s\n", group.name, failures == before ? "ok" : "FAILED");
        ++ran;
    }
    if (ran == 0) {
        std::fprintf(stderr, "no test group named %s\n", argv[1]);
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
