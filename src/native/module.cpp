#include "module.hpp"

#include <frameobject.h>

#include <vector>

#ifndef TERVIK_BUILT_FOR_VERSION_MAJOR
#define TERVIK_BUILT_FOR_VERSION_MAJOR PY_MAJOR_VERSION
#define TERVIK_BUILT_FOR_VERSION_MINOR PY_MINOR_VERSION
#endif

namespace py {

namespace {

constexpr int64_t finished_interpreter = -2;

std::vector<ModuleDefinition*>& definitions() {
    static auto* all = new std::vector<ModuleDefinition*>();  // still needed at exit
    return *all;
}

// Runs at the very end of Py_FinalizeEx, when no Python object may be touched: forget what
// the finished interpreter made, and remember that it is gone.
void forget_finished_interpreter() {
    static auto* parked = new std::vector<PyObject*>();  // as Static::forget_all does
    Static::forget_all();
    for (ModuleDefinition* m : definitions()) {
        if (m->module != nullptr) parked->push_back(m->module);
        m->module = nullptr;
        m->globals = nullptr;
        m->interpreter_id = finished_interpreter;
    }
}

void remember(ModuleDefinition& m) {
    for (ModuleDefinition* known : definitions()) {
        if (known == &m) return;
    }
    if (definitions().empty()) Py_AtExit(forget_finished_interpreter);
    definitions().push_back(&m);
}

// spec.<from> -> module.<to>; a missing attribute is skipped.
void copy_spec_attribute(const Object& spec, PyObject* module_dict, const char* from,
                         const char* to, bool allow_none) {
    Object value = spec.attr_or_null(Object::steal(PyUnicode_FromString(from)).get());
    if (value.null() || (!allow_none && value.is_none())) return;
    check(PyDict_SetItemString(module_dict, to, value.get()));
}

// Adds a traceback entry "init <full name>" to the error being raised.
void add_init_traceback(const ModuleDefinition& m, PyObject* module) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    if (PyObject* entry = PyUnicode_FromFormat("init %s", m.full_name)) {
        code = PyCode_NewEmpty(m.source_file, PyUnicode_AsUTF8(entry), 1);
        Py_DECREF(entry);
    }
    if (code != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr);
    PyErr_Restore(type, value, tb);  // whatever failed above, the body's error is the one
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void check_interpreter_version(const ModuleDefinition& m) {
    const int built_major = TERVIK_BUILT_FOR_VERSION_MAJOR;
    const int built_minor = TERVIK_BUILT_FOR_VERSION_MINOR;
    Object version = import("sys").attr("version_info");
    long major = PyLong_AsLong(version.item(Py_ssize_t{0}).get());
    long minor = PyLong_AsLong(version.item(Py_ssize_t{1}).get());
    if (PyErr_Occurred()) fail();
    if (major == built_major && minor == built_minor) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, m.full_name, "does not match", static_cast<int>(major),
                  static_cast<int>(minor));
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// The module whose definition the Statics' initialisers are run for.
ModuleDefinition* executing = nullptr;

class ExecutingScope {
  public:
    explicit ExecutingScope(ModuleDefinition& m) noexcept : outer_(executing) { executing = &m; }
    ~ExecutingScope() { executing = outer_; }

  private:
    ModuleDefinition* outer_;
};

}  // namespace

const ModuleDefinition& detail::executing_module() {
    if (executing == nullptr) raise(PyExc_SystemError, "no extension module is being executed");
    return *executing;
}

Object ModuleDefinition::global(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%U' is not defined", name);
        fail();
    }
    return Object::borrow(value);
}

FunctionProto* ModuleDefinition::compile(const FunctionDef& def) const {
    return py::compile(def, ModuleInfo{full_name, source_file, globals});
}

Object ModuleDefinition::function(const FunctionDef& def) const {
    return make_function(compile(def));
}

PyObject* detail::create_module(ModuleDefinition& m, PyObject* spec) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) fail();
        if (m.interpreter_id == -1) {
            m.interpreter_id = current;
        } else if (m.interpreter_id != current) {
            // Another interpreter, or a new one after the first was finalised.
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
        }
        if (m.module != nullptr) return Object::borrow(m.module).release();

        Object spec_object = Object::borrow(spec);
        Object module = Object::steal(PyModule_NewObject(spec_object.attr("name").get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec_object, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec_object, dict, "origin", "__file__", true);
        copy_spec_attribute(spec_object, dict, "parent", "__package__", true);
        copy_spec_attribute(spec_object, dict, "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

int detail::exec_module(ModuleDefinition& m, PyObject* module) noexcept {
    if (m.module != nullptr) {
        if (m.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     m.def.m_name);
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "module '%s' can only be executed into a module object",
                     m.full_name);
        return -1;
    }
    m.module = module;
    m.globals = PyModule_GetDict(module);
    try {
        remember(m);
        check_interpreter_version(m);
        Object modules = Object::borrow(PyImport_GetModuleDict());
        Object full_name = text(m.full_name);
        if (!check(PyDict_Contains(modules.get(), full_name.get())))
            modules.set_item(full_name.get(), module);
        Static::intern_all();
        ready_types(m.full_name);
        {
            ExecutingScope executing(m);
            Static::initialise_all();
        }
        m.body(Object::borrow(module));
        Py_INCREF(module);  // held for the whole process, like the interpreter's own modules
        return 0;
    } catch (...) {
        translate_current_exception();
        // A failed body leaves nothing behind: a later import starts afresh.
        m.module = nullptr;
        m.globals = nullptr;
        add_init_traceback(m, module);
        return -1;
    }
}

PyObject* detail::init_module(ModuleDefinition& m, void* create, void* exec) noexcept {
    m.slots[0] = {Py_mod_create, create};
    m.slots[1] = {Py_mod_exec, exec};
    m.slots[2] = {0, nullptr};
    m.def.m_slots = m.slots;
    return PyModuleDef_Init(&m.def);
}

}  // namespace py
