// The function object type and the argument binder.
//
// Binding follows the order the interpreter's own generated argument parsers use, so the
// first error reported and its words are the familiar ones: too many positionals; then,
// walking the parameters from the first one not given by position, a missing required
// positional ("takes exactly/at least N positional arguments (i given)") or a missing
// keyword-only argument; then unknown or repeated keywords; then the type checks.
#include "function.hpp"

#include <cstring>

namespace py {

struct FunctionProto {
    const FunctionDef* def;
    std::vector<PyObject*> names;  // interned parameter names, self first
    Py_ssize_t npositional;        // positional-or-keyword parameters
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* defaults;    // tuple or NULL
    PyObject* kwdefaults;  // template dict or NULL
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionProto* proto;
    PyObject* closure;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;  // made on first access
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* weakreflist;
};

static PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

static FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Markers that asyncio and inspect look for on coroutine functions.
static PyObject* asyncio_coroutine_marker = nullptr;  // asyncio.coroutines._is_coroutine
static PyObject* inspect_coroutine_mark =
    nullptr;  // what inspect.markcoroutinefunction sets (3.12+)

static const char subclass_note[] =
    "Subclasses of built-in types are refused here: pass a plain instance of the expected type";

// ---- binding ------------------------------------------------------------------------------

[[noreturn]] static void positional_count_error(const FunctionObject* f, Py_ssize_t given) {
    const FunctionProto* p = f->proto;
    Py_ssize_t max = p->npositional;
    Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t min = max - (ndefaults < max ? ndefaults : max);
    bool exact = min == max;
    Py_ssize_t expected = given < min ? min : max;
    const char* how = exact ? "exactly" : (given < min ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p->def->name, how, expected, expected == 1 ? "" : "s", given);
}

// The value passed under keyword `name`, or NULL.
static PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[i];
    }
    return nullptr;
}

static Py_ssize_t parameter_index(const FunctionProto* p, PyObject* key) {
    for (size_t i = 0; i < p->names.size(); ++i) {
        if (p->names[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (size_t i = 0; i < p->names.size(); ++i) {
        if (PyUnicode_Compare(p->names[i], key) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Every keyword was not consumed: find the first offending one, in the caller's order.
[[noreturn]] static void keyword_error(const FunctionProto* p, PyObject* kwnames,
                                       Py_ssize_t nargs) {
    const char* fname = p->def->name;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
        Py_ssize_t index = parameter_index(p, key);
        if (index < 0) {
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
        }
        if (index < nargs) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fname, key);
        }
    }
    raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument", fname);
}

static PyObject* kwdefault(const FunctionObject* f, PyObject* name) {
    if (f->kwdefaults == nullptr) return nullptr;
    PyObject* v = PyDict_GetItemWithError(f->kwdefaults, name);
    if (v == nullptr && PyErr_Occurred()) throw Error{};
    return v;
}

[[noreturn]] static void type_error(const char* param, const char* expected, PyObject* value,
                                    bool subclass) {
    raise_format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", param,
                 expected, Py_TYPE(value)->tp_name, subclass ? ". " : "",
                 subclass ? subclass_note : "");
}

static void check_argument(const Param& param, Object& value) {
    PyObject* v = value.get();
    switch (param.check) {
        case Check::any:
            return;
        case Check::str_or_none:
            if (v == Py_None) return;
            [[fallthrough]];
        case Check::str:
            if (!PyUnicode_CheckExact(v)) type_error(param.name, "str", v, PyUnicode_Check(v));
            return;
        case Check::integer: {
            if (PyLong_CheckExact(v)) return;
            PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
            if (nb == nullptr || (nb->nb_int == nullptr && nb->nb_index == nullptr)) {
                type_error(param.name, "int", v, false);
            }
            value = Object::steal(PyNumber_Long(v));
            return;
        }
        case Check::boolean:
            value = boolean(value.truthy());
            return;
    }
}

// Fills `out` (one slot per parameter) from a vectorcall.
static void bind(const FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                 Object* out) {
    const FunctionProto* p = f->proto;
    const std::vector<Param>& params = p->def->params;
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(params.size());
    const Py_ssize_t npos = p->npositional;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t min_pos = npos - (ndefaults < npos ? ndefaults : npos);

    if (nargs > npos) positional_count_error(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Object::borrow(args[i]);

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < min_pos) positional_count_error(f, nargs);
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t left = nkw;
        for (Py_ssize_t i = nargs; i < nparams; ++i) {
            const Param& param = params[i];
            if (param.keyword_only && kwdefault(f, p->names[i]) != nullptr) continue;  // below
            bool optional = !param.keyword_only && i >= min_pos;
            if (optional && left == 0) continue;
            PyObject* v = find_keyword(kwnames, kwvalues, p->names[i]);
            if (v != nullptr) {
                out[i] = Object::borrow(v);
                --left;
            } else if (!optional) {
                if (!param.keyword_only) positional_count_error(f, i);
                raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", p->def->name,
                             p->names[i]);
            }
        }
        for (Py_ssize_t i = npos; i < nparams && left > 0; ++i) {
            if (!out[i].null()) continue;
            if (PyObject* v = find_keyword(kwnames, kwvalues, p->names[i])) {
                out[i] = Object::borrow(v);
                --left;
            }
        }
        if (left > 0) keyword_error(p, kwnames, nargs);
    }

    // Defaults, and required keyword-only arguments not given at all.
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        if (!out[i].null()) continue;
        if (i < npos) {
            out[i] = Object::borrow(PyTuple_GET_ITEM(f->defaults, i - (npos - ndefaults)));
        } else if (PyObject* v = kwdefault(f, p->names[i])) {
            out[i] = Object::borrow(v);
        } else {
            raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", p->def->name,
                         p->names[i]);
        }
    }

    for (Py_ssize_t i = 0; i < nparams; ++i) check_argument(params[i], out[i]);
}

static PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        const FunctionDef* def = f->proto->def;
        constexpr size_t inline_slots = 12;
        Object inline_values[inline_slots];
        std::vector<Object> heap_values;
        Object* values = inline_values;
        if (def->params.size() > inline_slots) {
            heap_values.resize(def->params.size());
            values = heap_values.data();
        }
        bind(f, args, nargsf, kwnames, values);
        Object result = def->body(f->closure, values);
        if (def->is_async) set_coroutine_names(result.get(), f->name, f->qualname);
        return result.release();
    });
}

// ---- attributes ---------------------------------------------------------------------------

static PyObject* annotations_of(FunctionObject* f) {
    if (f->annotations == nullptr) {
        Object dict = new_dict();
        const FunctionDef* def = f->proto->def;
        for (size_t i = 0; i < def->params.size(); ++i) {
            if (def->params[i].annotation) {
                check(PyDict_SetItem(dict.get(), f->proto->names[i],
                                     text(def->params[i].annotation).get()));
            }
        }
        if (def->returns)
            check(PyDict_SetItemString(dict.get(), "return", text(def->returns).get()));
        f->annotations = dict.release();
    }
    return f->annotations;
}

static PyObject* get_annotations(PyObject* self, void*) {
    return guard<PyObject*>(
        nullptr, [&] { return Object::borrow(annotations_of(as_function(self))).release(); });
}

// `__signature__`, so inspect.signature() and help() show the real parameters.
static PyObject* get_signature(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        FunctionObject* f = as_function(self);
        const FunctionDef* def = f->proto->def;
        Object inspect = import("inspect");
        Object parameter = inspect.attr("Parameter");
        Object positional = parameter.attr("POSITIONAL_OR_KEYWORD");
        Object keyword_only = parameter.attr("KEYWORD_ONLY");
        Object empty = parameter.attr("empty");
        PyObject* annotations = annotations_of(f);
        Py_ssize_t npos = f->proto->npositional;
        Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Object list = new_list();
        Object s_default = text("default"), s_annotation = text("annotation");
        for (size_t i = 0; i < def->params.size(); ++i) {
            PyObject* name = f->proto->names[i];
            Object dflt = empty;
            Py_ssize_t index = static_cast<Py_ssize_t>(i);
            if (index < npos && index >= npos - ndefaults) {
                dflt = Object::borrow(PyTuple_GET_ITEM(f->defaults, index - (npos - ndefaults)));
            } else if (index >= npos) {
                if (PyObject* v = kwdefault(f, name)) dflt = Object::borrow(v);
            }
            PyObject* ann = PyDict_GetItemWithError(annotations, name);
            if (ann == nullptr && PyErr_Occurred()) throw Error{};
            Object p = parameter(Object::borrow(name), index < npos ? positional : keyword_only,
                                 kw(s_default.get(), dflt),
                                 kw(s_annotation.get(), ann ? Object::borrow(ann) : empty));
            check(PyList_Append(list.get(), p.get()));
        }
        Object s_return_annotation = text("return_annotation");
        PyObject* ret = PyDict_GetItemString(annotations, "return");
        return inspect
            .attr("Signature")(list,
                               kw(s_return_annotation.get(), ret ? Object::borrow(ret) : empty))
            .release();
    });
}

