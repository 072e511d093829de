// What the layer's two coroutine objects share (the one with a C++ frame, and the frameless
// one for forwarding bodies): how they are named and shown, and the parts of the generator
// protocol of CPython's Objects/genobject.c that do not depend on a frame.  Internal to the
// layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coroutine.hpp"

namespace py::parts {

enum class CoroState : std::uint8_t { created, suspended, running, finished };

// The part of a coroutine object that says what it is and how far it got.
struct Identity {
    const CoroutineCode* code;
    PyObject* name;          // set explicitly; NULL: the code's
    PyObject* qualname;      // likewise
    PyObject* frame_object;  // cr_frame, made when first asked for
    CoroState state;
    bool has_frame;  // (a C++ frame, alive)

    void init() noexcept {
        code = nullptr;
        name = qualname = frame_object = nullptr;
        state = CoroState::created;
        has_frame = false;
    }
    PyObject* shown_name() const noexcept;      // borrowed; None when unnamed
    PyObject* shown_qualname() const noexcept;  // likewise
    void name_after(const CoroutineCode* code, PyObject* name, PyObject* qualname) noexcept;
    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;
};

// Getters and setters of __name__, __qualname__, cr_running, cr_suspended (3.11+), cr_frame,
// cr_code and cr_origin for a coroutine type whose objects hold their Identity at `offset`.
// Fills `table` (room for 8 entries) and returns it.
PyGetSetDef* identity_getset(PyGetSetDef* table, std::size_t offset);

// The iterator that `await obj` would drive, as the interpreter finds it.
Object awaitable_iter(Object obj);
// A send result as the iterator protocol has it: a value, or NULL with StopIteration set.
PyObject* as_iteration(PySendResult r, PyObject* value);
// The exception that throw(value) or throw(type[, value[, traceback]]) raises, checked as
// the interpreter checks it; NULL with the error set.
PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs);
// gen_close_iter: closes what a coroutine delegates to.  False, with the error set, when
// closing raised; a failed lookup of `close` is only reported.
bool close_iterator(PyObject* iter) noexcept;
// getattr(obj, name) where a missing attribute is no error: 1 found, 0 missing, -1 failed.
int lookup_optional(PyObject* obj, PyObject* name, PyObject** result) noexcept;
// The value a set StopIteration carries (the error is cleared).
Object stop_iteration_value();
// gen_close once the object is suspended: `throw_in(exc, &value)` throws GeneratorExit in; a
// value coming back means the body ignored it, GeneratorExit or StopIteration coming back is
// a clean close (None), any other error goes on.
template <class Throw>
PyObject* close_by_throwing(Throw&& throw_in) noexcept {
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (exit == nullptr) return nullptr;
    PyObject* value = nullptr;
    PySendResult r = throw_in(Error(exit), &value);
    if (r == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// The "coroutine ... was never awaited" RuntimeWarning, as the interpreter issues it.
void warn_never_awaited(PyObject* coro, const Identity& identity) noexcept;

// The frameless coroutine type: its side of close_iterator (false when `iter` is not one)
// and of set_coroutine_code.
bool close_if_forwarding(PyObject* iter, bool& closed) noexcept;
bool is_forwarding_and_suspended(PyObject* obj, bool& suspended) noexcept;
void name_forwarding(PyObject* coro, const CoroutineCode* code, PyObject* name, PyObject* qualname);
void ready_forwarding_type(const char* module_name);

}  // namespace py::parts
