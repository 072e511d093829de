#include "object.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace py {

// ---- errors -------------------------------------------------------------------------------

Error Error::fetch() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        // A failure reported without an exception: make the bug visible, never pass silently.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_Fetch(&type, &value, &tb);
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (value == nullptr) {  // normalisation itself failed hard; keep what it left
        PyErr_Fetch(&type, &value, &tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
    }
    return Error(value);
}

void Error::restore() && noexcept {
    PyObject* value = std::exchange(exc_, nullptr);
    if (value == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
}

void raise(const Object& exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    fail();
}

void raise_from(const Object& exc, PyObject* cause) {
    Py_XINCREF(cause);
    PyException_SetCause(exc.get(), cause);  // also suppresses the implicit context
    raise(exc);
}

Object traceback_of(PyObject* exc) {
    PyObject* tb = PyException_GetTraceback(exc);
    return tb ? Object::steal(tb) : none();
}

Handling::Handling(PyObject* exc) noexcept : active_(exc != nullptr) {
    if (!active_) return;
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    Py_INCREF(exc);
    PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
}

Handling::~Handling() {
    if (active_) PyErr_SetExcInfo(type_, value_, tb_);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        std::move(e).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected native error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error");
    }
}

Error current_error() noexcept {
    try {
        throw;
    } catch (Error& e) {
        return std::move(e);
    } catch (...) {
        translate_current_exception();
        return Error::fetch();
    }
}

Name detail::enter_name{"__enter__"}, detail::exit_name{"__exit__"}, detail::get_name{"get"};
Name detail::name_name{"__name__"}, detail::import_name{"__import__"};
Name detail::spec_name{"__spec__"}, detail::initializing_name{"_initializing"};

// ---- references ------------------------------------------------------------------------------

Object Object::attr_or_null(PyObject* name) const {
    PyObject* value = PyObject_GetAttr(p_, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
    }
    return Object(value, 0);
}

PyObject* detail::keyword_names(PyObject* const* names, std::size_t n) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(names[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), names[i]);
    }
    return tuple;
}

std::string_view utf8_bytes(const Object& s, Object& keep) {
    Py_ssize_t size;
    if (const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size))
        return {data, static_cast<size_t>(size)};  // kept by the str itself; ASCII: no copy
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) fail();
    PyErr_Clear();
    keep = Object::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
    return {PyBytes_AS_STRING(keep.get()), static_cast<size_t>(PyBytes_GET_SIZE(keep.get()))};
}

Object get(const Object& mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping.get(), key);
        if (value == nullptr && PyErr_Occurred()) fail();
        return Object::borrow_or_null(value ? value : fallback);
    }
    if (fallback == nullptr) return mapping.call_method(detail::get_name, key);
    return mapping.call_method(detail::get_name, key, fallback);
}

Name detail::set_method_name{"set"}, detail::reset_method_name{"reset"};

Object context_set(const Object& var, const Object& value) {
    if (PyContextVar_CheckExact(var.get()))
        return Object::steal(PyContextVar_Set(var.get(), value.get()));
    return var.call_method(detail::set_method_name, value);
}

void context_reset(const Object& var, const Object& token) {
    // ContextVar.reset refuses a token of another type with its own message: left to it.
    if (PyContextVar_CheckExact(var.get()) && PyContextToken_CheckExact(token.get())) {
        check(PyContextVar_Reset(var.get(), token.get()));
        return;
    }
    var.call_method(detail::reset_method_name, token);
}

Object import_from(const Object& module, PyObject* name) {
    Object value = module.attr_or_null(name);
    if (!value.null()) return value;
    // As the interpreter's IMPORT_FROM: a submodule of that name may be in sys.modules.
    Object package = module.attr_or_null(detail::name_name);
    if (!package.null() && PyUnicode_Check(package.get())) {
        Object full = Object::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        Object submodule = Object::steal_or_null(PyImport_GetModule(full.get()));
        if (PyErr_Occurred()) fail();
        if (!submodule.null()) return submodule;
    }
    if (package.null()) package = text("<unknown module name>");
    PyObject* file = PyModule_Check(module.get()) ? PyModule_GetFilenameObject(module.get())
                                                  : nullptr;
    if (file == nullptr) {
        PyErr_Clear();
        Object message = Object::steal(PyUnicode_FromFormat(
            "cannot import name %R from %R (unknown location)", name, package.get()));
        PyErr_SetImportError(message.get(), package.get(), nullptr);
    } else {
        Object path = Object::steal(file);
        Object message = Object::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                            name, package.get(), path.get()));
        PyErr_SetImportError(message.get(), package.get(), path.get());
    }
    fail();
}

