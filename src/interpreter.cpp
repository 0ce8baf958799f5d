#include "interpreter.h"

#include <string>
#include <utility>

namespace zelkor {

Names names;
PackageNames package;

namespace {

// ---- the package's names and their legacy counterparts

struct NamePairText {
    NamePair* pair;
    const char* current;
    const char* legacy;
};

const NamePairText kPackageNames[] = {
    {&package.version, "__zelkor_version__", "__tandrel_version__"},
    {&package.extra, "__zelkor_extra__", "__tandrel_extra__"},
    {&package.reconstruct_module, "zelkor._reconstruct", "tandrel._reconstruct"},
    {&package.migrations_module, "zelkor.migrations", "tandrel.migrations"},
};

bool make_package_names() {
    for (const NamePairText& entry : kPackageNames) {
        if (entry.pair->current) continue;
        PyObject* current = PyUnicode_InternFromString(entry.current);
        if (!current) return false;
        PyObject* legacy = PyUnicode_InternFromString(entry.legacy);
        if (!legacy) {
            Py_DECREF(current);
            return false;
        }
        *entry.pair = NamePair{current, legacy};
    }
    return true;
}

}  // namespace

PyRef import_either(const NamePair& module) {
    PyRef found = import_module(module.current);
    if (found) return found;
    PyErr_Clear();
    return import_module(module.legacy);
}

bool imported_either(const NamePair& module, PyRef& out) {
    for (PyObject* name : {module.current, module.legacy}) {
        PyRef found = PyRef::steal(PyImport_GetModule(name));
        if (!found) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        if (found.get() == Py_None) continue;
        out = std::move(found);
        return true;
    }
    return true;
}

bool is_either(PyObject* key, const NamePair& pair) {
    return PyUnicode_Compare(key, pair.current) == 0 || PyUnicode_Compare(key, pair.legacy) == 0;
}

bool set_both_items(PyObject* dict, const NamePair& pair, PyObject* value) {
    return PyDict_SetItem(dict, pair.current, value) == 0 && PyDict_SetItem(dict, pair.legacy, value) == 0;
}

void set_both_attributes_if_possible(PyObject* obj, const NamePair& pair, PyObject* value) {
    if (PyObject_SetAttr(obj, pair.current, value) < 0) PyErr_Clear();
    if (PyObject_SetAttr(obj, pair.legacy, value) < 0) PyErr_Clear();
}

// ---- other helpers

namespace {

void append_utf8(std::string& out, uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // lone surrogates cannot be encoded
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool raise_overflow(const char* message) {
    PyErr_SetString(PyExc_OverflowError, message);
    return false;
}

bool type_name_text(PyTypeObject* type, std::string& out) {
    PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names.name));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_conversion_error(name.get(), "PyString");
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8) {
        out.assign(utf8, static_cast<size_t>(size));
        return true;
    }
    // Lone surrogates: encode code point by code point.
    PyErr_Clear();
    Py_UCS4* cps = PyUnicode_AsUCS4Copy(name.get());
    if (!cps) return false;
    Py_ssize_t n = PyUnicode_GetLength(name.get());
    out.clear();
    for (Py_ssize_t i = 0; i < n; ++i) append_utf8(out, cps[i]);
    PyMem_Free(cps);
    return true;
}

PyRef type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), names.qualname));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
    }
    return name;
}

void raise_conversion_error(PyObject* obj, const char* target) {
    PyRef name = type_qualname(obj);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

PyRef import_module(PyObject* dotted_name) {
    // A module already imported comes straight from sys.modules, as in the
    // import machinery's own fast path; anything else (missing, or blocked
    // with None) goes through the full import.
    PyRef module = PyRef::steal(PyImport_GetModule(dotted_name));
    if (module && module.get() != Py_None) return module;
    if (PyErr_Occurred()) return PyRef();
    return PyRef::steal(PyImport_ImportModuleLevelObject(dotted_name, nullptr, nullptr, names.fromlist, 0));
}

PyRef module_attribute(PyObject* module, PyObject* name) {
    // Asked only for the companion modules' functions, whose names the
    // module type itself does not define: for a module of no subclass the
    // full lookup finds that same entry. A missing one still takes it, for
    // a module __getattr__.
    if (PyModule_CheckExact(module)) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);  // borrowed
        if (found) return PyRef::borrow(found);
        if (PyErr_Occurred()) return PyRef();
    }
    return PyRef::steal(PyObject_GetAttr(module, name));
}

