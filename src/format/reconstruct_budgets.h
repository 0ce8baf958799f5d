// Bounds that keep a crafted blob from making reconstruction take far more
// time or memory than its size warrants: a plain work counter, and the cost
// of hashing the tuples and instances built.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

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

}  // namespace zelkor::format
