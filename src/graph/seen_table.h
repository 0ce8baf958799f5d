// The identity table of a capture. Holds Python references.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/kept_block.h"

namespace zelkor::graph {

// Identity map of the walk: object address to the index of the record that
// captured it first. It owns a reference to every object it holds, so an
// address can never be reused by another object while the walk runs, and the
// views the graph keeps into str and bytes objects stay valid until the blob
// is written.
class SeenTable {
public:
    SeenTable() = default;
    SeenTable(const SeenTable&) = delete;
    SeenTable& operator=(const SeenTable&) = delete;
    ~SeenTable();

    static constexpr uint32_t kMissing = 0xFFFFFFFFu;

    uint32_t find(PyObject* obj) const {
        if (size_ == 0) return kMissing;
        size_t i = bucket(obj);
        for (;;) {
            const Entry& e = slots_[i];
            if (e.obj == obj) return e.index;
            if (e.obj == nullptr) return kMissing;
            i = (i + 1) & mask_;
        }
    }
    // Adds an object known to be absent, taking a new reference to it.
    void insert(PyObject* obj, uint32_t index) {
        if ((size_ + 1) * 2 > capacity_) grow();
        size_t i = bucket(obj);
        while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        used_.note(i, capacity_);
        Py_INCREF(obj);
        slots_[i] = Entry{obj, index};
        ++size_;
    }

    // Tables of at most this many slots (4 MiB) are kept for the next one.
    static constexpr size_t kMaxKeptSlots = size_t{1} << 18;

private:
    struct Entry {
        PyObject* obj;
        uint32_t index;
    };
    // Fibonacci hashing: object addresses are highly regular (fixed-size
    // blocks in pools), so they are spread over the whole table.
    size_t bucket(PyObject* obj) const {
        uint64_t p = reinterpret_cast<uintptr_t>(obj) >> 4;
        return static_cast<size_t>((p * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void grow();
    void use_slots(Entry* slots, size_t capacity);

    static KeptBlock kept_;

    Entry* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t size_ = 0;
    UsedSlots used_;
};

}  // namespace zelkor::graph
