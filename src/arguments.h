// Binding the arguments of the module's functions to their parameters, and
// converting and checking argument values, with the interpreter's own
// messages for every refusal.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zelkor {

// The parameters of one function: positional ones (which may also be passed
// by keyword), the first `required` of them required, then optional
// keyword-only ones. Arguments bind into one slot per parameter, in that
// order.
struct FunctionDescription {
    const char* name;
    std::vector<const char*> positional;
    size_t required;
    std::vector<const char*> keyword_only;
    bool extra_keywords = false;  // unknown keywords are accepted and ignored

    std::string full_name() const { return std::string(name) + "()"; }
};

// Binds a vectorcall's arguments into `slots` (borrowed references; NULL for
// a parameter not given). False with TypeError set.
bool bind_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);

// The same for a call with an argument tuple and a keyword dict (or NULL).
bool bind_tuple_and_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs, PyObject** slots);

// Integer option in 0..max: the interpreter's conversion, then a range test.
bool convert_unsigned(PyObject* value, long long max, const char* name);

// Type checks of arguments, refused with the conversion message.
bool require_bytes(PyObject* value, const char* name);
bool require_set(PyObject* value, const char* name);

}  // namespace zelkor
