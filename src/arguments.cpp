#include "arguments.h"

#include <string_view>

#include "interpreter.h"
#include "pyref.h"

namespace zelkor {

namespace {

void raise_too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", d.full_name().c_str(),
                 static_cast<Py_ssize_t>(d.positional.size()), given, given == 1 ? "was" : "were");
}

void raise_multiple_values(const FunctionDescription& d, const char* parameter) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", d.full_name().c_str(), parameter);
}

void raise_unexpected_keyword(const FunctionDescription& d, PyObject* keyword) {
    PyRef text = PyRef::steal(PyObject_Str(keyword));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", d.full_name().c_str(), text.get());
}

// Fails with the "missing required positional" message if a required
// positional slot is still empty.
bool check_required(const FunctionDescription& d, Py_ssize_t given, PyObject* const* slots) {
    if (static_cast<size_t>(given) >= d.required) return true;
    std::vector<const char*> missing;
    for (size_t i = 0; i < d.required; ++i) {
        if (!slots[i]) missing.push_back(d.positional[i]);
    }
    if (missing.empty()) return true;
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += "'";
        list += missing[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", d.full_name().c_str(),
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

constexpr size_t kNoParameter = ~size_t{0};

// Slot of the parameter called `name`: keyword-only first, then positional.
size_t find_parameter(const FunctionDescription& d, std::string_view name) {
    for (size_t k = 0; k < d.keyword_only.size(); ++k) {
        if (name == d.keyword_only[k]) return d.positional.size() + k;
    }
    for (size_t i = 0; i < d.positional.size(); ++i) {
        if (name == d.positional[i]) return i;
    }
    return kNoParameter;
}

const char* slot_name(const FunctionDescription& d, size_t slot) {
    return slot < d.positional.size() ? d.positional[slot] : d.keyword_only[slot - d.positional.size()];
}

bool bind_positional(const FunctionDescription& d, Py_ssize_t nargs) {
    if (static_cast<size_t>(nargs) <= d.positional.size()) return true;
    raise_too_many_positional(d, nargs);
    return false;
}

// Binds one keyword argument. False with TypeError set.
bool bind_keyword(const FunctionDescription& d, PyObject* keyword, PyObject* value, PyObject** slots) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    size_t slot = kNoParameter;
    if (utf8) {
        slot = find_parameter(d, std::string_view(utf8, static_cast<size_t>(size)));
    } else {
        PyErr_Clear();  // a name that is not UTF-8 matches nothing
    }
    if (slot == kNoParameter) {
        if (d.extra_keywords) return true;
        raise_unexpected_keyword(d, keyword);
        return false;
    }
    if (slots[slot]) {
        raise_multiple_values(d, slot_name(d, slot));
        return false;
    }
    slots[slot] = value;
    return true;
}

}  // namespace

bool bind_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
    if (!bind_positional(d, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(d, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_required(d, nargs, slots);
}

bool bind_tuple_and_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (!bind_positional(d, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!bind_keyword(d, key, value, slots)) return false;
    }
    return check_required(d, nargs, slots);
}

// Re-raises a TypeError (exactly that type) as "argument '{name}': {error}",
// keeping its cause; any other error passes unchanged.
void argument_extraction_error(const char* name) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef old_type = PyRef::steal(type), old_value = PyRef::steal(value), old_tb = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(old_value.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return;
    if (PyObject* cause = PyException_GetCause(old_value.get())) PyException_SetCause(error.get(), cause);
    PyErr_SetObject(PyExc_TypeError, error.get());
}

// Integer options: the interpreter's conversion, then a range test.
bool convert_unsigned(PyObject* value, long long max, const char* name) {
    // 64 bits on every platform (a long has 32 on some).
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) {
        argument_extraction_error(name);
        return false;
    }
    if (v < 0 || v > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    return true;
}

bool require_bytes(PyObject* value, const char* name) {
    if (PyBytes_Check(value)) return true;
    raise_conversion_error(value, "PyBytes");
    argument_extraction_error(name);
    return false;
}

bool require_set(PyObject* value, const char* name) {
    if (PySet_Check(value)) return true;
    raise_conversion_error(value, "PySet");
    argument_extraction_error(name);
    return false;
}

}  // namespace zelkor
