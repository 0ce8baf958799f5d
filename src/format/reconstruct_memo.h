// The memo of one reconstruction: record index to the object built for it.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "format/primitives.h"

namespace zelkor::format {

// The number of bits set in `x`. The baseline x86-64 target has no
// instruction for it (std::popcount becomes a library call there): the
// instruction is used where the processor has it, and a few shifts and adds
// elsewhere.
class BitCount {
public:
    BitCount() : hardware_(has_instruction()) {}
    ZELKOR_ALWAYS_INLINE uint64_t operator()(uint64_t x) const {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
        if (hardware_) {
            uint64_t n;
            __asm__("popcntq %1, %0" : "=r"(n) : "r"(x) : "cc");
            return n;
        }
#endif
        x = x - (x >> 1 & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + (x >> 2 & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return x * 0x0101010101010101ull >> 56;
    }

private:
    static bool has_instruction() {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
        static const bool has = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("popcnt") != 0;
        }();
        return has;
#else
        return false;
#endif
    }

    bool hardware_;
};

// One zeroed array of object pointers kept between calls, so that a call
// need not map and fault in a fresh one; a call made while it is in use,
// or that needs more slots, takes an array of its own.
class KeptPointers {
public:
    // A zeroed array of at least `n` slots.
    PyObject** take(size_t n) {
        if (!busy_ && kept_ && count_ >= n) {
            busy_ = true;
            return kept_;
        }
        auto* slots = static_cast<PyObject**>(std::calloc(n ? n : 1, sizeof(PyObject*)));
        if (!slots) throw std::bad_alloc();
        return slots;
    }
    // Gives back `slots`, `n` of them and all zeros again, from take(n). A
    // larger array than the kept one, of at most `limit` slots, is kept
    // instead, unless the kept one is in use.
    void give_back(PyObject** slots, size_t n, size_t limit) {
        if (slots == kept_) {
            busy_ = false;
        } else if (!busy_ && n <= limit && n > count_) {
            std::free(kept_);
            kept_ = slots;
            count_ = n;
        } else {
            std::free(slots);
        }
    }

private:
    PyObject** kept_ = nullptr;
    size_t count_ = 0;
    bool busy_ = false;
};

// The slots of a memo's open-addressing table.
struct MemoTable {
    uint32_t* keys = nullptr;  // record index + 1, or 0 for a free slot
    PyObject** values = nullptr;
    size_t mask = 0;     // slots - 1
    unsigned shift = 0;  // 64 - log2(slots)

    static MemoTable make(size_t slots) {
        MemoTable t;
        t.keys = static_cast<uint32_t*>(std::calloc(slots, sizeof(uint32_t)));
        t.values = static_cast<PyObject**>(std::calloc(slots, sizeof(PyObject*)));
        if (!t.keys || !t.values) {
            t.release();
            throw std::bad_alloc();
        }
        t.mask = slots - 1;
        t.shift = static_cast<unsigned>(64 - std::countr_zero(slots));
        return t;
    }
    void release() {
        std::free(keys);
        std::free(values);
        *this = MemoTable();
    }
};

// Record index to the object built for it, holding one reference to each.
//
// Two layouts. A table of one slot per record is the fastest, but it is
// touched on every page that holds an entry: when the records that need an
// entry (the targets of Refs, tuples and the like) lie thinly over the whole
// record table, a table sized to the entries takes far less memory. There,
// each record marked shared (nearly every record that gets an entry) has a
// slot of its own, in record order: its rank among the marked records, the
// marked records of the words before its own (counted once per call) and
// those below it in its word. The few other entries go to an
// open-addressing table. The caller says which layout to start with; a run
// of collisions in the open-addressing table longer than any that real data
// makes moves every entry into a table of one slot per record, so that
// crafted indices cannot make the probing quadratic.
//
// Each table is taken from one kept across calls whenever that one is free
// and large enough: a table taken afresh costs a page fault for every page
// the build touches, on every call. Only the entries made are visited when
// it is released, and each is cleared then, so a kept table is all zeros
// between calls. A call made while a kept table is in use (loads run by
// Python code that a load runs) takes a table of its own. Every user holds
// the interpreter lock, which guards the kept tables.
class Memo {
public:
    // `marks`: one bit per record of the `n`, the records marked shared,
    // unchanged while the memo lives.
    Memo(size_t n, bool sparse, const uint64_t* marks) : record_count_(n ? n : 1), marks_(marks) {
        if (!sparse) {
            use_flat();
            return;
        }
        use_ranked(n);
        if (!kept_busy_ && kept_.keys) {
            table_ = kept_;
            kept_busy_ = true;
            return;
        }
        try {
            table_ = MemoTable::make(kInitialSlots);
        } catch (...) {
            release_ranked();  // no destructor runs for a memo not made
            throw;
        }
    }
    Memo(const Memo&) = delete;
    Memo& operator=(const Memo&) = delete;
    ~Memo() {
        if (flat_) {
            for (uint32_t i : filled_) {
                PyObject* obj = flat_[i];
                flat_[i] = nullptr;
                Py_XDECREF(obj);
            }
            release_flat();
        } else {
            for (uint32_t slot : filled_) {
                PyObject* obj = table_.values[slot];
                table_.keys[slot] = 0;
                table_.values[slot] = nullptr;
                Py_XDECREF(obj);
            }
        }
        release_ranked();
        if (!table_.keys) return;
        if (table_.keys == kept_.keys) {
            kept_busy_ = false;
            return;
        }
        // A larger table than the kept one (within bounds) is kept instead,
        // unless the kept one is in use.
        if (!kept_busy_ && table_.mask < kMaxKeptSlots && table_.mask > kept_.mask) {
            kept_.release();
            kept_ = table_;
            return;
        }
        table_.release();
    }

