// Shells of classes that hash by value. Such a shell, handed out before its
// fields exist, hashes and compares as an instance with none of them: a set,
// frozenset or dict filled meanwhile may hold it under a stale hash, or take
// it for equal to another. Those containers are noted as they finish, their
// members and pairs taken for equal are set aside, and once the last shell
// has its fields each noted container is looked at again: refilled in place,
// or refused where it cannot be (a frozenset).
#include <utility>
#include <vector>

#include "format/reconstructor.h"

namespace zelkor::format {

// A shell of a class that hashes by value has its fields now. Once no such
// shell is left uninitialised, the sets, frozensets and dicts finished while
// one was are looked at: any of them may hold it (or a tuple or instance
// holding it) under the hash it had without its fields. A container that
// took a member while such a shell was live was being filled above the
// shell's frame, so it was finished before the shell was initialised, and
// noted then. It is finished (and noted) once, so each is looked at once
// per load, and each look hashes each member or key at most three times more,
// counted against the hashing budget like every other hash.
bool Reconstructor::shell_initialised() {
    if (--value_shells_ > 0) return true;
    std::vector<HashedEarly> noted = std::move(hashed_early_);
    hashed_early_.clear();
    for (const HashedEarly& early : noted) {
        if (!rehash_members(early)) return false;
    }
    value_shell_class_ = PyRef();
    return true;
}

namespace {

// ValueError: instances of `cls` were hashed into a `kind` before their
// fields were set (`and` says what came of it, if more).
void raise_hashed_early(PyObject* cls, const char* kind, const char* and_) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(cls, "__qualname__"));
    if (!name) return;
    PyErr_Format(PyExc_ValueError,
                 "Instances of '%S' on a reference cycle were hashed into a %s before their fields were set%s",
                 name.get(), kind, and_);
}

// Whether the error set is an AttributeError, then cleared: a shell has
// none of its fields, so hashing or comparing it (or what holds it) may fail
// for want of one until it has them.
bool lacks_a_field() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

// Adds a member to a set (`value` null), or pair `pair` to a dict, while a
// shell of a class that hashes by value is live. A member or key taken for
// equal to one already in (as such shells are, alike without their fields),
// or that cannot be hashed or compared for want of a field, is set aside, in
// order, for rehash_members() to put in again once they have them; a dict
// keeps the value it has for the key meanwhile.
bool Reconstructor::add_early(Frame& f, PyObject* key, PyObject* value, uint64_t pair) {
    PyObject* const container = f.obj.get();
    if (value) {
        if (!holds_nothing(key) && !check_hash_cost(key)) return false;  // hashed once more
        PyObject* found = PyDict_GetItemWithError(container, key);       // borrowed
        if (!found && !PyErr_Occurred()) return PyDict_SetItem(container, key, value) == 0;
        if (!found && !lacks_a_field()) return false;
    } else {
        const Py_ssize_t before = PySet_Size(container);
        if (PySet_Add(container, key) < 0) {
            if (!lacks_a_field()) return false;
        } else if (PySet_Size(container) != before) {
            return true;
        }
    }
    if (!f.aside && !(f.aside = PyRef::steal(PyList_New(0)))) return false;
    PyRef entry = value ? PyRef::steal(Py_BuildValue("(KOO)", static_cast<unsigned long long>(pair), key, value))
                        : PyRef::borrow(key);
    return entry && PyList_Append(f.aside.get(), entry.get()) == 0;
}