// `__text_signature__`: the parameters as source text, "(self, app, *, api_key=None)", with
// the defaults the function holds now.  Annotations have no place in this form; tools that
// read it (stubgen, help() of builtins) get them from `__signature__`/`__annotations__`.
static PyObject* get_text_signature(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        FunctionObject* f = as_function(self);
        const FunctionProto* p = f->proto;
        Object defaults = Object::borrow_or_null(f->defaults);
        Object kwdefaults = Object::borrow_or_null(f->kwdefaults);
        Py_ssize_t npos = p->npositional;
        Py_ssize_t ndefaults = defaults.null() ? 0 : PyTuple_GET_SIZE(defaults.get());
        Object parts = new_list();
        for (size_t i = 0; i < p->names.size(); ++i) {
            Py_ssize_t index = static_cast<Py_ssize_t>(i);
            if (index == npos) check(PyList_Append(parts.get(), text("*").get()));
            PyObject* value = nullptr;
            if (index < npos && index >= npos - ndefaults) {
                value = PyTuple_GET_ITEM(defaults.get(), index - (npos - ndefaults));
            } else if (index >= npos && !kwdefaults.null()) {
                value = PyDict_GetItemWithError(kwdefaults.get(), p->names[i]);
                if (value == nullptr && PyErr_Occurred()) throw Error{};
            }
            Object part = value == nullptr
                              ? Object::borrow(p->names[i])
                              : Object::steal(PyUnicode_FromFormat("%U=%R", p->names[i], value));
            check(PyList_Append(parts.get(), part.get()));
        }
        Object joined = Object::steal(PyUnicode_Join(text(", ").get(), parts.get()));
        return Object::steal(PyUnicode_FromFormat("(%U)", joined.get())).release();
    });
}

static PyObject* get_field(PyObject* self, void* offset) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                reinterpret_cast<Py_ssize_t>(offset));
    if (v == nullptr) v = Py_None;
    Py_INCREF(v);
    return v;
}

// Setters validate, then swap, like a Python function's.
template <PyObject* FunctionObject::*Field>
static int set_checked(PyObject* self, PyObject* value, const char* what, bool (*ok)(PyObject*),
                       bool none_allowed) {
    if (value == nullptr) {
        if (!none_allowed) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a %s", what, "value");
            return -1;
        }
    } else if (value == Py_None && none_allowed) {
        value = nullptr;
    } else if (!ok(value)) {
        PyErr_Format(PyExc_TypeError, "%s", what);
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->*Field, value);
    return 0;
}

static bool is_str(PyObject* v) { return PyUnicode_Check(v); }
static bool is_tuple(PyObject* v) { return PyTuple_Check(v); }
static bool is_dict(PyObject* v) { return PyDict_Check(v); }
static bool is_anything(PyObject*) { return true; }

static int set_name(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::name>(s, v, "__name__ must be set to a string object",
                                              is_str, false);
}
static int set_qualname(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::qualname>(
        s, v, "__qualname__ must be set to a string object", is_str, false);
}
static int set_doc(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::doc>(s, v, "__doc__", is_anything, true);
}
static int set_module(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::module>(s, v, "__module__", is_anything, true);
}
static int set_defaults(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::defaults>(
        s, v, "__defaults__ must be set to a tuple object", is_tuple, true);
}
static int set_kwdefaults(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::kwdefaults>(
        s, v, "__kwdefaults__ must be set to a dict object", is_dict, true);
}
static int set_annotations(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::annotations>(
        s, v, "__annotations__ must be set to a dict object", is_dict, true);
}

// `_is_coroutine` (asyncio's marker, False for plain functions) and, where inspect has
// markcoroutinefunction, its mark, so both iscoroutinefunction checks agree.  Computed from
// the declaration: no per-function dictionary is needed.
static PyObject* get_is_coroutine(PyObject* self, void*) {
    PyObject* v = as_function(self)->proto->def->is_async ? asyncio_coroutine_marker : Py_False;
    Py_INCREF(v);
    return v;
}

