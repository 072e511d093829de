// The function object type and the argument binder.
//
// The binder reports the first problem it meets, in this order, with the texts the modules'
// contract fixes: too many positional arguments ("takes exactly/at most N positional
// arguments (M given)"); then each keyword in the caller's order, unknown ("got an unexpected
// keyword argument") or naming a parameter already given ("got multiple values for keyword
// argument"); then a missing required positional ("takes exactly/at least N ... (i given)",
// i being the first one missing) or keyword-only ("needs keyword-only argument"); then the
// type checks, parameter by parameter.
#include "function.hpp"

#include "free_list.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace py {

struct FunctionProto {
    const FunctionDef* def;
    std::vector<PyObject*> names;  // interned parameter names, self first
    Py_ssize_t npositional;        // positional-or-keyword parameters
    PyObject* module;
    PyObject* defaults;    // tuple or NULL
    PyObject* kwdefaults;  // template dict or NULL
    CoroutineCode code;    // names, cr_code and globals of its coroutines
    bool unchecked;        // no parameter has a check to run
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
    bool annotations_made;  // once made, a deleted mapping comes back empty, not declared
};

static PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
static std::string function_type_name;

static FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Markers that asyncio and inspect look for on coroutine functions.
static Constant asyncio_coroutine_marker;  // asyncio.coroutines._is_coroutine
static Constant inspect_coroutine_mark;    // what inspect.markcoroutinefunction sets (3.12+)

static const char subclass_note[] =
    "Subclasses of built-in types are refused here: pass a plain instance of the expected type";

// ---- binding ------------------------------------------------------------------------------

// What a call reads of the function's defaults, held for the whole call: another thread may
// replace __defaults__ or __kwdefaults__ meanwhile.
struct Defaults {
    Object positional;  // tuple or NULL
    Object keyword;     // dict or NULL

    explicit Defaults(const FunctionObject* f)
        : positional(Object::borrow_or_null(f->defaults)),
          keyword(Object::borrow_or_null(f->kwdefaults)) {}
    Py_ssize_t count() const {
        return positional.null() ? 0 : PyTuple_GET_SIZE(positional.get());
    }
    // The default of keyword-only parameter `name`, or NULL.
    Object of_keyword(PyObject* name) const {
        if (keyword.null()) return {};
        PyObject* v = PyDict_GetItemWithError(keyword.get(), name);
        if (v == nullptr && PyErr_Occurred()) fail();
        return Object::borrow_or_null(v);
    }
};

[[noreturn]] static void positional_count_error(const FunctionProto* p, const Defaults& d,
                                                Py_ssize_t given) {
    Py_ssize_t max = p->npositional;
    Py_ssize_t min = max - std::min(d.count(), max);
    bool exact = min == max;
    Py_ssize_t expected = given < min ? min : max;
    const char* how = exact ? "exactly" : (given < min ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p->def->name, how, expected, expected == 1 ? "" : "s", given);
}

static Py_ssize_t parameter_index(const FunctionProto* p, PyObject* key) {
    for (std::size_t i = 0; i < p->names.size(); ++i) {
        if (p->names[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < p->names.size(); ++i) {
        if (PyUnicode_Compare(p->names[i], key) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
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
        case Check::real: {
            if (PyFloat_CheckExact(v)) return;
            PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
            if (nb == nullptr || (nb->nb_float == nullptr && nb->nb_index == nullptr)) {
                type_error(param.name, "float", v, false);
            }
            value = Object::steal(PyNumber_Float(v));
            return;
        }
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
    const Defaults defaults(f);

    if (nargs > npos) positional_count_error(p, defaults, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Object::borrow(args[i]);

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", p->def->name);
        Py_ssize_t index = parameter_index(p, key);
        if (index < 0) {
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         p->def->name, key);
        }
        if (!out[index].null()) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         p->def->name, key);
        }
        out[index] = Object::borrow(args[nargs + k]);
    }

    const Py_ssize_t first_default = npos - std::min(defaults.count(), npos);
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        if (!out[i].null()) continue;
        if (i < npos) {
            if (i < first_default) positional_count_error(p, defaults, i);
            out[i] = Object::borrow(PyTuple_GET_ITEM(defaults.positional.get(), i - first_default));
        } else if (Object v = defaults.of_keyword(p->names[i]); !v.null()) {
            out[i] = std::move(v);
        } else {
            raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", p->def->name,
                         p->names[i]);
        }
    }

    for (Py_ssize_t i = 0; i < nparams; ++i) check_argument(params[i], out[i]);
}

