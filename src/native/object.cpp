#include "object.hpp"

#include <exception>
#include <new>
#include <stdexcept>
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

Object get(const Object& mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping.get(), key);
        if (value == nullptr && PyErr_Occurred()) fail();
        return Object::borrow_or_null(value ? value : fallback);
    }
    if (fallback == nullptr) return mapping.call_method(detail::get_name, key);
    return mapping.call_method(detail::get_name, key, fallback);
}

Object import_from(const Object& module, PyObject* name) {
    Object value = module.attr_or_null(name);
    if (!value.null()) return value;
    // The same words as the interpreter's own `from module import name`.
    Object package = module.attr_or_null(Object::steal(PyUnicode_FromString("__name__")).get());
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
