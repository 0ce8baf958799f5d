#include "graph/seen_table.h"

#include <bit>
#include <cstdlib>
#include <new>

namespace zelkor::graph {

SeenTable::~SeenTable() {
    for (size_t i = 0; i < capacity_; ++i) Py_XDECREF(slots_[i].obj);
    std::free(slots_);
}

void SeenTable::grow() {
    size_t capacity = capacity_ ? capacity_ * 2 : 256;
    Entry* fresh = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    if (!fresh) throw std::bad_alloc();
    Entry* old = slots_;
    size_t old_capacity = capacity_;
    slots_ = fresh;
    capacity_ = capacity;
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(static_cast<uint64_t>(capacity)));
    for (size_t k = 0; k < old_capacity; ++k) {
        if (old[k].obj == nullptr) continue;
        size_t i = bucket(old[k].obj);
        while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        slots_[i] = old[k];
    }
    std::free(old);
}

}  // namespace zelkor::graph