// A forwarding body's coroutine: the closure (if any) and the arguments go to its step.
static Object forward(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* arguments[max_forwarded + 1];
    std::size_t count = 0;
    if (f->closure != nullptr) arguments[count++] = f->closure;
    for (Py_ssize_t i = 0; i < nargs && count <= max_forwarded; ++i) arguments[count++] = args[i];
    Object result = forwarding_coroutine(f->proto->def->forwarding, arguments, count);
    set_coroutine_code(result.get(), &f->proto->code, f->name, f->qualname);
    return result;
}

static PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        const FunctionDef* def = f->proto->def;
        if (def->forwarding != nullptr && kwnames == nullptr &&
            PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(def->params.size()) &&
            f->proto->unchecked) {
            // Every argument given by position, none to check: forwarded as it came.
            return forward(f, args, PyVectorcall_NARGS(nargsf)).release();
        }
        constexpr size_t inline_slots = 12;
        Object inline_values[inline_slots];
        std::vector<Object> heap_values;
        Object* values = inline_values;
        if (def->params.size() > inline_slots) {
            heap_values.resize(def->params.size());
            values = heap_values.data();
        }
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t nparams = static_cast<Py_ssize_t>(def->params.size());
        if (kwnames == nullptr && nargs == nparams && f->proto->npositional == nparams) {
            // Every parameter given by position, as an ASGI server calls: nothing to look up.
            for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = Object::borrow(args[i]);
            for (Py_ssize_t i = 0; i < nargs; ++i) check_argument(def->params[i], values[i]);
        } else {
            bind(f, args, nargsf, kwnames, values);
        }
        if (def->forwarding != nullptr) {
            PyObject* bound[max_forwarded + 1];
            for (std::size_t i = 0; i < def->params.size() && i <= max_forwarded; ++i)
                bound[i] = values[i].get();
            return forward(f, bound, static_cast<Py_ssize_t>(def->params.size())).release();
        }
        Object result = def->body(f->closure, values);
        if (def->is_async) set_coroutine_code(result.get(), &f->proto->code, f->name, f->qualname);
        return result.release();
    });
}

// ---- attributes ---------------------------------------------------------------------------

// The annotations mapping (made from the declaration on first access), as a new reference.
static Object annotations_of(FunctionObject* f) {
    if (f->annotations == nullptr) {
        Object dict = new_dict();
        const FunctionDef* def = f->proto->def;
        if (!f->annotations_made) {
            for (size_t i = 0; i < def->params.size(); ++i) {
                if (def->params[i].annotation)
                    dict.set_item(f->proto->names[i], text(def->params[i].annotation));
            }
            if (def->returns) check(PyDict_SetItemString(dict.get(), "return", text(def->returns).get()));
        }
        if (f->annotations == nullptr) {  // building it ran no Python code, but be sure
            f->annotations = Object(dict).release();
            f->annotations_made = true;
        }
    }
    return Object::borrow(f->annotations);
}

static PyObject* get_annotations(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] { return annotations_of(as_function(self)).release(); });
}

