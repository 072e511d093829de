#include "object.hpp"

#include <cstdio>
#include <exception>
#include <stdexcept>

namespace py {

namespace {
std::vector<Name*>& all_names() {
    static std::vector<Name*> names;
    return names;
}
}  // namespace

Name::Name(const char* text) : text_(text) { all_names().push_back(this); }

void Name::intern_all() {
    for (Name* name : all_names()) {
        if (name->obj_ == nullptr) name->obj_ = check(PyUnicode_InternFromString(name->text_));
    }
}

Object import_from(const char* module_name, PyObject* name) {
    Object module = import(module_name);
    PyObject* value = PyObject_GetAttr(module.get(), name);
    if (value != nullptr) return Object::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
    PyErr_Clear();
    // The same words as the interpreter's own `from module import name`.
    Object package = Object::steal(PyUnicode_FromString(module_name));
    PyObject* file = PyModule_GetFilenameObject(module.get());
    Object message;
    if (file == nullptr) {
        PyErr_Clear();
        message = Object::steal(PyUnicode_FromFormat(
            "cannot import name %R from %R (unknown location)", name, package.get()));
        PyErr_SetImportError(message.get(), package.get(), nullptr);
    } else {
        Object path = Object::steal(file);
        message = Object::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                     package.get(), path.get()));
        PyErr_SetImportError(message.get(), package.get(), path.get());
    }
    throw Error{};
}

Object fetch_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        // Nothing was set; make the caller's bug visible rather than silently passing.
        return Object::steal(
            PyObject_CallFunction(PyExc_SystemError, "s", "error expected but none was set"));
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Object::steal(value);
}

void rethrow(const Object& exc) {
    PyObject* value = exc.get();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    Py_INCREF(value);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
    throw Error{};
}

bool error_matches(const Object& exc, PyObject* type) {
    return PyErr_GivenExceptionMatches(exc.get(), type) != 0;
}

void raise(const Object& exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw Error{};
}

void raise_from(const Object& exc, const Object& cause) {
    PyException_SetCause(exc.get(), Object(cause).release());  // also suppresses the context
    raise(exc);
}

Object traceback_of(const Object& exc) {
    PyObject* tb = PyException_GetTraceback(exc.get());
    return tb ? Object::steal(tb) : none();
}

Object lookup_global(PyObject* module_dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_dict, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%U' is not defined", name);
        throw Error{};
    }
    return Object::borrow(value);
}

Handling::Handling(const Object& exc) {
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    PyObject* value = exc.get();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    Py_INCREF(value);
    PyErr_SetExcInfo(type, value, PyException_GetTraceback(value));
}

Handling::~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "native error raised without a Python exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected native error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error");
    }
}

}  // namespace py
