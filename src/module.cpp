// The _zelkor module: initialisation, argument binding and the drivers of
// dumps, loads, dump and load.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "format/decoder.h"
#include "format/encoder.h"
#include "format/primitives.h"
#include "format/reconstruct.h"
#include "graph/walker.h"
#include "interpreter.h"
#include "pyref.h"

namespace zelkor {

namespace {

// Turns a C++ exception into a Python one at the module boundary.
void raise_from_cpp() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "zelkor internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "zelkor internal error");
    }
}

template <class F>
PyObject* guarded(F&& body) {
    try {
        PyObject* result = body();
        if (!result) ensure_error();
        return result;
    } catch (...) {
        raise_from_cpp();
        return nullptr;
    }
}

// ---------------------------------------------------------------- parameters

const FunctionDescription kDumps{"dumps", {"obj"}, 1, {"protocol", "schema_version", "hmac_key"}};
const FunctionDescription kLoads{"loads", {"data"}, 1, {"allowlist"}};
const FunctionDescription kDump{"dump", {"obj", "file"}, 2, {}, true};
const FunctionDescription kLoad{"load", {"file"}, 1, {"allowlist"}};

// ---------------------------------------------------------------- drivers

// Writes a finished capture straight into a bytes object of its final size.
PyObject* encode_to_bytes(graph::Walker& walker) {
    std::vector<uint32_t> vocabulary = format::intern_type_vocabulary(walker.graph, walker.registry);
    if (walker.graph.string_count() > format::kMaxCount) {
        PyErr_SetString(PyExc_OverflowError, "cannot serialise more than 4294967295 distinct strings");
        return nullptr;
    }
    const uint64_t size = format::encoded_size(walker.graph, walker.registry);
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "blob too large");
        return nullptr;
    }
    PyObject* blob = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!blob) return nullptr;
    format::encode_into(walker.graph, walker.registry, vocabulary, reinterpret_cast<uint8_t*>(PyBytes_AsString(blob)));
    return blob;
}

PyObject* capture_to_bytes(PyObject* obj) {
    graph::Walker walker;
    if (!walker.walk(obj)) return nullptr;
    return encode_to_bytes(walker);
}

// Decodes, checks the allowlist (if any) and rebuilds the root value.
PyObject* load_blob(PyObject* data, PyObject* allowlist) {
    const char* bytes = PyBytes_AsString(data);
    if (!bytes) return nullptr;
    const Py_ssize_t size = PyBytes_Size(data);
    format::DecodedGraph decoded;
    if (auto failure = format::decode(reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(size), decoded)) {
        const std::string message = failure->message();
        PyRef text =
            PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    }
    if (allowlist && !format::check_allowlist(decoded, allowlist)) return nullptr;
    return format::reconstruct_root(decoded, allowlist == nullptr);
}

// ---------------------------------------------------------------- functions

// The project's version, passed in by the build.
constexpr const char kVersion[] = ZELKOR_VERSION;

PyObject* py_version(PyObject*, PyObject*) {
    return guarded([] { return PyUnicode_FromString(kVersion); });
}

PyObject* py_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4] = {nullptr, nullptr, nullptr, nullptr};
        if (!bind_fastcall(kDumps, args, nargs, kwnames, slots)) return nullptr;
        PyObject *obj = slots[0], *protocol = slots[1], *schema_version = slots[2], *hmac_key = slots[3];
        if (protocol && !convert_unsigned(protocol, 0xFF, "protocol")) return nullptr;
        if (schema_version && schema_version != Py_None &&
            !convert_unsigned(schema_version, 0xFFFFFFFFLL, "schema_version")) {
            return nullptr;
        }
        if (hmac_key && hmac_key != Py_None && !require_bytes(hmac_key, "hmac_key")) return nullptr;
        return capture_to_bytes(obj);
    });
}

PyObject* py_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2] = {nullptr, nullptr};
        if (!bind_fastcall(kLoads, args, nargs, kwnames, slots)) return nullptr;
        PyObject *data = slots[0], *allowlist = slots[1];
        if (!require_bytes(data, "data")) return nullptr;
        if (allowlist == Py_None) allowlist = nullptr;
        if (allowlist && !require_set(allowlist, "allowlist")) return nullptr;
        return load_blob(data, allowlist);
    });
}

