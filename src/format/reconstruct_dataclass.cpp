// Dataclass records: the class comes from the companion module's
// make_class, the instance from keyword arguments, and stored fields of an
// older schema version go through the companion migrations module first.
// The allowlist pass checks the types of a blob's records before any is
// built.
// An instance reached again through a cycle while its fields are being built
// is handed out as a shell (made by __new__) and initialised once complete.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "format/reconstruct.h"
#include "format/reconstructor.h"

namespace zelkor::format {

namespace {

// Calls `fn(key, value)` for the items of a migrated field dict, in order,
// leaving out the version keys; every key must be a str. The items are held
// while `fn` runs, since hashing a key may run Python code that changes the
// dict.
template <class Fn>
bool for_each_field(PyObject* fields, Fn&& fn) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields, &pos, &key, &value)) {
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
        if (is_either(key, package.version)) continue;
        if (!fn(key, value)) return false;
    }
    return true;
}

// Whether an instance of a class declaring version `current` is built as
// stored, without migrations.
bool needs_no_migration(uint32_t stored, uint32_t current) {
    return current == stored || stored == 0 || current == 0;
}

// Sets fields the constructor does not take, as object.__setattr__ does, so
// frozen classes take them too.
bool set_late_fields(PyObject* instance, const LateFields& late) {
    for (const auto& [name, value] : late) {
        if (PyObject_GenericSetAttr(instance, name.get(), value.get()) < 0) return false;
    }
    return true;
}

// A dict of `names`, in order, each to None.
PyRef all_keywords_of(const std::vector<PyRef>& names) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const PyRef& name : names) {
        if (PyDict_SetItem(dict.get(), name.get(), Py_None) < 0) return PyRef();
    }
    return dict;
}

// Interns a name read from the blob, unless interning keeps every str for
// the life of the process, as 3.12 does: there a stream of blobs naming
// ever new types or fields would grow the process without bound, so such
// names stay plain strs (found by comparing texts instead of pointers).
void intern_name(PyObject*& name) {
    static const bool permanent = std::strncmp(Py_GetVersion(), "3.12.", 5) == 0;
    if (!permanent) PyUnicode_InternInPlace(&name);
}

// Adds `key` to the set in `into`, creating the set first.
bool add_to_set(PyRef& into, PyObject* key) {
    if (!into) {
        into = PyRef::steal(PySet_New(nullptr));
        if (!into) return false;
    }
    return PySet_Add(into.get(), key) == 0;
}

}  // namespace

bool check_allowlist(const DecodedGraph& decoded, PyObject* allowlist) {
    std::vector<PyRef> names_by_type(decoded.types.types.size());
    size_t offset = decoded.records.first();
    for (size_t r = 0; r < decoded.records.size(); ++r) {
        const RecordView rec(decoded.data + offset);
        offset += rec.size();
        if (rec.tag() != Tag::Dataclass) continue;
        const uint16_t type_id = rec.type_id();
        if (type_id >= decoded.types.types.size()) {
            raise_decode_error(DecodeError::UnknownTypeId, type_id);
            return false;
        }
        PyRef& name = names_by_type[type_id];
        if (!name) {
            name = text_object(decoded.types.types[type_id].name);
            if (!name) return false;
        }
        const int contained = PySet_Contains(allowlist, name.get());
        if (contained < 0) return false;
        if (!contained) {
            PyRef message = text_object("Type '" + decoded.types.types[type_id].name + "' is not in the allowlist");
            if (message) PyErr_SetObject(PyExc_TypeError, message.get());
            return false;
        }
    }
    return true;
}

TypeObjects* Reconstructor::type_objects(uint32_t type_id) {
    TypeObjects& t = type_objects_[type_id];
    if (!t.name) {
        const graph::TypeInfo& info = g_.types.types[type_id];
        PyObject* raw_name = text_object(info.name).release();
        if (!raw_name) return nullptr;
        intern_name(raw_name);  // as the names classes are registered under
        PyRef name = PyRef::steal(raw_name);
        std::vector<PyRef> fields;
        fields.reserve(info.fields.size());
        for (const std::string& f : info.fields) {
            PyObject* s = text_object(f).release();
            if (!s) return nullptr;
            intern_name(s);  // keyword matching compares pointers first
            fields.push_back(PyRef::steal(s));
        }
        t.fields = std::move(fields);
        t.name = std::move(name);
    }
    return &t;
}