// Whether `f` is the interpreter's own builtins.__import__ (not a replacement).
static bool is_interpreter_import(PyObject* f) {
    static PyObject* seen = nullptr;  // only compared, never used
    if (f == seen) return true;
    if (!PyCFunction_Check(f)) return false;
    auto* function = reinterpret_cast<PyCFunctionObject*>(f);
    PyObject* owner = function->m_self;
    if (std::string_view(function->m_ml->ml_name) != "__import__" || owner == nullptr ||
        !PyModule_Check(owner))
        return false;
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (std::string_view(owner_name) != "builtins") return false;
    seen = f;
    return true;
}

// getattr(module, name), or NULL when missing.  A plain module keeps its attributes in its
// dict and its type defines none of the names asked for here, so the dict answers directly.
static Object module_attribute(const Object& module, PyObject* name) {
    if (PyModule_CheckExact(module.get())) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module.get()), name);
        if (value != nullptr) return Object::borrow(value);
        if (PyErr_Occurred()) fail();
    }
    return module.attr_or_null(name);  // a module __getattr__, a subclass: the full lookup
}

// Whether a module in sys.modules is still running its body (its spec says so).
static bool initializing(const Object& module) {
    Object spec = module_attribute(module, detail::spec_name);
    if (spec.null()) return false;
    Object flag = spec.attr_or_null(detail::initializing_name);
    return !flag.null() && flag.truthy();
}

Object import_statement(PyObject* module_name, PyObject* name, PyObject* globals) {
    PyObject* import_function = PyDict_GetItemWithError(PyEval_GetBuiltins(), detail::import_name);
    if (import_function == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        fail();
    }
    if (is_interpreter_import(import_function)) {
        // The statement's own lookup: sys.modules, and a module that another thread is still
        // initialising is waited for (PyImport_GetModule does the waiting).
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* found = PyDict_CheckExact(modules)
                              ? PyDict_GetItemWithError(modules, module_name)
                              : nullptr;
        if (found == nullptr && PyErr_Occurred()) fail();
        Object module = Object::borrow_or_null(found);
        if (!module.null() && !module.is_none() && initializing(module)) {
            module = Object::steal_or_null(PyImport_GetModule(module_name));
            if (PyErr_Occurred()) fail();
        }
        if (!module.null() && !module.is_none()) {
            if (Object value = module_attribute(module, name); !value.null()) return value;
        }
        Object fromlist = tuple(Object::borrow(name));
        return import_from(Object::steal(PyImport_ImportModuleLevelObject(
                               module_name, globals, Py_None, fromlist.get(), 0)),
                           name);
    }
    Object module = Object::borrow(import_function)(module_name, globals, Py_None,
                                                    tuple(Object::borrow(name)), integer(0));
    return import_from(module, name);
}

Object import_from(const char* module_name, PyObject* name) {
    return import_from(import(module_name), name);
}


// ---- process-lifetime objects -------------------------------------------------------------------

namespace {
Static*& all_statics() {
    static Static* head = nullptr;
    return head;
}
}  // namespace

Static::Static(const char* name_text) noexcept : name_text_(name_text), next_(all_statics()) {
    all_statics() = this;
}

void Static::forget_all() noexcept {
    // Parked, not released: the interpreter that owned them is gone, so no reference count
    // may be touched; they stay allocated (and visibly so, for leak checkers) until exit.
    static auto* parked = new std::vector<PyObject*>();  // never destroyed
    for (Static* s = all_statics(); s != nullptr; s = s->next_) {
        if (s->obj_ != nullptr) parked->push_back(s->obj_);
        s->obj_ = nullptr;
    }
}

void Static::intern_all() {
    for (Static* s = all_statics(); s != nullptr; s = s->next_) {
        if (s->name_text_ != nullptr && s->obj_ == nullptr)
            s->obj_ = check(PyUnicode_InternFromString(s->name_text_));
    }
}

}  // namespace py
