#include "graph/object_graph.h"

#include <cstdlib>
#include <cstring>

namespace zelkor::graph {

KeptBlock ObjectGraph::kept_records_{size_t{16} << 20};
KeptBlock ObjectGraph::kept_texts_{size_t{8} << 20};
KeptBlock ObjectGraph::kept_text_refs_{size_t{4} << 20};
KeptBlock ObjectGraph::kept_string_slots_{IndexTable::kMaxKeptSlots * sizeof(IndexTable::Slot)};

void ByteBuffer::reserve_more(size_t n) {
    if (!data_) {
        size_t capacity = 0;
        if (void* kept = kept_.take(capacity)) {
            data_ = static_cast<uint8_t*>(kept);
            capacity_ = capacity;
            if (capacity_ - size_ >= n) return;
        }
    }
    size_t want = size_ + n;
    size_t cap = capacity_ ? capacity_ * 2 : 65536;
    while (cap < want) cap *= 2;
    void* p = std::realloc(data_, cap);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = cap;
}

// The container yielded a number of children other than the room it
// reserved, or some beyond it.
void ObjectGraph::move_children(Reservation& r, const std::vector<uint32_t>& extra, uint32_t count) {
    const size_t used = static_cast<size_t>(r.filled) + extra.size();
    if (used != r.capacity) {
        // The container yielded a different number of children than its
        // length promised: move everything recorded after it.
        const size_t region_end = r.count_offset + 4 + static_cast<size_t>(r.capacity) * 4;
        const size_t tail = records.size() - region_end;
        const size_t new_end = r.count_offset + 4 + used * 4;
        if (new_end > region_end) records.extend(new_end - region_end);
        uint8_t* base = records.data();
        std::memmove(base + new_end, base + region_end, tail);
        if (new_end < region_end) records.shrink_to(new_end + tail);
        for (ExternalBytes& e : external) {
            if (e.offset >= region_end) e.offset = e.offset - region_end + new_end;
        }
        uint8_t* p = base + r.count_offset + 4 + static_cast<size_t>(r.filled) * 4;
        for (uint32_t index : extra) p = format::write_u32(p, index);
    }
    format::write_u32(records.data() + r.count_offset, count);
}

}  // namespace zelkor::graph