Reconstructor::Outcome Reconstructor::request_dataclass(uint32_t index, RecordView rec, PyRef& out) {
    if (active(index)) {
        // Reached again through a cycle while its fields are being built:
        // hand out the instance now, uninitialised, and initialise it when
        // the fields are complete.
        return make_shell(stack_[active_[index] - 1], out) ? Outcome::Ready : Outcome::Error;
    }
    const uint16_t type_id = rec.type_id();
    const uint16_t count = rec.field_count();
    if (type_id >= g_.types.types.size()) {
        raise_decode_error(DecodeError::InvalidTypeId, type_id);
        return Outcome::Error;
    }
    PyRef module = companion_module();
    if (!module) return Outcome::Error;
    TypeObjects* t = type_objects(type_id);
    if (!t) return Outcome::Error;
    if (!field_names_made_.spend(t->fields.size())) {
        raise_decode_error(DecodeError::TooManyFieldNames, index);
        return Outcome::Error;
    }
    PyRef field_names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(t->fields.size())));
    if (!field_names) return Outcome::Error;
    for (size_t i = 0; i < t->fields.size(); ++i) {
        PyList_SetItem(field_names.get(), static_cast<Py_ssize_t>(i), t->fields[i].copy().release());
    }
    // Saved blobs lay the field records out right after the record: when
    // all are scalars or objects built before, they are taken at once and
    // the instance is made without a frame on the stack (none of them can
    // lead back to the record). Otherwise the record gets a frame with the
    // fields taken so far.
    Frame& f = lone_;
    f.index = index;
    f.tag = Tag::Dataclass;
    f.count = count;
    f.pos = 0;
    f.children = rec.children();
    if (!f.extra) f.extra = spare_extra_ ? std::move(spare_extra_) : std::make_unique<FrameExtra>();
    f.dataclass().type_id = type_id;
    f.dataclass().module = std::move(module);
    f.dataclass().field_names = std::move(field_names);
    f.items().reserve(count);
    Outcome outcome = Outcome::Error;
    switch (take_fields(f)) {
        case Quick::Error:
            break;
        case Quick::NeedsFrame: {
            Frame& pushed = push_frame(index, Tag::Dataclass, count, f.children);
            std::swap(pushed.extra, f.extra);
            pushed.pos = f.pos;
            active_[index] = static_cast<uint32_t>(stack_.size());
            outcome = Outcome::Pushed;
            break;
        }
        case Quick::Built:
            outcome = finish(f, out) ? Outcome::Ready : Outcome::Error;
            break;
    }
    if (f.extra) {
        f.extra->items.clear();
        f.extra->dataclass = DataclassPart();
    }
    return outcome;
}

// The companion module, imported for every record. The full import also
// waits for a module that another thread is still initialising; a module
// this load imported before is complete, so finding that same one in
// sys.modules is the whole import. It is looked up under its own __name__
// when that is the name imported (the very key sys.modules holds it under,
// found without comparing texts).
PyRef Reconstructor::companion_module() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (companion_ && PyDict_CheckExact(modules)) {
        PyObject* found = PyDict_GetItemWithError(modules, companion_key_.get());  // borrowed
        if (found == companion_.get()) return companion_.copy();
        if (!found && PyErr_Occurred()) return PyRef();
    }
    companion_ = import_either(package.reconstruct_module);
    companion_key_ = PyRef::borrow(package.reconstruct_module.current);
    if (companion_ && PyModule_Check(companion_.get())) {
        PyRef name = PyRef::steal(PyModule_GetNameObject(companion_.get()));
        if (!name) {
            PyErr_Clear();
        } else if (PyUnicode_CheckExact(name.get()) &&
                   PyUnicode_Compare(name.get(), package.reconstruct_module.current) == 0) {
            companion_key_ = std::move(name);
        }
    }
    return companion_.copy();
}

bool Reconstructor::make_class(Frame& f) {
    DataclassPart& d = f.dataclass();
    if (d.cls) return true;
    PyRef factory = module_attribute(d.module.get(), names.make_class);
    if (!factory) return false;
    // Called once per record: without an argument tuple of our own (the
    // interpreter passes the two on its stack to a function that takes them
    // so).
    d.cls = PyRef::steal(
        PyObject_CallFunctionObjArgs(factory.get(), type_objects_[d.type_id].name.get(), d.field_names.get(), nullptr));
    return d.cls && (type_objects_[d.type_id].counted || count_generated(f));
}

