// The load rules both extension modules share.
//
// One interpreter per process, one module object per process (a repeated import gets the
// same object back and does not run the body again), refusal to execute into another
// module object, registration under the dotted name in sys.modules, a RuntimeWarning when
// the running interpreter is not the one the module was built for, and an "init <name>"
// traceback entry when the body fails.
#pragma once

#include <cstdint>

#include "object.hpp"

namespace py {

struct ModuleDefinition {
    PyModuleDef def;  // first, so the interpreter's pointer leads back to the whole
    const char* full_name;
    const char* source_file;
    void (*body)(Object module);  // binds the namespace, in order
    PyModuleDef_Slot slots[3];
    int64_t interpreter_id;
    PyObject* module;  // the module object once its body ran, for the whole process
};

// A definition for module `name` (the last part of `full_name`).
inline ModuleDefinition module_definition(const char* name, const char* full_name, const char* doc,
                                          const char* source_file, void (*body)(Object)) {
    return ModuleDefinition{
        {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
        full_name,
        source_file,
        body,
        {},
        -1,
        nullptr,
    };
}

// What PyInit_<name> returns.
PyObject* init_module(ModuleDefinition& definition);

}  // namespace py