    ZELKOR_ALWAYS_INLINE PyObject* get(uint32_t index) const {
        if (flat_) return flat_[index];
        const uint64_t word = marks_[index >> 6];
        const uint64_t bit = uint64_t{1} << (index & 63);
        if (word & bit) return ranked_[rank_[index >> 6] + bit_count_(word & (bit - 1))];
        // Records are mostly asked for in increasing order: one past every
        // entry made has none.
        if (index >= above_) return nullptr;
        const size_t slot = home(index);
        if (table_.keys[slot] == index + 1) return table_.values[slot];
        return table_.keys[slot] ? get_open(index, slot) : nullptr;
    }
    // Enters or replaces the object for `index`, taking a new reference.
    void set(uint32_t index, PyObject* obj) {
        if (flat_) {
            PyObject* old = flat_[index];
            if (!old) filled_.push_back(index);  // may throw: before any reference moves
            Py_INCREF(obj);
            flat_[index] = obj;
            Py_XDECREF(old);
            return;
        }
        const uint64_t word = marks_[index >> 6];
        const uint64_t bit = uint64_t{1} << (index & 63);
        if (word & bit) {
            PyObject*& slot = ranked_[rank_[index >> 6] + bit_count_(word & (bit - 1))];
            PyObject* old = slot;
            Py_INCREF(obj);
            slot = obj;
            Py_XDECREF(old);
            return;
        }
        set_open(index, obj);
    }

private:
    // The open-addressing table's side, kept out of line so that the hot
    // loops stay small.
    // Past the home slot `slot` of `index`.
    ZELKOR_NOINLINE PyObject* get_open(uint32_t index, size_t slot) const {
        for (slot = (slot + 1) & table_.mask;; slot = (slot + 1) & table_.mask) {
            const uint32_t key = table_.keys[slot];
            if (key == index + 1) return table_.values[slot];
            if (!key) return nullptr;
        }
    }
    ZELKOR_NOINLINE void set_open(uint32_t index, PyObject* obj) {
        size_t slot = home(index);
        for (size_t run = 0;; slot = (slot + 1) & table_.mask, ++run) {
            const uint32_t key = table_.keys[slot];
            if (key == index + 1) {
                PyObject* old = table_.values[slot];
                Py_INCREF(obj);
                table_.values[slot] = obj;
                Py_XDECREF(old);
                return;
            }
            if (!key) break;
            if (run > kLongestRun) {
                go_flat();
                set(index, obj);
                return;
            }
        }
        if (3 * (filled_.size() + 1) > 2 * (table_.mask + 1)) {  // at most two thirds full
            grow();
            set(index, obj);
            return;
        }
        filled_.push_back(static_cast<uint32_t>(slot));  // may throw: before any reference moves
        Py_INCREF(obj);
        if (index >= above_) above_ = index + 1;
        table_.keys[slot] = index + 1;
        table_.values[slot] = obj;
    }

