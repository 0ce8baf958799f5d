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

    uint32_t find(PyObject* obj) {
        size_t i = bucket(obj);
        for (;;) {
            const Entry& e = slots_[i];
            if (e.obj == obj) return e.index;
            if (e.obj == nullptr) {
                missed_ = obj, missed_slot_ = i;
                return kMissing;
            }
            i = (i + 1) & mask_;
        }
    }
    // Whether `obj` is the object the last lookup that missed was for, with
    // nothing added since: it is still absent, without a second lookup. (An
    // object added since, at whatever address, has cleared this.)
    bool known_absent(PyObject* obj) const { return obj == missed_; }
    // Adds an object known to be absent, taking a new reference to it. When
    // the last lookup missed it, it goes where that lookup ended.
    void insert(PyObject* obj, uint32_t index) {
        size_t i;
        if (obj == missed_ && (size_ + 1) * 2 <= capacity_) {
            i = missed_slot_;
        } else {
            if ((size_ + 1) * 2 > capacity_) grow();
            i = bucket(obj);
            while (slots_[i].obj != nullptr) i = (i + 1) & mask_;
        }
        missed_ = nullptr;
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
    // Until the first insert, lookups run on these two empty slots (the
    // bucket of any address is 0 or 1), so they need no test for a table
    // not yet made. They are never written.
    static Entry no_slots_[2];

    Entry* slots_ = no_slots_;
    size_t capacity_ = 0;  // 0 while on no_slots_
    size_t mask_ = 1;
    unsigned shift_ = 63;
    size_t size_ = 0;
    UsedSlots used_;
    PyObject* missed_ = nullptr;  // see known_absent()
    size_t missed_slot_ = 0;
};

}  // namespace zelkor::graph