// Counts each type's class once per load, if the companion module generated
// it (its __module__ is the companion module's name).
bool Reconstructor::count_generated(Frame& f) {
    DataclassPart& d = f.dataclass();
    TypeObjects& t = type_objects_[d.type_id];
    if (t.counted) return true;
    t.counted = true;
    PyRef owner = optional_attribute(d.cls.get(), names.module);
    PyRef companion = optional_attribute(d.module.get(), names.name);
    if (!owner || !companion || !PyUnicode_Check(owner.get()) || !PyUnicode_Check(companion.get())) return true;
    const int same = PyUnicode_Compare(owner.get(), companion.get());
    if (same == -1 && PyErr_Occurred()) return false;
    if (same != 0) return true;
    const uint64_t fields = t.fields.size();
    if (!generated_classes_.spend(fields + fields * fields / kGeneratedWideFields + kGeneratedClassCost)) {
        raise_decode_error(DecodeError::TooManyGeneratedClasses);
        return false;
    }
    return true;
}

// Works out, once per type and class, which stored fields the class's
// constructor takes: init=False fields are set on the instance afterwards,
// and names of class variables (which older versions stored) are dropped.
bool Reconstructor::plan_fields(Frame& f) {
    TypeObjects& t = type_objects_[f.dataclass().type_id];
    if (t.plan_class.get() == f.dataclass().cls.get()) return true;
    t.uses.clear();
    t.late.reset();
    t.dropped.reset();
    t.without_init = false;
    t.plan_class = f.dataclass().cls.copy();
    PyRef declared = optional_attribute(f.dataclass().cls.get(), names.dataclass_fields);
    if (!declared || !PyDict_Check(declared.get())) return true;  // not a dataclass: all keywords
    if (!field_kinds_.load()) return false;
    PyRef items = PyRef::steal(PyDict_Items(declared.get()));
    if (!items) return false;
    for (Py_ssize_t i = 0, n = PyList_Size(items.get()); i < n; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        PyObject* key = PyTuple_GetItem(item, 0);
        PyObject* field = PyTuple_GetItem(item, 1);
        if (!PyUnicode_Check(key)) continue;
        PyRef* into = nullptr;
        const FieldKind kind = field_kinds_.of(field);
        if (kind == FieldKind::ClassVar) {
            into = &t.dropped;
        } else if (kind == FieldKind::InitVar) {
            t.without_init = t.without_init || field_kinds_.required(field);
        } else {
            PyRef init = optional_attribute(field, names.field_init);
            const int takes = init ? PyObject_IsTrue(init.get()) : 1;
            if (takes < 0) return false;
            if (!takes) into = &t.late;
        }
        if (into && !add_to_set(*into, key)) return false;
    }
    if (!t.late && !t.dropped) return true;
    t.uses.reserve(t.fields.size());
    for (const PyRef& name : t.fields) {
        const int late = t.late ? PySet_Contains(t.late.get(), name.get()) : 0;
        const int dropped = t.dropped ? PySet_Contains(t.dropped.get(), name.get()) : 0;
        if (late < 0 || dropped < 0) return false;
        t.uses.push_back(dropped ? FieldUse::Dropped : late ? FieldUse::Late : FieldUse::Keyword);
    }
    return true;
}

bool Reconstructor::make_shell(Frame& f, PyRef& out) {
    if (!make_class(f)) return false;
    PyRef new_ = PyRef::steal(PyObject_GetAttr(f.dataclass().cls.get(), names.new_));
    if (!new_) return false;
    DataclassPart& d = f.dataclass();
    d.shell = call_with(new_.get(), {d.cls.get()});
    if (!d.shell) return false;
    // A shell whose class hashes by value (neither by identity nor not at
    // all) hashes wrongly until its fields are set.
    PyTypeObject* type = Py_TYPE(d.shell.get());
    const void* hash = PyType_GetSlot(type, Py_tp_hash);
    if (!d.value_hashed && hash != PyType_GetSlot(&PyBaseObject_Type, Py_tp_hash) &&
        hash != reinterpret_cast<void*>(PyObject_HashNotImplemented)) {
        d.value_hashed = true;
        if (value_shells_++ == 0) value_shell_class_ = PyRef::borrow(reinterpret_cast<PyObject*>(type));
    }
    remember(f.index, f.dataclass().shell.get());
    out = f.dataclass().shell.copy();
    return true;
}