    static constexpr size_t kInitialSlots = 1024;
    static constexpr size_t kLongestRun = 64;
    // The largest table kept between calls: 12 MiB.
    static constexpr size_t kMaxKeptSlots = size_t{1} << 20;
    static inline MemoTable kept_;
    static inline bool kept_busy_ = false;
    // The largest table of one slot per record kept between calls: 32 MiB,
    // for blobs of up to four million records.
    static constexpr size_t kMaxKeptFlat = size_t{1} << 22;
    static inline KeptPointers flat_kept_;

    size_t home(uint32_t index) const {
        return static_cast<size_t>((uint64_t{index} * 0x9E3779B97F4A7C15ull) >> table_.shift);
    }
    // Moves every entry into a table twice the size.
    void grow() {
        MemoTable bigger = MemoTable::make(2 * (table_.mask + 1));  // may throw: nothing moved yet
        std::vector<uint32_t> filled;
        try {
            filled.reserve(filled_.size());
        } catch (...) {
            bigger.release();
            throw;
        }
        MemoTable old = table_;
        table_ = bigger;
        for (uint32_t from : filled_) {
            size_t slot = home(old.keys[from] - 1);
            while (table_.keys[slot]) slot = (slot + 1) & table_.mask;
            table_.keys[slot] = old.keys[from];
            table_.values[slot] = old.values[from];
            filled.push_back(static_cast<uint32_t>(slot));
            old.keys[from] = 0;
            old.values[from] = nullptr;
        }
        filled_ = std::move(filled);
        if (old.keys == kept_.keys) {
            kept_busy_ = false;  // all zeros again, and free for the next call
        } else {
            old.release();
        }
    }
    // Takes a table of one slot per record.
    void use_flat() { flat_ = flat_kept_.take(record_count_); }
    void release_flat() {
        flat_kept_.give_back(flat_, record_count_, kMaxKeptFlat);
        flat_ = nullptr;
    }
    // Moves every entry into a table of one slot per record.
    void go_flat() {
        std::vector<uint32_t> filled;
        filled.reserve(filled_.size() + ranked_count_);  // may throw: nothing moved yet
        use_flat();
        for (uint32_t slot : filled_) {
            const uint32_t index = table_.keys[slot] - 1;
            flat_[index] = table_.values[slot];
            filled.push_back(index);
            table_.keys[slot] = 0;
            table_.values[slot] = nullptr;
        }
        // The ranked slots lie in record order.
        size_t slot = 0;
        for (size_t w = 0; slot < ranked_count_; ++w) {
            for (uint64_t bits = marks_[w]; bits; bits &= bits - 1, ++slot) {
                if (PyObject* obj = ranked_[slot]) {
                    const uint32_t index = static_cast<uint32_t>(64 * w + static_cast<size_t>(std::countr_zero(bits)));
                    flat_[index] = obj;
                    filled.push_back(index);
                    ranked_[slot] = nullptr;
                }
            }
        }
        filled_ = std::move(filled);
    }

    // Counts the marked records before each word of marks and takes a slot
    // for each.
    void use_ranked(size_t n) {
        const size_t words = n / 64 + 1;
        rank_.resize(words);  // may throw: nothing taken yet
        size_t marked = 0;
        for (size_t w = 0; w < words; ++w) {
            rank_[w] = static_cast<uint32_t>(marked);
            marked += static_cast<size_t>(bit_count_(marks_[w]));
        }
        ranked_count_ = marked;
        ranked_ = ranked_kept_.take(marked);
    }
    // Drops the ranked slots' references and gives back their table, all
    // zeros again.
    void release_ranked() {
        if (!ranked_) return;
        for (size_t slot = 0; slot < ranked_count_; ++slot) {
            if (PyObject* obj = ranked_[slot]) {
                ranked_[slot] = nullptr;
                Py_DECREF(obj);
            }
        }
        ranked_kept_.give_back(ranked_, ranked_count_, kMaxKeptSlots);
        ranked_ = nullptr;
    }

    size_t record_count_;
    const uint64_t* marks_;
    BitCount bit_count_;
    // Ranked slots: the entries of marked records, when not flat.
    std::vector<uint32_t> rank_;  // per word of marks: the marked records before it
    PyObject** ranked_ = nullptr;
    size_t ranked_count_ = 0;
    static inline KeptPointers ranked_kept_;
    MemoTable table_;
    PyObject** flat_ = nullptr;  // the table of one slot per record, when used
    uint32_t above_ = 0;         // open addressing: above every index entered
    // Slots of the entries made (indices once flat).
    std::vector<uint32_t> filled_;
};

}  // namespace zelkor::format
