#include "module.hpp"

#include <frameobject.h>

#include "function.hpp"

#ifndef TERVIK_BUILT_FOR_VERSION_MAJOR
#define TERVIK_BUILT_FOR_VERSION_MAJOR PY_MAJOR_VERSION
#define TERVIK_BUILT_FOR_VERSION_MINOR PY_MINOR_VERSION
#endif

namespace py {

static ModuleDefinition& definition_of(PyModuleDef* def) {
    return *reinterpret_cast<ModuleDefinition*>(def);
}

// spec.<from> -> module.<to>; a missing attribute is skipped.
static void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from,
                                const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
        PyErr_Clear();
        return;
    }
    Object owned = Object::steal(value);
    if (allow_none || value != Py_None) check(PyDict_SetItemString(module_dict, to, value));
}

static PyObject* create_module(PyObject* spec, PyModuleDef* def) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ModuleDefinition& m = definition_of(def);
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) throw Error{};
        if (m.interpreter_id == -1) {
            m.interpreter_id = current;
        } else if (m.interpreter_id != current) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
        }
        if (m.module != nullptr) return Object::borrow(m.module).release();

        Object name = Object::steal(PyObject_GetAttrString(spec, "name"));
        Object module = Object::steal(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

// Adds a traceback entry "init <full name>" to the error being raised.
static void add_init_traceback(const ModuleDefinition& m, PyObject* module) {
    Object entry = Object::steal(PyUnicode_FromFormat("init %s", m.full_name));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(m.source_file, PyUnicode_AsUTF8(entry.get()), 1);
    if (code != nullptr) {
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr);
        PyErr_Restore(type, value, tb);
        if (frame != nullptr) {
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
        }
        Py_DECREF(code);
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
}

static void check_interpreter_version(const ModuleDefinition& m) {
    const int built_major = TERVIK_BUILT_FOR_VERSION_MAJOR;
    const int built_minor = TERVIK_BUILT_FOR_VERSION_MINOR;
    Object version = import("sys").attr("version_info");
    long major = PyLong_AsLong(version.item(Py_ssize_t{0}).get());
    long minor = PyLong_AsLong(version.item(Py_ssize_t{1}).get());
    if (PyErr_Occurred()) throw Error{};
    if (major == built_major && minor == built_minor) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, m.full_name, "does not match", static_cast<int>(major),
                  static_cast<int>(minor));
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

static int exec_module(PyObject* module) {
    ModuleDefinition& m = definition_of(PyModule_GetDef(module));
    if (m.module != nullptr) {
        if (m.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     m.def.m_name);
        return -1;
    }
    m.module = module;
    try {
        check_interpreter_version(m);
        Object modules = Object::borrow(PyImport_GetModuleDict());
        Object full_name = text(m.full_name);
        int present = PyDict_Contains(modules.get(), full_name.get());
        check(present);
        if (!present) check(PyDict_SetItem(modules.get(), full_name.get(), module));
        Name::intern_all();
        ready_types();
        m.body(Object::borrow(module));
        Py_INCREF(module);  // held for the whole process, like the interpreter's own modules
        return 0;
    } catch (...) {
        translate_current_exception();
        // A failed body leaves nothing behind: a later import starts afresh.
        m.module = nullptr;
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ImportError, "init %s", m.full_name);
        }
        add_init_traceback(m, module);
        return -1;
    }
}

PyObject* init_module(ModuleDefinition& m) {
    m.slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_module)};
    m.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_module)};
    m.slots[2] = {0, nullptr};
    m.def.m_slots = m.slots;
    return PyModuleDef_Init(&m.def);
}

}  // namespace py