// Builds an instance from keyword arguments: calls the class, or, when the
// instance was already handed out as a shell, runs __init__ on it. A class
// whose __init__ cannot be called without an init-only variable gets a new
// instance with the arguments set as attributes instead.
PyRef Reconstructor::construct(Frame& f, PyObject* kwargs) {
    const DataclassPart& d = f.dataclass();
    if (type_objects_[d.type_id].without_init) {
        PyRef instance = d.shell.copy();
        if (!instance) {
            PyRef new_ = PyRef::steal(PyObject_GetAttr(d.cls.get(), names.new_));
            if (!new_) return PyRef();
            instance = call_with(new_.get(), {d.cls.get()});
            if (!instance) return instance;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (PyObject_GenericSetAttr(instance.get(), key, value) < 0) return PyRef();
        }
        return instance;
    }
    if (!d.shell) {
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!empty) return empty;
        return PyRef::steal(PyObject_Call(d.cls.get(), empty.get(), kwargs));
    }
    PyRef init = PyRef::steal(PyObject_GetAttr(d.cls.get(), names.init));
    if (!init) return PyRef();
    PyRef done = call_with(init.get(), {d.shell.get()}, kwargs);
    if (!done) return done;
    return d.shell.copy();
}

// The stored field values keyed by the type's field names, paired in order.
// With `late`, only those the constructor takes: the values of fields it
// does not take go to `late`, and dropped fields nowhere.
PyRef Reconstructor::keyword_arguments(const Frame& f, LateFields* late) {
    TypeObjects& t = type_objects_[f.dataclass().type_id];
    const std::vector<PyRef>& field_names = t.fields;
    const size_t paired = std::min(field_names.size(), f.items().size());
    const bool all_keywords = !late || t.uses.empty();
    // A dict of more names grows (and is rebuilt) while they are inserted;
    // a copy of the dict of all names starts at its final size, and each
    // value replaced in order gives the same dict. No Python code sees it
    // before: replacing a value under an exact str key runs none.
    const bool from_copy = all_keywords && paired == field_names.size() && paired > kGrowingKeywords;
    if (from_copy && !t.keywords && !(t.keywords = all_keywords_of(field_names))) return PyRef();
    PyRef kwargs = PyRef::steal(from_copy ? PyDict_Copy(t.keywords.get()) : PyDict_New());
    if (!kwargs) return kwargs;
    if (all_keywords) {
        for (size_t i = 0; i < paired; ++i) {
            if (PyDict_SetItem(kwargs.get(), field_names[i].get(), f.items()[i].get()) < 0) return PyRef();
        }
        return kwargs;
    }
    for (size_t i = 0; i < paired; ++i) {
        const FieldUse use = t.uses[i];
        if (use == FieldUse::Late) late->emplace_back(field_names[i].copy(), f.items()[i].copy());
        if (use != FieldUse::Keyword) continue;
        if (PyDict_SetItem(kwargs.get(), field_names[i].get(), f.items()[i].get()) < 0) return PyRef();
    }
    return kwargs;
}

// The keyword arguments from a migration's result: version keys left out,
// fields the constructor does not take set aside in `late`, dropped ones
// left out.
PyRef Reconstructor::migrated_arguments(const TypeObjects& t, PyObject* migrated, LateFields& late) {
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return kwargs;
    const bool copied = for_each_field(migrated, [&](PyObject* key, PyObject* value) {
        const int is_late = t.late ? PySet_Contains(t.late.get(), key) : 0;
        const int dropped = t.dropped ? PySet_Contains(t.dropped.get(), key) : 0;
        if (is_late < 0 || dropped < 0) return false;
        if (dropped) return true;
        if (is_late) {
            late.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
            return true;
        }
        return PyDict_SetItem(kwargs.get(), key, value) == 0;
    });
    return copied ? std::move(kwargs) : PyRef();
}

bool Reconstructor::complete_instance(Frame& f, PyRef instance, PyRef& out) {
    out = std::move(instance);
    hash_costs_.note_instance(out.get(), f.items());
    remember(f.index, out.get());
    return !f.dataclass().value_hashed || shell_initialised();
}