// `__signature__`, so inspect.signature() and help() show the real parameters.  Works on
// owned snapshots of the defaults and annotations: building Parameter objects runs Python
// code, during which another thread may replace them.
static PyObject* get_signature(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        FunctionObject* f = as_function(self);
        const FunctionProto* p = f->proto;
        const Defaults defaults(f);
        Object annotations = annotations_of(f);
        Object inspect = import("inspect");
        Object parameter = inspect.attr("Parameter");
        Object positional = parameter.attr("POSITIONAL_OR_KEYWORD");
        Object keyword_only = parameter.attr("KEYWORD_ONLY");
        Object empty = parameter.attr("empty");
        Object s_default = text("default"), s_annotation = text("annotation");
        Py_ssize_t npos = p->npositional;
        Py_ssize_t first_default = npos - std::min(defaults.count(), npos);
        Object list = new_list();
        for (size_t i = 0; i < p->names.size(); ++i) {
            PyObject* name = p->names[i];
            Py_ssize_t index = static_cast<Py_ssize_t>(i);
            Object dflt = empty;
            if (index < npos && index >= first_default) {
                dflt = Object::borrow(
                    PyTuple_GET_ITEM(defaults.positional.get(), index - first_default));
            } else if (index >= npos) {
                if (Object v = defaults.of_keyword(name); !v.null()) dflt = std::move(v);
            }
            Object ann = get(annotations, name, empty.get());
            Object param = parameter(Object::borrow(name), index < npos ? positional : keyword_only,
                                     kw(s_default.get(), std::move(dflt)),
                                     kw(s_annotation.get(), std::move(ann)));
            check(PyList_Append(list.get(), param.get()));
        }
        Object ret = get(annotations, Object::steal(PyUnicode_InternFromString("return")).get(),
                         empty.get());
        Object s_return_annotation = text("return_annotation");
        return inspect.attr("Signature")(list, kw(s_return_annotation.get(), std::move(ret)))
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
        const Defaults defaults(f);
        Py_ssize_t npos = p->npositional;
        Py_ssize_t first_default = npos - std::min(defaults.count(), npos);
        Object parts = new_list();
        for (size_t i = 0; i < p->names.size(); ++i) {
            Py_ssize_t index = static_cast<Py_ssize_t>(i);
            if (index == npos) check(PyList_Append(parts.get(), text("*").get()));
            Object value;
            if (index < npos && index >= first_default) {
                value = Object::borrow(
                    PyTuple_GET_ITEM(defaults.positional.get(), index - first_default));
            } else if (index >= npos) {
                value = defaults.of_keyword(p->names[i]);
            }
            Object part = value.null() ? Object::borrow(p->names[i])
                                       : Object::steal(PyUnicode_FromFormat(
                                             "%U=%R", p->names[i], value.get()));
            check(PyList_Append(parts.get(), part.get()));
        }
        Object joined = Object::steal(PyUnicode_Join(text(", ").get(), parts.get()));
        return Object::steal(PyUnicode_FromFormat("(%U)", joined.get())).release();
    });
}

// Fields read as new references (None for NULL), like a Python function's.
static PyObject* get_field(PyObject* self, void* offset) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                reinterpret_cast<Py_ssize_t>(offset));
    return Object::borrow(v != nullptr ? v : Py_None).release();
}

// Setters validate, then swap, like a Python function's.
enum class Deletion { refused, allowed };

template <PyObject* FunctionObject::*Field>
static int set_checked(PyObject* self, PyObject* value, const char* refusal,
                       bool (*ok)(PyObject*), Deletion deletion) {
    if (value == nullptr ? deletion == Deletion::refused : !ok(value)) {
        PyErr_SetString(PyExc_TypeError, refusal);
        return -1;
    }
    if (value == Py_None && deletion == Deletion::allowed) value = nullptr;
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->*Field, value);
    return 0;
}

static bool is_str(PyObject* v) { return PyUnicode_Check(v); }
static bool is_tuple_or_none(PyObject* v) { return v == Py_None || PyTuple_Check(v); }
static bool is_dict_or_none(PyObject* v) { return v == Py_None || PyDict_Check(v); }

