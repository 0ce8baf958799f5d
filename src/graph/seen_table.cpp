#include "graph/seen_table.h"

#include <bit>
#include <cstdlib>
#include <new>

namespace zelkor::graph {

// The slots of one finished table, all empty, kept for the next table: a
// table taken afresh is zeroed and rehashed again as it grows, on every
// capture.
KeptBlock SeenTable::kept_{SeenTable::kMaxKeptSlots * sizeof(SeenTable::Entry)};
SeenTable::Entry SeenTable::no_slots_[2] = {};

SeenTable::~SeenTable() {
    const auto empty = [](Entry& e) {
        if (PyObject* obj = e.obj) {
            e.obj = nullptr;
            Py_DECREF(obj);
        }
    };
    if (used_.all()) {
        for (Entry *e = slots_, *end = slots_ + capacity_; e != end; ++e) empty(*e);
    } else {
        used_.for_each(capacity_, [&](size_t slot) { empty(slots_[slot]); });
    }
    if (capacity_) kept_.give_back(slots_, capacity_ * sizeof(Entry));
}

void SeenTable::use_slots(Entry* slots, size_t capacity) {
    slots_ = slots;
    capacity_ = capacity;
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(static_cast<uint64_t>(capacity)));
}

void SeenTable::grow() {
    if (capacity_ == 0) {
        size_t bytes = 0;
        if (void* kept = kept_.take(bytes)) {
            use_slots(static_cast<Entry*>(kept), bytes / sizeof(Entry));
            return;
        }
    }
    size_t capacity = capacity_ ? capacity_ * 2 : 256;
    // Slot numbers are kept in 32 bits: a table that large (64 GiB) is
    // refused like any allocation that fails.
    if (capacity > (size_t{1} << 32)) throw std::bad_alloc();
    Entry* fresh = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    if (!fresh) throw std::bad_alloc();
    Entry* old = slots_;
    const size_t old_capacity = capacity_;
    use_slots(fresh, capacity);
    // A table grows when half full, so the new one is a quarter full: all
    // its slots are visited when it is emptied, and nothing here allocates.
    const UsedSlots before = used_.restart(size_ > 0);
    before.for_each(old_capacity, [&](size_t k) {
        const Entry& e = old[k];
        if (e.obj == nullptr) return;
        size_t i = bucket(e.obj);
        while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        slots_[i] = e;
    });
    if (old_capacity) std::free(old);
}

}  // namespace zelkor::graph
