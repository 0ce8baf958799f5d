// The memo of one reconstruction: record index to the object built for it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ZELKOR_HAVE_MMAP 1
#endif

namespace zelkor::format {

// Record index to the object built for it, holding one reference to each.
// Most records never get an entry, so a large table is taken from fresh
// zero pages (never written unless used) and only the entries made are
// visited when it is released.
class Memo {
public:
    explicit Memo(size_t n) : bytes_((n ? n : 1) * sizeof(PyObject*)) {
#ifdef ZELKOR_HAVE_MMAP
        if (bytes_ >= kMapThreshold) {
            void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            slots_ = static_cast<PyObject**>(p);
            mapped_ = true;
            return;
        }
#endif
        slots_ = static_cast<PyObject**>(std::calloc(1, bytes_));
        if (!slots_) throw std::bad_alloc();
    }
    Memo(const Memo&) = delete;
    Memo& operator=(const Memo&) = delete;
    ~Memo() {
        for (uint32_t i : filled_) Py_XDECREF(slots_[i]);
#ifdef ZELKOR_HAVE_MMAP
        if (mapped_) {
            munmap(slots_, bytes_);
            return;
        }
#endif
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
    static constexpr size_t kMapThreshold = size_t{1} << 20;
    size_t bytes_;
    PyObject** slots_ = nullptr;
    bool mapped_ = false;
    std::vector<uint32_t> filled_;
};

}  // namespace zelkor::format