static PyObject* get_coroutine_mark(PyObject* self, void*) {
    if (!as_function(self)->proto->def->is_async || inspect_coroutine_mark == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    Py_INCREF(inspect_coroutine_mark);
    return inspect_coroutine_mark;
}

#define FIELD(name) reinterpret_cast<void*>(offsetof(FunctionObject, name))
static PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_name, nullptr, FIELD(name)},
    {"__qualname__", get_field, set_qualname, nullptr, FIELD(qualname)},
    {"__doc__", get_field, set_doc, nullptr, FIELD(doc)},
    {"__module__", get_field, set_module, nullptr, FIELD(module)},
    {"__defaults__", get_field, set_defaults, nullptr, FIELD(defaults)},
    {"__kwdefaults__", get_field, set_kwdefaults, nullptr, FIELD(kwdefaults)},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_mark, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FIELD

// ---- type slots -------------------------------------------------------------------------------

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

static PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

static int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    return 0;
}

static int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    return 0;
}

static void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    PyObject_GC_Del(self);
}

void ready_types() {
    ready_coroutine_types();
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    check(PyType_Ready(&FunctionType));

    Object coroutines = import("asyncio.coroutines");
    Object marker = coroutines.attr_or_null(text("_is_coroutine").get());
    // Where asyncio no longer has its marker, any unique object keeps the attribute meaningful.
    asyncio_coroutine_marker =
        marker.null()
            ? Object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
                  .release()
            : marker.release();
    // Learn inspect's mark by letting it mark a plain namespace (its name differs by version).
    Object mark = import("inspect").attr_or_null(text("markcoroutinefunction").get());
    if (!mark.null()) {
        Object probe = import("types").attr("SimpleNamespace")();
        mark(probe);
        inspect_coroutine_mark = probe.attr_or_null(text("_is_coroutine_marker").get()).release();
    }
}

// ---- construction ---------------------------------------------------------------------------

static Object default_object(const Default& d) {
    switch (d.kind) {
        case Default::none_value:
            return none();
        case Default::text_value:
            return Object::steal(PyUnicode_InternFromString(d.text));
        case Default::int_value:
            return integer(d.number);
        case Default::bool_value:
            return boolean(d.number != 0);
        default:
            return {};
    }
}

FunctionProto* compile(const FunctionDef& def, const char* module_name) {
    ready_types();
    auto* p = new FunctionProto{&def, {}, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    Object defaults = new_list();
    Object kwdefaults;
    for (const Param& param : def.params) {
        p->names.push_back(check(PyUnicode_InternFromString(param.name)));
        if (!param.keyword_only) {
            ++p->npositional;
            if (param.default_value.present())
                check(PyList_Append(defaults.get(), default_object(param.default_value).get()));
        } else if (param.default_value.present()) {
            if (kwdefaults.null()) kwdefaults = new_dict();
            check(PyDict_SetItem(kwdefaults.get(), p->names.back(),
                                 default_object(param.default_value).get()));
        }
    }
    p->name = check(PyUnicode_InternFromString(def.name));
    p->qualname = check(PyUnicode_InternFromString(def.qualname));
    p->module = check(PyUnicode_InternFromString(module_name));
    if (PyList_GET_SIZE(defaults.get()) > 0) p->defaults = check(PyList_AsTuple(defaults.get()));
    p->kwdefaults = kwdefaults.release();
    return p;
}

Object make_function(FunctionProto* proto, PyObject* closure) {
    const FunctionDef* def = proto->def;
    Object doc = def->doc ? text(def->doc) : none();
    Object kwdefaults =
        proto->kwdefaults ? Object::steal(PyDict_Copy(proto->kwdefaults)) : Object{};
    // Everything is acquired before the object exists, so a failure leaves nothing half-built.
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) throw Error{};
    f->vectorcall = function_vectorcall;
    f->proto = proto;
    f->closure = Object::borrow_or_null(closure).release();
    f->dict = nullptr;
    f->name = Object::borrow(proto->name).release();
    f->qualname = Object::borrow(proto->qualname).release();
    f->doc = doc.release();
    f->module = Object::borrow(proto->module).release();
    f->annotations = nullptr;
    f->defaults = Object::borrow_or_null(proto->defaults).release();
    f->kwdefaults = kwdefaults.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Object::steal(reinterpret_cast<PyObject*>(f));
}

Object make_class(const char* name, const char* module_name, const char* doc,
                  std::initializer_list<std::pair<const char*, Object>> members) {
    Object ns = new_dict();
    check(PyDict_SetItemString(ns.get(), "__module__", text(module_name).get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", text(name).get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", doc ? text(doc).get() : Py_None));
    for (const auto& [key, value] : members)
        check(PyDict_SetItemString(ns.get(), key, value.get()));
    Object type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(text(name), tuple(), ns);
}

}  // namespace py