// Puts the members of a set, or the items of a dict, in again, in their
// order, if one may be kept under a hash it no longer has, together with
// those set aside while they were filled. A set's lookup compares hashes
// before identities, so a member it does not find is one kept under a stale
// hash. A dict's lookup takes a key by identity wherever its probe meets it,
// so finding a key proves nothing: a dict with a key that may hold a shell is
// refilled. The object stays the same, and holds every member or pair it was
// filled with, as it would have had the shells had their fields. A frozenset
// cannot be refilled once made: it is refused, as is one that merged items
// equal only without their fields.
bool Reconstructor::rehash_members(const HashedEarly& early) {
    PyObject* const container = early.container.get();
    const bool is_dict = PyDict_CheckExact(container);
    const bool frozen = PyFrozenSet_CheckExact(container);
    if (frozen && early.aside && !frozenset_kept_all(early)) return false;
    PyRef members = PyRef::steal(is_dict ? PyDict_Items(container) : PySequence_List(container));
    if (!members) return false;
    // A frozenset's items are not members to put in: it is not refilled.
    bool stale = !frozen && early.aside;
    if (stale && !is_dict) {
        // Members set aside go in after the others.
        if (PyList_SetSlice(members.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, early.aside.get()) < 0) return false;
    } else if (stale) {
        // Pairs set aside go in at their places among the others, which
        // were entered in order.
        PyRef all = PyRef::steal(PyList_New(0));
        if (!all) return false;
        const Py_ssize_t kept = PyList_Size(members.get()), aside = PyList_Size(early.aside.get());
        Py_ssize_t k = 0;
        for (Py_ssize_t a = 0; a < aside; ++a) {
            PyObject* entry = PyList_GetItem(early.aside.get(), a);
            const unsigned long long at = PyLong_AsUnsignedLongLong(PyTuple_GetItem(entry, 0));
            for (; k < kept && static_cast<unsigned long long>(k + a) < at; ++k) {
                if (PyList_Append(all.get(), PyList_GetItem(members.get(), k)) < 0) return false;
            }
            PyRef pair = PyRef::steal(PyTuple_GetSlice(entry, 1, 3));
            if (!pair || PyList_Append(all.get(), pair.get()) < 0) return false;
        }
        for (; k < kept; ++k) {
            if (PyList_Append(all.get(), PyList_GetItem(members.get(), k)) < 0) return false;
        }
        members = std::move(all);
    }
    const Py_ssize_t n = PyList_Size(members.get());
    for (Py_ssize_t i = 0; i < n && !stale; ++i) {
        PyObject* member = PyList_GetItem(members.get(), i);
        if (is_dict) member = PyTuple_GetItem(member, 0);
        if (holds_nothing(member)) continue;
        if (is_dict) {
            stale = true;
        } else {
            if (!check_hash_cost(member)) return false;
            const int found = PySet_Contains(container, member);
            if (found < 0) return false;
            stale = !found;
        }
    }
    if (!stale && !is_dict) {
        // A member kept under a stale hash is also found through another
        // member equal to it now: a set made afresh from them is smaller.
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* member = PyList_GetItem(members.get(), i);
            if (!holds_nothing(member) && !check_hash_cost(member)) return false;
        }
        PyRef fresh = PyRef::steal(PySet_New(members.get()));
        if (!fresh) return false;
        stale = PySet_Size(fresh.get()) < n;
    }
    if (!stale) return true;
    if (frozen) {
        raise_hashed_early(value_shell_class_.get(), "frozenset", "");
        return false;
    }
    if (is_dict) {
        PyDict_Clear(container);
    } else if (PySet_Clear(container) < 0) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* member = PyList_GetItem(members.get(), i);
        PyObject* key = is_dict ? PyTuple_GetItem(member, 0) : member;
        if (!holds_nothing(key) && !check_hash_cost(key)) return false;
        const int rc = is_dict ? PyDict_SetItem(container, key, PyTuple_GetItem(member, 1)) : PySet_Add(container, key);
        if (rc < 0) return false;
    }
    return true;
}

// Whether a frozenset made from fewer members than its items lost none:
// those equal now are one, as they would have been anyway; items equal only
// without their fields were merged for good, and the frozenset is refused.
bool Reconstructor::frozenset_kept_all(const HashedEarly& early) {
    PyObject* const items = early.aside.get();
    for (Py_ssize_t i = 0, n = PyTuple_Size(items); i < n; ++i) {
        PyObject* item = PyTuple_GetItem(items, i);
        if (!holds_nothing(item) && !check_hash_cost(item)) return false;
    }
    PyRef now = PyRef::steal(PySet_New(items));
    if (!now) return false;
    if (PySet_Size(now.get()) > PySet_Size(early.container.get())) {
        raise_hashed_early(value_shell_class_.get(), "frozenset", ", and taken for equal");
        return false;
    }
    return true;
}

// A frozenset could not be made while a shell of a class that hashes by
// value is live. A shell that cannot be hashed at all without its fields (its
// class has no defaults for them, or keeps them in slots) fails with an
// AttributeError: the frozenset took it before it had them, and is refused as
// one that kept it under a stale hash is.
void Reconstructor::frozenset_not_made() {
    if (!lacks_a_field()) return;
    raise_hashed_early(value_shell_class_.get(), "frozenset", "");
}

}  // namespace zelkor::format