static int set_name(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::name>(s, v, "__name__ must be set to a string object",
                                              is_str, Deletion::refused);
}
static int set_qualname(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::qualname>(
        s, v, "__qualname__ must be set to a string object", is_str, Deletion::refused);
}
static int set_defaults(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::defaults>(
        s, v, "__defaults__ must be set to a tuple object", is_tuple_or_none, Deletion::allowed);
}
static int set_kwdefaults(PyObject* s, PyObject* v, void*) {
    return set_checked<&FunctionObject::kwdefaults>(
        s, v, "__kwdefaults__ must be set to a dict object", is_dict_or_none, Deletion::allowed);
}
static int set_annotations(PyObject* s, PyObject* v, void*) {
    as_function(s)->annotations_made = true;
    return set_checked<&FunctionObject::annotations>(
        s, v, "__annotations__ must be set to a dict object", is_dict_or_none, Deletion::allowed);
}
// __doc__ and __module__ take anything; deleting them leaves None.
static int set_doc(PyObject* s, PyObject* v, void*) {
    Py_XINCREF(v);
    Py_XSETREF(as_function(s)->doc, v);
    return 0;
}
static int set_module(PyObject* s, PyObject* v, void*) {
    Py_XINCREF(v);
    Py_XSETREF(as_function(s)->module, v);
    return 0;
}

// `_is_coroutine` (asyncio's marker, False for plain functions) and, where inspect has
// markcoroutinefunction, its mark, so both iscoroutinefunction checks agree.  Computed from
// the declaration: no per-function dictionary is needed.
static PyObject* get_is_coroutine(PyObject* self, void*) {
    PyObject* v = as_function(self)->proto->def->is_async ? asyncio_coroutine_marker.get()
                                                          : Py_False;
    return Object::borrow(v).release();
}

static PyObject* get_coroutine_mark(PyObject* self, void*) {
    if (!as_function(self)->proto->def->is_async || inspect_coroutine_mark.get() == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    return Object::borrow(inspect_coroutine_mark).release();
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

// Pickled by reference, as a Python function is: the name under which its module holds it.
static PyObject* function_reduce(PyObject* self, PyObject*) {
    return Object::borrow(as_function(self)->qualname).release();
}

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type slots -------------------------------------------------------------------------------

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Object::borrow(self).release();
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

void ready_types(const char* module_name) {
    ready_coroutine_types(module_name);
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    function_type_name = std::string(module_name) + ".native_function";
    FunctionType.tp_name = function_type_name.c_str();
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
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    check(PyType_Ready(&FunctionType));
}

// The markers of coroutine functions, as this interpreter's asyncio and inspect know them.
static void learn_coroutine_markers() {
    Object marker = import("asyncio.coroutines").attr_or_null(text("_is_coroutine").get());
    // Where asyncio no longer has its marker, any unique object keeps the attribute meaningful.
    asyncio_coroutine_marker =
        marker.null()
            ? Object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))
            : std::move(marker);
    // Learn inspect's mark by letting it mark a plain namespace (its name differs by version).
    Object mark = import("inspect").attr_or_null(text("markcoroutinefunction").get());
    if (!mark.null()) {
        Object probe = import("types").attr("SimpleNamespace")();
        mark(probe);
        inspect_coroutine_mark = probe.attr_or_null(text("_is_coroutine_marker").get());
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
        case Default::float_value:
            return Object::steal(PyFloat_FromDouble(d.real));
        case Default::empty_tuple:
            return tuple();
        default:
            return {};
    }
}