PyObject* py_dump(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2] = {nullptr, nullptr};
        if (!bind_tuple_and_dict(kDump, args, kwargs, slots)) return nullptr;
        // The walk runs Python code, which could empty a keyword dict that
        // lends these: they are held for the call.
        PyRef obj = PyRef::borrow(slots[0]), file = PyRef::borrow(slots[1]);

        graph::Walker walker;
        if (!walker.walk(obj.get())) return nullptr;
        PyRef write = PyRef::steal(PyObject_GetAttr(file.get(), names.write));
        if (!write) return nullptr;
        PyRef blob = PyRef::steal(encode_to_bytes(walker));
        if (!blob) return nullptr;
        PyRef call_args = PyRef::steal(PyTuple_New(1));
        if (!call_args) return nullptr;
        PyTuple_SetItem(call_args.get(), 0, blob.release());
        PyRef result = PyRef::steal(PyObject_Call(write.get(), call_args.get(), nullptr));
        if (!result) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2] = {nullptr, nullptr};
        if (!bind_fastcall(kLoad, args, nargs, kwnames, slots)) return nullptr;
        PyObject *file = slots[0], *allowlist = slots[1];
        if (allowlist == Py_None) allowlist = nullptr;
        if (allowlist && !require_set(allowlist, "allowlist")) return nullptr;
        PyRef read = PyRef::steal(PyObject_GetAttr(file, names.read));
        if (!read) return nullptr;
        PyRef data = PyRef::steal(PyObject_CallNoArgs(read.get()));
        if (!data) return nullptr;
        if (!PyBytes_Check(data.get())) {
            PyErr_SetString(PyExc_TypeError, "file.read() did not return bytes");
            return nullptr;
        }
        return load_blob(data.get(), allowlist);
    });
}

// ---------------------------------------------------------------- module

PyMethodDef kMethods[] = {
    {"__version", reinterpret_cast<PyCFunction>(py_version), METH_NOARGS,
     "__version()\n--\n\nReturn the version of the module, \"" ZELKOR_VERSION "\"."},
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_dumps)), METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, *, protocol=5, schema_version=None, hmac_key=None)\n--\n\n"
     "Return the blob of obj as bytes.\n\n"
     "obj may hold None, bool, int (signed 64-bit), float, str, bytes, list,\n"
     "tuple, dict, set, frozenset and dataclass instances; shared references\n"
     "and cycles are kept. Anything else raises TypeError.\n\n"
     "protocol (an int from 0 to 255), schema_version (None or an int from 0\n"
     "to 4294967295) and hmac_key (None or bytes) are checked and accepted for\n"
     "compatibility, but change nothing: the blob depends on obj alone and\n"
     "carries no signature."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_loads)), METH_FASTCALL | METH_KEYWORDS,
     "loads(data, *, allowlist=None)\n--\n\n"
     "Return the value stored in the blob data (bytes).\n\n"
     "allowlist is None or a set of dataclass type names; a blob naming any\n"
     "other dataclass type is refused with TypeError before anything is\n"
     "built. A malformed blob raises ValueError. A dataclass comes back as\n"
     "the class zelkor.register registered under its name, or as a plain\n"
     "dataclass made from its stored fields: a blob never names code to run."},
    {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_dump)), METH_VARARGS | METH_KEYWORDS,
     "dump(obj, file, **kwargs)\n--\n\n"
     "Write the blob of obj with one call of file.write and return None.\n\n"
     "Extra keyword arguments are accepted and ignored; see dumps."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_load)), METH_FASTCALL | METH_KEYWORDS,
     "load(file, *, allowlist=None)\n--\n\n"
     "Read a blob with one call of file.read(), which must return bytes, and\n"
     "return its value as loads does."},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "_zelkor", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__, creating the list when missing.
bool append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, names.all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, names.all, all.get()) < 0) return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

bool add_member(PyObject* module, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
        raise_conversion_error(name, "PyString");
        return false;
    }
    return append_to_all(module, name) && PyObject_SetAttr(module, name, value) == 0;
}

PyObject* create_module() {
    if (!make_names()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, 3));
    if (!module) return nullptr;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : kMethods) {
        PyRef function = PyRef::steal(PyCMethod_New(&def, module.get(), module_name.get(), nullptr));
        if (!function) return nullptr;
        PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), names.name));
        if (!name || !add_member(module.get(), name.get(), function.get())) return nullptr;
    }
    PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
    PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
    if (!version || !version_name || !add_member(module.get(), version_name.get(), version.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace zelkor

PyMODINIT_FUNC PyInit__zelkor(void) {
    using namespace zelkor;
    return guarded([]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) return nullptr;
        // Only the main interpreter (id 0) takes the module: a sub-interpreter
        // that came first, or one the interpreter refuses after this call,
        // would otherwise lock the main interpreter out for good.
        int64_t expected = -1;
        if (id != 0 || (!g_interpreter.compare_exchange_strong(expected, id) && expected != id)) {
            PyErr_SetString(
                PyExc_ImportError,
                "_zelkor does not support sub-interpreters: it was already initialised by another interpreter");
            return nullptr;
        }
        if (g_module) {
            Py_INCREF(g_module);
            return g_module;
        }
        PyObject* module = create_module();
        if (!module) return nullptr;
        g_module = module;
        Py_INCREF(g_module);
        return module;
    });
}
