// Dict shapes: the rows of a table, dicts with the same key objects in the
// same order, start as a copy of a row finished before instead of growing
// their keys table by insertion.
#include <memory>
#include <utility>
#include <vector>

#include "format/reconstructor.h"

namespace zelkor::format {

// A dict being filled whose pair `pair` has the key `key`: at the first
// pair, it becomes a copy of a dict of the same shape met before, if any; a
// dict copied so whose key differs from its shape's is emptied and given
// its pairs so far again.
bool Reconstructor::change_shape(PyObject* dict, uint64_t count, DictShape*& shape, uint64_t pair, PyObject* key) {
    if (shape) {
        std::vector<std::pair<PyObject*, PyObject*>> entered;
        entered.reserve(pair);
        Py_ssize_t at = 0;
        PyObject *k, *v;
        for (uint64_t i = 0; i < pair && PyDict_Next(dict, &at, &k, &v); ++i) {
            Py_INCREF(k);
            Py_INCREF(v);
            entered.emplace_back(k, v);
        }
        PyDict_Clear(dict);
        ++shape->missed;
        shape = nullptr;
        bool ok = true;
        for (auto [k, v] : entered) {
            ok = ok && PyDict_SetItem(dict, k, v) == 0;
            Py_DECREF(k);
            Py_DECREF(v);
        }
        return ok;
    }
    if (!presize_lists_) return true;
    DictShape* found = shape_slots_[shape_slot(key, count / 2)];
    if (!found || found->keys.size() != count / 2 || found->keys[0] != key) return true;
    if (PyDict_Update(dict, found->dict.get()) < 0) return false;
    shape = found;
    return true;
}

// A finished dict of a size that may have a shape, not copied from one:
// its keys become the shape for the dicts of its pair count and first key,
// unless that slot holds a shape that pays.
void Reconstructor::remember_shape(PyObject* dict, uint64_t count) {
    if (!presize_lists_) return;
    const uint64_t pairs = count / 2;
    if (static_cast<uint64_t>(PyDict_Size(dict)) != pairs) return;  // a key given twice
    Py_ssize_t at = 0;
    PyObject *k, *v;
    if (!PyDict_Next(dict, &at, &k, &v)) return;
    DictShape*& slot = shape_slots_[shape_slot(k, pairs)];
    if (slot && ++slot->missed <= slot->kept) return;
    auto shape = std::make_unique<DictShape>();
    shape->keys.reserve(pairs);
    shape->keys.push_back(k);
    while (PyDict_Next(dict, &at, &k, &v)) shape->keys.push_back(k);
    shape->dict = PyRef::borrow(dict);
    shapes_.push_back(std::move(shape));
    slot = shapes_.back().get();
}

}  // namespace zelkor::format