FunctionProto* compile(const FunctionDef& def, const ModuleInfo& module) {
    ready_types(module.name);
    if (asyncio_coroutine_marker.get() == nullptr) learn_coroutine_markers();
    Object defaults = new_list();
    Object kwdefaults;
    std::vector<PyObject*> names;
    Py_ssize_t npositional = 0;
    for (const Param& param : def.params) {
        names.push_back(check(PyUnicode_InternFromString(param.name)));
        if (!param.keyword_only) {
            ++npositional;
            if (param.default_value.present())
                check(PyList_Append(defaults.get(), default_object(param.default_value).get()));
        } else if (param.default_value.present()) {
            if (kwdefaults.null()) kwdefaults = new_dict();
            kwdefaults.set_item(names.back(), default_object(param.default_value));
        }
    }
    Object name = Object::steal(PyUnicode_InternFromString(def.name));
    Object qualname = Object::steal(PyUnicode_InternFromString(def.qualname));
    Object code = Object::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        module.source_file, def.name, static_cast<int>(def.where.line()))));
    Object positional_defaults = PyList_GET_SIZE(defaults.get()) > 0
                                     ? Object::steal(PyList_AsTuple(defaults.get()))
                                     : Object();
    // Declarations live as long as the interpreter; the registry keeps them in reach.
    static auto* compiled = new std::vector<FunctionProto*>();
    bool unchecked = std::all_of(def.params.begin(), def.params.end(),
                                 [](const Param& p) { return p.check == Check::any; });
    return compiled->emplace_back(new FunctionProto{
        &def,
        std::move(names),
        npositional,
        text(module.name).release(),
        positional_defaults.release(),
        kwdefaults.release(),
        CoroutineCode{name.release(), qualname.release(), code.release(),
                      Object::borrow(module.globals).release()},
        unchecked,
    });
}

Object make_function(FunctionProto* proto, PyObject* closure) {
    const FunctionDef* def = proto->def;
    Object doc = def->doc ? text(def->doc) : none();
    Object kwdefaults =
        proto->kwdefaults ? Object::steal(PyDict_Copy(proto->kwdefaults)) : Object{};
    // Everything is acquired before the object exists, so a failure leaves nothing half-built.
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) fail();
    f->vectorcall = function_vectorcall;
    f->proto = proto;
    f->closure = Object::borrow_or_null(closure).release();
    f->dict = nullptr;
    f->name = Object::borrow(proto->code.name).release();
    f->qualname = Object::borrow(proto->code.qualname).release();
    f->doc = doc.release();
    f->module = Object::borrow(proto->module).release();
    f->annotations = nullptr;
    f->defaults = Object::borrow_or_null(proto->defaults).release();
    f->kwdefaults = kwdefaults.release();
    f->weakreflist = nullptr;
    f->annotations_made = false;
    PyObject_GC_Track(f);
    return Object::steal(reinterpret_cast<PyObject*>(f));
}

#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

MethodLookup::MethodLookup(const Object& self, PyObject* name) : self_(self) {
    PyObject* method = nullptr;
    unbound_ = _PyObject_GetMethod(self.get(), name, &method) != 0;
    method_ = Object::steal(method);
}

Object named_after(PyObject* function, Object coroutine) {
    FunctionObject* f = as_function(function);
    set_coroutine_code(coroutine.get(), &f->proto->code, f->name, f->qualname);
    return coroutine;
}

PyObject* closure_of(PyObject* function) noexcept { return as_function(function)->closure; }

// ---- closures that are their own function ----------------------------------------------------

static ClosureFunction* as_closure_function(PyObject* o) {
    return reinterpret_cast<ClosureFunction*>(o);
}

// The full function object of a closure function, made on first need.
static PyObject* full_function(PyObject* self) {
    ClosureFunction* f = as_closure_function(self);
    if (f->function == nullptr) {
        PyObject* made = guard<PyObject*>(nullptr, [&] { return make_function(f->proto, self).release(); });
        if (made == nullptr) return nullptr;
        if (f->function == nullptr) f->function = made; else Py_DECREF(made);
    }
    return f->function;
}

