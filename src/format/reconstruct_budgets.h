// Bounds that keep a crafted blob from making reconstruction take far more
// time or memory than its size warrants: a plain work counter, and the cost
// of hashing the tuples and instances built.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graph/text_index.h"
#include "pyref.h"

namespace zelkor::format {

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a + b < a ? ~uint64_t{0} : a + b;
}

// Work counted against a limit fixed when the load starts.
class WorkBudget {
public:
    explicit WorkBudget(uint64_t limit) : limit_(limit) {}
    // Counts `amount` more; false once the total is past the limit.
    bool spend(uint64_t amount) {
        used_ += amount;
        return used_ <= limit_;
    }
    bool exhausted() const { return used_ > limit_; }

private:
    uint64_t used_ = 0;
    uint64_t limit_;
};

// Hashing a tuple visits its items, nested tuples included, with no
// recursion check and no cached result: a deeply nested tuple used as a
// set member or dict key could overflow the native stack, and a tuple
// naming another one many times over could take exponential time. Each
// tuple built here that holds tuples records its depth and how many items
// such a visit touches, and hashing is refused beyond the bounds.
// Dataclass instances built here count as well: a hashable one normally
// hashes a tuple of its fields.
class HashCosts {
public:
    enum class Verdict { Affordable, TooDeep, TooCostly };

    explicit HashCosts(uint64_t budget) : budget_(budget) {}

    // Records the shape of a tuple built from `items`.
    void note_tuple(PyObject* tuple, const std::vector<PyRef>& items) {
        note_shape(tuple, items.size(), [&](size_t i) { return items[i].get(); }, false, 1);
    }
    // The same for a tuple already filled.
    void note_tuple(PyObject* tuple) {
        note_shape(
            tuple, static_cast<size_t>(PyTuple_Size(tuple)),
            [&](size_t i) { return PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i)); }, false, 1);
    }

    // Every hashable instance is recorded: instances naming one another
    // many times over would otherwise hash in exponential time unseen.
    void note_instance(PyObject* instance, const std::vector<PyRef>& fields) {
        if (PyType_GetSlot(Py_TYPE(instance), Py_tp_hash) == reinterpret_cast<void*>(PyObject_HashNotImplemented)) {
            return;  // unhashable (a dataclass with eq and without frozen)
        }
        // Hashing an instance runs its Python __hash__: it costs about as
        // much as visiting a hundred tuple items.
        note_shape(instance, fields.size(), [&](size_t i) { return fields[i].get(); }, true, 128);
        tracks_instances_ = true;
    }

    // Counts `times` comparisons of `obj` with a member of the same hash
    // (each visits at most what hashing it does, at kCompareWeight units
    // an item): false once the work is past the budget.
    bool charge_comparisons(PyObject* obj, uint64_t times) {
        const uint64_t each = kCompareWeight * cost_of(obj).visits;
        work_ = saturating_add(work_, times > ~uint64_t{0} / each ? ~uint64_t{0} : times * each);
        return work_ <= budget_;
    }

    // Before `obj` is hashed as a set member, dict key or frozenset element.
    Verdict check(PyObject* obj) {
        if (!PyTuple_Check(obj) && !tracks_instances_) return Verdict::Affordable;
        const Cost shape = cost_of(obj);
        if (shape.depth == 0) return Verdict::Affordable;
        if (shape.depth > kMaxHashDepth) return Verdict::TooDeep;
        work_ = saturating_add(work_, shape.visits);
        return work_ > budget_ ? Verdict::TooCostly : Verdict::Affordable;
    }

private:
    struct Cost {
        uint32_t depth;
        uint64_t visits;
    };
    static constexpr uint32_t kMaxHashDepth = 10000;
    // Comparing two items costs some times more than hashing one.
    static constexpr uint64_t kCompareWeight = 8;

    Cost cost_of(PyObject* obj) const {
        const bool tuple = PyTuple_Check(obj);
        if (tuple || tracks_instances_) {
            auto it = shapes_.find(obj);
            if (it != shapes_.end()) return it->second;
        }
        if (!tuple) return {0, 1};
        return {1, 1 + static_cast<uint64_t>(PyTuple_Size(obj))};
    }
    // Records the shape of `obj` (a tuple, or an instance) from its `n`
    // items, item `i` being `item_at(i)`.
    template <class ItemAt>
    void note_shape(PyObject* obj, size_t n, ItemAt item_at, bool always, uint64_t own_cost) {
        Cost shape{1, own_cost};
        bool nested = false;
        for (size_t i = 0; i < n; ++i) {
            const Cost s = cost_of(item_at(i));
            nested |= s.depth > 0;
            shape.depth = std::max(shape.depth, s.depth + 1);
            shape.visits = saturating_add(shape.visits, s.visits);
        }
        if (nested || always) shapes_[obj] = shape;
    }

    std::unordered_map<PyObject*, Cost> shapes_;  // tuples and instances holding tuples
    bool tracks_instances_ = false;
    uint64_t work_ = 0;
    const uint64_t budget_;
};

// A set, frozenset or dict compares a member it takes with each member of
// the same hash it holds: distinct members of one hash make filling it
// quadratic. Texts and bytes hash with a key of the process, and numbers
// share a hash with a few dozen others at most, but a tuple, frozenset or
// instance hashes from its items, so a crafted blob can give any number of
// distinct ones one hash. A large container counts a sample of the members
// of such kinds it takes (one in kSampling, chosen under the process's key,
// so that a blob cannot steer it) by hash, and the comparisons that the
// members of a hash taken before stand for are charged to the hashing
// budget.
class SameHashes {
public:
    // Containers of this many members or more are counted: a smaller one
    // makes a member cost at most as many comparisons.
    static constexpr uint64_t kCountedMembers = 128;

    static constexpr uint64_t kSampling = 8;

    // Whether `member` is among the sample.
    static bool sampled(PyObject* member) {
        const auto at = reinterpret_cast<uintptr_t>(member);
        return (graph::hash_text(std::string_view(reinterpret_cast<const char*>(&at), sizeof at)) & (kSampling - 1)) ==
               0;
    }
    // How many sampled members of hash `hash` were taken before this one.
    uint32_t take(Py_hash_t hash) {
        if (3 * (used_ + 1) > 2 * slots_.size()) grow();
        Slot& slot = find(static_cast<uint64_t>(hash));
        if (slot.count == 0) {
            slot.hash = static_cast<uint64_t>(hash);
            ++used_;
        }
        return slot.count++;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t count = 0;  // 0: free
    };
    // The slot of `hash`, or the free one where it goes. Its place comes
    // from a hash of the hash under the process's key: the hashes are the
    // blob's to choose.
    Slot& find(uint64_t hash) {
        const size_t mask = slots_.size() - 1;
        size_t at = static_cast<size_t>(
            graph::hash_text(std::string_view(reinterpret_cast<const char*>(&hash), sizeof hash)) & mask);
        while (slots_[at].count != 0 && slots_[at].hash != hash) at = (at + 1) & mask;
        return slots_[at];
    }
    void grow() {
        std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.count != 0) find(slot.hash) = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace zelkor::format