bool Reconstructor::finish_dataclass(Frame& f, PyRef& out) {
    if (!make_class(f)) return false;
    if (type_objects_[f.dataclass().type_id].plan_class.get() != f.dataclass().cls.get() && !plan_fields(f))
        return false;
    // Stored values of fields the constructor does not take, set once the
    // instance exists.
    LateFields late;
    PyRef kwargs = keyword_arguments(f, &late);
    if (!kwargs) return false;

    const uint32_t stored = g_.types.types[f.dataclass().type_id].version;
    PyRef first;
    uint32_t current;
    if (f.dataclass().shell) {
        // The instance was handed out before its fields existed; it is
        // initialised exactly once, with the final arguments, so its
        // version comes from the class.
        current = stored == 0 ? 0 : declared_version(f.dataclass().cls.get());
    } else {
        first = construct(f, kwargs.get());
        if (first) {
            // A stored version of 0 never migrates: the class's is not needed.
            current = stored == 0 ? 0 : declared_version(first.get());
        } else {
            // Fields stored under an older schema may not fit the current
            // class at all (a renamed or removed field). When the class
            // declares a version that calls for a migration, migrate
            // without the first instance instead of failing; otherwise the
            // error stands. A class that fails without an exception counts
            // as failing with SystemError, as it would at the boundary.
            ensure_error();
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            current = declared_version(f.dataclass().cls.get());
            if (needs_no_migration(stored, current)) {
                PyErr_Restore(type, value, traceback);
                return false;
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
    }
    if (needs_no_migration(stored, current)) {
        PyRef instance = f.dataclass().shell ? construct(f, kwargs.get()) : std::move(first);
        if (!instance || (!late.empty() && !set_late_fields(instance.get(), late))) return false;
        return complete_instance(f, std::move(instance), out);
    }
    return migrate(f, std::move(first), stored, current, out);
}

// Runs the stored fields through apply_migrations and builds the instance
// from the result; fields the class does not declare are attached to it.
bool Reconstructor::migrate(Frame& f, PyRef first, uint32_t stored, uint32_t current, PyRef& out) {
    PyRef migrations = import_either(package.migrations_module);
    if (!migrations) return false;

    PyRef input = keyword_arguments(f, nullptr);
    if (!input) return false;
    PyRef stored_obj = PyRef::steal(PyLong_FromUnsignedLong(stored));
    PyRef current_obj = PyRef::steal(PyLong_FromUnsignedLong(current));
    if (!stored_obj || !current_obj) return false;
    if (!set_both_items(input.get(), package.version, stored_obj.get())) return false;

    PyRef apply = module_attribute(migrations.get(), names.apply_migrations);
    if (!apply) return false;
    PyObject* type_name = type_objects_[f.dataclass().type_id].name.get();
    PyRef migrated = call_with(apply.get(), {type_name, input.get(), stored_obj.get(), current_obj.get()});
    if (!migrated) return false;
    if (!PyDict_Check(migrated.get())) {
        PyErr_SetString(PyExc_TypeError, "Migration function must return a dict");
        return false;
    }

    LateFields late;
    PyRef migrated_kwargs = migrated_arguments(type_objects_[f.dataclass().type_id], migrated.get(), late);
    if (!migrated_kwargs) return false;
    PyRef instance = construct(f, migrated_kwargs.get());
    if (!instance || !set_late_fields(instance.get(), late)) return false;

    // Declared fields: from the first instance, or the class when there is none.
    PyObject* declared_from = first ? first.get() : f.dataclass().cls.get();
    if (!attach_extra_fields(instance.get(), migrated.get(), declared_from)) return false;
    return complete_instance(f, std::move(instance), out);
}

// Attaches the migrated fields that `declared_from` does not declare as the
// extra-field attributes, when there are any.
bool Reconstructor::attach_extra_fields(PyObject* instance, PyObject* migrated, PyObject* declared_from) {
    PyRef declared_map = PyRef::steal(PyObject_GetAttr(declared_from, names.dataclass_fields));
    if (!declared_map) return false;
    if (!PyDict_Check(declared_map.get())) {
        PyErr_SetString(PyExc_TypeError, "__dataclass_fields__ is not a dict");
        return false;
    }
    PyRef declared = PyRef::steal(PyDict_Keys(declared_map.get()));
    if (!declared) return false;
    const Py_ssize_t declared_count = PyList_Size(declared.get());
    for (Py_ssize_t i = 0; i < declared_count; ++i) {
        PyObject* key = PyList_GetItem(declared.get(), i);
        if (!PyUnicode_Check(key)) return raise_conversion_error(key, "PyString"), false;
    }

    PyRef extra = PyRef::steal(PyDict_New());
    if (!extra) return false;
    const bool collected = for_each_field(migrated, [&](PyObject* key, PyObject* value) {
        bool is_declared = false;
        for (Py_ssize_t i = 0; i < declared_count && !is_declared; ++i) {
            is_declared = PyUnicode_Compare(key, PyList_GetItem(declared.get(), i)) == 0;
        }
        if (PyErr_Occurred()) return false;
        return is_declared || PyDict_SetItem(extra.get(), key, value) == 0;
    });
    if (!collected) return false;
    if (PyDict_Size(extra.get()) > 0) {
        // Classes that refuse new attributes (frozen, slotted) simply go without.
        set_both_attributes_if_possible(instance, package.extra, extra.get());
    }
    return true;
}

}  // namespace zelkor::format