static PyObject* closure_function_call(PyObject* self, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) {
    ClosureFunction* f = as_closure_function(self);
    const FunctionDef* def = f->proto->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (f->function == nullptr && kwnames == nullptr && f->proto->unchecked &&
        nargs == static_cast<Py_ssize_t>(def->params.size()) &&
        static_cast<std::size_t>(nargs) < max_forwarded) {
        return guard<PyObject*>(nullptr, [&] {
            PyObject* arguments[max_forwarded];
            arguments[0] = self;
            for (Py_ssize_t i = 0; i < nargs; ++i) arguments[i + 1] = args[i];
            Object result = forwarding_coroutine(def->forwarding, arguments,
                                                 static_cast<std::size_t>(nargs) + 1);
            set_coroutine_code(result.get(), &f->proto->code);
            return result.release();
        });
    }
    PyObject* function = full_function(self);  // keywords, checks, renamed: the full path
    return function ? PyObject_Vectorcall(function, args, nargsf, kwnames) : nullptr;
}

static PyObject* closure_function_getattro(PyObject* self, PyObject* name) {
    if (_PyType_Lookup(Py_TYPE(self), name) != nullptr) return PyObject_GenericGetAttr(self, name);
    PyObject* function = full_function(self);
    return function ? PyObject_GetAttr(function, name) : nullptr;
}

static int closure_function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyObject* function = full_function(self);
    return function ? PyObject_SetAttr(function, name, value) : -1;
}

static PyObject* closure_function_repr(PyObject* self) {
    ClosureFunction* f = as_closure_function(self);
    PyObject* qualname = f->function ? as_function(f->function)->qualname : f->proto->code.qualname;
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

static FreeList<16> recycled_closures;

PyObject* new_closure_function(PyTypeObject* type) {
    PyObject* op = recycled_closures.take(type);
    if (op == nullptr) op = _PyObject_GC_New(type);
    if (op == nullptr) fail();
    return op;
}

void dealloc_closure_function(PyObject* op, inquiry clear) noexcept {
    PyObject_GC_UnTrack(op);
    if (as_closure_function(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    clear(op);
    if (!recycled_closures.give(op)) PyObject_GC_Del(op);
}

void init_closure_function(ClosureFunction* f, FunctionProto* proto) noexcept {
    f->vectorcall = closure_function_call;
    f->proto = proto;
    f->function = nullptr;
    f->weakreflist = nullptr;
}

int closure_function_traverse(ClosureFunction* f, visitproc visit, void* arg) {
    Py_VISIT(f->function);
    return 0;
}

void closure_function_clear(ClosureFunction* f) noexcept { Py_CLEAR(f->function); }

void ready_closure_function_type(PyTypeObject* type, const char* name, Py_ssize_t basicsize,
                                 traverseproc traverse, inquiry clear, destructor dealloc) {
    if (type->tp_flags & Py_TPFLAGS_READY) return;
    type->tp_name = name;
    type->tp_basicsize = basicsize;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_vectorcall_offset = offsetof(ClosureFunction, vectorcall);
    type->tp_call = PyVectorcall_Call;
    type->tp_getattro = closure_function_getattro;
    type->tp_setattro = closure_function_setattro;
    type->tp_repr = closure_function_repr;
    type->tp_traverse = traverse;
    type->tp_clear = clear;
    type->tp_dealloc = dealloc;
    type->tp_weaklistoffset = offsetof(ClosureFunction, weakreflist);
    check(PyType_Ready(type));
}

Object make_class(const char* name, const char* module_name, const char* doc,
                  std::initializer_list<std::pair<const char*, Object>> members) {
    return make_class(name, module_name, doc, tuple(), members);
}

Object make_class(const char* name, const char* module_name, const char* doc, const Object& bases,
                  std::initializer_list<std::pair<const char*, Object>> members) {
    Object ns = new_dict();
    check(PyDict_SetItemString(ns.get(), "__module__", text(module_name).get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", text(name).get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", doc ? text(doc).get() : Py_None));
    for (const auto& [key, value] : members)
        check(PyDict_SetItemString(ns.get(), key, value.get()));
    // type() itself picks the most derived metaclass of the bases, as a class statement does.
    Object type = Object::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(text(name), bases, ns);
}

}  // namespace py
