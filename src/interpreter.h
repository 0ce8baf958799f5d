// Interpreter helpers shared by every interpreter-facing unit: the interned
// names, raising errors, imports, attribute lookups and calls. Defined in
// interpreter.cpp; the module, the walker and reconstruction include this.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "pyref.h"

namespace zelkor {

// Interned attribute and key names, created once when the module loads.
struct Names {
    PyObject* name;              // "__name__"
    PyObject* qualname;          // "__qualname__"
    PyObject* module;            // "__module__"
    PyObject* all;               // "__all__"
    PyObject* dataclass_fields;  // "__dataclass_fields__"
    PyObject* is_dataclass;      // "is_dataclass"
    PyObject* make_class;        // "make_class"
    PyObject* apply_migrations;  // "apply_migrations"
    PyObject* init;              // "__init__"
    PyObject* new_;              // "__new__"
    PyObject* write;             // "write"
    PyObject* read;              // "read"
    PyObject* dataclasses;       // "dataclasses"
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

// A name of the package's own and its legacy counterpart. Wherever the
// module looks such a name up, it tries the current one first and, if that
// fails in any way, the legacy one; wherever it writes one, it writes both.
struct NamePair {
    PyObject* current;
    PyObject* legacy;
};

// The package's names that have a legacy counterpart (texts in
// interpreter.cpp, the one place that spells them).
struct PackageNames {
    NamePair version;             // the schema-version attribute and migration key
    NamePair extra;               // the extra-fields attribute of migrated instances
    NamePair reconstruct_module;  // the companion module that makes classes
    NamePair migrations_module;   // the companion module that migrates fields
};

extern PackageNames package;

// Imports the current module, or the legacy one when that fails; only the
// legacy attempt's error reaches the caller.
PyRef import_either(const NamePair& module);

// The module already imported under the current name, else under the legacy
// one (not imported: empty). False with an exception set on failure.
bool imported_either(const NamePair& module, PyRef& out);

// Whether `key` (a str) equals either name.
bool is_either(PyObject* key, const NamePair& pair);

// Sets both keys of a dict to `value`. False with an exception set.
bool set_both_items(PyObject* dict, const NamePair& pair, PyObject* value);

// Sets both attributes of `obj` to `value`; an object that refuses one
// simply goes without it.
void set_both_attributes_if_possible(PyObject* obj, const NamePair& pair, PyObject* value);

// Raises SystemError when an interpreter call failed without an exception.
inline void ensure_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

// OverflowError with `message`; returns false.
bool raise_overflow(const char* message);

// The UTF-8 text of a type's __name__, with U+FFFD for what cannot be encoded.
bool type_name_text(PyTypeObject* type, std::string& out);

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

// The attribute `name` of a module, as attribute access gives it; a plain
// module's entry is read straight from its dict.
PyRef module_attribute(PyObject* module, PyObject* name);

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

// Creates the interned names (once; later calls keep them). False with an
// exception set.
bool make_names();

// A new str from UTF-8 text, or NULL with an exception set.
PyRef text_object(std::string_view text);

// ValueError with `message` as its text.
void raise_value_error(std::string_view message);

// Calls `callable(*args, **kwargs)`; `args` is a new tuple built here.
PyRef call_with(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs = nullptr);

}  // namespace zelkor
