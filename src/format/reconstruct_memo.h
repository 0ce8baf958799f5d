// The memo of one reconstruction: record index to the object built for it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace zelkor::format {

// Record index to the object built for it, holding one reference to each.
//
// The table is taken from one kept across calls whenever that one is free
// and large enough: a table taken afresh costs a page fault for every page
// the build touches, on every call, which for a large blob is a good part
// of the whole load. Only the entries made are visited when it is released,
// and each is cleared then, so the kept table is all zeros between calls.
// A call made while the kept table is in use (loads run by Python code that
// a load runs) takes a table of its own. Every user holds the interpreter
// lock, which guards the kept table.
class Memo {
public:
    explicit Memo(size_t n) : slots_count_(n ? n : 1) {
        if (!kept_busy_ && kept_count_ >= slots_count_) {
            slots_ = kept_;
            kept_busy_ = true;
            return;
        }
        slots_ = static_cast<PyObject**>(std::calloc(slots_count_, sizeof(PyObject*)));
        if (!slots_) throw std::bad_alloc();
    }
    Memo(const Memo&) = delete;
    Memo& operator=(const Memo&) = delete;
    ~Memo() {
        for (uint32_t i : filled_) {
            PyObject* obj = slots_[i];
            slots_[i] = nullptr;
            Py_XDECREF(obj);
        }
        if (slots_ == kept_) {
            kept_busy_ = false;
            return;
        }
        // A larger table than the kept one (within bounds) is kept instead,
        // unless the kept one is in use.
        if (!kept_busy_ && slots_count_ <= kMaxKept && slots_count_ > kept_count_) {
            std::free(kept_);
            kept_ = slots_;
            kept_count_ = slots_count_;
            return;
        }
        std::free(slots_);
    }
    PyObject* get(uint32_t index) const { return slots_[index]; }
    // Enters or replaces the object for `index`, taking a new reference.
    void set(uint32_t index, PyObject* obj) {
        PyObject* old = slots_[index];
        if (!old) filled_.push_back(index);  // may throw: before any reference moves
        Py_INCREF(obj);
        slots_[index] = obj;
        Py_XDECREF(old);
    }

private:
    // The largest table kept between calls: 32 MiB, for blobs of up to
    // four million records.
    static constexpr size_t kMaxKept = size_t{1} << 22;
    static inline PyObject** kept_ = nullptr;
    static inline size_t kept_count_ = 0;
    static inline bool kept_busy_ = false;

    size_t slots_count_;
    PyObject** slots_ = nullptr;
    std::vector<uint32_t> filled_;
};

}  // namespace zelkor::format