// Newer interpreters (3.13 on) have a lookup that reports a missing
// attribute without raising; it is part of their stable ABI, and found at
// load time when present.
#if defined(__GNUC__) && defined(__ELF__)
extern "C" __attribute__((weak)) int PyObject_GetOptionalAttr(PyObject*, PyObject*, PyObject**);
#define ZELKOR_OPTIONAL_ATTR PyObject_GetOptionalAttr
#else
#define ZELKOR_OPTIONAL_ATTR nullptr
#endif

// The attribute `name` of `obj`, or nothing (and no exception) when the
// lookup fails in any way. A missing attribute is the common case, so no
// exception object is made for it: older interpreters' PyObject_HasAttr
// tells without one (newer ones report other errors from it, so the newer
// lookup is used there).
PyRef optional_attribute(PyObject* obj, PyObject* name) {
    auto optional_attr = ZELKOR_OPTIONAL_ATTR;
    if (optional_attr) {
        PyObject* value = nullptr;
        if (optional_attr(obj, name, &value) < 0) PyErr_Clear();
        return PyRef::steal(value);
    }
    if (!PyObject_HasAttr(obj, name)) return PyRef();
    PyRef value = PyRef::steal(PyObject_GetAttr(obj, name));
    if (!value) PyErr_Clear();
    return value;
}

uint32_t declared_version(PyObject* obj) {
    PyRef value = optional_attribute(obj, package.version.current);
    if (!value) {
        value = optional_attribute(obj, package.version.legacy);
        if (!value) return 0;
    }
    long long v = PyLong_AsLongLong(value.get());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return v < 0 || v > 0xFFFFFFFFLL ? 0 : static_cast<uint32_t>(v);
}

bool FieldKinds::load() {
    if (loaded_) return true;
    PyRef module = import_module(names.dataclasses);
    if (!module) return false;
    // Interpreters without these markers get no filtering.
    classvar_ = optional_attribute(module.get(), names.classvar_marker);
    initvar_ = optional_attribute(module.get(), names.initvar_marker);
    missing_ = optional_attribute(module.get(), names.missing);
    loaded_ = true;
    return true;
}

FieldKind FieldKinds::of(PyObject* field) const {
    if (!classvar_ && !initvar_) return FieldKind::Field;
    PyRef marker = optional_attribute(field, names.field_type);
    if (marker && marker.get() == classvar_.get()) return FieldKind::ClassVar;
    if (marker && marker.get() == initvar_.get()) return FieldKind::InitVar;
    return FieldKind::Field;
}

bool FieldKinds::required(PyObject* field) const {
    if (!missing_) return false;
    PyRef value = optional_attribute(field, names.field_default);
    PyRef factory = optional_attribute(field, names.default_factory);
    return value.get() == missing_.get() && factory.get() == missing_.get();
}

bool make_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    } entries[] = {
        {&names.name, "__name__"},
        {&names.qualname, "__qualname__"},
        {&names.module, "__module__"},
        {&names.all, "__all__"},
        {&names.dataclass_fields, "__dataclass_fields__"},
        {&names.is_dataclass, "is_dataclass"},
        {&names.make_class, "make_class"},
        {&names.apply_migrations, "apply_migrations"},
        {&names.init, "__init__"},
        {&names.new_, "__new__"},
        {&names.write, "write"},
        {&names.read, "read"},
        {&names.dataclasses, "dataclasses"},
        {&names.field_type, "_field_type"},
        {&names.field_init, "init"},
        {&names.classvar_marker, "_FIELD_CLASSVAR"},
        {&names.initvar_marker, "_FIELD_INITVAR"},
        {&names.registered_names, "_registered_names"},
        {&names.add_note, "add_note"},
        {&names.missing, "MISSING"},
        {&names.field_default, "default"},
        {&names.default_factory, "default_factory"},
    };
    if (!make_package_names()) return false;
    for (Entry& e : entries) {
        if (*e.slot) continue;
        *e.slot = PyUnicode_InternFromString(e.text);
        if (!*e.slot) return false;
    }
    if (!names.fromlist) {
        names.fromlist = PyTuple_New(1);
        if (!names.fromlist) return false;
        PyObject* doc = PyUnicode_InternFromString("__doc__");
        if (!doc) return false;
        PyTuple_SetItem(names.fromlist, 0, doc);
    }
    return true;
}

PyRef text_object(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

void raise_value_error(std::string_view message) {
    PyRef text = text_object(message);
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

PyRef call_with(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return tuple;
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SetItem(tuple.get(), i++, a);
    }
    return PyRef::steal(PyObject_Call(callable, tuple.get(), kwargs));
}

}  // namespace zelkor
