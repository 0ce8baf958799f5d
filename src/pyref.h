// The one owner of Python references in this module: every owned PyObject*
// lives in a PyRef, so no path leaks or releases a reference twice.
#pragma once

#include <Python.h>

#include <utility>

namespace zelkor {

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be NULL after a failed call).
    static PyRef steal(PyObject* p) { return PyRef(p); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    PyRef copy() const { return borrow(p_); }
    void reset() {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Interned attribute and key names, created once when the module loads.
struct Names {
    PyObject* name;              // "__name__"
    PyObject* qualname;          // "__qualname__"
    PyObject* module;            // "__module__"
    PyObject* all;               // "__all__"
    PyObject* dataclass_fields;  // "__dataclass_fields__"
    PyObject* version;           // "__zelkor_version__"
    PyObject* legacy_version;    // "__tandrel_version__"
    PyObject* extra;             // "__zelkor_extra__"
    PyObject* legacy_extra;      // "__tandrel_extra__"
    PyObject* is_dataclass;      // "is_dataclass"
    PyObject* make_class;        // "make_class"
    PyObject* apply_migrations;  // "apply_migrations"
    PyObject* init;              // "__init__"
    PyObject* new_;              // "__new__"
    PyObject* write;             // "write"
    PyObject* read;              // "read"
    PyObject* dataclasses;       // "dataclasses"
    PyObject* reconstruct_module;         // "zelkor._reconstruct"
    PyObject* legacy_reconstruct_module;  // "tandrel._reconstruct"
    PyObject* migrations_module;          // "zelkor.migrations"
    PyObject* legacy_migrations_module;   // "tandrel.migrations"
    PyObject* fromlist;          // ("__doc__",): makes imports return the submodule itself
    PyObject* field_type;        // "_field_type"
    PyObject* field_init;        // "init"
    PyObject* classvar_marker;   // "_FIELD_CLASSVAR"
    PyObject* initvar_marker;    // "_FIELD_INITVAR"
    PyObject* registered_names;  // "_registered_names"
    PyObject* add_note;          // "add_note"
    PyObject* missing;           // "MISSING"
    PyObject* field_default;     // "default"
    PyObject* default_factory;   // "default_factory"
};

extern Names names;

// Raises SystemError when an interpreter call failed without an exception.
inline void ensure_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

// The `__qualname__` of an object's type, for refusal messages.
PyRef type_qualname(PyObject* obj);

// TypeError "'{qualname}' object cannot be converted to '{target}'".
void raise_conversion_error(PyObject* obj, const char* target);

// The schema version a dataclass instance (or class) declares through
// __zelkor_version__, or else the legacy __tandrel_version__: an integer in
// 0..2**32-1, and 0 when absent or unusable. Never raises.
uint32_t declared_version(PyObject* obj);

// The attribute `name` of `obj`, or nothing (and no exception) when the
// lookup fails in any way.
PyRef optional_attribute(PyObject* obj, PyObject* name);

// What one entry of a dataclass's __dataclass_fields__ stands for: the
// dataclass machinery lists class variables and init-only variables there
// too, though they hold no instance data.
enum class FieldKind { Field, ClassVar, InitVar };

// Tells these apart by the markers the dataclass machinery keeps in each
// Field's _field_type; loaded once per call. Anything that is not a Field
// with such a marker counts as an instance field.
class FieldKinds {
public:
    // False with an exception set when dataclasses cannot be imported.
    bool load();
    FieldKind of(PyObject* field) const;
    // Whether a Field has neither a default nor a default factory.
    bool required(PyObject* field) const;

private:
    PyRef classvar_, initvar_, missing_;
    bool loaded_ = false;
};

// Imports a dotted module through the import machinery and returns the
// module itself (not its top-level package).
PyRef import_module(PyObject* dotted_name);

}  // namespace zelkor
