#include "graph/seen_table.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <new>
#include <utility>

namespace zelkor::graph {

namespace {

// The slots of one finished table, all empty, kept for the next table: a
// table taken afresh is zeroed and rehashed again as it grows, on every
// capture. `kept_lock` is held only while the two fields change; a table
// that finds the lock held or nothing kept allocates its own.
std::atomic_flag kept_lock = ATOMIC_FLAG_INIT;
void* kept_slots = nullptr;
size_t kept_capacity = 0;

struct KeptLock {
    const bool held;
    KeptLock() : held(!kept_lock.test_and_set(std::memory_order_acquire)) {}
    ~KeptLock() {
        if (held) kept_lock.clear(std::memory_order_release);
    }
};

}  // namespace

SeenTable::~SeenTable() {
    // Only the slots in use are visited: a kept table may be far larger
    // than this capture needed.
    for (size_t slot : used_) {
        Py_DECREF(slots_[slot].obj);
        slots_[slot].obj = nullptr;
    }
    if (!slots_) return;
    void* data = slots_;
    size_t capacity = capacity_;
    {
        KeptLock lock;
        if (lock.held && capacity <= kMaxKeptSlots && capacity > kept_capacity) {
            std::swap(data, kept_slots);
            std::swap(capacity, kept_capacity);
        }
    }
    std::free(data);  // the slots not kept, if any
}

void SeenTable::use_slots(Entry* slots, size_t capacity) {
    slots_ = slots;
    capacity_ = capacity;
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(static_cast<uint64_t>(capacity)));
}

void SeenTable::grow() {
    if (!slots_) {
        KeptLock lock;
        if (lock.held && kept_slots) {
            use_slots(static_cast<Entry*>(kept_slots), kept_capacity);
            kept_slots = nullptr;
            kept_capacity = 0;
            return;
        }
    }
    size_t capacity = capacity_ ? capacity_ * 2 : 256;
    Entry* fresh = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    if (!fresh) throw std::bad_alloc();
    Entry* old = slots_;
    use_slots(fresh, capacity);
    for (size_t& slot : used_) {
        const Entry& e = old[slot];
        size_t i = bucket(e.obj);
        while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        slots_[i] = e;
        slot = i;
    }
    std::free(old);
}

}  // namespace zelkor::graph
