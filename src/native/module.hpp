// The load rules both extension modules share, and what their code needs of its module.
//
// One interpreter per process, one module object per process (a repeated import gets the
// same object back and does not run the body again), refusal to execute into another
// module object, registration under the dotted name in sys.modules, a RuntimeWarning when
// the running interpreter is not the one the module was built for, and an "init <name>"
// traceback entry when the body fails.  When the interpreter finalises, everything the module
// kept is forgotten and a later interpreter in the same process is refused.
#pragma once

#include <cstdint>

#include "function.hpp"
#include "object.hpp"

namespace py {

struct ModuleDefinition {
    PyModuleDef def;
    const char* full_name;
    const char* source_file;
    void (*body)(Object module);  // binds the namespace, in order
    PyModuleDef_Slot slots[3] = {};
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;   // the module object once its body ran, for the whole process
    PyObject* globals = nullptr;  // its namespace

    ModuleDefinition(const char* name, const char* full_name, const char* doc,
                     const char* source_file, void (*body)(Object)) noexcept
        : def{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
          full_name(full_name),
          source_file(source_file),
          body(body) {}
    ModuleDefinition(const ModuleDefinition&) = delete;

    // A name in the module's namespace, looked up at the time of use as Python code would;
    // NameError when it is missing.
    Object global(PyObject* name) const;
    // A new function object for `def`, a function of this module.
    Object function(const FunctionDef& def) const;
    // The declaration of a nested function compiled once (make objects with make_function).
    FunctionProto* compile(const FunctionDef& def) const;
};

namespace detail {
// The module being executed, for what a Static's initialiser makes (SystemError outside).
const ModuleDefinition& executing_module();

PyObject* create_module(ModuleDefinition& m, PyObject* spec) noexcept;
int exec_module(ModuleDefinition& m, PyObject* module) noexcept;
PyObject* init_module(ModuleDefinition& m, void* create, void* exec) noexcept;

// The slots know their own definition: a module object says nothing we rely on.
template <ModuleDefinition& M>
PyObject* create_slot(PyObject* spec, PyModuleDef*) {
    return create_module(M, spec);
}
template <ModuleDefinition& M>
int exec_slot(PyObject* module) {
    return exec_module(M, module);
}
}  // namespace detail

// What PyInit_<name> returns.
template <ModuleDefinition& M>
PyObject* init_module() noexcept {
    return detail::init_module(M, reinterpret_cast<void*>(&detail::create_slot<M>),
                               reinterpret_cast<void*>(&detail::exec_slot<M>));
}

}  // namespace py
