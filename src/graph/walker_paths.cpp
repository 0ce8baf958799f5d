// Where a refused value sits: after a failed walk, the frames left on the
// stack spell its path from the root, added to the exception as a note.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/primitives.h"
#include "graph/walker.h"

namespace zelkor::graph {

void Walker::note_path() {
    // A call that failed without an exception counts as SystemError, which
    // gets its note too.
    ensure_error();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    PyRef add_note = value ? optional_attribute(value, names.add_note) : PyRef();
    if (add_note) {
        const std::string text = "at " + path_text();
        PyRef note = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyRef done = note ? PyRef::steal(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr)) : PyRef();
        if (!done) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

namespace {

// A short repr of a dict key for a path; never raises.
std::string key_text(PyObject* key) {
    PyRef repr = PyRef::steal(PyObject_Repr(key));
    Py_ssize_t size = 0;
    const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "...";
    }
    constexpr size_t kLimit = 60;
    std::string text(utf8, static_cast<size_t>(size));
    if (text.size() > kLimit) {
        size_t cut = kLimit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        text.resize(cut);
        text += "...";
    }
    return text;
}

}  // namespace

std::string Walker::path_text() {
    // Each frame below the top is inside the child it added last (the frame
    // above it); the top frame is inside the child it handed out, if that
    // child has not been added yet.
    std::vector<std::string> parts;
    for (size_t i = 0; i < stack_.size(); ++i) {
        const Frame& f = stack_[i];
        const uint64_t added = static_cast<uint64_t>(f.room.filled) + f.extra.size();
        uint64_t unit;
        if (i + 1 < stack_.size()) {
            if (added == 0) continue;
            unit = added - 1;
        } else {
            const uint64_t handed =
                f.kind == FrameKind::Dict ? 2 * static_cast<uint64_t>(f.yielded) : static_cast<uint64_t>(f.pos);
            if (added >= handed) break;  // the container itself failed
            unit = added;
        }
        switch (f.kind) {
            case FrameKind::List:
            case FrameKind::Tuple:
                // Appended rather than "[" + text: GCC 12 warns (-Wrestrict)
                // about the insertion at the front that operator+ inlines.
                parts.emplace_back("[").append(std::to_string(unit)).append("]");
                break;
            case FrameKind::Set:
                parts.push_back("<member>");
                break;
            case FrameKind::Dataclass: {
                Py_ssize_t size = 0;
                PyObject* name = PyList_GetItem(f.fields.get(), static_cast<Py_ssize_t>(unit));
                const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
                if (!utf8) PyErr_Clear();
                parts.emplace_back(".").append(utf8 ? std::string_view(utf8, static_cast<size_t>(size)) : "?");
                break;
            }
            case FrameKind::Dict: {
                if (unit % 2 == 0) {
                    parts.push_back("<key>");
                    break;
                }
                // The key of entry unit / 2, in the order the walk reads them.
                Py_ssize_t pos = 0;
                PyObject *key = nullptr, *value;
                for (uint64_t entry = 0; entry <= unit / 2; ++entry) {
                    if (!PyDict_Next(f.obj.get(), &pos, &key, &value)) {
                        key = nullptr;
                        break;
                    }
                }
                parts.emplace_back("[")
                    .append(key ? key_text(PyRef::borrow(key).get()) : std::string("..."))
                    .append("]");
                break;
            }
        }
    }
    // Very deep paths keep their two ends.
    constexpr size_t kHead = 10, kTail = 30;
    std::string text = "root";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts.size() > kHead + kTail && i == kHead) {
            text += "...";
            i = parts.size() - kTail;
        }
        text += parts[i];
    }
    return text;
}

}  // namespace zelkor::graph
